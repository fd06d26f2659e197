#include "quorvin/platform/core/datetime.h"

#include <ctime>
#include <string>

#include <gtest/gtest.h>

namespace quorvin::platform {
namespace {

struct Pattern {
  const char* name;
  std::string pattern;
  TDateTime when;
  std::string expected;
};

class FormatDateTimePattern : public ::testing::TestWithParam<Pattern> {};

TEST_P(FormatDateTimePattern, Formats) {
  EXPECT_EQ(FormatDateTime(GetParam().pattern, GetParam().when), GetParam().expected);
}

const TDateTime kEvening = EncodeDateTime(2026, 12, 8, 21, 1, 10);  // a Tuesday
const TDateTime kMorning = EncodeDateTime(2027, 3, 14, 9, 5, 3);    // a Sunday

INSTANTIATE_TEST_SUITE_P(
    , FormatDateTimePattern,
    ::testing::Values(
        Pattern{"DayWithoutLeadingZero", "d", kEvening, "8"},
        Pattern{"DayWithLeadingZero", "dd", kEvening, "08"},
        Pattern{"TwoDigitDay", "d", EncodeDateTime(2026, 12, 18, 0, 0, 0), "18"},
        Pattern{"ShortDayName", "ddd", kEvening, "Tue"},
        Pattern{"LongDayName", "dddd", kMorning, "Sunday"},
        Pattern{"MonthNumber", "m/mm", kMorning, "3/03"},
        Pattern{"ShortMonthName", "mmm", kEvening, "Dec"},
        Pattern{"LongMonthName", "mmmm", kMorning, "March"},
        Pattern{"Years", "yy yyyy", kMorning, "27 2027"},
        Pattern{"Hours", "h hh", kMorning, "9 09"},
        Pattern{"MinutesAfterHours", "hh:mm", kMorning, "09:05"},
        Pattern{"MinutesAfterShortHours", "h:m", kMorning, "9:5"},
        Pattern{"MinutesByN", "nn", kMorning, "05"},
        Pattern{"MonthAfterADayNotMinutes", "hh dd mm", kMorning, "09 14 03"},
        Pattern{"MonthNameAfterHours", "hh mmm", kMorning, "09 Mar"},
        Pattern{"Seconds", "s ss", kMorning, "3 03"},
        Pattern{"UpperCaseLetters", "DD/MM/YYYY HH:MM", kMorning, "14/03/2027 09:05"},
        Pattern{"DoubleQuotedLiteral", R"(d "day" mmm)", kEvening, "8 day Dec"},
        Pattern{"SingleQuotedLiteral", "'hh:mm' hh", kEvening, "hh:mm 21"},
        Pattern{"UnclosedQuoteRunsToTheEnd", R"(d "mm)", kEvening, "8 mm"},
        Pattern{"ServerDate", R"(ddd, d mmm yyyy hh:mm:ss "CST")", kEvening,
                "Tue, 8 Dec 2026 21:01:10 CST"},
        Pattern{"Midnight", "hh:mm:ss", EncodeDateTime(2026, 1, 1, 0, 0, 0), "00:00:00"},
        Pattern{"LastMillisecondOfTheDay", "yyyy-mm-dd hh:mm:ss",
                EncodeDateTime(2025, 12, 31, 23, 59, 59, 999), "2025-12-31 23:59:59"}),
    [](const auto& tc) { return std::string(tc.param.name); });

struct HttpDate {
  const char* name;
  std::time_t t;
  std::string expected;
};

class HttpDateFormat : public ::testing::TestWithParam<HttpDate> {};

TEST_P(HttpDateFormat, FormatsInGmt) {
  EXPECT_EQ(FormatHttpDate(GetParam().t), GetParam().expected);
  // The general formatter agrees on a UTC date-time of the same instant.
  EXPECT_EQ(
      FormatDateTime(R"(ddd, dd mmm yyyy hh:mm:ss "GMT")", UnixToDateTime(GetParam().t, false)),
      GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    , HttpDateFormat,
    ::testing::Values(HttpDate{"Example", 1796763670, "Tue, 08 Dec 2026 21:01:10 GMT"},
                      HttpDate{"SingleDigitDay", 1772323200, "Sun, 01 Mar 2026 00:00:00 GMT"},
                      HttpDate{"LastSecondOfAYear", 1767225599, "Wed, 31 Dec 2025 23:59:59 GMT"},
                      HttpDate{"FirstSecondOfAYear", 1767225600, "Thu, 01 Jan 2026 00:00:00 GMT"},
                      HttpDate{"LeapDay", 1709208000, "Thu, 29 Feb 2024 12:00:00 GMT"},
                      HttpDate{"Epoch", 0, "Thu, 01 Jan 1970 00:00:00 GMT"},
                      HttpDate{"BeforeTheEpoch", -1, "Wed, 31 Dec 1969 23:59:59 GMT"},
                      HttpDate{"Past32BitTime", 2147483648, "Tue, 19 Jan 2038 03:14:08 GMT"}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST(UnixTime, RoundTripsThroughUtcDateTime) {
  EXPECT_EQ(UnixToDateTime(0, false), kUnixEpochDays);
  EXPECT_EQ(EncodeDateTime(1970, 1, 1, 0, 0, 0), kUnixEpochDays);
  EXPECT_EQ(UnixToDateTime(1796763670, false), EncodeDateTime(2026, 12, 8, 21, 1, 10));
  for (std::time_t t : {std::time_t{0}, std::time_t{1}, std::time_t{-86400}, std::time_t{86399},
                        std::time_t{951868800}, std::time_t{1796763670}, std::time_t{2147483648},
                        std::time_t{4102444800}}) {
    SCOPED_TRACE(t);
    EXPECT_EQ(DateTimeToUnix(UnixToDateTime(t, false), false), t);
  }
}

TEST(DateParts, DecodeUndoesEncode) {
  const TDateParts p = DecodeDateTime(EncodeDateTime(2000, 2, 29, 23, 59, 58, 999));
  EXPECT_EQ(p.year, 2000);
  EXPECT_EQ(p.month, 2);
  EXPECT_EQ(p.day, 29);
  EXPECT_EQ(p.hour, 23);
  EXPECT_EQ(p.minute, 59);
  EXPECT_EQ(p.second, 58);
  EXPECT_EQ(p.millisecond, 999);
  EXPECT_EQ(p.day_of_week, 2);  // a Tuesday
  EXPECT_THROW(EncodeDateTime(2100, 2, 29, 0, 0, 0), std::invalid_argument);
  EXPECT_THROW(EncodeDateTime(2026, 13, 1, 0, 0, 0), std::invalid_argument);
}

}  // namespace
}  // namespace quorvin::platform
