#include "ListingRecord.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace tessaro {

namespace {

constexpr int64_t kSecondsPerDay = 86400;

// Days from 1970-01-01 to the given proleptic Gregorian date (month 1-12; any day count).
constexpr int64_t daysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

constexpr bool isLeapYear(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

constexpr int daysInMonth(int64_t y, int m) {
  constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && isLeapYear(y) ? 29 : kDays[m - 1];
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Reads exactly `count` digits at `pos`.
bool fixedDigits(std::string_view s, size_t pos, size_t count, int& out) {
  int v = 0;
  for (size_t i = 0; i < count; ++i) {
    const char c = s[pos + i];
    if (!isDigit(c)) return false;
    v = v * 10 + (c - '0');
  }
  out = v;
  return true;
}

// Reads spaces, then 1 to `maxDigits` digits; advances `pos`.
bool paddedNumber(std::string_view s, size_t& pos, size_t maxDigits, int& out) {
  while (pos < s.size() && s[pos] == ' ') ++pos;
  size_t digits = 0;
  int v = 0;
  while (pos < s.size() && isDigit(s[pos]) && digits < maxDigits) {
    v = v * 10 + (s[pos] - '0');
    ++pos;
    ++digits;
  }
  out = v;
  return digits > 0;
}

bool expect(std::string_view s, size_t& pos, char c) {
  if (pos >= s.size() || s[pos] != c) return false;
  ++pos;
  return true;
}

// UTC for a local wall-clock time. mktime re-reads the zone file on every call, far too slow
// for a million-entry listing, so the zone's offset comes from localtime_r (which does not) and
// is cached per local hour (zone changes fall on hour boundaries in practice); the cache is
// dropped whenever TZ changes.
class LocalOffsetCache {
 public:
  std::optional<int64_t> utcFromLocal(int64_t localSeconds) {
    checkZone();
    const int64_t hour = localSeconds >= 0 ? localSeconds / 3600 : (localSeconds - 3599) / 3600;
    Slot& slot = slots_[static_cast<uint64_t>(hour) % kSlots];
    if (!slot.valid || slot.hour != hour) {
      const auto offset = offsetAt(hour * 3600);
      if (!offset) return std::nullopt;
      slot = Slot{true, hour, *offset};
    }
    return localSeconds - slot.offset;
  }

 private:
  static constexpr size_t kSlots = 4096;
  struct Slot {
    bool valid = false;
    int64_t hour = 0;
    int64_t offset = 0;
  };

  static std::optional<int64_t> gmtOffset(int64_t utc) {
    const time_t t = static_cast<time_t>(utc);
    struct tm tm {};
    if (!localtime_r(&t, &tm)) return std::nullopt;
    return tm.tm_gmtoff;
  }
  // The offset in force at a local time: guess with the offset at the same reading taken as
  // UTC, then correct once with the offset at the guessed instant (they differ near a change).
  static std::optional<int64_t> offsetAt(int64_t local) {
    const auto first = gmtOffset(local);
    if (!first) return std::nullopt;
    const auto second = gmtOffset(local - *first);
    return second ? *second : *first;
  }

  void checkZone() {
    const char* tz = std::getenv("TZ");
    const bool hasTz = tz != nullptr;
    if (!checked_ || hasTz != hadTz_ || (hasTz && zone_ != tz)) {
      checked_ = true;
      hadTz_ = hasTz;
      zone_ = hasTz ? tz : "";
      tzset();
      for (auto& slot : slots_) slot.valid = false;
    }
  }

  std::vector<Slot> slots_ = std::vector<Slot>(kSlots);
  bool checked_ = false;
  bool hadTz_ = false;
  std::string zone_;
};

std::optional<Date> localDate(int y, int mo, int d, int h, int mi, int s) {
  if (mo < 1 || mo > 12 || d < 1 || d > daysInMonth(y, mo) || h > 23 || mi > 59 || s > 59)
    return std::nullopt;
  thread_local LocalOffsetCache cache;
  const int64_t local = daysFromCivil(y, mo, d) * kSecondsPerDay + h * 3600 + mi * 60 + s;
  const auto utc = cache.utcFromLocal(local);
  if (!utc) return std::nullopt;
  return Date(std::chrono::seconds(*utc));
}

}  // namespace

bool isEntryRecord(std::string_view line) {
  return line.size() >= 5 && line.compare(0, 5, "path=") == 0 && line.find('\t') != std::string_view::npos;
}

std::string_view recordPath(std::string_view line) {
  const size_t tab = line.find('\t');
  return line.substr(5, tab == std::string_view::npos ? std::string_view::npos : tab - 5);
}

std::string_view recordFields(std::string_view line) {
  const size_t tab = line.find('\t');
  return tab == std::string_view::npos ? std::string_view{} : line.substr(tab + 1);
}

void appendLines(std::string_view text, std::vector<std::string>& lines) {
  size_t start = 0;
  for (;;) {
    const size_t end = text.find('\n', start);
    if (end == std::string_view::npos) {
      lines.emplace_back(text.substr(start));
      return;
    }
    lines.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
}

int64_t parseRecordSize(std::string_view value) {
  size_t i = 0;
  while (i < value.size() && (value[i] == ' ' || value[i] == '\t' || value[i] == '\n')) ++i;
  bool negative = false;
  if (i < value.size() && (value[i] == '-' || value[i] == '+')) negative = value[i++] == '-';
  // Accumulate as a negative number so that INT64_MIN is reachable; saturate on overflow.
  int64_t acc = 0;
  bool overflow = false;
  for (; i < value.size() && isDigit(value[i]); ++i) {
    const int digit = value[i] - '0';
    if (acc < (INT64_MIN + digit) / 10) {
      overflow = true;
      continue;
    }
    acc = acc * 10 - digit;
  }
  if (overflow) return negative ? INT64_MIN : INT64_MAX;
  if (negative) return acc;
  return acc == INT64_MIN ? INT64_MAX : -acc;
}

int32_t parseRecordInteger(std::string_view value) {
  const int64_t v = parseRecordSize(value);
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(v);
}

int parseRecordMonth(std::string_view value) {
  static constexpr std::string_view kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  for (int i = 0; i < 12; ++i)
    if (value == kMonths[i]) return i + 1;
  return 0;
}

std::optional<Date> parseRecordTime(std::string_view value) {
  int y, mo, d, h, mi, s = 0;
  if (value.size() == 15 || value.size() == 13) {
    if (!fixedDigits(value, 0, 4, y) || !fixedDigits(value, 4, 2, mo) || !fixedDigits(value, 6, 2, d) ||
        value[8] != '.' || !fixedDigits(value, 9, 2, h) || !fixedDigits(value, 11, 2, mi))
      return std::nullopt;
    if (value.size() == 15 && !fixedDigits(value, 13, 2, s)) return std::nullopt;
    return localDate(y, mo, d, h, mi, s);
  }
  size_t pos = 0;
  if (!paddedNumber(value, pos, 4, y) || !expect(value, pos, '-') || !paddedNumber(value, pos, 2, mo) ||
      !expect(value, pos, '-') || !paddedNumber(value, pos, 2, d) || !expect(value, pos, ' ') ||
      !paddedNumber(value, pos, 2, h) || !expect(value, pos, ':') || !paddedNumber(value, pos, 2, mi) ||
      !expect(value, pos, ':') || !paddedNumber(value, pos, 2, s) || pos != value.size())
    return std::nullopt;
  return localDate(y, mo, d, h, mi, s);
}

Date dateFromGMTParts(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute) {
  if (year == 0) {
    const time_t now = std::time(nullptr);
    struct tm tm {};
    gmtime_r(&now, &tm);
    year = tm.tm_year + 1900;
  }
  // Month 1-12 always (it comes from an abbreviation); the other parts carry like a calendar's.
  const int64_t days = daysFromCivil(year, month, 1) + int64_t{day} - 1;
  const int64_t seconds = days * kSecondsPerDay + int64_t{hour} * 3600 + int64_t{minute} * 60;
  return Date(std::chrono::seconds(seconds));
}

}  // namespace tessaro
