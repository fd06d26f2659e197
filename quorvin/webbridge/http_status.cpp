#include "quorvin/webbridge/http_status.h"

#include <algorithm>
#include <array>
#include <utility>

namespace quorvin::webbridge {
namespace {

constexpr std::array<std::pair<int, std::string_view>, 31> kStatusTexts{{
    {100, "100 Continue"},
    {101, "101 Switching Protocols"},
    {200, "200 OK"},
    {201, "201 Created"},
    {202, "202 Accepted"},
    {204, "204 No Content"},
    {205, "205 Reset Content"},
    {206, "206 Partial Content"},
    {300, "300 Multiple Choices"},
    {301, "301 Moved Permanently"},
    {302, "302 Moved Temporarily"},
    {303, "303 See Other"},
    {304, "304 Not Modified"},
    {305, "305 Use Proxy"},
    {400, "400 Bad Request"},
    {401, "401 Unauthorized"},
    {403, "403 Forbidden"},
    {404, "404 Not Found"},
    {405, "405 Method Not Allowed"},
    {406, "406 None Acceptable"},
    {407, "407 Proxy Authentication Required"},
    {408, "408 Request Timeout"},
    {409, "409 Conflict"},
    {410, "410 Gone"},
    {411, "411 Length Required"},
    {412, "412 Unless True"},
    {500, "500 Internal Server Error"},
    {501, "501 Not Implemented"},
    {502, "502 Bad Gateway"},
    {503, "503 Service Unvailable"},
    {504, "504 Gateway Timeout"},
}};

}  // namespace

std::string_view GetHTTPStatus(int code) {
  auto it = std::lower_bound(kStatusTexts.begin(), kStatusTexts.end(), code,
                             [](const auto& entry, int c) { return entry.first < c; });
  return it != kStatusTexts.end() && it->first == code ? it->second : std::string_view{};
}

}  // namespace quorvin::webbridge
