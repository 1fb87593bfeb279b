#include "plist/PropertyList.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <limits>
#include <string>

#include "support/TempDir.h"

namespace tessaro {
namespace {

// 2001-01-01 00:00:00 UTC, where property-list dates count from.
constexpr double k2001 = 978307200.0;

PropertyList everyType() {
  PlistDictionary inner{{"list", PlistArray{1, "two", PlistArray{}, PlistDictionary{}}}};
  return PlistDictionary{
      {"yes", true},
      {"negative", int64_t{-5}},
      {"max", std::numeric_limits<int64_t>::max()},
      {"min", std::numeric_limits<int64_t>::min()},
      {"real", 0.1},
      {"tiny", -2.5e-300},
      {"text", "Grüße <&> \"quoted\" 日本"},
      {"data", PlistData{{0x00, 0xFF, 0x10, 0x7F}}},
      {"date", PlistDate{k2001 + 86400 * 365}},
      {"old date", PlistDate{k2001 - 3600}},
      {"uid", PlistUid{7}},
      {"nested", PlistArray{inner, PlistArray{PlistArray{3.5}}}},
  };
}

// A binary list of `levels` arrays each holding `fanout` references to the next (2^levels leaves
// once expanded with a fanout of 2), the last one holding 0, with 4-byte references so that
// `levels` can be large. `cycle` makes the innermost array hold the outermost.
std::string chainedBinaryList(uint32_t levels, uint32_t fanout = 1, bool cycle = false) {
  std::string bytes = "bplist00";
  std::vector<uint32_t> offsets;
  auto be = [&](uint64_t v, int size) {
    for (int i = size - 1; i >= 0; --i) bytes.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  };
  for (uint32_t i = 0; i < levels; ++i) {
    offsets.push_back(static_cast<uint32_t>(bytes.size()));
    bytes.push_back(static_cast<char>(0xA0 | fanout));  // array of `fanout`
    for (uint32_t k = 0; k < fanout; ++k) be(cycle && i + 1 == levels ? 0 : i + 1, 4);
  }
  offsets.push_back(static_cast<uint32_t>(bytes.size()));
  bytes += std::string("\x10\x00", 2);  // integer 0
  const uint64_t table = bytes.size();
  for (uint32_t offset : offsets) be(offset, 4);
  bytes.append(6, '\0');
  bytes.push_back(4);  // offset size
  bytes.push_back(4);  // reference size
  be(offsets.size(), 8);
  be(0, 8);
  be(table, 8);
  return bytes;
}

std::string nestedXml(int depth) {
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">";
  for (int i = 0; i < depth; ++i) xml += "<array>";
  xml += "<true/>";
  for (int i = 0; i < depth; ++i) xml += "</array>";
  return xml + "</plist>\n";
}

TEST(PropertyListTest, RoundTripsKeepEveryTypeAndDatesCountFrom2001InFiles) {
  PropertyList original = everyType();
  EXPECT_EQ(PropertyList::fromBytes(original.toXml()), original);
  // Binary lists keep fractions of seconds too.
  auto& dict = *original.get<PlistDictionary>();
  dict["fraction"] = PlistDate{1234567890.25};
  dict["fraction before 2001"] = PlistDate{k2001 - 99.5};
  EXPECT_EQ(PropertyList::fromBytes(original.toBinary()), original);
  // A bare value works as the root too.
  EXPECT_EQ(PropertyList::fromBytes(PropertyList("lonely").toBinary()), PropertyList("lonely"));
  EXPECT_EQ(PropertyList::fromBytes(PropertyList(PlistUid{9}).toXml()), PropertyList(PlistUid{9}));

  const std::string xml = PropertyList(PlistDate{k2001 + 61}).toXml();
  EXPECT_NE(xml.find("<date>2001-01-01T00:01:01Z</date>"), std::string::npos) << xml;
  const auto epoch =
      PropertyList::fromBytes("<plist version=\"1.0\"><date>1970-01-01T00:00:00Z</date></plist>");
  ASSERT_TRUE(epoch);
  EXPECT_EQ(epoch->get<PlistDate>()->unixSeconds, 0);
}

TEST(PropertyListTest, KeyedArchiveUidDictionaryReadsAsUid) {
  const auto value = PropertyList::fromBytes(
      "\xEF\xBB\xBF<?xml version=\"1.0\"?><plist version=\"1.0\"><array>"
      "<dict><key>CF$UID</key><integer>3</integer></dict>"
      "<dict><key>CF$UID</key><string>3</string></dict></array></plist>");
  ASSERT_TRUE(value);
  const auto& array = *value->get<PlistArray>();
  EXPECT_EQ(array[0], PropertyList(PlistUid{3}));
  EXPECT_TRUE(array[1].is<PlistDictionary>());  // only an integer makes a UID
}

TEST(PropertyListTest, GarbageAndTruncatedInputFailCleanly) {
  for (std::string_view bad : {"", "hello", "<", "<plist><dict><key>a</key></plist>", "bplist00",
                               "bplist00\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF"
                               "\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF"}) {
    EXPECT_FALSE(PropertyList::fromBytes(bad)) << bad;
  }
  // libplist asserts (aborts) on a key without a value or a key holding a NUL unless these are
  // kept from the calls that check; whether the first two read as something does not matter.
  (void)PropertyList::fromBytes("<plist version=\"1.0\"><dict><key>a</key></dict></plist>");
  (void)PropertyList::fromBytes("<plist version=\"1.0\"><dict><key>a</key><key>b</key></dict></plist>");
  std::string nulKey = PropertyList(PlistDictionary{{"aXb", 1}}).toBinary();
  nulKey[nulKey.find("aXb") + 1] = '\0';
  EXPECT_FALSE(PropertyList::fromBytes(nulKey));

  const std::string binary = everyType().toBinary();
  for (size_t length = 0; length < binary.size(); ++length) {
    EXPECT_FALSE(PropertyList::fromBytes(std::string_view(binary).substr(0, length))) << length;
  }
  // Every single-byte corruption must be survived; whether it still parses does not matter.
  for (size_t i = 8; i < binary.size(); ++i) {
    for (unsigned char flip : {0x01, 0x80, 0xFF}) {
      std::string damaged = binary;
      damaged[i] = static_cast<char>(damaged[i] ^ flip);
      (void)PropertyList::fromBytes(damaged);
    }
  }
  const std::string xml = everyType().toXml();
  for (size_t length = 0; length + 10 < xml.size(); length += 3) {
    EXPECT_FALSE(PropertyList::fromBytes(std::string_view(xml).substr(0, length))) << length;
  }
}

TEST(PropertyListTest, DeepNestingCyclesAndExpansionBombsAreRefused) {
  EXPECT_TRUE(PropertyList::fromBytes(nestedXml(500)));
  EXPECT_FALSE(PropertyList::fromBytes(nestedXml(600)));
  EXPECT_FALSE(PropertyList::fromBytes(nestedXml(200000)));

  EXPECT_TRUE(PropertyList::fromBytes(chainedBinaryList(500)));
  EXPECT_FALSE(PropertyList::fromBytes(chainedBinaryList(600)));
  EXPECT_FALSE(PropertyList::fromBytes(chainedBinaryList(200000)));
  EXPECT_FALSE(PropertyList::fromBytes(chainedBinaryList(3, 1, true)));

  const auto small = PropertyList::fromBytes(chainedBinaryList(4, 2));
  ASSERT_TRUE(small);
  EXPECT_EQ(small->get<PlistArray>()->size(), 2u);
  EXPECT_FALSE(PropertyList::fromBytes(chainedBinaryList(40, 2)));

  // Values built in memory are held to the same limit on the way out.
  PropertyList deep = 1;
  for (int i = 0; i < 600; ++i) deep = PlistArray{deep};
  EXPECT_EQ(deep.toXml(), "");
  EXPECT_EQ(deep.toBinary(), "");
}

TEST(PropertyListTest, FilesAreWrittenAtomicallyAndReadBackWithLimits) {
  test::TempDir dir;
  const auto path = dir.path() / "prefs.plist";
  ASSERT_TRUE(PropertyList(PlistDictionary{{"a", 1}}).writeToFile(path));
  const PropertyList second = PlistDictionary{{"b", "two"}};
  ASSERT_TRUE(second.writeToFile(path, true));
  EXPECT_EQ(PropertyList::fromFile(path), second);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);

