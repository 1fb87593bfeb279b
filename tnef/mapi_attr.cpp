#include "mapi_attr.h"

#include <cstring>

#include "alloc.h"
#include "mapi_names.h"
#include "mapi_types.h"

namespace tessaro::tnef {

namespace {

[[noreturn]] void truncated(const Context& ctx) {
  stop(ctx, "MAPI property stream ends inside a property, input file may be corrupted\n");
}

Bytes copyOf(const uint8_t* data, size_t size, const Context& ctx) {
  Bytes bytes = checked_xmalloc(size, ctx);
  if (size) std::memcpy(bytes.data(), data, size);
  return bytes;
}

void readName(Cursor& cursor, MapiAttr& attr, const Context& ctx) {
  const uint8_t* guid = nullptr;
  uint32_t kind = 0;
  if (!cursor.take(16, guid) || !cursor.read32(kind)) truncated(ctx);
  attr.guid.emplace();
  std::memcpy(attr.guid->data(), guid, 16);
  if (kind == 0) {
    // Kept apart from the property's own id: cut to 16 bits, a number such as 0x00013707 would
    // pass for a standard property (0x3707, the attachment's file name) and override it.
    uint32_t number = 0;
    if (!cursor.read32(number)) truncated(ctx);
    attr.namedNumber = number;
    return;
  }
  // Every name takes at least its 4-byte length, so a huge count runs out of data, not memory.
  for (uint32_t i = 0; i < kind; ++i) {
    uint32_t length = 0;
    const uint8_t* text = nullptr;
    if (!cursor.read32(length) || !cursor.take(length, text, 4)) truncated(ctx);
    attr.names.push_back(unicode_to_utf8(text, length));
  }
}

// A count read from the stream is trusted only as far as the data could hold that many values.
uint32_t readCount(Cursor& cursor, size_t minimumValueSize, const Context& ctx) {
  uint32_t count = 0;
  if (!cursor.read32(count) || count > cursor.left() / minimumValueSize) truncated(ctx);
  return count;
}

void readValues(Cursor& cursor, MapiAttr& attr, const Context& ctx) {
  switch (mapiTypeClass(attr.type)) {
    case MapiTypeClass::Invalid: stop(ctx, "Invalid attribute, input file may be corrupted\n");
    case MapiTypeClass::Undefined: stop(ctx, "Undefined attribute, input file may be corrupted\n");
    case MapiTypeClass::Fixed: {
      const size_t size = mapiValueSize(attr.type);
      // Multi-valued forms carry a count, whatever the type: the published layout, applied also
      // to types that normally come single.
      const uint32_t count = attr.multiValued ? readCount(cursor, size, ctx) : 1;
      for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* value = nullptr;
        if (!cursor.take(size, value, 4)) truncated(ctx);
        attr.values.push_back(copyOf(value, size, ctx));
      }
      return;
    }
    case MapiTypeClass::Counted: {
      const uint32_t count = readCount(cursor, 4, ctx);
      for (uint32_t i = 0; i < count; ++i) {
        uint32_t length = 0;
        const uint8_t* value = nullptr;
        if (!cursor.read32(length) || !cursor.take(length, value, 4)) truncated(ctx);
        if (attr.type == static_cast<uint16_t>(MapiType::UnicodeString)) {
          const std::string text = unicode_to_utf8(value, length);
          attr.values.push_back(copyOf(reinterpret_cast<const uint8_t*>(text.data()), text.size(), ctx));
        } else {
          attr.values.push_back(copyOf(value, length, ctx));
        }
      }
      return;
    }
  }
}

}  // namespace

std::vector<MapiAttr> mapi_attr_read(const Bytes& data, const Context& ctx) {
  Cursor cursor(data.data(), data.size());
  uint32_t count = 0;
  if (!cursor.read32(count)) truncated(ctx);
  std::vector<MapiAttr> attrs;
  // No reservation from the count: each property costs at least 4 bytes of data, and the list
  // grows only with properties that were actually read.
  for (uint32_t i = 0; i < count; ++i) {
    MapiAttr attr;
    uint16_t type = 0;
    if (!cursor.read16(type) || !cursor.read16(attr.name)) truncated(ctx);
    attr.multiValued = (type & kMapiMultiValued) != 0;
    attr.type = static_cast<uint16_t>(type & ~kMapiMultiValued);
    if (attr.name >= kFirstNamedProperty) readName(cursor, attr, ctx);
    readValues(cursor, attr, ctx);
    attrs.push_back(std::move(attr));
  }
  return attrs;
}

}  // namespace tessaro::tnef
