#include "mapi_types.h"

namespace tessaro::tnef {

MapiTypeClass mapiTypeClass(uint16_t type) {
  switch (static_cast<MapiType>(type)) {
    case MapiType::Short:
    case MapiType::Int:
    case MapiType::Float:
    case MapiType::Boolean:
    case MapiType::Double:
    case MapiType::Currency:
    case MapiType::AppTime:
    case MapiType::Int8Byte:
    case MapiType::SysTime:
    case MapiType::ClassId: return MapiTypeClass::Fixed;
    case MapiType::Object:
    case MapiType::String:
    case MapiType::UnicodeString:
    case MapiType::Binary: return MapiTypeClass::Counted;
    case MapiType::Unspecified:
    case MapiType::Null:
    case MapiType::Error: return MapiTypeClass::Invalid;
  }
  return MapiTypeClass::Undefined;
}

size_t mapiValueSize(uint16_t type) {
  switch (static_cast<MapiType>(type)) {
    case MapiType::Short: return 2;
    case MapiType::Int:
    case MapiType::Float:
    case MapiType::Boolean: return 4;
    case MapiType::Double:
    case MapiType::Currency:
    case MapiType::AppTime:
    case MapiType::Int8Byte:
    case MapiType::SysTime: return 8;
    case MapiType::ClassId: return 16;
    case MapiType::Object:
    case MapiType::String:
    case MapiType::UnicodeString:
    case MapiType::Binary:
    case MapiType::Unspecified:
    case MapiType::Null:
    case MapiType::Error: return 0;
  }
  return 0;
}

}  // namespace tessaro::tnef
