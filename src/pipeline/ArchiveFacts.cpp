#include "ArchiveFacts.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>

#include "AZipItem.h"
#include "PathString.h"
#include "helpers.h"
#include "io/ReadOnlyFile.h"
#include "zip/ZipEndRecord.h"

namespace tessaro {

namespace {

// RAR 5 marks the end of each volume with header type 5; bit 0 of its end flags says another
// volume follows.
constexpr unsigned char kRar5EndHeader = 5;
// RAR 1.5 to 4 end block: type 0x7B, bit 0 of its flags says another volume follows.
constexpr unsigned char kRar4EndBlock = 0x7B;
// Both end records are a few bytes; the tail read holds the longest with room to spare.
constexpr size_t kRarTailSize = 64;
// "7z\xBC\xAF\x27\x1C": the start header then gives where the archive's last header ends.
constexpr unsigned char kSevenZipSignature[] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};
constexpr size_t kSevenZipStartHeaderSize = 32;
constexpr unsigned char kRarSignature[] = {'R', 'a', 'r', '!', 0x1A, 0x07};
constexpr unsigned char kZipLocalSignature[] = {'P', 'K', 3, 4};
constexpr size_t kZipCentralSize = 46;
constexpr size_t kZipLocalSize = 30;
constexpr unsigned kZipHostUnix = 3;
// A link target longer than a path can be is not a link target.
constexpr uint32_t kMaxLinkTarget = 4096;
// Bounds for hostile archives and folders.
constexpr size_t kMaxLinks = 100000;
constexpr size_t kMaxFolderEntries = 1000000;
constexpr int kMaxVolumeDigits = 6;

uint16_t le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t le32(const unsigned char* p) { return uint32_t{le16(p)} | uint32_t{le16(p + 2)} << 16; }
uint64_t le64(const unsigned char* p) { return uint64_t{le32(p)} | uint64_t{le32(p + 4)} << 32; }

const unsigned char* bytes(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

bool startsWith(const std::string& data, const unsigned char* signature, size_t length) {
  return data.size() >= length && std::memcmp(data.data(), signature, length) == 0;
}

std::string head(const std::string& path, size_t length) {
  const ReadOnlyFile file(path);
  std::string out;
  if (!file.ok() || !file.read(0, length, out)) return {};
  return out;
}

uint32_t crc(const unsigned char* p, size_t length) {
  return static_cast<uint32_t>(::crc32(0, p, static_cast<uInt>(length)));
}

// Reads a RAR 5 variable-length integer; false past the end or beyond 64 bits.
bool readVint(const unsigned char*& p, const unsigned char* end, uint64_t& value) {
  value = 0;
  for (int shift = 0; p < end && shift < 64; shift += 7) {
    const unsigned char b = *p++;
    value |= uint64_t{b & 0x7Fu} << shift;
    if (!(b & 0x80)) return true;
  }
  return false;
}

// Whether the RAR volume at `path` says another volume follows; none without a valid end record.
// Volumes before the last may be padded with zero bytes after it.
std::optional<bool> rarMoreVolumesFollow(const std::string& path) {
  const ReadOnlyFile file(path);
  const int64_t size = file.regularSize().value_or(-1);
  if (size <= 0) return std::nullopt;
  const size_t length = static_cast<size_t>(std::min<int64_t>(size, kRarTailSize));
  std::string tail;
  if (!file.read(static_cast<uint64_t>(size) - length, length, tail)) return std::nullopt;
  const unsigned char* t = bytes(tail);
  const unsigned char* end = t + length;
  const auto onlyZerosAfter = [&](const unsigned char* from) {
    return from <= end && std::all_of(from, end, [](unsigned char b) { return b == 0; });
  };
  for (size_t p = 0; p + 7 <= length; ++p) {
    // RAR 5: CRC32 of everything after it, header size, type, header flags, end flags.
    const unsigned char* q = t + p + 4;
    uint64_t headerSize = 0, type = 0, flags = 0, endFlags = 0;
    if (readVint(q, end, headerSize) && headerSize <= static_cast<uint64_t>(end - q)) {
      const unsigned char* sizeStart = t + p + 4;
      const unsigned char* recordEnd = q + headerSize;
      if (onlyZerosAfter(recordEnd) && readVint(q, recordEnd, type) && type == kRar5EndHeader &&
          readVint(q, recordEnd, flags) && readVint(q, recordEnd, endFlags) &&
          le32(t + p) == crc(sizeStart, static_cast<size_t>(recordEnd - sizeStart)))
        return (endFlags & 1) != 0;
    }
    // RAR 4: CRC16 (low half of CRC32 from the type on), type, flags, size.
    const size_t blockSize = le16(t + p + 5);
    if (t[p + 2] == kRar4EndBlock && blockSize >= 7 && p + blockSize <= length &&
        onlyZerosAfter(t + p + blockSize) && le16(t + p) == (crc(t + p + 2, blockSize - 2) & 0xFFFF))
      return (le16(t + p + 3) & 1) != 0;
  }
  return std::nullopt;
}

// The whole 7z archive's size from its start header; none for anything else.
std::optional<uint64_t> sevenZipTotalSize(const std::string& firstVolume) {
  const std::string h = head(firstVolume, kSevenZipStartHeaderSize);
  if (!startsWith(h, kSevenZipSignature, sizeof kSevenZipSignature)) return std::nullopt;
  const uint64_t offset = le64(bytes(h) + 12);
  const uint64_t length = le64(bytes(h) + 20);
  if (offset > UINT64_MAX / 2 || length > UINT64_MAX / 4) return std::nullopt;
  return kSevenZipStartHeaderSize + offset + length;
}

// The end-of-central-directory record of a zip, when the file ends with one.
struct ZipEnd {
  uint16_t disk = 0;
  uint16_t entries = 0;
  uint32_t directorySize = 0;
  uint32_t directoryOffset = 0;
};

std::optional<ZipEnd> zipEnd(const ReadOnlyFile& file) {
  const int64_t size = file.regularSize().value_or(-1);
  if (size < 0) return std::nullopt;
  const std::optional<ZipEndRecord> end = findZipEndRecord(file.fd(), static_cast<uint64_t>(size));
  if (!end) return std::nullopt;
  return ZipEnd{end->disk, end->entries, end->directorySize, end->directoryOffset};
}

std::optional<ZipEnd> zipEnd(const std::string& path) {
  const ReadOnlyFile file(path);
  return file.ok() ? zipEnd(file) : std::nullopt;
}

std::optional<std::string> inflateLink(const std::string& packed, uint32_t unpacked) {
  z_stream stream{};
  if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) return std::nullopt;
  std::string out(unpacked, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.data()));
  stream.avail_in = static_cast<uInt>(packed.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = unpacked;
  const int result = inflate(&stream, Z_FINISH);
  inflateEnd(&stream);
  if (result != Z_STREAM_END || stream.avail_out != 0) return std::nullopt;
  return out;
}

// ---- Volume names

bool allDigits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int64_t numberOf(std::string_view digits) {
  int64_t n = 0;
  for (const char c : digits) n = n * 10 + (c - '0');
  return n;
}

std::string numbered(int64_t n, int width) {
  std::string digits = std::to_string(n);
  if (static_cast<int>(digits.size()) < width)
    digits.insert(0, static_cast<size_t>(width) - digits.size(), '0');
  return digits;
}

enum class Family { rarParts, rarOld, numbered, zip };

// One set: how its names are formed, read and numbered.
struct SetNaming {
  Family family;
  std::string base;  // file name before the volume suffix
  int width = 0;     // digits of the volume number
  int64_t first = 1;

