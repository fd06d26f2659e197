#include "quorvin/platform/net/host_lookup.h"

#include <array>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <sys/epoll.h>
#include <sys/socket.h>

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include "quorvin/platform/core/text.h"
#include "quorvin/platform/net/application.h"
#include "quorvin/platform/net/dwinsock.h"
#include "quorvin/platform/net/notify.h"
#include "quorvin/platform/net/reactor.h"
#include "quorvin/platform/net/scktcomp.h"

#include "loop_client.h"
#include "test_support.h"

namespace quorvin::net {
namespace {

using namespace testkit;
using detail::EndpointLookup;
using detail::LookupSettings;

// A name server on 127.0.0.1, on the loop: "answered.test" has the address 127.0.0.1,
// "missing.test" does not exist, "silent.test" is never answered.
class FakeNameServer final : public ReadyWatcher {
 public:
  FakeNameServer() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    Reactor::Instance().Watch(fd_, this, EPOLLIN);
  }

  ~FakeNameServer() {
    Reactor::Instance().Forget(fd_, this, true);
    ::close(fd_);
  }

  int Port() const {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
  }

  std::vector<std::string> asked;  // "name type" of every question

  void Ready(std::uint32_t) override {
    for (;;) {
      from_length_ = sizeof from_;
      const ssize_t n = ::recvfrom(fd_, packet_.data(), packet_.size(), 0,
                                   reinterpret_cast<sockaddr*>(&from_), &from_length_);
      if (n <= 0) return;
      Answer(static_cast<std::size_t>(n));
    }
  }

 private:
  void Answer(std::size_t size) {
    const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(packet_[at]); };
    std::size_t at = 12;  // the question follows the header
    std::string name;
    while (at < size && byte(at) != 0) {
      if (!name.empty()) name += '.';
      name.append(&packet_[at + 1], byte(at));
      at += byte(at) + 1u;
    }
    at += 1;
    if (at + 4 > size) return;
    const int type = byte(at) << 8 | byte(at + 1);
    name = platform::LowerCase(name);
    asked.push_back(name + (type == 1 ? " A" : type == 28 ? " AAAA" : " other"));
    if (name == "silent.test") return;

    std::string answer(packet_.data(), at + 4);  // header and question, nothing after
    const bool found = name == "answered.test";
    answer[2] = static_cast<char>(0x81);                     // an answer to a recursive query
    answer[3] = static_cast<char>(found ? 0x80 : 0x80 | 3);  // recursion available; NXDOMAIN
    answer[7] = found && type == 1 ? 1 : 0;                  // answers
    answer[8] = answer[9] = answer[10] = answer[11] = 0;     // no authority, no additional
    if (found && type == 1) {
      // The name by pointer to the question, A, IN, TTL 60, 4 bytes: 127.0.0.1.
      answer += std::string("\xc0\x0c\x00\x01\x00\x01\x00\x00\x00\x3c\x00\x04\x7f\x00\x00\x01", 16);
    }
    ::sendto(fd_, answer.data(), answer.size(), 0, reinterpret_cast<const sockaddr*>(&from_),
             from_length_);
  }

  int fd_ = -1;
  sockaddr_storage from_{};
  socklen_t from_length_ = 0;
  std::array<char, 1500> packet_{};
};

// Lookups against the fake name server and a hosts file of the test's own.
class HostLookup : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = detail::CurrentLookupSettings();
    LookupSettings settings;
    settings.hosts_file = dir_.Write("hosts",
                                     "# test hosts\n127.0.0.2 listed.test alias.test  # a comment\n"
                                     "::1 both.test\n127.0.0.3 both.test\n::2 six.test\n"
                                     "127.0.0.4 many.test\n127.0.0.5 many.test\n::4 many.test\n"
                                     "::1 refused.test\n127.0.0.1 refused.test\n"
                                     "127.0.0.2 unanswered.test\n127.0.0.1 unanswered.test\n")
                              .string();
    settings.services_file =
        dir_.Write("services", "http 80/tcp www # WorldWideWeb\nntp 123/udp\nsmtp 25/tcp mail\n")
            .string();
    settings.name_servers = "127.0.0.1:" + std::to_string(dns_.Port());
    settings.timeout = std::chrono::milliseconds(300);
    settings.tries = 1;
    detail::SetLookupSettings(settings);
  }

  void TearDown() override { detail::SetLookupSettings(saved_); }

  struct Result {
    int code = -1;
    std::string address;
  };

  static std::optional<Result> Look(const std::string& host, bool numeric_only = false) {
    std::optional<Result> result;
    EndpointLookup lookup(
        host, numeric_only, 8080, [&](int code, const EndpointLookup::Endpoints& endpoints) {
          result = Result{code, {}};
          EXPECT_EQ(code == 0, !endpoints.empty());
          for (const auto& endpoint : endpoints) {
            result->address += (result->address.empty() ? "" : " ") + endpoint.AddressText();
            EXPECT_EQ(endpoint.Port(), 8080);
          }
        });
    EXPECT_FALSE(result) << "never from inside the constructor";
    Await([&] { return result.has_value(); }, 5s);
    return result;
  }

  quorvin::testing::TempDir dir_;
  FakeNameServer dns_;
  LookupSettings saved_;
};

