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
#include "io/ReadAt.h"
#include "process/Subprocess.h"
#include "zip/ZipEndRecord.h"

namespace tessaro::sevenzip {

namespace {

// The comment's length is the last field of the end record; the comment runs to the end of the
// file.
constexpr size_t kCommentLengthOffset = 20;
constexpr size_t kMaxCommentSize = 0xFFFF;
constexpr size_t kMaxRecordSize = kCommentLengthOffset + 2 + kMaxCommentSize;
// "PK" 05 06: a comment holding it would hide the real end record from readers.
constexpr std::string_view kEndSignature("PK\x05\x06", 4);

std::optional<ZipEndRecord> endRecord(int fd, const struct stat& info) {
  return findZipEndRecord(fd, static_cast<uint64_t>(info.st_size));
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
      const size_t want =
          static_cast<size_t>(std::min<off_t>(length - in, static_cast<off_t>(buffer.size())));
      if (!readFullyAt(from, reinterpret_cast<unsigned char*>(buffer.data()), want, in)) return false;
      if (!writeAll(to, std::string_view(buffer.data(), want))) return false;
      in += static_cast<off_t>(want);
    }
  }
  return true;
}

std::string lengthField(std::string_view comment) {
  return {static_cast<char>(comment.size() & 0xFF), static_cast<char>(comment.size() >> 8)};
}

// Replaces the file at `target` with `content` through a file beside it and a rename.
bool replaceWith(const std::string& target, mode_t mode, std::string_view content, std::string& error) {
  const size_t slash = target.rfind('/');
  std::string temporary = target.substr(0, slash + 1) + "." + target.substr(slash + 1) + ".comment-XXXXXX";
  FileDescriptor out(::mkstemp(temporary.data()));
  if (!out) {
    error = temporary + ": " + std::strerror(errno);
    return false;
  }
  const bool written =
      writeAll(out.get(), content) && ::fchmod(out.get(), mode & 07777) == 0 && ::fsync(out.get()) == 0;
  if (!written || ::close(out.release()) != 0 || ::rename(temporary.c_str(), target.c_str()) != 0) {
    error = target + ": cannot write the new comment: " + std::strerror(errno);
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace

bool isZipArchive(const std::string& path) {
  try {
    const std::optional<OpenFile> file = openRegular(path);
    return file && endRecord(file->fd.get(), file->info).has_value();
  } catch (...) {
    return false;
  }
}

bool isWritableZipComment(std::string_view comment, std::string& error) {
  if (comment.size() > kMaxCommentSize) {
    error = "the comment is longer than 65535 bytes";
    return false;
  }
  if (comment.find(kEndSignature) != std::string_view::npos) {
    error = "the comment holds the zip end-record signature, which would hide the real one";
    return false;
  }
  return true;
}

bool setZipComment(const std::string& path, std::string_view comment, std::string& error) {
  std::string temporary;
  try {
    if (!isWritableZipComment(comment, error)) return false;
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
    const std::optional<ZipEndRecord> record = endRecord(file->fd.get(), file->info);
    if (!record) {
      error = path + ": not a zip archive";
      return false;
    }
    if (record->comment == comment) return true;
    const auto kept = static_cast<off_t>(record->offset + kCommentLengthOffset);

    const size_t slash = target.rfind('/');
    temporary = target.substr(0, slash + 1) + "." + target.substr(slash + 1) + ".comment-XXXXXX";
    FileDescriptor out(::mkstemp(temporary.data()));
    if (!out) {
      error = temporary + ": " + std::strerror(errno);
      temporary.clear();
      return false;
    }
    const bool written = copyPrefix(file->fd.get(), out.get(), kept) &&
                         writeAll(out.get(), lengthField(comment)) && writeAll(out.get(), comment) &&
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

bool setVolumeComment(const std::vector<std::string>& volumes, std::string_view comment, std::string& error) {
  try {
    if (volumes.empty()) {
      error = "no volume to hold the comment";
      return false;
    }
    if (volumes.size() == 1 || isZipArchive(volumes.back()))
      return setZipComment(volumes.back(), comment, error);
    if (!isWritableZipComment(comment, error)) return false;
    const std::string& previous = volumes[volumes.size() - 2];
    const std::string& last = volumes.back();
    const std::optional<OpenFile> before = openRegular(previous);
    const std::optional<OpenFile> after = openRegular(last);
    const auto lastSize = static_cast<size_t>(after ? after->info.st_size : 0);
    if (!before || !after || lastSize >= kMaxRecordSize) {
      error = last + ": not the end of a zip archive";
      return false;
    }
    const auto beforeSize = static_cast<uint64_t>(before->info.st_size);
    const size_t fromBefore = static_cast<size_t>(std::min<uint64_t>(beforeSize, kMaxRecordSize - lastSize));
    std::string tail(fromBefore + lastSize, '\0');
    if (!readFullyAt(before->fd.get(), tail.data(), fromBefore, beforeSize - fromBefore) ||
        !readFullyAt(after->fd.get(), tail.data() + fromBefore, lastSize, 0)) {
      error = last + ": cannot be read";
      return false;
    }
    // Offsets within `previous`, where the record begins.
    const std::optional<ZipEndRecord> record = findZipEndRecord(tail, beforeSize - fromBefore);
    if (!record || record->offset >= beforeSize) {
      error = last + ": not the end of a zip archive";
      return false;
    }
    // The whole record moves into the last volume; the volume before ends where it began.
    const size_t start = static_cast<size_t>(record->offset - (beforeSize - fromBefore));
    std::string content = tail.substr(start, kCommentLengthOffset) + lengthField(comment);
    content.append(comment);
    if (!replaceWith(last, after->info.st_mode, content, error)) return false;
    if (::truncate(previous.c_str(), static_cast<off_t>(record->offset)) != 0) {
      error = previous + ": " + std::strerror(errno);
      return false;
    }
    return true;
  } catch (...) {
    error = "out of memory";
    return false;
  }
}

}  // namespace tessaro::sevenzip
