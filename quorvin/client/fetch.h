#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// One request from start to answer in a single call, for programs and tools that just want a
// URL's content: it makes a client component, connects, sends, and runs the program's loop
// until the answer is whole, a failure, or the time limit.
namespace quorvin::client {

// An http:// or https:// URL taken apart.
struct Url {
  bool https = false;
  std::string host;         // a name or an address, as dialed (an IPv6 address without brackets)
  std::string host_header;  // as a Host header writes it (an IPv6 address in brackets)
  int port = 80;
  std::string path = "/";   // path and query, as sent

  // The Host header's value: the host, and the port when it is not the scheme's own.
  std::string HostAndPort() const;
};

// http[s]://host[:port][/path][?query]; hosts are names, IPv4 addresses or [IPv6] addresses.
// No user information, no fragment handling beyond sending what is given. nullopt when the text
// is not such a URL.
std::optional<Url> ParseUrl(std::string_view text);

// Which socket layer the request goes over.
enum class Binding { kScktComp, kDWinsock };

struct FetchResponse;

struct FetchOptions {
  std::string method;  // empty: GET, or POST when a body is given
  std::vector<std::pair<std::string, std::string>> headers;  // Host, when given, replaces the URL's
  std::optional<std::string> body;
  // A file sent as the body in place of `body`, read as it goes out: memory stays small
  // whatever its size (up to 2 GiB). "-" is standard input. A body with no length until its end
  // (standard input or a FIFO that is a pipe) goes in chunks over HTTP/1.1, without a size
  // limit; over HTTP/1.0, which has no chunks, it is first copied to a file without a name in
  // $TMPDIR (else /tmp) to learn its length. Such a body is read once: a redirect that asks for
  // it again (307, 308) fails the fetch.
  std::string body_file;
  // The body's type when `headers` names none: a form's, as curl sends -d data.
  std::string content_type = "application/x-www-form-urlencoded";
  std::string protocol_version = "HTTP/1.0";
  std::chrono::milliseconds timeout = std::chrono::seconds(30);  // the whole exchange
  std::chrono::milliseconds connect_timeout{0};  // until connected (and TLS set up); 0: none
  std::chrono::milliseconds idle_timeout{0};     // connected, and nothing arrives; 0: none
  // Redirects (301, 302, 303, 307, 308) followed at most; 0 returns the redirect itself.
  int max_redirects = 0;
  Binding binding = Binding::kScktComp;
  bool verify = true;   // https: check the server's certificate and name
  std::string ca_file;  // https: trusted CAs in place of the system's store
  // Called as the body arrives, with the bytes so far and the total (-1 when not announced).
  std::function<void(std::int64_t received, std::int64_t total)> progress;
  // Called as the request's body goes out: bytes taken by the connection, of the body's size.
  std::function<void(std::int64_t sent, std::int64_t total)> upload_progress;
  // When set, the body is handed over here piece by piece as it arrives instead of being kept
  // in the answer: nothing of it is held in memory, whatever its size.
  std::function<void(std::string_view bytes)> sink;
  // The most body bytes kept in the answer when there is no sink; a larger body fails the fetch.
  std::int64_t max_body = 1LL << 30;
  // Called once the status line and headers are in, before any body byte reaches the sink;
  // once per answer when redirects are followed.
  std::function<void(const FetchResponse& heading)> heading;
};

struct FetchResponse {
  std::string version;  // "HTTP/1.0"
  int status = 0;
  std::string reason;
  std::vector<std::pair<std::string, std::string>> headers;  // in the order received
  std::string body;     // empty when FetchOptions::sink took it

  // The first header of that name, letter case ignored ("" when there is none).
  std::string Header(std::string_view name) const;
};

// A fetch that did not end with an answer: a bad URL, a failed lookup, connect or TLS check, an
// answer cut short, or the time limit. Any HTTP status is an answer, not a failure.
class FetchError : public std::runtime_error {
 public:
  enum class Kind { kUrl, kFailed, kTimeout };
  FetchError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

// Where a Location header sends a client that fetched `base`: absolute, scheme-relative,
// absolute-path or relative references; nullopt for another scheme. What a program that does its
// own requests needs to follow a redirect.
std::optional<Url> ResolveLocation(const Url& base, std::string_view location);

// Fetches `url` and returns the answer. Runs the program's loop meanwhile (other sockets and
// timers of the program are served as usual); call it from the loop's thread. Bodies may come
// with a length, chunked, or until the connection closes.
FetchResponse Fetch(std::string_view url, const FetchOptions& options = {});

}  // namespace quorvin::client
