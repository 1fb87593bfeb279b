// The block headers of a single-volume RAR 5 archive, read in-process for listings: large
// buffered reads instead of the library's small read and seek per entry. The reader hands over
// each file header with the values the UnRAR library's list mode would report for it, and gives
// up, so that the caller lists through the library instead, on whatever it does not place
// exactly: other format versions, encrypted headers, volumes, a CRC mismatch, damage, or a
// field that the library would rewrite in a way not followed here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace tessaro {

// One file header as the library's list mode reports it.
struct RarEntry {
  // UTF-8, at most 1023 bytes, no NUL; a trailing "/" is kept.
  std::string_view name;
  uint32_t attributes = 0;
  // 2 for Windows hosts, 3 for Unix ones.
  uint32_t hostOS = 0;
  uint64_t unpackedSize = 0;
  uint64_t packedSize = 0;
  bool encrypted = false;
  // The last CRC32 any file header gave (the first four bytes of a BLAKE2 digest stand in for
  // it): a header without either, such as a folder's, leaves the previous value in place, as the
  // library does.
  uint32_t crc = 0;
  // The modification time in MS-DOS form, in local time.
  uint32_t dosTime = 0;
  // The redirection record's type (0 for none) and target, UTF-8 of at most 1023 bytes.
  uint32_t redirectionType = 0;
  std::string_view redirectionTarget;
};

enum class RarHeadersResult {
  // Every header up to the end-of-archive block was read.
  kComplete,
  // The entry callback asked to stop.
  kStopped,
  // Something the reader does not place: nothing it gave should be used.
  kUnplaced,
};

// Reads up to `length` bytes at `offset` into `into`; fewer only at the end of the file.
using RarReadAt = std::function<size_t(uint64_t offset, uint8_t* into, size_t length)>;

struct RarHeaderFacts {
  // A "CMT" service header was passed: the archive has a comment.
  bool hasComment = false;
};

// Walks the headers from the start of the archive, calling `entry` for each file header in
// order; `entry` returns false to stop.
RarHeadersResult readRarHeaders(const RarReadAt& readAt, const std::function<bool(const RarEntry&)>& entry,
                                RarHeaderFacts& facts);

// The listing record of an entry: "path=…\tattr=…\tvers=x\tunco=…\tcomp=…\ttype=0|*\tmeth=x\t
// crc_=%X\ttime=%4d-%2d-%2d %2d:%2d:%2d" (trailing "/" dropped from the path).
std::string rarListingRecord(std::string_view name, uint32_t attributes, uint32_t hostOS,
                             int64_t unpackedSize, int64_t packedSize, bool encrypted, uint32_t crc,
                             uint32_t dosTime);

}  // namespace tessaro
