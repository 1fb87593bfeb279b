#include "helpers.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <fstream>
#include <utility>
#include <vector>

#include "AZipItem.h"
#include "HostApplication.h"
#include "ProcessGlobals.h"
#include "alert/AlertPanel.h"
#include "bundle/Bundle.h"
#include "defaults/UserDefaults.h"
#include "log/SystemLog.h"
#include "support/TempDir.h"

namespace tessaro {
namespace {

namespace fs = std::filesystem;
using test::IsolatedHome;
using test::TempDir;

// Collects what HLVLog writes for the life of the object.
class LogCapture {
 public:
  LogCapture() {
    setLogSinkForTesting(
        [this](int priority, std::string_view message) { lines.emplace_back(priority, message); });
  }
  ~LogCapture() { setLogSinkForTesting({}); }
  bool contains(std::string_view text) const {
    return std::any_of(lines.begin(), lines.end(), [&](const auto& line) { return line.second == text; });
  }
  std::vector<std::pair<int, std::string>> lines;
};

// Every file, folder ("name/") and link ("name@") below `root`, relative and sorted, one per line.
std::string listing(const fs::path& root) {
  std::vector<std::string> names;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    std::string name = fs::relative(entry.path(), root).string();
    if (entry.is_symlink())
      name += "@";
    else if (entry.is_directory())
      name += "/";
    names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  std::string text;
  for (const auto& name : names) text += name + "\n";
  return text;
}

using test::readFile;

TEST(HelpersTest, FormatSizeUsesSinglePrecisionInBothBases) {
  IsolatedHome home;
  // KB needs strictly more than one unit; 99,999,999 rounds up to 100,000,000 as a float.
  const std::pair<int64_t, const char*> decimal[] = {{1000, "1000 B"},
                                                     {1001, "1 KB"},
                                                     {1'000'000, "1.0 MB"},
                                                     {99'999'999, "100 MB"},
                                                     {999'999'999, "1.00 GB"},
                                                     {10'000'000'000, "10.0 GB"},
                                                     {-5, "-5 B"}};
  for (const auto& [size, text] : decimal) EXPECT_EQ(formatSize(size), text) << size;

  UserDefaults::standard().setObject("HLVSizeBase1024", true);
  const std::pair<int64_t, const char*> binary[] = {
      {1024, "1024 B"}, {1025, "1 KB"}, {1536 << 10, "1.5 MB"}, {int64_t{1} << 30, "1.00 GB"}};
  for (const auto& [size, text] : binary) EXPECT_EQ(formatSize(size), text) << size;
  EXPECT_NE(formatSizeWithBytes(5'000'000, true).find("(5,000,000 bytes)"), std::string::npos);
  EXPECT_EQ(formatSizeWithBytes(5'000'000, false).find("bytes"), std::string::npos);
}

TEST(HelpersTest, PermissionsBothWays) {
  for (uint32_t bits = 0; bits < 512; ++bits)
    EXPECT_EQ(parsePosixPermissionsString("-" + posixPermissionsString(bits)), static_cast<int32_t>(bits));

  EXPECT_EQ(parsePosixPermissionsString("-rwsr-xr-x"), 0755);
  EXPECT_EQ(parsePosixPermissionsString("drwxrwxrwt"), 0777);
  // Short or unmatched triples add nothing and do not shift the others.
  EXPECT_EQ(parsePosixPermissionsString(""), 0);
  EXPECT_EQ(parsePosixPermissionsString("-rwxr-x"), 075);
  EXPECT_EQ(parsePosixPermissionsString("-rwxq--r--"), 074);
}

TEST(HelpersTest, FindFreeNameNumbersBeforeTheExtension) {
  IsolatedHome home;
  TempDir dir;
  dir.write("a.txt", "");
  dir.write("a 1.txt", "");
  dir.write(".profile", "");
  fs::create_symlink("nowhere", dir.path() / "dangling");

  EXPECT_EQ(findFreeName(dir.str(), "a.txt"), dir.str() + "/a 2.txt");
  EXPECT_EQ(findFreeName(dir.str(), "c.tar.gz"), dir.str() + "/c.tar.gz");
  EXPECT_EQ(findFreeName(dir.str(), ".profile"), dir.str() + "/.profile 1");
  EXPECT_EQ(findFreeName(dir.str(), "dangling"), dir.str() + "/dangling 1");
  EXPECT_EQ(findFreeName("~", "x.txt"), home.dir().str() + "/x.txt");
  EXPECT_EQ(findFreeName("", "x"), std::nullopt);
}

TEST(HelpersTest, QuotingAndEscaping) {
  EXPECT_EQ(sanitizeFilename("a/b:c"), "a_b_c");
  EXPECT_EQ(sanitizeFilename("<&\">é"), "____é");
  EXPECT_EQ(convertToXMLEntities("&lt; <a href=\"x\">'"), "&amp;lt; &lt;a href=&quot;x&quot;&gt;&apos;");
  EXPECT_EQ(escapeQuotes(R"(a\b $HOME "q")"), R"(a\\b \$HOME \"q\")");

  EXPECT_EQ(endSlashesDoubledFromString(R"(a\b\\)"), R"(a\b\\\\)");

  EXPECT_EQ(quotedFromString(R"(say "hi" now)"), R"("say \"hi\" now")");
  EXPECT_EQ(quotedFromString(R"(no"space)"), R"(no\"space)");
  EXPECT_EQ(quotedFromString("dir with space\\"), "\"dir with space\\\\\"");
  EXPECT_EQ(arrayToString({"a", "b c"}, ", ", true), R"("a", "b c")");
  EXPECT_TRUE(stringArrayContainsString({"/a/b/", "/x"}, "/a/b/c"));
  EXPECT_FALSE(stringArrayContainsString({"/a/b/", "/x"}, "/x/y"));
}

TEST(HelpersTest, ReplaceWithLocalizedStringReplacesEveryPlaceholder) {
  TempDir dir;
  dir.write("en.lproj/Localizable.strings", "\"Size\" = \"Größe\";\n");
  Bundle bundle(dir.path());
  std::string text = "%Size% | %Size% | %Kind% | Size";
  replaceWithLocalizedString(bundle, text, "Size");
  replaceWithLocalizedString(bundle, text, "Kind");
  EXPECT_EQ(text, "Größe | Größe | Kind | Size");
}

TEST(HelpersTest, DecodeStringFallsBackToLatin1) {
  // Overlong, surrogate, truncated and above U+10FFFF forms are not UTF-8.
  const struct {
    std::string_view bytes, text;
    uint64_t encoding;
  } cases[] = {{"h\xC3\xA9llo", "h\xC3\xA9llo", kUTF8StringEncoding},
               {"h\xE9llo", "h\xC3\xA9llo", kISOLatin1StringEncoding},
               {"\xC0\xAF", "\xC3\x80\xC2\xAF", kISOLatin1StringEncoding},
               {"\xED\xA0\x80", "\xC3\xAD\xC2\xA0\xC2\x80", kISOLatin1StringEncoding},
               {"ab\xE2\x82", "ab\xC3\xA2\xC2\x82", kISOLatin1StringEncoding},
               {"\xF4\x90\x80\x80", "\xC3\xB4\xC2\x90\xC2\x80\xC2\x80", kISOLatin1StringEncoding}};
  for (const auto& c : cases) {
    uint64_t encoding = 0;
    EXPECT_EQ(decodeString(c.bytes, &encoding), c.text);
    EXPECT_EQ(encoding, c.encoding);
  }
}

// Both makers of temporary folders: the plain helper, hidden unless the user's name is asked for,
// and the host application's, visible or dot-named. A name that would leave the base is refused.
TEST(HelpersTest, TempFoldersAreNamedAfterThePreferenceAndStayInTheirBase) {
  IsolatedHome home;
  LogCapture log;
  const std::string base = home.dir().str();
  HostApplication app;
  // The folder's name without the six random characters; "(none)" when none was made.
  const auto stem = [&](const std::optional<std::string>& path) {
    if (!path) return std::string("(none)");
    EXPECT_TRUE(fs::is_directory(*path));
    EXPECT_EQ(fs::path(*path).parent_path(), base);
    const std::string name = fs::path(*path).filename().string();
    return name.substr(0, name.size() - 6);
  };
  EXPECT_EQ(stem(createTempFolderInside(base, false)), ".TessaroTempFolder.");
  EXPECT_EQ(stem(app.createTempFolderInside(base, true)), "TessaroTempFolder.");
  EXPECT_EQ(stem(app.createTempFolderInside(base, false)), ".TessaroTempFolder.");
  EXPECT_NE(createTempFolderInside(base, false), createTempFolderInside(base, false));
  EXPECT_NE(app.createTempFolderInside(base, true), app.createTempFolderInside(base, true));

  UserDefaults::standard().setObject("HLVTempFolderName", ".Work Area");
  EXPECT_EQ(stem(createTempFolderInside(base, true)), ".Work Area.");
  EXPECT_EQ(stem(app.createTempFolderInside(base, true)), "Work Area.");
  EXPECT_EQ(stem(app.createTempFolderInside(base, false)), ".Work Area.");
  UserDefaults::standard().setObject("HLVTempFolderName", "../escape");
  EXPECT_EQ(createTempFolderInside(base, true), std::nullopt);
  EXPECT_EQ(app.createTempFolderInside(base, true), std::nullopt);
  EXPECT_TRUE(log.contains("The temporary folder set in the preferences is invalid."));
  UserDefaults::standard().setObject("HLVTempFolderName", "..");
  EXPECT_EQ(app.createTempFolderInside(base, true), std::nullopt);

  EXPECT_EQ(createTempFolderInside(base + "/missing", false), std::nullopt);
  EXPECT_EQ(app.createTempFolderInside(base + "/missing", true), std::nullopt);
  EXPECT_EQ(app.createTempFolderInside("", true), std::nullopt);
}

TEST(HelpersTest, UserTempPathFallsBackToTheTemporaryFolder) {
  IsolatedHome home;
  const std::string platformTemp = (home.dir().path() / "tmp").string();
  EXPECT_EQ(userTempPath(), platformTemp);
  fs::create_directory(home.dir().path() / "mine");
  UserDefaults::standard().setObject("HLVTempFolderPath", "~/mine");
  EXPECT_EQ(userTempPath(), home.dir().str() + "/mine");
  home.dir().write("file", "");
  UserDefaults::standard().setObject("HLVTempFolderPath", home.dir().str() + "/file");
  EXPECT_EQ(userTempPath(), platformTemp);
}

TEST(HelpersTest, HLVLogIsGatedByTheDebugLevel) {
  IsolatedHome home;
  LogCapture log;
  HLVLog(kLogTrace, "trace %d", 0);
  HLVLog(kLogNotice, "notice %s", "one");
  const std::string longText(2000, 'x');
  HLVLog(kLogError, "%s!", longText.c_str());
  ASSERT_EQ(log.lines.size(), 3u);
  EXPECT_EQ(log.lines[0], std::make_pair(LOG_DEBUG, std::string("trace 0")));
  EXPECT_EQ(log.lines[1], std::make_pair(LOG_NOTICE, std::string("notice one")));
  EXPECT_EQ(log.lines[2], std::make_pair(LOG_ERR, longText + "!"));

  log.lines.clear();
  UserDefaults::standard().setObject("HLVDebugLevel", 1);
  HLVLog(kLogTrace, "dropped");
  HLVLog(kLogNotice, "kept");
  UserDefaults::standard().setObject("HLVDebugLevel", 3);
  HLVLog(kLogError, "dropped too");
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_EQ(log.lines[0].second, "kept");
}

// Command lines are logged only below the default level, and never with a password in them.
TEST(HelpersTest, CommandLinesAreLoggedOnlyOnRequestAndWithoutPasswords) {
  IsolatedHome home;
  LogCapture log;
  HLVLog(kLogCommand, "cmd");
  EXPECT_TRUE(log.lines.empty());
  UserDefaults::standard().setObject("HLVDebugLevel", -1);
  HLVLog(kLogCommand, "cmd");
  EXPECT_EQ(log.lines.size(), 1u);

  const std::pair<std::vector<std::string>, std::string> lists[] = {
      {{"x", "-psecret", "-y", "a.7z"}, "(x, -p***, -y, a.7z)"},
      {{"a", "-hpse cret", "-p-", "-p"}, "(a, -hp***, -p-, -p)"},
      {{"-p", "secret", "--password=secret", "-password", "secret", "-px"},
       "(-p, ***, --password=***, -password, ***, -p***)"},
  };
  for (const auto& [arguments, expected] : lists) EXPECT_EQ(redactedArguments(arguments), expected);
  const std::pair<std::string, std::string> commands[] = {
      {"rar a -psecret x.rar", "rar a -p*** x.rar"},
      {"rar a '-pse cret' \"-hpa\\\"b c\" x", "rar a '-p*** \"-hp*** x"},
      {"unar -p 'two words' -o d x.sit", "unar -p *** -o d x.sit"},
      {"gnutar -x -z -C \"/a -p b\" -p- *", "gnutar -x -z -C \"/a -p b\" -p- *"},
  };
  for (const auto& [command, expected] : commands)
    EXPECT_EQ(redactedCommandLine(command), expected) << command;
}

TEST(HelpersTest, CheckSpaceAsksOnlyWhenSpaceIsShort) {
  TempDir dir;
  int asked = 0;
  int answer = kAlertDefaultReturn;
  setAlertResponderForTesting([&](std::string_view title, std::string_view message) {
    ++asked;
    EXPECT_EQ(title, "Warning");
    EXPECT_EQ(message, "There is not enough free space on the destination drive.");
    return answer;
  });
  EXPECT_FALSE(checkSpace(1, dir.str()));
  EXPECT_FALSE(checkSpace(INT64_MAX, dir.str() + "/missing"));
  EXPECT_EQ(asked, 0);
  EXPECT_TRUE(checkSpace(INT64_MAX, dir.str()));
  answer = kAlertAlternateReturn;
  EXPECT_FALSE(checkSpace(INT64_MAX, dir.str()));
  EXPECT_EQ(asked, 2);
  setAlertResponderForTesting({});
}

TEST(HelpersTest, SizesCountLinksAsThemselves) {
  TempDir dir;
  dir.write("a.txt", std::string(10, 'a'));
  dir.write("sub/b.bin", std::string(100, 'b'));
  dir.write("sub/deeper/c", std::string(1000, 'c'));
  fs::create_symlink("a.txt", dir.path() / "link");   // 5 bytes
  fs::create_symlink("sub", dir.path() / "dirlink");  // 3 bytes, not followed

  EXPECT_EQ(filesizeFromArray(dir.str(), nullptr), 1118);
  const std::vector<std::string> names = {"a.txt", "sub", "missing"};
  EXPECT_EQ(filesizeFromArray(dir.str(), &names), 1110);
  EXPECT_EQ(calculateSizeOfFiles({dir.str() + "/sub", dir.str() + "/link", dir.str() + "/dirlink"}), 1108);

  EXPECT_TRUE(compareFirstBytes((dir.path() / "a.txt").string(), "aaaa", 4));
  EXPECT_TRUE(compareFirstBytes(dir.str() + "/missing", "", 8));
  EXPECT_TRUE(compareFirstBytes(dir.write("nul", std::string("ab\0cd", 5)).string(), "ab", 5));
}

TEST(HelpersTest, ReduceKeepsOnlyOutermostEntries) {
  EXPECT_EQ(reducePaths({"/a/b", "/a/b/c", "/a/bc", "/a", "/a/b/", "/a//b/d", "rel/x", "rel/x/y"}),
            (std::vector<std::string>{"/a/b", "/a/bc", "/a", "rel/x"}));

  auto root = AZipItem::create();
  auto folder = AZipItem::create();
  auto file = AZipItem::create();
  auto other = AZipItem::create();
  folder->setParent(root);
  file->setParent(folder);
  other->setParent(root);
  EXPECT_EQ(reduceItems({folder, file, other, folder}), (AZipItem::List{folder, other}));
  EXPECT_EQ(reduceItems({file, folder, nullptr}), (AZipItem::List{file, folder}));

  // Common parents compare whole components.
  EXPECT_EQ(commonParent("/a/b", "/a/bc"), "/a");
  EXPECT_EQ(commonParent("/a//b/", "/a/b/c"), "/a/b");
  EXPECT_EQ(commonParent("a", "/a"), "/");
  EXPECT_EQ(commonParent(std::nullopt, "/p"), "/p");
}

TEST(HelpersTest, Base64RoundTripsAndRejectsMalformedText) {
  const std::pair<const char*, const char*> vectors[] = {
      {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}};
  for (const auto& [plain, encoded] : vectors) {
    EXPECT_EQ(encodeBase64(plain), encoded);
    EXPECT_EQ(decodeBase64(encoded), plain);
  }
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
  for (size_t length = 250; length <= 256; ++length)
    EXPECT_EQ(decodeBase64(encodeBase64(bytes.substr(0, length))), bytes.substr(0, length));

  EXPECT_EQ(decodeBase64(" Zm9v\nYmFy\r\n"), "foobar");
  for (const char* bad : {"Zm9", "Zm=v", "Z===", "Zg==Zg==", "Zm9-"})
    EXPECT_EQ(decodeBase64(bad), std::nullopt) << bad;
}

TEST(HelpersTest, MergeFoldersDescendsIntoSharedFolders) {
  TempDir src, dst;
  LogCapture log;
  src.write("new.txt", "new");
  src.write("shared/inner.txt", "inner");
  src.write("shared/deep/x", "x");
  src.write("clash.txt", "source");
  src.write("folderVsFile/y", "y");
  dst.write("shared/existing.txt", "old");
  fs::create_directories(dst.path() / "shared/deep");
  dst.write("clash.txt", "destination");
  dst.write("folderVsFile", "file");

  mergeFolders(src.str(), dst.str());
  EXPECT_EQ(listing(dst.path()),
            "clash.txt\nfolderVsFile\nnew.txt\nshared/\nshared/deep/\nshared/deep/x\nshared/existing.txt\n"
            "shared/inner.txt\n");
  EXPECT_EQ(listing(src.path()), "clash.txt\nfolderVsFile/\nfolderVsFile/y\nshared/\nshared/deep/\n");
  EXPECT_EQ(readFile(dst.path() / "clash.txt"), "destination");
  EXPECT_TRUE(log.contains("Error when moving " + src.str() + "/clash.txt to " + dst.str() +
                           "/clash.txt: File exists"));

  mergeFolders(src.str(), dst.str() + "/missing");
  EXPECT_TRUE(log.contains("Error when moving " + src.str() + "/clash.txt to " + dst.str() +
                           "/missing/clash.txt: General error"));
}

TEST(HelpersTest, DesktopQueriesFailQuietly) {
  IsolatedHome home;
  LogCapture log;
  EXPECT_EQ(displayNameForAppHandlingType("x-tessaro/no-such-type"), std::nullopt);
  EXPECT_TRUE(log.contains("Error getting handler for file type x-tessaro/no-such-type: -1"));

  // A missing viewer fails before anything is started (a started one would outlive the test).
  const std::string file = home.dir().write("view me.txt", "text").string();
  const std::string viewer = home.dir().str() + "/no viewer";
  UserDefaults::standard().setObject("HLVViewingApplication", viewer);
  EXPECT_FALSE(openFileWithFinder(file));
  EXPECT_TRUE(log.contains("openFileWithFinder: app = " + viewer + ", path = " + file));
}

TEST(HelpersTest, VolumeNameAndSleepWakeIdentifier) {
  TempDir dir;
  EXPECT_EQ(getVolumeName(dir.str() + "/not/yet/there"), getVolumeName(dir.str()));
  EXPECT_EQ(getVolumeName(""), "");
  const std::string bootId = readFile("/proc/sys/kernel/random/boot_id");
  const auto id = sleepWakeUUID();
  if (id) {
    EXPECT_TRUE(id->starts_with(bootId.substr(0, bootId.find('\n')) + "-")) << *id;
  }
  EXPECT_EQ(sleepWakeUUID(), id);
}

// ---- The host application object: its temporary folders, and the fallback when there is none

std::string nameOf(const std::optional<std::string>& path) {
  return path ? fs::path(*path).filename().string() : "(none)";
}

TEST(HostApplicationTest, RemovesOnlyFoldersItMade) {
  test::TempDir dir;
  HostApplication app;
  const std::optional<std::string> made = app.createTempFolderInside(dir.str(), true);
  ASSERT_TRUE(made);
  fs::create_directories(fs::path(*made) / "a" / "b");
  std::ofstream(fs::path(*made) / "a" / "b" / "f") << "x";
  dir.write("keep/f", "x");

  EXPECT_FALSE(app.removeTempFolder((dir.path() / "keep").string()));
  EXPECT_FALSE(app.removeTempFolder(dir.str()));
  EXPECT_TRUE(fs::exists(dir.path() / "keep" / "f"));
  EXPECT_TRUE(app.removeTempFolder(*made));
  EXPECT_FALSE(fs::exists(*made));
  // Once removed it is no longer its own.
  fs::create_directory(*made);
  EXPECT_FALSE(app.removeTempFolder(*made));
  EXPECT_TRUE(fs::exists(*made));
}

TEST(HostApplicationTest, AppTempFolderUsesTheAppOrTheHelper) {
  test::IsolatedHome home;
  const std::string base = home.dir().str();
  ASSERT_EQ(theApp(), nullptr);
  std::string path;
  {
    // No application object, as in a preview: the plain helper makes and the folder goes.
    AppTempFolder folder(base, false);
    ASSERT_TRUE(folder.path());
    path = *folder.path();
    EXPECT_TRUE(nameOf(folder.path()).starts_with(".TessaroTempFolder."));
    std::ofstream(fs::path(path) / "f") << "x";
  }
  EXPECT_FALSE(fs::exists(path));

  HostApplication app;
  theApp() = &app;
  {
    AppTempFolder folder(base, true);
    ASSERT_TRUE(folder.path());
    path = *folder.path();
    EXPECT_TRUE(nameOf(folder.path()).starts_with("TessaroTempFolder."));
    // Made by the application object, so it is the application object's to remove.
    theApp() = nullptr;
  }
  EXPECT_FALSE(fs::exists(path));
  EXPECT_FALSE(app.removeTempFolder(path));

  AppTempFolder none(base + "/missing", true);
  EXPECT_EQ(none.path(), std::nullopt);
}

}  // namespace
}  // namespace tessaro
