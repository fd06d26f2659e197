#pragma once

#include <ctime>
#include <string>
#include <string_view>

namespace quorvin::platform {

// Days since 30 December 1899; the fraction is the time of day. 0 and below mean "no date".
using TDateTime = double;

constexpr double kUnixEpochDays = 25569.0;  // 1 January 1970 as a TDateTime
constexpr double kSecondsPerDay = 86400.0;

TDateTime Now();  // local time
TDateTime NowUtc();

// Unix time (seconds since 1970 in UTC) to and from a TDateTime that counts UTC or local time.
TDateTime UnixToDateTime(std::time_t t, bool local);
std::time_t DateTimeToUnix(TDateTime dt, bool local);

// Date and time parts of a TDateTime, with no time zone applied.
struct TDateParts {
  int year, month, day, hour, minute, second, millisecond, day_of_week;  // day_of_week: 0 = Sunday
};
TDateParts DecodeDateTime(TDateTime dt);
// Nullopt-free: out-of-range parts fail with std::invalid_argument.
TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second,
                         int millisecond = 0);

// Formats with the patterns: d dd ddd dddd, m mm mmm mmmm, yy yyyy, h hh, n nn (minutes),
// s ss, "mm" after h or hh means minutes; text in double or single quotes is copied as is.
// Day and month names are English short and long names.
std::string FormatDateTime(std::string_view pattern, TDateTime dt);

// An HTTP date in GMT: "Tue, 08 Dec 2026 21:01:10 GMT".
std::string FormatHttpDate(std::time_t t);

}  // namespace quorvin::platform
