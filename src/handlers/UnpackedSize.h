// How many bytes a lone compressed stream unpacks to, read from the stream's own records without
// unpacking it: gzip's ISIZE trailer and xz's index. Both come from the file and may lie: the
// preview shows them as the entry's size, and an extraction only decides by them whether to start.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tessaro {

// A gzip file's unpacked size by its trailer; none when the trailer cannot be that of the file's
// only member (a file of several members, or one that is not gzip).
std::optional<int64_t> gzipUnpackedSize(const std::string& path);
// An xz file's unpacked size by the indexes of its streams; none when they cannot be read.
std::optional<int64_t> xzUnpackedSize(const std::string& path);

}  // namespace tessaro
