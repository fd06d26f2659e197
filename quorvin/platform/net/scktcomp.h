#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "quorvin/platform/core/classes.h"
#include "quorvin/platform/core/component.h"
#include "quorvin/platform/core/events.h"
#include "quorvin/platform/core/recycled.h"
#include "quorvin/platform/core/stream.h"
#include "quorvin/platform/net/notify.h"
#include "quorvin/platform/net/tls.h"

// The first event-socket layer. Sockets are non-blocking and report what happens to them as
// events on the program's event loop: data arrived, write ready, connected, closed, errors.
//
// Threads: every object of the layer belongs to the thread that runs the program's loop
// (net::Application): make, use and destroy it there, in handlers or between turns of the loop.
// Events arrive on that thread one at a time; the layer creates no threads and takes no locks.
namespace quorvin::net {

// The layer's event codes, in this order (write-ready is 6, data arrived is 7).
enum class TSocketEvent { seLookup, seConnecting, seConnect, seDisconnect, seListen, seAccept, seWrite, seRead };
enum class TErrorEvent { eeGeneral, eeSend, eeReceive, eeConnect, eeDisconnect, eeAccept, eeLookup };
enum class TClientType { ctNonBlocking, ctBlocking };

class TCustomWinSocket;

using TSocketEventHandler = std::function<void(TCustomWinSocket* sender, TCustomWinSocket* socket, TSocketEvent event)>;
using TSocketErrorHandler =
    std::function<void(TCustomWinSocket* sender, TCustomWinSocket* socket, TErrorEvent error, int& error_code)>;

// One connected (or connecting) socket of the layer.
//
// Events (OnSocketEvent, sender and socket both this socket):
// - seRead: data, or the end of the data, can be read. Read with ReceiveBuf; an event in which
//   the owner stopped before the input was empty is followed by another. An event in which the
//   owner read nothing is not repeated until more data arrives. A receive that returns 0 ends
//   the connection after the event (seDisconnect, then as Close).
// - seWrite: the socket can send. Once when write notification is selected (WSAAsyncSelect
//   with FD_WRITE) or a client socket has connected; then once each time output had to wait
//   and has all left. Never while a stream is being sent, never while nothing was sent.
// - seDisconnect: once, when a connected socket closes, whoever closed it.
// - seConnect (client sockets and, on acceptance, server-side connections), seLookup and
//   seConnecting (client sockets).
// Exceptions from handlers are shown as message boxes; nothing is thrown out of the loop.
//
// Errors (OnErrorEvent) come from failing receives, sends and connects, and from a peer's
// reset. The socket is unusable afterwards and the layer closes it once the handler returns.
// A code the handler leaves non-zero makes a failing ReceiveBuf raise ESocketError; the layer
// raises nothing else.
// Made and dropped once per connection: its memory comes from the recycled blocks.
class TCustomWinSocket : public platform::Recycled {
 public:
  virtual ~TCustomWinSocket();
  TCustomWinSocket(const TCustomWinSocket&) = delete;
  TCustomWinSocket& operator=(const TCustomWinSocket&) = delete;

  TSocket SocketHandle() const;
  bool Connected() const;

  // Up to `count` received bytes placed in `buffer`; 0 when the peer has closed; -1 when
  // nothing can be read now. Raises ESocketError when the receive fails.
  int ReceiveBuf(void* buffer, int count);
  // Sends every byte: what the kernel does not take now is queued and leaves, in order, before
  // anything sent later. Returns `count`; -1 when the socket is closed.
  int SendBuf(const void* buffer, int count);
  bool SendText(std::string_view text) { return SendBuf(text.data(), static_cast<int>(text.size())) >= 0; }
  // Takes `stream` and sends it from its position to its end, after what is queued before it
  // (sendfile(2) for file streams), then releases it. False, and `stream` stays with the
  // caller, while another stream is still being sent or the socket is closed.
  bool SendStream(std::unique_ptr<platform::TStream>&& stream);
  // As SendStream, then closes the socket once the stream has gone out.
  bool SendStreamThenDrop(std::unique_ptr<platform::TStream>&& stream);
  // The bytes queued sending still holds: what the peer has not taken yet.
  std::size_t QueuedBytes() const;
  // Ends the connection: fires seDisconnect (when connected), and no event reaches the socket
  // after that. Bytes queued by SendBuf still leave (for at most 30 s); a stream being sent is
  // cut off and everything still pending dropped. The layer destroys a server-side socket
  // after the event being handled.
  void Close();

