#include "quorvin/server/http_connection.h"

#include <cstdio>

#include "quorvin/platform/core/text.h"

// The answers a web action gives after it has returned: whole (CompleteLater) or in pieces
// (BeginLater, WriteLater, EndLater), driven by the program through its LaterAnswerLink.
namespace quorvin::server {

using platform::SameText;

std::shared_ptr<web::TLaterAnswer> HttpConnection::AnswerLater() {
  if (later_) return later_;
  // Only an action that runs may leave its answer for later, and only once.
  if (!dispatching_ || phase_ != Phase::kAnswering || body_is_answer_) return nullptr;
  later_ = std::make_shared<LaterAnswerLink>(static_cast<LaterAnswerLink::Sender&>(*this));
  return later_;
}

bool HttpConnection::LaterAnswerWanted() const {
  return later_ && (phase_ == Phase::kLater || (dispatching_ && phase_ == Phase::kAnswering));
}

void HttpConnection::ReleaseLater(bool gone) {
  // Taken off first: the program may let go of its own hold inside OnGone.
  const std::shared_ptr<LaterAnswerLink> link = std::move(later_);
  later_.reset();
  if (link) link->Detach(gone);
}

bool HttpConnection::RunFill(const web::TLaterAnswer::Fill& fill, webbridge::ZResponse& response) {
  return RunGuarded([&] {
    if (fill) fill(response.Request(), response);
  });
}

bool HttpConnection::CompleteLater(const web::TLaterAnswer::Fill& fill) {
  if (!LaterAnswerWanted()) return false;
  const bool waiting = phase_ == Phase::kLater;
  webbridge::ZRequest request(*this);
  webbridge::ZResponse response(request);
  answered_later_ = true;
  bool refused = !RunFill(fill, response);
  if (!refused) {
    response.SendResponse();
    refused = response.Refused();
    if (response.AsksToClose()) keep_ = false;
  }
  ReleaseLater(false);
  file_mode_ = refused;
  body_is_answer_ = !refused;
  if (refused) AnswerError(500);
  if (waiting) {
    deadline_.Cancel();
    phase_ = Phase::kAnswering;
    AwaitWritable();
  }
  return true;
}

bool HttpConnection::BeginLater(const web::TLaterAnswer::Fill& fill) {
  if (!LaterAnswerWanted()) return false;
  const bool waiting = phase_ == Phase::kLater;
  // Chunks where the peer reads HTTP/1.1 framing; elsewhere the answer ends with the
  // connection, which must then close after it.
  chunked_ = limits_.keep_alive && SpeaksHttp11();
  const bool kept = keep_;
  if (!chunked_) keep_ = false;
  webbridge::ZRequest request(*this);
  webbridge::ZResponse response(request);
  std::string head;
  answered_later_ = true;
  bool refused = !RunFill(fill, response);
  if (!refused) {
    head = response.StreamHead(chunked_);
    refused = response.Refused();
    if (response.AsksToClose()) keep_ = false;
  }
  if (refused) {
    keep_ = kept;
    chunked_ = false;
    ReleaseLater(false);
    file_mode_ = true;
    body_is_answer_ = false;
    AnswerError(500);
    if (waiting) {
      deadline_.Cancel();
      phase_ = Phase::kAnswering;
      AwaitWritable();
    }
    return false;
  }
  deadline_.Cancel();
  phase_ = Phase::kStreaming;
  answered_ = true;
  file_mode_ = false;
  // The answer to HEAD is the head alone; what the program writes goes nowhere.
  pieces_dropped_ = SameText(reader_.Method(), "HEAD");
  if (!send_limited_) {
    send_limited_ = true;
    LimitSend(std::chrono::seconds(limits_.send_seconds));
  }
  WriteAll(head);
  // A HEAD answer is whole with its head: the connection goes on at once.
  if (pieces_dropped_) {
    EndLater();
    return true;
  }
  std::string first = response.GetContent();
  if (platform::TStream* stream = response.ContentStream()) {
    stream->SetPosition(0);
    char piece[8192];
    for (std::int64_t n; (n = stream->Read(piece, sizeof piece)) > 0;) first.append(piece, static_cast<std::size_t>(n));
  }
  if (!first.empty()) WriteLater(first);
  AwaitWritable();
  return true;
}

bool HttpConnection::WriteLater(std::string_view bytes) {
  if (phase_ != Phase::kStreaming || !later_) return false;
  if (!bytes.empty() && !pieces_dropped_) {
    if (chunked_) {
      char size[24];
      const int n = std::snprintf(size, sizeof size, "%zx\r\n", bytes.size());
      std::string chunk;
      chunk.reserve(static_cast<std::size_t>(n) + bytes.size() + 2);
      chunk.append(size, static_cast<std::size_t>(n));
      chunk.append(bytes);
      chunk.append("\r\n");
      WriteAll(chunk);
    } else {
      WriteAll(bytes);
    }
  }
  const std::size_t queued = QueuedBytes();
  if (queued > kStreamQueueLimit) {
    // The peer takes nothing and the program writes on: the server holds no more for it.
    keep_ = false;
    phase_ = Phase::kAnswering;
    CloseNow();
    return false;
  }
  if (queued < kStreamHighWater) return true;
  drain_wanted_ = true;
  AwaitWritable();  // one write-ready event once the queue has emptied
  return false;
}

void HttpConnection::EndLater() {
  if (phase_ != Phase::kStreaming || !later_) return;
  if (chunked_ && !pieces_dropped_) WriteAll("0\r\n\r\n");
  ReleaseLater(false);
  drain_wanted_ = false;
  if (!keep_) {
    phase_ = Phase::kAnswering;
    CloseNow();  // what is queued still leaves
    return;
  }
  phase_ = Phase::kSent;
  AwaitWritable();  // once the answer has left, the next request
}

void HttpConnection::CancelLater() {
  if (!later_) return;
  ReleaseLater(false);
  answered_later_ = true;
  if (phase_ == Phase::kStreaming) {
    keep_ = false;
    phase_ = Phase::kAnswering;
    CloseNow();
    return;
  }
  const bool waiting = phase_ == Phase::kLater;
  file_mode_ = true;
  body_is_answer_ = false;
  AnswerError(500);
  if (waiting) {
    deadline_.Cancel();
    phase_ = Phase::kAnswering;
    AwaitWritable();
  }
}

}  // namespace quorvin::server
