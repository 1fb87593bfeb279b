// The TNEF decoder on containers built by the test writer and on two made by mail programs:
// the output folder is compared file by file with what went in, and every bad input must end
// in a clean failure with its message, bounded memory and nothing outside the output folder.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

#include "TNEFCore.h"
#include "support/TempDir.h"
#include "support/TnefWriter.h"
#include "tnef.h"

namespace tessaro {
namespace {

namespace fs = std::filesystem;
using test::MapiStream;
using test::TnefAttachment;
using test::TnefWriter;

const fs::path kFixtures = TESSARO_TNEF_FIXTURES;

constexpr uint16_t kBinary = 0x0102;
constexpr uint16_t kRtfCompressed = 0x1009;
constexpr uint16_t kBodyHtml = 0x1013;

using test::readFile;

// Every entry of `folder` (recursively) with its contents; folders as "<name>/".
std::map<std::string, std::string> folderContents(const fs::path& folder) {
  std::map<std::string, std::string> files;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder)) {
    const std::string name = entry.path().lexically_relative(folder).string();
    if (entry.is_directory())
      files[name + "/"] = "";
    else
      files[name] = readFile(entry.path());
  }
  return files;
}

// A MAPI property's type and name.
std::string header(uint16_t type, uint16_t name) { return test::le16(type) + test::le16(name); }

// A FILE that writes into memory; take() closes it and returns what was written.
struct MemoryStream {
  char* text = nullptr;
  size_t size = 0;
  FILE* file = open_memstream(&text, &size);
  std::string take() {
    std::fclose(file);
    std::string written(text, size);
    std::free(text);
    return written;
  }
};

struct Decoded {
  int status = -1;
  std::string out;  // standard output messages
  std::string err;  // error messages
  std::map<std::string, std::string> files;
};

class TnefDecoderTest : public ::testing::Test {
 protected:
  // Decodes `bytes` from a regular file into a fresh folder. With `boundMemory`, no single
  // allocation may exceed the input's size.
  Decoded decode(const std::string& bytes, bool boundMemory = true, const std::string& preference = "all") {
    const fs::path run = dir_.path() / "run";
    const fs::path input = dir_.write("run/input.dat", bytes);
    const fs::path out = run / "out";
    fs::remove_all(out);
    fs::create_directory(out);
    MemoryStream outStream, errStream;
    tnef::Context ctx;
    ctx.out = outStream.file;
    ctx.err = errStream.file;
    if (boundMemory) ctx.maxAllocation = bytes.size();
    FILE* file = std::fopen(input.c_str(), "rb");
    Decoded result;
    result.status = tnef::parse_file(file, out.string(), "MailBody", preference, tnef::kSaveBody, ctx);
    std::fclose(file);
    result.out = outStream.take();
    result.err = errStream.take();
    result.files = folderContents(out);
    // Nothing may appear beside the input and the output folder.
    for (const fs::directory_entry& entry : fs::directory_iterator(run))
      EXPECT_TRUE(entry.path() == input || entry.path() == out) << entry.path();
    return result;
  }

  // The whole-file entry point, its messages dropped.
  static bool extractFile(const fs::path& input, const fs::path& destination) {
    FILE* sink = std::fopen("/dev/null", "w");
    const bool done =
        tnef::TNEFCore::extractWinmailDatFromPathWithURL(input.string(), destination.string(), sink, sink);
    std::fclose(sink);
    return done;
  }

  test::TempDir dir_;
};

const std::string kRtf =
    "{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0\\fswiss Arial;}}\\pard\\plain\\f0\\fs20 "
    "Hello, hello, hello world. The quarterly report is attached; the numbers are in the PDF.\\par "
    "Hello, hello, hello world again.\\par}\r\n";

