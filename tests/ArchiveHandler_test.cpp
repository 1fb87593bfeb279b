#include "ArchiveHandler.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <limits>
#include <optional>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "ArchiveHandler7z.h"
#include "ArchiveHandlerRar.h"
#include "ArchiveHandlerXad.h"
#include "HandlerRegistry.h"
#include "VolumeNames.h"
#include "defaults/UserDefaults.h"
#include "support/TempDir.h"

namespace tessaro {
namespace {

using test::TempDir;

TEST(HandlerRegistryClassesTest, FormatTagsKeepNamingTheirClassesAndMenusFilterInTheirOrder) {
  // The user's own preferences (a "rar" tool named, say) and a rar on PATH must not change the
  // classes' answers.
  test::IsolatedHome home;
  UserDefaults::standard().setObject("rar", "/nonexistent/rar");
  // Format tags are kept in the preferences, so each must go on naming its class.
  std::string byTag;
  for (int32_t tag = 0; tag <= 8; ++tag) byTag += std::string(handlerWithFormat(tag)->className()) + " ";
  EXPECT_EQ(byTag,
            "AHandlerZip AHandlerTar AHandlerTGz AHandlerTBz AHandler7zip AHandlerXar AHandlerRar "
            "AHandlerCpio AHandlerTXz ");
  // -1 is every unsavable format's tag: the first registered one wins.
  EXPECT_EQ(handlerWithFormat(-1)->className(), "AHandlerGZip");
  EXPECT_EQ(handlerWithFormat(99), nullptr);
  // Only classes that can create archives, in registry order.
  EXPECT_EQ(saveTypeExtensions(false),
            (std::vector<std::string>{"zip", "7z", "tar", "tgz", "tbz", "txz", "xar"}));

  // The filter's order wins; unknown tags are skipped, repeated ones repeated.
  std::string tags;
  for (const MenuItem& item : menuArrayFromArray(allCompressionFactors(), {5, 9, 0, -1, 5}))
    tags += std::to_string(item.tag);
  EXPECT_EQ(tags, "505");
  const MenuArray twice = {{"first", 1}, {"second", 1}};
  const MenuArray once = menuArrayFromArray(twice, {1});
  ASSERT_EQ(once.size(), 1u);
  EXPECT_EQ(once[0].title, "first");
}

// ---- Handlers: URL, volumes, names

class ArchiveHandlerTest : public testing::Test {
 protected:
  std::string write(const std::string& name, size_t size = 0) {
    return dir_.write(name, std::string(size, 'x')).string();
  }
  std::string at(const std::string& name) const { return (dir_.path() / name).string(); }
  // "name size" per volume, with the volume's path when it is not the file of that name here.
  std::string volumes(const ArchiveHandler& handler) const {
    std::string out;
    for (const VolumePart& part : handler.parts()) {
      out += part.name + " " + std::to_string(part.size);
      if (part.url != at(part.name)) out += " at " + part.url;
      out += "\n";
    }
    return out;
  }

