// Compressed RTF bodies (PR_RTF_COMPRESSED): "LZFu" compressed or "MELA" stored.
#pragma once

#include <cstdint>
#include <vector>

#include "util.h"

namespace tessaro::tnef {

// The body of each value; a value with an unknown magic or an inconsistent header gives none.
std::vector<Bytes> get_rtf_data(const std::vector<Bytes>& values, const Context& ctx);
// The CRC-32 of compressed RTF: reflected polynomial 0xEDB88320, initial 0, no final inversion.
uint32_t rtf_crc(const uint8_t* data, size_t size);

}  // namespace tessaro::tnef
