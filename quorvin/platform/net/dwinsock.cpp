#include "quorvin/platform/net/dwinsock.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include <unistd.h>

#include "quorvin/platform/core/text.h"
#include "quorvin/platform/net/dialer.h"
#include "quorvin/platform/net/event_listener.h"
#include "quorvin/platform/net/event_socket.h"
#include "quorvin/platform/net/reactor.h"
#include "quorvin/platform/net/socket_holder.h"

namespace quorvin::net {

using detail::EventSocket;
using detail::SocketOp;

namespace {

// This layer's notification window, for WSAAsyncSelect with DW_SOCKETMESSAGE.
detail::SocketWindow& Window() {
  static auto* window = new detail::SocketWindow(DW_SOCKETMESSAGE);
  return *window;
}

TSockErrorOp OpOf(SocketOp op) {
  switch (op) {
    case SocketOp::kConnect:
      return TSockErrorOp::opConnect;
    case SocketOp::kLookup:
      return TSockErrorOp::opLookup;
    case SocketOp::kSend:
      return TSockErrorOp::opSend;
    default:
      return TSockErrorOp::opReceive;
  }
}

// Which of a component's four connection slots hears `event`.
const platform::TEvent<TStreamSocketEvent>& SlotOf(
    TSockEvent event, const platform::TEvent<TStreamSocketEvent>& connect,
    const platform::TEvent<TStreamSocketEvent>& disconnect,
    const platform::TEvent<TStreamSocketEvent>& read,
    const platform::TEvent<TStreamSocketEvent>& write) {
  switch (event) {
    case TSockEvent::seConnect:
      return connect;
    case TSockEvent::seDisconnect:
      return disconnect;
    case TSockEvent::seRead:
      return read;
    case TSockEvent::seWrite:
      break;
  }
  return write;
}

}  // namespace

// --- TStreamSocket ------------------------------------------------------------------------

struct TStreamSocket::Impl final : detail::SocketHolder {
  explicit Impl(TStreamSocket& owner) : self(owner) {}

  void Notify(Note note) override {
    static constexpr TSockEvent kEvents[] = {TSockEvent::seRead, TSockEvent::seWrite,
                                             TSockEvent::seConnect, TSockEvent::seDisconnect};
    if (sink != nullptr) sink->StreamEvent(self, kEvents[static_cast<int>(note)]);
  }

  void Failure(SocketOp op, int code) override {
    if (sink != nullptr) sink->StreamError(self, OpOf(op), code);
  }

  void CloseOwner() override { self.Close(); }

  // A receive or send failed: the socket is unusable, and the connection ends from the loop
  // unless its owner closes it first.
  void Failed() {
    failed = true;
    Reactor::Instance().Post([this, gone = std::weak_ptr<char>(alive)] {
      if (!gone.expired()) self.Close();
    });
  }

