#pragma once

#include <chrono>
#include <functional>

#include "quorvin/platform/net/reactor.h"

namespace quorvin::net {

// The program's event loop, on the reactor: socket readiness, timers and posted work, delivered
// one at a time on the thread that runs it. Everything of the library runs there; none of it
// may be called from another thread (a test's client on a second thread talks to the program
// through sockets only).
class Application {
 public:
  static Application& Instance();

  // Runs until Terminate is called. Throws std::system_error when the loop cannot wait any
  // more (Reactor::Turn); handlers' exceptions never leave it.
  void Run();
  void Terminate() { terminated_ = true; }
  bool Terminated() const { return terminated_; }

  // Runs every handler that is ready now, without waiting.
  void ProcessMessages();
  // Runs the loop until `condition` holds or `timeout` has passed; returns the condition's
  // last value.
  bool RunUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);
  // Runs the loop for `duration` (for tests that show nothing happens).
  void RunFor(std::chrono::milliseconds duration);

  // Runs `fn` from the loop, after the current handler has returned.
  void Post(std::function<void()> fn) { Reactor::Instance().Post(std::move(fn)); }

 private:
  Application() = default;

  bool terminated_ = false;
};

}  // namespace quorvin::net
