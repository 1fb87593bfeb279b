// The formats beyond the classic ones, made at test time with their own tools: tar archives and
// single streams compressed with zstd, lzip, lz4 and lzma, plain ar archives, binary cpio, 7z and
// zip self-extractors and RAR 5 comic books. Each is listed and extracted by `tessaro`, and a
// copy cut in half fails cleanly. The recorded stream sizes are checked on their own.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "HandlerRegistry.h"
#include "RecordedStreamSize.h"
#include "process/Subprocess.h"
#include "support/Files.h"
#include "support/SuiteFixtures.h"
#include "support/Processes.h"
#include "support/TempDir.h"

namespace tessaro {
namespace {

namespace fs = std::filesystem;
using test::folderListing;
using test::readFile;

class MoreFormatsTest : public test::SuiteFixtures<MoreFormatsTest> {
 public:
  // src/tree holds a.txt ("alpha") and sub/b.txt ("bravo"); NAME is that tree in a format,
  // big-NAME the same format around 256 KiB of random bytes and cut-NAME its first half.
  static constexpr const char* kFixtureScript = R"sh(
    mkdir -p src/tree/sub src/big
    printf alpha > src/tree/a.txt; printf bravo > src/tree/sub/b.txt
    head -c 262144 /dev/urandom > src/big/r.bin
    # A Windows program's first bytes: "MZ", the PE header's offset at 3C and "PE" 0 0 there.
    python3 -c "import sys; h = bytearray(1024); h[0:2] = b'MZ'; h[0x3C] = 0x80; h[0x80:0x84] = b'PE\0\0'; sys.stdout.buffer.write(h)" > stub.exe
    # Binary cpio as big-endian machines wrote it: each of the 13 header words byte-swapped.
    cat > swap.py <<'EOF'
import struct, sys
d = sys.stdin.buffer.read(); out = bytearray(); i = 0
while i + 26 <= len(d):
    h = struct.unpack('<13H', d[i:i + 26])
    names, size = h[10], (h[11] << 16) | h[12]
    n = names + (names & 1) + size + (size & 1)
    out += struct.pack('>13H', *h) + d[i + 26:i + 26 + n]
    last = d[i + 26:i + 26 + names].startswith(b'TRAILER!!!'); i += 26 + n
    if last: break
sys.stdout.buffer.write(out)
EOF
    mk() { # mk NAME FOLDER: src/FOLDER (tree or big) in the format NAME's ending names
      out="$PWD/$1"; cd src
      case "$1" in
        *.tar.zst) tar --zstd -cf "$out" "$2" ;;
        *.tlz)     tar --lzip -cf "$out" "$2" ;;
        *.tar.lz4) tar -cf - "$2" | lz4 -q > "$out" ;;
        *.tar.lzma) tar -cf - "$2" | xz --format=lzma > "$out" ;;
        *.a)       ar rc "$out" $(find "$2" -type f | sort) ;;
        *be.cpio)  find "$2" | cpio -o -H bin --quiet | python3 ../swap.py > "$out" ;;
        *.cpio)    find "$2" | cpio -o -H bin --quiet > "$out" ;;
        *7z.exe)   7zz a -bso0 -bsp0 "$out.7z" "$2" && cat ../stub.exe "$out.7z" > "$out" && rm "$out.7z" ;;
        *zip.exe)  zip -qr "$out.zip" "$2" && cat ../stub.exe "$out.zip" > "$out" && rm "$out.zip" && zip -qA "$out" ;;
        *.cbr)     rar a -idq -ma5 "$out" "$2" ;;
      esac
      cd "$OLDPWD"
    }
    for name in t.tar.zst t.tlz t.tar.lz4 t.tar.lzma t.a t.cpio t.be.cpio t7z.exe tzip.exe t.cbr; do
      mk "$name" tree; mk "big-$name" big
      size=$(stat -c %s "big-$name"); head -c $((size / 2)) "big-$name" > "cut-$name"
    done
    zstd -q -c src/tree/a.txt > a.txt.zst; lzip -c src/tree/a.txt > a.txt.lz
    lz4 -q --content-size src/tree/a.txt a.txt.lz4; xz --format=lzma -c src/tree/a.txt > a.txt.lzma
    for s in zst lz lz4 lzma; do
      case $s in zst) z="zstd -q -c" ;; lz) z="lzip -c" ;; lz4) z="lz4 -q -c" ;; lzma) z="xz --format=lzma -c" ;; esac
      $z src/big/r.bin > big-r.bin.$s; size=$(stat -c %s big-r.bin.$s); head -c $((size / 2)) big-r.bin.$s > cut-r.bin.$s
    done
    cp stub.exe plain.exe
  )sh";

 protected:
  SubprocessResult tessaro(std::vector<std::string> args) {
    return test::runTessaro(home.dir().path(), std::move(args));
  }
  fs::path destination(const std::string& name) {
    const fs::path path = home.dir().path() / name;
    fs::create_directories(path);
    return path;
  }

  test::IsolatedHome home;
};

