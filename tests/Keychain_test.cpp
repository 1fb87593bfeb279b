#include "Keychain.h"

#include <gtest/gtest.h>

#include "defaults/UserDefaults.h"
#include "support/TempDir.h"

namespace tessaro {
namespace {

// Items in creation order.
class MemoryItemStore final : public KeychainItemStore {
 public:
  std::vector<keychain::Item> entries;

  keychain::Status search(std::string_view kind, const std::optional<std::string>& name,
                          std::vector<keychain::Item>& items) override {
    items.clear();
    for (const auto& e : entries)
      if (matches(e, kind, name)) items.push_back(e);
    return keychain::kStatusOK;
  }
  keychain::Status deleteItems(std::string_view kind, const std::optional<std::string>& name,
                               std::vector<int>&) override {
    std::erase_if(entries, [&](const keychain::Item& e) { return matches(e, kind, name); });
    return keychain::kStatusOK;
  }
  keychain::Status addItem(std::string_view name, std::string_view kind, std::string_view secret) override {
    entries.push_back({"Tessaro", std::string(name), std::string(kind), std::string(secret)});
    return keychain::kStatusOK;
  }
  size_t count(std::string_view kind) const {
    return static_cast<size_t>(std::count_if(entries.begin(), entries.end(),
                                             [&](const keychain::Item& e) { return matches(e, kind, {}); }));
  }

 private:
  static bool matches(const keychain::Item& e, std::string_view kind,
                      const std::optional<std::string>& name) {
    return e.description == kind && (!name || *name == e.account);
  }
};

class KeychainTest : public ::testing::Test {
 protected:
  test::IsolatedHome home;
  UserDefaults defaults{"app.tessaro.KeychainTest"};
  std::shared_ptr<MemoryItemStore> items = std::make_shared<MemoryItemStore>();
  double now = 1'800'000'000;
  std::optional<std::string> uuid = "boot-a-0";

  // A start of the application with the current clock, identifier and items.
  std::unique_ptr<Keychain> start() {
    KeychainServices services;
    services.now = [this] { return now; };
    services.sleepWakeUUID = [this] { return uuid; };
    services.defaults = &defaults;
    services.items = items;
    return std::make_unique<Keychain>(services);
  }

  std::optional<PropertyList> record() {
    defaults.synchronize();
    return defaults.objectForKey(kPasswordsDefaultsKey);
  }

