// MAPI property types as they appear in a property stream.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessaro::tnef {

enum class MapiType : uint16_t {
  Unspecified = 0x0000,
  Null = 0x0001,
  Short = 0x0002,
  Int = 0x0003,
  Float = 0x0004,
  Double = 0x0005,
  Currency = 0x0006,
  AppTime = 0x0007,
  Error = 0x000A,
  Boolean = 0x000B,
  Object = 0x000D,
  Int8Byte = 0x0014,
  String = 0x001E,
  UnicodeString = 0x001F,
  SysTime = 0x0040,
  ClassId = 0x0048,
  Binary = 0x0102,
};

// Set in a stream's type field for a property with several values.
inline constexpr uint16_t kMapiMultiValued = 0x1000;

enum class MapiTypeClass {
  Fixed,     // values of a fixed size (mapiValueSize), one unless multi-valued
  Counted,   // always a count, then length-prefixed values padded to 4
  Invalid,   // may not appear in a stream
  Undefined  // not a type of the format
};

MapiTypeClass mapiTypeClass(uint16_t type);
// Bytes of one value of a Fixed type before padding (0 for the other classes).
size_t mapiValueSize(uint16_t type);

}  // namespace tessaro::tnef
