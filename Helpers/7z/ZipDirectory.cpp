#include "ZipDirectory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <iterator>
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
// "PK" 03 04: local file header, 30 bytes before its name and extra field.
constexpr uint32_t kLocalSignature = 0x04034b50;
constexpr size_t kLocalSize = 30;

// Extra fields that change what 7zz shows; it ignores the others (the Unicode comment 0x6375
// among them: the header's comment is shown).
constexpr uint16_t kZip64 = 0x0001;
constexpr uint16_t kNtfsTimes = 0x000a;
constexpr uint16_t kExtendedTimestamp = 0x5455;  // "UT": flags, then Unix times (UTC)
constexpr uint16_t kInfoZipUnix = 0x5855;        // "UX": access then modification time (UTC)
constexpr uint16_t kUnicodePath = 0x7075;
constexpr uint16_t kAesExtra = 0x9901;

// General-purpose flags.
constexpr uint16_t kFlagEncrypted = 0x0001;
constexpr uint16_t kFlagStrongEncryption = 0x0040;
constexpr uint16_t kFlagUTF8 = 0x0800;

constexpr uint16_t kMethodStore = 0;
constexpr uint16_t kMethodDeflate = 8;
constexpr uint16_t kMethodDeflate64 = 9;
constexpr uint16_t kMethodBZip2 = 12;
constexpr uint16_t kMethodLZMA = 14;
constexpr uint16_t kMethodXz = 95;
constexpr uint16_t kMethodPPMd = 98;
constexpr uint16_t kMethodAes = 99;

// "Version made by" high byte, as 7zz numbers and names the hosts.
constexpr uint8_t kHostFAT = 0;
constexpr uint8_t kHostUnix = 3;
constexpr uint8_t kHostHPFS = 6;
constexpr uint8_t kHostNTFS = 11;
constexpr uint8_t kHostVFAT = 14;
constexpr const char* kHostNames[] = {
    "FAT",     "AMIGA", "VMS",      "Unix",  "VM/CMS", "Atari", "HPFS", "Macintosh", "Z-System", "CP/M",
    "TOPS-20", "NTFS",  "SMS/QDOS", "Acorn", "VFAT",   "MVS",   "BeOS", "Tandem",    "OS/400",   "OS/X"};

// Windows attribute bits.
constexpr uint32_t kWindowsDirectory = 0x10;
// Set by 7zz on every Unix-made entry: the high half holds a Unix mode.
constexpr uint32_t kUnixExtension = 0x8000;

