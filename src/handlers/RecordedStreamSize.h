// The unpacked size that a compressed stream records about itself (zstd, lzip, lz4, lzma), read
// from its headers and trailers alone: nothing is decompressed, so a huge or hostile stream costs
// a few small reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace tessaro {

enum class StreamFormat { kZstd, kLzip, kLz4, kLzma };

// The unpacked size of the whole file at `path` in `format`, or none when the stream does not
// record it (a frame without content size, an lzma header saying -1), when the file is not a
// well-formed stream of that format as far as the walk looks, or when it cannot be read.
// Concatenated zstd frames, lz4 frames and lzip members are added up.
std::optional<uint64_t> recordedStreamSize(const std::string& path, StreamFormat format);

// Whether the first bytes (`size` of them, at least 13 are looked at) are the header of an
// lzma_alone stream as xz and lzma write it: the usual properties byte 5D, a dictionary size that
// is 2^n or 2^n + 2^(n-1), and an unpacked size that is unknown (all FF) or below 256 GiB (the
// bounds xz itself uses to recognise such a file).
bool isLzmaAloneHeader(const unsigned char* bytes, size_t size);

}  // namespace tessaro
