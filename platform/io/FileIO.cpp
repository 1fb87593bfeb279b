#include "FileIO.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

namespace tessaro {

namespace {

constexpr size_t kCopyChunk = 1 << 20;
// Folder reads and moves up and down one tree may take before removal gives up: something that
// keeps writing into the folder could otherwise keep us busy for ever.
constexpr long kMaxRemovalSteps = 1L << 20;

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

// Opens the folder `name` in `parentFd` for emptying, making it readable, writable and searchable
// for us first when its mode keeps us out; -1 when it is no folder or cannot be opened.
int openForEmptying(int parentFd, const char* name) {
  constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  int fd = ::openat(parentFd, name, kFlags);
  if (fd < 0 && errno == EACCES) {
    // Only a folder reaches here (a link or file would have been unlinked), so the mode change
    // has nothing to follow.
    struct stat st;
    if (::fstatat(parentFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)) return -1;
    if (::fchmodat(parentFd, name, S_IRWXU, 0) != 0) return -1;
    fd = ::openat(parentFd, name, kFlags);
  }
  if (fd >= 0) ::fchmod(fd, S_IRWXU);
  return fd;
}

// One entry name from a getdents64 buffer.
struct LinuxDirent64 {
  uint64_t d_ino;
  int64_t d_off;
  unsigned short d_reclen;
  unsigned char d_type;
  char d_name[1];
};

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
  FileDescriptor target(
      ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR));
  if (!target) return errno;
  int error = copyContents(source.get(), target.get());
  // The mode is set after the data, so that a read-only archive's copy can still be written.
  if (error == 0 && ::fchmod(target.get(), mode & 07777) != 0) error = errno;
  if (error == 0) error = syncFile(target.get());
  if (error == 0 && ::close(target.release()) != 0) error = errno;
  if (error != 0) ::unlink(to.c_str());
  return error;
}

int replaceFile(const std::string& path, std::string_view bytes, mode_t mode) {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, std::max<size_t>(slash, 1));
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string temporary = folder + "/." + name + "-XXXXXX";
  FileDescriptor out(::mkstemp(temporary.data()));  // private until it is whole
  if (!out) return errno;
  int error = writeAll(out.get(), bytes);
  if (error == 0 && ::fchmod(out.get(), mode & 07777) != 0) error = errno;
  if (error == 0 && ::close(out.release()) != 0) error = errno;
  if (error == 0 && ::rename(temporary.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) ::unlink(temporary.c_str());
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

bool removeTreeAt(int parentFd, const char* name) noexcept {
  if (::unlinkat(parentFd, name, 0) == 0 || errno == ENOENT) return true;
  if (::unlinkat(parentFd, name, AT_REMOVEDIR) == 0 || errno == ENOENT) return true;
  int fd = openForEmptying(parentFd, name);
  if (fd < 0) return false;

  // Empties the tree without recursion (its depth is the archive's to choose): go down into the
  // first folder that is not empty, and back up through ".." once a folder is, where the next
  // pass removes the folder just emptied.
  long steps = 0;
  int depth = 0;
  bool ok = true;
  alignas(LinuxDirent64) char buffer[1024];
  while (ok) {
    if (++steps > kMaxRemovalSteps) {
      ok = false;
      break;
    }
    int descendInto = -1;
    bool sawEntries = false;
    ::lseek(fd, 0, SEEK_SET);
    for (;;) {
      const long n = ::syscall(SYS_getdents64, fd, buffer, sizeof buffer);
      if (n <= 0) {
        if (n < 0) ok = false;
        break;
      }
      for (long offset = 0; offset < n;) {
        const auto* entry = reinterpret_cast<const LinuxDirent64*>(buffer + offset);
        offset += entry->d_reclen;
        if (isDots(entry->d_name)) continue;
        sawEntries = true;
        if (::unlinkat(fd, entry->d_name, 0) == 0 || errno == ENOENT) continue;
        if (::unlinkat(fd, entry->d_name, AT_REMOVEDIR) == 0 || errno == ENOENT) continue;
        descendInto = openForEmptying(fd, entry->d_name);
        if (descendInto < 0) ok = false;
        break;
      }
      if (descendInto >= 0 || !ok) break;
    }
    if (!ok) break;
    if (descendInto >= 0) {
      ::close(fd);
      fd = descendInto;
      ++depth;
      continue;
    }
    // A pass that removed something reads the folder again: removing while reading may skip names.
    if (sawEntries) continue;
    if (depth == 0) break;
    const int up = ::openat(fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(fd);
    fd = up;
    --depth;
    if (fd < 0) return false;
  }
  ::close(fd);
  if (!ok) return false;
  return ::unlinkat(parentFd, name, AT_REMOVEDIR) == 0 || errno == ENOENT;
}

int removeTree(const char* path) noexcept {
  if (removeTreeAt(AT_FDCWD, path)) return 0;
  return errno != 0 ? errno : ENOTEMPTY;
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
