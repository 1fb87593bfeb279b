// The tessaro program as a terminal user runs it: exit statuses, messages and what it prints.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "defaults/UserDefaults.h"
#include "process/Subprocess.h"
#include "support/Golden.h"
#include "support/ListingJson.h"
#include "support/Processes.h"
#include "support/TempDir.h"
#include "support/TextChecks.h"

namespace tessaro {
namespace {

namespace fs = std::filesystem;

class TessaroCommandTest : public ::testing::Test {
 protected:
  // Run in its own session in the test's folder: no terminal to ask a password on.
  SubprocessResult tessaro(std::vector<std::string> args) {
    return test::runTessaro(home.dir().path(), std::move(args), true);
  }
  std::string at(const std::string& name) { return (home.dir().path() / name).string(); }
  test::IsolatedHome home;
};

// Every preference the preview reads is written to the domain it reads it from, with the key's
// type; what the preview could not read is refused, naming the keys there are.
TEST_F(TessaroCommandTest, DefaultsGoToTheDomainThePreviewReadsThem) {
  const std::vector<std::string> writes[] = {
      {"cutoffCount", "-int", "500"},
      {"showHiddenFiles", "-bool", "YES"},
      {"HLVSizeBase1024", "-bool", "true"},
      {"HLVExtractPresets", "-array-add", "<dict><key>name</key><string>Here</string></dict>"},
      {"host", "HLVTempFolderName", "scratch"},
      {"myOwnKey", "x", "--force"},
  };
  for (const auto& args : writes) {
    std::vector<std::string> command{"defaults", "write"};
    command.insert(command.end(), args.begin(), args.end());
    EXPECT_EQ(tessaro(command).exitStatus, 0) << args[0];
  }
  UserDefaults& defaults = UserDefaults::standard();
  defaults.synchronize();
  const auto config = defaults.persistentDomainForName(kConfigDefaultsDomain).value_or(PlistDictionary{});
  const auto host = defaults.persistentDomainForName(kHostDefaultsDomain).value_or(PlistDictionary{});
  EXPECT_EQ(config.at("cutoffCount"), PropertyList(int64_t{500}));
  EXPECT_EQ(config.at("showHiddenFiles"), PropertyList(true));
  EXPECT_EQ(host.at("HLVSizeBase1024"), PropertyList(true));
  EXPECT_EQ(host.at("HLVTempFolderName"), PropertyList("scratch"));
  ASSERT_TRUE(host.at("HLVExtractPresets").is<PlistArray>());
  EXPECT_EQ(tessaro({"defaults", "read", "myOwnKey"}).output, "x\n");
  EXPECT_EQ(tessaro({"defaults", "read", "cutoffCount"}).output, "500\n");
  // A value without a type takes the key's.
  EXPECT_EQ(tessaro({"defaults", "write", "cutoffCount", "700"}).exitStatus, 0);
  EXPECT_EQ(tessaro({"defaults", "read", "cutoffCount"}).output, "700\n");
  EXPECT_EQ(tessaro({"defaults", "delete", "cutoffCount"}).exitStatus, 0);
  EXPECT_EQ(tessaro({"defaults", "read", "cutoffCount"}).exitStatus, 1);
  EXPECT_EQ(tessaro({"defaults", "read", "cutofCount"}).exitStatus, 1);

  const struct {
    std::vector<std::string> args;
    std::string complaint;
  } refused[] = {
      {{"write", "showHiddenFiles", "-int", "3"}, "showHiddenFiles takes a boolean"},
      {{"write", "cutoffCount", "-bool", "YES"}, "cutoffCount takes an integer"},
      {{"write", "cutoffCount", "-int", "many"}, "not an integer: many"},
      {{"write", "cA", "-bool", "perhaps"}, "not a boolean"},
      {{"write", "cA", "-array-add", "x"}, "cA takes a boolean"},
      {{"write", "HLVPasswords", "x"}, "belongs to the password store"},
      {{"write", "cutofCount", "-int", "5"}, "unknown key cutofCount"},
      {{"write", "cutofCount", "5"}, "cutoffCount (-int)"},
      {{"erase", "cA"}, "unknown action 'erase'"},
  };
  for (const auto& c : refused) {
    std::vector<std::string> command{"defaults"};
    command.insert(command.end(), c.args.begin(), c.args.end());
    const SubprocessResult outcome = tessaro(command);
    EXPECT_EQ(outcome.exitStatus, 2) << c.args[1];
    EXPECT_TRUE(test::contains(outcome.output, c.complaint));
    EXPECT_EQ(outcome.output.find('\n'), outcome.output.size() - 1) << outcome.output;
  }
}

// The listing of every format the tree was packed in, the bytes of a name that is not UTF-8, and
// the terminal's text listing.
TEST_F(TessaroCommandTest, ListJsonGivesEveryFileWithItsSize) {
  home.dir().write("tree/a.txt", "alpha");
  home.dir().write("tree/sub/b c.txt", std::string(3000, 'b'));
  home.dir().write("tree/sub/\xc3\xbcn\xc3\xaf.txt", "unicode");
  test::shell(home.dir().path(),
              "zip -qr t.zip tree && 7zz a -bd t.7z tree >/dev/null && tar czf t.tar.gz tree && "
              "rar a -inul t.rar tree");
  const std::map<std::string, int64_t> expected{
      {"tree/a.txt", 5}, {"tree/sub/b c.txt", 3000}, {"tree/sub/\xc3\xbcn\xc3\xaf.txt", 7}};
  for (const std::string name : {"t.zip", "t.7z", "t.tar.gz", "t.rar"}) {
    SCOPED_TRACE(name);
    const SubprocessResult listed = tessaro({"list", "--json", name});
    ASSERT_EQ(listed.exitStatus, 0) << listed.output;
    EXPECT_EQ(test::filesInJson(listed.output), expected);
  }
  // A name that is not UTF-8 keeps its bytes beside the name shown.
  test::shell(home.dir().path(),
              "mkdir raw && printf x > \"$(printf 'raw/caf\\351.txt')\" && zip -qr raw.zip raw");
  const SubprocessResult raw = tessaro({"list", "--json", "raw.zip"});
  ASSERT_EQ(raw.exitStatus, 0) << raw.output;
  const auto entries = nlohmann::json::parse(raw.output);
  EXPECT_EQ(
      std::count_if(entries.begin(), entries.end(),
                    [](const auto& entry) { return entry.value("name_bytes", "").ends_with("e92e747874"); }),
      1)
      << raw.output;
  const SubprocessResult listed = tessaro({"list", "t.tar.gz"});
  EXPECT_EQ(listed.exitStatus, 0);
  EXPECT_TRUE(test::contains(listed.output, "-rw-r--r--    5 bytes  "));
  EXPECT_TRUE(test::contains(listed.output, "  tree/sub/b c.txt\n"));
  EXPECT_TRUE(test::contains(listed.output, "  tree/sub/\n"));
}

TEST_F(TessaroCommandTest, TreeFitsTheWidthGiven) {
  const std::string longName(100, 'n');
  home.dir().write("tree/sub/" + longName + ".txt", "x");
  home.dir().write("tree/top.txt", "y");
  test::shell(home.dir().path(),
              "tar cf t.tar --no-recursion tree tree/sub tree/sub/" + longName + ".txt tree/top.txt");
  const SubprocessResult wide = tessaro({"list", "--tree", "--width", "120", "t.tar"});
  ASSERT_EQ(wide.exitStatus, 0) << wide.output;
  test::expectGolden("tree-width-120.txt", wide.output);
  const SubprocessResult narrow = tessaro({"list", "t.tar", "--tree", "--width=40"});
  ASSERT_EQ(narrow.exitStatus, 0) << narrow.output;
  // 12 columns of drawing, then the name cut to 28 with its ellipsis: 40 in all, no colours.
  EXPECT_TRUE(test::contains(narrow.output, "    │   └── " + std::string(27, 'n') + "…\n"));
  EXPECT_TRUE(test::lacks(narrow.output, "\033["));
}

// The preview-pane script as each terminal file manager of docs/integration.md calls it: the tree
// fits the pane's width and height, and a file that is no archive gives nothing and status 1.
TEST_F(TessaroCommandTest, ThePreviewPaneFitsEachFileManagersPane) {
  for (int i = 0; i < 30; ++i)
    home.dir().write("p/entry-with-a-rather-long-name-" + std::to_string(i) + ".txt", "x");
  test::shell(home.dir().path(), "tar cf p.tar p && echo text > notes.txt");
  const std::string script = std::string(TESSARO_SOURCE_ROOT) + "/host/integration/tessaro-preview-pane";
  struct Caller {
    const char* manager;
    std::vector<std::string> arguments;  // after the file
    std::vector<std::pair<std::string, std::string>> environment;
    size_t width, height;
  };
  const Caller callers[] = {
      {"lf (file, width, height, x, y)", {"36", "12", "0", "0"}, {}, 36, 12},
      {"ranger scope.sh (path, width, height)", {"50", "20"}, {}, 50, 20},
      {"nnn preview-tui (path, columns, lines)", {"28", "8"}, {}, 28, 8},
      {"yazi piper (path, w, h)", {"60", "40"}, {}, 60, 40},
      {"fzf (path; FZF_PREVIEW_COLUMNS/LINES)",
       {},
       {{"FZF_PREVIEW_COLUMNS", "44"}, {"FZF_PREVIEW_LINES", "10"}},
       44,
       10},
  };
  const std::string binFolder = fs::path(TESSARO_BINARY).parent_path().string();
  for (const Caller& caller : callers) {
    SCOPED_TRACE(caller.manager);
    for (const char* file : {"p.tar", "notes.txt"}) {
      std::vector<std::string> argv{script, at(file)};
      argv.insert(argv.end(), caller.arguments.begin(), caller.arguments.end());
      SubprocessOptions options;
      options.environment = caller.environment;
      options.environment.emplace_back("PATH", binFolder + ":" + std::getenv("PATH"));
      options.environment.emplace_back("HOME", home.dir().str());
      const SubprocessResult shown = run(argv, options);
      if (std::string(file) == "notes.txt") {
        EXPECT_EQ(shown.exitStatus, 1);
        EXPECT_EQ(shown.output, "");
        continue;
      }
      ASSERT_EQ(shown.exitStatus, 0) << shown.output;
      size_t lines = 0;
      std::istringstream text(shown.output);
      for (std::string line; std::getline(text, line); ++lines) {
        // Display width: every code point but UTF-8's continuation bytes.
        const size_t columns =
            std::count_if(line.begin(), line.end(), [](char c) { return (c & 0xC0) != 0x80; });
        EXPECT_LE(columns, caller.width) << line;
      }
      // The archive's line, its folder's and thirty entries, cut to the pane.
      EXPECT_EQ(lines, std::min<size_t>(caller.height, 32));
    }
  }
}

TEST_F(TessaroCommandTest, EachFailureIsOneLineWithItsExitStatus) {
  const auto dir = home.dir().path();
  home.dir().write("t/a.txt", "alpha");
  home.dir().write("junk.zip", std::string(3000, 'j'));
  home.dir().write("junk.txt", "not an archive");
  test::shell(dir,
              "head -c 3000000 /dev/urandom > t/big.bin && (cd t && zip -q -P right ../pw.zip a.txt) && "
              "mkdir vol && 7zz a -bd -v1m vol/s.7z t/big.bin >/dev/null && rm vol/s.7z.002 && "
              "zip -qr z.zip t && cp z.zip ./-dash.zip");
  struct Case {
    std::vector<std::string> args;
    std::string line;
    int status;
  };
  const Case cases[] = {
      {{"list", "--x", "z.zip"}, "tessaro: unknown option --x for list\n", 2},
      {{"extract", "-Q"}, "tessaro: unknown option -Q for extract\n", 2},
      {{"extract", "z.zip", "-C", "nowhere"}, "tessaro: nowhere: no such folder\n", 2},
      {{"list", "junk.zip"},
       "tessaro: junk.zip is not a readable zip archive: it is damaged or of another kind\n",
       2},
      {{"extract", "pw.zip", "--here", "--password", "wrong"},
       "tessaro: extracting " + at("pw.zip") + " failed: the password is wrong; nothing was extracted\n",
       1},
      {{"test", "pw.zip"},
       "tessaro: testing " + at("pw.zip") +
           " failed: the archive needs a password: give it with --password\n",
       1},
      {{"list", "vol/s.7z.001"}, "tessaro: listing vol/s.7z.001 failed: the volume s.7z.002 is missing\n", 1},
      {{"test", "vol/s.7z.001"},
       "tessaro: testing " + at("vol/s.7z.001") + " failed: the volume s.7z.002 is missing\n",
       1},
      {{"list", "-dash.zip"}, "tessaro: unknown option -dash.zip for list\n", 2},
      {{"list", at("junk.txt")},
       "tessaro: no handler for " + at("junk.txt") + ": it is not an archive tessaro reads\n",
       2},
      {{"list", "missing.zip"}, "tessaro: missing.zip: No such file or directory\n", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    const SubprocessResult outcome = tessaro(c.args);
    EXPECT_EQ(outcome.output, c.line);
    EXPECT_EQ(outcome.exitStatus, c.status);
  }
  // "--" ends the options: a name that starts with a dash is an archive.
  const SubprocessResult dashed = tessaro({"list", "--", "-dash.zip"});
  EXPECT_EQ(dashed.exitStatus, 0) << dashed.output;
  EXPECT_TRUE(test::contains(dashed.output, "t/a.txt"));
  EXPECT_EQ(tessaro({"test", "pw.zip", "-p", "right"}).exitStatus, 0);
  // Nothing a failure made stays behind.
  EXPECT_FALSE(fs::exists(dir / "pw"));
}

TEST_F(TessaroCommandTest, VersionAndHelpAnswerForTheProgramAndEachCommand) {
  const SubprocessResult version = tessaro({"--version"});
  EXPECT_EQ(version.exitStatus, 0);
  EXPECT_TRUE(std::regex_match(version.output, std::regex("tessaro [0-9]+\\.[0-9]+\\.[0-9]+\n")))
      << version.output;
  EXPECT_EQ(tessaro({"extract", "--version"}).output, version.output);
  for (const char* command : {"list", "extract", "test", "create", "add", "delete", "rename", "comment",
                              "repair", "join", "view"}) {
    const SubprocessResult help = tessaro({command, "--help"});
    EXPECT_EQ(help.exitStatus, 0) << command;
    EXPECT_TRUE(help.output.starts_with(std::string("usage: tessaro ") + command)) << help.output;
  }
  const SubprocessResult unknown = tessaro({"frobnicate"});
  EXPECT_EQ(unknown.exitStatus, 2);
  EXPECT_TRUE(unknown.output.starts_with("tessaro: unknown command 'frobnicate'\n")) << unknown.output;
  const SubprocessResult overview = tessaro({"--help"});
  EXPECT_TRUE(test::contains(overview.output, "  extract    unpack"));
}

}  // namespace
}  // namespace tessaro