  // Output queued by SendBuf and the stream sends that waits this long for the peer to take a
  // byte is given up: the socket fails (OnErrorEvent with eeSend and ETIMEDOUT) and closes.
  // Zero, the default: it waits for ever.
  void SetSendTimeout(std::chrono::milliseconds limit);
  // Speaks TLS with `context` (a server's) from here on: for a listener's connection, made
  // just now, before anything is read. The handshake runs on readiness; seRead comes with
  // the first decrypted bytes, and what is sent before the handshake's end waits for it.
  // A peer that sends plain HTTP instead of a handshake is reported as a failure
  // (OnErrorEvent with eeReceive and kTlsPlainHttp); the connection then speaks plain text, so
  // that the handler may answer in kind before the layer closes it.
  void StartTls(std::shared_ptr<TlsContext> context);
  // The connection speaks TLS.
  bool Secure() const;

  // The layer's notification window, for WSAAsyncSelect.
  HWND GetHandle() const;
  std::string LocalHost() const;      // the machine's host name
  std::string LocalAddress() const;
  int LocalPort() const;
  std::string RemoteAddress() const;
  int RemotePort() const;

  // The slots every event and error of this socket goes to.
  TSocketEventHandler OnSocketEvent;
  TSocketErrorHandler OnErrorEvent;

  void* Data = nullptr;  // free for the program

 protected:
  TCustomWinSocket();
  struct Impl;
  std::unique_ptr<Impl> impl_;
  friend class TServerWinSocket;
  friend class TServerSocket;
  friend class TClientSocket;
};

class TServerWinSocket;

// A server-side connection. Construction (with the handle of a socket the listener accepted,
// which it owns from then on) registers it with the listener's socket and installs the layer's
// own event and error handlers, which pass events on to the listener component's OnClient...
// events (a subclass may save them and chain to them). It reports seRead (FD_READ | FD_CLOSE)
// until WSAAsyncSelect changes that. The layer destroys the object after the event in which
// the connection closed (a posted callback), and with the listener.
class TServerClientWinSocket : public TCustomWinSocket {
 public:
  TServerClientWinSocket(TSocket socket, TServerWinSocket* server_socket);
  ~TServerClientWinSocket() override;
  TServerWinSocket* ServerWinSocket() const { return server_; }

 private:
  friend class TServerWinSocket;
  TServerWinSocket* server_;
};

class TServerSocket;

// The listening socket of a TServerSocket; owns the accepted connections.
class TServerWinSocket {
 public:
  explicit TServerWinSocket(TServerSocket& owner);
  ~TServerWinSocket();
  TServerSocket& Owner() const { return owner_; }
  int ActiveConnections() const;
  TServerClientWinSocket* Connections(int index) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  TServerSocket& owner_;
  friend class TServerSocket;
  friend class TServerClientWinSocket;
  friend class TCustomWinSocket;
};

// Given each accepted socket's handle; sets `client` to a new connection object for it, or
// leaves it null to decline the socket for now (the layer keeps the client waiting, accepts no
// one else meanwhile, and offers it again when one of the listener's connections is destroyed;
// a socket declined while the listener has no connection is closed, since nothing would ever
// offer it again).
using TGetSocketEvent = std::function<void(TServerSocket* sender, TSocket socket, TServerClientWinSocket*& client)>;
using platform::TComponent;
using TSocketNotifyEvent = void(TComponent* sender, TCustomWinSocket* socket);
using TSocketErrorEvent = void(TComponent* sender, TCustomWinSocket* socket, TErrorEvent error, int& error_code);

// The listening component.
class TServerSocket : public TComponent {
 public:
  explicit TServerSocket(TComponent* owner);
  ~TServerSocket() override;

