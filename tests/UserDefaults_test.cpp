#include "defaults/UserDefaults.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>
#include <vector>

#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace tessaro {
namespace {

constexpr const char* kApp = "test.tessaro.App";

std::filesystem::path domainPath(std::string_view domain) {
  return UserDefaults::preferencesFolder() / (std::string(domain) + ".plist");
}

class UserDefaultsTest : public ::testing::Test {
 protected:
  test::IsolatedHome home;
  UserDefaults defaults{kApp};
};

TEST_F(UserDefaultsTest, LookupGoesApplicationThenSuitesInOrderThenRegistration) {
  // Registrations merge, later values winning, and never touch the disk.
  defaults.registerDefaults({{"k", "first"}, {"a", 1}});
  defaults.registerDefaults({{"k", "registered"}});
  EXPECT_EQ(defaults.integerForKey("a"), 1);
  EXPECT_EQ(defaults.stringForKey("k"), "registered");
  EXPECT_FALSE(std::filesystem::exists(domainPath(kApp)));
  defaults.addSuiteNamed("test.suite.one");
  defaults.addSuiteNamed("test.suite.two");
  ASSERT_TRUE(defaults.setPersistentDomain({{"k", "two"}, {"inTwo", true}}, "test.suite.two"));
  EXPECT_EQ(defaults.stringForKey("k"), "two");
  ASSERT_TRUE(defaults.setPersistentDomain({{"k", "one"}}, "test.suite.one"));
  EXPECT_EQ(defaults.stringForKey("k"), "one");
  ASSERT_TRUE(defaults.setObject("k", "application"));
  EXPECT_EQ(defaults.stringForKey("k"), "application");
  EXPECT_TRUE(defaults.boolForKey("inTwo"));

  ASSERT_TRUE(defaults.removeObjectForKey("k"));
  EXPECT_EQ(defaults.stringForKey("k"), "one");
  ASSERT_TRUE(defaults.removePersistentDomainForName("test.suite.one"));
  EXPECT_FALSE(std::filesystem::exists(domainPath("test.suite.one")));
  EXPECT_EQ(defaults.stringForKey("k"), "two");
  ASSERT_TRUE(defaults.removePersistentDomainForName("test.suite.two"));
  EXPECT_EQ(defaults.stringForKey("k"), "registered");
}

TEST_F(UserDefaultsTest, MissingAndMistypedValuesReadAsZeroFalseOrNone) {
  EXPECT_EQ(defaults.integerForKey("missing"), 0);
  EXPECT_FALSE(defaults.boolForKey("missing"));
  EXPECT_EQ(defaults.stringForKey("missing"), std::nullopt);

  defaults.registerDefaults({{"numeric", " 42"},
                             {"yes", "YES"},
                             {"junk", "purple"},
                             {"list", PlistArray{1, 2}},
                             {"table", PlistDictionary{{"x", 1}}}});
  EXPECT_EQ(defaults.integerForKey("numeric"), 42);
  EXPECT_EQ(defaults.integerForKey("junk"), 0);
  EXPECT_TRUE(defaults.boolForKey("yes"));
  EXPECT_FALSE(defaults.boolForKey("junk"));
  EXPECT_EQ(defaults.arrayForKey("table"), std::nullopt);
  EXPECT_EQ(defaults.dictionaryForKey("list"), std::nullopt);
}

TEST_F(UserDefaultsTest, WritesReachTheFileAtOnceAndSynchronizeRereadsIt) {
  EXPECT_EQ(UserDefaults::preferencesFolder(), home.dir().path() / "config" / "tessaro" / "preferences");
  ASSERT_TRUE(defaults.setObject("size", 3));
  const auto file = domainPath(kApp);
  EXPECT_EQ(PropertyList::fromFile(file), PropertyList(PlistDictionary{{"size", 3}}));
  EXPECT_EQ(UserDefaults(kApp).integerForKey("size"), 3);

  // Another program rewrites the file; the cached domain holds until synchronize().
  ASSERT_TRUE(PropertyList(PlistDictionary{{"size", 9}}).writeToFile(file, true));
  EXPECT_EQ(defaults.integerForKey("size"), 3);
  defaults.synchronize();
  EXPECT_EQ(defaults.integerForKey("size"), 9);

  // Setting nothing removes the key, and the file is written back as XML.
  ASSERT_TRUE(defaults.setObject("size", PropertyList()));
  EXPECT_EQ(defaults.objectForKey("size"), std::nullopt);
  const auto saved = PropertyList::fromFile(file);
  ASSERT_TRUE(saved);
  EXPECT_EQ(*saved, PropertyList(PlistDictionary{}));
}

TEST_F(UserDefaultsTest, PreferencesFolderFallsBackToHomeConfig) {
  for (const char* config : {"", "relative/path"}) {
    test::ScopedEnv env;
    env.set("XDG_CONFIG_HOME", std::string(config));
    EXPECT_EQ(UserDefaults::preferencesFolder(), home.dir().path() / ".config" / "tessaro" / "preferences");
  }
  test::ScopedEnv env;
  env.set("XDG_CONFIG_HOME", std::nullopt);
  ASSERT_TRUE(UserDefaults(kApp).setObject("k", "v"));
  EXPECT_TRUE(std::filesystem::exists(home.dir().path() / ".config" / "tessaro" / "preferences" /
                                      (std::string(kApp) + ".plist")));
}

TEST_F(UserDefaultsTest, CorruptOrForeignFilesReadAsEmptyDomains) {
  home.dir().write("config/tessaro/preferences/" + std::string(kApp) + ".plist",
                   "<?xml version=\"1.0\"?><plist><dict><key>k");
  ASSERT_TRUE(PropertyList(PlistArray{1}).writeToFile(domainPath("test.array")));
  defaults.synchronize();
  defaults.addSuiteNamed("test.array");
  defaults.registerDefaults({{"k", "fallback"}});
  EXPECT_EQ(defaults.stringForKey("k"), "fallback");
  EXPECT_EQ(defaults.persistentDomainForName(kApp), PlistDictionary{});
  ASSERT_TRUE(defaults.setObject("k", "repaired"));
  defaults.synchronize();
  EXPECT_EQ(defaults.stringForKey("k"), "repaired");
}

TEST_F(UserDefaultsTest, DomainNamesCannotLeaveThePreferencesFolder) {
  for (const char* domain : {"", ".", "..", "../escape", "a/b"}) {
    EXPECT_FALSE(defaults.setPersistentDomain({{"k", 1}}, domain)) << domain;
    EXPECT_EQ(defaults.persistentDomainForName(domain), std::nullopt) << domain;
  }
  EXPECT_FALSE(std::filesystem::exists(home.dir().path() / "config" / "tessaro" / "escape.plist"));
  UserDefaults invalid("../escape");
  EXPECT_FALSE(invalid.setObject("k", 1));
  EXPECT_EQ(invalid.objectForKey("k"), std::nullopt);
}

TEST_F(UserDefaultsTest, ConcurrentReadersAndWritersShareOneObject) {
  defaults.registerDefaults({{"shared", 7}});
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this, t] {
      const std::string key = "thread" + std::to_string(t);
      for (int i = 0; i < 25; ++i) {
        EXPECT_TRUE(defaults.setObject(key, i));
        EXPECT_EQ(defaults.integerForKey(key), i);
        EXPECT_EQ(defaults.integerForKey("shared"), 7);
        if (i % 10 == 0) defaults.synchronize();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  defaults.synchronize();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(defaults.integerForKey("thread" + std::to_string(t)), 24);
  EXPECT_EQ(UserDefaults::standard().applicationDomain(), kHostDefaultsDomain);
}

}  // namespace
}  // namespace tessaro
