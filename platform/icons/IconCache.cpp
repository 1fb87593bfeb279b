#include "icons/IconCache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <vector>

#include "folders/UserFolders.h"
#include "io/FileDescriptor.h"
#include "io/FileIO.h"
#include "io/ReadAt.h"

namespace tessaro {

namespace {

// "tessaro-icon 1 SIDE SIZE SECONDS NANOSECONDS PATHLENGTH\n", then the path, then the pixels.
constexpr std::string_view kMagic = "tessaro-icon 1 ";
constexpr size_t kMaxHeaderLine = 128;
constexpr size_t kMaxPath = 4096;
constexpr std::string_view kPNGMagic = "tessaro-png 1 ";
constexpr std::string_view kTextMagic = "tessaro-text 1 ";
constexpr size_t kMaxText = size_t{4} << 20;
// An encoding larger than this is not one of ours: PNG never grows pixels this much.
constexpr size_t kMaxPNGBytes = size_t{4} << 20;

struct SourceStamp {
  int64_t size = 0;
  int64_t seconds = 0;
  int64_t nanoseconds = 0;
};

std::optional<SourceStamp> stampOf(const std::string& source, bool folders = false) {
  struct stat st;
  if (::stat(source.c_str(), &st) != 0 || !(S_ISREG(st.st_mode) || (folders && S_ISDIR(st.st_mode))))
    return std::nullopt;
  // A folder's size is negative so that a file put in its place never matches it.
  const int64_t size = S_ISDIR(st.st_mode) ? -1 : static_cast<int64_t>(st.st_size);
  return SourceStamp{size, static_cast<int64_t>(st.st_mtim.tv_sec), static_cast<int64_t>(st.st_mtim.tv_nsec)};
}

// $XDG_CACHE_HOME/tessaro/icons, each level made private when it is made; none when a level is
// not this user's folder or others may write into it.
std::optional<std::string> cacheFolder(bool create) {
  const std::optional<std::filesystem::path> caches = specialFolder(SpecialFolder::caches);
  if (!caches) return std::nullopt;
  std::string folder = caches->string();
  if (create) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
  }
  for (const char* level : {"/tessaro", "/icons"}) {
    folder += level;
    if (create && ::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return std::nullopt;
    struct stat st;
    if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
        (st.st_mode & 022) != 0)
      return std::nullopt;
  }
  return folder;
}

uint64_t fnv1a(std::initializer_list<std::string_view> parts) {
  uint64_t hash = 14695981039346656037ull;
  for (const std::string_view part : parts) {
    for (const char c : part) {
      hash ^= static_cast<unsigned char>(c);
      hash *= 1099511628211ull;
    }
    hash ^= 0xff;  // ends each part, so that no two lists of parts run together alike
    hash *= 1099511628211ull;
  }
  return hash;
}

// Entries are named by a hash of what they are for; a collision only makes a miss, since the
// header (and for a PNG the pixels) say what an entry holds.
std::string entryName(uint64_t hash, const char* suffix) {
  char name[40];
  std::snprintf(name, sizeof name, "%016llx.%s", static_cast<unsigned long long>(hash), suffix);
  return name;
}

std::string pixelEntryName(const std::string& source, int side) {
  return entryName(fnv1a({source, std::to_string(side)}), "rgba");
}

std::string headerOf(const std::string& source, int side, const SourceStamp& stamp) {
  std::string header(kMagic);
  header += std::to_string(side) + ' ' + std::to_string(stamp.size) + ' ' + std::to_string(stamp.seconds) +
            ' ' + std::to_string(stamp.nanoseconds) + ' ' + std::to_string(source.size()) + '\n';
  header += source;
  return header;
}

// The entry `name` when it is this user's private file whose size satisfies `sizeFits`.
std::optional<std::string> readEntry(const std::string& name, const std::function<bool(uint64_t)>& sizeFits) {
  const std::optional<std::string> folder = cacheFolder(false);
  if (!folder) return std::nullopt;
  const FileDescriptor fd(::open((*folder + "/" + name).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) return std::nullopt;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
      (st.st_mode & 077) != 0 || st.st_size < 0 || !sizeFits(static_cast<uint64_t>(st.st_size)))
    return std::nullopt;
  std::string entry(static_cast<size_t>(st.st_size), '\0');
  if (!readFullyAt(fd.get(), entry.data(), entry.size(), 0)) return std::nullopt;
  return entry;
}

void writeEntry(const std::string& name, std::string_view entry) {
  const std::optional<std::string> folder = cacheFolder(true);
  if (!folder) return;
  // A reader sees the old entry or the whole new one, never a part; a failed write is no entry.
  (void)replaceFile(*folder + "/" + name, entry, 0600);
}

size_t pixelBytes(int width, int height) {
  return static_cast<size_t>(width) * static_cast<size_t>(height) * 4;
}

bool usable(const std::string& source, int side) {
  return side > 0 && side <= kMaxCachedIconSide && !source.empty() && source.front() == '/' &&
         source.size() <= kMaxPath;
}

// "tessaro-text 1 KEYLENGTH\n" and the key, then per source "SIZE SECONDS NANOSECONDS
// PATHLENGTH PATH\n" ("- PATHLENGTH PATH\n" for a missing one), then an empty line.
std::string textHeaderOf(std::string_view key, const std::vector<std::string>& sources) {
  std::string header(kTextMagic);
  header += std::to_string(key.size()) + '\n';
  header += key;
  header += '\n';
  for (const std::string& source : sources) {
    if (const std::optional<SourceStamp> stamp = stampOf(source, true))
      header += std::to_string(stamp->size) + ' ' + std::to_string(stamp->seconds) + ' ' +
                std::to_string(stamp->nanoseconds);
    else
      header += '-';
    header += ' ' + std::to_string(source.size()) + ' ' + source + '\n';
  }
  header += '\n';
  return header;
}

// Whether every source is older than a file system's clock tick: a change made within the tick
// of the last one leaves the modification time as it was, so what was worked out from a source
// that recent might be stale without any stamp telling.
bool settled(const std::vector<std::string>& sources) {
  constexpr int64_t kTickSeconds = 2;
  struct timespec now {};
  if (::clock_gettime(CLOCK_REALTIME, &now) != 0) return false;
  for (const std::string& source : sources)
    if (const std::optional<SourceStamp> stamp = stampOf(source, true))
      if (stamp->seconds + kTickSeconds >= static_cast<int64_t>(now.tv_sec)) return false;
  return true;
}

std::string textEntryName(std::string_view key, const std::vector<std::string>& sources) {
  std::string all(key);
  for (const std::string& source : sources) all.append(1, '\0').append(source);
  return entryName(fnv1a({all}), "text");
}

}  // namespace

