// The XAR handler on archives bsdtar makes at test time, listed through getInfo and extracted, and
// on damaged or hand-built hostile archives that must fail without harm.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "ArchiveHandlerXar.h"
#include "ListingPipeline.h"
#include "log/SystemLog.h"
#include "process/Subprocess.h"
#include "support/FakeHost.h"
#include "support/Golden.h"
#include "support/ScopedEnv.h"
#include "support/SuiteFixtures.h"
#include "support/TempDir.h"
#include "support/TreeDump.h"
#include "support/Processes.h"

namespace tessaro {
namespace {

using test::shell;

namespace fs = std::filesystem;

// Folders with their own modes, an empty file, an executable, a compressible file bigger than
// one read chunk, a symbolic link; every date is 2020-05-01 10:20:33 UTC but one.
constexpr const char* kMakeTree = R"sh(
mkdir -p tree/docs/deep
printf 'alpha\n' > tree/docs/a.txt
: > tree/empty
printf '#!/bin/sh\n' > tree/run.sh
seq 1 60000 > tree/docs/deep/numbers
ln -s docs/a.txt tree/link
chmod 755 tree tree/docs/deep tree/run.sh
chmod 750 tree/docs
chmod 644 tree/docs/a.txt tree/empty
chmod 600 tree/docs/deep/numbers
find tree -exec touch -h -d @1588328433 {} +
touch -d @1500000000 tree/docs/a.txt
bsdtar --format xar --options xar:compression=gzip -cf gzip.xar tree
bsdtar --format xar --options xar:compression=none -cf none.xar tree
bsdtar --format xar --options xar:compression=gzip,xar:checksum=md5,xar:toc-checksum=md5 -cf md5.xar tree
)sh";

// Every entry below `root`, one sorted line each: path, mode, modification time (unless left
// out) and link target. What the files hold is compared by test::sameTree.
std::string describe(const fs::path& root, bool withTimes = true) {
  return run({"/bin/sh", "-c", "cd \"$1\" && find . -mindepth 1 -printf \"$2\" | LC_ALL=C sort", "sh",
              root.string(), withTimes ? "%P %m %Ts %l\\n" : "%P %m %l\\n"})
      .output;
}

void put(std::string& out, uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

// A XAR without a table-of-contents checksum (algorithm 0) around `toc`, followed by `heap`.
std::string xarBytes(const std::string& toc, const std::string& heap) {
  uLongf size = compressBound(static_cast<uLong>(toc.size()));
  std::string packed(size, '\0');
  compress2(reinterpret_cast<Bytef*>(packed.data()), &size, reinterpret_cast<const Bytef*>(toc.data()),
            static_cast<uLong>(toc.size()), 9);
  packed.resize(size);
  std::string out = "xar!";
  put(out, 28, 2);
  put(out, 1, 2);
  put(out, packed.size(), 8);
  put(out, toc.size(), 8);
  put(out, 0, 4);
  return out + packed + heap;
}

std::string tocWith(const std::string& files) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><xar><toc>" + files + "</toc></xar>";
}

// A plain file entry whose data lies at `offset` in the heap.
std::string plainFile(const std::string& name, uint64_t offset, uint64_t length,
                      const std::string& extra = "") {
  const std::string n = std::to_string(length);
  return "<file><name>" + name + "</name><type>file</type><mode>0644</mode><data><offset>" +
         std::to_string(offset) + "</offset><length>" + n + "</length><size>" + n +
         "</size><encoding style=\"application/octet-stream\"/>" + extra + "</data></file>";
}

class XarHandlerTest : public test::SuiteFixtures<XarHandlerTest> {
 public:
  static constexpr const char* kFixtureScript = kMakeTree;

 protected:
  XarHandlerTest() {
    // Records carry UTC dates that the tree reads as local time.
    env_.set("TZ", std::nullopt);
    setLogSinkForTesting([this](int, std::string_view message) { log_ += message; });
  }
  ~XarHandlerTest() override { setLogSinkForTesting(nullptr); }

  // The archive's records; getInfo must give `expected`.
  static std::vector<std::string> records(const std::string& path, int32_t expected = 0) {
    std::vector<std::string> out;
    AHandlerXar handler;
    handler.setUrl(path);
    EXPECT_EQ(handler.getInfo(out), expected) << path;
    return out;
  }

  // Extracts the entries named by `names` (a trailing "/" names a folder) into `to`.
  static int32_t extract(const std::string& path, const std::vector<std::string>& names, const fs::path& to) {
    AHandlerXar handler;
    handler.setUrl(path);
    return handler.extract(test::items(names), to.string(), 0);
  }

