// The RAR handler's changes through the `rar` tool: real runs on archives that `rar` makes at
// test time, checked by listing them afterwards through the UnRAR library.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "ArchiveHandlerRar.h"
#include "FolderWatcher.h"
#include "defaults/UserDefaults.h"
#include "support/FakeHost.h"
#include "support/Processes.h"
#include "support/TempDir.h"

namespace tessaro {
namespace {

namespace fs = std::filesystem;
using test::shell;
using Args = std::vector<std::string>;

constexpr const char* kRar = "/usr/bin/rar";

using test::readFile;

// A host that records progress and never asks for anything.
class ProgressHost : public test::FakeHost {
 public:
  ProgressHost() {
    dataAnswer = 1;
    volumeAnswer = 1;
  }
};

std::shared_ptr<AHandlerRar> open(const fs::path& path) {
  return std::dynamic_pointer_cast<AHandlerRar>(AHandlerRar::metaclass().initWithURL(path.string()));
}

// A handler with no archive yet, as the host makes one for a new archive.
std::shared_ptr<AHandlerRar> fresh() {
  return std::dynamic_pointer_cast<AHandlerRar>(AHandlerRar::metaclass().alloc());
}

// The sorted entry paths of a listing, "*" after an encrypted one, or the failing status.
std::string entries(const fs::path& archive, const std::string& password = {}) {
  const std::shared_ptr<AHandlerRar> handler = open(archive);
  if (!handler) return "no handler";
  handler->setPassword(password);
  std::vector<std::string> records;
  const int32_t status = handler->getInfo(records);
  if (status != 0) return "status " + std::to_string(status);
  std::vector<std::string> paths;
  for (const std::string& record : records) {
    paths.push_back(record.substr(5, record.find('\t') - 5));
    if (record.find("\ttype=*\t") != std::string::npos) paths.back() += "*";
  }
  std::sort(paths.begin(), paths.end());
  std::string text;
  for (const std::string& entry : paths) text += entry + " ";
  return text;
}

// ---- Runs of the real tool

class RarModifyTest : public ::testing::Test {
 protected:
  RarModifyTest() {
    EXPECT_TRUE(UserDefaults::standard().setObject("rar", PropertyList(kRar)));
    shell(dir_.path(), R"sh(
mkdir -p src/docs src/sub/deep
printf 'hello\n' > src/a.txt
printf 'second\n' > src/docs/b.txt
printf 'deep\n' > src/sub/deep/c.txt
printf 'skip\n' > src/sub/skip.txt
)sh");
  }
  fs::path path(const std::string& name) const { return dir_.path() / name; }

