// Joining numbered pieces made by split: the handler's extract and `tessaro extract` give back the
// cut file byte for byte; a hole in the numbering, a bad name or a piece that is no file fails with
// nothing written.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ArchiveHandlerSplit.h"
#include "process/Subprocess.h"
#include "support/FakeHost.h"
#include "support/Files.h"
#include "support/SuiteFixtures.h"
#include "support/TempDir.h"
#include "support/Processes.h"

namespace tessaro {
namespace {

using test::noChildrenLeft;
using test::shell;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// 400 KiB cut in four: three full copy chunks of 128 KiB and a short one.
constexpr const char* kMakeFixtures = R"sh(
head -c 409600 /dev/urandom > data.bin
mkdir set && split -b 102400 --numeric-suffixes=1 -a 3 data.bin set/data.bin.
mkdir gap && cp set/data.bin.001 set/data.bin.002 set/data.bin.004 gap/
mkdir quoted && split -b 20000 --numeric-suffixes=1 -a 3 data.bin "quoted/it's \$(touch pwned) \`x\`.bin."
mkdir dots && cp set/data.bin.001 'dots/...001'
mkdir fifo && cp set/data.bin.001 set/data.bin.002 fifo/ && mkfifo fifo/data.bin.003
)sh";

// Each chunk of the copy takes `perChunk`, so the join lasts past a few watcher ticks.
std::shared_ptr<test::FakeHost> recordingHost(std::chrono::milliseconds perChunk = 0ms) {
  auto host = std::make_shared<test::FakeHost>();
  host->onData = [perChunk](const void*, int64_t) {
    std::this_thread::sleep_for(perChunk);
    return 1;
  };
  return host;
}

class SplitJoinTest : public test::SuiteFixtures<SplitJoinTest> {
 public:
  static constexpr const char* kFixtureScript = kMakeFixtures;

 protected:
  ~SplitJoinTest() override { EXPECT_TRUE(noChildrenLeft()); }

  static int32_t join(const std::string& firstPiece, const std::string& toFolder,
                      std::shared_ptr<ArchiveCallbackHandler> host = nullptr) {
    std::shared_ptr<ArchiveHandler> handler = AHandlerSplit::metaclass().initWithURL(firstPiece);
    if (!handler) return -1000;
    handler->setCallbackHandler(host);
    return handler->extract({}, toFolder, 1);
  }

  // The folder's entries, hidden ones included, sorted.
  static std::vector<std::string> entries(const fs::path& folder) {
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  // True when `file` holds the bytes that were cut.
  static bool isTheData(const fs::path& file) {
    return test::readFile(file) == test::readFile(fixture("data.bin"));
  }
};

TEST_F(SplitJoinTest, JoinsThePiecesByteForByteWithProgress) {
  test::TempDir out;
  auto host = recordingHost(250ms);
  ASSERT_EQ(join(fixture("set/data.bin.001"), out.str(), host), 0) << host->log();
  EXPECT_EQ(entries(out.path()), std::vector<std::string>{"data.bin"});
  EXPECT_TRUE(isTheData(out.path() / "data.bin"));

  EXPECT_EQ(host->bytes(), 409600);
  // The watcher saw the file grow while the copy ran: shares of the whole, never going back.
  const std::vector<int> percents = host->percents();
  ASSERT_FALSE(percents.empty());
  EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
  EXPECT_GE(percents.front(), 0);
  EXPECT_LE(percents.back(), 100);

  // A file of that name is kept; the second join takes the next free name.
  ASSERT_EQ(join(fixture("set/data.bin.001"), out.str()), 0);
  EXPECT_EQ(entries(out.path()), (std::vector<std::string>{"data 1.bin", "data.bin"}));
  EXPECT_TRUE(isTheData(out.path() / "data 1.bin"));
  EXPECT_TRUE(isTheData(out.path() / "data.bin"));
}

TEST_F(SplitJoinTest, NamesTheShellWouldReadAreTakenLiterally) {
  test::TempDir out;
  ASSERT_EQ(join(fixture("quoted/it's $(touch pwned) `x`.bin.001"), out.str()), 0);
  EXPECT_EQ(entries(out.path()), std::vector<std::string>{"it's $(touch pwned) `x`.bin"});
  EXPECT_TRUE(isTheData(out.path() / "it's $(touch pwned) `x`.bin"));
  EXPECT_EQ(entries(fixtures().path() / "quoted").size(), 21u) << "nothing was run to make a file";
}

TEST_F(SplitJoinTest, IncompleteOrUnsafeSetsFailWithNothingWritten) {
  test::TempDir out;
  const fs::path dest = out.path() / "dest";
  fs::create_directory(dest);

  // 003 is missing while 004 exists.
  auto host = recordingHost();
  EXPECT_EQ(join(fixture("gap/data.bin.001"), dest.string(), host), 4);
  EXPECT_NE(host->log().find("data.bin.003 is missing"), std::string::npos) << host->log();

  // "...001" would join into "..", the folder above the destination.
  EXPECT_EQ(join(fixture("dots/...001"), dest.string()), 4);
  // A pipe among the pieces would keep the copy waiting for ever.
  EXPECT_EQ(join(fixture("fifo/data.bin.001"), dest.string()), 4);
  EXPECT_EQ(join(fixture("set/data.bin.001"), (out.path() / "missing").string()), 4);

  EXPECT_TRUE(entries(dest).empty());
  EXPECT_EQ(entries(out.path()), std::vector<std::string>{"dest"});
}

TEST_F(SplitJoinTest, ACancelledJoinEndsQuietlyWithNothingWritten) {
  test::TempDir out;
  std::shared_ptr<ArchiveHandler> handler =
      AHandlerSplit::metaclass().initWithURL(fixture("set/data.bin.001"));
  ASSERT_TRUE(handler);
  auto host = recordingHost();
  host->onData = [&handler](const void*, int64_t) {
    handler->setOperationCancelled(true);
    return 1;
  };
  handler->setCallbackHandler(host);
  EXPECT_EQ(handler->extract({}, out.str(), 1), 0);
  EXPECT_LT(host->bytes(), 409600);
  EXPECT_TRUE(entries(out.path()).empty());
}

TEST_F(SplitJoinTest, TessaroExtractAndJoinJoinTheSet) {
  for (const char* command : {"extract", "join"}) {
    test::TempDir out;
    // Any piece names the set.
    const SubprocessResult result =
        test::runTessaro(out.path(), {command, fixture("set/data.bin.002"), "-C", out.str()});
    EXPECT_EQ(result.exitStatus, 0) << command << result.output;
    EXPECT_TRUE(isTheData(out.path() / "data.bin")) << command;
  }
  test::TempDir out;
  EXPECT_EQ(test::runTessaro(out.path(), {"join", fixture("data.bin"), "-C", out.str()}).exitStatus,
            2);  // not a piece
  const SubprocessResult gap =
      test::runTessaro(out.path(), {"extract", fixture("gap/data.bin.001"), "-C", out.str()});
  EXPECT_NE(gap.exitStatus, 0);
  EXPECT_NE(gap.output.find("data.bin.003 is missing"), std::string::npos) << gap.output;
}

}  // namespace
}  // namespace tessaro
