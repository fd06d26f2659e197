#include "quorvin/platform/net/event_listener.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include "quorvin/platform/net/notify.h"

namespace quorvin::net::detail {

namespace {

int shared_socket = -1;
// The listeners made from the shared socket (the one that opened it among them); a worker has
// one or two.
std::vector<std::weak_ptr<EventListener>>& SharedListeners() {
  static std::vector<std::weak_ptr<EventListener>> listeners;
  return listeners;
}

}  // namespace

void EventListener::ShareSocket(int fd) {
  shared_socket = fd;
  if (fd == -1) SharedListeners().clear();
}

int EventListener::SharedSocket() { return shared_socket; }

void EventListener::StopSharedListeners() {
  // Closing a copy takes nothing from the socket: its backlog stays for the other workers.
  for (const auto& weak : SharedListeners()) {
    if (auto listener = weak.lock()) listener->Close();
  }
  SharedListeners().clear();
}

std::shared_ptr<EventListener> EventListener::Listen(const std::string& address, int port, Offer offer) {
  const auto shared = [](std::shared_ptr<EventListener> listener) {
    auto& listeners = SharedListeners();
    std::erase_if(listeners, [](const std::weak_ptr<EventListener>& w) { return w.expired(); });
    listeners.push_back(listener);
    return listener;
  };
  if (shared_socket >= 0) {
    const int copy = ::fcntl(shared_socket, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) {
      const int code = errno;
      throw ESocketError(std::string("Cannot listen on the shared socket: ") + std::strerror(code), code);
    }
    return shared(std::make_shared<EventListener>(copy, std::move(offer)));
  }
  // The port alone names a listener on every address, as it always did.
  const std::string where =
      (address.empty() ? std::string() : (address.find(':') != std::string::npos ? "[" + address + "]:" : address + ":")) +
      (address.empty() ? "port " : "") + std::to_string(port);
  if (port < 0 || port > 65535)
    throw ESocketError("Cannot listen on " + where + ": no such port", EINVAL);
  sockaddr_storage storage{};
  socklen_t length = 0;
  auto& v4 = reinterpret_cast<sockaddr_in&>(storage);
  auto& v6 = reinterpret_cast<sockaddr_in6&>(storage);
  const auto net_port = htons(static_cast<std::uint16_t>(port));
  const std::string literal = address == "localhost" ? "127.0.0.1" : address;
  int fd = -1;
  if (address.empty()) {
    // Every address: IPv6 with IPv4 mapped into it, one socket for both kinds of client.
    fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int off = 0;
    if (fd >= 0 && ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) == 0) {
      v6.sin6_family = AF_INET6;
      v6.sin6_port = net_port;
      v6.sin6_addr = in6addr_any;
      length = sizeof v6;
    } else {
      // A host without IPv6: every IPv4 address.
      if (fd >= 0) ::close(fd);
      fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      v4.sin_family = AF_INET;
      v4.sin_port = net_port;
      v4.sin_addr.s_addr = htonl(INADDR_ANY);
      length = sizeof v4;
    }
  } else if (::inet_pton(AF_INET, literal.c_str(), &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    v4.sin_port = net_port;
    length = sizeof v4;
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  } else if (::inet_pton(AF_INET6, literal.c_str(), &v6.sin6_addr) == 1) {
    v6.sin6_family = AF_INET6;
    v6.sin6_port = net_port;
    length = sizeof v6;
    fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    if (fd >= 0) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
  } else {
    throw ESocketError("Cannot listen on " + where + ": not an IP address (nor localhost)", EINVAL);
  }
  if (fd < 0) {
    const int code = errno;
    throw ESocketError("Cannot listen on " + where + ": " + std::strerror(code), code);
  }
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  // Accepted sockets inherit it: answers leave as soon as they are complete.
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&storage), length) != 0 ||
      ::listen(fd, SOMAXCONN) != 0) {
    const int code = errno;
    ::close(fd);
    throw ESocketError("Cannot listen on " + where + ": " + std::strerror(code), code);
  }
  if (shared_socket == kShareFirstOpened) {
    // Not closed on exec: the workers the program starts inherit it.
    const int kept = ::fcntl(fd, F_DUPFD, 0);
    if (kept < 0) {
      const int code = errno;
      ::close(fd);
      throw ESocketError("Cannot keep the listening socket: " + std::string(std::strerror(code)), code);
    }
    shared_socket = kept;
    return shared(std::make_shared<EventListener>(fd, std::move(offer)));
  }
  return std::make_shared<EventListener>(fd, std::move(offer));
}

EventListener::EventListener(int fd, Offer offer)
    : fd_(fd), offer_(std::move(offer)), pause_end_([this] {
        if (waiting_.empty()) Watching(true);
      }) {
  if (!Reactor::Instance().Watch(fd, this, EPOLLIN)) {
    const int code = errno;
    ::close(fd);
    closed_ = true;
    throw ESocketError(std::string("Cannot watch the listening socket: ") + std::strerror(code),
                       code);
  }
}

EventListener::~EventListener() {
  Close();
}

int EventListener::LocalPort() const {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (closed_ || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
  return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
}

void EventListener::Watching(bool on) {
  if (closed_ || on == watching_) return;
  watching_ = on;
  // A pending client keeps a level-triggered listener ready: one that is not to be accepted
  // now must not be reported again and again.
  Reactor::Instance().Change(fd_, this, on ? std::uint32_t{EPOLLIN} : 0u);
}

void EventListener::Ready(std::uint32_t /*events*/) {
  if (!closed_ && watching_ && waiting_.empty()) Accept();
}

void EventListener::Accept() {
  auto self = shared_from_this();  // an offer may close the listener and let go of it
  for (;;) {
    const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      if (offer_(fd)) return;  // the next one, if any, is reported again
      if (closed_) {
        ::close(fd);
      } else {
        waiting_.push_back(fd);
        Watching(false);
      }
      return;
    }
    switch (errno) {
      case EINTR:
      case ECONNABORTED:
      case EPROTO:
      case EPERM:
        continue;  // that client is gone (or refused by a filter); the next may be fine
      case EAGAIN:
#if EWOULDBLOCK != EAGAIN
      case EWOULDBLOCK:
#endif
        return;
      default:
        // Out of descriptors or memory: the clients wait in the backlog until some are free.
        Pause();
        return;
    }
  }
}

void EventListener::Pause() {
  Watching(false);
  pause_end_.After(kAcceptPause);
}

void EventListener::Resume() {
  auto self = shared_from_this();
  while (!closed_ && !waiting_.empty()) {
    const int fd = waiting_.front();
    waiting_.pop_front();
    if (offer_(fd)) continue;
    if (closed_) {
      ::close(fd);
    } else {
      waiting_.push_front(fd);
    }
    return;
  }
  if (!closed_ && !pause_end_.Pending()) Watching(true);
}

void EventListener::Close() {
  if (closed_) return;
  Reactor::Instance().Forget(fd_, this, false);
  ::close(fd_);
  closed_ = true;
  pause_end_.Cancel();
  for (const int fd : waiting_) ::close(fd);
  waiting_.clear();
}

}  // namespace quorvin::net::detail
