// HTML escaping per UTF-16 code unit with a sorted table of named entities.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tessaro {

struct HTMLEscapeMap {
  const char* escapeSequence;
  char16_t uchar;
};

// The 252 named character entities of HTML 4.01 plus "&apos;", sorted by code unit.
extern const HTMLEscapeMap gAsciiHTMLEscapeMap[];
extern const size_t gAsciiHTMLEscapeMapSize;

// -1, 0 or 1 comparing the key's code unit with the entry's.
int EscapeMapCompare(const void* ucharVoid, const void* mapVoid);

// `text` (UTF-8) escaped with `table`; with escapingUnicode every character of 128 or more that
// has no entity becomes "&#N;" (one reference for a character beyond U+FFFF). Invalid UTF-8 bytes
// are read as U+FFFD.
std::string gtm_stringByEscapingHTMLUsingTable(std::string_view text, const HTMLEscapeMap* table, size_t size,
                                               bool escapingUnicode);
std::string gtm_stringByEscapingForAsciiHTML(std::string_view text);

}  // namespace tessaro
