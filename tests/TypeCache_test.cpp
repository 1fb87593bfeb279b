#include "TypeCache.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "AZipItem.h"
#include "DataURIStyle.h"
#include "helpers.h"
#include "support/PngImage.h"
#include "support/TempDir.h"

namespace tessaro {
namespace {

AZipItem::Ptr entry(std::string_view path, bool isDir = false) {
  auto item = AZipItem::initWithPath(path);
  item->setIsDir(isDir);
  return item;
}

// What a table row reads of an item, in the row's order: "key kind package".
std::string rowFacts(AZipItem& item) {
  const int package = item.isPackage();
  const std::string key = item.filetype();
  return "'" + key + "' " + item.kind() + " " + std::to_string(package);
}

struct StyleRule {
  std::string id;
  test::PngImage png;
};

// Parses style text as the page writes it; fails the test on any line that is not one rule.
std::vector<StyleRule> parseRules(const std::string& styles) {
  static const std::regex rule(
      R"(img#(\S*) \{content:url\('data:image/png;base64,([A-Za-z0-9+/]+=*)'\);\}\n)");
  std::vector<StyleRule> rules;
  auto begin = std::sregex_iterator(styles.begin(), styles.end(), rule);
  size_t covered = 0;
  for (auto it = begin; it != std::sregex_iterator(); ++it) {
    EXPECT_EQ(static_cast<size_t>(it->position()), covered) << "text between rules";
    covered = it->position() + it->length();
    auto bytes = decodeBase64((*it)[2].str());
    EXPECT_TRUE(bytes);
    auto png = bytes ? test::decodePng(*bytes) : std::nullopt;
    EXPECT_TRUE(png) << (*it)[1];
    rules.push_back({(*it)[1].str(), png.value_or(test::PngImage{})});
  }
  EXPECT_EQ(covered, styles.size());
  return rules;
}

// The table's icon rules, made the way the page makes them.
std::string tableStyles(const TypeCache& cache) {
  std::string styles;
  for (const auto& [key, item] : cache.dict())
    styles += makeDataURIStyleForImage(item->icon()->drawnIntoSquare(16), "b_" + key, 16);
  return styles;
}

class TypeCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    theTypeCache() = std::make_shared<TypeCache>();
    theItemTypeSource() = theTypeCache();
  }

  test::IsolatedHome home_;  // the icons drawn are cached in it
};

TEST_F(TypeCacheTest, RowsGetTypeKeysKindsAndOneStyleRulePerKeyInFirstUseOrder) {
  auto txtUpper = entry("a.TXT");
  auto txtLower = entry("b.txt");
  auto readme = entry("README");
  auto app = entry("Photos.app", true);
  auto folder = entry("Photos", true);
  auto unknown = entry("notes.xyzzy");
  auto txtAgain = entry("dir/c.txt");

  const std::string textKind = theTypeCache()->nameForType("txt").value_or("");
  const std::string folderKind = theTypeCache()->nameForType("fold").value_or("");
  EXPECT_TRUE(!textKind.empty() && !folderKind.empty());
  SetUp();

  EXPECT_EQ(rowFacts(*txtUpper), "'TXT' " + textKind + " 0");  // the MIME database ignores case
  EXPECT_EQ(rowFacts(*txtLower), "'txt' " + textKind + " 0");
  EXPECT_EQ(rowFacts(*readme), "'' \u2013 0");
  EXPECT_EQ(rowFacts(*app), "'app' Application 1");
  EXPECT_EQ(rowFacts(*folder), "'fold' " + folderKind + " 0");
  EXPECT_EQ(rowFacts(*unknown), "'xyzzy' \u2013 0");
  EXPECT_EQ(rowFacts(*txtAgain), "'txt' " + textKind + " 0");
  // A computed type is kept, even an empty one.
  readme->setIsDir(true);
  EXPECT_EQ(readme->filetype(), "");

  // The plain folder asked about its own extension ("") before it became "fold".
  std::string keys;
  for (const auto& e : theTypeCache()->dict()) keys += "'" + e.first + "' ";
  EXPECT_EQ(keys, "'TXT' 'txt' '' 'app' 'fold' 'xyzzy' ");

  const auto rules = parseRules(tableStyles(*theTypeCache()));
  std::string ids;
  for (const StyleRule& rule : rules) {
    ids += rule.id + " ";
    EXPECT_EQ(rule.png.width, 16);
    EXPECT_TRUE(rule.png.anyOpaque()) << rule.id;
  }
  EXPECT_EQ(ids, "b_TXT b_txt b_ b_app b_fold b_xyzzy ");
}

