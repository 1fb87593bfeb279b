#include "UnpackedStream.h"

#include <bzlib.h>
#include <fcntl.h>
#include <isa-l/igzip_lib.h>
#include <lzma.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <thread>

#include "ParallelBzip2.h"

namespace tessaro {

namespace {

// Large reads and large pieces: a listing reads the archive once, front to back.
constexpr size_t kInputSize = size_t{1} << 20;
constexpr size_t kOutputSize = size_t{1} << 20;
// xz: threads for files written in several blocks, and the memory the decoder may take before
// it gives up (past it a stream is no archive worth listing).
constexpr uint32_t kMaxXzThreads = 8;
constexpr uint64_t kXzMemoryThreading = uint64_t{512} << 20;
constexpr uint64_t kXzMemoryStop = uint64_t{2} << 30;

constexpr unsigned char kGzipMagic[] = {0x1f, 0x8b};
constexpr unsigned char kBzip2Magic[] = {'B', 'Z', 'h'};
constexpr unsigned char kXzMagic[] = {0xfd, '7', 'z', 'X', 'Z', 0x00};

template <size_t N>
bool beginsWith(std::string_view head, const unsigned char (&magic)[N]) {
  return head.size() >= N && std::memcmp(head.data(), magic, N) == 0;
}

// A buffer whose bytes are not zeroed first: each is written before it is read, and zeroing two
// mebibytes was most of the page faults of a small archive's preview.
template <typename Byte>
class RawBuffer {
 public:
  explicit RawBuffer(size_t size) : bytes_(std::make_unique_for_overwrite<Byte[]>(size)), size_(size) {}
  Byte* data() const { return bytes_.get(); }
  size_t size() const { return size_; }

 private:
  std::unique_ptr<Byte[]> bytes_;
  size_t size_;
};

// The open file, read in large pieces.
class Input {
 public:
  // Opening never waits for a FIFO's writer; only a regular file stays open.
  explicit Input(const std::string& path)
      : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY)) {
    struct stat st;
    if (fd_ >= 0 && (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode))) {
      ::close(fd_);
      fd_ = -1;
    }
    if (fd_ >= 0) size_ = static_cast<uint64_t>(st.st_size);
  }
  ~Input() {
    if (fd_ >= 0) ::close(fd_);
  }
  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;

  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  // Reads on from `offset`; false when the file cannot be positioned there.
  bool restartAt(uint64_t offset) {
    if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) return false;
    position_ = offset;
    left_ = 0;
    return true;
  }
  // The next piece into the buffer; false on a read error. An empty piece is the end.
  bool read() {
    for (;;) {
      const ssize_t count = ::read(fd_, buffer_.data(), buffer_.size());
      if (count >= 0) {
        data_ = buffer_.data();
        left_ = static_cast<size_t>(count);
        position_ += static_cast<uint64_t>(count);
        return true;
      }
      if (errno != EINTR) return false;
    }
  }
  // Passes over up to `count` bytes after what was read; answers how many.
  uint64_t seekForward(uint64_t count) {
    const uint64_t step = std::min(count, size_ > position_ ? size_ - position_ : 0);
    if (step == 0 || ::lseek(fd_, static_cast<off_t>(position_ + step), SEEK_SET) < 0) return 0;
    position_ += step;
    return step;
  }

  unsigned char* data_ = nullptr;
  size_t left_ = 0;

 private:
  int fd_;
  uint64_t size_ = 0;
  uint64_t position_ = 0;
  RawBuffer<unsigned char> buffer_{kInputSize};
};

bool isCancelled(const std::atomic<bool>* cancelled) {
  return cancelled && cancelled->load(std::memory_order_relaxed);
}

UnpackResult readPlain(Input& in, UnpackedSink& sink, const std::atomic<bool>* cancelled) {
  for (;;) {
    if (isCancelled(cancelled)) return UnpackResult::stopped;
    if (!in.read()) return UnpackResult::damaged;
    if (in.left_ == 0) return UnpackResult::done;
    if (!sink.take(std::string_view(reinterpret_cast<const char*>(in.data_), in.left_)))
      return UnpackResult::stopped;
    // Entry data past this piece is never read at all.
    if (const uint64_t skip = sink.skippable(); skip > 0) sink.skipped(in.seekForward(skip));
  }
}

// Starts the next gzip member where the last one ended.
void nextGzipMember(inflate_state& state, unsigned char* next, uint32_t left) {
  isal_inflate_reset(&state);
  state.crc_flag = ISAL_GZIP;
  state.next_in = next;
  state.avail_in = left;
}