  std::string nameOf(int64_t n) const {
    switch (family) {
      case Family::rarParts: return base + ".part" + numbered(n, width) + ".rar";
      case Family::rarOld:
        if (n == 0) return base + ".rar";
        return n <= 100 ? base + ".r" + numbered(n - 1, 2) : base + ".s" + numbered(n - 101, 2);
      case Family::numbered: return base + "." + numbered(n, width);
      case Family::zip: return base + ".z" + numbered(n, 2);
    }
    return {};
  }

  // The volume number of `name` in this set, or none. The zip family's ".zip" is numbered by
  // the caller, as only its directory knows its place.
  std::optional<int64_t> numberOfName(std::string_view name) const {
    if (name.size() <= base.size() + 1 || name.substr(0, base.size()) != base || name[base.size()] != '.')
      return std::nullopt;
    const std::string_view rest = name.substr(base.size() + 1);
    switch (family) {
      case Family::rarParts:
        if (rest.size() > 8 && rest.starts_with("part") && rest.ends_with(".rar")) {
          const std::string_view digits = rest.substr(4, rest.size() - 8);
          if (allDigits(digits) && digits.size() <= kMaxVolumeDigits) return numberOf(digits);
        }
        return std::nullopt;
      case Family::rarOld:
        if (rest == "rar") return 0;
        if (rest.size() == 3 && (rest[0] == 'r' || rest[0] == 's') && allDigits(rest.substr(1)))
          return numberOf(rest.substr(1)) + (rest[0] == 'r' ? 1 : 101);
        return std::nullopt;
      case Family::numbered:
        if (allDigits(rest) && rest.size() <= kMaxVolumeDigits) return numberOf(rest);
        return std::nullopt;
      case Family::zip:
        if (rest.size() >= 3 && rest[0] == 'z' && allDigits(rest.substr(1)) &&
            rest.size() <= 1 + kMaxVolumeDigits)
          return numberOf(rest.substr(1));
        return std::nullopt;
    }
    return std::nullopt;
  }
};

std::optional<SetNaming> namingOf(std::string_view name) {
  const std::string_view extension = pathExtension(name);
  const std::string_view stem = deletingPathExtension(name);
  const std::string_view inner = pathExtension(stem);
  if (extension == "rar" && inner.size() > 4 && inner.starts_with("part") && allDigits(inner.substr(4)) &&
      inner.size() - 4 <= kMaxVolumeDigits)
    return SetNaming{Family::rarParts, std::string(deletingPathExtension(stem)),
                     static_cast<int>(inner.size() - 4), 1};
  if (extension == "rar" || (extension.size() == 3 && (extension[0] == 'r' || extension[0] == 's') &&
                             allDigits(extension.substr(1))))
    return SetNaming{Family::rarOld, std::string(stem), 2, 0};
  if (allDigits(extension) && extension.size() <= kMaxVolumeDigits)
    return SetNaming{Family::numbered, std::string(stem), static_cast<int>(extension.size()), 1};
  if (extension == "zip" || (extension.size() >= 3 && extension[0] == 'z' && allDigits(extension.substr(1))))
    return SetNaming{Family::zip, std::string(stem), 2, 1};
  return std::nullopt;
}

std::string inFolder(const std::string& folder, const std::string& name) {
  return folder.empty() ? name : folder + "/" + name;
}

// Volume numbers present beside the opened file, with their file names. Names of the set that are
// no regular file are left out, and added to `irregular` when it is given.
std::map<int64_t, std::string> presentVolumes(const std::string& folder, const SetNaming& naming,
                                              std::vector<std::string>* irregular = nullptr) {
  std::map<int64_t, std::string> found;
  DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
  if (!dir) return found;
  size_t seen = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (++seen > kMaxFolderEntries) break;
    const std::string_view name = entry->d_name;
    if (const auto n = naming.numberOfName(name)) {
      // Only names this set would write: x.r5 is not x.r05.
      if (naming.nameOf(*n) != name) continue;
      // A volume that is no regular file is never read: it counts as missing.
      if (notReadableAsArchive(inFolder(folder, std::string(name))).empty()) {
        found.emplace(*n, std::string(name));
      } else if (irregular) {
        irregular->emplace_back(name);
      }
    }
  }
  ::closedir(dir);
  return found;
}

