// Every archive-changing command of the tessaro program on a disk that fills up or fails: writes,
// flushes and renames below the run's folder fail from some call on (tests/fault/FaultShim.c,
// loaded into tessaro and every tool it runs). Whatever fails, the command must say so and exit
// non-zero, the archive must stay byte for byte as it was (after create: not be there at all),
// and nothing may be left beside it or in the temporary folder. With TESSARO_FAULT_TRACE naming
// a file, the library writes every counted call into it, which tells who made the one that failed.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "process/Subprocess.h"
#include "support/Files.h"
#include "support/Processes.h"
#include "support/TempDir.h"

namespace tessaro {
namespace {

namespace fs = std::filesystem;

// The kinds of call the library counts, in the order of its counters.
constexpr std::array<const char*, 3> kKinds = {"write", "fsync", "rename"};
using Counts = std::array<uint64_t, kKinds.size()>;
constexpr std::array<const char*, 2> kErrors = {"ENOSPC", "EIO"};
// The exit status a sanitizer report gives, so that it is never mistaken for a clean failure.
constexpr int kSanitizerStatus = 86;

struct Format {
  const char* extension;
  std::vector<std::string> commands;
};

const std::vector<std::string> kEditable = {"create", "add", "delete", "rename"};
const Format kFormats[] = {
    {"tar", kEditable},
    {"tar.gz", kEditable},
    {"tar.bz2", kEditable},
    {"tar.xz", kEditable},
    {"zip", {"create", "add", "delete", "rename", "comment"}},
    {"7z", kEditable},
    {"rar", {"create", "add", "delete", "rename", "comment"}},
    // XAR archives are written whole and never changed afterwards.
    {"xar", {"create"}},
};

void PrintTo(const Format& format, std::ostream* out) { *out << format.extension; }

class FaultInjectionTest : public ::testing::TestWithParam<Format> {
 protected:
  void SetUp() override {
    inputs_ = home_.dir().path() / "inputs";
    run_ = fs::canonical(home_.dir().path()) / "run";
    // Large enough that the tools write in several pieces, random so that packing keeps it so.
    fs::create_directories(inputs_);
    test::shell(
        inputs_,
        "mkdir tree && printf small > tree/small.txt && head -c 300000 /dev/urandom > tree/big.bin && "
        "head -c 100000 /dev/urandom > extra.bin");
    ASSERT_EQ(tessaro({"defaults", "write", "rar", "/usr/bin/rar"}, home_.dir().path(), {}).exitStatus, 0);
    made_ = home_.dir().path() / "made";
    fs::create_directories(made_);
    const SubprocessResult created =
        tessaro({"create", archiveName(), (inputs_ / "tree").string()}, made_, {});
    ASSERT_EQ(created.exitStatus, 0) << created.output;
    original_ = test::readFile(made_ / archiveName());
  }

  std::string archiveName() const { return std::string("a.") + GetParam().extension; }
  fs::path archive() const { return run_ / "work" / archiveName(); }

  std::vector<std::string> commandLine(const std::string& command) const {
    const std::string name = archiveName();
    if (command == "create") return {"create", name, (inputs_ / "tree").string()};
    if (command == "add") return {"add", name, (inputs_ / "extra.bin").string()};
    if (command == "delete") return {"delete", name, "tree/small.txt"};
    if (command == "rename") return {"rename", name, "tree/small.txt", "tree/renamed.txt"};
    return {"comment", name, "new words"};
  }

  static SubprocessResult tessaro(std::vector<std::string> args, const fs::path& folder,
                                  std::vector<std::pair<std::string, std::string>> environment) {
    SubprocessOptions options;
    options.environment = std::move(environment);
    return test::runTessaro(folder, std::move(args), false, options);
  }

  // A fresh run folder holding the archive (none for create) and the run's own TMPDIR; returns
  // the listing of the archive's folder.
  std::string prepare(const std::string& command) const {
    fs::remove_all(run_);
    fs::create_directories(run_ / "work");
    fs::create_directories(run_ / "tmp");
    if (command != "create") fs::copy_file(made_ / archiveName(), archive());
    fs::remove(counterFile());
    return test::folderListing(run_ / "work");
  }

  fs::path counterFile() const { return home_.dir().path() / "fault-counts"; }

