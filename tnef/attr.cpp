#include "attr.h"

namespace tessaro::tnef {

void attr_read(Input& input, uint8_t level, Attr& attr, const Context& ctx) {
  attr.level = level;
  const uint32_t id = input.read32OrStop(ctx);
  attr.name = static_cast<uint16_t>(id & 0xFFFF);
  attr.type = static_cast<uint16_t>(id >> 16);
  const uint32_t length = input.read32OrStop(ctx);
  input.readOrStop(attr.data, length, ctx);
  const uint16_t checksum = input.read16OrStop(ctx);
  uint32_t sum = 0;
  for (const uint8_t byte : attr.data) sum += byte;
  if (static_cast<uint16_t>(sum) != checksum)
    stop(ctx, "ERROR: invalid checksum, input file may be corrupted\n");
}

}  // namespace tessaro::tnef
