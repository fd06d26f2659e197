// quorvin-fetch against a hostile server of the test's own on 127.0.0.1: lengths that lie, lines
// without end, bodies without end, answers dripped a byte at a time. The client must end within
// its --timeout with a clear message, and its memory must stay bounded.
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include "fault_support.h"

namespace quorvin::testing {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// How long a hostile answer may go on at most, whatever the client does.
constexpr auto kBehaviourLimit = 12s;

// One connection of the hostile server: what it sends, at its own pace.
class Peer {
 public:
  explicit Peer(int fd) : fd_(fd), start_(Clock::now()) {}

  // False once the client has gone or the time is up.
  bool Send(std::string_view bytes) {
    while (!bytes.empty()) {
      if (Clock::now() - start_ > kBehaviourLimit) return false;
      const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n <= 0) return false;
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }

  // Waits `pause`, or less when the client goes: the pacing of a slow server.
  bool Pause(std::chrono::milliseconds pause) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(pause.count())) > 0) {
      char buf[512];
      if (::recv(fd_, buf, sizeof buf, MSG_DONTWAIT) == 0) return false;
    }
    return Clock::now() - start_ < kBehaviourLimit;
  }

  // Keeps the connection open, sending nothing, until the client goes.
  void Hold() {
    while (Pause(500ms)) {
    }
  }

 private:
  int fd_;
  Clock::time_point start_;
};

using Behaviour = std::function<void(Peer&)>;

// Listens on 127.0.0.1 on a port of the system's choice and answers each connection with the
// behaviour, one connection at a time, until it is destroyed.
class HostileServer {
 public:
  explicit HostileServer(Behaviour behaviour) : behaviour_(std::move(behaviour)) {
    thread_ = std::thread([this] { Serve(); });
  }

  ~HostileServer() {
    ::shutdown(listener_.Fd(), SHUT_RDWR);  // wakes the accept
    thread_.join();
  }

  int Port() const { return listener_.Port(); }

 private:
  void Serve() {
    for (;;) {
      const int fd = ::accept4(listener_.Fd(), nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;
      SkipRequest(fd);
      Peer peer(fd);
      behaviour_(peer);
      ::close(fd);
    }
  }

  // Reads the request's head; what it asks does not matter to a hostile server.
  static void SkipRequest(int fd) {
    std::string got;
    while (got.find("\r\n\r\n") == std::string::npos && got.size() < 65536) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 5000) <= 0) break;
      char buf[4096];
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      got.append(buf, static_cast<std::size_t>(n));
    }
  }

  Behaviour behaviour_;
  quorvin::testing::LoopbackListener listener_{8};
  std::thread thread_;
};

const std::string kOk = "HTTP/1.0 200 OK\r\n";

// Sends `bytes` in pieces of `piece` bytes with `pause` between them, for ever.
void Endless(Peer& p, const std::string& head, const std::string& piece,
             std::chrono::milliseconds pause) {
  if (!p.Send(head)) return;
  while (p.Send(piece) && (pause.count() == 0 || p.Pause(pause))) {
  }
}

struct HostileCase {
  const char* name;
  Behaviour behaviour;
  int exit_code;        // what quorvin-fetch ends with: 0 an answer, 1 a failure, 3 the timeout
  const char* message;  // in its standard error (or, for exit code 0, its standard output)
  long max_rss_mib;     // the most memory it may hold
};

