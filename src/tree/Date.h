// Dates of entries and files: whole seconds since the Unix epoch, UTC.
#pragma once

#include <chrono>
#include <optional>

namespace tessaro {

using Date = std::chrono::sys_seconds;

inline Date dateNow() { return std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now()); }

}  // namespace tessaro
