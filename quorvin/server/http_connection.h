#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "quorvin/platform/core/deadline.h"
#include "quorvin/platform/core/stream.h"
#include "quorvin/platform/core/string_list.h"
#include "quorvin/server/connection_context.h"
#include "quorvin/server/later_answer_link.h"
#include "quorvin/server/request_reader.h"
#include "quorvin/server/response_writer.h"
#include "quorvin/server/target_resolver.h"
#include "quorvin/webbridge/connection_view.h"
#include "quorvin/webbridge/response_adapter.h"

namespace quorvin::server {

// One server connection: reads a request with its RequestReader, offers it to the web actions
// first, otherwise resolves it under the root, and sends the answer (composed by its
// ResponseWriter, or by a web action). With the module's KeepAlive on, a request that asks for
// it leaves the connection open for the next one, and bytes that follow a request are the start
// of the next. Each phase has its deadline: the request head, the pauses in its body, and the
// wait for the next request on a kept connection. The socket bindings derive from it and supply
// only the socket operations below.
class HttpConnection : public webbridge::ConnectionView,
                       private ConnectionContext::IdleConnection,
                       private LaterAnswerLink::Sender {
 public:
  // `context` is what the connection knows of the listener that accepted it; it outlives the
  // connection.
  explicit HttpConnection(ConnectionContext& context);
  virtual ~HttpConnection();

  // Data arrived: read and parse; once the request is complete or refused, prepare the answer
  // and ask for write readiness.
  void OnReads();
  // Write ready: send the prepared answer (heading and file, a web action's answer, or an error
  // page), then end the connection, or, on a kept connection once the answer has left, turn to
  // the next request.
  void OnWrites();
  // The socket layer found plain HTTP on a TLS listener, in place of a handshake: answers it in
  // plain text with a 400 that says so, and ends the connection.
  void RefusePlainHttp();

  // webbridge::ConnectionView
  std::string_view RequestField(Field field) const override;

  const platform::TStringList& RequestHeaders() const override { return reader_.Headers(); }

  platform::TMemoryStream& RequestBody() override { return reader_.Body(); }
  platform::TStream* RequestBodyStream() override { return reader_.BodyStream(); }

  std::string_view ConnectionOption() const override;
  std::shared_ptr<web::TLaterAnswer> AnswerLater() override;

  // What an answer in pieces may leave waiting for the peer before a write tells the program
  // to wait, and the most it may leave before the connection is cut off.
  static constexpr std::size_t kStreamHighWater = 256 * 1024;
  static constexpr std::size_t kStreamQueueLimit = 4 * 1024 * 1024;

 protected:
  // The listener's side, for the binding: the connection count and lifetime the first keeps.
  ConnectionContext& Context() const { return context_; }

  // What the socket bindings do differently. Nothing else may differ.
  // Bytes read into `into` (at most `max`); -1 when nothing can be read now; 0 when the peer
  // has closed. Raises when the receive fails.
  virtual int ReadSome(char* into, int max) = 0;
  // Sends every byte of `bytes`, queueing what cannot leave now.
  virtual void WriteAll(std::string_view bytes) = 0;
  // Takes `stream`, sends it from its position to its end, then closes the connection.
  virtual void WriteStreamThenClose(std::unique_ptr<platform::TStream> stream) = 0;
  // Takes `stream` and sends it from its position to its end after what is queued; the
  // connection stays open.
  virtual void WriteStream(std::unique_ptr<platform::TStream> stream) = 0;
  virtual void CloseNow() = 0;
  // No more data-arrived events; report write readiness now, or once queued output has left.
  virtual void AwaitWritable() = 0;
  // Data-arrived events again, starting with a look at what arrived meanwhile.
  virtual void AwaitReadable() = 0;
  // An answer the peer takes no byte of for `limit` ends the connection (0: no limit).
  virtual void LimitSend(std::chrono::seconds limit) = 0;
  // The name the Server header carries; empty leaves the header out.
  virtual std::string LocalHostName() const = 0;
  // The bytes queued for the peer that it has not taken yet.
  virtual std::size_t QueuedBytes() const = 0;

 private:
  enum class Phase {
    kReading,    // the request, from its first byte (or the first of a connection)
    kIdle,       // a kept connection waits for the next request; nothing of it has come
    kAnswering,  // the request is complete or refused; the answer goes out
    kLater,      // a web action answers later: the connection waits for the program
    kStreaming,  // an answer in pieces: its head has gone, the program writes the rest
    kSent,       // a kept connection's answer is queued; the next comes once it has left
  };

  // LaterAnswerLink::Sender
  bool CompleteLater(const web::TLaterAnswer::Fill& fill) override;
  bool BeginLater(const web::TLaterAnswer::Fill& fill) override;
  bool WriteLater(std::string_view bytes) override;
  void EndLater() override;
  void CancelLater() override;
  std::size_t QueuedLater() const override { return QueuedBytes(); }
  // Whether the program may answer now: the connection waits for it, or the action that
  // asked is still running.
  bool LaterAnswerWanted() const;
  // Lets go of the program's later answer; `gone`: before the program had answered.
  void ReleaseLater(bool gone);
  // Runs `work` of a web action's; false when it threw (the program's log says why).
  bool RunGuarded(const std::function<void()>& work) const;
  // Runs `fill` over a request and response of this connection, as a web action; false
  // when it threw (the program's log says why).
  bool RunFill(const web::TLaterAnswer::Fill& fill, webbridge::ZResponse& response);

  void FeedReader(std::string_view bytes);
  void FinishRequest();
  void RefuseRequest(int code);
  bool WantsToKeep() const;
  bool SpeaksHttp11() const;
  bool HeadingOnly() const;
  void StartResponse();
  // Whether a web action may take this request, and so its body.
  bool BodyWanted();
  // Gives the body to the web action that takes it as it arrives, if one does; false when
  // that action failed (the request is refused with 500).
  bool TakeBody();
  bool Dispatch();
  void AnswerTarget(TargetUse use);
  void AnswerFile(TargetResolution& target);
  // An error answer: the program's page for `code` from its folder of error pages, else the
  // built-in one.
  void AnswerError(int code);
  // A missing extension-less path answered with the fallback document; false when it is not.
  bool AnswerFallback(const TargetResolver& resolver);
  // Sends the open file from `first` to `last` after the heading written.
  void SendFile(std::unique_ptr<platform::TFileStream> file, std::int64_t first, std::int64_t last);
  void NextRequest();
  void Expire();
  // Tells the program's log that the web action for this request failed, and why.
  void LogActionFailure(std::string_view why) const;
  void ArmDeadline(std::int32_t seconds);
  void GiveUpPlace() override;
  void LeaveIdle();

  ConnectionContext& context_;
  ConnectionLimits limits_;
  RequestReader reader_;
  ResponseWriter writer_;
  std::shared_ptr<const FileOptions> files_;  // from the module's properties, at acceptance
  std::string default_document_;
  std::string translated_path_;
  std::string pending_;  // bytes that came after the request being answered: the next one's
  std::unique_ptr<platform::TFileStream> file_stream_;
  std::int64_t file_start_ = 0;  // where the file answer begins (a byte range starts later)
  platform::Deadline deadline_;  // of the phase the connection is in
  Phase phase_ = Phase::kReading;
  std::int32_t requests_ = 0;  // requests begun on this connection
  // True: the answer goes out from the writer's buffer, then the file; false: from the body,
  // where a web action wrote it.
  bool file_mode_ = true;
  bool body_is_answer_ = false;  // the body holds a web action's answer, not the request body
  bool answered_ = false;
  bool keep_ = false;             // the connection stays open after this answer
  bool continue_sent_ = false;    // "100 Continue" went out for this request
  bool body_checked_ = false;     // whether an action may take the body is known
  bool send_limited_ = false;     // the binding was told the send limit
  bool idle_listed_ = false;      // in the listener's list of idle connections
  bool dispatching_ = false;      // a web action runs for this request
  bool chunked_ = false;          // the answer in pieces goes in chunks (else to the close)
  bool pieces_dropped_ = false;   // the answer in pieces is a HEAD answer: its head alone
  bool drain_wanted_ = false;     // the program waits for queued pieces to leave
  bool answered_later_ = false;   // the program gave or began its later answer (or failed to)
  std::shared_ptr<LaterAnswerLink> later_;  // the program's hold on a later answer
};

}  // namespace quorvin::server
