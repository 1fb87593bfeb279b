// What every part of the 7-Zip helper writes and exits with.
#pragma once

#include <string_view>

#include "io/FileIO.h"

namespace tessaro::sevenzip {

// Our exit status for a failure of the helper's own, the one 7zz gives for a fatal error.
inline constexpr int kFatalError = 2;
// Shells report a child ended by a signal as 128 plus the signal's number.
inline constexpr int kSignalExitBase = 128;

// Writes all of `data`, again after interruptions; false when the descriptor fails.
inline bool writeAll(int fd, std::string_view data) { return tessaro::writeAll(fd, data) == 0; }

}  // namespace tessaro::sevenzip
