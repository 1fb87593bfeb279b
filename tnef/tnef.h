// Decoding a TNEF stream (winmail.dat): every attachment and the message bodies become files.
#pragma once

#include <cstdio>
#include <string>

#include "util.h"

namespace tessaro::tnef {

// Option flags of parse_file.
inline constexpr int kSaveBody = 0x80;  // write the message bodies

// parse_file results.
inline constexpr int kDecoded = 0;
inline constexpr int kNotTnef = 1;  // wrong signature, or a level other than message or attachment
inline constexpr int kStopped = 2;  // a "decoding stops" condition; its message is printed

// Decodes `input` into `folder` (which must exist). Bodies are named `bodyName` + ".rtf" / ".html" /
// ".txt"; `bodyPreference` is "all" or the letters r, h, t in the order to try, of which only the
// first kind found is written. On failure the files written so far stay in `folder`.
int parse_file(FILE* input, const std::string& folder, const std::string& bodyName,
               const std::string& bodyPreference, int flags, const Context& ctx = {});

// True while `input` holds more attributes. 1 to 7 bytes left in a regular file are not a record:
// they are reported as garbage and end the input.
bool data_left(Input& input, const Context& ctx);

}  // namespace tessaro::tnef
