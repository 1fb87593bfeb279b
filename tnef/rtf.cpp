#include "rtf.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string_view>

#include "alloc.h"

namespace tessaro::tnef {

namespace {

constexpr uint32_t kMagicCompressed = 0x75465A4C;    // "LZFu"
constexpr uint32_t kMagicUncompressed = 0x414C454D;  // "MELA"
constexpr size_t kHeaderSize = 16;
// The compressed size counts everything after its own field: raw size, magic, CRC, payload.
constexpr uint32_t kSizeFieldBytes = 4;

constexpr size_t kDictionarySize = 4096;
constexpr std::string_view kInitialDictionary =
    "{\\rtf1\\ansi\\mac\\deff0\\deftab720{\\fonttbl;}{\\f0\\fnil \\froman \\fswiss \\fmodern \\fscript "
    "\\fdecor MS Sans SerifSymbolArialTimes New RomanCourier{\\colortbl\\red0\\green0\\blue0\r\n"
    "\\par \\pard\\plain\\f0\\fs20\\b\\i\\u\\tab\\tx";
static_assert(kInitialDictionary.size() == 207);

constexpr std::array<uint32_t, 256> makeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}
constexpr std::array<uint32_t, 256> kCrcTable = makeCrcTable();

void overrun(const Context& ctx) { report(ctx, "RTF buffer overrun, input file may be corrupted\n"); }

// Decodes `payload` into `out` (its size is the raw size, zero-filled beforehand).
void decompress(const uint8_t* payload, size_t size, Bytes& out, const Context& ctx) {
  std::array<uint8_t, kDictionarySize> dictionary{};
  std::memcpy(dictionary.data(), kInitialDictionary.data(), kInitialDictionary.size());
  size_t writePos = kInitialDictionary.size();
  size_t in = 0;
  size_t outPos = 0;
  for (;;) {
    if (in >= size) return overrun(ctx);
    const uint8_t control = payload[in++];
    for (int bit = 0; bit < 8; ++bit) {
      if ((control & (1 << bit)) == 0) {
        if (in >= size || outPos >= out.size()) return overrun(ctx);
        const uint8_t byte = payload[in++];
        out[outPos++] = byte;
        dictionary[writePos] = byte;
        writePos = (writePos + 1) % kDictionarySize;
        continue;
      }
      if (in + 2 > size) return overrun(ctx);
      const uint16_t reference = static_cast<uint16_t>(payload[in] << 8 | payload[in + 1]);
      in += 2;
      size_t offset = reference >> 4;
      const size_t length = (reference & 0xF) + 2;
      if (offset == writePos) return;
      for (size_t i = 0; i < length; ++i) {
        if (outPos >= out.size()) return overrun(ctx);
        const uint8_t byte = dictionary[offset];
        out[outPos++] = byte;
        dictionary[writePos] = byte;
        offset = (offset + 1) % kDictionarySize;
        writePos = (writePos + 1) % kDictionarySize;
      }
    }
  }
}

std::optional<Bytes> decodeValue(const Bytes& value, const Context& ctx) {
  if (value.size() < kHeaderSize) return std::nullopt;
  const uint32_t compressedSize = get32(value.data());
  const uint32_t rawSize = get32(value.data() + 4);
  const uint32_t magic = get32(value.data() + 8);
  const uint32_t crc = get32(value.data() + 12);
  if (magic != kMagicCompressed && magic != kMagicUncompressed) return std::nullopt;
  // A header that disagrees with the value's length describes some other data: no body.
  if (static_cast<uint64_t>(compressedSize) + kSizeFieldBytes != value.size()) return std::nullopt;
  const uint8_t* payload = value.data() + kHeaderSize;
  const size_t payloadSize = value.size() - kHeaderSize;

  if (magic == kMagicUncompressed) {
    const size_t size = std::min<size_t>(rawSize, payloadSize);
    Bytes body = checked_xmalloc(size, ctx);
    if (size) std::memcpy(body.data(), payload, size);
    return body;
  }
  if (rtf_crc(payload, payloadSize) != crc) {
    report(ctx, "Invalid RTF CRC, input file may be corrupted\n");
    return Bytes{};
  }
  // The declared raw size alone bounds the output (the allocation is held to the decoder's size
  // limit); a payload that would write past it is an overrun.
  Bytes body = checked_xcalloc(rawSize, 1, ctx);
  decompress(payload, payloadSize, body, ctx);
  return body;
}

}  // namespace

uint32_t rtf_crc(const uint8_t* data, size_t size) {
  uint32_t crc = 0;
  for (size_t i = 0; i < size; ++i) crc = kCrcTable[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return crc;
}

std::vector<Bytes> get_rtf_data(const std::vector<Bytes>& values, const Context& ctx) {
  std::vector<Bytes> bodies;
  for (const Bytes& value : values) {
    std::optional<Bytes> body = decodeValue(value, ctx);
    if (body) bodies.push_back(std::move(*body));
  }
  return bodies;
}

}  // namespace tessaro::tnef
