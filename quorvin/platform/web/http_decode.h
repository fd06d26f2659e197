#pragma once

#include <string>
#include <string_view>

#include "quorvin/platform/core/string_list.h"

// URL escapes and the name=value fields of queries, form bodies and cookies.
namespace quorvin::web {

// Turns each %XX escape (two hex digits, either case) into its byte. An escape that is not
// followed by two hex digits ("%", "%4", "%zz") is kept as written, and "+" stays "+": this is
// the decoding of a URL path, where "+" is an ordinary character.
std::string HTTPDecode(std::string_view text);

// As HTTPDecode, but "+" also becomes a blank: the decoding of a field of a query string or of
// an application/x-www-form-urlencoded body.
std::string HTTPDecodeField(std::string_view text);

// Escapes every byte except the unreserved A-Z a-z 0-9 - _ . ~ as %XX (upper-case hex), so the
// result is one path segment or field value that both decoders turn back into `text`.
std::string HTTPEncode(std::string_view text);

// The fields of a query string or form body ("a=1&b=x+y"): one "name=value" line per field,
// in their order, name and value decoded by HTTPDecodeField. Empty fields ("a=1&&b=2") are
// skipped; a field without "=" gives a line with an empty value.
platform::TStringList ParseFormFields(std::string_view text);

// The fields of a Cookie header ("a=1; b=2"): one "name=value" line per cookie, blanks around
// each field removed, nothing decoded.
platform::TStringList ParseCookieFields(std::string_view text);

}  // namespace quorvin::web
