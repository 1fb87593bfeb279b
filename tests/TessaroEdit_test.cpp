// The tessaro program's archive-changing commands as a terminal user runs them: create, add,
// delete, rename and comment, round trips through the real tools, and what bad
// input, failing tools and signals leave behind.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "process/Subprocess.h"
#include "support/ListingJson.h"
#include "support/Processes.h"
#include "support/TempDir.h"
#include "support/TextChecks.h"
#include "zip/ZipEndRecord.h"

namespace tessaro {
namespace {

namespace fs = std::filesystem;

using test::readFile;

// The files writeTree() makes, with their sizes.
const std::map<std::string, int64_t> kTreeFiles{
    {"tree/plain.txt", 5},          {"tree/with space.txt", 6}, {"tree/ünïcödé.txt", 7},
    {"tree/q\"uote$(x)`y`.txt", 7}, {"tree/-dash.txt", 4},      {"tree/sub/deeper/leaf.bin", 70000},
};

class TessaroEditTest : public ::testing::Test {
 protected:
  SubprocessResult tessaro(std::vector<std::string> args, SubprocessOptions options = {}) {
    return test::runTessaro(dir(), std::move(args), false, std::move(options));
  }
  SubprocessResult shell(const std::string& command) {
    return run({"/bin/sh", "-c", "cd '" + dir().string() + "' && " + command});
  }
  const fs::path& dir() const { return home.dir().path(); }
  // Names a shell, a list file or a careless quoting would break on.
  void writeTree() {
    home.dir().write("tree/plain.txt", "plain");
    home.dir().write("tree/with space.txt", "spaced");
    home.dir().write("tree/ünïcödé.txt", "unicode");
    home.dir().write("tree/q\"uote$(x)`y`.txt", "hostile");
    home.dir().write("tree/-dash.txt", "dash");
    home.dir().write("tree/sub/deeper/leaf.bin", std::string(70000, 'x'));
  }
  std::map<std::string, int64_t> listedFiles(const std::string& archive) {
    return test::filesInJson(tessaro({"list", "--json", archive}).output);
  }
  // Nothing but `expected` beside the archives, and nothing in the temporary folder: no work
  // folder, partial archive or tool leftover outlived its command.
  void expectNothingLeftBehind() {
    for (const auto& entry : fs::directory_iterator(dir())) {
      const std::string name = entry.path().filename().string();
      EXPECT_FALSE(name.starts_with(".") && name != ".config" && name != ".local") << entry.path();
      EXPECT_TRUE(test::lacks(name, "damaged")) << entry.path();
    }
    EXPECT_TRUE(fs::is_empty(dir() / "tmp"));
  }
  test::IsolatedHome home;
};

TEST_F(TessaroEditTest, EveryWritableFormatRoundTripsThroughCreateAddDeleteAndRename) {
  writeTree();
  home.dir().write("extra.txt", "added later");
  // RAR archives change through the rar the defaults name, else the one on PATH: a preference
  // that names no program is not second-guessed.
  const bool rar = fs::exists("/usr/bin/rar");
  ASSERT_EQ(tessaro({"defaults", "write", "rar", "/nonexistent/rar"}).exitStatus, 0);
  EXPECT_EQ(tessaro({"create", "r.rar", "tree"}).exitStatus, 2);
  ASSERT_EQ(tessaro({"defaults", "delete", "rar"}).exitStatus, 0);
  for (const std::string format : {"zip", "7z", "tar.gz", "tar.bz2", "tar.xz", "tar", "xar", "rar"}) {
    SCOPED_TRACE(format);
    if (format == "rar" && !rar) continue;
    const std::string archive = "a." + format;
    ASSERT_EQ(tessaro({"create", archive, "tree"}).exitStatus, 0);
    EXPECT_EQ(listedFiles(archive), kTreeFiles);

    fs::create_directories(dir() / ("out-" + format));
    ASSERT_EQ(tessaro({"extract", archive, "-C", "out-" + format}).exitStatus, 0);
    EXPECT_EQ(shell("diff -r tree 'out-" + format + "/tree'").exitStatus, 0);
    fs::create_directories(dir() / ("one-" + format));
    ASSERT_EQ(tessaro({"extract", archive, "tree/with space.txt", "-C", "one-" + format}).exitStatus, 0);
    EXPECT_EQ(readFile(dir() / ("one-" + format) / "tree/with space.txt"), "spaced");
    EXPECT_FALSE(fs::exists(dir() / ("one-" + format) / "tree/plain.txt"));

    if (format == "xar") {
      // XAR archives are written whole and never changed afterwards.
      EXPECT_EQ(tessaro({"add", archive, "extra.txt"}).exitStatus, 2);
      EXPECT_EQ(tessaro({"delete", archive, "tree/-dash.txt"}).exitStatus, 2);
      continue;
    }

    ASSERT_EQ(tessaro({"add", archive, "extra.txt", "--into", "tree/sub"}).exitStatus, 0);
    ASSERT_EQ(tessaro({"delete", archive, "tree/-dash.txt"}).exitStatus, 0);
    ASSERT_EQ(tessaro({"rename", archive, "tree/plain.txt", "tree/renamed.txt"}).exitStatus, 0);
    std::map<std::string, int64_t> expected = kTreeFiles;
    expected.erase("tree/-dash.txt");
    expected.erase("tree/plain.txt");
    expected["tree/renamed.txt"] = 5;
    expected["tree/sub/extra.txt"] = 11;
    EXPECT_EQ(listedFiles(archive), expected);
  }
  if (rar) {
    ASSERT_EQ(tessaro({"comment", "a.rar", "rar words"}).exitStatus, 0);
    EXPECT_EQ(tessaro({"comment", "a.rar"}).output, "rar words");
    EXPECT_EQ(tessaro({"repair", "a.rar"}).exitStatus, 0);
  }
  expectNothingLeftBehind();
}

// The comment's bytes as the end record holds them; "(none)" without an end record.
std::string storedComment(const fs::path& zip) {
  const std::optional<ZipEndRecord> end = readZipEndRecord(zip.string());
  return end ? end->comment : "(none)";
}

TEST_F(TessaroEditTest, ZipCommentsSurviveByteForByteAndTheHelperNameNeverCollides) {
  // A line that looks like the listing's separator, a byte that is not UTF-8, a final line feed.
  const std::string comment = "Intro\n----------\nMore text \x82\n";
  home.dir().write("f.txt", "f");
  home.dir().write("Tessaro-comment-helper", "an entry of the user's");
  home.dir().write("g.txt", "g");
  ASSERT_EQ(shell("zip -q z.zip f.txt Tessaro-comment-helper").exitStatus, 0);
  ASSERT_EQ(tessaro({"comment", "z.zip", comment}).exitStatus, 0);
  EXPECT_EQ(storedComment(dir() / "z.zip"), comment);
  EXPECT_EQ(shell("unzip -p z.zip Tessaro-comment-helper").output, "an entry of the user's");
  ASSERT_EQ(tessaro({"add", "z.zip", "g.txt"}).exitStatus, 0);
  EXPECT_EQ(storedComment(dir() / "z.zip"), comment);
  EXPECT_EQ(tessaro({"comment", "z.zip"}).output, comment);
  EXPECT_EQ(shell("unzip -Z1 z.zip | sort | tr '\\n' ' '").output, "Tessaro-comment-helper f.txt g.txt ");
  // One loose file comes out in a folder named after the archive.
  ASSERT_EQ(tessaro({"create", "e.zip", "f.txt"}).exitStatus, 0);
  fs::create_directories(dir() / "e");
  ASSERT_EQ(tessaro({"extract", "e.zip", "-C", "e"}).exitStatus, 0);
  EXPECT_EQ(readFile(dir() / "e/e/f.txt"), "f");

  // 7zz cuts a split archive after writing it, here through its 22-byte end record (stored
  // data: the size is the content's plus a fixed overhead): the comment still goes in, and the
  // pieces still make the archive.
  home.dir().write("v/data.bin", std::string(30000, 'd'));
  ASSERT_EQ(tessaro({"create", "probe.zip", "v", "--compression", "store"}).exitStatus, 0);
  const auto overhead = static_cast<size_t>(fs::file_size(dir() / "probe.zip")) - 30000;
  home.dir().write("v/data.bin", std::string(40010 - overhead, 'd'));
  ASSERT_EQ(
      tessaro({"create", "s.zip", "v", "--compression", "store", "--volume-size", "20k", "--comment", "hi"})
          .exitStatus,
      0);
  // The record moved whole into the last piece.
  ASSERT_EQ(fs::file_size(dir() / "s.zip.002"), 19988u) << "the cut no longer goes through the end record";
  ASSERT_EQ(shell("cat s.zip.0* > whole.zip && unzip -tq whole.zip").exitStatus, 0);
  EXPECT_EQ(storedComment(dir() / "whole.zip"), "hi");
  EXPECT_EQ(shell("7zz t s.zip.001 >/dev/null").exitStatus, 0);
}

TEST_F(TessaroEditTest, SingleEntriesComeOutOfTheFormatsOnlyReadHere) {
  writeTree();
  const struct {
    const char* archive;
    const char* command;
    std::string entry;
  } makers[] = {
      {"t.cab", "gcab -c t.cab tree/plain.txt tree/sub/deeper/leaf.bin", "tree/sub/deeper/leaf.bin"},
      {"t.iso", "genisoimage -quiet -R -o t.iso tree", "sub/deeper/leaf.bin"},
      {"t.cpio", "find tree | cpio -o -H newc --quiet > t.cpio", "tree/sub/deeper/leaf.bin"},
      {"t.lzh", "jlha c t.lzh tree/plain.txt tree/sub/deeper/leaf.bin >/dev/null",
       "tree/sub/deeper/leaf.bin"},
      {"t.gz", "gzip -c tree/sub/deeper/leaf.bin > t.gz", "t"},
  };
  for (const auto& maker : makers) {
    SCOPED_TRACE(maker.archive);
    ASSERT_EQ(shell(maker.command).exitStatus, 0);
    const fs::path out = dir() / ("single-" + std::string(maker.archive));
    fs::create_directories(out);
    const SubprocessResult extracted = tessaro({"extract", maker.archive, maker.entry, "-C", out.string()});
    ASSERT_EQ(extracted.exitStatus, 0) << extracted.output;
    EXPECT_EQ(readFile(out / maker.entry), std::string(70000, 'x'));
  }
}

TEST_F(TessaroEditTest, VolumesOfEveryFormatThatSplitsListAndExtractWhole) {
  writeTree();
  ASSERT_EQ(tessaro({"defaults", "write", "rar", "/usr/bin/rar"}).exitStatus, 0);
  for (const std::string format : {"zip", "7z", "rar"}) {
    SCOPED_TRACE(format);
    if (format == "rar" && !fs::exists("/usr/bin/rar")) continue;
    ASSERT_EQ(tessaro({"create", "v." + format, "tree", "--volume-size", "20k", "--compression", "store"})
                  .exitStatus,
              0);
    const std::string first = format == "rar" ? "v.part1.rar" : "v." + format + ".001";
    ASSERT_TRUE(fs::exists(dir() / first));
    EXPECT_TRUE(fs::exists(dir() / (format == "rar" ? "v.part4.rar" : "v." + format + ".004")));
    EXPECT_EQ(listedFiles(first), kTreeFiles);
    fs::create_directories(dir() / ("v-" + format));
    ASSERT_EQ(tessaro({"extract", first, "-C", "v-" + format}).exitStatus, 0);
    EXPECT_EQ(shell("diff -r tree 'v-" + format + "/tree'").exitStatus, 0);
  }
}

TEST_F(TessaroEditTest, BadRequestsFailClearlyAndLeaveTheArchiveAsItWas) {
  writeTree();
  ASSERT_EQ(tessaro({"create", "k.zip", "tree"}).exitStatus, 0);
  const std::string before = readFile(dir() / "k.zip");

  EXPECT_EQ(tessaro({"create", "k.zip", "tree"}).exitStatus, 2);      // exists already
  EXPECT_EQ(tessaro({"create", "k.unknown", "tree"}).exitStatus, 2);  // no format
  EXPECT_EQ(tessaro({"create", "n.zip", "no-such-file"}).exitStatus, 2);
  EXPECT_FALSE(fs::exists(dir() / "n.zip"));
  EXPECT_EQ(tessaro({"delete", "missing.zip", "x"}).exitStatus, 2);
  const SubprocessResult absent = tessaro({"delete", "k.zip", "tree/plain.txt", "tree/nothing-here"});
  EXPECT_EQ(absent.exitStatus, 1);
  EXPECT_TRUE(test::contains(absent.output, "tree/nothing-here: no such entry"));
  EXPECT_EQ(tessaro({"extract", "k.zip", "-C", "tree/plain.txt"}).exitStatus, 2);  // not a folder
  EXPECT_EQ(tessaro({"add", "k.zip"}).exitStatus, 2);
  EXPECT_EQ(tessaro({"create", "self.zip", "."}).exitStatus, 2);  // would hold its own work folder
  EXPECT_FALSE(fs::exists(dir() / "self.zip"));
  EXPECT_EQ(tessaro({"create", "--help"}).exitStatus, 0);
  EXPECT_EQ(readFile(dir() / "k.zip"), before);

  // Entries that try to leave the destination land inside it or not at all.
  home.dir().write("payload.txt", "escaped");
  ASSERT_EQ(shell("bsdtar --format zip -s ',^,../,' -cf up.zip payload.txt && "
                  "bsdtar --format zip -s ',^,/tmp/tessaro-abs-,' -cf abs.zip payload.txt")
                .exitStatus,
            0);
  fs::create_directories(dir() / "inner/dest");
  tessaro({"extract", "up.zip", "-C", "inner/dest"});
  tessaro({"extract", "abs.zip", "-C", "inner/dest"});
  EXPECT_FALSE(fs::exists(dir() / "inner/payload.txt"));
  EXPECT_FALSE(fs::exists("/tmp/tessaro-abs-payload.txt"));
}

TEST_F(TessaroEditTest, AToolThatFailsOrLiesLeavesTheArchiveAsItWas) {
  if (!fs::exists("/usr/bin/rar")) GTEST_SKIP() << "rar is not installed";
  writeTree();
  home.dir().write("extra.txt", "added later");
  ASSERT_EQ(tessaro({"defaults", "write", "rar", "/usr/bin/rar"}).exitStatus, 0);
  ASSERT_EQ(tessaro({"create", "r.rar", "tree"}).exitStatus, 0);
  const std::string before = readFile(dir() / "r.rar");
  // A rar that cuts the archive it works on and then says it failed, or says nothing at all.
  for (const char* status : {"0", "2"}) {
    home.dir().write("fake-rar", std::string("#!/bin/sh\nfor a; do case \"$a\" in *.rar) [ -f \"$a\" ] && "
                                             "truncate -s 100 \"$a\";; esac; done\nexit ") +
                                     status + "\n");
    fs::permissions(dir() / "fake-rar", fs::perms::owner_all);
    ASSERT_EQ(tessaro({"defaults", "write", "rar", (dir() / "fake-rar").string()}).exitStatus, 0);
    for (const std::vector<std::string>& command : {std::vector<std::string>{"add", "r.rar", "extra.txt"},
                                                    {"delete", "r.rar", "tree/plain.txt"},
                                                    {"rename", "r.rar", "tree/plain.txt", "tree/other.txt"},
                                                    {"comment", "r.rar", "words"}}) {
      SCOPED_TRACE(command.front() + std::string(" exiting ") + status);
      const SubprocessResult outcome = tessaro(command);
      EXPECT_EQ(outcome.exitStatus, 1) << outcome.output;
      EXPECT_TRUE(test::contains(outcome.output, "; the archive is unchanged"));
      EXPECT_TRUE(test::lacks(outcome.output, "password"));
      EXPECT_EQ(readFile(dir() / "r.rar"), before);
    }
  }
  expectNothingLeftBehind();
}

TEST_F(TessaroEditTest, RenameRefusesTakenNamesAndNamesThatLeaveTheArchive) {
  writeTree();
  struct Refusal {
    const char* target;
    int status;
  };
  const Refusal refusals[] = {
      {"tree/with space.txt", 1}, {"tree/sub", 1},     {"../up.txt", 2},
      {"tree/../../up.txt", 2},   {"/etc/abs.txt", 2},
  };
  for (const std::string format : {"zip", "7z", "tar.gz"}) {
    const std::string archive = "n." + format;
    ASSERT_EQ(tessaro({"create", archive, "tree"}).exitStatus, 0);
    const std::string before = readFile(dir() / archive);
    for (const Refusal& refusal : refusals) {
      SCOPED_TRACE(format + " -> " + refusal.target);
      EXPECT_EQ(tessaro({"rename", archive, "tree/plain.txt", refusal.target}).exitStatus, refusal.status);
      EXPECT_EQ(readFile(dir() / archive), before);
    }
  }
  expectNothingLeftBehind();
}

TEST_F(TessaroEditTest, AKilledAddLeavesTheArchiveAndNoWorkFolder) {
  home.dir().write("small.txt", "small");
  ASSERT_EQ(shell("head -c 40000000 /dev/urandom > big.bin").exitStatus, 0);
  for (const std::string format : {"zip", "tar.gz"}) {
    const std::string archive = "k." + format;
    ASSERT_EQ(tessaro({"create", archive, "small.txt"}).exitStatus, 0);
    const std::string before = readFile(dir() / archive);
    // Early (while copying or starting the tool) and late (while the tool writes).
    for (const int delay : {50, 300, 900}) {
      SCOPED_TRACE(format + " killed after " + std::to_string(delay) + " ms");
      Subprocess add;
      SubprocessOptions options;
      options.workingDirectory = dir().string();
      ASSERT_TRUE(add.start({TESSARO_BINARY, "add", archive, "big.bin"}, options));
      std::this_thread::sleep_for(std::chrono::milliseconds(delay));
      ::kill(add.pid(), SIGTERM);
      const SubprocessResult result = add.wait();
      if (result.exitStatus == 0) continue;  // done before the signal: a whole new archive
      EXPECT_EQ(result.signal, SIGTERM) << result.output;
      EXPECT_EQ(readFile(dir() / archive), before);
      expectNothingLeftBehind();
    }
  }
}

TEST_F(TessaroEditTest, ASevenZipWarningKeepsTheArchiveAndSaysWhatWasSkipped) {
  writeTree();
  fs::create_symlink("no-such-target", dir() / "tree/dangling");
  for (const std::string format : {"zip", "7z"}) {
    SCOPED_TRACE(format);
    const SubprocessResult created = tessaro({"create", "w." + format, "tree"});
    EXPECT_EQ(created.exitStatus, 1) << created.output;
    EXPECT_TRUE(test::contains(created.output, "tessaro: warning: "));
    EXPECT_TRUE(test::contains(created.output, "dangling"));
    EXPECT_TRUE(test::lacks(created.output, "cancelled"));
    EXPECT_EQ(listedFiles("w." + format), kTreeFiles);
  }
  expectNothingLeftBehind();
}

TEST_F(TessaroEditTest, ALoneStreamHoldsExactlyOneFile) {
  writeTree();
  for (const std::string format : {"gz", "bz2", "xz"}) {
    SCOPED_TRACE(format);
    const std::string archive = "one." + format;
    ASSERT_EQ(tessaro({"create", archive, "tree/sub/deeper/leaf.bin"}).exitStatus, 0);
    const std::string decompress = format == "gz" ? "gzip" : format == "bz2" ? "bzip2" : "xz";
    EXPECT_EQ(shell(decompress + " -dc " + archive + " | cmp - tree/sub/deeper/leaf.bin").exitStatus, 0);
    const SubprocessResult folder = tessaro({"create", "folder." + format, "tree"});
    EXPECT_EQ(folder.exitStatus, 2);
    EXPECT_TRUE(test::contains(folder.output, ".tar." + format));
    EXPECT_EQ(tessaro({"create", "two." + format, "tree/plain.txt", "tree/-dash.txt"}).exitStatus, 2);
    EXPECT_FALSE(fs::exists(dir() / ("folder." + format)));
    EXPECT_FALSE(fs::exists(dir() / ("two." + format)));
  }
  expectNothingLeftBehind();
}

}  // namespace
}  // namespace tessaro
