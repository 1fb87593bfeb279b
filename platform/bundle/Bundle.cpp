#include "bundle/Bundle.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <system_error>

namespace tessaro {

namespace {

constexpr std::string_view kLprojExtension = ".lproj";
constexpr const char* kStringsTable = "Localizable.strings";
// Strings tables are small; anything past this is not one.
constexpr std::uintmax_t kMaxStringsFileBytes = std::uintmax_t{16} << 20;

// Guards the lazily parsed tables of every bundle; lookups are rare enough to share one lock.
std::mutex& stringsMutex() {
  static std::mutex mutex;
  return mutex;
}

// ---- UTF-8 and UTF-16 ----

void appendUtf8(std::string& out, char32_t c) {
  if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

bool isHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool isLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// UTF-16 text after its byte-order mark; an odd last byte is dropped, lone surrogates become U+FFFD.
std::string utf16ToUtf8(std::string_view bytes, bool bigEndian) {
  std::string out;
  out.reserve(bytes.size());
  const size_t units = bytes.size() / 2;
  auto unitAt = [&](size_t i) -> char32_t {
    const auto a = static_cast<unsigned char>(bytes[2 * i]);
    const auto b = static_cast<unsigned char>(bytes[2 * i + 1]);
    return bigEndian ? (char32_t{a} << 8 | b) : (char32_t{b} << 8 | a);
  };
  for (size_t i = 0; i < units; ++i) {
    const char32_t unit = unitAt(i);
    if (isHighSurrogate(unit) && i + 1 < units && isLowSurrogate(unitAt(i + 1))) {
      appendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (unitAt(i + 1) - 0xDC00));
      ++i;
    } else {
      appendUtf8(out, unit);
    }
  }
  return out;
}

// ---- The .strings text format ----

class StringsParser {
 public:
  explicit StringsParser(std::string_view text) : text_(text) {}

  std::map<std::string, std::string, std::less<>> parse() {
    std::map<std::string, std::string, std::less<>> pairs;
    for (;;) {
      skipSpaceAndComments();
      if (atEnd()) break;
      std::string key;
      if (!readToken(key)) break;
      skipSpaceAndComments();
      std::string value;
      if (peek() == '=') {
        ++pos_;
        skipSpaceAndComments();
        if (!readToken(value)) break;
        skipSpaceAndComments();
      } else {
        value = key;  // "key"; alone maps the key to itself
      }
      if (peek() != ';') break;
      ++pos_;
      pairs.insert_or_assign(std::move(key), std::move(value));
    }
    return pairs;
  }

 private:
  bool atEnd() const { return pos_ >= text_.size(); }
  char peek() const { return atEnd() ? '\0' : text_[pos_]; }

  static bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
  }
  // The characters of an unquoted string in the old-style property-list syntax.
  static bool isWordChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '$' || c == '+' || c == '/' || c == ':' || c == '.' || c == '-';
  }

  void skipSpaceAndComments() {
    while (!atEnd()) {
      if (isSpace(text_[pos_])) {
        ++pos_;
      } else if (text_.substr(pos_, 2) == "//") {
        const size_t end = text_.find('\n', pos_);
        pos_ = end == std::string_view::npos ? text_.size() : end + 1;
      } else if (text_.substr(pos_, 2) == "/*") {
        const size_t end = text_.find("*/", pos_ + 2);
        // An unterminated comment runs to the end; nothing after it can be read anyway.
        pos_ = end == std::string_view::npos ? text_.size() : end + 2;
      } else {
        break;
      }
    }
  }

  bool readToken(std::string& out) {
    if (peek() == '"') return readQuoted(out);
    const size_t start = pos_;
    while (!atEnd() && isWordChar(text_[pos_])) {
      // "//" and "/*" begin comments even right after a word.
      if (text_[pos_] == '/' && (text_.substr(pos_, 2) == "//" || text_.substr(pos_, 2) == "/*")) break;
      ++pos_;
    }
    out.assign(text_.substr(start, pos_ - start));
    return !out.empty();
  }

