// The 7-Zip family and split volumes, listed through getInfo from archives that Info-ZIP zip,
// 7zz, genisoimage, gcab, split, rpmbuild, chmcmd, wimlib-imagex, arj, makensis and mkfs.hfsplus
// make at test time, and from the disk-image samples; qlhost previews the tool-made ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "ArchiveHandler7z.h"
#include "ArchiveHandlerSplit.h"
#include "HandlerRegistry.h"
#include "ListingPipeline.h"
#include "ProcessGlobals.h"
#include "process/Subprocess.h"
#include "support/Files.h"
#include "support/Golden.h"
#include "support/ScopedEnv.h"
#include "support/SuiteFixtures.h"
#include "support/TempDir.h"
#include "support/TreeDump.h"
#include "support/Processes.h"

namespace tessaro {
namespace {

using test::noChildrenLeft;
using test::shell;

namespace fs = std::filesystem;

// Every date is 2020-05-01 10:20:32 UTC (even, so that zip's two-second times keep it).
constexpr const char* kMakeFixtures = R"sh(
mkdir -p tree/sub
printf 'hello\n' > tree/a.txt
printf 'x' > tree/sub/b.bin
chmod 755 tree tree/sub; chmod 644 tree/a.txt; chmod 600 tree/sub/b.bin
find tree -exec touch -d @1588328432 {} +
printf 'Hello\nWorld' | zip -q -r -X -z comment.zip tree
zip -q -r -X -P secret zipcrypto.zip tree
7zz a -bso0 -bsp0 -tzip -psecret -mem=AES256 aes.zip tree
7zz a -bso0 -bsp0 -tzip -spf absolute.zip "$PWD/tree/a.txt"
mkdir -p mac/__MACOSX/tree && cp -rp tree mac/ && printf 'AppleDouble' > mac/__MACOSX/tree/._a.txt
touch -d @1588328432 mac/__MACOSX/tree/._a.txt mac/__MACOSX/tree mac/__MACOSX
(cd mac && zip -q -r -X ../macosx.zip tree __MACOSX)
printf 'PK\005\006\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000' > empty.zip
7zz a -bso0 -bsp0 -t7z -ms=off plain.7z tree
7zz a -bso0 -bsp0 -t7z -ms=on solid.7z tree
7zz a -bso0 -bsp0 -t7z -ms=on -spf solidabsolute.7z "$PWD/tree/a.txt" "$PWD/tree/sub/b.bin"
7zz a -bso0 -bsp0 -t7z -ms=off -psecret cryptdata.7z tree
7zz a -bso0 -bsp0 -t7z -psecret -mhe=on cryptheaders.7z tree
genisoimage -quiet -J -R -o tree.iso tree
gcab -c tree.cab tree/a.txt tree/sub/b.bin
# Numbered from 1, as renaming split's 000, 001, ... one up would give.
cp comment.zip set.zip && split -b 200 --numeric-suffixes=1 -a 3 set.zip set.zip. && rm set.zip
7zz a -bso0 -bsp0 -tzip -v300 volumes.zip tree
seq 1 1000 > movie.mkv && split -b 1500 --numeric-suffixes=1 -a 3 movie.mkv movie.mkv. && rm movie.mkv
mkdir gap && printf 1 > gap/g.bin.001 && printf 2 > gap/g.bin.002 && printf 4 > gap/g.bin.004
head -c 150 comment.zip > truncated.zip
head -c 65536 /dev/urandom > big.bin && 7zz a -bso0 -bsp0 -t7z -mx=0 big.7z big.bin && head -c 30000 big.7z > truncated.7z
mkdir -p rpm && cat > rpm/sample.rpmbuild <<'EOF'
Name: tessaro-sample
Version: 1.0
Release: 1
Summary: sample
License: MIT
BuildArch: noarch
%description
sample
%install
mkdir -p %{buildroot}/usr/share/tessaro-sample
echo hi > %{buildroot}/usr/share/tessaro-sample/a.txt
%files
/usr/share/tessaro-sample/a.txt
EOF
rpmbuild -bb --quiet --define "_topdir $PWD/rpm" rpm/sample.rpmbuild
cp rpm/RPMS/noarch/tessaro-sample-1.0-1.noarch.rpm .
touch -d @1588328432 tessaro-sample-1.0-1.noarch.rpm
)sh";

class SevenZipHandlerTest : public test::SuiteFixtures<SevenZipHandlerTest> {
 public:
  static constexpr const char* kFixtureScript = kMakeFixtures;

