#include "icons/Icons.h"

#include <fcntl.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gio/gio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "icons/IconCache.h"

namespace tessaro {

struct ImageBitmap {
  explicit ImageBitmap(GdkPixbuf* p) : pixbuf(p) {}
  ~ImageBitmap() { g_object_unref(pixbuf); }
  ImageBitmap(const ImageBitmap&) = delete;
  ImageBitmap& operator=(const ImageBitmap&) = delete;

  int width() const { return gdk_pixbuf_get_width(pixbuf); }
  int height() const { return gdk_pixbuf_get_height(pixbuf); }

  GdkPixbuf* pixbuf;  // 8-bit RGBA, owned
};

struct ImageAccess {
  static Image make(std::shared_ptr<const ImageBitmap> bitmap, int width, int height) {
    return Image(std::move(bitmap), width, height);
  }
  static const std::shared_ptr<const ImageBitmap>& bitmap(const Image& image) { return image.bitmap_; }
};

namespace {

bool sideInRange(int side) { return side > 0 && side <= Image::kMaxSide; }

// Takes ownership of `pixbuf` and brings it to 8-bit RGBA; null when there is none.
std::shared_ptr<const ImageBitmap> adopt(GdkPixbuf* pixbuf) {
  if (!pixbuf) return nullptr;
  if (!gdk_pixbuf_get_has_alpha(pixbuf)) {
    GdkPixbuf* withAlpha = gdk_pixbuf_add_alpha(pixbuf, FALSE, 0, 0, 0);
    g_object_unref(pixbuf);
    if (!withAlpha) return nullptr;
    pixbuf = withAlpha;
  }
  return std::make_shared<const ImageBitmap>(pixbuf);
}

Image imageOf(GdkPixbuf* pixbuf) {
  auto bitmap = adopt(pixbuf);
  if (!bitmap) return Image();
  const int w = bitmap->width();
  const int h = bitmap->height();
  return ImageAccess::make(std::move(bitmap), w, h);
}

GdkPixbuf* newTransparent(int width, int height) {
  GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, width, height);
  if (pixbuf) gdk_pixbuf_fill(pixbuf, 0);
  return pixbuf;
}

// The pixels of `bitmap` at exactly width × height, shared when they already are.
std::shared_ptr<const ImageBitmap> bitmapAtSize(const std::shared_ptr<const ImageBitmap>& bitmap, int width,
                                                int height) {
  if (bitmap->width() == width && bitmap->height() == height) return bitmap;
  // Bilinear in gdk-pixbuf averages over the covered area when shrinking; its "hyper" filter is
  // documented as no better.
  return adopt(gdk_pixbuf_scale_simple(bitmap->pixbuf, width, height, GDK_INTERP_BILINEAR));
}

// The pixels as straight RGBA rows without the padding gdk-pixbuf may put after each row.
std::string rgbaRows(const ImageBitmap& bitmap) {
  const int width = bitmap.width();
  const int height = bitmap.height();
  if (gdk_pixbuf_get_n_channels(bitmap.pixbuf) != 4 || width <= 0 || height <= 0) return {};
  const size_t rowBytes = static_cast<size_t>(width) * 4;
  const auto stride = static_cast<size_t>(gdk_pixbuf_get_rowstride(bitmap.pixbuf));
  const guchar* pixels = gdk_pixbuf_read_pixels(bitmap.pixbuf);
  std::string rows;
  rows.reserve(rowBytes * static_cast<size_t>(height));
  for (int y = 0; y < height; ++y)
    rows.append(reinterpret_cast<const char*>(pixels) + stride * static_cast<size_t>(y), rowBytes);
  return rows;
}

// ---- Glyphs drawn here when no theme has an icon

using Rgba = std::array<uint8_t, 4>;

// Paints `color` over the pixels inside `inside` (unit coordinates, y downwards), with the
// coverage of a 4 × 4 grid of samples per pixel as anti-aliasing.
template <typename Inside>
void paint(std::vector<uint8_t>& rgba, int side, Rgba color, Inside inside) {
  constexpr int kGrid = 4;
  for (int py = 0; py < side; ++py) {
    for (int px = 0; px < side; ++px) {
      int hits = 0;
      for (int sy = 0; sy < kGrid; ++sy)
        for (int sx = 0; sx < kGrid; ++sx)
          if (inside((px + (sx + 0.5) / kGrid) / side, (py + (sy + 0.5) / kGrid) / side)) ++hits;
      if (hits == 0) continue;
      uint8_t* d = &rgba[(static_cast<size_t>(py) * side + px) * 4];
      const double a = color[3] / 255.0 * hits / (kGrid * kGrid);
      const double da = d[3] / 255.0;
      const double outA = a + da * (1 - a);
      for (int c = 0; c < 3; ++c)
        d[c] = static_cast<uint8_t>((color[c] * a + d[c] * da * (1 - a)) / outA + 0.5);
      d[3] = static_cast<uint8_t>(outA * 255 + 0.5);
    }
  }
}

// A sheet with its top-right corner folded down: an outline, the sheet, and the fold.
Image documentGlyph(int side) {
  std::vector<uint8_t> rgba(static_cast<size_t>(side) * side * 4, 0);
  const double line = std::max(1.0 / side, 1.0 / 32);
  constexpr double x0 = 0.2, x1 = 0.8, y0 = 0.08, y1 = 0.92, fold = 0.2;
  auto sheet = [&](double inset) {
    return [=](double x, double y) {
      return x >= x0 + inset && x <= x1 - inset && y >= y0 + inset && y <= y1 - inset &&
             (x - (x1 - fold)) - (y - y0) <= -inset * 1.41421356;
    };
  };
  auto corner = [&](double inset) {
    return [=](double x, double y) {
      return x >= x1 - fold + inset && y <= y0 + fold - inset &&
             (x - (x1 - fold)) - (y - y0) <= -inset * 1.41421356;
    };
  };
  paint(rgba, side, {0x8c, 0x8c, 0x8c, 0xff}, sheet(0));
  paint(rgba, side, {0xfa, 0xfa, 0xfa, 0xff}, sheet(line));
  paint(rgba, side, {0x8c, 0x8c, 0x8c, 0xff}, corner(0));
  paint(rgba, side, {0xd8, 0xd8, 0xd8, 0xff}, corner(line));
  return Image::fromRGBA(side, side, {reinterpret_cast<const char*>(rgba.data()), rgba.size()});
}

// A tabbed folder: outline and body.
Image folderGlyph(int side) {
  std::vector<uint8_t> rgba(static_cast<size_t>(side) * side * 4, 0);
  const double line = std::max(1.0 / side, 1.0 / 32);
  auto shape = [&](double inset) {
    return [=](double x, double y) {
      const bool tab = x >= 0.08 + inset && x <= 0.45 - inset && y >= 0.18 + inset && y <= 0.32;
      const bool body = x >= 0.08 + inset && x <= 0.92 - inset && y >= 0.26 + inset && y <= 0.86 - inset;
      return tab || body;
    };
  };
  paint(rgba, side, {0x35, 0x65, 0x9a, 0xff}, shape(0));
  paint(rgba, side, {0x72, 0xa6, 0xd8, 0xff}, shape(line));
  return Image::fromRGBA(side, side, {reinterpret_cast<const char*>(rgba.data()), rgba.size()});
}

// ---- Icon themes

struct IconFile {
  std::string path;
  int pixelSize = 0;
  bool scalable = false;
};
// One folder of a theme that may hold the icons asked for, with the size its index gives it.
struct ThemeFolder {
  std::string path;
  int pixelSize = 0;
  bool scalable = false;
};
using ThemeFolders = std::vector<ThemeFolder>;

// Themes searched in order: the desktop's default, then the fallback every theme inherits.
constexpr std::array<const char*, 2> kThemes = {"Adwaita", "hicolor"};
// Bounds on what one theme description may make us look at.
constexpr gsize kMaxThemeFolders = 4096;

std::string iconDataDirs() {
  const char* value = std::getenv("XDG_DATA_DIRS");
  return value && *value ? std::string(value) : std::string("/usr/local/share:/usr/share");
}

std::vector<std::string> iconBaseFolders(const std::string& dataDirs) {
  std::vector<std::string> folders;
  size_t start = 0;
  while (start <= dataDirs.size()) {
    size_t end = dataDirs.find(':', start);
    if (end == std::string::npos) end = dataDirs.size();
    const std::string_view dir(dataDirs.data() + start, end - start);
    if (dir.starts_with('/')) folders.push_back(std::string(dir) + "/icons");
    start = end + 1;
  }
  return folders;
}

// Only the folders of MIME-type and place icons: every name asked for is a content type's icon
// or "folder". The folders are not read: a preview asks for a handful of names, and looking for
// those few files costs far less than listing folders of hundreds.
ThemeFolders parsedThemeFolders(const std::vector<std::string>& bases, const char* theme) {
  ThemeFolders result;
  // The first base folder that has the theme's index.theme describes the theme; its folders may
  // lie in any base folder.
  GKeyFile* keys = g_key_file_new();
  bool loaded = false;
  for (const auto& base : bases) {
    const std::string path = base + "/" + theme + "/index.theme";
    if (g_key_file_load_from_file(keys, path.c_str(), G_KEY_FILE_NONE, nullptr)) {
      loaded = true;
      break;
    }
  }
  if (!loaded) {
    g_key_file_free(keys);
    return result;
  }
  g_key_file_set_list_separator(keys, ',');
  for (const char* listKey : {"Directories", "ScaledDirectories"}) {
    gsize count = 0;
    gchar** folders = g_key_file_get_string_list(keys, "Icon Theme", listKey, &count, nullptr);
    if (!folders) continue;
    for (gsize i = 0; i < count && i < kMaxThemeFolders; ++i) {
      const gchar* folder = folders[i];
      GError* error = nullptr;
      const gint size = g_key_file_get_integer(keys, folder, "Size", &error);
      if (error) {
        g_error_free(error);
        continue;
      }
      gchar* context = g_key_file_get_string(keys, folder, "Context", nullptr);
      const bool wanted =
          context && (std::strcmp(context, "MimeTypes") == 0 || std::strcmp(context, "Places") == 0);
      g_free(context);
      if (!wanted) continue;
      gint scale = g_key_file_get_integer(keys, folder, "Scale", nullptr);
      if (scale <= 0) scale = 1;
      if (size <= 0 || size > Image::kMaxSide || scale > 16) continue;
      gchar* type = g_key_file_get_string(keys, folder, "Type", nullptr);
      const bool scalable = type && std::strcmp(type, "Scalable") == 0;
      g_free(type);
      for (const auto& base : bases)
        result.push_back({base + "/" + theme + "/" + folder, size * scale, scalable});
    }
    g_strfreev(folders);
  }
  g_key_file_free(keys);
  return result;
}

// "PIXELSIZE SCALABLE PATHLENGTH PATH\n" per folder.
std::string folderText(const ThemeFolders& folders) {
  std::string text;
  for (const ThemeFolder& folder : folders)
    text += std::to_string(folder.pixelSize) + (folder.scalable ? " 1 " : " 0 ") +
            std::to_string(folder.path.size()) + ' ' + folder.path + '\n';
  return text;
}

std::optional<ThemeFolders> foldersOfText(std::string_view text) {
  ThemeFolders folders;
  while (!text.empty()) {
    int pixelSize = 0;
    int scalable = 0;
    size_t length = 0;
    int used = 0;
    const std::string line(text.substr(0, std::min<size_t>(text.size(), 64)));
    if (std::sscanf(line.c_str(), "%d %d %zu %n", &pixelSize, &scalable, &length, &used) != 3 || used <= 0 ||
        pixelSize <= 0 || pixelSize > Image::kMaxSide * 16 || (scalable != 0 && scalable != 1) ||
        folders.size() >= kMaxThemeFolders * 8 || length > text.size() - static_cast<size_t>(used) - 1 ||
        text[static_cast<size_t>(used) + length] != '\n')
      return std::nullopt;
    folders.push_back(
        {std::string(text.substr(static_cast<size_t>(used), length)), pixelSize, scalable == 1});
    text.remove_prefix(static_cast<size_t>(used) + length + 1);
  }
  return folders;
}

// The theme's folders, kept in the cache folder while no index.theme they depend on changes:
// parsing the indexes costs more than the rest of finding a preview's icons.
ThemeFolders themeFolders(const std::vector<std::string>& bases, const char* theme) {
  std::vector<std::string> indexes;
  for (const auto& base : bases) indexes.push_back(base + "/" + theme + "/index.theme");
  const std::string key = std::string("theme folders of ") + theme;
  if (const auto text = cachedDerivedText(key, indexes))
    if (auto folders = foldersOfText(*text)) return std::move(*folders);
  ThemeFolders folders = parsedThemeFolders(bases, theme);
  storeDerivedText(key, indexes, folderText(folders));
  return folders;
}

// One file of an icon: the theme folder (an index into its folders) and whether it is the SVG.
struct FoundFile {
  size_t folder = 0;
  bool svg = false;
};
using FoundFiles = std::unordered_map<std::string, std::vector<FoundFile>>;

// A name is one file name without its extension: anything that could lead out of a folder has
// none.
bool usableIconName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

// The files of icon `name` in the theme's folders, in folder order.
std::vector<FoundFile> findIconFiles(const ThemeFolders& folders, const std::string& name) {
  std::vector<FoundFile> files;
  if (!usableIconName(name)) return files;
  for (size_t i = 0; i < folders.size(); ++i)
    for (const bool svg : {false, true})
      if (::access((folders[i].path + "/" + name + (svg ? ".svg" : ".png")).c_str(), F_OK) == 0)
        files.push_back({i, svg});
  return files;
}

IconFile iconFile(const ThemeFolders& folders, const std::string& name, FoundFile found) {
  const ThemeFolder& folder = folders[found.folder];
  return {folder.path + "/" + name + (found.svg ? ".svg" : ".png"), folder.pixelSize,
          folder.scalable || found.svg};
}

// "NAMELENGTH NAME COUNT" and COUNT times " FOLDER SVG", a line per name.
std::string foundFilesText(const FoundFiles& found) {
  std::string text;
  for (const auto& [name, files] : found) {
    text += std::to_string(name.size()) + ' ' + name + ' ' + std::to_string(files.size());
    for (const FoundFile& file : files) text += ' ' + std::to_string(file.folder) + (file.svg ? " 1" : " 0");
    text += '\n';
  }
  return text;
}

bool readNumber(std::string_view& text, size_t& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end == text.data()) return false;
  text.remove_prefix(static_cast<size_t>(end - text.data()));
  return true;
}

