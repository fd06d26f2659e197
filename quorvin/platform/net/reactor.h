#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "quorvin/platform/core/deadline.h"
#include "quorvin/platform/core/task.h"

// The one place where the program's sockets, timers and posted work wait: an epoll set, the
// program's deadlines (platform::DeadlineQueue) and a queue of work to run after the current
// handler. It runs on the program's thread; nothing in it locks, and none of it may be called
// from another thread.
namespace quorvin::net {

using platform::Deadline;

// What the reactor reports a descriptor's readiness to: the epoll event bits (EPOLLIN,
// EPOLLOUT, EPOLLRDHUP, EPOLLHUP, EPOLLERR) that the wait saw.
class ReadyWatcher {
 public:
  virtual void Ready(std::uint32_t events) = 0;

 protected:
  ~ReadyWatcher() = default;
};

// Shows an exception that escaped a handler to the desktop user, as the framework does for any
// handler, so that nothing is thrown out of the event loop. Call it from inside a catch.
void ReportHandlerException() noexcept;

class Reactor {
 public:
  // The program's reactor. Never destroyed: sockets of objects with static storage may leave
  // it while the program exits.
  static Reactor& Instance();

  // Watches `fd` for `events` (epoll bits; EPOLLET for edges). False with errno set when the
  // system refuses. A descriptor number used again gets a new registration: events still
  // queued for the old one are dropped.
  bool Watch(int fd, ReadyWatcher* watcher, std::uint32_t events);
  // Changes what `fd` is watched for (0: nothing but errors).
  bool Change(int fd, const ReadyWatcher* watcher, std::uint32_t events);
  // Stops reporting `fd` to `watcher`. With `deregister` the set forgets the descriptor now;
  // without, its owner is about to close it, which takes it out of the set by itself.
  void Forget(int fd, const ReadyWatcher* watcher, bool deregister);

  // Runs `fn` from the loop after the current handler has returned, in the order of posting.
  // Work that holds no more than a few pointers is posted without an allocation.
  template <class F>
  void Post(F&& fn) {
    posted_.emplace_back(std::forward<F>(fn));
  }

  // One turn: waits at most `max_wait` (0: not at all) for readiness or the next deadline,
  // then reports readiness, runs the deadlines that are due and the work posted until then
  // (and what that work posts, up to three batches deep). A signal that cuts the wait short only shortens it. Throws std::system_error
  // when the wait itself fails (the epoll set is unusable): nothing is run then.
  void Turn(std::chrono::nanoseconds max_wait);

 private:
  Reactor();

  struct Slot {
    ReadyWatcher* watcher = nullptr;
    std::uint32_t generation = 0;
  };

  static constexpr int kPostedBatchesPerTurn = 3;

  Slot& SlotOf(int fd);
  void RunPosted();

  int epfd_;
  std::vector<Slot> slots_;  // by descriptor
  std::vector<platform::Task> posted_;
  std::vector<platform::Task> spare_;  // an emptied batch, kept for its room
};

}  // namespace quorvin::net
