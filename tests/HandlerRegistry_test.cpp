#include "HandlerRegistry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "ProcessGlobals.h"
#include "defaults/UserDefaults.h"
#include "support/ScopedEnv.h"
#include "support/StringsKeys.h"
#include "support/TempDir.h"

namespace tessaro {
namespace {

using namespace std::string_literals;
using test::IsolatedHome;

// What detection answers for `path`, "none" when it names no class.
std::string detected(const std::filesystem::path& path, bool ignoreBlacklist = false) {
  return handlerClassNameWithFilename(path.string(), ignoreBlacklist).value_or("none");
}

// ---- Detection by content: one row per signature, in table order

struct ContentCase {
  std::string label;
  std::string bytes;
  size_t offset;
  std::string fileName;
  std::string expected;
};

void PrintTo(const ContentCase& c, std::ostream* out) { *out << c.label; }

class DetectByContent : public testing::TestWithParam<ContentCase> {
 protected:
  IsolatedHome home_;
};

TEST_P(DetectByContent, FirstMatchingSignatureDecides) {
  const ContentCase& c = GetParam();
  // Only the signature is written: the rest of the 262 bytes is missing and reads as zeros.
  const auto path = home_.dir().write(c.fileName, std::string(c.offset, '\0') + c.bytes);
  EXPECT_EQ(detected(path), c.expected);
}

// Names without a rule of their own, so that only the content can decide.
INSTANTIATE_TEST_SUITE_P(
    Signatures, DetectByContent,
    testing::Values(ContentCase{"zipLocalHeader", "PK\x03\x04"s, 0, "s.data", "AHandlerZip"},
                    ContentCase{"zipSpannedAt4", "PK\x07\x08"s, 4, "s.data", "AHandlerZip"},
                    ContentCase{"rar4", "Rar!\x1A\x07\x00"s, 0, "s.data", "AHandlerRar"},
                    ContentCase{"cab", "MSCF\0\0\0\0"s, 0, "s.data", "AHandlerCab"},
                    ContentCase{"lzh", "-lh5-"s, 2, "s.data", "AHandlerLzh"},
                    ContentCase{"ustar", "ustar"s, 257, "s.data", "AHandlerTar"},
                    ContentCase{"rpm", "\xED\xAB\xEE\xDB"s, 0, "s.data", "AHandlerRpm"},
                    ContentCase{"tnef", "\x78\x9F\x3E\x22"s, 0, "s.data", "AHandlerMime"},
                    ContentCase{"swfCompressed", "CWS\x0A"s, 0, "s.data", "AHandlerSwf"},
                    ContentCase{"zstd", "\x28\xB5\x2F\xFD"s, 0, "s.data", "AHandlerZstd"},
                    ContentCase{"lzip", "LZIP\x01"s, 0, "s.data", "AHandlerLzip"},
                    ContentCase{"lz4", "\x04\x22\x4D\x18"s, 0, "s.data", "AHandlerLz4"},
                    ContentCase{"lzma", "\x5D\0\0\x80\0\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF"s, 0, "s.data",
                                "AHandlerLzma"},
                    // A dictionary size that is no power of two (or one and a half) is no lzma header.
                    ContentCase{"lzmaOddDictionary", "\x5D\0\0\x81\0\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF"s, 0,
                                "s.data", "none"},
                    ContentCase{"ar", "!<arch>\nlibfoo.o/"s, 0, "s.data", "AHandlerAr"},
                    ContentCase{"deb", "!<arch>\ndebian-binary"s, 0, "s.data", "AHandlerDeb"},
                    ContentCase{"cpioBinaryLittle", "\xC7\x71"s, 0, "s.data", "AHandlerCpio"},
                    ContentCase{"cpioBinaryBig", "\x71\xC7"s, 0, "s.data", "AHandlerCpio"},
                    // A program with no archive after it.
                    ContentCase{"program", "MZ\x90"s, 0, "s.data", "none"}),
    [](const testing::TestParamInfo<ContentCase>& row) { return row.param.label; });

// ---- Detection by name: empty files, so that no signature matches

struct NameCase {
  std::string fileName;
  std::string expected;
};

void PrintTo(const NameCase& c, std::ostream* out) { *out << '"' << c.fileName << '"'; }

class DetectByName : public testing::TestWithParam<NameCase> {
 protected:
  IsolatedHome home_;
};

TEST_P(DetectByName, NameRulesApplyWhenNoSignatureMatches) {
  const NameCase& c = GetParam();
  EXPECT_EQ(detected(home_.dir().write(c.fileName, "")), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    CompressedTar, DetectByName,
    testing::Values(NameCase{"B.TAR.GZ", "AHandlerTGz"}, NameCase{"a.tb2", "AHandlerTBz"},
                    NameCase{"a.TBZ2", "AHandlerTBz"}, NameCase{"a.txz", "AHandlerTXz"},
                    NameCase{"a.tar", "AHandlerTar"}, NameCase{"a.tar.zst", "AHandlerTZst"},
                    NameCase{"a.TZST", "AHandlerTZst"}, NameCase{"a.tar.lz", "AHandlerTLz"},
                    NameCase{"a.tar.lz4", "AHandlerTLz4"}, NameCase{"a.tar.lzma", "AHandlerTLzma"},
                    // Without bytes to tell, ".tlz" is what GNU tar takes it for: lzma.
                    NameCase{"a.tlz", "AHandlerTLzma"},
                    // "Ends in" is a plain suffix test, without a point before "tar".
                    NameCase{"backuptar.gz", "AHandlerTGz"}));

INSTANTIATE_TEST_SUITE_P(Extensions, DetectByName,
                         testing::Values(NameCase{"a.DMG", "AHandlerDmg"}, NameCase{"a.001", "AHandlerSplit"},
                                         NameCase{"a.rar", "AHandlerRar"}, NameCase{"a.cbr", "AHandlerRar"},
                                         NameCase{"winmail.dat", "AHandlerMime"},
                                         NameCase{"WIN.DAT", "AHandlerMime"}));

INSTANTIATE_TEST_SUITE_P(
    Ambiguous, DetectByName,
    testing::Values(
        // Zip, gzip, 7z and cpio are known by content only.
        NameCase{"a.zip", "none"}, NameCase{"a.gz", "none"}, NameCase{"a.cpio", "none"},
        // "7z" begins with a digit but is no volume number; as one it would give AHandlerSplit.
        NameCase{"a.7z", "none"},
        // A later volume is detected as the first: the volume number outweighs "tar.gz".
        NameCase{"a.tar.gz.002", "AHandlerSplit"},
        // Any extension whose leading number is 2 or more reads as a volume number.
        NameCase{"clip.3gp", "AHandlerSplit"},
        // Volume numbers below 2 are taken as they stand.
        NameCase{"a.000", "none"}, NameCase{"a.1", "none"}, NameCase{"mywinmail.dat", "none"},
        NameCase{"a.sitx", "none"}, NameCase{"README", "none"}));

// ---- Edge cases

class HandlerRegistryTest : public testing::Test {
 protected:
  std::filesystem::path write(const std::string& name, const std::string& bytes) {
    return home_.dir().write(name, bytes);
  }
  IsolatedHome home_;
};

const std::string kGzip = "\x1F\x8B\x08\x00"s;
const std::string kBzip2 = "BZh91AY&SY"s;
const std::string kXz = "\xFD\x37zXZ\0\0\x04"s;
const std::string kZip = "PK\x03\x04\x14\0"s;
const std::string kRar4 = "Rar!\x1A\x07\x00\xCF\x90"s;
const std::string kRar5 = "Rar!\x1A\x07\x01\x00"s;

TEST_F(HandlerRegistryTest, CompressedStreamsAreNamedByWhatTheyHold) {
  EXPECT_EQ(detected(write("backup.tar.gz", kGzip)), "AHandlerTGz");
  EXPECT_EQ(detected(write("data.gz", kGzip)), "AHandlerGZip");
  EXPECT_EQ(detected(write("x.cpgz", kGzip)), "AHandlerCpio");
  // A gzip stream behind a plain tar name is still a compressed tar.
  EXPECT_EQ(detected(write("y.tar", kGzip)), "AHandlerTGz");

  EXPECT_EQ(detected(write("a.bz2", kBzip2)), "AHandlerBZip");
  EXPECT_EQ(detected(write("b.tar", kBzip2)), "AHandlerTBz");

  EXPECT_EQ(detected(write("a.xz", kXz)), "AHandlerXz");
  EXPECT_EQ(detected(write("z.tar", kXz)), "AHandlerTXz");
  EXPECT_EQ(detected(write("z.tar.lzma", kXz)), "AHandlerTXz");

  // ".tlz" is lzip's ending for a tar archive and GNU tar's for an lzma one: the bytes decide.
  EXPECT_EQ(detected(write("a.tlz", "LZIP\x01"s)), "AHandlerTLz");
  EXPECT_EQ(detected(write("b.tlz", "\x5D\0\0\x80\0\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF"s)), "AHandlerTLzma");
  EXPECT_EQ(detected(write("c.tar.lz4", "\x04\x22\x4D\x18"s)), "AHandlerTLz4");
  EXPECT_EQ(detected(write("d.tzst", "\x28\xB5\x2F\xFD"s)), "AHandlerTZst");
  EXPECT_EQ(detected(write("e.zst", "\x28\xB5\x2F\xFD"s)), "AHandlerZstd");
}

TEST_F(HandlerRegistryTest, LaterVolumesAreDetectedAsTheFirst) {
  write("set.zip.001", kZip);
  EXPECT_EQ(detected(write("set.zip.002", "second piece")), "AHandlerZip");
  write("movie.mkv.001", "\x1A\x45\xDF\xA3"s);
  EXPECT_EQ(detected(write("movie.mkv.002", kZip)), "AHandlerSplit");
  // Without the first volume only the name is left.
  EXPECT_EQ(detected(write("orphan.zip.005", kZip)), "AHandlerSplit");
  // "7z" is no volume number: the file's own bytes count.
  EXPECT_EQ(detected(write("a.7z", "7z\xBC\xAF\x27\x1C"s)), "AHandler7zip");
}

TEST_F(HandlerRegistryTest, NumberedRarVolumesStayRar) {
  write("old.001", kRar4);
  EXPECT_EQ(detected(home_.dir().path() / "old.001"), "AHandlerRar");
  write("old.002", "not a rar volume");
  EXPECT_EQ(detected(home_.dir().path() / "old.001"), "AHandlerRar");
  write("old.002", kRar4);
  EXPECT_EQ(detected(home_.dir().path() / "old.003"), "AHandlerRar");
}

TEST_F(HandlerRegistryTest, SignaturesCompareAsZeroTerminatedTexts) {
  // The signature's zero bytes end the comparison once the file has them too.
  EXPECT_EQ(detected(write("a.data", "MSCF\0junk"s)), "AHandlerCab");
  EXPECT_EQ(detected(write("b.data", "MSCF\x01\0\0\0"s)), "none");
  // RAR 5 continues with 01: not the RAR 4 signature, so the extension decides.
  EXPECT_EQ(detected(write("new.rar", kRar5)), "AHandlerRar");
  EXPECT_EQ(detected(write("new.cbr", kRar5)), "AHandlerRar");
  EXPECT_EQ(detected(write("old.cbr", kRar4)), "AHandlerRar");
}

TEST_F(HandlerRegistryTest, BlacklistIsTrimmedCaseFoldedAndCanBeIgnored) {
  const auto zip = write("x.zip", kZip);
  const auto rar = write("y.RAR", kRar4);
  const auto tgz = write("z.tgz", kGzip);
  UserDefaults::standard().setObject("HLVArchiveExtensionsBlacklist", " ZIP , rar ");

  EXPECT_EQ(detected(zip), "none");
  EXPECT_EQ(detected(rar), "none");
  EXPECT_EQ(detected(tgz), "AHandlerTGz");
  EXPECT_EQ(handlerWithFilename(zip.string()), nullptr);

  EXPECT_EQ(detected(zip, true), "AHandlerZip");
  ASSERT_NE(handlerWithFilename(zip.string(), true), nullptr);

  // Volumes are checked under the first volume's extension.
  write("v.001", kZip);
  const auto second = write("v.002", "");
  UserDefaults::standard().setObject("HLVArchiveExtensionsBlacklist", "001");
  EXPECT_EQ(detected(second), "none");
}

TEST_F(HandlerRegistryTest, FoldersAndUnreadableFilesAreDetectedByNameOnly) {
  const auto dir = home_.dir().path();
  std::filesystem::create_directories(dir / "y.tar.gz");
  EXPECT_EQ(handlerWithFilename((dir / "y.tar.gz").string()), nullptr);
  // A FIFO has no writer: reading it would block forever.
  ASSERT_EQ(mkfifo((dir / "pipe.tgz").c_str(), 0600), 0);
  ASSERT_EQ(mkfifo((dir / "pipe.zip").c_str(), 0600), 0);
  EXPECT_EQ(detected(dir / "pipe.tgz"), "AHandlerTGz");
  EXPECT_EQ(detected(dir / "pipe.zip"), "none");

  EXPECT_EQ(detected(dir / "missing.rar"), "AHandlerRar");
  EXPECT_EQ(detected(dir / "missing.zip"), "none");
  std::filesystem::create_symlink(dir / "nowhere", dir / "dangling.iso");
  EXPECT_EQ(detected(dir / "dangling.iso"), "AHandlerIso");
  EXPECT_EQ(detected(""), "none");
}

TEST_F(HandlerRegistryTest, HandlersAreMadeOnlyForExistingFiles) {
  EXPECT_EQ(handlerWithFilename((home_.dir().path() / "missing.rar").string()), nullptr);

  const auto zip = write("one.zip", kZip);
  const auto handler = handlerWithFilename(zip.string());
  ASSERT_NE(handler, nullptr);
  EXPECT_EQ(handler->className(), "AHandlerZip");
  EXPECT_EQ(handler->url(), zip.string());

  // Opened on the later volume, the handler serves the first.
  const auto first = write("set.7z.001", "7z\xBC\xAF\x27\x1C"s);
  const auto second = write("set.7z.002", "");
  const auto volume = handlerWithFilename(second.string());
  ASSERT_NE(volume, nullptr);
  EXPECT_EQ(volume->className(), "AHandler7zip");
  EXPECT_EQ(volume->url(), first.string());
  EXPECT_EQ(volume->parts().size(), 2u);
}

TEST_F(HandlerRegistryTest, FilesAreOnlyArchivesWhenEveryPathHasAHandler) {
  const std::string zip = write("a.zip", kZip).string();
  const std::string tgz = write("b.tar.gz", "").string();
  const std::string text = write("c.txt", "hello").string();
  EXPECT_TRUE(filesAreOnlyArchives({}));
  EXPECT_TRUE(filesAreOnlyArchives({zip, tgz}));
  EXPECT_FALSE(filesAreOnlyArchives({zip, text, tgz}));
}

// Format names, menu titles and the tools' messages are looked up in the host's strings: every
// key the code asks for exists in both languages, and a German user gets German names.
TEST(HostTexts, EveryTextTheCodeAsksForIsTranslatedAndUsed) {
  const std::string resources = std::string(TESSARO_TEST_HELPERS_DIR) + "/../Resources/";
  const auto english = test::stringsTable(resources + "en.lproj/Localizable.strings");
  const auto german = test::stringsTable(resources + "de.lproj/Localizable.strings");
  ASSERT_FALSE(english.empty());
  for (const auto& [key, value] : english)
    EXPECT_TRUE(german.contains(key)) << "no German for \"" << key << "\"";
  for (const auto& [key, value] : german)
    EXPECT_TRUE(english.contains(key)) << "no English for \"" << key << "\"";

  std::vector<std::string> keys;
  for (const char* folder : {"src", "host", "QuickLook"}) {
    for (const auto& entry :
         std::filesystem::recursive_directory_iterator(std::string(TESSARO_SOURCE_ROOT) + "/" + folder)) {
      if (entry.path().extension() != ".cpp") continue;
      const std::string code = test::readFile(entry.path());
      for (const char* lookup : {"hostText(", "hostBundle.localizedString(", "localizedMenu("}) {
        const std::vector<std::string> found = test::lookupKeys(code, lookup);
        keys.insert(keys.end(), found.begin(), found.end());
      }
    }
  }
  EXPECT_GT(keys.size(), 25u);
  for (const std::string& key : keys) {
    EXPECT_TRUE(english.contains(key)) << "\"" << key << "\" is not in en.lproj";
    EXPECT_TRUE(german.contains(key)) << "\"" << key << "\" is not in de.lproj";
  }

  helpersPath() = TESSARO_TEST_HELPERS_DIR;
  for (const auto& [language, rar, firstLevel] : {std::tuple{"de", "RAR-Format", "Keine Kompression"},
                                                  std::tuple{"en", "RAR Format", "No compression"}}) {
    test::ScopedEnv env;
    env.set("LANGUAGE", language);
    env.set("LC_ALL", "C.UTF-8");
    EXPECT_EQ(handlerClassNamed("AHandlerRar")->formatName(), rar);
    EXPECT_EQ(allCompressionFactors().at(0).title, firstLevel);
    EXPECT_EQ(handlerClassNamed("AHandlerZip")->compressionFactors().size(),
              handlerClassNamed("AHandlerZip")->compressionFactorTags().size());
  }
}

}  // namespace
}  // namespace tessaro
