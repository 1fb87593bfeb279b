// Child processes in tests: running a fixture script, and checking that none is left behind.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cerrno>
#include <filesystem>
#include <string>

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

}  // namespace tessaro::test