  int Port() const { return port_; }
  void SetPort(int port);  // takes effect at the next Open
  // Where to listen: an IP address, "localhost", or "" for every address (see
  // detail::EventListener::Listen); takes effect at the next Open.
  void SetBindAddress(std::string address) { bind_address_ = std::move(address); }
  const std::string& BindAddress() const { return bind_address_; }
  // Starts listening at the bind address (the port's 0 lets the system pick; LocalPort() then
  // tells which). Raises ESocketError when it cannot listen.
  void Open();
  // Stops listening and ends (closes and destroys) every connection; one whose event is being
  // handled now is destroyed after that event. A listener must not be destroyed from inside an
  // event of one of its connections.
  void Close();
  bool Active() const;
  // The port actually listened on (differs from Port() when that was 0).
  int LocalPort() const;

  void SetGetSocketEvent(TGetSocketEvent handler) { on_get_socket_ = std::move(handler); }
  TServerWinSocket& Socket() { return *socket_; }

  platform::TEvent<TSocketNotifyEvent> OnClientConnect, OnClientDisconnect, OnClientRead, OnClientWrite;
  platform::TEvent<TSocketErrorEvent> OnClientError;

 private:
  friend class TServerWinSocket;
  int port_ = 0;
  std::string bind_address_;
  TGetSocketEvent on_get_socket_;
  std::unique_ptr<TServerWinSocket> socket_;
};

// A client-side connection component: set Host (or Address) and Port (or Service), then
// Active = true. Opening runs from the loop: OnLookup, the lookup (a numeric address directly;
// a name from the hosts file or else by DNS on the loop, never blocking it; a Service name from
// the services file), OnConnecting, the connect, then OnConnect and OnWrite. A failed lookup or
// connect reports OnError (eeLookup with WSAHOST_NOT_FOUND, WSATRY_AGAIN, ... or EINVAL for an
// Address that is not numeric; eeConnect with the errno value) and leaves the socket inactive
// whatever the handler does with the code. OnDisconnect follows the peer's close and Close.
class TClientSocket : public TComponent {
 public:
  explicit TClientSocket(TComponent* owner);
  ~TClientSocket() override;

  bool Active() const;
  // Raises ESocketError when neither Host nor Address, or neither Port nor Service, is set.
  // While loading from a form file the value is applied in Loaded.
  void SetActive(bool active);
  void Open() { SetActive(true); }
  void Close() { SetActive(false); }

  std::string Address;  // numeric address; takes precedence over Host
  std::string Host;
  int Port = 0;
  std::string Service;  // a service name or number, used when Port is 0
  // Kept for form files; the socket is event-driven either way.
  TClientType ClientType = TClientType::ctNonBlocking;
  // TLS for the next connections: with it enabled, OnConnect follows the handshake, and a
  // handshake or certificate that fails is an eeConnect error with a TLS code (ErrorText).
  TlsClientSettings Tls;

  TCustomWinSocket& Socket();

  platform::TEvent<TSocketNotifyEvent> OnLookup, OnConnecting, OnConnect, OnDisconnect, OnRead, OnWrite;
  platform::TEvent<TSocketErrorEvent> OnError;

  void Loaded() override;

  static const platform::ClassInfo& Class();

 protected:
  // Every event of the connection, before the program's event slot hears of it; for
  // components built on the client socket that must see connects and closes whatever the
  // program assigns to the slots.
  virtual void SocketEvent(TCustomWinSocket* /*socket*/, TSocketEvent /*event*/) {}

 private:
  class ClientWinSocket;
  std::unique_ptr<ClientWinSocket> socket_;
};

}  // namespace quorvin::net
