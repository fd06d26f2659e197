#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "quorvin/platform/net/endpoint.h"
#include "quorvin/platform/net/event_socket.h"
#include "quorvin/platform/net/host_lookup.h"
#include "quorvin/platform/net/reactor.h"

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

  Dialer();
  ~Dialer();
  Dialer(const Dialer&) = delete;
  Dialer& operator=(const Dialer&) = delete;

  // Dials `host` (a numeric address, or also a name unless `numeric_only`) at `port`; the
  // connection then reports `events` (a WSAAsyncSelect mask). A dial under way is abandoned.
  // A name with several addresses has them tried in ConnectOrder: the next one when the one
  // before fails, or when it has not connected within kNextAttemptDelay (the earlier attempts
  // go on; the first to connect is kept and the others are closed). Only then is a
  // connection adopted, so the layer sees one connect, which has succeeded; when every
  // address fails, `failed` reports the last address's error.
  void Dial(const std::string& host, bool numeric_only, int port, long events, Steps steps);
  // Abandons the dial under way: none of its steps runs after this.
  void Cancel();

  static constexpr std::chrono::milliseconds kNextAttemptDelay{250};

 private:
  struct Attempt;

  void Found(int code, const EndpointLookup::Endpoints& endpoints);
  // Adopts `fd`, connected to `endpoint` or still to be connected there, into the layer.
  static void Connect(const Steps& steps, const std::string& host, long events, int fd,
                      const Endpoint& endpoint);
  void StartNextAttempt();
  void AttemptEnded(Attempt* attempt, int code);
  void CloseAttempts();

  std::unique_ptr<EndpointLookup> lookup_;
  EndpointLookup::Endpoints endpoints_;
  std::size_t next_ = 0;
  std::vector<std::unique_ptr<Attempt>> attempts_;
  int last_error_ = 0;
  Deadline next_attempt_{[this] { StartNextAttempt(); }};
  std::string host_;
  Steps steps_;
  long events_ = 0;
};

}  // namespace quorvin::net::detail
