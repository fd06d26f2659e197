#include "quorvin/platform/net/dialer.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "quorvin/platform/net/notify.h"

namespace quorvin::net::detail {

// One connect under way while a name's addresses race: a bare non-blocking socket, watched
// until it connects or fails. Only the winner's descriptor goes on to the layer.
struct Dialer::Attempt final : ReadyWatcher {
  Attempt(Dialer& owner, int descriptor, const Endpoint& to) : dialer(owner), fd(descriptor), endpoint(to) {}

  void Ready(std::uint32_t /*events*/) override {
    int code = 0;
    socklen_t length = sizeof code;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &code, &length) != 0) code = errno;
    dialer.AttemptEnded(this, code);
  }

  void Close() {
    if (fd < 0) return;
    Reactor::Instance().Forget(fd, this, true);
    ::close(fd);
    fd = -1;
  }

  Dialer& dialer;
  int fd;
  Endpoint endpoint;
};

Dialer::Dialer() = default;

Dialer::~Dialer() {
  Cancel();
}

void Dialer::Dial(const std::string& host, bool numeric_only, int port, long events, Steps steps) {
  Cancel();
  steps_ = std::move(steps);
  events_ = events;
  host_ = host;
  lookup_ = std::make_unique<EndpointLookup>(
      host, numeric_only, port,
      [this](int code, const EndpointLookup::Endpoints& endpoints) { Found(code, endpoints); });
}

void Dialer::Cancel() {
  lookup_.reset();
  CloseAttempts();
  endpoints_.clear();
  steps_ = Steps{};
}

void Dialer::CloseAttempts() {
  next_attempt_.Cancel();
  for (auto& attempt : attempts_) attempt->Close();
  attempts_.clear();
}

void Dialer::Found(int code, const EndpointLookup::Endpoints& endpoints) {
  lookup_.reset();
  if (code != 0) {
    // The step may dial again (an error handler that reopens): it runs from a copy.
    const Steps steps = std::move(steps_);
    steps_ = Steps{};
    steps.failed(SocketOp::kLookup, code);
    return;
  }
  if (endpoints.size() == 1) {
    // One address: the layer's connection makes the connect itself and reports its end.
    const Steps steps = std::move(steps_);
    steps_ = Steps{};
    const std::string host = host_;
    const long events = events_;
    if (steps.connecting && !steps.connecting()) return;
    int fd = -1;
    try {
      fd = EventSocket::OpenHandle(endpoints.front().Family());
    } catch (const ESocketError& e) {
      steps.failed(SocketOp::kConnect, e.Code());
      return;
    }
    Connect(steps, host, events, fd, endpoints.front());
    return;
  }
  if (steps_.connecting) {
    const Steps steps = steps_;
    if (!steps.connecting()) return;  // closed or dialed again meanwhile
    if (!steps_.failed) return;       // cancelled from the handler
  }
  endpoints_ = endpoints;
  next_ = 0;
  last_error_ = ECONNREFUSED;
  StartNextAttempt();
}

void Dialer::StartNextAttempt() {
  // Addresses that fail at once (no route, no such family here) are passed over at once.
  while (next_ < endpoints_.size()) {
    const Endpoint endpoint = endpoints_[next_++];
    int fd = -1;
    try {
      fd = EventSocket::OpenHandle(endpoint.Family());
    } catch (const ESocketError& e) {
      last_error_ = e.Code();
      continue;
    }
    auto attempt = std::make_unique<Attempt>(*this, fd, endpoint);
    const int rc = ::connect(fd, endpoint.Data(), endpoint.Size());
    const int code = rc == 0 ? 0 : errno;
    if (code != 0 && code != EINPROGRESS) {
      ::close(fd);
      last_error_ = code;
      continue;
    }
    if (!Reactor::Instance().Watch(fd, attempt.get(), EPOLLOUT)) {
      last_error_ = errno;
      ::close(fd);
      continue;
    }
    // Connected at once or not: a connected socket is writable, and the loop says so.
    attempts_.push_back(std::move(attempt));
    if (next_ < endpoints_.size()) next_attempt_.After(kNextAttemptDelay);
    return;
  }
  if (attempts_.empty()) {
    // Every address failed.
    const Steps steps = std::move(steps_);
    steps_ = Steps{};
    endpoints_.clear();
    steps.failed(SocketOp::kConnect, last_error_);
  }
}

void Dialer::AttemptEnded(Attempt* attempt, int code) {
  const auto found = std::find_if(attempts_.begin(), attempts_.end(), [&](const auto& a) { return a.get() == attempt; });
  if (found == attempts_.end()) return;
  std::unique_ptr<Attempt> ended = std::move(*found);
  attempts_.erase(found);
  if (code != 0) {
    ended->Close();
    last_error_ = code;
    // The next address at once, unless one is under way and its delay still runs.
    if (attempts_.empty() || next_ < endpoints_.size()) {
      next_attempt_.Cancel();
      StartNextAttempt();
    }
    return;
  }
  // The winner: the others are closed, and its descriptor goes to the layer.
  CloseAttempts();
  Reactor::Instance().Forget(ended->fd, ended.get(), true);
  const int fd = ended->fd;
  ended->fd = -1;
  const Steps steps = std::move(steps_);
  steps_ = Steps{};
  endpoints_.clear();
  Connect(steps, std::string(host_), events_, fd, ended->endpoint);
}

void Dialer::Connect(const Steps& steps, const std::string& host, long events, int fd,
                     const Endpoint& endpoint) {
  std::shared_ptr<TlsContext> tls;
  if (steps.tls.enabled) {
    try {
      tls = TlsContext::Client(steps.tls);
    } catch (const ETlsError&) {
      ::close(fd);
      steps.failed(SocketOp::kConnect, kTlsNotTrusted);
      return;
    }
  }
  EventSocket* socket = nullptr;
  try {
    socket = steps.adopt(fd);
  } catch (const ESocketError& e) {
    steps.failed(SocketOp::kConnect, e.Code());
    return;
  }
  if (socket == nullptr) {
    steps.failed(SocketOp::kConnect, ECONNABORTED);
    return;
  }
  if (tls) {
    try {
      socket->UseTls(std::move(tls), host);
    } catch (const ETlsError&) {
      steps.failed(SocketOp::kConnect, kTlsHandshakeFailed);
      return;
    }
  }
  // On a descriptor that has connected already this finds it connected, and says so from the
  // loop as for any connect.
  socket->BeginConnect(endpoint, events);
}

}  // namespace quorvin::net::detail
