#include "Placeholders.h"

#include "Diagnostics.h"
#include "bundle/Bundle.h"

namespace tessaro {

void replaceAll(std::string& text, std::string_view placeholder, std::string_view value) {
  if (placeholder.empty()) return;
  size_t pos = text.find(placeholder);
  if (pos == std::string::npos) return;
  // One pass into a new text: a page of a million characters with many occurrences is not
  // shifted once per occurrence.
  std::string result;
  result.reserve(text.size() + value.size());
  size_t start = 0;
  while (pos != std::string::npos) {
    result.append(text, start, pos - start);
    result.append(value);
    start = pos + placeholder.size();
    pos = text.find(placeholder, start);
  }
  result.append(text, start);
  text.swap(result);
}

void replaceWithLocalizedString(const Bundle& bundle, std::string& text, std::string_view key) {
  // An empty key would make "%%" the placeholder, which templates use as a literal.
  if (key.empty()) return;
  try {
    std::string placeholder = "%" + std::string(key) + "%";
    if (text.find(placeholder) == std::string::npos) return;
    replaceAll(text, placeholder, bundle.localizedString(key));
  } catch (...) {
    // Swallowed: the placeholder stays in the page, which is still shown.
    HLVLog(kLogError, "Localising a placeholder failed");
  }
}

}  // namespace tessaro
