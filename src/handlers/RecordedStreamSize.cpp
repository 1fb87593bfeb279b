#include "RecordedStreamSize.h"

#include <fcntl.h>
#include <sys/stat.h>

#include "io/FileDescriptor.h"
#include "io/ReadAt.h"

namespace tessaro {

namespace {

// A walk gives up (size unknown) after this many headers: a hostile stream of empty blocks would
// otherwise cost one read per three bytes of file.
constexpr uint64_t kMaxSteps = uint64_t{1} << 21;

constexpr uint32_t kZstdMagic = 0xFD2FB528;
constexpr uint32_t kLz4Magic = 0x184D2204;
// Both formats skip frames whose magic is 184D2A50 to 184D2A5F, each with its own length.
constexpr uint32_t kSkippableMagic = 0x184D2A50;
constexpr uint32_t kSkippableMask = 0xFFFFFFF0;

constexpr size_t kLzipHeaderSize = 6;    // "LZIP", version, coded dictionary size
constexpr size_t kLzipTrailerSize = 20;  // CRC32, data size, member size
constexpr size_t kLzmaHeaderSize = 13;   // properties, dictionary size, unpacked size
constexpr uint64_t kLzmaMaxSize = uint64_t{1} << 38;

uint64_t littleEndian(const unsigned char* bytes, size_t count) {
  uint64_t value = 0;
  for (size_t i = count; i > 0; --i) value = (value << 8) | bytes[i - 1];
  return value;
}

// Adds `more` to `total`; false when the sum would not fit.
bool addTo(uint64_t& total, uint64_t more) {
  if (more > UINT64_MAX - total) return false;
  total += more;
  return true;
}

class StreamFile {
 public:
  explicit StreamFile(const std::string& path)
      : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)) {
    struct stat st;
    if (fd_ && ::fstat(fd_.get(), &st) == 0 && S_ISREG(st.st_mode)) size_ = static_cast<uint64_t>(st.st_size);
  }
  uint64_t size() const { return size_; }
  // `count` bytes at `offset`, all of them inside the file.
  bool read(uint64_t offset, unsigned char* out, size_t count) const {
    return offset <= size_ && count <= size_ - offset && readFullyAt(fd_.get(), out, count, offset);
  }
  bool readWord(uint64_t offset, size_t count, uint64_t& value) const {
    unsigned char bytes[8];
    if (count > sizeof bytes || !read(offset, bytes, count)) return false;
    value = littleEndian(bytes, count);
    return true;
  }

 private:
  FileDescriptor fd_;
  uint64_t size_ = 0;
};

// A skippable frame at `at`: moves past it. False when its length runs past the file.
bool skipFrame(const StreamFile& file, uint64_t& at) {
  uint64_t length = 0;
  if (!file.readWord(at + 4, 4, length) || length > file.size() - at - 8) return false;
  at += 8 + length;
  return true;
}

// Walks a zstd or lz4 file frame by frame, skippable frames included: `frame` reads one frame of
// the format from its magic at `at`, adds its content size to `total` and moves `at` past it.
template <typename Frame>
std::optional<uint64_t> framedSize(const StreamFile& file, uint64_t formatMagic, Frame frame) {
  uint64_t total = 0;
  uint64_t steps = 0;
  uint64_t at = 0;
  bool frames = false;
  while (at < file.size()) {
    uint64_t magic = 0;
    if (!file.readWord(at, 4, magic)) return std::nullopt;
    if ((magic & kSkippableMask) == kSkippableMagic) {
      if (!skipFrame(file, at)) return std::nullopt;
      continue;
    }
    if (magic != formatMagic || !frame(at, total, steps)) return std::nullopt;
    frames = true;
  }
  if (!frames) return std::nullopt;
  return total;
}

// A frame's closing checksum of four bytes, when it has one.
bool skipChecksum(const StreamFile& file, bool present, uint64_t& at) {
  if (!present) return true;
  if (file.size() - at < 4) return false;
  at += 4;
  return true;
}

// ---- zstd: frame header, then blocks of three-byte headers, then an optional checksum.

std::optional<uint64_t> zstdSize(const StreamFile& file) {
  return framedSize(file, kZstdMagic, [&file](uint64_t& at, uint64_t& total, uint64_t& steps) {
    unsigned char descriptor = 0;
    if (!file.read(at + 4, &descriptor, 1) || (descriptor & 0x08) != 0) return false;
    const unsigned sizeFlag = descriptor >> 6;
    const bool singleSegment = (descriptor & 0x20) != 0;
    static constexpr size_t kDictionaryIdBytes[] = {0, 1, 2, 4};
    static constexpr size_t kContentSizeBytes[] = {0, 2, 4, 8};
    size_t sizeBytes = kContentSizeBytes[sizeFlag];
    if (sizeFlag == 0 && singleSegment) sizeBytes = 1;
    // Without a recorded content size only decompression could tell.
    if (sizeBytes == 0) return false;
    uint64_t content = 0;
    const uint64_t sizeAt = at + 5 + (singleSegment ? 0 : 1) + kDictionaryIdBytes[descriptor & 0x03];
    if (!file.readWord(sizeAt, sizeBytes, content)) return false;
    if (sizeBytes == 2) content += 256;
    if (!addTo(total, content)) return false;

    at = sizeAt + sizeBytes;
    for (bool last = false; !last;) {
      if (++steps > kMaxSteps) return false;
      uint64_t header = 0;
      if (!file.readWord(at, 3, header)) return false;
      last = (header & 1) != 0;
      const uint64_t type = (header >> 1) & 3;
      const uint64_t blockSize = header >> 3;
      if (type == 3) return false;                        // reserved
      const uint64_t stored = type == 1 ? 1 : blockSize;  // an RLE block stores its one byte
      if (stored > file.size() - at - 3) return false;
      at += 3 + stored;
    }
    return skipChecksum(file, (descriptor & 0x04) != 0, at);
  });
}