bool readChar(std::string_view& text, char c) {
  if (text.empty() || text.front() != c) return false;
  text.remove_prefix(1);
  return true;
}

std::optional<FoundFiles> foundFilesOfText(std::string_view text, size_t folderCount) {
  FoundFiles found;
  while (!text.empty()) {
    size_t length = 0;
    size_t count = 0;
    if (!readNumber(text, length) || !readChar(text, ' ') || length > text.size()) return std::nullopt;
    std::string name(text.substr(0, length));
    text.remove_prefix(length);
    if (!usableIconName(name) || !readChar(text, ' ') || !readNumber(text, count) || count > folderCount * 2)
      return std::nullopt;
    std::vector<FoundFile> files;
    for (size_t i = 0; i < count; ++i) {
      size_t folder = 0;
      size_t svg = 0;
      if (!readChar(text, ' ') || !readNumber(text, folder) || !readChar(text, ' ') ||
          !readNumber(text, svg) || folder >= folderCount || svg > 1)
        return std::nullopt;
      files.push_back({folder, svg == 1});
    }
    if (!readChar(text, '\n')) return std::nullopt;
    found.insert_or_assign(std::move(name), std::move(files));
  }
  return found;
}

// The candidate nearest to `size`: the smallest fixed size not below it (shrinking keeps
// detail), else a scalable file, else the largest fixed size.
const IconFile* chooseFile(const std::vector<IconFile>& files, int size) {
  const IconFile* best = nullptr;
  for (const auto& f : files)
    if (!f.scalable && f.pixelSize >= size && (!best || f.pixelSize < best->pixelSize)) best = &f;
  if (best) return best;
  for (const auto& f : files)
    if (f.scalable) return &f;
  for (const auto& f : files)
    if (!best || f.pixelSize > best->pixelSize) best = &f;
  return best;
}

