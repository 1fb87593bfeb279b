// `tessaro extract` and `tessaro test` against what an archive or an earlier extraction can turn
// against the user: symbolic links planted in the destination or left by an earlier archive, a
// wrong password, existing files, truncated data, more data than may be written, and honest exit
// statuses for damaged archives. Every run is without a terminal, as in a script.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "process/Subprocess.h"
#include "support/Files.h"
#include "support/SuiteFixtures.h"
#include "support/Processes.h"
#include "support/TempDir.h"
#include "support/TextChecks.h"

namespace tessaro {
namespace {

namespace fs = std::filesystem;
using test::folderListing;
using test::readFile;

// Every format holds tree/a.txt ("alpha") and tree/sub/b.txt ("bravo"); t.FMT is that tree,
// link1.FMT a link `esc` to the absolute folder outside/, link2.FMT esc/planted.txt, enc.FMT the
// tree under the password "pw", big.FMT a 256 KiB random file, bomb.FMT 8 MiB of zeros.
struct Format {
  const char* extension;
  bool password;  // enc.FMT exists
};

const Format kFormats[] = {
    {"tar", false}, {"tgz", false}, {"tbz", false}, {"txz", false},
    {"zip", true},  {"7z", true},   {"rar", true},  {"cpio", false},
};

const char* const kStreams[] = {"gz", "bz2", "xz"};

class TessaroExtractTest : public test::SuiteFixtures<TessaroExtractTest> {
 public:
  static constexpr const char* kFixtureScript = R"(
    cpio_make() { out="$1"; shift; find "$@" | cpio -o -H newc --quiet > "$out"; }
    mk() { # mk FORMAT-COMMAND ARCHIVE FOLDER NAMES...
      cmd="$1"; out="$PWD/$2"; cd "$3"; shift 3
      case "$cmd" in cpio_make) cpio_make "$out" "$@" ;; *) $cmd "$out" "$@" ;; esac
      cd "$OLDPWD"
    }
    mkdir -p src/tree/sub src/esc1 src/esc2/esc src/big src/bomb outside
    printf alpha > src/tree/a.txt; printf bravo > src/tree/sub/b.txt
    ln -s "$PWD/outside" src/esc1/esc; printf planted > src/esc2/esc/planted.txt
    head -c 262144 /dev/urandom > src/big/r.bin; head -c 8388608 /dev/zero > src/bomb/zeros
    for f in "tar:tar cf" "tgz:tar czf" "tbz:tar cjf" "txz:tar cJf" "zip:zip -qry" \
             "7z:7zz a -bso0 -bsp0 -snl" "rar:rar a -idq -ol" "cpio:cpio_make"; do
      ext="${f%%:*}"; cmd="${f#*:}"
      mk "$cmd" "t.$ext" src tree; mk "$cmd" "link1.$ext" src/esc1 esc; mk "$cmd" "link2.$ext" src/esc2 esc
      mk "$cmd" "big.$ext" src/big r.bin; mk "$cmd" "bomb.$ext" src/bomb zeros
      head -c 131072 "big.$ext" > "cut.$ext"
    done
    (cd src && zip -qr -P pw ../enc.zip tree && 7zz a -bso0 -bsp0 -ppw ../enc.7z tree && rar a -idq -ppw ../enc.rar tree)
    for z in "gz:gzip" "bz2:bzip2" "xz:xz"; do
      ext="${z%%:*}"; tool="${z#*:}"
      $tool -c src/tree/a.txt > "a.txt.$ext"; $tool -c src/bomb/zeros > "zeros.$ext"
      $tool -c src/big/r.bin > "r.bin.$ext"; head -c 131072 "r.bin.$ext" > "cut-r.bin.$ext"
    done
    # Special files and setuid bits.
    mkdir -p src/special && mkfifo src/special/fifo && printf x > src/special/tool && chmod 4755 src/special/tool
    (cd src && tar cf ../special.tar special)
    bsdtar --format xar -cf x.xar -C src tree && head -c 600 x.xar > cut.xar
    # A folder nobody may write into, before data that is cut off.
    mkdir -p src/ro/locked && printf lock > src/ro/locked/f && cp src/big/r.bin src/ro/r.bin
    chmod 0555 src/ro/locked && (cd src && tar cf ../ro.tar ro/locked ro/r.bin) && chmod 0755 src/ro/locked
    head -c 131072 ro.tar > cut-ro.tar
  )";

 protected:
  // Runs tessaro in a new session, so no terminal can be asked.
  SubprocessResult tessaro(std::vector<std::string> args) {
    return test::runTessaro(home.dir().path(), std::move(args), true);
  }
  // A fresh destination folder.
  fs::path destination(const std::string& name) {
    const fs::path path = home.dir().path() / name;
    fs::create_directories(path);
    return path;
  }
  void TearDown() override {
    // Nothing a command made for itself outlives it.
    EXPECT_EQ(folderListing(home.dir().path() / "tmp"), "");
    for (const auto& entry : fs::recursive_directory_iterator(home.dir().path()))
      EXPECT_TRUE(test::lacks(entry.path().filename().string(), ".tessaro-")) << entry.path();
    EXPECT_EQ(folderListing(fs::path(fixture("outside"))), "");
  }

  test::IsolatedHome home;
};