  // A store set up with a master password and options, as the user leaves it.
  void configure(int32_t options, int32_t idleMinutes) {
    auto store = start();
    store->setMasterPassword("master");
    ASSERT_TRUE(store->unlockWithMasterPassword("master"));
    store->setLockOptions(options, idleMinutes);
    ASSERT_TRUE(store->addPassword("archive-1"));
    ASSERT_FALSE(store->isLocked());
  }
};

TEST_F(KeychainTest, FreshSystemIsLockedAndWritesNothing) {
  auto store = start();
  EXPECT_TRUE(store->isLocked());
  EXPECT_FALSE(store->enumerator());
  EXPECT_FALSE(store->masterPassword());
  EXPECT_FALSE(store->save());
  EXPECT_FALSE(store->addPassword("x"));
  EXPECT_FALSE(record());
  EXPECT_FALSE(store->unlockWithMasterPassword("anything"));
  EXPECT_TRUE(store->isLocked());
}

struct LockCase {
  const char* what;
  int32_t options;
  int32_t idleMinutes;
  double minutesUntilRestart;
  bool sleepBeforeRestart;
  bool lockedAfterRestart;
};

void PrintTo(const LockCase& c, std::ostream* out) { *out << c.what; }

class KeychainLockRuleTest : public KeychainTest, public ::testing::WithParamInterface<LockCase> {};

TEST_P(KeychainLockRuleTest, RestartFollowsTheRules) {
  const LockCase& c = GetParam();
  configure(c.options, c.idleMinutes);
  now += c.minutesUntilRestart * 60;
  if (c.sleepBeforeRestart) uuid = "boot-a-1";
  auto store = start();
  EXPECT_EQ(store->isLocked(), c.lockedAfterRestart);
  EXPECT_EQ(store->enumerator().has_value(), !c.lockedAfterRestart);
  // The master password opens it again whatever the trigger was, and the passwords are there.
  ASSERT_TRUE(store->unlockWithMasterPassword("master"));
  EXPECT_FALSE(store->isLocked());
  EXPECT_EQ(store->enumerator(), std::vector<std::string>{"archive-1"});
}

INSTANTIATE_TEST_SUITE_P(
    Table, KeychainLockRuleTest,
    ::testing::Values(LockCase{"no options", 0, 5, 600, true, false},
                      LockCase{"idle limit passed", kLockAfterIdle, 5, 6, false, true},
                      LockCase{"idle limit not reached", kLockAfterIdle, 5, 4, false, false},
                      LockCase{"idle limit without the idle option", kLockAfterSleep, 5, 6, false, false},
                      LockCase{"every start", kLockAtStart, 0, 0, false, true},
                      LockCase{"slept", kLockAfterSleep, 0, 0, true, true},
                      LockCase{"did not sleep", kLockAfterSleep, 0, 0, false, false},
                      LockCase{"slept without the sleep option", kLockAfterIdle, 60, 1, true, false}));

TEST_F(KeychainTest, SleepWhileRunningLocksUntilTheMasterPasswordIsGiven) {
  configure(kLockAfterSleep | kLockAfterIdle, 5);
  auto store = start();
  EXPECT_FALSE(store->isLocked());
  uuid = "boot-a-1";
  EXPECT_FALSE(store->isLocked());  // nothing noticed the sleep yet
  store->receiveWakeNote();
  EXPECT_TRUE(store->isLocked());
  EXPECT_FALSE(store->enumerator());
  // A save while locked marks the record as long idle, so the next start stays locked too.
  ASSERT_TRUE(store->save());
  EXPECT_FALSE(store->unlockWithMasterPassword("wrong"));
  EXPECT_TRUE(store->isLocked());
  EXPECT_FALSE(store->masterPassword());
  uuid = "boot-a-1";
  auto next = start();
  EXPECT_TRUE(next->isLocked());
  EXPECT_TRUE(next->unlockWithMasterPassword("master"));
  EXPECT_EQ(next->lastSleepWakeUUID(), "boot-a-1");
  EXPECT_FALSE(next->isLocked());
}

TEST_F(KeychainTest, BadRecordsAndWrongPasswordsLeaveEverythingAsItWas) {
  configure(0, 0);
  const auto before = record();
  ASSERT_TRUE(before && before->is<PlistData>());
  auto store = start();
  EXPECT_FALSE(store->unlockWithMasterPassword("Master"));
  EXPECT_TRUE(store->isLocked());
  EXPECT_EQ(record(), before);
  ASSERT_EQ(items->count(kMasterPasswordKind), 1u);
  EXPECT_EQ(items->entries.front().secret, "master");

  for (const char* damage : {"flipped", "cut", "foreign"}) {
    SCOPED_TRACE(damage);
    auto bytes = before->get<PlistData>()->bytes;
    if (damage == std::string_view("flipped"))
      bytes[bytes.size() / 2] ^= 0x10;
    else if (damage == std::string_view("cut"))
      bytes.pop_back();
    else
      bytes[0] = 2;
    ASSERT_TRUE(defaults.setObject(kPasswordsDefaultsKey, PlistData{bytes}));
    auto restarted = start();
    EXPECT_TRUE(restarted->isLocked() || restarted->passwordCount() == 0);
    EXPECT_FALSE(restarted->unlockWithMasterPassword("master"));
    EXPECT_TRUE(restarted->isLocked());
    EXPECT_EQ(record(), PropertyList(PlistData{bytes}));
  }
}

TEST_F(KeychainTest, PasswordEditsSaveOnlyWhenSomethingChanged) {
  configure(0, 0);
  auto store = start();
  const auto before = record();
  EXPECT_TRUE(store->addPassword("archive-1"));
  EXPECT_EQ(record(), before);  // a new record would carry fresh salts
  EXPECT_FALSE(store->addPassword(""));
  EXPECT_FALSE(store->removePassword(""));
  EXPECT_TRUE(store->removePassword("not there"));
  EXPECT_EQ(record(), before);
  store->setClean();
  EXPECT_TRUE(store->addPassword("p\xc3\xa4ss 2"));
  EXPECT_TRUE(store->dirty());
  EXPECT_NE(record(), before);
  store->replacePasswordAtIndex(0, "");
  store->replacePasswordAtIndex(0, "archive-one");
  EXPECT_EQ(store->exportPasswords(), "archive-one\np\xc3\xa4ss 2");
  ASSERT_TRUE(store->importPasswords("x\ny\n\nz"));
  EXPECT_EQ(start()->enumerator(), (std::vector<std::string>{"x", "y", "", "z"}));
  EXPECT_TRUE(store->removePasswordAtIndex(2));
  EXPECT_FALSE(store->removePasswordAtIndex(3));
  EXPECT_EQ(start()->exportPasswords(), "x\ny\nz");
  EXPECT_TRUE(store->removeAllPasswords());
  EXPECT_EQ(start()->passwordCount(), 0u);
}

TEST_F(KeychainTest, PresetPasswordsSingleValuesAndMasterChanges) {
  configure(0, 0);
  auto store = start();
  EXPECT_TRUE(store->setPasswordForPreset("memory only", 7));
  EXPECT_TRUE(start()->presetPasswords().empty());
  EXPECT_TRUE(store->addPasswordForPreset("saved", -3));
  EXPECT_EQ(start()->presetPasswords(), (std::map<int32_t, std::string>{{-3, "saved"}, {7, "memory only"}}));
  store->savePresetPasswordForTag(7);
  store->removePasswordForPreset(7);
  EXPECT_EQ(start()->presetPasswords().count(7), 0u);
  store->savePresetPasswordForTagFromKeychain(7);
  EXPECT_EQ(store->presetPasswords().at(7), "memory only");
  store->removePasswordForPresetFromKeychain(7);
  EXPECT_EQ(items->count(kPresetPasswordKind), 0u);

  const auto cipher = store->encryptString("secret text");
  ASSERT_TRUE(cipher);
  EXPECT_EQ(store->decryptString(*cipher), "secret text");
  EXPECT_FALSE(store->encryptString(""));

  store->setMasterPassword("new master");
  EXPECT_EQ(store->decryptString(*cipher), "");
  auto restarted = start();
  EXPECT_FALSE(restarted->isLocked());
  EXPECT_EQ(restarted->masterPassword(), "new master");
  EXPECT_FALSE(restarted->unlockWithMasterPassword("master"));
  EXPECT_TRUE(start()->unlockWithMasterPassword("new master"));
}

TEST_F(KeychainTest, KeychainVariantNumbersItemsAndCutsLongSecrets) {
  configure(0, 0);
  auto store = start();
  ASSERT_TRUE(store->importPasswords("b\n\na\nb"));
  ASSERT_TRUE(store->saveToKeychain());
  ASSERT_EQ(items->count(kArchivePasswordKind), 3u);
  EXPECT_EQ(items->entries.back().account, "Tessaro password 3");
  EXPECT_EQ(store->enumerator(), (std::vector<std::string>{"b", "a"}));

  items->addItem("Tessaro password 4", kArchivePasswordKind, std::string(2000, 'l'));
  items->addItem("Options", kSecurityOptionKind, "3");
  store->setMode(1);
  EXPECT_EQ(defaults.integerForKey(kPasswordsModeDefaultsKey), 1);
  ASSERT_TRUE(store->loadFromKeychain());
  EXPECT_EQ(store->mode(), 3);
  ASSERT_EQ(store->passwordCount(), 3u);
  EXPECT_EQ(store->passwordAtIndex(2), std::string(1023, 'l'));
  EXPECT_EQ(start()->mode(), 1);  // the mode a start reads is the mirrored default
}

}  // namespace
}  // namespace tessaro
