#include "NewFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <random>
#include <system_error>

#include "Diagnostics.h"
#include "HelperSupport.h"
#include "PathString.h"
#include "folders/UserFolders.h"

namespace tessaro {

using detail::guarded;

namespace {

bool pathExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

}  // namespace

std::optional<std::string> findFreeName(std::string_view folder, std::string_view name) {
  if (folder.empty() || name.empty()) return std::nullopt;
  return guarded(std::optional<std::string>{}, [&]() -> std::optional<std::string> {
    HLVLog(kLogTrace, "findFreeName (%.*s, %.*s)", static_cast<int>(folder.size()), folder.data(),
           static_cast<int>(name.size()), name.data());
    std::string candidate = expandTilde(appendingPathComponent(folder, name));
    std::string extension(pathExtension(candidate));
    if (extension.empty()) {
      if (!pathExists(candidate)) return candidate;
      for (int i = 1; i < INT_MAX; ++i) {
        std::string numbered = candidate + " " + std::to_string(i);
        if (!pathExists(numbered)) return numbered;
      }
      return std::nullopt;
    }
    std::string stem(deletingPathExtension(candidate));
    for (int i = 0; i < INT_MAX; ++i) {
      std::string numbered =
          appendingPathExtension(i == 0 ? stem : stem + " " + std::to_string(i), extension);
      if (!pathExists(numbered)) return numbered;
    }
    return std::nullopt;
  });
}

bool writeFileAtomically(const std::string& path, std::string_view text) {
  const std::string partial = path + ".partial";
  FILE* file = std::fopen(partial.c_str(), "wbx");
  if (!file) return false;
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  if (std::fclose(file) != 0 || !written || std::rename(partial.c_str(), path.c_str()) != 0) {
    std::remove(partial.c_str());
    return false;
  }
  return true;
}

// A new, empty file beside `target` for the archive to be written into, with the mode of the
// archive it replaces (else the one the umask gives a new file); none when it cannot be made.
std::optional<std::string> createFileBeside(const std::string& target) {
  const std::string folder(deletingLastPathComponent(target));
  const std::string name(lastPathComponent(target));
  struct stat existing;
  const bool replaces = ::stat(target.c_str(), &existing) == 0 && S_ISREG(existing.st_mode);
  std::random_device seed;
  std::mt19937 random(seed());
  // A hidden name, so that neither a shell glob nor the user sees the half-written archive.
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, ".%08x", static_cast<unsigned>(random()));
    std::string candidate = appendingPathComponent(folder.empty() ? "." : folder, "." + name + suffix);
    const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return std::nullopt;
    }
    if (replaces) ::fchmod(fd, existing.st_mode & 07777);
    ::close(fd);
    return candidate;
  }
  return std::nullopt;
}

// The file an update replaces: the target of a symbolic link, which stays a link.
std::string resolvedArchivePath(const std::string& path) {
  std::error_code error;
  if (!std::filesystem::is_symlink(path, error)) return path;
  const std::filesystem::path resolved = std::filesystem::canonical(path, error);
  return error ? path : resolved.string();
}

}  // namespace tessaro
