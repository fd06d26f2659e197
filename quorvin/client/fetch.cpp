#include "quorvin/client/fetch.h"

#include <type_traits>

#include "quorvin/client/orb_http_client.h"
#include "quorvin/client/orb_http_dw_client.h"
#include "quorvin/platform/core/stream.h"
#include "quorvin/platform/core/text.h"
#include "quorvin/platform/net/application.h"
#include "quorvin/platform/net/tls.h"

namespace quorvin::client {

std::string Url::HostAndPort() const {
  const int scheme_port = https ? 443 : 80;
  return port == scheme_port ? host_header : host_header + ":" + std::to_string(port);
}

std::optional<Url> ParseUrl(std::string_view text) {
  Url url;
  if (platform::StartsWithText(text, "https://")) {
    url.https = true;
    url.port = 443;
    text.remove_prefix(8);
  } else if (platform::StartsWithText(text, "http://")) {
    text.remove_prefix(7);
  } else {
    return std::nullopt;
  }
  const auto slash = text.find_first_of("/?");
  std::string_view authority = text.substr(0, slash);
  url.path = slash == std::string_view::npos ? "/" : std::string(text.substr(slash));
  if (url.path.front() == '?') url.path.insert(0, "/");
  if (authority.empty() || authority.find('@') != std::string_view::npos) return std::nullopt;
  std::string_view port_text;
  bool has_port = false;
  if (authority.front() == '[') {
    // An IPv6 address: [::1] or [::1]:8080.
    const auto close = authority.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    url.host = std::string(authority.substr(1, close - 1));
    url.host_header = std::string(authority.substr(0, close + 1));
    const std::string_view rest = authority.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return std::nullopt;
      has_port = true;
      port_text = rest.substr(1);
    }
    if (url.host.find(':') == std::string::npos) return std::nullopt;
  } else {
    const auto colon = authority.rfind(':');
    if (colon != std::string_view::npos) {
      has_port = true;
      port_text = authority.substr(colon + 1);
      authority = authority.substr(0, colon);
    }
    if (authority.empty() || authority.find(':') != std::string_view::npos) return std::nullopt;
    url.host = std::string(authority);
    url.host_header = url.host;
  }
  if (url.host.empty()) return std::nullopt;
  if (has_port) {
    const auto port = platform::ParseDecimal32(port_text);
    if (!port || *port < 1 || *port > 65535) return std::nullopt;
    url.port = *port;
  }
  return url;
}

std::string FetchResponse::Header(std::string_view name) const {
  for (const auto& [n, v] : headers) {
    if (platform::SameText(n, name)) return v;
  }
  return {};
}

