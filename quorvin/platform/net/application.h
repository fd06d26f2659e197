#pragma once

#include <chrono>
#include <functional>

#include <asio/io_context.hpp>

namespace quorvin::net {

// The program's event loop: one io_context, run on the program's thread, that delivers socket
// and timer notifications one at a time. Tests drive it with RunUntil.
class Application {
 public:
  static Application& Instance();

  asio::io_context& Context() { return io_; }

  // Runs until Terminate is called.
  void Run();
  void Terminate();
  bool Terminated() const { return terminated_; }

  // Runs every handler that is ready now, without waiting.
  void ProcessMessages();
  // Runs the loop until `condition` holds or `timeout` has passed; returns the condition's
  // last value.
  bool RunUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);
  // Runs the loop for `duration` (for tests that show nothing happens).
  void RunFor(std::chrono::milliseconds duration);

  // Runs `fn` from the loop, after the current handler has returned.
  void Post(std::function<void()> fn);

 private:
  Application() = default;
  void Prepare();

  // One thread runs the loop and nothing else touches it: the loop takes no locks.
  asio::io_context io_{ASIO_CONCURRENCY_HINT_UNSAFE};
  bool terminated_ = false;
};

}  // namespace quorvin::net
