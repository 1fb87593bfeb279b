// Reading a whole archive to prove it sound: every header and every byte of every entry's data,
// through libarchive, so that a cut or corrupt stream (a gzip, bzip2 or xz check, a tar header, a
// truncated member) is seen. Used where the tool that wrote or unpacked an archive gave no
// trustworthy status: the tar family, lone compressed streams, cpio, xar and the like.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tessaro::host {

struct ArchiveCheck {
  bool ok = false;
  // The entry being read when the check failed (empty: before the first entry, or the stream itself).
  std::string entry;
  // What went wrong, in libarchive's words; empty when ok.
  std::string problem;
  // Entries read, and the bytes of data they gave.
  int64_t entries = 0;
  int64_t bytes = 0;
};

// Reads the archive at `path` to its end. A file that is one compressed stream and no archive
// (notes.txt.gz) counts as one entry of that stream's data. `password` opens enciphered zip entries.
ArchiveCheck checkWholeArchive(const std::string& path,
                               const std::optional<std::string>& password = std::nullopt);

}  // namespace tessaro::host
