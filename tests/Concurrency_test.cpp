// Eight tessaro programs adding different files to one archive at the same time. Each either
// gets its file into the archive or fails with a message; none may report success and lose it.
#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <memory>
#include <string>

#include "process/Subprocess.h"
#include "support/Files.h"
#include "support/Processes.h"
#include "support/TempDir.h"

namespace tessaro {
namespace {

namespace fs = std::filesystem;

constexpr int kWriters = 8;

class ConcurrencyTest : public ::testing::TestWithParam<const char*> {
 protected:
  test::IsolatedHome home_;
};

TEST_P(ConcurrencyTest, SimultaneousAddsKeepEveryFileOrSayTheyFailed) {
  const fs::path work = home_.dir().path() / "work";
  const auto tessaro = [&](std::vector<std::string> args) { return test::runTessaro(work, std::move(args)); };
  // The archive in a folder of its own, so that anything left beside it shows.
  const std::string name = std::string("a.") + GetParam();
  const fs::path folder = home_.dir().path() / "archive";
  fs::create_directories(folder);
  const std::string archive = (folder / name).string();
  home_.dir().write("work/first.txt", "the archive's first file");
  for (int i = 0; i < kWriters; ++i)
    home_.dir().write("work/file" + std::to_string(i) + ".txt", "written by adder " + std::to_string(i));
  ASSERT_EQ(tessaro({"defaults", "write", "rar", "/usr/bin/rar"}).exitStatus, 0);
  const SubprocessResult created = tessaro({"create", archive, "first.txt"});
  ASSERT_EQ(created.exitStatus, 0) << created.output;
  const std::string inputs = test::folderListing(work);

  std::array<std::unique_ptr<Subprocess>, kWriters> adders;
  SubprocessOptions options;
  options.workingDirectory = work.string();
  for (int i = 0; i < kWriters; ++i) {
    adders[i] = std::make_unique<Subprocess>();
    ASSERT_TRUE(
        adders[i]->start({TESSARO_BINARY, "add", archive, "file" + std::to_string(i) + ".txt"}, options));
  }
  std::array<SubprocessResult, kWriters> results;
  for (int i = 0; i < kWriters; ++i) results[i] = adders[i]->wait();

  const SubprocessResult listed = tessaro({"list", archive});
  ASSERT_EQ(listed.exitStatus, 0) << listed.output;
  EXPECT_NE(listed.output.find("first.txt"), std::string::npos) << listed.output;
  int winners = 0;
  for (int i = 0; i < kWriters; ++i) {
    const std::string file = "file" + std::to_string(i) + ".txt";
    if (results[i].exitStatus == 0) {
      ++winners;
      EXPECT_NE(listed.output.find(file), std::string::npos) << file << " reported added but is missing\n"
                                                             << listed.output;
    } else {
      EXPECT_FALSE(results[i].output.empty())
          << file << ": status " << results[i].exitStatus << " without a word";
    }
  }
  EXPECT_GT(winners, 0);
  std::printf("[ concurrency ] %s: %d of %d adds succeeded\n", GetParam(), winners, kWriters);

  // Nothing but the archive is left beside it: no work folder, no temporary file.
  const std::string beside = test::folderListing(folder);
  EXPECT_TRUE(beside.starts_with(name + " file ") && beside.find('\n') == beside.size() - 1) << beside;
  EXPECT_EQ(test::folderListing(work), inputs);
  EXPECT_EQ(test::folderListing(home_.dir().path() / "tmp"), "");
  EXPECT_TRUE(test::noChildrenLeft());
}

INSTANTIATE_TEST_SUITE_P(Formats, ConcurrencyTest,
                         ::testing::Values("zip", "7z", "tar", "tar.gz", "tar.bz2", "tar.xz", "rar"));

}  // namespace
}  // namespace tessaro
