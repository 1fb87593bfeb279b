#include "ArchiveHandler.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "ArchiveHandler7z.h"
#include "ArchiveHandlerRar.h"
#include "ArchiveHandlerXad.h"
#include "ArchiveHandlerXar.h"
#include "HandlerRegistry.h"
#include "support/TempDir.h"

namespace tessaro {
namespace {

using test::TempDir;

// Every class of the hierarchy, parents before children.
const std::vector<std::string> kAllClassNames = {
    "ArchiveHandler", "AHandlerTar",   "AHandlerTGz",      "AHandlerTBz", "AHandlerTXz",       "AHandlerGZip",
    "AHandlerBZip",   "AHandlerXz",    "AHandler7ZipBase", "AHandlerZip", "AHandler7zip",      "AHandlerArj",
    "AHandlerCab",    "AHandlerChm",   "AHandlerIso",      "AHandlerWim", "AHandlerRpm",       "AHandlerNsis",
    "AHandlerDmg",    "AHandlerSplit", "AHandlerRar",      "AHandlerXar", "ArchiveHandlerXad", "AHandlerSit",
    "AHandlerSitX",   "AHandlerDd",    "AHandlerHqx",      "AHandlerBin", "AHandlerLzh",       "AHandlerDeb",
    "AHandlerPdf",    "AHandlerSwf",   "AHandlerCpio",     "AHandlerMime"};

std::string text(const std::optional<std::string>& value) {
  if (!value) return "-";
  return value->empty() ? "''" : *value;
}

std::string joined(const std::optional<std::vector<std::string>>& values) {
  if (!values) return "-";
  std::string out;
  for (const std::string& v : *values) out += (out.empty() ? "" : ",") + v;
  return out;
}

std::string tags(const MenuArray& menu) {
  std::string out;
  for (const MenuItem& item : menu) out += std::to_string(item.tag);
  return out;
}

// One letter per capability, "." when the class answers NO: canTest canAdd canMoveItems
// canWriteComments canDelete canEncrypt canSplit canRepair hasMacMode hasCompressionFactor
// canFilterRsrc.
std::string capabilities(const HandlerClass& c) {
  const bool flags[] = {
      c.canTest(),      c.canAdd(),   c.canMoveItems(), c.canWriteComments(), c.canDelete(),
      c.canEncrypt(),   c.canSplit(), c.canRepair(),    c.hasMacMode(),       c.hasCompressionFactor(),
      c.canFilterRsrc()};
  const char letters[] = "tamwdesrMcf";
  std::string out;
  for (size_t i = 0; i < std::size(flags); ++i) out += flags[i] ? letters[i] : '.';
  return out;
}

// name super tag ext base allowed save capabilities compression encryption "formatName"
std::string describe(const HandlerClass& c) {
  std::ostringstream out;
  out << c.className() << ' ' << (c.superclass() ? c.superclass()->className() : "-") << ' ' << c.formatTag()
      << ' ' << text(c.defaultExtension()) << ' ' << text(c.baseType()) << ' '
      << joined(c.allowedExtensions()) << ' ' << c.canSave() << ' ' << capabilities(c) << ' '
      << tags(c.compressionFactors()) << ' ' << tags(c.encryptionMethods()) << " \"" << c.formatName()
      << "\"\n";
  return out.str();
}

TEST(HandlerClassTest, EveryClassStatesItsFormat) {
  std::string table;
  for (const std::string& name : kAllClassNames) {
    const HandlerClass* c = handlerClassNamed(name);
    ASSERT_NE(c, nullptr) << name;
    table += describe(*c);
  }
  EXPECT_EQ(
      table,
      "ArchiveHandler - -1 - - - 0 ..........f 0 0 \"ArchiveHandler\"\n"
      "AHandlerTar ArchiveHandler 1 tar tar tar 2 ....d...M.f 0 0 \"TAR Format, uncompressed (tar)\"\n"
      "AHandlerTGz AHandlerTar 2 tgz tgz tgz,gz 2 ....d...Mcf 123 0 \"TAR Format, GZip compressed (tgz)\"\n"
      "AHandlerTBz AHandlerTar 3 tbz tbz tbz,bz2 2 ....d...M.f 2 0 \"TAR Format, BZip2 compressed (tbz)\"\n"
      "AHandlerTXz AHandlerTar 8 txz txz txz,xz 2 ....d...M.f 123 0 \"TAR Format, xz compressed (txz)\"\n"
      "AHandlerGZip ArchiveHandler -1 gz gz gz 0 .........cf 123 0 \"AHandlerGZip\"\n"
      "AHandlerBZip ArchiveHandler -1 bz2 bz2 bz2 0 ..........f 0 0 \"AHandlerBZip\"\n"
      "AHandlerXz ArchiveHandler -1 xz xz xz 0 ..........f 0 0 \"AHandlerXz\"\n"
      "AHandler7ZipBase ArchiveHandler -1 - - - 0 t.........f 0 0 \"AHandler7ZipBase\"\n"
      "AHandlerZip AHandler7ZipBase 0 zip zip zip,jar,war,cbz,pk3,pk4 2 t..wdes.Mcf 0123 012 "
      "\"Zip Format (recommended)\"\n"
      "AHandler7zip AHandler7ZipBase 4 7z 7z 7z 2 t.m.des.Mcf 01245 023 "
      "\"7-Zip Format (best compression)\"\n"
      "AHandlerArj AHandler7ZipBase -1 arj arj - 0 t.........f 0 0 \"AHandlerArj\"\n"
      "AHandlerCab AHandler7ZipBase -1 cab cab - 0 t.........f 0 0 \"AHandlerCab\"\n"
      "AHandlerChm AHandler7ZipBase -1 chm chm - 0 t.........f 0 0 \"AHandlerChm\"\n"
      "AHandlerIso AHandler7ZipBase -1 iso iso - 0 t.........f 0 0 \"AHandlerIso\"\n"
      "AHandlerWim AHandler7ZipBase -1 wim wim - 0 t.........f 0 0 \"AHandlerWim\"\n"
      "AHandlerRpm AHandler7ZipBase -1 rpm rpm - 0 t.........f 0 0 \"AHandlerRpm\"\n"
      "AHandlerNsis AHandler7ZipBase -1 nsis nsis - 0 t.........f 0 0 \"AHandlerNsis\"\n"
      "AHandlerDmg AHandler7ZipBase 99 dmg '' dmg 0 t.........f 0 0 \"Apple Disk Image\"\n"
      "AHandlerSplit ArchiveHandler -1 001 split - 0 ..........f 0 0 \"AHandlerSplit\"\n"
      "AHandlerRar ArchiveHandler 6 rar rar rar,cbr 0 t.mwdes.Mcf 01245 023 \"RAR Format\"\n"
      "AHandlerXar ArchiveHandler 5 xar xar xar 2 ........M.. 02 0 \"XAR Format\"\n"
      "ArchiveHandlerXad ArchiveHandler -1 sit sit - 0 ........M.f 0 0 \"ArchiveHandlerXad\"\n"
      "AHandlerSit ArchiveHandlerXad -1 sit sit - 0 ........M.f 0 0 \"AHandlerSit\"\n"
      "AHandlerSitX ArchiveHandlerXad -1 sitx sitx - 0 ........M.f 0 0 \"AHandlerSitX\"\n"
      "AHandlerDd ArchiveHandlerXad -1 dd dd - 0 ........M.f 0 0 \"AHandlerDd\"\n"
      "AHandlerHqx ArchiveHandlerXad -1 hqx hqx - 0 ........M.f 0 0 \"AHandlerHqx\"\n"
      "AHandlerBin ArchiveHandlerXad -1 bin bin - 0 ........M.f 0 0 \"AHandlerBin\"\n"
      "AHandlerLzh ArchiveHandlerXad -1 lzh lzh - 0 ........M.f 0 0 \"AHandlerLzh\"\n"
      "AHandlerDeb ArchiveHandlerXad -1 deb deb - 0 ........M.f 0 0 \"AHandlerDeb\"\n"
      "AHandlerPdf ArchiveHandlerXad -1 pdf pdf - 0 ........M.f 0 0 \"AHandlerPdf\"\n"
      "AHandlerSwf ArchiveHandlerXad -1 swf swf - 0 ........M.f 0 0 \"AHandlerSwf\"\n"
      "AHandlerCpio ArchiveHandlerXad 7 cpio cpio - 0 ........M.f 0 0 \"CPIO Format, uncompressed (cpio)\"\n"
      "AHandlerMime ArchiveHandler -1 - - - 0 ..........f 0 0 \"AHandlerMime\"\n");
  EXPECT_EQ(handlerClassNamed("AHandlerNone"), nullptr);
  EXPECT_EQ(handlerClassNamed(""), nullptr);
}

TEST(HandlerClassTest, ClassesKnowTheirAncestry) {
  const HandlerClass& base = ArchiveHandler::metaclass();
  EXPECT_TRUE(AHandlerZip::metaclass().isSubclassOf(AHandler7ZipBase::metaclass()));
  EXPECT_TRUE(AHandlerZip::metaclass().isSubclassOf(base));
  EXPECT_TRUE(AHandlerZip::metaclass().isSubclassOf(AHandlerZip::metaclass()));
  EXPECT_TRUE(handlerClassNamed("AHandlerTGz")->isSubclassOf(*handlerClassNamed("AHandlerTar")));
  EXPECT_TRUE(AHandlerCpio::metaclass().isSubclassOf(ArchiveHandlerXad::metaclass()));
  EXPECT_FALSE(AHandlerZip::metaclass().isSubclassOf(AHandler7zip::metaclass()));
  EXPECT_FALSE(AHandler7ZipBase::metaclass().isSubclassOf(AHandlerZip::metaclass()));
  EXPECT_FALSE(base.isSubclassOf(AHandlerRar::metaclass()));

  // A handler made by a class answers with that class.
  const auto handler = AHandlerSitX::metaclass().alloc();
  ASSERT_NE(handler, nullptr);
  EXPECT_EQ(&handler->isa(), &AHandlerSitX::metaclass());
  EXPECT_EQ(handler->className(), "AHandlerSitX");
}

TEST(HandlerRegistryClassesTest, RegisteredClassesFollowTheSignatureTable) {
  std::string names;
  for (const HandlerClass* c : allHandlerClasses()) names += std::string(c->className()) + " ";
  EXPECT_EQ(names,
            "AHandlerZip AHandlerGZip AHandlerRar AHandler7zip AHandlerCab AHandlerChm AHandlerLzh "
            "AHandlerArj AHandlerCpio AHandlerHqx AHandlerSit AHandlerTar AHandlerTGz AHandlerTBz "
            "AHandlerTXz AHandlerRpm AHandlerDeb AHandlerXar AHandlerMime AHandlerWim AHandlerNsis "
            "AHandlerPdf AHandlerSwf ");

  // Only classes that can create archives, in registry order.
  EXPECT_EQ(saveTypeExtensions(false),
            (std::vector<std::string>{"zip", "7z", "tar", "tgz", "tbz", "txz", "xar"}));
  EXPECT_EQ(saveTypeNames(true),
            (std::vector<std::string>{"Zip Format (recommended)", "7-Zip Format (best compression)",
                                      "TAR Format, uncompressed (tar)", "TAR Format, GZip compressed (tgz)",
                                      "TAR Format, BZip2 compressed (tbz)", "TAR Format, xz compressed (txz)",
                                      "XAR Format"}));
}

TEST(HandlerRegistryClassesTest, HandlerWithFormatTakesTheFirstRegisteredClassWithTheTag) {
  const std::pair<int32_t, const char*> cases[] = {
      {0, "AHandlerZip"},
      {1, "AHandlerTar"},
      {2, "AHandlerTGz"},
      {3, "AHandlerTBz"},
      {4, "AHandler7zip"},
      {5, "AHandlerXar"},
      {6, "AHandlerRar"},
      {7, "AHandlerCpio"},
      {8, "AHandlerTXz"},
      // -1 is every unsavable format's tag; the first registered one wins.
      {-1, "AHandlerGZip"}};
  for (const auto& [tag, name] : cases) {
    const auto handler = handlerWithFormat(tag);
    ASSERT_NE(handler, nullptr) << tag;
    EXPECT_EQ(handler->className(), name);
    EXPECT_EQ(handler->url(), std::nullopt);
  }
  // Disk images are never detected, so the registry does not know their tag.
  EXPECT_EQ(handlerWithFormat(99), nullptr);
  EXPECT_EQ(handlerWithFormat(42), nullptr);
}

std::string titles(const MenuArray& menu) {
  std::string out;
  for (const MenuItem& item : menu) out += std::to_string(item.tag) + " " + item.title + "\n";
  return out;
}

TEST(HandlerRegistryClassesTest, MenusAreSelectionsOfTheSharedLists) {
  EXPECT_EQ(titles(allCompressionFactors()),
            "0 No compression\n1 Fast, but larger archives\n2 Normal\n3 Best, but slower operation\n"
            "4 High, but slower operation\n5 Best (solid, slow extraction)\n");
  EXPECT_EQ(titles(allEncryptionMethods()),
            "0 Not encrypted\n1 Weak (PKZip2 compatible)\n2 Strong (AES-256)\n"
            "3 Strong (AES-256) with header encryption\n");
  EXPECT_EQ(titles(AHandler7zip::metaclass().compressionFactors()),
            "0 No compression\n1 Fast, but larger archives\n2 Normal\n4 High, but slower operation\n"
            "5 Best (solid, slow extraction)\n");
  EXPECT_EQ(titles(AHandlerRar::metaclass().encryptionMethods()),
            "0 Not encrypted\n2 Strong (AES-256)\n3 Strong (AES-256) with header encryption\n");
  EXPECT_EQ(titles(ArchiveHandler::metaclass().encryptionMethods()), "0 Not encrypted\n");

  // The filter's order wins; unknown tags are skipped, repeated ones repeated.
  EXPECT_EQ(tags(menuArrayFromArray(allCompressionFactors(), {5, 9, 0, -1, 5})), "505");
  EXPECT_EQ(menuArrayFromArray({}, {0, 1}).size(), 0u);
  const MenuArray twice = {{"first", 1}, {"second", 1}};
  EXPECT_EQ(titles(menuArrayFromArray(twice, {1})), "1 first\n");
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

TEST_F(ArchiveHandlerTest, NumberedSetEndsAtTheFirstGap) {
  write("a.001", 1);
  write("a.002", 2);
  write("a.004", 4);
  ArchiveHandler handler;
  handler.setUrl(at("a.001"));
  EXPECT_EQ(volumes(handler), "a.001 1\na.002 2\n");
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
  write("plain.zip", 7);
  ArchiveHandler handler;
  handler.setUrl(at("a.001"));
  ASSERT_EQ(handler.parts().size(), 2u);

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

TEST_F(ArchiveHandlerTest, DescriptionNamesTheFileAndTheBaseType) {
  const auto zip = AHandlerZip::metaclass().initWithURL(write("d.zip"));
  ASSERT_NE(zip, nullptr);
  EXPECT_EQ(zip->description(), "Filename: " + at("d.zip") + "\nBasetype = zip");
  EXPECT_EQ(ArchiveHandler().description(), "Filename: (null)\nBasetype = (null)");
}

TEST_F(ArchiveHandlerTest, BaseNamesDropVolumeSuffixesWhereTheFormatHasThem) {
  struct Case {
    const HandlerClass& handlerClass;
    std::string file;
    std::string expected;
  };
  const Case cases[] = {
      {ArchiveHandler::metaclass(), "x.tar.gz", "x.tar"},
      {ArchiveHandler::metaclass(), "noext", "noext"},
      {ArchiveHandler::metaclass(), "b.zip.001", "b.zip"},
      {AHandlerZip::metaclass(), "set.zip.001", "set"},
      {AHandlerZip::metaclass(), "one.zip", "one"},
      {AHandler7zip::metaclass(), "s.7z.001", "s"},
      {AHandlerRar::metaclass(), "r.part1.rar", "r"},
      {AHandlerRar::metaclass(), "q.rar", "q"},
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
  const AHandlerArj arj;
  const AHandlerCab cab;
  const AHandlerRar rar;
  EXPECT_TRUE(zip.isFirstFile("a.zip.001"));
  EXPECT_FALSE(zip.isFirstFile("a.zip.002"));
  // Only the volume numbered 1 counts: a single archive is not a first volume.
  EXPECT_FALSE(zip.isFirstFile("a.zip"));
  EXPECT_TRUE(arj.isFirstFile("a.001"));
  EXPECT_TRUE(cab.isFirstFile("anything"));
  EXPECT_TRUE(rar.isFirstFile("x.part1.rar"));
  EXPECT_TRUE(rar.isFirstFile("x.part001.rar"));
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
      {AHandlerZip::metaclass(), "T", "", false, true, 0},
      {AHandlerZip::metaclass(), "0", "Deflate", false, false, 0},
      // The method is read from the cipher name alone.
      {AHandlerZip::metaclass(), "", "ZipCrypto Store", false, false, 1},
      {AHandler7zip::metaclass(), "", "LZMA2:24 7zAES:19", false, true, 2},
      {AHandler7zip::metaclass(), "", "LZMA2:24", false, false, 0},
      {AHandler7zip::metaclass(), "", "LZMA2:24", true, false, 3},
      {AHandlerArj::metaclass(), "1", "", false, true, 1},
      {AHandlerArj::metaclass(), "+", "", false, false, 0},
      {AHandlerCab::metaclass(), "1", "7zAES", false, false, 0},
      {AHandlerRar::metaclass(), "*", "x", false, true, 2},
      {AHandlerRar::metaclass(), "0", "x", false, false, 0},
      {AHandlerRar::metaclass(), "0", "x", true, false, 3},
      {AHandlerSit::metaclass(), "Y", "", false, true, 1},
      {AHandlerCpio::metaclass(), "N", "", false, false, 0},
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

TEST(ArchiveHandlerFoldersTest, ResourceFoldersAndUpdates) {
  const auto rsrc = [](const HandlerClass& c) { return text(c.alloc()->rsrcFolder()); };
  EXPECT_EQ(rsrc(AHandlerZip::metaclass()), "__MACOSX");
  EXPECT_EQ(rsrc(AHandler7zip::metaclass()), "__MACOSX");
  EXPECT_EQ(rsrc(AHandlerRar::metaclass()), "__MACOSX");
  EXPECT_EQ(rsrc(ArchiveHandlerXad::metaclass()), "''");
  EXPECT_EQ(rsrc(AHandlerSit::metaclass()), "''");
  EXPECT_EQ(rsrc(AHandlerCpio::metaclass()), ".");
  EXPECT_EQ(rsrc(AHandlerXar::metaclass()), "-");
  EXPECT_EQ(rsrc(AHandlerCab::metaclass()), "-");

  AHandlerZip zip;
  EXPECT_TRUE(zip.canUpdate());
  zip.setParts({VolumePart{"a.001", "a.001", 1}});
  EXPECT_TRUE(zip.canUpdate());
  zip.setParts({VolumePart{"a.001", "a.001", 1}, VolumePart{"a.002", "a.002", 1}});
  EXPECT_FALSE(zip.canUpdate());
  EXPECT_FALSE(AHandlerCab().canUpdate());
  // Without the rar tool RAR archives are read-only.
  EXPECT_FALSE(AHandlerRar().canUpdate());
}

}  // namespace
}  // namespace tessaro
