#include "date.h"

namespace tessaro::tnef {

std::optional<Date> date_read(const Bytes& data) {
  if (data.size() < 14) return std::nullopt;
  const uint8_t* p = data.data();
  return Date{get16(p), get16(p + 2), get16(p + 4), get16(p + 6), get16(p + 8), get16(p + 10), get16(p + 12)};
}

}  // namespace tessaro::tnef
