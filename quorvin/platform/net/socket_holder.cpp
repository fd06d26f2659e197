#include "quorvin/platform/net/socket_holder.h"

#include <unistd.h>

#include "quorvin/platform/net/reactor.h"

namespace quorvin::net::detail {

const std::string& HostName() {
  static const std::string name = [] {
    char text[256] = {};
    if (::gethostname(text, sizeof text - 1) != 0) return std::string();
    return std::string(text);
  }();
  return name;
}

void SocketHolder::SocketConnected() {
  connected = true;
  Report(Note::kConnect);
}

void SocketHolder::SocketFailed(SocketOp op, int code) {
  {
    EventScope scope(in_event);
    Failure(op, code);
  }
  CloseOwner();
}

void SocketHolder::Report(Note note) {
  EventScope scope(in_event);
  Notify(note);
}

bool SocketHolder::CloseSocket() {
  if (closing || !socket) return false;
  closing = true;
  if (connected) {
    connected = false;
    try {
      Report(Note::kDisconnect);
    } catch (...) {
      ReportHandlerException();
    }
  }
  Silence();
  closing = false;
  return true;
}

void SocketHolder::Silence() {
  if (auto closed = std::move(socket)) closed->Close(false);
}

int SocketHolder::Handle() const {
  return socket ? socket->Handle() : INVALID_SOCKET;
}

std::string SocketHolder::LocalAddress() const {
  return socket ? socket->LocalAddress() : std::string();
}

int SocketHolder::LocalPort() const {
  return socket ? socket->LocalPort() : 0;
}

std::string SocketHolder::RemoteAddress() const {
  return socket ? socket->RemoteAddress() : std::string();
}

int SocketHolder::RemotePort() const {
  return socket ? socket->RemotePort() : 0;
}

void EndConnections(const std::vector<SocketHolder*>& connections,
                    const std::function<void(SocketHolder&)>& destroy) {
  struct Entry {
    std::weak_ptr<char> alive;
    SocketHolder* holder;
  };

  std::vector<Entry> ending;
  ending.reserve(connections.size());
  for (SocketHolder* holder : connections) ending.push_back({holder->alive, holder});
  for (const Entry& e : ending) {
    if (e.alive.expired()) continue;  // a disconnect handler ended it already
    e.holder->CloseOwner();
    if (!e.alive.expired() && e.holder->in_event == 0) destroy(*e.holder);
  }
}

}  // namespace quorvin::net::detail
