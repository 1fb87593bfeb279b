// A MAPI property stream (attMsgProps, attAttachment) read into a list of properties.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "util.h"

namespace tessaro::tnef {

struct MapiAttr {
  uint16_t type = 0;  // without the multi-valued flag
  uint16_t name = 0;
  bool multiValued = false;
  std::optional<std::array<uint8_t, 16>> guid;  // named properties only
  std::optional<uint32_t> namedNumber;          // the number a named property is known by
  std::vector<std::string> names;               // string names of a named property, as UTF-8
  // Each value's bytes; UTF-16 strings already converted to UTF-8 without a terminating zero.
  std::vector<Bytes> values;
};

// Reads every property of the stream in `data`. Invalid and undefined types, and a property cut
// short by the end of the data, stop the decoding.
std::vector<MapiAttr> mapi_attr_read(const Bytes& data, const Context& ctx);

}  // namespace tessaro::tnef
