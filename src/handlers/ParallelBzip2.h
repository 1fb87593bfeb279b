// bzip2 unpacked on several threads. The blocks of a bzip2 stream do not depend on one another:
// each is found by its signature, which may fall at any bit, copied out as a single-block stream
// of its own and unpacked by libbz2 on a worker, and the sink gets the blocks in order. What this
// reader cannot settle (damage, a cut file, a signature that turns out to be no block's) it hands
// to the sequential reader, which then gives the same bytes and result it gives on its own.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "UnpackedStream.h"

namespace tessaro {

// Finds the 48-bit signatures that open a block (0x314159265359, pi) and end a stream
// (0x177245385090, sqrt pi) at any bit of the bytes it is given piece by piece. Signatures
// inside compressed data are found too; telling them apart is the reader's job.
class Bzip2MarkScanner {
 public:
  enum class Kind : uint8_t { block, streamEnd };
  struct Mark {
    uint64_t bit;  // the signature's first bit, counted from the first bit scanned (MSB first)
    Kind kind;
    bool operator==(const Mark&) const = default;
  };
  // The next bytes; appends, in order, the signatures that end inside them.
  void scan(std::string_view bytes, std::vector<Mark>& marks);

 private:
  uint64_t recent_ = 0;   // the last 64 bits scanned
  uint64_t scanned_ = 0;  // bytes
};

// The bits [startBit, endBit) of `bytes`, a block from its signature on, as a stream of its own:
// "BZh" and the level digit, the block, the end-of-stream signature and the block's CRC as the
// stream's. Empty when the bits cannot hold a block's header or the level is no digit 1-9.
std::string wrapBzip2Block(std::string_view bytes, uint64_t startBit, uint64_t endBit, char level);

// Reads the file on from byte `offset` sequentially, keeping the first `alreadyDelivered`
// unpacked bytes from the sink.
using Bzip2Handoff = std::function<UnpackResult(uint64_t offset, uint64_t alreadyDelivered)>;

// The bzip2 streams of the open file `fd`, from its start, unpacked by `threads` workers.
UnpackResult readBzip2InParallel(int fd, UnpackedSink& sink, const std::atomic<bool>* cancelled,
                                 unsigned threads, const Bzip2Handoff& handoff);

}  // namespace tessaro
