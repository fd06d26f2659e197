#include "quorvin/webbridge/response_adapter.h"

#include <algorithm>
#include <ctime>

#include "quorvin/platform/core/datetime.h"
#include "quorvin/platform/core/text.h"
#include "quorvin/platform/web/header_list.h"
#include "quorvin/webbridge/http_status.h"

namespace quorvin::webbridge {

namespace {

// Dates of an answer are written as the web action gave them, labelled GMT.
std::string AnswerDate(platform::TDateTime value) {
  return platform::FormatDateTime("ddd, dd mmm yyyy hh:mm:ss", value) + " GMT";
}

}  // namespace

ZResponse::ZResponse(ZRequest& request) : TWebResponse(request), request_(request) {
  if (request.GetStringVariable(web::kReqProtocolVersion).empty()) StringVariables[0] = "HTTP/1.0";
  SetStatusCode(200);
  StringVariables[8] = "text/html";
  DateVariables = {-1.0, -1.0, -1.0};
}

std::string ZResponse::GetStringVariable(int index) const {
  return index >= 0 && index < 12 ? StringVariables[static_cast<std::size_t>(index)] : std::string();
}

void ZResponse::SetStringVariable(int index, std::string_view value) {
  if (index >= 0 && index < 12) StringVariables[static_cast<std::size_t>(index)] = std::string(value);
}

platform::TDateTime ZResponse::GetDateVariable(int index) const {
  return index >= 0 && index < 3 ? DateVariables[static_cast<std::size_t>(index)] : -1.0;
}

void ZResponse::SetDateVariable(int index, platform::TDateTime value) {
  if (index >= 0 && index < 3) DateVariables[static_cast<std::size_t>(index)] = value;
}

std::int32_t ZResponse::GetIntegerVariable(int index) const { return index == 0 ? ContentLengthVariable : -1; }

void ZResponse::SetIntegerVariable(int index, std::int32_t value) {
  if (index == 0) ContentLengthVariable = value;
}

void ZResponse::SetContent(std::string_view content) {
  ContentText = std::string(content);
  SetIntegerVariable(0, static_cast<std::int32_t>(ContentText.size()));
}

void ZResponse::SetContentStream(std::unique_ptr<platform::TStream> stream) {
  if (stream) stream->SetPosition(0);
  TWebResponse::SetContentStream(std::move(stream));
  if (ContentStream() != nullptr) ContentStream()->SetPosition(0);
}

void ZResponse::SetStatusCode(int code) {
  if (code == ResponseStatus) return;
  // A code no client can read as a status is answered as the failure it is.
  if (code < 100 || code > 599) code = 500;
  ResponseStatus = code;
  StringVariables[1] = ActionStatusText(code);
}

std::string ZResponse::ComposeHead() {
  const std::string version = request_.GetStringVariable(web::kReqProtocolVersion);
  std::string head;
  refused_ = false;
  const auto add = [&](std::string_view name, const std::string& value) {
    if (value.empty()) return;
    if (platform::HasLineBreak(value)) refused_ = true;
    head += name;
    head += ": ";
    head += value;
    head += "\r\n";
  };
  if (!version.empty()) {
    if (!StringVariables[1].empty() && GetStatusCode() > 0) {
      if (platform::HasLineBreak(StringVariables[1])) refused_ = true;
      head += version + " " + StringVariables[1] + "\r\n";
    } else {
      head += "HTTP/1.0 200 OK\r\n";
    }
    add("Allow", StringVariables[5]);
    for (int i = 0; i < Cookies().Count(); ++i) add("Set-Cookie", Cookies().GetCookie(i).GetHeaderValue());
    add("Derived-From", StringVariables[10]);
    if (DateVariables[1] > 0) head += "Expires: " + AnswerDate(DateVariables[1]) + "\r\n";
    if (DateVariables[2] > 0) head += "Last-Modified: " + AnswerDate(DateVariables[2]) + "\r\n";
    add("Title", StringVariables[11]);
    add("WWW-Authenticate", StringVariables[3]);
    std::string custom;
    AddCustomHeaders(custom);
    for (const auto& field : CustomHeaders()) {
      if (platform::HasLineBreak(field.name) || platform::HasLineBreak(field.value)) refused_ = true;
    }
    head += custom;
    add("Content-Version", StringVariables[9]);
    add("Content-Encoding", StringVariables[7]);
    add("Content-type", StringVariables[8]);
    // On a connection that may stay open the answer says so, unless the action said it.
    const std::string_view option = request_.ConnectionSocket.ConnectionOption();
    if (!option.empty() && !HasCustomHeader("connection")) {
      head += "Connection: " + std::string(option) + "\r\n";
    }
    // A server that keeps connections speaks HTTP/1.1, whose answers carry the time they were
    // made (caches age them by it). Answers of a server that closes after each one keep the
    // bytes they always had.
    if (!option.empty() && !HasCustomHeader("date")) {
      head += "Date: " + platform::FormatHttpDate(std::time(nullptr)) + "\r\n";
    }
  }
  return head;
}

std::string ZResponse::StreamHead(bool chunked) {
  std::string head = ComposeHead();
  SentFlag = true;
  if (head.empty()) return head;  // a request without a version gets the bare content
  if (chunked) head += "Transfer-Encoding: chunked\r\n";
  head += "\r\n";
  return head;
}

std::shared_ptr<web::TLaterAnswer> ZResponse::AnswerLater() {
  return request_.ConnectionSocket.AnswerLater();
}

void ZResponse::SendResponse() {
  std::string head = ComposeHead();
  // The length line counts what is written: the content text and what the content stream
  // gives when read from its start, which a stream that ends early makes less than its size.
  // On a connection that stays open the next answer starts right after this one's last byte.
  std::string streamed;
  if (platform::TStream* stream = ContentStream()) {
    stream->SetPosition(0);
    char piece[8192];
    for (std::int64_t n; (n = stream->Read(piece, sizeof piece)) > 0;)
      streamed.append(piece, static_cast<std::size_t>(n));
  }
  const std::size_t length = ContentText.size() + streamed.size();
  head += "Content-Length: " + std::to_string(length) + "\r\n\r\n";

  platform::TMemoryStream& body = request_.GetBody();
  body.SetSize(0);
  SentFlag = true;
  // An answer whose head a value could split is not composed at all; the server answers the
  // request with an error page instead.
  if (refused_) return;
  // The answer to HEAD on a kept connection is the heading alone, with the length a GET would
  // get: content after it would be read as the next answer.
  const bool heading_only =
      !request_.ConnectionSocket.ConnectionOption().empty() &&
      platform::SameText(request_.GetStringVariable(web::kReqMethod), "HEAD");
  body.Reserve(static_cast<std::int64_t>(head.size() + (heading_only ? 0 : length)));
  body.WriteText(head);
  if (heading_only) return;
  body.WriteText(ContentText);
  body.WriteText(streamed);
}

bool ZResponse::HasCustomHeader(std::string_view name) const {
  return std::any_of(CustomHeaders().begin(), CustomHeaders().end(),
                     [name](const web::THeaderField& f) { return platform::SameText(f.name, name); });
}

bool ZResponse::AsksToClose() const {
  return std::any_of(CustomHeaders().begin(), CustomHeaders().end(), [](const web::THeaderField& f) {
    return platform::SameText(f.name, "connection") && web::HasToken(f.value, "close");
  });
}

void ZResponse::SendStream(platform::TStream& stream) {
  if (ContentStream() == nullptr) TWebResponse::SetContentStream(std::make_unique<platform::TMemoryStream>());
  platform::TStream& content = *ContentStream();
  char piece[8192];
  while (stream.Position() < stream.Size()) {
    const std::int64_t n = stream.Read(piece, sizeof piece);
    if (n <= 0) break;
    content.WriteBuffer(piece, n);
  }
}

}  // namespace quorvin::webbridge
