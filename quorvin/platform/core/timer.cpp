#include "quorvin/platform/core/timer.h"

#include <chrono>
#include <functional>
#include <vector>

#include <asio/steady_timer.hpp>

#include "quorvin/platform/net/application.h"

namespace quorvin::platform {

// Every TTimer of the program waits in one queue, ordered by when it is due, behind a single
// loop timer set for the earliest. A connection makes a timer per accept and drops it a moment
// later: queueing and leaving cost a few comparisons, and the loop timer is set again only when
// a timer is due before the moment it is set for. A timer that leaves the queue leaves the loop
// timer where it was; waking up for it finds nothing due and sets it for the new earliest.
class TimerQueue {
 public:
  // Never destroyed: timers of objects with static storage may leave it during the program's
  // exit, after any static queue would be gone.
  static TimerQueue& Instance() {
    static TimerQueue* const queue = new TimerQueue;
    return *queue;
  }

  static std::int64_t Now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }

  void Add(TTimer& t, std::int64_t due) {
    t.due_ = due;
    t.order_ = next_order_++;
    t.slot_ = static_cast<std::ptrdiff_t>(heap_.size());
    heap_.push_back(&t);
    Up(heap_.size() - 1);
    if (heap_.front() == &t) Arm();
  }

  void Remove(TTimer& t) {
    if (t.slot_ < 0) return;
    const auto at = static_cast<std::size_t>(t.slot_);
    t.slot_ = -1;
    TTimer* last = heap_.back();
    heap_.pop_back();
    if (last == &t) return;
    heap_[at] = last;
    last->slot_ = static_cast<std::ptrdiff_t>(at);
    Down(at);
    Up(static_cast<std::size_t>(last->slot_));
  }

 private:
  TimerQueue() : timer_(net::Application::Instance().Context()) {}

  static bool Before(const TTimer* a, const TTimer* b) {
    return a->due_ != b->due_ ? a->due_ < b->due_ : a->order_ < b->order_;
  }

  void Place(std::size_t at, TTimer* t) {
    heap_[at] = t;
    t->slot_ = static_cast<std::ptrdiff_t>(at);
  }

  void Up(std::size_t at) {
    TTimer* t = heap_[at];
    while (at > 0) {
      const std::size_t parent = (at - 1) / 2;
      if (!Before(t, heap_[parent])) break;
      Place(at, heap_[parent]);
      at = parent;
    }
    Place(at, t);
  }

  void Down(std::size_t at) {
    TTimer* t = heap_[at];
    for (;;) {
      std::size_t child = 2 * at + 1;
      if (child >= heap_.size()) break;
      if (child + 1 < heap_.size() && Before(heap_[child + 1], heap_[child])) ++child;
      if (!Before(heap_[child], t)) break;
      Place(at, heap_[child]);
      at = child;
    }
    Place(at, t);
  }

  // Sets the loop timer for the earliest timer, unless it is set for that moment or earlier.
  void Arm() {
    if (heap_.empty()) return;
    const std::int64_t due = heap_.front()->due_;
    if (armed_ && armed_for_ <= due) return;
    armed_ = true;
    armed_for_ = due;
    timer_.expires_at(std::chrono::steady_clock::time_point(std::chrono::nanoseconds(due)));
    timer_.async_wait([this, due](const asio::error_code& ec) {
      // Set again for an earlier moment meanwhile: that wait is the one that counts.
      if (ec || !armed_ || armed_for_ != due) return;
      armed_ = false;
      Fire();
    });
  }

  void Fire() {
    const std::int64_t now = Now();
    // Each timer due is taken out and queued for its next tick before its handler runs; the
    // handler may destroy any timer, or start a nested loop that fires timers itself.
    while (!heap_.empty() && heap_.front()->due_ <= now) {
      TTimer* t = heap_.front();
      Remove(*t);
      t->Restart();  // the next tick is measured from now, as a message timer's
      if (!t->OnTimer) continue;
      // The handler may destroy the timer (or its owner), and with it the event slot: it runs
      // from a copy, and nothing of `t` is touched after it.
      const std::function<TNotifyEvent> handler = t->OnTimer.handler;
      try {
        handler(t);
      } catch (...) {
        Arm();  // the timers still queued keep ticking
        throw;
      }
    }
    Arm();
  }

  asio::steady_timer timer_;
  std::vector<TTimer*> heap_;
  std::uint64_t next_order_ = 0;
  std::int64_t armed_for_ = 0;
  bool armed_ = false;
};

TTimer::TTimer(TComponent* owner) : TTimer(owner, 1000, true) {}

TTimer::TTimer(TComponent* owner, std::uint32_t interval_ms, bool enabled)
    : TComponent(owner), interval_(interval_ms), enabled_(enabled) {
  Restart();
}

TTimer::~TTimer() {
  TimerQueue::Instance().Remove(*this);
}

void TTimer::SetInterval(std::uint32_t ms) {
  if (ms == interval_) return;
  interval_ = ms;
  Restart();
}

void TTimer::SetEnabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  Restart();
}

void TTimer::Restart() {
  TimerQueue& queue = TimerQueue::Instance();
  queue.Remove(*this);
  if (!enabled_ || interval_ == 0 || IsDesigning()) return;
  queue.Add(*this, TimerQueue::Now() + std::int64_t{interval_} * 1'000'000);
}

const ClassInfo& TTimer::Class() {
  static const ClassInfo& info =
      ClassBuilder<TTimer>("TTimer")
          .Integer(
              "Interval", [](const TTimer& t) -> std::int64_t { return t.Interval(); },
              [](TTimer& t, std::int64_t v) {
                // A negative interval would come back as a huge one, which no form file can hold.
                if (v < 0) throw PropertyError("the interval cannot be negative");
                t.SetInterval(static_cast<std::uint32_t>(v));
              },
              1000)
          .Integer(
              "Enabled", [](const TTimer& t) -> std::int64_t { return t.Enabled() ? 1 : 0; },
              [](TTimer& t, std::int64_t v) { t.SetEnabled(v != 0); }, 1)
          .Event("OnTimer", &TTimer::OnTimer)
          .Register();
  return info;
}

}  // namespace quorvin::platform
