// RFC 4648 Base64 without line breaks.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tessaro {

// Decoding ignores white space and fails on other foreign characters.
std::string encodeBase64(std::string_view bytes);
std::optional<std::string> decodeBase64(std::string_view text);

}  // namespace tessaro
