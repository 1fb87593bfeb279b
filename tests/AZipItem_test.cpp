#include "AZipItem.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "ListingRecord.h"
#include "bundle/Bundle.h"
#include "support/Golden.h"
#include "support/ListingTrees.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"
#include "support/TreeDump.h"

namespace tessaro {
namespace {

using test::findItem;

// Records and the trees they make, one after another in the golden file.
TEST(AZipItemTest, RecordsBecomeTrees) {
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      // Folders are made for the parts of a path and sum their children; lines that are not
      // records are skipped.
      {"folders and sums",
       {"path=a/b/c.txt\tunco=12\tcomp=-1", "path=a/x\tunco=5000000001\tcomp=3",
        "path=docs/\tattr=drwxr-xr-x", "path=b/y\tattr=-rw-r--r--\tunco=1\tcomp=1", "Listing: not a record",
        "path=no-tab"}},
      // Parents are found through the items made last before the dictionary is asked; an item
      // that a second "path" field moved must not be taken for the folder it now names.
      {"parents found anywhere",
       {"path=a/\tattr=drwxr-xr-x", "path=a/x\tunco=1", "path=b/\tattr=drwxr-xr-x", "path=a/y\tunco=2",
        "path=m/\tattr=drwxr-xr-x\tpath=n", "path=n/z\tunco=3", "path=a/x/deeper\tunco=4"}},
      {"absolute paths", {"path=/etc/hosts\tunco=10"}},
      // Attributes decide folder and link but never clear them.
      {"attributes",
       {"path=f1\tattr=-rw-r--r--", "path=l1\tattr=lrwxrwxrwx", "path=w1\tattr=..D...",
        "path=w2\tattr=A.H...", "path=d1\tattr=d", "path=l1\tattr=-rw-r--r--", "path=f2\tattr=-rwsr-xr-x"}},
  };
  std::string all;
  for (const auto& [name, records] : cases)
    all += std::string("== ") + name + "\n" + test::dumpTree(*test::buildTree(records));
  test::expectGolden("azipitem-trees.txt", all);
}

TEST(AZipItemTest, RootNamesAndCounts) {
  auto root = test::buildTree(
      {"path=a/b/c.txt\tunco=12", "path=a/x\tunco=1", "path=docs/\tattr=d", "path=b/y\tunco=1"});
  EXPECT_EQ(root->itemCount(), 8);
  EXPECT_EQ(root->name(), "/");
  EXPECT_EQ(root->path(), "");
  EXPECT_EQ(findItem(*root, "a/b/c.txt")->name(), "c.txt");
  EXPECT_EQ(test::buildTree({"path=/etc/hosts\tunco=10"})->children()[0]->name(), "etc");
  // "/" and "" both name the root: fields of such a record land on it.
  auto root2 = test::buildTree({"path=/\tcomt=root note", "path=\tvers=9"});
  EXPECT_TRUE(root2->children().empty());
  EXPECT_EQ(root2->comt(), "root note");
  EXPECT_EQ(root2->vers(), "9");
}

TEST(AZipItemTest, LaterRecordsUpdateTheSameItemAndKeepFolderOrder) {
  auto root = test::buildTree(
      {"path=a/x\tunco=1", "path=b/y\tunco=2", "path=a\tattr=drwx------\tunco=99", "path=a/\tcomt=hello"});
  ASSERT_EQ(root->children().size(), 2u);
  EXPECT_EQ(root->children()[0]->path(), "a");
  EXPECT_EQ(root->children()[1]->path(), "b");
  const AZipItem* a = findItem(*root, "a");
  EXPECT_EQ(a->attr(), "drwx------");
  EXPECT_EQ(a->comt(), "hello");
  EXPECT_EQ(a->uncoV(), 1);  // a folder's size is the sum of its children
  EXPECT_EQ(root->itemCount(), 5);
}

TEST(AZipItemTest, FieldsAreReadByKeyAndOddFieldsChangeNothing) {
  auto root = test::buildTree(
      {"path=x\tmeth=LZMA2:24\tcrc_=0\tos__=Unix\tvers=20\ttype=+\tnum_=7\tzzzz=1\tab\t\tunco=3\tunco=4",
       "path=y\tcrc_=1A2B\tkind=Text\tname=renamed"});
  const AZipItem* x = findItem(*root, "x");
  EXPECT_EQ(x->meth(), "LZMA2:24");
  EXPECT_EQ(x->crc_(), "");
  EXPECT_EQ(x->os__(), "Unix");
  EXPECT_EQ(x->vers(), "20");
  EXPECT_EQ(x->type(), "+");
  EXPECT_EQ(x->num_(), 7);
  EXPECT_EQ(x->uncoV(), 4);  // a key that occurs twice takes effect twice, in order
  auto* y = const_cast<AZipItem*>(findItem(*root, "y"));  // kind() is made on first read
  EXPECT_EQ(y->crc_(), "1A2B");
  EXPECT_EQ(y->kind(), "Text");
  EXPECT_EQ(y->name(), "renamed");
  EXPECT_EQ(y->num_(), -1);
}

// The time forms themselves are ListingRecord's; the item chooses between them and the parts.
TEST(AZipItemTest, DatesComeFromTimeOrFromLongListingParts) {
  test::ScopedEnv zone;
  zone.set("TZ", "UTC");
  auto root =
      test::buildTree({"path=parts\tmont=Mar\tday_=7\thour=9\tminu=5",
                       "path=both\ttime=20200101.000000\tmont=Mar\tday_=7", "path=lower\tmont=mar\tday_=7",
                       "path=badtime\ttime=2023-13-01 00:00:00\tyear=2001\tmont=Feb\tday_=3"});
  auto seconds = [&](std::string_view p) {
    auto t = findItem(*root, p)->timeV();
    return t ? t->time_since_epoch().count() : -1;
  };
  EXPECT_EQ(seconds("both"), 1577836800);
  EXPECT_EQ(seconds("lower"), -1);
  EXPECT_EQ(seconds("badtime"), 981158400);  // 2001-02-03 00:00 GMT
  // Without a year the parts fall in this one.
  EXPECT_EQ(seconds("parts"), dateFromGMTParts(0, 3, 7, 9, 5).time_since_epoch().count());
}

TEST(AZipItemTest, MacMetadataItemsAreClassifiedByNameAndPath) {
  auto root = test::buildTree({"path=__MACOSX/a/._b\tunco=1", "path=dir/Icon\r\tunco=0",
                               "path=dir/ICON\r\tunco=0", "path=.DS_Store\tunco=0", "path=.profile\tunco=0",
                               "path=x/._y\tunco=0", "path=Icon\tunco=0"});
  std::string mac;
  for (const auto& item : root->collectDescendants())
    if (item->isMacItem()) mac += std::string(item->path()) + "|";
  EXPECT_EQ(mac, "__MACOSX|__MACOSX/a|__MACOSX/a/._b|dir/Icon\r|dir/ICON\r|.DS_Store|x/._y|");
  EXPECT_EQ(root->itemCount(), 12);  // Mac items count like any other
}

TEST(AZipItemTest, FolderSumsUseDisplaySizesAndRawPackedSizes) {
  auto root = test::buildTree(
      {"path=f/a\tunco=5\tcomp=10", "path=f/b\tunco=-1\tcomp=3", "path=f/c\tunco=-1\tcomp=-1"});
  const AZipItem* f = findItem(*root, "f");
  EXPECT_EQ(f->uncoV(), 8);
  EXPECT_EQ(f->compV(), 12);
  EXPECT_EQ(root->compV(), 12);
  // Hostile sizes saturate instead of wrapping.
  auto huge = test::buildTree({"path=a\tunco=9223372036854775807\tcomp=9223372036854775807",
                               "path=b\tunco=9223372036854775807\tcomp=9223372036854775807"});
  EXPECT_EQ(huge->uncoV(), INT64_MAX);
  EXPECT_EQ(huge->compV(), INT64_MAX);
}

TEST(AZipItemTest, DisplayTextsOfSizesRatiosAndDates) {
  auto item = AZipItem::initWithPath("x");
  item->setCompV(0);
  EXPECT_EQ(item->comp(), "\u2013");
  item->setUncoV(1);
  EXPECT_EQ(item->ratio(), "100%");
  item->setUncoV(200);
  item->setCompV(50);
  EXPECT_EQ(item->ratio(), "25%");
  EXPECT_EQ(item->unco(), "200 B");
  item->setUncoV(-1);
  EXPECT_EQ(item->unco(), "50 B");
  EXPECT_EQ(item->time(), "");
  item->setTimeV(Date(std::chrono::seconds(1678179930)));
  EXPECT_FALSE(item->time().empty());
}

TEST(AZipItemTest, VisibilityPassHidesMacItemsAndFiltersByName) {
  auto root = test::buildTree({"path=mac/._a\tunco=1", "path=mac/._b\tunco=1", "path=docs/readme.TXT\tunco=4",
                               "path=docs/other\tunco=2", "path=src/main.c\tunco=8"});
  EXPECT_FALSE(root->calcHiddenFlag(false, ""));
  const AZipItem* mac = findItem(*root, "mac");
  EXPECT_FALSE(mac->isHidden());
  EXPECT_EQ(mac->numberOfVisibleChildren(), 0);
  EXPECT_EQ(mac->hiddenItemCount(), 2);
  EXPECT_EQ(root->hiddenItemCount(), 2);

  root->calcHiddenFlag(true, "readme.txt");
  EXPECT_FALSE(findItem(*root, "docs")->isHidden());  // stays while a descendant matches
  EXPECT_TRUE(findItem(*root, "docs/other")->isHidden());
  EXPECT_TRUE(findItem(*root, "src")->isHidden());
  ASSERT_EQ(root->visibleChildren().size(), 1u);
  EXPECT_EQ(root->visibleChildren()[0]->path(), "docs");
  EXPECT_EQ(root->numberOfVisibleChildren(), 1);

  // Deleted items are hidden, and a second pass gives the same sums as the first.
  auto tree = test::buildTree({"path=a\tunco=3", "path=b\tunco=4"});
  for (auto& leaf : tree->children()) leaf->setUncoVvisible(leaf->uncoV());
  tree->children()[1]->setIsDeleted(true);
  tree->calcHiddenFlag(true, "");
  const int64_t first = tree->uncoVvisible();
  tree->calcHiddenFlag(true, "");
  EXPECT_EQ(first, 3);
  EXPECT_EQ(tree->uncoVvisible(), first);
}

TEST(AZipItemTest, CountsDescendantsAndLatestDate) {
  auto root = test::buildTree({"path=a/b/c\ttime=20200101.000000", "path=a/d\ttime=20210101.000000",
                               "path=a/._e\ttime=20300101.000000", "path=f\tattr=drwxr-xr-x"});
  const AZipItem* a = findItem(*root, "a");
  EXPECT_EQ(a->latestDate()->time_since_epoch().count(),
            findItem(*root, "a/d")->timeV()->time_since_epoch().count());
  EXPECT_FALSE(findItem(*root, "f")->latestDate().has_value());
  std::string paths;
  for (const auto& item : root->collectDescendants()) paths += std::string(item->path()) + " ";
  EXPECT_EQ(paths, "a a/b a/b/c a/d a/._e f ");
  EXPECT_EQ(a->nonMacChildren().size(), 2u);
  EXPECT_EQ(const_cast<AZipItem*>(a)->numberOfChildrenShowHidden(true), 3);
  EXPECT_EQ(a->numberOfNotDeletedFiles(), 2);
  EXPECT_TRUE(root->isAncestorOf(findItem(*root, "a/b/c")));
  EXPECT_TRUE(a->isAncestorOf(a));
  EXPECT_FALSE(findItem(*root, "f")->isAncestorOf(a));
  EXPECT_EQ(root->childAtIndex(99, true), nullptr);
}

TEST(AZipItemTest, EditingStateAndCommit) {
  test::TempDir dir;
  dir.write("en.lproj/Localizable.strings", "\"Moved\" = \"Moved\";");
  Bundle host(dir.path());
  auto root = test::buildTree({"path=a/x\tunco=1", "path=a/y\tunco=1", "path=b\tunco=1"});
  AZipItem* a = root->children()[0].get();
  a->setSrcArchivePath("old");
  a->setSrcFilesystemPath("/tmp/new");
  EXPECT_EQ(a->status(host), "Moved");
  EXPECT_EQ(a->srcArchivePathWithEndSlash(), "old/");
  a->children()[1]->setIsDeleted(true);
  a->children()[0]->setCachePath("/tmp/cache x");
  a->children()[0]->setAcceptChanges(1);
  EXPECT_EQ(a->children()[0]->status(host), "Modified");
  EXPECT_EQ(a->children()[0]->previewItemURL(), "file:///tmp/cache%20x");
  root->commitChanges();
  ASSERT_EQ(a->children().size(), 1u);
  EXPECT_EQ(a->status(host), "");
  EXPECT_EQ(a->children()[0]->acceptChanges(), 0);
  EXPECT_EQ(root->children()[1]->objectSpecifier()->index, 1);
}

TEST(AZipItemTest, DeepAndLongPathsNeitherRecurseNorCrash) {
  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += "d/";
  deep += "leaf";
  auto root = test::buildTree({"path=" + deep + "\tunco=7", "path=" + std::string(4000, 'n') + "\tunco=1"});
  EXPECT_EQ(root->uncoV(), 8);
  EXPECT_EQ(root->itemCount(), 100003);
  root->calcHiddenFlag(false, "zzz");
  EXPECT_TRUE(root->isHidden());
  EXPECT_EQ(root->collectDescendants().size(), 100002u);
  root->commitChanges();
}

// ---- The listing records the items are made from

int64_t secondsOf(std::optional<Date> d) { return d ? d->time_since_epoch().count() : -1; }

TEST(ListingRecordTest, RecordsSizesAndMonths) {
  EXPECT_TRUE(isEntryRecord("path=a\tunco=1"));
  EXPECT_TRUE(isEntryRecord("path=\tunco=1"));
  for (const char* notEntry : {"path=a", "Path=a\tunco=1", "Comment = x\ty"})
    EXPECT_FALSE(isEntryRecord(notEntry)) << notEntry;
  EXPECT_EQ(recordPath("path=a/b c\tunco=1\tcomp=2"), "a/b c");
  EXPECT_EQ(recordFields("path=a/b c\tunco=1\tcomp=2"), "unco=1\tcomp=2");

  // Every digit is kept; hostile sizes saturate.
  const std::pair<const char*, int64_t> sizes[] = {{"5000000001", 5000000001LL},
                                                   {"-1", -1},
                                                   {"12.9", 12},
                                                   {"-12.9", -12},
                                                   {"+7kB", 7},
                                                   {"abc", 0},
                                                   {"", 0},
                                                   {"9223372036854775807", INT64_MAX},
                                                   {"99999999999999999999999", INT64_MAX},
                                                   {"-9223372036854775808", INT64_MIN},
                                                   {"-99999999999999999999999", INT64_MIN}};
  for (const auto& [text, size] : sizes) EXPECT_EQ(parseRecordSize(text), size) << text;
  EXPECT_EQ(parseRecordInteger("99999999999"), INT32_MAX);
  EXPECT_EQ(parseRecordInteger("-3"), -3);

  // Months are exact English abbreviations.
  EXPECT_EQ(parseRecordMonth("Jan"), 1);
  EXPECT_EQ(parseRecordMonth("Dec"), 12);
  EXPECT_EQ(parseRecordMonth("mar"), 0);
  EXPECT_EQ(parseRecordMonth("March"), 0);
}

TEST(ListingRecordTest, TimeFormsParseInTheLocalZoneOrNotAtAll) {
  test::ScopedEnv zone;
  zone.set("TZ", "UTC");
  // 2023-03-07 09:05:30 UTC
  for (const char* form : {"20230307.090530", "2023-03-07 09:05:30", "2023- 3- 7  9: 5:30"})
    EXPECT_EQ(secondsOf(parseRecordTime(form)), 1678179930) << form;
  EXPECT_EQ(secondsOf(parseRecordTime("20230307.0905")), 1678179900);
  EXPECT_EQ(secondsOf(parseRecordTime("1980-01-01 00:00:00")), 315532800);
  for (const char* bad :
       {"20231307.090530", "20230230.090530", "20230307-090530", "2023030a.0905", "20230307.2460",
        "2023-03-07", "2023-03-07 09:05:30x", "", "garbage", "2023-03-07T09:05:30", "-2023-03-07 09:05:30"})
    EXPECT_FALSE(parseRecordTime(bad).has_value()) << bad;
  EXPECT_TRUE(parseRecordTime("20240229.000000").has_value());

  // Winter UTC+1, summer UTC+2, and another zone when it changes.
  zone.set("TZ", "Europe/Berlin");
  EXPECT_EQ(secondsOf(parseRecordTime("20230115.120000")), 1673780400);
  EXPECT_EQ(secondsOf(parseRecordTime("20230715.120000")), 1689415200);
  zone.set("TZ", "America/New_York");
  EXPECT_EQ(secondsOf(parseRecordTime("20230715.120000")), 1689436800);
}

TEST(ListingRecordTest, GMTPartsCarryLikeACalendar) {
  EXPECT_EQ(dateFromGMTParts(2023, 3, 7, 9, 5).time_since_epoch().count(), 1678179900);
  // Day 0 is the last day of the month before; 90 minutes carry into the hour.
  EXPECT_EQ(dateFromGMTParts(2023, 3, 0, 0, 90).time_since_epoch().count(),
            dateFromGMTParts(2023, 2, 28, 1, 30).time_since_epoch().count());
  // Year 0 is this year.
  time_t now = std::time(nullptr);
  struct tm tm {};
  gmtime_r(&now, &tm);
  EXPECT_EQ(dateFromGMTParts(0, 3, 7, 9, 5).time_since_epoch().count(),
            dateFromGMTParts(tm.tm_year + 1900, 3, 7, 9, 5).time_since_epoch().count());
}

}  // namespace
}  // namespace tessaro
