#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace quorvin::platform {

class DeadlineQueue;

// A moment at which `OnDue` runs, once, on the program's thread. The program's event loop runs
// the deadlines that are due (it waits for the earliest one among its sockets); destroying a
// deadline cancels it.
class Deadline {
 public:
  using Clock = std::chrono::steady_clock;

  Deadline() = default;
  explicit Deadline(std::function<void()> on_due) : OnDue(std::move(on_due)) {}
  ~Deadline();
  Deadline(const Deadline&) = delete;
  Deadline& operator=(const Deadline&) = delete;

  // Sets (or moves) the moment; one already past runs at the loop's next turn.
  void At(Clock::time_point when);
  void After(std::chrono::nanoseconds delay) { At(Clock::now() + delay); }
  void Cancel();
  bool Pending() const { return slot_ >= 0; }

  std::function<void()> OnDue;

 private:
  friend class DeadlineQueue;
  std::int64_t due_ = 0;  // nanoseconds of the steady clock
  std::uint64_t order_ = 0;
  std::ptrdiff_t slot_ = -1;  // place in the queue; -1 when not pending
};

// Every pending deadline of the program, earliest first. The event loop asks it how long it
// may wait and runs what is due; nothing else runs it.
class DeadlineQueue {
 public:
  // Never destroyed: deadlines of objects with static storage may leave it while the program
  // exits.
  static DeadlineQueue& Instance();

  static std::int64_t Now();

  // Nanoseconds from `now` until the earliest deadline (0 when one is due); none when empty.
  std::optional<std::int64_t> Until(std::int64_t now) const;
  bool Empty() const { return heap_.empty(); }
  // Runs every deadline due at `now`. `on_failure` is called from inside a catch for a
  // handler that throws; the others still run.
  void RunDue(std::int64_t now, void (*on_failure)() noexcept);

 private:
  friend class Deadline;
  DeadlineQueue() = default;
  static bool Before(const Deadline* a, const Deadline* b);
  void Schedule(Deadline& d, std::int64_t due);
  void Unschedule(Deadline& d);
  void Place(std::size_t at, Deadline* d);
  void Up(std::size_t at);
  void Down(std::size_t at);

  std::vector<Deadline*> heap_;
  std::uint64_t next_order_ = 0;
};

}  // namespace quorvin::platform
