// The XAD-backed handlers on cpio, cpgz, deb, lzh, pdf and swf files made at test time and on the
// real StuffIt, BinHex and MacBinary samples read where they lie: listing through getInfo, the
// cpio resource-fork record, extraction with cancellation, and the preview qlhost renders.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "ArchiveHandlerXad.h"
#include "ListingPipeline.h"
#include "process/Subprocess.h"
#include "support/FakeHost.h"
#include "support/Files.h"
#include "support/Golden.h"
#include "support/ScopedEnv.h"
#include "support/SuiteFixtures.h"
#include "support/TempDir.h"
#include "support/TreeDump.h"
#include "xad/XADArchive.h"
#include "support/Processes.h"

namespace tessaro {
namespace {

using test::noChildrenLeft;
using test::shell;

namespace fs = std::filesystem;

const fs::path kMac = TESSARO_MAC_FIXTURES;
const fs::path kSit = kMac / "testfile.stuffit45_dlx.mac9.sit";

using test::readFile;

// A one-page PDF holding a 2x2 RGB image, which the PDF parser lists as a TIFF file.
std::string pdfWithImage() {
  const std::vector<std::string> objects{
      "<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
      "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 10 10] /Resources << /XObject << /Im1 4 0 R >> >> "
      "/Contents 5 0 R >>",
      "<< /Type /XObject /Subtype /Image /Width 2 /Height 2 /ColorSpace /DeviceRGB /BitsPerComponent 8 "
      "/Length 12 >>\nstream\nABCDEFGHIJKL\nendstream",
      "<< /Length 27 >>\nstream\nq 10 0 0 10 0 0 cm /Im1 Do Q\nendstream"};
  std::string pdf = "%PDF-1.4\n";
  std::vector<size_t> offsets;
  for (size_t i = 0; i < objects.size(); ++i) {
    offsets.push_back(pdf.size());
    pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  const size_t xref = pdf.size();
  pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
  for (size_t offset : offsets) {
    char line[32];
    std::snprintf(line, sizeof line, "%010zu 00000 n \n", offset);
    pdf += line;
  }
  pdf += "trailer\n<< /Size " + std::to_string(objects.size() + 1) + " /Root 1 0 R >>\nstartxref\n" +
         std::to_string(xref) + "\n%%EOF\n";
  return pdf;
}

std::string littleEndian(uint32_t v, int bytes) {
  std::string out;
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
  return out;
}

// An uncompressed Flash movie whose one tag is a 2x2 DefineBitsLossless image (tag 20, 32-bit
// pixels), which the SWF parser lists as a PNG file.
std::string swfWithImage() {
  const std::string pixels = std::string("\xFF\xFF\x00\x00", 4) + std::string("\xFF\x00\xFF\x00", 4) +
                             std::string("\xFF\x00\x00\xFF", 4) + std::string("\xFF\xFF\xFF\xFF", 4);
  std::string packed(compressBound(pixels.size()), '\0');
  uLongf packedSize = packed.size();
  if (compress(reinterpret_cast<Bytef*>(packed.data()), &packedSize,
               reinterpret_cast<const Bytef*>(pixels.data()), pixels.size()) != Z_OK)
    return {};
  packed.resize(packedSize);
  // Character id 1, format 5 (32-bit), width and height 2.
  const std::string image = littleEndian(1, 2) + '\x05' + littleEndian(2, 2) + littleEndian(2, 2) + packed;
  constexpr uint32_t kDefineBitsLossless = 20;
  // Tag headers hold the code over 6 bits of length; 63 there means a 32-bit length follows.
  const std::string tag = littleEndian((kDefineBitsLossless << 6) | 63, 2) +
                          littleEndian(static_cast<uint32_t>(image.size()), 4) + image;
  // A frame rectangle of 0-bit fields (one byte), 24 frames a second in 8.8 fixed point, 1 frame;
  // the end tag.
  const std::string movie =
      std::string(1, '\0') + littleEndian(24 << 8, 2) + littleEndian(1, 2) + tag + std::string(2, '\0');
  return "FWS\x08" + littleEndian(static_cast<uint32_t>(8 + movie.size()), 4) + movie;
}

// A tree with a folder, a file with a resource fork (its AppleDouble "._b" file) and a non-ASCII
// name; every date is 2020-05-01 10:20:33 UTC.
constexpr const char* kMakeFixtures = R"sh(
mkdir -p tree/sub deb/DEBIAN deb/usr/share/doc/x
printf 'hello\n' > tree/sub/a.txt
printf 'data' > tree/b
printf '\303\251t\303\251' > "tree/$(printf '\303\251t\303\251.txt')"
# AppleDouble: magic, version 2, filler, one entry (id 2, the resource fork) of 8 bytes at 38.
printf '\000\005\026\007\000\002\000\000Mac OS X        \000\001\000\000\000\002\000\000\000\046\000\000\000\010FORKDATA' > tree/._b
find tree deb -exec touch -h -d @1588328433 {} +
(cd tree && find . -mindepth 1 | LC_ALL=C sort | cpio --quiet -o -H newc > ../newc.cpio)
(cd tree && find . -mindepth 1 | LC_ALL=C sort | cpio --quiet -o -H odc > ../odc.cpio)
gzip -9nc newc.cpio > x.cpgz
printf 'Package: x\nVersion: 1.0\nArchitecture: all\nMaintainer: t <t@example.org>\nDescription: t\n' > deb/DEBIAN/control
printf 'doc\n' > deb/usr/share/doc/x/README
touch -d @1588328433 deb/DEBIAN/control deb/usr/share/doc/x/README
SOURCE_DATE_EPOCH=1588328433 dpkg-deb --root-owner-group -Znone --build deb x.deb > /dev/null
(cd tree/sub && jlha c ../../x.lzh a.txt > /dev/null)
# Names that leave the folder: one that climbs out, one absolute.
mkdir evil && printf bad > evil/escaped && printf bad > evil/absolute && printf good > evil/inside
(cd evil && bsdtar --format newc -P -s ',^escaped$,../escaped,' -s ',^absolute$,/tmp/absolute-xad-test,' \
  -cf ../evil.cpio escaped absolute inside)
)sh";

class XadHandlerTest : public test::SuiteFixtures<XadHandlerTest> {
 public:
  static constexpr const char* kFixtureScript = kMakeFixtures;

