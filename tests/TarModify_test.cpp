// Extraction and creation through the tar family and the single-stream handlers: real round
// trips with GNU tar, gzip, bzip2 and xz on names that try to break out of their quotes, and the
// quoting the command lines rely on.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "ArchiveHandlerStream.h"
#include "ArchiveHandlerTar.h"
#include "HostApplication.h"
#include "ProcessGlobals.h"
#include "helpers.h"
#include "process/Subprocess.h"
#include "support/TreeDump.h"
#include "support/FakeHost.h"
#include "support/Processes.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"
#include "support/TextChecks.h"

namespace tessaro {
namespace {

namespace fs = std::filesystem;
using test::noChildrenLeft;
using test::shell;

const std::string kHelpers = TESSARO_TEST_HELPERS_DIR;

// Names that end their quotes, run commands, look like options or span lines; each would leave
// a file named "pwned" behind if the shell ever ran it.
const std::vector<std::string> kHostileNames = {
    "a\"; touch pwned; \".txt", "$(touch pwned)", "`touch pwned`", "back\\slash\\",   "-v",
    "--to-command=touch pwned", "new\nline",      "with space",    "caf\xc3\xa9.txt",
};

using test::readFile;

// Every "pwned" file below `folder`.
std::vector<std::string> pwnedFiles(const fs::path& folder) {
  std::vector<std::string> found;
  for (const auto& entry : fs::recursive_directory_iterator(folder))
    if (entry.path().filename() == "pwned") found.push_back(entry.path().string());
  return found;
}

using test::items;

class TarModifyTest : public ::testing::Test {
 protected:
  TarModifyTest() {
    env_.set("TZ", std::nullopt);
    savedHelpers_ = helpersPath();
    helpersPath() = kHelpers;
    // Any command that escapes its quotes runs in one of these folders.
    fs::create_directories(work() / "scratch");
    fs::create_directories(work() / "src");
    fs::create_directories(work() / "out");
  }
  ~TarModifyTest() override {
    EXPECT_EQ(pwnedFiles(home_.dir().path()), std::vector<std::string>{});
    helpersPath() = savedHelpers_;
    EXPECT_TRUE(noChildrenLeft());
  }

  fs::path work() const { return home_.dir().path(); }

  std::shared_ptr<ArchiveHandler> handler(const HandlerClass& handlerClass) {
    std::shared_ptr<ArchiveHandler> h = handlerClass.alloc();
    h->setDocumentsTempFolder((work() / "scratch").string());
    return h;
  }

  // A source tree with one file per hostile name, a folder holding more of them, and the
  // Finder's .DS_Store beside them.
  void makeSourceTree() {
    int n = 0;
    for (const std::string& name : kHostileNames) {
      std::ofstream(work() / "src" / name) << "content of " << name << " #" << ++n << "\n";
    }
    fs::create_directories(work() / "src" / "dir $x");
    std::ofstream(work() / "src" / "dir $x" / "`inner`") << "inner";
    std::ofstream(work() / "src" / "dir $x" / ".DS_Store") << "finder";
    std::ofstream(work() / "src" / ".DS_Store") << "finder";
  }

  std::vector<std::string> sourcePaths() const {
    std::vector<std::string> paths;
    for (const auto& entry : fs::directory_iterator(work() / "src")) paths.push_back(entry.path().string());
    return paths;
  }

  test::IsolatedHome home_;
  test::ScopedEnv env_;
  std::string savedHelpers_;
};

// The quoting every command line relies on gives the shell back exactly the text it was given.
TEST_F(TarModifyTest, QuotedTextsReachTheShellUnchanged) {
  std::vector<std::string> texts = kHostileNames;
  texts.insert(texts.end(), {"", "\\", "\\\"", "$", "${HOME}", "'single'", "a\\\nb", "!", "*", "~"});
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    SubprocessOptions options;
    options.workingDirectory = (work() / "scratch").string();
    const SubprocessResult result = run({"/bin/sh", "-c", "printf %s " + quotedForShell(text)}, options);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.output, text);
  }
  EXPECT_EQ(arrayToString({"a", "$b"}, " ", true), "\"a\" \"\\$b\"");
}

