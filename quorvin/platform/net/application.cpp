#include "quorvin/platform/net/application.h"

#include <algorithm>

namespace quorvin::net {

Application& Application::Instance() {
  static Application app;
  return app;
}

void Application::Run() {
  terminated_ = false;
  Reactor& reactor = Reactor::Instance();
  // A long wait is cut short by the first readiness or deadline; Terminate takes effect after
  // the handler that called it.
  while (!terminated_) reactor.Turn(std::chrono::seconds(1));
}

void Application::ProcessMessages() {
  Reactor::Instance().Turn(std::chrono::nanoseconds(0));
}

bool Application::RunUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  Reactor& reactor = Reactor::Instance();
  for (;;) {
    if (condition()) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return condition();
    // Short turns: a condition may depend on another thread (a test's client), which the
    // reactor does not hear of.
    reactor.Turn(std::min<std::chrono::steady_clock::duration>(deadline - now, std::chrono::milliseconds(5)));
  }
}

void Application::RunFor(std::chrono::milliseconds duration) {
  RunUntil([] { return false; }, duration);
}

}  // namespace quorvin::net
