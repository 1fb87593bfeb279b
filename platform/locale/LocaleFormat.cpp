#include "locale/LocaleFormat.h"

#include <unicode/datefmt.h>
#include <unicode/locid.h>
#include <unicode/numfmt.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <memory>

namespace tessaro {

namespace {

// ICU settles its default locale and zone once per process; the formatters here follow the
// environment instead, so that a program (or a test) that changes LANG or TZ sees the change.
// The variables are those ICU itself reads for its default, in the same order.
constexpr std::array<const char*, 4> kWatchedVariables = {"LC_ALL", "LC_MESSAGES", "LANG", "TZ"};

constexpr const char* kPosixLocale = "en_US_POSIX";

bool isAsciiAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isAsciiAlnum(char c) { return isAsciiAlpha(c) || (c >= '0' && c <= '9'); }

// A language of 2 to 8 letters and subtags of 1 to 8 letters or digits: ICU 72 crashes building
// a date format for some malformed identifiers (a 12-letter language, for one).
bool isPlainLocaleId(std::string_view id) {
  size_t start = 0;
  bool first = true;
  for (;;) {
    const size_t end = std::min(id.find_first_of("_-", start), id.size());
    const std::string_view part = id.substr(start, end - start);
    if (part.empty() || part.size() > 8) return false;
    for (char c : part) {
      if (first ? !isAsciiAlpha(c) : !isAsciiAlnum(c)) return false;
    }
    if (first && part.size() < 2) return false;
    if (end == id.size()) return true;
    first = false;
    start = end + 1;
  }
}

// "de_DE.UTF-8@euro" → "de_DE"; "C" and "POSIX" are what ICU calls "en_US_POSIX", and so is
// anything unusable.
icu::Locale icuLocale(std::string_view posix) {
  posix = posix.substr(0, posix.find_first_of(".@"));
  if (posix == "C" || posix == "POSIX" || !isPlainLocaleId(posix)) return icu::Locale(kPosixLocale);
  icu::Locale locale(std::string(posix).c_str());
  return locale.isBogus() ? icu::Locale(kPosixLocale) : locale;
}

icu::Locale currentLocale() {
  for (size_t i = 0; i < 3; ++i) {
    const char* value = std::getenv(kWatchedVariables[i]);
    if (value && *value) return icuLocale(value);
  }
  return icu::Locale::getDefault();
}

// One per thread: ICU formatters are not safe to share, and building one costs far more than a
// table row may.
struct ThreadFormatters {
  std::array<std::string, kWatchedVariables.size()> seen;
  std::array<bool, kWatchedVariables.size()> set{};
  bool built = false;
  std::unique_ptr<icu::DateFormat> date;
  std::unique_ptr<icu::NumberFormat> number;
  // Texts of recently formatted times by their second: the entries of an archive mostly share
  // a handful of times, and a formatted date costs as much as the rest of a table row.
  struct DateText {
    int64_t seconds = 0;
    bool valid = false;
    std::string text;
  };
  static constexpr size_t kDateTexts = 64;
  std::array<DateText, kDateTexts> dateTexts;

  // Rebuilds the formatters when the environment they were made for has changed.
  void refresh() {
    bool changed = !built;
    for (size_t i = 0; i < kWatchedVariables.size(); ++i) {
      const char* value = std::getenv(kWatchedVariables[i]);
      if ((value != nullptr) != set[i] || (value && seen[i] != value)) {
        changed = true;
        set[i] = value != nullptr;
        seen[i] = value ? value : "";
      }
    }
    if (!changed) return;
    built = true;
    for (DateText& entry : dateTexts) entry.valid = false;
    const icu::Locale locale = currentLocale();
    date.reset(
        icu::DateFormat::createDateTimeInstance(icu::DateFormat::kShort, icu::DateFormat::kShort, locale));
    if (date) date->adoptTimeZone(icu::TimeZone::detectHostTimeZone());
    UErrorCode status = U_ZERO_ERROR;
    number.reset(icu::NumberFormat::createInstance(locale, status));
    if (U_FAILURE(status)) number.reset();
    if (number) {
      number->setMinimumFractionDigits(0);
      number->setRoundingMode(icu::NumberFormat::kRoundHalfUp);
    }
  }
};

ThreadFormatters& formatters() {
  thread_local ThreadFormatters instance;
  instance.refresh();
  return instance;
}

std::string formatNumber(double value, int fractionDigits) {
  icu::NumberFormat* number = formatters().number.get();
  if (!number) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", fractionDigits, value);
    return buffer;
  }
  number->setMaximumFractionDigits(fractionDigits);
  icu::UnicodeString text;
  number->format(value, text);
  std::string out;
  return text.toUTF8String(out);
}

}  // namespace

std::string formatShortDateTime(std::chrono::sys_seconds time) {
  try {
    ThreadFormatters& current = formatters();
    icu::DateFormat* format = current.date.get();
    if (!format) return {};
    const int64_t seconds = time.time_since_epoch().count();
    ThreadFormatters::DateText& known =
        current.dateTexts[static_cast<uint64_t>(seconds) % ThreadFormatters::kDateTexts];
    if (known.valid && known.seconds == seconds) return known.text;
    icu::UnicodeString text;
    format->format(static_cast<UDate>(seconds) * 1000.0, text);
    std::string out;
    text.toUTF8String(out);
    known.valid = false;
    known.text = out;
    known.seconds = seconds;
    known.valid = true;
    return out;
  } catch (...) {
    return {};
  }
}

// Follows the platform's file-style byte counter: zero is "Zero KB", counts below one unit are
// whole bytes, KB have no decimals, MB one and larger units two, trailing zeros dropped, and a
// value that rounds up to a whole next unit is shown in that unit ("1 MB", not "1,000 KB").
std::string formatByteCount(int64_t bytes, bool base1024) {
  try {
    if (bytes == 0) return "Zero KB";
    const double base = base1024 ? 1024.0 : 1000.0;
    const double magnitude = bytes < 0 ? -static_cast<double>(bytes) : static_cast<double>(bytes);
    const double sign = bytes < 0 ? -1.0 : 1.0;
    if (magnitude < base) {
      return formatNumber(sign * magnitude, 0) + (magnitude == 1 ? " byte" : " bytes");
    }
    static constexpr const char* kUnits[] = {"KB", "MB", "GB", "TB", "PB", "EB"};
    static constexpr int kFractionDigits[] = {0, 1, 2, 2, 2, 2};
    constexpr size_t kLast = std::size(kUnits) - 1;
    size_t unit = 0;
    double value = magnitude / base;
    for (;;) {
      const double scale = std::pow(10.0, kFractionDigits[unit]);
      const double rounded = std::floor(value * scale + 0.5) / scale;
      if (rounded < base || unit == kLast) break;
      value /= base;
      ++unit;
    }
    return formatNumber(sign * value, kFractionDigits[unit]) + " " + kUnits[unit];
  } catch (...) {
    return {};
  }
}

}  // namespace tessaro