// What stands where the archive has tree/a.txt (a file, a link to a file outside, a folder) is
// refused without a policy and left as it was, and replaced itself, never what a link points to,
// with --overwrite. A link at a folder's place is refused whatever the policy.
TEST_F(TessaroExtractTest, WhatStandsInAnEntrysWayIsRefusedKeptOrReplacedButNeverFollowed) {
  const fs::path victim = home.dir().write("victim.txt", "precious");
  const std::function<void(const fs::path&)> obstacles[] = {
      [](const fs::path& at) { std::ofstream(at) << "mine"; },
      [&](const fs::path& at) { fs::create_symlink(victim, at); },
      [](const fs::path& at) { fs::create_directories(at / "inside"); },
  };
  for (const Format& format : kFormats) {
    const std::string archive = fixture(std::string("t.") + format.extension);
    for (size_t i = 0; i < std::size(obstacles); ++i) {
      SCOPED_TRACE(std::string(format.extension) + ", obstacle " + std::to_string(i));
      const fs::path out = destination(std::string(format.extension) + "-" + std::to_string(i));
      fs::create_directories(out / "tree");
      obstacles[i](out / "tree/a.txt");
      const std::string before = folderListing(out);
      const SubprocessResult refused = tessaro({"extract", archive, "-C", out.string()});
      EXPECT_EQ(refused.exitStatus, 1) << refused.output;
      EXPECT_TRUE(test::contains(refused.output, "tree/a.txt"));
      EXPECT_TRUE(test::contains(refused.output, "--overwrite"));
      EXPECT_EQ(folderListing(out), before);
      // --keep keeps whatever is in the way, a folder at a file's place with all it holds.
      const SubprocessResult kept = tessaro({"extract", archive, "-C", out.string(), "--keep"});
      EXPECT_EQ(kept.exitStatus, 0) << kept.output;
      EXPECT_TRUE(test::contains(kept.output, "1 existing file kept"));
      EXPECT_EQ(readFile(out / "tree/sub/b.txt"), "bravo");
      fs::remove_all(out / "tree/sub");
      EXPECT_EQ(folderListing(out), before);
      ASSERT_EQ(tessaro({"extract", archive, "-C", out.string(), "--overwrite"}).exitStatus, 0);
      EXPECT_FALSE(fs::is_symlink(out / "tree/a.txt"));
      EXPECT_EQ(readFile(out / "tree/a.txt"), "alpha");
    }
    const fs::path atFolder = destination(std::string("folder-") + format.extension);
    fs::create_symlink(fixture("outside"), atFolder / "tree");
    const SubprocessResult blocked = tessaro({"extract", archive, "-C", atFolder.string(), "--overwrite"});
    EXPECT_EQ(blocked.exitStatus, 1) << blocked.output;
    EXPECT_TRUE(test::contains(blocked.output, "tree: a symbolic link"));
  }
  EXPECT_EQ(readFile(victim), "precious");
  for (const char* stream : kStreams) {
    SCOPED_TRACE(stream);
    const fs::path out = destination(std::string("stream-") + stream);
    fs::create_symlink(victim, out / "a.txt");
    EXPECT_EQ(tessaro({"extract", fixture(std::string("a.txt.") + stream), "-C", out.string()}).exitStatus,
              1);
    EXPECT_TRUE(fs::is_symlink(out / "a.txt"));
    ASSERT_EQ(tessaro({"extract", fixture(std::string("a.txt.") + stream), "-C", out.string(), "--overwrite"})
                  .exitStatus,
              0);
    EXPECT_EQ(readFile(out / "a.txt"), "alpha");
    EXPECT_EQ(readFile(victim), "precious");
  }
}