 protected:
  static void SetUpTestSuite() {
    SuiteFixtures::SetUpTestSuite();
    fixtures().write("x.pdf", pdfWithImage());
    fixtures().write("x.swf", swfWithImage());
  }
  static fs::path fixture(const char* name) { return fixtures().path() / name; }

  // `path` opened by the handler kind `Handler`; null when that kind does not take it.
  template <class Handler>
  static std::shared_ptr<ArchiveHandlerXad> open(const fs::path& path) {
    return std::dynamic_pointer_cast<ArchiveHandlerXad>(Handler::metaclass().initWithURL(path.string()));
  }

  static std::string listing(const fs::path& path, int32_t* status = nullptr) {
    AZipItem::Ptr root;
    const int32_t result = getInfo(path.string(), root);
    if (status) *status = result;
    return root ? test::dumpTree(*root, true) : std::string("(no root)");
  }

  // The handler's records, a line each.
  static std::string records(ArchiveHandlerXad& handler) {
    std::vector<std::string> lines;
    EXPECT_EQ(handler.getInfo(lines), 0);
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
  }

  test::TempDir dir_;
};

// The pipeline's trees of both cpio header forms, a deb, an LZH, the PDF and Flash images and
// the Mac samples, one after another. In cpio the AppleDouble file comes back as the fork's own
// record (a Mac metadata item), and newc pads every member to four bytes, which its packed sizes
// show. The PDF's image comes out as a TIFF file, its header on top of the 12 bytes the PDF
// stores; lsar gives the Flash image neither size nor date. In the StuffIt samples data and
// resource fork of a file are one entry ("Test Image" has only a resource fork); a BinHex or
// MacBinary wrapper opened as it is lists the one file it wraps, and BinHex stores no date.
TEST_F(XadHandlerTest, EveryFormatListsItsTree) {
  std::string all;
  ASSERT_TRUE(fs::exists(fixture("x.lzh"))) << "jlha (package jlha-utils) made no archive";
  for (const fs::path& archive :
       {fixture("newc.cpio"), fixture("odc.cpio"), fixture("x.deb"), fixture("x.lzh"), fixture("x.pdf"),
        fixture("x.swf"), kSit, kMac / "testfile.stuffit7_dlx.mac9.sit",
        kMac / "testfile.stuffit_deluxe_2009.win.sitx", kMac / "testfile.stuffit45_dlx.mac9.sit.hqx",
        kMac / "testfile.stuffit45_dlx.mac9.sit.bin"}) {
    int32_t status = -2;
    all += "== " + archive.filename().string() + "\n" + listing(archive, &status);
    EXPECT_EQ(status, 0) << archive;
  }
  test::expectGolden("xad-trees.txt", all);
}

// The records of a StuffIt sample (times in the default zone, here EST5), a cpio and the Flash
// file against the golden text. The cpio's AppleDouble file becomes the fork's own record, before
// its file, naming the AppleDouble file and carrying the fork's index in the archive.
TEST_F(XadHandlerTest, RecordsCarryIndexForkSizesAndTimes) {
  test::ScopedEnv zone;
  zone.set("TZ", "EST5");
  const auto sit = open<AHandlerSit>(kSit);
  ASSERT_TRUE(sit);
  EXPECT_FALSE(sit->isListingEncrypted());
  std::string text = "== testfile.stuffit45_dlx.mac9.sit\n" + records(*sit);
  EXPECT_TRUE(sit->archive()->entryHasResourceFork(5));
  EXPECT_FALSE(sit->archive()->entryHasResourceFork(2));
  zone.set("TZ", "UTC");
  const auto cpio = open<AHandlerCpio>(fixture("newc.cpio"));
  const auto swf = open<AHandlerSwf>(fixture("x.swf"));
  ASSERT_TRUE(cpio && swf);
  text += "== newc.cpio\n" + records(*cpio);
  text += "== x.swf\n" + records(*swf);
  test::expectGolden("xad-records.txt", text);
  // Opened by name, a cpgz is the cpio archive inside.
  AHandlerCpio cpgz;
  ASSERT_TRUE(cpgz.initWithFilename(fixture("x.cpgz").string()));
  EXPECT_EQ(records(cpgz), records(*cpio));
}

// An encrypted listing still lists: every entry is there, marked by its type. unar could take the
// password only on its command line: refused before it runs.
TEST_F(XadHandlerTest, AnEncryptedSampleListsButUnarGetsNoPassword) {
  const std::string path = (kMac / "testfile.stuffit45_dlx.mac9.password.sit").string();
  const auto locked = open<AHandlerSit>(path);
  ASSERT_TRUE(locked);
  EXPECT_TRUE(locked->isListingEncrypted());
  AZipItem::Ptr root;
  EXPECT_EQ(getInfo(path, root), 0);
  ASSERT_TRUE(root);
  int encrypted = 0;
  for (const AZipItem::Ptr& item : root->children())
    if (locked->isItemEncrypted(*item)) ++encrypted;
  EXPECT_EQ(encrypted, 6);
  locked->setPassword("password");
  EXPECT_EQ(locked->extractEntries({"5"}, dir_.str()), kStatusPasswordNotPrivate);
}

TEST_F(XadHandlerTest, ExtractsOneEntryByteForByte) {
  const auto cpio = open<AHandlerCpio>(fixture("newc.cpio"));
  ASSERT_TRUE(cpio);
  ASSERT_EQ(cpio->archive()->nameOfEntry(2), "sub/a.txt");
  EXPECT_EQ(cpio->extractEntries({"2"}, dir_.str()), 0);
  EXPECT_EQ(readFile(dir_.path() / "sub/a.txt"), readFile(fixtures().path() / "tree/sub/a.txt"));
  EXPECT_FALSE(fs::exists(dir_.path() / "b"));
  // The Flash file's image comes out as a PNG file.
  const auto swf = open<AHandlerSwf>(fixture("x.swf"));
  ASSERT_TRUE(swf);
  EXPECT_EQ(swf->extractEntries({"0"}, dir_.str()), 0);
  EXPECT_EQ(readFile(dir_.path() / "Image 1 at frame 0.png").substr(0, 8), "\x89PNG\r\n\x1A\n");

  // The StuffIt sample's testfile.png against the same image taken out of the sitx by unar itself;
  // its testfile.txt keeps the Mac line end, and its resource fork goes beside it.
  const fs::path reference = dir_.path() / "reference";
  ASSERT_EQ(run({"/usr/bin/unar", "-q", "-o", reference.string(), "-D",
                 (kMac / "testfile.stuffit_deluxe_2009.win.sitx").string(), "sources/testfile.png"})
                .exitStatus,
            0);
  const auto sit = open<AHandlerSit>(kSit);
  ASSERT_TRUE(sit);
  const fs::path out = dir_.path() / "sit";
  fs::create_directories(out);
  EXPECT_EQ(sit->extractEntries({"4", "5"}, out.string()), 0);
  EXPECT_EQ(readFile(out / "testfile.png"), readFile(reference / "sources/testfile.png"));
  EXPECT_EQ(readFile(out / "testfile.png").size(), 87u);
  EXPECT_EQ(readFile(out / "testfile.txt"), "Testing 123\r");
  EXPECT_TRUE(fs::exists(out / "._testfile.txt"));
  EXPECT_FALSE(fs::exists(out / "testfile.jpg"));
  // A number that names no entry fails.
  EXPECT_EQ(sit->extractEntries({"99"}, out.string()), 4);
  // unar cannot decode the sitx's jpg: the failure ends the extraction before the png.
  const auto sitx = open<AHandlerSitX>(kMac / "testfile.stuffit_deluxe_2009.win.sitx");
  ASSERT_TRUE(sitx);
  const fs::path failed = dir_.path() / "failed";
  fs::create_directories(failed);
  EXPECT_EQ(sitx->extractEntries({"1", "2", "3"}, failed.string()), 4);
  EXPECT_TRUE(fs::exists(failed / "sources/testfile.txt"));
  EXPECT_FALSE(fs::exists(failed / "sources/testfile.png"));
  EXPECT_TRUE(noChildrenLeft());
}

TEST_F(XadHandlerTest, NamesThatLeaveTheFolderAreNeverWritten) {
  const auto handler = open<AHandlerCpio>(fixture("evil.cpio"));
  ASSERT_TRUE(handler);
  const fs::path out = dir_.path() / "out" / "deeper";
  fs::create_directories(out);
  for (int n = 0; n < handler->archive()->numberOfEntries(); ++n) {
    const std::string name = handler->archive()->nameOfEntry(n);
    const int32_t result = handler->extractEntries({std::to_string(n)}, out.string());
    EXPECT_EQ(result, name == "inside" ? 0 : 4) << name;
  }
  EXPECT_EQ(readFile(out / "inside"), "good");
  EXPECT_FALSE(fs::exists(dir_.path() / "out" / "escaped"));
  EXPECT_FALSE(fs::exists("/tmp/absolute-xad-test"));
  // The whole archive: the safe entry is written, the others are skipped.
  const fs::path all = dir_.path() / "all" / "deeper";
  fs::create_directories(all);
  EXPECT_EQ(handler->extractEntries({"-1"}, all.string()), 0);
  EXPECT_FALSE(fs::exists(dir_.path() / "all" / "escaped"));
}

// Answers every progress report with a cancel.
TEST_F(XadHandlerTest, ACancelFromTheHostStopsTheExtraction) {
  const auto handler = open<AHandlerSit>(kSit);
  ASSERT_TRUE(handler);
  auto host = std::make_shared<test::FakeHost>();
  host->dataAnswer = -1;
  handler->setCallbackHandler(host);
  EXPECT_EQ(handler->extractEntries({"2", "4", "5"}, dir_.str()), 4);
  EXPECT_GE(host->chunks.size(), 1u);
  EXPECT_TRUE(handler->operationCancelled());
  EXPECT_FALSE(fs::exists(dir_.path() / "testfile.txt"));
  EXPECT_TRUE(noChildrenLeft());
}

TEST_F(XadHandlerTest, CorruptOrForeignFilesGetNoHandler) {
  test::IsolatedHome home;
  const std::string before = test::folderListing(home.dir().path());
  const fs::path junk = dir_.write("junk.cpio", std::string("070701") + std::string(300, 'Z'));
  int32_t status = 0;
  EXPECT_EQ(listing(junk, &status), "");
  EXPECT_EQ(status, -1);
  EXPECT_FALSE(open<AHandlerCpio>(junk));
  EXPECT_FALSE(open<AHandlerSit>(dir_.path() / "missing.sit"));
  EXPECT_TRUE(noChildrenLeft());
  // The pipeline's temporary folder went with the listing.
  EXPECT_EQ(test::folderListing(home.dir().path()), before);
}

// A stand-in lsar on PATH prints what the listing must survive.
TEST_F(XadHandlerTest, HostileListingsOpenNothingOrWhatTheyCanHold) {
  const fs::path bin = dir_.path() / "bin";
  const fs::path archive = dir_.write("any.cpio", "070701");
  const auto withListing = [&](const std::string& json) {
    dir_.write("bin/listing.json", json);
    dir_.write("bin/lsar", "#!/bin/sh\nexec cat '" + (bin / "listing.json").string() + "'\n");
    fs::permissions(bin / "lsar", fs::perms::owner_all);
    test::ScopedEnv path;
    path.set("PATH", bin.string() + ":/usr/bin:/bin");
    return XADArchive::initWithFile(archive.string());
  };
  for (const std::string& json :
       {std::string("not json"), std::string("{\"lsarContents\": []}"), std::string(100000, '['),
        std::string("{\"lsarFormatName\": \"X\", \"lsarContents\": [")}) {
    EXPECT_FALSE(withListing(json)) << json.substr(0, 40);
  }
  // Wrong types and absurd numbers read as nothing; names and indices stay as given.
  const auto archiveOpened = withListing(
      R"({"lsarFormatName": "X", "lsarContents": [
          {"XADFileName": 7, "XADFileSize": "big", "XADIndex": 99999999999999999999},
          {"XADFileName": "../up", "XADFileSize": 1e300, "XADLastModificationDate": "9999999-99-99 99:99:99 +9999"},
          {"XADFileName": "r", "XADIsResourceFork": 1, "XADFileSize": -5, "MacOriginalDictionary": [1]}]})");
  ASSERT_TRUE(archiveOpened);
  ASSERT_EQ(archiveOpened->numberOfEntries(), 3);
  EXPECT_EQ(archiveOpened->nameOfEntry(0), "");
  EXPECT_EQ(archiveOpened->nameOfEntry(1), "../up");
  EXPECT_TRUE(archiveOpened->attributesOfEntry(1).count(kXADFileModificationDate) == 0);
  EXPECT_TRUE(archiveOpened->entryHasResourceFork(2));
  EXPECT_EQ(archiveOpened->nameOfEntry(3), "");
  EXPECT_TRUE(archiveOpened->combinedParserDictionaryForEntry(-1).empty());
  EXPECT_FALSE(archiveOpened->extractEntry(1, dir_.str(), true));
}

}  // namespace
}  // namespace tessaro
