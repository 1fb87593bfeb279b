// The built qlhost and tessaro under hostile inputs and ends: files that are no regular file, a
// kill in the middle of a listing, the preview time limit and the listing bound.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "process/Subprocess.h"
#include "support/Processes.h"
#include "support/SuiteFixtures.h"
#include "support/TempDir.h"

namespace tessaro {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* kQlhost = TESSARO_QLHOST;
constexpr const char* kTessaro = TESSARO_BINARY;

struct Timed {
  SubprocessResult result;
  double seconds = 0;
};

// Runs argv with `environment` on top of ours, terminated after `limit` so a hang fails the test
// instead of stopping it.
Timed runWithin(const std::vector<std::string>& argv,
                const std::vector<std::pair<std::string, std::string>>& environment,
                std::chrono::seconds limit = 30s) {
  std::atomic<bool> cancelled{false};
  SubprocessOptions options;
  options.separateErrorOutput = true;
  options.environment = environment;
  options.cancelled = &cancelled;
  const auto start = Clock::now();
  std::atomic<bool> done{false};
  std::thread timer([&] {
    while (!done && Clock::now() - start < limit) std::this_thread::sleep_for(10ms);
    cancelled = !done;
  });
  Timed timed{run(argv, options), 0};
  done = true;
  timer.join();
  timed.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return timed;
}

// Children of `pid` (by its threads), as /proc lists them.
bool hasChildren(pid_t pid) {
  std::error_code ec;
  for (const fs::directory_entry& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec))
    if (!test::readFile(task.path() / "children").empty()) return true;
  return false;
}

// Reaps what comes here until nothing is left; false when a process still runs after `patience`.
bool everyDescendantGone(std::chrono::milliseconds patience = 3000ms) {
  const auto deadline = Clock::now() + patience;
  for (;;) {
    int status = 0;
    const pid_t reaped = ::waitpid(-1, &status, WNOHANG);
    if (reaped < 0 && errno == ECHILD) return true;
    if (reaped == 0 && Clock::now() > deadline) return false;
    if (reaped == 0) std::this_thread::sleep_for(10ms);
  }
}

bool isEmptyFolder(const fs::path& folder) {
  std::error_code ec;
  return fs::is_directory(folder, ec) && fs::directory_iterator(folder, ec) == fs::directory_iterator();
}

class ResourceBoundsTest : public test::SuiteFixtures<ResourceBoundsTest> {
 public:
  // five.tar.gz: a folder and 4,999 empty files with 6-byte names, and the same as 7z, cpio, LZH
  // (read by lsar) and XAR. slow.tar.gz: one 32 GiB entry of zeros in repeated gzip members, which
  // the listing must inflate whole (seconds, in process); slow.tar.zst: 16 GiB the same way in
  // zstd frames, which GNU tar and zstd list (the tools a kill must take along).
  static constexpr const char* kFixtureScript = R"(
mkdir many && cd many && python3 -c '
for i in range(4999): open("f%05d" % i, "w").close()' && cd .. && tar czf five.tar.gz many
7zz a -bd -bso0 five.7z many && find many | cpio -o -H newc --quiet > five.cpio
jlha c five.lzh many > /dev/null && bsdtar --format xar -cf five.xar many && rm -r many
python3 -c '
import gzip, tarfile
def header(size):
    info = tarfile.TarInfo("big"); info.size = size
    return info.tobuf(tarfile.GNU_FORMAT)
chunk = gzip.compress(bytes(64 << 20), 1)
with open("slow.tar.gz", "wb") as out:
    out.write(gzip.compress(header(32 << 30), 1))
    for _ in range(512): out.write(chunk)
    out.write(gzip.compress(bytes(1024), 1))
open("zst-header", "wb").write(header(16 << 30)); open("zst-end", "wb").write(bytes(1024))'
head -c 64M /dev/zero | zstd -q -1 -c > zst-chunk
{ zstd -q -c zst-header; for i in $(seq 256); do cat zst-chunk; done; zstd -q -c zst-end; } > slow.tar.zst
rm zst-header zst-end zst-chunk
mkfifo fifo.tar.gz
ln -s /dev/zero zero.tar
ln -s five.tar.gz link.tar.gz
mkdir volumes && cp five.tar.gz volumes/five.tar.gz.001 && mkfifo volumes/five.tar.gz.002
)";

  static void SetUpTestSuite() {
    // Grandchildren whose parent died come here, where everyDescendantGone sees them.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    test::SuiteFixtures<ResourceBoundsTest>::SetUpTestSuite();
  }

 protected:
  void SetUp() override { fs::create_directories(tmp_); }

  // Sets an integer preference for both programs through tessaro itself.
  void prefer(const std::string& key, long long value) {
    const Timed set = runWithin({kTessaro, "defaults", "write", key, "-int", std::to_string(value)}, {});
    ASSERT_EQ(set.result.exitStatus, 0) << set.result.errorOutput;
  }

  std::vector<std::pair<std::string, std::string>> environment() const { return {{"TMPDIR", tmp_.string()}}; }

  // A preview run after one was killed removes the killed one's folder, and nothing that only
  // looks like one: a folder of a process that still runs, a link, a file.
  void expectNextRunRemovesOnlyEndedRunsFolders() {
    const fs::path outside = home_.dir().path() / "outside";
    fs::create_directories(outside / "kept");
    const std::vector<fs::path> decoys{tmp_ / (".tessaro-" + std::to_string(::getpid()) + "-Alive0"),
                                       tmp_ / ".tessaro-999999999-Link00",
                                       tmp_ / ".tessaro-999999999-File00"};
    fs::create_directory(decoys[0]);
    fs::create_directory_symlink(outside, decoys[1]);
    home_.dir().write("run-tmp/.tessaro-999999999-File00", "x");
    const Timed next = runWithin(
        {kQlhost, "-o", (home_.dir().path() / "next.html").string(), fixture("five.tar.gz")}, environment());
    EXPECT_EQ(next.result.exitStatus, 0) << next.result.errorOutput;
    for (const fs::path& decoy : decoys) {
      EXPECT_TRUE(fs::exists(fs::symlink_status(decoy))) << decoy;
      fs::remove(decoy);
    }
    EXPECT_TRUE(fs::exists(outside / "kept"));
    fs::remove(home_.dir().path() / "next.html");
  }

  test::IsolatedHome home_;
  const fs::path tmp_ = home_.dir().path() / "run-tmp";
};

