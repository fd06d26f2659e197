#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "quorvin/platform/core/classes.h"
#include "quorvin/platform/core/component.h"
#include "quorvin/platform/core/events.h"
#include "quorvin/platform/core/recycled.h"
#include "quorvin/platform/core/stream.h"
#include "quorvin/platform/net/tls.h"
#include "quorvin/platform/net/notify.h"

// The second event-socket layer: a listener that makes one connection object of a class of the
// program's choosing per accepted socket, a client component, and stream sockets whose Send
// says how much the kernel took: a sender keeps what was not taken and offers it again when the
// socket reports that it can send. For answers of a heading and a file, a stream socket also
// queues in the layer (SendQueued, SendStreamQueued), which then sends on by itself.
//
// Threads: every object of the layer belongs to the thread that runs the program's loop
// (net::Application): make, use and destroy it there, in handlers or between turns of the loop.
// Events arrive on that thread one at a time; the layer creates no threads and takes no locks.
namespace quorvin::net {

class TStreamSocket;
class TCustomBasicServerSocket;

// What happened to a connection.
enum class TSockEvent { seConnect, seDisconnect, seRead, seWrite };
// The operation that failed.
enum class TSockErrorOp { opLookup, opConnect, opReceive, opSend };

using platform::TComponent;
using TStreamSocketEvent = void(TComponent* sender, TStreamSocket* connection);
// `connection` is nullptr for a failed lookup (no connection exists yet). `code` is an errno
// value, or for lookups one of WSAHOST_NOT_FOUND, WSANO_DATA, WSATRY_AGAIN, WSANO_RECOVERY,
// WSATYPE_NOT_FOUND, EINVAL.
using TStreamSocketErrorEvent = void(TComponent* sender, TStreamSocket* connection, TSockErrorOp op,
                                     int code);

namespace detail {
class Dialer;

// Who hears of a stream socket's events: the listener that accepted it or the client
// component that made it.
class StreamSocketSink {
 public:
  virtual void StreamEvent(TStreamSocket& connection, TSockEvent event) = 0;
  virtual void StreamError(TStreamSocket& connection, TSockErrorOp op, int code) = 0;
  // The connection has closed (after its seDisconnect, if it was connected).
  virtual void StreamClosed(TStreamSocket& connection) = 0;

 protected:
  ~StreamSocketSink() = default;
};
}  // namespace detail

// One connection. The layer makes one per accepted socket through the listener's factory, and
// one per connect through TCustomClientSocket::CreateConnection; subclasses add what the
// program keeps per connection. It reports to its listener or client component:
// - seRead: data, or the end of the data, can be read (FD_READ, selected at the start). Read
//   with Recv; an event in which the owner stopped before the input was empty is followed by
//   another; one in which it read nothing is not repeated until more data arrives. A Recv that
//   returns 0 ends the connection after the event.
// - seWrite: the socket can send. Once when FD_WRITE is selected (WSAAsyncSelect, or a client
//   socket connecting), then once each time the socket can take more after a Send that took
//   fewer bytes than offered. Never while nothing is being sent.
// - seDisconnect: once, when a connected socket closes, whoever closed it. The peer's close or
//   reset is noticed with either notification selected (FD_CLOSE).
// Failures the layer notices itself (a reset while no event is expected, a failed connect) go
// to the error handler, and the connection closes after it. Exceptions from handlers are shown
// as message boxes; nothing is thrown out of the loop.
class TStreamSocket : public platform::Recycled {
 public:
  // Takes `handle` (an accepted socket, or one the client component made), which the object
  // owns from then on. `owner` is the listener that accepted it, nullptr for a client
  // connection. Nothing is reported before the layer starts the connection, after the
  // factory has returned it.
  TStreamSocket(TSocket handle, TCustomBasicServerSocket* owner);
  virtual ~TStreamSocket();
  TStreamSocket(const TStreamSocket&) = delete;
  TStreamSocket& operator=(const TStreamSocket&) = delete;

  // Up to `count` received bytes placed in `buffer`; 0 when the peer has closed (also when the
  // connection is closed); -1 when nothing can be read now (also for a `count` below 1).
  // Raises ESocketError when the receive fails; the connection then closes after the current
  // event.
  virtual int Recv(void* buffer, int count);
  // Offers `count` bytes to the kernel without waiting and without queueing: the number it
  // took, from 0 (nothing fits now: a seWrite follows when something does) to `count`. After a
  // short send the caller keeps the rest and offers it again on seWrite. -1 when the
  // connection is not connected or the send failed; a failed connection closes after the
  // current event (seDisconnect), and the failure goes nowhere else.
  virtual int Send(const void* buffer, int count);
  // Ends the connection: fires seDisconnect (when connected), and nothing more reaches the
  // socket after that. The listener destroys a closed connection after the event being
  // handled; a client connection stays until its component opens again or is destroyed.
  virtual void Close();
  virtual bool GetConnected() const;

