#include "UnpackedSize.h"

#include <fcntl.h>
#include <lzma.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <limits>
#include <vector>

#include "io/ReadOnlyFile.h"

namespace tessaro {

namespace {

// gzip: a header of 10 bytes and more before the deflate data, CRC32 and ISIZE (the size modulo
// 2^32) after it.
constexpr int64_t kGzipFixedHeader = 10;
constexpr int64_t kGzipTrailer = 8;
constexpr uint8_t kFlagHeaderCrc = 0x02, kFlagExtra = 0x04, kFlagName = 0x08, kFlagComment = 0x10;
// A name or comment longer than this is not looked through: the size is then not claimed.
constexpr int64_t kMaxHeaderText = 64 * 1024;
// Deflate packs at most about 1032 bytes into one. Stored blocks add 5 bytes to each block of
// at most 65535, and some writers make them as small as 16 KiB; the slack covers the final
// block and bit padding.
constexpr int64_t kDeflateMaxRatio = 1032;
constexpr int64_t kSmallestStoredBlock = 16 * 1024;
constexpr int64_t kStoredBlockOverhead = 5;
constexpr int64_t kDeflateSlack = 16;

// Where a gzip member's deflate data begins; none when the header does not end in the file.
std::optional<int64_t> gzipDataStart(const ReadOnlyFile& file, int64_t size) {
  uint8_t fixed[kGzipFixedHeader];
  if (size < kGzipFixedHeader || !file.readAt(0, fixed, sizeof fixed)) return std::nullopt;
  if (fixed[0] != 0x1f || fixed[1] != 0x8b || fixed[2] != 8) return std::nullopt;
  const uint8_t flags = fixed[3];
  int64_t at = kGzipFixedHeader;
  if (flags & kFlagExtra) {
    uint8_t length[2];
    if (at + 2 > size || !file.readAt(at, length, 2)) return std::nullopt;
    at += 2 + (length[0] | length[1] << 8);
  }
  for (const uint8_t text : {kFlagName, kFlagComment}) {
    if (!(flags & text)) continue;
    std::string bytes;
    const int64_t length = std::min(kMaxHeaderText, size - at);
    if (length <= 0 || !file.read(static_cast<uint64_t>(at), static_cast<size_t>(length), bytes))
      return std::nullopt;
    const size_t end = bytes.find('\0');
    if (end == std::string::npos) return std::nullopt;
    at += static_cast<int64_t>(end) + 1;
  }
  if (flags & kFlagHeaderCrc) at += 2;
  return at <= size ? std::optional<int64_t>(at) : std::nullopt;
}

// An index larger than this is no index a sane xz file carries.
constexpr uint64_t kMaxXzIndex = 64u << 20;

}  // namespace

std::optional<int64_t> gzipUnpackedSize(const std::string& path) {
  const ReadOnlyFile file(path);
  const std::optional<int64_t> size = file.regularSize();
  if (!size) return std::nullopt;
  const std::optional<int64_t> start = gzipDataStart(file, *size);
  uint8_t trailer[4];
  if (!start || *size - *start < kGzipTrailer || !file.readAt(*size - 4, trailer, 4)) return std::nullopt;
  const int64_t isize = trailer[0] | trailer[1] << 8 | trailer[2] << 16 | int64_t{trailer[3]} << 24;
  // A single member's deflate data unpacks to no less than the stored blocks it could be and to
  // no more than deflate's best ratio. A trailer outside these bounds is the last of several
  // members, a size past 4 GiB, or not true.
  const int64_t packed = *size - *start - kGzipTrailer;
  const int64_t leastPlain =
      packed - (packed / kSmallestStoredBlock + 1) * kStoredBlockOverhead - kDeflateSlack;
  if (isize < leastPlain || isize > packed * kDeflateMaxRatio + kDeflateSlack) return std::nullopt;
  return isize;
}

std::optional<int64_t> xzUnpackedSize(const std::string& path) {
  const ReadOnlyFile file(path);
  const std::optional<int64_t> size = file.regularSize();
  if (!size) return std::nullopt;
  // Streams are read from the end: footer, index, then the stream's start from the index.
  int64_t end = *size;
  uint64_t total = 0;
  while (end > 0) {
    uint8_t footer[LZMA_STREAM_HEADER_SIZE];
    // Stream padding: zero bytes in groups of four between and after streams.
    if (end < LZMA_STREAM_HEADER_SIZE * 2 || !file.readAt(end - 4, footer, 4)) return std::nullopt;
    if (footer[0] == 0 && footer[1] == 0 && footer[2] == 0 && footer[3] == 0) {
      end -= 4;
      continue;
    }
    if (!file.readAt(end - LZMA_STREAM_HEADER_SIZE, footer, LZMA_STREAM_HEADER_SIZE)) return std::nullopt;
    lzma_stream_flags flags;
    if (lzma_stream_footer_decode(&flags, footer) != LZMA_OK) return std::nullopt;
    const uint64_t indexSize = flags.backward_size;
    if (indexSize > kMaxXzIndex || static_cast<int64_t>(indexSize) > end - 2 * LZMA_STREAM_HEADER_SIZE)
      return std::nullopt;
    std::vector<uint8_t> indexBytes(indexSize);
    if (!file.readAt(end - LZMA_STREAM_HEADER_SIZE - static_cast<int64_t>(indexSize), indexBytes.data(),
                     indexBytes.size()))
      return std::nullopt;
    lzma_index* index = nullptr;
    uint64_t memlimit = std::numeric_limits<uint64_t>::max();
    size_t position = 0;
    if (lzma_index_buffer_decode(&index, &memlimit, nullptr, indexBytes.data(), &position,
                                 indexBytes.size()) != LZMA_OK ||
        position != indexBytes.size()) {
      lzma_index_end(index, nullptr);
      return std::nullopt;
    }
    const uint64_t unpacked = lzma_index_uncompressed_size(index);
    const uint64_t streamSize = lzma_index_stream_size(index);
    lzma_index_end(index, nullptr);
    if (streamSize > static_cast<uint64_t>(end) || unpacked > static_cast<uint64_t>(INT64_MAX) - total)
      return std::nullopt;
    total += unpacked;
    end -= static_cast<int64_t>(streamSize);
  }
  return static_cast<int64_t>(total);
}

}  // namespace tessaro
