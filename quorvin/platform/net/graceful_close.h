#pragma once

#include <chrono>
#include <functional>

#include "quorvin/platform/core/deadline.h"

// How a connection that its owner has closed comes to its end without destroying the last
// answer on its way. First the drain: what is queued still leaves, for at most kDrainLimit.
// Then, when the peer sent bytes that nobody read, the linger: closing now would make the
// kernel answer with a reset, and a reset can overtake the answer and destroy it in the peer's
// receive buffer. So our side shuts down instead (the peer reads the answer, then the end of
// data), and what the peer still sends is read and dropped until it closes too, for at most
// kLingerLimit. The socket decides when each step begins; this room holds the time limit and
// the system calls.
namespace quorvin::net::detail {

inline constexpr std::chrono::seconds kDrainLimit{30};
inline constexpr std::chrono::seconds kLingerLimit{2};

class GracefulClose {
 public:
  // `give_up` runs when a drain or a linger outlasts its limit: it closes the descriptor.
  explicit GracefulClose(std::function<void()> give_up) : limit_(std::move(give_up)) {}

  // Queued bytes go on leaving after the close: for kDrainLimit at most.
  void StartDrain() { limit_.After(kDrainLimit); }

  // Whether the close of `fd` has to linger: bytes of the peer wait unread. If so, our side of
  // `fd` is shut down and kLingerLimit starts.
  bool StartLinger(int fd);
  // Reads and drops what the peer has sent: true when it waits for more (the peer has not
  // closed), false once the peer's end of data (or an error) says there is nothing to wait
  // for.
  static bool DropInput(int fd);

  // The close is complete (or abandoned): no time limit runs any more.
  void Cancel() { limit_.Cancel(); }

 private:
  platform::Deadline limit_;
};

}  // namespace quorvin::net::detail
