// The host application's own texts (format names, menu titles, alerts, status words) in the
// user's language, from the host's Contents/Resources/<lang>.lproj/Localizable.strings. The key is
// the English text, and also the fallback when a translation is missing.
#pragma once

#include <string>
#include <string_view>

namespace tessaro {

class Bundle;

// The host's resources, opened once per helper folder.
const Bundle& hostBundle();
std::string hostText(std::string_view key);
// The text for `key` with its one placeholder ("%@" or "%d") replaced by `value`, once: the
// value is never searched again.
std::string hostText(std::string_view key, std::string_view value);

}  // namespace tessaro
