// Tar edits through the tessaro program copy the entries they leave alone, header and data: a
// hard link, symbolic links, a device, a 300-character name, "../x", an absolute member, foreign
// owners, old dates and a member nobody may read keep what `tar tv` shows of them through add,
// delete and rename, in every compression; added files keep their own times; a hard link whose
// file goes takes its data; a damaged archive is left as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "process/Subprocess.h"
#include "support/TempDir.h"
#include "support/TextChecks.h"

namespace tessaro {
namespace {

namespace fs = std::filesystem;

// Writes ARCHIVE (argument 1) with tarfile's mode (argument 2, "w", "w:gz" ...) in GNU format.
constexpr const char* kMakeArchive = R"(
import io, sys, tarfile
when = 978310800  # 2001-01-01 01:00:00 UTC
with tarfile.open(sys.argv[1], sys.argv[2], format=tarfile.GNU_FORMAT) as t:
    def add(name, kind=tarfile.REGTYPE, data=b'', mode=0o644, **fields):
        i = tarfile.TarInfo(name)
        i.type, i.mtime, i.mode, i.uid, i.gid, i.uname, i.gname = kind, when, mode, 1234, 5678, 'owner', 'group'
        for key, value in fields.items(): setattr(i, key, value)
        i.size = len(data)
        t.addfile(i, io.BytesIO(data))
    add('dir', tarfile.DIRTYPE, mode=0o755)
    add('dir/file.txt', data=b'hello\n')
    add('dir/hard', tarfile.LNKTYPE, linkname='dir/file.txt')
    add('dir/sym', tarfile.SYMTYPE, linkname='file.txt', mode=0o777)
    add('dir/outward', tarfile.SYMTYPE, linkname='/etc/passwd', mode=0o777)
    add('dir/null', tarfile.CHRTYPE, devmajor=1, devminor=3)
    add('dir/' + 'n' * 296, data=b'long name')
    add('../x', data=b'above')
    add('/opt/x', data=b'absolute')
    add('dir/secret', data=b'write only', mode=0o200)
)";

struct Flavour {
  const char* extension;
  const char* mode;  // tarfile's
};

void PrintTo(const Flavour& flavour, std::ostream* out) { *out << flavour.extension; }

class TarPreservationTest : public ::testing::TestWithParam<Flavour> {
 protected:
  // Standard output alone in `output`: tar warns about the "../" and "/" members.
  SubprocessResult inDir(const std::vector<std::string>& argv) {
    SubprocessOptions options;
    options.workingDirectory = dir().string();
    options.separateErrorOutput = true;
    return run(argv, options);
  }
  ::testing::AssertionResult tessaro(std::vector<std::string> args) {
    args.insert(args.begin(), TESSARO_BINARY);
    const SubprocessResult result = inDir(args);
    if (result.exitStatus == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "exit status " << result.exitStatus << ": " << result.errorOutput;
  }
  void makeArchive() {
    ASSERT_EQ(inDir({"/usr/bin/python3", "-c", kMakeArchive, archive(), GetParam().mode}).exitStatus, 0);
  }
  // What GNU tar shows of every member, one line each, in archive order.
  std::vector<std::string> members() {
    const SubprocessResult result =
        inDir({"/usr/bin/tar", "tvf", archive(), "--numeric-owner", "--full-time"});
    EXPECT_EQ(result.exitStatus, 0) << result.errorOutput;
    std::vector<std::string> lines;
    for (size_t start = 0; start < result.output.size();) {
      const size_t end = result.output.find('\n', start);
      lines.push_back(result.output.substr(start, end - start));
      start = end == std::string::npos ? result.output.size() : end + 1;
    }
    return lines;
  }
  std::string member(const std::string& name) {
    return inDir({"/usr/bin/tar", "xOf", archive(), name}).output;
  }
  std::string archive() const { return std::string("a.") + GetParam().extension; }
  const fs::path& dir() const { return home.dir().path(); }
  test::IsolatedHome home;
};

// The line of `lines` for the member named `name` (the text after the date and time).
std::string lineOf(const std::vector<std::string>& lines, const std::string& name) {
  for (const std::string& line : lines)
    if (line.ends_with(" " + name) || line.find(" " + name + " -> ") != std::string::npos ||
        line.find(" " + name + " link to ") != std::string::npos)
      return line;
  return {};
}

std::vector<std::string> without(std::vector<std::string> lines, const std::string& name) {
  std::erase(lines, lineOf(lines, name));
  return lines;
}

TEST_P(TarPreservationTest, UnchangedEntriesKeepTheirHeadersThroughAddDeleteAndRename) {
  ASSERT_NO_FATAL_FAILURE(makeArchive());
  const std::vector<std::string> original = members();
  ASSERT_EQ(original.size(), 10u);
  const std::string device = lineOf(original, "dir/null");
  ASSERT_TRUE(device.starts_with("crw-r--r-- 1234/5678 ") &&
              device.find(" 1,3 2001-01-01 01:00:00 ") != std::string::npos)
      << device;

  // Added files keep their times and modes; the folder keeps its own.
  home.dir().write("extra/inner.txt", "inner");
  home.dir().write("new.txt", "new");
  for (const char* name : {"extra/inner.txt", "extra", "new.txt"}) {
    ASSERT_EQ(inDir({"/usr/bin/touch", "-h", "-d", "2003-03-03 03:03:03 UTC", name}).exitStatus, 0);
  }
  fs::permissions(dir() / "new.txt", fs::perms(0640));
  ASSERT_TRUE(tessaro({"add", archive(), "new.txt", "extra"}));
  std::vector<std::string> added = members();
  ASSERT_EQ(added.size(), original.size() + 3);
  EXPECT_EQ(std::vector<std::string>(added.begin(), added.begin() + 10), original);
  for (const std::string name : {"extra/", "extra/inner.txt", "new.txt"})
    EXPECT_TRUE(test::contains(lineOf(added, name), " 2003-03-03 03:03:03 "));
  EXPECT_EQ(lineOf(added, "new.txt").substr(0, 10), "-rw-r-----");
  EXPECT_EQ(member("extra/inner.txt"), "inner");

  ASSERT_TRUE(tessaro({"delete", archive(), "dir/sym", "extra"}));
  const std::vector<std::string> deleted = members();
  EXPECT_EQ(deleted, without(without(without(added, "dir/sym"), "extra/"), "extra/inner.txt"));

  // A rename moves a folder with all it holds, and the hard link that names a file in it.
  ASSERT_TRUE(tessaro({"rename", archive(), "dir", "moved"}));
  std::vector<std::string> expected = deleted;
  for (std::string& line : expected) {
    for (size_t at; (at = line.find(" dir/")) != std::string::npos;) line.replace(at, 5, " moved/");
  }
  EXPECT_EQ(members(), expected);
  EXPECT_EQ(member("moved/file.txt"), "hello\n");

  // Deleting the file a kept hard link names leaves the link a file with its data.
  ASSERT_TRUE(tessaro({"delete", archive(), "moved/file.txt"}));
  const std::string link = lineOf(expected, "moved/hard");
  std::string file = link.substr(0, link.find(" link to "));
  file[0] = '-';
  file.replace(file.find(" 0 2001-"), 8, " 6 2001-");
  std::vector<std::string> promoted = without(expected, "moved/file.txt");
  std::replace(promoted.begin(), promoted.end(), link, file);
  EXPECT_EQ(members(), promoted);
  EXPECT_EQ(member("moved/hard"), "hello\n");
  EXPECT_EQ(member("moved/secret"), "write only");
  EXPECT_EQ(member("moved/" + std::string(296, 'n')), "long name");
}

// The whole archive is read before anything replaces it: a cut one is refused, not shortened.
TEST_P(TarPreservationTest, ATruncatedArchiveFailsAndStaysAsItWas) {
  ASSERT_NO_FATAL_FAILURE(makeArchive());
  const std::string whole = test::readFile(dir() / archive());
  const std::string cut = whole.substr(0, whole.size() / 2);
  home.dir().write(archive(), cut);
  home.dir().write("new.txt", "new");
  const auto before = std::distance(fs::directory_iterator(dir()), fs::directory_iterator());
  EXPECT_FALSE(tessaro({"add", archive(), "new.txt"}));
  EXPECT_FALSE(tessaro({"delete", archive(), "dir/sym"}));
  EXPECT_EQ(test::readFile(dir() / archive()), cut);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir()), fs::directory_iterator()), before);
}

INSTANTIATE_TEST_SUITE_P(Compressions, TarPreservationTest,
                         ::testing::Values(Flavour{"tar", "w"}, Flavour{"tar.gz", "w:gz"},
                                           Flavour{"tar.bz2", "w:bz2"}, Flavour{"tar.xz", "w:xz"}),
                         [](const ::testing::TestParamInfo<Flavour>& flavour) {
                           const std::string mode = flavour.param.mode;
                           return mode == "w" ? std::string("plain") : mode.substr(2);
                         });

}  // namespace
}  // namespace tessaro
