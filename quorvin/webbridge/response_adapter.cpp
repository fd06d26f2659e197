#include "quorvin/webbridge/response_adapter.h"

#include <algorithm>

#include "quorvin/platform/core/text.h"
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

void ZResponse::SendResponse() {
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
    const bool own = std::any_of(CustomHeaders().begin(), CustomHeaders().end(),
                                 [](const web::THeaderField& f) {
                                   return platform::SameText(f.name, "connection");
                                 });
    if (!option.empty() && !own) head += "Connection: " + std::string(option) + "\r\n";
  }
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
  body.Reserve(static_cast<std::int64_t>(head.size() + length));
  body.WriteText(head);
  body.WriteText(ContentText);
  body.WriteText(streamed);
}

bool ZResponse::AsksToClose() const {
  for (const web::THeaderField& f : CustomHeaders()) {
    if (!platform::SameText(f.name, "connection")) continue;
    // A list of options: "close" among them ends the connection.
    std::string_view rest = f.value;
    while (!rest.empty()) {
      const auto comma = rest.find(',');
      if (platform::SameText(platform::Trim(rest.substr(0, comma)), "close")) return true;
      if (comma == std::string_view::npos) break;
      rest.remove_prefix(comma + 1);
    }
  }
  return false;
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
