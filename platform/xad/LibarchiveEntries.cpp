#include "LibarchiveEntries.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "io/LibraryOnFirstUse.h"

namespace tessaro {

namespace {

// Signatures, read from the first bytes of the file.
constexpr std::string_view kCpioNewc = "070701";       // SVR4 "newc"
constexpr std::string_view kCpioCrc = "070702";        // SVR4 with checksums
constexpr std::string_view kCpioOdc = "070707";        // POSIX "portable" octal
constexpr unsigned char kCpioBinary[] = {0xC7, 0x71};  // octal 070707 as a little-endian 16-bit word
constexpr std::string_view kAr = "!<arch>\n";          // Debian packages are ar archives
constexpr unsigned char kGzip[] = {0x1F, 0x8B};

// Past these the listing is left to lsar, which has its own limits: a name longer than any file
// system takes, more entries than any real cpio holds.
constexpr size_t kMaxNameBytes = 4096;
constexpr size_t kMaxEntries = 5'000'000;
// Entries reserved ahead at most (about 90 MB of address space).
constexpr size_t kReservedEntries = 1 << 20;
constexpr size_t kSmallestCpioMember = 28;
// An AppleDouble header table of 65535 entries is 786 KB; real ones are under 4 KB.
constexpr size_t kAppleDoubleReadLimit = 1 << 20;

// AppleDouble: magic 0x00051607, version 2, 16 filler bytes, a 16-bit entry count, then
// 12-byte entries (id, offset, length).
constexpr uint32_t kAppleDoubleMagic = 0x00051607;
constexpr uint32_t kAppleDoubleVersion2 = 0x00020000;
constexpr size_t kAppleDoubleTable = 26;
constexpr uint32_t kAppleDoubleResourceFork = 2;
constexpr uint32_t kAppleDoubleFinderInfo = 9;
// Finder info past its own 32 bytes may hold extended attributes ("ATTR", after 2 bytes of
// padding on macOS), whose reading might decide lsar's answer.
constexpr size_t kFinderInfoSize = 32;

// libarchive, opened on the first listing that needs it: it brings a dozen libraries of its own,
// and loading them costs more than listing a small archive of another format.
struct Libarchive {
  decltype(&::archive_entry_filetype) entryFiletype = nullptr;
  decltype(&::archive_entry_mode) entryMode = nullptr;
  decltype(&::archive_entry_mtime) entryMtime = nullptr;
  decltype(&::archive_entry_mtime_is_set) entryMtimeIsSet = nullptr;
  decltype(&::archive_entry_pathname) entryPathname = nullptr;
  decltype(&::archive_entry_size) entrySize = nullptr;
  decltype(&::archive_entry_size_is_set) entrySizeIsSet = nullptr;
  decltype(&::archive_filter_code) filterCode = nullptr;
  decltype(&::archive_filter_count) filterCount = nullptr;
  decltype(&::archive_format) format = nullptr;
  decltype(&::archive_read_data) readData = nullptr;
  decltype(&::archive_read_free) readFree = nullptr;
  decltype(&::archive_read_new) readNew = nullptr;
  decltype(&::archive_read_next_header) readNextHeader = nullptr;
  decltype(&::archive_read_open_filename) readOpenFilename = nullptr;
  decltype(&::archive_read_support_filter_gzip) readSupportFilterGzip = nullptr;
  decltype(&::archive_read_support_format_ar) readSupportFormatAr = nullptr;
  decltype(&::archive_read_support_format_cpio) readSupportFormatCpio = nullptr;
};

// Null when the library or one of its functions is missing; lsar lists the archive then.
const Libarchive* libarchive() {
  return libraryOnFirstUse<Libarchive>("libarchive.so.13", [](void* library, Libarchive& table) {
    return resolveSymbol(library, "archive_entry_filetype", table.entryFiletype) &&
           resolveSymbol(library, "archive_entry_mode", table.entryMode) &&
           resolveSymbol(library, "archive_entry_mtime", table.entryMtime) &&
           resolveSymbol(library, "archive_entry_mtime_is_set", table.entryMtimeIsSet) &&
           resolveSymbol(library, "archive_entry_pathname", table.entryPathname) &&
           resolveSymbol(library, "archive_entry_size", table.entrySize) &&
           resolveSymbol(library, "archive_entry_size_is_set", table.entrySizeIsSet) &&
           resolveSymbol(library, "archive_filter_code", table.filterCode) &&
           resolveSymbol(library, "archive_filter_count", table.filterCount) &&
           resolveSymbol(library, "archive_format", table.format) &&
           resolveSymbol(library, "archive_read_data", table.readData) &&
           resolveSymbol(library, "archive_read_free", table.readFree) &&
           resolveSymbol(library, "archive_read_new", table.readNew) &&
           resolveSymbol(library, "archive_read_next_header", table.readNextHeader) &&
           resolveSymbol(library, "archive_read_open_filename", table.readOpenFilename) &&
           resolveSymbol(library, "archive_read_support_filter_gzip", table.readSupportFilterGzip) &&
           resolveSymbol(library, "archive_read_support_format_ar", table.readSupportFormatAr) &&
           resolveSymbol(library, "archive_read_support_format_cpio", table.readSupportFormatCpio);
  });
}

enum class Kind { kCpio, kDeb, kGzippedCpio };

struct ArchiveFree {
  void operator()(archive* a) const { libarchive()->readFree(a); }
};

bool startsWith(const unsigned char* head, size_t got, const void* signature, size_t size) {
  return got >= size && std::memcmp(head, signature, size) == 0;
}

bool kindOf(const std::string& path, bool recursive, Kind& kind) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  unsigned char head[8];
  const ssize_t got = ::read(fd, head, sizeof head);
  ::close(fd);
  if (got <= 0) return false;
  const auto n = static_cast<size_t>(got);
  const auto is = [&](std::string_view s) { return startsWith(head, n, s.data(), s.size()); };
  // Big-endian binary headers, written by no current cpio, stay with lsar.
  if (is(kCpioNewc) || is(kCpioCrc) || is(kCpioOdc) || startsWith(head, n, kCpioBinary, 2)) {
    kind = Kind::kCpio;
    return true;
  }
  // lsar -nr lists a gzip file as its one wrapped entry, and recursion into a Debian package is
  // never asked for: both stay with lsar.
  if (is(kAr) && !recursive) {
    kind = Kind::kDeb;
    return true;
  }
  if (startsWith(head, n, kGzip, 2) && recursive) {
    kind = Kind::kGzippedCpio;
    return true;
  }
  return false;
}

// A name lsar reports unchanged: printable ASCII, and no empty, "." or ".." components for its
// path handling to fold away. lsar guesses the encoding of other bytes from all the names of the
// archive together (a lone UTF-8 emoji reads as Shift_JIS), which no rule here can follow.
bool isPlainName(std::string_view name) {
  if (name.empty() || name.size() > kMaxNameBytes) return false;
  if (name == ".") return true;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte > 0x7E || c == '\\') return false;
  }
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find('/', start);
    if (end == std::string_view::npos) end = name.size();
    const std::string_view part = name.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    start = end + 1;
  }
  return true;
}

