// The tar family and the single-stream handlers, listed through getInfo from archives that GNU
// tar, gzip, bzip2 and xz make at test time.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "ArchiveHandlerStream.h"
#include "ArchiveHandlerTar.h"
#include "ListingPipeline.h"
#include "ProcessGlobals.h"
#include "helpers.h"
#include "process/Subprocess.h"
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

// A tree with a symbolic link, deep folders, a space, the Finder's "Icon\r", a non-ASCII name
// and a file with its own date and mode; every other date is 2020-05-01 10:20:33 UTC.
constexpr const char* kMakeTree = R"sh(
mkdir -p tree/deep/a/b
printf 'hi\n' > 'tree/with space.txt'
printf x > "tree/$(printf 'Icon\r')"
printf '\303\251\n' > "tree/$(printf 'caf\303\251.txt')"
ln -s 'with space.txt' tree/link
printf 12345 > tree/deep/a/b/f
find tree -type d -exec chmod 755 {} +
find tree -type f -exec chmod 644 {} +
chmod 640 tree/deep/a/b/f
find tree -exec touch -h -d @1588328433 {} +
touch -d @1500000000 tree/deep/a/b/f
tar --sort=name -cf t.tar tree
tar --sort=name -czf t.tar.gz tree
tar --sort=name -cjf t.tar.bz2 tree
tar --sort=name -cJf t.tar.xz tree
)sh";

// The headers are read in process: the dates keep their seconds.
constexpr const char* kTreeListing =
    "tree/ unco=12 comp=0 attr=drwxr-xr-x perm=755 time=2020-05-01T10:20:33Z\n"
    "tree/Icon\r unco=1 comp=0 attr=-rw-r--r-- perm=644 time=2020-05-01T10:20:33Z mac\n"
    "tree/caf\xc3\xa9.txt unco=3 comp=0 attr=-rw-r--r-- perm=644 time=2020-05-01T10:20:33Z\n"
    "tree/deep/ unco=5 comp=0 attr=drwxr-xr-x perm=755 time=2020-05-01T10:20:33Z\n"
    "tree/deep/a/ unco=5 comp=0 attr=drwxr-xr-x perm=755 time=2020-05-01T10:20:33Z\n"
    "tree/deep/a/b/ unco=5 comp=0 attr=drwxr-xr-x perm=755 time=2020-05-01T10:20:33Z\n"
    "tree/deep/a/b/f unco=5 comp=0 attr=-rw-r----- perm=640 time=2017-07-14T02:40:00Z\n"
    "tree/link unco=0 comp=0 attr=lrwxrwxrwx perm=777 time=2020-05-01T10:20:33Z link\n"
    "tree/with space.txt unco=3 comp=0 attr=-rw-r--r-- perm=644 time=2020-05-01T10:20:33Z\n";

class TarHandlerTest : public test::SuiteFixtures<TarHandlerTest> {
 public:
  static constexpr const char* kFixtureScript = kMakeTree;

 protected:
  TarHandlerTest() {
    // Tar reads the system's time zone; so must the parsing of its dates.
    env_.set("TZ", std::nullopt);
    savedHelpers_ = helpersPath();
    helpersPath() = TESSARO_TEST_HELPERS_DIR;
  }
  ~TarHandlerTest() override {
    helpersPath() = savedHelpers_;
    EXPECT_TRUE(noChildrenLeft());
  }

  // Lists through the pipeline and returns the printed tree, or the status when it is not 0.
  static std::string listing(const std::string& path, AZipItem::Ptr* rootOut = nullptr) {
    AZipItem::Ptr root;
    const int32_t status = getInfo(path, root);
    if (rootOut) *rootOut = root;
    if (status != 0) return "status " + std::to_string(status);
    return root ? test::dumpTree(*root, true) : "no root";
  }

  static std::vector<std::string> records(const HandlerClass& handlerClass, const std::string& path,
                                          int32_t* status = nullptr) {
    std::vector<std::string> out;
    const std::shared_ptr<ArchiveHandler> handler = handlerClass.initWithURL(path);
    const int32_t result = handler ? handler->getInfo(out) : -99;
    if (status) *status = result;
    return out;
  }

  test::IsolatedHome home_;
  test::ScopedEnv env_;
  std::string savedHelpers_;
};