UnpackResult readGzip(Input& in, UnpackedSink& sink, const std::atomic<bool>* cancelled) {
  // isal_inflate_init sets every field inflating reads.
  auto state = std::make_unique_for_overwrite<inflate_state>();
  isal_inflate_init(state.get());
  state->crc_flag = ISAL_GZIP;
  RawBuffer<unsigned char> out(kOutputSize);
  bool memberEnded = false;
  // A piece ended after the first byte of a next member's signature.
  bool signatureSplit = false;
  unsigned char held = kGzipMagic[0];

  // Inflates what the piece holds; none when the next piece is wanted.
  const auto inflatePiece = [&]() -> std::optional<UnpackResult> {
    for (;;) {
      if (memberEnded) {
        // Another member follows, or what follows is padding that gzip too passes over.
        if (state->avail_in == 0) return std::nullopt;
        if (state->next_in[0] != kGzipMagic[0]) return UnpackResult::done;
        if (state->avail_in == 1) {
          signatureSplit = true;
          return std::nullopt;
        }
        if (state->next_in[1] != kGzipMagic[1]) return UnpackResult::done;
        nextGzipMember(*state, state->next_in, state->avail_in);
        memberEnded = false;
      }
      state->next_out = out.data();
      state->avail_out = static_cast<uint32_t>(out.size());
      if (isal_inflate(state.get()) < 0) return UnpackResult::damaged;
      const size_t produced = out.size() - state->avail_out;
      if (produced > 0 && !sink.take(std::string_view(reinterpret_cast<const char*>(out.data()), produced)))
        return UnpackResult::stopped;
      if (state->block_state == ISAL_BLOCK_FINISH) {
        memberEnded = true;
        continue;
      }
      if (state->avail_in == 0 && state->avail_out > 0) return std::nullopt;
    }
  };

  for (bool first = true;; first = false) {
    if (isCancelled(cancelled)) return UnpackResult::stopped;
    if (!in.read()) return UnpackResult::damaged;
    if (in.left_ == 0) return memberEnded ? UnpackResult::done : UnpackResult::endsEarly;
    if (first && !beginsWith(std::string_view(reinterpret_cast<const char*>(in.data_), in.left_), kGzipMagic))
      return UnpackResult::notInFormat;
    if (signatureSplit) {
      signatureSplit = false;
      if (in.data_[0] != kGzipMagic[1]) return UnpackResult::done;
      // The held first byte goes in alone; ISA-L keeps a header that arrives in parts.
      nextGzipMember(*state, &held, 1);
      state->next_out = out.data();
      state->avail_out = static_cast<uint32_t>(out.size());
      if (isal_inflate(state.get()) < 0) return UnpackResult::damaged;
      memberEnded = false;
    }
    state->next_in = in.data_;
    state->avail_in = static_cast<uint32_t>(in.left_);
    if (const std::optional<UnpackResult> result = inflatePiece()) return *result;
  }
}

UnpackResult readXz(Input& in, UnpackedSink& sink, const std::atomic<bool>* cancelled) {
  lzma_stream stream = LZMA_STREAM_INIT;
  lzma_mt options{};
  options.flags = LZMA_CONCATENATED;
  options.threads = std::clamp<uint32_t>(lzma_cputhreads(), 1, kMaxXzThreads);
  options.memlimit_threading = kXzMemoryThreading;
  options.memlimit_stop = kXzMemoryStop;
  if (lzma_stream_decoder_mt(&stream, &options) != LZMA_OK) return UnpackResult::damaged;
  struct End {
    lzma_stream* s;
    ~End() { lzma_end(s); }
  } end{&stream};
  RawBuffer<unsigned char> out(kOutputSize);
  bool first = true;
  bool atEnd = false;
  for (;;) {
    if (isCancelled(cancelled)) return UnpackResult::stopped;
    if (stream.avail_in == 0 && !atEnd) {
      if (!in.read()) return UnpackResult::damaged;
      if (first && !beginsWith(std::string_view(reinterpret_cast<const char*>(in.data_), in.left_), kXzMagic))
        return UnpackResult::notInFormat;
      first = false;
      stream.next_in = in.data_;
      stream.avail_in = in.left_;
      atEnd = in.left_ == 0;
    }
    stream.next_out = out.data();
    stream.avail_out = out.size();
    const lzma_ret status = lzma_code(&stream, atEnd ? LZMA_FINISH : LZMA_RUN);
    const size_t produced = out.size() - stream.avail_out;
    if (produced > 0 && !sink.take(std::string_view(reinterpret_cast<const char*>(out.data()), produced)))
      return UnpackResult::stopped;
    if (status == LZMA_STREAM_END) return UnpackResult::done;
    if (status == LZMA_BUF_ERROR && atEnd) return UnpackResult::endsEarly;
    if (status != LZMA_OK)
      return status == LZMA_FORMAT_ERROR ? UnpackResult::notInFormat : UnpackResult::damaged;
  }
}

