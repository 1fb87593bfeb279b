// A file's bytes as they unpack, handed on in pieces: gzip through ISA-L's inflate, xz through
// liblzma's multi-threaded decoder, bzip2 through libbz2 a block per thread, or the file as it
// is. Several gzip members, xz streams or bzip2 streams one after the other read as one.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tessaro {

enum class StreamCompression { none, gzip, bzip2, xz };

// The compression whose signature `head` begins with; none when it is none of the three.
std::optional<StreamCompression> compressionOfSignature(std::string_view head);

// Where the unpacked bytes go.
class UnpackedSink {
 public:
  virtual ~UnpackedSink() = default;
  // The next piece; false when nothing more is wanted.
  virtual bool take(std::string_view piece) = 0;
  // Bytes the sink would pass over next unread; an uncompressed file seeks past them instead
  // and reports how many it skipped.
  virtual uint64_t skippable() const { return 0; }
  virtual void skipped(uint64_t /*count*/) {}
};

enum class UnpackResult {
  done,         // the whole file was read
  stopped,      // the sink wanted no more, or the operation was cancelled
  cannotOpen,   // no regular file to read
  notInFormat,  // it does not begin as the compression says
  damaged,      // the compressed data is wrong
  endsEarly,    // the file ends inside the compressed data
};

// `bzip2Threads`: the threads that unpack bzip2 blocks, 0 for as many as the machine runs at
// once; with 1 a bzip2 file is unpacked sequentially.
UnpackResult readUnpacked(const std::string& path, StreamCompression compression, UnpackedSink& sink,
                          const std::atomic<bool>* cancelled = nullptr, unsigned bzip2Threads = 0);

}  // namespace tessaro
