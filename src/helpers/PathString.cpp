#include "PathString.h"

#include <array>

namespace tessaro {

namespace {

// The path without trailing "/"s; a path made only of "/"s keeps its first one (the root).
std::string_view withoutTrailingSlashes(std::string_view path) {
  const size_t last = path.find_last_not_of('/');
  if (last == std::string_view::npos) return path.substr(0, 1);
  return path.substr(0, last + 1);
}

// Position of the "." that starts the last component's extension, or npos.
size_t extensionDot(std::string_view path) {
  const std::string_view trimmed = withoutTrailingSlashes(path);
  const size_t slash = trimmed.rfind('/');
  const size_t nameStart = slash == std::string_view::npos ? 0 : slash + 1;
  const size_t dot = trimmed.rfind('.');
  // A "." that begins the name marks a hidden file, not an extension; ".." is the parent.
  if (dot == std::string_view::npos || dot <= nameStart) return std::string_view::npos;
  if (trimmed.substr(nameStart) == "..") return std::string_view::npos;
  return dot;
}

// Characters left as they are in a URL path: RFC 3986 unreserved characters, the sub-delimiters,
// ":" and "@" (allowed in path segments) and "/". The quote and "&" are escaped too because the
// escaped texts go into single-quoted HTML attributes, and ";" because the entry links use it to
// separate the archive from the entry.
constexpr std::array<bool, 256> kUrlPathCharacters = [] {
  std::array<bool, 256> allowed{};
  for (int c = 'A'; c <= 'Z'; ++c) allowed[c] = true;
  for (int c = 'a'; c <= 'z'; ++c) allowed[c] = true;
  for (int c = '0'; c <= '9'; ++c) allowed[c] = true;
  for (unsigned char c : std::string_view("-._~/!$()*+,=:@")) allowed[c] = true;
  return allowed;
}();

}  // namespace

std::string_view lastPathComponent(std::string_view path) {
  const std::string_view trimmed = withoutTrailingSlashes(path);
  if (trimmed == "/") return trimmed;
  const size_t slash = trimmed.rfind('/');
  return slash == std::string_view::npos ? trimmed : trimmed.substr(slash + 1);
}

std::string_view deletingLastPathComponent(std::string_view path) {
  const std::string_view trimmed = withoutTrailingSlashes(path);
  if (trimmed == "/") return trimmed;
  const size_t slash = trimmed.rfind('/');
  if (slash == std::string_view::npos) return trimmed.substr(0, 0);
  return withoutTrailingSlashes(trimmed.substr(0, slash + 1));
}

std::string_view pathExtension(std::string_view path) {
  const size_t dot = extensionDot(path);
  if (dot == std::string_view::npos) return path.substr(0, 0);
  return withoutTrailingSlashes(path).substr(dot + 1);
}

std::string_view deletingPathExtension(std::string_view path) {
  const std::string_view trimmed = withoutTrailingSlashes(path);
  const size_t dot = extensionDot(path);
  return dot == std::string_view::npos ? trimmed : trimmed.substr(0, dot);
}

std::string appendingPathComponent(std::string_view path, std::string_view component) {
  const size_t componentStart = component.find_first_not_of('/');
  const std::string_view tail = componentStart == std::string_view::npos
                                    ? std::string_view()
                                    : withoutTrailingSlashes(component.substr(componentStart));
  if (path.empty()) return std::string(component);
  const std::string_view head = withoutTrailingSlashes(path);
  if (tail.empty()) return std::string(head);
  std::string joined;
  joined.reserve(head.size() + 1 + tail.size());
  joined += head;
  if (head != "/") joined += '/';
  joined += tail;
  return joined;
}

std::string appendingPathExtension(std::string_view path, std::string_view extension) {
  const std::string_view head = withoutTrailingSlashes(path);
  // Neither nothing nor the root has a name to carry an extension.
  if (head.empty() || head == "/") return std::string(path);
  std::string joined;
  joined.reserve(head.size() + 1 + extension.size());
  joined += head;
  joined += '.';
  joined += extension;
  return joined;
}

std::string asciiLowercase(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

// An empty suffix never matches, as with the platform's strings.
bool hasSuffix(std::string_view text, std::string_view suffix) {
  return !suffix.empty() && text.ends_with(suffix);
}

std::string percentEscaped(std::string_view text) {
  static constexpr char kHexDigits[] = "0123456789ABCDEF";
  std::string escaped;
  escaped.reserve(text.size() + text.size() / 2);
  size_t runStart = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (kUrlPathCharacters[byte]) continue;
    escaped.append(text, runStart, i - runStart);
    const char code[3] = {'%', kHexDigits[byte >> 4], kHexDigits[byte & 0x0F]};
    escaped.append(code, 3);
    runStart = i + 1;
  }
  escaped.append(text, runStart, text.size() - runStart);
  return escaped;
}

bool hasParentComponent(std::string_view path) {
  while (!path.empty()) {
    const size_t slash = path.find('/');
    if (path.substr(0, slash) == "..") return true;
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return false;
}

std::optional<std::string> percentDecoded(std::string_view text) {
  const auto hexValue = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    const int high = hexValue(text[i + 1]);
    const int low = hexValue(text[i + 2]);
    if (high < 0 || low < 0 || (high == 0 && low == 0)) return std::nullopt;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return out;
}

}  // namespace tessaro
