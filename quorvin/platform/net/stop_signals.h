#pragma once

#include <csignal>
#include <cstdint>

#include "quorvin/platform/net/reactor.h"

namespace quorvin::net {

// While it lives, SIGINT and SIGTERM end the program's loop (Application::Run) after the handler
// that is running, so that a program shuts down through its destructors: the signals are
// blocked and read from a descriptor the reactor watches, and arrive as any other event. The
// signal mask it found is restored when it goes. Make it on the loop's thread (the mask is that
// thread's); a program with other threads blocks the two signals in them too.
class StopOnSignals final : public ReadyWatcher {
 public:
  StopOnSignals();
  ~StopOnSignals();
  StopOnSignals(const StopOnSignals&) = delete;
  StopOnSignals& operator=(const StopOnSignals&) = delete;

  // The signal that ended the loop (0 while none has come).
  int Received() const { return received_; }

  void Ready(std::uint32_t events) override;

 private:
  sigset_t previous_{};
  int fd_ = -1;
  int received_ = 0;
};

}  // namespace quorvin::net
