// The tar headers read in process, against GNU tar's own listing of the same archives (made at
// test time by GNU tar and bsdtar in several formats and compressions), and on damaged input.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "ArchiveHandlerTar.h"
#include "ProcessGlobals.h"
#include "TarHeaderReader.h"
#include "helpers.h"
#include "support/Files.h"
#include "support/ScopedEnv.h"
#include "support/SuiteFixtures.h"
#include "support/TempDir.h"

namespace tessaro {
namespace {

using test::shell;

// Long names (past ustar's 100 and 255 bytes), a long link target, a hard link, set-id and
// sticky modes, a sparse file, UTF-8 names, dates before 1970 and after 2038, a FIFO, and
// devices when this user may make them; then archives of it in each format and compression.
constexpr const char* kMakeArchives = R"sh(
L100=$(printf '%0110d' 0 | tr 0 n)
L200=$(printf '%0200d' 0 | tr 0 d)
mkdir -p tree/empty "tree/$L200" tree/sticky
printf 'data\n' > tree/plain
printf 'long\n' > "tree/$L200/$L100"
printf 'caf\303\251\n' > "tree/$(printf 'caf\303\251 \342\202\254.txt')"
ln -s "$L200/$L100" tree/longlink
ln -s plain tree/short
ln tree/plain tree/zhard
mkfifo tree/fifo
chmod 4755 tree/plain; chmod 1777 tree/sticky; chmod 2710 "tree/$L200"
truncate -s 3000000 tree/sparse
printf 'island' | dd of=tree/sparse bs=1 seek=1500000 conv=notrunc 2>/dev/null
printf old > tree/old; touch -d '1950-06-01 12:34:56 UTC' tree/old
printf new > tree/new; touch -d '2100-02-03 04:05:06 UTC' tree/new
if mknod tree/null c 1 3 2>/dev/null; then mknod tree/blk b 7 0; fi
mkdir small; printf s > small/a; ln -s a small/l; mkdir small/d; touch -d '2020-01-02 03:04:05 UTC' small/a

tar --sort=name --format=gnu --sparse -cf gnu.tar tree
tar --sort=name --format=posix --sparse -cf pax.tar tree
tar --sort=name --format=posix --sparse --sparse-version=1.0 -cf pax-sparse1.tar tree
tar --sort=name --format=oldgnu -cf oldgnu.tar small
tar --sort=name --format=ustar -cf ustar.tar small
tar --sort=name --format=v7 -cf v7.tar small
bsdtar -cf bsd-pax.tar --format pax tree
bsdtar -cf bsd-ustar.tar --format ustar small
bsdtar -cf bsd-gnu.tar --format gnutar tree
gzip -k pax.tar; bzip2 -k pax.tar; xz -k pax.tar
# Several gzip members, xz streams and bzip2 streams, split inside a header.
head -c 2300 gnu.tar | gzip > multi.tar.gz; tail -c +2301 gnu.tar | gzip >> multi.tar.gz
head -c 2300 gnu.tar | xz > multi.tar.xz; tail -c +2301 gnu.tar | xz >> multi.tar.xz
head -c 2300 gnu.tar | bzip2 > multi.tar.bz2; tail -c +2301 gnu.tar | bzip2 >> multi.tar.bz2
bsdtar -czf bsd.tar.gz tree; bsdtar -cJf bsd.tar.xz tree; bsdtar -cjf bsd.tar.bz2 tree
)sh";

// The same class, listed by GNU tar whatever the file's compression.
class ToolListedTar : public AHandlerTar {
 protected:
  std::optional<StreamCompression> listedCompression(std::string_view) const override { return std::nullopt; }
};

struct Listing {
  int32_t status = -99;
  std::vector<std::string> records;
  std::unordered_map<std::string, std::string> links;
  ListingProblem problem = ListingProblem::none;
};

Listing list(const std::shared_ptr<ArchiveHandler>& handler) {
  Listing listing;
  listing.status = handler->getInfo(listing.records);
  listing.links = handler->linkTargets();
  listing.problem = handler->listingProblem();
  return listing;
}

// GNU tar prints minutes: the seconds go before comparing.
std::string withoutSeconds(std::string record) {
  const size_t time = record.rfind("\ttime=");
  if (time != std::string::npos && record.size() - time - 6 == 15) record.resize(record.size() - 2);
  return record;
}

class TarHeaderReaderTest : public test::SuiteFixtures<TarHeaderReaderTest> {
 public:
  static constexpr const char* kFixtureScript = kMakeArchives;

 protected:
  TarHeaderReaderTest() {
    env_.set("TZ", "America/New_York");
    savedHelpers_ = helpersPath();
    helpersPath() = TESSARO_TEST_HELPERS_DIR;
  }
  ~TarHeaderReaderTest() override { helpersPath() = savedHelpers_; }

