#pragma once

#include <cstddef>
#include <string_view>

// The values of HTTP headers that are lists ("Connection: keep-alive, Upgrade",
// "Accept-Encoding: br;q=1, gzip;q=0.5", "If-None-Match: \"a,b\", W/\"c\""), read in one place:
// elements separated by commas outside quoted strings, blanks around them dropped, empty ones
// skipped; an element's parameters after ";"; q-values; entity tags. Every function takes any
// bytes a peer sent and never throws.
namespace quorvin::web {

// Walks the elements of a comma-separated list. A comma inside a quoted string (an entity tag
// or a parameter's value) belongs to its element.
class ListItems {
 public:
  explicit ListItems(std::string_view list) : rest_(list) {}

  // The next non-empty element, trimmed; false once there is none.
  bool Next(std::string_view& item);

 private:
  std::string_view rest_;
};

// An element's name: what comes before its first ";", trimmed ("gzip" of "gzip ; q=0.5").
std::string_view ItemName(std::string_view item);

// An element's weight in thousandths: 1000 without a "q" parameter, 0 to 1000 for a valid one
// ("q=0.5" is 500), -1 for a q-value that is not one (more than three decimals, above 1, text).
int ItemWeight(std::string_view item);

// Whether a list names `token` (letter case ignored, parameters not looked at): "close" in a
// Connection header, "chunked" in a Transfer-Encoding.
bool HasToken(std::string_view list, std::string_view token);

// Whether an Accept-Encoding value takes `coding`: its own element when it has one, else "*",
// with a weight above 0. A coding the list does not name is not taken.
bool AcceptsCoding(std::string_view accepted, std::string_view coding);

// An entity tag as sent: optional "W/", then a quoted string. `opaque` includes the quotes, so
// that tags compare as the bytes they are.
struct EntityTag {
  bool weak = false;
  std::string_view opaque;
};

// Reads `text` as one entity tag; false when it is not one.
bool ParseEntityTag(std::string_view text, EntityTag& tag);

// Whether an If-None-Match value holds "*" or a tag that matches `current` (the resource's tag,
// as the server writes it) by weak comparison: the opaque parts equal, W/ on either side
// ignored. Elements that are not tags match nothing.
bool NoneMatchHolds(std::string_view list, std::string_view current);

}  // namespace quorvin::web