TEST_F(ResourceBoundsTest, WhatIsNoRegularFileIsRefusedAtOnce) {
  const std::string page = (home_.dir().path() / "page.html").string();
  // The last: a set whose second volume is a FIFO.
  for (const std::string& input : {fixture("fifo.tar.gz"), fixture("zero.tar"), std::string("/dev/zero"),
                                   fixture("volumes/five.tar.gz.001")}) {
    for (const std::vector<std::string>& argv : {std::vector<std::string>{kQlhost, "-o", page, input},
                                                 std::vector<std::string>{kTessaro, "list", input}}) {
      const Timed timed = runWithin(argv, environment(), 10s);
      SCOPED_TRACE(argv[0] + " " + input);
      EXPECT_LT(timed.seconds, 5);
      EXPECT_NE(timed.result.exitStatus, 0);
      if (!input.ends_with(".001")) {
        EXPECT_NE(timed.result.errorOutput.find("not a regular file"), std::string::npos)
            << timed.result.errorOutput;
      }
      EXPECT_FALSE(fs::exists(page));
    }
  }
  // A symbolic link to an archive is the archive.
  const Timed linked = runWithin({kTessaro, "list", fixture("link.tar.gz")}, environment());
  EXPECT_EQ(linked.result.exitStatus, 0) << linked.result.errorOutput;
}

TEST_F(ResourceBoundsTest, AKilledListingLeavesNoProcessAndNoFolder) {
  // SIGKILL leaves no handler to run: the tools still die with the program that started them, and
  // the folder, named after the killed process, goes at the next start.
  for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGKILL}) {
    for (const std::vector<std::string>& argv :
         {std::vector<std::string>{kQlhost, "-o", (home_.dir().path() / "page.html").string(),
                                   fixture("slow.tar.zst")},
          std::vector<std::string>{kTessaro, "list", fixture("slow.tar.zst")}}) {
      SCOPED_TRACE(argv[0] + " signal " + std::to_string(signal));
      Subprocess process;
      SubprocessOptions options;
      options.environment = environment();
      ASSERT_TRUE(process.start(argv, options));
      // Killed while its tools run.
      const auto deadline = Clock::now() + 20s;
      while (!hasChildren(process.pid()) && process.running() && Clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
      ASSERT_TRUE(hasChildren(process.pid())) << "the listing started no tool";
      std::this_thread::sleep_for(200ms);
      ::kill(process.pid(), signal);
      const SubprocessResult result = process.wait();
      EXPECT_EQ(result.signal, signal) << result.output;
      EXPECT_TRUE(everyDescendantGone());
      EXPECT_FALSE(fs::exists(home_.dir().path() / "page.html"));
      if (signal == SIGKILL) {
        const fs::path left = tmp_ / (".tessaro-" + std::to_string(process.pid()) + "-");
        std::error_code ec;
        EXPECT_TRUE(
            std::any_of(fs::directory_iterator(tmp_, ec), fs::directory_iterator(),
                        [&](const auto& entry) { return entry.path().string().starts_with(left.string()); }));
        expectNextRunRemovesOnlyEndedRunsFolders();
      }
      EXPECT_TRUE(isEmptyFolder(tmp_));
      fs::remove_all(tmp_);
      fs::create_directories(tmp_);
    }
  }
}

