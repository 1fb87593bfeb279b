// The keys a source file hands to a string lookup, and a strings table read from disk: for the
// checks that every text the code asks for is translated.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <map>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "bundle/Bundle.h"
#include "support/Files.h"

namespace tessaro::test {

inline std::map<std::string, std::string, std::less<>> stringsTable(const std::string& path) {
  return parseStringsFile(readFile(path));
}

// The string literals in the first argument of every call `lookup(` in `code` (a condition may
// choose between two keys; a braced list may hold many).
inline std::vector<std::string> lookupKeys(const std::string& code, std::string_view lookup) {
  const auto argumentOf = [&code](size_t open) {
    int depth = 1;
    size_t at = open;
    for (bool quoted = false; at < code.size() && depth > 0; ++at) {
      const char c = code[at];
      if (quoted) {
        if (c == '\\')
          ++at;
        else if (c == '"')
          quoted = false;
      } else if (c == '"') {
        quoted = true;
      } else if (c == '(' || c == '{') {
        ++depth;
      } else if (c == ')' || c == '}' || (c == ',' && depth == 1)) {
        if (c != ',') --depth;
        if (c == ',' || depth == 0) break;
      }
    }
    return code.substr(open, at - open);
  };
  static const std::regex literal(R"re("((?:[^"\\]|\\.)*)")re");
  std::vector<std::string> keys;
  for (size_t at = code.find(lookup); at != std::string::npos; at = code.find(lookup, at + 1)) {
    const std::string argument = argumentOf(at + lookup.size());
    for (std::sregex_iterator l(argument.begin(), argument.end(), literal), end; l != end; ++l) {
      // The key as the program holds it: the literal's escapes undone.
      const std::string escaped = (*l)[1].str();
      std::string key;
      for (size_t i = 0; i < escaped.size(); ++i) {
        if (escaped[i] == '\\' && i + 1 < escaped.size()) {
          ++i;
          key.push_back(escaped[i] == 'n' ? '\n' : escaped[i] == 't' ? '\t' : escaped[i]);
        } else {
          key.push_back(escaped[i]);
        }
      }
      keys.push_back(key);
    }
  }
  return keys;
}

// The English and German tables in `resources` hold the same keys, and every key of `keys` (more
// than `atLeast` of them, so that a broken key search cannot pass unnoticed) is in both.
inline void expectTranslated(const std::string& resources, const std::vector<std::string>& keys,
                             size_t atLeast) {
  const auto english = stringsTable(resources + "/en.lproj/Localizable.strings");
  const auto german = stringsTable(resources + "/de.lproj/Localizable.strings");
  EXPECT_FALSE(english.empty());
  for (const auto& [key, value] : english)
    EXPECT_TRUE(german.contains(key)) << "no German for \"" << key << "\"";
  for (const auto& [key, value] : german)
    EXPECT_TRUE(english.contains(key)) << "no English for \"" << key << "\"";
  EXPECT_GT(keys.size(), atLeast);
  for (const std::string& key : keys) {
    EXPECT_TRUE(english.contains(key)) << "\"" << key << "\" is not in en.lproj";
    EXPECT_TRUE(german.contains(key)) << "\"" << key << "\" is not in de.lproj";
  }
}

// Adds the keys that `code` hands to each of `lookups` to `keys`.
inline void addLookupKeys(std::vector<std::string>& keys, const std::string& code,
                          std::initializer_list<std::string_view> lookups) {
  for (std::string_view lookup : lookups) {
    const std::vector<std::string> found = lookupKeys(code, lookup);
    keys.insert(keys.end(), found.begin(), found.end());
  }
}

}  // namespace tessaro::test
