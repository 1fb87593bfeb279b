// Handing an entry extracted from an archive to the desktop's opener without running anything of
// the archive: exec bits go, programs and launchers are shown in their folder instead of opened,
// and links are followed only while they stay inside the extraction folder.
#pragma once

#include <optional>
#include <string>

namespace tessaro::host {

// Why the regular file at `path` would run something when opened (a "#!" line, an ELF or PE
// header, a launcher's name such as .desktop), or none for a document.
std::optional<std::string> launcherReason(const std::string& path);

// Takes the exec, setuid, setgid and sticky bits off every file below `folder` (links not followed).
// False when one could not be changed.
bool removeExecBits(const std::string& folder);

// Hands `path` to the desktop's opener: TESSARO_OPEN when set, else xdg-open, else gio open.
// Returns the program's exit status, with a message when nothing opened it.
int openWithDesktop(const std::string& path);

// Opens `entry` (a path below `folder`, named `shownName` in messages) with the desktop's opener:
// TESSARO_OPEN when set, else xdg-open, else gio open. A program or launcher has its folder opened
// instead, with a message saying why; a link leading out of `folder` opens nothing. Returns the
// program's exit status.
int openExtracted(const std::string& folder, const std::string& entry, const std::string& shownName);

}  // namespace tessaro::host