std::size_t ThreadCount() {
  return static_cast<std::size_t>(
      std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                    std::filesystem::directory_iterator()));
}

TEST_F(HostLookup, AnswersFromTheRightPlaceWithoutAThread) {
  const std::size_t threads = ThreadCount();

  struct Case {
    std::string host;
    bool numeric_only;
    int code;
    std::string address;
    bool asks_dns;
  };

  for (const Case& c : {
           Case{"192.0.2.7", false, 0, "192.0.2.7", false},
           Case{"::1", true, 0, "::1", false},
           Case{"listed.test", true, EINVAL, "", false},  // only numeric addresses then
           Case{"listed.test", false, 0, "127.0.0.2", false},
           Case{"ALIAS.Test", false, 0, "127.0.0.2", false},
           Case{"both.test", false, 0, "::1 127.0.0.3", false},  // IPv6 first
           Case{"many.test", false, 0, "::4 127.0.0.4 127.0.0.5", false},  // families take turns
           Case{"six.test", false, 0, "::2", false},
           Case{"localhost", false, 0, "127.0.0.1", false},  // not in this hosts file
           Case{"no-such-host.invalid", false, WSAHOST_NOT_FOUND, "", false},
           Case{"", false, WSAHOST_NOT_FOUND, "", false},
           Case{"answered.test", false, 0, "127.0.0.1", true},
           Case{"missing.test", false, WSAHOST_NOT_FOUND, "", true},
           Case{"silent.test", false, WSATRY_AGAIN, "", true},
       }) {
    SCOPED_TRACE(c.host);
    dns_.asked.clear();
    const auto start = std::chrono::steady_clock::now();
    const auto result = Look(c.host, c.numeric_only);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->code, c.code);
    EXPECT_EQ(result->address, c.address);
    EXPECT_EQ(!dns_.asked.empty(), c.asks_dns);
    if (c.asks_dns) {
      EXPECT_NE(std::find(dns_.asked.begin(), dns_.asked.end(), c.host + " A"), dns_.asked.end());
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  }
  EXPECT_EQ(ThreadCount(), threads);
}

TEST_F(HostLookup, AnAbandonedLookupReportsNothing) {
  bool called = false;
  {
    EndpointLookup lookup("silent.test", false, 80,
                          [&](int, const EndpointLookup::Endpoints&) { called = true; });
    ASSERT_TRUE(Await([&] { return !dns_.asked.empty(); }));
  }
  RunFor(500ms);  // past the name server's timeout
  EXPECT_FALSE(called);
  // The channel still works for the next one.
  const auto result = Look("answered.test");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->code, 0);
}

TEST_F(HostLookup, ServicesFromTheServicesFile) {
  struct Case {
    const char* service;
    int port;
  };

  for (const Case& c :
       {Case{"http", 80}, Case{"www", 80}, Case{"SMTP", 25}, Case{"mail", 25}, Case{"8080", 8080},
        Case{"ntp", 0}, Case{"gopher", 0}, Case{"", 0}, Case{"70000", 0}}) {
    SCOPED_TRACE(c.service);
    EXPECT_EQ(detail::ServicePort(c.service), c.port);
  }
}

