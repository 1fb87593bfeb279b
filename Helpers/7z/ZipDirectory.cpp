#include "ZipDirectory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <string_view>
#include <vector>

#include "SltRecords.h"
#include "io/ReadAt.h"
#include "zip/ZipEndRecord.h"

namespace tessaro::sevenzip {

namespace {

// "PK" 06 07: zip64 end locator, 20 bytes right before the end record; "PK" 06 06: the zip64 end
// record it points to, whose counts replace the saturated 16- and 32-bit ones.
constexpr uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr size_t kZip64LocatorSize = 20;
constexpr uint32_t kZip64EndSignature = 0x06064b50;
constexpr size_t kZip64EndSize = 56;
// "PK" 01 02: central directory header, 46 bytes before name, extra field and comment.
constexpr uint32_t kCentralSignature = 0x02014b50;
constexpr size_t kCentralSize = 46;
// "PK" 03 04: local file header; the archive must begin with one (no self-extractor stub).
constexpr uint32_t kLocalSignature = 0x04034b50;

// Extra fields: 0x5455 "UT" extended timestamp; the others make 7zz show something else
// (zip64 sizes, NTFS times, Unicode path, AES method), so such archives go to 7zz.
constexpr uint16_t kExtendedTimestamp = 0x5455;
constexpr uint16_t kZip64 = 0x0001;
constexpr uint16_t kNtfsTimes = 0x000a;
constexpr uint16_t kUnicodePath = 0x7075;
constexpr uint16_t kAesExtra = 0x9901;

// General-purpose flags.
constexpr uint16_t kFlagEncrypted = 0x0001;
constexpr uint16_t kFlagStrongEncryption = 0x0040;
constexpr uint16_t kFlagUTF8 = 0x0800;

constexpr uint16_t kMethodStore = 0;
constexpr uint16_t kMethodDeflate = 8;
// "Version made by" high byte.
constexpr uint8_t kHostUnix = 3;

constexpr uint32_t kWindowsDirectory = 0x10;

uint64_t u64(const unsigned char* p);
uint16_t u16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t u32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

uint64_t u64(const unsigned char* p) {
  return static_cast<uint64_t>(u32(p)) | static_cast<uint64_t>(u32(p + 4)) << 32;
}

// Seconds since 1970 of a Windows file time (100 ns ticks since 1601), rounded down.
int64_t unixTimeOfFileTime(uint64_t fileTime) {
  constexpr int64_t kTicksPerSecond = 10000000;
  constexpr int64_t kSecondsFrom1601To1970 = 11644473600;
  return static_cast<int64_t>(fileTime / kTicksPerSecond) - kSecondsFrom1601To1970;
}

struct File {
  explicit File(const std::string& path) : fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
  ~File() {
    if (fd >= 0) ::close(fd);
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  int fd;
};

void appendNumber(std::string& out, uint64_t value) {
  char digits[24];
  size_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value > 0);
  while (n > 0) out.push_back(digits[--n]);
}

void appendTwo(std::string& out, unsigned value) {
  out.push_back(static_cast<char>('0' + value / 10 % 10));
  out.push_back(static_cast<char>('0' + value % 10));
}

void appendCRC(std::string& out, uint32_t crc) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  bool started = false;
  for (int shift = 28; shift >= 0; shift -= 4) {
    const unsigned digit = crc >> shift & 0xF;
    if (digit != 0 || started || shift == 0) {
      out.push_back(kHex[digit]);
      started = true;
    }
  }
}

// The mode text 7zz shows for the Unix mode in the high half of the external attributes; none
// for a file type it would show otherwise.
bool appendModeText(std::string& out, uint32_t mode) {
  switch (mode & S_IFMT) {
    case S_IFREG: out.push_back('-'); break;
    case S_IFDIR: out.push_back('d'); break;
    case S_IFLNK: out.push_back('l'); break;
    default: return false;
  }
  const auto triple = [&](unsigned bits, bool special, char setChar, char setNoExec) {
    out.push_back(bits & 4 ? 'r' : '-');
    out.push_back(bits & 2 ? 'w' : '-');
    if (special)
      out.push_back(bits & 1 ? setChar : setNoExec);
    else
      out.push_back(bits & 1 ? 'x' : '-');
  };
  triple(mode >> 6 & 7, mode & S_ISUID, 's', 'S');
  triple(mode >> 3 & 7, mode & S_ISGID, 's', 'S');
  triple(mode & 7, mode & S_ISVTX, 't', 'T');
  return true;
}

// A name 7zz shows unchanged: UTF-8 (flagged, or plain ASCII), no control characters or
// backslashes, no empty, "." or ".." components.
bool isPlainName(std::string_view name, bool utf8) {
  if (name.empty()) return false;
  std::string clean;
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7F || c == '\\') return false;
    if (c >= 0x80 && !utf8) return false;
  }
  if (utf8) {
    appendCleanText(clean, name, "\t", "\n");
    if (clean != name) return false;
  }
  // One leading slash (an absolute path) and one trailing slash (a folder) are kept as they are.
  if (name.starts_with('/')) name.remove_prefix(1);
  if (name.ends_with('/')) name.remove_suffix(1);
  size_t start = 0;
  for (;;) {
    size_t end = name.find('/', start);
    if (end == std::string_view::npos) end = name.size();
    const std::string_view part = name.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    if (end == name.size()) return true;
    start = end + 1;
  }
}

