// Changing a tar archive (plain, gzip, bzip2 or xz) without unpacking it: the entries read from
// the old archive are copied, header and data, into a new one of the same format and
// compression, leaving out, renaming or adding entries on the way. Hard links, symbolic links,
// devices, owners, modes, times, long names and names no extraction would accept survive as
// they are. The new archive is written beside the old one and renamed over it only when every
// step succeeded, the whole old archive read included.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ArchiveHandler.h"
#include "ArchiveSession.h"

namespace tessaro::host {

// True for the tar handlers (plain, gzip, bzip2, xz).
bool isTarFamily(const ArchiveHandler& handler);

// What one edit does to the entries. Names are entry paths as the listing gives them (no
// leading "/" or "./", no trailing "/"); a name stands for the entry and everything below it.
struct TarChange {
  std::vector<std::string> removed;
  std::optional<std::pair<std::string, std::string>> renamed;  // old name, new name
  // Files and folders on disk (absolute paths), written after the kept entries under `into`
  // ("" for the top) with their own metadata; entries of the same names are dropped.
  std::vector<std::string> added;
  std::string into;

  static TarChange removing(std::vector<std::string> names);
  static TarChange renaming(std::string from, std::string to);
  static TarChange adding(std::vector<std::string> files, std::string into);
};

// Applies `change` to the archive at session.archive(): 0, or 4 (after a message) when anything
// failed, the archive then left as it was.
int32_t rewriteTar(ArchiveSession& session, const TarChange& change);

}  // namespace tessaro::host
