// bzip2 unpacked a block per thread, against bzip2 -dc and the sequential reader: files from
// bzip2 -1 and -9, pbzip2 and lbzip2, block signatures planted inside compressed data, and
// empty, cut, corrupted and trailing-garbage files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <limits>
#include <string>
#include <vector>

#include "ParallelBzip2.h"
#include "UnpackedStream.h"
#include "support/Files.h"
#include "support/SuiteFixtures.h"

namespace tessaro {
namespace {

// Random bytes make blocks that do not compress, numbers blocks that do. A block's header
// lists the byte values it uses in 16-bit maps, one per range of 16 values in use: bytes from
// exactly the values below make the maps of ranges 0-2 spell the block signature 314159265359
// and then the end-of-stream signature 177245385090, each inside the compressed data. No byte
// comes twice in a row: a run of four would add its length, another byte value, to the maps.
constexpr const char* kFixtureScript = R"sh(
head -c 700000 /dev/urandom > random
seq 1 150000 > numbers
cat random numbers > mixed
python3 - <<'EOF'
import random
block = [0x02, 0x03, 0x07, 0x09, 0x0f, 0x11, 0x13, 0x14, 0x17, 0x1a, 0x1d, 0x1e,
         0x21, 0x23, 0x26, 0x27, 0x29, 0x2b, 0x2c, 0x2f]
end = [0x03, 0x05, 0x06, 0x07, 0x09, 0x0a, 0x0b, 0x0e, 0x11, 0x15, 0x17, 0x1a, 0x1b, 0x1c,
       0x21, 0x23, 0x28, 0x2b]
rng = random.Random(7)
def run(values, count):
    out = bytearray([values[0]])
    while len(out) < count:
        out.append(rng.choice([v for v in values if v != out[-1]]))
    return bytes(out)
with open("planted", "wb") as f:
    f.write(run(block, 300000) + run(end, 300000))
EOF
bzip2 -1 -c mixed > bzip2-1.bz2
bzip2 -9 -c mixed > bzip2-9.bz2
pbzip2 -1 -p2 -c < mixed > pbzip2.bz2
lbzip2 -1 -n2 -c < mixed > lbzip2.bz2
bzip2 -1 -c planted > planted.bz2
printf 'one block' > one; bzip2 -c one > one.bz2
: > nothing; bzip2 -c nothing > empty-stream.bz2
: > empty.bz2
cp bzip2-1.bz2 cut.bz2; truncate -s $(( $(stat -c %s bzip2-1.bz2) / 2 )) cut.bz2
cp bzip2-1.bz2 cut-in-end.bz2; truncate -s $(( $(stat -c %s bzip2-1.bz2) - 3 )) cut-in-end.bz2
cp bzip2-1.bz2 bad.bz2; printf 'XXXXXXXX' | dd of=bad.bz2 bs=1 seek=300000 conv=notrunc 2>/dev/null
cp bzip2-9.bz2 bad-crc.bz2; printf 'X' | dd of=bad-crc.bz2 bs=1 seek=$(( $(stat -c %s bzip2-9.bz2) - 2 )) conv=notrunc 2>/dev/null
cat one.bz2 bzip2-1.bz2 > padding.bz2; printf 'not bzip2' >> padding.bz2
cat one.bz2 bzip2-1.bz2 > bad-next.bz2; printf 'BZh0 no stream' >> bad-next.bz2
printf 'PK' > other.bz2; cat one.bz2 >> other.bz2
)sh";

class ParallelBzip2Test : public test::SuiteFixtures<ParallelBzip2Test> {
 public:
  static constexpr const char* kFixtureScript = tessaro::kFixtureScript;
};

struct Collected : UnpackedSink {
  std::string bytes;
  size_t stopAfter = std::numeric_limits<size_t>::max();
  bool take(std::string_view piece) override {
    bytes.append(piece);
    return bytes.size() < stopAfter;
  }
};

struct Reading {
  UnpackResult result;
  std::string bytes;
};

Reading unpack(const std::string& path, unsigned threads, const std::atomic<bool>* cancelled = nullptr) {
  Collected sink;
  const UnpackResult result = readUnpacked(path, StreamCompression::bzip2, sink, cancelled, threads);
  return {result, std::move(sink.bytes)};
}

TEST_F(ParallelBzip2Test, GivesWhatTheSequentialReaderGives) {
  const struct {
    const char* file;
    const char* original;  // what bzip2 -dc gives, for the whole files
    UnpackResult result;
  } cases[] = {
      {"bzip2-1.bz2", "mixed", UnpackResult::done},         {"bzip2-9.bz2", "mixed", UnpackResult::done},
      {"pbzip2.bz2", "mixed", UnpackResult::done},          {"lbzip2.bz2", "mixed", UnpackResult::done},
      {"planted.bz2", "planted", UnpackResult::done},       {"one.bz2", "one", UnpackResult::done},
      {"empty-stream.bz2", "nothing", UnpackResult::done},  {"padding.bz2", nullptr, UnpackResult::done},
      {"empty.bz2", nullptr, UnpackResult::endsEarly},      {"cut.bz2", nullptr, UnpackResult::endsEarly},
      {"cut-in-end.bz2", nullptr, UnpackResult::endsEarly}, {"bad.bz2", nullptr, UnpackResult::damaged},
      {"bad-crc.bz2", nullptr, UnpackResult::damaged},      {"bad-next.bz2", nullptr, UnpackResult::damaged},
      {"other.bz2", nullptr, UnpackResult::notInFormat},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const Reading sequential = unpack(fixture(c.file), 1);
    EXPECT_EQ(sequential.result, c.result);
    if (c.original) {
      EXPECT_TRUE(sequential.bytes == test::readFile(fixture(c.original)));
      // A whole file, planted signatures and all, never needs the sequential reader.
      const int fd = ::open(fixture(c.file).c_str(), O_RDONLY | O_CLOEXEC);
      ASSERT_GE(fd, 0);
      Collected sink;
      bool handedOver = false;
      EXPECT_EQ(readBzip2InParallel(fd, sink, nullptr, 2,
                                    [&](uint64_t, uint64_t) {
                                      handedOver = true;
                                      return UnpackResult::damaged;
                                    }),
                UnpackResult::done);
      ::close(fd);
      EXPECT_FALSE(handedOver);
      EXPECT_TRUE(sink.bytes == sequential.bytes);
    }
    for (const unsigned threads : {2u, 8u}) {
      SCOPED_TRACE(threads);
      const Reading parallel = unpack(fixture(c.file), threads);
      EXPECT_EQ(parallel.result, sequential.result);
      EXPECT_EQ(parallel.bytes.size(), sequential.bytes.size());
      EXPECT_TRUE(parallel.bytes == sequential.bytes);
    }
  }
}

TEST_F(ParallelBzip2Test, PlantedSignaturesAreFoundAndPassedOver) {
  // Each block of the planted file has a false signature 121 bits after its own: its CRC, the
  // randomised bit, the origin pointer and the map of ranges in use come first.
  const std::string bytes = test::readFile(fixture("planted.bz2"));
  std::vector<Bzip2MarkScanner::Mark> marks;
  Bzip2MarkScanner().scan(bytes, marks);
  size_t planted[2] = {0, 0};
  for (size_t i = 1; i < marks.size(); ++i)
    if (marks[i - 1].kind == Bzip2MarkScanner::Kind::block && marks[i].bit - marks[i - 1].bit == 121)
      ++planted[static_cast<size_t>(marks[i].kind)];
  EXPECT_GE(planted[0], 2u);
  EXPECT_GE(planted[1], 2u);
}

TEST_F(ParallelBzip2Test, ScanningInPiecesFindsTheSameMarks) {
  const std::string bytes = test::readFile(fixture("pbzip2.bz2"));
  std::vector<Bzip2MarkScanner::Mark> whole;
  Bzip2MarkScanner().scan(bytes, whole);
  std::vector<Bzip2MarkScanner::Mark> pieces;
  Bzip2MarkScanner scanner;
  for (size_t at = 0; at < bytes.size(); at += 3) scanner.scan(std::string_view(bytes).substr(at, 3), pieces);
  EXPECT_EQ(pieces, whole);
  EXPECT_GT(whole.size(), 2u);
}

TEST_F(ParallelBzip2Test, AOneBlockStreamWrapsToItself) {
  // bzip2 pads with zero bits, and one block's CRC is its stream's.
  const std::string bytes = test::readFile(fixture("one.bz2"));
  std::vector<Bzip2MarkScanner::Mark> marks;
  Bzip2MarkScanner().scan(bytes, marks);
  ASSERT_EQ(marks.size(), 2u);
  EXPECT_EQ(marks[0].bit, 32u);
  EXPECT_TRUE(wrapBzip2Block(bytes, marks[0].bit, marks[1].bit, '9') == bytes);
  EXPECT_TRUE(wrapBzip2Block(bytes, marks[0].bit, marks[0].bit + 79, '9').empty());
  EXPECT_TRUE(wrapBzip2Block(bytes, marks[0].bit, marks[1].bit, '0').empty());
}

TEST_F(ParallelBzip2Test, StopsWhenTheSinkOrTheCallerDoes) {
  Collected sink;
  sink.stopAfter = 1;
  EXPECT_EQ(readUnpacked(fixture("bzip2-1.bz2"), StreamCompression::bzip2, sink, nullptr, 2),
            UnpackResult::stopped);
  EXPECT_TRUE(test::readFile(fixture("mixed")).starts_with(sink.bytes));
  const std::atomic<bool> cancelled{true};
  EXPECT_EQ(unpack(fixture("bzip2-9.bz2"), 2, &cancelled).result, UnpackResult::stopped);
}

}  // namespace
}  // namespace tessaro