TEST_F(TessaroExtractTest, AnOutwardLinkFromAnEarlierExtractionIsNotWrittenThrough) {
  for (const Format& format : kFormats) {
    SCOPED_TRACE(format.extension);
    const fs::path out = destination(std::string("out-") + format.extension);
    ASSERT_EQ(
        tessaro({"extract", fixture(std::string("link1.") + format.extension), "-C", out.string(), "--here"})
            .exitStatus,
        0);
    // The tar family and cpio make the link as the archive has it; 7-Zip anchors an absolute
    // target in the destination, and RAR leaves such a link out.
    if (!fs::is_symlink(out / "esc")) {
      EXPECT_EQ(std::string(format.extension), "rar");
      continue;
    }
    const fs::path target = fs::read_symlink(out / "esc");
    EXPECT_TRUE(target == fs::path(fixture("outside")) || target == out / fixture("outside").substr(1))
        << target;
    for (const char* policy : {"--keep", "--overwrite"}) {
      const SubprocessResult second = tessaro({"extract", fixture(std::string("link2.") + format.extension),
                                               "-C", out.string(), "--here", policy});
      EXPECT_EQ(second.exitStatus, 1) << policy << "\n" << second.output;
      EXPECT_TRUE(test::contains(second.output, "esc:"));
    }
  }
}

TEST_F(TessaroExtractTest, AWrongPasswordCreatesAndChangesNothing) {
  for (const Format& format : kFormats) {
    if (!format.password) continue;
    SCOPED_TRACE(format.extension);
    const fs::path out = destination(std::string("enc-") + format.extension);
    home.dir().write(fs::relative(out / "tree/a.txt", home.dir().path()).string(), "mine");
    const std::string before = folderListing(out);
    const std::string archive = fixture(std::string("enc.") + format.extension);
    const SubprocessResult wrong =
        tessaro({"extract", archive, "-C", out.string(), "--password", "wrong", "--overwrite"});
    EXPECT_EQ(wrong.exitStatus, 1) << wrong.output;
    EXPECT_TRUE(test::contains(wrong.output, "password"));
    EXPECT_EQ(folderListing(out), before);
    EXPECT_EQ(readFile(out / "tree/a.txt"), "mine");
    ASSERT_EQ(tessaro({"extract", archive, "-C", out.string(), "--password", "pw", "--overwrite"}).exitStatus,
              0);
    EXPECT_EQ(readFile(out / "tree/a.txt"), "alpha");
  }
}