// Both layers' client sockets look up through this machinery; the first layer's shows it.
TEST_F(HostLookup, FirstLayerClientConnectsByDnsNameAndReportsAFailedLookup) {
  TServerSocket server(nullptr);
  server.SetPort(0);
  server.Open();

  struct Case {
    const char* host;
    std::string service;
    int code;  // 0: connects
  };

  for (const Case& c : {Case{"answered.test", std::to_string(server.LocalPort()), 0},
                        Case{"missing.test", "80", WSAHOST_NOT_FOUND},
                        Case{"answered.test", "gopher", WSATYPE_NOT_FOUND}}) {
    SCOPED_TRACE(c.host + (" " + c.service));
    TClientSocket client(nullptr);
    client.Host = c.host;
    client.Service = c.service;
    bool connected = false;
    std::vector<std::pair<TErrorEvent, int>> errors;
    client.OnConnect = [&](TComponent*, TCustomWinSocket*) { connected = true; };
    client.OnError = [&](TComponent*, TCustomWinSocket*, TErrorEvent error, int& code) {
      errors.emplace_back(error, code);
      code = 0;
    };
    client.Open();
    ASSERT_TRUE(Await([&] { return connected || !errors.empty(); }, 5s));
    if (c.code == 0) {
      EXPECT_TRUE(connected);
      EXPECT_TRUE(errors.empty());
    } else {
      EXPECT_EQ(errors,
                (std::vector<std::pair<TErrorEvent, int>>{{TErrorEvent::eeLookup, c.code}}));
      EXPECT_FALSE(client.Active());
    }
  }
}


// A name with several addresses: each is tried until one connects, IPv6 first; an address
// that refuses is passed over at once, one that never answers after a short delay, and when
// all fail the last one's error is reported. Both layers dial the same way.
TEST_F(HostLookup, EveryAddressOfANameIsTriedUntilOneConnects) {
  // The same port on 127.0.0.2 (stalled) and 127.0.0.1 (answering).
  quorvin::testing::LoopbackListener stalled(0, "127.0.0.2");
  ASSERT_TRUE(stalled.Ok());
  stalled.Stall();
  const quorvin::testing::LoopbackListener listener(16, "127.0.0.1", stalled.Port());
  ASSERT_TRUE(listener.Ok());
  int closed_port = 0;
  {
    const quorvin::testing::LoopbackListener probe;
    closed_port = probe.Port();
  }
  struct Case {
    const char* host;
    bool open;  // the listener's port, or one nobody listens on
    int code;   // 0: connects
  };
  for (const bool second_layer : {false, true}) {
    for (const Case& c : {Case{"refused.test", true, 0},      // ::1 refuses, 127.0.0.1 answers
                          Case{"unanswered.test", true, 0},   // 127.0.0.2 never answers
                          Case{"refused.test", false, ECONNREFUSED}}) {
      SCOPED_TRACE(std::string(c.host) + (c.open ? " open" : " closed") + (second_layer ? " second layer" : ""));
      const int port = c.open ? listener.Port() : closed_port;
      bool connected = false;
      std::vector<int> errors;
      const auto start = std::chrono::steady_clock::now();
      if (second_layer) {
        TBasicClientSocket client(nullptr);
        client.Host = c.host;
        client.SetPort(std::to_string(port));
        client.OnConnect = [&](TComponent*, TStreamSocket*) { connected = true; };
        client.OnError = [&](TComponent*, TStreamSocket*, TSockErrorOp op, int code) {
          EXPECT_EQ(op, TSockErrorOp::opConnect);
          errors.push_back(code);
        };
        client.Open();
        ASSERT_TRUE(Await([&] { return connected || !errors.empty(); }, 5s));
      } else {
        TClientSocket client(nullptr);
        client.Host = c.host;
        client.Port = port;
        client.OnConnect = [&](TComponent*, TCustomWinSocket*) { connected = true; };
        client.OnError = [&](TComponent*, TCustomWinSocket*, TErrorEvent error, int& code) {
          EXPECT_EQ(error, TErrorEvent::eeConnect);
          errors.push_back(code);
          code = 0;
        };
        client.Open();
        ASSERT_TRUE(Await([&] { return connected || !errors.empty(); }, 5s));
      }
      EXPECT_EQ(connected, c.code == 0);
      EXPECT_EQ(errors, c.code == 0 ? std::vector<int>{} : std::vector<int>{c.code});
      // Not a measurement: a fallback that waited for the unanswered address's connect to
      // time out (minutes) would be far above this.
      EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
    }
  }
}

}  // namespace
}  // namespace quorvin::net
