// Child processes in tests: running a fixture script, and checking that none is left behind.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "process/Subprocess.h"

namespace tessaro::test {

// True when this process has no child left, running or unreaped.
inline bool noChildrenLeft() {
  int status = 0;
  return ::waitpid(-1, &status, WNOHANG) == -1 && errno == ECHILD;
}

// Runs a shell script in `folder`; the test fails when the script does.
inline void shell(const std::filesystem::path& folder, const std::string& script) {
  SubprocessOptions options;
  options.workingDirectory = folder.string();
  const SubprocessResult result = run({"/bin/sh", "-ec", script}, options);
  ASSERT_EQ(result.exitStatus, 0) << script << "\n" << result.output;
}

// True when the two folders hold the same names with the same bytes and link targets; the
// difference is reported as a test failure.
inline bool sameTree(const std::filesystem::path& a, const std::filesystem::path& b) {
  const SubprocessResult result = run({"/usr/bin/diff", "-r", "--no-dereference", a.string(), b.string()});
  EXPECT_EQ(result.exitStatus, 0) << result.output;
  return result.exitStatus == 0;
}

#ifdef TESSARO_BINARY
// The tessaro program run in `folder` with `args`, its output and error output together. In a
// session of its own it has no terminal to ask a password on.
inline SubprocessResult runTessaro(const std::filesystem::path& folder, std::vector<std::string> args,
                                   bool ownSession = false, SubprocessOptions options = {}) {
  args.insert(args.begin(), TESSARO_BINARY);
  if (ownSession) args.insert(args.begin(), {"/usr/bin/setsid", "-w"});
  options.workingDirectory = folder.string();
  return run(args, options);
}
#endif

}  // namespace tessaro::test
