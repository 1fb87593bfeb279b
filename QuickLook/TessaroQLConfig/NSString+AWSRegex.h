// POSIX extended regular-expression test on UTF-8 text.
#pragma once

#include <string_view>

namespace tessaro {

// True when `pattern` compiles and matches anywhere in `text`; case-sensitive, newline not special.
bool matches(std::string_view text, std::string_view pattern);

}  // namespace tessaro
