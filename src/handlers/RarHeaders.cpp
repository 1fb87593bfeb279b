#include "RarHeaders.h"

#include <zlib.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <ctime>
#include <vector>

#include "ArchiveHandlerRar.h"

namespace tessaro {

namespace {

constexpr std::string_view kSignature5("Rar!\x1A\x07\x01\x00", 8);
// Bytes fetched at a time while the headers follow one another; a header beyond the buffer
// starts a new read at its own offset.
constexpr size_t kReadSize = size_t{256} << 10;
// After a jump over entry data, a read only as large as a few headers: large entries would
// otherwise cost a whole buffer of their data each.
constexpr size_t kJumpReadSize = size_t{4} << 10;
// The library refuses larger headers (three bytes of size).
constexpr uint64_t kMaxHeaderSize = uint64_t{2} << 20;
// Names and link targets longer than this are cut by the library's fixed buffers.
constexpr size_t kMaxNameBytes = 1023;

enum HeaderType : uint64_t { kMain = 1, kFile = 2, kService = 3, kEncryption = 4, kEnd = 5 };

// Flags of every header.
constexpr uint64_t kHasExtra = 0x01;
constexpr uint64_t kHasData = 0x02;
constexpr uint64_t kSplitBefore = 0x08;
constexpr uint64_t kSplitAfter = 0x10;
// Archive flags of the main header.
constexpr uint64_t kArchiveVolume = 0x01;
// File flags.
constexpr uint64_t kFileUnixTime = 0x02;
constexpr uint64_t kFileCrc32 = 0x04;
constexpr uint64_t kFileUnknownSize = 0x08;
// Host systems.
constexpr uint64_t kHostWindows = 0;
constexpr uint64_t kHostUnix = 1;
// Extra records of file and service headers.
constexpr uint64_t kExtraEncryption = 1;
constexpr uint64_t kExtraHash = 2;
constexpr uint64_t kExtraTime = 3;
constexpr uint64_t kExtraVersion = 4;
constexpr uint64_t kExtraRedirection = 5;
// The hash record's BLAKE2sp digest.
constexpr uint64_t kHashBlake2 = 0;
constexpr size_t kBlake2Size = 32;
// Flags of the time record.
constexpr uint64_t kTimeUnix = 0x01;
constexpr uint64_t kTimeModified = 0x02;
// 100 ns ticks from 1601 to 1970.
constexpr uint64_t kWindowsEpochTicks = 116444736000000000ULL;
// Modification times the reader converts: 1980-03-01 to 2099-12-31 in UTC, so that the local
// year always fits the MS-DOS form; anything else goes to the library.
constexpr int64_t kEarliestTime = 320716800;
constexpr int64_t kLatestTime = 4102358400;

// Fields of one header, read front to back within its bounds.
class Fields {
 public:
  Fields(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool vint(uint64_t& value) {
    value = 0;
    for (unsigned shift = 0; shift < 70 && at_ < size_; shift += 7) {
      const uint8_t byte = data_[at_++];
      if (shift == 63 && (byte & 0x7E) != 0) return false;
      value |= uint64_t{byte & 0x7Fu} << shift;
      if ((byte & 0x80) == 0) return true;
    }
    return false;
  }
  bool u32(uint32_t& value) {
    if (size_ - at_ < 4) return false;
    value = uint32_t{data_[at_]} | uint32_t{data_[at_ + 1]} << 8 | uint32_t{data_[at_ + 2]} << 16 |
            uint32_t{data_[at_ + 3]} << 24;
    at_ += 4;
    return true;
  }
  bool u64(uint64_t& value) {
    uint32_t low = 0;
    uint32_t high = 0;
    if (!u32(low) || !u32(high)) return false;
    value = uint64_t{high} << 32 | low;
    return true;
  }
  bool bytes(uint64_t length, std::string_view& out) {
    if (length > size_ - at_) return false;
    out = std::string_view(reinterpret_cast<const char*>(data_ + at_), static_cast<size_t>(length));
    at_ += static_cast<size_t>(length);
    return true;
  }
  size_t at() const { return at_; }
  size_t left() const { return size_ - at_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// Strict UTF-8 without NUL, of at most kMaxNameBytes: the text the library's wide conversion
// gives back unchanged.
bool isPlainUtf8(std::string_view text) {
  if (text.size() > kMaxNameBytes) return false;
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead == 0) return false;
    if (lead < 0x80) {
      ++i;
      continue;
    }
    const size_t length = (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || i + length > text.size()) return false;
    uint32_t c = lead & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      c = (c << 6) | (next & 0x3F);
    }
    const uint32_t least = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
    if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

// The MS-DOS form of a Unix time in local time, as the library packs it.
class DosTimes {
 public:
  bool convert(int64_t seconds, uint32_t& dos) {
    if (seconds < kEarliestTime || seconds > kLatestTime) return false;
    if (seconds != lastSeconds_) {
      const auto time = static_cast<time_t>(seconds);
      struct tm local;
      if (!::localtime_r(&time, &local) || local.tm_year < 80 || local.tm_year > 207) return false;
      lastDos_ = static_cast<uint32_t>(local.tm_sec / 2) | static_cast<uint32_t>(local.tm_min) << 5 |
                 static_cast<uint32_t>(local.tm_hour) << 11 | static_cast<uint32_t>(local.tm_mday) << 16 |
                 static_cast<uint32_t>(local.tm_mon + 1) << 21 |
                 static_cast<uint32_t>(local.tm_year - 80) << 25;
      lastSeconds_ = seconds;
    }
    dos = lastDos_;
    return true;
  }

 private:
  int64_t lastSeconds_ = -1;
  uint32_t lastDos_ = 0;
};

// Parts of a file or service header the listing needs.
struct FileFields {
  std::string_view name;
  uint64_t fileFlags = 0;
  uint64_t unpackedSize = 0;
  uint64_t attributes = 0;
  uint64_t hostOS = 0;
  bool hasCrc = false;
  uint32_t crc = 0;
  bool hasTime = false;
  int64_t seconds = 0;
  bool encrypted = false;
  uint64_t redirectionType = 0;
  std::string_view redirectionTarget;
};

// The extra area's records; false on any record it cannot read whole or would not give as the
// library does.
bool readExtra(Fields extra, FileFields& file) {
  while (extra.left() > 0) {
    uint64_t size = 0;
    if (!extra.vint(size) || size == 0 || size > extra.left()) return false;
    std::string_view body;
    extra.bytes(size, body);
    Fields record(reinterpret_cast<const uint8_t*>(body.data()), body.size());
    uint64_t type = 0;
    if (!record.vint(type)) return false;
    switch (type) {
      case kExtraEncryption: {
        uint64_t version = 0;
        if (!record.vint(version) || version != 0) return false;
        file.encrypted = true;
        break;
      }
      case kExtraHash: {
        // The library keeps the digest where the CRC32 goes and reports its first four bytes.
        uint64_t kind = 0;
        if (!record.vint(kind)) return false;
        if (kind != kHashBlake2) break;
        std::string_view digest;
        if (!record.bytes(kBlake2Size, digest)) return false;
        Fields first(reinterpret_cast<const uint8_t*>(digest.data()), digest.size());
        first.u32(file.crc);
        file.hasCrc = true;
        break;
      }
      case kExtraTime: {
        uint64_t flags = 0;
        if (!record.vint(flags)) return false;
        if ((flags & kTimeModified) == 0) break;
        if ((flags & kTimeUnix) != 0) {
          uint32_t seconds = 0;
          if (!record.u32(seconds)) return false;
          file.seconds = seconds;
        } else {
          uint64_t ticks = 0;
          if (!record.u64(ticks) || ticks < kWindowsEpochTicks) return false;
          file.seconds = static_cast<int64_t>((ticks - kWindowsEpochTicks) / 10000000);
        }
        file.hasTime = true;
        break;
      }
      case kExtraVersion: {
        uint64_t flags = 0;
        uint64_t version = 0;
        // The library appends ";N" to the name of a file version.
        if (!record.vint(flags) || !record.vint(version) || version != 0) return false;
        break;
      }
      case kExtraRedirection: {
        uint64_t flags = 0;
        uint64_t length = 0;
        if (!record.vint(file.redirectionType) || !record.vint(flags) || !record.vint(length)) return false;
        if (length == 0 || !record.bytes(length, file.redirectionTarget)) return false;
        if (!isPlainUtf8(file.redirectionTarget)) return false;
        break;
      }
      default: break;
    }
  }
  return true;
}

bool readFileFields(Fields& fields, Fields extra, FileFields& file) {
  uint32_t word = 0;
  uint64_t compression = 0;
  uint64_t nameLength = 0;
  if (!fields.vint(file.fileFlags) || !fields.vint(file.unpackedSize) || !fields.vint(file.attributes))
    return false;
  if ((file.fileFlags & kFileUnixTime) != 0) {
    if (!fields.u32(word)) return false;
    file.seconds = word;
    file.hasTime = true;
  }
  if ((file.fileFlags & kFileCrc32) != 0) {
    if (!fields.u32(file.crc)) return false;
    file.hasCrc = true;
  }
  if (!fields.vint(compression) || !fields.vint(file.hostOS) || !fields.vint(nameLength)) return false;
  if (!fields.bytes(nameLength, file.name)) return false;
  return readExtra(extra, file);
}

// Large reads of the archive, kept while the headers asked for lie inside them.
class Window {
 public:
  explicit Window(const RarReadAt& readAt) : readAt_(readAt) {}
  // `length` bytes at `offset`, or null when the file ends before.
  const uint8_t* at(uint64_t offset, size_t length) {
    const bool inside = offset >= start_ && offset - start_ <= filled_;
    if (!inside || length > filled_ - (offset - start_)) {
      // The first read, and one that carries on from the buffer, take a large piece.
      const bool following = filled_ == 0 || inside;
      const size_t size = std::max(length, following ? kReadSize : kJumpReadSize);
      if (buffer_.size() < size) buffer_.resize(size);
      start_ = offset;
      filled_ = std::min(readAt_(offset, buffer_.data(), size), size);
      if (length > filled_) return nullptr;
    }
    return buffer_.data() + (offset - start_);
  }

 private:
  const RarReadAt& readAt_;
  std::vector<uint8_t> buffer_;
  uint64_t start_ = 0;
  size_t filled_ = 0;
};

void appendDecimal(std::string& out, int64_t value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, end);
}

// "%*d": right-aligned in `width` places with blanks.
void appendPadded(std::string& out, int value, size_t width) {
  char digits[16];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  const auto length = static_cast<size_t>(end - digits);
  if (length < width) out.append(width - length, ' ');
  out.append(digits, end);
}

// "%X".
void appendHex(std::string& out, uint32_t value) {
  char digits[8];
  size_t i = sizeof digits;
  do {
    digits[--i] = "0123456789ABCDEF"[value & 0xF];
    value >>= 4;
  } while (value != 0);
  out.append(digits + i, sizeof digits - i);
}

}  // namespace

RarHeadersResult readRarHeaders(const RarReadAt& readAt, const std::function<bool(const RarEntry&)>& entry,
                                RarHeaderFacts& facts) {
  Window window(readAt);
  const uint8_t* signature = window.at(0, kSignature5.size());
  if (!signature || std::memcmp(signature, kSignature5.data(), kSignature5.size()) != 0)
    return RarHeadersResult::kUnplaced;

  DosTimes times;
  uint32_t lastCrc = 0;
  bool sawMain = false;
  std::string name;
  uint64_t position = kSignature5.size();
  for (;;) {
    // CRC32, then the size of what follows it in at most three bytes.
    const uint8_t* start = window.at(position, 7);
    if (!start) return RarHeadersResult::kUnplaced;
    Fields sizeField(start + 4, 3);
    uint64_t blockSize = 0;
    if (!sizeField.vint(blockSize) || blockSize == 0 || blockSize > kMaxHeaderSize)
      return RarHeadersResult::kUnplaced;
    const size_t sizeBytes = sizeField.at();
    const size_t headerSize = 4 + sizeBytes + static_cast<size_t>(blockSize);
    const uint8_t* header = window.at(position, headerSize);
    if (!header) return RarHeadersResult::kUnplaced;
    const uint32_t storedCrc = uint32_t{header[0]} | uint32_t{header[1]} << 8 | uint32_t{header[2]} << 16 |
                               uint32_t{header[3]} << 24;
    if (static_cast<uint32_t>(::crc32(0, header + 4, static_cast<uInt>(headerSize - 4))) != storedCrc)
      return RarHeadersResult::kUnplaced;

    Fields fields(header + 4 + sizeBytes, static_cast<size_t>(blockSize));
    uint64_t type = 0;
    uint64_t flags = 0;
    uint64_t extraSize = 0;
    uint64_t dataSize = 0;
    if (!fields.vint(type) || !fields.vint(flags)) return RarHeadersResult::kUnplaced;
    if ((flags & kHasExtra) != 0 && !fields.vint(extraSize)) return RarHeadersResult::kUnplaced;
    if ((flags & kHasData) != 0 && !fields.vint(dataSize)) return RarHeadersResult::kUnplaced;
    if ((flags & (kSplitBefore | kSplitAfter)) != 0) return RarHeadersResult::kUnplaced;
    if (extraSize > fields.left()) return RarHeadersResult::kUnplaced;
    // The type's own fields end where the extra area, at the end of the header, starts.
    const size_t bodyEnd = static_cast<size_t>(blockSize - extraSize);
    const uint8_t* body = header + 4 + sizeBytes;
    Fields own(body + fields.at(), bodyEnd - fields.at());
    const Fields extra(body + bodyEnd, static_cast<size_t>(extraSize));

    if (!sawMain && type != kMain) return RarHeadersResult::kUnplaced;
    switch (type) {
      case kMain: {
        uint64_t archiveFlags = 0;
        if (sawMain || !own.vint(archiveFlags) || (archiveFlags & kArchiveVolume) != 0)
          return RarHeadersResult::kUnplaced;
        sawMain = true;
        break;
      }
      case kFile:
      case kService: {
        FileFields file;
        if (!readFileFields(own, extra, file)) return RarHeadersResult::kUnplaced;
        if (type == kService) {
          if (file.name == "CMT") facts.hasComment = true;
          break;
        }
        if (file.hostOS != kHostWindows && file.hostOS != kHostUnix) return RarHeadersResult::kUnplaced;
        if ((file.fileFlags & kFileUnknownSize) != 0 || !isPlainUtf8(file.name) || !file.hasTime)
          return RarHeadersResult::kUnplaced;
        if (file.hasCrc) lastCrc = file.crc;
        RarEntry found;
        if (!times.convert(file.seconds, found.dosTime)) return RarHeadersResult::kUnplaced;
        found.name = file.name;
        // A backslash cannot be part of a Windows name: the library shows it as "_".
        if (file.hostOS == kHostWindows && file.name.find('\\') != std::string_view::npos) {
          name.assign(file.name);
          std::replace(name.begin(), name.end(), '\\', '_');
          found.name = name;
        }
        found.attributes = static_cast<uint32_t>(file.attributes);
        found.hostOS = file.hostOS == kHostWindows ? 2 : 3;
        found.unpackedSize = file.unpackedSize;
        found.packedSize = dataSize;
        found.encrypted = file.encrypted;
        found.crc = lastCrc;
        found.redirectionType = static_cast<uint32_t>(file.redirectionType);
        found.redirectionTarget = file.redirectionTarget;
        if (!entry(found)) return RarHeadersResult::kStopped;
        break;
      }
      case kEnd: return RarHeadersResult::kComplete;
      default:
        // Encrypted headers among them: only the library asks for a password.
        return RarHeadersResult::kUnplaced;
    }
    const uint64_t next = position + headerSize + dataSize;
    if (next < position || dataSize > (uint64_t{1} << 62)) return RarHeadersResult::kUnplaced;
    position = next;
  }
}

std::string rarListingRecord(std::string_view name, uint32_t attributes, uint32_t hostOS,
                             int64_t unpackedSize, int64_t packedSize, bool encrypted, uint32_t crc,
                             uint32_t dosTime) {
  std::string_view path = name;
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  const uint32_t t = dosTime;
  std::string record;
  record.reserve(path.size() + 128);
  record += "path=";
  record += path;
  record += "\tattr=";
  record += rarListFileAttr(attributes, hostOS);
  record += "\tvers=x\tunco=";
  appendDecimal(record, unpackedSize);
  record += "\tcomp=";
  appendDecimal(record, packedSize);
  record += encrypted ? "\ttype=*" : "\ttype=0";
  record += "\tmeth=x\tcrc_=";
  appendHex(record, crc);
  record += "\ttime=";
  appendPadded(record, static_cast<int>((t >> 25) + 1980), 4);
  record += '-';
  appendPadded(record, static_cast<int>((t >> 21) & 0x0F), 2);
  record += '-';
  appendPadded(record, static_cast<int>((t >> 16) & 0x1F), 2);
  record += ' ';
  appendPadded(record, static_cast<int>((t >> 11) & 0x1F), 2);
  record += ':';
  appendPadded(record, static_cast<int>((t >> 5) & 0x3F), 2);
  record += ':';
  appendPadded(record, static_cast<int>((t & 0x1F) * 2), 2);
  return record;
}

}  // namespace tessaro
