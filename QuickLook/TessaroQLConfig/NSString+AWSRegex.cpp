#include <regex.h>

#include <limits>
#include <string>

#include "NSString+AWSRegex.h"

namespace tessaro {

bool matches(std::string_view text, std::string_view pattern) {
  // regcomp reads up to the first NUL, so such a pattern could only be compiled cut short.
  if (pattern.find('\0') != std::string_view::npos) return false;
  try {
    const std::string patternText(pattern);
    const std::string subject(text);
    regex_t expression;
    if (regcomp(&expression, patternText.c_str(), REG_EXTENDED) != 0) return false;
    int result;
    if (subject.find('\0') == std::string::npos) {
      result = regexec(&expression, subject.c_str(), 0, nullptr, 0);
    } else if (subject.size() > static_cast<size_t>(std::numeric_limits<regoff_t>::max())) {
      result = REG_NOMATCH;
    } else {
      // The bounds make regexec read the whole text instead of stopping at its first NUL.
      regmatch_t bounds[1];
      bounds[0].rm_so = 0;
      bounds[0].rm_eo = static_cast<regoff_t>(subject.size());
      result = regexec(&expression, subject.c_str(), 1, bounds, REG_STARTEND);
    }
    regfree(&expression);
    return result == 0;
  } catch (...) {
    return false;
  }
}

}  // namespace tessaro
