#include "quorvin/platform/net/scktcomp.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include <unistd.h>

#include "quorvin/platform/net/dialer.h"
#include "quorvin/platform/net/event_listener.h"
#include "quorvin/platform/net/event_socket.h"
#include "quorvin/platform/net/host_lookup.h"
#include "quorvin/platform/net/reactor.h"
#include "quorvin/platform/net/socket_holder.h"

namespace quorvin::net {

using detail::EventScope;
using detail::EventSocket;
using detail::SocketOp;

namespace {

// This layer's notification window, for WSAAsyncSelect with CM_SOCKETMESSAGE.
detail::SocketWindow& Window() {
  static auto* window = new detail::SocketWindow(CM_SOCKETMESSAGE);
  return *window;
}

TErrorEvent ErrorEventOf(SocketOp op) {
  switch (op) {
    case SocketOp::kReceive:
      return TErrorEvent::eeReceive;
    case SocketOp::kSend:
      return TErrorEvent::eeSend;
    case SocketOp::kConnect:
      return TErrorEvent::eeConnect;
    case SocketOp::kLookup:
      return TErrorEvent::eeLookup;
    case SocketOp::kAccept:
      return TErrorEvent::eeAccept;
    case SocketOp::kGeneral:
      break;
  }
  return TErrorEvent::eeGeneral;
}

}  // namespace

// --- TCustomWinSocket ---------------------------------------------------------------------

struct TCustomWinSocket::Impl final : detail::SocketHolder {
  explicit Impl(TCustomWinSocket& owner) : self(owner) {}

  void Notify(Note note) override {
    static constexpr TSocketEvent kEvents[] = {TSocketEvent::seRead, TSocketEvent::seWrite,
                                               TSocketEvent::seConnect, TSocketEvent::seDisconnect};
    Fire(kEvents[static_cast<int>(note)]);
  }

  void Failure(SocketOp op, int code) override { ReportError(ErrorEventOf(op), code); }

  void CloseOwner() override { self.Close(); }

  void Fire(TSocketEvent event) {
    EventScope scope(in_event);
    if (self.OnSocketEvent) self.OnSocketEvent(&self, &self, event);
  }

  // Returns the code the handler left.
  int ReportError(TErrorEvent event, int code) {
    EventScope scope(in_event);
    if (self.OnErrorEvent) self.OnErrorEvent(&self, &self, event, code);
    return code;
  }

  TCustomWinSocket& self;
  std::function<void()> on_closed;  // what this kind of socket does then
};

TCustomWinSocket::TCustomWinSocket() : impl_(std::make_unique<Impl>(*this)) {}

TCustomWinSocket::~TCustomWinSocket() {
  // Silently: whatever derived from this socket is gone already.
  impl_->Silence();
}

TSocket TCustomWinSocket::SocketHandle() const {
  return impl_->Handle();
}

bool TCustomWinSocket::Connected() const {
  return impl_->connected;
}

int TCustomWinSocket::ReceiveBuf(void* buffer, int count) {
  Impl& d = *impl_;
  if (!d.socket) return 0;
  int error = 0;
  const int n = d.socket->Receive(buffer, count, error);
  if (error == 0) return n;
  const int code = d.ReportError(TErrorEvent::eeReceive, error);
  Close();
  if (code != 0) {
    throw ESocketError(std::string("Socket error on receive: ") + std::strerror(error) + " (" +
                           std::to_string(error) + ")",
                       code);
  }
  return -1;
}

int TCustomWinSocket::SendBuf(const void* buffer, int count) {
  if (!impl_->socket || count < 0) return -1;
  if (!impl_->socket->QueueBytes(buffer, static_cast<std::size_t>(count))) return -1;
  return count;
}

bool TCustomWinSocket::SendStream(std::unique_ptr<platform::TStream>&& stream) {
  return impl_->socket && impl_->socket->QueueStream(stream, false);
}

bool TCustomWinSocket::SendStreamThenDrop(std::unique_ptr<platform::TStream>&& stream) {
  return impl_->socket && impl_->socket->QueueStream(stream, true);
}

std::size_t TCustomWinSocket::QueuedBytes() const {
  return impl_->socket ? impl_->socket->QueuedBytes() : 0;
}

void TCustomWinSocket::Close() {
  if (impl_->CloseSocket() && impl_->on_closed) impl_->on_closed();
}

void TCustomWinSocket::SetSendTimeout(std::chrono::milliseconds limit) {
  if (impl_->socket) impl_->socket->SetSendTimeout(limit);
}

void TCustomWinSocket::StartTls(std::shared_ptr<TlsContext> context) {
  if (impl_->socket) impl_->socket->UseTls(std::move(context));
}

bool TCustomWinSocket::Secure() const {
  return impl_->socket && impl_->socket->Tls() != nullptr;
}

HWND TCustomWinSocket::GetHandle() const {
  return &Window();
}

std::string TCustomWinSocket::LocalHost() const {
  return detail::HostName();
}

std::string TCustomWinSocket::LocalAddress() const {
  return impl_->LocalAddress();
}

int TCustomWinSocket::LocalPort() const {
  return impl_->LocalPort();
}

std::string TCustomWinSocket::RemoteAddress() const {
  return impl_->RemoteAddress();
}

int TCustomWinSocket::RemotePort() const {
  return impl_->RemotePort();
}

// --- TServerWinSocket ---------------------------------------------------------------------

struct TServerWinSocket::Impl {
  explicit Impl(TServerWinSocket& owner) : self(owner) {}

