#include "TableRows.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TypeCache.h"
#include "support/ListingTrees.h"
#include "support/TempDir.h"

namespace tessaro {
namespace {

using test::buildTree;

std::string render(AZipItem& root, bool simple, int32_t cutoff, int32_t* last = nullptr) {
  theTypeCache() = std::make_shared<TypeCache>();
  theItemTypeSource() = theTypeCache();
  std::string out;
  const int32_t n = outputTableRowIntoMutableString(root, out, 0, 0, simple, "/tmp/a b.zip", cutoff);
  if (last) *last = n;
  // One row per line, so that expectations read as a listing.
  std::string lines;
  for (size_t start = 0; start < out.size();) {
    const size_t end = out.find("</tr>", start);
    lines += out.substr(start, end + 5 - start) + "\n";
    start = end + 5;
  }
  return lines;
}

class TableRowsTest : public ::testing::Test {
 protected:
  test::IsolatedHome home;
  AZipItem::Ptr root = buildTree({"path=a/\tattr=drwxr-xr-x", "path=a/x\tunco=1", "path=b\tunco=2"});
};

TEST_F(TableRowsTest, CutoffLimitsRowsAndEndsTheWalk) {
  // The rows' markup itself is compared whole in the preview page's golden pages.
  int32_t last = 0;
  const std::string three = render(*root, false, 3, &last);
  EXPECT_EQ(std::count(three.begin(), three.end(), '\n'), 2);
  EXPECT_NE(three.find(";a/x'"), std::string::npos);
  EXPECT_EQ(three.find(";b'"), std::string::npos);
  EXPECT_EQ(last, 3);
  EXPECT_EQ(render(*root, false, 1), "");
  EXPECT_EQ(render(*root, false, 0), "");
}

TEST_F(TableRowsTest, EmptyFoldersAndMacAndPackageRows) {
  auto tree = buildTree(
      {"path=empty/\tattr=drwxr-xr-x", "path=._x\tunco=1", "path=Photos.app/Contents/Info.plist\tunco=1"});
  const std::string normal = render(*tree, false, 100);
  EXPECT_NE(normal.find("id='b_fold'/><div class='n'><a dir='auto' href='tssro://view//tmp/a%20b.zip;empty'"),
            std::string::npos);
  EXPECT_NE(normal.find("<tr class='h' "), std::string::npos);
  EXPECT_NE(normal.find("<tr class='p' "), std::string::npos);
  EXPECT_NE(render(*tree, true, 100)
                .find("id='b_____'/><div class='n'><a dir='auto' href='tssro://view//tmp/a%20b.zip;empty'"),
            std::string::npos);
}

TEST_F(TableRowsTest, NamesAndArchiveTextsCannotBreakTheMarkup) {
  auto tree = buildTree({"path=a&b.txt\tunco=1", "path=x.'onmouseover='alert(1)\tunco=1\tattr=<script>",
                         "path=<img src=x onerror=alert(1)>\tunco=1"});
  const std::string rows = render(*tree, false, 100);
  EXPECT_NE(rows.find(";a%26b.txt'>a&amp;b.txt</a>"), std::string::npos) << rows;
  EXPECT_EQ(rows.find("<script>"), std::string::npos);
  EXPECT_EQ(rows.find("<img src"), std::string::npos);
  EXPECT_EQ(rows.find("'onmouseover="), std::string::npos);
  EXPECT_NE(rows.find("id='b_&apos;onmouseover=&apos;alert(1)'"), std::string::npos);
}

// The attributes of each row's start tag, in order: what the page sorts and re-reads names by.
std::vector<std::string> rowData(const std::string& rows) {
  std::vector<std::string> out;
  for (size_t p = rows.find("<tr class='"); p != std::string::npos; p = rows.find("<tr class='", p + 1)) {
    const size_t start = rows.find('\'', p + 11) + 1;
    out.push_back(rows.substr(start, rows.find('>', start) - start));
  }
  return out;
}

TEST_F(TableRowsTest, RowsCarrySizesDatesAndTheBytesOfLegacyNames) {
  auto tree = buildTree({"path=old\tunco=5\tcomp=3\ttime=20200501.102032",
                         "path=new\tunco=-1\tcomp=7\ttime=20210501.102032",
                         // A name read as code page 437, with the bytes it was read from.
                         "path=\xC3\xA4\xC2\xAB\tunco=1\trawn=84AE", "path=dir/in\tunco=4\tcomp=2"});
  const std::vector<std::string> data = rowData(render(*tree, false, 100));
  ASSERT_EQ(data.size(), 5u);
  // No packed size of its own sorts as -1; a missing unpacked size as the packed one, as shown.
  EXPECT_TRUE(data[0].starts_with(" data-s='5' data-p='3' data-t='")) << data[0];
  EXPECT_TRUE(data[1].starts_with(" data-s='7' data-p='7' data-t='")) << data[1];
  const auto seconds = [](const std::string& attributes) {
    return std::stoll(attributes.substr(attributes.find("data-t='") + 8));
  };
  EXPECT_EQ(seconds(data[1]) - seconds(data[0]), 365 * 86400);
  EXPECT_EQ(data[2], " data-s='1' data-p='0' data-raw='84ae'");
  // A folder made for its entry has no date; its sizes are its contents'.
  EXPECT_EQ(data[3], " data-s='4' data-p='2'");
  EXPECT_EQ(data[4], " data-s='4' data-p='2'");
}

TEST_F(TableRowsTest, RawNameBytesThatAreNotHexadecimalAreDropped) {
  auto tree = buildTree({"path=a\tunco=1\trawn=84' onmouseover='x", "path=b\tunco=1\trawn=abc",
                         "path=c\tunco=1\trawn=", "path=d\tunco=1\trawn=0g"});
  const std::string rows = render(*tree, false, 100);
  EXPECT_EQ(rows.find("data-raw"), std::string::npos) << rows;
  EXPECT_EQ(rows.find("onmouseover"), std::string::npos);
}

TEST_F(TableRowsTest, DeepTreesRenderWithoutRecursion) {
  std::string deep;
  for (int i = 0; i < 50000; ++i) deep += "d/";
  auto tree = buildTree({"path=" + deep + "leaf\tunco=1", "path=" + deep.substr(0, 4000) + "x\tunco=1"});
  int32_t last = 0;
  const std::string rows = render(*tree, true, 10, &last);
  EXPECT_EQ(std::count(rows.begin(), rows.end(), '\n'), 9);
  // Past the cutoff the walk follows one chain down and stops.
  EXPECT_EQ(last, 50001);
}

TEST_F(TableRowsTest, FlaggedEntriesCarryAMarkTitledWithTheirFlags) {
  auto flagged =
      buildTree({"path=/etc/x\tattr=-rw-r--r--", "path=../a\tattr=-rw-r--r--", "path=../a\tattr=crw-r--r--",
                 "path=ok\tattr=-rw-r--r--", "path=invoice\u202Efdp<.exe\tattr=-rw-r--r--"});
  theTypeCache() = std::make_shared<TypeCache>();
  theItemTypeSource() = theTypeCache();
  std::string english;
  outputTableRowIntoMutableString(*flagged, english, 0, 0, true, "/x.zip", 100);
  EXPECT_NE(english.find(">x</a><span class='sf sf-abs' title='Absolute path'>!</span></div>"),
            std::string::npos);
  EXPECT_NE(english.find(">a</a><span class='sf sf-up sf-dup sf-dev' title='Parent folder reference (..), "
                         "Duplicate path, Device file'>!</span></div>"),
            std::string::npos);
  EXPECT_NE(english.find(">ok</a></div>"), std::string::npos);
  // A right-to-left override shows as its code point instead of reversing what follows it.
  EXPECT_NE(english.find(">invoice<span class='ctl'>U+202E</span>fdp&lt;.exe</a><span class='sf sf-ctl' "
                         "title='Invisible or direction-changing characters'>!</span>"),
            std::string::npos);
  // The folders made on the way carry no mark of their own.
  EXPECT_EQ(english.find(">etc</a><span"), std::string::npos);

  // Titles from the page's language are escaped like names.
  SafetyFlagTitles titles;
  titles.flags.fill("<b>'");
  titles.encrypted = "<i>";
  std::string localised;
  outputTableRowIntoMutableString(*flagged, localised, 0, 0, true, "/x.zip", 100, titles);
  EXPECT_NE(localised.find("title='&lt;b&gt;&apos;'>!</span>"), std::string::npos);

  // An encrypted entry gets a lock after its name, and only that entry.
  AZipItem* locked = nullptr;
  for (const AZipItem::Ptr& child : flagged->children())
    if (child->name() == "ok") locked = child.get();
  ASSERT_NE(locked, nullptr);
  locked->setEncryptedEntry(true);
  std::string marked;
  outputTableRowIntoMutableString(*flagged, marked, 0, 0, true, "/x.zip", 100, titles);
  EXPECT_NE(marked.find(">ok</a><span class='enc' title='&lt;i&gt;'>&#x1F512;</span></div>"),
            std::string::npos)
      << marked;
  EXPECT_EQ(marked.find("enc'", marked.find("enc'") + 1), std::string::npos);
}

}  // namespace
}  // namespace tessaro
