#include "ZipEndRecord.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "io/ReadAt.h"

namespace tessaro {

namespace {

// "PK" 05 06, then 18 bytes of counts and offsets, then the comment's length and the comment.
constexpr unsigned char kSignature[] = {'P', 'K', 5, 6};
constexpr size_t kRecordSize = 22;
constexpr size_t kMaxCommentSize = 0xFFFF;
constexpr size_t kCommentLengthOffset = 20;

uint16_t le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t le32(const unsigned char* p) { return uint32_t{le16(p)} | uint32_t{le16(p + 2)} << 16; }

}  // namespace

std::optional<ZipEndRecord> findZipEndRecord(std::string_view tail, uint64_t tailStart) {
  if (tail.size() < kRecordSize) return std::nullopt;
  const auto* bytes = reinterpret_cast<const unsigned char*>(tail.data());
  for (size_t i = tail.size() - kRecordSize + 1; i-- > 0;) {
    const unsigned char* record = bytes + i;
    if (std::memcmp(record, kSignature, sizeof kSignature) != 0) continue;
    const uint16_t commentSize = le16(record + kCommentLengthOffset);
    if (i + kRecordSize + commentSize != tail.size()) continue;
    // The directory offset is not checked against the record's: in the last piece of a split
    // archive it counts from the start of the first.
    ZipEndRecord end;
    end.offset = tailStart + i;
    end.disk = le16(record + 4);
    end.directoryDisk = le16(record + 6);
    end.diskEntries = le16(record + 8);
    end.entries = le16(record + 10);
    end.directorySize = le32(record + 12);
    end.directoryOffset = le32(record + 16);
    end.comment.assign(tail.substr(i + kRecordSize));
    return end;
  }
  return std::nullopt;
}

std::optional<ZipEndRecord> findZipEndRecord(int fd, uint64_t size) {
  const size_t tailSize = static_cast<size_t>(std::min<uint64_t>(size, kRecordSize + kMaxCommentSize));
  std::string tail(tailSize, '\0');
  if (!readFullyAt(fd, tail.data(), tailSize, size - tailSize)) return std::nullopt;
  return findZipEndRecord(tail, size - tailSize);
}

std::optional<ZipEndRecord> readZipEndRecord(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat st;
  std::optional<ZipEndRecord> end;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
    end = findZipEndRecord(fd, static_cast<uint64_t>(st.st_size));
  ::close(fd);
  return end;
}

}  // namespace tessaro