  TStreamSocket& self;
  detail::StreamSocketSink* sink = nullptr;
  bool failed = false;
};

TStreamSocket::~TStreamSocket() {
  // Silently: whatever derived from this socket is gone already.
  impl_->Silence();
}

int TStreamSocket::Recv(void* buffer, int count) {
  Impl& d = *impl_;
  if (!d.socket) return 0;
  if (count <= 0) return -1;
  int error = 0;
  const int n = d.socket->Receive(buffer, count, error);
  if (error == 0) return n;
  d.Failed();
  throw ESocketError(std::string("Socket error on receive: ") + std::strerror(error) + " (" +
                         std::to_string(error) + ")",
                     error);
}

int TStreamSocket::Send(const void* buffer, int count) {
  Impl& d = *impl_;
  if (!d.socket || !d.connected || d.failed || count < 0) return -1;
  if (count == 0) return 0;
  int error = 0;
  const int n = d.socket->SendSome(buffer, static_cast<std::size_t>(count), error);
  if (n >= 0) return n;
  d.Failed();
  return -1;
}

bool TStreamSocket::SendQueued(const void* buffer, int count) {
  const Impl& d = *impl_;
  if (!d.socket || !d.connected || d.failed || count < 0) return false;
  return d.socket->QueueBytes(buffer, static_cast<std::size_t>(count));
}

bool TStreamSocket::SendStreamQueued(std::unique_ptr<platform::TStream>& stream, bool close_after) {
  const Impl& d = *impl_;
  if (!d.socket || !d.connected || d.failed) return false;
  return d.socket->QueueStream(stream, close_after);
}

void TStreamSocket::SetSendTimeout(std::chrono::milliseconds limit) {
  if (impl_->socket) impl_->socket->SetSendTimeout(limit);
}

void TStreamSocket::StartTls(std::shared_ptr<TlsContext> context) {
  if (impl_->socket) impl_->socket->UseTls(std::move(context));
}

bool TStreamSocket::Secure() const {
  return impl_->socket && impl_->socket->Tls() != nullptr;
}

const platform::TStream* TStreamSocket::QueuedStream() const {
  return impl_->socket ? impl_->socket->QueuedStream() : nullptr;
}

std::size_t TStreamSocket::QueuedBytes() const {
  return impl_->socket ? impl_->socket->QueuedBytes() : 0;
}

void TStreamSocket::Close() {
  if (impl_->CloseSocket() && impl_->sink != nullptr) impl_->sink->StreamClosed(*this);
}

bool TStreamSocket::GetConnected() const {
  return impl_->connected && !impl_->failed && impl_->socket != nullptr;
}

TSocket TStreamSocket::SocketHandle() const {
  return impl_->Handle();
}

HWND TStreamSocket::GetHandle() const {
  return &Window();
}

std::string TStreamSocket::LocalAddress() const {
  return impl_->LocalAddress();
}

int TStreamSocket::LocalPort() const {
  return impl_->LocalPort();
}

std::string TStreamSocket::RemoteAddress() const {
  return impl_->RemoteAddress();
}

int TStreamSocket::RemotePort() const {
  return impl_->RemotePort();
}

std::string LocalHost() {
  return detail::HostName();
}

// --- TSockCtrl ----------------------------------------------------------------------------

void TSockCtrl::SetPort(std::string_view decimal_text) {
  const std::string_view text = platform::Trim(decimal_text);
  const bool digits =
      !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
  const auto port = digits ? platform::ParseDecimal(text) : std::nullopt;
  if (!port || *port > 65535)
    throw ESocketError("Not a port number: \"" + std::string(decimal_text) + "\"", EINVAL);
  port_ = static_cast<int>(*port);
}

HWND TSockCtrl::GetHandle() const {
  return &Window();
}

// --- TCustomBasicServerSocket -------------------------------------------------------------

struct TCustomBasicServerSocket::Impl final : detail::StreamSocketSink {
  explicit Impl(TCustomBasicServerSocket& owner) : self(owner) {}

  void StreamEvent(TStreamSocket& connection, TSockEvent event) override {
    const auto& slot = SlotOf(event, self.OnAccept, self.OnDisconnect, self.OnRead, self.OnWrite);
    if (slot) slot(&self, &connection);
  }

  void StreamError(TStreamSocket& connection, TSockErrorOp op, int code) override {
    if (self.OnError) self.OnError(&self, &connection, op, code);
  }

  void StreamClosed(TStreamSocket& connection) override {
    // Destroyed from the loop, after the event that closed it (and any it is nested in).
    detail::DestroyAfterEvents(connection.impl_->alive, connection.impl_->in_event,
                               [this, listener = std::weak_ptr<char>(alive), &connection] {
                                 if (!listener.expired()) Remove(connection);
                               });
  }

  // The listener offers each accepted handle to the factory: a connection made for it takes
  // it (TakeOffered, from the connection's constructor); one that nothing took is closed.
  bool TakeOffered(TSocket handle) {
    if (handle != offered || handle == INVALID_SOCKET) return false;
    offered_taken = true;
    return true;
  }

  bool Accept(int fd) {
    if (!self.CanAccept()) return false;  // waits in the listener until a connection ends
    offered = fd;
    offered_taken = false;
    std::unique_ptr<TStreamSocket> made;
    try {
      made = factory ? factory(self, fd) : std::make_unique<TStreamSocket>(fd, &self);
    } catch (...) {
      ReportHandlerException();
    }
    offered = INVALID_SOCKET;
    if (!offered_taken) {
      ::close(fd);
      return true;  // turned away
    }
    // Taken, then dropped or thrown out by the factory: the handle went with the object.
    if (!made || !made->impl_->socket || made->impl_->socket->Handle() != fd) return true;
    TStreamSocket* connection = made.get();
    TStreamSocket::Impl& c = *connection->impl_;
    connection->owner_ = &self;
    c.sink = this;
    c.connected = true;
    c.index = connections.size();
    connections.push_back(std::move(made));
    const std::shared_ptr<EventSocket> socket = c.socket;
    socket->Start(FD_READ | FD_CLOSE);
    socket->Dispatch([&c] { c.Report(detail::SocketHolder::Note::kConnect); });
    return true;
  }