// The themes of the current XDG_DATA_DIRS, and every icon loaded so far at the size it was
// asked for, kept for the life of the process: decoding, and SVG rendering above all, costs far
// more than a lookup.
class IconStore {
 public:
  std::shared_ptr<const ImageBitmap> find(const std::vector<std::string>& names, int size) {
    std::lock_guard lock(mutex_);
    refresh();
    for (Theme& theme : themes_) {
      knowFiles(theme);
      bool foundMore = false;
      std::shared_ptr<const ImageBitmap> bitmap;
      for (const auto& name : names) {
        auto it = theme.found.find(name);
        if (it == theme.found.end()) {
          it = theme.found.emplace(name, findIconFiles(theme.folders, name)).first;
          foundMore = true;
        }
        std::vector<IconFile> files;
        for (const FoundFile& found : it->second) files.push_back(iconFile(theme.folders, name, found));
        if (const IconFile* file = chooseFile(files, size))
          if ((bitmap = load(*file, size))) break;
      }
      if (foundMore) storeFiles(theme);
      if (bitmap) return bitmap;
    }
    return nullptr;
  }

  std::shared_ptr<const ImageBitmap> glyph(bool folder, int size) {
    std::lock_guard lock(mutex_);
    const std::string key = std::string(folder ? "\1folder@" : "\1document@") + std::to_string(size);
    auto it = loaded_.find(key);
    if (it != loaded_.end()) return it->second;
    auto bitmap = ImageAccess::bitmap(folder ? folderGlyph(size) : documentGlyph(size));
    loaded_.emplace(key, bitmap);
    return bitmap;
  }

