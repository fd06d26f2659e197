// quorvin-fetch: fetches one URL over HTTP/1.0 (http:// or https://) with the Quorvin client
// component and writes the body to standard output or a file.
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "quorvin/client/orb_http_client.h"
#include "quorvin/client/orb_http_dw_client.h"
#include "quorvin/platform/core/stream.h"
#include "quorvin/platform/core/text.h"
#include "quorvin/platform/net/application.h"
#include "quorvin/platform/net/tls.h"

namespace {

using namespace quorvin;

constexpr const char* kUsage =
    "usage: quorvin-fetch [-X METHOD] [-H 'Name: value']... [-d DATA | --data-file FILE]\n"
    "                     [--protocol-version V] [-i] [-o FILE] [--progress]\n"
    "                     [--binding scktcomp|dwinsock] [--timeout SECONDS]\n"
    "                     [--cacert FILE] [-k | --insecure] URL\n";

struct Options {
  std::optional<std::string> method;  // GET, or POST when a body is given
  std::vector<std::pair<std::string, std::string>> headers;
  std::optional<std::string> data;
  std::optional<std::string> data_file;
  std::optional<std::string> protocol_version;
  bool include = false;
  std::optional<std::string> output;
  bool progress = false;
  std::string binding = "scktcomp";
  int timeout = 30;
  std::optional<std::string> cacert;  // trusted CAs for https, in place of the system's
  bool insecure = false;              // https without checking the certificate
  std::string url;
};

struct Target {
  bool https = false;
  std::string host;         // a name or an address, as dialed
  std::string host_header;  // as the Host header writes it (an IPv6 address in brackets)
  int port = 80;
  std::string path;  // path and query, as sent
};

[[noreturn]] void Usage(const std::string& message) {
  std::fprintf(stderr, "quorvin-fetch: %s\n%s", message.c_str(), kUsage);
  std::exit(2);
}

[[noreturn]] void Fail(const std::string& message, int code = 1) {
  std::fprintf(stderr, "quorvin-fetch: %s\n", message.c_str());
  std::exit(code);
}

Options Parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Usage(std::string(arg) + " needs a value");
      return argv[++i];
    };
    if (arg == "-X") {
      o.method = value();
    } else if (arg == "-H") {
      const std::string h = value();
      const auto colon = h.find(':');
      if (colon == std::string::npos || colon == 0) Usage("-H takes 'Name: value'");
      o.headers.emplace_back(h.substr(0, colon), std::string(platform::Trim(std::string_view(h).substr(colon + 1))));
    } else if (arg == "-d") {
      o.data = value();
    } else if (arg == "--data-file") {
      o.data_file = value();
    } else if (arg == "--protocol-version") {
      o.protocol_version = value();
    } else if (arg == "-i") {
      o.include = true;
    } else if (arg == "-o") {
      o.output = value();
    } else if (arg == "--progress") {
      o.progress = true;
    } else if (arg == "--binding") {
      o.binding = value();
    } else if (arg == "--timeout") {
      const auto t = platform::ParseDecimal32(value());
      if (!t || *t < 1 || *t > 86400) Usage("--timeout takes whole seconds from 1 to 86400");
      o.timeout = *t;
    } else if (arg == "--cacert") {
      o.cacert = value();
    } else if (arg == "-k" || arg == "--insecure") {
      o.insecure = true;
    } else if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (!arg.empty() && arg[0] == '-') {
      Usage("unknown option " + std::string(arg));
    } else if (o.url.empty()) {
      o.url = std::string(arg);
    } else {
      Usage("only one URL");
    }
  }
  if (o.url.empty()) Usage("no URL");
  if (o.data && o.data_file) Usage("-d and --data-file exclude each other");
  if (o.binding != "scktcomp" && o.binding != "dwinsock") Usage("--binding is scktcomp or dwinsock");
  return o;
}

