// The in-process RAR header reader against the UnRAR library: for archives that `rar` makes at
// test time with every kind of entry and option, and for the RAR 4 samples, listing through
// either must give the same status, records, link targets, comment and encryption state; the
// table says which archives the reader places itself and which it leaves to the library.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "ArchiveHandlerRar.h"
#include "support/ScopedEnv.h"
#include "support/SuiteFixtures.h"
#include "support/TempDir.h"

namespace tessaro {
namespace {

namespace fs = std::filesystem;

constexpr const char* kMakeArchives = R"sh(
mkdir -p tree/sub/deep tree/empty-folder 'tree/ünïcødé 文件'
printf 'hello\n' > tree/a.txt
printf 'hello\n' > tree/same.txt
: > tree/empty
printf 'x%.0s' $(seq 1 3000) > tree/sub/deep/big.txt
head -c 200000 /dev/urandom > tree/rand
printf 'wide\n' > 'tree/ünïcødé 文件/ñame ✓.txt'
ln -s a.txt tree/link
ln -s sub/deep tree/folder-link
ln -s /etc/passwd tree/absolute-link
ln tree/a.txt tree/hard.txt
chmod 4755 tree/a.txt
touch -h -d '2021-03-04 05:06:07.123456789' tree/a.txt tree/link tree/sub/deep/big.txt
printf 'A comment\nover two lines' > comment.txt
rar a -idq -ol plain.rar tree
rar a -idq -oh -oi1 links.rar tree
rar a -idq -zcomment.txt comment.rar tree
rar a -idq -psecret data.rar tree
rar a -idq -hpsecret names.rar tree
rar a -idq -s solid.rar tree
rar a -idq -m0 -v60k vol.rar tree
rar a -idq -rr5% -qo+ -ow recovery.rar tree
rar a -idq -ts -htb times.rar tree
rar a -idq -tsm- nomtime.rar tree
(cd tree && rar a -idq ../folder.rar empty-folder empty)
# Damage the reader must leave to the library: a cut in the headers, and a changed header byte.
head -c 2000 plain.rar > cut.rar
python3 -c 'import sys; b = bytearray(open("plain.rar", "rb").read()); b[60] ^= 0x20; open("flipped.rar", "wb").write(b)'
)sh";

// One listing through one source of headers.
struct Listing {
  int32_t status = -99;
  std::vector<std::string> records;
  std::unordered_map<std::string, std::string> links;
  std::string comment;
  bool listingEncrypted = false;
};

class RarHeadersTest : public test::SuiteFixtures<RarHeadersTest> {
 public:
  static constexpr const char* kFixtureScript = kMakeArchives;

 protected:
  // Times as the library converts them depend on the zone: one with a half-hour offset.
  RarHeadersTest() { env_.set("TZ", "Asia/Kolkata"); }

  static Listing list(const std::string& path, AHandlerRar::HeaderSource source) {
    Listing listing;
    const auto handler = std::dynamic_pointer_cast<AHandlerRar>(AHandlerRar::metaclass().initWithURL(path));
    if (!handler) return listing;
    handler->setHeaderSource(source);
    listing.status = handler->getInfo(listing.records);
    listing.links = handler->linkTargets();
    listing.comment = handler->comment();
    listing.listingEncrypted = handler->isListingEncrypted();
    return listing;
  }

  test::IsolatedHome home_;
  test::ScopedEnv env_;
};

TEST_F(RarHeadersTest, TheReaderListsExactlyAsTheLibraryOrLeavesTheArchiveToIt) {
  const fs::path rar4 = fs::path(TESSARO_FIXTURES_DIR) / "rar4";
  const struct {
    std::string path;
    bool placed;
  } cases[] = {
      {fixture("plain.rar"), true},
      {fixture("links.rar"), true},
      {fixture("comment.rar"), true},
      {fixture("data.rar"), true},
      {fixture("names.rar"), false},
      {fixture("solid.rar"), true},
      {fixture("vol.part1.rar"), false},
      {fixture("recovery.rar"), true},
      {fixture("times.rar"), true},
      {fixture("nomtime.rar"), false},
      {fixture("folder.rar"), true},
      {fixture("cut.rar"), false},
      {fixture("flipped.rar"), false},
      {(rar4 / "test_read_format_rar.rar").string(), false},
      {(rar4 / "test_read_format_rar_unicode.rar").string(), false},
      {(rar4 / "test_read_format_rar_windows.rar").string(), false},
      {(rar4 / "test_read_format_rar_encryption_header.rar").string(), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const Listing library = list(c.path, AHandlerRar::HeaderSource::kLibrary);
    const Listing reader = list(c.path, AHandlerRar::HeaderSource::kInProcess);
    const Listing chosen = list(c.path, AHandlerRar::HeaderSource::kAny);
    EXPECT_EQ(reader.status == kStatusNotSupported, !c.placed) << reader.status;
    if (c.placed) {
      EXPECT_FALSE(library.records.empty());
      EXPECT_EQ(reader.records, library.records);
      EXPECT_EQ(reader.links, library.links);
      EXPECT_EQ(reader.comment, library.comment);
      EXPECT_EQ(reader.status, library.status);
    }
    EXPECT_EQ(chosen.status, library.status);
    EXPECT_EQ(chosen.records, library.records);
    EXPECT_EQ(chosen.links, library.links);
    EXPECT_EQ(chosen.comment, library.comment);
    EXPECT_EQ(chosen.listingEncrypted, library.listingEncrypted);
  }
}

}  // namespace
}  // namespace tessaro
