#include "DataURIStyle.h"

#include <cstdio>

#include "helpers.h"
#include "icons/Icons.h"

namespace tessaro {

namespace {

bool isAsciiDigit(char c) { return c >= '0' && c <= '9'; }

void appendCodePointEscape(std::string& out, unsigned char c) {
  char buffer[8];
  std::snprintf(buffer, sizeof buffer, "\\%x ", c);
  out += buffer;
}

}  // namespace

std::string cssEscapedIdentifier(std::string_view text) {
  try {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
      const auto c = static_cast<unsigned char>(text[i]);
      if (c == 0) {
        out += "\xEF\xBF\xBD";  // U+FFFD, as the serialisation prescribes for NUL
      } else if (c < 0x20 || c == 0x7f || (isAsciiDigit(text[i]) && (i == 0 || (i == 1 && text[0] == '-')))) {
        appendCodePointEscape(out, c);
      } else if (c >= 0x80 || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || isAsciiDigit(text[i]) ||
                 c == '_' || (c == '-' && text.size() > 1)) {
        out += text[i];
      } else {
        out += '\\';
        out += text[i];
      }
    }
    return out;
  } catch (...) {
    return {};
  }
}

std::string makeDataURIStyleForImage(const Image& image, std::string_view id, int size) {
  try {
    const auto png = image.copyWithSize(size, size).pngData();
    if (!png) return {};
    std::string rule = "img#";
    rule += cssEscapedIdentifier(id);
    rule += " {content:url('data:image/png;base64,";
    rule += encodeBase64(*png);
    rule += "');}\n";
    return rule;
  } catch (...) {
    return {};
  }
}

}  // namespace tessaro
