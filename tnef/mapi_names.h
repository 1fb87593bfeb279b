// The MAPI property names the decoder acts on.
#pragma once

#include <cstdint>

namespace tessaro::tnef {

inline constexpr uint16_t kPrRtfCompressed = 0x1009;
inline constexpr uint16_t kPrBodyHtml = 0x1013;
inline constexpr uint16_t kPrAttachDataObj = 0x3701;
inline constexpr uint16_t kPrAttachLongFilename = 0x3707;
inline constexpr uint16_t kPrAttachMimeTag = 0x370E;
inline constexpr uint16_t kPrAttachContentId = 0x3712;

// Names from here up are named properties: a GUID and a name or number precede the values.
inline constexpr uint16_t kFirstNamedProperty = 0x8000;

}  // namespace tessaro::tnef
