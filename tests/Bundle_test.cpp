#include "bundle/Bundle.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace tessaro {
namespace {

using Strings = std::map<std::string, std::string, std::less<>>;

// UTF-16 bytes with a byte-order mark.
std::string utf16(std::u16string_view text, bool bigEndian) {
  std::string out = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
  for (char16_t unit : text) {
    const char hi = static_cast<char>(unit >> 8);
    const char lo = static_cast<char>(unit & 0xFF);
    out += bigEndian ? std::string{hi, lo} : std::string{lo, hi};
  }
  return out;
}

// Only the locale variables a test names are set; the others are cleared for its duration.
struct Locale {
  explicit Locale(std::optional<std::string> lang, std::optional<std::string> messages = std::nullopt,
                  std::optional<std::string> all = std::nullopt) {
    env.set("LANG", std::move(lang)).set("LC_MESSAGES", std::move(messages)).set("LC_ALL", std::move(all));
    env.set("LANGUAGE", std::nullopt);
  }
  test::ScopedEnv env;
};

TEST(BundleTest, StringsFilesHaveCommentsEscapesAndUnquotedWords) {
  const Strings parsed = parseStringsFile(R"(/* A block comment
   spanning lines with "quotes" = "inside"; */
"Size" = "Größe";   // trailing comment
"quote \"x\"" = "back\\slash\nnew\ttab\rret";
"unicode" = "\U00E9\u2603 \UD83D\UDE00 \uD800x";
"octal" = "\101\102";
plain_word = other.word/with-slash;
"alone";
"empty" = "";
"spaced"
    =
  "value" ;
)");
  const Strings expected{{"Size", "Größe"},
                         {"quote \"x\"", "back\\slash\nnew\ttab\rret"},
                         {"unicode", "é☃ 😀 \uFFFDx"},
                         {"octal", "AB"},
                         {"plain_word", "other.word/with-slash"},
                         {"alone", "alone"},
                         {"empty", ""},
                         {"spaced", "value"}};
  EXPECT_EQ(parsed, expected);
}

TEST(BundleTest, ByteOrderMarksSelectTheEncoding) {
  const Strings expected{{"Name", "Nämé 😀"}};
  EXPECT_EQ(parseStringsFile("\xEF\xBB\xBF\"Name\" = \"Nämé 😀\";"), expected);
  const std::u16string text = u"/* c */ \"Name\" = \"Nämé 😀\";";
  EXPECT_EQ(parseStringsFile(utf16(text, false)), expected);
  EXPECT_EQ(parseStringsFile(utf16(text, true)), expected);
  // An odd trailing byte and a lone surrogate must not derail the conversion.
  EXPECT_EQ(parseStringsFile(utf16(u"\"a\" = \"b\";", false) + "\x41"), (Strings{{"a", "b"}}));
  EXPECT_EQ(parseStringsFile(utf16(u"\"a\" = \"\xD800\";", true)), (Strings{{"a", "\uFFFD"}}));
}

TEST(BundleTest, MalformedTextKeepsThePairsBeforeTheFault) {
  const std::string good = "\"a\" = \"1\";\n";
  for (const char* tail : {"\"b\" = \"2\" \"c\" = \"3\";", "\"b\" = \"unterminated;", "\"b\" = ;", "= \"x\";",
                           "\"b\" = \"2\"", "/* never closed \"b\" = \"2\";", "\"b\" = \"\\",
                           "\"b\" = \"\\u\";", "\"b\" @ \"2\";", "{ \"b\" = \"2\"; }"}) {
    EXPECT_EQ(parseStringsFile(good + tail), (Strings{{"a", "1"}})) << tail;
  }
  EXPECT_EQ(parseStringsFile(""), Strings{});
  EXPECT_EQ(parseStringsFile(std::string(3, '\0')), Strings{});
}

TEST(BundleTest, PreferredLanguagesComeFromLanguageThenLcAllThenLcMessagesThenLang) {
  {
    Locale locale("de_DE.UTF-8", "fr_CA.ISO-8859-1@euro");
    EXPECT_EQ(Bundle::preferredLanguages(), (std::vector<std::string>{"fr_CA", "fr", "en"}));
  }
  {
    Locale locale("de_DE.UTF-8", "fr_CA", "pt");
    EXPECT_EQ(Bundle::preferredLanguages(), (std::vector<std::string>{"pt", "en"}));
  }
  {
    Locale locale("de_DE", std::nullopt, "");  // an empty variable counts as unset
    EXPECT_EQ(Bundle::preferredLanguages(), (std::vector<std::string>{"de_DE", "de", "en"}));
  }
  Locale locale("C.UTF-8");
  EXPECT_EQ(Bundle::preferredLanguages(), (std::vector<std::string>{"en"}));
  // LANGUAGE's list goes first, whatever the locale, as it does for GLib's kind names.
  locale.env.set("LANGUAGE", "de:fr_CA");
  EXPECT_EQ(Bundle::preferredLanguages(), (std::vector<std::string>{"de", "fr_CA", "fr", "en"}));
  locale.env.set("LANG", "pt_BR.UTF-8");
  EXPECT_EQ(Bundle::preferredLanguages(),
            (std::vector<std::string>{"de", "fr_CA", "fr", "pt_BR", "pt", "en"}));
}

class LocalizedBundle {
 public:
  LocalizedBundle() {
    dir_.write("en.lproj/Localizable.strings", "\"Size\" = \"Size (en)\";\n\"Name\" = \"Name\";");
    dir_.write("de.lproj/Localizable.strings", "\"Size\" = \"Größe\";");
    dir_.write("pt-BR.lproj/Localizable.strings", "\"Size\" = \"Tamanho\";");
    dir_.write("de.lproj/page.html", "de");
    dir_.write("page.html", "plain");
    dir_.write("style.css", "plain");
    dir_.write("notafolder.lproj", "");
  }
  const test::TempDir& dir() const { return dir_; }
  Bundle bundle() const { return Bundle(dir_.path()); }

