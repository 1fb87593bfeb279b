// Arbitrary bytes as a RAR archive, read by readRarHeaders from memory, the header CRCs made to
// fit first when bit 0 of the first byte asks (else nearly every input stops at the first CRC):
// the reader must never read out of bounds or abort, and every entry it gives must keep the
// bounds it promises, whether or not it places the archive in the end.
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "RarHeaders.h"

namespace {

// A vint at `at`, moving past it; 0 when it runs off the end.
uint64_t vint(const std::vector<uint8_t>& bytes, size_t& at) {
  uint64_t value = 0;
  for (unsigned shift = 0; shift < 64 && at < bytes.size(); shift += 7) {
    const uint8_t byte = bytes[at++];
    value |= uint64_t{byte & 0x7Fu} << shift;
    if ((byte & 0x80) == 0) return value;
  }
  return 0;
}

// Rewrites each header's CRC32 along the chain the reader follows.
void fitCrcs(std::vector<uint8_t>& bytes) {
  size_t position = 8;
  while (position + 7 <= bytes.size()) {
    size_t at = position + 4;
    const uint64_t blockSize = vint(bytes, at);
    if (blockSize == 0 || blockSize > bytes.size() - at) return;
    const size_t end = at + static_cast<size_t>(blockSize);
    const auto crc =
        static_cast<uint32_t>(::crc32(0, bytes.data() + position + 4, static_cast<uInt>(end - position - 4)));
    for (int i = 0; i < 4; ++i) bytes[position + i] = static_cast<uint8_t>(crc >> (8 * i));
    vint(bytes, at);  // type
    const uint64_t flags = vint(bytes, at);
    if (flags & 0x01) vint(bytes, at);
    const uint64_t dataSize = (flags & 0x02) ? vint(bytes, at) : 0;
    if (dataSize > bytes.size() - end) return;
    position = end + static_cast<size_t>(dataSize);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::vector<uint8_t> bytes(data + 1, data + size);
  if (data[0] & 1) fitCrcs(bytes);
  const tessaro::RarReadAt readAt = [&bytes](uint64_t offset, uint8_t* into, size_t length) -> size_t {
    if (offset >= bytes.size()) return 0;
    const size_t count = static_cast<size_t>(std::min<uint64_t>(length, bytes.size() - offset));
    std::memcpy(into, bytes.data() + offset, count);
    return count;
  };
  tessaro::RarHeaderFacts facts;
  size_t entries = 0;
  const auto entry = [&entries](const tessaro::RarEntry& e) {
    if (e.name.size() > 1023 || e.name.find('\0') != std::string_view::npos) abort();
    if (e.redirectionTarget.size() > 1023) abort();
    if (e.hostOS != 2 && e.hostOS != 3) abort();
    const std::string record =
        tessaro::rarListingRecord(e.name, e.attributes, e.hostOS, static_cast<int64_t>(e.unpackedSize),
                                  static_cast<int64_t>(e.packedSize), e.encrypted, e.crc, e.dosTime);
    if (record.compare(0, 5, "path=") != 0) abort();
    return ++entries < 10000;
  };
  tessaro::readRarHeaders(readAt, entry, facts);
  return 0;
}