struct Made {
  std::string archive;
  std::string handlerClass;
  // Entry paths as extracted, each with the source file (under src/) it must equal.
  std::vector<std::pair<std::string, std::string>> files;
  // An lzma stream from xz records no size: the listing shows the file's own.
  bool sizeListed = true;
};

void PrintTo(const Made& m, std::ostream* out) { *out << m.archive; }

const std::vector<std::pair<std::string, std::string>> kTree{{"tree/a.txt", "tree/a.txt"},
                                                             {"tree/sub/b.txt", "tree/sub/b.txt"}};
const std::vector<std::pair<std::string, std::string>> kLone{{"a.txt", "tree/a.txt"}};

const Made kMade[] = {
    {"t.tar.zst", "AHandlerTZst", kTree},
    {"t.tlz", "AHandlerTLz", kTree},
    {"t.tar.lz4", "AHandlerTLz4", kTree},
    {"t.tar.lzma", "AHandlerTLzma", kTree},
    {"a.txt.zst", "AHandlerZstd", kLone},
    {"a.txt.lz", "AHandlerLzip", kLone},
    {"a.txt.lz4", "AHandlerLz4", kLone},
    {"a.txt.lzma", "AHandlerLzma", kLone, false},
    // ar keeps only last names.
    {"t.a", "AHandlerAr", {{"a.txt", "tree/a.txt"}, {"b.txt", "tree/sub/b.txt"}}},
    {"t.cpio", "AHandlerCpio", kTree},
    {"t.be.cpio", "AHandlerCpio", kTree},
    {"t7z.exe", "AHandler7zip", kTree},
    {"tzip.exe", "AHandlerZip", kTree},
    {"t.cbr", "AHandlerRar", kTree},
};

class MadeFormatTest : public MoreFormatsTest, public testing::WithParamInterface<Made> {};

TEST_P(MadeFormatTest, ListsAndExtractsAndItsCutCopyFailsCleanly) {
  const Made& made = GetParam();
  const std::string archive = fixture(made.archive);
  EXPECT_EQ(handlerClassNameWithFilename(archive, true).value_or("none"), made.handlerClass);

  const SubprocessResult listed = tessaro({"list", "--json", archive});
  ASSERT_EQ(listed.exitStatus, 0) << listed.output;
  for (const auto& [entry, source] : made.files) {
    const std::string line =
        "\"name\":\"" + entry + "\",\"kind\":\"file\"" + (made.sizeListed ? ",\"size\":5" : "");
    EXPECT_NE(listed.output.find(line), std::string::npos) << entry << " not in\n" << listed.output;
  }

  const fs::path out = destination("out");
  const SubprocessResult extracted = tessaro({"extract", archive, "--here", "-C", out.string()});
  ASSERT_EQ(extracted.exitStatus, 0) << extracted.output;
  for (const auto& [entry, source] : made.files)
    EXPECT_EQ(readFile(out / entry), readFile(fs::path(fixture("src")) / source)) << entry;

  // The big one whole, then cut in half: refused or failed, never a crash, nothing half written.
  const std::string stem = made.files == kLone
                               ? "r.bin." + std::string(fs::path(made.archive).extension()).substr(1)
                               : made.archive;
  const fs::path whole = destination("whole");
  ASSERT_EQ(tessaro({"extract", fixture("big-" + stem), "-C", whole.string()}).exitStatus, 0);
  const fs::path cut = destination("cut");
  const SubprocessResult damaged = tessaro({"extract", fixture("cut-" + stem), "-C", cut.string()});
  EXPECT_GT(damaged.exitStatus, 0) << damaged.output;
  EXPECT_LT(damaged.exitStatus, 128) << damaged.output;
  EXPECT_EQ(folderListing(cut), "");
  EXPECT_LT(tessaro({"list", fixture("cut-" + stem)}).exitStatus, 128);
}

