// Load and resource faults against quorvin-serve: slow clients that must hold no one out, churn that must leave the server's memory where it was, and a descriptor
// table that runs full and empties again. The figures go to the test's output and its XML
// properties.
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include "fault_support.h"

namespace quorvin::testing {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double Since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

// Sends `request` a byte a second until the server closes the connection or `limit` passes;
// returns the seconds from `start` to the close, or -1 when the server never closed it.
double Drip(int fd, std::string_view request, Clock::time_point start, std::chrono::seconds limit) {
  for (std::size_t i = 0; Clock::now() - start < limit; ++i) {
    if (i < request.size()) ::send(fd, request.data() + i, 1, MSG_NOSIGNAL);
    // The pause between two bytes is spent watching for the server's close.
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 1000) > 0) {
      char buf[256];
      if (::recv(fd, buf, sizeof buf, 0) <= 0) return Since(start);
    }
  }
  return -1;
}

void Report(const char* name, double value, const char* unit) {
  std::printf("[ figure   ] %s: %.2f %s\n", name, value, unit);
  ::testing::Test::RecordProperty(name, std::to_string(value));
}

using SlowClients = ServedTest;

TEST_P(SlowClients, DrippingClientsHoldNoOneOutAndEndAtTheirHeadDeadline) {
  ASSERT_NO_FATAL_FAILURE(
      StartServer({"--root", site_.Root(), "--no-dispatcher", "--header-timeout", "4"}));
  if (IsSkipped()) return;
  const auto start = Clock::now();
  constexpr int kDrippers = 40;  // far more than the ten places the first binding once had
  int fds[kDrippers];
  for (int& fd : fds) {
    fd = ConnectToLoopback(Port());
    ASSERT_GE(fd, 0);
  }
  std::vector<double> closed_after(kDrippers, -1);
  std::vector<std::thread> drippers;
  for (int i = 0; i < kDrippers; ++i) {
    drippers.emplace_back([&, i] {
      closed_after[static_cast<std::size_t>(i)] =
          Drip(fds[i], "GET /page.htm HTTP/1.0\r\n", start, 12s);
    });
  }
  // A client that connects after all of them and asks at once is served at once: long before
  // the drippers' head deadline would free a place.
  const Reply normal = Ask(Port(), "GET /page.htm HTTP/1.0\r\n\r\n", false, 15s);
  const double served_after = Since(start);
  for (auto& t : drippers) t.join();
  for (int fd : fds) ::close(fd);

  EXPECT_EQ(normal.Status(), 200) << normal.answer;
  EXPECT_EQ(ParseAnswer(normal.answer).body, kPageText);
  Report("normal client served after (s)", served_after, "s");
  EXPECT_LT(served_after, 3.0) << "the dripping clients held the normal one out";
  // Each dripper's head took longer than its 4 s: the server answered 408 and closed.
  for (double t : closed_after) {
    EXPECT_GE(t, 3.5) << "a dripping client was closed before its head deadline";
    EXPECT_LT(t, 9.0) << "a dripping client outlived its head deadline";
  }
  Report("slowest dripping client closed after (s)",
         *std::max_element(closed_after.begin(), closed_after.end()), "s");
  ExpectServes("after the slow clients");
  ExpectCleanStop();
}

// Short requests from `threads` threads at once, `each` per thread; returns how many were
// answered whole.
int ConcurrentRequests(int port, int threads, int each) {
  std::atomic<int> answered{0};
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&, t] {
      for (int i = 0; i < each; ++i) {
        const bool action = (i + t) % 2 == 0;
        const Reply r =
            Ask(port, action ? "GET /hello HTTP/1.0\r\n\r\n" : "GET /page.htm HTTP/1.0\r\n\r\n");
        const ParsedAnswer a = ParseAnswer(r.answer);
        if (r.Status() == 200 && r.closed &&
            (action ? a.body.find("Hello") != std::string::npos : a.body == kPageText)) {
          ++answered;
        }
      }
    });
  }
  for (auto& t : pool) t.join();
  return answered.load();
}

