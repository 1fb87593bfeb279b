// The RAR handler on the UnRAR library: RAR 5 archives that `rar` makes at test time and the
// RAR 4 samples of the shared fixtures, listed, tested and extracted; and the tessaro program
// and the preview on them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "ArchiveHandlerRar.h"
#include "HandlerRegistry.h"
#include "ListingPipeline.h"
#include "ProcessGlobals.h"
#include "log/SystemLog.h"
#include "process/Subprocess.h"
#include "support/FakeHost.h"
#include "support/Golden.h"
#include "support/ScopedEnv.h"
#include "support/SuiteFixtures.h"
#include "support/Files.h"
#include "support/TempDir.h"
#include "support/TreeDump.h"
#include "support/Processes.h"

namespace tessaro {
namespace {

using test::shell;

namespace fs = std::filesystem;

const fs::path kRar4 = fs::path(TESSARO_FIXTURES_DIR) / "rar4";

using test::readFile;

// A tree with folders, odd Unix modes, a symbolic link and a file of random bytes, then the
// archives made from it. Dates are set in UTC; the tests read them in UTC too.
constexpr const char* kMakeArchives = R"sh(
mkdir -p tree/sub/deep
printf 'hello\n' > tree/a.txt
printf 'x%.0s' $(seq 1 3000) > tree/sub/deep/big.txt
head -c 300000 /dev/urandom > tree/rand
ln -s a.txt tree/link
chmod 4755 tree/a.txt
chmod 2744 tree/sub/deep/big.txt
chmod 644 tree/rand
chmod 750 tree/sub
chmod 755 tree tree/sub/deep
TZ=UTC touch -h -d '2020-05-01 01:02:04' tree/a.txt tree/link tree/rand tree/sub/deep/big.txt tree/sub/deep tree/sub tree
rar a -idq -m0 -ol plain.rar tree
rar a -idq -psecret data.rar tree
rar a -idq -hpsecret names.rar tree
rar a -idq -m0 -v100k -rv2 vol.rar tree
printf 'A comment\nover two lines' > comment.txt
rar c -idq -zcomment.txt plain.rar
)sh";

// A host that answers passwords from a list and records what it was asked.
class ScriptedHost : public test::FakeHost {
 public:
  explicit ScriptedHost(std::vector<std::string> answers) : FakeHost(std::move(answers)) {
    dataAnswer = 1;
    volumeAnswer = 1;
    onPassword = [this](PlistDictionary& params) {
      isRar = params["isRar"].asBool().value_or(false);
      runningWhileAsked = runningHandlers().size();
    };
  }
  // A host answering `answers`, made the handler's; the handler holds it weakly, so keep it.
  static std::shared_ptr<ScriptedHost> on(ArchiveHandler& handler, std::vector<std::string> answers = {}) {
    auto host = std::make_shared<ScriptedHost>(std::move(answers));
    handler.setCallbackHandler(host);
    return host;
  }
  bool isRar = false;
  size_t runningWhileAsked = 0;
};

class RarHandlerTest : public test::SuiteFixtures<RarHandlerTest> {
 public:
  static constexpr const char* kFixtureScript = kMakeArchives;

 protected:
  RarHandlerTest() { env_.set("TZ", "UTC"); }

  static std::shared_ptr<AHandlerRar> open(const fs::path& path) {
    return std::dynamic_pointer_cast<AHandlerRar>(AHandlerRar::metaclass().initWithURL(path.string()));
  }

  static std::string listing(const fs::path& path, int32_t expectedStatus = 0) {
    AZipItem::Ptr root;
    EXPECT_EQ(getInfo(path.string(), root), expectedStatus) << path;
    return root ? test::dumpTree(*root, true) : "no root";
  }

  // The handler's records; getInfo must give `expected`.
  static std::vector<std::string> records(AHandlerRar& handler, int32_t expected = 0) {
    std::vector<std::string> out;
    EXPECT_EQ(handler.getInfo(out), expected);
    return out;
  }

  static std::string volumeNames(const ArchiveHandler& handler) {
    std::string names;
    for (const VolumePart& part : handler.parts()) names += part.name + " ";
    return names;
  }

