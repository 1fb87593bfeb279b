// The mail attachment handler: winmail.dat files listed through the TNEF decoder, and extraction
// by copying out of a fresh decode.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ArchiveHandlerMime.h"
#include "HandlerRegistry.h"
#include "ListingPipeline.h"
#include "support/TempDir.h"
#include "support/TnefWriter.h"
#include "support/TreeDump.h"

namespace tessaro {
namespace {

namespace fs = std::filesystem;

using test::readFile;

// Two attachments and a plain-text body.
std::string twoAttachments() {
  test::TnefWriter writer;
  writer.textBody("See the attached files.\r\n");
  writer.attachment({"report.pdf", std::nullopt, "%PDF-1.4 report"});
  writer.attachment({"NOTESF~1.TXT", "Notes for Friday.txt", "notes"});
  return writer.bytes();
}

class MimeHandlerTest : public ::testing::Test {
 protected:
  MimeHandlerTest() {
    winmail_ = dir_.write("mail/winmail.dat", twoAttachments()).string();
    scratch_ = dir_.path() / "documents";
    fs::create_directory(scratch_);
  }

  std::shared_ptr<ArchiveHandler> handler(const std::string& path) {
    std::shared_ptr<ArchiveHandler> h = AHandlerMime::metaclass().initWithURL(path);
    if (h) h->setDocumentsTempFolder(scratch_.string());
    return h;
  }

  std::vector<std::string> sortedRecords(const std::string& path, int32_t& status) {
    std::vector<std::string> records;
    status = handler(path)->getInfo(records);
    std::sort(records.begin(), records.end());
    return records;
  }

  test::TempDir dir_;  // made before TMPDIR moves into the isolated home
  test::IsolatedHome home_;
  std::string winmail_;
  fs::path scratch_;
};

TEST_F(MimeHandlerTest, ListsEveryDecodedFileWithItsSizeIntoTheTree) {
  int32_t status = -99;
  EXPECT_EQ(sortedRecords(winmail_, status),
            (std::vector<std::string>{"path=MailBody.txt\tattr=-\tunco=25\ttype=N",
                                      "path=Notes for Friday.txt\tattr=-\tunco=5\ttype=N",
                                      "path=report.pdf\tattr=-\tunco=15\ttype=N"}));
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(fs::is_directory(scratch_ / "extract"));

  // The pipeline chooses this handler by the name and builds the tree from it.
  AZipItem::Ptr root;
  ASSERT_EQ(getInfo(winmail_, root), 0);
  ASSERT_TRUE(root);
  const std::string tree = test::dumpTree(*root);
  for (const char* name : {"MailBody.txt unco=25", "Notes for Friday.txt unco=5", "report.pdf unco=15"})
    EXPECT_NE(tree.find(name), std::string::npos) << tree;
}

TEST_F(MimeHandlerTest, AFolderInTheScratchFolderComesBeforeItsContents) {
  fs::create_directories(scratch_ / "extract/inner");
  std::ofstream(scratch_ / "extract/inner/x.txt") << "abc";
  std::vector<std::string> records;
  ASSERT_EQ(handler(winmail_)->getInfo(records), 0);
  const auto folder = std::find(records.begin(), records.end(), "path=inner\tattr=d\tunco=0\ttype=N");
  const auto inside = std::find(records.begin(), records.end(), "path=inner/x.txt\tattr=-\tunco=3\ttype=N");
  ASSERT_NE(folder, records.end());
  ASSERT_NE(inside, records.end());
  EXPECT_LT(folder, inside);
  EXPECT_EQ(records.size(), 5u);
}

TEST_F(MimeHandlerTest, EmptyOrCorruptFilesListNothing) {
  std::string corrupt = twoAttachments();
  corrupt[corrupt.size() - 1] ^= 1;  // the last checksum
  for (const std::string& bytes : {std::string(), std::string("\x78\x9F\x3E\x22", 4), corrupt}) {
    int32_t status = 0;
    EXPECT_TRUE(sortedRecords(dir_.write("bad/winmail.dat", bytes).string(), status).empty());
    EXPECT_EQ(status, -1);
  }
  // Without a scratch folder there is nowhere to decode to.
  std::vector<std::string> records;
  const std::shared_ptr<ArchiveHandler> h = AHandlerMime::metaclass().initWithURL(winmail_);
  EXPECT_EQ(h->getInfo(records), -1);
  AZipItem::Ptr root;
  EXPECT_EQ(getInfo(dir_.write("x/winmail.dat", "not a mail container").string(), root), -1);
}

TEST_F(MimeHandlerTest, ExtractCopiesNamedItemsFromAFreshDecode) {
  const std::shared_ptr<ArchiveHandler> h = handler(winmail_);
  const fs::path destination = dir_.path() / "out";
  fs::create_directory(destination);
  AZipItem::List items{AZipItem::initWithPath("report.pdf"), AZipItem::initWithPath("MailBody.txt"),
                       AZipItem::initWithPath("../winmail.dat"), AZipItem::initWithPath("missing.txt")};
  EXPECT_EQ(h->extract(items, destination.string(), 0), 0);
  EXPECT_EQ(readFile(destination / "report.pdf"), "%PDF-1.4 report");
  EXPECT_EQ(readFile(destination / "MailBody.txt"), "See the attached files.\r\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(destination), {}), 2);
  EXPECT_FALSE(fs::exists(dir_.path() / "winmail.dat"));
  // The fresh decode is gone again.
  EXPECT_TRUE(fs::is_empty(scratch_));
}

}  // namespace
}  // namespace tessaro