TEST_F(TarHandlerTest, EveryTarFlavourListsTheSameTree) {
  for (const char* name : {"t.tar", "t.tar.gz", "t.tar.bz2", "t.tar.xz"}) {
    SCOPED_TRACE(name);
    AZipItem::Ptr root;
    EXPECT_EQ(listing(fixture(name), &root), kTreeListing);
    // Tar has no packed sizes: the archive's own size stands for them.
    ASSERT_TRUE(root);
    EXPECT_EQ(root->compV(), static_cast<int64_t>(fs::file_size(fixture(name))));
  }
  // The pipeline's temporary folder lives for the listing only.
  EXPECT_TRUE(fs::is_empty(home_.dir().path() / "tmp"));
}

// Names arrive as their bytes, except that a tab and a line feed, which would end a field or a
// record, are written as tar's escapes; a byte that is not UTF-8 makes the listing ISO Latin 1.
// " -> " in a name or a link's target is just text.
TEST_F(TarHandlerTest, OddNamesKeepTheirBytes) {
  shell(home_.dir().path(), R"sh(
mkdir odd && cd odd
printf x > "$(printf 'a\tb')"
printf x > "$(printf 'new\nline')"
printf x > 'x -> y'
printf x > "$(printf 'bad\377name')"
ln -s 't -> u' l
cd .. && tar --sort=name -cf odd.tar odd
)sh");
  std::string paths;
  AZipItem::Ptr root;
  ASSERT_EQ(getInfo((home_.dir().path() / "odd.tar").string(), root), 0);
  for (const auto& item : root->collectDescendants()) paths += std::string(item->path()) + "|";
  EXPECT_EQ(paths, "odd|odd/a\\tb|odd/bad\xc3\xbfname|odd/l|odd/new\\nline|odd/x -> y|");
}

// Plain, gzip, bzip2 and xz tars are read in process, with no helper; the other compressions go
// to GNU tar, and without it their listing is impossible, not empty.
TEST_F(TarHandlerTest, OnlyOtherCompressionsNeedTheHelperTool) {
  test::TempDir dir;
  shell(dir.path(), "zstd -q -o t.tar.zst " + quotedForShell(fixture("t.tar")));
  const std::string zst = (dir.path() / "t.tar.zst").string();
  test::TempDir noHelpers;
  helpersPath() = noHelpers.str();
  int32_t status = -99;
  EXPECT_EQ(records(AHandlerTXz::metaclass(), fixture("t.tar.xz"), &status).size(), 9u);
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(records(AHandlerTar::metaclass(), zst, &status).empty());
  EXPECT_EQ(status, -1);
  helpersPath() = TESSARO_TEST_HELPERS_DIR;
  EXPECT_EQ(records(AHandlerTar::metaclass(), zst, &status).size(), 9u);
  EXPECT_EQ(status, 0);
}

