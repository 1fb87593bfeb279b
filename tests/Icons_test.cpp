#include "icons/Icons.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "icons/IconCache.h"
#include "support/Files.h"

#include "support/PngImage.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace tessaro {
namespace {

using Pixel = std::array<uint8_t, 4>;

test::PngImage decoded(const Image& image) {
  auto png = test::decodePng(image.pngData().value_or(""));
  EXPECT_TRUE(png);
  return png.value_or(test::PngImage{});
}

// A PNG of a `side` by `side` square of one colour.
std::string solidPng(int side, Pixel colour) {
  std::string pixels;
  for (int i = 0; i < side * side; ++i) pixels.append(reinterpret_cast<const char*>(colour.data()), 4);
  return Image::fromRGBA(side, side, pixels).pngData().value_or("");
}

std::string png(const std::shared_ptr<Image>& icon) { return icon ? icon->pngData().value_or("") : ""; }

class IconsTest : public ::testing::Test {
 protected:
  test::IsolatedHome home_;  // the icons drawn are cached in it
};

TEST_F(IconsTest, ImagesScaleDrawWithCopyCompositingAndRoundTripThroughPng) {
  const std::string pixels = std::string("\xff\x00\x00\xff", 4) + std::string("\x00\xff\x00\x80", 4) +
                             std::string("\x00\x00\xff\xff", 4) + std::string("\x10\x20\x30\x00", 4);
  const Image image = Image::fromRGBA(2, 2, pixels);
  ASSERT_FALSE(image.empty());

  const auto same = decoded(image);
  ASSERT_EQ(same.width, 2);
  EXPECT_EQ(same.at(0, 0), (Pixel{255, 0, 0, 255}));
  EXPECT_EQ(same.at(1, 0), (Pixel{0, 255, 0, 128}));

  // The half-transparent pixel stays half transparent: the canvas is replaced, not blended into.
  const auto canvas = decoded(image.drawnIntoSquare(4));
  ASSERT_EQ(canvas.width, 4);
  ASSERT_EQ(canvas.height, 4);
  EXPECT_EQ(canvas.at(0, 0), (Pixel{255, 0, 0, 255}));
  EXPECT_EQ(canvas.at(1, 0), (Pixel{0, 255, 0, 128}));
  EXPECT_EQ(canvas.at(3, 3)[3], 0);

  const Image larger = image.copyWithSize(8, 6);
  const auto scaled = decoded(larger);
  EXPECT_EQ(scaled.width, 8);
  EXPECT_EQ(scaled.height, 6);
  EXPECT_EQ(scaled.at(0, 0), (Pixel{255, 0, 0, 255}));
  // A large image drawn into a small square is clipped, not shrunk.
  EXPECT_EQ(decoded(larger.drawnIntoSquare(2)).at(1, 1), (Pixel{255, 0, 0, 255}));

  EXPECT_TRUE(Image::fromRGBA(2, 2, pixels.substr(1)).empty());
  EXPECT_TRUE(Image::fromRGBA(Image::kMaxSide + 1, 1, std::string(4 * (Image::kMaxSide + 1), 'x')).empty());
  EXPECT_TRUE(image.drawnIntoSquare(Image::kMaxSide + 1).empty());
  EXPECT_EQ(decoded(Image().drawnIntoSquare(3)).at(2, 2)[3], 0);
}

TEST_F(IconsTest, KindNamesOnlyForTypesTheDesktopKnows) {
  const auto text = kindNameForType(FileTypeClass::extension, "txt");
  ASSERT_TRUE(text);
  EXPECT_FALSE(text->empty());
  EXPECT_EQ(kindNameForType(FileTypeClass::extension, "TXT"), text);
  EXPECT_TRUE(kindNameForType(FileTypeClass::folder));
  EXPECT_EQ(kindNameForType(FileTypeClass::application), "Application");

  for (const std::string& odd : {std::string(), std::string("xyzzy"), std::string("\xff\xfe"),
                                 std::string(10000, 'a'), std::string("a/b"), std::string("t\0xt", 4)}) {
    EXPECT_FALSE(kindNameForType(FileTypeClass::extension, odd)) << odd.size();
    EXPECT_TRUE(iconForType(FileTypeClass::extension, odd, 16)) << odd.size();
  }
}

TEST_F(IconsTest, PackagesAreFoldersWithBundleExtensionsInAnyCase) {
  for (const char* yes : {"APP", "Bundle"}) EXPECT_TRUE(isPackageExtension(yes)) << yes;
  for (const char* no : {"", "apps", "ap", "app "}) EXPECT_FALSE(isPackageExtension(no)) << no;
}

TEST_F(IconsTest, FileIconsFollowContentAndNeverBlock) {
  test::TempDir dir;
  // No extension: only the content says it is a PDF.
  const auto pdf = dir.write("report", "%PDF-1.4\n%\xe2\xe3\xcf\xd3\n1 0 obj\n<<>>\nendobj\n");
  EXPECT_EQ(png(iconForFile(pdf.string(), 16)), png(iconForType(FileTypeClass::extension, "pdf", 16)));
  EXPECT_NE(png(iconForFile(pdf.string(), 16)), png(iconForType(FileTypeClass::document, {}, 16)));

  EXPECT_EQ(png(iconForFile(dir.str(), 16)), png(iconForType(FileTypeClass::folder, {}, 16)));
  std::filesystem::create_directory(dir.path() / "Tool.app");
  EXPECT_EQ(png(iconForFile((dir.path() / "Tool.app").string(), 16)),
            png(iconForType(FileTypeClass::application, {}, 16)));

  // A FIFO named like an archive: opening it for its first bytes must not wait for a writer.
  const auto fifo = dir.path() / "pipe.zip";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(png(iconForFile(fifo.string(), 16)), png(iconForType(FileTypeClass::extension, "zip", 16)));

  EXPECT_TRUE(iconForFile((dir.path() / "missing.zip").string(), 128));
  EXPECT_TRUE(iconForFile("", 16));
  EXPECT_FALSE(iconForFile(pdf.string(), 0));
}

TEST_F(IconsTest, WithoutIconThemesEveryTypeStillGetsADrawnIcon) {
  // The MIME database is read once per process: have it read before the data folders go away.
  ASSERT_TRUE(kindNameForType(FileTypeClass::extension, "txt"));
  const std::string themedFolder = png(iconForType(FileTypeClass::folder, {}, 16));

  test::TempDir empty;
  std::string drawnFolder, drawnDocument;
  {
    test::ScopedEnv env;
    env.set("XDG_DATA_DIRS", empty.str());
    const auto folder = decoded(*iconForType(FileTypeClass::folder, {}, 128));
    const auto document = decoded(*iconForType(FileTypeClass::extension, "txt", 128));
    EXPECT_EQ(folder.width, 128);
    EXPECT_TRUE(folder.anyOpaque() && document.anyOpaque());
    EXPECT_NE(folder.pixels, document.pixels);
    drawnFolder = png(iconForType(FileTypeClass::folder, {}, 16));
    drawnDocument = png(iconForType(FileTypeClass::document, {}, 16));
    EXPECT_EQ(png(iconForType(FileTypeClass::application, {}, 16)), drawnDocument);
  }
  EXPECT_NE(drawnFolder, themedFolder);
  EXPECT_EQ(png(iconForType(FileTypeClass::folder, {}, 16)), themedFolder);  // themes are found again
}

// A theme is read from its index: of the folders of place and MIME-type icons, the smallest size
// not below the one asked for wins; folders of other contexts are never looked in.
TEST_F(IconsTest, ThemeIconsComeFromTheIndexedFolderOfTheNearestSize) {
  ASSERT_TRUE(kindNameForType(FileTypeClass::extension, "txt"));  // the MIME database stays read
  test::TempDir data;
  data.write("icons/hicolor/index.theme",
             "[Icon Theme]\nName=Hicolor\nDirectories=8x8/places,32x32/places,64x64/places,24x24/actions\n\n"
             "[8x8/places]\nSize=8\nContext=Places\nType=Fixed\n\n"
             "[32x32/places]\nSize=32\nContext=Places\nType=Fixed\n\n"
             "[64x64/places]\nSize=64\nContext=Places\nType=Fixed\n\n"
             "[24x24/actions]\nSize=24\nContext=Actions\nType=Fixed\n");
  data.write("icons/hicolor/8x8/places/folder.png", solidPng(8, {255, 0, 0, 255}));
  data.write("icons/hicolor/32x32/places/folder.png", solidPng(32, {0, 255, 0, 255}));
  data.write("icons/hicolor/64x64/places/folder.png", solidPng(64, {0, 0, 255, 255}));
  data.write("icons/hicolor/24x24/actions/folder.png", solidPng(24, {255, 255, 0, 255}));

  test::ScopedEnv env;
  env.set("XDG_DATA_DIRS", data.str());
  EXPECT_EQ(decoded(*iconForType(FileTypeClass::folder, {}, 8)).at(4, 4), (Pixel{255, 0, 0, 255}));
  EXPECT_EQ(decoded(*iconForType(FileTypeClass::folder, {}, 16)).at(8, 8), (Pixel{0, 255, 0, 255}));
  EXPECT_EQ(decoded(*iconForType(FileTypeClass::folder, {}, 48)).at(24, 24), (Pixel{0, 0, 255, 255}));
  // Above every size the largest is used.
  EXPECT_EQ(decoded(*iconForType(FileTypeClass::folder, {}, 128)).at(64, 64), (Pixel{0, 0, 255, 255}));
}

// Which theme folders hold which names is kept across processes; an icon added to a folder since
// is found all the same.
TEST_F(IconsTest, ThemeIconsAddedLaterAreFound) {
  namespace fs = std::filesystem;
  test::TempDir data;
  data.write("icons/hicolor/index.theme",
             "[Icon Theme]\nName=Hicolor\nDirectories=32x32/places\n\n"
             "[32x32/places]\nSize=32\nContext=Places\nType=Fixed\n");
  const fs::path places = data.path() / "icons/hicolor/32x32/places";
  fs::create_directories(places);
  const auto age = [](const fs::path& path, int minutes) {
    fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::minutes(minutes));
  };
  age(data.path() / "icons/hicolor/index.theme", 10);
  age(places, 10);