// One round of churn: connections closed without a request (every other one with a reset),
// hundreds of short requests from twenty clients at once, and clients that reset in the middle
// of a large file. Paced, a normal request follows every 50 closed connections, so that the
// server has caught up with them before more come. Returns how many of the normal requests were
// answered whole, of 500 (560 paced).
int ChurnRound(int port, bool paced) {
  int connected = 0;
  int answered = 0;
  for (int i = 0; i < 3000; ++i) {
    const int fd = ConnectToLoopback(port);
    if (fd < 0) continue;
    ++connected;
    if (i % 2 == 1) {
      const linger reset{1, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    ::close(fd);
    if (paced && i % 50 == 49) answered += ConcurrentRequests(port, 1, 1);
  }
  EXPECT_EQ(connected, 3000);
  answered += ConcurrentRequests(port, 20, 20);

  std::vector<std::thread> readers;
  std::atomic<int> partial{0};
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&] {
      for (int i = 0; i < 10; ++i) {
        const int fd = ConnectToLoopback(port);
        if (fd < 0) continue;
        const std::string request = "GET /big.bin HTTP/1.0\r\n\r\n";
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        std::size_t got = 0;
        char buf[65536];
        while (got < 256 * 1024) {
          pollfd p{fd, POLLIN, 0};
          if (::poll(&p, 1, 10000) <= 0) break;
          const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
          if (n <= 0) break;
          got += static_cast<std::size_t>(n);
        }
        if (got >= 256 * 1024) ++partial;
        const linger reset{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        ::close(fd);
      }
    });
  }
  for (auto& t : readers) t.join();
  EXPECT_EQ(partial.load(), 40);
  // The server has seen every close by the time it answers these.
  return answered + ConcurrentRequests(port, 10, 10);
}

using Churn = ServedTest;

TEST_P(Churn, MemoryReturnsToWhereItWasAndEveryRequestIsAnswered) {
  site_.Dir().Write("site/big.bin", std::string(8 << 20, 'z'));
  ASSERT_NO_FATAL_FAILURE(StartServer({"--root", site_.Root()}));
  if (IsSkipped()) return;
  ASSERT_EQ(ConcurrentRequests(Port(), 10, 10), 100);
  const long at_start = Server().Process().RssKiB();
  const auto start = Clock::now();
  int answered = ChurnRound(Port(), true);
  const double seconds = Since(start);
  const long before = Server().Process().RssKiB();
  // A second round needs nothing more: what grows now is held by something.
  answered += ChurnRound(Port(), true);
  const long after = Server().Process().RssKiB();
  // A burst: the connections come faster than the server closes them. The first binding serves
  // ten at a time; the second has no limit, and its memory follows the busiest moment.
  answered += ChurnRound(Port(), false);
  const long after_burst = Server().Process().RssKiB();
  ExpectServes("after the churn");

  Report("churn round duration (s)", seconds, "s");
  Report("server RSS at start (KiB)", static_cast<double>(at_start), "KiB");
  Report("server RSS after a paced round (KiB)", static_cast<double>(before), "KiB");
  Report("server RSS after two paced rounds (KiB)", static_cast<double>(after), "KiB");
  Report("server RSS after a burst round (KiB)", static_cast<double>(after_burst), "KiB");
  Report("requests answered", answered, "of 1620");
  EXPECT_EQ(answered, 1620);
  const long slack_kib = (kSanitized ? 8 : 4) * 1024;
  EXPECT_LT(before - at_start, slack_kib)
      << "resident memory grew from " << at_start << " to " << before << " KiB";
  EXPECT_LT(after - before, slack_kib)
      << "resident memory grew from " << before << " to " << after << " KiB";
  if (GetParam() == "scktcomp") {
    EXPECT_LT(after_burst - at_start, slack_kib)
        << "resident memory grew from " << at_start << " to " << after_burst << " KiB";
  }
  ExpectCleanStop();
}

