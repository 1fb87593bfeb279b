#include "TableRows.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ListingTree.h"
#include "TypeCache.h"
#include "support/TempDir.h"

namespace tessaro {
namespace {

AZipItem::Ptr build(const std::vector<std::string>& records) {
  ListingTree tree;
  tree.addAll(records);
  return tree.finish();
}

std::string render(AZipItem& root, bool simple, int32_t cutoff, int32_t* last = nullptr) {
  theTypeCache() = std::make_shared<TypeCache>();
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
  AZipItem::Ptr root = build({"path=a/\tattr=drwxr-xr-x", "path=a/x\tunco=1", "path=b\tunco=2"});
};

TEST_F(TableRowsTest, NormalRowsFollowTreeOrderWithIndentationAndToggles) {
  int32_t last = 0;
  EXPECT_EQ(render(*root, false, 100, &last),
            "<tr class=''><td class='cN' style='padding-left: 18px;'><div class=\"open\" onClick=\"tggl(this);\">&#x25BC;</div>"
            "<img class='i' id='b_fold'/><div class='n'><a href='tssro://view//tmp/a%20b.zip;a'>a</a></div></td>"
            "<td class='cD'></td><td class='cS'>1 B</td><td class='cP'>\u2013</td><td class='cK'>Folder</td><td class='cA'>drwxr-xr-x</td></tr>\n"
            "<tr class=''><td class='cN' style='padding-left: 36px;'><img class='i' id='b_'/><div class='n'>"
            "<a href='tssro://view//tmp/a%20b.zip;a/x'>x</a></div></td>"
            "<td class='cD'></td><td class='cS'>1 B</td><td class='cP'>\u2013</td><td class='cK'>\u2013</td><td class='cA'></td></tr>\n"
            "<tr class=''><td class='cN' style='padding-left: 18px;'><img class='i' id='b_'/><div class='n'>"
            "<a href='tssro://view//tmp/a%20b.zip;b'>b</a></div></td>"
            "<td class='cD'></td><td class='cS'>2 B</td><td class='cP'>\u2013</td><td class='cK'>\u2013</td><td class='cA'></td></tr>\n");
  EXPECT_EQ(last, 3);
}

TEST_F(TableRowsTest, SimpleRowsAlternateAndUseTwoIcons) {
  const std::string rows = render(*root, true, 100);
  EXPECT_EQ(rows.find("open"), std::string::npos);
  std::vector<std::string> classes, ids;
  for (size_t p = rows.find("<tr class='"); p != std::string::npos; p = rows.find("<tr class='", p + 1))
    classes.push_back(rows.substr(p + 11, 4));
  for (size_t p = rows.find("id='"); p != std::string::npos; p = rows.find("id='", p + 1))
    ids.push_back(rows.substr(p + 4, rows.find('\'', p + 4) - p - 4));
  EXPECT_EQ(classes, (std::vector<std::string>{"row1", "row0", "row1"}));
  EXPECT_EQ(ids, (std::vector<std::string>{"b_fold", "b_____", "b_____"}));
}

TEST_F(TableRowsTest, CutoffLimitsRowsAndEndsTheWalk) {
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
  auto tree = build({"path=empty/\tattr=drwxr-xr-x", "path=._x\tunco=1", "path=Photos.app/Contents/Info.plist\tunco=1"});
  const std::string normal = render(*tree, false, 100);
  EXPECT_NE(normal.find("id='b_fold'/><div class='n'><a href='tssro://view//tmp/a%20b.zip;empty'"), std::string::npos);
  EXPECT_NE(normal.find("<tr class='h'>"), std::string::npos);
  EXPECT_NE(normal.find("<tr class='p'>"), std::string::npos);
  EXPECT_NE(render(*tree, true, 100).find("id='b_____'/><div class='n'><a href='tssro://view//tmp/a%20b.zip;empty'"),
            std::string::npos);
}

TEST_F(TableRowsTest, NamesAndArchiveTextsCannotBreakTheMarkup) {
  auto tree = build({"path=a&b.txt\tunco=1", "path=x.'onmouseover='alert(1)\tunco=1\tattr=<script>",
                     "path=<img src=x onerror=alert(1)>\tunco=1"});
  const std::string rows = render(*tree, false, 100);
  EXPECT_NE(rows.find(";a%26b.txt'>a&amp;b.txt</a>"), std::string::npos) << rows;
  EXPECT_EQ(rows.find("<script>"), std::string::npos);
  EXPECT_EQ(rows.find("<img src"), std::string::npos);
  EXPECT_EQ(rows.find("'onmouseover="), std::string::npos);
  EXPECT_NE(rows.find("id='b_&apos;onmouseover=&apos;alert(1)'"), std::string::npos);
}

TEST_F(TableRowsTest, DeepTreesRenderWithoutRecursion) {
  std::string deep;
  for (int i = 0; i < 50000; ++i) deep += "d/";
  auto tree = build({"path=" + deep + "leaf\tunco=1", "path=" + deep.substr(0, 4000) + "x\tunco=1"});
  int32_t last = 0;
  const std::string rows = render(*tree, true, 10, &last);
  EXPECT_EQ(std::count(rows.begin(), rows.end(), '\n'), 9);
  // Past the cutoff the walk follows one chain down and stops.
  EXPECT_EQ(last, 50001);
}

}  // namespace
}  // namespace tessaro
