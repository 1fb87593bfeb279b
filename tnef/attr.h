// One attribute record of a TNEF stream: level, id (name and type), data, checksum.
#pragma once

#include <cstdint>

#include "util.h"

namespace tessaro::tnef {

enum class Level : uint8_t { Message = 1, Attachment = 2 };

// Attribute names (the low 16 bits of the id).
inline constexpr uint16_t kAttBody = 0x800C;
inline constexpr uint16_t kAttAttachData = 0x800F;
inline constexpr uint16_t kAttAttachTitle = 0x8010;
inline constexpr uint16_t kAttAttachModifyDate = 0x8013;
inline constexpr uint16_t kAttAttachRendData = 0x9002;
inline constexpr uint16_t kAttMsgProps = 0x9003;
inline constexpr uint16_t kAttAttachment = 0x9005;

// Attribute types (the high 16 bits of the id) the decoder checks.
inline constexpr uint16_t kAtpDate = 0x0003;

struct Attr {
  uint8_t level = 0;
  uint16_t name = 0;
  uint16_t type = 0;
  Bytes data;
};

// Reads the record after its level byte (already read). A checksum mismatch or a record cut
// short stops the decoding.
void attr_read(Input& input, uint8_t level, Attr& attr, const Context& ctx);

}  // namespace tessaro::tnef