using BodyMemory = ServedTest;

// Forty clients each send 15 MiB (one byte short of their announced length) and wait: twenty to
// an action, whose bodies wait in files, and twenty to a file, whose bodies nobody keeps. A
// server that kept bodies whole would hold 600 MiB here.
TEST_P(BodyMemory, BodiesInFlightKeepTheServerSmall) {
  ASSERT_NO_FATAL_FAILURE(StartServer({"--root", site_.Root()}));
  if (IsSkipped()) return;
  const long at_start = Server().Process().PeakRssKiB();
  constexpr std::size_t kBody = 15 << 20;
  const std::string body(kBody - 1, 'b');
  std::vector<int> fds;
  std::vector<std::thread> senders;
  for (int i = 0; i < 40; ++i) {
    const int fd = ConnectToLoopback(Port());
    ASSERT_GE(fd, 0);
    fds.push_back(fd);
    const std::string head = std::string(i % 2 == 0 ? "POST /echo" : "POST /page.htm") +
                             " HTTP/1.0\r\nContent-Length: " + std::to_string(kBody) + "\r\n\r\n";
    senders.emplace_back([fd, head, &body] {
      ::send(fd, head.data(), head.size(), MSG_NOSIGNAL);
      for (std::size_t at = 0; at < body.size();) {
        const ssize_t n = ::send(fd, body.data() + at, body.size() - at, MSG_NOSIGNAL);
        if (n <= 0) return;
        at += static_cast<std::size_t>(n);
      }
    });
  }
  for (std::thread& t : senders) t.join();
  const long peak = Server().Process().PeakRssKiB();
  for (int fd : fds) ::close(fd);
  Report("server peak RSS with 40 bodies of 15 MiB in flight (KiB)", static_cast<double>(peak), "KiB");
  EXPECT_LT(peak - at_start, (kSanitized ? 128 : 64) * 1024)
      << "peak resident memory grew from " << at_start << " to " << peak << " KiB";
  ExpectServes("after the bodies");
  ExpectCleanStop();
}

// quorvin-fetch -T sends a 48 MiB file as it reads it: its memory stays far below the file's
// size, and so does the server's, which takes no body for a file.
TEST_P(BodyMemory, AnUploadFromAFileGoesOutInSmallMemory) {
  ASSERT_NO_FATAL_FAILURE(StartServer({"--root", site_.Root(), "--max-body", "64M"}));
  if (IsSkipped()) return;
  const std::string file = site_.Dir().Str() + "/upload.bin";
  site_.Dir().Write("upload.bin", std::string(48 << 20, 'u'));
  const RunResult r = RunProgram({FetchProgram(), "--binding", GetParam(), "-i", "-T", file,
                                  "http://127.0.0.1:" + std::to_string(Port()) + "/page.htm"},
                                 60s);
  Report("quorvin-fetch peak RSS sending 48 MiB (KiB)", static_cast<double>(r.max_rss_kib), "KiB");
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("501 Not Implemented"), std::string::npos) << r.out.substr(0, 200);
  EXPECT_LT(r.max_rss_kib, (24 + kSanitizerMiB) * 1024);
  EXPECT_LT(Server().Process().PeakRssKiB(), (32 + kSanitizerMiB) * 1024);
  ExpectCleanStop();
}

