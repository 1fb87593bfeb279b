// What the preview header tells beyond the listing: volume sets made by rar, 7zz and zip with
// volumes removed, safety flags of crafted entries, the extraction verdict, solid and encryption.
#include "ArchiveFacts.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "HandlerStatus.h"
#include "ListingPipeline.h"
#include "ListingTree.h"
#include "ProcessGlobals.h"
#include "support/Processes.h"
#include "support/TempDir.h"

namespace tessaro {
namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

// ---- Names and paths

TEST(ArchiveFactsTest, RawPathsEarnAbsoluteAndParentFlags) {
  EXPECT_EQ(safetyFlagsOfPath("/etc/x"), kSafetyAbsolutePath);
  EXPECT_EQ(safetyFlagsOfPath("\\windows\\x"), kSafetyAbsolutePath);
  EXPECT_EQ(safetyFlagsOfPath("C:/boot.ini"), kSafetyAbsolutePath);
  EXPECT_EQ(safetyFlagsOfPath("../x"), kSafetyParentReference);
  EXPECT_EQ(safetyFlagsOfPath("a/b/../../../x"), kSafetyParentReference);
  EXPECT_EQ(safetyFlagsOfPath("a\\..\\x"), kSafetyParentReference);
  EXPECT_EQ(safetyFlagsOfPath("/../x"), kSafetyAbsolutePath | kSafetyParentReference);
  // Names that merely hold dots are fine.
  EXPECT_EQ(safetyFlagsOfPath("a/..b/c.."), 0);
  EXPECT_EQ(safetyFlagsOfPath("./a"), 0);
  EXPECT_EQ(safetyFlagsOfPath(""), 0);
  // Direction controls and invisible characters, anywhere in the path; joiners that scripts and
  // emoji sequences need, and other characters with the same lead bytes, are not flagged.
  for (const char* hidden :
       {"invoice\u202Efdp.exe", "a\u2066b/c", "dir\u200B/x", "\uFEFFx", "a\u061Cb", "x\u2060"})
    EXPECT_EQ(safetyFlagsOfPath(hidden), kSafetyHiddenCharacters) << hidden;
  for (const char* plain :
       {"a\u200Db", "\u0645\u200C\u06CC", "\u2014dash\u2019s", "\uFB01le", "\u0627\u0644"})
    EXPECT_EQ(safetyFlagsOfPath(plain), 0) << plain;
}

TEST(ArchiveFactsTest, LinksResolveFromTheirOwnFolder) {
  // "d/in" -> "../f" lands on the root's f. Going out and back in still went out on the way, and a
  // link whose own path climbs out lies outside whatever it names.
  const std::pair<const char*, const char*> inside[] = {
      {"d/in", "f"}, {"d/e/in", "../f"}, {"d/in", "../f"}, {"d/in", "./x/../../y"}, {"d/in", ""}};
  const std::pair<const char*, const char*> outside[] = {{"in", "../f"},
                                                         {"d/out", "../../etc/passwd"},
                                                         {"d/out", "/etc/passwd"},
                                                         {"d/out", "../../d/f"},
                                                         {"../d/x", "f"}};
  for (const auto& [link, target] : inside)
    EXPECT_FALSE(linkLeavesRoot(link, target)) << link << " " << target;
  for (const auto& [link, target] : outside)
    EXPECT_TRUE(linkLeavesRoot(link, target)) << link << " " << target;
}

TEST(ArchiveFactsTest, TreeFlagsDuplicatesDevicesRatiosAndLinkFields) {
  ListingTree tree;
  tree.addAll({
      "path=top/a\tattr=-rw-r--r--\tunco=10\tcomp=10",
      "path=top/a\tattr=-rw-r--r--\tunco=10\tcomp=10",  // the second record for a file
      "path=top/\tattr=drwxr-xr-x",                     // a folder record after its contents
      "path=top/sub/b\tattr=-rw-r--r--",                // makes top/sub on the way
      "path=top/sub\tattr=drwxr-xr-x",                  // ... which is no duplicate
      "path=top/tty\tattr=crw-rw-rw-",
      "path=top/disk\tattr=brw-rw----",
      "path=top/bomb\tattr=-rw-r--r--\tunco=1001001\tcomp=1000",
      "path=top/fine\tattr=-rw-r--r--\tunco=1000000\tcomp=1000",
      "path=top/solid\tattr=-rw-r--r--\tunco=1000000\tcomp=0",
      "path=top/up\tattr=lrwxrwxrwx\tlink=../../x",
      "path=top/in\tattr=lrwxrwxrwx\tlink=sub/b",
      "path=top/mapped\tattr=lrwxrwxrwx",
  });
  const auto& root = tree.finish();
  ArchiveFacts facts;
  collectTreeFacts(*root, facts);
  std::map<std::string, uint8_t> seen;
  for (const auto& item : root->collectDescendants())
    if (item->safetyFlags()) seen[std::string(item->path())] = item->safetyFlags();
  const std::map<std::string, uint8_t> expected{{"top/a", kSafetyDuplicatePath},
                                                {"top/tty", kSafetyDeviceFile},
                                                {"top/disk", kSafetyDeviceFile},
                                                {"top/bomb", kSafetyExtremeRatio},
                                                {"top/up", kSafetyOutwardLink}};
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(facts.flagCounts, (std::array<int64_t, kSafetyFlagCount>{0, 0, 1, 1, 2, 1}));
  EXPECT_EQ(facts.topLevelCount, 1);
  EXPECT_EQ(facts.singleFolder, "top");
}

// ---- Archives made by the real tools

class ArchiveFactsFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    savedHelpers_ = helpersPath();
    helpersPath() = TESSARO_TEST_HELPERS_DIR;
  }
  void TearDown() override { helpersPath() = savedHelpers_; }

  // Incompressible data, so that a few kilobytes make several volumes.
  void makeData() {
    test::shell(dir.path(), "mkdir -p in/set && head -c 150000 /dev/urandom > in/set/data.bin");
  }
  std::string at(const std::string& name) const { return (dir.path() / name).string(); }
  // The volume set `name` belongs to: "present ...; missing ...; last; not first", or "none".
  std::string set(const std::string& name) const {
    const auto found = volumeSetOf(at(name));
    if (!found) return "none";
    std::string text;
    for (const std::string& volume : found->present) text += (text.empty() ? "" : " ") + volume;
    for (size_t i = 0; i < found->missing.size(); ++i) text += (i ? " " : "; missing ") + found->missing[i];
    if (found->lastMissing) text += "; last";
    if (found->openedNotFirst) text += "; not first";
    return text;
  }
  // What the listing of `name` tells; its status and tree stay in `status` and `root`.
  ArchiveFacts factsOf(const std::string& name) {
    ArchiveFacts facts;
    status = getInfo(at(name), root, facts);
    return facts;
  }

  test::TempDir dir;
  AZipItem::Ptr root;
  int32_t status = -1;
  std::string savedHelpers_;
};