 protected:
  SevenZipHandlerTest() {
    env_.set("TZ", "UTC");
    savedHelpers_ = helpersPath();
    helpersPath() = TESSARO_TEST_HELPERS_DIR;
  }
  ~SevenZipHandlerTest() override {
    helpersPath() = savedHelpers_;
    EXPECT_TRUE(noChildrenLeft());
    // The pipeline's temporary folder is gone however the listing ended.
    const char* temp = std::getenv("TMPDIR");
    if (temp && fs::exists(temp)) {
      EXPECT_TRUE(fs::is_empty(temp));
    }
  }

  // Lists through the pipeline and returns the printed tree with its lines sorted (children keep
  // the archive's order, which differs between tools), or the status when it is not 0.
  static std::string listing(const std::string& path) {
    AZipItem::Ptr root;
    const int32_t status = getInfo(path, root);
    if (status != 0) return "status " + std::to_string(status);
    if (!root) return "no root";
    std::vector<std::string> lines;
    std::istringstream dump(test::dumpTree(*root, true));
    for (std::string line; std::getline(dump, line);) lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    std::string sorted;
    for (const std::string& line : lines) sorted += line + "\n";
    return sorted;
  }

  // The handler's own lines, with the result.
  static std::vector<std::string> lines(ArchiveHandler& handler, int32_t* status) {
    std::vector<std::string> out;
    *status = handler.getInfo(out);
    return out;
  }

  // Only the listing records among the lines.
  static std::vector<std::string> recordsOnly(const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    for (const std::string& line : lines)
      if (line.starts_with("path=") && line.find('\t') != std::string::npos) out.push_back(line);
    return out;
  }

  static std::shared_ptr<ArchiveHandler> open(const HandlerClass& handlerClass, const std::string& name) {
    std::shared_ptr<ArchiveHandler> handler = handlerClass.initWithURL(fixture(name));
    EXPECT_TRUE(handler) << name;
    return handler;
  }

