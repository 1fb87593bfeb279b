// The whole preview page of real archives, compared with checked-in pages after redacting what
// changes from run to run or with the styles and scripts: image data, script bodies and their
// hashes, the page style, the temporary folder, the archive file's own date and the page's time and token.
// TESSARO_UPDATE_GOLDEN=1 rewrites the golden pages.
#include "PreviewPage.h"

#include "ArchiveFacts.h"
#include "TableRows.h"
#include "PreviewConfiguration.h"
#include "bundle/Bundle.h"
#include "support/TextChecks.h"
#include "support/Golden.h"
#include "support/Processes.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <regex>

#include "ProcessGlobals.h"
#include "defaults/UserDefaults.h"
#include "helpers.h"
#include "process/Subprocess.h"
#include "support/ScopedEnv.h"
#include "support/StringsKeys.h"
#include "support/TempDir.h"

namespace tessaro {
namespace {

using test::expectGolden;

std::string redact(std::string page, const std::string& tmp, const std::string& archiveDate) {
  page = std::regex_replace(page, std::regex("base64,[A-Za-z0-9+/=]+"), "base64,DATA");
  page = std::regex_replace(page, std::regex("'sha256-[A-Za-z0-9+/=]+'"), "'sha256-HASH'");
  page = std::regex_replace(page, std::regex("<script>[^]*?</script>"), "<script>SCRIPT</script>");
  // The page's own style sheet is the first <style> element.
  const size_t style = page.find("<style>");
  if (style != std::string::npos) page.replace(style, page.find("</style>", style) - style, "<style>STYLE");
  // The page's time and the token over it change with every page.
  page = std::regex_replace(page, std::regex("data-time='[0-9]+' data-token='[0-9a-f]*'"),
                            "data-time='TIME' data-token='TOKEN'");
  replaceAll(page, tmp, "$TMP");
  if (!archiveDate.empty()) replaceAll(page, archiveDate, "$DATE");
  return page;
}

class PreviewPageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Dates and labels in one fixed form whatever the machine's zone and language.
    env.set("TZ", "UTC").set("LANG", "C").set("LC_ALL", std::nullopt).set("LC_MESSAGES", std::nullopt);
    bundlePath() = std::string(TESSARO_QLGENERATOR) + "/Contents/Resources";
    helpersPath() = TESSARO_TEST_HELPERS_DIR;
    tree = home.dir().path() / "in";
    home.dir().write("in/pkg/docs/read me.txt", "hello world");
    home.dir().write("in/pkg/a&b.c", "int x;");
    home.dir().write("in/pkg/._meta", "mac");
    ASSERT_EQ(run({"/bin/sh", "-c",
                   "cd '" + tree.string() +
                       "' && find . -exec touch -h -d '2021-02-03 04:05:06' {} + && chmod 644 pkg/a\\&b.c"})
                  .exitStatus,
              0);
  }

  std::string makeArchive(const std::string& name) {
    const std::string archive = (home.dir().path() / name).string();
    EXPECT_EQ(run({"/usr/bin/tar", "--sort=name", "-C", tree.string(), "-czf", archive, "pkg"}).exitStatus,
              0);
    return archive;
  }

  std::string archiveDate(const std::string& archive) {
    struct stat st {};
    ::lstat(archive.c_str(), &st);
    return formatDate(Date(std::chrono::seconds(st.st_mtim.tv_sec)));
  }

  test::ScopedEnv env;
  test::IsolatedHome home;
  std::filesystem::path tree;
};

TEST_F(PreviewPageTest, ListedArchiveFillsEveryPlaceholder) {
  const std::string archive = makeArchive("a<b>.tar.gz");
  const auto page = makePreviewPage(archive);
  ASSERT_TRUE(page);
  expectGolden("tar-normal.html", redact(*page, home.dir().str(), archiveDate(archive)));
}

