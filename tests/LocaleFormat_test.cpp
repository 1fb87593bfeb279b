#include "locale/LocaleFormat.h"

#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <thread>

#include "support/ScopedEnv.h"

namespace tessaro {
namespace {

// 2026-06-06 01:19:00 UTC.
constexpr std::chrono::sys_seconds kSample{std::chrono::seconds{1780708740}};
// CLDR puts a narrow no-break space before the day period.
constexpr const char* kNarrowSpace = "\u202F";

// Only LANG decides; LC_ALL and LC_MESSAGES are cleared for the test's duration.
struct LocaleEnv {
  LocaleEnv(const char* lang, const char* tz) {
    env.set("LC_ALL", std::nullopt).set("LC_MESSAGES", std::nullopt).set("LANG", lang).set("TZ", tz);
  }
  test::ScopedEnv env;
};

TEST(LocaleFormatTest, ShortDateTimeFollowsLangAndTz) {
  const std::string us = std::string("6/6/26, 1:19") + kNarrowSpace + "AM";
  {
    LocaleEnv env("C", "UTC");
    EXPECT_EQ(formatShortDateTime(kSample), us);
  }
  {
    LocaleEnv env("de_DE.UTF-8", "UTC");
    EXPECT_EQ(formatShortDateTime(kSample), "06.06.26, 01:19");
  }
  // ICU 72 crashes on some malformed identifiers; those read as the POSIX locale.
  for (const char* odd : {"abcdefghijkl_MN.UTF-8", "../../etc"}) {
    LocaleEnv env(odd, "UTC");
    EXPECT_EQ(formatShortDateTime(kSample), us) << odd;
  }
  {
    LocaleEnv env("en_US.UTF-8", "America/New_York");
    EXPECT_EQ(formatShortDateTime(kSample), std::string("6/5/26, 9:19") + kNarrowSpace + "PM");
    // Texts are kept per second: times that share a place in that memory each keep their own.
    EXPECT_EQ(formatShortDateTime(kSample + std::chrono::seconds{64 * 60}),
              std::string("6/5/26, 10:23") + kNarrowSpace + "PM");
    EXPECT_EQ(formatShortDateTime(kSample), std::string("6/5/26, 9:19") + kNarrowSpace + "PM");
  }
  // A zone changed after a text was kept gives the new zone's text.
  LocaleEnv env("en_US.UTF-8", "UTC");
  EXPECT_EQ(formatShortDateTime(kSample), us);
}

TEST(LocaleFormatTest, ShortDateTimeIsCheapAndWorksOnEveryThread) {
  LocaleEnv env("en_US.UTF-8", "UTC");
  const std::string expected = formatShortDateTime(kSample);
  constexpr int kCalls = 20000;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kCalls; ++i)
    ASSERT_FALSE(formatShortDateTime(kSample + std::chrono::seconds{i}).empty());
  const auto perCall = (std::chrono::steady_clock::now() - start) / kCalls;
  // A few microseconds in a release build; the bound leaves room for the sanitizers and a busy
  // machine while still failing when a formatter is built per call (hundreds of microseconds).
  EXPECT_LT(perCall, std::chrono::microseconds{60}) << "per call: " << perCall.count() << " ns";

  std::string other;
  std::thread([&] { other = formatShortDateTime(kSample); }).join();
  EXPECT_EQ(other, expected);
}

TEST(LocaleFormatTest, ByteCountsInDecimalOrBinaryUnitsWithLocalSeparators) {
  LocaleEnv env("en_US.UTF-8", "UTC");
  EXPECT_EQ(formatByteCount(0, false), "Zero KB");
  EXPECT_EQ(formatByteCount(1, false), "1 byte");
  EXPECT_EQ(formatByteCount(999, false), "999 bytes");
  EXPECT_EQ(formatByteCount(1500, false), "2 KB");
  EXPECT_EQ(formatByteCount(999999, false), "1 MB");  // rounds up into the next unit
  EXPECT_EQ(formatByteCount(1234567, false), "1.2 MB");
  EXPECT_EQ(formatByteCount(1234567890, false), "1.23 GB");
  EXPECT_EQ(formatByteCount(-1234567, false), "-1.2 MB");
  EXPECT_EQ(formatByteCount(std::numeric_limits<int64_t>::max(), false), "9.22 EB");
  EXPECT_EQ(formatByteCount(std::numeric_limits<int64_t>::min(), false), "-9.22 EB");
  EXPECT_EQ(formatByteCount(1023, true), "1,023 bytes");
  EXPECT_EQ(formatByteCount(1024, true), "1 KB");
  EXPECT_EQ(formatByteCount(1024 * 1024 * 3 / 2, true), "1.5 MB");
  EXPECT_EQ(formatByteCount(std::numeric_limits<int64_t>::max(), true), "8 EB");

  LocaleEnv german("de_DE.UTF-8", "UTC");
  EXPECT_EQ(formatByteCount(1234567, false), "1,2 MB");
  EXPECT_EQ(formatByteCount(1023, true), "1.023 bytes");
}

}  // namespace
}  // namespace tessaro