// http://host[:port]/path[?query], or https://
std::optional<Target> ParseUrl(std::string_view url) {
  Target t;
  if (platform::StartsWithText(url, "https://")) {
    t.https = true;
    t.port = 443;
    url.remove_prefix(8);
  } else if (platform::StartsWithText(url, "http://")) {
    url.remove_prefix(7);
  } else {
    return std::nullopt;
  }
  const auto slash = url.find_first_of("/?");
  std::string_view authority = url.substr(0, slash);
  t.path = slash == std::string_view::npos ? "/" : std::string(url.substr(slash));
  if (t.path.front() == '?') t.path.insert(0, "/");
  if (authority.empty() || authority.find('@') != std::string_view::npos) return std::nullopt;
  std::string_view port_text;
  bool has_port = false;
  if (authority.front() == '[') {
    // An IPv6 address: [::1] or [::1]:8080.
    const auto close = authority.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    t.host = std::string(authority.substr(1, close - 1));
    t.host_header = std::string(authority.substr(0, close + 1));
    const std::string_view rest = authority.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return std::nullopt;
      has_port = true;
      port_text = rest.substr(1);
    }
    if (t.host.find(':') == std::string::npos) return std::nullopt;
  } else {
    const auto colon = authority.rfind(':');
    if (colon != std::string_view::npos) {
      has_port = true;
      port_text = authority.substr(colon + 1);
      authority = authority.substr(0, colon);
    }
    if (authority.empty() || authority.find(':') != std::string_view::npos) return std::nullopt;
    t.host = std::string(authority);
    t.host_header = t.host;
  }
  if (t.host.empty()) return std::nullopt;
  if (has_port) {
    const auto port = platform::ParseDecimal32(port_text);
    if (!port || *port < 1 || *port > 65535) return std::nullopt;
    t.port = *port;
  }
  return t;
}