 private:
  void refresh() {
    std::string dataDirs = iconDataDirs();
    if (indexed_ && dataDirs == dataDirs_) return;
    const auto bases = iconBaseFolders(dataDirs);
    themes_.clear();
    for (const char* theme : kThemes) themes_.push_back({theme, themeFolders(bases, theme), {}, false});
    dataDirs_ = std::move(dataDirs);
    indexed_ = true;
  }

  std::shared_ptr<const ImageBitmap> load(const IconFile& file, int size) {
    const std::string key = file.path + "@" + std::to_string(size);
    auto it = loaded_.find(key);
    if (it != loaded_.end()) return it->second;
    std::shared_ptr<const ImageBitmap> bitmap;
    if (const auto pixels = cachedIconPixels(file.path, size)) {
      bitmap = ImageAccess::bitmap(Image::fromRGBA(size, size, *pixels));
    } else {
      if (file.path.ends_with(".svg")) {
        bitmap = adopt(gdk_pixbuf_new_from_file_at_size(file.path.c_str(), size, size, nullptr));
      } else {
        bitmap = adopt(gdk_pixbuf_new_from_file(file.path.c_str(), nullptr));
      }
      if (bitmap) bitmap = bitmapAtSize(bitmap, size, size);
      if (bitmap) storeIconPixels(file.path, size, rgbaRows(*bitmap));
    }
    // A file that fails to load is remembered too, so that it is not read again.
    loaded_.emplace(key, bitmap);
    return bitmap;
  }