  test::IsolatedHome home_;
  test::ScopedEnv env_;
};

TEST_F(RarHandlerTest, Rar5RecordsCarryEveryFieldInTheirFixedForm) {
  const std::shared_ptr<AHandlerRar> handler = open(fixture("plain.rar"));
  ASSERT_TRUE(handler);
  const std::vector<std::string> list = records(*handler);
  ASSERT_EQ(list.size(), 7u);
  // The time fields are blank-padded, not zero-padded; the CRC is upper case without padding.
  const auto aTxt = std::find_if(list.begin(), list.end(),
                                 [](const std::string& r) { return r.starts_with("path=tree/a.txt\t"); });
  ASSERT_NE(aTxt, list.end());
  EXPECT_EQ(*aTxt,
            "path=tree/a.txt\tattr=-rwsr-xr-x\tvers=x\tunco=6\tcomp=6\ttype=0\tmeth=x\tcrc_=363A3020\t"
            "time=2020- 5- 1  1: 2: 4");
  EXPECT_EQ(handler->comment(), "A comment\nover two lines");
}

TEST_F(RarHandlerTest, EncryptedDataListsWithMarkedEntriesButHiddenNamesDoNot) {
  AZipItem::Ptr root;
  ASSERT_EQ(getInfo(fixture("data.rar"), root), 0);
  const std::shared_ptr<AHandlerRar> handler = open(fixture("data.rar"));
  int encrypted = 0;
  for (const AZipItem::Ptr& item : root->collectDescendants()) {
    if (handler->isItemEncrypted(*item)) {
      ++encrypted;
      EXPECT_EQ(handler->itemEncryptionMethod(*item), 2);
    }
  }
  EXPECT_EQ(encrypted, 4);  // the files; folders carry no data

  const std::shared_ptr<AHandlerRar> names = open(fixture("names.rar"));
  EXPECT_TRUE(records(*names, 100).empty());
  EXPECT_TRUE(names->isListingEncrypted());
  EXPECT_EQ(names->itemEncryptionMethod(*root), 3);

  const std::shared_ptr<AHandlerRar> known = open(fixture("names.rar"));
  known->setPassword("secret");
  EXPECT_EQ(records(*known).size(), 7u);
}

TEST_F(RarHandlerTest, APasswordRequestGoesToTheHostWhileTheHandlerIsRunning) {
  const std::shared_ptr<AHandlerRar> handler = open(fixture("names.rar"));
  const auto host = ScriptedHost::on(*handler, {"secret"});
  EXPECT_EQ(records(*handler).size(), 7u);
  EXPECT_EQ(host->modes, std::vector<int64_t>{257});
  EXPECT_TRUE(host->isRar);
  EXPECT_EQ(host->runningWhileAsked, 1u);
  {
    // A password store in mode 3 asks for the mode 1 prompt.
    passwordStoreMode() = [] { return 3; };
    const std::shared_ptr<AHandlerRar> again = open(fixture("names.rar"));
    const auto storeHost = ScriptedHost::on(*again, {"secret"});
    records(*again);
    passwordStoreMode() = nullptr;
    EXPECT_EQ(storeHost->modes, std::vector<int64_t>{1});
  }
  EXPECT_TRUE(runningHandlers().empty());
  // Asked during the listing, so the listing counts as encrypted although it succeeded.
  EXPECT_TRUE(handler->isListingEncrypted());

  const std::shared_ptr<AHandlerRar> refused = open(fixture("names.rar"));
  const auto silent = ScriptedHost::on(*refused, {""});
  records(*refused, 100);
}

TEST_F(RarHandlerTest, TheCallbackGivesDefaultAnswersWithoutAHostAndCutsLongPasswords) {
  const std::shared_ptr<AHandlerRar> handler = open(fixture("plain.rar"));
  char path[] = "/nowhere/x.part2.rar";
  const long pathArg = reinterpret_cast<long>(path);
  EXPECT_EQ(handler->handleRARCallBack(0, pathArg, 1), 1);   // next volume found: go on
  EXPECT_EQ(handler->handleRARCallBack(0, pathArg, 0), -1);  // volume missing: stop
  char buffer[16] = "untouched";
  EXPECT_EQ(handler->handleRARCallBack(2, reinterpret_cast<long>(buffer), sizeof buffer), -1);
  EXPECT_STREQ(buffer, "untouched");
  handler->setOperationCancelled(true);
  EXPECT_EQ(handler->handleRARCallBack(0, pathArg, 1), -1);
  // A password longer than the library's buffer is cut to fit.
  const std::shared_ptr<AHandlerRar> asking = open(fixture("plain.rar"));
  const auto host = ScriptedHost::on(*asking, {"0123456789"});
  char small[6];
  EXPECT_EQ(asking->handleRARCallBack(2, reinterpret_cast<long>(small), sizeof small), 1);
  EXPECT_STREQ(small, "01234");
}

TEST_F(RarHandlerTest, AnyVolumeOpensTheSetFromItsFirstVolume) {
  const std::shared_ptr<AHandlerRar> handler = open(fixture("vol.part2.rar"));
  ASSERT_TRUE(handler && handler->url());
  EXPECT_EQ(*handler->url(), fixture("vol.part1.rar"));
  // The recovery volumes follow the data volumes, and are no volume to open a set by.
  EXPECT_EQ(volumeNames(*handler), "vol.part1.rar vol.part2.rar vol.part3.rar vol.part1.rev vol.part2.rev ");
  for (const VolumePart& part : handler->parts())
    EXPECT_EQ(part.size, static_cast<int64_t>(fs::file_size(fixture(part.name)))) << part.name;
  EXPECT_FALSE(handler->isFirstFile(fixture("vol.part1.rev")));
  EXPECT_EQ(handler->baseName(), "vol");
  // A continued entry is listed once, with the packed size of its first volume.
  const std::string text = listing(fixture("vol.part3.rar"));
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 7) << text;
  EXPECT_NE(text.find("tree/rand unco=300000 comp=1"), std::string::npos) << text;
  EXPECT_NE(text.find("tree/sub/deep/big.txt unco=3000 comp=3000"), std::string::npos) << text;
  // So does the six-volume RAR 4 sample.
  test::TempDir set;
  const std::string third =
      (test::copyRar4VolumeSet(TESSARO_FIXTURES_DIR, set.path()).parent_path() / "six.part3.rar").string();
  EXPECT_EQ(open(third)->parts().size(), 6u);
  const std::string six = listing(third);
  EXPECT_EQ(std::count(six.begin(), six.end(), '\n'), 2) << six;
}

