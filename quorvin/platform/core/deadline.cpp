#include "quorvin/platform/core/deadline.h"

#include <algorithm>

namespace quorvin::platform {

Deadline::~Deadline() {
  Cancel();
}

void Deadline::At(Clock::time_point when) {
  DeadlineQueue::Instance().Schedule(
      *this,
      std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch()).count());
}

void Deadline::Cancel() {
  if (slot_ >= 0) DeadlineQueue::Instance().Unschedule(*this);
}

DeadlineQueue& DeadlineQueue::Instance() {
  static DeadlineQueue* const queue = new DeadlineQueue;
  return *queue;
}

std::int64_t DeadlineQueue::Now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             Deadline::Clock::now().time_since_epoch())
      .count();
}

std::optional<std::int64_t> DeadlineQueue::Until(std::int64_t now) const {
  if (heap_.empty()) return std::nullopt;
  return std::max<std::int64_t>(0, heap_.front()->due_ - now);
}

void DeadlineQueue::RunDue(std::int64_t now, void (*on_failure)() noexcept) {
  // Each deadline due leaves the queue before its handler runs: the handler may set it again,
  // destroy it, or destroy any other deadline.
  while (!heap_.empty() && heap_.front()->due_ <= now) {
    Deadline* d = heap_.front();
    Unschedule(*d);
    if (!d->OnDue) continue;
    // The handler may destroy its own deadline, and with it the function: it runs from a copy.
    const std::function<void()> handler = d->OnDue;
    try {
      handler();
    } catch (...) {
      on_failure();
    }
  }
}

bool DeadlineQueue::Before(const Deadline* a, const Deadline* b) {
  return a->due_ != b->due_ ? a->due_ < b->due_ : a->order_ < b->order_;
}

void DeadlineQueue::Schedule(Deadline& d, std::int64_t due) {
  if (d.slot_ >= 0) Unschedule(d);
  d.due_ = due;
  d.order_ = next_order_++;
  d.slot_ = static_cast<std::ptrdiff_t>(heap_.size());
  heap_.push_back(&d);
  Up(heap_.size() - 1);
}

void DeadlineQueue::Unschedule(Deadline& d) {
  if (d.slot_ < 0) return;
  const auto at = static_cast<std::size_t>(d.slot_);
  d.slot_ = -1;
  Deadline* last = heap_.back();
  heap_.pop_back();
  if (last == &d) return;
  heap_[at] = last;
  last->slot_ = static_cast<std::ptrdiff_t>(at);
  Down(at);
  Up(static_cast<std::size_t>(last->slot_));
}

void DeadlineQueue::Place(std::size_t at, Deadline* d) {
  heap_[at] = d;
  d->slot_ = static_cast<std::ptrdiff_t>(at);
}

void DeadlineQueue::Up(std::size_t at) {
  Deadline* d = heap_[at];
  while (at > 0) {
    const std::size_t parent = (at - 1) / 2;
    if (!Before(d, heap_[parent])) break;
    Place(at, heap_[parent]);
    at = parent;
  }
  Place(at, d);
}

void DeadlineQueue::Down(std::size_t at) {
  Deadline* d = heap_[at];
  for (;;) {
    std::size_t child = 2 * at + 1;
    if (child >= heap_.size()) break;
    if (child + 1 < heap_.size() && Before(heap_[child + 1], heap_[child])) ++child;
    if (!Before(heap_[child], d)) break;
    Place(at, heap_[child]);
    at = child;
  }
  Place(at, d);
}

}  // namespace quorvin::platform