  test::IsolatedHome home_;
  test::ScopedEnv env_;
  std::string savedHelpers_;
};

// "path method" of every entry the handler marks encrypted, sorted.
std::string encryptedEntries(ArchiveHandler& handler, const std::vector<std::string>& records) {
  std::vector<std::string> encrypted;
  for (const std::string& record : records) {
    AZipItem::Ptr item = AZipItem::create();
    item->initWithString(record);
    if (handler.isItemEncrypted(*item))
      encrypted.push_back(std::string(item->path()) + " " +
                          std::to_string(handler.itemEncryptionMethod(*item)));
  }
  std::sort(encrypted.begin(), encrypted.end());
  std::string text;
  for (const std::string& line : encrypted) text += line + "\n";
  return text;
}

// What the handler's own listing says about each archive as a whole and which entries it locks.
TEST_F(SevenZipHandlerTest, ListingsMarkSolidAbsoluteAndEncryptedArchivesAndEntries) {
  struct Case {
    const HandlerClass* handlerClass;
    const char* name;
    int32_t status;
    size_t records;
    bool solid, absolute, listingEncrypted;
    const char* encrypted;
  };
  const HandlerClass* zip = &AHandlerZip::metaclass();
  const HandlerClass* sevenZip = &AHandler7zip::metaclass();
  // Encrypted entries are the files only: folders carry no data. In a solid archive "Solid=+"
  // comes first and ends the scan for absolute paths before any entry is seen. Hidden names and
  // a zip without entries both read as an encrypted listing.
  const Case cases[] = {
      {zip, "comment.zip", 0, 4, false, false, false, ""},
      {zip, "zipcrypto.zip", 0, 4, false, false, false, "tree/a.txt 1\ntree/sub/b.bin 1\n"},
      {zip, "aes.zip", 0, 4, false, false, false, "tree/a.txt 2\ntree/sub/b.bin 2\n"},
      {sevenZip, "cryptdata.7z", 0, 4, false, false, false, "tree/a.txt 2\ntree/sub/b.bin 2\n"},
      {zip, "absolute.zip", 0, 1, false, true, false, ""},
      {sevenZip, "plain.7z", 0, 4, false, false, false, ""},
      {sevenZip, "solid.7z", 0, 4, true, false, false, ""},
      {sevenZip, "solidabsolute.7z", 0, 2, true, false, false, ""},
      {sevenZip, "cryptheaders.7z", 100, 0, false, false, true, ""},
      {zip, "empty.zip", 100, 0, false, false, true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto handler = open(*c.handlerClass, c.name);
    int32_t status = -1;
    const std::vector<std::string> records = recordsOnly(lines(*handler, &status));
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(records.size(), c.records);
    EXPECT_EQ(handler->isSolid(), c.solid);
    EXPECT_EQ(handler->containsAbsolutePaths(), c.absolute);
    EXPECT_EQ(handler->isListingEncrypted(), c.listingEncrypted);
    EXPECT_EQ(encryptedEntries(*handler, records), c.encrypted);
    if (c.status != 0) {
      EXPECT_EQ(listing(fixture(c.name)), "status " + std::to_string(c.status));
    }
  }
  // As stored: Info-ZIP ends the comment's lines with CR LF, which the listing shows as LF.
  int32_t status = -1;
  auto commented = open(AHandlerZip::metaclass(), "comment.zip");
  lines(*commented, &status);
  EXPECT_EQ(commented->comment(), "Hello\r\nWorld");
  const std::vector<std::string> solid = recordsOnly(lines(*open(*sevenZip, "solidabsolute.7z"), &status));
  ASSERT_FALSE(solid.empty());
  EXPECT_TRUE(solid[0].starts_with("path=" + fixture("tree/a.txt") + "\t")) << solid[0];
  EXPECT_TRUE(lines(*open(*sevenZip, "cryptheaders.7z"), &status).empty());
}

// The pipeline's tree of archives the 7z helper reads, sorted, one after another: a zip, its
// pieces cut by split (a split set for the zip handler), a zip with Mac metadata, an ISO image,
// a cabinet (no per-file packed size, and no entries of its own for its folders), split pieces
// of a plain file (listed as the joined file). The rpm is one compressed payload named after the
// package.
TEST_F(SevenZipHandlerTest, PipelineTreesOfEveryFamily) {
  std::string all;
  for (const std::string& path : {fixture("comment.zip"), fixture("set.zip.001"), fixture("macosx.zip"),
                                  fixture("tree.iso"), fixture("tree.cab"), fixture("movie.mkv.001"),
                                  std::string(TESSARO_DMG_FIXTURES) + "/compression-zlib.dmg",
                                  std::string(TESSARO_DMG_FIXTURES) + "/gpt.dmg"})
    all += "== " + fs::path(path).filename().string() + "\n" + listing(path);
  test::expectGolden("sevenzip-trees.txt", all);
  const std::string rpm = "tessaro-sample-1.0-1.noarch.rpm";
  EXPECT_EQ(listing(fixture(rpm)),
            "tessaro-sample-1.0-1.noarch.cpio.gz unco=" + std::to_string(fs::file_size(fixture(rpm))) +
                " comp=-1 attr=-rw-r--r-- perm=644 time=2020-05-01T10:20:32Z\n");
  // Volumes written by 7zz list too.
  EXPECT_EQ(listing(fixture("volumes.zip.001")).find("status"), std::string::npos);
  auto set = open(AHandlerZip::metaclass(), "set.zip.001");
  int32_t status = -1;
  lines(*set, &status);
  // The cut at 200 bytes goes through the end record: the comment is the listing's text.
  EXPECT_EQ(set->comment(), "Hello\nWorld");
  EXPECT_EQ(set->parts().size(), 3u);
  // A gap ends the set; the helper cannot join what is missing, and the result stays 0.
  auto gap = open(AHandlerSplit::metaclass(), "gap/g.bin.001");
  lines(*gap, &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(gap->parts().size(), 2u);
}

TEST_F(SevenZipHandlerTest, DamagedArchivesEndWithTheirStatusAndLeaveNothingBehind) {
  // The entries before the damage are listed, and 7zz's error status is the result.
  EXPECT_EQ(listing(fixture("truncated.zip")), "status 2");
  auto zip = open(AHandlerZip::metaclass(), "truncated.zip");
  int32_t status = -1;
  EXPECT_EQ(recordsOnly(lines(*zip, &status)).size(), 3u);
  EXPECT_EQ(status, 2);
  EXPECT_EQ(zip->listingProblem(), ListingProblem::endsEarly);
  // A 7z archive whose headers are cut off yields no entry at all, and a file that only claims
  // to be an archive none either: both are damaged, not enciphered.
  EXPECT_EQ(listing(fixture("truncated.7z")), "status 2");
  const std::string fake = (home_.dir().path() / "fake.7z").string();
  std::ofstream(fake) << "7z\xBC\xAF\x27\x1C garbage";
  EXPECT_EQ(listing(fake), "status 2");
  auto notAnArchive = AHandler7zip::metaclass().initWithURL(fake);
  ASSERT_TRUE(notAnArchive);
  lines(*notAnArchive, &status);
  EXPECT_FALSE(notAnArchive->isListingEncrypted());
  EXPECT_NE(notAnArchive->listingProblem(), ListingProblem::none);
}

TEST_F(SevenZipHandlerTest, ConflictingPartsAreTheNumberedFilesBesideTheArchive) {
  test::TempDir dir;
  for (const char* name :
       {"set.zip", "set.zip.001", "set.zip.002", "set.zip.abc", "set.zip.000", "other.zip.001"})
    dir.write(name, "x");
  auto handler = AHandlerZip::metaclass().initWithURL((dir.path() / "set.zip").string());
  ASSERT_TRUE(handler);
  std::vector<std::string> names = handler->possiblyConflictingParts().value_or(std::vector<std::string>{});
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"set.zip.001", "set.zip.002"}));
}

