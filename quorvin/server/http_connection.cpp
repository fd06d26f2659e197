#include "quorvin/server/http_connection.h"

#include "quorvin/server/folder_listing.h"

#include <exception>
#include <optional>

#include "quorvin/platform/core/message_box.h"
#include "quorvin/platform/core/text.h"
#include "quorvin/platform/web/header_list.h"
#include "quorvin/platform/web/web_dispatcher.h"
#include "quorvin/server/server_module.h"
#include "quorvin/webbridge/request_adapter.h"
#include "quorvin/webbridge/response_adapter.h"

namespace quorvin::server {

using platform::SameText;

namespace {

// Every connection reads into this block. What a request needs of the bytes the reader copies,
// and what belongs to the next request the connection keeps: an idle connection holds no
// receive buffer of its own.
thread_local char receive_block[kReadSize + 1];

constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";

// The answer to plain HTTP on a TLS port: plain text, which such a peer can read, whatever it
// asked for.
#define QUORVIN_PLAIN_TEXT "This port speaks HTTPS only: the request was sent as plain HTTP.\n"
constexpr std::string_view kPlainHttpAnswer =
    "HTTP/1.1 400 Bad Request\r\n"
    "Content-Type: text/plain\r\n"
    "Content-Length: 65\r\n"
    "Connection: close\r\n"
    "\r\n" QUORVIN_PLAIN_TEXT;
static_assert(sizeof QUORVIN_PLAIN_TEXT - 1 == 65, "Content-Length must count the text");
#undef QUORVIN_PLAIN_TEXT

// An answer's heading, up to and with its blank line.
std::string_view HeadOf(std::string_view answer) {
  const auto end = answer.find("\r\n\r\n");
  return end == std::string_view::npos ? answer : answer.substr(0, end + 4);
}

}  // namespace

HttpConnection::HttpConnection(ConnectionContext& context)
    : context_(context),
      limits_(context.Limits()),
      reader_(ReaderOptions{limits_.keep_alive, limits_.max_body, limits_.body_memory,
                            limits_.body_folder}),
      writer_([this] { return LocalHostName(); }),
      default_document_(context.DefaultFile()),
      deadline_([this] { Expire(); }) {
  files_ = context.Files();
  writer_.SetFileOptions(files_);
  ArmDeadline(limits_.header_seconds);
}

HttpConnection::~HttpConnection() {
  if (idle_listed_) context_.RemoveIdle(*this);
  // The program learns that the answer it owes, or is sending, will never arrive.
  if (later_) ReleaseLater(true);
}

void HttpConnection::OnReads() {
  // A data-arrived event queued before the switch to write notification can still reach us;
  // the request is complete, so it is ignored.
  if (phase_ != Phase::kReading && phase_ != Phase::kIdle) return;
  // What came after the last request goes first: it may hold this whole request.
  if (!pending_.empty()) {
    const std::string bytes = std::move(pending_);
    pending_.clear();
    FeedReader(bytes);
    if (phase_ != Phase::kReading) return;
  }
  int n = 0;
  try {
    n = ReadSome(receive_block, kReadSize);
  } catch (const std::exception&) {
    CloseNow();
    return;
  }
  if (n <= 0) return;  // nothing now, or the peer closed (the socket layer ends the connection)
  FeedReader(std::string_view(receive_block, static_cast<std::size_t>(n)));
}

void HttpConnection::RefusePlainHttp() {
  // Nothing of the request is read: the socket lets it drain as it closes, so that no reset
  // overtakes the answer.
  deadline_.Cancel();
  phase_ = Phase::kAnswering;
  answered_ = true;
  WriteAll(kPlainHttpAnswer);
  CloseNow();
}

void HttpConnection::FeedReader(std::string_view bytes) {
  LeaveIdle();
  std::size_t used = 0;
  const ReadResult result = reader_.Feed(bytes, used);
  // A target with a query is meant for a web action, whose answer goes out from the body.
  if (reader_.HasQuery()) file_mode_ = false;
  if (result != ReadResult::kRefused && reader_.HeadComplete() && !body_checked_) {
    body_checked_ = true;
    // A body no action may take changes nothing of the answer (a file, 404, 405, 501): it is
    // dropped as it arrives instead of being kept whole in memory for nobody.
    if (reader_.Head().chunked || reader_.ContentLength() > 0) {
      if (!BodyWanted()) {
        reader_.DiscardBody();
      } else if (!TakeBody()) {
        return RefuseRequest(500);
      }
    }
  }
  switch (result) {
    case ReadResult::kNeedMore:
      // The head has one deadline for all of it; a body's starts again with every piece.
      if (reader_.HeadComplete()) ArmDeadline(limits_.body_seconds);
      // A client that waits before it sends a body nobody takes is answered at once, and the
      // connection ends with the answer: it may send the body all the same.
      if (reader_.ExpectsContinue() && reader_.DiscardingBody()) return FinishRequest();
      if (reader_.ExpectsContinue() && !continue_sent_) {
        continue_sent_ = true;
        WriteAll(kContinue);
      }
      return;
    case ReadResult::kDone:
      // What follows the request is the next one's, on a connection that may stay open; one
      // that closes after this answer never reads it.
      if (limits_.keep_alive) pending_.assign(bytes.substr(used));
      return FinishRequest();
    case ReadResult::kRefused:
      return RefuseRequest(reader_.RefusalStatus());
  }
}

void HttpConnection::FinishRequest() {
  deadline_.Cancel();
  phase_ = Phase::kAnswering;
  ++requests_;
  // A request answered before its body ended cannot be kept: the rest of the body would be
  // read as the next request.
  keep_ = limits_.keep_alive && WantsToKeep() && requests_ < limits_.keep_alive_requests &&
          reader_.ReqState() == ZReqtype::REQ_DONE;
  if (!keep_) pending_.clear();
  writer_.SetConnectionOption(ConnectionOption());
  if (limits_.keep_alive && SpeaksHttp11()) writer_.SetVersion("HTTP/1.1");
  StartResponse();
  AwaitWritable();
}

void HttpConnection::RefuseRequest(int code) {
  // What the peer sends after a request that could not be read cannot be told apart from it:
  // the connection ends with this answer.
  deadline_.Cancel();
  phase_ = Phase::kAnswering;
  keep_ = false;
  pending_.clear();
  file_mode_ = true;
  writer_.SetConnectionOption(ConnectionOption());
  if (limits_.keep_alive && SpeaksHttp11()) writer_.SetVersion("HTTP/1.1");
  writer_.WriteError(code);
  AwaitWritable();
}

std::string_view HttpConnection::ConnectionOption() const {
  if (!limits_.keep_alive) return {};
  return keep_ ? "keep-alive" : "close";
}

bool HttpConnection::SpeaksHttp11() const {
  return reader_.Head().Http11();
}

bool HttpConnection::WantsToKeep() const {
  const RequestHead& head = reader_.Head();
  if (head.close) return false;
  // HTTP/1.1 and later minor versions keep the connection unless asked not to; HTTP/1.0 only
  // when asked to.
  return head.Http11() || (head.minor_version >= 0 && head.keep_alive);
}

void HttpConnection::StartResponse() {
  if (Dispatch()) return;
  const std::string& method = reader_.Method();
  const std::int32_t length = reader_.ContentLength();
  const bool get_or_head = SameText(method, "GET") || SameText(method, "HEAD");
  // A server that keeps connections has read a GET's body to find the next request; the body
  // means nothing to a file, so the file is served as nginx and others do. A server that closes
  // after each answer keeps its old 501 for a body it does not expect.
  if (get_or_head && (length == 0 || limits_.keep_alive)) {
    AnswerTarget(file_mode_ ? TargetUse::kSend : TargetUse::kQuery);
  } else if (length > 0 && SameText(method, "POST")) {
    file_mode_ = true;
    AnswerTarget(TargetUse::kPost);
  } else {
    writer_.WriteError(501);
  }
}

bool HttpConnection::BodyWanted() {
  web::TCustomWebDispatcher* dispatcher = context_.Dispatcher();
  if (dispatcher == nullptr) return false;
  try {
    const webbridge::ZRequest request(*this);
    return dispatcher->MayTake(request);
  } catch (...) {
    return true;  // the dispatcher will say more when it runs
  }
}

bool HttpConnection::TakeBody() {
  web::TCustomWebDispatcher* dispatcher = context_.Dispatcher();
  if (dispatcher == nullptr) return true;
  return RunGuarded([&] {
    webbridge::ZRequest request(*this);
    if (auto sink = dispatcher->TakeBody(request)) reader_.SetBodySink(std::move(sink));
  });
}

bool HttpConnection::RunGuarded(const std::function<void()>& work) const {
  try {
    work();
    return true;
  } catch (const std::exception& e) {
    LogActionFailure(e.what());
  } catch (...) {
    LogActionFailure("it threw something that is not a std::exception");
  }
  return false;
}

bool HttpConnection::Dispatch() {
  web::TCustomWebDispatcher* dispatcher = context_.Dispatcher();
  if (dispatcher == nullptr) return false;
  bool sent = false;
  bool refused = false;
  try {
    webbridge::ZRequest request(*this);
    webbridge::ZResponse response(request);
    dispatching_ = true;
    const bool handled = dispatcher->DispatchAction(request, response);
    dispatching_ = false;
    // An action that took its answer for later has no answer now; one that began it or gave
    // it already, from inside, has sent it.
    if (later_ || answered_later_) {
      if (answered_later_) return true;
      if (!response.Sent()) {
        phase_ = Phase::kLater;
        ArmDeadline(limits_.answer_seconds);
        return true;
      }
      ReleaseLater(false);  // answered now after all: the later answer is spent
    }
    if (handled) {
      file_mode_ = false;
      response.SendResponse();
    }
    // An answer that an action sent goes out even when the dispatcher called the request
    // unhandled: the action meant it.
    sent = response.Sent();
    refused = response.Refused();
    if (sent && response.AsksToClose()) keep_ = false;
  } catch (const std::exception& e) {
    // A failing web action answers 500, whatever it threw; the peer never sees an exception,
    // the program's log does.
    LogActionFailure(e.what());
    refused = true;
  } catch (...) {
    LogActionFailure("it threw something that is not a std::exception");
    refused = true;
  }
  dispatching_ = false;
  if (refused && later_) ReleaseLater(true);
  if (refused && phase_ == Phase::kStreaming) {
    // Part of the answer has gone: the only way left to say it failed is to end the connection.
    keep_ = false;
    phase_ = Phase::kAnswering;
    CloseNow();
    return true;
  }
  if (refused) {
    file_mode_ = true;
    body_is_answer_ = false;
    AnswerError(500);
    return true;
  }
  if (!sent) return false;
  file_mode_ = false;
  body_is_answer_ = true;
  return true;
}

void HttpConnection::AnswerTarget(TargetUse use) {
  const TargetResolver resolver(context_.RootPath(), default_document_);
  TargetResolution target = resolver.FindTarget(
      {reader_.URL(), reader_.RawPath(), reader_.Query(), reader_.HasQuery(), use});
  translated_path_ = std::move(target.TranslatedPath);
  switch (target.Outcome) {
    case TargetOutcome::kFile:
      return AnswerFile(target);
    case TargetOutcome::kBadPath:
    case TargetOutcome::kFileWithQuery:  // no web action took it
      return AnswerError(400);
    case TargetOutcome::kNotFound:
      if (use != TargetUse::kPost && AnswerFallback(resolver)) return;
      return AnswerError(404);
    case TargetOutcome::kFolderWithoutSlash:
      return writer_.WriteRedirect(301, target.Location);
    case TargetOutcome::kFolder:
      if (files_ && files_->listing) {
        return writer_.WriteDocument("text/html; charset=utf-8",
                                     FolderListing(reader_.URL(), host::ListFolder(target.TargetPath),
                                                   files_->listing_upload_form),
                                     SameText(reader_.Method(), "GET"));
      }
      return AnswerError(403);
    case TargetOutcome::kHidden:
    case TargetOutcome::kNotAFile:
      return AnswerError(403);
    case TargetOutcome::kUnavailable:
      return AnswerError(503);
    case TargetOutcome::kFolderWithQuery:
      return AnswerError(501);
    case TargetOutcome::kPostTarget:
      // A body posted to a file or folder that no web action took: nothing here accepts it.
      return AnswerError(405);
  }
}

void HttpConnection::AnswerError(int code) {
  if (files_ && !files_->error_pages.empty()) {
    // The program's page for the status, as 404.htm or 404.html.
    for (const char* extension : {".htm", ".html"}) {
      const std::string path = files_->error_pages + "/" + std::to_string(code) + extension;
      host::FileInfo info;
      auto page = TargetResolver::OpenRegular(path, info);
      if (!page) continue;
      const FileBytes bytes = writer_.WritePageHeading(code, path, info);
      return SendFile(std::move(page), bytes.first, bytes.last);
    }
  }
  writer_.WriteError(code);
}

bool HttpConnection::AnswerFallback(const TargetResolver& resolver) {
  if (!files_ || files_->fallback.empty()) return false;
  // Only paths of an application's own routes: none with an extension (a missing script or
  // image stays a 404) and none through a dot-name.
  const std::string_view url = reader_.URL();
  const std::string_view last = url.substr(url.rfind('/') + 1);
  if (last.find('.') != std::string_view::npos || url.find("/.") != std::string_view::npos) return false;
  const std::string& fallback = files_->fallback;
  TargetResolution target = resolver.FindTarget({fallback, fallback, {}, false, TargetUse::kSend});
  if (target.Outcome != TargetOutcome::kFile) return false;
  AnswerFile(target);
  return true;
}

void HttpConnection::AnswerFile(TargetResolution& target) {
  // A HEAD answer is the whole file's heading: it asks for no part.
  const std::string_view range =
      SameText(reader_.Method(), "GET") ? reader_.Headers().Values("range") : std::string_view();
  const auto& headers = reader_.Headers();
  FileRequest request;
  request.if_modified_since = headers.Values("if-modified-since");
  request.range = range;
  request.if_none_match = headers.Values("if-none-match");
  request.if_range = headers.Values("if-range");
  if (files_ && files_->precompressed) {
    // A compressed copy beside the file, for a client that takes it: the answer is the copy's
    // (its length, ranges and validators) with the file's type.
    request.vary_encoding = true;
    const std::string_view accepted = headers.Values("accept-encoding");
    for (const auto& [coding, suffix] : {std::pair{"br", ".br"}, std::pair{"gzip", ".gz"}}) {
      if (!web::AcceptsCoding(accepted, coding)) continue;
      host::FileInfo info;
      auto sibling = TargetResolver::OpenRegular(target.TargetPath + suffix, info);
      if (!sibling) continue;
      target.FileStream = std::move(sibling);
      target.Info = info;
      request.encoding = coding;
      break;
    }
  }
  const FileBytes bytes = writer_.WriteHeading(target.TargetPath, target.Info, request);
  if (!bytes.send) return;
  SendFile(std::move(target.FileStream), bytes.first, bytes.last);
}

void HttpConnection::SendFile(std::unique_ptr<platform::TFileStream> file, std::int64_t first, std::int64_t last) {
  // The answer is the heading written and the file, whatever the request looked like.
  file_mode_ = true;
  file_stream_ = std::move(file);
  // The stream ends where the announced length does, even if the file grows meanwhile, and
  // the sender is told it is a regular file: it need not ask the system again. A part leaves
  // through the same zero-copy path as a whole file, cut to its bytes.
  file_stream_->SetRegular();
  file_stream_->SetLimit(last + 1);
  file_start_ = first;
}

void HttpConnection::OnWrites() {
  if (phase_ == Phase::kSent) {
    // The kept connection's answer has left.
    NextRequest();
    return;
  }
  if (phase_ == Phase::kStreaming) {
    // Write readiness while pieces go out: the program hears when what waited has left. A
    // readiness that came while some still waits asks again, for when it has left.
    if (!drain_wanted_) return;
    if (QueuedBytes() > 0) return AwaitWritable();
    drain_wanted_ = false;
    const std::shared_ptr<LaterAnswerLink> link = later_;
    if (link) link->Drained();
    return;
  }
  if (phase_ != Phase::kAnswering || answered_) return;
  try {
    if (!send_limited_) {
      send_limited_ = true;
      LimitSend(std::chrono::seconds(limits_.send_seconds));
    }
    bool wrote = false;
    if (file_mode_) {
      // Write readiness before an answer is ready changes nothing.
      if (writer_.BufferLength() < 1) return;
      answered_ = true;
      WriteAll(HeadingOnly() ? HeadOf(writer_.Buffer()) : writer_.Buffer());
      wrote = true;
      if (file_stream_ && !SameText(reader_.Method(), "HEAD")) {
        file_stream_->SetPosition(file_start_);
        if (!keep_) return WriteStreamThenClose(std::move(file_stream_));
        WriteStream(std::move(file_stream_));
      } else {
        file_stream_.reset();
      }
    } else {
      answered_ = true;
      // The body holds an answer only when a web action wrote one; a request body left there
      // is never echoed back in place of the error page.
      std::unique_ptr<platform::TMemoryStream> body = reader_.TakeBody();
      if (body_is_answer_ && body && body->Size() >= 1) {
        body->SetPosition(0);
        if (!keep_) return WriteStreamThenClose(std::move(body));
        WriteStream(std::move(body));
        wrote = true;
      } else {
        body.reset();
        if (writer_.BufferLength() > 0) {
          WriteAll(HeadingOnly() ? HeadOf(writer_.Buffer()) : writer_.Buffer());
          wrote = true;
        }
      }
    }
    // A connection that said nothing cannot be kept: the client would wait for an answer.
    if (!keep_ || !wrote) return CloseNow();
    phase_ = Phase::kSent;
    AwaitWritable();  // once the answer has left, the next request
  } catch (...) {
    CloseNow();
  }
}

bool HttpConnection::HeadingOnly() const {
  // On a kept connection the next answer starts where this one's announced length ends: a HEAD
  // answer must stop after its heading, error pages included, or its page would be read as the
  // next answer. A connection that closes after the answer sends the page as it always did.
  return limits_.keep_alive && SameText(reader_.Method(), "HEAD");
}

void HttpConnection::NextRequest() {
  reader_.Reset();
  writer_.Reset();
  writer_.SetVersion("HTTP/1.0");
  translated_path_.clear();
  file_stream_.reset();
  file_start_ = 0;
  file_mode_ = true;
  body_is_answer_ = false;
  answered_ = false;
  keep_ = false;
  continue_sent_ = false;
  body_checked_ = false;
  chunked_ = false;
  pieces_dropped_ = false;
  drain_wanted_ = false;
  answered_later_ = false;
  if (pending_.empty()) {
    phase_ = Phase::kIdle;
    context_.AddIdle(*this);
    idle_listed_ = true;
    ArmDeadline(limits_.keep_alive_seconds);
    AwaitReadable();
    return;
  }
  phase_ = Phase::kReading;
  ArmDeadline(limits_.header_seconds);
  AwaitReadable();
  // The next request has begun already: it is read now, not when more bytes arrive.
  OnReads();
}

void HttpConnection::LeaveIdle() {
  if (phase_ != Phase::kIdle) return;
  phase_ = Phase::kReading;
  if (idle_listed_) context_.RemoveIdle(*this);
  idle_listed_ = false;
  ArmDeadline(limits_.header_seconds);
}

void HttpConnection::GiveUpPlace() {
  // The listener has taken it off its list already.
  idle_listed_ = false;
  CloseNow();
}

void HttpConnection::ArmDeadline(std::int32_t seconds) {
  if (seconds > 0) {
    deadline_.After(std::chrono::seconds(seconds));
  } else {
    deadline_.Cancel();
  }
}

void HttpConnection::LogActionFailure(std::string_view why) const {
  std::string line = std::string(kMessageTitle) + ": the web action for ";
  line += reader_.Method();
  line += ' ';
  line += reader_.URL();
  line += " failed: ";
  line += why;
  line += " (answered 500)";
  // The request's bytes are the peer's: no control character of theirs reaches a terminal.
  for (char& c : line) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  platform::Log(line);
}

void HttpConnection::Expire() {
  switch (phase_) {
    case Phase::kIdle:
      // A kept connection that was not used again ends without a word.
      if (idle_listed_) context_.RemoveIdle(*this);
      idle_listed_ = false;
      CloseNow();
      return;
    case Phase::kReading:
      // The request did not arrive in time; nothing is being sent, so the answer can go out.
      RefuseRequest(408);
      return;
    case Phase::kLater:
      // The program did not begin its answer in time: the peer hears so, and the program
      // that the answer is no longer wanted.
      ReleaseLater(true);
      phase_ = Phase::kAnswering;
      file_mode_ = true;
      body_is_answer_ = false;
      AnswerError(504);
      AwaitWritable();
      return;
    case Phase::kAnswering:
    case Phase::kStreaming:
    case Phase::kSent:
      return;  // the send limit of the socket watches these
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