TEST_F(TnefDecoderTest, AttachmentsAndBodiesComeOutFileByFile) {
  TnefWriter writer;
  writer.messageProps(MapiStream()
                          .raw(test::le16(0x000B) + test::le16(0x0E1F) + test::le32(0x01010101))
                          .counted(kBinary, kRtfCompressed, {test::compressRtf(kRtf)})
                          .counted(kBinary, kBodyHtml, {"<html><body>Hi</body></html>"}));
  writer.textBody("Plain text body\r\n");
  writer.attachment({"report.pdf", std::nullopt, "%PDF-1.4 fake"});
  writer.attachment({"a:b.txt", std::nullopt, "colon"});
  // The 8.3 title gives way to the long name from the property stream.
  writer.attachment({"LONGFI~1.TXT", "A long file name, with spaces.txt", "long"});
  writer.attachment({"x", "Ünïcödé €uro.txt", "unicode"});
  writer.attachment({std::nullopt, std::nullopt, "nameless"});
  writer.attachment({"../../escape/*?\"<>|\x01%.txt", std::nullopt, "hostile"});
  writer.attachment({"..", std::nullopt, "dots"});
  writer.attachment({"", std::nullopt, "empty name"});
  writer.attachment({std::string(300, 'n') + ".pdf", std::nullopt, "too long"});

  const Decoded result = decode(writer.bytes(), false);
  EXPECT_EQ(result.status, tnef::kDecoded) << result.err;
  EXPECT_EQ(result.err, "tnef: " + (dir_.path() / "run/out/tnef-tmp").string() +
                            ": Could not create file: File exists\n");
  const std::map<std::string, std::string> expected{
      {"MailBody.rtf", kRtf},
      {"MailBody.html", "<html><body>Hi</body></html>"},
      {"MailBody.txt", "Plain text body\r\n"},
      {"report.pdf", "%PDF-1.4 fake"},
      {"a%3Ab.txt", "colon"},
      {"A long file name, with spaces.txt", "long"},
      {"Ünïcödé €uro.txt", "unicode"},
      // The nameless attachment is first to take the default name; the empty name meets it.
      {"tnef-tmp", "nameless"},
      {"..%2F..%2Fescape%2F%2A%3F%22%3C%3E%7C%01%25.txt", "hostile"},
      {"%2E%2E", "dots"},
      {std::string(251, 'n') + ".pdf", "too long"},
  };
  EXPECT_EQ(result.files, expected);
}

TEST_F(TnefDecoderTest, BodyPreferenceAndStoredRtf) {
  TnefWriter writer;
  writer.messageProps(MapiStream()
                          .counted(kBinary, kRtfCompressed, {test::storeRtf("{\\rtf1 stored}")})
                          .counted(kBinary, kBodyHtml, {"<p>one</p>", "<p>two</p>"}));
  writer.textBody("text");
  // Every value of a kind gets the same name: the second HTML body meets the first.
  Decoded all = decode(writer.bytes());
  EXPECT_EQ(all.files, (std::map<std::string, std::string>{{"MailBody.rtf", "{\\rtf1 stored}"},
                                                           {"MailBody.html", "<p>one</p>"},
                                                           {"MailBody.txt", "text"}}));
  EXPECT_NE(all.err.find("MailBody.html: Could not create file: File exists"), std::string::npos);
  // A single-kind preference writes only the first kind it finds.
  EXPECT_EQ(decode(writer.bytes(), true, "th").files,
            (std::map<std::string, std::string>{{"MailBody.txt", "text"}}));
}