// ---- Round trips

TEST_F(TarModifyTest, EveryTarFlavourRoundTripsHostileNames) {
  makeSourceTree();
  const std::vector<std::string> paths = sourcePaths();
  struct Flavour {
    const HandlerClass& handlerClass;
    const char* archive;
  };
  for (const Flavour& flavour :
       {Flavour{AHandlerTar::metaclass(), "t.tar"}, Flavour{AHandlerTGz::metaclass(), "t.tgz"},
        Flavour{AHandlerTBz::metaclass(), "t.tbz"}, Flavour{AHandlerTXz::metaclass(), "t.txz"}}) {
    SCOPED_TRACE(flavour.archive);
    const std::string archive = (work() / flavour.archive).string();
    auto creator = handler(flavour.handlerClass);
    ASSERT_EQ(creator->addFiles(paths, "", archive, nullptr, Preset{{"compression", 3}}, nullptr), 0);
    EXPECT_EQ(creator->url(), archive);

    // Listed back: every name is there (tar prints a line feed as "\n" and a backslash doubled).
    std::vector<std::string> records;
    ASSERT_EQ(flavour.handlerClass.initWithURL(archive)->getInfo(records), 0);
    std::string listed = "|";
    for (const std::string& record : records) listed += record.substr(0, record.find('\t')) + "|";
    EXPECT_TRUE(test::contains(listed, "|path=a\"; touch pwned; \".txt|"));
    EXPECT_TRUE(test::contains(listed, "|path=--to-command=touch pwned|"));
    EXPECT_TRUE(test::contains(listed, "|path=dir $x/`inner`|"));
    EXPECT_TRUE(test::contains(listed, "|path=new\\nline|"));
    EXPECT_EQ(records.size(), kHostileNames.size() + 4);

    // Everything, then two single entries.
    const fs::path all = work() / "out" / (std::string(flavour.archive) + ".all");
    fs::create_directories(all);
    auto reader = flavour.handlerClass.initWithURL(archive);
    EXPECT_EQ(reader->extract(items({"*"}), all.string(), 1), 0);
    EXPECT_TRUE(test::sameTree(work() / "src", all));

    const fs::path some = work() / "out" / (std::string(flavour.archive) + ".some");
    fs::create_directories(some);
    EXPECT_EQ(reader->extract(items({"-v", "a\"; touch pwned; \".txt", "new\nline"}), some.string(), 1), 0);
    for (const std::string name : {"-v", "a\"; touch pwned; \".txt", "new\nline"})
      EXPECT_EQ(readFile(some / name), readFile(work() / "src" / name)) << name;
    EXPECT_EQ(std::distance(fs::directory_iterator(some), fs::directory_iterator()), 3);
  }
  // Nothing was left in the temporary folder, and no half-written archive beside the archives.
  EXPECT_TRUE(fs::is_empty(work() / "scratch"));
  for (const auto& entry : fs::directory_iterator(work()))
    EXPECT_FALSE(entry.path().filename().string().starts_with(".t.")) << entry.path();
}

// Without a list of paths the source folder's contents go in, through the shell's "*": names
// that look like options stay names.
TEST_F(TarModifyTest, ASourceFolderIsArchivedWholeAndDSStoreLeftOut) {
  makeSourceTree();
  const std::string archive = (work() / "folder.tgz").string();
  auto creator = handler(AHandlerTGz::metaclass());
  ASSERT_EQ(creator->addFiles({}, (work() / "src").string(), archive, nullptr, Preset{{"mode", 1}}, nullptr),
            0);
  ASSERT_EQ(creator->extract(items({"*"}), (work() / "out").string(), 0), 0);
  // The Finder's files are gone, at the top and below; all else is there as it was.
  EXPECT_FALSE(fs::exists(work() / "out" / "dir $x" / ".DS_Store"));
  fs::remove(work() / "src" / ".DS_Store");
  fs::remove(work() / "src" / "dir $x" / ".DS_Store");
  EXPECT_TRUE(test::sameTree(work() / "src", work() / "out"));
}

