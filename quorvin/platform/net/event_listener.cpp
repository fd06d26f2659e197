#include "quorvin/platform/net/event_listener.h"

#include <sys/epoll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include "quorvin/platform/net/notify.h"

namespace quorvin::net::detail {

std::shared_ptr<EventListener> EventListener::Listen(int port, Offer offer) {
  const std::string where = "port " + std::to_string(port);
  if (port < 0 || port > 65535)
    throw ESocketError("Cannot listen on " + where + ": no such port", EINVAL);
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    const int code = errno;
    throw ESocketError("Cannot listen on " + where + ": " + std::strerror(code), code);
  }
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  // Accepted sockets inherit it: answers leave as soon as they are complete.
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, SOMAXCONN) != 0) {
    const int code = errno;
    ::close(fd);
    throw ESocketError("Cannot listen on " + where + ": " + std::strerror(code), code);
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
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (closed_ || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
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
