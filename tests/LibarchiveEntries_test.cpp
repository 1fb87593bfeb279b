// The libarchive listing of cpio archives and Debian packages against lsar's listing of the same
// files, value by value through every XADArchive operation the handlers read; and the archives
// it must leave to lsar (odd names, damage, AppleDouble files it cannot predict).
#include "xad/LibarchiveEntries.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "support/Processes.h"
#include "support/SuiteFixtures.h"
#include "support/TempDir.h"
#include "xad/XADArchive.h"

namespace tessaro {
namespace {

namespace fs = std::filesystem;
using test::shell;

constexpr unsigned kMtime = 1588328433;  // 2020-05-01 10:20:33 UTC

// One newc member written by hand, so that names and fields cpio itself would refuse can be stored.
std::string newcMember(const std::string& name, const std::string& data, unsigned mode = 0100644,
                       unsigned mtime = kMtime) {
  char header[111];
  std::snprintf(header, sizeof header, "070701%08X%08X%08X%08X%08X%08X%08zX%08X%08X%08X%08X%08zX%08X", 1u,
                mode, 0u, 0u, 1u, mtime, data.size(), 0u, 0u, 0u, 0u, name.size() + 1, 0u);
  std::string member(header, 110);
  member += name;
  member += '\0';
  member.append((4 - member.size() % 4) % 4, '\0');
  member += data;
  member.append((4 - member.size() % 4) % 4, '\0');
  return member;
}

std::string newcArchive(const std::vector<std::string>& members) {
  std::string archive;
  for (const std::string& m : members) archive += m;
  return archive + newcMember("TRAILER!!!", "", 0);
}

// AppleDouble header with the given (id, offset, length) entries, followed by `tail`.
std::string appleDouble(const std::vector<std::array<uint32_t, 3>>& entries, const std::string& tail) {
  std::string out("\x00\x05\x16\x07\x00\x02\x00\x00Mac OS X        ", 24);
  out += static_cast<char>(entries.size() >> 8);
  out += static_cast<char>(entries.size() & 0xFF);
  for (const auto& e : entries)
    for (uint32_t v : e)
      for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((v >> shift) & 0xFF);
  return out + tail;
}

// Every value the handlers can read from an archive, one line per entry.
std::string dump(const XADArchive* archive) {
  if (!archive) return "(none)";
  std::string out = "encrypted=" + std::to_string(archive->isEncrypted()) + "\n";
  for (int n = 0; n < archive->numberOfEntries(); ++n) {
    out += archive->nameOfEntry(n) + " dir=" + std::to_string(archive->entryIsDirectory(n)) +
           " enc=" + std::to_string(archive->entryIsEncrypted(n)) +
           " rsrc=" + std::to_string(archive->entryHasResourceFork(n)) + "\n";
    out += PropertyList(archive->attributesOfEntry(n)).toXml();
    out += PropertyList(archive->combinedParserDictionaryForEntry(n)).toXml();
    out += PropertyList(archive->resourceForkParserDictionaryForEntry(n)).toXml();
  }
  return out;
}

std::string listed(const fs::path& path, bool recursive, XADLister lister) {
  return dump((recursive ? XADArchive::recursiveArchiveForFile(path, {}, lister)
                         : XADArchive::initWithFile(path, {}, lister))
                  .get());
}

std::string viaLsar(const fs::path& path, bool recursive) {
  return listed(path, recursive, XADLister::lsarOnly);
}

std::string asOpened(const fs::path& path, bool recursive) {
  return listed(path, recursive, XADLister::preferLibarchive);
}

bool readByLibarchive(const fs::path& path, bool recursive) {
  XADArchive::Listing listing;
  const bool listed = listWithLibarchive(path, recursive, {}, listing);
  EXPECT_EQ(listed, !listing.forks.empty());
  EXPECT_EQ(listing.forks.size(), listing.isResourceFork.size());
  return listed;
}

// A tree holding what cpio headers and lsar's AppleDouble pairing make differ: a folder, hard
// and symbolic links, a fifo, an empty file, odd sizes against the header formats' padding, and
// "._" files that are resource forks (with data fork, Finder info only, in a
// folder, without their file) or are not (plain text, a cut table, Finder info past the end,
// empty, a folder).
constexpr const char* kMakeFixtures = R"sh(
mkdir -p tree/sub tree/._dir deb/DEBIAN deb/usr/share/doc/x
printf 'hello\n' > tree/sub/a.txt
printf 'data' > tree/b
printf 'x' > tree/odd
: > tree/empty
H='\000\005\026\007\000\002\000\000Mac OS X        '
printf "$H"'\000\001\000\000\000\002\000\000\000\046\000\000\000\010FORKDATA' > tree/._b
printf "$H"'\000\001\000\000\000\011\000\000\000\046\000\000\000\040ABCDEFGHIJKLMNOPQRSTUVWXYZ012345' > tree/._odd
printf "$H"'\000\001\000\000\000\002\000\000\000\046\000\000\000\003RSC' > tree/sub/._a.txt
printf "$H"'\000\001\000\000\000\002\000\000\000\046\000\000\000\010FORKDATA' > tree/._orphan
printf 'plain text, not AppleDouble' > tree/._text
printf "$H"'\000\003\000\000\000\002' > tree/._cut
printf "$H"'\000\001\000\000\000\011\000\000\001\000\000\000\000\040' > tree/._beyond
printf 'z' > tree/cut
printf 'z' > tree/beyond
: > tree/._empty
ln -s b tree/link
ln tree/b tree/hard
mkfifo tree/fifo
find tree deb -exec touch -h -d @1588328433 {} +
for f in newc odc crc bin; do
  (cd tree && find . -mindepth 1 | LC_ALL=C sort | cpio --quiet -o -H $f > ../$f.cpio)
done
# Data forks before their "._" files, and the "." folder entry.
(cd tree && find . | LC_ALL=C sort -r | cpio --quiet -o -H newc > ../reversed.cpio)
gzip -9nc newc.cpio > x.cpgz
printf 'Package: x\nVersion: 1.0\nArchitecture: all\nMaintainer: t <t@example.org>\nDescription: t\n' > deb/DEBIAN/control
printf 'doc\n' > deb/usr/share/doc/x/README
touch -d @1588328433 deb/DEBIAN/control deb/usr/share/doc/x/README
for z in none gzip xz; do
  SOURCE_DATE_EPOCH=1588328433 dpkg-deb --root-owner-group -Z$z --build deb $z.deb > /dev/null
done
)sh";

class LibarchiveEntriesTest : public test::SuiteFixtures<LibarchiveEntriesTest> {
 public:
  static constexpr const char* kFixtureScript = kMakeFixtures;