  // The tree extracted below `out` is the source tree, modes and dates included.
  static void expectSourceTree(const fs::path& out) {
    const fs::path source = fixtures().path() / "tree";
    EXPECT_EQ(describe(out), describe(source));
    test::sameTree(out, source);
  }

  test::IsolatedHome home_;
  test::ScopedEnv env_;
  std::string log_;
};

// Each flavour's tree, packed sizes (which differ per archive) dropped, must be the golden one,
// and its extraction the source tree. A plain file's attr has no type character, so the tree
// reads no permissions from it. The records of the uncompressed one follow the golden tree: in
// the archive's order; folders and the empty file (which stores no data) have no sizes;
// bsdtar's encoding element holds no text.
TEST_F(XarHandlerTest, EveryFlavourListsAndExtractsTheSourceTree) {
  std::string trees;
  for (const char* name : {"gzip.xar", "none.xar", "md5.xar"}) {
    SCOPED_TRACE(name);
    AZipItem::Ptr root;
    ASSERT_EQ(getInfo(fixture(name), root), 0);
    ASSERT_TRUE(root);
    const std::string tree =
        std::regex_replace(test::dumpTree(*root, true), std::regex(" comp=-?[0-9]+"), "");
    if (trees.empty()) trees = tree;
    EXPECT_EQ(tree, trees);
    test::TempDir out;
    const fs::path before = fs::current_path();
    EXPECT_EQ(extract(fixture(name), {"*"}, out.path()), 0);
    EXPECT_EQ(fs::current_path(), before);
    expectSourceTree(out.path() / "tree");
  }
  std::string recordText;
  for (const std::string& line : records(fixture("none.xar"))) recordText += line + "\n";
  test::expectGolden("xar-listings.txt", trees + "== records of none.xar\n" + recordText);
}

TEST_F(XarHandlerTest, AFolderIsExtractedWithWhatItHolds) {
  test::TempDir out;
  EXPECT_EQ(extract(fixture("gzip.xar"), {"tree/docs/deep/", "tree/run.sh"}, out.path()), 0);
  // The folders above the one asked for are made for it, with today's date.
  EXPECT_EQ(std::regex_replace(describe(out.path()), std::regex("(^|\n)(tree|tree/docs) 755 [0-9]+ "),
                               "$1$2 755 today "),
            "tree 755 today \n"
            "tree/docs 755 today \n"
            "tree/docs/deep 755 1588328433 \n"
            "tree/docs/deep/numbers 600 1588328433 \n"
            "tree/run.sh 755 1588328433 \n");
  EXPECT_EQ(test::readFile(out.path() / "tree/docs/deep/numbers"),
            test::readFile(fixture("tree/docs/deep/numbers")));
  EXPECT_EQ(test::readFile(out.path() / "tree/run.sh"), "#!/bin/sh\n");
}

TEST_F(XarHandlerTest, WhatIsNotAReadableXarGives1001AndTheLoggedMessage) {
  test::TempDir dir;
  const std::string good = test::readFile(fixture("gzip.xar"));
  std::string flipped = good;
  for (size_t i = 40; i < 60; ++i) flipped[i] = static_cast<char>(flipped[i] ^ 0x5a);
  std::string hugeToc = good;
  for (size_t i = 8; i < 24; ++i) hugeToc[i] = '\xff';
  // The table of contents' checksum is the first thing in the heap.
  std::string badTocSum = good;
  const size_t heapStart = 28 + static_cast<size_t>(static_cast<unsigned char>(good[14]) * 256 +
                                                    static_cast<unsigned char>(good[15]));
  badTocSum[heapStart] = static_cast<char>(badTocSum[heapStart] ^ 1);
  std::string shortToc = good;
  shortToc[23] = static_cast<char>(shortToc[23] - 1);
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"text.xar", "just some text, long enough to hold a header\n"},
      {"flipped.xar", flipped},
      {"huge.xar", hugeToc},
      {"bad-toc-sum.xar", badTocSum},
      {"short-toc.xar", shortToc},
      {"cut-in-toc.xar", good.substr(0, 100)},
      {"not-xml.xar", xarBytes("this is no XML <<", "")},
      {"deep.xar", xarBytes(tocWith([] {
                              std::string open, close;
                              for (int i = 0; i < 5000; ++i) {
                                open += "<file><name>d</name><type>directory</type>";
                                close += "</file>";
                              }
                              return open + close;
                            }()),
                            "")},
      {"nameless.xar", xarBytes(tocWith("<file><type>file</type></file>"), "")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path path = dir.write(c.name, c.bytes);
    log_.clear();
    EXPECT_TRUE(records(path.string(), 1001).empty());
    // The trace line of the operation comes first.
    EXPECT_TRUE(log_.ends_with("Error opening xar archive: " + path.string() + "\n")) << log_;
    test::TempDir out;
    EXPECT_EQ(extract(path.string(), {"*"}, out.path()), 1001);
    EXPECT_TRUE(fs::is_empty(out.path()));
  }
}

