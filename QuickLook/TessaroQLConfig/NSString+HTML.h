// The escaping used for every name put into the preview page: the result is pure ASCII.
#pragma once

#include <string>
#include <string_view>

namespace tessaro {

std::string stringByEncodingHTMLEntities(std::string_view text);

}  // namespace tessaro
