#include "quorvin/platform/web/header_list.h"

#include "quorvin/platform/core/text.h"

namespace quorvin::web {

namespace {

// Where the quoted string that starts at `open` ends: the index of its closing quote, or npos
// when it runs to the end. A backslash escapes nothing here: an entity tag may hold one as an
// ordinary byte ("a\" is a whole tag), and a parameter that escapes a quote is none we read.
std::size_t QuotedEnd(std::string_view s, std::size_t open) {
  return s.find('"', open + 1);
}

// The index of the first `c` in `s` from `from` on outside a quoted string; npos when none.
std::size_t FindOutsideQuotes(std::string_view s, char c, std::size_t from = 0) {
  for (std::size_t i = from; i < s.size(); ++i) {
    if (s[i] == '"') {
      i = QuotedEnd(s, i);
      if (i == std::string_view::npos) return i;
    } else if (s[i] == c) {
      return i;
    }
  }
  return std::string_view::npos;
}

}  // namespace

bool ListItems::Next(std::string_view& item) {
  while (!rest_.empty()) {
    const std::size_t comma = FindOutsideQuotes(rest_, ',');
    item = platform::Trim(rest_.substr(0, comma));
    rest_ = comma == std::string_view::npos ? std::string_view() : rest_.substr(comma + 1);
    if (!item.empty()) return true;
  }
  return false;
}

std::string_view ItemName(std::string_view item) {
  return platform::Trim(item.substr(0, FindOutsideQuotes(item, ';')));
}

int ItemWeight(std::string_view item) {
  for (std::size_t semicolon = FindOutsideQuotes(item, ';'); semicolon != std::string_view::npos;) {
    const std::size_t next = FindOutsideQuotes(item, ';', semicolon + 1);
    const std::string_view param = platform::Trim(item.substr(semicolon + 1, next - semicolon - 1));
    semicolon = next;
    const std::size_t equals = param.find('=');
    if (equals == std::string_view::npos || !platform::SameText(platform::Trim(param.substr(0, equals)), "q")) {
      continue;
    }
    // qvalue = ( "0" [ "." 0*3DIGIT ] ) / ( "1" [ "." 0*3("0") ] )
    const std::string_view q = platform::Trim(param.substr(equals + 1));
    if (q.empty() || (q[0] != '0' && q[0] != '1')) return -1;
    int weight = (q[0] - '0') * 1000;
    if (q.size() > 1) {
      if (q[1] != '.' || q.size() > 5) return -1;
      int scale = 100;
      for (const char c : q.substr(2)) {
        if (c < '0' || c > '9') return -1;
        weight += (c - '0') * scale;
        scale /= 10;
      }
    }
    return weight <= 1000 ? weight : -1;
  }
  return 1000;
}

bool HasToken(std::string_view list, std::string_view token) {
  ListItems items(list);
  for (std::string_view item; items.Next(item);) {
    if (platform::SameText(ItemName(item), token)) return true;
  }
  return false;
}

bool AcceptsCoding(std::string_view accepted, std::string_view coding) {
  int own = -1;
  int any = -1;
  ListItems items(accepted);
  for (std::string_view item; items.Next(item);) {
    const std::string_view name = ItemName(item);
    if (platform::SameText(name, coding)) {
      own = ItemWeight(item);
      // A coding named twice is refused when any of its elements refuses it.
      if (own <= 0) return false;
    } else if (name == "*" && any != 0) {
      any = ItemWeight(item);
    }
  }
  return own > 0 || (own < 0 && any > 0);
}

bool ParseEntityTag(std::string_view text, EntityTag& tag) {
  tag.weak = text.substr(0, 2) == "W/";
  if (tag.weak) text.remove_prefix(2);
  if (text.size() < 2 || text.front() != '"' || text.back() != '"') return false;
  // The opaque part is any bytes but a quote: a tag does not escape.
  if (text.substr(1, text.size() - 2).find('"') != std::string_view::npos) return false;
  tag.opaque = text;
  return true;
}

bool NoneMatchHolds(std::string_view list, std::string_view current) {
  EntityTag ours;
  const bool have_tag = ParseEntityTag(current, ours);
  ListItems items(list);
  for (std::string_view item; items.Next(item);) {
    if (item == "*") return true;
    EntityTag theirs;
    if (have_tag && ParseEntityTag(item, theirs) && theirs.opaque == ours.opaque) return true;
  }
  return false;
}

}  // namespace quorvin::web