  test::ScopedEnv env_;
  std::string savedHelpers_;
};

TEST_F(TarHeaderReaderTest, RecordsAreGnuTarsListingWithSeconds) {
  const struct {
    const char* file;
    const HandlerClass& handlerClass;
  } cases[] = {
      {"gnu.tar", AHandlerTar::metaclass()},         {"pax.tar", AHandlerTar::metaclass()},
      {"pax-sparse1.tar", AHandlerTar::metaclass()}, {"oldgnu.tar", AHandlerTar::metaclass()},
      {"ustar.tar", AHandlerTar::metaclass()},       {"v7.tar", AHandlerTar::metaclass()},
      {"bsd-pax.tar", AHandlerTar::metaclass()},     {"bsd-ustar.tar", AHandlerTar::metaclass()},
      {"bsd-gnu.tar", AHandlerTar::metaclass()},     {"pax.tar.gz", AHandlerTGz::metaclass()},
      {"pax.tar.bz2", AHandlerTBz::metaclass()},     {"pax.tar.xz", AHandlerTXz::metaclass()},
      {"multi.tar.gz", AHandlerTGz::metaclass()},    {"multi.tar.xz", AHandlerTXz::metaclass()},
      {"multi.tar.bz2", AHandlerTBz::metaclass()},   {"bsd.tar.gz", AHandlerTar::metaclass()},
      {"bsd.tar.xz", AHandlerTXz::metaclass()},      {"bsd.tar.bz2", AHandlerTBz::metaclass()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const Listing read = list(c.handlerClass.initWithURL(fixture(c.file)));
    auto tool = std::make_shared<ToolListedTar>();
    tool->setUrl(fixture(c.file));
    const Listing printed = list(tool);
    EXPECT_EQ(read.status, 0);
    ASSERT_EQ(printed.status, 0);
    ASSERT_EQ(read.records.size(), printed.records.size());
    for (size_t i = 0; i < read.records.size(); ++i) {
      // Every record has its seconds.
      EXPECT_EQ(read.records[i].size() - read.records[i].rfind("\ttime="), 6u + 15u) << read.records[i];
      EXPECT_EQ(withoutSeconds(read.records[i]), printed.records[i]);
    }
    EXPECT_EQ(read.links, printed.links);
  }
}

// The comparison with GNU tar leaves the seconds out: they are checked here, in New York's local
// time, in the far past and future.
TEST_F(TarHeaderReaderTest, DatesFarFromNowKeepTheirSeconds) {
  std::string times;
  for (const std::string& record : list(AHandlerTar::metaclass().initWithURL(fixture("pax.tar"))).records)
    if (record.starts_with("path=tree/old\t") || record.starts_with("path=tree/new\t"))
      times += record.substr(record.rfind("\ttime=")) + "|";
  EXPECT_EQ(times, "\ttime=21000202.230506|\ttime=19500601.083456|");
}

// ---- Damaged input, built from a small archive GNU tar writes

void setChecksum(std::string& tar, size_t header) {
  std::memset(&tar[header + 148], ' ', 8);
  unsigned sum = 0;
  for (size_t i = 0; i < 512; ++i) sum += static_cast<unsigned char>(tar[header + i]);
  std::snprintf(&tar[header + 148], 8, "%06o", sum);
}

// Reads `bytes` in pieces of `piece` bytes.
Listing readBytes(const std::string& bytes, size_t piece) {
  Listing listing;
  TarHeaderReader reader(listing.records, &listing.links);
  for (size_t at = 0; at < bytes.size() && reader.take(std::string_view(bytes).substr(at, piece));
       at += piece) {
  }
  listing.problem = reader.finish();
  return listing;
}

TEST_F(TarHeaderReaderTest, DamageIsAProblemNotACrash) {
  test::TempDir dir;
  shell(dir.path(),
        "mkdir t && printf 'abc' > t/a && printf 'defg' > t/b && tar --format=ustar -cf x.tar t/a t/b");
  const std::string good = test::readFile(dir.path() / "x.tar");
  // Headers at 0 (t/a) and 1024 (t/b). The fields written over t/a's header, its checksum then
  // made right again.
  const auto patched = [&](std::initializer_list<std::pair<size_t, std::string>> fields) {
    std::string tar = good;
    for (const auto& [at, bytes] : fields) tar.replace(at, bytes.size(), bytes);
    setChecksum(tar, 0);
    return tar;
  };
  const auto withPax = [&](const std::string& pax) {
    // A pax header for t/a, its text `pax`, before t/a's own header.
    std::string header = good.substr(0, 512);
    header[156] = 'x';
    std::snprintf(&header[124], 12, "%011o", static_cast<unsigned>(pax.size()));
    setChecksum(header, 0);
    std::string text = pax;
    text.resize((pax.size() + 511) / 512 * 512, '\0');
    return header + text + good;
  };
  const std::string eightGiB = "77777777777";
  const struct {
    const char* what;
    std::string bytes;
    size_t records;
    ListingProblem problem;
    std::string firstPath = "t/a";
  } cases[] = {
      {"whole", good, 2, ListingProblem::none},
      {"no end blocks", good.substr(0, 2048), 2, ListingProblem::none},
      {"cut in a header", good.substr(0, 1024 + 300), 1, ListingProblem::endsEarly},
      {"cut in data", good.substr(0, 1024 + 512 + 2), 2, ListingProblem::endsEarly},
      {"empty", "", 0, ListingProblem::notReadable},
      {"only end blocks", std::string(1024, '\0'), 0, ListingProblem::notReadable},
      {"first checksum wrong", "T" + good.substr(1), 0, ListingProblem::notReadable},
      {"second checksum wrong", good.substr(0, 1024) + "T" + good.substr(1025), 1,
       ListingProblem::damagedHeaders},
      {"size not octal", patched({{124, "9"}}), 0, ListingProblem::damagedHeaders},
      {"size past 2^63 in base 256", patched({{124, "\x80" + std::string(11, '\xff')}}), 0,
       ListingProblem::damagedHeaders},
      {"size of 8 GiB", patched({{124, eightGiB}}), 1, ListingProblem::endsEarly},
      {"name without NUL", patched({{0, std::string(100, 'n')}}), 2, ListingProblem::none,
       std::string(100, 'n')},
      {"pax length past its text", withPax("99 path=x\n"), 0, ListingProblem::damagedHeaders},
      {"pax length too short", withPax("3 path=x\n"), 0, ListingProblem::damagedHeaders},
      {"pax length zero", withPax("0 path=x\n"), 0, ListingProblem::damagedHeaders},
      {"pax record without key", withPax("5 =x\n"), 0, ListingProblem::damagedHeaders},
      {"pax size not a number", withPax("11 size=1x\n"), 0, ListingProblem::damagedHeaders},
      {"pax path", withPax("11 path=xy\n"), 2, ListingProblem::none, "xy"},
      {"long name past the bound", patched({{156, "L"}, {124, eightGiB}}), 0, ListingProblem::damagedHeaders},
  };
  for (const auto& c : cases) {
    for (const size_t piece : {size_t{1}, size_t{7}, size_t{512}, size_t{1} << 20}) {
      SCOPED_TRACE(std::string(c.what) + ", pieces of " + std::to_string(piece));
      const Listing listing = readBytes(c.bytes, piece);
      EXPECT_EQ(listing.records.size(), c.records);
      EXPECT_EQ(listing.problem, c.problem);
      EXPECT_TRUE(listing.records.empty() || listing.records[0].starts_with("path=" + c.firstPath + "\t"));
    }
  }
}

// A damaged compressed stream or one of another kind: the entries before the damage stand.
TEST_F(TarHeaderReaderTest, DamagedCompressionStopsTheListing) {
  test::TempDir dir;
  shell(dir.path(), R"sh(
mkdir many; for i in $(seq 100 199); do head -c 30000 /dev/urandom > many/f$i; done
tar --sort=name -cf many.tar many
gzip -k many.tar; xz -k many.tar; bzip2 -k many.tar
for f in many.tar.gz many.tar.xz many.tar.bz2; do cp $f cut-$f; truncate -s $(( $(stat -c %s $f) / 2 )) cut-$f; done
# Past the first of bzip2's 900 kB blocks.
for f in many.tar.gz many.tar.bz2; do cp $f bad-$f; printf 'XXXXXXXX' | dd of=bad-$f bs=1 seek=2000000 conv=notrunc 2>/dev/null; done
)sh");
  const struct {
    const char* file;
    const HandlerClass& handlerClass;
    ListingProblem problem;
  } cases[] = {
      {"cut-many.tar.gz", AHandlerTGz::metaclass(), ListingProblem::endsEarly},
      {"cut-many.tar.xz", AHandlerTXz::metaclass(), ListingProblem::endsEarly},
      {"cut-many.tar.bz2", AHandlerTBz::metaclass(), ListingProblem::endsEarly},
      {"bad-many.tar.gz", AHandlerTGz::metaclass(), ListingProblem::damagedHeaders},
      {"bad-many.tar.bz2", AHandlerTBz::metaclass(), ListingProblem::damagedHeaders},
      {"many.tar", AHandlerTGz::metaclass(), ListingProblem::notReadable},
      {"many.tar.bz2", AHandlerTXz::metaclass(), ListingProblem::notReadable},
      {"many.tar.xz", AHandlerTBz::metaclass(), ListingProblem::notReadable},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const Listing listing = list(c.handlerClass.initWithURL((dir.path() / c.file).string()));
    EXPECT_EQ(listing.status, 2);
    EXPECT_EQ(listing.problem, c.problem);
    EXPECT_LT(listing.records.size(), 101u);
    if (c.problem != ListingProblem::notReadable) {
      EXPECT_GT(listing.records.size(), 5u);
    }
  }
}

}  // namespace
}  // namespace tessaro
