// File names for what the decoder writes: made safe, then joined to the output folder.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tessaro::tnef {

// Written when an attachment has no usable name.
inline constexpr std::string_view kDefaultName = "tnef-tmp";

// Control characters, the characters \ / : * ? " < > | and "%" itself become "%XX"; a name of
// only "." or ".." has its dots escaped too, and a missing or empty name becomes "tnef-tmp".
// The result is one path component that the file system accepts (at most 255 bytes).
std::string munge_fname(const std::optional<std::string>& name);
// Folder and name joined with one "/", trailing slashes removed; "tnef-tmp" when nothing remains.
std::string concat_fname(std::string_view folder, std::string_view name);

}  // namespace tessaro::tnef