  struct Theme {
    const char* name;
    ThemeFolders folders;
    // The files found so far for each name asked for.
    FoundFiles found;
    bool foundRead;
  };

  static std::vector<std::string> folderPaths(const Theme& theme) {
    std::vector<std::string> paths;
    for (const ThemeFolder& folder : theme.folders) paths.push_back(folder.path);
    return paths;
  }

  static std::string foundKey(const Theme& theme) { return std::string("icon files of ") + theme.name; }

  // The files found by earlier processes, kept while no theme folder has gained or lost a name:
  // looking for a preview's few names in every folder of a theme costs a few hundred failed
  // lookups, checking the folders a few dozen.
  static void knowFiles(Theme& theme) {
    if (theme.foundRead) return;
    theme.foundRead = true;
    if (const auto text = cachedDerivedText(foundKey(theme), folderPaths(theme)))
      if (auto found = foundFilesOfText(*text, theme.folders.size())) theme.found = std::move(*found);
  }

  static void storeFiles(const Theme& theme) {
    storeDerivedText(foundKey(theme), folderPaths(theme), foundFilesText(theme.found));
  }

  std::mutex mutex_;
  bool indexed_ = false;
  std::string dataDirs_;
  std::vector<Theme> themes_;
  std::unordered_map<std::string, std::shared_ptr<const ImageBitmap>> loaded_;
};

