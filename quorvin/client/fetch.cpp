#include "quorvin/client/fetch.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <type_traits>

#include "quorvin/client/orb_http_client.h"
#include "quorvin/client/orb_http_dw_client.h"
#include "quorvin/platform/core/stream.h"
#include "quorvin/platform/core/text.h"
#include "quorvin/platform/core/unnamed_file.h"
#include "quorvin/platform/net/application.h"
#include "quorvin/platform/net/tls.h"

namespace quorvin::client {

std::string Url::HostAndPort() const {
  return HttpClientCore::HostHeaderValue(host, port, https);
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

bool IsRedirect(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// A write-only stream over the program's sink: the body goes there piece by piece as it
// arrives, and nothing of it stays here.
class SinkStream final : public platform::TStream {
 public:
  explicit SinkStream(std::function<void(std::string_view)> write) : write_(std::move(write)) {}
  std::int64_t Read(void*, std::int64_t) override { return 0; }
  std::int64_t Write(const void* buffer, std::int64_t count) override {
    write_(std::string_view(static_cast<const char*>(buffer), static_cast<std::size_t>(count)));
    written_ += count;
    return count;
  }
  std::int64_t Seek(std::int64_t, platform::TSeekOrigin) override { return written_; }
  std::int64_t Size() override { return written_; }
  void SetSize(std::int64_t) override {}

 private:
  std::function<void(std::string_view)> write_;
  std::int64_t written_ = 0;
};

std::string Seconds(std::chrono::milliseconds limit) {
  const auto ms = limit.count();
  return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

// What one exchange sends: the options' request, with the method and body of this hop.
struct Hop {
  std::string method;
  const std::optional<std::string>* body = nullptr;
  const std::string* body_file = nullptr;  // sent from the file in place of `body` when set
  // A body read once (standard input, a pipe): the exchange that sends it takes it.
  std::unique_ptr<platform::TStream>* piped = nullptr;
  bool drop_host = false;  // a Host header of the program's named the first server, not this one
  bool follow = false;     // a redirect's body is not the answer: it goes nowhere
};

// One exchange with the client component of either socket layer; they differ only in how the
// connection reaches their events.
template <class Client>
FetchResponse Exchange(const Url& url, const FetchOptions& o, const Hop& hop) {
  constexpr bool kSecondLayer = std::is_same_v<Client, TOrbHTTPDwClient>;
  Client http(nullptr);
  http.SetDesignDefaults();
  const std::optional<std::string>& body = *hop.body;
  const bool piped = hop.piped != nullptr && *hop.piped != nullptr;
  const bool from_file = !piped && hop.body_file != nullptr && !hop.body_file->empty();
  http.SetStringVariable(kMethod, !hop.method.empty()          ? hop.method
                                  : body || from_file || piped ? "POST"
                                                               : "GET");
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
    } else if (platform::SameText(name, "Host")) {
      if (hop.drop_host) continue;
      host_given = true;
      http.AddCustomHeader(name, value);
    } else {
      http.AddCustomHeader(name, value);
    }
  }
  // Servers with several sites tell them apart by the Host header; HTTP/1.1 requires it.
  if (!host_given) http.AddCustomHeader("Host", url.HostAndPort());
  http.Tls.enabled = url.https;
  http.Tls.verify = o.verify;
  http.Tls.ca_file = o.ca_file;
  if (piped) {
    if (!type_given) http.SetStringVariable(kContentType, o.content_type);
    http.SetContentStream(std::move(*hop.piped));
  } else if (from_file) {
    std::unique_ptr<platform::TFileStream> file = platform::TFileStream::TryOpen(*hop.body_file, platform::fmOpenRead);
    if (!file) {
      throw FetchError(FetchError::Kind::kFailed, "cannot open " + *hop.body_file + ": " + std::strerror(errno));
    }
    if (file->Size() > 0x7FFFFFFF) throw FetchError(FetchError::Kind::kFailed, "the request body is larger than 2 GiB");
    if (!type_given) http.SetStringVariable(kContentType, o.content_type);
    http.SetContentStream(std::move(file));
  } else if (body) {
    // Content-Length is a 32-bit property of the component.
    if (body->size() > 0x7FFFFFFF) throw FetchError(FetchError::Kind::kFailed, "the request body is larger than 2 GiB");
    if (!type_given) http.SetStringVariable(kContentType, o.content_type);
    auto stream = std::make_unique<platform::TMemoryStream>();
    stream->Write(body->data(), static_cast<std::int64_t>(body->size()));
    http.SetContentStream(std::move(stream));
  }

  FetchResponse response;
  bool finished = false;
  bool failed = false;
  bool connected = false;
  bool discard = false;  // a redirect that will be followed: its body is nobody's
  FetchError::Kind failure = FetchError::Kind::kFailed;
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
    discard = hop.follow && IsRedirect(response.status) && !response.Header("location").empty();
    if (o.heading) o.heading(response);
  };
  // With a sink the body is handed over as it arrives; without one it is kept for the answer.
  SinkStream sink([&](std::string_view bytes) {
    take_heading();
    if (discard) return;
    if (o.sink) {
      o.sink(bytes);
    } else {
      // Kept in memory: bounded, as the component's own memory body is.
      if (static_cast<std::int64_t>(response.body.size() + bytes.size()) > o.max_body) {
        throw std::runtime_error("the response is larger than " + std::to_string(o.max_body) + " bytes");
      }
      response.body.append(bytes);
    }
  });
  http.SetResponseStream(&sink);

  http.Host = url.host;
  if constexpr (kSecondLayer) {
    http.SetPort(std::to_string(url.port));
  } else {
    http.Port = url.port;
  }
  http.OnConnect = [&](platform::TComponent*, auto* connection) {
    connected = true;
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
  if (o.upload_progress) {
    http.OnSendProgress = [&](platform::TComponent*, std::int32_t sent, std::int32_t total) {
      o.upload_progress(sent, total);
    };
  }
  http.OnProgress = [&](platform::TComponent*, std::int32_t received, std::int32_t total) {
    if (o.progress && !discard) o.progress(received, total);
  };
  http.OnResponseDone = [&](platform::TComponent*) {
    take_heading();
    finished = true;
    http.Close();  // one request per connection
  };
  // The component keeps the connect and read limits; a limit passed is a timeout.
  const auto limit = [](std::chrono::milliseconds ms) {
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(ms.count(), 0, 0x7FFFFFFF));
  };
  http.ConnectTimeout = limit(o.connect_timeout);
  http.ReadTimeout = limit(o.idle_timeout);
  http.OnResponseFailed = [&](platform::TComponent*, const std::string& reason) {
    error = reason;
    failed = true;
    if (http.TimedOut()) {
      failure = FetchError::Kind::kTimeout;
      if (!connected) {
        error = "cannot reach " + url.host_header + ":" + std::to_string(url.port) + " within " +
                Seconds(o.connect_timeout);
      }
    }
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
    if (!failed && !finished) {
      error = "the connection closed without an answer";
      failed = true;
    }
  };
  try {
    http.SetActive(true);
  } catch (const std::exception& e) {
    throw FetchError(FetchError::Kind::kFailed, e.what());
  }
  const bool done = net::Application::Instance().RunUntil([&] { return finished || failed; },
      o.timeout);
  if (!done) throw FetchError(FetchError::Kind::kTimeout, "no complete answer within " + Seconds(o.timeout));
  if (failed) throw FetchError(failure, error);
  return response;
}

FetchResponse ExchangeOn(const Url& url, const FetchOptions& options, const Hop& hop) {
  return options.binding == Binding::kDWinsock ? Exchange<TOrbHTTPDwClient>(url, options, hop)
                                               : Exchange<TOrbHTTPClient>(url, options, hop);
}

// A body file that is no regular file (standard input, a pipe, a FIFO) can be read only once:
// it is opened once, before the first exchange. Its length is unknown until its end: an HTTP/1.1
// request sends it in chunks as it is read; for any other, which has no chunks, it is copied to
// a file without a name first, and sent from there with its length. Null for a regular file,
// which each exchange opens by name (as it does a name that is not there, to say so).
std::unique_ptr<platform::TStream> OpenPipedBody(const FetchOptions& o) {
  std::unique_ptr<platform::TStream> stream;
  if (o.body_file == "-") {
    stream = std::make_unique<platform::THandleStream>(STDIN_FILENO);
  } else {
    struct stat info {};

    if (::stat(o.body_file.c_str(), &info) != 0 || S_ISREG(info.st_mode) || S_ISDIR(info.st_mode))
      return nullptr;
    stream = platform::TFileStream::TryOpen(o.body_file, platform::fmOpenRead);
    if (!stream)
      throw FetchError(FetchError::Kind::kFailed,
                       "cannot open " + o.body_file + ": " + std::strerror(errno));
  }
  try {
    if (stream->Size() >= 0 || platform::SameText(o.protocol_version, "HTTP/1.1")) return stream;
    std::unique_ptr<platform::THandleStream> spool = platform::OpenUnnamedFile("");
    if (!spool) {
      throw FetchError(FetchError::Kind::kFailed,
                       std::string("cannot make a temporary file for the request body: ") +
                           std::strerror(errno));
    }
    std::string piece(64 * 1024, '\0');
    std::int64_t total = 0;
    for (;;) {
      const std::int64_t n = stream->Read(piece.data(), static_cast<std::int64_t>(piece.size()));
      if (n <= 0) break;
      total += n;
      // Content-Length is a 32-bit property of the component.
      if (total > 0x7FFFFFFF)
        throw FetchError(FetchError::Kind::kFailed, "the request body is larger than 2 GiB");
      spool->WriteBuffer(piece.data(), n);
    }
    spool->SetPosition(0);
    return spool;
  } catch (const FetchError&) {
    throw;
  } catch (const std::system_error& e) {
    throw FetchError(FetchError::Kind::kFailed,
                     "cannot read the request body: " + e.code().message());
  } catch (const std::runtime_error& e) {
    throw FetchError(FetchError::Kind::kFailed,
                     std::string("cannot keep the request body: ") + e.what());
  }
}

}  // namespace

