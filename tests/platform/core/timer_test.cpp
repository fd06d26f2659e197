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

}  // namespace
}  // namespace quorvin::platform
