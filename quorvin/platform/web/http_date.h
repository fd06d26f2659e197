#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "quorvin/platform/core/datetime.h"

namespace quorvin::web {

// Raised by ParseDate for text that is not a date it reads; the message quotes the text.
class EDateParseError : public std::runtime_error {
 public:
  explicit EDateParseError(std::string_view text);
};

// Reads an HTTP date in any of its three classic forms, in any letter case:
//   RFC 1123  "Sun, 06 Nov 1994 08:49:37 GMT"
//   RFC 850   "Sunday, 06-Nov-94 08:49:37 GMT"
//   asctime   "Sun Nov  6 08:49:37 1994"
// The result is the date's own clock time: the text is GMT and no time zone is applied. Also
// accepted, because clients send them: a missing day name, a day name that does not fit the
// date (it is not checked), full month names, "-" or blanks between day, month and year in
// either of the first two forms, "UTC" in place of "GMT" or no zone at all, and anything after
// a ";" (old browsers append "; length=..." to If-Modified-Since). A two-digit year means
// 1970 to 1999 for 70 to 99 and 2000 to 2069 for 00 to 69.
// Anything else, an impossible date or time included, raises EDateParseError.
platform::TDateTime ParseDate(std::string_view text);

}  // namespace quorvin::web
