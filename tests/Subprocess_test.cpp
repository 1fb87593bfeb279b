#include "process/Subprocess.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "support/Processes.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace tessaro {
namespace {

using test::noChildrenLeft;

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

SubprocessResult shell(const std::string& script, const SubprocessOptions& options = {}) {
  return run({"/bin/sh", "-c", script}, options);
}

TEST(SubprocessTest, OutputArrivesWholeWithErrorOutputMergedSeparatedOrGiven) {
  const SubprocessResult large = run({"/usr/bin/head", "-c", "5000000", "/dev/zero"});
  EXPECT_EQ(large.exitStatus, 0);
  EXPECT_EQ(large.output, std::string(5000000, '\0'));

  const SubprocessResult merged = shell("echo out; echo err >&2; echo more");
  EXPECT_EQ(merged.output, "out\nerr\nmore\n");
  EXPECT_TRUE(merged.errorOutput.empty());

  SubprocessOptions options;
  options.separateErrorOutput = true;
  const SubprocessResult separate = shell("echo out; echo err >&2", options);
  EXPECT_EQ(separate.output, "out\n");
  EXPECT_EQ(separate.errorOutput, "err\n");

  test::TempDir dir;
  const std::string errors = (dir.path() / "errors").string();
  FileDescriptor file(::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  ASSERT_TRUE(file);
  SubprocessOptions given;
  given.standardError = file.get();
  const SubprocessResult result = shell("echo out; echo err >&2", given);
  file.reset();
  EXPECT_EQ(result.output, "out\n");
  EXPECT_EQ(result.errorOutput, "");
  EXPECT_EQ(test::readFile(errors), "err\n");
  EXPECT_TRUE(noChildrenLeft());
}

TEST(SubprocessTest, StatusSignalAndStartFailuresArePassedThrough) {
  const SubprocessResult failed = shell("exit 3");
  EXPECT_EQ(failed.exitStatus, 3);
  EXPECT_EQ(failed.signal, 0);
  const SubprocessResult killed = shell("kill -9 $$");
  EXPECT_EQ(killed.exitStatus, -1);
  EXPECT_EQ(killed.signal, SIGKILL);

  test::TempDir dir;
  const SubprocessResult missing = run({"/nonexistent/tool", "x"});
  EXPECT_FALSE(missing.started);
  EXPECT_EQ(missing.spawnError, ENOENT);
  const SubprocessResult denied = run({dir.write("tool", "#!/bin/sh\n").string()});
  EXPECT_FALSE(denied.started);
  EXPECT_EQ(denied.spawnError, EACCES);
  SubprocessOptions options;
  options.workingDirectory = dir.str() + "/missing";
  EXPECT_FALSE(run({"/bin/pwd"}, options).started);
  // Texts that exec would cut at a NUL are refused rather than run differently.
  EXPECT_FALSE(run({"/bin/echo", std::string("a\0b", 3)}).started);
  EXPECT_FALSE(run({}).started);
  EXPECT_TRUE(noChildrenLeft());
}

TEST(SubprocessTest, EnvironmentIsOursWithTheOverrides) {
  test::ScopedEnv env;
  env.set("TESSARO_KEPT", "kept").set("TESSARO_CHANGED", "old");
  SubprocessOptions options;
  options.environment = {{"TESSARO_CHANGED", "new"}, {"TESSARO_ADDED", "a b=c"}};
  const std::string seen = run({"/usr/bin/env"}, options).output;
  for (const char* line : {"\nTESSARO_KEPT=kept\n", "\nTESSARO_CHANGED=new\n", "\nTESSARO_ADDED=a b=c\n"})
    EXPECT_NE(seen.find(line), std::string::npos) << line;
  EXPECT_EQ(seen.find("TESSARO_CHANGED=old"), std::string::npos);
  SubprocessOptions replaced;
  replaced.environment = {{"LC_ALL", "C.UTF-8"}};
  replaced.replaceEnvironment = true;
  EXPECT_EQ(run({"/usr/bin/env"}, replaced).output, "LC_ALL=C.UTF-8\n");

  options.environment = {{"BAD=NAME", "x"}};
  EXPECT_FALSE(run({"/usr/bin/env"}, options).started);
}

TEST(SubprocessTest, DescriptorsAreTheStandardOrGivenOnesOnly) {
  const int leaked = ::open("/dev/null", O_RDONLY);  // deliberately without O_CLOEXEC
  ASSERT_GE(leaked, 0);
  const SubprocessResult result = run({"/usr/bin/test", "-e", "/proc/self/fd/" + std::to_string(leaked)});
  ::close(leaked);
  EXPECT_EQ(result.exitStatus, 1);
  // Standard input is /dev/null: a reader sees its end at once.
  EXPECT_EQ(run({"/bin/cat"}).output, "");

  // A closed standard descriptor given to the child becomes /dev/null there.
  const int saved = ::dup(STDERR_FILENO);
  ASSERT_GE(saved, 0);
  ::close(STDERR_FILENO);
  SubprocessOptions closed;
  closed.standardError = STDERR_FILENO;
  const SubprocessResult devNull = shell("readlink /proc/self/fd/2", closed);
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  EXPECT_EQ(devNull.output, "/dev/null\n");

  // Given descriptors join two children; the consumer sees the end of its input only once no one
  // else holds the write end.
  FileDescriptor readEnd, writeEnd;
  ASSERT_TRUE(createPipe(readEnd, writeEnd));
  SubprocessOptions producerOptions;
  producerOptions.standardOutput = writeEnd.get();
  SubprocessOptions consumerOptions;
  consumerOptions.standardInput = readEnd.get();
  Subprocess producer, consumer;
  ASSERT_TRUE(producer.start({"/usr/bin/seq", "3", "-1", "1"}, producerOptions));
  ASSERT_TRUE(consumer.start({"/usr/bin/sort"}, consumerOptions));
  readEnd.reset();
  writeEnd.reset();
  EXPECT_EQ(consumer.wait().output, "1\n2\n3\n");
  EXPECT_EQ(producer.wait().output, "");
  EXPECT_TRUE(noChildrenLeft());
}

TEST(SubprocessTest, InputPipeFeedsTheChild) {
  SubprocessOptions options;
  options.inputPipe = true;
  Subprocess process;
  ASSERT_TRUE(process.start({"/usr/bin/tr", "a-z", "A-Z"}, options));
  EXPECT_TRUE(process.writeInput("hello "));
  EXPECT_TRUE(process.writeInput("world"));
  process.closeInput();
  EXPECT_EQ(process.wait().output, "HELLO WORLD");

  // Once the child is gone the pipe has no reader: EPIPE, and no SIGPIPE ends this process.
  Subprocess gone;
  ASSERT_TRUE(gone.start({"/bin/true"}, options));
  EXPECT_EQ(gone.wait().exitStatus, 0);
  EXPECT_FALSE(gone.writeInput(std::string(1 << 20, 'x')));
}

// Waits for `process` through `end`: it must go within seconds, by `signal`, leaving no child.
void expectEndedBy(Subprocess& process, int signal, const std::function<SubprocessResult()>& end) {
  const auto began = Clock::now();
  const SubprocessResult result = end();
  EXPECT_LT(Clock::now() - began, 5s);
  EXPECT_FALSE(process.running());
  EXPECT_EQ(result.signal, signal);
  EXPECT_EQ(result.output.find("done"), std::string::npos);
  EXPECT_TRUE(noChildrenLeft());
}

TEST(SubprocessTest, EndingAChildIsQuickAndLeavesNothing) {
  Subprocess sleeper;
  ASSERT_TRUE(sleeper.start({"/bin/sleep", "30"}));
  EXPECT_TRUE(sleeper.running());
  std::thread canceller([&] {
    std::this_thread::sleep_for(100ms);
    sleeper.terminate();
  });
  expectEndedBy(sleeper, SIGTERM, [&] { return sleeper.wait(); });
  canceller.join();

  // The shell's "ignore" is inherited by the sleep it starts, so both outlive SIGTERM.
  Subprocess stubborn;
  ASSERT_TRUE(stubborn.start({"/bin/sh", "-c", "trap '' TERM; /bin/sleep 30; echo done"}));
  std::this_thread::sleep_for(200ms);
  expectEndedBy(stubborn, SIGKILL, [&] {
    stubborn.terminate();
    return stubborn.wait();
  });

  Subprocess thrown;
  ASSERT_TRUE(thrown.start({"/bin/sh", "-c", "echo x; exec /bin/sleep 30"}));
  expectEndedBy(thrown, SIGTERM,
                [&] { return thrown.wait([](std::string_view) { throw std::runtime_error("full"); }); });

  // The destructor ends and reaps a running child, and one that ended without being waited for.
  const auto began = Clock::now();
  for (const char* tool : {"/bin/sleep", "/bin/true"}) {
    Subprocess process;
    ASSERT_TRUE(process.start({tool, "30"}));
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_LT(Clock::now() - began, 5s);
  EXPECT_TRUE(noChildrenLeft());
}

TEST(SubprocessTest, ABackgroundDescendantHoldingThePipeDoesNotHoldUpTheWait) {
  const auto began = Clock::now();
  const SubprocessResult result = shell("echo parent; /bin/sleep 20 & echo $!; exit 0");
  EXPECT_LT(Clock::now() - began, 5s);
  EXPECT_EQ(result.exitStatus, 0);
  const size_t newline = result.output.find('\n');
  ASSERT_NE(newline, std::string::npos);
  EXPECT_EQ(result.output.substr(0, newline), "parent");
  const int descendant = std::atoi(result.output.c_str() + newline + 1);
  ASSERT_GT(descendant, 0);
  ::kill(descendant, SIGKILL);
}

}  // namespace
}  // namespace tessaro