  test::IsolatedHome home_;
  test::TempDir dir_;
};

// Every add switch at once through the real tool, checked by what comes out: volumes in
// thousands, strongest compression, extra switches, a folder inside the archive, and the
// password on rar's prompt rather than in its arguments.
TEST_F(RarModifyTest, AddingWithEveryPresetSwitchMakesTheArchiveAsked) {
  shell(dir_.path(), "head -c 120000 /dev/urandom > src/rand");
  const std::shared_ptr<AHandlerRar> handler = fresh();
  auto host = std::make_shared<ProgressHost>();
  handler->setCallbackHandler(host);
  handler->setPassword("pw");
  const AZipItem::Ptr parent = AZipItem::initWithPath("docs/old/");
  const Preset preset{{"compression", PropertyList(5)},
                      {"encryption", PropertyList(2)},
                      {"additionalParams", PropertyList("-rr3%  -tl")},
                      {"mode", PropertyList(1)},
                      {"volumeSize", PropertyList(50)},
                      {"volumeUnit", PropertyList(0)}};
  ASSERT_EQ(handler->addFiles({"a.txt", "rand"}, path("src").string(), path("set.part1.rar").string(),
                              parent.get(), preset, nullptr),
            0);
  EXPECT_TRUE(fs::exists(path("set.part3.rar")));
  EXPECT_FALSE(fs::exists(path("set.part4.rar")));
  EXPECT_EQ(entries(path("set.part1.rar"), "pw"), "docs/old/a.txt* docs/old/rand* ");
  EXPECT_FALSE(handler->isListingEncrypted());
  fs::create_directory(path("out"));
  const std::shared_ptr<AHandlerRar> reader = open(path("set.part1.rar"));
  reader->setPassword("pw");
  EXPECT_EQ(reader->extract({AZipItem::initWithPath("*")}, path("out").string(), 0), 0);
  EXPECT_EQ(readFile(path("out/docs/old/rand")), readFile(path("src/rand")));

  // Sizes no disk holds, or nonsense, make no volumes rather than an overflowed switch.
  for (PropertyList size : {PropertyList(1e30), PropertyList(-5), PropertyList("many")})
    EXPECT_EQ(rarAddCommand({}, "/in/x.rar", "", {{"volumeSize", size}, {"volumeUnit", PropertyList(1)}}, "",
                            {}, "/s")
                  .volumeSize,
              0);
  EXPECT_EQ(rarProgress("\b\b\b\b 41%\b\b\b\b 62%"), 62);
  EXPECT_EQ(rarProgress("  OK \n"), std::nullopt);
}

TEST_F(RarModifyTest, WithoutTheToolNothingChangesAndNothingIsOffered) {
  UserDefaults::standard().setObject("rar",
                                     PropertyList((dir_.path() / "src/a.txt").string()));  // not executable
  EXPECT_EQ(AHandlerRar::metaclass().canSave(), 0);
  EXPECT_FALSE(AHandlerRar::metaclass().canRepair());
  shell(dir_.path(), "cd src && rar a -idq ../x.rar a.txt");
  const std::shared_ptr<AHandlerRar> handler = open(path("x.rar"));
  EXPECT_FALSE(handler->canUpdate());
  EXPECT_EQ(handler->addFiles({"docs"}, path("src").string(), path("x.rar").string(), nullptr, {}, nullptr),
            -1);
  EXPECT_EQ(handler->deleteFiles({AZipItem::initWithPath("a.txt")}), -1);
  EXPECT_EQ(handler->moveFiles(Args{"a.txt"}, Args{"b.txt"}), -1);
  EXPECT_EQ(handler->repair(), -1);
  EXPECT_EQ(entries(path("x.rar")), "a.txt ");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator()), 2);

  UserDefaults::standard().setObject("rar", PropertyList(kRar));
  EXPECT_EQ(AHandlerRar::metaclass().canSave(), 2);
  EXPECT_TRUE(AHandlerRar::metaclass().canRepair());
  EXPECT_TRUE(handler->canUpdate());
}

TEST_F(RarModifyTest, EncryptedNamesNeedThePasswordToList) {
  const std::shared_ptr<AHandlerRar> names = fresh();
  names->setPassword("pw");
  EXPECT_EQ(names->addFiles({"a.txt", "docs"}, path("src").string(), path("names.rar").string(), nullptr,
                            {{"encryption", PropertyList(3)}}, nullptr),
            0);
  EXPECT_TRUE(names->isListingEncrypted());
  EXPECT_EQ(entries(path("names.rar")), "status 100");
  EXPECT_EQ(entries(path("names.rar"), "pw"), "a.txt* docs docs/b.txt* ");
}

TEST_F(RarModifyTest, AWrongPasswordIsReportedByDeleteAndRename) {
  shell(dir_.path(), "cd src && rar a -idq -hppw ../n.rar a.txt docs");
  const std::shared_ptr<AHandlerRar> handler = open(path("n.rar"));
  handler->setPassword("wrong");
  EXPECT_EQ(handler->deleteFiles({AZipItem::initWithPath("a.txt")}), 100);
  EXPECT_EQ(handler->moveFiles(Args{"a.txt"}, Args{"b.txt"}), 100);
  handler->setPassword("pw");
  EXPECT_EQ(handler->moveFiles(Args{"a.txt"}, Args{"b.txt"}), 0);
  EXPECT_EQ(entries(path("n.rar"), "pw"), "b.txt* docs docs/b.txt* ");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator()), 2);
}