TEST_F(PreviewPageTest, SettingsChooseSimpleModeCutoffAndPresets) {
  auto& defaults = UserDefaults::standard();
  PlistDictionary config{{"simpleThreshold", int64_t{0}}, {"cutoffCount", int64_t{3}}, {"cA", true}};
  ASSERT_TRUE(defaults.setPersistentDomain(config, kConfigDefaultsDomain));
  PlistDictionary host{{"HLVExtractPresets", PlistArray{PlistDictionary{{"name", "a b"}}}}};
  ASSERT_TRUE(defaults.setPersistentDomain(host, kHostDefaultsDomain));
  const std::string archive = makeArchive("simple.tgz");
  const auto page = makePreviewPage(archive);
  ASSERT_TRUE(page);
  // The filter sees only the rows on the page, and says how many; in simple mode only the two
  // generic icons have styles.
  test::expectContains(
      *page, {"var simple = 1;\nkeepHeaderFixed=", "cA=1;", "<option value='a%20b'>a b</option>\n",
              "6 (only first 3 shown)",
              "<span id=\"filter-note\" class=\"note\">Searches the 2 rows shown</span>", "img#b_fold"});
  EXPECT_EQ(page->find("img#b_txt"), std::string::npos);
  expectGolden("tar-simple.html", redact(*page, home.dir().str(), archiveDate(archive)));
}

// Names that spell placeholders or markup: the page is filled in one pass, so an archive called
// "%path%.tgz" in a folder named like a refresh tag gets a title of its own escaped name, and the
// folder's text appears only inside the closing <plaintext>.
TEST_F(PreviewPageTest, NamesThatSpellPlaceholdersOrMarkupStayText) {
  const std::string folder = "<meta http-equiv=\"refresh\" content=\"0;url=http://127.0.0.1:1/\">";
  std::filesystem::create_directories(home.dir().path() / folder);
  const std::string archive = makeArchive(folder + "/%path%.tgz");
  const auto page = makePreviewPage(archive);
  ASSERT_TRUE(page);
  test::expectContains(*page, {"<title>%path%.tgz</title>", "<h1 dir=\"auto\">%path%.tgz</h1>"});
  const size_t plaintext = page->find("<plaintext");
  ASSERT_NE(plaintext, std::string::npos);
  EXPECT_EQ(page->find("http-equiv=\"refresh\""), page->find(folder, plaintext) + 6);
}

// Archive types the system's MIME database does not name get a kind from the package the
// application installs, in English and German; the preview runs in its own process because GIO
// reads the MIME folders once.
TEST_F(PreviewPageTest, EveryArchiveTypeHasAKindOnceTheMimePackageIsInstalled) {
  const auto folder = home.dir().path();
  test::shell(folder,
              "mkdir -p data/mime/packages && cp '" TESSARO_MIME_PACKAGE
              "' data/mime/packages/ && "
              "update-mime-database data/mime >/dev/null 2>&1 && cp in/pkg/a\\&b.c w.txt && "
              "zip -q a.zip w.txt && for e in war ear pk3 pk4; do cp a.zip a.$e; done && "
              "head -c 3000 /dev/urandom > big && split -b 1000 -d -a 3 --numeric-suffixes=1 big big. && "
              "f='" TESSARO_FIXTURES_DIR
              "' && cp \"$f\"/mac/testfile.stuffit45_dlx.mac9.sit.hqx a.hqx && "
              "cp \"$f\"/mac/testfile.stuffit45_dlx.mac9.sit.bin a.bin && "
              "cp \"$f\"/mac/testfile.stuffit_deluxe_2009.win.sitx a.sitx && "
              "cp \"$f\"/tnef/quick-winmail.dat winmail.dat");
  const std::pair<const char*, const char*> kinds[] = {{"a.war", "Java web application archive"},
                                                       {"a.ear", "Java enterprise application archive"},
                                                       {"a.pk3", "Game data package (zip)"},
                                                       {"a.pk4", "Game data package (zip)"},
                                                       {"a.hqx", "BinHex-encoded Macintosh file"},
                                                       {"a.bin", "MacBinary file"},
                                                       {"a.sitx", "StuffIt X archive"},
                                                       {"big.001", "First piece of a split file"},
                                                       {"winmail.dat", "TNEF message"}};
  for (const char* language : {"en", "de"}) {
    for (const auto& [name, english] : kinds) {
      SCOPED_TRACE(std::string(name) + " " + language);
      SubprocessOptions options;
      options.environment = {{"XDG_DATA_HOME", (folder / "data").string()}, {"LANGUAGE", language}};
      const SubprocessResult page = run({TESSARO_QLHOST, (folder / name).string()}, options);
      ASSERT_EQ(page.exitStatus, 0);
      static const std::regex pattern("<div class=\"kind\">([^<]*)</div>");
      std::smatch kind;
      ASSERT_TRUE(std::regex_search(page.output, kind, pattern));
      EXPECT_FALSE(kind[1].str().empty());
      EXPECT_EQ(kind[1].str() == english, std::string(language) == "en") << kind[1].str();
    }
  }
}

