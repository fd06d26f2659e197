// Micro-benchmarks of the first socket layer: the cost of one short TCP exchange (connect,
// request, answer, close) on the event loop, over 127.0.0.1.
#include <sys/epoll.h>
#include <sys/socket.h>

#include <chrono>
#include <memory>
#include <string>

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <unistd.h>

#include "quorvin/platform/net/application.h"
#include "quorvin/platform/net/reactor.h"
#include "quorvin/platform/net/scktcomp.h"

namespace {

using quorvin::net::Application;
using quorvin::net::Reactor;
using quorvin::net::ReadyWatcher;
using quorvin::net::TClientSocket;
using quorvin::net::TCustomWinSocket;
using quorvin::net::TServerSocket;
using quorvin::platform::TComponent;

constexpr std::string_view kRequest = "GET / HTTP/1.0\r\n\r\n";
constexpr std::string_view kAnswer = "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello";

// A listener that answers every request with kAnswer and closes, as a one-request server does.
std::unique_ptr<TServerSocket> AnsweringServer() {
  auto server = std::make_unique<TServerSocket>(nullptr);
  server->SetPort(0);
  server->OnClientRead = [](TComponent*, TCustomWinSocket* socket) {
    char buffer[8192];
    if (socket->ReceiveBuf(buffer, sizeof buffer) <= 0) return;
    socket->SendBuf(kAnswer.data(), static_cast<int>(kAnswer.size()));
    socket->Close();
  };
  server->Open();
  return server;
}

// Both ends through the layer: a TClientSocket connects, sends, reads the answer and sees the
// close; the listener accepts, reads, answers and closes.
void BM_RoundTripBothEnds(benchmark::State& state) {
  auto server = AnsweringServer();
  Reactor& loop = Reactor::Instance();
  TClientSocket client(nullptr);
  client.Address = "127.0.0.1";
  client.Port = server->LocalPort();
  bool done = false;
  std::size_t received = 0;
  client.OnConnect = [](TComponent*, TCustomWinSocket* socket) { socket->SendText(kRequest); };
  client.OnRead = [&](TComponent*, TCustomWinSocket* socket) {
    char buffer[8192];
    const int n = socket->ReceiveBuf(buffer, sizeof buffer);
    if (n > 0) received += static_cast<std::size_t>(n);
  };
  client.OnDisconnect = [&](TComponent*, TCustomWinSocket*) { done = true; };
  for (auto _ : state) {
    done = false;
    client.Open();
    while (!done) loop.Turn(std::chrono::seconds(1));
  }
  if (received != kAnswer.size() * state.iterations()) state.SkipWithError("answers incomplete");
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_RoundTripBothEnds);

// Only the server end through the layer: the client is a plain socket whose readiness the
// benchmark waits for on the same loop.
// The plain client end: reads everything that arrived, and notes the server's close.
class PlainClient final : public ReadyWatcher {
 public:
  explicit PlainClient(int fd) : fd_(fd) { Reactor::Instance().Watch(fd, this, EPOLLIN | EPOLLET); }
  ~PlainClient() {
    Reactor::Instance().Forget(fd_, this, false);
    ::close(fd_);
  }
  PlainClient(const PlainClient&) = delete;
  PlainClient& operator=(const PlainClient&) = delete;

  void Ready(std::uint32_t) override {
    char buffer[8192];
    for (;;) {
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n > 0) {
        received += static_cast<std::size_t>(n);
        continue;
      }
      if (n == 0 || errno != EAGAIN) done = true;
      return;
    }
  }

  std::size_t received = 0;
  bool done = false;

 private:
  int fd_;
};

void BM_RoundTripServerEnd(benchmark::State& state) {
  auto server = AnsweringServer();
  Reactor& loop = Reactor::Instance();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(server->LocalPort()));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::size_t received = 0;
  for (auto _ : state) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // On loopback the kernel completes the connection from the listener's backlog at once.
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      state.SkipWithError("connect failed");
      ::close(fd);
      break;
    }
    ::send(fd, kRequest.data(), kRequest.size(), 0);
    ::fcntl(fd, F_SETFL, O_NONBLOCK);
    PlainClient client(fd);
    while (!client.done) loop.Turn(std::chrono::seconds(1));
    received += client.received;
  }
  if (received != kAnswer.size() * state.iterations()) state.SkipWithError("answers incomplete");
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_RoundTripServerEnd);

}  // namespace

BENCHMARK_MAIN();