// A stand-in for rar that logs its folder, its arguments and its list files, writes 200000 bytes
// into the -w folder in two steps over about 1.4 seconds, and for "r" leaves a "fixed." copy of
// the volume in its folder.
constexpr const char* kFakeRar = R"sh(#!/bin/sh
log="$(dirname "$0")/log"
echo "in $(pwd)" >> "$log"
printf '%s\n' "$@" >> "$log"
work=
for a; do
  case "$a" in
    -w*) work="${a#-w}" ;;
    -p) echo "stdin:" >> "$log"; head -n 1 >> "$log" ;;
    @*) echo "list:" >> "$log"; cat "${a#@}" >> "$log"; echo >> "$log" ;;
  esac
done
if [ -n "$work" ]; then
  head -c 100000 /dev/zero > "$work/new"; sleep 0.7
  head -c 100000 /dev/zero >> "$work/new"; sleep 0.7
fi
if [ "$1" = r ]; then printf fixed > "fixed.$(basename "$3")"; fi
exit 0
)sh";

// A host that also takes the work folder's growth itself.
class WatchingHost : public ProgressHost, public FolderWatcherDelegate {
 public:
  void watchedFolderChangedBy(double delta) override {
    std::lock_guard lock(mutex_);
    deltas.push_back(delta);
  }
  double grown() {
    std::lock_guard lock(mutex_);
    double sum = 0;
    for (double delta : deltas) sum += delta;
    return sum;
  }
  std::vector<double> deltas;

 private:
  std::mutex mutex_;
};

TEST_F(RarModifyTest, DeleteRenameAndRepairRunTheToolAsDescribed) {
  const fs::path tool = path("tool");
  fs::create_directory(tool);
  dir_.write("tool/rar", kFakeRar);
  fs::permissions(tool / "rar", fs::perms::owner_all);
  ASSERT_TRUE(UserDefaults::standard().setObject("rar", PropertyList((tool / "rar").string())));
  fs::create_directory(path("arc"));
  dir_.write("arc/v.part1.rar", std::string(200000, 'x'));
  dir_.write("arc/v.part2.rar", "2");
  const std::shared_ptr<AHandlerRar> handler = open(path("arc/v.part1.rar"));

  // A host that is no folder-watcher delegate sees the growth as a share of the archive's size.
  auto host = std::make_shared<ProgressHost>();
  handler->setCallbackHandler(host);
  EXPECT_EQ(handler->deleteFiles({AZipItem::initWithPath("a.txt"), AZipItem::initWithPath("sub/")}), 0);
  const std::vector<int> percents = host->percents();
  ASSERT_FALSE(percents.empty());
  EXPECT_GE(*std::max_element(percents.begin(), percents.end()), 50);
  EXPECT_LE(*std::max_element(percents.begin(), percents.end()), 100);

  auto watching = std::make_shared<WatchingHost>();
  handler->setCallbackHandler(watching);
  handler->setPassword("pw");
  EXPECT_EQ(handler->moveFiles(Args{"a.txt", "sub/"}, Args{"b.txt", "folder"}), 0);
  EXPECT_FALSE(watching->deltas.empty());
  EXPECT_GE(watching->grown(), 100000);
  EXPECT_TRUE(watching->percents().empty());

  handler->setPassword("");
  EXPECT_EQ(handler->repair(), 0);
  EXPECT_EQ(readFile(path("arc/v.part1.rar")), "fixed");
  EXPECT_EQ(readFile(path("arc/v.part2.rar")), "fixed");
  EXPECT_EQ(readFile(path("arc/v.part1.rar (damaged)/v.part1.rar")), std::string(200000, 'x'));
  EXPECT_EQ(readFile(path("arc/v.part1.rar (damaged)/v.part2.rar")), "2");

  // The log with the temporary names made fixed: work folders lie hidden beside the archive, list
  // files in a folder of their own.
  const std::string arc = path("arc").string();
  std::string log =
      std::regex_replace(readFile(tool / "log"), std::regex("\n-w" + arc + "/\\.[^/\n]+\n"), "\n-wWORK\n");
  log = std::regex_replace(log, std::regex("\n@/[^\n]+/listfile\n"), "\n@LIST\n");
  // Deletion and renaming run where the caller is.
  const std::string here = fs::current_path().string();
  EXPECT_EQ(log, "in " + here + "\nd\n-p-\n-wWORK\n" + arc +
                     "/v.part1.rar\n@LIST\nlist:\na.txt\nsub\n"
                     "in " +
                     here + "\nrn\n-p\n-wWORK\n" + arc +
                     "/v.part1.rar\n@LIST\nstdin:\npw\nlist:\na.txt\nb.txt\nsub\nfolder\n\n"
                     "in " +
                     arc + "\nrc\n-p-\n" + arc +
                     "/v.part1.rar\n"
                     "in " +
                     arc + "/v.part1.rar (damaged)\nr\n-p-\n" + arc +
                     "/v.part1.rar\n"
                     "in " +
                     arc + "/v.part1.rar (damaged)\nr\n-p-\n" + arc + "/v.part2.rar\n");
  // Only the archive's volumes and the folder of damaged ones remain.
  EXPECT_EQ(std::distance(fs::directory_iterator(path("arc")), fs::directory_iterator()), 3);
}