TEST_F(ArchiveFactsFixture, RarSetNamesGapsTheMissingLastVolumeAndALaterStart) {
  makeData();
  test::shell(dir.path(), "cd in && rar a -idq -m0 -v40k ../r.rar set >/dev/null");
  ASSERT_TRUE(fs::exists(at("r.part4.rar")));
  ASSERT_FALSE(fs::exists(at("r.part5.rar")));
  EXPECT_EQ(set("r.part1.rar"), "r.part1.rar r.part2.rar r.part3.rar r.part4.rar");
  fs::remove(at("r.part2.rar"));
  fs::remove(at("r.part4.rar"));
  // The gap from the names; part 4 only because part 3 says another volume follows. The page's
  // facts for such a set are checked in the preview page's suite.
  EXPECT_EQ(set("r.part3.rar"), "r.part1.rar r.part3.rar; missing r.part2.rar r.part4.rar; last; not first");
}

TEST_F(ArchiveFactsFixture, OldStyleRarVolumesCountFromTheRarFile) {
  makeData();
  // rar 7 writes only the partN names; the older names are given to the same volumes.
  test::shell(dir.path(),
              "cd in && rar a -idq -m0 -v40k ../o.rar set >/dev/null && cd .. && mv o.part1.rar o.rar && "
              "mv o.part2.rar o.r00 && mv o.part3.rar o.r01 && mv o.part4.rar o.r02 && rm o.r00");
  EXPECT_EQ(set("o.rar"), "o.rar o.r01 o.r02; missing o.r00");
}

