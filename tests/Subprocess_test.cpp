#include "process/Subprocess.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "support/TempDir.h"
#include "support/Processes.h"

namespace tessaro {
namespace {

using test::noChildrenLeft;

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// True when this process has no child at all, running or unreaped.
SubprocessResult shell(const std::string& script, const SubprocessOptions& options = {}) {
  return run({"/bin/sh", "-c", script}, options);
}

TEST(SubprocessTest, OutputLargerThanAPipeArrivesWhole) {
  const SubprocessResult result = run({"/usr/bin/head", "-c", "5000000", "/dev/zero"});
  ASSERT_TRUE(result.started);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.output.size(), 5000000u);
  EXPECT_EQ(result.output.find_first_not_of('\0'), std::string::npos);
  EXPECT_TRUE(noChildrenLeft());
}

TEST(SubprocessTest, ErrorOutputSharesThePipeUnlessSeparatedOrGiven) {
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
}

TEST(SubprocessTest, ExitStatusAndSignalArePassedThrough) {
  const SubprocessResult failed = shell("exit 3");
  EXPECT_EQ(failed.exitStatus, 3);
  EXPECT_EQ(failed.signal, 0);

  const SubprocessResult killed = shell("kill -9 $$");
  EXPECT_EQ(killed.exitStatus, -1);
  EXPECT_EQ(killed.signal, SIGKILL);
}

TEST(SubprocessTest, MissingOrUnusableToolCouldNotStart) {
  const SubprocessResult missing = run({"/nonexistent/tool", "x"});
  EXPECT_FALSE(missing.started);
  EXPECT_EQ(missing.spawnError, ENOENT);

  test::TempDir dir;
  const std::string notExecutable = dir.write("tool", "#!/bin/sh\n").string();
  const SubprocessResult denied = run({notExecutable});
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
  ::setenv("TESSARO_SUBPROCESS_KEPT", "kept", 1);
  ::setenv("TESSARO_SUBPROCESS_CHANGED", "old", 1);
  SubprocessOptions options;
  options.environment = {{"TESSARO_SUBPROCESS_CHANGED", "new"}, {"TESSARO_SUBPROCESS_ADDED", "a b=c"}};
  const SubprocessResult result = run({"/usr/bin/env"}, options);
  SubprocessOptions replaced;
  replaced.environment = {{"LC_ALL", "C.UTF-8"}};
  replaced.replaceEnvironment = true;
  EXPECT_EQ(run({"/usr/bin/env"}, replaced).output, "LC_ALL=C.UTF-8\n");
  ::unsetenv("TESSARO_SUBPROCESS_KEPT");
  ::unsetenv("TESSARO_SUBPROCESS_CHANGED");
  EXPECT_NE(result.output.find("\nTESSARO_SUBPROCESS_KEPT=kept\n"), std::string::npos);
  EXPECT_NE(result.output.find("\nTESSARO_SUBPROCESS_CHANGED=new\n"), std::string::npos);
  EXPECT_EQ(result.output.find("TESSARO_SUBPROCESS_CHANGED=old"), std::string::npos);
  EXPECT_NE(result.output.find("\nTESSARO_SUBPROCESS_ADDED=a b=c\n"), std::string::npos);

  options.environment = {{"BAD=NAME", "x"}};
  EXPECT_FALSE(run({"/usr/bin/env"}, options).started);
}

TEST(SubprocessTest, OnlyStandardDescriptorsAreInherited) {
  const int leaked = ::open("/dev/null", O_RDONLY);  // deliberately without O_CLOEXEC
  ASSERT_GE(leaked, 0);
  const SubprocessResult result = run({"/usr/bin/test", "-e", "/proc/self/fd/" + std::to_string(leaked)});
  ::close(leaked);
  EXPECT_EQ(result.exitStatus, 1);

  // Standard input is /dev/null: a reader sees its end at once.
  EXPECT_EQ(run({"/bin/cat"}).output, "");
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

TEST(SubprocessTest, TerminateFromAnotherThreadEndsTheChildQuickly) {
  Subprocess process;
  EXPECT_FALSE(process.running());
  ASSERT_TRUE(process.start({"/bin/sleep", "30"}));
  EXPECT_TRUE(process.running());
  const auto began = Clock::now();
  std::thread canceller([&] {
    std::this_thread::sleep_for(100ms);
    process.terminate();
  });
  const SubprocessResult result = process.wait();
  canceller.join();
  EXPECT_FALSE(process.running());
  EXPECT_LT(Clock::now() - began, 5s);
  EXPECT_EQ(result.signal, SIGTERM);
  EXPECT_TRUE(noChildrenLeft());
}

TEST(SubprocessTest, TerminateKillsAGroupThatIgnoresSigterm) {
  Subprocess process;
  // The shell's "ignore" is inherited by the sleep it starts, so both outlive SIGTERM.
  ASSERT_TRUE(process.start({"/bin/sh", "-c", "trap '' TERM; /bin/sleep 30; echo done"}));
  std::this_thread::sleep_for(200ms);
  const auto began = Clock::now();
  process.terminate();
  const SubprocessResult result = process.wait();
  EXPECT_LT(Clock::now() - began, 5s);
  EXPECT_EQ(result.signal, SIGKILL);
  EXPECT_EQ(result.output, "");
}

TEST(SubprocessTest, AThrowingHandlerEndsTheChildWithoutEscaping) {
  Subprocess process;
  ASSERT_TRUE(process.start({"/bin/sh", "-c", "echo x; exec /bin/sleep 30"}));
  const SubprocessResult result = process.wait([](std::string_view) { throw std::runtime_error("full"); });
  EXPECT_TRUE(result.started);
  EXPECT_EQ(result.signal, SIGTERM);
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

TEST(SubprocessTest, DestructorTerminatesAndReapsARunningChild) {
  const auto began = Clock::now();
  {
    Subprocess process;
    ASSERT_TRUE(process.start({"/bin/sleep", "30"}));
  }
  EXPECT_LT(Clock::now() - began, 5s);
  EXPECT_TRUE(noChildrenLeft());
  {
    // A child that ended without being waited for is reaped too.
    Subprocess process;
    ASSERT_TRUE(process.start({"/bin/true"}));
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_TRUE(noChildrenLeft());
}

TEST(SubprocessTest, GivenDescriptorsJoinTwoChildren) {
  FileDescriptor readEnd, writeEnd;
  ASSERT_TRUE(createPipe(readEnd, writeEnd));
  SubprocessOptions producerOptions;
  producerOptions.standardOutput = writeEnd.get();
  SubprocessOptions consumerOptions;
  consumerOptions.standardInput = readEnd.get();
  Subprocess producer, consumer;
  ASSERT_TRUE(producer.start({"/usr/bin/seq", "3", "-1", "1"}, producerOptions));
  ASSERT_TRUE(consumer.start({"/usr/bin/sort"}, consumerOptions));
  // The consumer sees the end of its input only once no one else holds the write end.
  readEnd.reset();
  writeEnd.reset();
  EXPECT_EQ(consumer.wait().output, "1\n2\n3\n");
  EXPECT_EQ(producer.wait().output, "");
  EXPECT_TRUE(noChildrenLeft());
}

TEST(SubprocessTest, AClosedStandardDescriptorGivesTheChildDevNull) {
  const int saved = ::dup(STDERR_FILENO);
  ASSERT_GE(saved, 0);
  ::close(STDERR_FILENO);
  SubprocessOptions options;
  options.standardError = STDERR_FILENO;
  const SubprocessResult result = shell("readlink /proc/self/fd/2", options);
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  EXPECT_TRUE(result.started);
  EXPECT_EQ(result.output, "/dev/null\n");
}

}  // namespace
}  // namespace tessaro
