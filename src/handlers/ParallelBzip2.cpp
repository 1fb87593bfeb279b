#include "ParallelBzip2.h"

#include <bzlib.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

namespace tessaro {

namespace {

constexpr uint64_t kBlockMagic = 0x314159265359;      // BCD of pi
constexpr uint64_t kStreamEndMagic = 0x177245385090;  // BCD of sqrt(pi)
constexpr uint64_t kMagicMask = (uint64_t{1} << 48) - 1;
constexpr unsigned kMagicBits = 48;
// A block's signature and CRC; the stream's signature and CRC.
constexpr uint64_t kBlockHeaderBits = kMagicBits + 32;
constexpr uint64_t kStreamEndBits = kMagicBits + 32;

constexpr size_t kReadSize = size_t{1} << 20;
// No block is longer: 900,000 symbols of at most 20 bits, with its tables. A piece longer than
// this is damage, whatever signatures it holds.
constexpr uint64_t kMaxPieceBits = uint64_t{900002} * 20 + 64 * 1024 * 8;
// How far past the block being delivered the file is read to find the pieces to hand out.
constexpr uint64_t kMaxLookahead = uint64_t{8} << 20;
// Bytes before the block being delivered are dropped from memory in steps of this.
constexpr uint64_t kDropStep = uint64_t{4} << 20;
// A piece that failed is tried again joined with this many pieces after it at most: a signature
// inside compressed data is rare enough that two in one block mean damage.
constexpr unsigned kMaxJoins = 4;
// Unpacked bytes a worker keeps for one block. Runs of a byte make a block of 900 kB unpack to
// up to 45 MB; such a block, once known to be whole, is unpacked again straight into the sink.
constexpr size_t kMaxHeldBlock = size_t{16} << 20;
constexpr size_t kOutputChunk = size_t{256} << 10;
constexpr size_t kPieceSize = size_t{1} << 20;
// Buffers the sink is done with, kept for the blocks to come: a block's bytes take a few MB.
constexpr size_t kSpareBuffers = 4;

// Whether a byte can be bits 16-23 of the last 64 scanned when a signature ends at bit 0-7: a
// cheap test that passes over almost every byte.
constexpr std::array<bool, 256> kMiddleBytes = [] {
  std::array<bool, 256> table{};
  for (unsigned shift = 0; shift < 8; ++shift) {
    table[(kBlockMagic >> (16 - shift)) & 0xff] = true;
    table[(kStreamEndMagic >> (16 - shift)) & 0xff] = true;
  }
  return table;
}();

uint32_t bitsAt(std::string_view bytes, uint64_t bit, unsigned count) {
  uint32_t value = 0;
  for (unsigned k = 0; k < count; ++k, ++bit)
    value = value << 1 | ((static_cast<unsigned char>(bytes[bit / 8]) >> (7 - bit % 8)) & 1);
  return value;
}

// Bits appended MSB first.
class BitWriter {
 public:
  explicit BitWriter(std::string& out) : out_(out) {}
  void put(uint32_t value, unsigned count) {
    pending_ = pending_ << count | (value & ((uint64_t{1} << count) - 1));
    used_ += count;
    while (used_ >= 8) {
      used_ -= 8;
      out_.push_back(static_cast<char>(pending_ >> used_));
    }
  }
  void finish() {
    if (used_ > 0) out_.push_back(static_cast<char>(pending_ << (8 - used_)));
    used_ = 0;
  }

 private:
  std::string& out_;
  uint64_t pending_ = 0;
  unsigned used_ = 0;
};

enum class Unpacked { whole, failed, stopped };

// libbz2's allocations, kept for the next block the same thread unpacks: a block's tables (up to
// 3.6 MB) would otherwise be fresh pages every time.
class AllocationCache {
 public:
  AllocationCache() = default;
  ~AllocationCache() {
    for (const Slot& slot : slots_) std::free(slot.block);
  }
  AllocationCache(const AllocationCache&) = delete;
  AllocationCache& operator=(const AllocationCache&) = delete;

