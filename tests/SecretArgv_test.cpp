// Archive passwords out of every command line, and the password store's passwords tried before
// anyone is asked: tessaro runs its tools with passwords while every process's command line is
// watched, and opens archives with stored passwords on a private keyring
// (support/KeyringSessionMain.cpp).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "process/Subprocess.h"
#include "support/Files.h"
#include "support/TempDir.h"

namespace tessaro {
namespace {

namespace fs = std::filesystem;

// Reads every process's command line every few milliseconds until stopped. tessaro itself is
// handed the password on purpose, and a child it forks shows tessaro's command line until it
// starts its program: those are left out, what tessaro starts is what is watched. Other builds'
// tessaro (this suite run from another checkout at the same time) count as tessaro too.
class CommandLineWatch {
 public:
  explicit CommandLineWatch(std::string secret) : secret_(std::move(secret)), thread_([this] { watch(); }) {}
  ~CommandLineWatch() { stop(); }

  void stop() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
  }
  // Read after stop(), when the watching thread has ended: command lines that held the secret, and
  // the programs seen running by their first argument's last component.
  std::vector<std::string> leaks;
  std::set<std::string> programs;

 private:
  // A process that ends between the listing and the read leaves an empty line; so do the entries
  // of /proc that are no process.
  void watch() {
    while (!stopping_) {
      std::error_code ec;
      for (const fs::directory_entry& process : fs::directory_iterator("/proc", ec)) {
        const std::string line = test::readFile(process.path() / "cmdline");
        const std::string program = fs::path(line.substr(0, line.find('\0'))).filename().string();
        if (line.empty() || program == "tessaro") continue;
        programs.insert(program);
        if (line.find(secret_) != std::string::npos) leaks.push_back(line);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

  const std::string secret_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

class SecretArgvTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Enough data that the tools run for a while the watch can see.
    std::mt19937 random(7);
    std::string bytes(6 << 20, '\0');
    for (char& byte : bytes) byte = static_cast<char>(random());
    home_.dir().write("in/big.bin", bytes);
    home_.dir().write("in/small.txt", "small\n");
    home_.dir().write("in/later.txt", "later\n");
    ASSERT_EQ(tessaro({"defaults", "write", "rar", "/usr/bin/rar"}).exitStatus, 0);
  }
  fs::path at(std::string_view relative) const { return home_.dir().path() / relative; }
  SubprocessResult tessaro(std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), TESSARO_BINARY);
    const fs::path file = home_.dir().write("stdin", input);
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    SubprocessOptions options;
    options.workingDirectory = at("in").string();
    options.standardInput = fd;
    SubprocessResult result = run(args, options);
    ::close(fd);
    return result;
  }
  // The page qlhost writes for `archive`, empty when it wrote none.
  std::string preview(const fs::path& archive) {
    const SubprocessResult result = run({TESSARO_QLHOST, archive.string()});
    EXPECT_EQ(result.exitStatus, 0) << result.output;
    return result.exitStatus == 0 ? result.output : std::string();
  }
  void expectRuns(const std::vector<std::string>& args, const std::string& input = "") {
    const SubprocessResult result = tessaro(args, input);
    EXPECT_EQ(result.exitStatus, 0) << args[0] << " " << args[1] << "\n" << result.output;
  }