  TServerWinSocket& self;
  std::shared_ptr<detail::EventListener> listener;
  std::vector<TServerClientWinSocket*> connections;
  std::shared_ptr<char> alive = std::make_shared<char>();
  int offered_fd = -1;         // the accepted socket being offered to the get-socket handler
  bool offered_taken = false;  // a connection object was made for it
};

TServerWinSocket::TServerWinSocket(TServerSocket& owner)
    : impl_(std::make_unique<Impl>(*this)), owner_(owner) {}

TServerWinSocket::~TServerWinSocket() {
  // Connections still here are handling an event and will be destroyed after it: they must
  // not look for this listener then.
  for (TServerClientWinSocket* connection : impl_->connections) connection->server_ = nullptr;
}

int TServerWinSocket::ActiveConnections() const {
  return static_cast<int>(impl_->connections.size());
}

TServerClientWinSocket* TServerWinSocket::Connections(int index) const {
  return impl_->connections.at(static_cast<std::size_t>(index));
}

// --- TServerClientWinSocket ---------------------------------------------------------------

TServerClientWinSocket::TServerClientWinSocket(TSocket socket, TServerWinSocket* server_socket)
    : server_(server_socket) {
  Impl& d = *impl_;
  // The listener's own accepted socket is non-blocking already; any other may not be.
  const bool offered = server_ != nullptr && server_->impl_->offered_fd == socket;
  if (offered) server_->impl_->offered_taken = true;
  d.socket = platform::MakeRecycledShared<EventSocket>(socket, Window(), &d,
                                           offered ? EventSocket::Blocking::kNonBlocking
                                                   : EventSocket::Blocking::kSwitch);
  d.socket->Start(FD_READ | FD_CLOSE);
  d.connected = true;
  if (server_ == nullptr) return;
  TServerWinSocket::Impl& s = *server_->impl_;
  d.index = s.connections.size();
  s.connections.push_back(this);
  OnSocketEvent = [server = server_](TCustomWinSocket*, TCustomWinSocket* target,
                                     TSocketEvent event) {
    TServerSocket& owner = server->Owner();
    switch (event) {
      case TSocketEvent::seConnect:
        if (owner.OnClientConnect) owner.OnClientConnect(&owner, target);
        break;
      case TSocketEvent::seDisconnect:
        if (owner.OnClientDisconnect) owner.OnClientDisconnect(&owner, target);
        break;
      case TSocketEvent::seRead:
        if (owner.OnClientRead) owner.OnClientRead(&owner, target);
        break;
      case TSocketEvent::seWrite:
        if (owner.OnClientWrite) owner.OnClientWrite(&owner, target);
        break;
      default:
        break;
    }
  };
  OnErrorEvent = [server = server_](TCustomWinSocket*, TCustomWinSocket* target, TErrorEvent error,
                                    int& code) {
    TServerSocket& owner = server->Owner();
    if (owner.OnClientError) owner.OnClientError(&owner, target, error, code);
  };
  d.on_closed = [this] {
    detail::DestroyAfterEvents(impl_->alive, impl_->in_event, [this] { delete this; });
  };
}

TServerClientWinSocket::~TServerClientWinSocket() {
  impl_->Silence();
  if (server_ == nullptr) return;
  TServerWinSocket::Impl& s = *server_->impl_;
  // Out of the list in constant time: the last one takes this one's place.
  const std::size_t index = impl_->index;
  if (index < s.connections.size() && s.connections[index] == this) {
    s.connections[index] = s.connections.back();
    s.connections[index]->impl_->index = index;
    s.connections.pop_back();
  }
  if (s.listener && s.listener->HasWaiting()) {
    Reactor::Instance().Post([alive = std::weak_ptr<char>(s.alive), &s] {
      if (!alive.expired() && s.listener) s.listener->Resume();
    });
  }
}

// --- TServerSocket ------------------------------------------------------------------------

TServerSocket::TServerSocket(TComponent* owner)
    : TComponent(owner), socket_(std::make_unique<TServerWinSocket>(*this)) {}

TServerSocket::~TServerSocket() {
  Close();
}

void TServerSocket::SetPort(int port) {
  port_ = port;
}

bool TServerSocket::Active() const {
  return socket_->impl_->listener != nullptr;
}

int TServerSocket::LocalPort() const {
  const auto& listener = socket_->impl_->listener;
  return listener ? listener->LocalPort() : port_;
}

void TServerSocket::Open() {
  TServerWinSocket::Impl& d = *socket_->impl_;
  if (d.listener) return;
  d.listener = detail::EventListener::Listen(bind_address_, port_, [this, &d](int fd) {
    TServerClientWinSocket* client = nullptr;
    d.offered_fd = fd;
    d.offered_taken = false;
    try {
      if (on_get_socket_) {
        on_get_socket_(this, fd, client);
      } else {
        client = new TServerClientWinSocket(fd, socket_.get());
      }
    } catch (...) {
      ReportHandlerException();
    }
    d.offered_fd = -1;
    if (!d.offered_taken) {
      if (client != nullptr || d.connections.empty()) {
        // Nothing took the socket, and no connection's end would ever offer it again.
        ::close(fd);
        return true;
      }
      return false;  // at the limit: the client waits
    }
    if (client != nullptr && client->impl_->socket) {
      auto socket = client->impl_->socket;
      socket->Dispatch([client] { client->impl_->Fire(TSocketEvent::seConnect); });
    }
    return true;
  });
}

void TServerSocket::Close() {
  TServerWinSocket::Impl& d = *socket_->impl_;
  if (d.listener) {
    d.listener->Close();
    d.listener.reset();
  }

  std::vector<detail::SocketHolder*> connections;
  connections.reserve(d.connections.size());
  for (TServerClientWinSocket* c : d.connections) connections.push_back(c->impl_.get());
  detail::EndConnections(connections, [](detail::SocketHolder& holder) {
    delete &static_cast<TCustomWinSocket::Impl&>(holder).self;
  });
}

// --- TClientSocket ------------------------------------------------------------------------

class TClientSocket::ClientWinSocket final : public TCustomWinSocket {
 public:
  explicit ClientWinSocket(TClientSocket& owner) : component_(owner) {
    OnSocketEvent = [this](TCustomWinSocket*, TCustomWinSocket* target, TSocketEvent event) {
      TClientSocket& c = component_;
      c.SocketEvent(target, event);
      const platform::TEvent<TSocketNotifyEvent>* slot = nullptr;
      switch (event) {
        case TSocketEvent::seLookup:
          slot = &c.OnLookup;
          break;
        case TSocketEvent::seConnecting:
          slot = &c.OnConnecting;
          break;
        case TSocketEvent::seConnect:
          slot = &c.OnConnect;
          break;
        case TSocketEvent::seDisconnect:
          slot = &c.OnDisconnect;
          break;
        case TSocketEvent::seRead:
          slot = &c.OnRead;
          break;
        case TSocketEvent::seWrite:
          slot = &c.OnWrite;
          break;
        default:
          break;
      }
      if (slot != nullptr && *slot) (*slot)(&c, target);
    };
    OnErrorEvent = [this](TCustomWinSocket*, TCustomWinSocket* target, TErrorEvent error,
                          int& code) {
      if (component_.OnError) component_.OnError(&component_, target, error, code);
    };
    impl_->on_closed = [this] {
      active_ = false;
      ++generation_;
    };
  }