  static void* allocate(void* opaque, int items, int size) {
    if (items < 0 || size < 0) return nullptr;
    const size_t bytes = static_cast<size_t>(items) * static_cast<size_t>(size);
    for (Slot& slot : static_cast<AllocationCache*>(opaque)->slots_) {
      if (slot.block && slot.size == bytes)
        return kHeader + static_cast<char*>(std::exchange(slot.block, nullptr));
    }
    // Its size goes in front of the block, for the release.
    auto* block = static_cast<char*>(std::malloc(kHeader + bytes));
    if (!block) return nullptr;
    std::memcpy(block, &bytes, sizeof bytes);
    return block + kHeader;
  }
  static void release(void* opaque, void* address) {
    if (!address) return;
    char* const block = static_cast<char*>(address) - kHeader;
    for (Slot& slot : static_cast<AllocationCache*>(opaque)->slots_) {
      if (!slot.block) {
        slot.block = block;
        std::memcpy(&slot.size, block, sizeof slot.size);
        return;
      }
    }
    std::free(block);
  }

 private:
  static constexpr size_t kHeader = 16;  // keeps the blocks aligned as malloc's are
  struct Slot {
    void* block = nullptr;
    size_t size = 0;
  };
  std::array<Slot, 4> slots_{};
};

// A block's unpacked bytes. Grown without being cleared first, so only the pages written are
// taken; kept for the next block once the sink is done with them.
struct BlockBytes {
  std::unique_ptr<char[]> data;
  size_t size = 0;
  size_t capacity = 0;
  std::string_view view() const { return std::string_view(data.get(), size); }
};

// Where a block's bytes go: into a buffer, kept up to kMaxHeldBlock and made and dropped past it.
class HeldOutput {
 public:
  HeldOutput(BlockBytes& bytes, const std::function<bool()>& wanted) : bytes_(bytes), wanted_(wanted) {
    bytes_.size = 0;
  }
  ~HeldOutput() {
    if (tooLarge_) bytes_.size = 0;
  }
  HeldOutput(const HeldOutput&) = delete;
  HeldOutput& operator=(const HeldOutput&) = delete;

  char* room(size_t& size) {
    if (bytes_.size == bytes_.capacity) {
      if (bytes_.size >= kMaxHeldBlock) {
        tooLarge_ = true;
        bytes_.size = 0;
      } else {
        const size_t capacity = std::min(kMaxHeldBlock, std::max(bytes_.size * 2, kOutputChunk * 4));
        auto grown = std::make_unique_for_overwrite<char[]>(capacity);
        if (bytes_.size > 0) std::memcpy(grown.get(), bytes_.data.get(), bytes_.size);
        bytes_.data = std::move(grown);
        bytes_.capacity = capacity;
      }
    }
    size = bytes_.capacity - bytes_.size;
    return bytes_.data.get() + bytes_.size;
  }
  bool made(const char*, size_t count) {
    bytes_.size += count;
    return wanted_();
  }
  bool tooLarge() const { return tooLarge_; }

 private:
  BlockBytes& bytes_;
  const std::function<bool()>& wanted_;
  bool tooLarge_ = false;
};

// Where a block's bytes go: to `take` (false stops), a chunk at a time.
template <typename Take>
class PassedOutput {
 public:
  explicit PassedOutput(Take& take) : take_(take), chunk_(std::make_unique<char[]>(kOutputChunk)) {}
  char* room(size_t& size) {
    size = kOutputChunk;
    return chunk_.get();
  }
  bool made(const char* at, size_t count) { return take_(std::string_view(at, count)); }

 private:
  Take& take_;
  std::unique_ptr<char[]> chunk_;
};

// Unpacks one wrapped block into `output`. Whole only when the stream ends exactly where the
// wrapped bytes do, so a piece cut short or run long fails.
template <typename Output>
Unpacked unpackWrapped(std::string_view wrapped, AllocationCache& cache, Output& output) {
  if (wrapped.empty()) return Unpacked::failed;
  bz_stream stream{};
  stream.bzalloc = &AllocationCache::allocate;
  stream.bzfree = &AllocationCache::release;
  stream.opaque = &cache;
  if (BZ2_bzDecompressInit(&stream, 0, 0) != BZ_OK) return Unpacked::failed;
  struct End {
    bz_stream* s;
    ~End() { BZ2_bzDecompressEnd(s); }
  } end{&stream};
  stream.next_in = const_cast<char*>(wrapped.data());
  stream.avail_in = static_cast<unsigned int>(wrapped.size());
  for (;;) {
    const unsigned int inBefore = stream.avail_in;
    size_t room = 0;
    char* const at = output.room(room);
    stream.next_out = at;
    stream.avail_out = static_cast<unsigned int>(room);
    const int status = BZ2_bzDecompress(&stream);
    const size_t produced = room - stream.avail_out;
    if (produced > 0 && !output.made(at, produced)) return Unpacked::stopped;
    if (status == BZ_STREAM_END) return stream.avail_in == 0 ? Unpacked::whole : Unpacked::failed;
    if (status != BZ_OK || (produced == 0 && stream.avail_in == inBefore)) return Unpacked::failed;
  }
}

// A block handed to the workers, and what they made of it.
struct Piece {
  uint64_t number;  // the number of the mark it starts at
  std::string wrapped;
};
struct Result {
  Unpacked outcome = Unpacked::failed;
  bool tooLarge = false;  // whole, but its bytes were not kept
  BlockBytes bytes;
};

class BlockWorkers {
 public:
  explicit BlockWorkers(unsigned threads) {
    try {
      for (unsigned i = 0; i < threads; ++i) threads_.emplace_back([this] { run(); });
    } catch (...) {
      stop();
      throw;
    }
  }
  ~BlockWorkers() { stop(); }
  BlockWorkers(const BlockWorkers&) = delete;
  BlockWorkers& operator=(const BlockWorkers&) = delete;

