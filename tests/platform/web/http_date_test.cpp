#include "quorvin/platform/web/http_date.h"

#include <string>

#include <gtest/gtest.h>

namespace quorvin::web {
namespace {

using platform::EncodeDateTime;

struct DateCase {
  const char* name;
  const char* text;
  int year, month, day, hour, minute, second;
};

class ParseGoodDate : public ::testing::TestWithParam<DateCase> {};

TEST_P(ParseGoodDate, GivesTheDateInItsOwnClock) {
  const DateCase& c = GetParam();
  EXPECT_EQ(ParseDate(c.text), EncodeDateTime(c.year, c.month, c.day, c.hour, c.minute, c.second));
}

INSTANTIATE_TEST_SUITE_P(
    , ParseGoodDate,
    ::testing::Values(
        DateCase{"Rfc1123", "Sun, 06 Nov 1994 08:49:37 GMT", 1994, 11, 6, 8, 49, 37},
        DateCase{"Rfc1123LowerCase", "thu, 05 mar 1998 14:07:09 gmt", 1998, 3, 5, 14, 7, 9},
        DateCase{"Rfc1123UpperCase", "SUN, 06 NOV 1994 08:49:37 GMT", 1994, 11, 6, 8, 49, 37},
        DateCase{"Rfc850", "Sunday, 06-Nov-94 08:49:37 GMT", 1994, 11, 6, 8, 49, 37},
        DateCase{"Rfc850LowerCase", "sunday, 06-nov-94 08:49:37 gmt", 1994, 11, 6, 8, 49, 37},
        DateCase{"Rfc850FourDigitYear", "Sun, 06-Nov-1994 08:49:37 GMT", 1994, 11, 6, 8, 49, 37},
        DateCase{"Asctime", "Sun Nov  6 08:49:37 1994", 1994, 11, 6, 8, 49, 37},
        DateCase{"AsctimeLowerCase", "sun nov  6 08:49:37 1994", 1994, 11, 6, 8, 49, 37},
        DateCase{"AsctimeTwoDigitDay", "Wed Nov 16 23:59:59 1994", 1994, 11, 16, 23, 59, 59},
        DateCase{"TwoDigitYear70Is1970", "Thursday, 01-Jan-70 00:00:00 GMT", 1970, 1, 1, 0, 0, 0},
        DateCase{"TwoDigitYear69Is2069", "Tuesday, 31-Dec-69 23:59:59 GMT", 2069, 12, 31, 23, 59,
                 59},
        DateCase{"TwoDigitYear00Is2000", "Saturday, 01-Jan-00 12:00:00 GMT", 2000, 1, 1, 12, 0, 0},
        DateCase{"LeapDay", "Thu, 29 Feb 2024 12:00:00 GMT", 2024, 2, 29, 12, 0, 0},
        DateCase{"NoDayName", "06 Nov 1994 08:49:37 GMT", 1994, 11, 6, 8, 49, 37},
        DateCase{"DayNameNotChecked", "Mon, 06 Nov 1994 08:49:37 GMT", 1994, 11, 6, 8, 49, 37},
        DateCase{"FullMonthName", "Sun, 06 November 1994 08:49:37 GMT", 1994, 11, 6, 8, 49, 37},
        DateCase{"UtcZone", "Sun, 06 Nov 1994 08:49:37 UTC", 1994, 11, 6, 8, 49, 37},
        DateCase{"NoZone", "Sun, 06 Nov 1994 08:49:37", 1994, 11, 6, 8, 49, 37},
        DateCase{"LengthSuffix", "Sat, 29 Oct 1994 19:43:31 GMT; length=34343", 1994, 10, 29, 19,
                 43, 31},
        DateCase{"SurroundingBlanks", "  Sun, 06 Nov 1994 08:49:37 GMT \t", 1994, 11, 6, 8, 49,
                 37}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(ParseDate, UnreadableTextRaisesNamingIt) {
  const std::string bad[] = {
      "",
      "   ",
      "garbage",
      "Sun, 06 Nov 1994",               // no time
      "Sun, 06 Nov 1994 08:49 GMT",     // no seconds
      "Sun, 32 Nov 1994 08:49:37 GMT",  // no such day
      "Sun, 00 Nov 1994 08:49:37 GMT",
      "Wed, 29 Feb 2023 08:49:37 GMT",  // not a leap year
      "Sun, 06 Nov 1994 24:00:00 GMT",
      "Sun, 06 Nov 1994 08:60:00 GMT",
      "Sun, 06 Nov 1994 08:49:60 GMT",
      "Sun, 06 Xyz 1994 08:49:37 GMT",
      "Sun, 06 Nov 1994 08:49:37 PST",  // a zone that would need converting
      "Sun, 06 Nov 1994 08:49:37 GMT extra",
      "Sun, 06 Nov 994 08:49:37 GMT",  // three-digit year
      "Sun, 06 Nov 19945 08:49:37 GMT",
      "Sun, 006 Nov 1994 08:49:37 GMT",
      "Sun, 06 Nov 0000 08:49:37 GMT",
      "Funday, 06 Nov 1994 08:49:37 GMT",
      "Sun Nov  6 08:49:37 94",  // asctime wants four year digits
      "Sun Nov  6 08:49:37",
      "Sun, -6 Nov 1994 08:49:37 GMT",
      std::string("Sun, 06 Nov 1994 08:49:37\0GMT", 29),
  };
  for (const std::string& text : bad) {
    SCOPED_TRACE(text);
    try {
      ParseDate(text);
      ADD_FAILURE() << "parsed";
    } catch (const EDateParseError& e) {
      EXPECT_NE(std::string(e.what()).find("\"" + text.substr(0, 20)), std::string::npos)
          << e.what();
    }
  }
}

TEST(ParseDate, ErrorMessageQuotesOnlyTheStartOfLongText) {
  const std::string text(10000, '7');
  try {
    ParseDate(text);
    FAIL() << "parsed";
  } catch (const EDateParseError& e) {
    EXPECT_LT(std::string(e.what()).size(), 200u);
  }
}

// Every cut and every one-byte change of the three forms either parses or raises the parse
// error: the parser never reads past its text or fails in another way (the sanitizer build
// watches the reads).
TEST(ParseDate, DamagedDatesParseOrRaiseAndNothingElse) {
  const std::string forms[] = {"Sun, 06 Nov 1994 08:49:37 GMT", "Sunday, 06-Nov-94 08:49:37 GMT",
                               "Sun Nov  6 08:49:37 1994"};
  const char replacements[] = {'\0', ' ', '-', ':', ',', ';', '0', '9', 'x', '\xff'};
  int parsed = 0;
  int refused = 0;
  const auto attempt = [&](const std::string& text) {
    try {
      ParseDate(text);
      ++parsed;
    } catch (const EDateParseError&) {
      ++refused;
    }
  };
  for (const std::string& form : forms) {
    for (std::size_t cut = 0; cut <= form.size(); ++cut) attempt(form.substr(0, cut));
    for (std::size_t at = 0; at < form.size(); ++at) {
      for (const char r : replacements) {
        std::string damaged = form;
        damaged[at] = r;
        attempt(damaged);
      }
    }
  }
  EXPECT_GT(parsed, 0);
  EXPECT_GT(refused, 0);
}

}  // namespace
}  // namespace quorvin::web
