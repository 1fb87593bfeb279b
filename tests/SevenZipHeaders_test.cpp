// The 7z header reader of the 7-Zip helper: its records of archives 7zz makes at test time must
// be exactly those the helper makes of 7zz's own listing, and anything it cannot show so (an
// encrypted header, a split archive, damage) must be left to 7zz.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "SevenZipHeaders.h"
#include "process/Subprocess.h"
#include "support/Files.h"
#include "support/Processes.h"
#include "support/ScopedEnv.h"
#include "support/SevenZipListing.h"
#include "support/TempDir.h"

namespace tessaro {
namespace {

namespace fs = std::filesystem;
using test::readFile;
using test::sevenZipHelper;
using test::shell;

uint64_t le64(const std::string& bytes, size_t at) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = value << 8 | static_cast<uint8_t>(bytes[at + i]);
  return value;
}

void put32(std::string& bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
}

uint32_t crcOf(const std::string& bytes, size_t from, size_t length) {
  return static_cast<uint32_t>(
      ::crc32(0, reinterpret_cast<const Bytef*>(bytes.data() + from), static_cast<uInt>(length)));
}

// The archive with its end header's and signature header's CRCs made to fit again, so that a
// change inside the end header reaches the parser.
std::string withFittingCRCs(std::string bytes) {
  const uint64_t offset = le64(bytes, 12), length = le64(bytes, 20);
  if (32 + offset + length <= bytes.size()) put32(bytes, 28, crcOf(bytes, 32 + offset, length));
  put32(bytes, 8, crcOf(bytes, 12, 20));
  return bytes;
}

// Files of every kind the records distinguish: folders (one empty), empty files, a set-user-ID
// file, a link, UTF-8 names beyond the Basic Multilingual Plane, text and incompressible data.
constexpr const char* kTree = R"sh(
mkdir -p t/empty-dir t/sub/deeper
: > t/zero && : > t/sub/zero-too && chmod 4755 t/zero
printf 'é' > "t/café ünï" && printf x > "t/sub/😀 emoji" && printf y > "t/日本語.txt"
seq 1 30000 > t/sub/deeper/numbers && head -c 70000 /dev/urandom > t/noise && ln -s zero t/link
)sh";

struct Maker {
  const char* label;
  const char* switches;  // for 7zz a
};

// 7zz's archives of the tree: each must be read directly, with exactly the helper's records of
// 7zz's listing. The zone has no daylight saving but lies away from UTC, so a time read in the
// wrong zone shows.
TEST(SevenZipHeadersTest, RecordsEqualThoseOf7zzForEveryWayOfMaking) {
  test::TempDir dir;
  test::ScopedEnv zone;
  zone.set("TZ", "Asia/Kolkata");
  shell(dir.path(), kTree);
  const std::vector<Maker> makers{
      {"stored", "-mx0"},
      {"fastest", "-mx1"},
      {"ultra", "-mx9"},
      {"solid", "-ms=on"},
      {"one block per file", "-ms=off"},
      {"plain header", "-mhc=off"},
      {"plain header, all times", "-mhc=off -mtc=on -mta=on"},
      {"no times", "-mtm=off"},
      {"links kept as links", "-snl"},
      {"LZMA with its own lc and pb", "-m0=LZMA:d=3m:lc=2:pb=0"},
      {"PPMd", "-m0=PPMd:o=32:mem=1m"},
      {"BCJ", "-mf=BCJ"},
      {"BCJ2", "-mx9 -mf=BCJ2"},
      {"Delta then LZMA", "-m0=Delta:4 -m1=LZMA"},
      {"ARM64 filter", "-mf=ARM64"},
      {"BZip2", "-m0=BZip2"},
      {"Deflate", "-m0=Deflate"},
      {"encrypted entries", "-psecret"},
      {"stored and encrypted", "-mx0 -psecret"},
  };
  for (const Maker& maker : makers) {
    SCOPED_TRACE(maker.label);
    const fs::path archive = dir.path() / "made.7z";
    fs::remove(archive);
    shell(dir.path(), std::string("7zz a -bd -bso0 -bse0 ") + maker.switches + " made.7z t");
    test::expectDirectEquals7zz(sevenzip::listSevenZipDirectly, archive.string(), "7z");
    // Without a type the signature decides.
    EXPECT_EQ(sevenZipHelper({"l", "-slt", "-p-", archive.string()}).output,
              sevenZipHelper({"l", "-slt", "-p-", "-t7z", archive.string()}).output);
  }
}