// `atFileStart`: whether the reading begins at the file's first byte, which must then be a
// signature; a later stream that is none is damage.
UnpackResult readBzip2(Input& in, UnpackedSink& sink, const std::atomic<bool>* cancelled,
                       bool atFileStart = true) {
  bz_stream stream{};
  if (BZ2_bzDecompressInit(&stream, 0, 0) != BZ_OK) return UnpackResult::damaged;
  struct End {
    bz_stream* s;
    ~End() { BZ2_bzDecompressEnd(s); }
  } end{&stream};
  RawBuffer<char> out(kOutputSize);
  bool first = atFileStart;
  bool streamEnded = false;
  for (;;) {
    if (isCancelled(cancelled)) return UnpackResult::stopped;
    if (stream.avail_in == 0) {
      if (!in.read()) return UnpackResult::damaged;
      if (in.left_ == 0) return streamEnded ? UnpackResult::done : UnpackResult::endsEarly;
      if (first &&
          !beginsWith(std::string_view(reinterpret_cast<const char*>(in.data_), in.left_), kBzip2Magic))
        return UnpackResult::notInFormat;
      first = false;
      stream.next_in = reinterpret_cast<char*>(in.data_);
      stream.avail_in = static_cast<unsigned int>(in.left_);
    }
    if (streamEnded) {
      // Another stream, or padding after the last one. A signature split across pieces is
      // read as the start of a stream; libbz2 finds out.
      if (stream.next_in[0] != 'B') return UnpackResult::done;
      BZ2_bzDecompressEnd(&stream);
      char* const next = stream.next_in;
      const unsigned int left = stream.avail_in;
      stream = bz_stream{};
      if (BZ2_bzDecompressInit(&stream, 0, 0) != BZ_OK) return UnpackResult::damaged;
      stream.next_in = next;
      stream.avail_in = left;
      streamEnded = false;
    }
    stream.next_out = out.data();
    stream.avail_out = static_cast<unsigned int>(out.size());
    const int status = BZ2_bzDecompress(&stream);
    const size_t produced = out.size() - stream.avail_out;
    if (produced > 0 && !sink.take(std::string_view(out.data(), produced))) return UnpackResult::stopped;
    if (status == BZ_STREAM_END) {
      streamEnded = true;
      continue;
    }
    if (status == BZ_DATA_ERROR_MAGIC) return first ? UnpackResult::notInFormat : UnpackResult::damaged;
    if (status != BZ_OK) return UnpackResult::damaged;
  }
}

// Passes on what comes after the first `count` bytes.
class SkippingSink : public UnpackedSink {
 public:
  SkippingSink(UnpackedSink& sink, uint64_t count) : sink_(sink), count_(count) {}
  bool take(std::string_view piece) override {
    const uint64_t skip = std::min<uint64_t>(count_, piece.size());
    count_ -= skip;
    return skip == piece.size() || sink_.take(piece.substr(skip));
  }

 private:
  UnpackedSink& sink_;
  uint64_t count_;
};

// Blocks unpacked on several threads; what they cannot settle, the sequential reader takes over
// from the start of the stream it is in, past the bytes already delivered.
UnpackResult readBzip2Threaded(Input& in, UnpackedSink& sink, const std::atomic<bool>* cancelled,
                               unsigned threads) {
  if (threads == 0) threads = std::thread::hardware_concurrency();
  if (threads < 2) return readBzip2(in, sink, cancelled);
  return readBzip2InParallel(in.fd(), sink, cancelled, threads,
                             [&](uint64_t offset, uint64_t alreadyDelivered) {
                               if (!in.restartAt(offset)) return UnpackResult::damaged;
                               SkippingSink skipping(sink, alreadyDelivered);
                               return readBzip2(in, skipping, cancelled, offset == 0);
                             });
}

}  // namespace

std::optional<StreamCompression> compressionOfSignature(std::string_view head) {
  if (beginsWith(head, kGzipMagic)) return StreamCompression::gzip;
  if (beginsWith(head, kBzip2Magic)) return StreamCompression::bzip2;
  if (beginsWith(head, kXzMagic)) return StreamCompression::xz;
  return std::nullopt;
}

UnpackResult readUnpacked(const std::string& path, StreamCompression compression, UnpackedSink& sink,
                          const std::atomic<bool>* cancelled, unsigned bzip2Threads) {
  try {
    Input in(path);
    if (!in.ok()) return UnpackResult::cannotOpen;
    switch (compression) {
      case StreamCompression::none: return readPlain(in, sink, cancelled);
      case StreamCompression::gzip: return readGzip(in, sink, cancelled);
      case StreamCompression::xz: return readXz(in, sink, cancelled);
      case StreamCompression::bzip2: return readBzip2Threaded(in, sink, cancelled, bzip2Threads);
    }
    return UnpackResult::damaged;
  } catch (...) {
    return UnpackResult::damaged;
  }
}

}  // namespace tessaro
