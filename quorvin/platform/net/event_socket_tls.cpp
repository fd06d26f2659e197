#include "quorvin/platform/net/event_socket.h"

// The TLS side of the connected socket: the handshake, driven by the socket's readiness as
// reads and sends are, and reading through the session once it is established.
namespace quorvin::net::detail {

// --- TLS handshake ------------------------------------------------------------------------

void EventSocket::UseTls(std::shared_ptr<TlsContext> context, const std::string& host) {
  if (state_ == State::kClosed || tls_) return;
  const bool server = context->IsServer();
  tls_ = std::make_unique<TlsSession>(std::move(context), fd_, host);
  if (!server) return;  // the handshake follows the connect
  Hold();
  // The client speaks first; its hello may be here already, announced by an edge that came
  // before anyone asked.
  Reactor::Instance().Post([self = shared_from_this()] { self->DriveHandshake(); });
}

bool EventSocket::Handshaking() const {
  return state_ == State::kOpen && tls_ && !tls_->Established();
}

// The handshake moves on each time the socket is ready for what it waits for: an edge ends
// each wait, as the waits of reads and sends end.
void EventSocket::DriveHandshake() {
  if (!Handshaking()) return;
  auto self = shared_from_this();
  int error = 0;
  switch (tls_->Handshake(error)) {
    case TlsSession::Step::kWantRead:
      in_.ready = false;
      Hold();
      return;
    case TlsSession::Step::kWantWrite:
      out_.ready = false;
      Hold();
      return;
    case TlsSession::Step::kFailed:
      if (error == kTlsPlainHttp) {
        SpeakPlain();
        return;
      }
      Fail(tls_->Server() ? SocketOp::kReceive : SocketOp::kConnect, error);
      return;
    case TlsSession::Step::kDone:
      HandshakeDone();
      return;
  }
}

// The peer of a server spoke plain text: the owner hears of it as a failure, and may answer in
// plain text before it closes. The bytes looked at are unread, whatever the edges said so far,
// so that the close lets them drain and no reset overtakes the answer.
void EventSocket::SpeakPlain() {
  tls_.reset();
  queue_.Clear();  // nothing meant for the session goes out in plain text
  in_.ready = true;
  if (client_ == nullptr) {
    FinishClose();
    return;
  }
  Dispatch([this] {
    if (client_ != nullptr) client_->SocketFailed(SocketOp::kReceive, kTlsPlainHttp);
  });
}

void EventSocket::HandshakeDone() {
  if (!tls_->Server()) {
    // The connection the client waited for.
    FinishConnect(0);
  } else {
    if (!queue_.Empty()) Flush();
    if (Usable() && in_.armed && InputKnown()) PostInputLook();
  }
  // The handshake's own hold ends unless a wait took it over.
  if (state_ == State::kOpen && !in_.armed && !out_.armed && !in_.posted && hold_)
    Reactor::Instance().Post([held = std::move(hold_)] {});
}

int EventSocket::ReceiveTls(char* buffer, int count, int& error) {
  const TlsSession::ReadResult r = tls_->Read(buffer, count);
  if (r.error != 0 && r.bytes == 0) {
    error = r.error;
    state_ = State::kFailed;
    return -1;
  }
  if (r.drained && !tls_->HasPending()) in_.ready = false;
  if (r.bytes > 0) return r.bytes;  // an end or a failure behind them is found by the next read
  return r.ended ? EndOfData() : -1;
}

}  // namespace quorvin::net::detail
