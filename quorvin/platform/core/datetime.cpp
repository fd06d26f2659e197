#include "quorvin/platform/core/datetime.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <stdexcept>

namespace quorvin::platform {
namespace {

constexpr const char* kShortDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kLongDays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                     "Thursday", "Friday", "Saturday"};
constexpr const char* kShortMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr const char* kLongMonths[] = {"January", "February", "March",     "April",
                                       "May",     "June",     "July",      "August",
                                       "September", "October", "November", "December"};
constexpr std::int64_t kMsPerDay = 86'400'000;

// Days since 1970-01-01 of a civil date (proleptic Gregorian), and back.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2));
}

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

long UtcOffsetSeconds(std::time_t t) {
  std::tm local{};
  localtime_r(&t, &local);
  return local.tm_gmtoff;
}

void Append2(std::string& out, int v) {
  out += static_cast<char>('0' + (v / 10) % 10);
  out += static_cast<char>('0' + v % 10);
}

}  // namespace

TDateTime UnixToDateTime(std::time_t t, bool local) {
  const std::int64_t secs = static_cast<std::int64_t>(t) + (local ? UtcOffsetSeconds(t) : 0);
  return kUnixEpochDays + static_cast<double>(secs) / kSecondsPerDay;
}

std::time_t DateTimeToUnix(TDateTime dt, bool local) {
  const auto secs = static_cast<std::int64_t>(std::llround((dt - kUnixEpochDays) * kSecondsPerDay));
  if (!local) return static_cast<std::time_t>(secs);
  // The offset of the local time we are converting from; asked at the guessed instant, which is
  // right except within an hour of a change of offset.
  return static_cast<std::time_t>(secs - UtcOffsetSeconds(static_cast<std::time_t>(secs)));
}

TDateTime Now() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t t = system_clock::to_time_t(now);
  const double ms = static_cast<double>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
  return UnixToDateTime(t, true) + ms / kMsPerDay;
}

TDateTime NowUtc() {
  using namespace std::chrono;
  const auto ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  return kUnixEpochDays + static_cast<double>(ms) / kMsPerDay;
}

TDateParts DecodeDateTime(TDateTime dt) {
  const std::int64_t total = std::llround(dt * kMsPerDay);
  const std::int64_t day = FloorDiv(total, kMsPerDay);
  std::int64_t ms = total - day * kMsPerDay;
  TDateParts p{};
  // TDateTime day 0 is 1899-12-30, which is 25569 days before 1970-01-01.
  const std::int64_t unix_day = day - static_cast<std::int64_t>(kUnixEpochDays);
  CivilFromDays(unix_day, p.year, p.month, p.day);
  p.day_of_week = static_cast<int>(((unix_day % 7) + 7 + 4) % 7);  // 1970-01-01 was a Thursday
  p.hour = static_cast<int>(ms / 3'600'000);
  ms %= 3'600'000;
  p.minute = static_cast<int>(ms / 60'000);
  ms %= 60'000;
  p.second = static_cast<int>(ms / 1000);
  p.millisecond = static_cast<int>(ms % 1000);
  return p;
}

TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second,
                         int millisecond) {
  static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > (month == 2 && !leap ? 28 : kDays[month - 1]) || hour < 0 || hour > 23 || minute < 0 ||
      minute > 59 || second < 0 || second > 59 || millisecond < 0 || millisecond > 999) {
    throw std::invalid_argument("Invalid date or time");
  }
  const std::int64_t days = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) +
                            static_cast<std::int64_t>(kUnixEpochDays);
  const std::int64_t ms = ((hour * 60LL + minute) * 60 + second) * 1000 + millisecond;
  return static_cast<double>(days) + static_cast<double>(ms) / kMsPerDay;
}

std::string FormatDateTime(std::string_view pattern, TDateTime dt) {
  const TDateParts p = DecodeDateTime(dt);
  std::string out;
  bool after_hour = false;  // "mm" right after an hour means minutes
  std::size_t i = 0;
  auto run = [&](char c) {
    std::size_t n = 0;
    while (i + n < pattern.size() && (pattern[i + n] | 0x20) == c) ++n;
    return n;
  };
  while (i < pattern.size()) {
    const char c = pattern[i];
    const char lc = static_cast<char>(c | 0x20);
    if (c == '"' || c == '\'') {
      const std::size_t close = pattern.find(c, i + 1);
      const std::size_t end = close == std::string_view::npos ? pattern.size() : close;
      out.append(pattern.substr(i + 1, end - i - 1));
      i = close == std::string_view::npos ? pattern.size() : close + 1;
      continue;
    }
    if (lc == 'd') {
      const std::size_t n = run('d');
      if (n == 1) out += std::to_string(p.day);
      else if (n == 2) Append2(out, p.day);
      else if (n == 3) out += kShortDays[p.day_of_week];
      else out += kLongDays[p.day_of_week];
      i += n;
    } else if (lc == 'm') {
      const std::size_t n = run('m');
      if (after_hour && n <= 2) {
        if (n == 1) out += std::to_string(p.minute);
        else Append2(out, p.minute);
      } else if (n == 1) {
        out += std::to_string(p.month);
      } else if (n == 2) {
        Append2(out, p.month);
      } else if (n == 3) {
        out += kShortMonths[p.month - 1];
      } else {
        out += kLongMonths[p.month - 1];
      }
      after_hour = false;
      i += n;
      continue;
    } else if (lc == 'y') {
      const std::size_t n = run('y');
      if (n <= 2) {
        Append2(out, p.year % 100);
      } else {
        const std::string y = std::to_string(p.year);
        out.append(y.size() < 4 ? 4 - y.size() : 0, '0');
        out += y;
      }
      i += n;
    } else if (lc == 'h') {
      const std::size_t n = run('h');
      if (n == 1) out += std::to_string(p.hour);
      else Append2(out, p.hour);
      i += n;
      after_hour = true;
      continue;
    } else if (lc == 'n') {
      const std::size_t n = run('n');
      if (n == 1) out += std::to_string(p.minute);
      else Append2(out, p.minute);
      i += n;
    } else if (lc == 's') {
      const std::size_t n = run('s');
      if (n == 1) out += std::to_string(p.second);
      else Append2(out, p.second);
      i += n;
    } else {
      out += c;
      ++i;
      continue;  // separators keep "mm" after an hour meaning minutes
    }
    after_hour = false;
  }
  return out;
}

std::string FormatHttpDate(std::time_t t) {
  std::tm g{};
  gmtime_r(&t, &g);
  std::string out;
  out.reserve(29);
  out += kShortDays[g.tm_wday];
  out += ", ";
  Append2(out, g.tm_mday);
  out += ' ';
  out += kShortMonths[g.tm_mon];
  out += ' ';
  out += std::to_string(g.tm_year + 1900);
  out += ' ';
  Append2(out, g.tm_hour);
  out += ':';
  Append2(out, g.tm_min);
  out += ':';
  Append2(out, g.tm_sec);
  out += " GMT";
  return out;
}

}  // namespace quorvin::platform