std::optional<std::string> cachedIconPixels(const std::string& source, int side) {
  try {
    if (!usable(source, side)) return std::nullopt;
    const std::optional<SourceStamp> stamp = stampOf(source);
    if (!stamp) return std::nullopt;
    const std::string header = headerOf(source, side, *stamp);
    const size_t expected = header.size() + pixelBytes(side, side);
    std::optional<std::string> entry =
        readEntry(pixelEntryName(source, side), [&](uint64_t size) { return size == expected; });
    if (!entry || entry->compare(0, header.size(), header) != 0) return std::nullopt;
    entry->erase(0, header.size());
    return entry;
  } catch (...) {
    return std::nullopt;
  }
}

void storeIconPixels(const std::string& source, int side, std::string_view rgba) {
  try {
    if (!usable(source, side) || rgba.size() != pixelBytes(side, side)) return;
    const std::optional<SourceStamp> stamp = stampOf(source);
    if (!stamp) return;
    std::string entry = headerOf(source, side, *stamp);
    entry.append(rgba);
    writeEntry(pixelEntryName(source, side), entry);
  } catch (...) {
  }
}

std::optional<std::string> cachedDerivedText(std::string_view key, const std::vector<std::string>& sources) {
  try {
    const std::string header = textHeaderOf(key, sources);
    std::optional<std::string> entry = readEntry(textEntryName(key, sources), [&](uint64_t size) {
      return size >= header.size() && size - header.size() <= kMaxText;
    });
    if (!entry || entry->compare(0, header.size(), header) != 0) return std::nullopt;
    entry->erase(0, header.size());
    return entry;
  } catch (...) {
    return std::nullopt;
  }
}

void storeDerivedText(std::string_view key, const std::vector<std::string>& sources, std::string_view text) {
  try {
    if (text.size() > kMaxText || !settled(sources)) return;
    std::string entry = textHeaderOf(key, sources);
    entry.append(text);
    writeEntry(textEntryName(key, sources), entry);
  } catch (...) {
  }
}

// "tessaro-png 1 WIDTH HEIGHT\n", the pixels, then the PNG.
std::optional<std::string> cachedPNG(int width, int height, std::string_view rgba) {
  try {
    if (width <= 0 || height <= 0 || width > kMaxCachedIconSide || height > kMaxCachedIconSide ||
        rgba.size() != pixelBytes(width, height))
      return std::nullopt;
    const std::string header =
        std::string(kPNGMagic) + std::to_string(width) + ' ' + std::to_string(height) + '\n';
    const size_t prefix = header.size() + rgba.size();
    std::optional<std::string> entry = readEntry(entryName(fnv1a({header, rgba}), "png"), [&](uint64_t size) {
      return size > prefix && size - prefix <= kMaxPNGBytes;
    });
    if (!entry || entry->compare(0, header.size(), header) != 0 ||
        entry->compare(header.size(), rgba.size(), rgba) != 0)
      return std::nullopt;
    entry->erase(0, prefix);
    return entry;
  } catch (...) {
    return std::nullopt;
  }
}

void storePNG(int width, int height, std::string_view rgba, std::string_view png) {
  try {
    if (width <= 0 || height <= 0 || width > kMaxCachedIconSide || height > kMaxCachedIconSide ||
        rgba.size() != pixelBytes(width, height) || png.empty() || png.size() > kMaxPNGBytes)
      return;
    std::string entry = std::string(kPNGMagic) + std::to_string(width) + ' ' + std::to_string(height) + '\n';
    const uint64_t hash = fnv1a({entry, rgba});
    entry.append(rgba);
    entry.append(png);
    writeEntry(entryName(hash, "png"), entry);
  } catch (...) {
  }
}

}  // namespace tessaro