TEST_F(RarHandlerTest, AMissingOrDamagedVolumeEndsWithWhatWasRead) {
  test::TempDir dir;
  fs::copy_file(fixture("vol.part1.rar"), dir.path() / "vol.part1.rar");
  fs::copy_file(fixture("vol.part3.rar"), dir.path() / "vol.part3.rar");
  const std::shared_ptr<AHandlerRar> handler = open(dir.path() / "vol.part3.rar");
  EXPECT_EQ(volumeNames(*handler), "vol.part1.rar vol.part3.rar ");
  const std::vector<std::string> read = records(*handler, 4);
  ASSERT_GE(read.size(), 1u);
  EXPECT_LT(read.size(), 7u);
  EXPECT_EQ(read[0].substr(0, 15), "path=tree/rand\t");

  // Extraction stops at the gap, leaves nothing half written and nothing beside the destination.
  fs::create_directory(dir.path() / "out");
  EXPECT_EQ(handler->extract(test::items({"*"}), (dir.path() / "out").string(), 1), 4);
  EXPECT_FALSE(fs::exists(dir.path() / "out/tree/rand"));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 3);

  test::TempDir damaged;
  for (const char* name : {"vol.part1.rar", "vol.part2.rar", "vol.part3.rar"})
    fs::copy_file(fixture(name), damaged.path() / name);
  fs::resize_file(damaged.path() / "vol.part2.rar", 50000);
  std::vector<std::string> partial;
  EXPECT_NE(open(damaged.path() / "vol.part1.rar")->getInfo(partial), 100);
  fs::create_directory(damaged.path() / "out");
  EXPECT_EQ(open(damaged.path() / "vol.part1.rar")
                ->extract(test::items({"*"}), (damaged.path() / "out").string(), 1),
            4);
  EXPECT_FALSE(fs::exists(damaged.path() / "out/tree/rand"));
}

