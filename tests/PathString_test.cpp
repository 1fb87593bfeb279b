#include "PathString.h"

#include <gtest/gtest.h>

#include <string>

namespace tessaro {
namespace {

struct PathCase {
  std::string path;
  std::string last;
  std::string parent;
  std::string extension;
  std::string withoutExtension;
};

// One row per path: lastPathComponent, deletingLastPathComponent, pathExtension, deletingPathExtension.
const PathCase kPathCases[] = {
    {"a/b/c.txt", "c.txt", "a/b", "txt", "a/b/c"},
    {"a/b/", "b", "a", "", "a/b"},
    {"/", "/", "/", "", "/"},
    {"///", "/", "/", "", "/"},
    {"", "", "", "", ""},
    {"/usr", "usr", "/", "", "/usr"},
    {"a", "a", "", "", "a"},
    {"a//b", "b", "a", "", "a//b"},
    {"//b", "b", "/", "", "//b"},
    {".profile", ".profile", "", "", ".profile"},
    {"dir/.profile", ".profile", "dir", "", "dir/.profile"},
    {".hidden.tar.gz", ".hidden.tar.gz", "", "gz", ".hidden.tar"},
    {"a.", "a.", "", "", "a"},
    {"a..b", "a..b", "", "b", "a."},
    {"x.tar.gz/", "x.tar.gz", "", "gz", "x.tar"},
    // The "." in a folder name is no extension of the file below it.
    {"v1.2/readme", "readme", "v1.2", "", "v1.2/readme"},
    {"a/..", "..", "a", "", "a/.."},
};

TEST(PathStringTest, ComponentAndExtensionOperations) {
  for (const PathCase& c : kPathCases) {
    SCOPED_TRACE("path \"" + c.path + "\"");
    EXPECT_EQ(lastPathComponent(c.path), c.last);
    EXPECT_EQ(deletingLastPathComponent(c.path), c.parent);
    EXPECT_EQ(pathExtension(c.path), c.extension);
    EXPECT_EQ(deletingPathExtension(c.path), c.withoutExtension);
  }
}

TEST(PathStringTest, AppendingJoinsWithExactlyOneSlashOrDot) {
  EXPECT_EQ(appendingPathComponent("/tmp", "x.txt"), "/tmp/x.txt");
  EXPECT_EQ(appendingPathComponent("/tmp/", "x.txt"), "/tmp/x.txt");
  EXPECT_EQ(appendingPathComponent("/tmp//", "//x.txt"), "/tmp/x.txt");
  EXPECT_EQ(appendingPathComponent("/", "x"), "/x");
  EXPECT_EQ(appendingPathComponent("", "x"), "x");
  EXPECT_EQ(appendingPathComponent("a", ""), "a");
  EXPECT_EQ(appendingPathComponent("a", "b/"), "a/b");
  // Relative components are kept as they are, not resolved.
  EXPECT_EQ(appendingPathComponent("/r/Resources", "../../Helpers"), "/r/Resources/../../Helpers");

  EXPECT_EQ(appendingPathExtension("x", "rar"), "x.rar");
  EXPECT_EQ(appendingPathExtension("x.part1", "rar"), "x.part1.rar");
  EXPECT_EQ(appendingPathExtension("dir/x/", "zip"), "dir/x.zip");
  EXPECT_EQ(appendingPathExtension("/", "zip"), "/");
  EXPECT_EQ(appendingPathExtension("", "zip"), "");
}

TEST(PathStringTest, ParentComponentsAreWholeComponents) {
  for (const char* out : {"..", "../x", "a/../b", "a/..", "/.."}) EXPECT_TRUE(hasParentComponent(out)) << out;
  for (const char* in : {"", "a", "..a", "a..", "a/...", "a/.b/..c"})
    EXPECT_FALSE(hasParentComponent(in)) << in;
}

TEST(PathStringTest, LowercaseAndSuffixTouchOnlyAscii) {
  EXPECT_EQ(asciiLowercase("X.RAR"), "x.rar");
  EXPECT_EQ(asciiLowercase("\xC3\x89T\xC3\x89"), "\xC3\x89t\xC3\x89");
  EXPECT_TRUE(hasSuffix("archive.tar.gz", ".gz"));
  EXPECT_FALSE(hasSuffix("gz", ".gz"));
  EXPECT_FALSE(hasSuffix("a.GZ", ".gz"));
  EXPECT_FALSE(hasSuffix("anything", ""));
}

TEST(PathStringTest, PercentEscapingLeavesOnlyUrlPathCharacters) {
  EXPECT_EQ(percentEscaped("/tmp/a-b_c.d~e/f"), "/tmp/a-b_c.d~e/f");
  EXPECT_EQ(percentEscaped("!$&'()*+,;=:@"), "!$%26%27()*+,%3B=:@");
  EXPECT_EQ(percentEscaped("a b#c?d%e"), "a%20b%23c%3Fd%25e");
  EXPECT_EQ(percentEscaped("<script>\"x\""), "%3Cscript%3E%22x%22");
  EXPECT_EQ(percentEscaped("\xC3\xA9\xFF"), "%C3%A9%FF");
  EXPECT_EQ(percentEscaped(std::string_view("a\0\n\\", 4)), "a%00%0A%5C");
  EXPECT_EQ(percentEscaped(""), "");
}

}  // namespace
}  // namespace tessaro