  EXPECT_FALSE(second.writeToFile(dir.path() / "missing" / "x.plist"));
  EXPECT_FALSE(PropertyList().writeToFile(dir.path() / "null.plist"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);

  EXPECT_FALSE(PropertyList::fromFile(dir.path()));
  const auto fifo = dir.path() / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(PropertyList::fromFile(fifo));
  const auto huge = dir.path() / "huge.plist";
  dir.write("huge.plist", "<plist>");
  std::filesystem::resize_file(huge, (64u << 20) + 1);
  EXPECT_FALSE(PropertyList::fromFile(huge));
}

TEST(PropertyListTest, LenientReadingsConvertNumbersBooleansAndNumericText) {
  EXPECT_EQ(PropertyList(-2.9).asInteger(), -2);
  EXPECT_EQ(PropertyList(" 42 ").asInteger(), 42);
  EXPECT_EQ(PropertyList("3.75").asInteger(), 3);
  EXPECT_EQ(PropertyList("YES").asInteger(), 1);
  EXPECT_EQ(PropertyList("12abc").asInteger(), std::nullopt);
  EXPECT_EQ(PropertyList("0x10").asInteger(), std::nullopt);
  EXPECT_EQ(PropertyList(1e300).asInteger(), std::nullopt);

  EXPECT_EQ(PropertyList("2.5e1").asDouble(), 25.0);
  EXPECT_EQ(PropertyList("nan").asDouble(), std::nullopt);

  EXPECT_EQ(PropertyList("TRUE").asBool(), true);
  EXPECT_EQ(PropertyList("0").asBool(), false);
  EXPECT_EQ(PropertyList("maybe").asBool(), std::nullopt);

  EXPECT_EQ(PropertyList(1.5).asString(), "1.5");
  EXPECT_EQ(PropertyList(PlistDate{}).asString(), std::nullopt);
  EXPECT_EQ(PropertyList("k").find("k"), nullptr);
}

}  // namespace
}  // namespace tessaro