// The clean list's names, out of their __MACOSX folder with mode 0, are left out of the archive;
// the list lives in a visible folder of the application object for the run only.
TEST_F(TarModifyTest, TheCleanListExcludesNamesOutOfMacOSX) {
  shell(work() / "src", "mkdir a && echo b > a/b && echo fork > a/._b && echo '*' > 'a/*' && echo c > c");
  struct RecordingApp : HostApplication {
    std::optional<std::string> createTempFolderInside(std::string_view base, bool isVisible) override {
      made = HostApplication::createTempFolderInside(base, isVisible);
      visible = isVisible;
      return made;
    }
    bool removeTempFolder(std::string_view path) override {
      listText = readFile(fs::path(path) / "listfile");
      return HostApplication::removeTempFolder(path);
    }
    std::optional<std::string> made;
    bool visible = false;
    std::string listText;
  } app;
  theApp() = &app;
  std::vector<std::string> clean{"__MACOSX/a/._b", "a/*"};
  const std::string archive = (work() / "clean.tar").string();
  auto creator = handler(AHandlerTar::metaclass());
  const int32_t result = creator->addFiles({(work() / "src" / "a").string(), (work() / "src" / "c").string()},
                                           "", archive, nullptr, Preset{{"mode", 0}}, &clean);
  theApp() = nullptr;
  ASSERT_EQ(result, 0);

  ASSERT_TRUE(app.made);
  EXPECT_TRUE(app.visible);
  EXPECT_EQ(fs::path(*app.made).parent_path(), work() / "scratch");
  EXPECT_EQ(app.listText, "a/._b\na/*");
  EXPECT_FALSE(fs::exists(*app.made));

  std::vector<std::string> records;
  ASSERT_EQ(creator->getInfo(records), 0);
  std::string listed;
  for (const std::string& record : records) listed += record.substr(0, record.find('\t')) + "|";
  // "a/*" excluded as a name, not as a pattern that would take a/b with it.
  EXPECT_EQ(listed, "path=a/|path=a/b|path=c|");
}

// ---- Failures and hostile archives

TEST_F(TarModifyTest, AFailedOrCancelledUpdateLeavesTheArchiveAsItWas) {
  makeSourceTree();
  const std::string archive = (work() / "keep.tgz").string();
  auto creator = handler(AHandlerTGz::metaclass());
  ASSERT_EQ(creator->addFiles(sourcePaths(), "", archive, nullptr, Preset{}, nullptr), 0);
  const std::string before = readFile(archive);
  const auto leftovers = [&] {
    int count = 0;
    for (const auto& entry : fs::directory_iterator(work()))
      count += entry.path().filename().string().starts_with(".keep.tgz.");
    return count;
  };

  // The shell cannot start in a source folder that is gone.
  auto updater = handler(AHandlerTGz::metaclass());
  EXPECT_NE(updater->addFiles({}, (work() / "missing").string(), archive, nullptr, Preset{}, nullptr), 0);
  EXPECT_EQ(updater->url(), std::nullopt);
  EXPECT_EQ(readFile(archive), before);
  EXPECT_EQ(leftovers(), 0);

  // The user stops the copy while it runs: a cleared flag first, then the stop.
  shell(work(), "head -c 3000000 /dev/urandom > big.bin");
  auto cancelled = handler(AHandlerTGz::metaclass());
  auto host = std::make_shared<test::FakeHost>();
  host->onData = [weak = std::weak_ptr<ArchiveHandler>(cancelled)](const void*, int64_t) {
    if (auto h = weak.lock()) h->setOperationCancelled(true);
    return 0;
  };
  cancelled->setCallbackHandler(host);
  cancelled->setOperationCancelled(true);
  EXPECT_EQ(cancelled->addFiles({(work() / "big.bin").string()}, "", archive, nullptr, Preset{}, nullptr), 1);
  EXPECT_TRUE(cancelled->operationCancelled());
  EXPECT_EQ(readFile(archive), before);
  EXPECT_EQ(leftovers(), 0);

  // An update through a symbolic link replaces the file it names and keeps the link.
  fs::create_symlink(archive, work() / "link.tgz");
  auto linked = handler(AHandlerTGz::metaclass());
  ASSERT_EQ(linked->addFiles({(work() / "big.bin").string()}, "", (work() / "link.tgz").string(), nullptr,
                             Preset{}, nullptr),
            0);
  EXPECT_TRUE(fs::is_symlink(work() / "link.tgz"));
  EXPECT_NE(readFile(archive), before);
}

