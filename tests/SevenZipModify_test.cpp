// The 7-Zip family's extraction, creation, deletion, renaming and zip comments: the helper's
// argument lists as the handlers build them, and real round trips through the built Helpers/7z
// on trees with awkward names, checked with getInfo, diff and Info-ZIP's unzip.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ArchiveCallbackHandler.h"
#include "ArchiveHandler7z.h"
#include "HostApplication.h"
#include "ProcessGlobals.h"
#include "defaults/UserDefaults.h"
#include "process/Subprocess.h"
#include "support/Processes.h"
#include "support/TempDir.h"

namespace tessaro {
namespace {

namespace fs = std::filesystem;
using test::noChildrenLeft;
using test::shell;
using Args = std::vector<std::string>;

// Names that break naive quoting, globbing or option parsing; "big.bin" does not compress, so a
// small volume size splits the archive.
constexpr const char* kMakeTree = R"sh(
mkdir -p src/'sub dir'/deeper src/ümlaut-日本
printf 'hello\n' > src/'with space.txt'
printf 'quotes\n' > src/"q\"uo'te.txt"
printf 'dollar\n' > src/'$HOME.txt'
printf 'dash\n' > src/-dash.txt
printf 'star\n' > src/'a*b.txt'
printf 'star neighbour\n' > src/'aXb.txt'
printf 'lead\n' > src/' lead.txt'
printf 'trail\n' > src/'trail.txt '
printf 'utf\n' > src/ümlaut-日本/'ñ.txt'
printf 'deep\n' > src/'sub dir'/deeper/d.txt
head -c 6000 /dev/urandom > src/big.bin
)sh";

// Answers password requests from a list and records what the handler reported.
class FakeHost : public ArchiveCallbackHandler {
 public:
  explicit FakeHost(std::vector<std::string> answers = {}) : answers_(std::move(answers)) {}

  std::string passwordWithParams(PlistDictionary& params) override {
    std::lock_guard lock(mutex_);
    const auto mode = params.find("mode");
    modes.push_back(mode == params.end() ? -1 : mode->second.asInteger().value_or(-1));
    if (answers_.empty()) return {};
    std::string answer = answers_.front();
    answers_.erase(answers_.begin());
    return answer;
  }
  int changeVolume(std::string& /*path*/, int /*mode*/) override { return 1; }
  int processData(const void* /*data*/, int64_t size, int /*delta*/) override {
    std::lock_guard lock(mutex_);
    bytes += size;
    return 0;
  }
  void processFile(std::string_view /*name*/, int /*operation*/) override {}
  void setProgress(int percent) override {
    std::lock_guard lock(mutex_);
    progress.push_back(percent);
  }
  bool respondsToLogOutput() const override { return true; }
  void logOutput(std::string_view text) override {
    std::lock_guard lock(mutex_);
    log.append(text);
  }

  std::vector<int64_t> modes;
  std::vector<int> progress;
  std::string log;
  int64_t bytes = 0;

 private:
  std::mutex mutex_;
  std::vector<std::string> answers_;
};

using test::readFile;

AZipItem::List itemsAt(const std::vector<std::string>& paths) {
  AZipItem::List items;
  for (const std::string& path : paths) items.push_back(AZipItem::initWithPath(path));
  return items;
}

class SevenZipModifyTest : public ::testing::Test {
 protected:
  SevenZipModifyTest() {
    savedHelpers_ = helpersPath();
    helpersPath() = TESSARO_TEST_HELPERS_DIR;
    shell(work_.path(), kMakeTree);
    fs::create_directories(scratch());
  }
  ~SevenZipModifyTest() override {
    helpersPath() = savedHelpers_;
    EXPECT_TRUE(noChildrenLeft());
  }

  std::string path(const std::string& name) const { return (work_.path() / name).string(); }
  std::string scratch() const { return path("documents"); }

  template <typename H>
  std::shared_ptr<H> handler(std::shared_ptr<FakeHost> host = nullptr) {
    auto made = std::make_shared<H>();
    made->setDocumentsTempFolder(scratch());
    if (host) {
      hosts_.push_back(host);
      made->setCallbackHandler(host);
    }
    return made;
  }

  // Opens an existing archive as a fresh handler would (volumes collected).
  template <typename H>
  std::shared_ptr<H> opened(const std::string& archive, std::shared_ptr<FakeHost> host = nullptr) {
    auto made = handler<H>(std::move(host));
    EXPECT_TRUE(made->initWithURL(archive)) << archive;
    return made;
  }

