// The number a text begins with, read the way the platform's text-to-integer conversion reads it.
#pragma once

#include <cstdint>
#include <limits>
#include <string_view>

namespace tessaro {

// Leading white space, an optional sign, then decimal digits: "002" gives 2, "7z" gives 7, "zip"
// gives 0. Values beyond 32 bits give the nearest 32-bit limit.
inline int32_t intValue(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r' ||
                             text[i] == '\v' || text[i] == '\f'))
    ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > std::numeric_limits<int32_t>::max()) {
      return negative ? std::numeric_limits<int32_t>::min() : std::numeric_limits<int32_t>::max();
    }
  }
  return static_cast<int32_t>(negative ? -value : value);
}

}  // namespace tessaro
