#include "ListingRecord.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "support/ScopedEnv.h"

namespace tessaro {
namespace {

int64_t secondsOf(std::optional<Date> d) { return d ? d->time_since_epoch().count() : -1; }

TEST(ListingRecordTest, RecordsSizesAndMonths) {
  EXPECT_TRUE(isEntryRecord("path=a\tunco=1"));
  EXPECT_TRUE(isEntryRecord("path=\tunco=1"));
  for (const char* notEntry : {"path=a", "Path=a\tunco=1", "Comment = x\ty"})
    EXPECT_FALSE(isEntryRecord(notEntry)) << notEntry;
  EXPECT_EQ(recordPath("path=a/b c\tunco=1\tcomp=2"), "a/b c");
  EXPECT_EQ(recordFields("path=a/b c\tunco=1\tcomp=2"), "unco=1\tcomp=2");

  // Every digit is kept; hostile sizes saturate.
  const std::pair<const char*, int64_t> sizes[] = {{"5000000001", 5000000001LL},
                                                   {"-1", -1},
                                                   {"12.9", 12},
                                                   {"-12.9", -12},
                                                   {"+7kB", 7},
                                                   {"abc", 0},
                                                   {"", 0},
                                                   {"9223372036854775807", INT64_MAX},
                                                   {"99999999999999999999999", INT64_MAX},
                                                   {"-9223372036854775808", INT64_MIN},
                                                   {"-99999999999999999999999", INT64_MIN}};
  for (const auto& [text, size] : sizes) EXPECT_EQ(parseRecordSize(text), size) << text;
  EXPECT_EQ(parseRecordInteger("99999999999"), INT32_MAX);
  EXPECT_EQ(parseRecordInteger("-3"), -3);

  // Months are exact English abbreviations.
  EXPECT_EQ(parseRecordMonth("Jan"), 1);
  EXPECT_EQ(parseRecordMonth("Dec"), 12);
  EXPECT_EQ(parseRecordMonth("mar"), 0);
  EXPECT_EQ(parseRecordMonth("March"), 0);
}

TEST(ListingRecordTest, TimeFormsParseInTheLocalZoneOrNotAtAll) {
  test::ScopedEnv zone;
  zone.set("TZ", "UTC");
  // 2023-03-07 09:05:30 UTC
  for (const char* form : {"20230307.090530", "2023-03-07 09:05:30", "2023- 3- 7  9: 5:30"})
    EXPECT_EQ(secondsOf(parseRecordTime(form)), 1678179930) << form;
  EXPECT_EQ(secondsOf(parseRecordTime("20230307.0905")), 1678179900);
  EXPECT_EQ(secondsOf(parseRecordTime("1980-01-01 00:00:00")), 315532800);
  for (const char* bad :
       {"20231307.090530", "20230230.090530", "20230307-090530", "2023030a.0905", "20230307.2460",
        "2023-03-07", "2023-03-07 09:05:30x", "", "garbage", "2023-03-07T09:05:30", "-2023-03-07 09:05:30"})
    EXPECT_FALSE(parseRecordTime(bad).has_value()) << bad;
  EXPECT_TRUE(parseRecordTime("20240229.000000").has_value());

  // Winter UTC+1, summer UTC+2, and another zone when it changes.
  zone.set("TZ", "Europe/Berlin");
  EXPECT_EQ(secondsOf(parseRecordTime("20230115.120000")), 1673780400);
  EXPECT_EQ(secondsOf(parseRecordTime("20230715.120000")), 1689415200);
  zone.set("TZ", "America/New_York");
  EXPECT_EQ(secondsOf(parseRecordTime("20230715.120000")), 1689436800);
}

TEST(ListingRecordTest, GMTPartsCarryLikeACalendar) {
  EXPECT_EQ(dateFromGMTParts(2023, 3, 7, 9, 5).time_since_epoch().count(), 1678179900);
  // Day 0 is the last day of the month before; 90 minutes carry into the hour.
  EXPECT_EQ(dateFromGMTParts(2023, 3, 0, 0, 90).time_since_epoch().count(),
            dateFromGMTParts(2023, 2, 28, 1, 30).time_since_epoch().count());
  // Year 0 is this year.
  time_t now = std::time(nullptr);
  struct tm tm {};
  gmtime_r(&now, &tm);
  EXPECT_EQ(dateFromGMTParts(0, 3, 7, 9, 5).time_since_epoch().count(),
            dateFromGMTParts(tm.tm_year + 1900, 3, 7, 9, 5).time_since_epoch().count());
}

}  // namespace
}  // namespace tessaro
