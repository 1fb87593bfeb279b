// Icons drawn at a size, kept across processes in $XDG_CACHE_HOME/tessaro/icons. Decoding a
// theme's PNG (or rendering its SVG) and scaling it costs more than listing a small archive, and
// every preview asks for the same few icons. An entry holds the pixels with the icon file's path,
// size and modification time; it is used only while the file is still that file, and only when
// it is this user's private file with exactly the bytes the header promises.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tessaro {

// Largest side kept: larger drawings are rare and cost more to read back than to save.
constexpr int kMaxCachedIconSide = 512;

// The straight RGBA rows (4 × side bytes each) stored for the icon file `source` drawn at
// side × side, when the entry matches the file as it is now.
std::optional<std::string> cachedIconPixels(const std::string& source, int side);

// Keeps the pixels of `source` drawn at side × side for later processes. Failures are silent:
// the next preview draws the icon again.
void storeIconPixels(const std::string& source, int side, std::string_view rgba);

}  // namespace tessaro