  void Remove(TStreamSocket& connection) {
    // Out of the list in constant time: the last one takes this one's place.
    const std::size_t index = connection.impl_->index;
    if (index >= connections.size() || connections[index].get() != &connection) return;
    std::unique_ptr<TStreamSocket> gone = std::move(connections[index]);
    if (index + 1 < connections.size()) {
      connections[index] = std::move(connections.back());
      connections[index]->impl_->index = index;
    }
    connections.pop_back();
    // A client kept waiting by CanAccept may have its turn now.
    if (listener && listener->HasWaiting()) {
      Reactor::Instance().Post([weak = std::weak_ptr<char>(alive), this] {
        if (!weak.expired() && listener) listener->Resume();
      });
    }
  }

  TCustomBasicServerSocket& self;
  TConnectionFactory factory;
  std::shared_ptr<detail::EventListener> listener;
  std::vector<std::unique_ptr<TStreamSocket>> connections;
  std::shared_ptr<char> alive = std::make_shared<char>();
  TSocket offered = INVALID_SOCKET;  // the accepted handle being offered to the factory
  bool offered_taken = false;
};

// Here, after the listener's Impl: a listener's connection takes the handle it is offered.
TStreamSocket::TStreamSocket(TSocket handle, TCustomBasicServerSocket* owner)
    : impl_(std::make_unique<Impl>(*this)), owner_(owner) {
  if (handle == INVALID_SOCKET) return;
  // The listener's own accepted socket is non-blocking already; any other may not be.
  const bool offered = owner != nullptr && owner->impl_->TakeOffered(handle);
  impl_->socket = platform::MakeRecycledShared<EventSocket>(
      handle, Window(), impl_.get(),
      offered ? EventSocket::Blocking::kNonBlocking : EventSocket::Blocking::kSwitch);
}

TCustomBasicServerSocket::TCustomBasicServerSocket(TComponent* owner)
    : TSockCtrl(owner), impl_(std::make_unique<Impl>(*this)) {}

TCustomBasicServerSocket::~TCustomBasicServerSocket() {
  Close();
  // Connections still here are handling an event (the listener is being destroyed from inside
  // it): they live on alone and die after it.
  for (auto& connection : impl_->connections) {
    connection->impl_->sink = nullptr;
    connection->owner_ = nullptr;
    TStreamSocket* orphan = connection.release();
    detail::DestroyAfterEvents(orphan->impl_->alive, orphan->impl_->in_event,
                               [orphan] { delete orphan; });
  }
}

void TCustomBasicServerSocket::Listen(TConnectionFactory factory) {
  Impl& d = *impl_;
  d.factory = std::move(factory);
  if (d.listener) return;
  d.listener = detail::EventListener::Listen(bind_address_, Port(), [&d](int fd) { return d.Accept(fd); });
}

void TCustomBasicServerSocket::Close() {
  Impl& d = *impl_;
  if (d.listener) {
    d.listener->Close();
    d.listener.reset();
  }

  std::vector<detail::SocketHolder*> connections;
  connections.reserve(d.connections.size());
  for (const auto& c : d.connections) connections.push_back(c->impl_.get());
  detail::EndConnections(connections, [&d](detail::SocketHolder& holder) {
    d.Remove(static_cast<TStreamSocket::Impl&>(holder).self);
  });
}

bool TCustomBasicServerSocket::Listening() const {
  return impl_->listener != nullptr;
}

int TCustomBasicServerSocket::LocalPort() const {
  return impl_->listener ? impl_->listener->LocalPort() : Port();
}

int TCustomBasicServerSocket::ConnectionCount() const {
  return static_cast<int>(impl_->connections.size());
}

TStreamSocket* TCustomBasicServerSocket::Connections(int index) const {
  return impl_->connections.at(static_cast<std::size_t>(index)).get();
}

// --- TCustomClientSocket ------------------------------------------------------------------

class TCustomClientSocket::Sink final : public detail::StreamSocketSink {
 public:
  explicit Sink(TCustomClientSocket& owner) : self_(owner) {}

  void StreamEvent(TStreamSocket& connection, TSockEvent event) override {
    self_.ConnectionEvent(&connection, event);
    const auto& slot =
        SlotOf(event, self_.OnConnect, self_.OnDisconnect, self_.OnRead, self_.OnWrite);
    if (slot) slot(&self_, &connection);
  }

  void StreamError(TStreamSocket& connection, TSockErrorOp op, int code) override {
    // Inactive before the handler runs, so that the handler may open again.
    if (op == TSockErrorOp::opConnect && &connection == self_.connection_.get())
      self_.active_ = false;
    Error(&connection, op, code);
  }

  void StreamClosed(TStreamSocket& connection) override {
    if (&connection == self_.connection_.get()) self_.active_ = false;
  }

