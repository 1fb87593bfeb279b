// Icons drawn at a size and their PNG encodings, kept across processes in
// $XDG_CACHE_HOME/tessaro/icons. Decoding a theme's PNG (or rendering its SVG), scaling it and
// encoding it again costs more than listing a small archive, and every preview asks for the same
// few icons. An entry is used only when it is this user's private file with exactly the bytes its
// header promises: drawn pixels only while the icon file keeps the size and modification time
// they were drawn from, a PNG only for the very pixels it was made of.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaro {

// Largest side kept: larger drawings are rare and cost more to read back than to save.
constexpr int kMaxCachedIconSide = 512;

// The straight RGBA rows (4 × side bytes each) stored for the icon file `source` drawn at
// side × side, when the entry matches the file as it is now.
std::optional<std::string> cachedIconPixels(const std::string& source, int side);

// Keeps the pixels of `source` drawn at side × side for later processes. Failures are silent:
// the next preview draws the icon again.
void storeIconPixels(const std::string& source, int side, std::string_view rgba);

// The PNG stored for exactly these straight RGBA pixels of width × height.
std::optional<std::string> cachedPNG(int width, int height, std::string_view rgba);

// Keeps the PNG made of these pixels for later processes; failures are silent.
void storePNG(int width, int height, std::string_view rgba, std::string_view png);

// What was worked out from the files `sources` (a theme's index, say) under `key`, while every
// source has the size and modification time it had when it was stored, and a source missing
// then is missing still. A source may be a folder: its modification time changes whenever a name
// in it is added, removed or renamed.
std::optional<std::string> cachedDerivedText(std::string_view key, const std::vector<std::string>& sources);

// Keeps `text` worked out from `sources` for later processes, unless a source changed in the last
// few seconds; failures are silent.
void storeDerivedText(std::string_view key, const std::vector<std::string>& sources, std::string_view text);

}  // namespace tessaro