  bool active() const { return active_; }

  void set_active_flag(bool active) { active_ = active; }

  bool streamed_active = false;

  void Open() {
    const TClientSocket& c = component_;
    if (c.Address.empty() && c.Host.empty()) {
      throw ESocketError("No host or address to connect to", EDESTADDRREQ);
    }
    if (c.Port <= 0 && c.Service.empty())
      throw ESocketError("No port or service to connect to", EINVAL);
    active_ = true;
    const std::uint64_t generation = ++generation_;
    Reactor::Instance().Post([this, alive = std::weak_ptr<char>(impl_->alive), generation] {
      if (!alive.expired() && generation == generation_) Lookup(generation);
    });
  }

  void Shut() {
    ++generation_;
    dialer_.Cancel();
    if (impl_->socket) Close();
    active_ = false;
  }

 private:
  bool Current(std::uint64_t generation) const { return active_ && generation == generation_; }

  // An event before a socket exists (lookup, connecting): exceptions are shown.
  void Event(TSocketEvent event) {
    try {
      impl_->Fire(event);
    } catch (...) {
      ReportHandlerException();
    }
  }

  void Failed(TErrorEvent error, int code) {
    try {
      impl_->ReportError(error, code);
    } catch (...) {
      ReportHandlerException();
    }
    Shut();
  }