  void Open() {
    TCustomClientSocket& c = self_;
    if (c.Address.empty() && c.Host.empty())
      throw ESocketError("No host or address to connect to", EDESTADDRREQ);
    if (c.Port() <= 0) throw ESocketError("No port to connect to", EINVAL);
    Retire();
    c.active_ = true;
    c.Opening();
    detail::Dialer::Steps steps;
    steps.adopt = [this](int fd) -> EventSocket* {
      TCustomClientSocket& client = self_;
      std::unique_ptr<TStreamSocket> made;
      try {
        made = client.CreateConnection(fd);
      } catch (...) {
        ReportHandlerException();
      }
      if (!made || made->SocketHandle() != fd) {
        // Nothing holds the handle: the factory is expected to return what it made for it.
        made.reset();
        ::close(fd);
        return nullptr;
      }
      made->impl_->sink = this;
      client.connection_ = std::move(made);
      return client.connection_->impl_->socket.get();
    };
    steps.failed = [this](SocketOp op, int code) {
      self_.active_ = false;
      Error(nullptr, OpOf(op), code);
    };
    // Address takes only numeric addresses.
    steps.tls = c.Tls;
    c.dialer_->Dial(c.Address.empty() ? c.Host : c.Address, !c.Address.empty(), c.Port(),
                   FD_READ | FD_WRITE | FD_CLOSE, std::move(steps));
  }

  void Shut() {
    TCustomClientSocket& c = self_;
    c.dialer_->Cancel();
    if (c.connection_) c.connection_->Close();
    c.active_ = false;
  }

  // Lets go of the last connection: at once, or after the events it is handling.
  void Retire() {
    TCustomClientSocket& c = self_;
    c.dialer_->Cancel();
    if (!c.connection_) return;
    std::unique_ptr<TStreamSocket> old = std::move(c.connection_);
    old->impl_->sink = nullptr;
    old->Close();
    if (old->impl_->in_event == 0) return;
    TStreamSocket* orphan = old.release();
    detail::DestroyAfterEvents(orphan->impl_->alive, orphan->impl_->in_event,
                               [orphan] { delete orphan; });
  }

 private:
  void Error(TStreamSocket* connection, TSockErrorOp op, int code) {
    try {
      if (self_.OnError) self_.OnError(&self_, connection, op, code);
    } catch (...) {
      ReportHandlerException();
    }
  }

  TCustomClientSocket& self_;
};

TCustomClientSocket::TCustomClientSocket(TComponent* owner)
    : TSockCtrl(owner),
      sink_(std::make_unique<Sink>(*this)),
      dialer_(std::make_unique<detail::Dialer>()) {}

TCustomClientSocket::~TCustomClientSocket() {
  // Silently: whatever derived from this component is gone already.
  sink_->Retire();
}

std::unique_ptr<TStreamSocket> TCustomClientSocket::CreateConnection(TSocket handle) {
  return std::make_unique<TStreamSocket>(handle, nullptr);
}

void TCustomClientSocket::SetActive(bool active) {
  if (IsLoading()) {
    streamed_active_ = active;
    return;
  }
  if (IsDesigning()) {
    active_ = active;  // the designer stores it; nothing connects there
    return;
  }
  if (active == active_) return;
  if (active) {
    sink_->Open();
  } else {
    sink_->Shut();
  }
}

void TCustomClientSocket::Loaded() {
  TSockCtrl::Loaded();
  if (streamed_active_) {
    streamed_active_ = false;
    SetActive(true);
  }
}

const platform::ClassInfo& TBasicClientSocket::Class() {
  using T = TBasicClientSocket;
  static const platform::ClassInfo& info =
      platform::ClassBuilder<T>("TBasicClientSocket")
          .Integer(
              "Active", [](const T& c) -> std::int64_t { return c.Active() ? 1 : 0; },
              [](T& c, std::int64_t v) { c.SetActive(v != 0); }, 0)
          .Text("Address", &T::Address, std::string())
          .Text("Host", &T::Host, std::string())
          .Integer(
              "Port", [](const T& c) -> std::int64_t { return c.Port(); },
              [](T& c, std::int64_t v) {
                try {
                  c.SetPort(std::to_string(v));
                } catch (const ESocketError& e) {
                  throw platform::PropertyError(e.what());
                }
              },
              0)
          .Event<TStreamSocketEvent>("OnConnect", &T::OnConnect)
          .Event<TStreamSocketEvent>("OnDisconnect", &T::OnDisconnect)
          .Event<TStreamSocketEvent>("OnRead", &T::OnRead)
          .Event<TStreamSocketEvent>("OnWrite", &T::OnWrite)
          .Event<TStreamSocketErrorEvent>("OnError", &T::OnError)
          .Register();
  return info;
}

}  // namespace quorvin::net
