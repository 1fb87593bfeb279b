#include "VolumeNames.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <ostream>
#include <string>

namespace tessaro {
namespace {

struct VolumeCase {
  std::string path;
  std::string first;
  std::optional<std::string> base;
  int64_t number;
};

void PrintTo(const VolumeCase& c, std::ostream* out) { *out << '"' << c.path << '"'; }

constexpr int64_t kLargest = std::numeric_limits<int64_t>::max();

class VolumeNamesTest : public testing::TestWithParam<VolumeCase> {};

TEST_P(VolumeNamesTest, FirstPartBasePathAndPartNumber) {
  const VolumeCase& c = GetParam();
  EXPECT_EQ(firstPart(c.path), c.first);
  EXPECT_EQ(basePath(c.path), c.base);
  EXPECT_EQ(partNumber(c.path), c.number);
}

INSTANTIATE_TEST_SUITE_P(
    PartNumbered, VolumeNamesTest,
    testing::Values(VolumeCase{"x.part3.rar", "x.part1.rar", "x", 3},
                    // The first volume is written as wide as the given number.
                    VolumeCase{"x.part10.rar", "x.part01.rar", "x", 10},
                    VolumeCase{"/d/x.part07.rev", "/d/x.part01.rar", "/d/x", 7},
                    VolumeCase{"x.part001.rar", "x.part001.rar", "x", 1},
                    VolumeCase{"a.b.part2.rar", "a.b.part1.rar", "a.b", 2},
                    // No number after "part": an ordinary RAR name.
                    VolumeCase{"x.part.rar", "x.part.rar", "x.part", 0},
                    // partN before another extension is not a RAR volume.
                    VolumeCase{"x.part2.zip", "x.part2.zip", std::nullopt, 0},
                    // Digits beyond 64 bits: the number is the largest there is, nothing overflows.
                    VolumeCase{"x.part99999999999999999999.rar", "x.part00000000000000000001.rar", "x",
                               kLargest}));

INSTANTIATE_TEST_SUITE_P(
    RarNumbered, VolumeNamesTest,
    testing::Values(VolumeCase{"x.rar", "x.rar", "x", 0}, VolumeCase{"x.r00", "x.rar", "x", 0},
                    VolumeCase{"/a/x.r05", "/a/x.rar", "/a/x", 5}, VolumeCase{"x.s12", "x.rar", "x", 12},
                    VolumeCase{"x.r9999999999999999999999", "x.rar", "x", kLargest},
                    // "t" lies outside r-s, and a letter alone carries no number.
                    VolumeCase{"x.t01", "x.t01", std::nullopt, 0}, VolumeCase{"x.r", "x.r", std::nullopt, 0},
                    VolumeCase{"x.rev", "x.rev", std::nullopt, 0}));

INSTANTIATE_TEST_SUITE_P(
    PlainNumbered, VolumeNamesTest,
    testing::Values(VolumeCase{"x.001", "x.001", "x", 1}, VolumeCase{"x.017", "x.001", "x", 17},
                    VolumeCase{"dir.v2/x.tar.003", "dir.v2/x.tar.001", "dir.v2/x.tar", 3},
                    VolumeCase{"x.000", "x.001", "x", 0},
                    VolumeCase{"x.123456789012345678901234567890", "x.001", "x", kLargest}));

INSTANTIATE_TEST_SUITE_P(NoVolume, VolumeNamesTest,
                         testing::Values(VolumeCase{"x.zip", "x.zip", std::nullopt, 0},
                                         VolumeCase{"x", "x", std::nullopt, 0},
                                         VolumeCase{"", "", std::nullopt, 0},
                                         // Extensions are compared case-sensitively.
                                         VolumeCase{"X.RAR", "X.RAR", std::nullopt, 0},
                                         VolumeCase{"x.PART2.RAR", "x.PART2.RAR", std::nullopt, 0},
                                         VolumeCase{"x.part2.RAR", "x.part2.RAR", std::nullopt, 0},
                                         VolumeCase{"x.R00", "x.R00", std::nullopt, 0},
                                         // A leading "." starts a hidden name, not an extension.
                                         VolumeCase{".001", ".001", std::nullopt, 0},
                                         VolumeCase{"x.0a1", "x.0a1", std::nullopt, 0}));

}  // namespace
}  // namespace tessaro
