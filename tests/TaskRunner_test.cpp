#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "ArchiveHandler.h"
#include "PerlPipeline.h"
#include "alert/AlertPanel.h"
#include "support/FakeHost.h"
#include "support/Processes.h"
#include "support/TempDir.h"

namespace tessaro {
namespace {

using test::noChildrenLeft;
using test::readFile;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr size_t kChunk = 128 * 1024;

class TaskRunnerTest : public ::testing::Test {
 protected:
  TaskRunnerTest()
      : handler(std::make_shared<ArchiveHandler>()), callback(std::make_shared<test::FakeHost>()) {
    handler->setCallbackHandler(callback);
  }
  ~TaskRunnerTest() override { EXPECT_TRUE(noChildrenLeft()); }

  int32_t run(const std::string& tool, const std::vector<std::string>& params,
              std::optional<std::string>* raw = nullptr,
              const ArchiveHandler::OutputCallback* onOutput = nullptr,
              std::optional<std::string> workingDir = std::nullopt) {
    return handler->executeTask(tool, params, workingDir, onOutput, raw);
  }

  test::TempDir dir;
  std::shared_ptr<ArchiveHandler> handler;
  std::shared_ptr<test::FakeHost> callback;
};

TEST_F(TaskRunnerTest, MissingOrUnusableToolIsReportedAndNotStarted) {
  std::vector<std::string> alerts;
  setAlertResponderForTesting([&](std::string_view title, std::string_view message) {
    alerts.push_back(std::string(title) + "|" + std::string(message));
    return kAlertDefaultReturn;
  });
  const std::string notExecutable = dir.write("tool", "#!/bin/sh\necho no\n").string();
  std::optional<std::string> raw = "stale";
  EXPECT_EQ(run("/nonexistent/tool", {"x"}, &raw), -1);
  EXPECT_EQ(raw, std::nullopt);
  EXPECT_EQ(run(notExecutable, {}), -1);
  EXPECT_EQ(run(dir.str(), {}), -1);
  setAlertResponderForTesting({});

  const std::string missing = "The helper tool /nonexistent/tool could not be found or is not executable.";
  ASSERT_EQ(alerts.size(), 3u);
  EXPECT_EQ(alerts[0], "Error|" + missing);
  EXPECT_EQ(callback->log().substr(0, missing.size()), missing);
}

TEST_F(TaskRunnerTest, ErrorOutputSharesThePipeAndTheStatusPassesThrough) {
  std::optional<std::string> raw;
  EXPECT_EQ(run("/bin/sh", {"-c", "echo out; echo err >&2; exit 3"}, &raw), 3);
  EXPECT_EQ(raw, "out\nerr\n");

  // The tool runs in the given folder, with NSUnbufferedIO added to our environment.
  const std::string canonical = std::filesystem::canonical(dir.path()).string();
  EXPECT_EQ(run("/bin/sh", {"-c", "pwd -P; echo $NSUnbufferedIO"}, &raw, nullptr, dir.str()), 0);
  EXPECT_EQ(raw, canonical + "\nYES\n");

  // Without a handler too; output that is not UTF-8 is no text at all.
  EXPECT_EQ(executeTask("/bin/sh", {"-c", "echo hello; echo oops >&2; exit 2"}, std::nullopt, &raw), 2);
  EXPECT_EQ(raw, "hello\noops\n");
  EXPECT_EQ(executeTask("/usr/bin/printf", {"\\377"}, std::nullopt, &raw), 0);
  EXPECT_EQ(raw, std::nullopt);
}

TEST_F(TaskRunnerTest, OutputLargerThanAPipeArrivesWhole) {
  std::string expected;
  for (int i = 1; i <= 300000; ++i) expected += std::to_string(i) + "\n";

  std::string received;
  int calls = 0;
  const ArchiveHandler::OutputCallback collect = [&](std::string_view chunk) {
    received += chunk;
    ++calls;
  };
  std::optional<std::string> raw;
  EXPECT_EQ(run("/usr/bin/seq", {"1", "300000"}, &raw, &collect), 0);
  EXPECT_EQ(received, expected);
  EXPECT_GT(calls, 1);
  EXPECT_EQ(raw, "");  // the callback took everything
}

TEST_F(TaskRunnerTest, CancellingFromAnotherThreadEndsTheTool) {
  std::atomic<bool> started{false};
  const ArchiveHandler::OutputCallback watch = [&](std::string_view) { started = true; };
  std::thread canceller([&] {
    for (int i = 0; i < 1000 && !started; ++i) std::this_thread::sleep_for(5ms);
    handler->setOperationCancelled(true);
  });
  const auto began = Clock::now();
  const int32_t status = run("/bin/sh", {"-c", "echo started; exec /bin/sleep 30"}, nullptr, &watch);
  canceller.join();
  EXPECT_LT(Clock::now() - began, 10s);
  // A tool ended by a signal reports the signal's number.
  EXPECT_EQ(status, SIGTERM);
  EXPECT_TRUE(handler->operationCancelled());
}

TEST_F(TaskRunnerTest, StreamRunnerStatusComesFromOpeningAndClosingOnly) {
  // The command gets our locale and its folder, and our own folder and locale stay as they were.
  const char* before = std::getenv("LC_ALL");
  const std::string ourFolder = std::filesystem::current_path().string();
  const std::string env = (dir.path() / "env.txt").string();
  EXPECT_EQ(handler->executeTask("echo \"$LC_ALL\"; pwd -P", env, true, dir.str()), 0);
  EXPECT_EQ(readFile(env), "en_US.UTF-8\n" + std::filesystem::canonical(dir.path()).string() + "\n");
  EXPECT_EQ(std::filesystem::current_path().string(), ourFolder);
  EXPECT_EQ(before == nullptr, std::getenv("LC_ALL") == nullptr);
  // No input file: 4, and no command is started.
  EXPECT_EQ(handler->executeTask("/bin/cat > out", (dir.path() / "missing").string(), false, dir.str()), 4);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "out"));
  // An output file that cannot be made skips the copy; the command still ends and is reaped.
  EXPECT_EQ(handler->executeTask("/usr/bin/head -c 1000000 /dev/zero", (dir.path() / "no/such/file").string(),
                                 true, std::nullopt),
            0);
  // The command's own exit status does not count.
  const std::string output = (dir.path() / "failed.txt").string();
  EXPECT_EQ(handler->executeTask("echo partial; exit 9", output, true, std::nullopt), 0);
  EXPECT_EQ(readFile(output), "partial\n");
}