  // The sorted entry paths of the archive's listing, or the status when it is not 0.
  static std::vector<std::string> entries(ArchiveHandler& archive) {
    std::vector<std::string> lines;
    const int32_t status = archive.getInfo(lines);
    if (status != 0) return {"status " + std::to_string(status)};
    std::vector<std::string> paths;
    for (const std::string& line : lines) {
      if (!line.starts_with("path=") || line.find('\t') == std::string::npos) continue;
      paths.push_back(line.substr(5, line.find('\t') - 5));
    }
    std::sort(paths.begin(), paths.end());
    return paths;
  }

  // The list files and comment files went with their folders.
  void expectNoScratchLeft() const { EXPECT_TRUE(fs::is_empty(scratch())) << "list files left in " << scratch(); }

  // True when the two folders hold the same names with the same bytes.
  static bool sameTree(const std::string& a, const std::string& b) {
    const SubprocessResult result = run({"/usr/bin/diff", "-r", a, b}, {});
    EXPECT_EQ(result.exitStatus, 0) << result.output;
    return result.exitStatus == 0;
  }

  test::IsolatedHome home_;
  test::TempDir work_;
  std::string savedHelpers_;
  std::vector<std::shared_ptr<FakeHost>> hosts_;
};

// ---- Argument lists

TEST_F(SevenZipModifyTest, ExtractionNamesItsItemsInAListFileUnlessTheWholeArchiveIsMeant) {
  auto zip = handler<AHandlerZip>();
  zip->setUrl(path("src/big.bin"));  // any existing file: the commands only read the path
  const std::string archive = path("src/big.bin");

  SevenZipCommand all = zip->extractCommand({"*"}, 0, "/s");
  EXPECT_EQ(all.arguments, (Args{"x", "-tzip", "-y", "-spd", archive}));
  EXPECT_FALSE(all.listFile);

  SevenZipCommand some = zip->extractCommand({"a dir/", "-x.txt", "*"}, 1, "/s");
  EXPECT_EQ(some.arguments, (Args{"x", "-tzip", "-y", "-spd", archive, "@/s/listfile"}));
  EXPECT_EQ(some.listFile, "a dir\n-x.txt\n*");

  // Testing reads everything and writes nothing; a password is asked for right after the type
  // and travels beside the arguments, never in them.
  zip->setPassword("pa ss");
  SevenZipCommand test = zip->extractCommand({"a.txt"}, 3, "/s");
  EXPECT_EQ(test.arguments, (Args{"t", "-tzip", "-p", "-y", "-spd", archive}));
  EXPECT_EQ(test.password, "pa ss");
  EXPECT_FALSE(test.listFile);

  // Absolute entry paths never match the names asked for, so the archive comes out whole.
  zip->setContainsAbsolutePaths(true);
  EXPECT_FALSE(zip->extractCommand({"etc/hosts"}, 0, "/s").listFile);

  // A numbered set is read through the split layer; a disk image names no type at all.
  auto sevenZip = handler<AHandler7zip>();
  sevenZip->setUrl(archive);
  sevenZip->setParts({{"a.7z.001", "a.7z.001", 1}, {"a.7z.002", "a.7z.002", 1}});
  EXPECT_EQ(sevenZip->extractCommand({"*"}, 0, "/s").arguments[1], "-t7z.split");
  auto dmg = handler<AHandlerDmg>();
  dmg->setUrl(archive);
  EXPECT_EQ(dmg->extractCommand({"*"}, 0, "/s").arguments, (Args{"x", "-y", "-spd", archive}));
}

TEST_F(SevenZipModifyTest, AddingPutsEverySwitchInItsPlace) {
  auto zip = handler<AHandlerZip>();
  zip->setPassword("pw");
  zip->setComment("Hello\nWorld");
  AZipItem::Ptr parent = AZipItem::initWithPath("docs/inner/");
  std::vector<std::string> clean{"__MACOSX/._a"};
  const Preset preset{{"compression", 1},         {"encryption", 2}, {"volumeSize", int64_t{2}},
                      {"volumeUnit", 1},          {"mode", 1},       {"additionalParams", "-mmt=2  -bb1"}};
  const SevenZipCommand command =
      zip->addCommand({"/src/a.txt", "/src/b c"}, "/src", "/out/set.zip.001", parent->path(), preset, &clean, "/s");
  EXPECT_EQ(command.arguments,
            (Args{"u", "-up1q1r2x1y2z1w2", "-spd", "-tzip", "-mem=AES256", "-p", "-v2000000", "-mx=1",
                  "-apdocs/inner", "-mmt=2", "-bb1", "/out/set.zip", "-cz/s/comment", "@/s/listfile",
                  "-xr!.DS_Store", "-x@/s/listfileClean"}));
  EXPECT_EQ(command.listFile, "/src/a.txt\n/src/b c");
  EXPECT_EQ(command.cleanFile, "__MACOSX/._a");
  EXPECT_EQ(command.commentFile, "Hello\nWorld");
  EXPECT_EQ(command.volumeBytes, 2000);
  EXPECT_FALSE(command.encryptsListing);
  EXPECT_EQ(command.password, "pw");

  // Binary units multiply the same preset by 1024; ".001" stays when there are no volumes, and a
  // preset without compression means none.
  ASSERT_TRUE(UserDefaults::standard().setObject("HLVSizeBase1024", true));
  EXPECT_EQ(zip->addCommand({}, "/src", "/o.zip.001", "", preset, nullptr, "/s").arguments[6], "-v2048000");
  const SevenZipCommand single = zip->addCommand({}, "/src", "/o.zip.001", "/", Preset{}, nullptr, "/s");
  EXPECT_EQ(single.arguments, (Args{"u", "-up1q1r2x1y2z1w2", "-spd", "-tzip", "-p", "-mx=0", "/o.zip.001",
                                    "-cz/s/comment", "."}));
  EXPECT_FALSE(single.listFile);
}

TEST_F(SevenZipModifyTest, SevenZipArchivesHideNamesAfterThePasswordAndStaySolidOnlyWhenAsked) {
  auto sevenZip = handler<AHandler7zip>();
  sevenZip->setPassword("pw");
  sevenZip->setComment("a 7z comment cannot be written");
  const SevenZipCommand hidden =
      sevenZip->addCommand({}, "/src", "/a.7z", "", Preset{{"encryption", 3}, {"compression", 2}}, nullptr, "/s");
  EXPECT_EQ(hidden.arguments,
            (Args{"u", "-up1q1r2x1y2z1w2", "-spd", "-t7z", "-p", "-mhe=on", "-ms=off", "/a.7z", "-cz--", "."}));
  EXPECT_TRUE(hidden.encryptsListing);
  EXPECT_FALSE(hidden.commentFile);

  // "-mem" is a zip switch; 7z is always AES.
  const Args solid =
      sevenZip->addCommand({}, "", "/a.7z", "", Preset{{"encryption", 2}, {"compression", 5}}, nullptr, "/s").arguments;
  EXPECT_EQ(solid, (Args{"u", "-up1q1r2x1y2z1w2", "-spd", "-t7z", "-p", "-mx=9", "/a.7z", "-cz--"}));

  for (const auto& [compression, expected] :
       {std::pair{0, "-mx=0"}, std::pair{1, "-mx=1"}, std::pair{3, "-mx=9"}, std::pair{4, "-mx=9"}}) {
    const Args arguments =
        sevenZip->addCommand({}, "", "/a.7z", "", Preset{{"compression", compression}}, nullptr, "/s").arguments;
    EXPECT_EQ(std::count(arguments.begin(), arguments.end(), expected), 1) << compression;
    EXPECT_EQ(std::count(arguments.begin(), arguments.end(), "-ms=off"), 1) << compression;
  }
}

TEST_F(SevenZipModifyTest, HostilePresetsAskForNoVolumesAndNoEmptyArguments) {
  auto zip = handler<AHandlerZip>();
  for (const Preset& preset :
       {Preset{{"volumeSize", int64_t{1} << 62}, {"volumeUnit", 1}}, Preset{{"volumeSize", 5}, {"volumeUnit", 99}},
        Preset{{"volumeSize", -5}}, Preset{{"volumeSize", "many"}}, Preset{{"volumeSize", 5}, {"volumeUnit", -1}}}) {
    const SevenZipCommand command = zip->addCommand({}, "", "/a.zip.001", "", preset, nullptr, "/s");
    EXPECT_EQ(command.volumeBytes, 0);
    EXPECT_EQ(command.arguments, (Args{"u", "-up1q1r2x1y2z1w2", "-spd", "-tzip", "-mx=0", "/a.zip.001", "-cz--"}));
  }
  const Args spaces =
      zip->addCommand({}, "", "/a.zip", "", Preset{{"additionalParams", "  "}}, nullptr, "/s").arguments;
  EXPECT_EQ(std::count(spaces.begin(), spaces.end(), ""), 0);
  // List files lose line breaks and the white space around names: such names go literally on the
  // command line, and unlisted exclusions as switches of their own.
  std::vector<std::string> clean{" x", "y"};
  const SevenZipCommand odd = zip->addCommand({"/a\nb", "/c", "/d "}, "", "/a.zip", "", Preset{}, &clean, "/s");
  EXPECT_EQ(odd.listFile, "/c");
  EXPECT_EQ(odd.cleanFile, "y");
  EXPECT_EQ(Args(odd.arguments.end() - 6, odd.arguments.end()),
            (Args{"@/s/listfile", "-x@/s/listfileClean", "-x! x", "--", "/a\nb", "/d "}));
}

TEST_F(SevenZipModifyTest, DeletingAndRenamingNameEntriesLiterally) {
  auto sevenZip = handler<AHandler7zip>();
  sevenZip->setUrl(path("src/big.bin"));
  const std::string archive = path("src/big.bin");
  const SevenZipCommand remove = sevenZip->deleteCommand({"dir/", "a*b.txt", " -lead"}, "/s");
  EXPECT_EQ(remove.arguments, (Args{"d", "-p-", "-spd", archive, "@/s/listfile", "--", " -lead"}));
  EXPECT_EQ(remove.listFile, "dir\na*b.txt");
  EXPECT_EQ(remove.password, "");

  sevenZip->setPassword("pw");
  const SevenZipCommand rename =
      sevenZip->moveCommand({"old/", "t ", "x", "unpaired"}, {"new", "t", "dir/x"}, "/s");
  EXPECT_EQ(rename.arguments, (Args{"rn", "-p", "-spd", archive, "@/s/listfile", "--", "t ", "t"}));
  EXPECT_EQ(rename.listFile, "old\nnew\nx\ndir/x\n");
  EXPECT_EQ(rename.password, "pw");
}

TEST(SevenZipProgressTest, ReadsUpToThreeDigitsBeforeTheFinalPercentSign) {
  EXPECT_EQ(sevenZipProgress("100%"), 100);
  EXPECT_EQ(sevenZipProgress("  5%"), 5);
  EXPECT_EQ(sevenZipProgress(" 12% 42%"), 42);
  EXPECT_EQ(sevenZipProgress("file 1234%"), 234);
  EXPECT_EQ(sevenZipProgress("7%"), 7);
  EXPECT_EQ(sevenZipProgress("%"), std::nullopt);
  EXPECT_EQ(sevenZipProgress("done %"), std::nullopt);
  EXPECT_EQ(sevenZipProgress("42% done"), std::nullopt);
  EXPECT_EQ(sevenZipProgress(""), std::nullopt);
}

// ---- Round trips through the helper

TEST_F(SevenZipModifyTest, ZipDeletionAndRenamingTakeNamesLiterally) {
  auto made = handler<AHandlerZip>();
  ASSERT_EQ(made->addFiles({}, path("src"), path("n.zip"), nullptr, Preset{{"compression", 2}}, nullptr), 0);
  // "a*b.txt" is no pattern that would take "aXb.txt" along; " lead.txt" keeps its space.
  EXPECT_EQ(made->deleteFiles(itemsAt({"a*b.txt", " lead.txt", "sub dir/", "big.bin"})), 0);
  EXPECT_EQ(made->moveFiles(std::vector<std::string>{"trail.txt ", "with space.txt"},
                            std::vector<std::string>{"trail.txt", " w.txt"}),
            0);
  EXPECT_EQ(entries(*made), (std::vector<std::string>{" w.txt", "$HOME.txt", "-dash.txt", "aXb.txt", "q\"uo'te.txt",
                                                      "trail.txt", "ümlaut-日本", "ümlaut-日本/ñ.txt"}));
  expectNoScratchLeft();
}

TEST_F(SevenZipModifyTest, EncryptedZipsUseTheCipherTheTagNames) {
  for (const auto& [encryption, method] : {std::pair{1, 1}, std::pair{2, 2}}) {
    SCOPED_TRACE(encryption);
    const std::string archive = path("crypt" + std::to_string(encryption) + ".zip");
    auto made = handler<AHandlerZip>();
    made->setPassword("s3cret pass");
    ASSERT_EQ(made->addFiles({path("src/with space.txt")}, "", archive, nullptr, Preset{{"encryption", encryption}},
                             nullptr),
              0);
    EXPECT_FALSE(made->isListingEncrypted());

    auto reader = opened<AHandlerZip>(archive);
    std::vector<std::string> records;
    ASSERT_EQ(reader->getInfo(records), 0);
    bool found = false;
    for (const std::string& record : records) {
      if (!record.starts_with("path=with space.txt\t")) continue;
      AZipItem::Ptr item = AZipItem::create();
      item->initWithString(record);
      EXPECT_TRUE(reader->isItemEncrypted(*item));
      EXPECT_EQ(reader->itemEncryptionMethod(*item), method) << record;
      found = true;
    }
    EXPECT_TRUE(found);

    reader->setPassword("s3cret pass");
    const std::string out = archive + ".out";
    fs::create_directories(out);
    EXPECT_EQ(reader->extract(itemsAt({"*"}), out, 0), 0);
    EXPECT_EQ(readFile(fs::path(out) / "with space.txt"), "hello\n");
  }
}

TEST_F(SevenZipModifyTest, HeaderEncryptionHidesTheListingUntilThePasswordComes) {
  auto made = handler<AHandler7zip>();
  made->setPassword("pw");
  ASSERT_EQ(made->addFiles({}, path("src"), path("h.7z"), nullptr, Preset{{"encryption", 3}}, nullptr), 0);
  EXPECT_TRUE(made->isListingEncrypted());

  auto stranger = opened<AHandler7zip>(path("h.7z"));
  std::vector<std::string> records;
  EXPECT_EQ(stranger->getInfo(records), 100);
  EXPECT_TRUE(records.empty());

  // Wrong, wrong again, then right: asked twice, in the prompt mode the extraction mode gives.
  for (const auto& [mode, prompt] : {std::pair{0, 1}, std::pair{1, 5}}) {
    auto host = std::make_shared<FakeHost>(std::vector<std::string>{"nope", "pw"});
    auto reader = opened<AHandler7zip>(path("h.7z"), host);
    reader->setPassword("wrong");
    const std::string out = path("h" + std::to_string(mode));
    fs::create_directories(out);
    EXPECT_EQ(reader->extract(itemsAt({"*"}), out, mode), 0);
    EXPECT_EQ(host->modes, (std::vector<int64_t>{prompt, prompt}));
    EXPECT_EQ(reader->password(), "pw");
    sameTree(path("src"), out);
  }

  // A host that gives up ends it with 100; so does no host at all.
  auto quitter = std::make_shared<FakeHost>(std::vector<std::string>{"nope"});
  auto reader = opened<AHandler7zip>(path("h.7z"), quitter);
  reader->setPassword("wrong");
  EXPECT_EQ(reader->extract(itemsAt({"*"}), work_.str(), 3), 100);
  EXPECT_EQ(quitter->modes.size(), 2u);
  auto alone = opened<AHandler7zip>(path("h.7z"));
  alone->setPassword("wrong");
  EXPECT_EQ(alone->extract(itemsAt({"*"}), work_.str(), 0), 100);
  expectNoScratchLeft();
}

TEST_F(SevenZipModifyTest, DamagedArchivesAndMissingToolsReportFailure) {
  shell(work_.path(), "printf 'PK\\003\\004 not really a zip' > bad.zip; head -c 100 /dev/urandom > noise.7z");
  auto bad = opened<AHandlerZip>(path("bad.zip"));
  EXPECT_NE(bad->extract(itemsAt({"*"}), work_.str(), 3), 0);
  auto noise = opened<AHandler7zip>(path("noise.7z"));
  EXPECT_NE(noise->extract(itemsAt({"*"}), work_.str(), 0), 0);

  // No archive at all: nothing is run.
  EXPECT_EQ(handler<AHandler7zip>()->extract(itemsAt({"*"}), work_.str(), 0), 4);
  EXPECT_EQ(handler<AHandler7zip>()->addFiles({}, path("src"), "", nullptr, Preset{}, nullptr), -1);

  helpersPath() = path("no helpers here");
  auto host = std::make_shared<FakeHost>();
  auto orphan = handler<AHandler7zip>(host);
  EXPECT_EQ(orphan->addFiles({}, path("src"), path("never.7z"), nullptr, Preset{}, nullptr), -1);
  EXPECT_FALSE(orphan->url());
  EXPECT_NE(host->log.find("could not be found"), std::string::npos);
  expectNoScratchLeft();
}

}  // namespace
}  // namespace tessaro
