#include "HandlerRegistry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
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

const std::string kGzip = "\x1F\x8B\x08\x00"s;
const std::string kZip = "PK\x03\x04\x14\0"s;
const std::string kRar4 = "Rar!\x1A\x07\x00\xCF\x90"s;
const std::string kLzma = "\x5D\0\0\x80\0\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF"s;

class HandlerRegistryTest : public testing::Test {
 protected:
  std::filesystem::path write(const std::string& name, const std::string& bytes) {
    return home_.dir().write(name, bytes);
  }
  // What detection answers for `path`, "none" when it names no class.
  static std::string detected(const std::filesystem::path& path, bool ignoreBlacklist = false) {
    return handlerClassNameWithFilename(path.string(), ignoreBlacklist).value_or("none");
  }
  test::IsolatedHome home_;
};

// One file per row, alone in its folder; only the signature is written, the rest of the 262 bytes
// that detection reads is missing and reads as zeros.
TEST_F(HandlerRegistryTest, FilesAreDetectedByTheirBytesAndThenTheirNames) {
  const struct {
    const char* name;
    std::string bytes;
    const char* expected;
  } cases[] = {
      // Signatures, in table order, behind a name without a rule of its own.
      {"s.data", "PK\x03\x04"s, "AHandlerZip"},
      {"s.data", "\0\0\0\0PK\x07\x08"s, "AHandlerZip"},
      {"s.data", "Rar!\x1A\x07\x00"s, "AHandlerRar"},
      {"s.data", "MSCF\0\0\0\0"s, "AHandlerCab"},
      {"s.data", "\0\0-lh5-"s, "AHandlerLzh"},
      {"s.data", std::string(257, '\0') + "ustar", "AHandlerTar"},
      {"s.data", "\xED\xAB\xEE\xDB"s, "AHandlerRpm"},
      {"s.data", "\x78\x9F\x3E\x22"s, "AHandlerMime"},
      {"s.data", "CWS\x0A"s, "AHandlerSwf"},
      {"s.data", "\x28\xB5\x2F\xFD"s, "AHandlerZstd"},
      {"s.data", "LZIP\x01"s, "AHandlerLzip"},
      {"s.data", "\x04\x22\x4D\x18"s, "AHandlerLz4"},
      {"s.data", kLzma, "AHandlerLzma"},
      // A dictionary size that is no power of two (or one and a half) is no lzma header.
      {"s.data", "\x5D\0\0\x81\0\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF"s, "none"},
      {"s.data", "!<arch>\nlibfoo.o/"s, "AHandlerAr"},
      {"s.data", "!<arch>\ndebian-binary"s, "AHandlerDeb"},
      {"s.data", "\xC7\x71"s, "AHandlerCpio"},
      {"s.data", "\x71\xC7"s, "AHandlerCpio"},
      {"s.data", "MZ\x90"s, "none"},  // a program with no archive after it
      // The signature's zero bytes end the comparison once the file has them too.
      {"s.data", "MSCF\0junk"s, "AHandlerCab"},
      {"s.data", "MSCF\x01\0\0\0"s, "none"},
      // RAR 5 continues with 01: not the RAR 4 signature, so the extension decides.
      {"new.rar", "Rar!\x1A\x07\x01\x00"s, "AHandlerRar"},
      {"new.cbr", "Rar!\x1A\x07\x01\x00"s, "AHandlerRar"},
      // Compressed streams are named by what they hold.
      {"backup.tar.gz", kGzip, "AHandlerTGz"},
      {"data.gz", kGzip, "AHandlerGZip"},
      {"x.cpgz", kGzip, "AHandlerCpio"},
      {"y.tar", kGzip, "AHandlerTGz"},
      {"a.bz2", "BZh91AY&SY"s, "AHandlerBZip"},
      {"b.tar", "BZh91AY&SY"s, "AHandlerTBz"},
      {"a.xz", "\xFD\x37zXZ\0\0\x04"s, "AHandlerXz"},
      {"z.tar", "\xFD\x37zXZ\0\0\x04"s, "AHandlerTXz"},
      {"z.tar.lzma", "\xFD\x37zXZ\0\0\x04"s, "AHandlerTXz"},
      // ".tlz" is lzip's ending for a tar archive and GNU tar's for an lzma one: the bytes decide,
      // and without bytes (below) GNU tar's reading stands.
      {"a.tlz", "LZIP\x01"s, "AHandlerTLz"},
      {"b.tlz", kLzma, "AHandlerTLzma"},
      {"c.tar.lz4", "\x04\x22\x4D\x18"s, "AHandlerTLz4"},
      {"d.tzst", "\x28\xB5\x2F\xFD"s, "AHandlerTZst"},
      {"e.zst", "\x28\xB5\x2F\xFD"s, "AHandlerZstd"},
      {"a.7z", "7z\xBC\xAF\x27\x1C"s, "AHandler7zip"},
      {"orphan.zip.005", kZip, "AHandlerSplit"},  // the volume number outweighs the bytes
  };
  for (const auto& c : cases) {
    test::TempDir dir;
    EXPECT_EQ(detected(dir.write(c.name, c.bytes)), c.expected) << c.name << " " << c.expected;
  }

  // Empty files, so that only names decide, in any case; "ends in" is a plain suffix test. Zip,
  // gzip, 7z and cpio are known by content only. A later volume is detected as the first: its
  // number outweighs "tar.gz", and any extension whose leading number is 2 or more reads as one.
  const std::pair<const char*, std::vector<const char*>> byName[] = {
      {"AHandlerTGz", {"B.TAR.GZ", "backuptar.gz"}},
      {"AHandlerTBz", {"a.tb2", "a.TBZ2"}},
      {"AHandlerTXz", {"a.txz"}},
      {"AHandlerTar", {"a.tar"}},
      {"AHandlerTZst", {"a.tar.zst", "a.TZST"}},
      {"AHandlerTLz", {"a.tar.lz"}},
      {"AHandlerTLz4", {"a.tar.lz4"}},
      {"AHandlerTLzma", {"a.tar.lzma", "a.tlz"}},
      {"AHandlerDmg", {"a.DMG"}},
      {"AHandlerRar", {"a.rar", "a.cbr"}},
      {"AHandlerMime", {"winmail.dat", "WIN.DAT"}},
      {"AHandlerSplit", {"a.001", "a.tar.gz.002", "clip.3gp"}},
      {"none", {"a.zip", "a.gz", "a.cpio", "a.7z", "a.000", "a.1", "mywinmail.dat", "a.sitx", "README"}},
  };
  for (const auto& [expected, names] : byName) {
    for (const char* name : names) EXPECT_EQ(detected(write(name, "")), expected) << name;
  }
}
TEST_F(HandlerRegistryTest, LaterVolumesAreDetectedAsTheFirst) {
  write("set.zip.001", kZip);
  EXPECT_EQ(detected(write("set.zip.002", "second piece")), "AHandlerZip");
  write("movie.mkv.001", "\x1A\x45\xDF\xA3"s);
  EXPECT_EQ(detected(write("movie.mkv.002", kZip)), "AHandlerSplit");
  // Numbered RAR volumes stay RAR, whatever the later ones hold.
  write("old.001", kRar4);
  EXPECT_EQ(detected(home_.dir().path() / "old.001"), "AHandlerRar");
  write("old.002", "not a rar volume");
  EXPECT_EQ(detected(home_.dir().path() / "old.001"), "AHandlerRar");
  write("old.002", kRar4);
  EXPECT_EQ(detected(home_.dir().path() / "old.003"), "AHandlerRar");
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

TEST_F(HandlerRegistryTest, HandlersAreMadeOnlyForExistingFilesAndServeTheFirstVolume) {
  EXPECT_EQ(handlerWithFilename((home_.dir().path() / "missing.rar").string()), nullptr);
  const auto zip = write("one.zip", kZip);
  const auto handler = handlerWithFilename(zip.string());
  ASSERT_NE(handler, nullptr);
  EXPECT_EQ(handler->className(), "AHandlerZip");
  EXPECT_EQ(handler->url(), zip.string());

  const auto first = write("set.7z.001", "7z\xBC\xAF\x27\x1C"s);
  const auto volume = handlerWithFilename(write("set.7z.002", "").string());
  ASSERT_NE(volume, nullptr);
  EXPECT_EQ(volume->className(), "AHandler7zip");
  EXPECT_EQ(volume->url(), first.string());
  EXPECT_EQ(volume->parts().size(), 2u);

  // Only files that all have a handler are archives.
  const std::string text = write("c.txt", "hello").string();
  const std::string tgz = write("b.tar.gz", "").string();
  EXPECT_TRUE(filesAreOnlyArchives({}));
  EXPECT_TRUE(filesAreOnlyArchives({zip.string(), tgz}));
  EXPECT_FALSE(filesAreOnlyArchives({zip.string(), text, tgz}));
}

// Format names, menu titles and the tools' messages are looked up in the host's strings: every
// key the code asks for exists in both languages, and a German user gets German names.
TEST(HostTexts, EveryTextTheCodeAsksForIsTranslatedAndUsed) {
  std::vector<std::string> keys;
  for (const char* folder : {"src", "host", "QuickLook"}) {
    for (const auto& entry :
         std::filesystem::recursive_directory_iterator(std::string(TESSARO_SOURCE_ROOT) + "/" + folder)) {
      if (entry.path().extension() == ".cpp")
        test::addLookupKeys(keys, test::readFile(entry.path()),
                            {"hostText(", "hostBundle.localizedString(", "localizedMenu("});
    }
  }
  test::expectTranslated(std::string(TESSARO_TEST_HELPERS_DIR) + "/../Resources", keys, 25);

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