int64_t sizeOf(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// Whether the file ends like a complete zip, for raw-split zip archives.
bool endsWithZipDirectory(const std::string& path) { return zipEnd(path).has_value(); }

}  // namespace

std::vector<std::string> irregularVolumesOf(std::string_view openedPath) {
  std::vector<std::string> irregular;
  try {
    if (const std::optional<SetNaming> naming = namingOf(lastPathComponent(openedPath)))
      presentVolumes(std::string(deletingLastPathComponent(openedPath)), *naming, &irregular);
  } catch (...) {
    // Swallowed: a set that cannot be read is reported by its listing instead.
    HLVLog(kLogError, "Looking for irregular volumes failed");
  }
  return irregular;
}

std::optional<VolumeSet> volumeSetOf(std::string_view openedPath) {
  try {
    const std::string_view openedName = lastPathComponent(openedPath);
    const std::optional<SetNaming> naming = namingOf(openedName);
    if (!naming) return std::nullopt;
    const std::string folder(deletingLastPathComponent(openedPath));
    std::map<int64_t, std::string> found = presentVolumes(folder, *naming);

    // Zip sets: the ".zip" volume holds the directory and comes last; its disk number says
    // how many ".zNN" volumes come before it.
    std::optional<int64_t> total;
    bool zipLastMissing = false;
    if (naming->family == Family::zip) {
      const std::string last = naming->base + ".zip";
      if (const auto end = zipEnd(inFolder(folder, last))) {
        total = int64_t{end->disk} + 1;
        found.erase(*total);
        found.emplace(*total, last);
      } else if (!found.empty()) {
        zipLastMissing = true;
      }
      if (found.size() < 2 && (!total || *total < 2) && !zipLastMissing) return std::nullopt;
    }

    VolumeSet set;
    const std::optional<int64_t> opened = naming->family == Family::zip && pathExtension(openedName) == "zip"
                                              ? total
                                              : naming->numberOfName(openedName);
    set.openedNotFirst = opened && *opened != naming->first &&
                         !(naming->family == Family::zip && pathExtension(openedName) == "zip");

    const int64_t highest = found.empty() ? naming->first : found.rbegin()->first;
    const int64_t last = total ? std::max(*total, highest) : highest;
    for (int64_t n = naming->first; n <= last; ++n) {
      const auto it = found.find(n);
      if (it != found.end()) {
        set.present.push_back(it->second);
        struct stat piece;
        if (::stat(inFolder(folder, it->second).c_str(), &piece) == 0 && S_ISREG(piece.st_mode))
          set.presentBytes += piece.st_size;
      } else
        set.missing.push_back(n == total ? naming->base + ".zip" : naming->nameOf(n));
    }

    // The last volume: only what the format itself says.
    const std::string lastPresent = found.empty() ? std::string() : inFolder(folder, found.rbegin()->second);
    switch (naming->family) {
      case Family::rarParts:
      case Family::rarOld:
        set.lastMissing = !lastPresent.empty() && rarMoreVolumesFollow(lastPresent).value_or(false);
        break;
      case Family::numbered: {
        const auto firstIt = found.find(naming->first);
        if (firstIt == found.end() || !set.missing.empty()) break;
        const std::string first = inFolder(folder, firstIt->second);
        const std::string start = head(first, sizeof kRarSignature);
        if (const auto size = sevenZipTotalSize(first)) {
          uint64_t sum = 0;
          for (const auto& [n, name] : found)
            sum += static_cast<uint64_t>(std::max<int64_t>(sizeOf(inFolder(folder, name)), 0));
          set.lastMissing = sum < *size;
        } else if (startsWith(start, kRarSignature, sizeof kRarSignature)) {
          set.lastMissing = rarMoreVolumesFollow(lastPresent).value_or(false);
        } else if (startsWith(start, kZipLocalSignature, sizeof kZipLocalSignature)) {
          set.lastMissing = !endsWithZipDirectory(lastPresent);
        }
        break;
      }
      case Family::zip:
        if (zipLastMissing) set.lastMissing = true;
        break;
    }
    if (set.lastMissing) {
      set.missing.push_back(naming->family == Family::zip ? naming->base + ".zip"
                                                          : naming->nameOf(highest + 1));
    }
    // A lone volume that says nothing of others is an ordinary archive.
    if (set.present.size() + set.missing.size() < 2) return std::nullopt;
    return set;
  } catch (...) {
    return std::nullopt;
  }
}

