// HTTPS on either binding: the listener speaks TLS only when given a certificate and key, serves
// files and kept connections over it, and ends hostile or stalled handshakes without leaking.
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <string>
#include <vector>

#include "server_test_support.h"
#include "tls_support.h"

namespace quorvin::testing {
namespace {

using namespace std::chrono_literals;

net::Application& App() { return net::Application::Instance(); }

platform::Json WithTls(platform::Json extra = platform::Json::object()) {
  const TestPki& pki = TestPki::Get();
  extra["TLSCertificate"] = pki.cert;
  extra["TLSKey"] = pki.key;
  return extra;
}

TlsClient::Options Trusting() {
  TlsClient::Options o;
  o.ca_file = TestPki::Get().ca;
  return o;
}

class Https : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteSite(root);
    // Larger than any record or socket buffer: it leaves in many pieces.
    big.resize(3 * 1024 * 1024 + 17);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 % 251);
    root.Write("big.bin", big);
  }
  TempDir root;
  std::string big;
};

TEST_F(Https, ServesFilesOverOneKeptConnection) {
  ServerForm server(root.Str(), WithTls({{"KeepAlive", 1}}));
  std::vector<std::string> answers;
  std::string protocol, alpn;
  bool closed = false;
  ASSERT_TRUE(WithClient([&] {
    TlsClient c(server.Port(), Trusting());
    ASSERT_TRUE(c.Ok()) << c.Error();
    protocol = c.Protocol();
    alpn = c.Alpn();
    c.Send("GET /page.htm HTTP/1.1\r\nHost: localhost\r\n\r\n");
    answers.push_back(c.ReadAnswer());
    c.Send("GET /big.bin HTTP/1.1\r\nHost: localhost\r\n\r\n");
    answers.push_back(c.ReadAnswer());
    c.Send("GET /big.bin HTTP/1.1\r\nHost: localhost\r\nRange: bytes=1000000-1000009\r\n"
           "Connection: close\r\n\r\n");
    answers.push_back(c.ReadAll(&closed));
  }));
  EXPECT_EQ(protocol, "TLSv1.3");
  EXPECT_EQ(alpn, "http/1.1");
  ASSERT_EQ(answers.size(), 3u);
  EXPECT_EQ(ParseAnswer(answers[0]).body, "<html>page</html>");
  EXPECT_EQ(ParseAnswer(answers[0]).Header("Connection"), "keep-alive");
  EXPECT_TRUE(ParseAnswer(answers[1]).body == big) << "the file arrives whole and unchanged";
  EXPECT_EQ(ParseAnswer(answers[2]).status_line, "HTTP/1.1 206 Partial Content");
  EXPECT_EQ(ParseAnswer(answers[2]).body, big.substr(1000000, 10));
  EXPECT_TRUE(closed);
}

TEST_F(Https, AnswersWithoutKeepAliveAndResumesSessions) {
  ServerForm server(root.Str(), WithTls());
  std::string first, second;
  bool resumed = false, closed = false;
  ASSERT_TRUE(WithClient([&] {
    SSL_SESSION* session = nullptr;
    {
      TlsClient c(server.Port(), Trusting());
      ASSERT_TRUE(c.Ok()) << c.Error();
      c.Send("GET / HTTP/1.0\r\n\r\n");
      first = c.ReadAll(&closed);
      session = c.TakeSession();  // TLS 1.3 tickets come after the handshake: read first
    }
    TlsClient::Options o = Trusting();
    o.session = session;
    TlsClient again(server.Port(), o);
    resumed = again.Resumed();
    again.Send("GET /page.htm HTTP/1.0\r\n\r\n");
    second = again.ReadAll();
    FreeSession(session);
  }));
  EXPECT_EQ(ParseAnswer(first).status_line, "HTTP/1.0 200 OK");
  EXPECT_EQ(ParseAnswer(first).body, "<html>home</html>");
  EXPECT_TRUE(closed);
  EXPECT_TRUE(resumed) << "a ticket from the first connection resumes the session";
  EXPECT_EQ(ParseAnswer(second).body, "<html>page</html>");
}

// The peer resets while the file is going out: the sends fail (EPIPE), the program is not
// signalled, and the connection is gone.
TEST_F(Https, AClientThatVanishesMidAnswerCostsNothing) {
  ServerForm server(root.Str(), WithTls({{"KeepAlive", 1}}));
  std::string first;
  ASSERT_TRUE(WithClient([&] {
    TlsClient::Options small = Trusting();
    small.receive_buffer = 4096;  // the server's sends wait for room
    TlsClient c(server.Port(), small);
    c.Send("GET /big.bin HTTP/1.1\r\nHost: localhost\r\n\r\n");
    first = c.ReadSome(1000);
    // Our end of data, then a reset: the server's next send finds the connection broken
    // (EPIPE, which a write(2) would also raise as SIGPIPE).
    c.ShutdownWrite();
    std::this_thread::sleep_for(50ms);
    c.Reset();
  }));
  EXPECT_EQ(first.rfind("HTTP/1.1 200 OK", 0), 0u) << first.substr(0, 100);
  EXPECT_TRUE(App().RunUntil([&] { return server.LiveConnections() == 0; }, 10s));
}