INSTANTIATE_TEST_SUITE_P(Formats, MadeFormatTest, testing::ValuesIn(kMade), [](const auto& row) {
  std::string name = row.param.archive;
  for (char& c : name)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return name;
});

TEST_F(MoreFormatsTest, AProgramWithoutAnArchiveStaysRefused) {
  EXPECT_EQ(handlerClassNameWithFilename(fixture("plain.exe"), true).value_or("none"), "none");
  // The 7z signature inside a program is not enough: its start header must check out.
  const fs::path fake =
      home.dir().write("fake.exe", readFile(fixture("stub.exe")) +
                                       std::string("7z\xBC\xAF\x27\x1C\0\x04", 8) + std::string(64, '\x01'));
  EXPECT_EQ(handlerClassNameWithFilename(fake.string(), true).value_or("none"), "none");
  EXPECT_EQ(tessaro({"list", fake.string()}).exitStatus, 2);
}

// ---- Recorded sizes, without decompressing

struct SizeCase {
  const char* label;
  const char* script;  // makes s.bin in the fixtures folder's scratch copy
  StreamFormat format;
  std::optional<uint64_t> expected;
};

void PrintTo(const SizeCase& c, std::ostream* out) { *out << c.label; }

class RecordedSizeTest : public MoreFormatsTest, public testing::WithParamInterface<SizeCase> {};

TEST_P(RecordedSizeTest, ReadsWhatTheStreamRecords) {
  const SizeCase& c = GetParam();
  test::shell(home.dir().path(), std::string("R=") + fixture("src/big/r.bin") +
                                     "; A=" + fixture("src/tree/a.txt") + "\n" + c.script);
  EXPECT_EQ(recordedStreamSize((home.dir().path() / "s.bin").string(), c.format), c.expected);
}

// 262144 + 5: the random file and "alpha" one after the other.
INSTANTIATE_TEST_SUITE_P(
    Streams, RecordedSizeTest,
    testing::Values(
        SizeCase{"zstdFrames", "zstd -q -c $R > s.bin; zstd -q -c $A >> s.bin", StreamFormat::kZstd, 262149},
        SizeCase{"zstdFromAPipe", "cat $A | zstd -q -c > s.bin", StreamFormat::kZstd, std::nullopt},
        SizeCase{"zstdCut", "zstd -q -c $R | head -c 1000 > s.bin", StreamFormat::kZstd, std::nullopt},
        SizeCase{"lzipMembers", "lzip -c $R > s.bin; lzip -c $A >> s.bin", StreamFormat::kLzip, 262149},
        SizeCase{"lzipTrailingBytes", "lzip -c $A > s.bin; printf junk >> s.bin", StreamFormat::kLzip,
                 std::nullopt},
        SizeCase{"lz4Frames", "lz4 -q --content-size -c $R > s.bin; lz4 -q --content-size -c $A >> s.bin",
                 StreamFormat::kLz4, 262149},
        SizeCase{"lz4WithoutSize", "lz4 -q -c $A > s.bin", StreamFormat::kLz4, std::nullopt},
        SizeCase{"lzmaUnknown", "xz --format=lzma -c $A > s.bin", StreamFormat::kLzma, std::nullopt},
        // The header's size field set by hand: bytes 5 to 12, little-endian.
        SizeCase{"lzmaKnown",
                 "xz --format=lzma -c $A > t.bin; head -c 5 t.bin > s.bin; printf "
                 "'\\005\\0\\0\\0\\0\\0\\0\\0' >> s.bin;"
                 " tail -c +14 t.bin >> s.bin",
                 StreamFormat::kLzma, 5},
        SizeCase{"lzmaNotAHeader", "printf 'hello world, hello' > s.bin", StreamFormat::kLzma, std::nullopt}),
    [](const auto& row) { return std::string(row.param.label); });

}  // namespace
}  // namespace tessaro
