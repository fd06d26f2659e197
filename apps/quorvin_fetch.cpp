// quorvin-fetch: fetches one URL over HTTP/1.0 (http:// or https://) with the Quorvin client
// component and writes the body to standard output or a file.
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quorvin/client/fetch.h"
#include "quorvin/platform/core/text.h"

namespace {

using namespace quorvin;

constexpr const char* kUsage =
    "usage: quorvin-fetch [-X METHOD] [-H 'Name: value']... [-d DATA | --data-file FILE | -T FILE]\n"
    "                     [--protocol-version V] [-i] [-o FILE] [--progress]\n"
    "                     [--binding scktcomp|dwinsock] [--max-time SECONDS] [--connect-timeout SECONDS]\n"
    "                     [-L [--max-redirs N]]\n"
    "                     [--cacert FILE] [-k | --insecure] URL\n"
    "--data-file - and -T - read the body from standard input.\n";

struct Options {
  std::optional<std::string> method;  // GET, or POST when a body is given
  std::vector<std::pair<std::string, std::string>> headers;
  std::optional<std::string> data;
  std::optional<std::string> data_file;
  bool upload = false;  // -T: the file goes with PUT
  std::optional<std::string> protocol_version;
  bool include = false;
  std::optional<std::string> output;
  bool progress = false;
  std::string binding = "scktcomp";
  int timeout = 30;          // the whole fetch (--max-time, or --timeout)
  int connect_timeout = 0;   // 0: only the whole fetch's limit
  bool follow = false;       // -L
  int max_redirects = 10;
  std::optional<std::string> cacert;  // trusted CAs for https, in place of the system's
  bool insecure = false;              // https without checking the certificate
  std::string url;
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
    } else if (arg == "-T" || arg == "--upload-file") {
      // As curl does: the file is PUT, unless -X says otherwise.
      o.data_file = value();
      o.upload = true;
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
    } else if (arg == "--timeout" || arg == "--max-time") {
      const auto t = platform::ParseDecimal32(value());
      if (!t || *t < 1 || *t > 86400) Usage(std::string(arg) + " takes whole seconds from 1 to 86400");
      o.timeout = *t;
    } else if (arg == "--connect-timeout") {
      const auto t = platform::ParseDecimal32(value());
      if (!t || *t < 1 || *t > 86400) Usage("--connect-timeout takes whole seconds from 1 to 86400");
      o.connect_timeout = *t;
    } else if (arg == "-L" || arg == "--location") {
      o.follow = true;
    } else if (arg == "--max-redirs") {
      const auto n = platform::ParseDecimal32(value());
      if (!n || *n < 0 || *n > 1000) Usage("--max-redirs takes a number from 0 to 1000");
      o.max_redirects = *n;
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
  if (o.data && o.data_file) Usage("-d excludes --data-file and -T");
  if (o.binding != "scktcomp" && o.binding != "dwinsock") Usage("--binding is scktcomp or dwinsock");
  return o;
}

// A one-line progress bar on standard error: bytes, total, percent and rate.
class ProgressBar {
 public:
  explicit ProgressBar(const char* what = "") : what_(what) {}
  void Show(std::int64_t received, std::int64_t total) {
    const auto now = std::chrono::steady_clock::now();
    if (received != total && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double rate = seconds > 0 ? static_cast<double>(received) / seconds : 0;
    if (total >= 0) {
      const int percent = total > 0 ? static_cast<int>(received * 100 / total) : 100;
      std::fprintf(stderr, "\r%s%12lld / %lld bytes %3d%% %9.1f KiB/s", what_, static_cast<long long>(received),
                   static_cast<long long>(total), percent, rate / 1024);
    } else {
      std::fprintf(stderr, "\r%s%12lld bytes %9.1f KiB/s", what_, static_cast<long long>(received), rate / 1024);
    }
    shown_ = true;
  }
  void End() {
    if (shown_) std::fputc('\n', stderr);
    shown_ = false;
  }

 private:
  const char* what_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point last_{};
  bool shown_ = false;
};

void WriteAll(std::FILE* out, const char* data, std::size_t size) {
  if (size > 0 && std::fwrite(data, 1, size, out) != size) Fail("cannot write the body");
}


}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  const Options o = Parse(argc, argv);
  if (o.cacert && ::access(o.cacert->c_str(), R_OK) != 0)
    Fail("cannot read the CA file " + *o.cacert + ": " + std::strerror(errno), 2);

  client::FetchOptions fetch;
  fetch.method = o.method.value_or("");
  fetch.headers = o.headers;
  if (o.protocol_version) fetch.protocol_version = *o.protocol_version;
  fetch.timeout = std::chrono::seconds(o.timeout);
  fetch.connect_timeout = std::chrono::seconds(o.connect_timeout);
  fetch.max_redirects = o.follow ? o.max_redirects : 0;
  fetch.binding = o.binding == "dwinsock" ? client::Binding::kDWinsock : client::Binding::kScktComp;
  fetch.verify = !o.insecure;
  if (o.cacert) fetch.ca_file = *o.cacert;
  if (o.data) fetch.body = *o.data;
  if (o.data_file) {
    // Sent from the file as it goes out, never read whole into memory; "-" is standard input.
    if (*o.data_file != "-" && ::access(o.data_file->c_str(), R_OK) != 0) {
      Fail("cannot open " + *o.data_file + ": " + std::strerror(errno));
    }
    fetch.body_file = *o.data_file;
    if (o.upload && !o.method) fetch.method = "PUT";
    if (o.upload) fetch.content_type = "application/octet-stream";
  }

  std::FILE* out = stdout;
  if (o.output) {
    out = std::fopen(o.output->c_str(), "wb");
    if (out == nullptr) Fail("cannot open " + *o.output + " for writing: " + std::strerror(errno));
  }
  const bool show_progress = o.progress || ::isatty(STDERR_FILENO) != 0;
  ProgressBar bar;
  ProgressBar sending("sent ");
  if (show_progress) {
    fetch.upload_progress = [&sending](std::int64_t sent, std::int64_t total) { sending.Show(sent, total); };
    fetch.progress = [&](std::int64_t received, std::int64_t total) {
      sending.End();
      bar.Show(received, total);
    };
  }
  fetch.heading = [&](const client::FetchResponse& r) {
    if (!o.include) return;
    std::string h = r.version + " " + std::to_string(r.status) + " " + r.reason + "\n";
    for (const auto& [name, value] : r.headers) h += name + ": " + value + "\n";
    h += "\n";
    WriteAll(out, h.data(), h.size());
  };
  fetch.sink = [out](std::string_view bytes) { WriteAll(out, bytes.data(), bytes.size()); };
  int code = 0;
  std::string error;
  try {
    client::Fetch(o.url, fetch);
  } catch (const client::FetchError& e) {
    error = e.what();
    code = e.kind() == client::FetchError::Kind::kUrl ? 2 : e.kind() == client::FetchError::Kind::kTimeout ? 3 : 1;
  }
  sending.End();
  bar.End();
  if (out != stdout) std::fclose(out);
  else std::fflush(stdout);
  if (code != 0) Fail(error, code);
  return 0;
}
