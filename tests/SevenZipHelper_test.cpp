// The 7-Zip helper program: its listing of archives made at test time, the conversion of 7zz's
// technical listing into records on its own, and its updates (folders inside the archive, zip
// comments, progress) checked with 7zz and Info-ZIP.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "Progress.h"
#include "SltRecords.h"
#include "ZipComment.h"
#include "ZipDirectory.h"
#include "process/Subprocess.h"
#include "support/Golden.h"
#include "support/Processes.h"
#include "support/ScopedEnv.h"
#include "support/SevenZipListing.h"
#include "support/TempDir.h"

namespace tessaro {
namespace {

using test::readFile;
using test::shell;

namespace fs = std::filesystem;

SubprocessResult helper(const std::vector<std::string>& arguments) { return test::sevenZipHelper(arguments); }

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

TEST_F(SevenZipHelperTest, NamesThatCannotTravelInARecordAreReplacedAndOthersReadAsCP437) {
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
  // 7zz itself already shows a stored line feed as "_"; a name that is not UTF-8 is read as
  // CP437 (0xFF is a no-break space there) and carries its bytes for other readings.
  EXPECT_NE(result.output.find("\trawn=6e2f626164ff62797465"), std::string::npos) << result.output;
  EXPECT_EQ(names, (std::vector<std::string>{"n",
                                             "n/bad\xC2\xA0"
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

// Zips of every producer at hand, and the odd entries they make. Python makes the entries no
// command-line tool does: hosts and attributes of its choosing, the time extras, a Unicode path
// beside a code-page name (and one whose CRC no longer matches), code-page names, backslashes,
// entry comments, more entries than the 16-bit count holds.
constexpr const char* kProducerScript = R"sh(
mkdir -p t/sub
seq 1 3000 > t/text.txt; : > t/empty; printf x > t/sub/b; ln -s text.txt t/link
printf 'y' > "t/$(printf 'caf\303\251')"; chmod 4755 t/sub/b; chmod 1777 t/sub
printf 'Hello\nWorld' | zip -q -r -y -z infozip.zip t
zip -q -r -9 -P pw infozip-zipcrypto.zip t
zip -q -r -1 infozip-fast.zip t
zip -q -r -y -fz infozip-zip64.zip t
seq 1 2000 > stub
cat stub infozip.zip > sfx.zip && zip -q -A sfx.zip
cat stub infozip.zip > prefixed.zip
jar cf jar.zip t
7zz a -bso0 -bsp0 -tzip sevenzip.zip t
7zz a -bso0 -bsp0 -tzip -spf sevenzip-absolute.zip "$PWD/t/text.txt"
7zz a -bso0 -bsp0 -tzip -psecret sevenzip-zipcrypto.zip t
7zz a -bso0 -bsp0 -tzip -psecret -mem=AES256 sevenzip-aes256.zip t
7zz a -bso0 -bsp0 -tzip -psecret -mem=AES128 -mx=0 sevenzip-aes128.zip t
for m in BZip2 LZMA LZMA:eos=off Deflate64 PPMd XZ; do 7zz a -bso0 -bsp0 -tzip -mm=$m "sevenzip-$m.zip" t; done
7zz a -bso0 -bsp0 -tzip -psecret -mem=AES192 -mm=LZMA sevenzip-lzma-aes192.zip t
zip -q -r -Z bzip2 -P pw infozip-bzip2-zipcrypto.zip t
bsdtar --format zip -cf bsdtar.zip t
python3 - <<'PY'
import os, struct, zipfile, zlib
def tree(name, **options):
    method = options.get('method', zipfile.ZIP_DEFLATED)
    with zipfile.ZipFile(name, 'w', method) as z:
        for root, folders, files in os.walk('t'):
            for entry in sorted(folders) + sorted(files):
                path = os.path.join(root, entry)
                if os.path.islink(path):
                    continue
                info = zipfile.ZipInfo.from_file(path)
                info.compress_type = method
                if 'host' in options:
                    info.create_system = options['host']
                    info.external_attr = 0x10 if os.path.isdir(path) else 0x20
                data = b'' if os.path.isdir(path) else open(path, 'rb').read()
                with z.open(info, 'w', force_zip64=options.get('zip64', False) and not info.is_dir()) as out:
                    out.write(data)
tree('python.zip')
tree('python-fat.zip', host=0)
tree('python-ntfs.zip', host=11)
tree('python-zip64.zip', zip64=True)
tree('python-bzip2.zip', method=zipfile.ZIP_BZIP2)
tree('python-lzma.zip', method=zipfile.ZIP_LZMA)
# Flag bits 1 and 2 (the level, or LZMA's end marker) on each method, in both headers.
levels = [('bzip2-6', zipfile.ZIP_BZIP2, 6), ('lzma-4', zipfile.ZIP_LZMA, 4), ('lzma-6', zipfile.ZIP_LZMA, 6),
          ('lzma-0', zipfile.ZIP_LZMA, 0), ('deflate-6', zipfile.ZIP_DEFLATED, 6), ('store-4', zipfile.ZIP_STORED, 4)]
with zipfile.ZipFile('python-levels.zip', 'w') as z:
    for name, method, bits in levels:
        z.writestr(name, 'x' * 100, method)
data = bytearray(open('python-levels.zip', 'rb').read())
for name, method, bits in levels:
    for at in (data.index(name.encode()) - 30 + 6, data.rindex(name.encode()) - 46 + 8):
        struct.pack_into('<H', data, at, struct.unpack_from('<H', data, at)[0] & ~6 | bits)
open('python-levels.zip', 'wb').write(bytes(data))
with zipfile.ZipFile('python-writestr.zip', 'w') as z:
    z.writestr('no-type.txt', 'hello')
    z.writestr('folder/', '')
with zipfile.ZipFile('python-many.zip', 'w') as z:
    for i in range(70000):
        z.writestr('f%05d' % i, '')
def extra(id, data): return struct.pack('<HH', id, len(data)) + data
def filetime(t): return (t + 11644473600) * 10000000 + 1234567
winter, summer = 1579000000, 1600000000
entries = [
    ('ut', extra(0x5455, struct.pack('<Bi', 1, summer)), 3, 0x81a40000, b''),
    ('ux', extra(0x5855, struct.pack('<II', winter, summer)), 3, 0x81a40000, b''),
    ('ux-short', extra(0x5855, struct.pack('<I', winter)), 3, 0x81a40000, b''),
    ('ntfs-then-ut', extra(0x000a, struct.pack('<IHHQQQ', 0, 1, 24, filetime(winter), 0, 0)) +
        extra(0x5455, struct.pack('<Bi', 1, summer)), 0, 0x20, b''),
    ('ux-then-ut', extra(0x5855, struct.pack('<II', 0, winter)) + extra(0x5455, struct.pack('<Bi', 1, summer)),
        3, 0x81a40000, b''),
    ('ut-without-mtime', extra(0x5455, struct.pack('<Bi', 2, summer)), 3, 0x81a40000, b''),
    ('mac', b'', 19, 0x81a40000, b''),
    ('windows-hidden', b'', 0, 0x23, b'with a comment'),
    ('two-line-comment', b'', 3, 0xa1ff0000, b'two\nlines'),
    ('fat-with-mode', b'', 0, 0x81ed8020, b''),
    ('unix-without-type', b'', 3, 0x01a40000, b''),
    ('unicode-X', extra(0x7075, b'\x01????' + 'unicod\u00e9'.encode()), 0, 0x20, b''),
    ('folder-crc/', b'', 0, 0x10, b''),
    ('legacy-Y', b'', 0, 0x20, b'caf\x82 tab\there, cr\rthere'),
    ('stale-unicode-path', extra(0x7075, b'\x01\0\0\0\0' + b'other'), 0, 0x20, b''),
    ('win\\path.txt', b'', 0, 0x20, b''),
    ('win-folder\\', b'', 11, 0x20, b''),
]
with zipfile.ZipFile('python-extras.zip', 'w') as z:
    for name, fields, host, attributes, comment in entries:
        info = zipfile.ZipInfo(name, (2020, 7, 1, 12, 30, 4))
        info.extra, info.create_system, info.external_attr, info.comment = fields, host, attributes, comment
        z.writestr(info, '' if name.endswith('\\') else 'x')
data = bytearray(open('python-extras.zip', 'rb').read())
# A code-page name whose Unicode path carries its CRC; a folder with a CRC of its own.
data = data.replace(b'????', struct.pack('<I', zlib.crc32(b'unicode-\x82'))).replace(b'unicode-X', b'unicode-\x82')
data = data.replace(b'legacy-Y', b'legacy-\x8a')
open('python-extras.zip', 'wb').write(bytes(data))
PY
)sh";

// Every zip above: the direct reader's lines must be exactly those made from 7zz's listing, and
// it must take nearly all of them. The comparison runs in a zone without daylight saving but
// away from UTC, so a time read in the wrong zone shows.
TEST_F(SevenZipHelperTest, DirectZipReadingMatches7zzForEveryProducer) {
  test::ScopedEnv zone;
  zone.set("TZ", "Asia/Kolkata");
  shell(dir_.path(), kProducerScript);
  std::vector<fs::path> archives;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir_.path()))
    if (entry.path().extension() == ".zip") archives.push_back(entry.path());
  EXPECT_EQ(archives.size(), 31u);
  for (const fs::path& archive : archives) {
    SCOPED_TRACE(archive.filename());
    test::expectDirectEquals7zz(sevenzip::listZipDirectly, archive.string(), "zip");
  }
}

// 7zz turns UTC times into local ones with today's offset; the reader uses the offset of the
// time itself, so a summer time in a zone with daylight saving differs from 7zz half the year.
TEST_F(SevenZipHelperTest, DirectZipReadingShowsUTCTimesInTheirOwnOffset) {
  test::ScopedEnv zone;
  zone.set("TZ", "America/New_York");
  shell(dir_.path(), R"sh(python3 -c '
import struct, zipfile
with zipfile.ZipFile("times.zip", "w") as z:
    for name, t in (("summer", 1500000000), ("winter", 1579000000)):
        info = zipfile.ZipInfo(name, (2000, 1, 2, 3, 4, 6))
        info.extra = struct.pack("<HHBi", 0x5455, 5, 1, t)
        z.writestr(info, "x")
    z.writestr(zipfile.ZipInfo("dos", (2000, 1, 2, 3, 4, 6)), "x")
')sh");
  const std::optional<std::string> listing = sevenzip::listZipDirectly((dir_.path() / "times.zip").string());
  ASSERT_TRUE(listing);
  EXPECT_NE(listing->find("path=summer\tmeth=Store\ttime=20170713.224000\t"), std::string::npos) << *listing;
  EXPECT_NE(listing->find("path=winter\tmeth=Store\ttime=20200114.060640\t"), std::string::npos) << *listing;
  EXPECT_NE(listing->find("path=dos\tmeth=Store\ttime=20000102.030406\t"), std::string::npos) << *listing;
}

// Central directories that lie: each must be declined (and so left to 7zz), never read on.
TEST_F(SevenZipHelperTest, DirectZipReadingDeclinesDirectoriesThatLie) {
  shell(dir_.path(), R"sh(python3 -c '
import zipfile
with zipfile.ZipFile("base.zip", "w") as z:
    z.writestr("first", "1" * 100)
    z.writestr("second", "2" * 100)
')sh");
  const std::string original = readFile(dir_.path() / "base.zip");
  const size_t end = original.rfind("PK\x05\x06");
  const size_t first = original.find("PK\x01\x02");
  const size_t second = original.find("PK\x01\x02", first + 4);
  ASSERT_NE(second, std::string::npos);
  const auto put16 = [](std::string& bytes, size_t at, uint16_t value) {
    bytes[at] = static_cast<char>(value & 0xFF);
    bytes[at + 1] = static_cast<char>(value >> 8);
  };
  const auto put32 = [&](std::string& bytes, size_t at, uint32_t value) {
    put16(bytes, at, static_cast<uint16_t>(value));
    put16(bytes, at + 2, static_cast<uint16_t>(value >> 16));
  };
  struct Lie {
    const char* what;
    std::function<void(std::string&)> patch;
  };
  const std::vector<Lie> lies{
      {"more entries than the directory holds",
       [&](std::string& b) { put16(b, end + 8, 3), put16(b, end + 10, 3); }},
      {"fewer entries than it holds", [&](std::string& b) { put16(b, end + 8, 1), put16(b, end + 10, 1); }},
      {"a directory offset past its start", [&](std::string& b) { put32(b, end + 16, uint32_t(first + 1)); }},
      {"a directory larger than the file", [&](std::string& b) { put32(b, end + 12, 0x7FFFFFFF); }},
      {"overlapping entries", [&](std::string& b) { put32(b, second + 42, 10); }},
      {"data reaching into the directory", [&](std::string& b) { put32(b, second + 20, 0x10000); }},
      {"a name with a NUL", [&](std::string& b) { b[first + 46 + 2] = '\0'; }},
      {"an extra field longer than the header", [&](std::string& b) { put16(b, second + 30, 0xFFFF); }},
      {"an extra field longer than its room",
       [&](std::string& b) { put16(b, first + 30, 4), put16(b, first + 28, 2); }},
      {"saturated sizes without zip64", [&](std::string& b) { put32(b, first + 24, 0xFFFFFFFF); }},
      {"a zip64 count without its records",
       [&](std::string& b) { put16(b, end + 8, 0xFFFF), put16(b, end + 10, 0xFFFF); }},
      {"a second disk", [&](std::string& b) { put16(b, second + 34, 1); }},
  };
  const fs::path damaged = dir_.path() / "lie.zip";
  ASSERT_TRUE(sevenzip::listZipDirectly((dir_.path() / "base.zip").string()));
  for (const Lie& lie : lies) {
    SCOPED_TRACE(lie.what);
    std::string bytes = original;
    lie.patch(bytes);
    std::ofstream(damaged, std::ios::binary | std::ios::trunc) << bytes;
    EXPECT_FALSE(sevenzip::listZipDirectly(damaged.string()));
  }
}

TEST_F(SevenZipHelperTest, DirectZipReadingSurvivesEveryDamagedByte) {
  // A plain zip, and one with zip64 records, time extras and a Unicode path.
  shell(dir_.path(), R"sh(
printf 'a' > a && printf 'bb' > b && printf 'note' | zip -q -z z.zip a b && zip -q -fz z64.zip a
python3 -c '
import struct, zipfile, zlib
with zipfile.ZipFile("x.zip", "w") as z:
    info = zipfile.ZipInfo("n")
    info.extra = (struct.pack("<HHBi", 0x5455, 5, 1, 1500000000) + struct.pack("<HHIHHQQQ", 10, 32, 0, 1, 24, 1, 2, 3) +
                  struct.pack("<HHB", 0x7075, 6, 1) + struct.pack("<I", zlib.crc32(b"n")) + b"u")
    z.writestr(info, "x")
'
)sh");
  for (const char* seed : {"z.zip", "z64.zip", "x.zip"}) {
    SCOPED_TRACE(seed);
    ASSERT_TRUE(sevenzip::listZipDirectly((dir_.path() / seed).string()));
    test::expectDirectReaderSurvivesDamage(sevenzip::listZipDirectly, readFile(dir_.path() / seed),
                                           dir_.path() / "damaged.zip", std::string_view("\xFF\x00\x80", 3));
  }
  EXPECT_FALSE(sevenzip::listZipDirectly((dir_.path() / "missing.zip").string()));
  EXPECT_FALSE(sevenzip::listZipDirectly(dir_.str()));
}

// Runs the helper in `folder` with TMPDIR set to `temp`, standard output and error kept apart.
SubprocessResult helperIn(const fs::path& folder, const fs::path& temp,
                          const std::vector<std::string>& arguments,
                          const Subprocess::ChunkHandler& onOutput = {}) {
  std::vector<std::string> argv{TESSARO_HELPER_7Z};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  SubprocessOptions options;
  options.workingDirectory = folder.string();
  options.environment = {{"TMPDIR", temp.string()}};
  options.separateErrorOutput = true;
  Subprocess process;
  if (!process.start(argv, options)) return {};
  return process.wait(onOutput);
}

std::vector<std::string> sorted(std::vector<std::string> lines) {
  std::sort(lines.begin(), lines.end());
  return lines;
}

// A run that succeeded and whose progress ends at `last`, 7zz's redraws taken out.
void expectProgress(const SubprocessResult& result, std::string_view last) {
  EXPECT_EQ(result.exitStatus, 0) << result.errorOutput;
  EXPECT_TRUE(result.output.ends_with(last)) << result.output;
  EXPECT_EQ(result.output.find('\b'), std::string::npos);
}

// Paths as `7zz l -slt` prints them.
std::vector<std::string> sevenZipPaths(const fs::path& archive) {
  const SubprocessResult result = run({"/usr/bin/7zz", "l", "-slt", "-ba", archive.string()});
  std::vector<std::string> out;
  for (const std::string& line : splitLines(result.output))
    if (line.starts_with("Path = ")) out.push_back(line.substr(7));
  return sorted(out);
}

class SevenZipUpdateTest : public SevenZipHelperTest {
 protected:
  SevenZipUpdateTest() {
    fs::create_directory(temp_);
    shell(dir_.path(), R"sh(
mkdir -p src/sub keep
printf 'new' > 'src/sp ace.txt'; printf 'dash' > src/-dash; printf 'u' > "src/$(printf 'caf\303\251')"
printf 'in' > src/sub/in; printf 'old' > 'keep/sp ace.txt'; printf 'top' > 'sp ace.txt'
printf 'sp ace.txt\n-dash\nsub\n' > list
)sh");
  }
  // Nothing of the helper's own is left in its temporary folder.
  ~SevenZipUpdateTest() override { EXPECT_TRUE(fs::is_empty(temp_)); }

  fs::path temp_ = dir_.path() / "temp";
};

TEST_F(SevenZipUpdateTest, FilesGoUnderTheFolderAndNothingElseChanges) {
  for (const char* type : {"zip", "7z"}) {
    SCOPED_TRACE(type);
    const fs::path archive = dir_.path() / (std::string("a.") + type);
    shell(dir_.path(),
          std::string("7zz a -bso0 -bsp0 -t") + type + " " + archive.string() + " keep 'sp ace.txt'");
    const std::vector<std::string> before = sevenZipPaths(archive);
    const SubprocessResult result =
        helperIn(dir_.path() / "src", temp_,
                 {"u", "-up1q1r2x1y2z1w2", "-spd", std::string("-t") + type, "-apdeep/er folder/",
                  archive.string(), "-cz--", "@" + (dir_.path() / "list").string(), "-x!-dash"});
    expectProgress(result, "100%");
    EXPECT_NE(result.output.find("Everything is Ok"), std::string::npos) << result.output;
    const std::vector<std::string> expected{"deep/er folder/sp ace.txt", "deep/er folder/sub",
                                            "deep/er folder/sub/in",     "keep",
                                            "keep/sp ace.txt",           "sp ace.txt"};
    // "-x!-dash" still means the name at the top of what is added.
    EXPECT_EQ(sevenZipPaths(archive), expected);
    const std::string args = std::string("-t") + type;
    EXPECT_EQ(sorted(paths(helper({"l", "-slt", "-p-", args, archive.string()}).output)), expected);
    const SubprocessResult top = run({"/usr/bin/7zz", "e", "-so", archive.string(), "sp ace.txt"});
    EXPECT_EQ(top.output, "top");

    // Everything in the working folder, under a folder that now exists.
    EXPECT_EQ(
        helperIn(dir_.path() / "src", temp_, {"u", "-spd", "-apdeep", archive.string(), "."}).exitStatus, 0);
    const std::vector<std::string> all = sevenZipPaths(archive);
    for (const char* name : {"deep/-dash", "deep/caf\xC3\xA9", "deep/sp ace.txt", "deep/sub/in"})
      EXPECT_NE(std::find(all.begin(), all.end(), name), all.end()) << name;
    EXPECT_EQ(all.size(), before.size() + 3 + 5);
  }
}

TEST_F(SevenZipUpdateTest, ZipCommentIsSetReplacedAndCleared) {
  const std::string archive = (dir_.path() / "c.zip").string();
  const auto comment = [&] { return run({"/usr/bin/unzip", "-z", archive}).output; };
  const auto update = [&](const fs::path& folder, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"u", archive});
    return helperIn(folder, temp_, arguments).exitStatus;
  };
  // Set while files are added, replaced alone, cleared.
  EXPECT_EQ(update(dir_.path() / "src",
                   {"-tzip", "-cz" + dir_.write("comment", "Hello\nW\xC3\xB6rld").string(), "."}),
            0);
  EXPECT_EQ(comment(), "Archive:  " + archive + "\nHello\nW\xC3\xB6rld\n");
  EXPECT_TRUE(helper({"l", "-slt", "-p-", "-tzip", archive})
                  .output.starts_with("comt=Hello\nW\xC3\xB6rld\n\n----------\n"));
  EXPECT_EQ(update(dir_.path(), {"-cz" + dir_.write("other", "second").string()}), 0);
  EXPECT_EQ(comment(), "Archive:  " + archive + "\nsecond\n");
  EXPECT_EQ(update(dir_.path(), {"-tzip", "-cz--"}), 0);
  EXPECT_EQ(comment(), "Archive:  " + archive + "\n");
  EXPECT_EQ(run({"/usr/bin/7zz", "t", archive}).exitStatus, 0);
  // Nothing but the archive (no temporary copy) beside it.
  for (const auto& entry : fs::directory_iterator(dir_.path()))
    EXPECT_FALSE(entry.path().filename().string().starts_with(".c.zip")) << entry.path();
}

TEST_F(SevenZipUpdateTest, Zip64ArchiveKeepsItsLocator) {
  shell(dir_.path(), "printf 'x' | zip -q -fz z64.zip -");
  const std::string archive = (dir_.path() / "z64.zip").string();
  std::string error;
  ASSERT_TRUE(sevenzip::setZipComment(archive, "sixty-four", error)) << error;
  EXPECT_EQ(run({"/usr/bin/unzip", "-z", archive}).output, "Archive:  " + archive + "\nsixty-four\n");
  EXPECT_EQ(run({"/usr/bin/unzip", "-tq", archive}).exitStatus, 0);
  // A comment holding the end-record signature would hide the real record from readers.
  EXPECT_FALSE(sevenzip::setZipComment(archive, std::string("a PK\x05\x06 b"), error));
  EXPECT_FALSE(sevenzip::setZipComment(archive, std::string(65536, 'c'), error));
}

// 7zz's redraws, cut anywhere, come out as whole lines and percentages (the helper's own runs
// are below).
TEST(ProgressFilterTest, RedrawsBecomeChunksEndingWithAPercentage) {
  const std::string redraw =
      "Scanning\n  0M Scan \b\b\b\b\b\b\b\b\b\b          \b\b\b\b\b\b\b\b\b\b1 file\n"
      "  5% + a\b\b\b\b\b\b\b\b       \b\b\b\b\b\b\b\b 42% 1 + a\b\b\b\b\b\b\b\b\b\b          "
      "\b\b\b\b\b\b\b\b\b\bDone\n";
  for (size_t piece : {size_t{1}, size_t{5}, redraw.size()}) {
    std::vector<std::string> out;
    sevenzip::ProgressFilter filter([&](std::string_view chunk) { out.emplace_back(chunk); });
    for (size_t i = 0; i < redraw.size(); i += piece) filter.feed(std::string_view(redraw).substr(i, piece));
    filter.finish();
    EXPECT_EQ(out, (std::vector<std::string>{"Scanning\n", "1 file\n", "  5%", " 42%", "Done\n"})) << piece;
  }
}

TEST_F(SevenZipUpdateTest, BadRequestsFailAndLeaveNothingBehind) {
  shell(dir_.path(), "7zz a -bso0 -bsp0 s.7z keep");
  const auto at = [&](const char* name) { return (dir_.path() / name).string(); };
  const std::string sevenZip = at("s.7z"), none = at("none.zip"), original = readFile(sevenZip);
  dir_.write("long", std::string(65536, 'x'));
  struct Request {
    std::vector<std::string> arguments;
    int status;  // -1: any failure
  };
  const Request requests[] = {
      // A comment for a 7z archive, a comment file that is missing or too long.
      {{"u", sevenZip, "-cz" + at("list"), "list"}, 2},
      {{"u", sevenZip, "-cz" + at("missing"), "list"}, 2},
      {{"u", "-tzip", at("n.zip"), "-cz" + at("long"), "list"}, 2},
      // An unreadable list file, a folder that climbs out.
      {{"u", "-ap/a", sevenZip, "@" + at("nolist")}, 2},
      {{"u", "-apa/../..", sevenZip, "list"}, 2},
      // Missing archives, missing arguments.
      {{"d", "-p-", none, "x"}, -1},
      {{"rn", "-p-", none, "x", "y"}, -1},
      {{"u", none, "-cz--"}, -1},
      {{"l", "-slt", "-p-", none}, -1},
      {{"l", "-slt"}, -1},
      {{"u"}, 2},
      {{}, -1},
  };
  for (const Request& request : requests) {
    SCOPED_TRACE(testing::PrintToString(request.arguments));
    const SubprocessResult result = helperIn(dir_.path(), temp_, request.arguments);
    if (request.status < 0) {
      EXPECT_NE(result.exitStatus, 0);
    } else {
      EXPECT_EQ(result.exitStatus, request.status);
    }
    // A listing of nothing lists nothing.
    if (!request.arguments.empty() && request.arguments[0] == "l") {
      EXPECT_EQ(result.output, "");
    }
  }
  EXPECT_EQ(readFile(sevenZip), original);
  EXPECT_FALSE(fs::exists(at("n.zip")));
  EXPECT_FALSE(fs::exists(none));
}

TEST_F(SevenZipUpdateTest, DeleteAndRenameReportProgress) {
  const fs::path archive = dir_.path() / "r.7z";
  shell(dir_.path(),
        "7zz a -bso0 -bsp0 r.7z keep list && printf 'keep/sp ace.txt\\nkeep/moved\\n' > pairs && printf "
        "'list\\n' > gone");
  expectProgress(helperIn(dir_.path(), temp_, {"rn", "-p-", "-spd", archive.string(), "@pairs"}), "%");
  expectProgress(helperIn(dir_.path(), temp_, {"d", "-p-", archive.string(), "@gone"}), "100%");
  EXPECT_EQ(sevenZipPaths(archive), (std::vector<std::string>{"keep", "keep/moved"}));
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

TEST(SltRecordsTest, ConvertsEntriesWhateverTheReadsLookLike) {
  const std::string whole = convert(kSevenZipText, kSevenZipText.size());
  test::expectGolden("slt-records.txt", whole);
  for (size_t piece : {size_t{1}, size_t{7}}) EXPECT_EQ(convert(kSevenZipText, piece), whole) << piece;
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
  // 7zz's words about the archive itself follow the entries, where the handler reads them; only
  // so many of them.
  EXPECT_EQ(convert("--\nPath = t.zip\nType = zip\nERRORS:\nUnexpected end of archive\nPhysical Size = 9\n\n"
                    "----------\nPath = a\nSize = 1\n\nErrors: 1\n",
                    6),
            "path=a\tmeth=\ttime=\tunco=1\tcomp=0\tattr=-\nErrors: 1\nERRORS:\nUnexpected end of archive\n");
  std::string flood = "--\n";
  for (int i = 0; i < 1000; ++i) flood += "noise\n";
  EXPECT_EQ(convert(flood, 64).size(), 16 * std::string_view("noise\n").size());
}

}  // namespace
}  // namespace tessaro
