#include "FileUtilities.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

#include "Diagnostics.h"
#include "HelperSupport.h"
#include "PathString.h"
#include "alert/AlertPanel.h"
#include "io/FileIO.h"

namespace tessaro {

using detail::containsNul;
using detail::folderEntries;
using detail::guarded;

namespace {

int64_t addSaturating(int64_t a, int64_t b) {
  if (b > 0 && a > std::numeric_limits<int64_t>::max() - b) return std::numeric_limits<int64_t>::max();
  return a + b;
}

// Size of `root` itself (a symbolic link counts as itself) plus everything below it when it is
// a folder; folders add only their contents. Iterative, so deep trees cannot exhaust the stack.
int64_t treeSize(std::string root) {
  int64_t total = 0;
  std::vector<std::string> pending;
  pending.push_back(std::move(root));
  while (!pending.empty()) {
    std::string path = std::move(pending.back());
    pending.pop_back();
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) continue;
    if (!S_ISDIR(st.st_mode)) {
      total = addSaturating(total, static_cast<int64_t>(st.st_size));
      continue;
    }
    for (std::string& name : folderEntries(path)) pending.push_back(appendingPathComponent(path, name));
  }
  return total;
}

}  // namespace

std::string notReadableAsArchive(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return std::strerror(errno);
  return S_ISREG(st.st_mode) ? std::string() : std::string("not a regular file");
}

bool checkSpace(int64_t needed, std::string_view path) {
  return guarded(false, [&] {
    if (needed <= 0 || containsNul(path)) return false;
    struct statvfs fs;
    if (statvfs(std::string(path).c_str(), &fs) != 0) return false;
    // f_bavail counts fragments of f_frsize bytes (f_bsize is only the preferred I/O size).
    const uint64_t unit = fs.f_frsize ? fs.f_frsize : fs.f_bsize;
    const auto want = static_cast<uint64_t>(needed);
    if (unit == 0 || fs.f_bavail >= want / unit + 1 || fs.f_bavail * unit >= want) return false;
    return HLVRunAlertPanel("Warning", "There is not enough free space on the destination drive.", "Stop",
                            "Ignore and go on", "") == kAlertDefaultReturn;
  });
}

// ---- Sizes of files and sets

int64_t filesizeFromArray(std::string_view folder, const std::vector<std::string>* names) {
  return guarded(int64_t{0}, [&] {
    if (!names) return treeSize(std::string(folder));
    int64_t total = 0;
    for (const std::string& name : *names)
      if (!name.empty()) total = addSaturating(total, treeSize(appendingPathComponent(folder, name)));
    return total;
  });
}

int64_t calculateSizeOfFiles(const std::vector<std::string>& paths) {
  return guarded(int64_t{0}, [&] {
    int64_t total = 0;
    for (const std::string& path : paths)
      if (!path.empty()) total = addSaturating(total, treeSize(path));
    return total;
  });
}

bool compareFirstBytes(std::string_view path, std::string_view text, size_t count) {
  return guarded(false, [&] {
    // One byte past the text decides whether the file's text goes on beyond it.
    std::string head;
    size_t want = std::min(count, text.size() + 1);
    if (!containsNul(path)) {
      // Non-blocking, so that a FIFO cannot stall the open; only regular files are read.
      int fd = open(std::string(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
      struct stat st;
      if (fd >= 0) {
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
          head.resize(want);
          size_t got = 0;
          while (got < want) {
            ssize_t n = read(fd, head.data() + got, want - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += static_cast<size_t>(n);
          }
          head.resize(got);
        }
        close(fd);
      }
    }
    head.resize(std::min(head.size(), head.find('\0')));
    return head == text;
  });
}

void mergeFolders(std::string_view source, std::string_view destination) {
  try {
    // Iterative, so that a deep tree cannot exhaust the stack.
    std::vector<std::pair<std::string, std::string>> pending;
    pending.emplace_back(source, destination);
    while (!pending.empty()) {
      auto [from, to] = std::move(pending.back());
      pending.pop_back();
      for (const std::string& name : folderEntries(from)) {
        std::string sourceEntry = appendingPathComponent(from, name);
        std::string target = appendingPathComponent(to, name);
        const int error = renameNoReplace(sourceEntry, target);
        if (error == 0) continue;
        if (error == EEXIST || error == ENOTEMPTY) {
          struct stat s, d;
          if (lstat(sourceEntry.c_str(), &s) == 0 && lstat(target.c_str(), &d) == 0 && S_ISDIR(s.st_mode) &&
              S_ISDIR(d.st_mode)) {
            pending.emplace_back(std::move(sourceEntry), std::move(target));
          } else {
            HLVLog(kLogError, "Error when moving %s to %s: File exists", sourceEntry.c_str(), target.c_str());
          }
        } else {
          HLVLog(kLogError, "Error when moving %s to %s: General error", sourceEntry.c_str(), target.c_str());
        }
      }
    }
  } catch (...) {
    // Swallowed: what was moved stays moved; the rest stays where it was.
    HLVLog(kLogError, "Moving the contents failed");
  }
}

std::string getVolumeName(std::string_view path) {
  return guarded(std::string{}, [&] {
    if (path.empty() || containsNul(path)) return std::string{};
    // A path that does not exist yet lies on the volume of its nearest existing folder.
    std::string current;
    for (std::string probe(path); !probe.empty();) {
      if (char* real = realpath(probe.c_str(), nullptr)) {
        current = real;
        free(real);
        break;
      }
      std::string up(deletingLastPathComponent(probe));
      if (up.size() >= probe.size()) break;
      probe = std::move(up);
    }
    struct stat st;
    if (current.empty() || stat(current.c_str(), &st) != 0) return std::string{};
    while (current != "/") {
      std::string up(deletingLastPathComponent(current));
      if (up.empty()) up = "/";
      struct stat upper;
      if (stat(up.c_str(), &upper) != 0 || upper.st_dev != st.st_dev) break;
      current = std::move(up);
    }
    return current == "/" ? current : std::string(lastPathComponent(current));
  });
}

}  // namespace tessaro