  // Queued sending, the way a server answers with a heading and a file. The bytes go out
  // after everything queued before them; what the kernel does not take now waits in the layer
  // and leaves on its own as the socket takes more. False when the connection is closed.
  bool SendQueued(const void* buffer, int count);
  // Takes `stream` and sends it after what is queued, from its position to its end (a file
  // with sendfile(2), from its own pages; other streams in pieces), going on by itself where
  // the socket stopped taking bytes; no seWrite is reported meanwhile. With `close_after` the
  // connection closes once the last byte has left. False, leaving `stream` with the caller,
  // while another stream is pending or the connection is closed.
  bool SendStreamQueued(std::unique_ptr<platform::TStream>& stream, bool close_after);
  // The stream SendStreamQueued is sending; nullptr when none is pending.
  const platform::TStream* QueuedStream() const;
  // The bytes queued sending still holds: what the peer has not taken yet.
  std::size_t QueuedBytes() const;
  // Queued output that waits this long for the peer to take a byte is given up: the
  // connection fails (OnError with opSend and ETIMEDOUT) and closes. Zero, the default: it
  // waits for ever.
  void SetSendTimeout(std::chrono::milliseconds limit);
  // Speaks TLS with `context` (a server's) from here on: for a listener's connection, made
  // just now, before anything is read. The handshake runs on readiness; seRead comes with
  // the first decrypted bytes, and what is sent before the handshake's end waits for it.
  // A peer that sends plain HTTP instead of a handshake is reported as a failure
  // (OnError with opReceive and kTlsPlainHttp); the connection then speaks plain text, so
  // that the handler may answer in kind before the layer closes it.
  void StartTls(std::shared_ptr<TlsContext> context);
  // The connection speaks TLS.
  bool Secure() const;

  TSocket SocketHandle() const;

  TCustomBasicServerSocket* Owner() const { return owner_; }

  // The layer's notification window, for WSAAsyncSelect with DW_SOCKETMESSAGE.
  HWND GetHandle() const;
  std::string LocalAddress() const;
  int LocalPort() const;
  std::string RemoteAddress() const;
  int RemotePort() const;

  void* Data = nullptr;  // free for the program

 private:
  friend class TCustomBasicServerSocket;
  friend class TCustomClientSocket;
  struct Impl;
  std::unique_ptr<Impl> impl_;
  TCustomBasicServerSocket* owner_;
};

// The machine's host name.
std::string LocalHost();

// The base of the layer's components: the port, set as decimal text.
class TSockCtrl : public TComponent {
 public:
  explicit TSockCtrl(TComponent* owner) : TComponent(owner) {}

  // Takes the port as decimal text ("0" to "65535"; blanks around it are ignored). Raises
  // ESocketError (EINVAL) for other text, leaving the port as it was. Takes effect at the next
  // Listen or Open.
  void SetPort(std::string_view decimal_text);

  int Port() const { return port_; }

  // The layer's notification window, for WSAAsyncSelect with DW_SOCKETMESSAGE.
  HWND GetHandle() const;

 private:
  int port_ = 0;
};

// Makes the connection object for an accepted socket (see TStreamSocket's constructor); may
// return nullptr to turn the client away (the socket is closed).
using TConnectionFactory =
    std::function<std::unique_ptr<TStreamSocket>(TCustomBasicServerSocket& owner, TSocket handle)>;

// The listener. It owns its connections: it destroys each after the event in which it closed,
// and all of them when it closes or is destroyed. There is no limit on their number; when the
// process runs out of descriptors, accepting pauses and resumes by itself.
class TCustomBasicServerSocket : public TSockCtrl {
 public:
  explicit TCustomBasicServerSocket(TComponent* owner);
  ~TCustomBasicServerSocket() override;

  // Where to listen: an IP address, "localhost", or "" for every address (see
  // detail::EventListener::Listen); takes effect at the next Listen.
  void SetBindAddress(std::string address) { bind_address_ = std::move(address); }
  const std::string& BindAddress() const { return bind_address_; }

