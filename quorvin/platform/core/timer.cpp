#include "quorvin/platform/core/timer.h"

#include <chrono>
#include <functional>

namespace quorvin::platform {

TTimer::TTimer(TComponent* owner) : TTimer(owner, 1000, true) {}

TTimer::TTimer(TComponent* owner, std::uint32_t interval_ms, bool enabled)
    : TComponent(owner), interval_(interval_ms), enabled_(enabled), next_([this] { Tick(); }) {
  Restart();
}

TTimer::~TTimer() = default;

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
  next_.Cancel();
  if (!enabled_ || interval_ == 0 || IsDesigning()) return;
  next_.After(std::chrono::milliseconds(interval_));
}

void TTimer::Tick() {
  Restart();  // the next tick is measured from now, as a message timer's
  if (!OnTimer) return;
  // The handler may destroy the timer (or its owner), and with it the event slot: it runs from
  // a copy, and nothing of this timer is touched after it.
  const std::function<TNotifyEvent> handler = OnTimer.handler;
  handler(this);
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