// A one-line progress bar on standard error: bytes, total, percent and rate.
class ProgressBar {
 public:
  void Show(std::int64_t received, std::int64_t total) {
    const auto now = std::chrono::steady_clock::now();
    if (received != total && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double rate = seconds > 0 ? static_cast<double>(received) / seconds : 0;
    if (total >= 0) {
      const int percent = total > 0 ? static_cast<int>(received * 100 / total) : 100;
      std::fprintf(stderr, "\r%12lld / %lld bytes %3d%% %9.1f KiB/s", static_cast<long long>(received),
                   static_cast<long long>(total), percent, rate / 1024);
    } else {
      std::fprintf(stderr, "\r%12lld bytes %9.1f KiB/s", static_cast<long long>(received), rate / 1024);
    }
    shown_ = true;
  }
  void End() {
    if (shown_) std::fputc('\n', stderr);
  }

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point last_{};
  bool shown_ = false;
};

void WriteAll(std::FILE* out, const char* data, std::size_t size) {
  if (size > 0 && std::fwrite(data, 1, size, out) != size) Fail("cannot write the body");
}


// One fetch with the client component of either socket layer; they differ only in how the
// connection reaches their events.
template <class Client>
int Run(const Options& o, const Target* target) {
  constexpr bool kSecondLayer = std::is_same_v<Client, client::TOrbHTTPDwClient>;
  auto& app = net::Application::Instance();
  Client http(nullptr);
  http.SetDesignDefaults();
  http.SetStringVariable(client::kMethod, o.method.value_or(o.data || o.data_file ? "POST" : "GET"));
  http.SetStringVariable(client::kURL, target->path);
  if (o.protocol_version) http.SetStringVariable(client::kProtocolVersion, *o.protocol_version);
  bool host_given = false;
  bool type_given = false;
  for (const auto& [name, value] : o.headers) {
    if (platform::SameText(name, "Accept")) {
      http.SetStringVariable(client::kAccept, value);
    } else if (platform::SameText(name, "Content-Type")) {
      type_given = true;
      http.SetStringVariable(client::kContentType, value);
    } else if (platform::SameText(name, "User-Agent")) {
      http.SetStringVariable(client::kUserAgent, value);
    } else {
      host_given = host_given || platform::SameText(name, "Host");
      http.AddCustomHeader(name, value);
    }
  }
  // Servers with several sites tell them apart by the Host header.
  const int default_port = target->https ? 443 : 80;
  if (!host_given) {
    http.AddCustomHeader("Host", target->host_header +
                                     (target->port != default_port ? ":" + std::to_string(target->port) : ""));
  }
  http.Tls.enabled = target->https;
  http.Tls.verify = !o.insecure;
  if (o.cacert) http.Tls.ca_file = *o.cacert;
  // Data from -d or --data-file is a form's, as curl sends it, unless -H names another type.
  if ((o.data || o.data_file) && !type_given) {
    http.SetStringVariable(client::kContentType, "application/x-www-form-urlencoded");
  }
  if (o.data) http.SetStringVariable(client::kContent, *o.data);
  if (o.data_file) {
    try {
      auto file = std::make_unique<platform::TMemoryStream>();
      file->LoadFromFile(*o.data_file);
      if (file->Size() > 0x7FFFFFFF) Fail("the data file is larger than 2 GiB");
      http.SetContentStream(std::move(file));
    } catch (const std::exception& e) {
      Fail(e.what());
    }
  }

  std::FILE* out = stdout;
  if (o.output) {
    out = std::fopen(o.output->c_str(), "wb");
    if (out == nullptr) Fail("cannot open " + *o.output + " for writing");
  }
  const bool show_progress = o.progress || ::isatty(STDERR_FILENO) != 0;
  ProgressBar bar;
  bool finished = false;
  bool failed = false;
  std::string error;
  bool heading_written = false;
  const auto write_heading = [&] {
    if (!o.include || heading_written) return;
    heading_written = true;
    std::string h = http.ResponseVersion + " " + http.ResponseCode + " " + http.ResponseText + "\n";
    for (int i = 0; i < http.ResponseHeaders.Count(); ++i) {
      h += std::string(http.ResponseHeaders.Names(i)) + ": " + std::string(http.ResponseHeaders.ValueFromIndex(i)) + "\n";
    }
    h += "\n";
    WriteAll(out, h.data(), h.size());
  };

  http.Host = target->host;
  if constexpr (kSecondLayer) {
    http.SetPort(std::to_string(target->port));
  } else {
    http.Port = target->port;
  }
  http.OnConnect = [&](platform::TComponent*, auto* connection) {
    try {
      if constexpr (kSecondLayer) {
        http.SendRequest(*dynamic_cast<client::TOrbHTTPDwSockClient*>(connection));
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
    if (show_progress) bar.Show(received, total);
  };
  http.OnStreamReady = [&](auto*, platform::TMemoryStream& body) {
    write_heading();
    WriteAll(out, body.Memory(), static_cast<std::size_t>(body.Size()));
    finished = true;
    http.Close();  // one request per connection
  };
  http.OnResponseFailed = [&](platform::TComponent*, const std::string& reason) {
    error = reason;
    failed = true;
  };
  const auto socket_failed = [&](int code) {
    if (!finished && !failed) {
      error = std::string("cannot reach ") + target->host_header + ":" + std::to_string(target->port) +
              ": " + net::ErrorText(code);
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
    if (!failed && !http.ResponseCode.empty()) {
      write_heading();
      finished = true;
    } else if (!failed) {
      error = "the connection closed without an answer";
      failed = true;
    }
  };
  try {
    http.SetActive(true);
  } catch (const std::exception& e) {
    Fail(e.what());
  }
  const bool done = app.RunUntil([&] { return finished || failed; }, std::chrono::seconds(o.timeout));
  bar.End();
  if (out != stdout) std::fclose(out);
  else std::fflush(stdout);
  if (!done) Fail("no complete answer within " + std::to_string(o.timeout) + " s", 3);
  if (failed) Fail(error);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  const Options o = Parse(argc, argv);
  const auto target = ParseUrl(o.url);
  if (!target) Fail("not a URL of the form http[s]://host[:port]/path: " + o.url, 2);
  if (o.cacert && ::access(o.cacert->c_str(), R_OK) != 0)
    Fail("cannot read the CA file " + *o.cacert + ": " + std::strerror(errno), 2);
  return o.binding == "dwinsock" ? Run<client::TOrbHTTPDwClient>(o, &*target) : Run<client::TOrbHTTPClient>(o, &*target);
}
