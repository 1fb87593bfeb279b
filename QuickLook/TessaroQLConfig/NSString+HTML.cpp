#include "GTMNSString+HTML.h"
#include "NSString+HTML.h"

namespace tessaro {

std::string stringByEncodingHTMLEntities(std::string_view text) {
  return gtm_stringByEscapingForAsciiHTML(text);
}

}  // namespace tessaro
