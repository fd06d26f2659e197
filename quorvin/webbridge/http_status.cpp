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

// The reasons of RFC 9110 (and 6585) for the codes the table above does not hold.
constexpr std::array<std::pair<int, std::string_view>, 29> kStandardReasons{{
    {102, "Processing"},
    {103, "Early Hints"},
    {203, "Non-Authoritative Information"},
    {207, "Multi-Status"},
    {208, "Already Reported"},
    {226, "IM Used"},
    {307, "Temporary Redirect"},
    {308, "Permanent Redirect"},
    {402, "Payment Required"},
    {413, "Content Too Large"},
    {414, "URI Too Long"},
    {415, "Unsupported Media Type"},
    {416, "Range Not Satisfiable"},
    {417, "Expectation Failed"},
    {421, "Misdirected Request"},
    {422, "Unprocessable Content"},
    {423, "Locked"},
    {424, "Failed Dependency"},
    {425, "Too Early"},
    {426, "Upgrade Required"},
    {428, "Precondition Required"},
    {429, "Too Many Requests"},
    {431, "Request Header Fields Too Large"},
    {451, "Unavailable For Legal Reasons"},
    {505, "HTTP Version Not Supported"},
    {506, "Variant Also Negotiates"},
    {507, "Insufficient Storage"},
    {508, "Loop Detected"},
    {511, "Network Authentication Required"},
}};

constexpr std::array<std::string_view, 5> kClassNames{"Informational", "Success", "Redirection",
                                                      "Client Error", "Server Error"};

}  // namespace

std::string ActionStatusText(int code) {
  if (const std::string_view own = GetHTTPStatus(code); !own.empty()) return std::string(own);
  if (code < 100 || code > 599) return std::string(GetHTTPStatus(500));
  auto it = std::lower_bound(kStandardReasons.begin(), kStandardReasons.end(), code,
                             [](const auto& entry, int c) { return entry.first < c; });
  const std::string_view reason = it != kStandardReasons.end() && it->first == code
                                      ? it->second
                                      : kClassNames[static_cast<std::size_t>(code / 100 - 1)];
  return std::to_string(code) + " " + std::string(reason);
}

std::string_view GetHTTPStatus(int code) {
  auto it = std::lower_bound(kStatusTexts.begin(), kStatusTexts.end(), code,
                             [](const auto& entry, int c) { return entry.first < c; });
  return it != kStatusTexts.end() && it->first == code ? it->second : std::string_view{};
}

}  // namespace quorvin::webbridge
