#include "quorvin/platform/net/dialer.h"

#include <cerrno>

#include "quorvin/platform/net/notify.h"

namespace quorvin::net::detail {

void Dialer::Dial(const std::string& host, bool numeric_only, int port, long events, Steps steps) {
  Cancel();
  steps_ = std::move(steps);
  events_ = events;
  host_ = host;
  lookup_ = std::make_unique<EndpointLookup>(
      host, numeric_only, port,
      [this](int code, const asio::ip::tcp::endpoint& endpoint) { Found(code, endpoint); });
}

void Dialer::Cancel() {
  lookup_.reset();
  steps_ = Steps{};
}

void Dialer::Found(int code, const asio::ip::tcp::endpoint& endpoint) {
  // Every step may dial again (an error handler that reopens): the steps of this dial run
  // from here, whatever happens to the members.
  const Steps steps = std::move(steps_);
  const long events = events_;
  const std::string host = host_;
  lookup_.reset();
  if (code != 0) {
    steps.failed(SocketOp::kLookup, code);
    return;
  }
  if (steps.connecting && !steps.connecting()) return;
  std::shared_ptr<TlsContext> tls;
  if (steps.tls.enabled) {
    try {
      tls = TlsContext::Client(steps.tls);
    } catch (const ETlsError&) {
      steps.failed(SocketOp::kConnect, kTlsNotTrusted);
      return;
    }
  }
  EventSocket* socket = nullptr;
  try {
    socket = steps.adopt(EventSocket::OpenHandle(endpoint.protocol().family()));
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
  socket->BeginConnect(endpoint, events);
}

}  // namespace quorvin::net::detail