  TempDir dir_;
};

TEST_F(ArchiveHandlerTest, InitWithURLOpensTheFirstVolumeAndClearsTheFlags) {
  write("set.zip.001", 3);
  write("set.zip.002", 5);
  const auto handler = AHandlerZip::metaclass().initWithURL(at("set.zip.002"));
  ASSERT_NE(handler, nullptr);
  EXPECT_EQ(handler->url(), at("set.zip.001"));
  EXPECT_EQ(volumes(*handler), "set.zip.001 3\nset.zip.002 5\n");

  handler->setIsSolid(true);
  handler->setIsListingEncrypted(true);
  handler->setOperationCancelled(true);
  ASSERT_TRUE(handler->initWithURL(at("set.zip.001")));
  EXPECT_FALSE(handler->isSolid());
  EXPECT_FALSE(handler->isListingEncrypted());
  EXPECT_FALSE(handler->operationCancelled());

  // RAR names map to their first volume too; a missing first volume leaves no URL.
  write("x.part1.rar");
  const auto rar = AHandlerRar::metaclass().initWithURL(at("x.part3.rar"));
  ASSERT_NE(rar, nullptr);
  EXPECT_EQ(rar->url(), at("x.part1.rar"));
  const auto orphan = ArchiveHandler::metaclass().initWithURL(at("gone.004"));
  ASSERT_NE(orphan, nullptr);
  EXPECT_EQ(orphan->url(), std::nullopt);
}

TEST_F(ArchiveHandlerTest, NumberedSetHoldsAtMost999Volumes) {
  for (int n = 1; n <= 1000; ++n) {
    char name[16];
    std::snprintf(name, sizeof name, "big.%03d", n);
    write(name);
  }
  ArchiveHandler handler;
  handler.setUrl(at("big.001"));
  ASSERT_EQ(handler.parts().size(), 999u);
  EXPECT_EQ(handler.parts().back().name, "big.999");
}

TEST_F(ArchiveHandlerTest, SetUrlCollectsVolumesOnlyWhenTheURLChanges) {
  write("a.001", 1);
  write("a.002", 2);
  write("a.004", 4);
  write("plain.zip", 7);
  ArchiveHandler handler;
  handler.setUrl(at("a.001"));
  EXPECT_EQ(volumes(handler), "a.001 1\na.002 2\n");  // the set ends at the first gap

  handler.setParts({});
  handler.setUrl(at("a.001"));
  EXPECT_TRUE(handler.parts().empty());

  // Names other than ".001" leave the list as it is.
  handler.setParts({VolumePart{"u", "kept", 1}});
  handler.setUrl(at("plain.zip"));
  EXPECT_EQ(handler.url(), at("plain.zip"));
  EXPECT_EQ(volumes(handler), "kept 1 at u\n");

  // A file that does not exist gives no URL.
  handler.setUrl(at("missing.zip"));
  EXPECT_EQ(handler.url(), std::nullopt);
  handler.setUrl("");
  EXPECT_EQ(handler.url(), std::nullopt);
}

TEST_F(ArchiveHandlerTest, BaseNamesDropVolumeSuffixesWhereTheFormatHasThem) {
  struct Case {
    const HandlerClass& handlerClass;
    std::string file;
    std::string expected;
  };
  const Case cases[] = {
      {ArchiveHandler::metaclass(), "x.tar.gz", "x.tar"},
      {ArchiveHandler::metaclass(), "b.zip.001", "b.zip"},
      {AHandlerZip::metaclass(), "set.zip.001", "set"},
      {AHandler7zip::metaclass(), "s.7z.001", "s"},
      {AHandlerRar::metaclass(), "r.part1.rar", "r"},
      // "part" without a number is part of the name.
      {AHandlerRar::metaclass(), "p.part.rar", "p.part"},
  };
  for (const Case& c : cases) {
    const auto handler = c.handlerClass.initWithURL(write(c.file));
    ASSERT_NE(handler, nullptr);
    EXPECT_EQ(handler->baseName(), c.expected) << c.handlerClass.className() << " " << c.file;
  }
  EXPECT_EQ(AHandlerZip().baseName(), "");
}

TEST(ArchiveHandlerNamesTest, FirstFilesOfAVolumeSet) {
  const AHandlerZip zip;
  const AHandlerCab cab;
  const AHandlerRar rar;
  EXPECT_TRUE(zip.isFirstFile("a.zip.001"));
  EXPECT_FALSE(zip.isFirstFile("a.zip.002"));
  // Only the volume numbered 1 counts: a single archive is not a first volume.
  EXPECT_FALSE(zip.isFirstFile("a.zip"));
  EXPECT_TRUE(cab.isFirstFile("anything"));
  EXPECT_TRUE(rar.isFirstFile("x.part1.rar"));
  EXPECT_FALSE(rar.isFirstFile("x.part2.rar"));
  EXPECT_TRUE(rar.isFirstFile("x.rar"));
  EXPECT_TRUE(rar.isFirstFile("x.001"));
  EXPECT_FALSE(rar.isFirstFile("x.r00"));
}

struct EncryptionCase {
  const HandlerClass& handlerClass;
  std::string type;
  std::string meth;
  bool listingEncrypted;
  bool encrypted;
  int32_t method;
};

TEST(ArchiveHandlerEncryptionTest, EntriesAreEncryptedByEachFormatsOwnMarks) {
  const EncryptionCase cases[] = {
      {AHandlerZip::metaclass(), "+", "ZipCrypto Deflate", false, true, 1},
      {AHandlerZip::metaclass(), "1", "AES-256 Deflate", false, true, 2},
      {AHandlerZip::metaclass(), "BZip2", "", false, true, 0},
      {AHandlerZip::metaclass(), "0", "Deflate", false, false, 0},
      // The method is read from the cipher name alone.
      {AHandlerZip::metaclass(), "", "ZipCrypto Store", false, false, 1},
      {AHandler7zip::metaclass(), "", "LZMA2:24 7zAES:19", false, true, 2},
      {AHandler7zip::metaclass(), "", "LZMA2:24", true, false, 3},
      {AHandlerArj::metaclass(), "1", "", false, true, 1},
      {AHandlerCab::metaclass(), "1", "7zAES", false, false, 0},
      {AHandlerRar::metaclass(), "*", "x", false, true, 2},
      {AHandlerRar::metaclass(), "0", "x", true, false, 3},
      {AHandlerSit::metaclass(), "Y", "", false, true, 1},
      {ArchiveHandler::metaclass(), "*", "7zAES", true, false, 0},
  };
  for (const EncryptionCase& c : cases) {
    const auto handler = c.handlerClass.alloc();
    ASSERT_NE(handler, nullptr);
    handler->setIsListingEncrypted(c.listingEncrypted);
    const auto item = AZipItem::create();
    item->setType(c.type);
    item->setMeth(c.meth);
    SCOPED_TRACE(std::string(c.handlerClass.className()) + " type=" + c.type + " meth=" + c.meth);
    EXPECT_EQ(handler->isItemEncrypted(*item), c.encrypted);
    EXPECT_EQ(handler->itemEncryptionMethod(*item), c.method);
  }
}

TEST(ArchiveHandlerFoldersTest, OnlySingleVolumeArchivesCanBeUpdated) {
  test::IsolatedHome home;
  AHandlerZip zip;
  zip.setParts({VolumePart{"a.001", "a.001", 1}});
  EXPECT_TRUE(zip.canUpdate());
  zip.setParts({VolumePart{"a.001", "a.001", 1}, VolumePart{"a.002", "a.002", 1}});
  EXPECT_FALSE(zip.canUpdate());
  EXPECT_FALSE(AHandlerCab().canUpdate());
  // Without the rar tool RAR archives are read-only; a preference that names none is not
  // second-guessed by a rar on PATH.
  UserDefaults::standard().setObject("rar", "/nonexistent/rar");
  EXPECT_FALSE(AHandlerRar().canUpdate());
}

// A handler whose every step throws what it is told to, or answers 7 when told nothing.
class Throwing : public ArchiveHandler {
 public:
  std::function<void()> raise;
  int steps = 0;