TEST_F(Https, RefusesOldProtocolsAndAnswersPlainHttpInPlainText) {
  ServerForm server(root.Str(), WithTls());
  bool old_ok = true, closed = false;
  std::string plain;
  ASSERT_TRUE(WithClient([&] {
    TlsClient::Options o;
    o.max_version = TLS1_1_VERSION;
    old_ok = TlsClient(server.Port(), o).Ok();
    RawClient c(server.Port());
    c.Send("GET /page.htm HTTP/1.0\r\n\r\n");
    plain = c.ReadAll(&closed);
  }));
  EXPECT_FALSE(old_ok);
  // Byte for byte, then the end of data: the connection answers what the TLS layer reported.
  EXPECT_EQ(plain,
            "HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain\r\nContent-Length: 65\r\n"
            "Connection: close\r\n\r\n"
            "This port speaks HTTPS only: the request was sent as plain HTTP.\n");
  EXPECT_TRUE(closed);
  EXPECT_TRUE(App().RunUntil([&] { return server.LiveConnections() == 0; }, 10s));
}

// Peers that never finish a handshake: each connection ends (at the head deadline at the
// latest), nothing stays behind, and a good client is served afterwards.
struct HostileCase {
  const char* name;
  std::string bytes;
  enum class Then { kWait, kShutdown, kReset } then;
};

class HttpsHostile : public Https, public ::testing::WithParamInterface<HostileCase> {};

TEST_P(HttpsHostile, EndsTheConnectionAndLeaksNothing) {
  const HostileCase& c = GetParam();
  ServerForm server(root.Str(), WithTls({{"HeaderTimeout", 1}}));
  std::string got;
  bool closed = false;
  ASSERT_TRUE(WithClient([&] {
    RawClient raw(server.Port(), 10s);
    raw.Send(c.bytes);
    if (c.then == HostileCase::Then::kReset) {
      raw.Reset();
      return;
    }
    if (c.then == HostileCase::Then::kShutdown) raw.ShutdownWrite();
    got = raw.ReadAll(&closed);
  }));
  if (c.then != HostileCase::Then::kReset) {
    EXPECT_TRUE(closed) << "the server ended the connection";
    // An alert at most: never an HTTP answer in plain text, the 408 page least of all.
    EXPECT_EQ(got.find("HTTP/"), std::string::npos) << got;
  }
  EXPECT_TRUE(App().RunUntil([&] { return server.LiveConnections() == 0; }, 5s));
  std::string answer;
  ASSERT_TRUE(WithClient([&] {
    TlsClient good(server.Port(), Trusting());
    good.Send("GET /page.htm HTTP/1.0\r\n\r\n");
    answer = good.ReadAll();
  }));
  EXPECT_EQ(ParseAnswer(answer).body, "<html>page</html>");
}

std::string Garbage(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + 7) % 256);
  return s;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HttpsHostile,
    ::testing::Values(
        HostileCase{"NothingAtAll", "", HostileCase::Then::kWait},
        HostileCase{"TruncatedHelloThenSilence", ClientHelloBytes().substr(0, 40), HostileCase::Then::kWait},
        HostileCase{"TruncatedHelloThenEnd", ClientHelloBytes().substr(0, 40), HostileCase::Then::kShutdown},
        HostileCase{"WholeHelloThenSilence", ClientHelloBytes(), HostileCase::Then::kWait},
        HostileCase{"WholeHelloThenReset", ClientHelloBytes(), HostileCase::Then::kReset},
        HostileCase{"HandshakeRecordOfGarbage", std::string("\x16\x03\x01\x01\x00", 5) + Garbage(256),
                    HostileCase::Then::kWait},
        HostileCase{"RandomBytes", Garbage(1000), HostileCase::Then::kWait}),
    [](const ::testing::TestParamInfo<HostileCase>& param_info) { return std::string(param_info.param.name); });

// A certificate and key that cannot be used leave the module without a listener, saying which
// file is at fault: never plain text in place of HTTPS.
TEST(HttpsSettings, UnusableFilesLeaveNoListener) {
  const TestPki& pki = TestPki::Get();
  TempDir root;
  struct Case {
    const char* name;
    std::string cert, key, named;
  };
  const std::vector<Case> cases = {
      {"MissingCertificate", root.Str() + "/none.pem", pki.key, root.Str() + "/none.pem"},
      {"MissingKey", pki.cert, root.Str() + "/none.key", root.Str() + "/none.key"},
      {"KeyOfAnotherCertificate", pki.cert, pki.other_key, pki.other_key},
      {"CertificateWithoutKey", pki.cert, "", "key"},
      {"NotACertificate", pki.key, pki.key, pki.key},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MessageCapture boxes;
    platform::Json props = {{"ServerRoot", root.Str()}, {"ServerPort", 0}, {"TLSCertificate", c.cert},
                            {"TLSKey", c.key}};
    platform::Json doc = {{"form", "Main"},
                          {"components", {{{"class", ModuleClass()}, {"name", "Server"}, {"properties", props}}}}};
    auto form = platform::LoadFormText(doc.dump(), "test form");
    auto* module = dynamic_cast<server::ServerModule*>(form->Components(0));
    EXPECT_EQ(module->ListenerSettings(), nullptr);
    ASSERT_EQ(boxes.Shown().size(), 1u);
    EXPECT_NE(boxes.Shown()[0].first.find(c.named), std::string::npos) << boxes.Shown()[0].first;
  }
}

}  // namespace
}  // namespace quorvin::testing
