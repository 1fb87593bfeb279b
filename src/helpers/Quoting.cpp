#include "Quoting.h"

#include <algorithm>

#include "HelperSupport.h"

namespace tessaro {

using detail::guarded;
using detail::isWhiteSpace;

namespace {

std::string replacingChars(std::string_view text, std::string_view chars, std::string_view (*with)(char)) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (chars.find(c) != std::string_view::npos)
      out += with(c);
    else
      out += c;
  }
  return out;
}

}  // namespace

std::string sanitizeFilename(std::string_view text) {
  return guarded(std::string{},
                 [&] { return replacingChars(text, "&<>\":/", [](char) { return std::string_view("_"); }); });
}

std::string convertToXMLEntities(std::string_view text) {
  return guarded(std::string{}, [&] {
    return replacingChars(text, "&<>\"'", [](char c) -> std::string_view {
      switch (c) {
        case '&': return "&amp;";
        case '<': return "&lt;";
        case '>': return "&gt;";
        case '"': return "&quot;";
        default: return "&apos;";
      }
    });
  });
}

std::string quoteString(std::string_view text) {
  return guarded(std::string{}, [&] { return "\"" + std::string(text) + "\""; });
}

std::string escapeQuotes(std::string_view text) {
  return guarded(std::string{}, [&] {
    return replacingChars(text, "\\$\"", [](char c) -> std::string_view {
      switch (c) {
        case '\\': return "\\\\";
        case '$': return "\\$";
        default: return "\\\"";
      }
    });
  });
}

std::string endSlashesDoubledFromString(std::string_view text) {
  return guarded(std::string{}, [&] {
    size_t keep = text.find_last_not_of('\\');
    size_t run = keep == std::string_view::npos ? text.size() : text.size() - keep - 1;
    return std::string(text) + std::string(run, '\\');
  });
}

std::string quotedFromString(std::string_view text) {
  return guarded(std::string{}, [&] {
    std::string joined;
    size_t pos = 0;
    while (true) {
      size_t quote = text.find('"', pos);
      joined += endSlashesDoubledFromString(
          text.substr(pos, quote == std::string_view::npos ? quote : quote - pos));
      if (quote == std::string_view::npos) break;
      joined += "\\\"";
      pos = quote + 1;
    }
    if (std::any_of(text.begin(), text.end(), isWhiteSpace)) return "\"" + joined + "\"";
    return joined;
  });
}

std::string quotedForShell(std::string_view text) {
  return guarded(std::string{}, [&] {
    return "\"" +
           replacingChars(text, "\"\\$`",
                          [](char c) -> std::string_view {
                            switch (c) {
                              case '"': return "\\\"";
                              case '\\': return "\\\\";
                              case '$': return "\\$";
                              default: return "\\`";
                            }
                          }) +
           "\"";
  });
}

std::string arrayToString(const std::vector<std::string>& texts, std::string_view separator, bool quote) {
  return guarded(std::string{}, [&] {
    std::string joined;
    for (size_t i = 0; i < texts.size(); ++i) {
      if (i > 0) joined += separator;
      joined += quote ? quotedForShell(texts[i]) : texts[i];
    }
    return joined;
  });
}

}  // namespace tessaro
