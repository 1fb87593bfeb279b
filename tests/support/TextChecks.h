// Checks on program output, pages and other texts. `contains`/`lacks` show the whole text when
// they fail:  EXPECT_TRUE(test::contains(result.output, "all entries OK"));
// `expectContains`/`expectLacks` check several parts at once and name each one that fails.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
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

inline void expectContains(std::string_view text, std::initializer_list<std::string_view> parts) {
  for (std::string_view part : parts)
    EXPECT_NE(text.find(part), std::string_view::npos) << "missing: " << part;
}

inline void expectLacks(std::string_view text, std::initializer_list<std::string_view> parts) {
  for (std::string_view part : parts)
    EXPECT_EQ(text.find(part), std::string_view::npos) << "present: " << part;
}

}  // namespace tessaro::test