// ---- Safety flags

namespace {

// Calls `visit` with each component of `path` split at "/" and "\\", empty ones left out.
template <typename Visit>
bool eachComponent(std::string_view path, Visit visit) {
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find_first_of("/\\", start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view part = path.substr(start, end - start);
    if (!part.empty() && !visit(part)) return false;
    start = end + 1;
  }
  return true;
}

}  // namespace

size_t hiddenCharacterAt(std::string_view text, size_t pos, char32_t* codePoint) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[pos + i]); };
  const size_t left = text.size() - pos;
  char32_t found = 0;
  size_t length = 0;
  if (left >= 2 && byte(0) == 0xD8 && byte(1) == 0x9C) {
    found = 0x061C;
    length = 2;
  } else if (left >= 3 && byte(0) == 0xE2 && byte(1) == 0x80) {
    const unsigned char last = byte(2);
    if (last == 0x8B || last == 0x8E || last == 0x8F || (last >= 0xAA && last <= 0xAE))
      found = 0x2000 + (last - 0x80);
    length = 3;
  } else if (left >= 3 && byte(0) == 0xE2 && byte(1) == 0x81) {
    const unsigned char last = byte(2);
    if (last == 0xA0 || (last >= 0xA6 && last <= 0xA9)) found = 0x2040 + (last - 0x80);
    length = 3;
  } else if (left >= 3 && byte(0) == 0xEF && byte(1) == 0xBB && byte(2) == 0xBF) {
    found = 0xFEFF;
    length = 3;
  }
  if (found == 0) return 0;
  if (codePoint) *codePoint = found;
  return length;
}

