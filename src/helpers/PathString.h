// Path texts in the manner of the platform's string path operations: "/"-separated, a trailing
// "/" ignored, "/" alone being the root.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tessaro {

// "a/b/c.txt" gives "c.txt"; "a/b/" gives "b"; "/" gives "/"; "" gives "".
std::string_view lastPathComponent(std::string_view path);
// "a/b/c" gives "a/b"; "/usr" gives "/"; "a" gives ""; "a/b/" gives "a".
std::string_view deletingLastPathComponent(std::string_view path);
// The text after the last "." of the last component; "" when there is none or the only "."
// starts the name (".profile").
std::string_view pathExtension(std::string_view path);
// The path without "." and its extension.
std::string_view deletingPathExtension(std::string_view path);
// Joins with exactly one "/" between the parts.
std::string appendingPathComponent(std::string_view path, std::string_view component);
// Appends "." and the extension.
std::string appendingPathExtension(std::string_view path, std::string_view extension);

// True when a "/"-separated component of `path` is "..": the name leads out of the folder it is
// taken in.
bool hasParentComponent(std::string_view path);

// ASCII lower case; other bytes unchanged.
std::string asciiLowercase(std::string_view text);
bool hasSuffix(std::string_view text, std::string_view suffix);

// Percent-escapes a text for use inside a URL (UTF-8 bytes outside the characters allowed in a
// URL path are written as %XX).
std::string percentEscaped(std::string_view text);
// Percent escapes decoded; none when one is malformed or decodes to a zero byte.
std::optional<std::string> percentDecoded(std::string_view text);

}  // namespace tessaro
