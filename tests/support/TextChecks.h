// Checks on program output and other texts that show the whole text when they fail:
//   EXPECT_TRUE(test::contains(result.output, "all entries OK"));
#pragma once

#include <gtest/gtest.h>

#include <string_view>

namespace tessaro::test {

inline ::testing::AssertionResult contains(std::string_view text, std::string_view part) {
  if (text.find(part) != std::string_view::npos) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "\"" << part << "\" is not in:\n" << text;
}

inline ::testing::AssertionResult lacks(std::string_view text, std::string_view part) {
  if (text.find(part) == std::string_view::npos) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "\"" << part << "\" is in:\n" << text;
}

}  // namespace tessaro::test