IconStore& iconStore() {
  static IconStore* store = new IconStore;  // never destroyed: icons may be asked for during exit
  return *store;
}

// ---- Content types

// GIO fixes its MIME folders on the first call that asks for them; when a content type was
// guessed before that, the database loaded for the guess is dropped without being freed (GLib
// 2.74). Fixing the folders while the process starts, before gdk-pixbuf or anyone else guesses,
// keeps the database loaded once.
[[maybe_unused]] const bool kMimeFoldersFixed = (g_content_type_get_mime_dirs(), true);

struct GFreeDeleter {
  void operator()(gchar* p) const { g_free(p); }
};
using GText = std::unique_ptr<gchar, GFreeDeleter>;

// Longest extension asked about; longer ones are no type anyone registers.
constexpr size_t kMaxExtension = 255;

bool usableExtension(std::string_view extension) {
  return !extension.empty() && extension.size() <= kMaxExtension &&
         extension.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos &&
         g_utf8_validate(extension.data(), static_cast<gssize>(extension.size()), nullptr);
}

// The content type GIO guesses from a file name alone.
std::string contentTypeForExtension(std::string_view extension) {
  const std::string dummy = "x." + std::string(extension);
  GText type(g_content_type_guess(dummy.c_str(), nullptr, 0, nullptr));
  return type ? std::string(type.get()) : std::string("application/octet-stream");
}

// GIO's descriptions start in lower case ("plain text document"); the kind column reads
// better with names that start like titles.
std::string capitalised(std::string text) {
  if (!text.empty() && text[0] >= 'a' && text[0] <= 'z') text[0] = static_cast<char>(text[0] - 'a' + 'A');
  return text;
}

std::optional<std::string> describe(const std::string& contentType) {
  GText text(g_content_type_get_description(contentType.c_str()));
  if (!text || !*text) return std::nullopt;
  return capitalised(text.get());
}

// The content type's themed icon names, without the monochrome "-symbolic" ones.
std::vector<std::string> iconNamesForContentType(const std::string& contentType) {
  std::vector<std::string> names;
  GIcon* icon = g_content_type_get_icon(contentType.c_str());
  if (!icon) return names;
  if (G_IS_THEMED_ICON(icon)) {
    for (const gchar* const* n = g_themed_icon_get_names(G_THEMED_ICON(icon)); n && *n; ++n) {
      const std::string_view name(*n);
      if (!name.ends_with("-symbolic")) names.emplace_back(name);
    }
  }
  g_object_unref(icon);
  return names;
}

const std::vector<std::string>& documentIconNames() {
  // A blank sheet first: the lined one stands for text.
  static const std::vector<std::string> names{"application-x-generic", "text-x-generic"};
  return names;
}

std::shared_ptr<Image> iconFromNames(const std::vector<std::string>& names, bool folder, int size) {
  IconStore& store = iconStore();
  auto bitmap = store.find(names, size);
  if (!bitmap) bitmap = store.glyph(folder, size);
  if (!bitmap) return nullptr;
  return std::make_shared<Image>(ImageAccess::make(std::move(bitmap), size, size));
}

std::shared_ptr<Image> iconForContentType(const std::string& contentType, int size) {
  const bool folder = contentType == "inode/directory";
  auto names = iconNamesForContentType(contentType);
  if (folder)
    names.push_back("folder");
  else
    for (const auto& n : documentIconNames()) names.push_back(n);
  return iconFromNames(names, folder, size);
}

