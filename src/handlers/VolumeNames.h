// Names of the volumes of multi-volume archives: name.partN.rar / name.partN.rev, name.rar with
// name.r00, name.r01 … (or s-numbered), and name.001, name.002 …. Extensions are compared
// case-sensitively.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tessaro {

// Path of the first volume of the set that `path` belongs to; `path` itself when it names no volume.
std::string firstPart(std::string_view path);
// The path without its volume suffix, or none when it names no volume.
std::optional<std::string> basePath(std::string_view path);
// The volume number that the name carries (0 for name.rar and name.r00).
int64_t partNumber(std::string_view path);

}  // namespace tessaro
