// The zip central-directory reader of the 7z helper on arbitrary files. When it answers at all,
// its answer must be UTF-8 text in the shape of the records 7zz's listing would give: after the
// comment block, one line per entry with its fields in order, never more entries than the file
// has room for central headers.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "ZipDirectory.h"

namespace {

// Every record line names these fields in this order (a CRC and a comment may come between).
constexpr std::string_view kFields[] = {
    "path=", "\tmeth=", "\ttime=", "\tunco=", "\tcomp=", "\tattr=", "\ttype=", "\tos__=", "\tvers="};

bool isRecord(std::string_view line) {
  size_t at = 0;
  for (std::string_view field : kFields) {
    const size_t found = line.find(field, at);
    if (found == std::string_view::npos || (at == 0 && found != 0)) return false;
    at = found + field.size();
  }
  // A path is never empty.
  return line.size() > 5 && line[5] != '\t';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static tessaro::fuzz::Scratch scratch;
  if (scratch.root.empty()) return 0;
  const std::string path = (scratch.root / "input.zip").string();
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return 0;
  const bool written = (size == 0 || std::fwrite(data, 1, size, file) == size);
  if (std::fclose(file) != 0 || !written) return 0;
  const auto listing = tessaro::sevenzip::listZipDirectly(path);
  if (!listing) return 0;
  if (!tessaro::fuzz::isWellFormedUTF8(*listing)) abort();
  std::string_view rest(*listing);
  // The comment block ends with an empty line and the separator.
  if (rest.starts_with("comt=")) {
    const size_t end = rest.find("\n\n----------\n");
    if (end == std::string_view::npos) abort();
    rest.remove_prefix(end + 13);
  }
  size_t records = 0;
  while (!rest.empty()) {
    const size_t end = rest.find('\n');
    if (end == std::string_view::npos || !isRecord(rest.substr(0, end))) abort();
    rest.remove_prefix(end + 1);
    ++records;
  }
  // 46 bytes of central header per entry, 22 of end record.
  if (records * 46 + 22 > size) abort();
  return 0;
}
