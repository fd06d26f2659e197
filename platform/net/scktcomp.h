#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "quorvin/platform/core/classes.h"
#include "quorvin/platform/core/component.h"
#include "quorvin/platform/core/events.h"
#include "quorvin/platform/core/stream.h"
#include "quorvin/platform/net/notify.h"

// The first event-socket layer. Sockets are non-blocking and report what happens to them as
// events on the program's event loop: data arrived, write ready, connected, closed, errors.
namespace quorvin::net {

// The layer's event codes, in this order (write-ready is 6, data arrived is 7).
enum class TSocketEvent { seLookup, seConnecting, seConnect, seDisconnect, seListen, seAccept, seWrite, seRead };
enum class TErrorEvent { eeGeneral, eeSend, eeReceive, eeConnect, eeDisconnect, eeAccept, eeLookup };
enum class TClientType { ctNonBlocking, ctBlocking };

// Raised by socket operations that fail (receive, open, connect).
class ESocketError : public std::runtime_error {
 public:
  ESocketError(const std::string& what, int code) : std::runtime_error(what), code_(code) {}
  int Code() const { return code_; }

 private:
  int code_;
};

class TCustomWinSocket;

using TSocketEventHandler = std::function<void(TCustomWinSocket* sender, TCustomWinSocket* socket, TSocketEvent event)>;
using TSocketErrorHandler =
    std::function<void(TCustomWinSocket* sender, TCustomWinSocket* socket, TErrorEvent error, int& error_code)>;

// One connected (or connecting) socket of the layer.
class TCustomWinSocket {
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
  // Takes `stream` and sends it from its position to its end (sendfile(2) for file streams).
  // False, with nothing taken, while another stream is still being sent.
  bool SendStream(std::unique_ptr<platform::TStream> stream);
  // As SendStream, then closes the socket once the stream has gone out.
  bool SendStreamThenDrop(std::unique_ptr<platform::TStream> stream);
  // Ends the connection once what is queued has been sent. The layer destroys a server-side
  // socket after the event being handled; no event reaches it after Close.
  void Close();

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
  friend class TClientSocket;
};

class TServerWinSocket;

// A server-side connection. Construction registers it with the listener's socket and installs
// the layer's own event handler in OnSocketEvent (a subclass may save it and chain to it). The
// layer destroys the object after the event in which the connection closed, and with the
// listener.
class TServerClientWinSocket : public TCustomWinSocket {
 public:
  TServerClientWinSocket(TSocket socket, TServerWinSocket* server_socket);
  ~TServerClientWinSocket() override;
  TServerWinSocket* ServerWinSocket() const { return server_; }

 private:
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
// leaves it null to decline the socket for now (the layer keeps the client waiting and offers
// it again when one of the listener's connections is destroyed).
using TGetSocketEvent = std::function<void(TServerSocket* sender, TSocket socket, TServerClientWinSocket*& client)>;
using TSocketNotifyEvent = void(TComponent* sender, TCustomWinSocket* socket);
using TSocketErrorEvent = void(TComponent* sender, TCustomWinSocket* socket, TErrorEvent error, int& error_code);
using platform::TComponent;

// The listening component.
class TServerSocket : public TComponent {
 public:
  explicit TServerSocket(TComponent* owner);
  ~TServerSocket() override;

  int Port() const { return port_; }
  void SetPort(int port);  // takes effect at the next Open
  // Starts listening on all IPv4 addresses (the port's 0 lets the system pick; Port() then
  // tells which). Raises ESocketError when it cannot listen.
  void Open();
  // Stops listening and ends every connection.
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
  TGetSocketEvent on_get_socket_;
  std::unique_ptr<TServerWinSocket> socket_;
};

// A client-side connection component: set Host (or Address) and Port, then Active = true.
// Name lookup and connect never block the loop.
class TClientSocket : public TComponent {
 public:
  explicit TClientSocket(TComponent* owner);
  ~TClientSocket() override;

  bool Active() const;
  void SetActive(bool active);
  void Open() { SetActive(true); }
  void Close() { SetActive(false); }

  std::string Address;  // numeric address; takes precedence over Host
  std::string Host;
  int Port = 0;
  std::string Service;  // a service name or number, used when Port is 0
  TClientType ClientType = TClientType::ctNonBlocking;

  TCustomWinSocket& Socket() { return *socket_; }

  platform::TEvent<TSocketNotifyEvent> OnLookup, OnConnecting, OnConnect, OnDisconnect, OnRead, OnWrite;
  platform::TEvent<TSocketErrorEvent> OnError;

  static const platform::ClassInfo& Class();

 private:
  class ClientWinSocket;
  std::unique_ptr<ClientWinSocket> socket_;
};

}  // namespace quorvin::net