 protected:
  static fs::path fixture(const char* name) { return fixtures().path() / name; }

  test::TempDir dir_;
};

TEST_F(LibarchiveEntriesTest, ListsCpioAndDebianPackagesExactlyAsLsar) {
  for (const char* name :
       {"newc.cpio", "odc.cpio", "crc.cpio", "bin.cpio", "reversed.cpio", "none.deb", "gzip.deb", "xz.deb"}) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(readByLibarchive(fixture(name), false));
    const std::string expected = viaLsar(fixture(name), false);
    ASSERT_NE(expected, "(none)");
    EXPECT_EQ(asOpened(fixture(name), false), expected);
  }
  // Opened to unwrap, a cpio stays itself and a cpgz is the cpio inside; opened as it is, a cpgz
  // is the one gzip entry lsar reports.
  for (const char* name : {"newc.cpio", "x.cpgz"}) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(readByLibarchive(fixture(name), true));
    EXPECT_EQ(asOpened(fixture(name), true), viaLsar(fixture(name), true));
  }
  EXPECT_EQ(asOpened(fixture("x.cpgz"), true), asOpened(fixture("newc.cpio"), false));
  EXPECT_FALSE(readByLibarchive(fixture("x.cpgz"), false));
  EXPECT_EQ(asOpened(fixture("x.cpgz"), false), viaLsar(fixture("x.cpgz"), false));

  // The fixture does pair forks: b (data and resource fork), odd (Finder info only, an empty
  // fork), sub/a.txt and the lone orphan.
  const auto archive = XADArchive::initWithFile(fixture("newc.cpio"));
  ASSERT_TRUE(archive);
  std::vector<std::string> withFork;
  for (int n = 0; n < archive->numberOfEntries(); ++n)
    if (archive->entryHasResourceFork(n)) withFork.push_back(archive->nameOfEntry(n));
  EXPECT_EQ(withFork, (std::vector<std::string>{"b", "odd", "orphan", "sub/a.txt"}));
}