// How many leading bytes of a file the content sniffing looks at.
constexpr size_t kSniffBytes = 4096;

std::string readFirstBytes(const char* path) {
  // Only regular files are read (opening a device can act on it), and without blocking, so that
  // one swapped in between the two checks cannot hang the request either.
  struct stat before {};
  if (stat(path, &before) != 0 || !S_ISREG(before.st_mode)) return {};
  const int fd = open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return {};
  std::string bytes;
  struct stat st {};
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    bytes.resize(kSniffBytes);
    ssize_t n;
    do {
      n = read(fd, bytes.data(), bytes.size());
    } while (n < 0 && errno == EINTR);
    bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
  }
  close(fd);
  return bytes;
}

bool asciiEqualIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return g_ascii_tolower(x) == g_ascii_tolower(y);
         });
}

}  // namespace

// ---- Image

Image::Image() = default;
Image::~Image() = default;
Image::Image(const Image&) = default;
Image& Image::operator=(const Image&) = default;
Image::Image(Image&&) noexcept = default;
Image& Image::operator=(Image&&) noexcept = default;
Image::Image(std::shared_ptr<const ImageBitmap> bitmap, int width, int height)
    : bitmap_(std::move(bitmap)), width_(width), height_(height) {}

Image Image::fromRGBA(int width, int height, std::string_view rgba) {
  try {
    if (!sideInRange(width) || !sideInRange(height)) return Image();
    const size_t rowBytes = static_cast<size_t>(width) * 4;
    if (rgba.size() < rowBytes * static_cast<size_t>(height)) return Image();
    GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, width, height);
    if (!pixbuf) return Image();
    const int stride = gdk_pixbuf_get_rowstride(pixbuf);
    guchar* pixels = gdk_pixbuf_get_pixels(pixbuf);
    for (int y = 0; y < height; ++y)
      std::memcpy(pixels + static_cast<size_t>(y) * stride, rgba.data() + rowBytes * y, rowBytes);
    return imageOf(pixbuf);
  } catch (...) {
    return Image();
  }
}

Image Image::copyWithSize(int width, int height) const {
  try {
    if (!bitmap_ || !sideInRange(width) || !sideInRange(height)) return Image();
    auto bitmap = bitmapAtSize(bitmap_, width, height);
    if (!bitmap) return Image();
    return Image(std::move(bitmap), width, height);
  } catch (...) {
    return Image();
  }
}

Image Image::drawnIntoSquare(int side) const {
  try {
    if (!sideInRange(side)) return Image();
    GdkPixbuf* canvas = newTransparent(side, side);
    if (!canvas) return Image();
    const int w = std::min(width_, side);
    const int h = std::min(height_, side);
    if (bitmap_ && w > 0 && h > 0) {
      const double sx = static_cast<double>(width_) / bitmap_->width();
      const double sy = static_cast<double>(height_) / bitmap_->height();
      // gdk_pixbuf_scale replaces the destination pixels, alpha included: copy compositing.
      gdk_pixbuf_scale(bitmap_->pixbuf, canvas, 0, 0, w, h, 0, 0, sx, sy, GDK_INTERP_BILINEAR);
    }
    return imageOf(canvas);
  } catch (...) {
    return Image();
  }
}

std::optional<std::string> Image::pngData() const {
  try {
    if (!bitmap_ || !sideInRange(width_) || !sideInRange(height_)) return std::nullopt;
    auto bitmap = bitmapAtSize(bitmap_, width_, height_);
    if (!bitmap) return std::nullopt;
    const std::string rgba = rgbaRows(*bitmap);
    if (auto cached = cachedPNG(width_, height_, rgba)) return cached;
    gchar* buffer = nullptr;
    gsize size = 0;
    if (!gdk_pixbuf_save_to_buffer(bitmap->pixbuf, &buffer, &size, "png", nullptr, nullptr))
      return std::nullopt;
    std::string bytes(buffer, size);
    g_free(buffer);
    storePNG(width_, height_, rgba, bytes);
    return bytes;
  } catch (...) {
    return std::nullopt;
  }
}

