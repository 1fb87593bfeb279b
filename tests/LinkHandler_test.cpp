// The tssro link handler (tessaro view) as a web page could drive it: links to archives no
// preview showed, relative paths, settings and preset links without the page's token, entries
// that would run something when opened, and preset links that extract, with TESSARO_OPEN pointed
// at a script that records what it is asked to open. The previews are made by the built qlhost.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "PathString.h"
#include "PreviewRecords.h"
#include "defaults/UserDefaults.h"
#include "process/Subprocess.h"
#include "support/Files.h"
#include "support/Processes.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace tessaro {
namespace {

namespace fs = std::filesystem;
using test::readFile;

class LinkHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env.set("XDG_STATE_HOME", (dir() / "state").string()).set("XDG_CACHE_HOME", (dir() / "cache").string());
    script("recorder.sh", "printf '%s\\n' \"$1\" >> \"$(dirname \"$0\")/opened\"\n");
    // A document, a script and a program with their exec bits, a launcher, links out of the
    // archive, one inside it, and a folder.
    test::shell(dir(),
                "mkdir -p t/sub && echo doc > t/doc.txt && printf '#!/bin/sh\\necho run\\n' > t/notes.txt && "
                "cp /bin/true t/tool && chmod 755 t/notes.txt t/tool && "
                "printf '[Desktop Entry]\\nType=Application\\nExec=sh\\n' > t/app.desktop && "
                "printf 'MZ\\x90\\x00' > t/setup.dat && echo x > t/sub/x.txt && "
                "ln -s /etc/passwd t/passwd && ln -s ../../../.. t/up && ln -s doc.txt t/inner && "
                "tar cf a.tar t");
  }

  // A shell script `name` in the test's folder running `body`.
  fs::path script(const std::string& name, const std::string& body) {
    const fs::path path = home.dir().write(name, "#!/bin/sh\n" + body);
    fs::permissions(path, fs::perms::owner_all);
    return path;
  }
  SubprocessResult tessaro(const std::vector<std::string>& args) {
    SubprocessOptions options;
    options.environment = {{"TESSARO_OPEN", (dir() / "recorder.sh").string()}};
    return test::runTessaro(dir(), args, false, options);
  }
  int view(const std::string& link) { return tessaro({"view", link}).exitStatus; }
  // The page qlhost makes of `archive`, which also records it as previewed.
  std::string preview(const std::string& archive) {
    const SubprocessResult result = run({TESSARO_QLHOST, archive});
    EXPECT_EQ(result.exitStatus, 0) << result.output;
    return result.output;
  }
  std::string entryLink(const std::string& archive, const std::string& entry) {
    return "tssro://view/" + percentEscaped(archive) + ";" + percentEscaped(entry);
  }
  std::string opened() { return readFile(dir() / "opened"); }
  std::string archive() const { return (dir() / "a.tar").string(); }
  const fs::path& dir() const { return home.dir().path(); }

  test::IsolatedHome home;
  test::ScopedEnv env;
};

// The page's values that its script puts into the links it builds.
std::string bodyValue(const std::string& page, const std::string& name) {
  std::smatch match;
  if (!std::regex_search(page, match, std::regex("<body[^>]* data-" + name + "='([^']*)'"))) return {};
  return match[1];
}

TEST_F(LinkHandlerTest, OnlyArchivesThisUsersPreviewsShowedAreOpened) {
  const std::string link = entryLink(archive(), "t/doc.txt");
  EXPECT_EQ(view(link), 2);
  preview(archive());
  // Relative paths are never resolved against the handler's folder.
  for (const std::string& refused :
       {std::string("tssro://view/a.tar;t/doc.txt"), entryLink((dir() / "t/../a.tar").string(), "t/doc.txt"),
        entryLink(archive(), "t/../../x"), std::string("tssro://view/%zz;a"),
        std::string("https://example.com")})
    EXPECT_EQ(view(refused), 2) << refused;
  EXPECT_EQ(opened(), "");
  ASSERT_EQ(view(link), 0);
  EXPECT_EQ(readFile(opened().substr(0, opened().size() - 1)), "doc\n");

  // The same bytes under another name, and the previewed archive once it changed, are other archives.
  fs::copy_file(archive(), dir() / "b.tar");
  EXPECT_EQ(view(entryLink((dir() / "b.tar").string(), "t/doc.txt")), 2);
  test::shell(dir(), "tar rf a.tar t/doc.txt");
  EXPECT_EQ(view(link), 2);
  preview(archive());
  EXPECT_EQ(view(link), 0);

  // The record and the key are private.
  for (const fs::path& file : {dir() / "state/tessaro/previewed-archives",
                               fs::path(std::getenv("XDG_CONFIG_HOME")) / "tessaro/page-key"}) {
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0) << file;
    EXPECT_EQ(st.st_mode & 0777, 0600u) << file;
  }
}