  void submit(Piece piece) {
    {
      const std::lock_guard lock(mutex_);
      queue_.push_back(std::move(piece));
    }
    work_.notify_one();
  }
  // The result for the piece numbered `number`; none when cancelled first.
  std::optional<Result> await(uint64_t number, const std::atomic<bool>* cancelled) {
    std::unique_lock lock(mutex_);
    for (;;) {
      if (const auto found = results_.find(number); found != results_.end()) {
        Result result = std::move(found->second);
        results_.erase(found);
        return result;
      }
      if (cancelled && cancelled->load(std::memory_order_relaxed)) return std::nullopt;
      done_.wait_for(lock, std::chrono::milliseconds(20));
    }
  }
  // A buffer the sink is done with, for the next block.
  void recycle(BlockBytes bytes) {
    const std::lock_guard lock(mutex_);
    if (spare_.size() < kSpareBuffers) spare_.push_back(std::move(bytes));
  }
  // Pieces before `number` are no longer wanted.
  void dropBefore(uint64_t number) {
    const std::lock_guard lock(mutex_);
    wanted_.store(number, std::memory_order_relaxed);
    results_.erase(results_.begin(), results_.lower_bound(number));
    std::erase_if(queue_, [number](const Piece& piece) { return piece.number < number; });
  }

 private:
  void stop() {
    {
      const std::lock_guard lock(mutex_);
      stopping_.store(true);
    }
    work_.notify_all();
    for (std::thread& thread : threads_) thread.join();
    threads_.clear();
  }

