// Why a listing stopped early or failed, as far as the handler could tell from its tool; the
// preview header says it in words.
#pragma once

#include <cstdint>

namespace tessaro {

enum class ListingProblem : uint8_t {
  none,
  endsEarly,       // the file ends before the archive does: cut short or still being written
  notReadable,     // nothing in the file reads as an archive of its kind
  damagedHeaders,  // the archive's own headers are damaged
  toolErrors,      // the tool failed without saying how
};

}  // namespace tessaro