uint8_t safetyFlagsOfPath(std::string_view rawPath) {
  uint8_t flags = 0;
  // Every hidden character begins with one of these lead bytes; most paths have none of them.
  for (size_t pos = rawPath.find_first_of("\xD8\xE2\xEF"); pos != std::string_view::npos;
       pos = rawPath.find_first_of("\xD8\xE2\xEF", pos + 1)) {
    if (hiddenCharacterAt(rawPath, pos) != 0) {
      flags |= kSafetyHiddenCharacters;
      break;
    }
  }
  // "/x", "\x" and a drive letter "C:" all name a place outside the destination.
  if (!rawPath.empty() && (rawPath[0] == '/' || rawPath[0] == '\\')) flags |= kSafetyAbsolutePath;
  if (rawPath.size() >= 2 && rawPath[1] == ':' && std::isalpha(static_cast<unsigned char>(rawPath[0])))
    flags |= kSafetyAbsolutePath;
  // Most paths hold no ".." at all: one scan settles them without walking their components.
  if (rawPath.find("..") == std::string_view::npos) return flags;
  eachComponent(rawPath, [&](std::string_view part) {
    if (part != "..") return true;
    flags |= kSafetyParentReference;
    return false;
  });
  return flags;
}

bool linkLeavesRoot(std::string_view entryPath, std::string_view target) {
  if (target.empty()) return false;
  if (target[0] == '/' || target[0] == '\\') return true;
  // The depth of the link's own folder below the root, then the target walked from there.
  int64_t depth = 0;
  bool outside = false;
  const auto step = [&](std::string_view part) {
    if (part == ".") return true;
    depth += part == ".." ? -1 : 1;
    if (depth < 0) outside = true;
    return !outside;
  };
  eachComponent(deletingLastPathComponent(entryPath), step);
  if (!outside) eachComponent(target, step);
  return outside;
}

uint8_t safetyFlagsOfEntry(const AZipItem& item) {
  if (item.isDir()) return 0;
  uint8_t flags = 0;
  const std::string& attr = item.attr();
  if (!attr.empty() && (attr[0] == 'b' || attr[0] == 'c')) flags |= kSafetyDeviceFile;
  const int64_t unco = item.uncoV();
  const int64_t comp = item.compV();
  if (comp > 0 && unco > 0 && unco / kExtremeRatio >= comp && unco > comp * kExtremeRatio)
    flags |= kSafetyExtremeRatio;
  return flags;
}