// Formats 7zz reads but only other tools write: each made by its own tool when that is installed.
struct ToolFixture {
  const char* tool;
  const char* name;
  const char* script;
  std::string_view handlerClass;
  // Lines that must be among those of the tree the pipeline prints; the first one is looked for
  // in the preview page.
  std::vector<std::string> entries;
  // The registry knows an installer only by a header at its very start, which an .exe never has:
  // such a fixture is listed through its class and not previewed.
  const HandlerClass* unregistered = nullptr;
};

const std::vector<ToolFixture>& toolFixtures() {
  static const std::vector<ToolFixture> fixtures{
      {"chmcmd",
       "book.chm",
       R"sh(
printf '<html><body>Index</body></html>' > index.html
printf '<html><body>Page</body></html>' > page.html
printf '[OPTIONS]\nCompiled file=book.chm\nDefault topic=index.html\nTitle=Book\n\n[FILES]\nindex.html\npage.html\n' > book.hhp
chmcmd book.hhp > /dev/null
)sh",
       AHandlerChm::kClassName,
       {"index.html unco=31 ", "page.html unco=30 "}},
      {"wimlib-imagex",
       "tree.wim",
       "wimlib-imagex capture tree tree.wim > /dev/null",
       AHandlerWim::kClassName,
       {"a.txt unco=6 ", "sub/ ", "sub/b.bin unco=1 "}},
      {"arj",
       "tree.arj",
       "arj a -r tree.arj tree > /dev/null",
       AHandlerArj::kClassName,
       {"tree/a.txt unco=6 ", "tree/ ", "tree/sub/ ", "tree/sub/b.bin unco=1 "}},
      {"makensis",
       "setup.exe",
       R"sh(
cat > setup.nsi <<'EOF'
OutFile "setup.exe"
InstallDir "$PROGRAMFILES\Tessaro Sample"
RequestExecutionLevel user
Unicode true
Section
  SetOutPath "$INSTDIR"
  File "tree/a.txt"
  SetOutPath "$INSTDIR\sub"
  File "tree/sub/b.bin"
SectionEnd
EOF
makensis -V1 setup.nsi
)sh",
       AHandlerNsis::kClassName,
       {"a.txt unco=6 ", "sub/b.bin unco=1 "},
       &AHandlerNsis::metaclass()},
      // Without a mount it stays empty: the volume's root folder is its only entry.
      {"mkfs.hfsplus",
       "volume.dmg",
       "truncate -s 8M volume.dmg && mkfs.hfsplus -v Tessaro volume.dmg > /dev/null",
       AHandlerDmg::kClassName,
       {"Tessaro/ "}},
  };
  return fixtures;
}

class ToolMadeFormatTest : public SevenZipHandlerTest, public ::testing::WithParamInterface<ToolFixture> {};

