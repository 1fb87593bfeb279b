// A file opened for reading pieces of it at given offsets: archive headers and trailers.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "io/FileDescriptor.h"
#include "io/ReadAt.h"

namespace tessaro {

class ReadOnlyFile {
 public:
  // Opening never waits for a FIFO's writer; anything but a regular file is closed again at once.
  explicit ReadOnlyFile(const std::string& path)
      : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY)) {
    struct stat st;
    if (fd_ && (::fstat(fd_.get(), &st) != 0 || !S_ISREG(st.st_mode))) fd_.reset();
  }

  bool ok() const { return static_cast<bool>(fd_); }
  int fd() const { return fd_.get(); }
  // The size of a regular file; none for anything else (a FIFO or a device has no end to read back from).
  std::optional<int64_t> regularSize() const {
    struct stat st;
    if (!fd_ || ::fstat(fd_.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return st.st_size;
  }
  // Exactly `length` bytes at `offset`, or false.
  bool readAt(uint64_t offset, void* out, size_t length) const {
    return ok() && readFullyAt(fd_.get(), out, length, offset);
  }
  bool read(uint64_t offset, size_t length, std::string& out) const {
    out.resize(length);
    return readAt(offset, out.data(), length);
  }

 private:
  FileDescriptor fd_;
};

}  // namespace tessaro