// Every label the page code asks for is translated, and both languages have the same keys: a
// missing key would show English in a German page.
TEST_F(PreviewPageTest, EveryLabelTheCodeUsesExistsInEnglishAndGerman) {
  // The keys: the label lists, and every literal handed to a label lookup in the page code.
  std::vector<std::string> keys(kPageLabelKeys.begin(), kPageLabelKeys.end());
  keys.insert(keys.end(), kListingToolLabelKeys.begin(), kListingToolLabelKeys.end());
  keys.insert(keys.end(), kSafetyFlagLabels.begin(), kSafetyFlagLabels.end());
  keys.emplace_back(kEncryptedEntryLabel);
  keys.emplace_back(kItemCountFormat);
  for (const char* file : {"PreviewPage.cpp", "PreviewConfiguration.cpp", "TableRows.cpp"}) {
    const std::string code = test::readFile(std::string(TESSARO_QUICKLOOK_SOURCES) + "/" + file);
    ASSERT_FALSE(code.empty()) << file;
    test::addLookupKeys(keys, code, {"label(labels, ", "localizedString("});
  }
  test::expectTranslated(std::string(TESSARO_QLGENERATOR) + "/Contents/Resources", keys, 50);
}

TEST_F(PreviewPageTest, NoHandlerGivesNoPageAndAMissingTemplateNone) {
  const auto plain = home.dir().write("notes.txt", "just text");
  EXPECT_FALSE(makePreviewPage(plain.string()));
  const std::string archive = makeArchive("ok.tgz");
  bundlePath() = home.dir().str();
  EXPECT_FALSE(makePreviewPage(archive));
}

TEST_F(PreviewPageTest, ReportEscapesArchiveTexts) {
  ArchiveFacts facts;
  facts.comment = "<script>alert(1)</script> %table_data% %name%";
  facts.singleFolder = "<b>&";
  facts.topLevelCount = 1;
  facts.volumes = VolumeSet{{"a<.part1.rar"}, {"a<.part2.rar"}, true, true};
  facts.volumeCount = 2;
  facts.flagCounts = {0, 2, 0, 0, 0, 0};
  const std::string report = archiveReport(facts, "1 KB", Bundle(bundlePath()));
  EXPECT_EQ(report.find("<script"), std::string::npos);
  test::expectContains(report, {"&lt;script&gt;alert(1)&lt;/script&gt; %table_data% %name%",
                                "Extracts into one folder <b>&lt;b&gt;&amp;</b>", "Missing: a&lt;.part2.rar",
                                "The last volume is missing", "The opened file is not the first volume",
                                "Parent folder reference (..): 2"});
}