std::unordered_map<std::string, std::string> zipLinkTargets(const std::string& path) {
  std::unordered_map<std::string, std::string> links;
  try {
    const ReadOnlyFile file(path);
    const int64_t size = file.regularSize().value_or(-1);
    const std::optional<ZipEnd> end = file.ok() ? zipEnd(file) : std::nullopt;
    // Split sets keep their entries' data in other volumes; zip64 directories are left alone.
    if (!end || end->disk != 0 || end->directoryOffset == 0xFFFFFFFF ||
        uint64_t{end->directoryOffset} + end->directorySize > static_cast<uint64_t>(size))
      return links;
    std::string directory;
    if (!file.read(end->directoryOffset, end->directorySize, directory)) return links;
    const unsigned char* d = bytes(directory);
    std::string local;
    std::string data;
    for (size_t pos = 0; pos + kZipCentralSize <= directory.size() && links.size() < kMaxLinks;) {
      const unsigned char* h = d + pos;
      if (le32(h) != 0x02014B50) break;  // "PK\1\2"
      const uint16_t nameLength = le16(h + 28);
      const size_t next = pos + kZipCentralSize + nameLength + le16(h + 30) + le16(h + 32);
      if (next > directory.size()) break;
      const uint32_t mode = le32(h + 38) >> 16;
      const uint16_t method = le16(h + 10);
      const uint32_t packed = le32(h + 20);
      const uint32_t unpacked = le32(h + 24);
      const uint32_t offset = le32(h + 42);
      const bool encrypted = le16(h + 8) & 1;
      if (h[5] == kZipHostUnix && (mode & S_IFMT) == S_IFLNK && !encrypted && (method == 0 || method == 8) &&
          packed <= kMaxLinkTarget && unpacked <= kMaxLinkTarget && unpacked > 0 &&
          file.read(offset, kZipLocalSize, local) &&
          startsWith(local, kZipLocalSignature, sizeof kZipLocalSignature)) {
        const uint64_t start =
            uint64_t{offset} + kZipLocalSize + le16(bytes(local) + 26) + le16(bytes(local) + 28);
        std::optional<std::string> target;
        if (file.read(start, packed, data))
          target = method == 0 ? std::optional<std::string>(data) : inflateLink(data, unpacked);
        std::string name(reinterpret_cast<const char*>(h + kZipCentralSize), nameLength);
        if (target && !name.empty()) links.emplace(std::move(name), std::move(*target));
      }
      pos = next;
    }
  } catch (...) {
    links.clear();
  }
  return links;
}

bool scattersLooseItems(const ArchiveFacts& facts) {
  return facts.listing == ListingState::complete && !facts.cutShortAt && facts.topLevelCount > 0 &&
         !facts.singleFolder;
}

void collectTreeFacts(const AZipItem& root, ArchiveFacts& facts) {
  facts.flagCounts.fill(0);
  facts.topLevelCount = 0;
  facts.singleFolder.reset();
  const AZipItem* onlyTop = nullptr;
  for (const AZipItem::Ptr& child : root.children()) {
    if (child->isMacItem() || child->isDeleted()) continue;
    ++facts.topLevelCount;
    onlyTop = child.get();
  }
  if (facts.topLevelCount == 1 && onlyTop->isDir()) facts.singleFolder = onlyTop->name();

  std::vector<const AZipItem*> stack{&root};
  while (!stack.empty()) {
    const AZipItem* item = stack.back();
    stack.pop_back();
    if (const uint8_t flags = item->safetyFlags()) {
      for (int bit = 0; bit < kSafetyFlagCount; ++bit)
        if (flags & (1u << bit)) ++facts.flagCounts[static_cast<size_t>(bit)];
    }
    for (const AZipItem::Ptr& child : item->children()) stack.push_back(child.get());
  }
}

}  // namespace tessaro
