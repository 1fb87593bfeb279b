// Arbitrary bytes as an unpacked tar archive, read by TarHeaderReader once whole and once in
// pieces of 1 to 256 bytes (the first byte): both readings must give the same records and
// problem, and every record must be one line with a path field.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "TarHeaderReader.h"

namespace {

struct Reading {
  std::vector<std::string> records;
  std::unordered_map<std::string, std::string> links;
  tessaro::ListingProblem problem;
};

Reading read(std::string_view bytes, size_t piece) {
  Reading reading;
  tessaro::TarHeaderReader reader(reading.records, &reading.links);
  for (size_t at = 0; at < bytes.size(); at += piece) {
    if (!reader.take(bytes.substr(at, piece))) break;
    // Now and then the caller passes over the data itself, as a plain file's reader does.
    if (const uint64_t skip = reader.skippable(); skip > 0 && piece % 3 == 0) {
      const uint64_t step = std::min<uint64_t>(skip, bytes.size() - std::min(bytes.size(), at + piece));
      reader.skipped(step);
      at += step;
    }
  }
  reading.problem = reader.finish();
  return reading;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t piece = size_t{data[0]} + 1;
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  const Reading whole = read(bytes, bytes.size() + 1);
  const Reading pieces = read(bytes, piece);
  if (whole.records != pieces.records || whole.links != pieces.links || whole.problem != pieces.problem)
    abort();
  for (const std::string& record : whole.records)
    if (record.find('\n') != std::string::npos || record.compare(0, 5, "path=") != 0) abort();
  return 0;
}
