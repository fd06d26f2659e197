#include "quorvin/platform/core/timer.h"

#include <chrono>

#include <gtest/gtest.h>

#include "quorvin/platform/core/form.h"
#include "quorvin/platform/net/application.h"

namespace quorvin::platform {
namespace {

using namespace std::chrono_literals;

net::Application& App() {
  return net::Application::Instance();
}

TEST(Timer, FiresRepeatedlyUntilDisabled) {
  TTimer timer(nullptr);
  int ticks = 0;
  timer.OnTimer = [&](TComponent* sender) {
    EXPECT_EQ(sender, &timer);
    ++ticks;
  };
  timer.SetInterval(2);
  EXPECT_TRUE(App().RunUntil([&] { return ticks >= 3; }, 5s));

  timer.SetEnabled(false);
  const int when_disabled = ticks;
  App().RunFor(30ms);
  EXPECT_EQ(ticks, when_disabled);

  timer.SetEnabled(true);
  EXPECT_TRUE(App().RunUntil([&] { return ticks > when_disabled; }, 5s));
}

TEST(Timer, IntervalZeroNeverFires) {
  TTimer timer(nullptr);
  int ticks = 0;
  timer.OnTimer = [&](TComponent*) { ++ticks; };
  timer.SetInterval(0);
  App().RunFor(30ms);
  EXPECT_EQ(ticks, 0);
}

TEST(Timer, DoesNotFireInTheDesigner) {
  TForm form(nullptr);
  form.SetDesigning(true);
  auto& timer = Create<TTimer>(form);
  int ticks = 0;
  timer.OnTimer = [&](TComponent*) { ++ticks; };
  timer.SetInterval(1);
  App().RunFor(30ms);
  EXPECT_EQ(ticks, 0);
}

TEST(Timer, HandlerMayDestroyItsTimer) {
  int ticks = 0;
  auto* timer = new TTimer(nullptr);
  timer->SetInterval(1);
  timer->OnTimer = [&ticks](TComponent* sender) {
    delete sender;
    ++ticks;  // the handler's own captures must outlive the timer it destroyed
  };
  EXPECT_TRUE(App().RunUntil([&] { return ticks == 1; }, 5s));
  App().RunFor(20ms);
  EXPECT_EQ(ticks, 1);
}

TEST(Timer, DestroyedOwnerStopsItsTimer) {
  int ticks = 0;
  {
    TForm form(nullptr);
    auto& timer = Create<TTimer>(form);
    timer.OnTimer = [&](TComponent*) { ++ticks; };
    timer.SetInterval(1);
  }
  App().RunFor(20ms);
  EXPECT_EQ(ticks, 0);
}

// Every timer waits in one queue behind one loop timer: a short timer made after a long one,
// a timer whose predecessor in the queue went away, and a timer ticking in a loop that a handler
// runs all have to fire on time.
TEST(Timer, TimersShareOneQueue) {
  TTimer slow(nullptr, 60'000, true);
  int slow_ticks = 0;
  slow.OnTimer = [&](TComponent*) { ++slow_ticks; };

  auto* gone = new TTimer(nullptr, 1, true);
  TTimer later(nullptr, 15, true);
  int later_ticks = 0;
  later.OnTimer = [&](TComponent*) { ++later_ticks; };
  delete gone;  // the loop timer was set for it
  EXPECT_TRUE(App().RunUntil([&] { return later_ticks >= 1; }, 5s));

  TTimer outer(nullptr, 1, true);
  TTimer inner(nullptr, 3, true);
  int inner_ticks = 0;
  bool nested_saw_inner = false;
  inner.OnTimer = [&](TComponent*) { ++inner_ticks; };
  outer.OnTimer = [&](TComponent*) {
    outer.SetEnabled(false);
    const int before = inner_ticks;
    nested_saw_inner = App().RunUntil([&] { return inner_ticks > before; }, 5s);
  };
  EXPECT_TRUE(App().RunUntil([&] { return !outer.Enabled(); }, 5s));
  EXPECT_TRUE(nested_saw_inner);
  EXPECT_EQ(slow_ticks, 0);
}

}  // namespace
}  // namespace quorvin::platform
