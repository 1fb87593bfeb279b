// Sizes, dates and permission bits as the listings and the host show them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Date.h"

namespace tessaro {

// "%.1f GB" … "%.0f B" from a single-precision reading of the size; units of 1024 when the
// preference HLVSizeBase1024 is set.
std::string formatSize(int64_t size);
// The platform's byte-count form, with the exact count appended ("1.2 MB (1,234,567 bytes)").
std::string formatSizeWithBytes(int64_t size, bool appendBytes);
// Short date and short time in the user's locale; "" for no date.
std::string formatDate(std::optional<Date> date);
// "rwxr-xr-x" for 0755; bits above the nine permission bits are ignored.
std::string posixPermissionsString(uint32_t bits);
// Permission bits of a ten-character mode text ("drwxr-xr-x" gives 0755); see the triple rules.
int32_t parsePosixPermissionsString(std::string_view text);

}  // namespace tessaro
