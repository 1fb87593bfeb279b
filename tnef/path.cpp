#include "path.h"

#include <cstdio>

namespace tessaro::tnef {

namespace {

// The longest file name Linux file systems accept.
constexpr size_t kMaxNameBytes = 255;
// An extension longer than this is treated as part of the name when a long name is shortened.
constexpr size_t kMaxKeptExtension = 32;

bool needsEscape(unsigned char c) {
  if (c < 0x20 || c == 0x7F) return true;
  switch (c) {
    case '\\':
    case '/':
    case ':':
    case '*':
    case '?':
    case '"':
    case '<':
    case '>':
    case '|':
    case '%': return true;
    default: return false;
  }
}

void appendEscaped(std::string& out, unsigned char c) {
  char hex[4];
  std::snprintf(hex, sizeof hex, "%%%02X", c);
  out.append(hex, 3);
}

// The largest cut at or below `limit` that splits neither a "%XX" escape nor a UTF-8 sequence.
size_t safeCut(const std::string& text, size_t limit) {
  size_t cut = limit;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  if (cut >= 1 && text[cut - 1] == '%')
    cut -= 1;
  else if (cut >= 2 && text[cut - 2] == '%')
    cut -= 2;
  return cut;
}

// Keeps the extension of an over-long name so the kind of the file is still recognised.
std::string shorten(const std::string& name) {
  const size_t dot = name.rfind('.');
  std::string extension;
  if (dot != std::string::npos && dot > 0 && name.size() - dot <= kMaxKeptExtension)
    extension = name.substr(dot);
  const std::string head = name.substr(0, name.size() - extension.size());
  return head.substr(0, safeCut(head, kMaxNameBytes - extension.size())) + extension;
}

}  // namespace

std::string munge_fname(const std::optional<std::string>& name) {
  if (!name) return std::string(kDefaultName);
  std::string out;
  out.reserve(name->size());
  for (const char ch : *name) {
    const auto c = static_cast<unsigned char>(ch);
    if (needsEscape(c))
      appendEscaped(out, c);
    else
      out.push_back(ch);
  }
  // "." and ".." would name the folder itself or its parent.
  if (out == "." || out == "..") {
    std::string dots;
    for (size_t i = 0; i < out.size(); ++i) appendEscaped(dots, '.');
    out = dots;
  }
  if (out.empty()) return std::string(kDefaultName);
  if (out.size() > kMaxNameBytes) out = shorten(out);
  return out;
}

std::string concat_fname(std::string_view folder, std::string_view name) {
  std::string path(folder);
  if (!path.empty() && !name.empty() && path.back() != '/' && name.front() != '/') path.push_back('/');
  path.append(name);
  while (!path.empty() && path.back() == '/') path.pop_back();
  if (path.empty()) return std::string(kDefaultName);
  return path;
}

}  // namespace tessaro::tnef