TEST_P(ToolMadeFormatTest, ListsThroughTheRegistrysHandlerAndPreviews) {
  const ToolFixture& format = GetParam();
  if (!programOnPath(format.tool)) GTEST_SKIP() << format.tool << " is not installed";
  test::TempDir dir;
  shell(dir.path(),
        std::string("mkdir -p tree/sub && printf 'hello\\n' > tree/a.txt && printf x > tree/sub/b.bin\n") +
            format.script);
  const std::string archive = (dir.path() / format.name).string();
  if (format.unregistered == nullptr) {
    EXPECT_EQ(handlerClassNameWithFilename(archive, true).value_or("none"), format.handlerClass);
  }
  const std::shared_ptr<ArchiveHandler> handler =
      format.unregistered ? format.unregistered->initWithURL(archive) : handlerWithFilename(archive, true);
  ASSERT_TRUE(handler);
  EXPECT_EQ(handler->className(), format.handlerClass);
  int32_t status = -1;
  std::string records;
  for (const std::string& record : recordsOnly(lines(*handler, &status))) records += record + "\n";
  EXPECT_EQ(status, 0);
  EXPECT_FALSE(records.empty());
  EXPECT_FALSE(handler->isListingEncrypted());
  if (format.unregistered != nullptr) {
    for (const std::string& entry : format.entries)
      EXPECT_NE(records.find("path=" + entry.substr(0, entry.find(' ')) + "\t"), std::string::npos)
          << entry << records;
    return;
  }
  const std::string tree = listing(archive);
  for (const std::string& entry : format.entries)
    EXPECT_NE(tree.find(entry), std::string::npos) << entry << " not in\n" << tree;

  const std::string page = (dir.path() / "page.html").string();
  const SubprocessResult preview = run({TESSARO_QLHOST, "-o", page, archive});
  ASSERT_EQ(preview.exitStatus, 0) << preview.output;
  const std::string html = test::readFile(page);
  // The last name of the first entry's path ("b.bin" of "sub/b.bin", "Tessaro" of "Tessaro/").
  std::string shown = format.entries.front().substr(0, format.entries.front().find(' '));
  if (shown.ends_with('/')) shown.pop_back();
  shown = shown.substr(shown.rfind('/') + 1);
  EXPECT_NE(html.find(shown), std::string::npos) << shown;
}

INSTANTIATE_TEST_SUITE_P(Formats, ToolMadeFormatTest, ::testing::ValuesIn(toolFixtures()),
                         [](const ::testing::TestParamInfo<ToolFixture>& param) {
                           std::string name = param.param.name;
                           std::replace(name.begin(), name.end(), '.', '_');
                           return name;
                         });

// A stand-in helper that prints fixed lines shows how the handler reads the lines before the
// first entry and what it makes of odd ones.
class FakeHelperTest : public SevenZipHandlerTest {
 protected:
  void install(const std::string& output, int exitStatus = 0) {
    const fs::path script = helpers_.path() / "7z";
    std::ofstream(script) << "#!/bin/sh\ncat '" << (helpers_.path() / "out").string() << "'\nexit "
                          << exitStatus << "\n";
    fs::permissions(script, fs::perms::owner_all);
    std::ofstream(helpers_.path() / "out") << output;
    helpersPath() = helpers_.str();
  }
  test::TempDir helpers_;
};

TEST_F(FakeHelperTest, CommentAbsolutePathAndFailureTexts) {
  install("banner\ncomt=Hello\nWorld\n\n----------\npath=/etc/hosts\tmeth=Store\npath=b\ttime=x\n");
  // The 7z handler: the zip handler takes the comment from the archive's end record instead.
  auto zip = open(AHandler7zip::metaclass(), "comment.zip");
  int32_t status = -1;
  const std::vector<std::string> out = lines(*zip, &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(zip->comment(), "Hello\nWorld");
  EXPECT_TRUE(zip->containsAbsolutePaths());
  // Every line is passed on unchanged, the last empty one after the final line feed included.
  EXPECT_EQ(out.size(), 8u);

  struct Case {
    const char* output;  // nullptr: no helper at all
    int exitStatus;
    int32_t status;
    bool noLines;  // not even the lines around the records
  };
  const Case cases[] = {
      // A comment without its separator swallows the entries.
      {"comt=Hello\npath=a\tmeth=Store\n", 0, 100, false},
      {"path=a\tmeth=Store\nSub items Errors: 1\n", 2, 4, true},
      // Output that is not UTF-8 gives no text at all.
      {"path=\xff\tmeth=Store\n", 0, 100, true},
      {nullptr, 0, 100, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.output ? c.output : "no helper");
    if (c.output) {
      install(c.output, c.exitStatus);
    } else {
      fs::remove(helpers_.path() / "7z");
    }
    auto handler = open(AHandlerZip::metaclass(), "comment.zip");
    EXPECT_EQ(lines(*handler, &status).empty(), c.noLines);
    EXPECT_EQ(status, c.status);
    // Nothing readable reads as an encrypted listing.
    EXPECT_EQ(handler->isListingEncrypted(), c.status == 100);
  }
}

}  // namespace
}  // namespace tessaro
