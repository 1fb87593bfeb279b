// Bytes from tools and archives read as text: UTF-8 checked, else ISO Latin 1.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tessaro {

// Text encodings reported by decodeString, with the platform's numbers.
inline constexpr uint64_t kASCIIStringEncoding = 1;
inline constexpr uint64_t kUTF8StringEncoding = 4;
inline constexpr uint64_t kISOLatin1StringEncoding = 5;

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUTF8(std::string_view bytes);
// Each byte as the ISO Latin 1 character it stands for, written in UTF-8.
std::string utf8FromLatin1(std::string_view bytes);
// The bytes read as UTF-8, else ISO Latin 1, else ASCII; `encoding` (when given) receives the
// encoding of the last attempt.
std::optional<std::string> decodeString(std::string_view bytes, uint64_t* encoding);

}  // namespace tessaro
