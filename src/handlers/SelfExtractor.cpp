#include "SelfExtractor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "io/FileDescriptor.h"
#include "io/ReadAt.h"
#include "zip/ZipEndRecord.h"

namespace tessaro {

namespace {

using namespace std::string_view_literals;

constexpr std::string_view kSevenZipSignature = "7z\xBC\xAF\x27\x1C"sv;
// Signature, version, CRC of the next 20 bytes, next header offset, size and CRC.
constexpr size_t kSevenZipStartHeader = 32;
// 7-Zip's own stubs are well under this; an archive further in is not looked for.
constexpr uint64_t kSevenZipSearchLimit = uint64_t{16} << 20;
constexpr size_t kSearchChunk = 1 << 16;

constexpr std::string_view kZipCentralSignature = "PK\x01\x02"sv;

// The DOS header's pointer to the PE header sits at 0x3C.
constexpr uint64_t kPeOffsetField = 0x3C;
constexpr uint64_t kMaxPeOffset = 1 << 20;

uint64_t littleEndian(const unsigned char* bytes, size_t count) {
  uint64_t value = 0;
  for (size_t i = count; i > 0; --i) value = (value << 8) | bytes[i - 1];
  return value;
}

bool isProgram(int fd, uint64_t size) {
  unsigned char dos[kPeOffsetField + 4];
  if (size < sizeof dos || !readFullyAt(fd, dos, sizeof dos, 0) || dos[0] != 'M' || dos[1] != 'Z')
    return false;
  const uint64_t peOffset = littleEndian(dos + kPeOffsetField, 4);
  unsigned char pe[4];
  return peOffset <= kMaxPeOffset && peOffset + 4 <= size && readFullyAt(fd, pe, sizeof pe, peOffset) &&
         std::memcmp(pe, "PE\0\0", 4) == 0;
}

// A 7z start header at `at`: its CRC holds, and the header it points to lies inside the file.
bool isSevenZipStart(int fd, uint64_t size, uint64_t at) {
  unsigned char header[kSevenZipStartHeader];
  if (size - at < sizeof header || !readFullyAt(fd, header, sizeof header, at)) return false;
  const uint32_t crc = static_cast<uint32_t>(::crc32(0, header + 12, 20));
  if (crc != littleEndian(header + 8, 4)) return false;
  const uint64_t nextOffset = littleEndian(header + 12, 8);
  const uint64_t nextSize = littleEndian(header + 20, 8);
  const uint64_t room = size - at - sizeof header;
  return nextOffset <= room && nextSize <= room - nextOffset;
}

bool hasSevenZipArchive(int fd, uint64_t size) {
  std::vector<unsigned char> chunk(kSearchChunk + kSevenZipSignature.size());
  const uint64_t limit = std::min(size, kSevenZipSearchLimit);
  // Chunks overlap by the signature's length, so that none is missed at a boundary.
  for (uint64_t start = 0; start < limit; start += kSearchChunk) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(chunk.size(), size - start));
    if (!readFullyAt(fd, chunk.data(), want, start)) return false;
    const std::string_view text(reinterpret_cast<const char*>(chunk.data()), want);
    for (size_t found = text.find(kSevenZipSignature); found != std::string_view::npos;
         found = text.find(kSevenZipSignature, found + 1)) {
      // The stub's own copy of the signature (its search code) fails the CRC test.
      if (found < kSearchChunk && isSevenZipStart(fd, size, start + found)) return true;
    }
  }
  return false;
}

bool hasZipArchive(int fd, uint64_t size) {
  const std::optional<ZipEndRecord> end = findZipEndRecord(fd, size);
  if (!end) return false;
  const uint64_t directorySize = end->directorySize;
  if (directorySize == 0 || directorySize > end->offset) return false;
  // Offsets counted from the start of the file (zip -A) or from the start of the archive.
  unsigned char signature[4];
  for (const uint64_t candidate : {uint64_t{end->directoryOffset}, end->offset - directorySize}) {
    if (candidate + sizeof signature <= end->offset &&
        readFullyAt(fd, signature, sizeof signature, candidate) &&
        std::memcmp(signature, kZipCentralSignature.data(), sizeof signature) == 0)
      return true;
  }
  return false;
}

}  // namespace

EmbeddedArchive embeddedArchiveOf(const std::string& path) {
  const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  struct stat st;
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return EmbeddedArchive::kNone;
  const auto size = static_cast<uint64_t>(st.st_size);
  if (!isProgram(fd.get(), size)) return EmbeddedArchive::kNone;
  if (hasSevenZipArchive(fd.get(), size)) return EmbeddedArchive::kSevenZip;
  if (hasZipArchive(fd.get(), size)) return EmbeddedArchive::kZip;
  return EmbeddedArchive::kNone;
}

}  // namespace tessaro