// ---- Kinds and icons

std::optional<std::string> kindNameForType(FileTypeClass type, std::string_view extension) {
  try {
    switch (type) {
      case FileTypeClass::folder: return describe("inode/directory");
      // The desktop has no application bundles and no type for "any document".
      case FileTypeClass::application: return "Application";
      case FileTypeClass::document: return "Document";
      case FileTypeClass::extension: {
        if (!usableExtension(extension)) return std::nullopt;
        const std::string contentType = contentTypeForExtension(extension);
        if (g_content_type_is_unknown(contentType.c_str())) return std::nullopt;
        return describe(contentType);
      }
    }
    return std::nullopt;
  } catch (...) {
    return std::nullopt;
  }
}

std::optional<std::string> kindNameForFileName(std::string_view name) {
  try {
    const std::string text(name);
    if (text.empty() || text.find_first_of(std::string_view("/\0", 2)) != std::string::npos ||
        !g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr))
      return std::nullopt;
    GText type(g_content_type_guess(text.c_str(), nullptr, 0, nullptr));
    if (!type || g_content_type_is_unknown(type.get())) return std::nullopt;
    return describe(type.get());
  } catch (...) {
    return std::nullopt;
  }
}

std::shared_ptr<Image> iconForType(FileTypeClass type, std::string_view extension, int size) {
  try {
    if (!sideInRange(size)) return nullptr;
    switch (type) {
      case FileTypeClass::folder: return iconForContentType("inode/directory", size);
      case FileTypeClass::application: {
        std::vector<std::string> names{"application-x-executable"};
        for (const auto& n : documentIconNames()) names.push_back(n);
        return iconFromNames(names, false, size);
      }
      case FileTypeClass::document: return iconFromNames(documentIconNames(), false, size);
      case FileTypeClass::extension:
        if (!usableExtension(extension)) return iconFromNames(documentIconNames(), false, size);
        return iconForContentType(contentTypeForExtension(extension), size);
    }
    return nullptr;
  } catch (...) {
    return nullptr;
  }
}

std::shared_ptr<Image> iconForFile(std::string_view path, int size) {
  try {
    if (!sideInRange(size)) return nullptr;
    const std::string p(path);
    if (p.empty() || p.find('\0') != std::string::npos)
      return iconFromNames(documentIconNames(), false, size);
    struct stat st {};
    if (stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      GText base(g_path_get_basename(p.c_str()));
      const char* dot = std::strrchr(base.get(), '.');
      const bool application = dot && dot != base.get() && asciiEqualIgnoringCase(dot + 1, "app");
      return iconForType(application ? FileTypeClass::application : FileTypeClass::folder, {}, size);
    }
    const std::string bytes = readFirstBytes(p.c_str());
    // The MIME database matches names as UTF-8; a name in another encoding is read leniently.
    GText base(g_path_get_basename(p.c_str()));
    GText name(g_utf8_make_valid(base.get(), -1));
    GText type(g_content_type_guess(name.get(),
                                    bytes.empty() ? nullptr : reinterpret_cast<const guchar*>(bytes.data()),
                                    bytes.size(), nullptr));
    return iconForContentType(type ? type.get() : "application/octet-stream", size);
  } catch (...) {
    return nullptr;
  }
}

bool isPackageExtension(std::string_view extension) {
  // Folder types that the Mac's Finder shows and opens as one item: applications and their
  // extensions, loadable code, installer packages and packaged documents.
  static constexpr std::array<std::string_view, 16> kPackages = {
      "app",        "appex",    "bundle", "framework", "plugin", "kext", "xpc",       "qlgenerator",
      "mdimporter", "prefPane", "saver",  "pkg",       "mpkg",   "rtfd", "xcodeproj", "xcworkspace"};
  return std::any_of(kPackages.begin(), kPackages.end(),
                     [&](std::string_view p) { return asciiEqualIgnoringCase(p, extension); });
}

}  // namespace tessaro