TEST_F(TessaroExtractTest, MoreDataThanMayBeWrittenIsStoppedAndRemoved) {
  std::vector<std::string> archives;
  for (const Format& format : kFormats) archives.push_back(std::string("bomb.") + format.extension);
  for (const char* stream : kStreams) archives.push_back(std::string("zeros.") + stream);
  for (const std::string& archive : archives) {
    SCOPED_TRACE(archive);
    const fs::path out = destination("bomb-" + archive);
    const SubprocessResult bomb =
        tessaro({"extract", fixture(archive), "-C", out.string(), "--max-size", "1M"});
    EXPECT_EQ(bomb.exitStatus, 1) << bomb.output;
    EXPECT_TRUE(test::contains(bomb.output, "1048576 bytes"));
    EXPECT_EQ(folderListing(out), "");
  }
  // Within the limit it comes out whole.
  const fs::path out = destination("bomb-fits");
  ASSERT_EQ(tessaro({"extract", fixture("zeros.bz2"), "-C", out.string(), "--max-size", "9M"}).exitStatus, 0);
  EXPECT_EQ(fs::file_size(out / "zeros"), 8388608u);
  EXPECT_EQ(tessaro({"extract", fixture("zeros.bz2"), "-C", out.string(), "--max-size", "9Q"}).exitStatus, 2);
}

TEST_F(TessaroExtractTest, SpecialFilesAndSetuidBitsComeOnlyWhenAskedFor) {
  const fs::path plain = destination("special-plain");
  const SubprocessResult skipped = tessaro({"extract", fixture("special.tar"), "-C", plain.string()});
  EXPECT_EQ(skipped.exitStatus, 1);
  EXPECT_TRUE(test::contains(skipped.output, "special/fifo: a device, FIFO or socket"));
  EXPECT_EQ(folderListing(plain), "special folder 0755\nspecial/tool file 1 0755\n");

  const fs::path asked = destination("special-asked");
  ASSERT_EQ(tessaro({"extract", fixture("special.tar"), "-C", asked.string(), "--special-files",
                     "--preserve-permissions"})
                .exitStatus,
            0);
  EXPECT_EQ(folderListing(asked), "special folder 0755\nspecial/fifo other 0644\nspecial/tool file 1 4755\n");
}

TEST_F(TessaroExtractTest, ReadOnlyFoldersComeOutAndGoWithTheirStagingFolder) {
  const fs::path whole = destination("ro-whole");
  ASSERT_EQ(tessaro({"extract", fixture("ro.tar"), "-C", whole.string()}).exitStatus, 0);
  EXPECT_EQ(folderListing(whole),
            "ro folder 0755\nro/locked folder 0555\nro/locked/f file 4 0644\n"
            "ro/r.bin file 262144 0644\n");
  fs::permissions(whole / "ro/locked", fs::perms::owner_all, fs::perm_options::add);
  // The staging folder the cut archive left half filled goes, read-only folder and all.
  const fs::path cut = destination("ro-cut");
  EXPECT_EQ(tessaro({"extract", fixture("cut-ro.tar"), "-C", cut.string()}).exitStatus, 1);
  EXPECT_EQ(folderListing(cut), "");
}

TEST_F(TessaroExtractTest, ATerminatedExtractionTakesItsStagingFolderAlong) {
  // 400 MB of zeros: bzip2 keeps it in a few hundred bytes, and unpacking it takes long enough to
  // be stopped half way.
  test::shell(home.dir().path(), "head -c 400000000 /dev/zero | bzip2 -c > z.bz2");
  const fs::path out = destination("terminated");
  Subprocess child;
  ASSERT_TRUE(
      child.start({TESSARO_BINARY, "extract", (home.dir().path() / "z.bz2").string(), "-C", out.string()}));
  const auto staged = [&out] {
    for (const auto& entry : fs::directory_iterator(out))
      if (entry.path().filename().string().starts_with(".tessaro-")) return true;
    return false;
  };
  for (int i = 0; i < 500 && !staged(); ++i) ::usleep(10000);
  ASSERT_TRUE(staged());
  ::kill(child.pid(), SIGTERM);
  const SubprocessResult result = child.wait();
  EXPECT_EQ(result.signal, SIGTERM) << result.output;
  EXPECT_EQ(folderListing(out), "");
}

