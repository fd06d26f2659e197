#include "quorvin/server/http_connection.h"

#include <exception>

#include "quorvin/platform/core/text.h"
#include "quorvin/platform/web/web_dispatcher.h"
#include "quorvin/webbridge/request_adapter.h"
#include "quorvin/webbridge/response_adapter.h"

namespace quorvin::server {

using platform::SameText;

HttpConnection::HttpConnection(ListenerConfig& listener)
    : Server(listener),
      writer_([this] { return LocalHostName(); }),
      default_document_(listener.DefaultFile) {}

HttpConnection::~HttpConnection() = default;

void HttpConnection::OnReads() {
  // A data-arrived event queued before the switch to write notification can still reach us;
  // the request is complete, so it is ignored.
  if (reader_.ReqState() == ZReqtype::REQ_DONE) return;
  int n = 0;
  try {
    n = ReadSome(writer_.ReceiveSpace(), kReadSize);
  } catch (const std::exception&) {
    CloseNow();
    return;
  }
  if (n <= 0) return;  // nothing now, or the peer closed (the socket layer ends the connection)

  // What the request leaves of these bytes is never read: one request per connection.
  std::size_t used = 0;
  const ReadResult result =
      reader_.Feed(std::string_view(writer_.ReceiveSpace(), static_cast<std::size_t>(n)), used);
  // A target with a query is meant for a web action, whose answer goes out from the body.
  if (reader_.HasQuery()) file_mode_ = false;
  switch (result) {
    case ReadResult::kNeedMore:
      return;
    case ReadResult::kDone:
      return FinishRequest();
    case ReadResult::kRefused:
      return RefuseRequest(reader_.RefusalStatus());
  }
}

void HttpConnection::FinishRequest() {
  StartResponse();
  AwaitWritable();
}

void HttpConnection::RefuseRequest(int code) {
  file_mode_ = true;
  writer_.WriteError(code);
  AwaitWritable();
}

void HttpConnection::StartResponse() {
  if (Dispatch()) return;
  const std::string& method = reader_.Method();
  const std::int32_t length = reader_.ContentLength();
  if (length == 0 && (SameText(method, "GET") || SameText(method, "HEAD"))) {
    AnswerTarget(file_mode_ ? TargetUse::kSend : TargetUse::kQuery);
  } else if (length > 0 && SameText(method, "POST")) {
    file_mode_ = true;
    AnswerTarget(TargetUse::kPost);
  } else {
    writer_.WriteError(501);
  }
}

bool HttpConnection::Dispatch() {
  web::TCustomWebDispatcher* dispatcher =
      Server.Module != nullptr ? Server.Module->Dispatcher : nullptr;
  if (dispatcher == nullptr) return false;
  bool sent = false;
  bool refused = false;
  try {
    webbridge::ZRequest request(*this);
    webbridge::ZResponse response(request);
    if (dispatcher->DispatchAction(request, response)) {
      file_mode_ = false;
      response.SendResponse();
    }
    // An answer that an action sent goes out even when the dispatcher called the request
    // unhandled: the action meant it.
    sent = response.Sent();
    refused = response.Refused();
  } catch (...) {
    // A failing web action answers 500, whatever it threw; the peer never sees an exception.
    refused = true;
  }
  if (refused) {
    file_mode_ = true;
    body_is_answer_ = false;
    writer_.WriteError(500);
    return true;
  }
  if (!sent) return false;
  file_mode_ = false;
  body_is_answer_ = true;
  return true;
}

void HttpConnection::AnswerTarget(TargetUse use) {
  const TargetResolver resolver(Server.RootPath(), default_document_);
  TargetResolution target = resolver.FindTarget(
      {reader_.URL(), reader_.RawPath(), reader_.Query(), reader_.HasQuery(), use});
  translated_path_ = std::move(target.TranslatedPath);
  switch (target.Outcome) {
    case TargetOutcome::kFile:
      return AnswerFile(target);
    case TargetOutcome::kBadPath:
    case TargetOutcome::kFileWithQuery:  // no web action took it
      return writer_.WriteError(400);
    case TargetOutcome::kNotFound:
      return writer_.WriteError(404);
    case TargetOutcome::kFolderWithoutSlash:
      return writer_.WriteRedirect(301, target.Location);
    case TargetOutcome::kFolder:
    case TargetOutcome::kHidden:
    case TargetOutcome::kNotAFile:
      return writer_.WriteError(403);
    case TargetOutcome::kUnavailable:
      return writer_.WriteError(503);
    case TargetOutcome::kFolderWithQuery:
      return writer_.WriteError(501);
    case TargetOutcome::kPostTarget:
      // A body posted to a file or folder that no web action took: nothing here accepts it.
      return writer_.WriteError(405);
  }
}

void HttpConnection::AnswerFile(TargetResolution& target) {
  // A HEAD answer is the whole file's heading: it asks for no part.
  const std::string_view range =
      SameText(reader_.Method(), "GET") ? reader_.Headers().Values("range") : std::string_view();
  const FileBytes bytes = writer_.WriteHeading(
      target.TargetPath, target.Info, {reader_.Headers().Values("if-modified-since"), range});
  if (!bytes.send) return;
  file_stream_ = std::move(target.FileStream);
  // The stream ends where the announced length does, even if the file grows meanwhile, and
  // the sender is told it is a regular file: it need not ask the system again. A part leaves
  // through the same zero-copy path as a whole file, cut to its bytes.
  file_stream_->SetRegular();
  file_stream_->SetLimit(bytes.last + 1);
  file_start_ = bytes.first;
}

void HttpConnection::OnWrites() {
  if (answered_) return;
  try {
    if (file_mode_) {
      // Write readiness before an answer is ready changes nothing.
      if (writer_.BufferLength() < 1) return;
      answered_ = true;
      WriteAll(writer_.Buffer());
      if (file_stream_ && !SameText(reader_.Method(), "HEAD")) {
        file_stream_->SetPosition(file_start_);
        WriteStreamThenClose(std::move(file_stream_));
      } else {
        file_stream_.reset();
        CloseNow();
      }
      return;
    }
    answered_ = true;
    // The body holds an answer only when a web action wrote one; a request body left there is
    // never echoed back in place of the error page.
    std::unique_ptr<platform::TMemoryStream> body = reader_.TakeBody();
    if (body_is_answer_ && body && body->Size() >= 1) {
      body->SetPosition(0);
      WriteStreamThenClose(std::move(body));
      return;
    }
    body.reset();
    if (writer_.BufferLength() > 0) WriteAll(writer_.Buffer());
    CloseNow();
  } catch (...) {
    CloseNow();
  }
}

std::string_view HttpConnection::RequestField(Field field) const {
  switch (field) {
    case Field::kMethod:
      return reader_.Method();
    case Field::kVersion:
      return reader_.Version();
    case Field::kURL:
      return reader_.URL();
    case Field::kQuery:
      return reader_.Query();
    case Field::kTranslatedPath:
      return translated_path_;
  }
  return {};
}

}  // namespace quorvin::server
