#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "GTMNSString+HTML.h"
#include "NSString+AWSRegex.h"
#include "NSString+HTML.h"

namespace tessaro {
namespace {

bool isPureAscii(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 128) return false;
  }
  return true;
}

// Lookups search the table by halves, so it must be strictly ascending.
TEST(HTMLEscapeTest, TableIsSortedWithoutDuplicates) {
  for (size_t i = 1; i < gAsciiHTMLEscapeMapSize; ++i) {
    EXPECT_LT(gAsciiHTMLEscapeMap[i - 1].uchar, gAsciiHTMLEscapeMap[i].uchar) << "at " << i;
  }
}

// Markup characters become entities, other characters entities or numeric references; bytes that
// are not UTF-8 read as replacement characters.
TEST(HTMLEscapeTest, EscapesMarkupAndNonAsciiAndReplacesInvalidUtf8) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"a<b>&\"c\"", "a&lt;b&gt;&amp;&quot;c&quot;"},
      {"it's", "it&apos;s"},
      {"plain name.txt", "plain name.txt"},
      {"", ""},
      {"&&", "&amp;&amp;"},
      {"caf\xC3\xA9", "caf&eacute;"},
      {"\xD0\x94.zip", "&#1044;.zip"},
      {"\xE2\x82\xAC 5", "&euro; 5"},
      // U+1F600 is two UTF-16 code units but one character, and one reference.
      {"x\xF0\x9F\x98\x80y", "x&#128512;y"},
      // U+0080 has no entity: the smallest numeric reference.
      {"\xC2\x80", "&#128;"},
      {"a\xFFz", "a&#65533;z"},
      // A truncated three-byte sequence is one replacement; the byte that broke it is read anew.
      {"\xE2\x82<", "&#65533;&lt;"},
      // Overlong form of "/" and an encoded surrogate: every byte is rejected on its own.
      {"\xC0\xAF", "&#65533;&#65533;"},
      {"\xED\xA0\x80", "&#65533;&#65533;&#65533;"},
      {std::string_view("a\0b", 3), std::string_view("a\0b", 3)},
  };
  for (const auto& [text, escaped] : cases) EXPECT_EQ(stringByEncodingHTMLEntities(text), escaped) << text;
  std::string hostile;
  for (int byte = 0; byte < 256; ++byte) hostile += static_cast<char>(byte);
  EXPECT_TRUE(isPureAscii(stringByEncodingHTMLEntities(hostile)));
}

TEST(HTMLEscapeTest, WithoutUnicodeEscapingOnlyTableEntriesChange) {
  static const HTMLEscapeMap kMarkupOnly[] = {{"&amp;", '&'}, {"&lt;", '<'}};
  EXPECT_EQ(gtm_stringByEscapingHTMLUsingTable("\xD0\x94<&\xF0\x9F\x98\x80", kMarkupOnly, 2, false),
            "\xD0\x94&lt;&amp;\xF0\x9F\x98\x80");
  // Bytes that are not UTF-8 come out as U+FFFD, so the result is always valid UTF-8.
  EXPECT_EQ(gtm_stringByEscapingHTMLUsingTable("a\xFF", kMarkupOnly, 2, false), "a\xEF\xBF\xBD");
  EXPECT_EQ(gtm_stringByEscapingHTMLUsingTable("<\xC3\xA9", nullptr, 0, true), "<&#233;");
}

// Extended expressions with the anchors in the pattern; a pattern that does not compile never
// matches; the text is read past a NUL byte.
TEST(HTMLEscapeTest, MatchesUsesExtendedExpressions) {
  const struct {
    std::string_view text, pattern;
    bool matched;
  } cases[] = {
      {"123", "^[0-9]+$", true},
      {"12a", "^[0-9]+$", false},
      {"x.part12.rar", "part[0-9]+", true},
      {"r00", "^(r|s)[0-9]{2}$", true},
      {"R00", "^r[0-9]+$", false},
      {"", "^$", true},
      {"abc", "(", false},
      {"abc", "[a-", false},
      {"abc", std::string_view("a\0|.*", 5), false},
      {std::string_view("12\0ab", 5), "^[0-9]+$", false},
      {std::string_view("x\0ab", 4), "ab$", true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(matches(c.text, c.pattern), c.matched) << c.text << " ~ " << c.pattern;
}

}  // namespace
}  // namespace tessaro
