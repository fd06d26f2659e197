#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "quorvin/client/orb_http_client.h"
#include "quorvin/client/orb_http_dw_client.h"
#include "quorvin/platform/core/form.h"
#include "quorvin/platform/net/application.h"
#include "quorvin/platform/net/tls.h"
#include "tls_support.h"

// The suite runs once per socket layer: the build compiles it twice, naming the layer.
#ifndef QUORVIN_TEST_BINDING
#define QUORVIN_TEST_BINDING "scktcomp"
#endif

namespace quorvin::client {
namespace {

using namespace std::chrono_literals;

constexpr bool kFirstLayer = std::string_view(QUORVIN_TEST_BINDING) == "scktcomp";
using Client = std::conditional_t<kFirstLayer, TOrbHTTPClient, TOrbHTTPDwClient>;

// Where the component is told to connect, and how it sends on the connection its event gives.
template <class C>
void Aim(C& client, int port) {
  client.Address = "127.0.0.1";
  if constexpr (kFirstLayer) {
    client.Port = port;
    client.OnConnect = [&client](platform::TComponent*, net::TCustomWinSocket*) { client.SendRequest(); };
  } else {
    client.SetPort(std::to_string(port));
    client.OnConnect = [&client](platform::TComponent*, net::TStreamSocket* connection) {
      client.SendRequest(*dynamic_cast<TOrbHTTPDwSockClient*>(connection));
    };
  }
}

// The connection object the component reads from.
template <class C>
const void* ConnectionOf(C& client) {
  if constexpr (kFirstLayer) {
    return &client.Socket();
  } else {
    return client.Connection();
  }
}
net::Application& App() { return net::Application::Instance(); }

// A listening socket on 127.0.0.1 that accepts one connection on a thread of its own, reads
// `expect` bytes (or until the timeout), then sends `reply` and closes. `pause` delays its
// first read, so that the sender has to wait for it.
class RecordingServer {
 public:
  explicit RecordingServer(std::size_t expect, std::string reply = "",
                           std::chrono::milliseconds pause = std::chrono::milliseconds(0)) {
    thread_ = std::thread([this, expect, reply, pause] {
      const int c = ::accept(listener_.Fd(), nullptr, nullptr);
      std::this_thread::sleep_for(pause);
      timeval tv{5, 0};
      ::setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      char buf[65536];
      while (received_.size() < expect) {
        const ssize_t n = ::recv(c, buf, sizeof buf, 0);
        if (n <= 0) break;
        received_.append(buf, static_cast<std::size_t>(n));
      }
      if (!reply.empty()) ::send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
      ::close(c);
      done_ = true;
    });
  }
  ~RecordingServer() {
    if (thread_.joinable()) thread_.join();
  }
  int Port() const { return listener_.Port(); }
  bool Done() const { return done_; }
  std::string Received() {
    thread_.join();
    return received_;
  }

 private:
  quorvin::testing::LoopbackListener listener_{4};
  std::thread thread_;
  std::string received_;
  std::atomic<bool> done_{false};
};

// Connects `client` to `server`, sends the request from OnConnect and runs the loop until the
// server has finished.
std::string SendTo(Client& client, RecordingServer& server) {
  Aim(client, server.Port());
  client.SetActive(true);
  EXPECT_TRUE(App().RunUntil([&] { return server.Done(); }, 5s));
  return server.Received();
}

std::unique_ptr<platform::TMemoryStream> Bytes(std::string_view s) {
  auto m = std::make_unique<platform::TMemoryStream>();
  m->WriteText(s);
  return m;
}

platform::TDateTime Dec8() { return platform::EncodeDateTime(2026, 12, 8, 21, 1, 10); }

// A body source that, as a pipe, cannot tell its length nor move back: each read gives at most
// what is left of its next piece, then 0 at the end.
class PipeStream final : public platform::TStream {
 public:
  explicit PipeStream(std::vector<std::string> pieces) : pieces_(std::move(pieces)) {}

  std::int64_t Read(void* buffer, std::int64_t count) override {
    while (next_ < pieces_.size() && at_ == pieces_[next_].size()) {
      ++next_;
      at_ = 0;
    }
    if (next_ == pieces_.size()) return 0;
    const std::string& piece = pieces_[next_];
    const std::size_t n = std::min(piece.size() - at_, static_cast<std::size_t>(count));
    std::memcpy(buffer, piece.data() + at_, n);
    at_ += n;
    return static_cast<std::int64_t>(n);
  }

  std::int64_t Write(const void*, std::int64_t) override { return 0; }

  std::int64_t Seek(std::int64_t, platform::TSeekOrigin) override {
    throw std::runtime_error("a pipe cannot seek");
  }

  std::int64_t Size() override { return -1; }

  void SetSize(std::int64_t) override {}

