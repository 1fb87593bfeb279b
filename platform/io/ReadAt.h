// Reading a whole range of an open file, however few bytes each pread returns.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace tessaro {

// Exactly `size` bytes of `fd` at `offset` into `out`; false at the end of the file or on an error.
inline bool readFullyAt(int fd, void* out, size_t size, uint64_t offset) {
  auto* at = static_cast<unsigned char*>(out);
  while (size > 0) {
    const ssize_t n = ::pread(fd, at, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    at += n;
    size -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return true;
}

}  // namespace tessaro
