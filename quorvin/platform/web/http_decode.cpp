#include "quorvin/platform/web/http_decode.h"

#include "quorvin/platform/core/text.h"

namespace quorvin::web {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Decode(std::string_view text, bool plus_is_blank) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%' && text.size() - i >= 3) {
      const int hi = HexValue(text[i + 1]);
      const int lo = HexValue(text[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
        continue;
      }
    }
    out += (plus_is_blank && c == '+') ? ' ' : c;
  }
  return out;
}

// Appends the line "name=value" for one field; a field without "=" is a name with no value.
void AddField(platform::TStringList& into, std::string_view field, bool decode) {
  const auto eq = field.find('=');
  std::string_view name = field.substr(0, eq);
  std::string_view value = eq == std::string_view::npos ? std::string_view() : field.substr(eq + 1);
  std::string line = decode ? HTTPDecodeField(name) : std::string(name);
  line += '=';
  line += decode ? HTTPDecodeField(value) : std::string(value);
  into.Add(std::move(line));
}

}  // namespace

std::string HTTPDecode(std::string_view text) {
  return Decode(text, false);
}

std::string HTTPDecodeField(std::string_view text) {
  return Decode(text, true);
}

std::string HTTPEncode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                            (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.' || c == '~';
    if (unreserved) {
      out += c;
    } else {
      const auto byte = static_cast<unsigned char>(c);
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
    }
  }
  return out;
}

platform::TStringList ParseFormFields(std::string_view text) {
  platform::TStringList fields;
  while (!text.empty()) {
    const auto amp = text.find('&');
    const std::string_view field = text.substr(0, amp);
    if (!field.empty()) AddField(fields, field, true);
    if (amp == std::string_view::npos) break;
    text.remove_prefix(amp + 1);
  }
  return fields;
}

platform::TStringList ParseCookieFields(std::string_view text) {
  platform::TStringList fields;
  while (!text.empty()) {
    const auto semi = text.find(';');
    const std::string_view field = platform::Trim(text.substr(0, semi));
    if (!field.empty()) AddField(fields, field, false);
    if (semi == std::string_view::npos) break;
    text.remove_prefix(semi + 1);
  }
  return fields;
}

}  // namespace quorvin::web
