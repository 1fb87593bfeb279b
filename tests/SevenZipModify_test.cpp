// The 7-Zip family's extraction, creation, deletion, renaming and zip comments: real round trips
// through the built Helpers/7z on trees with awkward names, checked with getInfo, diff and
// Info-ZIP's unzip.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "ArchiveHandler7z.h"
#include "ProcessGlobals.h"
#include "process/Subprocess.h"
#include "support/TreeDump.h"
#include "support/FakeHost.h"
#include "support/Processes.h"
#include "support/TempDir.h"

namespace tessaro {
namespace {

namespace fs = std::filesystem;
using test::noChildrenLeft;
using test::shell;

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

using test::FakeHost;
using test::readFile;

using test::items;

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
  void expectNoScratchLeft() const {
    EXPECT_TRUE(fs::is_empty(scratch())) << "list files left in " << scratch();
  }

  test::IsolatedHome home_;
  test::TempDir work_;
  std::string savedHelpers_;
  std::vector<std::shared_ptr<FakeHost>> hosts_;
};

// Every preset switch at once through the real helper, checked by what comes out: a parent folder
// inside the archive, compression, extra switches, a comment and names that break naive quoting;
// then one entry extracted through the list file, and volumes read back through the split layer.
TEST_F(SevenZipModifyTest, PresetSwitchesAndListFilesRoundTripThroughTheHelper) {
  auto zip = handler<AHandlerZip>();
  zip->setComment("Hello\nWorld");
  AZipItem::Ptr parent = AZipItem::initWithPath("docs/inner/");
  const Preset preset{{"compression", 1}, {"mode", 1}, {"additionalParams", "-mmt=2  -bb1"}};
  ASSERT_EQ(zip->addFiles(
                {path("src/-dash.txt"), path("src/ lead.txt"), path("src/trail.txt "), path("src/a*b.txt")},
                path("src"), path("p.zip"), parent.get(), preset, nullptr),
            0);
  auto reader = opened<AHandlerZip>(path("p.zip"));
  EXPECT_EQ(entries(*reader), (std::vector<std::string>{"docs/inner/ lead.txt", "docs/inner/-dash.txt",
                                                        "docs/inner/a*b.txt", "docs/inner/trail.txt "}));
  EXPECT_EQ(run({"/usr/bin/unzip", "-z", path("p.zip")}).output,
            "Archive:  " + path("p.zip") + "\nHello\nWorld\n");
  const std::string out = path("some");
  fs::create_directories(out);
  EXPECT_EQ(reader->extract(items({"docs/inner/a*b.txt"}), out, 0), 0);
  EXPECT_EQ(run({"/usr/bin/find", out, "-type", "f"}).output, out + "/docs/inner/a*b.txt\n");

  // 4 kB volumes split the incompressible file; the numbered set comes back whole.
  auto sevenZip = handler<AHandler7zip>();
  ASSERT_EQ(sevenZip->addFiles({path("src/big.bin")}, path("src"), path("v.7z"), nullptr,
                               Preset{{"volumeSize", 4}, {"volumeUnit", 0}}, nullptr),
            0);
  EXPECT_TRUE(fs::exists(path("v.7z.002")));
  auto volumes = opened<AHandler7zip>(path("v.7z.001"));
  fs::create_directories(path("whole"));
  EXPECT_EQ(volumes->extract(items({"*"}), path("whole"), 0), 0);
  EXPECT_EQ(readFile(path("whole/big.bin")), readFile(path("src/big.bin")));
  expectNoScratchLeft();

  // Sizes no disk holds, or nonsense, make no volumes rather than an overflowed switch.
  for (const Preset& odd : {Preset{{"volumeSize", int64_t{1} << 62}, {"volumeUnit", 1}},
                            Preset{{"volumeSize", 5}, {"volumeUnit", 99}}, Preset{{"volumeSize", -5}},
                            Preset{{"volumeSize", "many"}}, Preset{{"volumeSize", 5}, {"volumeUnit", -1}}})
    EXPECT_EQ(zip->addCommand({}, "", "/a.zip.001", "", odd, nullptr, "/s").volumeBytes, 0);
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
  EXPECT_EQ(made->deleteFiles(items({"a*b.txt", " lead.txt", "sub dir/", "big.bin"})), 0);
  EXPECT_EQ(made->moveFiles(std::vector<std::string>{"trail.txt ", "with space.txt"},
                            std::vector<std::string>{"trail.txt", " w.txt"}),
            0);
  EXPECT_EQ(entries(*made),
            (std::vector<std::string>{" w.txt", "$HOME.txt", "-dash.txt", "aXb.txt", "q\"uo'te.txt",
                                      "trail.txt", "ümlaut-日本", "ümlaut-日本/ñ.txt"}));
  expectNoScratchLeft();
}

// Read back by 7zz, so that the cipher is the tool's word rather than the handler's own reading
// (the handler's reading of both ciphers is the SevenZipHandler suite's).
TEST_F(SevenZipModifyTest, EncryptedZipsUseTheCipherTheTagNames) {
  for (const auto& [encryption, cipher] : {std::pair{1, "ZipCrypto"}, std::pair{2, "AES-256"}}) {
    SCOPED_TRACE(cipher);
    const std::string archive = path(std::string(cipher) + ".zip");
    auto made = handler<AHandlerZip>();
    made->setPassword("s3cret pass");
    ASSERT_EQ(made->addFiles({path("src/with space.txt")}, "", archive, nullptr,
                             Preset{{"encryption", encryption}}, nullptr),
              0);
    EXPECT_FALSE(made->isListingEncrypted());
    const std::string listed = run({"/usr/bin/7zz", "l", "-slt", archive}).output;
    EXPECT_NE(listed.find("Method = " + std::string(cipher) + " "), std::string::npos) << listed;

    auto reader = opened<AHandlerZip>(archive);
    reader->setPassword("s3cret pass");
    const std::string out = archive + ".out";
    fs::create_directories(out);
    EXPECT_EQ(reader->extract(items({"*"}), out, 0), 0);
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
    EXPECT_EQ(reader->extract(items({"*"}), out, mode), 0);
    EXPECT_EQ(host->modes, (std::vector<int64_t>{prompt, prompt}));
    EXPECT_EQ(reader->password(), "pw");
    test::sameTree(path("src"), out);
  }

  // A host that gives up ends it with 100; so does no host at all.
  auto quitter = std::make_shared<FakeHost>(std::vector<std::string>{"nope"});
  auto reader = opened<AHandler7zip>(path("h.7z"), quitter);
  reader->setPassword("wrong");
  EXPECT_EQ(reader->extract(items({"*"}), work_.str(), 3), 100);
  EXPECT_EQ(quitter->modes.size(), 2u);
  auto alone = opened<AHandler7zip>(path("h.7z"));
  alone->setPassword("wrong");
  EXPECT_EQ(alone->extract(items({"*"}), work_.str(), 0), 100);
  expectNoScratchLeft();
}

TEST_F(SevenZipModifyTest, DamagedArchivesAndMissingToolsReportFailure) {
  shell(work_.path(),
        "printf 'PK\\003\\004 not really a zip' > bad.zip; head -c 100 /dev/urandom > noise.7z");
  auto bad = opened<AHandlerZip>(path("bad.zip"));
  EXPECT_NE(bad->extract(items({"*"}), work_.str(), 3), 0);
  auto noise = opened<AHandler7zip>(path("noise.7z"));
  EXPECT_NE(noise->extract(items({"*"}), work_.str(), 0), 0);

  // No archive at all: nothing is run.
  EXPECT_EQ(handler<AHandler7zip>()->extract(items({"*"}), work_.str(), 0), 4);
  EXPECT_EQ(handler<AHandler7zip>()->addFiles({}, path("src"), "", nullptr, Preset{}, nullptr), -1);

  helpersPath() = path("no helpers here");
  auto host = std::make_shared<FakeHost>();
  auto orphan = handler<AHandler7zip>(host);
  EXPECT_EQ(orphan->addFiles({}, path("src"), path("never.7z"), nullptr, Preset{}, nullptr), -1);
  EXPECT_FALSE(orphan->url());
  EXPECT_NE(host->log().find("could not be found"), std::string::npos);
  expectNoScratchLeft();
}

}  // namespace
}  // namespace tessaro