 private:
  test::TempDir dir_;
};

TEST(BundleTest, LocalizedStringsFollowTheLocaleWithTheKeyAsFallback) {
  LocalizedBundle resources;
  EXPECT_EQ(resources.bundle().localizations(), (std::vector<std::string>{"de", "en", "pt-BR"}));
  {
    Locale locale("de_AT.UTF-8");
    const Bundle bundle = resources.bundle();
    EXPECT_EQ(bundle.preferredLocalization(), "de");
    EXPECT_EQ(bundle.localizedString("Size"), "Größe");
    EXPECT_EQ(bundle.localizedString("Name"), "Name");
    EXPECT_EQ(bundle.localizedString("Unknown key"), "Unknown key");
  }
  {
    Locale locale("ja_JP.UTF-8");
    EXPECT_EQ(resources.bundle().localizedString("Size"), "Size (en)");
  }
  {
    // Without English the first localisation serves.
    test::TempDir dir;
    dir.write("fr.lproj/Localizable.strings", "\"Size\" = \"Taille\";");
    dir.write("it.lproj/Localizable.strings", "\"Size\" = \"Dimensione\";");
    Locale locale("ja_JP.UTF-8");
    EXPECT_EQ(Bundle(dir.path()).localizedString("Size"), "Taille");
  }
  Locale locale("de_DE.UTF-8");
  EXPECT_EQ(Bundle(resources.dir().path() / "missing").localizedString("Size"), "Size");
}

TEST(BundleTest, PathForResourcePrefersTheLocalisedCopy) {
  LocalizedBundle resources;
  const auto& root = resources.dir().path();
  {
    Locale locale("de_DE.UTF-8");
    const Bundle bundle = resources.bundle();
    EXPECT_EQ(bundle.pathForResource("page.html"), root / "de.lproj" / "page.html");
    EXPECT_EQ(bundle.pathForResource("style.css"), root / "style.css");
    EXPECT_EQ(bundle.pathForResource("missing.js"), std::nullopt);
    EXPECT_EQ(bundle.pathForResource("../outside"), std::nullopt);
    EXPECT_EQ(bundle.pathForResource("/etc/passwd"), std::nullopt);
  }
  Locale locale("fr_FR.UTF-8");
  EXPECT_EQ(resources.bundle().pathForResource("page.html"), root / "page.html");
}

}  // namespace
}  // namespace tessaro