  test::IsolatedHome home_;
};

TEST_F(SecretArgvTest, NoToolEverSeesThePasswordOnItsCommandLine) {
  const std::string password = "Sesame-7f3a9c";
  struct Case {
    std::string archive;
    std::string encryption;
    std::string tool;  // the program that must have been seen working
  };
  for (const Case& c :
       {Case{"a.7z", "aes-names", "7zz"}, Case{"a.zip", "aes", "7zz"}, Case{"a.rar", "aes-names", "rar"}}) {
    SCOPED_TRACE(c.archive);
    const std::string archive = at(c.archive).string();
    const std::string out = at("out-" + c.archive).string();
    fs::create_directory(out);
    CommandLineWatch watch(password);
    expectRuns(
        {"create", archive, "big.bin", "small.txt", "--password", password, "--encryption", c.encryption});
    expectRuns({"add", archive, "later.txt", "--password", password});
    expectRuns({"test", archive, "--password", password});
    expectRuns({"extract", archive, "-C", out, "--here", "--password", password});
    expectRuns({"delete", archive, "small.txt", "--password", password});
    watch.stop();
    EXPECT_EQ(watch.leaks, std::vector<std::string>{});
    EXPECT_TRUE(watch.programs.count(c.tool)) << "the watch never saw " << c.tool << " run";
    EXPECT_EQ(test::readFile(fs::path(out) / "big.bin"), test::readFile(at("in/big.bin")));
    EXPECT_EQ(test::readFile(fs::path(out) / "later.txt"), "later\n");
  }
  // Without the password nothing opens: the password really was used.
  fs::create_directory(at("none"));
  EXPECT_NE(tessaro({"extract", at("a.7z").string(), "-C", at("none").string()}).exitStatus, 0);
}

// unar has no private way to take a password: an encrypted archive it would unpack is refused
// with the reason, and the password of an archive with nothing encrypted never reaches it.
TEST_F(SecretArgvTest, UnarIsNeverHandedAPassword) {
  // Not the sample's own ("password" is on other programs' command lines): it is refused unused.
  const std::string password = "Sesame-51c2e0";
  fs::copy_file(fs::path(TESSARO_MAC_FIXTURES) / "testfile.stuffit45_dlx.mac9.password.sit",
                at("in/locked.sit"));
  SubprocessOptions options;
  options.workingDirectory = at("in").string();
  ASSERT_EQ(run({"/usr/bin/jlha", "c", "plain.lzh", "small.txt"}, options).exitStatus, 0);
  fs::create_directories(at("out/sit"));
  fs::create_directories(at("out/lzh"));

  CommandLineWatch watch(password);
  const SubprocessResult refused = tessaro(
      {"extract", at("in/locked.sit").string(), "-C", at("out/sit").string(), "--password", password});
  expectRuns({"extract", at("in/plain.lzh").string(), "--here", "-C", at("out/lzh").string(), "--password",
              password});
  watch.stop();
  EXPECT_EQ(watch.leaks, std::vector<std::string>{});
  EXPECT_TRUE(watch.programs.count("unar")) << "the watch never saw unar run";
  EXPECT_NE(refused.exitStatus, 0);
  EXPECT_NE(refused.output.find("only take a password on its command line"), std::string::npos)
      << refused.output;
  EXPECT_TRUE(fs::is_empty(at("out/sit")));
  EXPECT_EQ(test::readFile(at("out/lzh/small.txt")), "small\n");
}

TEST_F(SecretArgvTest, StoredPasswordsOpenArchivesUntilTheStoreIsLocked) {
  const std::string password = "kept in the store";
  expectRuns({"passwords", "--password-stdin", "set-master"}, "master\n");
  expectRuns({"passwords", "--password-stdin", "add"}, "another one\n");
  expectRuns({"passwords", "--password-stdin", "add"}, password + "\n");
  expectRuns(
      {"create", at("names.7z").string(), "small.txt", "--password", password, "--encryption", "aes-names"});
  expectRuns({"create", at("data.zip").string(), "small.txt", "--password", password, "--encryption", "aes"});
  expectRuns({"create", at("data.rar").string(), "small.txt", "--password", password, "--encryption", "aes"});

  const SubprocessResult listed = tessaro({"list", at("names.7z").string()});
  EXPECT_EQ(listed.exitStatus, 0) << listed.output;
  EXPECT_NE(listed.output.find("small.txt"), std::string::npos) << listed.output;
  for (const char* name : {"names.7z", "data.zip", "data.rar"}) {
    SCOPED_TRACE(name);
    const fs::path out = at(std::string("out-") + name);
    fs::create_directory(out);
    expectRuns({"test", at(name).string()});
    expectRuns({"extract", at(name).string(), "-C", out.string(), "--here"});
    EXPECT_EQ(test::readFile(out / "small.txt"), "small\n");
  }

  // The preview lists the archive with the stored password instead of giving the encrypted page.
  const std::string page = preview(at("names.7z"));
  EXPECT_NE(page.find("small.txt"), std::string::npos) << page;
  EXPECT_EQ(page.find("id=\"encrypted\""), std::string::npos);

  expectRuns({"passwords", "lock"});
  const std::string lockedPage = preview(at("names.7z"));
  EXPECT_NE(lockedPage.find("id=\"encrypted\""), std::string::npos) << lockedPage;
  EXPECT_EQ(lockedPage.find("small.txt"), std::string::npos);
  fs::create_directory(at("locked"));
  EXPECT_NE(tessaro({"list", at("names.7z").string()}).exitStatus, 0);
  EXPECT_NE(tessaro({"extract", at("data.zip").string(), "-C", at("locked").string()}).exitStatus, 0);
  EXPECT_FALSE(fs::exists(at("locked/small.txt")));
}

}  // namespace
}  // namespace tessaro
