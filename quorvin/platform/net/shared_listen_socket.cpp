#include "quorvin/platform/net/shared_listen_socket.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

#include <unistd.h>

#include "quorvin/platform/net/event_listener.h"
#include "quorvin/platform/net/notify.h"

namespace quorvin::net {

using detail::EventListener;

namespace {

constexpr const char* kOneAtATime =
    "a SharedListenSocket exists already: a program has one at a time";

}  // namespace

std::unique_ptr<SharedListenSocket> SharedListenSocket::KeepFirstOpened() {
  if (EventListener::SharedSocket() != -1) throw std::logic_error(kOneAtATime);
  auto share = std::make_unique<SharedListenSocket>(Key{});
  EventListener::ShareSocket(EventListener::kShareFirstOpened);
  return share;
}

std::unique_ptr<SharedListenSocket> SharedListenSocket::Inherit(int fd) {
  if (EventListener::SharedSocket() != -1) throw std::logic_error(kOneAtATime);
  // A descriptor that is not a listening socket would fail only at the first listener, and
  // with a less helpful reason.
  int accepting = 0;
  socklen_t length = sizeof accepting;
  int code = 0;
  if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &length) != 0) code = errno;
  if (code != 0 || accepting == 0) {
    throw ESocketError("Cannot listen on the inherited socket " + std::to_string(fd) + ": " +
                           (code != 0 ? std::strerror(code) : "not a listening socket"),
                       code != 0 ? code : EINVAL);
  }
  auto share = std::make_unique<SharedListenSocket>(Key{});
  EventListener::ShareSocket(fd);
  return share;
}

SharedListenSocket::~SharedListenSocket() {
  const int fd = EventListener::SharedSocket();
  if (fd >= 0) ::close(fd);
  EventListener::ShareSocket(-1);
}

int SharedListenSocket::Socket() const {
  const int fd = EventListener::SharedSocket();
  return fd >= 0 ? fd : -1;
}

void SharedListenSocket::StopAccepting() {
  EventListener::StopSharedListeners();
}

}  // namespace quorvin::net