TEST_F(TypeCacheTest, TheFirstPackageAnswerForAKeyStandsForTheRequest) {
  auto file = entry("x.bundle");
  auto folder = entry("y.bundle", true);
  EXPECT_EQ(file->isPackage(), 0);
  EXPECT_EQ(folder->isPackage(), 0);
  EXPECT_EQ(folder->filetype(), "fold");

  SetUp();

  auto folderFirst = entry("y.bundle", true);
  auto fileLater = entry("x.bundle");
  EXPECT_EQ(folderFirst->isPackage(), 1);
  EXPECT_EQ(folderFirst->filetype(), "bundle");
  EXPECT_EQ(fileLater->isPackage(), 1);

  auto shouting = entry("Tool.FRAMEWORK", true);
  EXPECT_EQ(shouting->isPackage(), 1);
  EXPECT_EQ(shouting->filetype(), "FRAMEWORK");
}

TEST_F(TypeCacheTest, IconsAreSmallAndLargePngsSharedWithTheItems) {
  for (const char* key : {"txt", "fold", "app", "____", "", "xyzzy"}) {
    SCOPED_TRACE(key);
    auto small = theTypeCache()->iconForType(key);
    auto large = theTypeCache()->largeIconForType(key);
    ASSERT_TRUE(small && large);
    auto smallPng = test::decodePng(small->pngData().value_or(""));
    auto largePng = test::decodePng(large->pngData().value_or(""));
    ASSERT_TRUE(smallPng && largePng);
    EXPECT_EQ(smallPng->width, 16);
    EXPECT_EQ(largePng->width, 128);
    EXPECT_TRUE(smallPng->anyOpaque() && largePng->anyOpaque());
  }
  EXPECT_EQ(theTypeCache()->dict().size(), 6u);

  auto item = entry("a.txt");
  EXPECT_EQ(item->imgIcon(), theTypeCache()->iconForType("txt"));
  EXPECT_EQ(item->imgLargeIcon(), theTypeCache()->largeIconForType("txt"));
}

// The two kinds the desktop has no name for are translated; the desktop's own names are not.
TEST_F(TypeCacheTest, KindsWithoutADesktopNameAreTranslated) {
  TypeCache cache;
  cache.setTranslation([](std::string_view key) { return "<" + std::string(key) + ">"; });
  EXPECT_EQ(cache.nameForType(kApplicationTypeKey), "<Application>");
  EXPECT_EQ(cache.nameForType(kDocumentTypeKey), "<Document>");
  EXPECT_EQ(cache.nameForType("txt"), TypeCache().nameForType("txt"));
}

// Outside a preview nothing answers the model's type questions, and nothing is looked up.
TEST_F(TypeCacheTest, WithoutATypeSourceItemsHaveNoKindIconOrPackage) {
  theItemTypeSource().reset();
  auto file = entry("a.txt");
  auto bundle = entry("b.app", true);
  EXPECT_EQ(file->kind(), "\u2013");
  EXPECT_EQ(file->imgIcon(), nullptr);
  EXPECT_EQ(bundle->isPackage(), 0);
  EXPECT_TRUE(theTypeCache()->dict().empty());
}

TEST(DataURIStyleTest, RuleTextAndIdsThatCssWouldMisread) {
  const std::string red("\xff\x00\x00\xff", 4);
  const Image image = Image::fromRGBA(2, 2, red + red + red + red);
  const std::string rule = makeDataURIStyleForImage(image, "b_txt", 16);
  const auto rules = parseRules(rule);
  ASSERT_EQ(rules.size(), 1u);
  EXPECT_EQ(rules[0].png.width, 16);
  EXPECT_EQ((rules[0].png.at(8, 8)), (std::array<uint8_t, 4>{255, 0, 0, 255}));

  auto selector = [&](std::string_view id) {
    const std::string r = makeDataURIStyleForImage(image, id, 16);
    return r.substr(0, r.find(" {content"));
  };
  EXPECT_EQ(selector("b_c++"), R"(img#b_c\+\+)");
  EXPECT_EQ(selector("b_x'}</style>"), R"(img#b_x\'\}\<\/style\>)");
  EXPECT_EQ(selector("b_\u00e9-1"), "img#b_\u00e9-1");
  EXPECT_EQ(selector("1a"), R"(img#\31 a)");
  EXPECT_EQ(selector(std::string("b_\n\0", 4)), "img#b_\\a \xEF\xBF\xBD");

  EXPECT_EQ(makeDataURIStyleForImage(Image(), "b_txt", 16), "");
  EXPECT_EQ(makeDataURIStyleForImage(image, "b_txt", 0), "");
}

}  // namespace
}  // namespace tessaro