uint16_t u16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t u32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
uint64_t u64(const unsigned char* p) {
  return static_cast<uint64_t>(u32(p)) | static_cast<uint64_t>(u32(p + 4)) << 32;
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

// 7zz's "Attributes" for an entry: the Windows attributes of a FAT or NTFS entry; for a Unix one
// the mode in the high half, marked by kUnixExtension.
void appendSevenZipAttributes(std::string& out, uint8_t host, uint32_t external, bool isFolder) {
  uint32_t attributes = 0;
  if (host == kHostFAT || host == kHostNTFS)
    attributes = external;
  else if (host == kHostUnix)
    attributes = (external & 0xFFFF0000) | kUnixExtension;
  if (isFolder) attributes |= kWindowsDirectory;
  appendAttributeWord(out, attributes);
}

// Whether 7zz takes the entry for a folder: a name ending in a slash, else the folder bit of a
// FAT-style host (or, there, an empty entry whose name ends in a backslash) or the file type of
// a Unix one.
bool isFolderEntry(std::string_view name, uint8_t host, uint32_t external, bool empty) {
  if (name.ends_with('/')) return true;
  switch (host) {
    case kHostFAT:
    case kHostNTFS:
    case kHostHPFS:
    case kHostVFAT: return (external & kWindowsDirectory) || (empty && name.ends_with('\\'));
    case kHostUnix: return (external >> 16 & S_IFMT) == S_IFDIR;
    default: return false;
  }
}

// A name 7zz shows byte for byte: no control characters, no empty, "." or ".." components. A
// name flagged UTF-8 must be UTF-8; any other is passed on as it is, and the record reads it as
// UTF-8 or, failing that, as code page 437 (as it reads 7zz's listing). Backslashes are kept:
// 7zz takes them for a part of the name whatever the host.
bool isPlainName(std::string_view name, bool utf8) {
  if (name.empty()) return false;
  for (unsigned char c : name)
    if (c < 0x20 || c == 0x7F) return false;
  if (utf8) {
    std::string clean;
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

uint32_t crc32Of(std::string_view bytes) {
  return static_cast<uint32_t>(
      ::crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

// Where the central directory really lies. A self-extractor stub (or any prefix) before the
// archive shifts everything by its size when the offsets were written for the archive alone.
struct Directory {
  uint64_t entries = 0;
  uint64_t size = 0;
  uint64_t start = 0;  // in the file
  uint64_t shift = 0;  // added to every stored offset
};

std::optional<Directory> locateDirectory(int fd, const ZipEndRecord& record) {
  Directory directory;
  directory.entries = record.entries;
  directory.size = record.directorySize;
  uint64_t storedOffset = record.directoryOffset;
  // One disk only, all entries on it.
  if (record.disk != 0 || record.directoryDisk != 0 || record.diskEntries != record.entries)
    return std::nullopt;
  // The directory lies right before the end record, or before the zip64 end record and its
  // locator; anything else in between goes to 7zz.
  uint64_t directoryEnd = record.offset;
  const bool saturated = record.directorySize == 0xFFFFFFFF || record.directoryOffset == 0xFFFFFFFF;
  unsigned char locator[kZip64LocatorSize];
  // The zip64 records may be there without need (exactly 65,535 entries, or forced); they count.
  const bool hasLocator = record.offset >= kZip64LocatorSize + kZip64EndSize &&
                          readFullyAt(fd, locator, sizeof locator, record.offset - kZip64LocatorSize) &&
                          u32(locator) == kZip64LocatorSignature;
  if (saturated && !hasLocator) return std::nullopt;
  if (hasLocator) {
    if (u32(locator + 4) != 0 || u32(locator + 16) != 1) return std::nullopt;
    const uint64_t zip64End = record.offset - kZip64LocatorSize - kZip64EndSize;
    const uint64_t storedZip64End = u64(locator + 8);
    if (storedZip64End > zip64End) return std::nullopt;
    unsigned char end64[kZip64EndSize];
    if (!readFullyAt(fd, end64, sizeof end64, zip64End)) return std::nullopt;
    if (u32(end64) != kZip64EndSignature || u64(end64 + 4) != kZip64EndSize - 12) return std::nullopt;
    if (u32(end64 + 16) != 0 || u32(end64 + 20) != 0 || u64(end64 + 24) != u64(end64 + 32))
      return std::nullopt;
    directory.entries = u64(end64 + 32);
    directory.size = u64(end64 + 40);
    storedOffset = u64(end64 + 48);
    directoryEnd = zip64End;
    // The locator's offset is shifted like every other.
    if (directory.size > directoryEnd ||
        zip64End - storedZip64End != directoryEnd - directory.size - storedOffset)
      return std::nullopt;
  }
  if (directory.size > directoryEnd) return std::nullopt;
  directory.start = directoryEnd - directory.size;
  if (storedOffset > directory.start) return std::nullopt;
  directory.shift = directory.start - storedOffset;
  // Each entry takes at least its fixed header.
  if (directory.entries > directory.size / kCentralSize) return std::nullopt;
  return directory;
}

// One central directory header, its zip64 values in place of the saturated ones.
struct Entry {
  uint8_t host = 0;
  uint16_t needed = 0, flags = 0, method = 0, dosTime = 0, dosDate = 0;
  uint32_t crc = 0, external = 0;
  uint64_t packed = 0, unpacked = 0, localOffset = 0;
  std::string_view name, extra, comment;
  // From the extra fields.
  std::optional<int64_t> ntfsTime, extendedTime, infoZipTime;
  std::string_view unicodeName;
  bool aes = false;
  uint16_t aesVersion = 0, aesMethod = 0;
  uint8_t aesStrength = 0;
};

// Reads the extra fields 7zz reads; false for one that does not fit or that this reader cannot
// show as 7zz would.
bool readExtraFields(Entry& entry, uint32_t packed32, uint32_t unpacked32, uint32_t offset32, uint16_t disk) {
  const auto* extra = reinterpret_cast<const unsigned char*>(entry.extra.data());
  const size_t size = entry.extra.size();
  bool zip64Read = false;
  for (size_t e = 0; e + 4 <= size;) {
    const uint16_t id = u16(extra + e);
    const size_t length = u16(extra + e + 2);
    if (length > size - e - 4) return false;
    const unsigned char* data = extra + e + 4;
    switch (id) {
      case kZip64: {
        // Only the saturated values are there, in this order.
        if (zip64Read) return false;
        zip64Read = true;
        size_t at = 0;
        const auto take = [&](uint64_t& value) {
          if (at + 8 > length) return false;
          value = u64(data + at);
          at += 8;
          return true;
        };
        if (unpacked32 == 0xFFFFFFFF && !take(entry.unpacked)) return false;
        if (packed32 == 0xFFFFFFFF && !take(entry.packed)) return false;
        if (offset32 == 0xFFFFFFFF && !take(entry.localOffset)) return false;
        if (disk == 0xFFFF && (at + 4 > length || u32(data + at) != 0)) return false;
        break;
      }
      case kNtfsTimes:
        // Four reserved bytes, then tags; tag 1 holds the modification, access and creation times.
        for (size_t t = 4; t + 4 <= length;) {
          const uint16_t tag = u16(data + t);
          const size_t tagSize = u16(data + t + 2);
          if (tagSize > length - t - 4) break;
          if (tag == 1 && tagSize >= 24 && !entry.ntfsTime)
            entry.ntfsTime = unixTimeOfFileTime(u64(data + t + 4));
          t += 4 + tagSize;
        }
        break;
      case kExtendedTimestamp:
        // The central copy holds the modification time alone, when the flags say there is one.
        if (length >= 5 && (data[0] & 1) && !entry.extendedTime)
          entry.extendedTime = static_cast<int32_t>(u32(data + 1));
        break;
      case kInfoZipUnix:
        if (length >= 8 && !entry.infoZipTime) entry.infoZipTime = static_cast<int32_t>(u32(data + 4));
        break;
      case kUnicodePath:
        // Version 1, the CRC of the header's name, then the name in UTF-8; a CRC that does not
        // match means the header's name was changed after and is the one to show.
        if (length < 5 || data[0] != 1) return false;
        if (u32(data + 1) == crc32Of(entry.name))
          entry.unicodeName = std::string_view(reinterpret_cast<const char*>(data + 5), length - 5);
        break;
      case kAesExtra:
        // Vendor version (AE-1, AE-2), "AE", strength (1 to 3: 128 to 256 bits), real method.
        if (length < 7 || data[2] != 'A' || data[3] != 'E' || data[4] < 1 || data[4] > 3) return false;
        entry.aes = true;
        entry.aesVersion = u16(data);
        entry.aesStrength = data[4];
        entry.aesMethod = u16(data + 5);
        break;
      default: break;
    }
    e += 4 + length;
  }
  // A saturated value without its zip64 field is damage.
  return zip64Read ||
         (packed32 != 0xFFFFFFFF && unpacked32 != 0xFFFFFFFF && offset32 != 0xFFFFFFFF && disk != 0xFFFF);
}

// 7zz's "Method": the encryption, the compression method and the deflate level asked for.
bool appendMethod(std::string& out, const Entry& entry) {
  uint16_t method = entry.method;
  if (entry.flags & kFlagEncrypted) {
    if (method == kMethodAes) {
      if (!entry.aes) return false;
      out.append("AES-");
      appendNumber(out, (entry.aesStrength + 1u) * 64);
      method = entry.aesMethod;
    } else if (entry.flags & kFlagStrongEncryption) {
      return false;
    } else {
      out.append("ZipCrypto");
    }
    out.push_back(' ');
  }
  // Only methods whose name 7zz has printed the same way for long; an odd number or a newer
  // method (zstd, say) is named differently from one 7zz to another, so 7zz keeps those.
  switch (method) {
    case kMethodStore: out.append("Store"); break;
    case kMethodDeflate: out.append("Deflate"); break;
    case kMethodDeflate64: out.append("Deflate64"); break;
    case kMethodBZip2: out.append("BZip2"); break;
    case kMethodLZMA: out.append("LZMA"); break;
    case kMethodXz: out.append("xz"); break;
    case kMethodPPMd: out.append("PPMd"); break;
    default: return false;
  }
  // Bits 1 and 2 of the flags: the deflate level asked for, named for Deflate; for LZMA bit 1
  // says the stream has an end marker; any other bit left is shown as a number on any method.
  static constexpr const char* kDeflateLevels[] = {"", ":Maximum", ":Fast", ":Fastest"};
  unsigned level = entry.flags >> 1 & 3;
  if (method == kMethodDeflate) {
    out.append(kDeflateLevels[level]);
    return true;
  }
  if (method == kMethodLZMA) {
    if (level & 1) out.append(":eos");
    level &= ~1u;
  }
  if (level != 0) {
    out.append(":v");
    appendNumber(out, level);
  }
  return true;
}

// 7zz's "Modified" as the record writes it: the NTFS time, else the "UT" one, else the "UX" one
// (all UTC, shown in local time), else the DOS time as stored (already local).
//
// 7zz turns a UTC time into local time with the zone's offset of today, so in a zone with
// daylight saving its times are an hour off for half of the year; this reader uses the offset
// of the time itself, as every other lister does.
bool appendTime(std::string& out, const Entry& entry) {
  const std::optional<int64_t> utc = entry.ntfsTime       ? entry.ntfsTime
                                     : entry.extendedTime ? entry.extendedTime
                                                          : entry.infoZipTime;
  if (utc) return appendLocalTime(out, *utc);
  const unsigned month = entry.dosDate >> 5 & 0xF, day = entry.dosDate & 0x1F;
  const unsigned hour = entry.dosTime >> 11, minute = entry.dosTime >> 5 & 0x3F,
                 second = (entry.dosTime & 0x1F) * 2u;
  // 7zz shows no time for one that is not a date.
  if (month < 1 || month > 12 || day < 1 || hour > 23 || minute > 59 || second > 59) return false;
  appendNumber(out, 1980u + (entry.dosDate >> 9));
  appendTwo(out, month);
  appendTwo(out, day);
  out.push_back('.');
  appendTwo(out, hour);
  appendTwo(out, minute);
  appendTwo(out, second);
  return true;
}

// An entry comment as the record carries it: 7zz prints its bytes on one line, a line feed as
// "_", and the record reads them as SltRecords does.
bool appendEntryComment(std::string& out, std::string_view comment, bool utf8, std::string& scratch) {
  if (comment.empty()) return true;
  if (comment.find('\0') != std::string_view::npos) return false;
  scratch.assign(comment);
  for (char& c : scratch)
    if (c == '\n') c = '_';
  // 7zz decodes a flagged comment as UTF-8 and has its own way with bytes that are not.
  if (utf8) {
    std::string clean;
    appendCleanText(clean, scratch, "\t", "\n");
    if (clean != scratch) return false;
  }
  out.append("\tcomt=");
  appendCleanText(out, scratch, " ", " ");
  return true;
}

// The record of one entry, as SltRecords makes it of 7zz's properties.
bool appendEntry(std::string& out, Entry& entry, std::string& scratch) {
  const bool utf8 = entry.flags & kFlagUTF8;
  std::string_view name = entry.name;
  if (!entry.unicodeName.empty()) {
    // A Unicode path beside a name already flagged UTF-8 is left to 7zz.
    if (utf8) return false;
    name = entry.unicodeName;
    if (!isPlainName(name, true)) return false;
  } else if (!isPlainName(name, utf8)) {
    return false;
  }
  const bool isFolder =
      isFolderEntry(entry.name, entry.host, entry.external, entry.packed == 0 && entry.unpacked == 0);
  if (name.ends_with('/')) name.remove_suffix(1);
  if (name.empty()) return false;

  out.append("path=");
  const bool legacyName = appendRecordPath(out, name);
  out.append("\tmeth=");
  if (!appendMethod(out, entry)) return false;
  out.append("\ttime=");
  if (!appendTime(out, entry)) return false;
  out.append("\tunco=");
  appendNumber(out, entry.unpacked);
  out.append("\tcomp=");
  appendNumber(out, entry.packed);
  out.append("\tattr=");
  scratch.clear();
  appendSevenZipAttributes(scratch, entry.host, entry.external, isFolder);
  appendAttributes(out, scratch, std::string_view(), isFolder);
  // AE-2 stores no CRC (the authentication code stands in); 7zz shows none for a folder
  // without one either.
  const bool hasCRC = entry.aes && (entry.flags & kFlagEncrypted) && entry.method == kMethodAes
                          ? entry.aesVersion == 1
                          : entry.crc != 0 || !isFolder;
  if (hasCRC) {
    out.append("\tcrc_=");
    appendCRCValue(out, entry.crc);
  }
  out.append(entry.flags & kFlagEncrypted ? "\ttype=1\tos__=" : "\ttype=0\tos__=");
  if (entry.host < std::size(kHostNames))
    out.append(kHostNames[entry.host]);
  else
    appendNumber(out, entry.host);
  out.append("\tvers=");
  appendNumber(out, entry.needed & 0xFF);
  if (!appendEntryComment(out, entry.comment, utf8, scratch)) return false;
  if (legacyName) appendRawName(out, name);
  out.push_back('\n');
  return true;
}

}  // namespace

std::optional<std::string> listZipDirectly(const std::string& path) {
  File file(path);
  if (file.fd < 0) return std::nullopt;
  struct stat st;
  if (::fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  const std::optional<ZipEndRecord> record = findZipEndRecord(file.fd, static_cast<uint64_t>(st.st_size));
  if (!record) return std::nullopt;
  const std::optional<Directory> directory = locateDirectory(file.fd, *record);
  if (!directory) return std::nullopt;
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
  if (directory->entries == 0) return directory->size == 0 ? std::optional<std::string>(out) : std::nullopt;

  std::vector<unsigned char> bytes(static_cast<size_t>(directory->size));
  if (!readFullyAt(file.fd, bytes.data(), bytes.size(), directory->start)) return std::nullopt;
  out.reserve(out.size() + static_cast<size_t>(directory->entries) * 160);

  std::string scratch;
  size_t pos = 0;
  // The end of the previous entry's data at the least: entries that overlap are damage.
  uint64_t previousEnd = 0;
  for (uint64_t n = 0; n < directory->entries; ++n) {
    if (bytes.size() - pos < kCentralSize) return std::nullopt;
    const unsigned char* h = &bytes[pos];
    if (u32(h) != kCentralSignature) return std::nullopt;
    Entry entry;
    entry.host = h[5];
    entry.needed = u16(h + 6);
    entry.flags = u16(h + 8);
    entry.method = u16(h + 10);
    entry.dosTime = u16(h + 12);
    entry.dosDate = u16(h + 14);
    entry.crc = u32(h + 16);
    const uint32_t packed32 = u32(h + 20), unpacked32 = u32(h + 24), offset32 = u32(h + 42);
    const size_t nameLength = u16(h + 28), extraLength = u16(h + 30), commentLength = u16(h + 32);
    const uint16_t disk = u16(h + 34);
    entry.external = u32(h + 38);
    if (bytes.size() - pos - kCentralSize < nameLength + extraLength + commentLength) return std::nullopt;
    const char* text = reinterpret_cast<const char*>(h + kCentralSize);
    entry.name = std::string_view(text, nameLength);
    entry.extra = std::string_view(text + nameLength, extraLength);
    entry.comment = std::string_view(text + nameLength + extraLength, commentLength);
    entry.packed = packed32;
    entry.unpacked = unpacked32;
    entry.localOffset = offset32;
    if (disk != 0 && disk != 0xFFFF) return std::nullopt;
    if (!readExtraFields(entry, packed32, unpacked32, offset32, disk)) return std::nullopt;

    // 7zz lists in the order of the local headers; each entry's header and data lie before the
    // next one's and before the directory.
    const uint64_t local = entry.localOffset;
    const uint64_t storedStart = directory->start - directory->shift;
    if (local < previousEnd || local > storedStart || storedStart - local < kLocalSize ||
        entry.packed > storedStart - local - kLocalSize)
      return std::nullopt;
    previousEnd = local + kLocalSize + entry.packed;
    if (n == 0) {
      unsigned char signature[4];
      if (!readFullyAt(file.fd, signature, 4, local + directory->shift) || u32(signature) != kLocalSignature)
        return std::nullopt;
    }
    if (!appendEntry(out, entry, scratch)) return std::nullopt;
    pos += kCentralSize + nameLength + extraLength + commentLength;
  }
  // Nothing but the entries between the directory's start and its end.
  if (pos != bytes.size()) return std::nullopt;
  return out;
}

}  // namespace tessaro::sevenzip