// Inverts `count` bytes at `offset` of the file.
void damage(const fs::path& file, std::streamoff offset, size_t count) {
  std::fstream io(file, std::ios::binary | std::ios::in | std::ios::out);
  std::string bytes(count, '\0');
  io.seekg(offset);
  io.read(bytes.data(), static_cast<std::streamsize>(count));
  for (char& c : bytes) c = static_cast<char>(~c);
  io.seekp(offset);
  io.write(bytes.data(), static_cast<std::streamsize>(count));
}

TEST_F(RarModifyTest, RepairMendsARecoveryRecordArchiveAndKeepsTheDamagedOne) {
  shell(dir_.path(),
        "head -c 300000 /dev/urandom > src/rand && cd src && rar a -idq -m0 -rr5% ../r.rar rand a.txt");
  const std::string original = readFile(path("r.rar"));
  damage(path("r.rar"), 100000, 200);
  const std::string damaged = readFile(path("r.rar"));
  ASSERT_NE(open(path("r.rar"))->extract({AZipItem::initWithPath("*")}, dir_.str(), 3), 0);

  const std::shared_ptr<AHandlerRar> handler = open(path("r.rar"));
  auto host = std::make_shared<ProgressHost>();
  handler->setCallbackHandler(host);
  EXPECT_EQ(handler->repair(), 0);
  EXPECT_EQ(handler->extract({AZipItem::initWithPath("*")}, dir_.str(), 3), 0);
  EXPECT_EQ(entries(path("r.rar")), "a.txt rand ");
  EXPECT_EQ(readFile(path("r.rar (damaged)/r.rar")), damaged);
  EXPECT_FALSE(host->percents().empty());

  // A second repair finds nothing to mend: the archive stays, no empty folder is left, and the
  // name of the first folder is not reused.
  EXPECT_EQ(handler->repair(), 0);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator()), 3);
  EXPECT_EQ(readFile(path("r.rar")).size(), original.size());
}

TEST_F(RarModifyTest, RepairRebuildsAMissingVolumeFromTheRecoveryVolumes) {
  shell(dir_.path(), R"sh(
head -c 250000 /dev/urandom > src/rand
cd src && rar a -idq -m0 -v100k -rv1 ../v.rar rand a.txt && cd ..
cp v.part2.rar kept && rm v.part2.rar
)sh");
  EXPECT_EQ(entries(path("v.part1.rar")), "status 4");
  const std::shared_ptr<AHandlerRar> handler = open(path("v.part1.rar"));
  EXPECT_EQ(handler->repair(), 0);
  EXPECT_EQ(readFile(path("v.part2.rar")), readFile(path("kept")));
  EXPECT_EQ(entries(path("v.part1.rar")), "a.txt rand ");
}

}  // namespace
}  // namespace tessaro
