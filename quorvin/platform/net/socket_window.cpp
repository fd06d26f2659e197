#include "quorvin/platform/net/socket_window.h"

#include <algorithm>
#include <cstddef>

#include "quorvin/platform/net/event_socket.h"

namespace quorvin::net {

int WSAAsyncSelect(TSocket socket, HWND window, unsigned msg, long events) {
  if (window == nullptr || window->Message() != msg) return -1;
  return window->Select(socket, events) ? 0 : -1;
}

namespace detail {

bool SocketWindow::Select(TSocket socket, long events) {
  EventSocket* target = Find(socket);
  if (target == nullptr) return false;
  target->Select(events);
  return true;
}

void SocketWindow::Register(int fd, EventSocket* socket) {
  if (fd < 0) return;
  const auto index = static_cast<std::size_t>(fd);
  if (index >= by_fd_.size())
    by_fd_.resize(std::max<std::size_t>(index + 1, by_fd_.size() * 2), nullptr);
  by_fd_[index] = socket;
}

void SocketWindow::Unregister(int fd, const EventSocket* socket) {
  const auto index = static_cast<std::size_t>(fd);
  if (fd >= 0 && index < by_fd_.size() && by_fd_[index] == socket) by_fd_[index] = nullptr;
}

EventSocket* SocketWindow::Find(int fd) const {
  const auto index = static_cast<std::size_t>(fd);
  return fd >= 0 && index < by_fd_.size() ? by_fd_[index] : nullptr;
}

}  // namespace detail
}  // namespace quorvin::net
