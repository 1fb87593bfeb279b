// The end-of-central-directory record that closes every zip file: where the central directory
// lies, how many entries it holds, and the archive comment, as stored.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tessaro {

struct ZipEndRecord {
  uint64_t offset = 0;  // of the record in the file
  uint16_t disk = 0;
  uint16_t directoryDisk = 0;  // the disk the central directory starts on
  uint16_t diskEntries = 0;    // entries on this disk
  uint16_t entries = 0;
  uint32_t directorySize = 0;
  uint32_t directoryOffset = 0;  // 0xFFFFFFFF in a zip64 archive
  std::string comment;           // its exact bytes, which may be in any encoding
};

// The record of the open file `fd` of `size` bytes: the one nearest the end whose comment
// reaches exactly to the end of the file, as readers search for it. None for a file without one,
// or when it cannot be read.
std::optional<ZipEndRecord> findZipEndRecord(int fd, uint64_t size);
// The same within `tail`, the last bytes of a file (or of pieces laid end to end), which begin
// at `tailStart` of the whole.
std::optional<ZipEndRecord> findZipEndRecord(std::string_view tail, uint64_t tailStart);
// The same for the regular file at `path`.
std::optional<ZipEndRecord> readZipEndRecord(const std::string& path);

}  // namespace tessaro
