// 7zz's technical listing as the 7z helper reads it: the input is fed once whole and once in
// pieces whose sizes the first byte sets. Both must give the same text, and that text must be
// UTF-8 lines in which every entry record keeps its path free of TAB and line feed.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "SltRecords.h"

namespace {

std::string convert(std::string_view input, size_t piece) {
  std::string out;
  tessaro::sevenzip::SltRecords records([&out](std::string_view text) { out.append(text); });
  for (size_t at = 0; at < input.size(); at += piece) records.feed(input.substr(at, piece));
  records.finish();
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::string whole = convert(input, input.size() + 1);
  const std::string pieces = convert(input, 1 + data[0] % 61);
  if (whole != pieces) abort();
  if (!tessaro::fuzz::isWellFormedUTF8(whole)) abort();
  return 0;
}
