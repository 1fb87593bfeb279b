// The tessaro program as a terminal user runs it: exit statuses, messages and what it prints.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "defaults/UserDefaults.h"
#include "process/Subprocess.h"
#include "support/TempDir.h"

namespace tessaro {
namespace {

struct Outcome {
  int status;
  std::string output;
};

class TessaroCommandTest : public ::testing::Test {
 protected:
  Outcome tessaro(std::vector<std::string> args) {
    args.insert(args.begin(), TESSARO_BINARY);
    SubprocessResult result = run(args);
    return {result.exitStatus, result.output};
  }
  test::IsolatedHome home;
};

TEST_F(TessaroCommandTest, ListPrintsEntriesAndRefusesWhatNoHandlerTakes) {
  const auto dir = home.dir().path();
  home.dir().write("tree/docs/a b.txt", "hello");
  home.dir().write("tree/x", "");
  ASSERT_EQ(run({"/bin/sh", "-c", "cd '" + dir.string() + "' && tar czf t.tgz tree"}).exitStatus, 0);

  const Outcome listed = tessaro({"list", (dir / "t.tgz").string()});
  EXPECT_EQ(listed.status, 0);
  EXPECT_NE(listed.output.find("-rw-r--r--    5 bytes  "), std::string::npos) << listed.output;
  EXPECT_NE(listed.output.find("  tree/docs/a b.txt\n"), std::string::npos) << listed.output;
  EXPECT_NE(listed.output.find("  tree/docs/\n"), std::string::npos);

  home.dir().write("plain.txt", "not an archive");
  const Outcome refused = tessaro({"list", (dir / "plain.txt").string()});
  EXPECT_EQ(refused.status, 2);
  EXPECT_EQ(refused.output, "tessaro: no handler for " + (dir / "plain.txt").string() + ": it is not an archive tessaro reads\n");
  EXPECT_EQ(tessaro({"list", (dir / "missing.zip").string()}).status, 2);
  EXPECT_EQ(tessaro({"frobnicate"}).status, 2);
  EXPECT_EQ(tessaro({"list", "--help"}).status, 0);
}

TEST_F(TessaroCommandTest, DefaultsGoToTheDomainThePreviewReadsThem) {
  EXPECT_EQ(tessaro({"defaults", "write", "cutoffCount", "-int", "500"}).status, 0);
  EXPECT_EQ(tessaro({"defaults", "write", "showHiddenFiles", "-bool", "YES"}).status, 0);
  EXPECT_EQ(tessaro({"defaults", "write", "HLVSizeBase1024", "-bool", "true"}).status, 0);
  EXPECT_EQ(tessaro({"defaults", "write", "HLVExtractPresets", "-array-add",
                     "<dict><key>name</key><string>Here</string></dict>"}).status, 0);
  EXPECT_EQ(tessaro({"defaults", "write", "host", "HLVTempFolderName", "scratch"}).status, 0);

  UserDefaults& defaults = UserDefaults::standard();
  defaults.synchronize();
  const auto config = defaults.persistentDomainForName(kConfigDefaultsDomain).value_or(PlistDictionary{});
  const auto host = defaults.persistentDomainForName(kHostDefaultsDomain).value_or(PlistDictionary{});
  EXPECT_EQ(config.at("cutoffCount"), PropertyList(int64_t{500}));
  EXPECT_EQ(config.at("showHiddenFiles"), PropertyList(true));
  EXPECT_EQ(host.at("HLVSizeBase1024"), PropertyList(true));
  EXPECT_EQ(host.at("HLVTempFolderName"), PropertyList("scratch"));
  ASSERT_TRUE(host.at("HLVExtractPresets").is<PlistArray>());

  EXPECT_EQ(tessaro({"defaults", "read", "cutoffCount"}).output, "500\n");
  EXPECT_EQ(tessaro({"defaults", "delete", "cutoffCount"}).status, 0);
  EXPECT_EQ(tessaro({"defaults", "read", "cutoffCount"}).status, 1);
  EXPECT_EQ(tessaro({"defaults", "write", "cutoffCount", "-int", "many"}).status, 2);
  EXPECT_EQ(tessaro({"defaults", "write", "cA", "-bool", "perhaps"}).status, 2);
  EXPECT_EQ(tessaro({"defaults", "erase", "cA"}).status, 2);
}

}  // namespace
}  // namespace tessaro