// A listing stops at its bound, by entries or by bytes of names, and says where it was cut; the
// tools and readers other than tar stop there as they read too (the 7-Zip helper and lsar are
// stopped). The preview's verdict and safety row do not speak for entries that were not listed.
TEST_F(ResourceBoundsTest, EveryListerStopsAtItsBoundAndSaysSo) {
  struct Case {
    const char* archive;
    const char* key;
    long long value;
    int entries;
  };
  // Records are "many/" (5 bytes of name) and "many/fNNNNN" (11 bytes each).
  const Case cases[] = {{"five.tar.gz", "HLVListingMaxEntries", 1000, 1000},
                        {"five.tar.gz", "HLVListingMaxNameBytes", 5 + 11 * 300, 301},
                        {"five.7z", "HLVListingMaxEntries", 1000, 1000},
                        {"five.cpio", "HLVListingMaxEntries", 1000, 1000},
                        {"five.lzh", "HLVListingMaxEntries", 1000, 1000},
                        {"five.xar", "HLVListingMaxEntries", 1000, 1000}};
  const fs::path page = home_.dir().path() / "page.html";
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.archive) + " " + c.key);
    prefer(c.key, c.value);
    const std::string cut = "cut short at " + std::to_string(c.entries) + " entries";
    const Timed listed = runWithin({kTessaro, "list", fixture(c.archive)}, environment());
    EXPECT_NE(listed.result.exitStatus, 0);
    EXPECT_NE(listed.result.errorOutput.find(cut), std::string::npos) << listed.result.errorOutput;
    EXPECT_EQ(std::count(listed.result.output.begin(), listed.result.output.end(), '\n'), c.entries);
    const Timed previewed = runWithin({kQlhost, "-o", page.string(), fixture(c.archive)}, environment());
    ASSERT_EQ(previewed.result.exitStatus, 0) << previewed.result.errorOutput;
    const std::string text = test::readFile(page);
    EXPECT_NE(text.find("Listing " + cut), std::string::npos);
    EXPECT_EQ(text.find("id=\"verdict\""), std::string::npos);
    EXPECT_EQ(text.find("No warnings"), std::string::npos);
    EXPECT_TRUE(everyDescendantGone());
    EXPECT_TRUE(isEmptyFolder(tmp_));
    runWithin({kTessaro, "defaults", "delete", c.key}, {});
  }
  // Within the bound the listing is whole.
  prefer("HLVListingMaxEntries", 5000);
  const Timed whole = runWithin({kTessaro, "list", fixture("five.tar.gz")}, environment());
  EXPECT_EQ(whole.result.exitStatus, 0) << whole.result.errorOutput;
  EXPECT_EQ(std::count(whole.result.output.begin(), whole.result.output.end(), '\n'), 5000);
}

TEST_F(ResourceBoundsTest, ThePreviewTimeLimitEndsWithoutAPage) {
  prefer("HLVPreviewTimeLimit", 1);
  const fs::path page = home_.dir().path() / "page.html";
  const Timed timed = runWithin({kQlhost, "-o", page.string(), fixture("slow.tar.gz")}, environment());
  EXPECT_EQ(timed.result.exitStatus, 1) << timed.result.errorOutput;
  EXPECT_NE(timed.result.errorOutput.find("time limit"), std::string::npos) << timed.result.errorOutput;
  EXPECT_LT(timed.seconds, 4);
  EXPECT_FALSE(fs::exists(page));
  EXPECT_TRUE(everyDescendantGone());
  EXPECT_TRUE(isEmptyFolder(tmp_));
}

}  // namespace
}  // namespace tessaro