TEST_F(TaskRunnerTest, StreamRunnerStopsAfterTheCurrentChunkWhenCancelled) {
  callback->onData = [this](const void*, int64_t) {
    handler->setOperationCancelled(true);
    return 0;
  };
  const std::string extracted = (dir.path() / "zeros").string();
  EXPECT_EQ(handler->executeTask("/usr/bin/head -c 10000000 /dev/zero", extracted, true, std::nullopt), 0);
  EXPECT_EQ(std::filesystem::file_size(extracted), kChunk);

  handler->setOperationCancelled(false);
  const std::string input = dir.write("big", std::string(8 * kChunk, 'x')).string();
  EXPECT_EQ(handler->executeTask("/bin/cat > copy", input, false, dir.str()), 0);
  EXPECT_EQ(std::filesystem::file_size(dir.path() / "copy"), kChunk);

  // Already cancelled: nothing is copied, the streams are still opened and closed.
  callback->onData = nullptr;
  EXPECT_EQ(handler->executeTask("/bin/cat > none", input, false, dir.str()), 0);
  EXPECT_EQ(std::filesystem::file_size(dir.path() / "none"), 0u);
}

// ---- A tool piped through a perl expression

TEST(PerlPipelineTest, OutputLargerThanEveryBufferArrivesWholeAndInOrder) {
  std::string expected;
  for (int i = 1; i <= 400000; ++i) expected += "n" + std::to_string(i) + "\n";
  const std::optional<std::string> text = pipeThroughPerl({"/usr/bin/seq", "1", "400000"}, {}, "s/^/n/");
  ASSERT_TRUE(text);
  EXPECT_TRUE(*text == expected) << text->size() << " bytes of " << expected.size();
  EXPECT_TRUE(noChildrenLeft());
}

TEST(PerlPipelineTest, AnEarlyPerlEndsTheToolAndToolOptionsReachIt) {
  const auto began = Clock::now();
  // Perl leaves after two lines; the tool would write for a long time yet.
  EXPECT_EQ(pipeThroughPerl({"/usr/bin/yes"}, {}, "exit if $. > 2"), "y\ny\n");
  EXPECT_LT(Clock::now() - began, 10s);

  SubprocessOptions options;
  options.environment = {{"ONLY", "this"}};
  options.replaceEnvironment = true;
  EXPECT_EQ(pipeThroughPerl({"/usr/bin/env"}, options, "s/this/that/"), "ONLY=that\n");
  EXPECT_EQ(pipeThroughPerl({"/bin/true"}, {}, "s/x/y/"), "");
  EXPECT_EQ(pipeThroughPerl({"/nonexistent/tool"}, {}, "s/x/y/"), std::nullopt);
  EXPECT_EQ(pipeThroughPerl({}, {}, "s/x/y/"), std::nullopt);
  EXPECT_TRUE(noChildrenLeft());
}

}  // namespace
}  // namespace tessaro
