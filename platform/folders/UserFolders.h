// The user's folders: temporary folder, trash, and the XDG user folders.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tessaro {

enum class SpecialFolder {
  home,
  desktop,
  documents,
  downloads,
  music,
  pictures,
  videos,
  applications,
  caches
};

// $TMPDIR when it names a folder, else /tmp.
std::filesystem::path temporaryDirectory();
// The XDG trash's files folder ($XDG_DATA_HOME/Trash/files).
std::filesystem::path trashDirectory();
std::optional<std::filesystem::path> specialFolder(SpecialFolder kind);
// "~" and "~/..." expanded with the user's home folder; other texts unchanged.
std::string expandTilde(std::string_view path);

}  // namespace tessaro
