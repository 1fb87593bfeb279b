// The TNEF decoder's compressed-RTF reader. The input's first byte picks the compressed or the
// stored form and its next four give the declared raw size; the rest is the payload, wrapped in a
// header whose size and CRC fields agree with it so that the decompressor itself is reached.
// Values as they come are decoded too.
#include <cstdint>
#include <cstdio>
#include <vector>

#include "rtf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using tessaro::tnef::Bytes;
  if (size < 5) return 0;
  const uint8_t* payload = data + 5;
  const size_t payloadSize = size - 5;
  const uint32_t compressedSize = static_cast<uint32_t>(payloadSize + 12);
  const uint32_t magic = (data[0] & 1) ? 0x414C454D : 0x75465A4C;  // "MELA" stored, "LZFu" compressed
  const uint32_t crc = tessaro::tnef::rtf_crc(payload, payloadSize);
  Bytes value;
  for (const uint32_t field :
       {compressedSize,
        static_cast<uint32_t>(data[1] | data[2] << 8 | data[3] << 16 | static_cast<uint32_t>(data[4]) << 24),
        magic, crc})
    for (int shift = 0; shift < 32; shift += 8) value.push_back(static_cast<uint8_t>(field >> shift));
  value.insert(value.end(), payload, payload + payloadSize);

  FILE* sink = std::fopen("/dev/null", "w");
  tessaro::tnef::Context ctx;
  ctx.out = sink;
  ctx.err = sink;
  ctx.maxAllocation = 64u << 20;
  try {
    (void)tessaro::tnef::get_rtf_data({value, Bytes(data, data + size)}, ctx);
  } catch (const tessaro::tnef::DecodeStopped&) {
    // A refused allocation stops the decoding as a damaged file does.
  }
  if (sink) std::fclose(sink);
  return 0;
}