// Every checksum style the format names guards the table of contents; one nobody knows is said
// so, not shown as an empty archive.
TEST_F(XarHandlerTest, TableOfContentsChecksumsOfEveryStyle) {
  test::TempDir dir;
  const auto withChecksum = [](const std::string& style, const EVP_MD* md) {
    const int size = md ? EVP_MD_get_size(md) : 20;
    const std::string toc =
        tocWith("<checksum style=\"" + style + "\"><offset>0</offset><size>" + std::to_string(size) +
                "</size></checksum>" + plainFile("a.txt", size, 2));
    std::string bytes = xarBytes(toc, "");
    bytes[27] = 3;  // a checksum named in the table of contents
    const std::string packed = bytes.substr(28);
    unsigned char digest[EVP_MAX_MD_SIZE] = {};
    unsigned int length = static_cast<unsigned int>(size);
    if (md) EVP_Digest(packed.data(), packed.size(), digest, &length, md, nullptr);
    return bytes + std::string(reinterpret_cast<char*>(digest), length) + "hi";
  };
  const std::pair<const char*, const EVP_MD*> styles[] = {{"sha1", EVP_sha1()},     {"MD5", EVP_md5()},
                                                          {"sha224", EVP_sha224()}, {"sha256", EVP_sha256()},
                                                          {"SHA384", EVP_sha384()}, {"sha512", EVP_sha512()}};
  for (const auto& [style, md] : styles) {
    SCOPED_TRACE(style);
    const auto listed = records(dir.write(std::string(style) + ".xar", withChecksum(style, md)).string());
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_TRUE(listed[0].starts_with("path=a.txt")) << listed[0];
  }
  log_.clear();
  EXPECT_TRUE(records(dir.write("odd.xar", withChecksum("whirlpool", nullptr)).string(), 1001).empty());
  EXPECT_NE(log_.find("unsupported checksum whirlpool"), std::string::npos) << log_;
}