namespace {

// One exchange with the client component of either socket layer; they differ only in how the
// connection reaches their events.
template <class Client>
FetchResponse Exchange(const Url& url, const FetchOptions& o) {
  constexpr bool kSecondLayer = std::is_same_v<Client, TOrbHTTPDwClient>;
  Client http(nullptr);
  http.SetDesignDefaults();
  http.SetStringVariable(kMethod, !o.method.empty() ? o.method : o.body ? "POST" : "GET");
  http.SetStringVariable(kURL, url.path);
  http.SetStringVariable(kProtocolVersion, o.protocol_version);
  bool host_given = false;
  bool type_given = false;
  for (const auto& [name, value] : o.headers) {
    if (platform::SameText(name, "Accept")) {
      http.SetStringVariable(kAccept, value);
    } else if (platform::SameText(name, "Content-Type")) {
      type_given = true;
      http.SetStringVariable(kContentType, value);
    } else if (platform::SameText(name, "User-Agent")) {
      http.SetStringVariable(kUserAgent, value);
    } else {
      host_given = host_given || platform::SameText(name, "Host");
      http.AddCustomHeader(name, value);
    }
  }
  // Servers with several sites tell them apart by the Host header.
  if (!host_given) http.AddCustomHeader("Host", url.HostAndPort());
  http.Tls.enabled = url.https;
  http.Tls.verify = o.verify;
  http.Tls.ca_file = o.ca_file;
  if (o.body) {
    // Content-Length is a 32-bit property of the component.
    if (o.body->size() > 0x7FFFFFFF) throw FetchError(FetchError::Kind::kFailed, "the request body is larger than 2 GiB");
    if (!type_given) http.SetStringVariable(kContentType, o.content_type);
    auto body = std::make_unique<platform::TMemoryStream>();
    body->Write(o.body->data(), static_cast<std::int64_t>(o.body->size()));
    http.SetContentStream(std::move(body));
  }

  FetchResponse response;
  bool finished = false;
  bool failed = false;
  std::string error;
  bool heading_given = false;
  const auto take_heading = [&] {
    if (heading_given) return;
    heading_given = true;
    response.version = http.ResponseVersion;
    response.status = platform::ParseDecimal32(http.ResponseCode).value_or(0);
    response.reason = http.ResponseText;
    for (int i = 0; i < http.ResponseHeaders.Count(); ++i) {
      response.headers.emplace_back(std::string(http.ResponseHeaders.Names(i)),
                                    std::string(http.ResponseHeaders.ValueFromIndex(i)));
    }
    if (o.heading) o.heading(response);
  };

  http.Host = url.host;
  if constexpr (kSecondLayer) {
    http.SetPort(std::to_string(url.port));
  } else {
    http.Port = url.port;
  }
  http.OnConnect = [&](platform::TComponent*, auto* connection) {
    try {
      if constexpr (kSecondLayer) {
        http.SendRequest(*dynamic_cast<TOrbHTTPDwSockClient*>(connection));
      } else {
        (void)connection;
        http.SendRequest();
      }
    } catch (const std::exception& e) {
      error = e.what();
      failed = true;
      http.Close();
    }
  };
  http.OnProgress = [&](platform::TComponent*, std::int32_t received, std::int32_t total) {
    if (o.progress) o.progress(received, total);
  };
  http.OnStreamReady = [&](auto*, platform::TMemoryStream& body) {
    take_heading();
    const std::string_view bytes(body.Memory(), static_cast<std::size_t>(body.Size()));
    if (o.sink) {
      o.sink(bytes);
    } else {
      response.body.assign(bytes);
    }
    finished = true;
    http.Close();  // one request per connection
  };
  http.OnResponseFailed = [&](platform::TComponent*, const std::string& reason) {
    error = reason;
    failed = true;
  };
  const auto socket_failed = [&](int code) {
    if (!finished && !failed) {
      error = "cannot reach " + url.host_header + ":" + std::to_string(url.port) + ": " + net::ErrorText(code);
      failed = true;
    }
  };
  if constexpr (kSecondLayer) {
    http.OnError = [&](platform::TComponent*, net::TStreamSocket*, net::TSockErrorOp, int code) { socket_failed(code); };
  } else {
    http.OnError = [&](platform::TComponent*, net::TCustomWinSocket*, net::TErrorEvent, int& code) {
      socket_failed(code);
      code = 0;
    };
  }
  http.OnDisconnect = [&](platform::TComponent*, auto*) {
    // An answer without a body (or with an empty one) ends with the connection.
    if (!failed && !finished && !http.ResponseCode.empty()) {
      take_heading();
      finished = true;
    } else if (!failed && !finished) {
      error = "the connection closed without an answer";
      failed = true;
    }
  };
  try {
    http.SetActive(true);
  } catch (const std::exception& e) {
    throw FetchError(FetchError::Kind::kFailed, e.what());
  }
  const bool done = net::Application::Instance().RunUntil([&] { return finished || failed; }, o.timeout);
  if (!done) {
    const auto ms = o.timeout.count();
    throw FetchError(FetchError::Kind::kTimeout,
                     "no complete answer within " +
                         (ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms"));
  }
  if (failed) throw FetchError(FetchError::Kind::kFailed, error);
  return response;
}

}  // namespace

FetchResponse Fetch(std::string_view text, const FetchOptions& options) {
  const auto url = ParseUrl(text);
  if (!url) {
    throw FetchError(FetchError::Kind::kUrl,
                     "not a URL of the form http[s]://host[:port]/path: " + std::string(text));
  }
  return options.binding == Binding::kDWinsock ? Exchange<TOrbHTTPDwClient>(*url, options)
                                               : Exchange<TOrbHTTPClient>(*url, options);
}

}  // namespace quorvin::client
