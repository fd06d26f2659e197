#include "quorvin/platform/core/timer.h"

#include <functional>

#include <asio/steady_timer.hpp>

#include "quorvin/platform/net/application.h"

namespace quorvin::platform {

// Shared with the pending wait: a wait that completes after the timer is gone finds `owner`
// cleared and does nothing.
struct TTimer::State {
  explicit State(asio::io_context& io) : timer(io) {}
  asio::steady_timer timer;
  TTimer* owner = nullptr;
  std::uint64_t generation = 0;
};

TTimer::TTimer(TComponent* owner) : TTimer(owner, 1000, true) {}

TTimer::TTimer(TComponent* owner, std::uint32_t interval_ms, bool enabled)
    : TComponent(owner),
      interval_(interval_ms),
      enabled_(enabled),
      state_(std::make_shared<State>(net::Application::Instance().Context())) {
  state_->owner = this;
  Restart();
}

TTimer::~TTimer() {
  state_->owner = nullptr;
  state_->timer.cancel();
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
  state_->timer.cancel();
  const std::uint64_t generation = ++state_->generation;
  if (!enabled_ || interval_ == 0 || IsDesigning()) return;
  state_->timer.expires_after(std::chrono::milliseconds(interval_));
  state_->timer.async_wait([state = state_, generation](const asio::error_code& ec) {
    if (ec || state->owner == nullptr || state->generation != generation) return;
    TTimer* self = state->owner;
    self->Restart();  // the next tick is measured from now, as a message timer's
    // The handler may destroy the timer (or its owner), and with it the event slot: it runs from
    // a copy, and nothing of `self` is touched after it.
    if (!self->OnTimer) return;
    const std::function<TNotifyEvent> handler = self->OnTimer.handler;
    handler(self);
  });
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
