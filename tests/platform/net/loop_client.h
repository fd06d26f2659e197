#pragma once

#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include "quorvin/platform/net/application.h"

// What the socket-layer tests share: a loop-driven peer, test data and waiting on the loop.
namespace quorvin::net::testkit {

using namespace std::chrono_literals;

inline bool Await(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10s) {
  return Application::Instance().RunUntil(condition, timeout);
}

inline void RunFor(std::chrono::milliseconds duration) {
  Application::Instance().RunFor(duration);
}

// Names parameterised cases after their `name` field.
struct ByName {
  template <class P>
  std::string operator()(const ::testing::TestParamInfo<P>& case_info) const {
    return case_info.param.name;
  }
};

// Bytes that show a reordering or a lost piece: no short period.
inline std::string Pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) % 253);
  return bytes;
}

inline void SetBuffer(int fd, int option, int bytes) {
  ::setsockopt(fd, SOL_SOCKET, option, &bytes, sizeof bytes);
}

// A plain client socket: connects (the kernel completes it from the backlog, before the
// listener accepts), then works non-blocking so that the test reads it from the loop.
class RawClient {
 public:
  explicit RawClient(int port, int receive_buffer = 0) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receive_buffer > 0) SetBuffer(fd_, SO_RCVBUF, receive_buffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
  }

  ~RawClient() {
    if (fd_ >= 0) ::close(fd_);
  }

  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool Connected() const { return connected_; }

  void Send(std::string_view bytes) const {
    ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }

  // Takes what has arrived; true once the peer has closed.
  bool ReadAvailable() {
    char piece[64 * 1024];
    for (;;) {
      const ssize_t n = ::recv(fd_, piece, sizeof piece, 0);
      if (n > 0) {
        received.append(piece, static_cast<std::size_t>(n));
        continue;
      }
      if (n == 0) return true;
      return errno != EAGAIN && errno != EWOULDBLOCK;
    }
  }

  void Finish() {
    ::close(fd_);
    fd_ = -1;
  }

  // Closes with a reset instead of the usual end of data.
  void Reset() {
    const linger abort{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    ::close(fd_);
    fd_ = -1;
  }

  std::string received;

 private:
  int fd_ = -1;
  bool connected_ = false;
};

}  // namespace quorvin::net::testkit