// The table of contents survives, the data does not: the listing stands, extraction leaves no
// file whose data is missing or does not match its checksum.
TEST_F(XarHandlerTest, DamagedDataIsNeverExtracted) {
  test::TempDir dir;
  const uint64_t size = fs::file_size(fixture("none.xar"));
  fs::copy_file(fixture("none.xar"), dir.path() / "cut.xar");
  fs::resize_file(dir.path() / "cut.xar", size - 1000);
  fs::copy_file(fixture("none.xar"), dir.path() / "flip.xar");
  {
    std::fstream f(dir.path() / "flip.xar", std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(size - 500));
    f.put('!');
  }
  for (const char* name : {"cut.xar", "flip.xar"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(records((dir.path() / name).string()).size(), 8u);
    test::TempDir out;
    EXPECT_EQ(extract((dir.path() / name).string(), {"*"}, out.path()), 0);
    EXPECT_TRUE(fs::exists(out.path() / "tree/docs/a.txt"));
    EXPECT_FALSE(fs::exists(out.path() / "tree/docs/deep/numbers"));
  }
}

// Names that climb out, absolute names, data outside the heap, and a link planted to be
// written through: nothing lands outside the destination, nothing bad is written inside it.
TEST_F(XarHandlerTest, HostileEntriesStayInsideTheDestination) {
  test::TempDir dir;
  const fs::path outside = dir.path() / "outside";
  fs::create_directory(outside);
  const std::string heap = "0123456789";
  const std::string toc = tocWith(
      plainFile("..", 0, 4) + plainFile("/abs", 0, 4) +
      "<file><name>up</name><type>directory</type><file><name>..</name><type>directory</type>" +
      plainFile("escaped", 0, 4) + "</file></file>" + "<file><name>ln</name><type>symlink</type><link>" +
      outside.string() + "</link></file>" + "<file><name>ln</name><type>directory</type>" +
      plainFile("through", 0, 4) + "</file>" + plainFile("far", 1000000000000, 4) +
      plainFile("long", 5, 99999) + plainFile("huge", 0, 18446744073709551615ull) +
      plainFile("bad-sum", 0, 4, "<extracted-checksum style=\"sha1\">00</extracted-checksum>") +
      "<file><name>odd</name><type>file</type><data><offset>0</offset><length>4</length><size>4</size>"
      "<encoding style=\"application/x-gzip\">gzip</encoding></data></file>" +
      plainFile("ok", 2, 4));
  const fs::path archive = dir.write("evil.xar", xarBytes(toc, heap));

  const std::vector<std::string> lines = records(archive.string());
  ASSERT_EQ(lines.size(), 14u);
  // An encoding that holds text marks the entry.
  EXPECT_EQ(lines[12], "path=odd\tattr=---------\tunco=4\ttype=Y\tcomp=4\ttime=");

  const fs::path out = dir.path() / "dest";
  fs::create_directory(out);
  EXPECT_EQ(extract(archive.string(), {"*"}, out), 0);
  EXPECT_TRUE(fs::is_empty(outside));
  EXPECT_FALSE(fs::exists(dir.path() / "escaped"));
  EXPECT_FALSE(fs::exists("/abs"));
  EXPECT_EQ(describe(out, false), "ln 777 " + outside.string() + "\nok 644 \nup 755 \n");
  EXPECT_EQ(test::readFile(out / "ok"), "2345");
}

// What the handler writes, it and bsdtar extract as the source tree. Names are taken relative to
// the folder given, while the process's working folder, which other threads share, stays where it
// was all along.
TEST_F(XarHandlerTest, CreatedArchivesExtractAsTheSourceTree) {
  for (const int compression : {0, 2}) {
    SCOPED_TRACE(compression);
    test::TempDir dir;
    const std::string archive = (dir.path() / "made.xar").string();
    const fs::path elsewhere = dir.path() / "elsewhere";
    fs::create_directory(elsewhere);
    fs::create_directory(dir.path() / "ours");
    fs::create_directory(dir.path() / "bsdtar");
    // The process's working folder at every report, which comes in the middle of the operation.
    std::set<fs::path> workingFolders;
    const auto host = std::make_shared<test::FakeHost>();
    host->onData = [&workingFolders](const void*, int64_t) {
      workingFolders.insert(fs::current_path());
      return 0;
    };
    AHandlerXar handler;
    handler.setCallbackHandler(host);
    Preset preset;
    preset["compression"] = compression;
    const fs::path before = fs::current_path();
    fs::current_path(elsewhere);
    const int32_t added =
        handler.addFiles({"tree"}, fixtures().path().string(), archive, nullptr, preset, nullptr);
    const int32_t extracted =
        handler.extract({AZipItem::initWithPath("*")}, (dir.path() / "ours").string(), 0);
    fs::current_path(before);
    EXPECT_EQ(added, 0);
    EXPECT_EQ(extracted, 0);
    EXPECT_EQ(handler.url(), archive);
    EXPECT_EQ(workingFolders, std::set<fs::path>{elsewhere});
    EXPECT_TRUE(fs::is_empty(elsewhere));
    expectSourceTree(dir.path() / "ours/tree");
    EXPECT_EQ(records(archive).size(), 8u);
    const SubprocessResult unpacked =
        run({"/usr/bin/bsdtar", "-xf", archive, "-C", (dir.path() / "bsdtar").string()});
    EXPECT_EQ(unpacked.exitStatus, 0) << unpacked.output;
    expectSourceTree(dir.path() / "bsdtar/tree");
  }
}

TEST_F(XarHandlerTest, ACancelledWalkLeavesTheRestOut) {
  test::TempDir dir;
  const std::string archive = (dir.path() / "part.xar").string();
  AHandlerXar handler;
  // Answers -1 to the progress call for one path, which cancels the walk below it.
  const auto host = std::make_shared<test::FakeHost>();
  std::string offered;
  host->onData = [&offered](const void* data, int64_t) {
    const std::string path = static_cast<const char*>(data);
    offered += path + "|";
    return path == "tree/docs" ? -1 : 0;
  };
  handler.setCallbackHandler(host);
  const std::vector<std::string> given{(fixtures().path() / "tree").string(),
                                       (fixtures().path() / "tree/run.sh").string()};
  EXPECT_EQ(handler.addFiles(given, "", archive, nullptr, Preset{}, nullptr), 1);
  EXPECT_FALSE(handler.url());
  // The second given path is still added, under its own name.
  EXPECT_NE(offered.find("|run.sh|"), std::string::npos) << offered;
  std::vector<std::string> paths;
  for (const std::string& line : records(archive)) paths.push_back(line.substr(0, line.find('\t')));
  std::sort(paths.begin(), paths.end());
  // Everything the walk met before the refused folder, nothing after it.
  ASSERT_FALSE(paths.empty());
  EXPECT_EQ(paths.front(), "path=run.sh");
  EXPECT_EQ(std::count(paths.begin(), paths.end(), "path=tree"), 1);
  for (const std::string& path : paths) EXPECT_EQ(path.find("docs"), std::string::npos) << path;

  AHandlerXar failing;
  EXPECT_EQ(failing.addFiles(given, "", (dir.path() / "missing/x.xar").string(), nullptr, Preset{}, nullptr),
            1001);
}

}  // namespace
}  // namespace tessaro
