#include "quorvin/platform/web/http_date.h"

#include <optional>
#include <stdexcept>

#include "quorvin/platform/core/text.h"

namespace quorvin::web {
namespace {

constexpr std::string_view kShortDays[] = {"sun", "mon", "tue", "wed", "thu", "fri", "sat"};
constexpr std::string_view kLongDays[] = {"sunday",   "monday", "tuesday", "wednesday",
                                          "thursday", "friday", "saturday"};
constexpr std::string_view kShortMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                             "jul", "aug", "sep", "oct", "nov", "dec"};
constexpr std::string_view kLongMonths[] = {"january",   "february", "march",    "april",
                                            "may",       "june",     "july",     "august",
                                            "september", "october",  "november", "december"};

// The longest text an error message quotes; a fuzzer or a hostile header may send far more.
constexpr std::size_t kQuoteLimit = 64;

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

bool IsLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

bool IsDayName(std::string_view word) {
  for (std::size_t i = 0; i < 7; ++i) {
    if (platform::SameText(word, kShortDays[i]) || platform::SameText(word, kLongDays[i]))
      return true;
  }
  return false;
}

// 1 to 12, or 0 for a word that names no month.
int MonthNumber(std::string_view word) {
  for (std::size_t i = 0; i < 12; ++i) {
    if (platform::SameText(word, kShortMonths[i]) || platform::SameText(word, kLongMonths[i])) {
      return static_cast<int>(i) + 1;
    }
  }
  return 0;
}

// Reads the text from left to right. Every step checks its bounds; a step that does not find
// what it expects reports failure and the caller gives up.
class Scanner {
 public:
  explicit Scanner(std::string_view text) : text_(text) {}

  bool AtEnd() const { return pos_ >= text_.size(); }

  bool NextIsDigit() const { return !AtEnd() && IsDigit(text_[pos_]); }

  bool NextIsLetter() const { return !AtEnd() && IsLetter(text_[pos_]); }

  // Skips blanks; true when there was at least one.
  bool Blanks() {
    const std::size_t start = pos_;
    while (!AtEnd() && IsBlank(text_[pos_])) ++pos_;
    return pos_ > start;
  }

  bool Eat(char c) {
    if (AtEnd() || text_[pos_] != c) return false;
    ++pos_;
    return true;
  }

  std::string_view Word() {
    const std::size_t start = pos_;
    while (!AtEnd() && IsLetter(text_[pos_])) ++pos_;
    return text_.substr(start, pos_ - start);
  }

  // A number of `min` to `max` digits (at most 4, so it cannot overflow); `count` tells how
  // many there were.
  std::optional<int> Number(int min, int max, int* count = nullptr) {
    int value = 0;
    int n = 0;
    while (n < max && NextIsDigit()) {
      value = value * 10 + (text_[pos_] - '0');
      ++pos_;
      ++n;
    }
    if (n < min) return std::nullopt;
    if (count != nullptr) *count = n;
    return value;
  }

  // Between day, month and year: a run of blanks or one "-".
  bool DateSeparator() { return Eat('-') || Blanks(); }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

struct Fields {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

bool ReadTime(Scanner& s, Fields& f) {
  const auto h = s.Number(1, 2);
  if (!h || !s.Eat(':')) return false;
  const auto m = s.Number(2, 2);
  if (!m || !s.Eat(':')) return false;
  const auto sec = s.Number(2, 2);
  if (!sec) return false;
  f.hour = *h;
  f.minute = *m;
  f.second = *sec;
  return true;
}

// "06 Nov 1994 08:49:37 GMT" and "06-Nov-94 08:49:37 GMT", the day name already read.
bool ReadDayFirst(Scanner& s, Fields& f) {
  const auto day = s.Number(1, 2);
  if (!day || !s.DateSeparator()) return false;
  f.day = *day;
  f.month = MonthNumber(s.Word());
  if (f.month == 0 || !s.DateSeparator()) return false;
  int digits = 0;
  const auto year = s.Number(2, 4, &digits);
  if (!year || digits == 3) return false;
  f.year = digits == 2 ? (*year < 70 ? 2000 + *year : 1900 + *year) : *year;
  if (!s.Blanks() || !ReadTime(s, f)) return false;
  s.Blanks();
  if (s.AtEnd()) return true;
  const std::string_view zone = s.Word();
  if (!platform::SameText(zone, "GMT") && !platform::SameText(zone, "UTC") &&
      !platform::SameText(zone, "UT")) {
    return false;
  }
  s.Blanks();
  return s.AtEnd();
}

// "Nov  6 08:49:37 1994", the day name already read.
bool ReadMonthFirst(Scanner& s, Fields& f) {
  f.month = MonthNumber(s.Word());
  if (f.month == 0 || !s.Blanks()) return false;
  const auto day = s.Number(1, 2);
  if (!day || !s.Blanks() || !ReadTime(s, f) || !s.Blanks()) return false;
  f.day = *day;
  const auto year = s.Number(4, 4);
  if (!year) return false;
  f.year = *year;
  s.Blanks();
  return s.AtEnd();
}

std::string Quote(std::string_view text) {
  std::string out = "\"";
  out += text.substr(0, kQuoteLimit);
  if (text.size() > kQuoteLimit) out += "...";
  return out + "\"";
}

}  // namespace

EDateParseError::EDateParseError(std::string_view text)
    : std::runtime_error("Invalid HTTP date " + Quote(text)) {}

platform::TDateTime ParseDate(std::string_view text) {
  std::string_view date = text.substr(0, text.find(';'));
  Scanner s(platform::Trim(date));
  Fields f;
  if (s.NextIsLetter()) {
    // A day name, or the month that starts an asctime date without one.
    Scanner peek = s;
    if (IsDayName(peek.Word())) {
      s = peek;
      s.Eat(',');
      s.Blanks();
    }
  }
  const bool ok = s.NextIsDigit() ? ReadDayFirst(s, f) : s.NextIsLetter() && ReadMonthFirst(s, f);
  if (!ok) throw EDateParseError(text);
  try {
    return platform::EncodeDateTime(f.year, f.month, f.day, f.hour, f.minute, f.second);
  } catch (const std::invalid_argument&) {
    throw EDateParseError(text);
  }
}

}  // namespace quorvin::web
