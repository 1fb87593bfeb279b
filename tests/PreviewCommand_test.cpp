// tessaro preview through the built program (which runs the built qlhost beside it): where the
// page goes, how the cache folder is kept, the opener, and the statuses of what cannot be shown.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/Processes.h"
#include "support/TempDir.h"
#include "support/TextChecks.h"

namespace tessaro {
namespace {

namespace fs = std::filesystem;
using test::readFile;

class PreviewCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::shell(dir_.path(),
                "mkdir d && echo hello > d/inside.txt && tar -czf sample.tgz d && echo plain > notes.txt");
  }

  SubprocessResult tessaro(std::vector<std::string> args,
                           std::vector<std::pair<std::string, std::string>> env = {}) {
    args.insert(args.begin(), TESSARO_BINARY);
    SubprocessOptions options;
    options.separateErrorOutput = true;
    options.workingDirectory = dir_.str();
    env.push_back({"XDG_CACHE_HOME", (dir_.path() / "cache").string()});
    env.push_back({"XDG_STATE_HOME", (dir_.path() / "state").string()});
    env.push_back({"XDG_CONFIG_HOME", (dir_.path() / "config").string()});
    options.environment = env;
    return run(args, options);
  }

  fs::path previews() const { return dir_.path() / "cache/tessaro/previews"; }
  fs::path path(const char* name) const { return dir_.path() / name; }

  test::TempDir dir_;
};

TEST_F(PreviewCommandTest, WritesThePageIntoAPrivateCacheFolderAndPrintsIt) {
  const SubprocessResult result = tessaro({"preview", "sample.tgz"});
  ASSERT_EQ(result.exitStatus, 0) << result.errorOutput;
  const fs::path page = result.output.substr(0, result.output.find('\n'));
  EXPECT_EQ(page.parent_path(), previews());
  EXPECT_EQ(page.extension(), ".html");
  EXPECT_TRUE(test::contains(readFile(page), "inside.txt"));
  struct stat st;
  ASSERT_EQ(::stat(previews().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700);
  // The same archive again rewrites its own page.
  EXPECT_EQ(tessaro({"preview", path("sample.tgz").string()}).output, result.output);
  EXPECT_EQ(std::distance(fs::directory_iterator(previews()), fs::directory_iterator()), 1);
  EXPECT_TRUE(test::noChildrenLeft());
}

TEST_F(PreviewCommandTest, RemovesWeekOldPagesAndTheOldestBeyondFifty) {
  fs::create_directories(previews());
  const auto now = fs::file_time_type::clock::now();
  const fs::path stale = previews() / "stale.html";
  std::vector<fs::path> recent;
  for (int i = 0; i < 55; ++i) {
    recent.push_back(previews() / ("p" + std::to_string(i) + ".html"));
    std::ofstream(recent.back()) << "page";
    // p0 oldest, p54 a minute old.
    fs::last_write_time(recent.back(), now - std::chrono::minutes(120 - i));
  }
  std::ofstream(stale) << "page";
  fs::last_write_time(stale, now - std::chrono::hours(24 * 8));

  const SubprocessResult result = tessaro({"preview", "sample.tgz"});
  ASSERT_EQ(result.exitStatus, 0) << result.errorOutput;
  EXPECT_FALSE(fs::exists(stale));
  // 55 and the new page: the six oldest go.
  for (int i = 0; i < 55; ++i) EXPECT_EQ(fs::exists(recent[i]), i >= 6) << recent[i];
  EXPECT_TRUE(fs::exists(result.output.substr(0, result.output.find('\n'))));
}

TEST_F(PreviewCommandTest, WritesWhereToldAndOpensThePageWithTheOpener) {
  test::shell(dir_.path(),
              "printf '#!/bin/sh\\necho \"$1\" > \"%s/opened\"\\n' \"$PWD\" > opener && chmod +x opener");
  // Named as xdg-open is, by a name looked up in PATH.
  const char* const searched = std::getenv("PATH");
  const SubprocessResult result = tessaro(
      {"preview", "--open", "sample.tgz", "-o", "page.html"},
      {{"TESSARO_OPEN", "opener"}, {"PATH", dir_.str() + ":" + (searched ? searched : "/usr/bin:/bin")}});
  ASSERT_EQ(result.exitStatus, 0) << result.errorOutput;
  EXPECT_EQ(result.output, path("page.html").string() + "\n");
  EXPECT_EQ(readFile(path("opened")), path("page.html").string() + "\n");
  EXPECT_TRUE(test::contains(readFile(path("page.html")), "inside.txt"));
  EXPECT_FALSE(fs::exists(previews()));
}

TEST_F(PreviewCommandTest, RefusesWhatItCannotShowWithoutWritingAPage) {
  test::shell(dir_.path(), "mkfifo pipe");
  struct Case {
    std::vector<std::string> args;
    int status;
  };
  const Case cases[] = {
      {{"preview"}, 2},
      {{"preview", "missing.zip"}, 2},
      {{"preview", "sample.tgz", "--bogus"}, 2},
      {{"preview", "sample.tgz", "other.tgz"}, 2},
      {{"preview", "sample.tgz", "-o"}, 2},
      {{"preview", "notes.txt"}, 1},
      {{"preview", "pipe"}, 1},
      {{"preview", "notes.txt", "-o", "page.html"}, 1},
  };
  for (const Case& c : cases) {
    const SubprocessResult result = tessaro(c.args);
    EXPECT_EQ(result.exitStatus, c.status) << c.args.back() << "\n" << result.errorOutput;
    EXPECT_EQ(result.output, "") << c.args.back();
    EXPECT_NE(result.errorOutput, "") << c.args.back();
  }
  EXPECT_FALSE(fs::exists(path("page.html")));
  EXPECT_TRUE(!fs::exists(previews()) || fs::is_empty(previews()));
}

TEST_F(PreviewCommandTest, DoesNotWriteThroughALinkPlantedAsTheCacheFolder) {
  fs::create_directories(dir_.path() / "cache/tessaro");
  fs::create_directory(dir_.path() / "elsewhere");
  fs::create_directory_symlink(dir_.path() / "elsewhere", previews());
  const SubprocessResult result = tessaro({"preview", "sample.tgz"});
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_TRUE(fs::is_empty(dir_.path() / "elsewhere"));
}

}  // namespace
}  // namespace tessaro