uint32_t bigEndian32(const unsigned char* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

enum class AppleDouble { kPlainFile, kResourceFork, kUnsure };

// How lsar takes a "._" file of `size` bytes whose first bytes are `data`: as a plain file, as
// the resource fork of its namesake (`forkSize` bytes), or in a way not predicted here.
AppleDouble readAppleDouble(const std::string& data, int64_t size, int64_t& forkSize) {
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  if (data.size() < kAppleDoubleTable) return AppleDouble::kPlainFile;
  if (bigEndian32(p) != kAppleDoubleMagic || bigEndian32(p + 4) != kAppleDoubleVersion2)
    return AppleDouble::kPlainFile;
  const size_t count = (size_t{p[24]} << 8) | p[25];
  const size_t tableEnd = kAppleDoubleTable + 12 * count;
  if (static_cast<uint64_t>(size) < tableEnd) return AppleDouble::kPlainFile;
  if (data.size() < tableEnd) return AppleDouble::kUnsure;
  bool hasFork = false, hasFinder = false;
  uint32_t finderOffset = 0, finderLength = 0;
  for (size_t i = 0; i < count; ++i) {
    const unsigned char* e = p + kAppleDoubleTable + 12 * i;
    const uint32_t id = bigEndian32(e);
    if (id == kAppleDoubleResourceFork) {
      // The last resource fork entry is the one that counts; its place is not checked.
      hasFork = true;
      forkSize = bigEndian32(e + 8);
    } else if (id == kAppleDoubleFinderInfo) {
      if (hasFinder) return AppleDouble::kUnsure;
      hasFinder = true;
      finderOffset = bigEndian32(e + 4);
      finderLength = bigEndian32(e + 8);
    }
  }
  if (!hasFork && !hasFinder) return AppleDouble::kPlainFile;
  if (hasFinder) {
    const uint64_t end = uint64_t{finderOffset} + finderLength;
    // Finder info is read in full, so info that runs past the file fails the whole header.
    if (finderLength == 0 && finderOffset > static_cast<uint64_t>(size)) return AppleDouble::kUnsure;
    if (end > static_cast<uint64_t>(size)) return AppleDouble::kPlainFile;
    if (finderLength > kFinderInfoSize) {
      if (end > data.size()) return AppleDouble::kUnsure;
      const std::string_view rest =
          std::string_view(data).substr(finderOffset + kFinderInfoSize, finderLength - kFinderInfoSize);
      if (rest.substr(0, 6).find("ATTR") != std::string_view::npos) return AppleDouble::kUnsure;
    }
  }
  if (!hasFork) forkSize = 0;
  return AppleDouble::kResourceFork;
}

// Bytes a member's data takes in the archive: cpio pads it to the header's alignment.
int64_t paddedSize(int64_t size, int64_t alignment) {
  if (alignment <= 1 || size > INT64_MAX - alignment) return size;
  return (size + alignment - 1) / alignment * alignment;
}

bool alignmentOf(int format, int64_t& alignment) {
  switch (format) {
    case ARCHIVE_FORMAT_CPIO_POSIX: alignment = 1; return true;
    case ARCHIVE_FORMAT_CPIO_BIN_LE: alignment = 2; return true;
    case ARCHIVE_FORMAT_CPIO_SVR4_NOCRC:
    case ARCHIVE_FORMAT_CPIO_SVR4_CRC: alignment = 4; return true;
    // Plain ar names only, as dpkg-deb writes them; GNU and BSD long-name tables stay with lsar.
    case ARCHIVE_FORMAT_AR: alignment = 1; return true;
    default: return false;
  }
}

bool readPrefix(const Libarchive* la, archive* a, int64_t size, std::string& data) {
  const size_t want =
      size > static_cast<int64_t>(kAppleDoubleReadLimit) ? kAppleDoubleReadLimit : static_cast<size_t>(size);
  data.resize(want);
  size_t got = 0;
  while (got < want) {
    const la_ssize_t n = la->readData(a, data.data() + got, want - got);
    if (n < 0) return false;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  data.resize(got);
  return got == want;
}

bool list(const std::string& path, bool recursive, XADListingBound bound, XADArchive::Listing& listing) {
  std::vector<XADArchive::Entry>& forks = listing.forks;
  Kind kind{};
  if (!kindOf(path, recursive, kind)) return false;
  const Libarchive* la = libarchive();
  if (!la) return false;
  const std::unique_ptr<archive, ArchiveFree> a(la->readNew());
  if (!a) return false;
  switch (kind) {
    case Kind::kCpio: la->readSupportFormatCpio(a.get()); break;
    case Kind::kDeb: la->readSupportFormatAr(a.get()); break;
    case Kind::kGzippedCpio:
      la->readSupportFilterGzip(a.get());
      la->readSupportFormatCpio(a.get());
      break;
  }
  constexpr size_t kBlock = 64 * 1024;
  if (la->readOpenFilename(a.get(), path.c_str(), kBlock) != ARCHIVE_OK) return false;
  if (kind == Kind::kCpio) {
    // Room for as many entries as the file could hold, so that a big listing is never copied
    // while it grows: the smallest member is a binary header (26 bytes) and a 2-byte name. Pages
    // never written cost nothing.
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && info.st_size > 0) {
      const size_t room =
          std::min<size_t>(static_cast<size_t>(info.st_size) / kSmallestCpioMember, kReservedEntries);
      forks.reserve(room);
      listing.isResourceFork.reserve(room);
    }
  }

  archive_entry* entry = nullptr;
  std::string data;
  size_t nameBytes = 0;
  for (;;) {
    const int status = la->readNextHeader(a.get(), &entry);
    if (status == ARCHIVE_EOF) break;
    // Warnings too: lsar's answer on anything libarchive had to work around is not known.
    if (status != ARCHIVE_OK) return false;
    if (forks.size() >= kMaxEntries) return false;
    if (kind == Kind::kGzippedCpio &&
        (la->filterCount(a.get()) != 2 || la->filterCode(a.get(), 0) != ARCHIVE_FILTER_GZIP))
      return false;
    int64_t alignment = 1;
    if (!alignmentOf(la->format(a.get()), alignment)) return false;

    const char* name = la->entryPathname(entry);
    if (!name || !isPlainName(name)) return false;
    // Only a Debian package is read as an ar archive.
    if (kind == Kind::kDeb && forks.empty() && std::strcmp(name, "debian-binary") != 0) return false;
    if (!la->entrySizeIsSet(entry) || !la->entryMtimeIsSet(entry)) return false;
    const int64_t size = la->entrySize(entry);
    const int64_t mtime = la->entryMtime(entry);
    // Unsigned 32-bit header dates past 2038 may be read as negative by lsar.
    if (size < 0 || mtime < 0 || mtime > INT32_MAX) return false;

    XADArchive::Entry listed;
    listed.name = name;
    XADArchive::Fork& fork = listed.data;
    fork.index = static_cast<int64_t>(forks.size());
    fork.size = size;
    fork.compressedSize = paddedSize(size, alignment);
    fork.modified = mtime;
    fork.hasModified = true;
    fork.permissions = la->entryMode(entry) & 07777;
    fork.hasPermissions = true;
    const unsigned type = la->entryFiletype(entry);
    fork.isDirectory = type == AE_IFDIR;

    bool isResourceFork = false;
    const size_t slash = listed.name.rfind('/');
    const size_t base = slash == std::string::npos ? 0 : slash + 1;
    if (kind != Kind::kDeb && listed.name.compare(base, 2, "._") == 0) {
      if (listed.name.size() == base + 2) return false;
      // A "._" file is looked into only when it is a regular file with data.
      if (type == AE_IFREG && size > 0) {
        if (!readPrefix(la, a.get(), size, data)) return false;
        int64_t forkSize = 0;
        switch (readAppleDouble(data, size, forkSize)) {
          case AppleDouble::kUnsure: return false;
          case AppleDouble::kPlainFile: break;
          case AppleDouble::kResourceFork: {
            XADArchive::Original original{listed.name, fork};
            original.fork.index = -1;
            listed.original = static_cast<int32_t>(listing.originals.size());
            listing.originals.push_back(std::move(original));
            listed.name.erase(base, 2);
            if (!isPlainName(listed.name) || listed.name == ".") return false;
            isResourceFork = true;
            fork.size = forkSize;
            fork.hasPermissions = false;
            fork.permissions = 0;
            listed.rsrc = fork;
            listed.data = XADArchive::Fork();
            break;
          }
        }
      } else if (type != AE_IFREG && type != AE_IFDIR) {
        return false;
      }
    }
    nameBytes += listed.name.size();
    if (forks.size() >= bound.maxEntries || nameBytes > bound.maxNameBytes) {
      listing.cutShort = true;
      break;
    }
    forks.push_back(std::move(listed));
    listing.isResourceFork.push_back(isResourceFork);
  }
  if (forks.empty()) return false;
  // Recursion descends into an archive that is the only entry of another.
  if (recursive && forks.size() == 1) return false;
  return true;
}

}  // namespace

bool listWithLibarchive(const std::string& path, bool recursive, XADListingBound bound,
                        XADArchive::Listing& listing) {
  try {
    if (list(path, recursive, bound, listing)) return true;
  } catch (...) {
  }
  listing = XADArchive::Listing();
  return false;
}

}  // namespace tessaro