  void run() {
    AllocationCache cache;
    for (;;) {
      Piece piece;
      {
        std::unique_lock lock(mutex_);
        work_.wait(lock, [this] { return stopping_.load() || !queue_.empty(); });
        if (stopping_.load()) return;
        piece = std::move(queue_.front());
        queue_.pop_front();
      }
      Result result;
      {
        const std::lock_guard lock(mutex_);
        if (!spare_.empty()) {
          result.bytes = std::move(spare_.back());
          spare_.pop_back();
        }
      }
      const std::function<bool()> wanted = [&] {
        return !stopping_.load(std::memory_order_relaxed) &&
               piece.number >= wanted_.load(std::memory_order_relaxed);
      };
      {
        HeldOutput output(result.bytes, wanted);
        result.outcome = unpackWrapped(piece.wrapped, cache, output);
        result.tooLarge = output.tooLarge();
      }
      {
        const std::lock_guard lock(mutex_);
        if (piece.number >= wanted_.load(std::memory_order_relaxed))
          results_.insert_or_assign(piece.number, std::move(result));
      }
      done_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable work_;
  std::condition_variable done_;
  std::deque<Piece> queue_;
  std::map<uint64_t, Result> results_;
  std::vector<BlockBytes> spare_;
  std::atomic<bool> stopping_{false};
  std::atomic<uint64_t> wanted_{0};
  std::vector<std::thread> threads_;
};

bool isLevel(char digit) { return digit >= '1' && digit <= '9'; }

// The reader: scans ahead for signatures, hands the blocks to the workers, and delivers them
// in order while checking each stream's chain of blocks and its CRC.
class ParallelReader {
 public:
  ParallelReader(int fd, UnpackedSink& sink, const std::atomic<bool>* cancelled, unsigned threads,
                 const Bzip2Handoff& handoff)
      : fd_(fd),
        sink_(sink),
        cancelled_(cancelled),
        handoff_(handoff),
        workers_(threads),
        ahead_(static_cast<uint64_t>(threads) * 2) {}

  UnpackResult run() {
    uint64_t streamStart = 0;
    for (;;) {
      if (!haveBytes(streamStart + 4)) return handoff_(streamStart, 0);
      const std::string_view head = bytesAt(streamStart, 4);
      if (head.substr(0, 3) != "BZh" || !isLevel(head[3])) return handoff_(streamStart, 0);
      const char level = head[3];
      std::optional<uint64_t> number = markAt((streamStart + 4) * 8);
      if (!number) return handoff_(streamStart, 0);
      if (dispatched_ <= *number) {
        dispatched_ = *number;
        dispatchLevel_ = level;
      }
      uint64_t delivered = 0;
      uint32_t combinedCRC = 0;
      for (;;) {
        if (isCancelled()) return UnpackResult::stopped;
        const std::optional<Bzip2MarkScanner::Mark> found = mark(*number);
        if (!found) return handoff_(streamStart, delivered);
        const Bzip2MarkScanner::Mark current = *found;
        if (current.kind == Bzip2MarkScanner::Kind::streamEnd) {
          if (!haveBytes((current.bit + kStreamEndBits + 7) / 8) ||
              bitsAt(bytes_, current.bit + kMagicBits - windowBase_ * 8, 32) != combinedCRC)
            return handoff_(streamStart, delivered);
          streamStart = (current.bit + kStreamEndBits + 7) / 8;
          break;
        }
        dispatchAhead(*number);
        const std::optional<uint64_t> next = settle(*number, level, delivered);
        if (!next) return stopped_ ? UnpackResult::stopped : handoff_(streamStart, delivered);
        const uint32_t blockCRC = bitsAt(bytes_, current.bit + kMagicBits - windowBase_ * 8, 32);
        combinedCRC = (combinedCRC << 1 | combinedCRC >> 31) ^ blockCRC;
        forget(*next);
        number = next;
      }
      // Another stream, or the end: what follows the last stream and does not begin with 'B'
      // is padding, as for the sequential reader.
      if (!haveBytes(streamStart + 1)) return readFailed_ ? handoff_(streamStart, 0) : UnpackResult::done;
      if (bytesAt(streamStart, 1)[0] != 'B') return UnpackResult::done;
    }
  }

 private:
  bool isCancelled() const { return cancelled_ && cancelled_->load(std::memory_order_relaxed); }
  uint64_t readEnd() const { return windowBase_ + bytes_.size(); }
  std::string_view bytesAt(uint64_t offset, size_t count) const {
    return std::string_view(bytes_).substr(offset - windowBase_, count);
  }

  // Reads the next piece of the file and the signatures in it; false at its end or on an error.
  bool readMore() {
    if (atEnd_) return false;
    const size_t before = bytes_.size();
    const uint64_t offset = readEnd();
    bytes_.resize(before + kReadSize);
    ssize_t count;
    do {
      count = ::pread(fd_, bytes_.data() + before, kReadSize, static_cast<off_t>(offset));
    } while (count < 0 && errno == EINTR);
    bytes_.resize(before + static_cast<size_t>(std::max<ssize_t>(count, 0)));
    if (count <= 0) {
      atEnd_ = true;
      readFailed_ = count < 0;
      return false;
    }
    found_.clear();
    scanner_.scan(std::string_view(bytes_).substr(before), found_);
    marks_.insert(marks_.end(), found_.begin(), found_.end());
    return true;
  }
  bool haveBytes(uint64_t end) {
    while (readEnd() < end)
      if (!readMore()) return false;
    return true;
  }
  // The mark numbered `number`, reading on for it no further than the lookahead allows.
  std::optional<Bzip2MarkScanner::Mark> mark(uint64_t number) {
    while (number >= firstMark_ + marks_.size())
      if (readEnd() - deliveringFrom_ > kMaxLookahead || !readMore()) return std::nullopt;
    return marks_[number - firstMark_];
  }
  // The number of the mark at exactly `bit`, dropping the marks before it.
  std::optional<uint64_t> markAt(uint64_t bit) {
    deliveringFrom_ = std::max(deliveringFrom_, bit / 8);
    for (;;) {
      while (!marks_.empty() && marks_.front().bit < bit) {
        marks_.pop_front();
        ++firstMark_;
      }
      if (!marks_.empty()) {
        if (marks_.front().bit != bit) return std::nullopt;
        workers_.dropBefore(firstMark_);
        submitted_.erase(submitted_.begin(), submitted_.lower_bound(firstMark_));
        return firstMark_;
      }
      if (readEnd() * 8 > bit + kMagicBits + 8 || !readMore()) return std::nullopt;
    }
  }
  // Marks, pieces and bytes before the mark numbered `number` are done with.
  void forget(uint64_t number) {
    while (firstMark_ < number && !marks_.empty()) {
      marks_.pop_front();
      ++firstMark_;
    }
    workers_.dropBefore(number);
    submitted_.erase(submitted_.begin(), submitted_.lower_bound(number));
    if (marks_.empty()) return;
    deliveringFrom_ = marks_.front().bit / 8;
    if (deliveringFrom_ - windowBase_ >= kDropStep) {
      bytes_.erase(0, deliveringFrom_ - windowBase_);
      windowBase_ = deliveringFrom_;
    }
  }

  std::string wrap(uint64_t startBit, uint64_t endBit, char level) const {
    if (endBit - startBit > kMaxPieceBits) return {};
    return wrapBzip2Block(bytes_, startBit - windowBase_ * 8, endBit - windowBase_ * 8, level);
  }

  // Hands the blocks within the window after the one numbered `number` to the workers, with the
  // level their stream seems to have.
  void dispatchAhead(uint64_t number) {
    while (dispatched_ < number + ahead_) {
      const std::optional<Bzip2MarkScanner::Mark> start = mark(dispatched_);
      const std::optional<Bzip2MarkScanner::Mark> end = start ? mark(dispatched_ + 1) : std::nullopt;
      if (!end) return;
      if (start->kind == Bzip2MarkScanner::Kind::block) {
        if (std::string wrapped = wrap(start->bit, end->bit, dispatchLevel_); !wrapped.empty()) {
          submitted_.insert_or_assign(dispatched_, Submitted{dispatchLevel_, end->bit});
          workers_.submit(Piece{dispatched_, std::move(wrapped)});
        }
      } else if (const uint64_t next = (start->bit + kStreamEndBits + 7) / 8; next + 4 <= readEnd()) {
        // Where a stream ends, the next one's header says its level.
        const std::string_view head = bytesAt(next, 4);
        if (head.substr(0, 3) == "BZh" && isLevel(head[3])) dispatchLevel_ = head[3];
      }
      ++dispatched_;
    }
  }

  // Delivers the block that starts at the mark numbered `number`, joined with the pieces after it
  // when it does not unpack alone; the number of the mark after it, or none when no piece unpacks
  // or the sink stopped.
  std::optional<uint64_t> settle(uint64_t number, char level, uint64_t& delivered) {
    const uint64_t startBit = mark(number)->bit;
    for (uint64_t end = number + 1; end <= number + 1 + kMaxJoins; ++end) {
      const std::optional<Bzip2MarkScanner::Mark> endMark = mark(end);
      if (!endMark || endMark->bit - startBit > kMaxPieceBits) return std::nullopt;
      std::optional<Result> result;
      const auto submitted = submitted_.find(number);
      if (end == number + 1 && submitted != submitted_.end() && submitted->second.level == level &&
          submitted->second.endBit == endMark->bit) {
        result = workers_.await(number, cancelled_);
        if (!result) {
          stopped_ = true;
          return std::nullopt;
        }
      } else {
        // Joined pieces are rare: unpacked here, held as a worker would.
        result.emplace();
        const std::function<bool()> wanted = [this] { return !isCancelled(); };
        HeldOutput output(result->bytes, wanted);
        result->outcome = unpackWrapped(wrap(startBit, endMark->bit, level), cache_, output);
        result->tooLarge = output.tooLarge();
      }
      if (result->outcome == Unpacked::stopped) {
        stopped_ = true;
        return std::nullopt;
      }
      if (result->outcome != Unpacked::whole) continue;
      if (!deliver(*result, startBit, endMark->bit, level, delivered)) return std::nullopt;
      workers_.recycle(std::move(result->bytes));
      return end;
    }
    return std::nullopt;
  }

  bool deliver(const Result& result, uint64_t startBit, uint64_t endBit, char level, uint64_t& delivered) {
    const auto take = [&](std::string_view bytes) {
      delivered += bytes.size();
      return sink_.take(bytes);
    };
    if (!result.tooLarge) {
      // In the sequential reader's piece size, so the sink looks at its bounds as often.
      const std::string_view bytes = result.bytes.view();
      size_t at = 0;
      while (at < bytes.size() && take(bytes.substr(at, kPieceSize))) at += kPieceSize;
      if (at >= bytes.size()) return true;
    } else if (PassedOutput output(take);
               unpackWrapped(wrap(startBit, endBit, level), cache_, output) == Unpacked::whole) {
      return true;
    }
    stopped_ = true;
    return false;
  }

  struct Submitted {
    char level;
    uint64_t endBit;
  };

  const int fd_;
  UnpackedSink& sink_;
  const std::atomic<bool>* const cancelled_;
  const Bzip2Handoff& handoff_;
  BlockWorkers workers_;
  AllocationCache cache_;  // for the pieces unpacked here
  const uint64_t ahead_;   // marks handed out ahead of the one being delivered

  std::string bytes_;  // the file from windowBase_ on, as far as it has been read
  uint64_t windowBase_ = 0;
  uint64_t deliveringFrom_ = 0;  // the byte of the block being delivered
  bool atEnd_ = false;
  bool readFailed_ = false;
  bool stopped_ = false;
  Bzip2MarkScanner scanner_;
  std::vector<Bzip2MarkScanner::Mark> found_;
  std::deque<Bzip2MarkScanner::Mark> marks_;  // from the one numbered firstMark_ on
  uint64_t firstMark_ = 0;
  uint64_t dispatched_ = 0;  // the first mark not yet considered for the workers
  char dispatchLevel_ = '9';
  std::map<uint64_t, Submitted> submitted_;
};

}  // namespace

void Bzip2MarkScanner::scan(std::string_view bytes, std::vector<Mark>& marks) {
  for (const char byte : bytes) {
    recent_ = recent_ << 8 | static_cast<unsigned char>(byte);
    ++scanned_;
    if (!kMiddleBytes[(recent_ >> 16) & 0xff]) continue;
    // From the earliest start to the latest, so the marks stay in order.
    for (unsigned shift = 8; shift-- > 0;) {
      const uint64_t candidate = (recent_ >> shift) & kMagicMask;
      if (candidate != kBlockMagic && candidate != kStreamEndMagic) continue;
      const uint64_t end = scanned_ * 8 - shift;
      if (end < kMagicBits) continue;
      marks.push_back({end - kMagicBits, candidate == kBlockMagic ? Kind::block : Kind::streamEnd});
    }
  }
}

std::string wrapBzip2Block(std::string_view bytes, uint64_t startBit, uint64_t endBit, char level) {
  if (!isLevel(level) || endBit > uint64_t{bytes.size()} * 8 || startBit + kBlockHeaderBits > endBit)
    return {};
  std::string out = "BZh";
  out.push_back(level);
  const uint64_t count = endBit - startBit;
  out.reserve(4 + count / 8 + 12);
  // Whole bytes of the block first, shifted onto byte boundaries.
  const auto* source = reinterpret_cast<const unsigned char*>(bytes.data()) + startBit / 8;
  const unsigned shift = startBit % 8;
  const uint64_t whole = count / 8;
  if (shift == 0) {
    out.append(reinterpret_cast<const char*>(source), whole);
  } else {
    for (uint64_t k = 0; k < whole; ++k)
      out.push_back(static_cast<char>(source[k] << shift | source[k + 1] >> (8 - shift)));
  }
  BitWriter writer(out);
  if (const unsigned rest = count % 8; rest > 0) writer.put(bitsAt(bytes, startBit + whole * 8, rest), rest);
  writer.put(static_cast<uint32_t>(kStreamEndMagic >> 24), 24);
  writer.put(static_cast<uint32_t>(kStreamEndMagic), 24);
  writer.put(bitsAt(bytes, startBit + kMagicBits, 32), 32);
  writer.finish();
  return out;
}

UnpackResult readBzip2InParallel(int fd, UnpackedSink& sink, const std::atomic<bool>* cancelled,
                                 unsigned threads, const Bzip2Handoff& handoff) {
  std::optional<ParallelReader> reader;
  try {
    reader.emplace(fd, sink, cancelled, std::max(threads, 1u), handoff);
  } catch (const std::system_error&) {
    // No threads to be had: the sequential reader does it all.
    return handoff(0, 0);
  }
  return reader->run();
}

}  // namespace tessaro
