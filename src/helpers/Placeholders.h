// Placeholders in page templates replaced by values and translations.
#pragma once

#include <string>
#include <string_view>

namespace tessaro {

class Bundle;

// Replaces every occurrence of `placeholder` in `text`, searching the text as it stood before.
void replaceAll(std::string& text, std::string_view placeholder, std::string_view value);
// Replaces every "%key%" in `text` by the bundle's translation of `key`.
void replaceWithLocalizedString(const Bundle& bundle, std::string& text, std::string_view key);

}  // namespace tessaro
