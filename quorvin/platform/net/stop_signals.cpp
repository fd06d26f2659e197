#include "quorvin/platform/net/stop_signals.h"

#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

#include "quorvin/platform/net/application.h"

namespace quorvin::net {

StopOnSignals::StopOnSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  ::pthread_sigmask(SIG_BLOCK, &set, &previous_);
  fd_ = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (fd_ < 0) {
    const int error = errno;
    ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    throw std::runtime_error(std::string("cannot watch for signals: ") + std::strerror(error));
  }
  if (!Reactor::Instance().Watch(fd_, this, EPOLLIN)) {
    const int error = errno;
    ::close(fd_);
    ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    throw std::runtime_error(std::string("cannot watch for signals: ") + std::strerror(error));
  }
}

StopOnSignals::~StopOnSignals() {
  Reactor::Instance().Forget(fd_, this, true);
  ::close(fd_);
  ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

void StopOnSignals::Ready(std::uint32_t) {
  signalfd_siginfo info{};
  while (::read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    received_ = static_cast<int>(info.ssi_signo);
    Application::Instance().Terminate();
  }
}

}  // namespace quorvin::net
