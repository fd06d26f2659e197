#pragma once

#include <vector>

#include "quorvin/platform/net/notify.h"

// The notification window of a socket layer, as the host's async-select call knows it: the
// layer's sockets by handle, so that WSAAsyncSelect can find the socket it is given and change
// which events that socket reports.
namespace quorvin::net::detail {

class EventSocket;

// One per layer, never destroyed: sockets may outlive static objects while the loop shuts
// down.
class SocketWindow final : public TNotifyWindow {
 public:
  explicit SocketWindow(unsigned message) : message_(message) {}

  unsigned Message() const override { return message_; }

  // EventSocket::Select on the socket registered for `socket`; false when there is none.
  bool Select(TSocket socket, long events) override;

  void Register(int fd, EventSocket* socket);
  // Forgets `fd` only while it is still `socket`'s: its number may belong to a newer one.
  void Unregister(int fd, const EventSocket* socket);
  EventSocket* Find(int fd) const;

 private:
  unsigned message_;
  std::vector<EventSocket*> by_fd_;  // indexed by descriptor: descriptors are small integers
};

}  // namespace quorvin::net::detail
