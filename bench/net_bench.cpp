// Micro-benchmarks of the first socket layer: the cost of one short TCP exchange (connect,
// request, answer, close) on the event loop, over 127.0.0.1.
#include <sys/socket.h>

#include <memory>
#include <string>

#include <arpa/inet.h>
#include <asio/posix/stream_descriptor.hpp>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <unistd.h>

#include "quorvin/platform/net/application.h"
#include "quorvin/platform/net/scktcomp.h"

namespace {

using quorvin::net::Application;
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
  auto& io = Application::Instance().Context();
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
    while (!done) io.run_one();
  }
  if (received != kAnswer.size() * state.iterations()) state.SkipWithError("answers incomplete");
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_RoundTripBothEnds);

// Only the server end through the layer: the client is a plain socket whose readiness the
// benchmark waits for on the same loop.
void BM_RoundTripServerEnd(benchmark::State& state) {
  auto server = AnsweringServer();
  auto& io = Application::Instance().Context();
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
    asio::posix::stream_descriptor client(io, fd);
    bool done = false;
    std::function<void(const asio::error_code&)> on_readable = [&](const asio::error_code& ec) {
      if (ec) return;
      char buffer[8192];
      for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n > 0) {
          received += static_cast<std::size_t>(n);
          continue;
        }
        if (n < 0 && errno == EAGAIN) {
          client.async_wait(asio::posix::stream_descriptor::wait_read, on_readable);
          return;
        }
        done = true;
        return;
      }
    };
    client.async_wait(asio::posix::stream_descriptor::wait_read, on_readable);
    while (!done) io.run_one();
  }
  if (received != kAnswer.size() * state.iterations()) state.SkipWithError("answers incomplete");
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_RoundTripServerEnd);

}  // namespace

BENCHMARK_MAIN();
