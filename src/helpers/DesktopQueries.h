// The desktop's applications for file types, and opening a file with one.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tessaro {

// The desktop's default application for files with this extension (its executable), or none.
std::optional<std::string> fullPathOfAppForType(std::string_view extension);
// Opens the file with HLVViewingApplication, or with the desktop's default application.
bool openFileWithFinder(std::string_view path);
std::optional<std::string> displayNameForAppHandlingType(std::string_view contentType);

}  // namespace tessaro