  bool readHex(size_t digits, char32_t& value) {
    value = 0;
    size_t count = 0;
    for (; count < digits && !atEnd(); ++count) {
      const char c = text_[pos_];
      unsigned digit;
      if (c >= '0' && c <= '9')
        digit = static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f')
        digit = static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F')
        digit = static_cast<unsigned>(c - 'A' + 10);
      else
        break;
      value = value * 16 + digit;
      ++pos_;
    }
    return count > 0;
  }

  bool readQuoted(std::string& out) {
    ++pos_;                    // opening quote
    char32_t pendingHigh = 0;  // a \u high surrogate waiting for its partner
    auto flushPending = [&] {
      if (pendingHigh) appendUtf8(out, 0xFFFD);
      pendingHigh = 0;
    };
    while (!atEnd()) {
      const char c = text_[pos_++];
      if (c == '"') {
        flushPending();
        return true;
      }
      if (c != '\\') {
        flushPending();
        out.push_back(c);
        continue;
      }
      if (atEnd()) return false;
      const char e = text_[pos_++];
      if (e == 'u' || e == 'U') {
        char32_t unit;
        if (!readHex(4, unit)) return false;
        if (pendingHigh && isLowSurrogate(unit)) {
          appendUtf8(out, 0x10000 + ((pendingHigh - 0xD800) << 10) + (unit - 0xDC00));
          pendingHigh = 0;
        } else {
          flushPending();
          if (isHighSurrogate(unit))
            pendingHigh = unit;
          else
            appendUtf8(out, unit);
        }
        continue;
      }
      flushPending();
      switch (e) {
        case 'n': out.push_back('\n'); break;
        case 't': out.push_back('\t'); break;
        case 'r': out.push_back('\r'); break;
        case 'a': out.push_back('\a'); break;
        case 'b': out.push_back('\b'); break;
        case 'f': out.push_back('\f'); break;
        case 'v': out.push_back('\v'); break;
        case '0':
        case '1':
        case '2':
        case '3':
        case '4':
        case '5':
        case '6':
        case '7': {
          // Up to three octal digits name a character of the first 256.
          char32_t value = static_cast<char32_t>(e - '0');
          for (int i = 0; i < 2 && !atEnd() && text_[pos_] >= '0' && text_[pos_] <= '7'; ++i)
            value = value * 8 + static_cast<char32_t>(text_[pos_++] - '0');
          appendUtf8(out, value);
          break;
        }
        default: out.push_back(e); break;  // \" \\ \' and any other character stand for themselves
      }
    }
    return false;  // unterminated
  }

  std::string_view text_;
  size_t pos_ = 0;
};

std::vector<std::string> languagesOfLocale(std::string_view locale) {
  locale = locale.substr(0, locale.find_first_of(".@"));
  if (locale.empty() || locale == "C" || locale == "POSIX") return {};
  std::vector<std::string> result{std::string(locale)};
  const size_t separator = locale.find_first_of("_-");
  if (separator != std::string_view::npos && separator > 0) result.emplace_back(locale.substr(0, separator));
  return result;
}

}  // namespace

std::map<std::string, std::string, std::less<>> parseStringsFile(std::string_view text) {
  try {
    if (text.size() >= 2 && text.substr(0, 2) == "\xFE\xFF")
      return StringsParser(utf16ToUtf8(text.substr(2), true)).parse();
    if (text.size() >= 2 && text.substr(0, 2) == "\xFF\xFE")
      return StringsParser(utf16ToUtf8(text.substr(2), false)).parse();
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    return StringsParser(text).parse();
  } catch (...) {
    return {};
  }
}

Bundle::Bundle(std::filesystem::path resourcesPath) : resourcesPath_(std::move(resourcesPath)) {}

