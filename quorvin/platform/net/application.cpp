#include "quorvin/platform/net/application.h"

#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>

#include <thread>

namespace quorvin::net {

Application& Application::Instance() {
  static Application app;
  return app;
}

void Application::Prepare() {
  if (io_.stopped()) io_.restart();
}

void Application::Run() {
  terminated_ = false;
  Prepare();
  auto guard = asio::make_work_guard(io_);
  // One call that runs handler after handler: asking for them one at a time costs the loop's
  // set-up and tear-down per handler, several times per request.
  while (!terminated_) {
    io_.run();
    if (!terminated_) io_.restart();
  }
}

void Application::Terminate() {
  terminated_ = true;
  // Ends the run after the current handler; a Run waiting for work wakes.
  io_.stop();
}

void Application::ProcessMessages() {
  Prepare();
  io_.poll();
}

bool Application::RunUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (condition()) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return condition();
    Prepare();
    // Short slices: a condition may depend on another thread (a test's client).
    const auto slice =
        std::min<std::chrono::steady_clock::duration>(deadline - now, std::chrono::milliseconds(5));
    if (io_.run_one_for(slice) == 0 && io_.stopped()) {
      // Nothing is waiting in the loop at all: only another thread can change the condition.
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
}

void Application::RunFor(std::chrono::milliseconds duration) {
  RunUntil([] { return false; }, duration);
}

void Application::Post(std::function<void()> fn) { asio::post(io_, std::move(fn)); }

}  // namespace quorvin::net
