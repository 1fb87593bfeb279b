#include "FileIO.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

namespace tessaro {

namespace {

constexpr size_t kCopyChunk = 1 << 20;
// Folders deeper than this are left in place rather than risk the stack of a signal handler.
constexpr int kMaxRemovalDepth = 256;
// Entries are removed while the folder is read; a few passes catch what a pass skipped.
constexpr int kRemovalPasses = 8;

int copyByReading(int from, int to) {
  std::vector<char> buffer(kCopyChunk);
  for (;;) {
    const ssize_t n = ::read(from, buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return 0;
    if (const int error = writeAll(to, std::string_view(buffer.data(), static_cast<size_t>(n)))) return error;
  }
}

int copyContents(int from, int to) {
  bool copied = false;
  for (;;) {
    const ssize_t n = ::copy_file_range(from, nullptr, to, nullptr, kCopyChunk, 0);
    if (n > 0) {
      copied = true;
      continue;
    }
    if (n == 0) return 0;
    if (errno == EINTR) continue;
    // Not offered between these two files: nothing was copied yet, so plain reading starts over.
    if (!copied && (errno == ENOSYS || errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP))
      return copyByReading(from, to);
    return errno;
  }
}

bool isDots(const char* name) { return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)); }

// Empties the open folder `folder`; 0 when it is empty afterwards.
int removeBelow(int folder, int depth) noexcept {
  if (depth > kMaxRemovalDepth) return ELOOP;
  int lastError = 0;
  for (int pass = 0; pass < kRemovalPasses; ++pass) {
    if (::lseek(folder, 0, SEEK_SET) < 0) return errno;
    alignas(8) char buffer[2048];
    bool any = false;
    lastError = 0;
    for (;;) {
      const ssize_t n = ::getdents64(folder, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return errno;
      if (n == 0) break;
      for (ssize_t offset = 0; offset < n;) {
        const auto* entry = reinterpret_cast<const struct dirent64*>(buffer + offset);
        offset += entry->d_reclen;
        const char* name = entry->d_name;
        if (isDots(name)) continue;
        any = true;
        bool isFolder = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN) {
          struct stat st;
          isFolder = ::fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
        }
        if (isFolder) {
          int inner = ::openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
          if (inner < 0 && errno == EACCES && ::fchmodat(folder, name, S_IRWXU, 0) == 0)
            inner = ::openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
          if (inner < 0) {
            lastError = errno;
            continue;
          }
          // A folder without write permission keeps its entries.
          ::fchmod(inner, S_IRWXU);
          const int error = removeBelow(inner, depth + 1);
          ::close(inner);
          if (error != 0) {
            lastError = error;
            continue;
          }
          if (::unlinkat(folder, name, AT_REMOVEDIR) != 0) lastError = errno;
        } else if (::unlinkat(folder, name, 0) != 0) {
          lastError = errno;
        }
      }
    }
    if (!any) return 0;
  }
  return lastError != 0 ? lastError : ENOTEMPTY;
}

}  // namespace

int writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return 0;
}

int syncFile(int fd) {
  while (::fsync(fd) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

int syncFolder(const std::string& path) {
  const FileDescriptor folder(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder) return errno;
  return syncFile(folder.get());
}

int copyFile(const std::string& from, const std::string& to, mode_t mode) {
  const FileDescriptor source(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  if (!source) return errno;
  FileDescriptor target(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR));
  if (!target) return errno;
  int error = copyContents(source.get(), target.get());
  // The mode is set after the data, so that a read-only archive's copy can still be written.
  if (error == 0 && ::fchmod(target.get(), mode & 07777) != 0) error = errno;
  if (error == 0) error = syncFile(target.get());
  if (error == 0 && ::close(target.release()) != 0) error = errno;
  if (error != 0) ::unlink(to.c_str());
  return error;
}

int renameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  // A file system that cannot refuse to replace: look first, then rename.
  struct stat st;
  if (::lstat(to.c_str(), &st) == 0) return EEXIST;
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

int removeTree(const char* path) noexcept {
  struct stat st;
  if (::lstat(path, &st) != 0) return errno == ENOENT ? 0 : errno;
  if (!S_ISDIR(st.st_mode)) return ::unlink(path) == 0 ? 0 : errno;
  int folder = ::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (folder < 0 && errno == EACCES && ::chmod(path, S_IRWXU) == 0)
    folder = ::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (folder < 0) return errno;
  ::fchmod(folder, S_IRWXU);
  const int error = removeBelow(folder, 0);
  ::close(folder);
  if (error != 0) return error;
  return ::rmdir(path) == 0 ? 0 : errno;
}

bool lowOnSpace(const std::string& path) {
  constexpr uint64_t kLow = 1 << 20;
  struct statvfs disk;
  if (::statvfs(path.c_str(), &disk) != 0) return false;
  // f_bavail counts fragments of f_frsize bytes (f_bsize is only the preferred I/O size).
  const uint64_t unit = disk.f_frsize ? disk.f_frsize : disk.f_bsize;
  return static_cast<uint64_t>(disk.f_bavail) * unit < kLow;
}

int FileLock::lock(const std::string& path, std::chrono::milliseconds patience) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + patience;
  fd_.reset();
  for (;;) {
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC));
    if (!file) return errno;
    while (::flock(file.get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno != EWOULDBLOCK && errno != EINTR) return errno;
      if (Clock::now() >= deadline) return EWOULDBLOCK;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // The holder before us may have replaced the file: the lock must be on the one the name has now.
    struct stat held;
    struct stat named;
    if (::fstat(file.get(), &held) != 0) return errno;
    if (::stat(path.c_str(), &named) != 0) return errno;
    if (held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
      fd_ = std::move(file);
      return 0;
    }
    if (Clock::now() >= deadline) return EWOULDBLOCK;
  }
}

}  // namespace tessaro
