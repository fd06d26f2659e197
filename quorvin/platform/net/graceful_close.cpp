#include "quorvin/platform/net/graceful_close.h"

#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>

namespace quorvin::net::detail {

bool GracefulClose::StartLinger(int fd) {
  int unread = 0;
  if (::ioctl(fd, FIONREAD, &unread) != 0 || unread <= 0) return false;
  ::shutdown(fd, SHUT_WR);
  limit_.After(kLingerLimit);
  return true;
}

bool GracefulClose::DropInput(int fd) {
  char scrap[16 * 1024];
  for (;;) {
    const ssize_t n = ::recv(fd, scrap, sizeof scrap, 0);
    if (n > 0) continue;
    if (n < 0 && errno == EINTR) continue;
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }
}

}  // namespace quorvin::net::detail