  test::ScopedEnv env;
  env.set("XDG_DATA_DIRS", data.str());
  const std::string drawn = png(iconForType(FileTypeClass::folder, {}, 32));
  ASSERT_FALSE(drawn.empty());

  data.write("icons/hicolor/32x32/places/folder.png", solidPng(32, {0, 255, 0, 255}));
  age(places, 5);
  // Another value of the variable makes the themes be looked at again, as a new process would.
  env.set("XDG_DATA_DIRS", data.str() + ":");
  const std::shared_ptr<Image> found = iconForType(FileTypeClass::folder, {}, 32);
  ASSERT_TRUE(found);
  EXPECT_EQ(decoded(*found).at(16, 16), (Pixel{0, 255, 0, 255}));
}

// A cache entry is used only while it is exactly what was stored for the icon file as it is
// now; any other entry is a miss, never an error or a wrong picture.
TEST_F(IconsTest, CachedIconsAreUsedOnlyWhileEntryAndIconFileAreUnchanged) {
  namespace fs = std::filesystem;
  const fs::path folder = home_.dir().path() / "cache" / "tessaro" / "icons";
  const std::string pixels(4 * 4 * 4, '\x7f');
  const std::string otherPixels(4 * 4 * 4, '\x10');
  const auto onlyEntry = [&](const char* suffix) {
    fs::path found;
    for (const auto& entry : fs::directory_iterator(folder))
      if (entry.path().extension() == suffix) found = entry.path();
    return found;
  };

  struct Case {
    const char* what;
    std::function<void(const fs::path& source, const fs::path& entry)> change;
  };
  const Case cases[] = {
      {"the icon file is rewritten",
       [](const fs::path& source, const fs::path&) {
         std::ofstream(source, std::ios::binary) << "another icon";
       }},
      {"the icon file gets a new time",
       [](const fs::path& source, const fs::path&) {
         fs::last_write_time(source, fs::last_write_time(source) - std::chrono::seconds(5));
       }},
      {"others may read the entry",
       [](const fs::path&, const fs::path& entry) { ::chmod(entry.c_str(), 0644); }},
      {"the entry lost its last byte",
       [](const fs::path&, const fs::path& entry) { fs::resize_file(entry, fs::file_size(entry) - 1); }},
      {"the entry is a link",
       [](const fs::path&, const fs::path& entry) {
         fs::rename(entry, entry.string() + ".moved");
         fs::create_symlink(entry.string() + ".moved", entry);
       }},
      {"others may write into the folder",
       [&](const fs::path&, const fs::path&) { ::chmod(folder.c_str(), 0777); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(folder);
    const fs::path source = home_.dir().write("theme/folder.png", "an icon");
    storeIconPixels(source.string(), 4, pixels);
    EXPECT_EQ(cachedIconPixels(source.string(), 4), pixels);
    EXPECT_FALSE(cachedIconPixels(source.string(), 8));  // another size is another drawing
    struct stat st {};
    ASSERT_EQ(::stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    c.change(source, onlyEntry(".rgba"));
    EXPECT_FALSE(cachedIconPixels(source.string(), 4));
    ::chmod(folder.c_str(), 0700);
  }

  // A PNG is found only by the pixels it encodes, and not after they were changed in the entry.
  const std::string encoded = Image::fromRGBA(4, 4, pixels).pngData().value_or("");
  ASSERT_FALSE(encoded.empty());
  EXPECT_EQ(cachedPNG(4, 4, pixels), encoded);  // pngData kept it
  EXPECT_FALSE(cachedPNG(4, 4, otherPixels));
  EXPECT_FALSE(cachedPNG(2, 8, pixels));
  std::string entry = test::readFile(onlyEntry(".png"));
  entry[entry.find('\x7f')] = '\x10';
  std::ofstream(onlyEntry(".png"), std::ios::binary | std::ios::trunc) << entry;
  EXPECT_FALSE(cachedPNG(4, 4, pixels));

  // Text worked out from files stands while they do, and a file missing then must stay missing.
  // Nothing is kept from a file changed just now: a second change within the clock tick would
  // leave its time as it is.
  const std::vector<std::string> sources = {home_.dir().write("index.theme", "[Icon Theme]").string(),
                                            (home_.dir().path() / "later.theme").string()};
  storeDerivedText("folders", sources, "16 0 5 /a/b\n");
  EXPECT_FALSE(cachedDerivedText("folders", sources));
  fs::last_write_time(sources[0], fs::file_time_type::clock::now() - std::chrono::minutes(1));
  storeDerivedText("folders", sources, "16 0 5 /a/b\n");
  EXPECT_EQ(cachedDerivedText("folders", sources), "16 0 5 /a/b\n");
  EXPECT_FALSE(cachedDerivedText("other folders", sources));
  home_.dir().write("later.theme", "");
  EXPECT_FALSE(cachedDerivedText("folders", sources));
}

}  // namespace
}  // namespace tessaro