TEST_F(RarHandlerTest, VolumeSetsAreFoundInAllThreeNamingFamilies) {
  test::TempDir dir;
  std::vector<std::string> logged;
  setLogSinkForTesting([&](int, std::string_view message) {
    if (message.find("Parts seem to be missing.") != std::string_view::npos) logged.emplace_back(message);
  });
  for (const char* name : {"x.rar", "x.r00", "x.r01", "x.r03", "x.r04", "x.r05", "x.s00", "y.part01.rar",
                           "y.part02.rar", "y.part01.rev", "z.001", "z.002", "z.004"})
    dir.write(name, "123");
  const std::shared_ptr<AHandlerRar> old = open(dir.path() / "x.r04");
  EXPECT_EQ(volumeNames(*old), "x.rar x.r00 x.r01 x.r03 x.r04 x.r05 x.s00 ");
  EXPECT_EQ(old->parts()[0].size, 3);
  EXPECT_EQ(logged.size(), 3u);  // x.r03 to x.r05 follow the gap

  EXPECT_EQ(volumeNames(*open(dir.path() / "y.part02.rar")), "y.part01.rar y.part02.rar y.part01.rev ");
  EXPECT_EQ(volumeNames(*open(dir.path() / "z.002")), "z.001 z.002 z.004 ");
  setLogSinkForTesting({});
}

// RAR 5 numbers: 7 bits a byte, lowest first, the high bit set while more bytes follow.
uint64_t readVint(std::string_view data, size_t& at) {
  uint64_t value = 0;
  for (int shift = 0; shift < 64 && at < data.size(); shift += 7) {
    const auto byte = static_cast<unsigned char>(data[at++]);
    value |= uint64_t{byte & 0x7Fu} << shift;
    if (!(byte & 0x80)) break;
  }
  return value;
}

std::string vint(uint64_t value) {
  std::string out;
  do {
    out += static_cast<char>((value & 0x7F) | (value > 0x7F ? 0x80 : 0));
    value >>= 7;
  } while (value);
  return out;
}

// The one-file archive with the unpacked size in its file header replaced and that header's CRC
// made good again; the packed data stays. The file header follows the signature and the main
// header, which has no data; without a quick-open record nothing points past the longer header.
std::string withUnpackedSize(const std::string& archive, uint64_t size) {
  size_t at = 8 + 4;  // the signature "Rar!\x1A\x07\x01\x00", the main header's CRC
  at += readVint(archive, at);
  const size_t block = at;
  at += 4;
  const uint64_t headerSize = readVint(archive, at);
  const std::string header = archive.substr(at, headerSize);
  size_t field = 0;
  readVint(header, field);  // the block type
  const uint64_t flags = readVint(header, field);
  // The extra area's size and the data size when the flags say so, then the file flags.
  for (const bool present : {(flags & 0x01) != 0, (flags & 0x02) != 0, true})
    if (present) readVint(header, field);
  const size_t sizeAt = field;
  readVint(header, field);
  const std::string patched = header.substr(0, sizeAt) + vint(size) + header.substr(field);
  const std::string sized = vint(patched.size()) + patched;
  const uLong crc = ::crc32(0, reinterpret_cast<const Bytef*>(sized.data()), static_cast<uInt>(sized.size()));
  std::string crcBytes;
  for (int k = 0; k < 4; ++k) crcBytes += static_cast<char>((crc >> (8 * k)) & 0xFF);
  return archive.substr(0, block) + crcBytes + sized + archive.substr(at + headerSize);
}

TEST_F(RarHandlerTest, SizesBeyondFourGibibytesAreListedWhole) {
  test::TempDir dir;
  shell(dir.path(), "printf hello > huge.bin && rar a -idq -m0 -qo- small.rar huge.bin");
  const uint64_t fiveGiB = uint64_t{5} << 30;
  dir.write("huge.rar", withUnpackedSize(readFile(dir.path() / "small.rar"), fiveGiB));
  const std::vector<std::string> huge = records(*open(dir.path() / "huge.rar"));
  ASSERT_EQ(huge.size(), 1u);
  EXPECT_NE(huge[0].find("\tunco=5368709120\tcomp=5\t"), std::string::npos) << huge[0];
  // The high word alone: exactly 4 GiB is not 0.
  dir.write("four.rar", withUnpackedSize(readFile(dir.path() / "small.rar"), uint64_t{1} << 32));
  EXPECT_NE(listing(dir.path() / "four.rar").find("huge.bin unco=4294967296 comp=5"), std::string::npos);
}