TEST_F(LinkHandlerTest, EntriesThatWouldRunSomethingAreShownInTheirFolderOrNotAtAll) {
  preview(archive());
  struct Case {
    const char* entry;
    int status;
    const char* opened;  // what the opener gets, below the view folder; "" for nothing
  } cases[] = {
      {"t/notes.txt", 0, "/t"},   {"t/tool", 0, "/t"},
      {"t/app.desktop", 0, "/t"}, {"t/setup.dat", 0, "/t"},
      {"t/passwd", 1, ""},        {"t/up", 1, ""},
      {"t/inner", 1, ""},  // its target was not extracted
      {"t/sub", 0, "/t/sub"},     {"t/doc.txt", 0, "/t/doc.txt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.entry);
    fs::remove(dir() / "opened");
    const SubprocessResult result = tessaro({"view", entryLink(archive(), c.entry)});
    EXPECT_EQ(result.exitStatus, c.status) << result.output;
    const std::string got = opened();
    if (*c.opened == '\0') {
      EXPECT_EQ(got, "");
      continue;
    }
    EXPECT_TRUE(got.starts_with((dir() / "cache/tessaro/view").string())) << got;
    EXPECT_TRUE(got.ends_with(std::string(c.opened) + "\n")) << got;
  }
  // Nothing in the views can be run.
  for (const auto& entry : fs::recursive_directory_iterator(dir() / "cache/tessaro/view")) {
    if (entry.symlink_status().type() != fs::file_type::regular) continue;
    EXPECT_EQ(entry.symlink_status().permissions() &
                  (fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec),
              fs::perms::none)
        << entry.path();
  }
}

TEST_F(LinkHandlerTest, SettingsAndPresetLinksChangeNothingWithoutThePagesToken) {
  const std::string page = preview(archive());
  const std::string escaped = bodyValue(page, "archive");
  const std::string time = bodyValue(page, "time");
  const std::string token = bodyValue(page, "token");
  ASSERT_EQ(token.size(), 64u);
  ASSERT_FALSE(time.empty());
  std::string wrong = token;
  wrong[0] = wrong[0] == '0' ? '1' : '0';

  const std::string settings = "tssro://config?keepHeaderFixed=1&cS=0";
  const std::string refused[] = {
      settings,
      settings + "&archive=" + escaped + "&time=" + time + "&token=" + wrong,
      settings + "&archive=" + escaped + "&time=" + time + "1&token=" + token,
      settings + "&archive=" + percentEscaped((dir() / "b.tar").string()) + "&time=" + time +
          "&token=" + token,
      settings + "&archive=" + escaped + "&time=" + time + "&token=" + token.substr(0, 63),
  };
  for (const std::string& link : refused) EXPECT_EQ(view(link), 2) << link;
  UserDefaults::standard().synchronize();
  EXPECT_FALSE(UserDefaults::standard().persistentDomainForName(kConfigDefaultsDomain).has_value());

  ASSERT_EQ(view(settings + "&archive=" + escaped + "&time=" + time + "&token=" + token), 0);
  UserDefaults::standard().synchronize();
  const auto config =
      UserDefaults::standard().persistentDomainForName(kConfigDefaultsDomain).value_or(PlistDictionary{});
  EXPECT_EQ(config.at("keepHeaderFixed"), PropertyList(int64_t{1}));
  EXPECT_EQ(config.count("token"), 0u);

  const SubprocessResult preset =
      tessaro({"view", "tssro://extract?preset=x&archive=" + escaped + "&time=" + time + "&token=" + wrong});
  EXPECT_EQ(preset.exitStatus, 2);
  EXPECT_NE(preset.output.find("token"), std::string::npos) << preset.output;
}

// A preset link signed as the page signs it, for any archive path.
std::string presetLink(const std::string& preset, const std::string& archive,
                       const std::string& token = "page") {
  const std::string time = "1700000000";
  const std::string signature = token == "page" ? pageToken(archive, time).value_or("") : token;
  return "tssro://extract?preset=" + percentEscaped(preset) + "&archive=" + percentEscaped(archive) +
         "&time=" + time + (signature.empty() ? "" : "&token=" + signature);
}

TEST_F(LinkHandlerTest, PresetLinksExtractWithThePresetAndOpenWhatTheyMade) {
  env.set("TESSARO_NOTIFY",
          script("notify.sh", "shift 3\nprintf '%s\\n' \"$1\" >> \"$(dirname \"$0\")/notified\"\n").string());
  test::shell(dir(),
              "mkdir -p l && echo 1 > l/one && echo 2 > l/two && tar cf loose.tar -C l one two && "
              "cp loose.tar never.tar");
  const std::string loose = (dir() / "loose.tar").string();
  ASSERT_TRUE(UserDefaults::standard().setObject(
      "HLVExtractPresets",
      PlistArray{PlistDictionary{{"name", "Beside it"}, {"destination", ""}, {"createFolder", true}},
                 PlistDictionary{
                     {"name", "Out"}, {"destination", (dir() / "out").string()}, {"createFolder", false}}}));
  preview(loose);

  struct Refused {
    std::string link;
    std::string said;
  };
  const Refused refused[] = {
      {presetLink("Out", loose, ""), "token"},
      {presetLink("Out", loose, std::string(64, '0')), "token"},
      {presetLink("Elsewhere", loose), "no extraction preset named Elsewhere"},
      {presetLink("Out", (dir() / "never.tar").string()), "no preview of yours"},
      {presetLink("Out", "loose.tar"), "relative path"},
  };
  for (const Refused& link : refused) {
    const SubprocessResult result = tessaro({"view", link.link});
    EXPECT_EQ(result.exitStatus, 2) << link.link;
    EXPECT_NE(result.output.find(link.said), std::string::npos) << result.output;
  }
  EXPECT_FALSE(fs::exists(dir() / "out"));
  EXPECT_FALSE(fs::exists(dir() / "loose"));
  EXPECT_EQ(opened(), "");

  // Loose items get a folder of their own beside the archive, or go straight into the preset's folder.
  ASSERT_EQ(view(presetLink("Beside it", loose)), 0);
  EXPECT_EQ(readFile(dir() / "loose/two"), "2\n");
  ASSERT_EQ(view(presetLink("Out", loose)), 0);
  EXPECT_EQ(readFile(dir() / "out/one"), "1\n");
  EXPECT_EQ(opened(), (dir() / "loose").string() + "\n" + (dir() / "out").string() + "\n");
  EXPECT_EQ(readFile(dir() / "notified"), "Extracted loose.tar\nExtracted loose.tar\n");
  // Files already there stop the preset, which has no terminal to ask on.
  EXPECT_EQ(view(presetLink("Out", loose)), 1);
  EXPECT_EQ(readFile(dir() / "notified").substr(40), "Extracting loose.tar failed\n");
}

TEST_F(LinkHandlerTest, TheViewCacheKeepsToItsQuota) {
  // 3 MB of zeros packs into a few kilobytes: the listing tells its size before it is written.
  test::shell(dir(),
              "mkdir -p big && head -c 3000000 /dev/zero > big/zeros && head -c 600000 /dev/zero > big/a && "
              "head -c 600000 /dev/zero > big/b && tar cJf big.tar.xz big");
  ASSERT_EQ(tessaro({"defaults", "write", "host", "HLVViewCacheLimit", "-int", "1000000"}).exitStatus, 0);
  const std::string bomb = (dir() / "big.tar.xz").string();
  preview(bomb);
  EXPECT_EQ(view(entryLink(bomb, "big/zeros")), 1);
  EXPECT_EQ(opened(), "");
  ASSERT_EQ(view(entryLink(bomb, "big/a")), 0);
  // The older view goes to make room for the next.
  ASSERT_EQ(view(entryLink(bomb, "big/b")), 0);
  int views = 0;
  for (const auto& entry : fs::directory_iterator(dir() / "cache/tessaro/view"))
    views += entry.is_directory();
  EXPECT_EQ(views, 1);
}

// The record keeps the newest previews only.
TEST_F(LinkHandlerTest, TheRecordDropsTheOldestPreviews) {
  for (size_t i = 0; i <= kMaxPreviewRecords; ++i) {
    const fs::path name = dir() / "many" / std::to_string(i);
    if (i == 0) fs::create_directories(name.parent_path());
    fs::create_symlink(archive(), name);
    ASSERT_TRUE(recordPreview(name.string()));
  }
  EXPECT_EQ(previewedState((dir() / "many/0").string()), PreviewedState::unknown);
  EXPECT_EQ(previewedState((dir() / "many/1").string()), PreviewedState::previewed);
  EXPECT_EQ(previewedState((dir() / "many" / std::to_string(kMaxPreviewRecords)).string()),
            PreviewedState::previewed);
}

}  // namespace
}  // namespace tessaro