// ---- lz4: frame descriptor, then blocks of four-byte sizes up to a zero end mark. The legacy
// frame, with its own magic, records no size.

std::optional<uint64_t> lz4Size(const StreamFile& file) {
  return framedSize(file, kLz4Magic, [&file](uint64_t& at, uint64_t& total, uint64_t& steps) {
    unsigned char flags = 0;
    if (!file.read(at + 4, &flags, 1) || (flags >> 6) != 1 || (flags & 0x02) != 0) return false;
    const bool blockChecksum = (flags & 0x10) != 0;
    const bool contentSize = (flags & 0x08) != 0;
    const bool dictionaryId = (flags & 0x01) != 0;
    if (!contentSize) return false;
    uint64_t content = 0;
    if (!file.readWord(at + 6, 8, content) || !addTo(total, content)) return false;
    // FLG, BD, content size, dictionary id, header checksum.
    at += 4 + 2 + 8 + (dictionaryId ? 4 : 0) + 1;
    while (true) {
      if (++steps > kMaxSteps) return false;
      uint64_t blockSize = 0;
      if (!file.readWord(at, 4, blockSize)) return false;
      at += 4;
      if (blockSize == 0) break;
      const uint64_t stored = (blockSize & 0x7FFFFFFF) + (blockChecksum ? 4 : 0);
      if (stored > file.size() - at) return false;
      at += stored;
    }
    return skipChecksum(file, (flags & 0x04) != 0, at);
  });
}

// ---- lzip: members walked from the end, each trailer giving its member's size.

std::optional<uint64_t> lzipSize(const StreamFile& file) {
  uint64_t total = 0;
  uint64_t steps = 0;
  uint64_t end = file.size();
  if (end == 0) return std::nullopt;
  while (end > 0) {
    if (++steps > kMaxSteps || end < kLzipHeaderSize + kLzipTrailerSize) return std::nullopt;
    unsigned char trailer[kLzipTrailerSize];
    if (!file.read(end - kLzipTrailerSize, trailer, sizeof trailer)) return std::nullopt;
    const uint64_t dataSize = littleEndian(trailer + 4, 8);
    const uint64_t memberSize = littleEndian(trailer + 12, 8);
    if (memberSize < kLzipHeaderSize + kLzipTrailerSize || memberSize > end) return std::nullopt;
    unsigned char header[kLzipHeaderSize];
    if (!file.read(end - memberSize, header, sizeof header) || header[0] != 'L' || header[1] != 'Z' ||
        header[2] != 'I' || header[3] != 'P')
      return std::nullopt;
    if (!addTo(total, dataSize)) return std::nullopt;
    end -= memberSize;
  }
  return total;
}

// ---- lzma: the size in the header, when it is not -1.

std::optional<uint64_t> lzmaSize(const StreamFile& file) {
  unsigned char header[kLzmaHeaderSize];
  if (!file.read(0, header, sizeof header) || !isLzmaAloneHeader(header, sizeof header)) return std::nullopt;
  const uint64_t size = littleEndian(header + 5, 8);
  if (size == UINT64_MAX) return std::nullopt;
  return size;
}

}  // namespace

bool isLzmaAloneHeader(const unsigned char* bytes, size_t size) {
  if (size < kLzmaHeaderSize || bytes[0] != 0x5D) return false;
  const uint64_t dictionary = littleEndian(bytes + 1, 4);
  // 2^n or 2^n + 2^(n-1): clearing the highest bit leaves nothing or only the bit below it.
  if (dictionary == 0) return false;
  uint64_t top = 1;
  while (top <= dictionary / 2) top <<= 1;
  const uint64_t rest = dictionary - top;
  if (rest != 0 && rest != top / 2) return false;
  const uint64_t unpacked = littleEndian(bytes + 5, 8);
  return unpacked == UINT64_MAX || unpacked < kLzmaMaxSize;
}

std::optional<uint64_t> recordedStreamSize(const std::string& path, StreamFormat format) {
  const StreamFile file(path);
  switch (format) {
    case StreamFormat::kZstd: return zstdSize(file);
    case StreamFormat::kLzip: return lzipSize(file);
    case StreamFormat::kLz4: return lz4Size(file);
    case StreamFormat::kLzma: return lzmaSize(file);
  }
  return std::nullopt;
}

}  // namespace tessaro
