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

namespace tessaro {
namespace {

struct Outcome {
  int status;
  std::string output;
};

class PasswordsCommandTest : public ::testing::Test {
 protected:
  Outcome passwords(std::vector<std::string> args, const std::string& input = "", std::string bus = "") {
    args.insert(args.begin(), {TESSARO_BINARY, "passwords", "--password-stdin"});
    const auto file = home.dir().write("stdin", input);
    const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    SubprocessOptions options;
    options.standardInput = fd;
    if (!bus.empty()) options.environment.emplace_back("DBUS_SESSION_BUS_ADDRESS", bus);
    SubprocessResult result = run(args, options);
    close(fd);
    return {result.exitStatus, result.output};
  }
  std::optional<PropertyList> record() {
    UserDefaults::standard().synchronize();
    return UserDefaults::standard().objectForKey("HLVPasswords");
  }
  test::IsolatedHome home;
};

TEST_F(PasswordsCommandTest, LifeOfAStoreFromTheTerminal) {
  Outcome status = passwords({"status"});
  EXPECT_EQ(status.status, 0);
  EXPECT_NE(status.output.find("state: locked"), std::string::npos) << status.output;
  EXPECT_EQ(passwords({"list"}).status, 1);
  EXPECT_FALSE(record());

  ASSERT_EQ(passwords({"set-master"}, "first master\n").status, 0);
  EXPECT_EQ(passwords({"add"}, "alpha\n").status, 0);
  EXPECT_EQ(passwords({"add", "-"}, "b\xc3\xa9ta\n").status, 0);
  EXPECT_EQ(passwords({"add", "-"}, "alpha\n").status, 0);
  // A password in the arguments would be visible to every user of the machine.
  EXPECT_EQ(passwords({"add", "gamma"}).status, 2);
  Outcome listed = passwords({"list"});
  EXPECT_EQ(listed.status, 0);
  EXPECT_EQ(listed.output, "alpha\nb\xc3\xa9ta\n");

  EXPECT_EQ(passwords({"lock"}).status, 0);
  EXPECT_NE(passwords({"status"}).output.find("state: locked"), std::string::npos);
  const auto before = record();
  ASSERT_TRUE(before);
  Outcome wrong = passwords({"list"}, "not it\n");
  EXPECT_EQ(wrong.status, 1);
  EXPECT_NE(wrong.output.find("wrong master password"), std::string::npos) << wrong.output;
  EXPECT_EQ(record(), before);
  EXPECT_EQ(passwords({"list"}, "first master\n").output, "alpha\nb\xc3\xa9ta\n");
  EXPECT_NE(passwords({"status"}).output.find("state: unlocked"), std::string::npos);

  // Locking at every start: each run asks again.
  ASSERT_EQ(passwords({"lock-options", "--at-start", "--idle", "30"}).status, 0);
  EXPECT_EQ(passwords({"list"}).status, 1);
  Outcome options = passwords({"status"});
  EXPECT_NE(options.output.find("state: locked"), std::string::npos) << options.output;
  EXPECT_EQ(passwords({"unlock"}, "first master\n").status, 0);
  EXPECT_EQ(passwords({"lock-options"}, "first master\n").status, 0);
  options = passwords({"status"});
  EXPECT_NE(options.output.find("lock at each start: off"), std::string::npos) << options.output;

  // Changing the master password while locked needs the old one first.
  EXPECT_EQ(passwords({"lock"}).status, 0);
  EXPECT_EQ(passwords({"set-master"}, "wrong\nsecond\n").status, 1);
  EXPECT_EQ(passwords({"set-master"}, "first master\nsecond\n").status, 0);
  EXPECT_EQ(passwords({"lock"}).status, 0);
  EXPECT_EQ(passwords({"unlock"}, "first master\n").status, 1);
  EXPECT_EQ(passwords({"unlock"}, "second\n").status, 0);
}

TEST_F(PasswordsCommandTest, ImportExportAndRemove) {
  ASSERT_EQ(passwords({"set-master"}, "m\n").status, 0);
  const auto list = home.dir().write("list.txt", "one\ntwo\nthree\nfour\n");
  ASSERT_EQ(passwords({"import", list.string()}).status, 0);
  EXPECT_EQ(passwords({"remove", "--index", "2"}).status, 0);
  EXPECT_EQ(passwords({"remove", "four"}).status, 0);
  EXPECT_EQ(passwords({"remove", "missing"}).status, 0);
  EXPECT_EQ(passwords({"remove", "--index", "9"}).status, 2);
  const auto out = home.dir().path() / "out.txt";
  ASSERT_EQ(passwords({"export", out.string()}).status, 0);
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
  ASSERT_EQ(passwords({"import", "-"}, "x\ny\n").status, 0);
  EXPECT_EQ(passwords({"list"}).output, "x\ny\n");
  EXPECT_EQ(passwords({"import", out.string()}).status, 0);
  EXPECT_EQ(passwords({"list"}).output, "one\nthree\n");

  EXPECT_EQ(passwords({"frobnicate"}).status, 2);
  EXPECT_EQ(passwords({"add"}).status, 2);  // no line to read
  EXPECT_EQ(passwords({"lock-options", "--idle", "soon"}).status, 2);
  EXPECT_EQ(passwords({"import", (home.dir().path() / "none").string()}).status, 2);
  EXPECT_EQ(passwords({"--help"}).status, 0);

  // Without a keychain nothing is read or written.
  const auto before = record();
  const std::string nowhere = "unix:path=" + (home.dir().path() / "no-bus").string();
  Outcome unreachable = passwords({"add", "new"}, "m\n", nowhere);
  EXPECT_EQ(unreachable.status, 1);
  EXPECT_NE(unreachable.output.find("cannot be reached"), std::string::npos) << unreachable.output;
  EXPECT_EQ(passwords({"set-master"}, "other\n", nowhere).status, 1);
  EXPECT_EQ(record(), before);
  EXPECT_NE(passwords({"status"}, "", nowhere).output.find("not reachable"), std::string::npos);
  // Removes the master password item, so the next suite starts from an empty keyring.
  EXPECT_EQ(passwords({"lock"}).status, 0);
}

// A record changed behind the store's back must not read as an empty list that the next change
// overwrites: writing commands refuse until "reset" has set it aside.
TEST_F(PasswordsCommandTest, AChangedRecordIsNeverWrittenOver) {
  ASSERT_EQ(passwords({"set-master"}, "m\n").status, 0);
  ASSERT_EQ(passwords({"add", "-"}, "kept\n").status, 0);
  auto changed = record();
  ASSERT_TRUE(changed && changed->get<PlistData>());
  auto bytes = changed->get<PlistData>()->bytes;
  bytes[bytes.size() / 2] ^= 0x01;
  UserDefaults::standard().setObject("HLVPasswords", PropertyList(PlistData{bytes}));
  UserDefaults::standard().synchronize();
  const auto tampered = record();

  Outcome refused = passwords({"add", "-"}, "new\n");
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.output.find("passwords reset"), std::string::npos) << refused.output;
  EXPECT_EQ(passwords({"set-master"}, "other\n").status, 1);
  EXPECT_EQ(record(), tampered);
  EXPECT_NE(passwords({"status"}).output.find("does not open"), std::string::npos);

  ASSERT_EQ(passwords({"reset"}).status, 0);
  EXPECT_FALSE(record());
  EXPECT_EQ(UserDefaults::standard().objectForKey("HLVPasswordsSetAside"), tampered);
  ASSERT_EQ(passwords({"set-master"}, "fresh\n").status, 0);
  ASSERT_EQ(passwords({"add", "-"}, "again\n").status, 0);
  EXPECT_EQ(passwords({"list"}).output, "again\n");
  EXPECT_EQ(passwords({"lock"}).status, 0);
}

}  // namespace
}  // namespace tessaro
