#pragma once

#include "quorvin/platform/core/stream.h"
#include "quorvin/platform/net/dwinsock.h"

namespace quorvin::net {

constexpr int kStreamPiece = 4096;  // bytes offered to the socket at a time

enum class PumpResult { kFinished, kWaiting };

// Offers `stream`, from its position, to `socket` in pieces of kStreamPiece bytes until the
// stream ends (kFinished) or the socket takes no more for now (kWaiting: the stream stands at the
// first byte the socket did not take, and write readiness is the time to call again). The second
// layer has no stream sending of its own; its server connections and client sockets share this.
PumpResult PumpStream(TStreamSocket& socket, platform::TStream& stream);

}  // namespace quorvin::net
