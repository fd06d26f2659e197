#include "raw_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "quorvin/platform/core/text.h"
#include "quorvin/platform/net/application.h"

namespace quorvin::testing {

RawClient::RawClient(int port, std::chrono::milliseconds timeout) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
  ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

RawClient::~RawClient() {
  if (fd_ >= 0) ::close(fd_);
}

bool RawClient::Send(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

void RawClient::SetReceiveBuffer(int bytes) {
  ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

void RawClient::ShutdownWrite() { ::shutdown(fd_, SHUT_WR); }

std::string RawClient::ReadAll(bool* closed) {
  std::string out;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n > 0) {
      out.append(buf, static_cast<std::size_t>(n));
      continue;
    }
    if (closed != nullptr) *closed = (n == 0 || errno == ECONNRESET);
    return out;
  }
}

std::string RawClient::ReadAnswer(bool head) {
  char buf[65536];
  return TakeAnswer(
      buffered_,
      [&] {
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) return false;
        buffered_.append(buf, static_cast<std::size_t>(n));
        return true;
      },
      head);
}

std::string TakeAnswer(std::string& buffered, const std::function<bool()>& fill, bool head) {
  std::size_t end;
  while ((end = buffered.find("\r\n\r\n")) == std::string::npos) {
    if (!fill()) return {};
  }
  std::size_t length = 0;
  if (!head) {
    const std::string length_text = ParseAnswer(buffered.substr(0, end + 4)).Header("Content-Length");
    length = length_text.empty() ? 0 : std::stoul(length_text);
  }
  while (buffered.size() < end + 4 + length) {
    if (!fill()) break;
  }
  const std::size_t size = std::min(buffered.size(), end + 4 + length);
  std::string answer = buffered.substr(0, size);
  buffered.erase(0, size);
  return answer;
}

void RawClient::Reset() {
  linger lg{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  ::close(fd_);
  fd_ = -1;
}

Exchange Fetch(int port, const std::vector<std::string>& pieces, std::chrono::milliseconds timeout) {
  Exchange result;
  std::atomic<bool> done{false};
  std::thread client([&] {
    RawClient c(port, timeout);
    if (c.Connected()) {
      for (const auto& piece : pieces) {
        if (!c.Send(piece)) break;
        // Separate sends arrive as separate reads only if the server reads in between.
        std::this_thread::sleep_for(std::chrono::milliseconds(pieces.size() > 1 ? 5 : 0));
      }
      result.answer = c.ReadAll(&result.closed);
    }
    done = true;
  });
  net::Application::Instance().RunUntil([&] { return done.load(); }, timeout + std::chrono::seconds(2));
  client.join();
  return result;
}

std::string ParsedAnswer::Header(std::string_view name) const {
  for (const auto& line : header_lines) {
    const auto colon = line.find(':');
    if (colon != std::string::npos && platform::SameText(std::string_view(line).substr(0, colon), name)) {
      std::string_view v = std::string_view(line).substr(colon + 1);
      while (!v.empty() && v.front() == ' ') v.remove_prefix(1);
      return std::string(v);
    }
  }
  return {};
}

ParsedAnswer ParseAnswer(const std::string& answer) {
  ParsedAnswer p;
  const auto end = answer.find("\r\n\r\n");
  const std::string head = answer.substr(0, end);
  p.body = end == std::string::npos ? std::string() : answer.substr(end + 4);
  std::size_t start = 0;
  bool first = true;
  while (start <= head.size()) {
    auto eol = head.find("\r\n", start);
    if (eol == std::string::npos) eol = head.size();
    std::string line = head.substr(start, eol - start);
    if (first) {
      p.status_line = line;
      first = false;
    } else if (!line.empty()) {
      p.header_lines.push_back(line);
    }
    start = eol + 2;
  }
  return p;
}

}  // namespace quorvin::testing
