// The 7z header reader of the 7z helper on arbitrary files. Bit 0 of the first byte asks for the
// rest to get CRCs that fit in its signature header (when it is long enough to have one), so that
// mutations reach the end header's parser rather than stop at a checksum. When the reader answers
// at all, its answer must be UTF-8 text in the shape of the records 7zz's listing would give,
// never with more records than the end header has bytes.
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "SevenZipHeaders.h"

namespace {

// Every record line names these fields in this order (a CRC may come between the last two).
constexpr std::string_view kFields[] = {
    "path=", "\tmeth=", "\ttime=", "\tunco=", "\tcomp=", "\tattr=", "\ttype="};

bool isRecord(std::string_view line) {
  size_t at = 0;
  for (std::string_view field : kFields) {
    const size_t found = line.find(field, at);
    if (found == std::string_view::npos || (at == 0 && found != 0)) return false;
    at = found + field.size();
  }
  return line.size() > 5 && line[5] != '\t' && (line.ends_with("\ttype=0") || line.ends_with("\ttype=1"));
}

uint32_t crc(const std::string& bytes, size_t from, size_t length) {
  return static_cast<uint32_t>(
      ::crc32(0, reinterpret_cast<const Bytef*>(bytes.data() + from), static_cast<uInt>(length)));
}

void put32(std::string& bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static tessaro::fuzz::Scratch scratch;
  if (scratch.root.empty() || size == 0) return 0;
  std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  if ((data[0] & 1) && bytes.size() >= 32) {
    uint64_t offset = 0, length = 0;
    for (int i = 7; i >= 0; --i) {
      offset = offset << 8 | static_cast<uint8_t>(bytes[12 + i]);
      length = length << 8 | static_cast<uint8_t>(bytes[20 + i]);
    }
    if (offset <= bytes.size() - 32 && length <= bytes.size() - 32 - offset)
      put32(bytes, 28, crc(bytes, 32 + offset, length));
    put32(bytes, 8, crc(bytes, 12, 20));
  }
  const std::string path = (scratch.root / "input.7z").string();
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return 0;
  const bool written = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  if (std::fclose(file) != 0 || !written) return 0;
  const auto listing = tessaro::sevenzip::listSevenZipDirectly(path);
  if (!listing) return 0;
  if (!tessaro::fuzz::isWellFormedUTF8(*listing)) abort();
  std::string_view rest(*listing);
  if (rest.starts_with("Solid=+\n")) rest.remove_prefix(8);
  size_t records = 0;
  while (!rest.empty()) {
    const size_t end = rest.find('\n');
    if (end == std::string_view::npos || !isRecord(rest.substr(0, end))) abort();
    rest.remove_prefix(end + 1);
    ++records;
  }
  // A record's name takes two bytes of the end header at the least, packed or not (a packed
  // header unpacks to at most 1024 times its size).
  if (records > bytes.size() * 1024) abort();
  return 0;
}