  // Runs the command under the library; with `kind` empty it only counts.
  SubprocessResult runUnder(const std::string& command, const std::string& kind, uint64_t after,
                            const std::string& error) const {
    std::vector<std::pair<std::string, std::string>> environment = {
        {"LD_PRELOAD", TESSARO_FAULT_SHIM},
        {"TMPDIR", (run_ / "tmp").string()},
        {"TESSARO_FAULT_DIR", run_.string()},
        {"TESSARO_FAULT_COUNT", counterFile().string()},
        // The library comes before the sanitizer runtime in the load order, which it would refuse.
        {"ASAN_OPTIONS", "halt_on_error=1:detect_leaks=1:verify_asan_link_order=0:exitcode=" +
                             std::to_string(kSanitizerStatus)},
        {"UBSAN_OPTIONS", "halt_on_error=1:print_stacktrace=1:exitcode=" + std::to_string(kSanitizerStatus)},
    };
    if (!kind.empty()) {
      environment.insert(environment.end(), {{"TESSARO_FAULT_OP", kind},
                                             {"TESSARO_FAULT_AFTER", std::to_string(after)},
                                             {"TESSARO_FAULT_ERRNO", error}});
    }
    return tessaro(commandLine(command), run_ / "work", environment);
  }

  Counts counted() const {
    Counts counts{};
    const std::string bytes = test::readFile(counterFile());
    if (bytes.size() >= sizeof counts) std::memcpy(counts.data(), bytes.data(), sizeof counts);
    return counts;
  }

  // What is wrong with the run folder after a command: leftovers beside the archive or in TMPDIR.
  // After a clean run only the archive's name is known, not its size.
  std::string leftovers(const std::string& expectedWork, bool clean = false) const {
    std::string problems;
    const std::string work = test::folderListing(run_ / "work");
    const bool onlyArchive = work.starts_with(archiveName() + " file ") && work.find('\n') == work.size() - 1;
    if (clean ? !onlyArchive : work != expectedWork) problems += " beside the archive: [" + work + "]";
    const std::string temporary = test::folderListing(run_ / "tmp");
    if (!temporary.empty()) problems += " in TMPDIR: [" + temporary + "]";
    return problems;
  }

  test::IsolatedHome home_;
  fs::path inputs_;
  fs::path run_;
  fs::path made_;  // the archive the commands other than create start from
  std::string original_;
};

TEST_P(FaultInjectionTest, EveryCommandFailsWholeOnAFullOrFailingDisk) {
  std::vector<std::string> failures;
  int runs = 0;
  for (const std::string& command : GetParam().commands) {
    const std::string before = prepare(command);
    const SubprocessResult clean = runUnder(command, "", 0, "");
    ASSERT_EQ(clean.exitStatus, 0) << command << "\n" << clean.output;
    ASSERT_TRUE(fs::exists(archive())) << command;
    if (command != "create") {
      EXPECT_NE(test::readFile(archive()), original_) << command << " changed nothing";
    }
    EXPECT_EQ(leftovers("", true), "") << command << " (clean run)";
    const Counts counts = counted();

    for (size_t kind = 0; kind < kKinds.size(); ++kind) {
      // A change that is never flushed or never renamed into place is not safe from a crash.
      EXPECT_GT(counts[kind], 0u) << command << " " << GetParam().extension << ": no " << kKinds[kind]
                                  << " below the archive's folder";
      if (counts[kind] == 0) continue;
      // The first, a middle and the last of the calls.
      for (const uint64_t point : std::set<uint64_t>{0, counts[kind] / 2, counts[kind] - 1}) {
        for (const char* error : kErrors) {
          prepare(command);
          const SubprocessResult result = runUnder(command, kKinds[kind], point, error);
          ++runs;
          std::string problems;
          if (result.exitStatus == 0) problems += " exit 0;";
          if (result.exitStatus == kSanitizerStatus || result.exitStatus < 0)
            problems += " crashed (status " + std::to_string(result.exitStatus) + ", signal " +
                        std::to_string(result.signal) + ");";
          if (result.output.empty()) problems += " no message;";
          if (command == "create" ? fs::exists(archive()) : test::readFile(archive()) != original_)
            problems += command == "create" ? " archive made;" : " archive changed;";
          problems += leftovers(before);
          if (!problems.empty()) {
            const std::string said = result.output.substr(0, result.output.find('\n')).substr(0, 160);
            failures.push_back(command + " " + kKinds[kind] + " " + std::to_string(point + 1) + "/" +
                               std::to_string(counts[kind]) + " " + error + ":" + problems + " (status " +
                               std::to_string(result.exitStatus) + (said.empty() ? "" : ": " + said) + ")");
          }
        }
      }
    }
  }
  std::printf("[ fault runs ] %s: %zu commands, %d runs with a fault, %zu failed\n", GetParam().extension,
              GetParam().commands.size(), runs, failures.size());
  RecordProperty("fault_runs", runs);
  std::string report;
  for (const std::string& failure : failures) report += failure + "\n";
  EXPECT_TRUE(failures.empty()) << report;
  EXPECT_TRUE(test::noChildrenLeft());
}

INSTANTIATE_TEST_SUITE_P(Formats, FaultInjectionTest, ::testing::ValuesIn(kFormats),
                         [](const ::testing::TestParamInfo<Format>& param) {
                           std::string name = param.param.extension;
                           for (char& c : name)
                             if (c == '.') c = '_';
                           return name;
                         });

}  // namespace
}  // namespace tessaro