// The trees of a RAR 5 archive made here (in archive order; a symbolic link stores its target as
// its data, unpacked) and of RAR 4 samples, against the golden listing: Windows flags show
// folders through 'D' and archived files through 'A'.
TEST_F(RarHandlerTest, Rar5AndRar4SamplesListAsTheirMakersWroteThem) {
  std::string trees = "== plain.rar\n" + listing(fixture("plain.rar"));
  for (const char* sample :
       {"test_read_format_rar.rar", "test_read_format_rar_windows.rar", "test_read_format_rar_unicode.rar"})
    trees += std::string("== ") + sample + "\n" + listing(kRar4 / sample);
  test::expectGolden("rar-trees.txt", trees);
  EXPECT_EQ(listing(kRar4 / "test_read_format_rar_encryption_header.rar", 100), "");
}

TEST_F(RarHandlerTest, ExtractionAndTestingRoundTrip) {
  test::TempDir out;
  const std::shared_ptr<AHandlerRar> handler = open(fixture("plain.rar"));
  const auto host = ScriptedHost::on(*handler);
  EXPECT_EQ(handler->extract(test::items({"*"}), out.str(), 1), 0);
  for (const char* name : {"tree/a.txt", "tree/rand", "tree/sub/deep/big.txt"})
    EXPECT_EQ(readFile(out.path() / name), readFile(fixtures().path() / name)) << name;
  EXPECT_EQ(fs::read_symlink(out.path() / "tree/link"), "a.txt");
  EXPECT_EQ(host->files.size(), 7u);

  // Testing reads everything and writes nothing.
  test::TempDir none;
  const auto tester = ScriptedHost::on(*handler);
  EXPECT_EQ(handler->extract(test::items({"*"}), none.str(), 3), 0);
  EXPECT_EQ(tester->operations, std::vector<int>(7, 3));
  EXPECT_TRUE(fs::is_empty(none.path()));

  // Named entries: a folder with a trailing "/" brings what it holds.
  test::TempDir some;
  EXPECT_EQ(open(fixture("vol.part1.rar"))->extract(test::items({"tree/sub/", "tree/a.txt"}), some.str(), 1),
            0);
  EXPECT_EQ(readFile(some.path() / "tree/sub/deep/big.txt"),
            readFile(fixtures().path() / "tree/sub/deep/big.txt"));
  EXPECT_TRUE(fs::exists(some.path() / "tree/a.txt"));
  EXPECT_FALSE(fs::exists(some.path() / "tree/rand"));
}

TEST_F(RarHandlerTest, AWrongPasswordIsAskedForAgainUntilTheHostGivesUp) {
  test::TempDir out;
  const std::shared_ptr<AHandlerRar> handler = open(fixture("data.rar"));
  handler->setPassword("wrong");
  const auto host = ScriptedHost::on(*handler, {"still wrong", "secret"});
  EXPECT_EQ(handler->extract(test::items({"tree/a.txt"}), out.str(), 1), 0);
  EXPECT_EQ(host->modes, (std::vector<int64_t>{5, 5}));
  EXPECT_EQ(readFile(out.path() / "tree/a.txt"), "hello\n");

  const std::shared_ptr<AHandlerRar> giving = open(fixture("data.rar"));
  giving->setPassword("wrong");
  const auto quitter = ScriptedHost::on(*giving, {""});
  EXPECT_EQ(giving->extract(test::items({"*"}), out.str(), 3), 1);
  EXPECT_EQ(quitter->modes, std::vector<int64_t>{1});

  // Nobody to ask: the wrong password is the answer.
  const std::shared_ptr<AHandlerRar> hidden = open(fixture("names.rar"));
  hidden->setPassword("wrong");
  EXPECT_EQ(hidden->extract(test::items({"*"}), out.str(), 3), 100);
  hidden->setPassword("secret");
  EXPECT_EQ(hidden->extract(test::items({"*"}), out.str(), 3), 0);

  // RAR 4 keeps no password check: a wrong one shows as damaged data of the first entry.
  const std::shared_ptr<AHandlerRar> old = open(kRar4 / "test_read_format_rar_encryption_data.rar");
  old->setPassword("wrong");
  EXPECT_EQ(old->extract(test::items({"*"}), out.str(), 3), 100);
  old->setPassword("12345678");
  EXPECT_EQ(old->extract(test::items({"*"}), out.str(), 3), 0);
}

