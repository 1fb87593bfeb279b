// tessaro passwords against a real gnome-keyring daemon on a private session bus
// (support/KeyringSessionMain.cpp), with master passwords given on standard input.
#include <fcntl.h>
#include <sys/stat.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "defaults/UserDefaults.h"
#include "process/Subprocess.h"
#include "support/TempDir.h"
#include "support/TextChecks.h"

namespace tessaro {
namespace {

class PasswordsCommandTest : public ::testing::Test {
 protected:
  SubprocessResult passwords(std::vector<std::string> args, const std::string& input = "",
                             std::string bus = "") {
    args.insert(args.begin(), {TESSARO_BINARY, "passwords", "--password-stdin"});
    const auto file = home.dir().write("stdin", input);
    const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    SubprocessOptions options;
    options.standardInput = fd;
    if (!bus.empty()) options.environment.emplace_back("DBUS_SESSION_BUS_ADDRESS", bus);
    SubprocessResult result = run(args, options);
    close(fd);
    return result;
  }
  std::optional<PropertyList> record() {
    UserDefaults::standard().synchronize();
    return UserDefaults::standard().objectForKey("HLVPasswords");
  }
  test::IsolatedHome home;
};

TEST_F(PasswordsCommandTest, LifeOfAStoreFromTheTerminal) {
  SubprocessResult status = passwords({"status"});
  EXPECT_EQ(status.exitStatus, 0);
  EXPECT_TRUE(test::contains(status.output, "state: locked"));
  EXPECT_EQ(passwords({"list"}).exitStatus, 1);
  EXPECT_FALSE(record());

  ASSERT_EQ(passwords({"set-master"}, "first master\n").exitStatus, 0);
  EXPECT_EQ(passwords({"add"}, "alpha\n").exitStatus, 0);
  EXPECT_EQ(passwords({"add", "-"}, "b\xc3\xa9ta\n").exitStatus, 0);
  EXPECT_EQ(passwords({"add", "-"}, "alpha\n").exitStatus, 0);
  // A password in the arguments would be visible to every user of the machine.
  EXPECT_EQ(passwords({"add", "gamma"}).exitStatus, 2);
  SubprocessResult listed = passwords({"list"});
  EXPECT_EQ(listed.exitStatus, 0);
  EXPECT_EQ(listed.output, "alpha\nb\xc3\xa9ta\n");

  EXPECT_EQ(passwords({"lock"}).exitStatus, 0);
  EXPECT_TRUE(test::contains(passwords({"status"}).output, "state: locked"));
  const auto before = record();
  ASSERT_TRUE(before);
  SubprocessResult wrong = passwords({"list"}, "not it\n");
  EXPECT_EQ(wrong.exitStatus, 1);
  EXPECT_TRUE(test::contains(wrong.output, "wrong master password"));
  EXPECT_EQ(record(), before);
  EXPECT_EQ(passwords({"list"}, "first master\n").output, "alpha\nb\xc3\xa9ta\n");
  EXPECT_TRUE(test::contains(passwords({"status"}).output, "state: unlocked"));

  // Locking at every start: each run asks again.
  ASSERT_EQ(passwords({"lock-options", "--at-start", "--idle", "30"}).exitStatus, 0);
  EXPECT_EQ(passwords({"list"}).exitStatus, 1);
  SubprocessResult options = passwords({"status"});
  EXPECT_TRUE(test::contains(options.output, "state: locked"));
  EXPECT_EQ(passwords({"unlock"}, "first master\n").exitStatus, 0);
  EXPECT_EQ(passwords({"lock-options"}, "first master\n").exitStatus, 0);
  options = passwords({"status"});
  EXPECT_TRUE(test::contains(options.output, "lock at each start: off"));

  // Changing the master password while locked needs the old one first.
  EXPECT_EQ(passwords({"lock"}).exitStatus, 0);
  EXPECT_EQ(passwords({"set-master"}, "wrong\nsecond\n").exitStatus, 1);
  EXPECT_EQ(passwords({"set-master"}, "first master\nsecond\n").exitStatus, 0);
  EXPECT_EQ(passwords({"lock"}).exitStatus, 0);
  EXPECT_EQ(passwords({"unlock"}, "first master\n").exitStatus, 1);
  EXPECT_EQ(passwords({"unlock"}, "second\n").exitStatus, 0);
}

TEST_F(PasswordsCommandTest, ImportExportAndRemove) {
  ASSERT_EQ(passwords({"set-master"}, "m\n").exitStatus, 0);
  const auto list = home.dir().write("list.txt", "one\ntwo\nthree\nfour\n");
  ASSERT_EQ(passwords({"import", list.string()}).exitStatus, 0);
  EXPECT_EQ(passwords({"remove", "--index", "2"}).exitStatus, 0);
  EXPECT_EQ(passwords({"remove", "four"}).exitStatus, 0);
  EXPECT_EQ(passwords({"remove", "missing"}).exitStatus, 0);
  EXPECT_EQ(passwords({"remove", "--index", "9"}).exitStatus, 2);
  const auto out = home.dir().path() / "out.txt";
  ASSERT_EQ(passwords({"export", out.string()}).exitStatus, 0);
  // The clear list, the enciphered record and the folders holding it are this user's alone.
  struct stat st {};
  ASSERT_EQ(::stat(out.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  const auto preferences = UserDefaults::preferencesFolder();
  ASSERT_EQ(::stat((preferences / (std::string(kHostDefaultsDomain) + ".plist")).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(preferences.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(passwords({"export"}).output, "one\nthree\n");
  ASSERT_EQ(passwords({"import", "-"}, "x\ny\n").exitStatus, 0);
  EXPECT_EQ(passwords({"list"}).output, "x\ny\n");
  EXPECT_EQ(passwords({"import", out.string()}).exitStatus, 0);
  EXPECT_EQ(passwords({"list"}).output, "one\nthree\n");

  EXPECT_EQ(passwords({"frobnicate"}).exitStatus, 2);
  EXPECT_EQ(passwords({"add"}).exitStatus, 2);  // no line to read
  EXPECT_EQ(passwords({"lock-options", "--idle", "soon"}).exitStatus, 2);
  EXPECT_EQ(passwords({"import", (home.dir().path() / "none").string()}).exitStatus, 2);
  EXPECT_EQ(passwords({"--help"}).exitStatus, 0);

  // Without a keychain nothing is read or written.
  const auto before = record();
  const std::string nowhere = "unix:path=" + (home.dir().path() / "no-bus").string();
  SubprocessResult unreachable = passwords({"add", "new"}, "m\n", nowhere);
  EXPECT_EQ(unreachable.exitStatus, 1);
  EXPECT_TRUE(test::contains(unreachable.output, "cannot be reached"));
  EXPECT_EQ(passwords({"set-master"}, "other\n", nowhere).exitStatus, 1);
  EXPECT_EQ(record(), before);
  EXPECT_TRUE(test::contains(passwords({"status"}, "", nowhere).output, "not reachable"));
  // Removes the master password item, so the next suite starts from an empty keyring.
  EXPECT_EQ(passwords({"lock"}).exitStatus, 0);
}

// A record changed behind the store's back must not read as an empty list that the next change
// overwrites: writing commands refuse until "reset" has set it aside.
TEST_F(PasswordsCommandTest, AChangedRecordIsNeverWrittenOver) {
  ASSERT_EQ(passwords({"set-master"}, "m\n").exitStatus, 0);
  ASSERT_EQ(passwords({"add", "-"}, "kept\n").exitStatus, 0);
  auto changed = record();
  ASSERT_TRUE(changed && changed->get<PlistData>());
  auto bytes = changed->get<PlistData>()->bytes;
  bytes[bytes.size() / 2] ^= 0x01;
  UserDefaults::standard().setObject("HLVPasswords", PropertyList(PlistData{bytes}));
  UserDefaults::standard().synchronize();
  const auto tampered = record();

  SubprocessResult refused = passwords({"add", "-"}, "new\n");
  EXPECT_EQ(refused.exitStatus, 1);
  EXPECT_TRUE(test::contains(refused.output, "passwords reset"));
  EXPECT_EQ(passwords({"set-master"}, "other\n").exitStatus, 1);
  EXPECT_EQ(record(), tampered);
  EXPECT_TRUE(test::contains(passwords({"status"}).output, "does not open"));

  ASSERT_EQ(passwords({"reset"}).exitStatus, 0);
  EXPECT_FALSE(record());
  EXPECT_EQ(UserDefaults::standard().objectForKey("HLVPasswordsSetAside"), tampered);
  ASSERT_EQ(passwords({"set-master"}, "fresh\n").exitStatus, 0);
  ASSERT_EQ(passwords({"add", "-"}, "again\n").exitStatus, 0);
  EXPECT_EQ(passwords({"list"}).output, "again\n");
  EXPECT_EQ(passwords({"lock"}).exitStatus, 0);
}

}  // namespace
}  // namespace tessaro
