// Arbitrary bytes as a bzip2 file: its signatures found whole, in pieces of 1 to 256 bytes (the
// first byte) and bit by bit must agree; every piece between two signatures must wrap to a
// stream of the expected length; and the file unpacked a block per thread must give the bytes
// and result the sequential reader gives.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "ParallelBzip2.h"
#include "UnpackedStream.h"

namespace {

using tessaro::Bzip2MarkScanner;

std::vector<Bzip2MarkScanner::Mark> bitByBit(std::string_view bytes) {
  std::vector<Bzip2MarkScanner::Mark> marks;
  uint64_t recent = 0;
  for (uint64_t bit = 0; bit < uint64_t{bytes.size()} * 8; ++bit) {
    recent = recent << 1 | ((static_cast<unsigned char>(bytes[bit / 8]) >> (7 - bit % 8)) & 1);
    if (bit < 47) continue;
    const uint64_t candidate = recent & ((uint64_t{1} << 48) - 1);
    if (candidate == 0x314159265359) marks.push_back({bit - 47, Bzip2MarkScanner::Kind::block});
    if (candidate == 0x177245385090) marks.push_back({bit - 47, Bzip2MarkScanner::Kind::streamEnd});
  }
  return marks;
}

struct Collected : tessaro::UnpackedSink {
  std::string bytes;
  bool take(std::string_view piece) override {
    bytes.append(piece);
    return true;
  }
};

const tessaro::fuzz::Scratch& scratch() {
  static const tessaro::fuzz::Scratch instance;
  return instance;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t piece = size_t{data[0]} + 1;
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);

  std::vector<Bzip2MarkScanner::Mark> whole;
  Bzip2MarkScanner().scan(bytes, whole);
  std::vector<Bzip2MarkScanner::Mark> pieces;
  Bzip2MarkScanner scanner;
  for (size_t at = 0; at < bytes.size(); at += piece) scanner.scan(bytes.substr(at, piece), pieces);
  if (whole != pieces || whole != bitByBit(bytes)) abort();

  for (size_t i = 0; i + 1 < whole.size(); ++i) {
    const uint64_t start = whole[i].bit;
    const uint64_t end = whole[i + 1].bit;
    const std::string wrapped = tessaro::wrapBzip2Block(bytes, start, end, '9');
    if (end - start < 80 ? !wrapped.empty() : wrapped.size() != 4 + (end - start + 80 + 7) / 8) abort();
    if (!wrapped.empty() && wrapped.compare(0, 4, "BZh9") != 0) abort();
  }

  const std::string path = (scratch().root / "input.bz2").string();
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return 0;
  const bool written = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  ::close(fd);
  if (!written) return 0;
  Collected sequential;
  Collected parallel;
  const auto sequentialResult =
      tessaro::readUnpacked(path, tessaro::StreamCompression::bzip2, sequential, nullptr, 1);
  const auto parallelResult =
      tessaro::readUnpacked(path, tessaro::StreamCompression::bzip2, parallel, nullptr, 2);
  if (sequentialResult != parallelResult || sequential.bytes != parallel.bytes) abort();
  return 0;
}