const std::vector<HostileCase>& HostileCases() {
  static const std::vector<HostileCase> cases = {
      // The body goes to the output as it arrives, so a length beyond what memory could hold is
      // no reason to refuse: the client waits, as curl does, until its time limit, holding
      // nothing of the announced size.
      {"LengthAboveWhatMemoryHolds",
       [](Peer& p) {
         if (p.Send(kOk + "Content-Length: 2000000000\r\n\r\nabc")) p.Hold();
       },
       3, "no complete answer within", 32},
      {"LengthBeyond32Bits",
       [](Peer& p) {
         if (p.Send(kOk + "Content-Length: 99999999999\r\n\r\nabc")) p.Hold();
       },
       3, "no complete answer within 2 s", 32},
      {"LargeLengthNeverSent",  // announced, never sent: the client holds nothing for it
       [](Peer& p) {
         if (p.Send(kOk + "Content-Length: 1000000000\r\n\r\n0123456789")) p.Hold();
       },
       3, "no complete answer within 2 s", 32},
      {"NegativeLengthThenClose", [](Peer& p) { p.Send(kOk + "Content-Length: -5\r\n\r\nabc"); }, 0,
       "abc", 32},
      {"GarbageLength",
       [](Peer& p) {
         if (p.Send(kOk + "Content-Length: 12abc\r\n\r\nxyz")) p.Hold();
       },
       3, "no complete answer within 2 s", 32},
      {"HeaderLineOfOneMiB",
       [](Peer& p) { p.Send(kOk + "X-Long: " + std::string(1 << 20, 'a') + "\r\n\r\n"); }, 1,
       "longer than 8192", 32},
      {"StatusLineOfOneMiB",
       [](Peer& p) { p.Send("HTTP/1.0 200 " + std::string(1 << 20, 'b') + "\r\n\r\n"); }, 1,
       "longer than 8192", 32},
      {"EndlessBody", [](Peer& p) { Endless(p, kOk + "\r\n", std::string(16384, 'x'), 10ms); }, 3,
       "no complete answer within 2 s", 64},
      {"BodyAfterTheAnnouncedLength",
       [](Peer& p) {
         Endless(p, kOk + "Content-Length: 5\r\n\r\nhello", std::string(65536, 'y'), 0ms);
       },
       0, "hello", 32},
      {"DripOfTheHead",
       [](Peer& p) {
         for (char c : kOk + "Content-Length: 3\r\n\r\nabc") {
           if (!p.Send(std::string(1, c)) || !p.Pause(200ms)) return;
         }
       },
       3, "no complete answer within 2 s", 32},
      {"DripOfTheBody",
       [](Peer& p) {
         if (!p.Send(kOk + "Content-Length: 100\r\n\r\n")) return;
         while (p.Send("d") && p.Pause(100ms)) {
         }
       },
       3, "no complete answer within 2 s", 32},
      {"ClosedInTheBody", [](Peer& p) { p.Send(kOk + "Content-Length: 10\r\n\r\nabc"); }, 1,
       "closed after 3 of 10 body bytes", 32},
      {"ClosedInTheHead", [](Peer& p) { p.Send(kOk + "Content-Len"); }, 1,
       "before the response head was complete", 32},
      {"ClosedWithoutAnswer", [](Peer&) {}, 1, "closed without an answer", 32},
      {"NeverAnswers", [](Peer& p) { p.Hold(); }, 3, "no complete answer within 2 s", 32},
  };
  return cases;
}

class HostileServerTest : public ::testing::TestWithParam<std::string> {
 protected:
  RunResult Fetch(int port, std::vector<std::string> extra = {}) {
    std::vector<std::string> argv = {FetchProgram(), "--binding", GetParam(), "--timeout", "2"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.push_back("http://127.0.0.1:" + std::to_string(port) + "/");
    return RunProgram(argv, 15s);
  }

  // Skips the test while the binding's client is not built.
  void RequireBinding() {
    const RunResult r =
        RunProgram({FetchProgram(), "--binding", GetParam(), "http://127.0.0.1:1/"}, 15s);
    if (r.exit_code == 2 && r.err.find("not built yet") != std::string::npos) {
      GTEST_SKIP() << "quorvin-fetch: the " << GetParam() << " binding is not built yet";
    }
  }
};

TEST_P(HostileServerTest, FetchEndsInTimeWithAClearMessageAndBoundedMemory) {
  ASSERT_NO_FATAL_FAILURE(RequireBinding());
  if (IsSkipped()) return;
  for (const HostileCase& c : HostileCases()) {
    HostileServer server(c.behaviour);
    const RunResult r = Fetch(server.Port());
    EXPECT_EQ(r.exit_code, c.exit_code) << c.name << "\nstderr: " << r.err.substr(0, 300);
    EXPECT_NE((c.exit_code == 0 ? r.out : r.err).find(c.message), std::string::npos)
        << c.name << "\nstderr: " << r.err.substr(0, 300) << "\nstdout: " << r.out.substr(0, 100);
    EXPECT_LT(r.seconds, 3.5) << c.name;
    EXPECT_LT(r.max_rss_kib, (c.max_rss_mib + kSanitizerMiB) * 1024) << c.name;
    std::printf("[ figure   ] %-32s exit %d after %.2f s, peak RSS %ld KiB (sampled every 10 ms)\n",
                c.name, r.exit_code, r.seconds, r.max_rss_kib);
  }
}

// A server that sends header lines without end must not make quorvin-fetch hold more memory
// every moment until its timeout: the reader bounds the head.
TEST_P(HostileServerTest, EndlessHeaderLinesKeepMemoryBounded) {
  ASSERT_NO_FATAL_FAILURE(RequireBinding());
  if (IsSkipped()) return;
  HostileServer server(
      [](Peer& p) { Endless(p, kOk, "X-Filler: " + std::string(8000, 'h') + "\r\n", 0ms); });
  const RunResult r = Fetch(server.Port());
  EXPECT_NE(r.exit_code, 0);
  EXPECT_LT(r.seconds, 3.5);
  EXPECT_LT(r.max_rss_kib, (64 + kSanitizerMiB) * 1024)
      << "quorvin-fetch held " << r.max_rss_kib << " KiB";
}

INSTANTIATE_TEST_SUITE_P(Bindings, HostileServerTest, ::testing::ValuesIn(Bindings()), BindingName);

}  // namespace
}  // namespace quorvin::testing