// Whatever libarchive declines, lsar answers, so the two ways always agree, failures included.
TEST_F(LibarchiveEntriesTest, LeavesWhatItCannotPredictToLsar) {
  const std::string ok = newcMember("ok", "fine");
  struct Case {
    const char* file;
    std::string bytes;
  };
  std::vector<Case> cases{
      {"dot-slash.cpio", newcArchive({newcMember("./a", "x"), ok})},
      {"double-slash.cpio", newcArchive({newcMember("a//b", "x"), ok})},
      {"trailing-slash.cpio", newcArchive({newcMember("d/", "", 040755), ok})},
      {"absolute.cpio", newcArchive({newcMember("/abs", "x"), ok})},
      {"parent.cpio", newcArchive({newcMember("../up", "x"), ok})},
      {"latin1.cpio", newcArchive({newcMember("caf\xE9", "x"), ok})},
      // lsar reads these as UTF-8 only among enough other UTF-8 names: alone, the emoji is
      // taken for Shift_JIS and comes out escaped.
      {"utf8.cpio", newcArchive({newcMember("\xC3\xA9t\xC3\xA9", "x"), ok})},
      {"emoji.cpio", newcArchive({newcMember("\xF0\x9F\x98\x80.txt", "x")})},
      {"control.cpio", newcArchive({newcMember("a\x01", "x"), ok})},
      {"after-2038.cpio", newcArchive({newcMember("late", "x", 0100644, 0xFFFFFFF0u), ok})},
      {"fork-of-dot.cpio", newcArchive({newcMember("._.", appleDouble({{2, 38, 1}}, "R")), ok})},
      {"attributes.cpio",
       newcArchive({newcMember("._ok", appleDouble({{9, 38, 60}},
                                                   std::string(34, 'F') + "ATTR" + std::string(22, 'a'))),
                    ok})},
      {"trailer-only.cpio", newcArchive({})},
      {"junk.cpio", "070701" + std::string(300, 'Z')},
      {"not-a-deb.deb", "!<arch>\nfile.o/         1588328433  0     0     100644  4         `\nabcd"},
      {"empty.cpio", ""},
  };
  // Name and data sizes far beyond the file.
  std::string huge = newcMember("n", "x");
  huge.replace(94, 8, "FFFFFFF0");
  cases.push_back({"huge-name.cpio", newcArchive({huge})});
  huge = newcMember("n", "x");
  huge.replace(54, 8, "FFFFFFF0");
  cases.push_back({"huge-data.cpio", newcArchive({huge})});
  // Cut anywhere: in a header, in a name, in data, in the trailer.
  const std::string whole = newcArchive({newcMember("a", "12345"), newcMember("dir/b", "xyz")});
  for (size_t cut : {size_t{3}, size_t{60}, size_t{113}, size_t{120}, size_t{240}, whole.size() - 20})
    cases.push_back({"cut.cpio", whole.substr(0, cut)});

  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.file) + " (" + std::to_string(c.bytes.size()) + " bytes)");
    const fs::path path = dir_.write(c.file, c.bytes);
    EXPECT_FALSE(readByLibarchive(path, false));
    EXPECT_EQ(asOpened(path, false), viaLsar(path, false));
  }
  // A gzipped cpio of one entry might be unwrapped once more by lsar.
  shell(dir_.path(), "printf 'one' > one && echo one | cpio --quiet -o -H newc | gzip -c > one.cpgz");
  EXPECT_FALSE(readByLibarchive(dir_.path() / "one.cpgz", true));
  EXPECT_TRUE(test::noChildrenLeft());
}

// AppleDouble files whose reading is predicted, each beside its data fork, against lsar.
TEST_F(LibarchiveEntriesTest, PairsAppleDoubleFilesAsLsarDoes) {
  const std::vector<std::string> members{
      // The last of two resource fork entries counts; where it points is not checked.
      newcMember("._two", appleDouble({{2, 62, 4}, {2, 66, 2}, {9, 0, 0}}, "RSRCXX")), newcMember("two", "2"),
      newcMember("._far", appleDouble({{2, 5000, 70000}}, "")), newcMember("far", "f"),
      // Finder info shorter and longer than its usual 32 bytes, without attributes.
      newcMember("._short", appleDouble({{9, 38, 16}}, std::string(16, 'F'))), newcMember("short", "s"),
      newcMember("._long", appleDouble({{9, 38, 40}}, std::string(40, 'F'))), newcMember("long", "l"),
      // Neither fork nor Finder info, no entries, the wrong version.
      newcMember("._none", appleDouble({{3, 38, 4}}, "NAME")), newcMember("none", "n"),
      newcMember("._zero", appleDouble({}, "")), newcMember("zero", "z"),
      newcMember("._v1", std::string("\x00\x05\x16\x07\x00\x01\x00\x00", 8) + std::string(40, ' ')),
      newcMember("v1", "v"),
      // Two "._" files for one name.
      newcMember("._dup", appleDouble({{2, 38, 1}}, "D")), newcMember("dup", "d"),
      newcMember("._dup", appleDouble({{2, 38, 1}}, "E"))};
  const fs::path path = dir_.write("forks.cpio", newcArchive(members));
  EXPECT_TRUE(readByLibarchive(path, false));
  EXPECT_EQ(asOpened(path, false), viaLsar(path, false));
}

}  // namespace
}  // namespace tessaro