 private:
  std::vector<std::string> pieces_;
  std::size_t next_ = 0;
  std::size_t at_ = 0;
};

std::unique_ptr<PipeStream> Piped(std::vector<std::string> pieces) {
  return std::make_unique<PipeStream>(std::move(pieces));
}

// The body of a chunked request, its chunk framing taken off; "!" plus the rest when the
// framing is broken.
std::string Unchunk(std::string_view chunks) {
  std::string body;
  for (;;) {
    const auto eol = chunks.find("\r\n");
    if (eol == std::string_view::npos || eol == 0) return "!" + std::string(chunks.substr(0, 40));
    const std::size_t size = std::stoul(std::string(chunks.substr(0, eol)), nullptr, 16);
    chunks.remove_prefix(eol + 2);
    if (size == 0) return chunks == "\r\n" ? body : "!" + std::string(chunks.substr(0, 40));
    if (chunks.size() < size + 2 || chunks.substr(size, 2) != "\r\n")
      return "!" + std::string(chunks.substr(0, 40));
    body.append(chunks.substr(0, size));
    chunks.remove_prefix(size + 2);
  }
}

struct WriterCase {
  const char* name;
  bool designed;
  std::function<void(Client&)> set;
  std::string request;
};

class RequestWriter : public ::testing::TestWithParam<WriterCase> {};

TEST_P(RequestWriter, SendsExactlyTheseBytes) {
  platform::TForm form(nullptr);
  form.SetDesigning(GetParam().designed);
  auto& client = platform::Create<Client>(form);
  form.SetDesigning(false);
  GetParam().set(client);
  RecordingServer server(GetParam().request.size());
  EXPECT_EQ(SendTo(client, server), GetParam().request);
}

INSTANTIATE_TEST_SUITE_P(
    , RequestWriter,
    ::testing::Values(
        WriterCase{"DesignerDefaults", true,
                   [](Client& c) {
                     c.SetStringVariable(kMethod, "GET");
                     c.SetStringVariable(kURL, "/index.htm");
                   },
                   "GET /index.htm HTTP/1.0\r\nAccept: */*\r\nContent-Type: text/html\r\n\r\n"},
        WriterCase{"RunTimeWithoutVersion", false, [](Client& c) { c.SetStringVariable(kMethod, "GET"); },
                   "\r\n"},
        WriterCase{"RunTimeWithoutVersionWithBody", false,
                   [](Client& c) { c.SetStringVariable(kContent, "abc"); }, "Content-Length: 3\r\n\r\nabc"},
        WriterCase{"DatesAtZeroOrBelowLeftOut", true,
                   [](Client& c) {
                     c.SetStringVariable(kMethod, "GET");
                     c.SetDateVariable(kDate, 0);
                     c.SetDateVariable(kIfModifiedSince, -3);
                   },
                   "GET  HTTP/1.0\r\nAccept: */*\r\nContent-Type: text/html\r\n\r\n"},
        WriterCase{"EveryHeaderInOrder", true,
                   [](Client& c) {
                     c.SetStringVariable(kMethod, "POST");
                     c.SetStringVariable(kURL, "/f");
                     c.SetDateVariable(kDate, Dec8());
                     c.SetStringVariable(kFrom, "me@example.org");
                     c.SetStringVariable(kReferer, "/r");
                     c.SetStringVariable(kUserAgent, "ua");
                     c.SetDateVariable(kIfModifiedSince, Dec8());
                     c.SetStringVariable(kConnection, "close");
                     c.SetStringVariable(kContentEncoding, "gzip");
                     c.SetStringVariable(kContentVersion, "9");  // kept, never sent
                     c.AddCustomHeader("X-A", "1");
                     c.AddCustomHeader("X-A", "2");
                     c.SetStringVariable(kContent, "body");
                   },
                   "POST /f HTTP/1.0\r\nDate: Tue, 08 Dec 2026 21:01:10  GMT\r\nFrom: me@example.org\r\nReferer: /r\r\n"
                   "User-Agent: ua\r\nAccept: */*\r\nif-Modified-Since: Tue, 08 Dec 2026 21:01:10  GMT\r\n"
                   "Connection: close\r\nContent-Encoding: gzip\r\nX-A: 1\r\nX-A: 2\r\nContent-Type: text/html\r\n"
                   "Content-Length: 4\r\n\r\nbody"},
        WriterCase{"EmptyHeaderPropertiesWriteNothing", true,
                   [](Client& c) {
                     c.SetStringVariable(kMethod, "GET");
                     c.SetStringVariable(kURL, "/");
                     c.SetStringVariable(kAccept, "");
                     c.SetStringVariable(kContentType, "");
                   },
                   "GET / HTTP/1.0\r\n\r\n"},
        WriterCase{"ContentWinsOverStream", true,
                   [](Client& c) {
                     c.SetStringVariable(kMethod, "PUT");
                     c.SetStringVariable(kURL, "/u");
                     c.SetContentStream(Bytes("stream"));
                     c.SetStringVariable(kContent, "text");
                   },
                   "PUT /u HTTP/1.0\r\nAccept: */*\r\nContent-Type: text/html\r\nContent-Length: 4\r\n\r\ntext"},
        WriterCase{"StreamWithChangedLength", true,
                   [](Client& c) {
                     c.SetStringVariable(kMethod, "PUT");
                     c.SetStringVariable(kURL, "/u");
                     c.SetContentStream(Bytes("stream"));
                     c.SetIntegerVariable(kContentLength, 3);
                   },
                   "PUT /u HTTP/1.0\r\nAccept: */*\r\nContent-Type: text/html\r\nContent-Length: 3\r\n\r\nstream"},
        // A body of unknown length: one chunk per read of it, whichever layer sends it, then
        // the zero chunk.
        WriterCase{
            "UnknownLengthGoesInChunks", true,
            [](Client& c) {
              c.SetStringVariable(kMethod, "PUT");
              c.SetStringVariable(kURL, "/u");
              c.SetStringVariable(kProtocolVersion, "HTTP/1.1");
              c.AddCustomHeader("Host", "h");
              c.SetContentStream(Piped({"abc", std::string("d\0\r\n", 4), std::string(3000, 'x')}));
            },
            "PUT /u HTTP/1.1\r\nAccept: */*\r\nHost: h\r\nContent-Type: text/html\r\n"
            "Transfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n4\r\n" +
                std::string("d\0\r\n", 4) + "\r\nbb8\r\n" + std::string(3000, 'x') +
                "\r\n0\r\n\r\n"},
        WriterCase{"EmptyUnknownLengthIsTheZeroChunkAlone", true,
                   [](Client& c) {
                     c.SetStringVariable(kMethod, "POST");
                     c.SetStringVariable(kURL, "/p");
                     c.SetStringVariable(kProtocolVersion, "HTTP/1.1");
                     c.SetStringVariable(kAccept, "");
                     c.SetStringVariable(kContentType, "");
                     c.AddCustomHeader("Host", "h");
                     c.SetContentStream(Piped({}));
                   },
                   "POST /p HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n"}),
    [](const auto& tc) { return std::string(tc.param.name); });

// An HTTP/1.1 request carries the Host it needs, from where the component connects, unless the
// program gave one; an HTTP/1.0 request gets none added.
TEST(RequestWriterHost, Http11RequestsNameTheirHost) {
  const auto set_port = [](auto& c, int port) {
    if constexpr (kFirstLayer) {
      c.Port = port;
    } else {
      c.SetPort(std::to_string(port));
    }
  };
  struct Case {
    std::string version, host, address;
    int port;
    bool own_host;
    std::string want;  // the Host line, "" for none
  };
  const std::vector<Case> cases = {
      {"HTTP/1.1", "example.org", "", 80, false, "Host: example.org\r\n"},
      {"HTTP/1.1", "example.org", "", 8080, false, "Host: example.org:8080\r\n"},
      {"HTTP/1.1", "example.org", "::1", 8080, false, "Host: [::1]:8080\r\n"},
      {"HTTP/1.1", "example.org", "", 8080, true, "Host: mine\r\n"},
      {"HTTP/1.0", "example.org", "", 8080, false, ""},
  };
  for (const Case& c : cases) {
    Client client(nullptr);
    client.SetDesignDefaults();
    client.SetStringVariable(kMethod, "GET");
    client.SetStringVariable(kURL, "/");
    client.SetStringVariable(kProtocolVersion, c.version);
    client.Host = c.host;
    client.Address = c.address;
    set_port(client, c.port);
    if (c.own_host) client.AddCustomHeader("Host", "mine");
    const std::unique_ptr<platform::TStream> built = client.BuildRequest();
    std::string request(static_cast<std::size_t>(built->Size()), '\0');
    request.resize(static_cast<std::size_t>(built->Read(request.data(), built->Size())));
    const auto host = request.find("Host: ");
    const std::string line = host == std::string::npos ? "" : request.substr(host, request.find("\r\n", host) + 2 - host);
    EXPECT_EQ(line, c.want) << c.version << " " << c.host << ":" << c.port << "\n" << request;
  }
}

TEST(RequestWriterSafety, LineBreaksRefuseTheRequest) {
  const std::vector<std::function<void(Client&)>> attempts = {
      [](Client& c) { c.SetStringVariable(kURL, "/a HTTP/1.0\r\nX-Injected: 1\r\n"); },
      [](Client& c) { c.SetStringVariable(kUserAgent, "ua\nX: y"); },
      [](Client& c) { c.AddCustomHeader("X-A", "1\r\nX-B: 2"); },
      // HTTP/1.0 has no chunks, and without a length the body's end could not be told.
      [](Client& c) { c.SetContentStream(Piped({"body"})); },
  };
  for (const auto& attempt : attempts) {
    Client client(nullptr);
    client.SetDesignDefaults();
    client.SetStringVariable(kMethod, "GET");
    attempt(client);
    EXPECT_THROW(client.BuildRequest(), EHTTPClientError);
  }
}

TEST(ClientVariables, RangeRulesAndStreamOwnership) {
  Client c(nullptr);
  EXPECT_EQ(c.GetStringVariable(16), "");
  EXPECT_EQ(c.GetIntegerVariable(-1), -1);
  EXPECT_EQ(c.GetDateVariable(16), -1.0);
  c.SetStringVariable(16, "x");
  EXPECT_EQ(c.GetStringVariable(16), "");
  c.SetContentStream(Bytes("12345"));
  EXPECT_EQ(c.GetIntegerVariable(kContentLength), 5);
  c.SetContentStream(nullptr);  // released; the length stays
  EXPECT_EQ(c.ContentStream(), nullptr);
  EXPECT_EQ(c.GetIntegerVariable(kContentLength), 5);
  c.SetContentStream(Piped({"12"}));  // taken without a seek: a pipe has no start to go back to
  EXPECT_EQ(c.GetIntegerVariable(kContentLength), -1);
}

TEST(ClientComponent, ReadsTheAnswerAndDeliversTheBody) {
  Client client(nullptr);
  client.SetDesignDefaults();
  client.SetStringVariable(kMethod, "GET");
  client.SetStringVariable(kURL, "/x");
  std::string body;
  const void* delivered_on = nullptr;
  std::vector<std::pair<int, int>> progress;
  client.OnStreamReady = [&](auto* socket, platform::TMemoryStream& s) {
    body = std::string(s.View());
    delivered_on = socket;
  };
  client.OnProgress = [&](platform::TComponent* sender, std::int32_t got, std::int32_t total) {
    EXPECT_EQ(sender, &client);
    progress.emplace_back(got, total);
  };
  const std::string request = "GET /x HTTP/1.0\r\nAccept: */*\r\nContent-Type: text/html\r\n\r\n";
  RecordingServer server(request.size(), "HTTP/1.0 200 OK\r\nContent-Length: 5\r\nX-Case: MiXeD\r\n\r\nhello");
  EXPECT_EQ(SendTo(client, server), request);
  EXPECT_TRUE(App().RunUntil([&] { return !body.empty(); }, 5s));
  EXPECT_EQ(body, "hello");
  EXPECT_EQ(delivered_on, ConnectionOf(client));
  EXPECT_EQ(client.ResponseHeaders.Values("x-case"), "MiXeD");
  EXPECT_EQ(progress.back(), (std::pair<int, int>{5, 5}));
}

TEST(ClientComponent, CutShortAnswerIsReportedAndTheBodyUntilCloseDelivered) {
  for (const bool cut : {true, false}) {
    SCOPED_TRACE(cut);
    Client client(nullptr);
    client.SetDesignDefaults();
    client.SetStringVariable(kMethod, "GET");
    std::string body, failure;
    bool disconnected = false;
    client.OnStreamReady = [&](auto*, platform::TMemoryStream& s) { body = std::string(s.View()); };
    client.OnResponseFailed = [&](platform::TComponent*, const std::string& why) { failure = why; };
    client.OnDisconnect = [&](platform::TComponent*, auto*) { disconnected = true; };
    RecordingServer server(1, cut ? "HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\n0123"
                                  : "HTTP/1.0 200 OK\r\n\r\nuntil the end");
    SendTo(client, server);
    EXPECT_TRUE(App().RunUntil([&] { return disconnected; }, 5s));
    EXPECT_EQ(body, cut ? "" : "until the end");
    EXPECT_EQ(failure.empty(), !cut);
    EXPECT_EQ(client.ResState, TOrbHTTPResponseType::RES_REQUEST);
  }
}

// What becomes of an answer in the component: where its body goes (OnStreamReady, or the
// program's stream with OnResponseDone), the progress it reports, the limits it is held to and
// the failures it reports. The server sends the answer at once and closes; the reads may split
// it anywhere, so of the progress only the last report is compared.
constexpr std::pair<int, int> kNoProgress{-2, -2};
// A head read alone reports the body's start, one read with the rest reports nothing.
constexpr std::pair<int, int> kAnyProgress{-3, -3};

struct AnswerCase {
  const char* name;
  std::string reply;
  const char* method;
  bool to_stream;
  std::int64_t max_body;
  std::string body;                   // delivered
  int delivered;                      // OnStreamReady or OnResponseDone events
  std::pair<int, int> last_progress;  // kNoProgress: none; kAnyProgress: where the reads split
  std::string code;
  std::string failure;
};

void PrintTo(const AnswerCase& c, std::ostream* os) {
  *os << c.name;
}

class ClientAnswers : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(ClientAnswers, DeliveredWithinTheLimits) {
  const AnswerCase& c = GetParam();
  Client client(nullptr);
  client.SetDesignDefaults();
  client.SetStringVariable(kMethod, c.method);
  client.MaxResponseBody = c.max_body;
  platform::TMemoryStream out;
  if (c.to_stream) client.SetResponseStream(&out);
  std::string body, failure;
  int delivered = 0;
  std::pair<int, int> progress{-2, -2};
  bool disconnected = false;
  client.OnStreamReady = [&](auto*, platform::TMemoryStream& s) {
    EXPECT_EQ(s.Position(), 0);
    body += s.View();
    ++delivered;
  };
  client.OnResponseDone = [&](platform::TComponent*) {
    EXPECT_EQ(client.ResponseBody->Size(), 0) << "a body kept in memory beside the stream";
    ++delivered;
  };
  client.OnProgress = [&](platform::TComponent*, std::int32_t got, std::int32_t total) {
    progress = {got, total};
  };
  client.OnResponseFailed = [&](platform::TComponent*, const std::string& why) { failure = why; };
  client.OnDisconnect = [&](platform::TComponent*, auto*) { disconnected = true; };
  RecordingServer server(1, c.reply);
  SendTo(client, server);
  EXPECT_TRUE(App().RunUntil([&] { return disconnected || !failure.empty(); }, 5s));
  if (c.to_stream) body = std::string(out.View());
  EXPECT_EQ(body, c.body);
  EXPECT_EQ(delivered, c.delivered);
  if (c.last_progress != kAnyProgress) {
    EXPECT_EQ(progress, c.last_progress);
  }
  EXPECT_EQ(client.ResponseCode, c.code);
  EXPECT_EQ(failure, c.failure);
  EXPECT_EQ(client.LastError, c.failure);
  EXPECT_EQ(client.ResState, TOrbHTTPResponseType::RES_REQUEST);
  EXPECT_LE(client.ResponseBody->Size(), static_cast<std::int64_t>(c.reply.size()));
}

const std::string kOk10 = "HTTP/1.0 200 OK\r\n";
constexpr std::int64_t kGiB = 1LL << 30;

INSTANTIATE_TEST_SUITE_P(
    , ClientAnswers,
    ::testing::Values(
        AnswerCase{"Length", kOk10 + "Content-Length: 5\r\n\r\nhello", "GET", false, kGiB,
                   "hello", 1, {5, 5}, "200", ""},
        // Reads take at most 8 KiB: the body arrives in many.
        AnswerCase{"LengthInManyReads",
                   kOk10 + "Content-Length: 100000\r\n\r\n" + std::string(100000, 'b'), "GET",
                   false, kGiB, std::string(100000, 'b'), 1, {100000, 100000}, "200", ""},
        AnswerCase{"ChunkedInManyReads",
                   "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n186a0\r\n" +
                       std::string(100000, 'c') + "\r\n0\r\n\r\n",
                   "GET", false, kGiB, std::string(100000, 'c'), 1, {100000, -1}, "200", ""},
        AnswerCase{"ZeroLengthReportsProgressDeliversNothing", kOk10 + "Content-Length: 0\r\n\r\n",
                   "GET", false, kGiB, "", 0, {0, 0}, "200", ""},
        AnswerCase{"UntilClose", kOk10 + "\r\nall of it", "GET", false, kGiB, "all of it", 1,
                   {9, -1}, "200", ""},
        AnswerCase{"ChunkedToTheStream",
                   "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n2\r\nde\r\n"
                   "0\r\n\r\n",
                   "GET", true, kGiB, "abcde", 1, {5, -1}, "200", ""},
        AnswerCase{"StreamNotHeldToMaxResponseBody", kOk10 + "Content-Length: 10\r\n\r\n0123456789",
                   "GET", true, 4, "0123456789", 1, {10, 10}, "200", ""},
        AnswerCase{"HeadAnswerEndsWithItsHead", kOk10 + "Content-Length: 4691\r\n\r\n", "HEAD",
                   false, kGiB, "", 0, kNoProgress, "200", ""},
        AnswerCase{"NotModifiedToTheStream",
                   "HTTP/1.0 304 Not Modified\r\nContent-Length: 10\r\n\r\n", "GET", true, kGiB,
                   "", 1, kNoProgress, "304", ""},
        // A program that sends its body at once still hears of the final answer alone.
        AnswerCase{"InterimAnswerPassedOver",
                   "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok",
                   "POST", true, kGiB, "ok", 1, {2, 2}, "200", ""},
        AnswerCase{"AnnouncedLengthOverTheLimit", kOk10 + "Content-Length: 101\r\n\r\n", "GET",
                   false, 100, "", 0, kNoProgress, "200",
                   "the response announces 101 bytes, more than the client accepts"},
        AnswerCase{"BodyUntilCloseOverTheLimit", kOk10 + "\r\n" + std::string(120, 'x'), "GET",
                   false, 100, "", 0, kAnyProgress, "200",
                   "the response is larger than the client accepts"},
        AnswerCase{"CutShort", kOk10 + "Content-Length: 10\r\n\r\n0123", "GET", false, kGiB, "",
                   0, {4, 10}, "200", "the connection closed after 4 of 10 body bytes"},
        // Nothing is held for the length announced: only for the bytes sent.
        AnswerCase{"LargeLengthCutShort", kOk10 + "Content-Length: 2000000000\r\n\r\nabc", "GET",
                   false, 1LL << 32, "", 0, {3, 2000000000}, "200",
                   "the connection closed after 3 of 2000000000 body bytes"},
        AnswerCase{"MalformedChunks",
                   "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\rx\r\nabc\r\n0\r\n\r\n",
                   "GET", false, kGiB, "", 0, kAnyProgress, "200", "malformed chunked body"},
        AnswerCase{"LongLine", kOk10 + "X: " + std::string(9000, 'a') + "\r\n\r\n", "GET", false,
                   kGiB, "", 0, kNoProgress, "",
                   "a line of the response is longer than 8192 characters"}),
    [](const auto& tc) { return std::string(tc.param.name); });

// A response cut short leaves nothing behind: the next connection's answer is read afresh.
TEST(ClientComponent, NextAnswerAfterACutShortOneStartsClean) {
  Client client(nullptr);
  client.SetDesignDefaults();
  client.SetStringVariable(kMethod, "GET");
  std::string body;
  int failures = 0;
  bool disconnected = false;
  client.OnStreamReady = [&](auto*, platform::TMemoryStream& s) { body = std::string(s.View()); };
  client.OnResponseFailed = [&](platform::TComponent*, const std::string&) { ++failures; };
  client.OnDisconnect = [&](platform::TComponent*, auto*) { disconnected = true; };
  RecordingServer cut(1, "HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\n0123");
  SendTo(client, cut);
  ASSERT_TRUE(App().RunUntil([&] { return disconnected; }, 5s));
  EXPECT_EQ(failures, 1);
  EXPECT_FALSE(client.LastError.empty());
  client.Close();
  disconnected = false;
  RecordingServer whole(1, "HTTP/1.0 404 Not Found\r\nContent-Length: 2\r\n\r\nno");
  SendTo(client, whole);
  EXPECT_TRUE(App().RunUntil([&] { return disconnected; }, 5s));
  EXPECT_EQ(body, "no");
  EXPECT_EQ(client.ResponseCode, "404");
  EXPECT_EQ(client.ResponseHeaders.Count(), 1);
  EXPECT_EQ(client.LastError, "");
  EXPECT_EQ(failures, 1);
}

// OnSendProgress: the body's bytes as the connection takes them, each count once, the last
// equal to the body's size; the server gets the request whole. Without a handler the request
// goes out as before (the other tests).
TEST(ClientComponent, SendProgressFollowsTheBodyOut) {
  std::string body(16 << 20, '\0');
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('a' + (i * 7 + i / 4093) % 26);
  Client client(nullptr);
  client.SetDesignDefaults();
  client.SetStringVariable(kMethod, "POST");
  client.SetStringVariable(kContent, body);
  std::vector<std::pair<std::int32_t, std::int32_t>> events;
  client.OnSendProgress = [&](platform::TComponent* sender, std::int32_t sent, std::int32_t total) {
    EXPECT_EQ(sender, &client);
    events.emplace_back(sent, total);
  };
  const std::string head_end = "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  // The server waits before reading: the body cannot leave at once.
  RecordingServer server(1 << 30, "", 300ms);
  Aim(client, server.Port());
  client.SetActive(true);
  EXPECT_TRUE(App().RunUntil([&] { return !events.empty() && events.back().first == events.back().second; }, 10s));
  client.Close();
  const std::string received = server.Received();
  const auto at = received.find(head_end);
  ASSERT_NE(at, std::string::npos);
  EXPECT_TRUE(received.substr(at + head_end.size()) == body) << received.size() << " bytes";
  ASSERT_GE(events.size(), 2U) << "the body left in more than one piece";
  for (std::size_t i = 0; i < events.size(); ++i) {
    EXPECT_EQ(events[i].second, static_cast<std::int32_t>(body.size()));
    if (i > 0) {
      EXPECT_GT(events[i].first, events[i - 1].first);
    }
  }
  EXPECT_EQ(events.back().first, static_cast<std::int32_t>(body.size()));
}

// A body of unknown length in many pieces, against a server that waits before it reads: the
// layer steps back when the socket takes less than it read, and the chunks still frame the body
// whole. Progress has no total until the zero chunk, whose event gives it.
TEST(ClientComponent, ChunkedBodyGoesOutWholeAndItsProgressEndsWithItsSize) {
  std::string body(16 << 20, '\0');
  for (std::size_t i = 0; i < body.size(); ++i)
    body[i] = static_cast<char>((i * 131 + i / 7001) % 256);
  std::vector<std::string> pieces;
  for (std::size_t at = 0, n = 1; at < body.size(); at += n, n = n * 7 % 70000 + 1) {
    pieces.push_back(body.substr(at, n));
  }
  Client client(nullptr);
  client.SetDesignDefaults();
  client.SetStringVariable(kMethod, "PUT");
  client.SetStringVariable(kProtocolVersion, "HTTP/1.1");
  client.SetContentStream(Piped(pieces));
  std::vector<std::pair<std::int32_t, std::int32_t>> events;
  client.OnSendProgress = [&](platform::TComponent*, std::int32_t sent, std::int32_t total) {
    events.emplace_back(sent, total);
  };
  RecordingServer server(1 << 30, "", 300ms);
  Aim(client, server.Port());
  client.SetActive(true);
  const auto size = static_cast<std::int32_t>(body.size());
  EXPECT_TRUE(App().RunUntil([&] { return !events.empty() && events.back().second == size; }, 10s));
  client.Close();
  const std::string received = server.Received();
  const auto at = received.find("Transfer-Encoding: chunked\r\n\r\n");
  ASSERT_NE(at, std::string::npos) << received.substr(0, 300);
  const std::string got = Unchunk(std::string_view(received).substr(at + 30));
  EXPECT_TRUE(got == body) << got.size() << " bytes of " << body.size() << ": "
                           << got.substr(0, 50);
  ASSERT_GE(events.size(), 2U) << "the body left in more than one piece";
  for (std::size_t i = 0; i + 1 < events.size(); ++i) {
    EXPECT_EQ(events[i].second, -1) << i;
    if (i > 0) {
      EXPECT_GT(events[i].first, events[i - 1].first) << i;
    }
  }
  EXPECT_EQ(events.back(), std::make_pair(size, size));
}

// ConnectTimeout and ReadTimeout: a limit passed closes the component and fails the response
// with TimedOut(); an answer within the limits arrives as ever and leaves no limit behind.
TEST(ClientComponent, ConnectAndReadLimitsEndWhatHangs) {
  struct Case {
    const char* name;
    enum { kStalledConnect, kSilentTls, kSilentServer, kPromptServer } server;
    std::int32_t connect_ms, read_ms;
    std::string failure;  // "": the answer arrives
  };
  for (const Case& c : {Case{"connect never answered", Case::kStalledConnect, 200, 0, "no connection within 200 ms"},
                        Case{"TLS handshake never answered", Case::kSilentTls, 300, 0, "no connection within 300 ms"},
                        Case{"request never answered", Case::kSilentServer, 0, 250, "nothing arrived for 250 ms"},
                        Case{"prompt answer", Case::kPromptServer, 1000, 200, ""}}) {
    SCOPED_TRACE(c.name);
    quorvin::testing::LoopbackListener stalled(0);
    stalled.Stall();
    RecordingServer server(c.server == Case::kPromptServer ? 1 : 1 << 20,
                           c.server == Case::kPromptServer ? "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok" : "");
    Client client(nullptr);
    client.SetDesignDefaults();
    client.SetStringVariable(kMethod, "GET");
    client.ConnectTimeout = c.connect_ms;
    client.ReadTimeout = c.read_ms;
    Aim(client, c.server == Case::kStalledConnect ? stalled.Port() : server.Port());
    if (c.server == Case::kSilentTls) client.Tls.enabled = true;
    std::string body, failure;
    bool timed_out = false;
    int failures = 0;
    client.OnStreamReady = [&](auto*, platform::TMemoryStream& s) { body = std::string(s.View()); };
    client.OnResponseFailed = [&](platform::TComponent*, const std::string& why) {
      failure = why;
      timed_out = client.TimedOut();
      ++failures;
    };
    client.SetActive(true);
    EXPECT_TRUE(App().RunUntil([&] { return !body.empty() || failures > 0; }, 5s));
    App().RunFor(400ms);  // past every limit: nothing more is reported
    EXPECT_EQ(failure, c.failure);
    EXPECT_EQ(failures, c.failure.empty() ? 0 : 1);
    EXPECT_EQ(timed_out, !c.failure.empty());
    EXPECT_EQ(body, c.failure.empty() ? "ok" : "");
    if (!c.failure.empty()) {
      EXPECT_FALSE(client.Active());
      EXPECT_EQ(client.LastError, c.failure);
    }
    client.Close();
    if (c.server == Case::kStalledConnect || c.server == Case::kSilentTls) {
      // The server was never dialed: a connection ends its wait for one.
      quorvin::testing::ConnectOnce(server.Port());
    }
  }
  // A connect refused is the socket's error alone: the connect limit that was running says
  // nothing afterwards.
  int refused_port = 0;
  {
    const quorvin::testing::LoopbackListener probe;
    refused_port = probe.Port();
  }
  Client client(nullptr);
  client.SetDesignDefaults();
  client.ConnectTimeout = 200;
  Aim(client, refused_port);
  int errors = 0, failures = 0;
  client.OnError = [&](platform::TComponent*, auto*, auto, auto&& code) {
    ++errors;
    code = 0;
  };
  client.OnResponseFailed = [&](platform::TComponent*, const std::string&) { ++failures; };
  client.SetActive(true);
  EXPECT_TRUE(App().RunUntil([&] { return errors > 0; }, 5s));
  App().RunFor(400ms);
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(failures, 0);
  EXPECT_FALSE(client.TimedOut());
}

// HTTPS: the handshake comes before OnConnect, the certificate is checked against the CAs and
// the host dialed, and a failed check delivers nothing of the answer.
struct TlsCase {
  const char* name;
  bool self_signed;  // the server's certificate is its own issuer
  bool other_name;   // the server's certificate names other.example only
  bool verify;
  bool by_address;   // dial 127.0.0.1 (the certificate names it) instead of localhost
  int error;         // the TLS code OnError reports; 0: the answer arrives
};

class ClientTls : public ::testing::TestWithParam<TlsCase> {};

TEST_P(ClientTls, VerifiesTheServerAndDeliversTheAnswer) {
  const TlsCase& c = GetParam();
  const auto& pki = quorvin::testing::TestPki::Get();
  // A body of many records, so that the reader and progress see it arrive in pieces.
  std::string content(200 * 1024, 'x');
  for (std::size_t i = 0; i < content.size(); i += 97) content[i] = static_cast<char>('a' + i % 26);
  quorvin::testing::TlsServer server(c.self_signed ? pki.self_cert : c.other_name ? pki.other_cert : pki.cert,
                                     c.self_signed ? pki.self_key : c.other_name ? pki.other_key : pki.key,
                                     "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(content.size()) +
                                         "\r\n\r\n" + content);
  Client client(nullptr);
  client.SetDesignDefaults();
  client.SetStringVariable(kMethod, "GET");
  client.SetStringVariable(kURL, "/secure");
  client.Tls.enabled = true;
  client.Tls.verify = c.verify;
  client.Tls.ca_file = pki.ca;
  Aim(client, server.Port());
  if (!c.by_address) {
    client.Address.clear();
    client.Host = "localhost";
  }
  std::string body;
  int error = 0;
  std::int32_t last_progress = 0;
  client.OnStreamReady = [&](auto*, platform::TMemoryStream& s) { body = std::string(s.View()); };
  client.OnProgress = [&](platform::TComponent*, std::int32_t got, std::int32_t) { last_progress = got; };
  client.OnError = [&](platform::TComponent*, auto*, auto op, auto&& code) {
    if constexpr (kFirstLayer) {
      EXPECT_EQ(op, net::TErrorEvent::eeConnect);
    } else {
      EXPECT_EQ(op, net::TSockErrorOp::opConnect);
    }
    error = code;
    code = 0;
  };
  client.SetActive(true);
  EXPECT_TRUE(App().RunUntil([&] { return !body.empty() || error != 0; }, 10s));
  client.Close();
  server.Join();
  EXPECT_EQ(error, c.error) << net::ErrorText(error);
  if (c.error == 0) {
    EXPECT_TRUE(body == content) << body.size() << " bytes of " << content.size();
    EXPECT_EQ(last_progress, static_cast<std::int32_t>(content.size()));
    EXPECT_TRUE(server.request.starts_with("GET /secure HTTP/1.0\r\n")) << server.request;
    EXPECT_EQ(server.server_name, c.by_address ? "" : "localhost") << "SNI carries names, not addresses";
  } else {
    EXPECT_TRUE(body.empty());
    EXPECT_TRUE(server.request.empty()) << "nothing is sent to a server that failed the check";
    EXPECT_FALSE(client.Active());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ClientTls,
    ::testing::Values(TlsCase{"Trusted", false, false, true, false, 0},
                      TlsCase{"TrustedByAddress", false, false, true, true, 0},
                      TlsCase{"UnknownIssuer", true, false, true, false, net::kTlsUnknownIssuer},
                      TlsCase{"NameMismatch", false, true, true, false, net::kTlsNameMismatch},
                      TlsCase{"InsecureTakesASelfSignedServer", true, false, false, false, 0},
                      TlsCase{"InsecureTakesAnyName", false, true, false, false, 0}),
    [](const ::testing::TestParamInfo<TlsCase>& param_info) { return std::string(param_info.param.name); });

TEST(ClientTlsErrors, TextsNameTheReason) {
  EXPECT_NE(net::ErrorText(net::kTlsCertExpired).find("expired"), std::string::npos);
  EXPECT_NE(net::ErrorText(net::kTlsUnknownIssuer).find("unknown issuer"), std::string::npos);
  EXPECT_NE(net::ErrorText(net::kTlsNameMismatch).find("name mismatch"), std::string::npos);
  EXPECT_EQ(net::ErrorText(ECONNREFUSED), std::strerror(ECONNREFUSED));
}

}  // namespace
}  // namespace quorvin::client