TEST_F(PreviewPageTest, HeaderNamesWarningsVolumesAndVerdictOfRealArchives) {
  const auto folder = home.dir().path();
  test::shell(folder, R"(python3 - <<'EOF'
import zipfile, warnings
warnings.simplefilter('ignore')
with zipfile.ZipFile('evil.zip', 'w') as z:
    z.writestr('../x', 'up')
    z.writestr('/etc/x', 'abs')
    z.writestr('top/dup.txt', 'one')
    z.writestr('top/dup.txt', 'two')
    i = zipfile.ZipInfo('top/out')
    i.create_system = 3
    i.external_attr = 0o120777 << 16
    z.writestr(i, '../../etc/passwd')
EOF
mkdir -p set && head -c 150000 /dev/urandom > set/data.bin && rar a -idq -m0 -v40k r.rar set >/dev/null
rm r.part2.rar r.part4.rar)");
  const auto evil = makePreviewPage((folder / "evil.zip").string());
  ASSERT_TRUE(evil);
  test::expectContains(
      *evil, {"Absolute path: 1", "Parent folder reference (..): 1", "Link pointing outside the archive: 1",
              "Duplicate path: 1", "3 loose items would land in the destination",
              "<span class='sf sf-dup' title='Duplicate path'>!</span>"});

  const auto rar = makePreviewPage((folder / "r.part3.rar").string());
  ASSERT_TRUE(rar);
  // The packed size is that of the pieces present (r.part1 and r.part3), not the opened one's.
  const auto pieces = static_cast<int64_t>(std::filesystem::file_size(folder / "r.part1.rar") +
                                           std::filesystem::file_size(folder / "r.part3.rar"));
  test::expectContains(*rar,
                       {"Missing: r.part2.rar, r.part4.rar", "The last volume is missing",
                        "The opened file is not the first volume", formatSize(pieces) + " in 2 pieces"});

  env.set("LANG", "de_DE.UTF-8").set("LC_ALL", "de_DE.UTF-8");
  const auto german = makePreviewPage((folder / "evil.zip").string());
  ASSERT_TRUE(german);
  // The host's presets come in its language too.
  test::expectContains(*german, {"Doppelter Pfad: 1", ">Neben dem Archiv</option>"});
}

// A zip cut short anywhere: inside its first header nothing can be listed, later the entries
// before the cut are shown. Either way the header says so and judges nothing it did not read.
TEST_F(PreviewPageTest, TruncatedZipSaysItsListingIsIncompleteOrFailed) {
  const auto folder = home.dir().path();
  test::shell(folder,
              "mkdir -p src/d && for i in 1 2 3 4 5; do head -c 3000 /dev/urandom > src/d/f$i.bin; done && "
              "cd src && zip -q -0 -r ../whole.zip d");
  const auto whole = static_cast<int64_t>(std::filesystem::file_size(folder / "whole.zip"));
  const struct {
    int64_t length;
    const char* state;
    const char* reason;
  } cuts[] = {
      {10, "Listing failed", "The file cannot be read as an archive of its kind"},
      {4000, "Listing incomplete", "The file ends before the archive does"},
      {whole / 2, "Listing incomplete", "The file ends before the archive does"},
      {whole - 10, "Listing incomplete", "The file ends before the archive does"},
  };
  for (const auto& cut : cuts) {
    SCOPED_TRACE(cut.length);
    const std::string name = "cut" + std::to_string(cut.length) + ".zip";
    test::shell(folder, "head -c " + std::to_string(cut.length) + " whole.zip > " + name);
    const auto page = makePreviewPage((folder / name).string());
    ASSERT_TRUE(page);
    EXPECT_NE(page->find(std::string(cut.state) + ": " + cut.reason), std::string::npos);
    test::expectLacks(*page,
                      {"%table_data%", "id=\"verdict\"", "id=\"safety\"", "No warnings", "Encryption:"});
    // What was read before the cut is listed.
    EXPECT_EQ(page->find(".bin</a>") != std::string::npos, cut.length > 10);
  }

  // A cut tar: the rows before the cut stand, the reason is the cut, and no verdict.
  test::shell(folder, "tar -czf whole.tgz -C src d && head -c 9000 whole.tgz > cut.tgz");
  const auto tar = makePreviewPage((folder / "cut.tgz").string());
  ASSERT_TRUE(tar);
  EXPECT_NE(tar->find("Listing incomplete: The file ends before the archive does"), std::string::npos);
  EXPECT_EQ(tar->find("id=\"verdict\""), std::string::npos);

  env.set("LANG", "de_DE.UTF-8").set("LC_ALL", "de_DE.UTF-8");
  const auto german = makePreviewPage((folder / "cut4000.zip").string());
  ASSERT_TRUE(german);
  EXPECT_NE(german->find("Inhaltsliste unvollst&auml;ndig: Die Datei endet vor dem Archiv"),
            std::string::npos);
}

}  // namespace
}  // namespace tessaro
