// Checking that a text, such as a page or a program's output, holds each of several parts.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <string_view>

namespace tessaro::test {

// Fails the test once for each part that `text` does not hold, naming the part.
inline void expectContains(std::string_view text, std::initializer_list<std::string_view> parts) {
  for (std::string_view part : parts)
    EXPECT_NE(text.find(part), std::string_view::npos) << "missing: " << part;
}

// Fails the test once for each part that `text` holds, naming the part.
inline void expectLacks(std::string_view text, std::initializer_list<std::string_view> parts) {
  for (std::string_view part : parts)
    EXPECT_EQ(text.find(part), std::string_view::npos) << "present: " << part;
}

}  // namespace tessaro::test
