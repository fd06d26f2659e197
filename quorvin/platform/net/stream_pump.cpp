#include "quorvin/platform/net/stream_pump.h"

#include <algorithm>

namespace quorvin::net {

PumpResult PumpStream(TStreamSocket& socket, platform::TStream& stream) {
  char piece[kStreamPiece];
  for (;;) {
    const std::int64_t start = stream.Position();
    const std::int64_t n = stream.Read(piece, kStreamPiece);
    if (n <= 0) return PumpResult::kFinished;
    const int sent = socket.Send(piece, static_cast<int>(n));
    if (sent < n) {
      stream.SetPosition(start + std::max(0, sent));
      if (sent <= 0) return PumpResult::kWaiting;
      continue;
    }
    // A stream that knows its end saves the read that would find it; one that cannot tell its
    // length (-1) ends where a read returns nothing.
    const std::int64_t size = stream.Size();
    if (size >= 0 && stream.Position() >= size) return PumpResult::kFinished;
  }
}

}  // namespace quorvin::net
