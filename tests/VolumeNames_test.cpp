#include "VolumeNames.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

namespace tessaro {
namespace {

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