TEST_F(TessaroExtractTest, ProgressIsShownOnATerminalAndNowhereElse) {
  // 200 MB of random bytes, stored: 7zz copies them long enough to report its share on the way.
  test::shell(
      home.dir().path(),
      "head -c 200000000 /dev/urandom > big.bin && 7zz a -bso0 -bsp0 -mx=0 big.7z big.bin && rm big.bin");
  const std::string archive = (home.dir().path() / "big.7z").string();
  const fs::path onTerminal = destination("terminal");
  const SubprocessResult shown =
      run({"/usr/bin/script", "-qfec",
           std::string(TESSARO_BINARY) + " extract " + archive + " -C " + onTerminal.string(), "/dev/null"});
  ASSERT_EQ(shown.exitStatus, 0) << shown.output;
  std::set<std::string> percentages;
  const std::regex bar(R"(\] (\d+)%)");
  for (auto it = std::sregex_iterator(shown.output.begin(), shown.output.end(), bar);
       it != std::sregex_iterator(); ++it)
    percentages.insert((*it)[1]);
  EXPECT_GE(percentages.size(), 2u) << shown.output;

  SubprocessOptions options;
  options.separateErrorOutput = true;
  const fs::path piped = destination("piped");
  const SubprocessResult quiet =
      run({TESSARO_BINARY, "extract", archive, "--here", "-C", piped.string()}, options);
  EXPECT_EQ(quiet.exitStatus, 0);
  EXPECT_EQ(quiet.errorOutput, "");
  EXPECT_EQ(fs::file_size(piped / "big.bin"), 200000000u);
}

// Each archive whole and cut short: test passes the whole one, and names the damage of the cut
// one, which extract refuses, leaving nothing.
TEST_F(TessaroExtractTest, CutArchivesFailTestAndExtractAndLeaveNothing) {
  std::vector<std::pair<std::string, std::string>> pairs = {{"x.xar", "cut.xar"}};
  for (const Format& format : kFormats)
    pairs.emplace_back(std::string("t.") + format.extension, std::string("cut.") + format.extension);
  for (const char* stream : kStreams)
    pairs.emplace_back(std::string("r.bin.") + stream, std::string("cut-r.bin.") + stream);
  for (const auto& [whole, cut] : pairs) {
    SCOPED_TRACE(cut);
    const SubprocessResult passed = tessaro({"test", fixture(whole)});
    EXPECT_EQ(passed.exitStatus, 0) << passed.output;
    EXPECT_TRUE(test::contains(passed.output, "all entries OK"));
    const SubprocessResult tested = tessaro({"test", fixture(cut)});
    EXPECT_EQ(tested.exitStatus, 1) << tested.output;
    EXPECT_TRUE(test::contains(tested.output, "testing " + fixture(cut) + " failed: "));
    EXPECT_TRUE(test::lacks(tested.output, "status"));
    const fs::path out = destination("cut-" + cut);
    const SubprocessResult extracted = tessaro({"extract", fixture(cut), "-C", out.string()});
    EXPECT_EQ(extracted.exitStatus, 1) << extracted.output;
    EXPECT_TRUE(test::contains(extracted.output, "failed"));
    EXPECT_EQ(folderListing(out), "");
  }
}

// Formats that neither test themselves nor read whole through libarchive are tested by unpacking
// into a private folder that goes afterwards.
TEST_F(TessaroExtractTest, TestUnpacksWhatNothingElseReadsWhole) {
  const fs::path samples = TESSARO_FIXTURES_DIR;
  for (const char* sample : {"mac/testfile.stuffit45_dlx.mac9.sit", "mac/testfile.stuffit45_dlx.mac9.sit.hqx",
                             "tnef/quick-winmail.dat"}) {
    SCOPED_TRACE(sample);
    const SubprocessResult tested = tessaro({"test", (samples / sample).string()});
    EXPECT_EQ(tested.exitStatus, 0) << tested.output;
    EXPECT_TRUE(test::contains(tested.output, "all entries OK"));
    const std::string whole = readFile(samples / sample);
    const fs::path cut = home.dir().write(std::string("cut-") + fs::path(sample).filename().string(),
                                          whole.substr(0, whole.size() * 2 / 3));
    EXPECT_EQ(tessaro({"test", cut.string()}).exitStatus, 1);
  }
}

}  // namespace
}  // namespace tessaro
