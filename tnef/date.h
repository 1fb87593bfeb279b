// The date of an attAttachModifyDate attribute.
#pragma once

#include <cstdint>
#include <optional>

#include "util.h"

namespace tessaro::tnef {

struct Date {
  uint16_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, dayOfWeek = 0;
};

// Seven 16-bit fields; none when the data is shorter than 14 bytes.
std::optional<Date> date_read(const Bytes& data);

}  // namespace tessaro::tnef
