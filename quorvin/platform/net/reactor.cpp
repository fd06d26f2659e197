#include "quorvin/platform/net/reactor.h"

#include <sys/epoll.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <system_error>

#include "quorvin/platform/core/message_box.h"

namespace quorvin::net {

namespace {

std::uint64_t Key(int fd, std::uint32_t generation) {
  return (std::uint64_t{generation} << 32) | static_cast<std::uint32_t>(fd);
}

}  // namespace

void ReportHandlerException() noexcept {
  try {
    try {
      throw;
    } catch (const std::exception& e) {
      platform::ShowMessageBox(e.what(), "Quorvin");
    } catch (...) {
      platform::ShowMessageBox("Unknown exception in an event handler", "Quorvin");
    }
  } catch (...) {
    // A message sink that fails has nowhere left to report to.
  }
}

Reactor& Reactor::Instance() {
  static Reactor* const reactor = new Reactor;
  return *reactor;
}

Reactor::Reactor() : epfd_(::epoll_create1(EPOLL_CLOEXEC)) {
  if (epfd_ < 0) throw std::system_error(errno, std::generic_category(), "epoll_create1");
}

Reactor::Slot& Reactor::SlotOf(int fd) {
  const auto index = static_cast<std::size_t>(fd);
  if (index >= slots_.size()) slots_.resize(std::max<std::size_t>(index + 1, slots_.size() * 2));
  return slots_[index];
}

bool Reactor::Watch(int fd, ReadyWatcher* watcher, std::uint32_t events) {
  if (fd < 0) {
    errno = EBADF;
    return false;
  }
  Slot& slot = SlotOf(fd);
  ++slot.generation;
  epoll_event ev{};
  ev.events = events;
  ev.data.u64 = Key(fd, slot.generation);
  if (::epoll_ctl(epfd_, EPOLL_CTL_ADD, fd, &ev) != 0) return false;
  slot.watcher = watcher;
  return true;
}

bool Reactor::Change(int fd, const ReadyWatcher* watcher, std::uint32_t events) {
  if (fd < 0 || static_cast<std::size_t>(fd) >= slots_.size()) return false;
  const Slot& slot = slots_[static_cast<std::size_t>(fd)];
  if (slot.watcher != watcher || watcher == nullptr) return false;
  epoll_event ev{};
  ev.events = events;
  ev.data.u64 = Key(fd, slot.generation);
  return ::epoll_ctl(epfd_, EPOLL_CTL_MOD, fd, &ev) == 0;
}

void Reactor::Forget(int fd, const ReadyWatcher* watcher, bool deregister) {
  if (fd < 0 || static_cast<std::size_t>(fd) >= slots_.size()) return;
  Slot& slot = slots_[static_cast<std::size_t>(fd)];
  if (slot.watcher != watcher || watcher == nullptr) return;
  slot.watcher = nullptr;
  if (deregister) ::epoll_ctl(epfd_, EPOLL_CTL_DEL, fd, nullptr);
}

void Reactor::Turn(std::chrono::nanoseconds max_wait) {
  platform::DeadlineQueue& deadlines = platform::DeadlineQueue::Instance();
  std::int64_t wait_ns = posted_.empty() ? std::max<std::int64_t>(0, max_wait.count()) : 0;
  if (wait_ns > 0) {
    if (const auto until = deadlines.Until(platform::DeadlineQueue::Now())) {
      wait_ns = std::min(wait_ns, *until);
    }
  }
  // Rounded up: a wait that ends just before the deadline would only turn again at once.
  const int wait_ms =
      static_cast<int>(std::min<std::int64_t>((wait_ns + 999'999) / 1'000'000, 3'600'000));

  epoll_event events[128];
  int n = ::epoll_wait(epfd_, events, 128, wait_ms);
  if (n < 0) {
    // Any failure but a signal's interruption comes back at once on every turn: a loop that
    // turned on would spin without ever waiting.
    if (errno != EINTR) throw std::system_error(errno, std::generic_category(), "epoll_wait");
    n = 0;  // the deadlines and the posted work still run
  }
  for (int i = 0; i < n; ++i) {
    const auto fd = static_cast<std::size_t>(events[i].data.u64 & 0xFFFFFFFFu);
    const auto generation = static_cast<std::uint32_t>(events[i].data.u64 >> 32);
    // A handler may have closed a socket whose event is further down this batch, and its
    // number may already belong to a new socket.
    if (fd >= slots_.size()) continue;
    const Slot& slot = slots_[fd];
    if (slot.watcher == nullptr || slot.generation != generation) continue;
    try {
      slot.watcher->Ready(events[i].events);
    } catch (...) {
      ReportHandlerException();
    }
  }
  if (!deadlines.Empty()) deadlines.RunDue(platform::DeadlineQueue::Now(), &ReportHandlerException);
  // Work posted by posted work (a write event that closes its socket, whose destruction is
  // posted in turn) runs in this turn too, a few batches deep, instead of costing a wait that
  // does not block for each step; work that keeps posting itself still lets the loop back to
  // its sockets.
  for (int batch = 0; batch < kPostedBatchesPerTurn && !posted_.empty(); ++batch) RunPosted();
}

void Reactor::RunPosted() {
  if (posted_.empty()) return;
  // Only what was posted before this point runs now: work that posts itself again (waiting
  // for a handler to end) must not keep the loop from its sockets. The batch is a local: a
  // handler may run a nested loop (a modal wait) that runs batches of its own.
  std::vector<platform::Task> batch = std::move(posted_);
  posted_ = std::move(spare_);
  posted_.clear();
  for (auto& fn : batch) {
    try {
      fn();
    } catch (...) {
      ReportHandlerException();
    }
  }
  batch.clear();
  spare_ = std::move(batch);  // its room serves the next turn
}

}  // namespace quorvin::net
