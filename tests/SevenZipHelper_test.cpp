// The 7-Zip helper program: its listing of archives made at test time, and the conversion of
// 7zz's technical listing into records on its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "SltRecords.h"
#include "ZipDirectory.h"
#include "process/Subprocess.h"
#include "support/TempDir.h"
#include "support/Processes.h"

namespace tessaro {
namespace {

using test::shell;

namespace fs = std::filesystem;

SubprocessResult helper(const std::vector<std::string>& arguments, bool via7zz = false) {
  std::vector<std::string> argv{TESSARO_HELPER_7Z};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  SubprocessOptions options;
  options.separateErrorOutput = true;
  if (via7zz) options.environment = {{"TESSARO_7Z_VIA_7ZZ", "1"}};
  return run(argv, options);
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(text.substr(start, end - start));
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

// The path part of every record line.
std::vector<std::string> paths(const std::string& output) {
  std::vector<std::string> out;
  for (const std::string& line : splitLines(output))
    if (line.starts_with("path=")) out.push_back(line.substr(5, line.find('\t') - 5));
  return out;
}

std::string convert(std::string_view text, size_t pieceSize) {
  std::string out;
  sevenzip::SltRecords records([&](std::string_view piece) { out.append(piece); });
  for (size_t i = 0; i < text.size(); i += pieceSize) records.feed(text.substr(i, pieceSize));
  records.finish();
  return out;
}

class SevenZipHelperTest : public ::testing::Test {
 protected:
  test::TempDir dir_;
};

TEST_F(SevenZipHelperTest, NamesThatCannotTravelInARecordAreReplaced) {
  shell(dir_.path(), R"sh(
mkdir n
printf 1 > "n/$(printf 'tab\there')"
printf 2 > "n/$(printf 'line\nfeed')"
printf 3 > "n/$(printf 'bad\377byte')"
printf 4 > "n/$(printf 'caf\303\251 = x')"
zip -q -r names.zip n
)sh");
  const SubprocessResult result = helper({"l", "-slt", "-p-", (dir_.path() / "names.zip").string()});
  EXPECT_EQ(result.exitStatus, 0) << result.errorOutput;
  std::vector<std::string> names = paths(result.output);
  std::sort(names.begin(), names.end());
  // 7zz itself already shows a stored line feed as "_".
  EXPECT_EQ(names, (std::vector<std::string>{"n",
                                             "n/bad\xEF\xBF\xBD"
                                             "byte",
                                             "n/caf\xC3\xA9 = x", "n/line_feed", "n/tab\xEF\xBF\xBDhere"}));
}

TEST_F(SevenZipHelperTest, WrongOrMissingPasswordForHiddenNames) {
  shell(dir_.path(), "printf x > f && 7zz a -bso0 -bsp0 -t7z -psecret -mhe=on h.7z f");
  const std::string archive = (dir_.path() / "h.7z").string();
  for (const char* password : {"-p-", "-pwrong"}) {
    SCOPED_TRACE(password);
    const SubprocessResult result = helper({"l", "-slt", password, archive});
    EXPECT_NE(result.exitStatus, 0);
    EXPECT_NE(result.errorOutput.find("Wrong password?"), std::string::npos) << result.errorOutput;
    EXPECT_TRUE(paths(result.output).empty());
  }
  const SubprocessResult right = helper({"l", "-slt", "-psecret", archive});
  EXPECT_TRUE(right.output.starts_with("path=f\tmeth=LZMA2:12 7zAES:19\t")) << right.output;
}

TEST_F(SevenZipHelperTest, BadInvocationsFail) {
  EXPECT_NE(helper({"l", "-slt"}).exitStatus, 0);
  EXPECT_NE(helper({}).exitStatus, 0);
  const SubprocessResult missing = helper({"l", "-slt", "-p-", (dir_.path() / "none.zip").string()});
  EXPECT_NE(missing.exitStatus, 0);
  EXPECT_EQ(missing.output, "");
}

// Zips that the direct reader takes: its lines must be exactly those made from 7zz's listing.
TEST_F(SevenZipHelperTest, DirectZipReadingMatches7zz) {
  shell(dir_.path(), R"sh(
mkdir -p t/sub
seq 1 3000 > t/text.txt; : > t/empty; printf x > t/sub/b; ln -s text.txt t/link
printf 'y' > "t/$(printf 'caf\303\251')"; chmod 4755 t/sub/b; chmod 1777 t/sub
printf 'Hello\nWorld' | zip -q -r -y -z comment.zip t
zip -q -r -9 -P pw crypt.zip t
zip -q -1 fast.zip t/text.txt
zip -q -r -1 faststored.zip t
7zz a -bso0 -bsp0 -tzip -spf absolute.zip "$PWD/t/text.txt"
7zz a -bso0 -bsp0 -tzip sevenzip.zip t
)sh");
  for (const char* name : {"comment.zip", "crypt.zip", "fast.zip", "faststored.zip",
                           "absolute.zip", "sevenzip.zip"}) {
    SCOPED_TRACE(name);
    const std::string archive = (dir_.path() / name).string();
    const SubprocessResult via7zz = helper({"l", "-slt", "-p-", "-tzip", archive}, true);
    EXPECT_EQ(via7zz.exitStatus, 0);
    EXPECT_EQ(helper({"l", "-slt", "-p-", "-tzip", archive}).output, via7zz.output);
    // Encrypted entries, and stored ones that carry a deflate level, are left to 7zz.
    const std::optional<std::string> direct = sevenzip::listZipDirectly(archive);
    if (std::string(name) == "crypt.zip" || std::string(name) == "faststored.zip") {
      EXPECT_FALSE(direct);
    } else {
      ASSERT_TRUE(direct);
      EXPECT_EQ(*direct, via7zz.output);
    }
  }
}

TEST_F(SevenZipHelperTest, DirectZipReadingSurvivesEveryDamagedByte) {
  shell(dir_.path(), "printf 'a' > a && printf 'bb' > b && printf 'note' | zip -q -z z.zip a b");
  std::ifstream in(dir_.path() / "z.zip", std::ios::binary);
  const std::string original((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const fs::path damaged = dir_.path() / "damaged.zip";
  for (size_t i = 0; i < original.size(); ++i) {
    for (char value : {'\xFF', '\x00'}) {
      std::string bytes = original;
      bytes[i] = value;
      std::ofstream(damaged, std::ios::binary | std::ios::trunc) << bytes;
      const std::optional<std::string> listing = sevenzip::listZipDirectly(damaged.string());
      if (listing) {
        EXPECT_LE(listing->size(), 4096u);
      }
    }
  }
  // Cut anywhere, the archive is either read in full or left to 7zz.
  for (size_t length = 0; length < original.size(); ++length) {
    std::ofstream(damaged, std::ios::binary | std::ios::trunc) << original.substr(0, length);
    EXPECT_FALSE(sevenzip::listZipDirectly(damaged.string())) << length;
  }
  EXPECT_FALSE(sevenzip::listZipDirectly((dir_.path() / "missing.zip").string()));
  EXPECT_FALSE(sevenzip::listZipDirectly(dir_.str()));
}

// What 7zz prints, cut down to the parts the conversion reads.
constexpr std::string_view kSevenZipText =
    "7-Zip (z) banner\n\nListing archive: x.7z\n\n--\nPath = x.7z\nType = 7z\nComment = "
    "\n{\nfirst\nsecond\n}\n"
    "Solid = +\n\n----------\n"
    "Path = a\tb\nFolder = -\nSize = 5\nPacked Size = \nModified = 2020-05-01 10:20:32.1234567\n"
    "Attributes = A\nComment = \n{\nline1\nline2\n}\nCRC = 0000ABCD\nEncrypted = +\nMethod = Deflate\n\n"
    "Path = dir\nFolder = +\nSize = \nPacked Size = \nModified = \nAttributes = \n\n"
    "Path = link\nSize = 3\nPacked Size = 3\nModified = 2020-05-01 10:20:32\nAttributes = A lrwxrwxrwx\n"
    "CRC = 00000000\nHost OS = Unix\nVersion = 20\n\nSub items Errors: 1\n";

constexpr std::string_view kRecords =
    "comt=first\nsecond\n\n----------\nSolid=+\n"
    "path=a\xEF\xBF\xBD"
    "b\tmeth=Deflate\ttime=20200501.102032\tunco=5\tcomp=0\tattr=A\tcrc_=ABCD\ttype=1\tcomt=line1 line2\n"
    "path=dir\tmeth=\ttime=\tunco=0\tcomp=0\tattr=D\n"
    "path=link\tmeth=\ttime=20200501.102032\tunco=3\tcomp=3\tattr=lrwxrwxrwx\tcrc_=0\tos__=Unix\tvers=20\n"
    "Sub items Errors: 1\n";

TEST(SltRecordsTest, ConvertsEntriesWhateverTheReadsLookLike) {
  for (size_t piece : {kSevenZipText.size(), size_t{1}, size_t{7}}) {
    SCOPED_TRACE(piece);
    EXPECT_EQ(convert(kSevenZipText, piece), kRecords);
  }
  std::string out;
  sevenzip::SltRecords records([&](std::string_view piece) { out.append(piece); });
  records.feed(kSevenZipText);
  records.finish();
  EXPECT_TRUE(records.sawSubItemsErrors());
  EXPECT_FALSE(records.sawWrongPassword());
}

TEST(SltRecordsTest, OutputEndingAnywhereStillGivesWellFormedRecords) {
  // An entry cut off by the end of the output is still written; an unclosed value is closed.
  EXPECT_EQ(convert("--\n----------\nPath = a\nSize = 1\nComment = \n{\nnever closed", 4),
            "path=a\tmeth=\ttime=\tunco=1\tcomp=0\tattr=-\tcomt=never closed\n");
  EXPECT_EQ(convert("no listing at all\n", 3), "");
  // A comment from a format whose "Comment" is 7zz's own note is not the archive's.
  EXPECT_EQ(convert("--\nType = Dmg\nComment = note\n----------\n", 5), "");
}

}  // namespace
}  // namespace tessaro