  // Starts listening at the bind address and Port() (0: the system picks; LocalPort() tells)
  // and makes each accepted connection with `factory`; it then reports seRead (FD_READ |
  // FD_CLOSE) until WSAAsyncSelect changes that, and OnAccept fires. Raises ESocketError when
  // it cannot listen. While listening already, only the factory is replaced.
  void Listen(TConnectionFactory factory);

  // Listen with connections of class T, constructed as T(handle, &listener).
  template <class T>
  void Listen() {
    Listen([](TCustomBasicServerSocket& owner, TSocket handle) -> std::unique_ptr<TStreamSocket> {
      return std::make_unique<T>(handle, &owner);
    });
  }

  // Stops listening and ends (closes and destroys) every connection; one whose event is being
  // handled now is destroyed after that event.
  void Close();
  bool Listening() const;
  // The port listened on (Port() when not listening).
  int LocalPort() const;

  int ConnectionCount() const;
  TStreamSocket* Connections(int index) const;

 protected:
  // Asked before each accept: false leaves the client waiting in the backlog, and the listener
  // asks again when one of its connections has ended. Every client is accepted by default.
  virtual bool CanAccept() { return true; }

 public:

  // Every connection's events: sender is this listener.
  platform::TEvent<TStreamSocketEvent> OnAccept, OnRead, OnWrite, OnDisconnect;
  platform::TEvent<TStreamSocketErrorEvent> OnError;

 private:
  std::string bind_address_;
  friend class TStreamSocket;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

class TBasicServerSocket : public TCustomBasicServerSocket {
 public:
  using TCustomBasicServerSocket::TCustomBasicServerSocket;
};

// The client component: set Host (or Address, numeric only) and Port, then Open (or Active =
// true). Opening never blocks: the name is looked up on the loop (a numeric address directly,
// the hosts file, else DNS), the connection object is made by CreateConnection and connects;
// then OnConnect and one OnWrite. A failed lookup or connect reports OnError (opLookup with a
// null connection, opConnect) and leaves the component inactive; no OnDisconnect follows.
// OnRead and OnWrite come as for a listener's connections (FD_READ | FD_WRITE | FD_CLOSE);
// OnDisconnect follows the peer's close and Close.
class TCustomClientSocket : public TSockCtrl {
 public:
  explicit TCustomClientSocket(TComponent* owner);
  ~TCustomClientSocket() override;

  bool Active() const { return active_; }

  // Raises ESocketError when neither Host nor Address is set, or the port is 0. While loading
  // from a form file the value is applied in Loaded.
  void SetActive(bool active);

  void Open() { SetActive(true); }

  void Close() { SetActive(false); }

  // The connection of the last Open: nullptr before the connect starts; kept after it closes
  // until the next Open.
  TStreamSocket* Connection() const { return connection_.get(); }

  std::string Address;  // numeric address; takes precedence over Host
  std::string Host;
  // TLS for the next connections: with it enabled, OnConnect follows the handshake, and a
  // handshake or certificate that fails is an opConnect error with a TLS code (ErrorText).
  TlsClientSettings Tls;

  platform::TEvent<TStreamSocketEvent> OnConnect, OnDisconnect, OnRead, OnWrite;
  platform::TEvent<TStreamSocketErrorEvent> OnError;

  void Loaded() override;

 protected:
  // Makes the connection object for `handle`: a plain TStreamSocket unless a subclass wants
  // its own class. `owner` of the object is nullptr.
  virtual std::unique_ptr<TStreamSocket> CreateConnection(TSocket handle);

  // Every event of the connection, before the program's slot hears of it; for components
  // built on this one that must see connects and closes whatever the program assigns.
  virtual void ConnectionEvent(TStreamSocket* /*connection*/, TSockEvent /*event*/) {}
  // Open has started a connect (the lookup comes next); for components that time it.
  virtual void Opening() {}

 private:
  class Sink;  // does the work: hears the connection's events, looks up and connects
  std::unique_ptr<Sink> sink_;
  std::unique_ptr<TStreamSocket> connection_;
  std::unique_ptr<detail::Dialer> dialer_;  // the lookup and connect under way
  bool active_ = false;
  bool streamed_active_ = false;
};

class TBasicClientSocket : public TCustomClientSocket {
 public:
  using TCustomClientSocket::TCustomClientSocket;

  // Published: Active, Address, Host, Port (an integer), OnConnect, OnDisconnect, OnRead,
  // OnWrite, OnError.
  static const platform::ClassInfo& Class();
};

}  // namespace quorvin::net
