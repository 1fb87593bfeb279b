// Writing files so that a failure is always seen: every call checked, data and names made
// durable with fsync, renames that never replace, an exclusive lock on a file, and a removal of
// a folder that works on read-only contents. The functions answer 0 or the errno value of what
// failed.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <string_view>

#include "FileDescriptor.h"

namespace tessaro {

// Writes all of `bytes`, going on after short writes and EINTR.
int writeAll(int fd, std::string_view bytes);
// fsync, going on after EINTR.
int syncFile(int fd);
// Makes the names in the folder at `path` durable (fsync of the folder).
int syncFolder(const std::string& path);
// A new file `to` (never an existing one) with the contents of `from` and `mode`, synced to the
// disk; a partial `to` is removed again on failure.
int copyFile(const std::string& from, const std::string& to, mode_t mode);
// Replaces the file `path` with `bytes`, written into a new file beside it with `mode` and then
// renamed over it, so that a reader finds the old contents or all of the new, never a part; the
// new file is removed again on failure.
int replaceFile(const std::string& path, std::string_view bytes, mode_t mode);
// Renames `from` to `to` unless `to` exists (EEXIST then), on file systems that cannot refuse
// to replace by looking first.
int renameNoReplace(const std::string& from, const std::string& to);
// Removes `name` in the folder `parentFd` (or AT_FDCWD) with everything below it, never following
// a symbolic link, making folders writable first so that read-only contents go too, and without
// recursion, however deep the tree. Uses only async-signal-safe calls and no memory from the heap,
// so a signal handler may call it. True when nothing of it is left.
bool removeTreeAt(int parentFd, const char* name) noexcept;
// removeTreeAt for a path: 0, or an errno value.
int removeTree(const char* path) noexcept;
// True when the disk holding `path` has less than a mebibyte left: what a tool that failed
// while writing there most likely ran into.
bool lowOnSpace(const std::string& path);

// An exclusive flock on a file, held until the object goes.
class FileLock {
 public:
  FileLock() = default;
  // Opens `path` read-only and locks it, trying again until `patience` has passed (EWOULDBLOCK
  // then). When the file at `path` was replaced while we waited, the new one is locked instead.
  int lock(const std::string& path, std::chrono::milliseconds patience);
  bool locked() const { return static_cast<bool>(fd_); }
  // The locked file's descriptor.
  int fd() const { return fd_.get(); }
  void unlock() { fd_.reset(); }

 private:
  FileDescriptor fd_;
};

}  // namespace tessaro
