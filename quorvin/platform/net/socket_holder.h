#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "quorvin/platform/core/recycled.h"
#include "quorvin/platform/net/event_socket.h"
#include "quorvin/platform/net/reactor.h"

// What the layers' connection objects share around their EventSocket: turning readiness into
// the layer's notes, closing the object when its socket ends or fails, and destroying a closed
// connection only once no event of it is being handled.
namespace quorvin::net::detail {

// Counts the events a layer object is handling, so that its destruction waits for them.
class EventScope {
 public:
  explicit EventScope(int& depth) : depth_(depth) { ++depth_; }

  ~EventScope() { --depth_; }

  EventScope(const EventScope&) = delete;
  EventScope& operator=(const EventScope&) = delete;

 private:
  int& depth_;
};

// Runs `destroy` from the loop once the object that `alive` watches is in no event any more
// (`depth`, its EventScope count, is 0): a connection closed inside its own event dies after
// that event and any it is nested in. Nothing happens when the object is gone by then.
template <class F>
void DestroyAfterEvents(std::weak_ptr<void> alive, const int& depth, F destroy) {
  Reactor::Instance().Post([alive = std::move(alive), &depth, destroy = std::move(destroy)]() mutable {
    if (alive.expired()) return;
    if (depth > 0) {
      DestroyAfterEvents(std::move(alive), depth, std::move(destroy));
      return;
    }
    destroy();
  });
}

// What a layer's connection object keeps of its EventSocket, with the event plumbing both
// layers share: readiness becomes the layer's notes, an ended or failed socket closes the
// object, and the object's close fires its disconnect before the socket goes.
class SocketHolder : public EventSocketClient, public platform::Recycled {
 public:
  enum class Note { kRead, kWrite, kConnect, kDisconnect };

  void SocketReadable() override { Report(Note::kRead); }

  void SocketWritable() override { Report(Note::kWrite); }

  void SocketConnected() override;

  void SocketEnded() override { CloseOwner(); }

  void SocketFailed(SocketOp op, int code) override;

  // The layer object's own Close.
  virtual void CloseOwner() = 0;
  // Tells the layer of `note` as an event of this object.
  void Report(Note note);
  // The common part of a layer object's Close: kDisconnect (when connected; exceptions are
  // shown), then the socket closes. False when there was nothing to close.
  bool CloseSocket();
  // Closes the socket without telling anyone, for the object's destructor.
  void Silence();

  int Handle() const;
  std::string LocalAddress() const;
  int LocalPort() const;
  std::string RemoteAddress() const;
  int RemotePort() const;

  std::shared_ptr<EventSocket> socket;
  std::shared_ptr<char> alive = platform::MakeRecycledShared<char>();  // weak copies tell late callbacks
  std::size_t index = 0;                                   // place in the listener's list
  int in_event = 0;                                        // see EventScope
  bool connected = false;
  bool closing = false;

 protected:
  ~SocketHolder() = default;
  virtual void Notify(Note note) = 0;
  virtual void Failure(SocketOp op, int code) = 0;
};

// Ends every connection of a listener that closes: each still there is closed with
// CloseOwner (whose handlers may end others meanwhile), then given to `destroy` unless it is
// handling an event; one that is dies after it, as its close arranged.
void EndConnections(const std::vector<SocketHolder*>& connections,
                    const std::function<void(SocketHolder&)>& destroy);

// The machine's host name, looked up once per process.
const std::string& HostName();

}  // namespace quorvin::net::detail
