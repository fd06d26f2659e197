#pragma once

#include <cstdint>
#include <cstddef>

#include "quorvin/platform/core/classes.h"
#include "quorvin/platform/core/component.h"
#include "quorvin/platform/core/deadline.h"
#include "quorvin/platform/core/events.h"
#include "quorvin/platform/core/recycled.h"

namespace quorvin::platform {

using TNotifyEvent = void(TComponent* sender);

// Calls OnTimer every Interval milliseconds while enabled, from the program's event loop. An
// interval of 0 never fires. Each tick is measured from the moment the last one ran.
class TTimer final : public TComponent, public Recycled {
 public:
  explicit TTimer(TComponent* owner);
  // A timer that starts with these settings, armed once (a connection makes one per accept).
  TTimer(TComponent* owner, std::uint32_t interval_ms, bool enabled);
  ~TTimer() override;

  std::uint32_t Interval() const { return interval_; }
  void SetInterval(std::uint32_t ms);
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled);
  // Whether a tick is due at some moment: enabled with an interval above 0.
  bool Armed() const { return next_.Pending(); }

  TEvent<TNotifyEvent> OnTimer;

  static const ClassInfo& Class();

 private:
  void Restart();
  void Tick();

  std::uint32_t interval_ = 1000;
  bool enabled_ = true;
  Deadline next_;
};

}  // namespace quorvin::platform
