#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Text helpers over bytes. Letter case is ASCII only: request and answer text are bytes, and no
// locale may change how a header name compares.
namespace quorvin::platform {

constexpr char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

constexpr char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

std::string LowerCase(std::string_view s);
std::string UpperCase(std::string_view s);
bool SameText(std::string_view a, std::string_view b);
bool StartsWithText(std::string_view s, std::string_view prefix);  // letter case ignored

// Without leading and/or trailing characters of code 32 or less.
std::string_view Trim(std::string_view s);
std::string_view TrimLeft(std::string_view s);
std::string_view TrimRight(std::string_view s);

// A whole signed decimal integer ("-12", "+7"); nothing else, no blanks, and no overflow of T.
std::optional<std::int64_t> ParseDecimal(std::string_view s);
std::optional<std::int32_t> ParseDecimal32(std::string_view s);

// True when `s` holds a CR or LF byte: such text would add lines to a header block.
bool HasLineBreak(std::string_view s);

}  // namespace quorvin::platform