// An update archive's anti-items (deletions), an archive without entries, and one of 20,000
// entries in a single solid block.
TEST(SevenZipHeadersTest, AntiItemsEmptyAndLargeArchivesEqual7zz) {
  test::TempDir dir;
  test::ScopedEnv zone;
  zone.set("TZ", "Asia/Kolkata");
  shell(dir.path(), R"sh(
mkdir -p s/gone-dir && echo 1 > s/a && echo 2 > s/gone
7zz a -bso0 base.7z s && rm -r s/gone s/gone-dir && echo 3 > s/new
7zz u -bso0 base.7z -u- '-up0q3r2x2y2z0w2!anti.7z' s && 7zz l -slt anti.7z | grep -q 'Anti = +'
7zz a -bso0 empty.7z s/a && 7zz d -bso0 empty.7z s/a
mkdir -p m && (cd m && seq -w 1 20000 | sed 's/^/d/;s/\(...\)$/\/f\1/' | xargs -n 1000 dirname | sort -u | xargs mkdir -p &&
  seq -w 1 20000 | sed 's/^/d/;s/\(...\)$/\/f\1/' | xargs touch && echo data > d00/f001)
7zz a -bso0 many.7z m
)sh");
  for (const char* name : {"anti.7z", "empty.7z", "many.7z"}) {
    SCOPED_TRACE(name);
    test::expectDirectEquals7zz(sevenzip::listSevenZipDirectly, (dir.path() / name).string(), "7z");
  }
  const std::optional<std::string> many = sevenzip::listSevenZipDirectly((dir.path() / "many.7z").string());
  ASSERT_TRUE(many);
  EXPECT_EQ(std::count(many->begin(), many->end(), '\n'), 20000 + 21 + 1);  // files, folders, m
}

// What the reader must leave to 7zz: the helper's answer is then 7zz's.
TEST(SevenZipHeadersTest, EncryptedHeadersSplitArchivesAndExtraDataAreLeftTo7zz) {
  test::TempDir dir;
  shell(dir.path(), std::string(kTree) + R"sh(
7zz a -bso0 -psecret -mhe hidden.7z t
7zz a -bso0 -v20k split.7z t
7zz a -bso0 whole.7z t && cp whole.7z trailing.7z && echo more >> trailing.7z
{ echo stub; cat whole.7z; } > prefixed.7z
)sh");
  for (const char* name : {"hidden.7z", "split.7z.001", "trailing.7z", "prefixed.7z"}) {
    SCOPED_TRACE(name);
    const std::string archive = (dir.path() / name).string();
    EXPECT_FALSE(sevenzip::listSevenZipDirectly(archive));
    const SubprocessResult direct = sevenZipHelper({"l", "-slt", "-p-", "-t7z", archive});
    const SubprocessResult via7zz = sevenZipHelper({"l", "-slt", "-p-", "-t7z", "--via-7zz", archive});
    EXPECT_EQ(direct.output, via7zz.output);
    EXPECT_EQ(direct.exitStatus, via7zz.exitStatus);
  }
  // The hidden names need the password: 7zz's answer without it is a wrong one.
  const SubprocessResult hidden =
      sevenZipHelper({"l", "-slt", "-p-", "-t7z", (dir.path() / "hidden.7z").string()});
  EXPECT_NE(hidden.exitStatus, 0);
  EXPECT_NE((hidden.output + hidden.errorOutput).find("Wrong password?"), std::string::npos) << hidden.output;
  EXPECT_FALSE(sevenzip::listSevenZipDirectly((dir.path() / "missing.7z").string()));
  EXPECT_FALSE(sevenzip::listSevenZipDirectly(dir.str()));
}

// Every byte of a plain and of a packed end header changed, its CRCs made to fit again or not,
// and the archive cut anywhere: the reader declines or answers within bounds, never crashes.
TEST(SevenZipHeadersTest, SurvivesEveryDamagedByte) {
  test::TempDir dir;
  shell(dir.path(), R"sh(
mkdir -p t/d && echo hi > t/d/a && seq 1 300 > t/n && : > t/e
7zz a -bso0 -mhc=off -mtc=on plain.7z t && 7zz a -bso0 -mf=BCJ -psecret packed.7z t
)sh");
  const fs::path damaged = dir.path() / "damaged.7z";
  for (const char* seed : {"plain.7z", "packed.7z"}) {
    SCOPED_TRACE(seed);
    const std::string original = readFile(dir.path() / seed);
    ASSERT_TRUE(sevenzip::listSevenZipDirectly((dir.path() / seed).string()));
    const size_t headerStart = 32 + le64(original, 12);
    test::expectDirectReaderSurvivesDamage(
        sevenzip::listSevenZipDirectly, original, damaged, std::string_view("\xFF\x00\x80\x01", 4),
        [&](size_t at, const std::string& bytes, bool listed) {
          // Only the packed data lies outside the signature header's and the end header's CRCs
          // (and the version).
          if (bytes != original && (at < 6 || (at >= 8 && at < 32) || at >= headerStart)) {
            EXPECT_FALSE(listed) << "byte " << at;
          }
          if (at < headerStart) return;
          std::ofstream(damaged, std::ios::binary | std::ios::trunc) << withFittingCRCs(bytes);
          if (const std::optional<std::string> listing = sevenzip::listSevenZipDirectly(damaged.string())) {
            EXPECT_LE(listing->size(), 4096u) << "byte " << at << " with fitting CRCs";
          }
        });
  }
}

}  // namespace
}  // namespace tessaro