  void Lookup(std::uint64_t generation) {
    Event(TSocketEvent::seLookup);
    if (!Current(generation)) return;
    const TClientSocket& c = component_;
    const int port = c.Port > 0 ? c.Port : detail::ServicePort(c.Service);
    if (port <= 0 || port > 65535) {
      Failed(TErrorEvent::eeLookup, WSATYPE_NOT_FOUND);
      return;
    }
    // Address takes only numeric addresses.
    detail::Dialer::Steps steps;
    steps.connecting = [this, generation] {
      Event(TSocketEvent::seConnecting);
      return Current(generation);
    };
    steps.adopt = [this](int fd) {
      impl_->socket =
          platform::MakeRecycledShared<EventSocket>(fd, Window(), impl_.get(), EventSocket::Blocking::kNonBlocking);
      return impl_->socket.get();
    };
    steps.failed = [this, generation](SocketOp op, int code) {
      if (Current(generation)) Failed(ErrorEventOf(op), code);
    };
    steps.tls = c.Tls;
    dialer_.Dial(c.Address.empty() ? c.Host : c.Address, !c.Address.empty(), port,
                 FD_READ | FD_WRITE | FD_CLOSE, std::move(steps));
  }

  TClientSocket& component_;
  detail::Dialer dialer_;
  std::uint64_t generation_ = 0;  // a new open or a close makes earlier steps stale
  bool active_ = false;
};

TClientSocket::TClientSocket(TComponent* owner)
    : TComponent(owner), socket_(std::make_unique<ClientWinSocket>(*this)) {}

TClientSocket::~TClientSocket() = default;

bool TClientSocket::Active() const {
  return socket_->active();
}

TCustomWinSocket& TClientSocket::Socket() {
  return *socket_;
}

void TClientSocket::SetActive(bool active) {
  if (IsLoading()) {
    socket_->streamed_active = active;
    return;
  }
  if (IsDesigning()) {
    socket_->set_active_flag(active);  // the designer stores it; nothing connects there
    return;
  }
  if (active == socket_->active()) return;
  if (active) {
    socket_->Open();
  } else {
    socket_->Shut();
  }
}

void TClientSocket::Loaded() {
  TComponent::Loaded();
  if (socket_->streamed_active) {
    socket_->streamed_active = false;
    SetActive(true);
  }
}

const platform::ClassInfo& TClientSocket::Class() {
  static const platform::ClassInfo& info =
      platform::ClassBuilder<TClientSocket>("TClientSocket")
          .Integer(
              "Active", [](const TClientSocket& c) -> std::int64_t { return c.Active() ? 1 : 0; },
              [](TClientSocket& c, std::int64_t v) { c.SetActive(v != 0); }, 0)
          .Text("Address", &TClientSocket::Address, std::string())
          .Integer(
              "ClientType",
              [](const TClientSocket& c) -> std::int64_t {
                return static_cast<std::int64_t>(c.ClientType);
              },
              [](TClientSocket& c, std::int64_t v) {
                c.ClientType = v == 1 ? TClientType::ctBlocking : TClientType::ctNonBlocking;
              },
              0)
          .Text("Host", &TClientSocket::Host, std::string())
          .Integer("Port", &TClientSocket::Port, 0)
          .Text("Service", &TClientSocket::Service, std::string())
          .Event("OnLookup", &TClientSocket::OnLookup)
          .Event("OnConnecting", &TClientSocket::OnConnecting)
          .Event("OnConnect", &TClientSocket::OnConnect)
          .Event("OnDisconnect", &TClientSocket::OnDisconnect)
          .Event("OnRead", &TClientSocket::OnRead)
          .Event("OnWrite", &TClientSocket::OnWrite)
          .Event("OnError", &TClientSocket::OnError)
          .Register();
  return info;
}

}  // namespace quorvin::net
