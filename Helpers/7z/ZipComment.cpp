#include "ZipComment.h"


#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "HelperOutput.h"
#include "process/ReadAt.h"
#include "process/Subprocess.h"

namespace tessaro::sevenzip {

namespace {

// "PK" 05 06: end of central directory record; its last two bytes are the comment's length, and
// the comment runs to the end of the file.
constexpr char kEndSignature[] = "PK\x05\x06";
constexpr size_t kEndSize = 22;
constexpr size_t kCommentLengthOffset = 20;
constexpr size_t kCentralOffsetOffset = 16;
constexpr size_t kMaxCommentSize = 0xFFFF;
// A zip64 archive keeps 0xFFFFFFFF here; the real offset is in the zip64 end record, found through
// the locator right before this record by an absolute offset that a new comment does not move.
constexpr uint32_t kZip64Saturated = 0xFFFFFFFF;

uint16_t u16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t u32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

// The offset of the end record in the open file of `size` bytes: the one nearest the end whose
// comment length reaches exactly to the end of the file, as readers search for it.
std::optional<off_t> findEndRecord(int fd, off_t size) {
  if (size < static_cast<off_t>(kEndSize)) return std::nullopt;
  const size_t tailSize = static_cast<size_t>(std::min<off_t>(size, kEndSize + kMaxCommentSize));
  std::vector<unsigned char> tail(tailSize);
  const off_t tailStart = size - static_cast<off_t>(tailSize);
  if (!readFullyAt(fd, tail.data(), tailSize, tailStart)) return std::nullopt;
  for (size_t i = tailSize - kEndSize + 1; i-- > 0;) {
    if (std::memcmp(tail.data() + i, kEndSignature, 4) != 0) continue;
    if (i + kEndSize + u16(tail.data() + i + kCommentLengthOffset) != tailSize) continue;
    const off_t record = tailStart + static_cast<off_t>(i);
    const uint32_t central = u32(tail.data() + i + kCentralOffsetOffset);
    // A stray signature in other data rarely also points back before itself.
    if (central != kZip64Saturated && static_cast<off_t>(central) > record) continue;
    return record;
  }
  return std::nullopt;
}

struct OpenFile {
  FileDescriptor fd;
  struct stat info {};
};

std::optional<OpenFile> openRegular(const std::string& path) {
  OpenFile file;
  file.fd.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.fd || ::fstat(file.fd.get(), &file.info) != 0 || !S_ISREG(file.info.st_mode)) return std::nullopt;
  return file;
}

// Copies the first `length` bytes of `from` into `to`, in the kernel where it can.
bool copyPrefix(int from, int to, off_t length) {
  off_t in = 0;
  while (in < length) {
    const ssize_t n = ::copy_file_range(from, &in, to, nullptr, static_cast<size_t>(length - in), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n > 0) continue;
    if (n == 0) return false;
    if (errno != EXDEV && errno != ENOSYS && errno != EOPNOTSUPP && errno != EINVAL) return false;
    // Plain reads and writes for file systems that cannot copy between themselves.
    std::vector<char> buffer(1 << 16);
    while (in < length) {
      const size_t want = static_cast<size_t>(std::min<off_t>(length - in, static_cast<off_t>(buffer.size())));
      if (!readFullyAt(from, reinterpret_cast<unsigned char*>(buffer.data()), want, in)) return false;
      if (!writeAll(to, std::string_view(buffer.data(), want))) return false;
      in += static_cast<off_t>(want);
    }
  }
  return true;
}

}  // namespace

bool isZipArchive(const std::string& path) {
  try {
    const std::optional<OpenFile> file = openRegular(path);
    return file && findEndRecord(file->fd.get(), file->info.st_size).has_value();
  } catch (...) {
    return false;
  }
}

bool setZipComment(const std::string& path, std::string_view comment, std::string& error) {
  std::string temporary;
  try {
    if (comment.size() > kMaxCommentSize) {
      error = "the comment is longer than 65535 bytes";
      return false;
    }
    if (comment.find(std::string_view(kEndSignature, 4)) != std::string_view::npos) {
      error = "the comment holds the zip end-record signature, which would hide the real one";
      return false;
    }
    // The real file, so that a link to the archive stays a link.
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) {
      error = path + ": " + std::strerror(errno);
      return false;
    }
    const std::string target(resolved);
    std::free(resolved);
    const std::optional<OpenFile> file = openRegular(target);
    if (!file) {
      error = path + ": cannot be read";
      return false;
    }
    const std::optional<off_t> record = findEndRecord(file->fd.get(), file->info.st_size);
    if (!record) {
      error = path + ": not a zip archive";
      return false;
    }
    const off_t kept = *record + static_cast<off_t>(kCommentLengthOffset);
    unsigned char oldLength[2];
    if (!readFullyAt(file->fd.get(), oldLength, 2, kept)) {
      error = path + ": cannot be read";
      return false;
    }
    if (u16(oldLength) == comment.size() && file->info.st_size == kept + 2 + static_cast<off_t>(comment.size())) {
      std::string old(comment.size(), '\0');
      if (readFullyAt(file->fd.get(), reinterpret_cast<unsigned char*>(old.data()), old.size(), kept + 2) &&
          old == comment)
        return true;
    }

    const size_t slash = target.rfind('/');
    temporary = target.substr(0, slash + 1) + "." + target.substr(slash + 1) + ".comment-XXXXXX";
    FileDescriptor out(::mkstemp(temporary.data()));
    if (!out) {
      error = temporary + ": " + std::strerror(errno);
      temporary.clear();
      return false;
    }
    const char length[2] = {static_cast<char>(comment.size() & 0xFF), static_cast<char>(comment.size() >> 8)};
    const bool written = copyPrefix(file->fd.get(), out.get(), kept) && writeAll(out.get(), std::string_view(length, 2)) &&
                         writeAll(out.get(), comment) &&
                         ::fchmod(out.get(), file->info.st_mode & 07777) == 0 && ::fsync(out.get()) == 0;
    if (!written || ::close(out.release()) != 0 || ::rename(temporary.c_str(), target.c_str()) != 0) {
      error = path + ": cannot write the new comment: " + std::strerror(errno);
      ::unlink(temporary.c_str());
      return false;
    }
    return true;
  } catch (...) {
    if (!temporary.empty()) ::unlink(temporary.c_str());
    error = "out of memory";
    return false;
  }
}

}  // namespace tessaro::sevenzip