TEST_F(ArchiveFactsFixture, SevenZipSplitKnowsItsTotalSize) {
  makeData();
  test::shell(dir.path(), "cd in && 7zz a -bd -mx0 -v40k ../s.7z set >/dev/null && cd .. && rm s.7z.004");
  ASSERT_FALSE(fs::exists(at("s.7z.005")));
  EXPECT_EQ(set("s.7z.001"), "s.7z.001 s.7z.002 s.7z.003; missing s.7z.004; last");
  // The packed size the header shows is that of every present piece.
  EXPECT_EQ(volumeSetOf(at("s.7z.001"))->presentBytes,
            static_cast<int64_t>(fs::file_size(at("s.7z.001")) + fs::file_size(at("s.7z.002")) +
                                 fs::file_size(at("s.7z.003"))));
  // With a gap the sizes prove nothing about the end; only the gap is named.
  fs::remove(at("s.7z.002"));
  EXPECT_EQ(set("s.7z.003"), "s.7z.001 s.7z.003; missing s.7z.002; not first");
}

TEST_F(ArchiveFactsFixture, ZipSplitCountsFromTheDirectoryVolume) {
  makeData();
  test::shell(dir.path(), "cd in && zip -q -0 -r -s 64k ../z.zip set");
  EXPECT_EQ(set("z.zip"), "z.z01 z.z02 z.zip");
  fs::remove(at("z.z02"));
  EXPECT_EQ(set("z.zip"), "z.z01 z.zip; missing z.z02");
  fs::remove(at("z.zip"));
  EXPECT_EQ(set("z.z01"), "z.z01; missing z.zip; last");
}

TEST_F(ArchiveFactsFixture, SingleArchivesStrayNamesAndHostileFilesAreNoSetOrEndQuietly) {
  makeData();
  test::shell(
      dir.path(),
      "cd in && rar a -idq ../one.rar set >/dev/null && zip -qr ../one.zip set && cd .. && "
      "printf x > notes.001 && printf x > r.part1.rar.txt && head -c 70000 /dev/urandom > junk.zip && "
      "printf 'PK\\005\\006' > tiny.zip && : > empty.part1.rar && : > empty.part2.rar && "
      "printf '7z\\274\\257\\047\\034' > h.001 && cp h.001 h.002 && "
      "head -c 1000 /dev/urandom > bad.part1.rar && head -c 1000 /dev/urandom > bad.part2.rar");
  for (const char* name : {"one.rar", "one.zip", "notes.001", "plain.tar"})
    EXPECT_EQ(set(name), "none") << name;
  // Damaged, empty and truncated volumes say nothing about their end.
  EXPECT_EQ(set("bad.part1.rar"), "bad.part1.rar bad.part2.rar");
  EXPECT_EQ(set("empty.part2.rar"), "empty.part1.rar empty.part2.rar; not first");
  EXPECT_EQ(set("h.001"), "h.001 h.002");
  for (const char* name : {"junk.zip", "tiny.zip", "absent.zip"})
    EXPECT_TRUE(zipLinkTargets(at(name)).empty()) << name;
}

TEST_F(ArchiveFactsFixture, CraftedZipIsListedWithEveryWarning) {
  test::shell(dir.path(), R"(python3 - <<'EOF'
import zipfile, warnings
warnings.simplefilter('ignore')
with zipfile.ZipFile('evil.zip', 'w') as z:
    z.writestr('top/ok.txt', 'fine')
    z.writestr('../x', 'up')
    z.writestr('/etc/x', 'abs')
    z.writestr('top/dup.txt', 'one')
    z.writestr('top/dup.txt', 'two')
    for name, target, method in [('top/out', '../../etc/passwd', zipfile.ZIP_STORED),
                                 ('top/far', '../' * 40 + 'x', zipfile.ZIP_DEFLATED),
                                 ('top/in', 'ok.txt', zipfile.ZIP_STORED)]:
        i = zipfile.ZipInfo(name)
        i.create_system = 3
        i.external_attr = 0o120777 << 16
        i.compress_type = method
        z.writestr(i, target)
    z.writestr('top/zeros', b'\0' * 5000000, compress_type=zipfile.ZIP_DEFLATED)
    z.comment = b'made <here> %table_data%'
EOF)");
  const auto links = zipLinkTargets(at("evil.zip"));
  EXPECT_EQ(links.size(), 3u);
  std::string far;
  for (int i = 0; i < 40; ++i) far += "../";
  EXPECT_EQ(links.at("top/far"), far + "x");

  const ArchiveFacts facts = factsOf("evil.zip");
  ASSERT_EQ(status, kStatusOK);
  EXPECT_EQ(facts.flagCounts, (std::array<int64_t, kSafetyFlagCount>{1, 1, 2, 1, 0, 1}));
  EXPECT_EQ(facts.comment, "made <here> %table_data%");
  EXPECT_FALSE(facts.solid);
  EXPECT_EQ(facts.encryption, EncryptionLevel::none);
  EXPECT_FALSE(facts.volumes);
  // top, .., /etc
  EXPECT_EQ(facts.topLevelCount, 3);
  EXPECT_FALSE(facts.singleFolder);
}