// Each value as the message's compressed RTF body: the message it leaves, and the body's size
// and start where one is written.
TEST_F(TnefDecoderTest, CompressedRtfDecodesOrKeepsWhatItCan) {
  // The example of the format's documentation, byte for byte.
  const std::string published(
      "\x23\x00\x00\x00\x22\x00\x00\x00LZFu\x33\x5c\xe8\x74\x03\x00\x0a\x00rcpg125\x92\x32\x0a\xf3\x20t\x07"
      "\x90t}\x0f\x10",
      39);
  std::string badCrc = test::compressRtf(kRtf);
  badCrc[12] ^= 0x55;
  std::string cut = test::compressRtf(kRtf);
  cut.resize(cut.size() - 6);
  cut.replace(0, 4, test::le32(static_cast<uint32_t>(cut.size() - 4)));
  cut.replace(12, 4, test::le32(test::rtfCrc(cut.substr(16))));
  std::string zeroRaw = test::compressRtf(kRtf);
  zeroRaw.replace(4, 4, test::le32(0));
  // The declared raw size alone sets the body's length: the end reference comes early, the rest
  // stays zero.
  std::string padded = test::compressRtf("{\\rtf1 x}");
  padded.replace(4, 4, test::le32(5000));
  std::string wrongSize = test::compressRtf(kRtf);
  wrongSize.replace(0, 4, test::le32(7));
  std::string unknownMagic = test::storeRtf("{\\rtf1}");
  unknownMagic.replace(8, 4, "ABCD");

  const char* const overrun = "RTF buffer overrun, input file may be corrupted\n";
  struct Case {
    const char* what;
    std::string value;
    const char* message;
    std::optional<size_t> size;  // no body when absent
    std::string start;
  };
  const std::vector<Case> cases{
      {"published example", published, "", 34, "{\\rtf1\\ansi\\ansicpg1252\\pard test}"},
      {"CRC mismatch: empty body", badCrc, "Invalid RTF CRC, input file may be corrupted\n", 0, ""},
      {"no end reference: the start kept", cut, overrun, kRtf.size(), kRtf.substr(0, 40)},
      {"raw size 0", zeroRaw, overrun, 0, ""},
      {"raw size beyond the payload", padded, "", 5000, "{\\rtf1 x}"},
      {"compressed size disagrees", wrongSize, "", std::nullopt, ""},
      {"unknown magic", unknownMagic, "", std::nullopt, ""},
      {"shorter than its header", "LZFu", "", std::nullopt, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TnefWriter writer;
    writer.messageProps(MapiStream().counted(kBinary, kRtfCompressed, {c.value}));
    const Decoded result = decode(writer.bytes(), false);
    EXPECT_EQ(result.status, tnef::kDecoded);
    EXPECT_EQ(result.err, c.message);
    const auto body = result.files.find("MailBody.rtf");
    ASSERT_EQ(body != result.files.end(), c.size.has_value());
    if (c.size) {
      EXPECT_EQ(body->second.size(), *c.size);
      EXPECT_EQ(body->second.substr(0, c.start.size()), c.start);
    }
  }
  // Almost 4 GiB declared: the decoder's allocation limit stops it.
  std::string hugeRaw = test::compressRtf("{\\rtf1 x}");
  hugeRaw.replace(4, 4, test::le32(0xFFFFFFF0));
  const std::string huge =
      TnefWriter().messageProps(MapiStream().counted(kBinary, kRtfCompressed, {hugeRaw})).bytes();
  EXPECT_NE(decode(huge).err.find("Maximum allocation size exceeded"), std::string::npos);
  // Nothing without a MAPI body property: no files at all.
  EXPECT_TRUE(decode(TnefWriter().bytes()).files.empty());
}

TEST_F(TnefDecoderTest, FailureRowsEndTheDecodeWithTheirMessage) {
  // kept.txt is written when the next attachment starts; pending.txt is still being collected.
  const std::string attachment = TnefWriter()
                                     .attachment({"kept.txt", std::nullopt, "kept"})
                                     .attachment({"pending.txt", std::nullopt, "pending"})
                                     .bytes();
  // One attribute record, without the stream's signature.
  const auto record = [](uint8_t level, uint32_t id, const std::string& data,
                         std::optional<uint16_t> sum = {}) {
    return TnefWriter().attribute(level, id, data, sum).bytes().substr(6);
  };
  const auto withProps = [&](const std::string& property) {
    return record(1, test::kTnefMsgProps, MapiStream().raw(property).bytes());
  };
  const std::string cut = record(2, test::kTnefAttachData, "replacement data");
  const char* const ended = "Unexpected end of input: Success\n";
  const char* const inside = "MAPI property stream ends inside a property, input file may be corrupted\n";
  struct Case {
    const char* what;
    std::string bytes;
    int status;
    const char* err;
  };
  const std::vector<Case> cases{
      {"bad level", record(3, test::kTnefBody, "x"), tnef::kNotTnef, "Invalid lvl type on attribute: 3\n"},
      {"checksum", record(1, test::kTnefBody, "abc", 7), tnef::kStopped,
       "ERROR: invalid checksum, input file may be corrupted\n"},
      {"cut inside a record", cut.substr(0, cut.size() - 3), tnef::kStopped, ended},
      {"length past the end",
       std::string("\x01\x0C\x80\x02\x00\xFF\xFF\xFF\xFF"
                   "abc",
                   12),
       tnef::kStopped, ended},
      {"8 stray bytes read as a record", std::string(8, '\x01'), tnef::kStopped, ended},
      {"MAPI type 0x0001", withProps(header(0x0001, 0x0E1F) + test::le32(0)), tnef::kStopped,
       "Invalid attribute, input file may be corrupted\n"},
      {"MAPI type 0x000A", withProps(header(0x000A, 0x0E1F) + test::le32(0)), tnef::kStopped,
       "Invalid attribute, input file may be corrupted\n"},
      {"MAPI type 0x0099", withProps(header(0x0099, 0x0E1F) + test::le32(0)), tnef::kStopped,
       "Undefined attribute, input file may be corrupted\n"},
      {"MAPI value past the end", withProps(header(kBinary, 0x1009) + test::le32(1) + test::le32(100)),
       tnef::kStopped, inside},
      {"huge multi-value count", withProps(header(0x1003, 0x0E1F) + test::le32(0x40000000) + test::le32(1)),
       tnef::kStopped, inside},
      {"huge named-property name count",
       withProps(header(kBinary, 0x8001) + std::string(16, 'g') + test::le32(0xFFFFFFFF)), tnef::kStopped,
       inside},
      {"property count larger than the stream", record(1, test::kTnefMsgProps, test::le32(0xFFFFFFFF)),
       tnef::kStopped, inside},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Decoded result = decode(attachment + c.bytes);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(result.out, "");
    // What was written before the bad record stays for the caller; the attachment being
    // collected is not written.
    EXPECT_EQ(result.files, (std::map<std::string, std::string>{{"kept.txt", "kept"}}));
  }
}

TEST_F(TnefDecoderTest, OddButReadableInputDecodes) {
  const std::string date = test::le16(2024) + test::le16(3);
  TnefWriter writer;
  writer.attachment({"first.txt", std::nullopt, "1"});
  // A short date and a date of another type are ignored.
  writer.attribute(2, test::kTnefAttachModifyDate, date);
  writer.attribute(2, 0x00068013, std::string(14, '\0'));
  // Multi-valued forms of single-valued types, named properties, an odd UTF-16 length. The last,
  // a named property known by the number 0x00013707, keeps its own id: it is not the attachment's
  // file name (0x3707), whatever its low 16 bits say.
  writer.attribute(
      2, test::kTnefAttachment,
      MapiStream()
          .raw(header(0x100B, 0x0E1F) + test::le32(2) + test::le32(1) + test::le32(0))
          .raw(header(0x1002, 0x0E20) + test::le32(1) + test::le32(7))
          .raw(header(0x0003, 0x8005) + std::string(16, 'g') + test::le32(0) + test::le32(0x9000) +
               test::le32(5))
          .raw(header(0x001F, 0x8006) + std::string(16, 'g') + test::le32(1) + test::le32(4) +
               test::utf16("n").substr(0, 4) + test::le32(0))
          .raw(header(0x001F, 0x3707) + test::le32(1) + test::le32(5) + std::string("o\0k\0!\0\0\0", 8))
          .raw(header(0x001E, 0x8001) + std::string(16, 'g') + test::le32(0) + test::le32(0x00013707) +
               test::le32(1) + test::le32(8) + std::string("evil.exe", 8))
          .bytes());
  writer.attachment({"no data.txt", std::nullopt, ""});
  // Attachment attributes before any attachment start have nowhere to go.
  const std::string stray = TnefWriter().attribute(2, test::kTnefAttachTitle, "lost.txt").bytes().substr(6);
  const Decoded result = decode(writer.bytes().substr(0, 6) + stray + writer.bytes().substr(6) + "\1\2\3");
  EXPECT_EQ(result.status, tnef::kDecoded) << result.err;
  EXPECT_EQ(result.err, "ERROR: garbage at end of file.\n");
  EXPECT_EQ(result.files, (std::map<std::string, std::string>{{"ok", "1"}, {"no data.txt", ""}}));
}

// The whole-file entry point: what is no TNEF leaves only the destination it made, what is in
// the way stops it, and two containers mail programs made decode with their attachments.
TEST_F(TnefDecoderTest, WholeFilesDecodeOrFailCleanly) {
  const fs::path input = dir_.write("plain.txt", "Hello, this is not TNEF at all");
  const fs::path destination = dir_.path() / "made/for/it";
  EXPECT_FALSE(extractFile(input, destination));
  EXPECT_TRUE(fs::is_directory(destination));
  EXPECT_TRUE(fs::is_empty(destination));
  EXPECT_FALSE(extractFile(dir_.path() / "missing", destination));
  EXPECT_FALSE(extractFile("", destination));
  EXPECT_FALSE(extractFile(input, ""));
  const Decoded empty = decode("");
  EXPECT_EQ(empty.status, tnef::kNotTnef);
  EXPECT_EQ(empty.out, "Seems not to be a TNEF file\n");
  // A destination that is a file, so nothing can be created in it.
  const fs::path tnefInput =
      dir_.write("in.dat", TnefWriter().attachment({"x.txt", std::nullopt, "x"}).bytes());
  EXPECT_FALSE(extractFile(tnefInput, dir_.write("blocked/file", "")));

  ASSERT_TRUE(extractFile(kFixtures / "quick-winmail.dat", dir_.path() / "quick"));
  std::map<std::string, std::string> files = folderContents(dir_.path() / "quick");
  std::string names;
  for (const auto& [name, contents] : files) names += name + " ";
  EXPECT_EQ(names, "MailBody.rtf quick.doc quick.html quick.pdf quick.txt quick.xml ");
  EXPECT_EQ(files["quick.pdf"].substr(0, 5), "%PDF-");
  EXPECT_EQ(files["MailBody.rtf"].substr(0, 6), "{\\rtf1");
  EXPECT_NE(files["quick.txt"].find("quick"), std::string::npos);
  // The name is stored in the sender's 8-bit code page (ö is 0xF6) and written byte for byte.
  ASSERT_TRUE(extractFile(kFixtures / "umlaut-filename.tnef", dir_.path() / "umlaut"));
  files = folderContents(dir_.path() / "umlaut");
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files["d\xF6"
                  "cument.pdf"]
                .substr(0, 5),
            "%PDF-");
  EXPECT_EQ(files["MailBody.rtf"].substr(0, 6), "{\\rtf1");
}

}  // namespace
}  // namespace tessaro