// quorvin-fetch -T - sends 48 MiB from a pipe on its standard input as it reads it: in chunks
// over HTTP/1.1, over HTTP/1.0 by way of a file without a name that tells the length. Its memory
// stays far below the body's size either way; the server's action takes the whole body.
TEST_P(BodyMemory, AnUploadFromStandardInputGoesOutInSmallMemory) {
  ASSERT_NO_FATAL_FAILURE(StartServer({"--root", site_.Root(), "--max-body", "64M"}));
  if (IsSkipped()) return;
  std::signal(SIGPIPE, SIG_IGN);  // a writer whose reader has gone ends on a broken pipe
  for (const char* version : {"HTTP/1.1", "HTTP/1.0"}) {
    SCOPED_TRACE(version);
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    std::thread writer([w = fds[1]] {
      const std::string piece(64 * 1024, 'p');
      for (int i = 0; i < 48 * 16; ++i) {
        if (::write(w, piece.data(), piece.size()) != static_cast<ssize_t>(piece.size())) break;
      }
      ::close(w);
    });
    const RunResult r =
        RunProgram({FetchProgram(), "--binding", GetParam(), "--protocol-version", version, "-i",
                    "-T", "-", "http://127.0.0.1:" + std::to_string(Port()) + "/status?code=201"},
                   60s, fds[0]);
    ::close(fds[0]);
    writer.join();
    Report((std::string("quorvin-fetch peak RSS sending 48 MiB from standard input, ") + version +
            " (KiB)")
               .c_str(),
           static_cast<double>(r.max_rss_kib), "KiB");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("201 Created"), std::string::npos) << r.out.substr(0, 200);
    EXPECT_LT(r.max_rss_kib, (24 + kSanitizerMiB) * 1024);
  }
  EXPECT_LT(Server().Process().PeakRssKiB(), (32 + kSanitizerMiB) * 1024);
  ExpectCleanStop();
}

using Descriptors = ServedTest;

double CpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  long ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14 || i == 15) ticks += std::atol(field.c_str());  // utime, stime
  }
  return static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

TEST_P(Descriptors, ServingGoesOnWhenDescriptorsComeBack) {
  // A few descriptors above what the server holds at rest: the descriptor table fills before
  // the first binding's ten slots do.
  constexpr rlim_t kMaxFiles = 16;
  ASSERT_NO_FATAL_FAILURE(StartServer({"--root", site_.Root(), "--no-dispatcher"}, kMaxFiles));
  if (IsSkipped()) return;
  const int at_rest = Server().Process().OpenFiles();
  ExpectServes("with a low descriptor limit");

  std::vector<int> held;
  for (int i = 0; i < 60; ++i) {
    const int fd = ConnectToLoopback(Port());
    if (fd >= 0) held.push_back(fd);
  }
  // While the table is full the server must not spin on a listener it cannot accept from.
  const double cpu_before = CpuSeconds(Server().Process().Pid());
  const Reply during = Ask(Port(), "GET /page.htm HTTP/1.0\r\n\r\n", false, 1500ms);
  const double cpu_spent = CpuSeconds(Server().Process().Pid()) - cpu_before;
  const int full = Server().Process().OpenFiles();
  for (int fd : held) ::close(fd);

  const auto start = Clock::now();
  int served = 0;
  for (int i = 0; i < 20; ++i) {
    const Reply r = Ask(Port(), "GET /page.htm HTTP/1.0\r\n\r\n", false, 10s);
    served += r.Status() == 200 && ParseAnswer(r.answer).body == kPageText ? 1 : 0;
  }
  Report("descriptors at rest", at_rest, "");
  Report("descriptors with the table full", full, "");
  Report("CPU seconds spent while full (1.5 s)", cpu_spent, "s");
  Report("a request while full was answered", during.Status() == 200 ? 1 : 0, "");
  Report("first 20 requests after the release answered in (s)", Since(start), "s");
  EXPECT_EQ(served, 20);
  EXPECT_LT(cpu_spent, 0.5) << "the server busy-loops while it cannot accept";
  ExpectCleanStop();
}

INSTANTIATE_TEST_SUITE_P(Bindings, SlowClients, ::testing::ValuesIn(Bindings()), BindingName);
INSTANTIATE_TEST_SUITE_P(Bindings, Churn, ::testing::ValuesIn(Bindings()), BindingName);
INSTANTIATE_TEST_SUITE_P(Bindings, Descriptors, ::testing::ValuesIn(Bindings()), BindingName);
INSTANTIATE_TEST_SUITE_P(Bindings, BodyMemory, ::testing::ValuesIn(Bindings()), BindingName);

}  // namespace
}  // namespace quorvin::testing