// A comment 7zz shows as it is, and whose lines survive the reader's comment block.
bool isPlainComment(std::string_view comment) {
  if (comment.ends_with('\n') || comment.starts_with('\n')) return false;
  for (unsigned char c : comment)
    if ((c < 0x20 && c != '\n') || c >= 0x7F) return false;
  size_t start = 0;
  while (start <= comment.size()) {
    size_t end = comment.find('\n', start);
    if (end == std::string_view::npos) end = comment.size();
    const std::string_view line = comment.substr(start, end - start);
    if (line == "{" || line == "}" || line.empty() || line.starts_with("----------")) return false;
    start = end + 1;
  }
  return true;
}

}  // namespace

std::optional<std::string> listZipDirectly(const std::string& path) {
  File file(path);
  if (file.fd < 0) return std::nullopt;
  struct stat st;
  if (::fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  const std::optional<ZipEndRecord> record = findZipEndRecord(file.fd, size);
  if (!record) return std::nullopt;
  const uint64_t endOffset = record->offset;
  uint64_t entries = record->entries;
  uint64_t directorySize = record->directorySize;
  uint64_t directoryOffset = record->directoryOffset;
  // One disk only, all entries on it.
  if (record->disk != 0 || record->directoryDisk != 0 || record->diskEntries != entries) return std::nullopt;
  // The directory lies right before the end record, or before the zip64 end record and its
  // locator; anything else in between goes to 7zz.
  uint64_t directoryEnd = endOffset;
  if (entries == 0xFFFF || directorySize == 0xFFFFFFFF || directoryOffset == 0xFFFFFFFF) {
    if (endOffset < kZip64LocatorSize + kZip64EndSize) return std::nullopt;
    unsigned char locator[kZip64LocatorSize];
    if (!readFullyAt(file.fd, locator, sizeof locator, endOffset - kZip64LocatorSize)) return std::nullopt;
    if (u32(locator) != kZip64LocatorSignature || u32(locator + 4) != 0 || u32(locator + 16) != 1)
      return std::nullopt;
    const uint64_t zip64End = u64(locator + 8);
    if (zip64End != endOffset - kZip64LocatorSize - kZip64EndSize) return std::nullopt;
    unsigned char end64[kZip64EndSize];
    if (!readFullyAt(file.fd, end64, sizeof end64, zip64End)) return std::nullopt;
    if (u32(end64) != kZip64EndSignature || u64(end64 + 4) != kZip64EndSize - 12) return std::nullopt;
    if (u32(end64 + 16) != 0 || u32(end64 + 20) != 0 || u64(end64 + 24) != u64(end64 + 32))
      return std::nullopt;
    entries = u64(end64 + 32);
    directorySize = u64(end64 + 40);
    directoryOffset = u64(end64 + 48);
    directoryEnd = zip64End;
  }
  if (directoryOffset > directoryEnd || directoryEnd - directoryOffset != directorySize) return std::nullopt;
  // Each entry takes at least its fixed header.
  if (entries > directorySize / kCentralSize + 1) return std::nullopt;
  const std::string_view comment(record->comment);

  std::string out;
  if (!comment.empty()) {
    // Info-ZIP stores the comment's line ends as CR LF; 7zz shows them as line feeds.
    std::string lines;
    for (size_t i = 0; i < comment.size(); ++i)
      if (!(comment[i] == '\r' && i + 1 < comment.size() && comment[i + 1] == '\n'))
        lines.push_back(comment[i]);
    if (!isPlainComment(lines)) return std::nullopt;
    out.append("comt=").append(lines).append("\n\n----------\n");
  }
  if (entries == 0) return directorySize == 0 ? std::optional<std::string>(out) : std::nullopt;

  unsigned char firstHeader[4];
  if (!readFullyAt(file.fd, firstHeader, 4, 0) || u32(firstHeader) != kLocalSignature) return std::nullopt;
  std::vector<unsigned char> directory(static_cast<size_t>(directorySize));
  if (!readFullyAt(file.fd, directory.data(), directorySize, directoryOffset)) return std::nullopt;
  out.reserve(out.size() + static_cast<size_t>(entries) * 160);

  size_t pos = 0;
  int64_t lastOffset = -1;
  for (uint64_t n = 0; n < entries; ++n) {
    if (pos + kCentralSize > directory.size()) return std::nullopt;
    const unsigned char* h = &directory[pos];
    if (u32(h) != kCentralSignature) return std::nullopt;
    const uint8_t madeBy = h[5];
    const uint16_t needed = u16(h + 6);
    const uint16_t flags = u16(h + 8);
    const uint16_t method = u16(h + 10);
    const uint16_t dosTime = u16(h + 12);
    const uint16_t dosDate = u16(h + 14);
    const uint32_t crc = u32(h + 16);
    const uint32_t packed = u32(h + 20);
    const uint32_t unpacked = u32(h + 24);
    const uint16_t nameLength = u16(h + 28);
    const uint16_t extraLength = u16(h + 30);
    const uint16_t commentLength = u16(h + 32);
    const uint32_t external = u32(h + 38);
    const uint32_t localOffset = u32(h + 42);
    const size_t next = pos + kCentralSize + nameLength + extraLength + commentLength;
    if (next > directory.size()) return std::nullopt;
    // 7zz lists in the order of the local headers.
    if (static_cast<int64_t>(localOffset) <= lastOffset || localOffset >= directoryOffset ||
        localOffset == 0xFFFFFFFF)
      return std::nullopt;
    lastOffset = localOffset;
    if (u16(h + 34) != 0 || commentLength != 0) return std::nullopt;
    // 7zz names the encryption variant from details of the entry's headers; it is left to say so.
    if (madeBy != kHostUnix || (flags & (kFlagEncrypted | kFlagStrongEncryption)) || packed == 0xFFFFFFFF ||
        unpacked == 0xFFFFFFFF)
      return std::nullopt;
    if (method != kMethodStore && method != kMethodDeflate) return std::nullopt;

    std::string_view name(reinterpret_cast<const char*>(h + kCentralSize), nameLength);
    if (!isPlainName(name, flags & kFlagUTF8)) return std::nullopt;

    bool haveTime = false;
    bool haveNtfsTime = false;
    int64_t modified = 0;
    const unsigned char* extra = h + kCentralSize + nameLength;
    for (size_t e = 0; e + 4 <= extraLength;) {
      const uint16_t id = u16(extra + e);
      const uint16_t length = u16(extra + e + 2);
      if (e + 4 + length > extraLength) return std::nullopt;
      if (id == kZip64 || id == kUnicodePath || id == kAesExtra) return std::nullopt;
      // 7zz takes the NTFS times before the Unix ones: tag 1 of size 24 holds three file times,
      // the modification time first.
      if (id == kNtfsTimes) {
        if (length != 32 || u16(extra + e + 8) != 1 || u16(extra + e + 10) != 24) return std::nullopt;
        haveNtfsTime = true;
        modified = unixTimeOfFileTime(u64(extra + e + 12));
        haveTime = true;
      }
      if (id == kExtendedTimestamp && length >= 5 && (extra[e + 4] & 1) && !haveNtfsTime) {
        haveTime = true;
        modified = static_cast<int32_t>(u32(extra + e + 5));
      }
      e += 4 + length;
    }

    const uint32_t mode = external >> 16;
    const bool isFolder = name.ends_with('/') || (mode & S_IFMT) == S_IFDIR || (external & kWindowsDirectory);
    if (name.ends_with('/')) name.remove_suffix(1);
    if (name.empty()) return std::nullopt;

    out.append("path=").append(name).append("\tmeth=");
    if (method == kMethodStore) {
      // 7zz shows deflate level bits left on a stored entry as a variant; it is left to say so.
      if (flags >> 1 & 3) return std::nullopt;
      out.append("Store");
    } else {
      // Bits 1 and 2 of the flags: the level deflate was asked for.
      switch (flags >> 1 & 3) {
        case 0: out.append("Deflate"); break;
        case 1: out.append("Deflate:Maximum"); break;
        case 2: out.append("Deflate:Fast"); break;
        default: return std::nullopt;
      }
    }
    out.append("\ttime=");
    if (haveTime) {
      const time_t t = static_cast<time_t>(modified);
      struct tm local {};
      if (!localtime_r(&t, &local)) return std::nullopt;
      appendNumber(out, static_cast<uint64_t>(local.tm_year + 1900));
      appendTwo(out, static_cast<unsigned>(local.tm_mon + 1));
      appendTwo(out, static_cast<unsigned>(local.tm_mday));
      out.push_back('.');
      appendTwo(out, static_cast<unsigned>(local.tm_hour));
      appendTwo(out, static_cast<unsigned>(local.tm_min));
      appendTwo(out, static_cast<unsigned>(local.tm_sec));
    } else {
      appendNumber(out, 1980u + (dosDate >> 9));
      appendTwo(out, dosDate >> 5 & 0xF);
      appendTwo(out, dosDate & 0x1F);
      out.push_back('.');
      appendTwo(out, dosTime >> 11);
      appendTwo(out, dosTime >> 5 & 0x3F);
      appendTwo(out, (dosTime & 0x1F) * 2u);
    }
    out.append("\tunco=");
    appendNumber(out, unpacked);
    out.append("\tcomp=");
    appendNumber(out, packed);
    out.append("\tattr=");
    if (!appendModeText(out, mode)) return std::nullopt;
    if (!isFolder) {
      out.append("\tcrc_=");
      appendCRC(out, crc);
    }
    out.append("\ttype=0\tos__=Unix\tvers=");
    appendNumber(out, needed & 0xFF);
    out.push_back('\n');
    pos = next;
  }
  return out;
}

}  // namespace tessaro::sevenzip
