#include "ListingPipeline.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ArchiveHandler7z.h"
#include "support/TempDir.h"
#include "support/ListingTrees.h"
#include "support/TreeDump.h"

namespace tessaro {
namespace {

namespace fs = std::filesystem;

// A handler that answers with given records and status, and notes what it was given.
template <typename Base>
class Scripted : public Base {
 protected:
  int32_t doGetInfo(std::vector<std::string>& records) override {
    ++calls;
    folder = this->documentsTempFolder();
    if (folder && fs::is_directory(*folder)) {
      folderExisted = true;
      std::ofstream(fs::path(*folder) / "scratch") << "left behind";
    }
    records.insert(records.end(), output.begin(), output.end());
    return status;
  }

 public:
  int32_t status = 0;
  std::vector<std::string> output;
  int calls = 0;
  std::optional<std::string> folder;
  bool folderExisted = false;
};

class ListingPipelineTest : public ::testing::Test {
 protected:
  ~ListingPipelineTest() override {
    setHandlerLookupForTesting({});
    setUserInterfaceFrameworkVersionForTesting(0);
  }

  template <typename Base = ArchiveHandler>
  std::shared_ptr<Scripted<Base>> useScripted(const std::string& path, int32_t status,
                                              std::vector<std::string> output) {
    auto handler = std::make_shared<Scripted<Base>>();
    handler->initWithURL(path);
    handler->status = status;
    handler->output = std::move(output);
    setHandlerLookupForTesting([handler](std::string_view) { return handler; });
    return handler;
  }

  fs::path tmp() const { return home.dir().path() / "tmp"; }

  test::TempDir dir;  // made before TMPDIR moves into the isolated home
  test::IsolatedHome home;
};

TEST_F(ListingPipelineTest, AFileNoHandlerAcceptsGivesMinusOneAndAnEmptyRoot) {
  const std::string path = dir.write("notes.unknown", "plain text, no archive").string();
  for (const std::string& candidate : {path, (dir.path() / "missing.zip").string(), dir.str()}) {
    AZipItem::Ptr root;
    EXPECT_EQ(getInfo(candidate, root), -1) << candidate;
    ASSERT_TRUE(root);
    EXPECT_TRUE(root->children().empty());
    EXPECT_TRUE(root->isDir());
  }
  EXPECT_TRUE(fs::is_empty(tmp()));
}

// Whatever the handler answers, the records and the status pass through, and the temporary
// folder it was given lives for the listing only.
TEST_F(ListingPipelineTest, StatusesAndRecordsPassThroughAndTheTemporaryFolderGoes) {
  const std::string path = dir.write("a.bin", std::string(100, 'x')).string();
  const std::vector<std::string> output = {
      "path=a/b/c.txt\tunco=10\tcomp=4",
      "path=without a tab",  // no fields: not an entry
      "-- comment line of a tool\twith a tab",
      "",
      "path=a/d.txt\tunco=5\tcomp=2",
  };
  for (const int32_t status : {0, 4, 100, -7}) {
    SCOPED_TRACE(status);
    auto handler = useScripted(path, status, output);
    AZipItem::Ptr root;
    EXPECT_EQ(getInfo(path, root), status);
    ASSERT_TRUE(root);
    // The tree the records make (AZipItem_test checks what that is); packed sizes above 0 are kept.
    EXPECT_EQ(test::dumpTree(*root), test::dumpTree(*test::buildTree(output)));
    EXPECT_EQ(root->itemCount(), 5);
    EXPECT_EQ(root->compV(), 6);
    EXPECT_EQ(handler->calls, 1);
    ASSERT_TRUE(handler->folder);
    EXPECT_TRUE(handler->folderExisted);
    EXPECT_EQ(fs::path(*handler->folder).parent_path(), tmp());
    EXPECT_FALSE(fs::exists(*handler->folder));
    EXPECT_FALSE(handler->documentsTempFolder());
  }
  EXPECT_TRUE(fs::is_empty(tmp()));
}

TEST_F(ListingPipelineTest, WithoutPackedSizesTheArchiveFileItselfIsMeasured) {
  const std::string target = dir.write("big.bin", std::string(5000, 'x')).string();
  const fs::path link = dir.path() / "link.bin";
  fs::create_symlink("big.bin", link);
  struct stat st;
  ASSERT_EQ(::lstat(link.c_str(), &st), 0);

  AZipItem::Ptr root;
  useScripted(target, 0, {"path=f\tunco=9\tcomp=0"});
  EXPECT_EQ(getInfo(target, root), 0);
  EXPECT_EQ(root->compV(), 5000);

  // The URL's own size, without following a final symbolic link; -1 (single streams) counts too.
  useScripted(link.string(), 0, {"path=f\tunco=9\tcomp=-1"});
  EXPECT_EQ(getInfo(link.string(), root), 0);
  EXPECT_EQ(root->compV(), static_cast<int64_t>(st.st_size));
  EXPECT_NE(root->compV(), 5000);
}

TEST_F(ListingPipelineTest, OnlyFrameworkRelease1265HandsSevenZipListingsToXad) {
  const std::string path = dir.write("a.zip", "PK\x05\x06" + std::string(18, '\0')).string();
  for (const double version : {0.0, 1264.99, 1265.9, 1266.0}) {
    SCOPED_TRACE(version);
    setUserInterfaceFrameworkVersionForTesting(version);
    auto sevenZip = useScripted<AHandler7ZipBase>(path, 0, {});
    AZipItem::Ptr root;
    getInfo(path, root);
    EXPECT_EQ(sevenZip->calls, (version >= 1265 && version < 1266) ? 0 : 1);

    // Handlers outside the 7-Zip family are never replaced.
    auto other = useScripted(path, 0, {});
    getInfo(path, root);
    EXPECT_EQ(other->calls, 1);
  }
}

}  // namespace
}  // namespace tessaro
