#include "ListingRecord.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

namespace tessaro {
namespace {

// Runs the body with TZ set, restoring the previous zone afterwards.
class ZoneGuard {
 public:
  explicit ZoneGuard(const char* zone) {
    if (const char* old = std::getenv("TZ")) saved_ = old, had_ = true;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ZoneGuard() {
    had_ ? setenv("TZ", saved_.c_str(), 1) : unsetenv("TZ");
    tzset();
  }

 private:
  std::string saved_;
  bool had_ = false;
};

int64_t secondsOf(std::optional<Date> d) { return d ? d->time_since_epoch().count() : -1; }

TEST(ListingRecordTest, RecognisesEntryRecordsAndSplitsPathFromFields) {
  EXPECT_TRUE(isEntryRecord("path=a\tunco=1"));
  EXPECT_TRUE(isEntryRecord("path=\tunco=1"));
  EXPECT_FALSE(isEntryRecord("path=a"));
  EXPECT_FALSE(isEntryRecord("Path=a\tunco=1"));
  EXPECT_FALSE(isEntryRecord("Comment = x\ty"));
  EXPECT_EQ(recordPath("path=a/b c\tunco=1\tcomp=2"), "a/b c");
  EXPECT_EQ(recordFields("path=a/b c\tunco=1\tcomp=2"), "unco=1\tcomp=2");
}

TEST(ListingRecordTest, SizesKeepEveryDigitAndSaturate) {
  EXPECT_EQ(parseRecordSize("5000000001"), 5000000001LL);
  EXPECT_EQ(parseRecordSize("-1"), -1);
  EXPECT_EQ(parseRecordSize("12.9"), 12);
  EXPECT_EQ(parseRecordSize("-12.9"), -12);
  EXPECT_EQ(parseRecordSize("+7kB"), 7);
  EXPECT_EQ(parseRecordSize("abc"), 0);
  EXPECT_EQ(parseRecordSize(""), 0);
  EXPECT_EQ(parseRecordSize("9223372036854775807"), INT64_MAX);
  EXPECT_EQ(parseRecordSize("99999999999999999999999"), INT64_MAX);
  EXPECT_EQ(parseRecordSize("-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(parseRecordSize("-99999999999999999999999"), INT64_MIN);
  EXPECT_EQ(parseRecordInteger("99999999999"), INT32_MAX);
  EXPECT_EQ(parseRecordInteger("-3"), -3);
}

TEST(ListingRecordTest, MonthsAreExactEnglishAbbreviations) {
  EXPECT_EQ(parseRecordMonth("Jan"), 1);
  EXPECT_EQ(parseRecordMonth("Dec"), 12);
  EXPECT_EQ(parseRecordMonth("mar"), 0);
  EXPECT_EQ(parseRecordMonth("March"), 0);
}

TEST(ListingRecordTest, TimeFormsParseInLocalTime) {
  ZoneGuard zone("UTC");
  // 2023-03-07 09:05:30 UTC
  EXPECT_EQ(secondsOf(parseRecordTime("20230307.090530")), 1678179930);
  EXPECT_EQ(secondsOf(parseRecordTime("20230307.0905")), 1678179900);
  EXPECT_EQ(secondsOf(parseRecordTime("2023-03-07 09:05:30")), 1678179930);
  EXPECT_EQ(secondsOf(parseRecordTime("2023- 3- 7  9: 5:30")), 1678179930);
  EXPECT_EQ(secondsOf(parseRecordTime("1980-01-01 00:00:00")), 315532800);
}

TEST(ListingRecordTest, TimeFollowsTheLocalZoneAndItsDaylightSaving) {
  ZoneGuard zone("Europe/Berlin");
  // Winter: UTC+1; summer: UTC+2.
  EXPECT_EQ(secondsOf(parseRecordTime("20230115.120000")), 1673780400);
  EXPECT_EQ(secondsOf(parseRecordTime("20230715.120000")), 1689415200);
  {
    ZoneGuard other("America/New_York");
    EXPECT_EQ(secondsOf(parseRecordTime("20230715.120000")), 1689436800);
  }
  EXPECT_EQ(secondsOf(parseRecordTime("20230715.120000")), 1689415200);
}

TEST(ListingRecordTest, TimeThatDoesNotFitItsFormIsNoDate) {
  ZoneGuard zone("UTC");
  for (const char* bad :
       {"20231307.090530", "20230230.090530", "20230307-090530", "2023030a.0905", "20230307.2460",
        "2023-03-07", "2023-03-07 09:05:30x", "", "garbage", "2023-03-07T09:05:30", "-2023-03-07 09:05:30"})
    EXPECT_FALSE(parseRecordTime(bad).has_value()) << bad;
  EXPECT_TRUE(parseRecordTime("20240229.000000").has_value());
}

TEST(ListingRecordTest, GMTPartsCarryLikeACalendar) {
  EXPECT_EQ(dateFromGMTParts(2023, 3, 7, 9, 5).time_since_epoch().count(), 1678179900);
  // Day 0 is the last day of the month before; 90 minutes carry into the hour.
  EXPECT_EQ(dateFromGMTParts(2023, 3, 0, 0, 90).time_since_epoch().count(),
            dateFromGMTParts(2023, 2, 28, 1, 30).time_since_epoch().count());
  time_t now = std::time(nullptr);
  struct tm tm {};
  gmtime_r(&now, &tm);
  EXPECT_EQ(dateFromGMTParts(0, 3, 7, 9, 5).time_since_epoch().count(),
            dateFromGMTParts(tm.tm_year + 1900, 3, 7, 9, 5).time_since_epoch().count());
}

}  // namespace
}  // namespace tessaro