 protected:
  int32_t step() {
    ++steps;
    if (raise) raise();
    return 7;
  }
  int32_t doAddFiles(const std::vector<std::string>&, const std::string&, const std::string&, AZipItem*,
                     const Preset&, std::vector<std::string>*) override {
    return step();
  }
  int32_t doExtract(const AZipItem::List&, const std::string&, int32_t) override { return step(); }
  int32_t doGetInfo(std::vector<std::string>&) override { return step(); }
  int32_t doUpdateComment(const std::string&) override { return step(); }
  int32_t doMoveFiles(const AZipItem::List&, const std::string&) override { return step(); }
  int32_t doMoveFiles(const std::vector<std::string>&, const std::vector<std::string>&) override {
    return step();
  }
  int32_t doDeleteFiles(const AZipItem::List&) override { return step(); }
  int32_t doRepair() override { return step(); }
};

TEST(ArchiveHandlerOperationsTest, EveryOperationRunsItsStepOnceAndTurnsExceptionsIntoStatuses) {
  struct Case {
    const char* name;
    std::function<void()> raise;
    int32_t expected;
  };
  const std::vector<Case> cases = {
      {"no exception", nullptr, 7},
      {"out of memory", [] { throw std::bad_alloc(); }, kStatusOutOfMemory},
      {"library error", [] { throw std::runtime_error("bad header"); }, kStatusFailed},
      {"filesystem error", [] { throw std::filesystem::filesystem_error("x", std::error_code()); },
       kStatusFailed},
      {"not an exception", [] { throw 42; }, kStatusFailed},
  };
  for (const Case& c : cases) {
    Throwing handler;
    handler.raise = c.raise;
    std::vector<std::string> records;
    const std::vector<int32_t> results = {
        handler.addFiles({}, "", "", nullptr, Preset{}, nullptr),
        handler.extract({}, "", kExtractForUser),
        handler.getInfo(records),
        handler.updateComment(""),
        handler.moveFiles(AZipItem::List{}, ""),
        handler.moveFiles(std::vector<std::string>{}, std::vector<std::string>{}),
        handler.deleteFiles({}),
        handler.repair(),
    };
    for (const int32_t result : results) EXPECT_EQ(result, c.expected) << c.name;
    EXPECT_EQ(handler.steps, static_cast<int>(results.size())) << c.name;
  }
  // A format without a step never pretends to have done the work.
  ArchiveHandler base;
  EXPECT_EQ(base.extract({}, "", kExtractTestOnly), kStatusNotSupported);
  EXPECT_EQ(base.addFiles({}, "", "", nullptr, Preset{}, nullptr), kStatusNotSupported);
}

// ---- Volume names, as the handlers read them

TEST(VolumeNamesTest, FirstPartBasePathAndPartNumber) {
  constexpr int64_t kLargest = std::numeric_limits<int64_t>::max();
  const std::optional<std::string> none;
  const struct {
    std::string path;
    std::string first;
    std::optional<std::string> base;
    int64_t number;
  } cases[] = {
      // RAR's partN names; the first volume is written as wide as the given number.
      {"x.part3.rar", "x.part1.rar", "x", 3},
      {"x.part10.rar", "x.part01.rar", "x", 10},
      {"/d/x.part07.rev", "/d/x.part01.rar", "/d/x", 7},
      {"x.part001.rar", "x.part001.rar", "x", 1},
      {"a.b.part2.rar", "a.b.part1.rar", "a.b", 2},
      // No number after "part": an ordinary RAR name; partN before another extension is none.
      {"x.part.rar", "x.part.rar", "x.part", 0},
      {"x.part2.zip", "x.part2.zip", none, 0},
      // Digits beyond 64 bits: the number is the largest there is, nothing overflows.
      {"x.part99999999999999999999.rar", "x.part00000000000000000001.rar", "x", kLargest},
      // The older rNN and sNN names.
      {"x.rar", "x.rar", "x", 0},
      {"x.r00", "x.rar", "x", 0},
      {"/a/x.r05", "/a/x.rar", "/a/x", 5},
      {"x.s12", "x.rar", "x", 12},
      {"x.r9999999999999999999999", "x.rar", "x", kLargest},
      // "t" lies outside r-s, and a letter alone carries no number.
      {"x.t01", "x.t01", none, 0},
      {"x.r", "x.r", none, 0},
      {"x.rev", "x.rev", none, 0},
      // Plain numbered pieces.
      {"x.001", "x.001", "x", 1},
      {"x.017", "x.001", "x", 17},
      {"dir.v2/x.tar.003", "dir.v2/x.tar.001", "dir.v2/x.tar", 3},
      {"x.000", "x.001", "x", 0},
      {"x.123456789012345678901234567890", "x.001", "x", kLargest},
      // No volumes; extensions are compared case-sensitively.
      {"x.zip", "x.zip", none, 0},
      {"x", "x", none, 0},
      {"", "", none, 0},
      {"X.RAR", "X.RAR", none, 0},
      {"x.PART2.RAR", "x.PART2.RAR", none, 0},
      {"x.part2.RAR", "x.part2.RAR", none, 0},
      {"x.R00", "x.R00", none, 0},
      // A leading "." starts a hidden name, not an extension.
      {".001", ".001", none, 0},
      {"x.0a1", "x.0a1", none, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(firstPart(c.path), c.first);
    EXPECT_EQ(basePath(c.path), c.base);
    EXPECT_EQ(partNumber(c.path), c.number);
  }
}

}  // namespace
}  // namespace tessaro