TEST_F(ArchiveFactsFixture, TarBombAndSingleFolderVerdicts) {
  test::shell(dir.path(),
              "mkdir -p one/pkg loose && echo a > one/pkg/a && echo b > loose/a && echo c > loose/b && "
              "echo d > loose/c && tar -C one -cf one.tar pkg && tar -C loose -cf bomb.tar a b c");
  const ArchiveFacts one = factsOf("one.tar");
  ASSERT_EQ(status, kStatusOK);
  EXPECT_EQ(one.singleFolder, "pkg");
  EXPECT_EQ(one.topLevelCount, 1);
  const ArchiveFacts bomb = factsOf("bomb.tar");
  ASSERT_EQ(status, kStatusOK);
  EXPECT_FALSE(bomb.singleFolder);
  EXPECT_EQ(bomb.topLevelCount, 3);
  EXPECT_EQ(bomb.flagCounts, (std::array<int64_t, kSafetyFlagCount>{}));
}

// Tar's listing names each link's target, which the records leave out; the handler keeps them
// for judging, compressed or not, also for a name with " -> " of its own.
TEST_F(ArchiveFactsFixture, TarLinksAreJudgedByTheTargetsTarPrints) {
  test::shell(dir.path(),
              R"(mkdir -p t/top/sub && cd t && echo x > top/ok && ln -s ../../etc/passwd top/out &&
ln -s ../ok top/sub/in && ln -s /etc top/abs && ln -s ../../ok 'top/a -> b' &&
tar --sort=name -cf ../links.tar top && tar --sort=name -czf ../links.tgz top)");
  for (const char* name : {"links.tar", "links.tgz"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(factsOf(name).flagCounts[2], 3);
    ASSERT_EQ(status, kStatusOK);
    std::string flagged;
    for (const auto& item : root->collectDescendants())
      if (item->safetyFlags() & kSafetyOutwardLink) flagged += std::string(item->path()) + "|";
    EXPECT_EQ(flagged, "top/a -> b|top/abs|top/out|");
  }
  // RAR 5 keeps links as links (-ol), their targets in the headers.
  test::shell(dir.path(), "cd t && rar a -idq -ol ../links.rar top >/dev/null");
  EXPECT_EQ(factsOf("links.rar").flagCounts[2], 3);
  EXPECT_EQ(status, kStatusOK);
}

TEST_F(ArchiveFactsFixture, SolidAndEncryptionLevelsFromTheHandler) {
  makeData();
  test::shell(
      dir.path(),
      "cd in && echo x > set/small && 7zz a -bd -ms=on ../solid.7z set >/dev/null && "
      "7zz a -bd -pabc ../contents.7z set >/dev/null && 7zz a -bd -pabc -mhe=on ../names.7z set >/dev/null");
  const ArchiveFacts solid = factsOf("solid.7z");
  EXPECT_TRUE(solid.solid);
  EXPECT_EQ(solid.encryption, EncryptionLevel::none);
  EXPECT_EQ(factsOf("contents.7z").encryption, EncryptionLevel::contents);
  EXPECT_EQ(factsOf("names.7z").encryption, EncryptionLevel::names);
  EXPECT_EQ(status, kStatusListingEncrypted);
}

}  // namespace
}  // namespace tessaro
