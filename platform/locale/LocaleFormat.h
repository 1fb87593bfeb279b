// Dates and byte counts in the user's locale (ICU, default locale of the process).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace tessaro {

// Short date style and short time style in the local time zone ("12/6/26, 1:19 AM" in en_US).
std::string formatShortDateTime(std::chrono::sys_seconds time);

// A byte count in the manner of the platform's byte-count formatter: "Zero KB", "12 bytes",
// "1.2 MB"; units of 1024 when base1024 is set, of 1000 otherwise.
std::string formatByteCount(int64_t bytes, bool base1024);

}  // namespace tessaro
