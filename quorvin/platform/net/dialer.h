#pragma once

#include <functional>
#include <memory>
#include <string>

#include <asio/ip/tcp.hpp>

#include "quorvin/platform/net/event_socket.h"
#include "quorvin/platform/net/host_lookup.h"

namespace quorvin::net::detail {

// Finding where a client socket connects and starting the connect, for the client components
// of both layers: the lookup, then a non-blocking socket of the address's family that the
// layer wraps in its connection object, then the connect. Nothing blocks the loop; every step
// is reported from it, never from inside Dial.
class Dialer {
 public:
  struct Steps {
    // The address is known and the connect is about to start; false stops here (the
    // component was closed or opened again meanwhile).
    std::function<bool()> connecting;
    // Wraps the new descriptor, which it owns from then on, in the layer's connection and
    // returns that connection's socket, which then connects; nullptr when nothing took the
    // descriptor (closed by then). May throw ESocketError.
    std::function<EventSocket*(int fd)> adopt;
    // The lookup failed (kLookup, with the lookup's code), or no connection could be made
    // for the address (kConnect, with an errno value).
    std::function<void(SocketOp op, int code)> failed;
    // TLS for the connection: the handshake follows the connect, and `connecting`'s
    // SocketConnected waits for it. The certificate must name the host dialed.
    TlsClientSettings tls;
  };

  Dialer() = default;
  Dialer(const Dialer&) = delete;
  Dialer& operator=(const Dialer&) = delete;

  // Dials `host` (a numeric address, or also a name unless `numeric_only`) at `port`; the
  // connection then reports `events` (a WSAAsyncSelect mask). A dial under way is abandoned.
  void Dial(const std::string& host, bool numeric_only, int port, long events, Steps steps);
  // Abandons the dial under way: none of its steps runs after this.
  void Cancel();

 private:
  void Found(int code, const asio::ip::tcp::endpoint& endpoint);

  std::unique_ptr<EndpointLookup> lookup_;
  std::string host_;
  Steps steps_;
  long events_ = 0;
};

}  // namespace quorvin::net::detail
