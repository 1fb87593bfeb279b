// Changing a tar archive. A tar (compressed or not) is written in one pass from its files, so
// adding, deleting and renaming unpack it into the session's temporary folder, change the files
// there, and write the archive again from that folder; the handler replaces the archive only
// when the writing succeeded.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ArchiveHandler.h"
#include "ArchiveSession.h"

namespace tessaro::host {

// True for the tar handlers (plain, gzip, bzip2, xz).
bool isTarFamily(const ArchiveHandler& handler);
// Unpacks, lets `change` work on the unpacked folder (false: give up with status 4) and writes
// the archive again with the handler's own settings; the handler's status.
int32_t rewriteTar(ArchiveSession& session, const std::function<bool(const std::string& contents)>& change);

// Copies `files` (absolute paths) into `folder` inside the unpacked tree, replacing entries of
// the same name.
bool copyInto(const std::vector<std::string>& files, const std::string& contents, const std::string& folder);
// Removes the entries `names` from the unpacked tree.
bool removeEntries(const std::vector<std::string>& names, const std::string& contents);
// Moves entry `from` to `to` inside the unpacked tree; false when `to` exists.
bool moveEntry(const std::string& from, const std::string& to, const std::string& contents);

}  // namespace tessaro::host