TEST_F(TarHandlerTest, ASingleStreamListsTheFileItWouldDecompressTo) {
  test::TempDir dir;
  shell(dir.path(), R"(
head -c 10000 /dev/zero | tr '\0' a > notes.txt
gzip -k notes.txt
printf 'hello\n' > tiny
gzip tiny
head -c 1000 /dev/zero > report.pdf
bzip2 report.pdf
printf 'some text\n' | xz > data.xz
cat notes.txt.gz tiny.gz > two.gz
printf 'more\n' | xz > more.xz && cat data.xz more.xz > both.xz
chmod 640 notes.txt.gz tiny.gz report.pdf.bz2 data.xz two.gz both.xz
touch -d @1588328433 notes.txt.gz tiny.gz report.pdf.bz2 data.xz two.gz both.xz
)");
  // xz's index and gzip's trailer say what the stream unpacks to, also for a file that grew;
  // bzip2 says nothing, and the file's own size stands. The trailer of the last of two gzip
  // members is not the file's size: none is claimed. Two xz streams each have an index, and their
  // sizes add up. "?" stands for the archive's own size.
  const struct {
    const char* file;
    const char* listed;
  } cases[] = {
      {"notes.txt.gz", "notes.txt unco=10000 comp=?"},
      {"report.pdf.bz2", "report.pdf unco=? comp=-1"},
      {"data.xz", "data unco=10 comp=?"},
      {"tiny.gz", "tiny unco=6 comp=?"},
      {"two.gz", "two unco=? comp=-1"},
      {"both.xz", "both unco=15 comp=?"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string size = std::to_string(fs::file_size(dir.path() / c.file));
    std::string expected = c.listed;
    expected.replace(expected.find('?'), 1, size);
    AZipItem::Ptr root;
    EXPECT_EQ(listing((dir.path() / c.file).string(), &root),
              expected + " attr=-rw-r----- perm=640 time=2020-05-01T10:20:33Z\n");
    EXPECT_EQ(root->compV(), std::stoll(size));
  }
}

TEST_F(TarHandlerTest, BaseNameDropsTheCompressorsExtensionToo) {
  test::TempDir dir;
  const auto baseName = [&](const HandlerClass& c, const char* name) {
    return c.initWithURL(dir.write(name, "").string())->baseName();
  };
  EXPECT_EQ(baseName(AHandlerTGz::metaclass(), "backup.tar.gz"), "backup");
  EXPECT_EQ(baseName(AHandlerTGz::metaclass(), "short.tgz"), "short");
  EXPECT_EQ(baseName(AHandlerTGz::metaclass(), "upper.tar.GZ"), "upper.tar");
}

// The listing arrives from the pipe in pieces that end anywhere; cut at every place, it makes the
// records it makes whole. One byte that is not UTF-8, even in a line that is dropped, makes the
// whole text ISO Latin 1.
TEST(TarRecordStreamTest, PiecesCutAnywhereMakeTheRecordsOfTheWhole) {
  const std::string listing =
      "dpath=tree/\tattr=drwxr-xr-x\tunco=0\tcomp=0\ttime=20200501.1020\n"
      "-path=tree/Icon\\r\tattr=-rw-r--r--\tunco=1\tcomp=0\ttime=20200501.1020\n"
      "lpath=tree/l -> a -> b\tattr=lrwxrwxrwx\tunco=0\tcomp=0\ttime=20200501.102033\n"
      "hpath=tree/hard\tattr=hrw-r--r--\tunco=0\tcomp=0\ttime=20200501.1020\n"
      "\n"
      "-path=tree/caf\xc3\xa9\tattr=-rw-r--r--\tunco=3\tcomp=0\ttime=20200501.1020";
  const std::vector<std::string> expected = {
      "path=tree/\tattr=drwxr-xr-x\tunco=0\tcomp=0\ttime=20200501.1020",
      "path=tree/Icon\r\tattr=-rw-r--r--\tunco=1\tcomp=0\ttime=20200501.1020",
      "path=tree/l -> a\tattr=lrwxrwxrwx\tunco=0\tcomp=0\ttime=20200501.102033",
      "path=tree/caf\xc3\xa9\tattr=-rw-r--r--\tunco=3\tcomp=0\ttime=20200501.1020",
  };
  for (size_t size = 1; size <= listing.size(); ++size) {
    std::vector<std::string> records{"kept"};
    TarRecordStream stream(records);
    for (size_t at = 0; at < listing.size(); at += size)
      stream.take(std::string_view(listing).substr(at, size));
    ASSERT_EQ(stream.finish(), kUTF8StringEncoding) << "pieces of " << size;
    ASSERT_EQ(records.size(), expected.size() + 1) << "pieces of " << size;
    EXPECT_EQ(records[0], "kept");
    for (size_t i = 0; i < expected.size(); ++i)
      EXPECT_EQ(records[i + 1], expected[i]) << "pieces of " << size;
  }

  std::vector<std::string> records{"kept \xff"};
  TarRecordStream stream(records);
  stream.take(listing.substr(0, 100));
  stream.take("hpath=bad\xff\tattr=h\n");
  stream.take(listing.substr(100));
  EXPECT_EQ(stream.finish(), kISOLatin1StringEncoding);
  ASSERT_EQ(records.size(), expected.size() + 1);
  // Only its own records are read again; "é" in UTF-8 is two Latin 1 characters.
  EXPECT_EQ(records[0], "kept \xff");
  EXPECT_EQ(records[1], expected[0]);
  EXPECT_EQ(records[4], "path=tree/caf\xc3\x83\xc2\xa9\tattr=-rw-r--r--\tunco=3\tcomp=0\ttime=20200501.1020");
}

}  // namespace
}  // namespace tessaro
