#include "icons/IconCache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "folders/UserFolders.h"
#include "io/FileDescriptor.h"
#include "io/FileIO.h"

namespace tessaro {

namespace {

// "tessaro-icon 1 SIDE SIZE SECONDS NANOSECONDS PATHLENGTH\n", then the path, then the pixels.
constexpr std::string_view kMagic = "tessaro-icon 1 ";
constexpr size_t kMaxHeaderLine = 128;
constexpr size_t kMaxPath = 4096;

struct SourceStamp {
  int64_t size = 0;
  int64_t seconds = 0;
  int64_t nanoseconds = 0;
};

std::optional<SourceStamp> stampOf(const std::string& source) {
  struct stat st;
  if (::stat(source.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return SourceStamp{static_cast<int64_t>(st.st_size), static_cast<int64_t>(st.st_mtim.tv_sec),
                     static_cast<int64_t>(st.st_mtim.tv_nsec)};
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

// One file per icon file and side, named by a hash of both; a collision only makes a miss,
// since the header names the file it was drawn from.
std::string entryName(const std::string& source, int side) {
  uint64_t hash = 14695981039346656037ull;  // FNV-1a
  const auto mix = [&hash](std::string_view bytes) {
    for (const char c : bytes) {
      hash ^= static_cast<unsigned char>(c);
      hash *= 1099511628211ull;
    }
  };
  mix(source);
  mix(std::string_view("\0", 1));
  mix(std::to_string(side));
  char name[32];
  std::snprintf(name, sizeof name, "%016llx.rgba", static_cast<unsigned long long>(hash));
  return name;
}

std::string headerOf(const std::string& source, int side, const SourceStamp& stamp) {
  std::string header(kMagic);
  header += std::to_string(side) + ' ' + std::to_string(stamp.size) + ' ' + std::to_string(stamp.seconds) +
            ' ' + std::to_string(stamp.nanoseconds) + ' ' + std::to_string(source.size()) + '\n';
  header += source;
  return header;
}

bool usable(const std::string& source, int side) {
  return side > 0 && side <= kMaxCachedIconSide && !source.empty() && source.front() == '/' &&
         source.size() <= kMaxPath;
}

}  // namespace

std::optional<std::string> cachedIconPixels(const std::string& source, int side) {
  try {
    if (!usable(source, side)) return std::nullopt;
    const std::optional<SourceStamp> stamp = stampOf(source);
    if (!stamp) return std::nullopt;
    const std::optional<std::string> folder = cacheFolder(false);
    if (!folder) return std::nullopt;
    const FileDescriptor fd(
        ::open((*folder + "/" + entryName(source, side)).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) return std::nullopt;
    struct stat st;
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
        (st.st_mode & 077) != 0)
      return std::nullopt;
    // The whole entry is exactly what this header promises, read in one go.
    const std::string expected = headerOf(source, side, *stamp);
    const size_t pixelBytes = static_cast<size_t>(side) * static_cast<size_t>(side) * 4;
    if (static_cast<uint64_t>(st.st_size) != expected.size() + pixelBytes) return std::nullopt;
    std::string entry(expected.size() + pixelBytes, '\0');
    size_t got = 0;
    while (got < entry.size()) {
      const ssize_t n = ::read(fd.get(), entry.data() + got, entry.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return std::nullopt;
      got += static_cast<size_t>(n);
    }
    if (entry.compare(0, expected.size(), expected) != 0) return std::nullopt;
    entry.erase(0, expected.size());
    return entry;
  } catch (...) {
    return std::nullopt;
  }
}

void storeIconPixels(const std::string& source, int side, std::string_view rgba) {
  try {
    if (!usable(source, side) || rgba.size() != static_cast<size_t>(side) * static_cast<size_t>(side) * 4)
      return;
    const std::optional<SourceStamp> stamp = stampOf(source);
    if (!stamp) return;
    const std::optional<std::string> folder = cacheFolder(true);
    if (!folder) return;
    std::string temporary = *folder + "/.entry-XXXXXX";
    const int fd = ::mkstemp(temporary.data());  // private (0600) from the start
    if (fd < 0) return;
    std::string entry = headerOf(source, side, *stamp);
    entry.append(rgba);
    const bool written = writeAll(fd, entry) == 0;
    // A reader sees the old entry or the whole new one, never a part.
    if (::close(fd) != 0 || !written ||
        ::rename(temporary.c_str(), (*folder + "/" + entryName(source, side)).c_str()) != 0)
      ::unlink(temporary.c_str());
  } catch (...) {
  }
}

}  // namespace tessaro