std::optional<Url> ResolveLocation(const Url& base, std::string_view location) {
  location = platform::Trim(location);
  location = location.substr(0, location.find('#'));  // a fragment is the browser's, not the server's
  if (location.empty()) return std::nullopt;
  if (platform::StartsWithText(location, "http://") || platform::StartsWithText(location, "https://")) {
    return ParseUrl(location);
  }
  if (location.find("://") != std::string_view::npos && location.find("://") < location.find_first_of("/?")) {
    return std::nullopt;  // another scheme
  }
  const std::string scheme = base.https ? "https:" : "http:";
  if (location.substr(0, 2) == "//") return ParseUrl(scheme + std::string(location));
  Url url = base;
  if (location.front() == '/') {
    url.path = std::string(location);
  } else if (location.front() == '?') {
    url.path = base.path.substr(0, base.path.find('?')) + std::string(location);
  } else {
    // Relative to the base's folder: what follows its last "/" is replaced.
    const std::string folder = base.path.substr(0, base.path.find('?'));
    url.path = folder.substr(0, folder.rfind('/') + 1) + std::string(location);
  }
  return url;
}

FetchResponse Fetch(std::string_view text, const FetchOptions& options) {
  auto url = ParseUrl(text);
  if (!url) {
    throw FetchError(FetchError::Kind::kUrl,
                     "not a URL of the form http[s]://host[:port]/path: " + std::string(text));
  }
  std::unique_ptr<platform::TStream> piped =
      options.body_file.empty() ? nullptr : OpenPipedBody(options);
  Hop hop{options.method,           &options.body, &options.body_file,
          piped ? &piped : nullptr, false,         options.max_redirects > 0};
  std::optional<std::string> no_body;
  for (int redirects = 0;; ++redirects) {
    FetchResponse response = ExchangeOn(*url, options, hop);
    const std::string location = response.Header("location");
    if (!hop.follow || !IsRedirect(response.status) || location.empty()) return response;
    if (redirects == options.max_redirects) {
      throw FetchError(FetchError::Kind::kFailed, "more than " + std::to_string(options.max_redirects) + " redirects");
    }
    auto next = ResolveLocation(*url, location);
    if (!next) throw FetchError(FetchError::Kind::kFailed, "a redirect to what is not an http(s) URL: " + location);
    // 303 asks for a GET; so do 301 and 302 after a POST, as browsers do. 307 and 308 repeat the
    // request as it was.
    const bool has_body =
        *hop.body || (hop.body_file != nullptr && !hop.body_file->empty()) || hop.piped != nullptr;
    const std::string method = !hop.method.empty() ? hop.method : has_body ? "POST" : "GET";
    if (response.status == 303 || ((response.status == 301 || response.status == 302) && method == "POST")) {
      hop.method = platform::SameText(method, "HEAD") ? "HEAD" : "GET";
      hop.body = &no_body;
      hop.body_file = nullptr;
      hop.piped = nullptr;
    } else if (hop.piped != nullptr) {
      throw FetchError(
          FetchError::Kind::kFailed,
          "a " + std::to_string(response.status) +
              " redirect asks for the body again, and one from a pipe is read only once");
    }
    hop.drop_host = hop.drop_host || next->host != url->host || next->port != url->port;
    url = std::move(next);
  }
}

}  // namespace quorvin::client
