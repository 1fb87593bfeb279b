// Names and files that an operation creates beside existing ones without touching them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tessaro {

// A path in `folder` that does not exist yet: "a.txt", "a 1.txt", "a 2.txt" …; none for an empty
// folder or name.
std::optional<std::string> findFreeName(std::string_view folder, std::string_view name);
// Writes `text` to `path` through a second name in the same folder and a rename, so the file is
// whole or absent; false when it could not (an existing second name counts as failure).
bool writeFileAtomically(const std::string& path, std::string_view text);
// A new, empty file beside `target` for a changed archive to be written into and renamed over
// it, with the mode of the archive it replaces (else the one the umask gives a new file); none
// when it cannot be made.
std::optional<std::string> createFileBeside(const std::string& target);
// The file an update replaces: the target of a symbolic link, which stays a link.
std::string resolvedArchivePath(const std::string& path);

}  // namespace tessaro
