#include "archiver/KeyedArchiver.h"

#include <gtest/gtest.h>

#include "support/Golden.h"

namespace tessaro {
namespace {

PropertyList uid(uint64_t v) { return PropertyList(PlistUid{v}); }

PropertyList classDescription(std::initializer_list<const char*> chain) {
  PlistArray classes;
  for (const char* name : chain) classes.emplace_back(name);
  return PlistDictionary{{"$classname", *chain.begin()}, {"$classes", std::move(classes)}};
}

std::string archiveOf(PlistArray objects, uint64_t root = 1) {
  return PropertyList(PlistDictionary{{"$archiver", "NSKeyedArchiver"},
                                      {"$version", 100000},
                                      {"$objects", std::move(objects)},
                                      {"$top", PlistDictionary{{"root", uid(root)}}}})
      .toBinary();
}

PropertyList storeRecord() {
  return PlistDictionary{
      {"lockOptions", 5},
      {"idleMinutes", 15},
      {"lastActivity", PlistDate{1700000000.5}},
      {"lastSleepWakeUUID", ""},
      {"passwords", PlistArray{"first", "s\xc3\xa9\x63ond", "first ", ""}},
      {"presetPasswords", PlistDictionary{{"3", "three"}, {"-1", "minus"}, {"12", "twelve"}}},
      {"salt", PlistDate{1700000001.25}},
  };
}

// The archive's whole layout is compared: dates as NS.time seconds from 2001, preset tags as
// numbers, strings and numbers inline, every class named once with its chain up to NSObject.
TEST(KeyedArchiverTest, WritesThePlatformShapeAndReadsItBack) {
  auto bytes = KeyedArchiver::archivedData(storeRecord());
  ASSERT_TRUE(bytes);
  ASSERT_EQ(bytes->substr(0, 8), "bplist00");
  EXPECT_EQ(KeyedArchiver::unarchive(*bytes), storeRecord());
  const auto archive = PropertyList::fromBytes(*bytes);
  ASSERT_TRUE(archive);
  test::expectGolden("keyed-archive.xml", archive->toXml());
}

TEST(KeyedArchiverTest, ReadsArchivesInThePlatformsOtherShapes) {
  // Mutable classes, an NS.string object, shared key strings, a $null value, number keys and an
  // empty array without members, in the order the platform's archiver lays objects out.
  PlistArray objects{
      "$null",
      PlistDictionary{{"NS.keys", PlistArray{uid(2), uid(3), uid(4), uid(5), uid(6)}},
                      {"NS.objects", PlistArray{uid(7), uid(11), uid(12), uid(14), uid(0)}},
                      {"$class", uid(15)}},
      "passwords",
      "lastActivity",
      "presetPasswords",
      "lockOptions",
      "lastSleepWakeUUID",
      PlistDictionary{{"NS.objects", PlistArray{uid(8), uid(9), uid(8)}}, {"$class", uid(16)}},
      "one",
      PlistDictionary{{"NS.string", "two"}, {"$class", uid(17)}},
      PlistData{{1, 2, 3}},  // held by nothing, as archives may have
      PlistDictionary{{"NS.time", 0.0}, {"$class", uid(18)}},
      PlistDictionary{
          {"NS.keys", PlistArray{uid(13)}}, {"NS.objects", PlistArray{uid(8)}}, {"$class", uid(15)}},
      int64_t{4},
      int64_t{5},
      classDescription({"NSMutableDictionary", "NSDictionary", "NSObject"}),
      classDescription({"NSMutableArray", "NSArray", "NSObject"}),
      classDescription({"NSMutableString", "NSString", "NSObject"}),
      classDescription({"NSDate", "NSObject"}),
  };
  auto read = KeyedArchiver::unarchive(archiveOf(objects));
  ASSERT_TRUE(read);
  const PropertyList expected = PlistDictionary{{"passwords", PlistArray{"one", "two", "one"}},
                                                {"lastActivity", PlistDate{978307200.0}},
                                                {"presetPasswords", PlistDictionary{{"4", "one"}}},
                                                {"lockOptions", 5},
                                                {"lastSleepWakeUUID", PropertyList()}};
  EXPECT_EQ(*read, expected) << read->toXml();

  PlistArray empty{"$null", PlistDictionary{{"$class", uid(2)}},
                   classDescription({"NSMutableArray", "NSArray", "NSObject"})};
  EXPECT_EQ(KeyedArchiver::unarchive(archiveOf(empty)), PropertyList(PlistArray{}));
}

TEST(KeyedArchiverTest, RejectsMalformedAndHostileArchives) {
  EXPECT_FALSE(KeyedArchiver::unarchive(""));
  EXPECT_FALSE(KeyedArchiver::unarchive("bplist00 not really"));
  EXPECT_FALSE(KeyedArchiver::unarchive(PropertyList(PlistDictionary{{"a", 1}}).toBinary()));
  // A root beyond the objects, a reference beyond them, keys without values, a key that is no string.
  EXPECT_FALSE(KeyedArchiver::unarchive(archiveOf({"$null"}, 5)));
  EXPECT_FALSE(
      KeyedArchiver::unarchive(archiveOf({"$null", PlistDictionary{{"NS.objects", PlistArray{uid(9)}}}})));
  EXPECT_FALSE(KeyedArchiver::unarchive(archiveOf(
      {"$null", PlistDictionary{{"NS.keys", PlistArray{uid(2)}}, {"NS.objects", PlistArray{}}}, "k"})));
  EXPECT_FALSE(KeyedArchiver::unarchive(archiveOf(
      {"$null", PlistDictionary{{"NS.keys", PlistArray{uid(2)}}, {"NS.objects", PlistArray{uid(2)}}}, 1.5})));
  // An array that holds itself.
  EXPECT_FALSE(
      KeyedArchiver::unarchive(archiveOf({"$null", PlistDictionary{{"NS.objects", PlistArray{uid(1)}}}})));
  // Sixty arrays each holding the next one twice would unfold into 2^60 nodes.
  PlistArray bomb{"$null"};
  for (uint64_t i = 1; i <= 60; ++i)
    bomb.emplace_back(PlistDictionary{{"NS.objects", PlistArray{uid(i + 1), uid(i + 1)}}});
  bomb.emplace_back("leaf");
  EXPECT_FALSE(KeyedArchiver::unarchive(archiveOf(bomb)));
  // Trees with a UID in them are not archivable.
  EXPECT_FALSE(KeyedArchiver::archivedData(PlistArray{uid(1)}));
}

}  // namespace
}  // namespace tessaro