TEST_F(RarHandlerTest, ExtractionNeverWritesOutsideTheDestination) {
  test::TempDir dir;
  shell(dir.path(), R"sh(
mkdir -p src/in outside
printf secret > outside/target
ln -s /etc/passwd src/in/absolute
ln -s ../../outside src/in/up
ln -s ../in src/in/fine
printf data > src/in/plain
cd src && rar a -idq -ol ../links.rar in && cd ..
mkdir -p planted/in && ln -s ../../outside planted/in/up2
mkdir -p src2/in/up2 && printf evil > src2/in/up2/target && cd src2 && rar a -idq ../through.rar in
)sh");
  const fs::path out = dir.path() / "out";
  fs::create_directory(out);
  const std::shared_ptr<AHandlerRar> handler = open(dir.path() / "links.rar");
  const auto host = ScriptedHost::on(*handler);
  EXPECT_EQ(handler->extract(test::items({"*"}), out.string(), 1), 0);
  EXPECT_NE(host->log().find("Skipped in/absolute"), std::string::npos) << host->log();
  EXPECT_NE(host->log().find("Skipped in/up"), std::string::npos) << host->log();
  EXPECT_FALSE(fs::exists(fs::symlink_status(out / "in/absolute")));
  EXPECT_FALSE(fs::exists(fs::symlink_status(out / "in/up")));
  EXPECT_EQ(fs::read_symlink(out / "in/fine"), "../in");
  EXPECT_EQ(readFile(out / "in/plain"), "data");

  // A link already in the destination does not lead an entry out of it.
  EXPECT_EQ(
      open(dir.path() / "through.rar")->extract(test::items({"*"}), (dir.path() / "planted").string(), 1), 0);
  EXPECT_EQ(readFile(dir.path() / "outside/target"), "secret");
}

TEST_F(RarHandlerTest, LongNamesAreCutAtTheLastWholeCharacter) {
  char small[7];
  const wchar_t accented[] = {L'a', L'b', L'c', L'd', L'e', 0xE9, L'f', 0};
  WideToUtf(accented, small, sizeof small);
  EXPECT_STREQ(small, "abcde");  // é needs two bytes; one is left, and the text ends there
  char out[8];
  const wchar_t wide[] = {0x1F600, static_cast<wchar_t>(0x200000), 0x20AC, 0};
  WideToUtf(wide, out, sizeof out);
  EXPECT_STREQ(out, "\xf0\x9f\x98\x80\xe2\x82\xac");  // the out-of-range point is dropped

  test::TempDir dir;
  // Five folders of 200 bytes and their slashes take 1005 bytes; 17 more reach 1022, so "é"
  // would end at byte 1024 and is dropped with everything after it.
  shell(dir.path(), R"sh(
d=$(printf 'd%.0s' $(seq 1 200))
p="$d/$d/$d/$d/$d/$(printf 'f%.0s' $(seq 1 17))$(printf '\303\251')tail"
mkdir -p "$(dirname "$p")" && printf hi > "$p"
rar a -idq long.rar "$d"
)sh");
  const std::vector<std::string> list = records(*open(dir.path() / "long.rar"));
  ASSERT_EQ(list.size(), 6u);
  const std::string path = list[0].substr(5, list[0].find('\t') - 5);
  EXPECT_EQ(path.size(), 1022u);
  EXPECT_EQ(path.substr(path.size() - 17), std::string(17, 'f'));
}

// Entries with enciphered data carry a lock after their name, and the header says so.
TEST_F(RarHandlerTest, ThePreviewLocksEncryptedEntries) {
  test::TempDir out;
  const fs::path page = out.path() / "p.html";
  EXPECT_EQ(run({TESSARO_QLHOST, "-o", page.string(), fixture("data.rar")}).exitStatus, 0);
  const std::string listed = readFile(page);
  EXPECT_NE(listed.find(">big.txt</a><span class='enc'"), std::string::npos);
  EXPECT_NE(listed.find("Contents only"), std::string::npos);
}

}  // namespace
}  // namespace tessaro