std::optional<std::filesystem::path> Bundle::pathForResource(std::string_view name) const {
  try {
    const std::filesystem::path relative(name);
    if (name.empty() || relative.is_absolute()) return std::nullopt;
    for (const auto& part : relative) {
      if (part == "..") return std::nullopt;
    }
    std::error_code ec;
    const auto localized =
        resourcesPath_ / (preferredLocalization() + std::string(kLprojExtension)) / relative;
    if (std::filesystem::exists(localized, ec)) return localized;
    const auto plain = resourcesPath_ / relative;
    if (std::filesystem::exists(plain, ec)) return plain;
    return std::nullopt;
  } catch (...) {
    return std::nullopt;
  }
}

std::string Bundle::localizedString(std::string_view key) const {
  try {
    std::lock_guard lock(stringsMutex());
    if (!strings_) {
      strings_.emplace();
      std::error_code ec;
      const auto path =
          resourcesPath_ / (preferredLocalization() + std::string(kLprojExtension)) / kStringsTable;
      const auto size = std::filesystem::file_size(path, ec);
      if (!ec && size <= kMaxStringsFileBytes) {
        std::ifstream in(path, std::ios::binary);
        std::string text(static_cast<size_t>(size), '\0');
        in.read(text.data(), static_cast<std::streamsize>(text.size()));
        text.resize(static_cast<size_t>(std::max<std::streamsize>(in.gcount(), 0)));
        *strings_ = parseStringsFile(text);
      }
    }
    const auto it = strings_->find(key);
    return it == strings_->end() ? std::string(key) : it->second;
  } catch (...) {
    try {
      return std::string(key);
    } catch (...) {
      return {};
    }
  }
}

std::vector<std::string> Bundle::localizations() const {
  std::vector<std::string> result;
  try {
    std::error_code ec;
    for (std::filesystem::directory_iterator it(resourcesPath_, ec), end; !ec && it != end;
         it.increment(ec)) {
      const std::string name = it->path().filename().string();
      if (name.size() > kLprojExtension.size() && name.ends_with(kLprojExtension) && it->is_directory(ec))
        result.push_back(name.substr(0, name.size() - kLprojExtension.size()));
    }
    std::sort(result.begin(), result.end());
  } catch (...) {
  }
  return result;
}

std::string Bundle::preferredLocalization() const {
  try {
    const auto available = localizations();
    // Folders may spell the region either way ("pt_BR.lproj", "pt-BR.lproj").
    auto has = [&](std::string language) -> std::optional<std::string> {
      for (int spelling = 0; spelling < 2; ++spelling) {
        if (std::find(available.begin(), available.end(), language) != available.end()) return language;
        std::replace(language.begin(), language.end(), '_', '-');
      }
      return std::nullopt;
    };
    for (const auto& language : preferredLanguages()) {
      if (auto found = has(language)) return *found;
    }
    return available.empty() ? std::string("en") : available.front();
  } catch (...) {
    return "en";
  }
}

std::vector<std::string> Bundle::preferredLanguages() {
  std::vector<std::string> result;
  try {
    const auto add = [&result](std::string_view locale) {
      for (std::string& language : languagesOfLocale(locale))
        if (std::find(result.begin(), result.end(), language) == result.end())
          result.push_back(std::move(language));
    };
    // LANGUAGE, a list in order of preference, comes first: GLib reads it so for the kind names the
    // page shows beside these labels, and the page must not speak two languages.
    if (const char* list = std::getenv("LANGUAGE"); list && *list) {
      std::string_view rest = list;
      while (!rest.empty()) {
        const size_t colon = rest.find(':');
        add(rest.substr(0, colon));
        rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
      }
    }
    // Then the first of these that is set, as for the C library's messages.
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
      const char* value = std::getenv(variable);
      if (value && *value) {
        add(value);
        break;
      }
    }
    if (std::find(result.begin(), result.end(), "en") == result.end()) result.emplace_back("en");
  } catch (...) {
  }
  return result;
}

}  // namespace tessaro