// GNU tar keeps every member inside the destination: "..", absolute names, and a symbolic link
// to the outside followed by a member through it.
TEST_F(TarModifyTest, ExtractionWritesNothingOutsideTheDestination) {
  shell(work(), R"sh(
mkdir -p outside mk/deep
echo up > outside/up.txt
echo abs > outside/abs.txt
cd mk
ln -s ../../outside escape
tar -P -cf ../evil.tar ../outside/up.txt "$(cd .. && pwd)/outside/abs.txt" escape
rm escape && mkdir escape && echo through > escape/file
tar -rf ../evil.tar escape/file
ln -s "$(cd .. && pwd)/outside" abs && tar -rf ../evil.tar abs && rm abs
mkdir abs && echo through > abs/file && tar -rf ../evil.tar abs/file
gzip -c ../evil.tar > ../evil.tgz
rm ../outside/up.txt ../outside/abs.txt
)sh");
  for (const char* name : {"evil.tar", "evil.tgz"}) {
    SCOPED_TRACE(name);
    const fs::path dest = work() / "out" / name;
    fs::create_directories(dest);
    const HandlerClass& handlerClass =
        std::string(name) == "evil.tar" ? AHandlerTar::metaclass() : AHandlerTGz::metaclass();
    handlerClass.initWithURL((work() / name).string())->extract(items({"*"}), dest.string(), 1);
    EXPECT_TRUE(fs::is_empty(work() / "outside"));
    // The absolute member lands inside, without its leading "/".
    EXPECT_TRUE(fs::exists(dest / fs::path(work().string().substr(1)) / "outside" / "abs.txt"));
  }
  // "../" from a destination would have landed beside it.
  EXPECT_EQ(std::distance(fs::directory_iterator(work() / "out"), fs::directory_iterator()), 2);
}

TEST_F(TarModifyTest, SingleStreamsExtractToTheirNameWithoutExtension) {
  const std::string hostile = "a\"; touch pwned; \".txt";
  std::ofstream(work() / "src" / "notes.txt") << "notes\n";
  std::ofstream(work() / "src" / hostile) << "hostile\n";
  std::ofstream(work() / "src" / "$(touch pwned)") << "dollar\n";
  shell(work() / "src", "gzip -k notes.txt && bzip2 -k \"$(ls | grep '^a')\" && xz -k '$(touch pwned)'");

  struct Case {
    const HandlerClass& handlerClass;
    std::string archive;
    std::string output;
  };
  for (const Case& c : {Case{AHandlerGZip::metaclass(), "notes.txt.gz", "notes.txt"},
                        Case{AHandlerBZip::metaclass(), hostile + ".bz2", hostile},
                        Case{AHandlerXz::metaclass(), "$(touch pwned).xz", "$(touch pwned)"}}) {
    SCOPED_TRACE(c.archive);
    auto h = c.handlerClass.initWithURL((work() / "src" / c.archive).string());
    ASSERT_TRUE(h);
    EXPECT_EQ(h->extract(items({"ignored"}), (work() / "out").string(), 0), 0);
    EXPECT_EQ(readFile(work() / "out" / c.output), readFile(work() / "src" / c.output));
    // A stream holds one file: adding is refused and writes nothing.
    EXPECT_EQ(h->addFiles({(work() / "src" / "notes.txt").string()}, "", (work() / "new.gz").string(),
                          nullptr, Preset{}, nullptr),
              -1);
    EXPECT_FALSE(fs::exists(work() / "new.gz"));
  }
  // A stream whose name leaves no name for its file is not extracted.
  std::ofstream(work() / "src" / "..gz") << "";
  EXPECT_EQ(AHandlerGZip::metaclass()
                .initWithURL((work() / "src" / "..gz").string())
                ->extract({}, (work() / "out").string(), 0),
            4);
}

}  // namespace
}  // namespace tessaro
