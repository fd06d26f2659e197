#include "quorvin/client/http_client_core.h"

#include <algorithm>
#include <exception>

#include "quorvin/platform/core/text.h"

namespace quorvin::client {

using platform::TDateTime;

namespace {

bool InRange(int index) { return index >= 0 && index < kVariableCount; }

// The request writer's date: the stored value as it stands, labelled GMT.
std::string RequestDate(TDateTime value) {
  return platform::FormatDateTime("ddd, dd mmm yyyy hh:mm:ss", value) + "  GMT";
}

}  // namespace

HttpClientCore::HttpClientCore()
    : ResponseBody(std::make_unique<platform::TMemoryStream>()),
      buffer_(new char[kClientReadSize + 1]()),
      head_({static_cast<std::size_t>(kMaxResponseLine), kMaxResponseHeaderLines,
             static_cast<std::size_t>(kMaxResponseHeaderBytes)}) {}

HttpClientCore::~HttpClientCore() = default;

std::string HttpClientCore::GetStringVariable(int index) const {
  return InRange(index) ? strings_[static_cast<std::size_t>(index)] : std::string();
}

void HttpClientCore::SetStringVariable(int index, std::string value) {
  if (InRange(index)) strings_[static_cast<std::size_t>(index)] = std::move(value);
}

std::int32_t HttpClientCore::GetIntegerVariable(int index) const {
  return InRange(index) ? integers_[static_cast<std::size_t>(index)] : -1;
}

void HttpClientCore::SetIntegerVariable(int index, std::int32_t value) {
  if (InRange(index)) integers_[static_cast<std::size_t>(index)] = value;
}

TDateTime HttpClientCore::GetDateVariable(int index) const {
  return InRange(index) ? dates_[static_cast<std::size_t>(index)] : -1.0;
}

void HttpClientCore::SetDateVariable(int index, TDateTime value) {
  if (InRange(index)) dates_[static_cast<std::size_t>(index)] = value;
}

void HttpClientCore::SetDesignDefaults() {
  SetStringVariable(kProtocolVersion, "HTTP/1.0");
  SetStringVariable(kContentType, "text/html");
  SetStringVariable(kMIMEVersion, "1.0");
  SetStringVariable(kAccept, "*/*");
  SetDateVariable(kIfModifiedSince, 0);
  SetDateVariable(kDate, -1);
}

void HttpClientCore::AddCustomHeader(std::string_view name, std::string_view value) {
  std::string line(name);
  line += ": ";
  line += value;
  CustomHeaders.Add(std::move(line));
}

void HttpClientCore::SetContentStream(std::unique_ptr<platform::TStream> stream) {
  if (stream) stream->SetPosition(0);
  if (stream.get() == content_stream_.get()) {
    stream.release();  // the same stream again: it is ours already, only rewound
  } else {
    content_stream_ = std::move(stream);
    if (content_stream_) SetIntegerVariable(kContentLength, static_cast<std::int32_t>(content_stream_->Size()));
  }
  if (content_stream_) content_stream_->SetPosition(0);
}

std::unique_ptr<platform::TMemoryStream> HttpClientCore::BuildRequest() {
  // Every text that goes into the head is checked first: a CR or LF in it would let whoever
  // supplied the value write request lines of their own.
  static constexpr std::pair<int, const char*> kHeadValues[] = {
      {kMethod, "Method"},   {kURL, "URL"},           {kProtocolVersion, "ProtocolVersion"},
      {kFrom, "From"},       {kReferer, "Referer"},   {kUserAgent, "UserAgent"},
      {kAccept, "Accept"},   {kConnection, "Connection"}, {kContentEncoding, "ContentEncoding"},
      {kContentType, "ContentType"}};
  for (const auto& [index, name] : kHeadValues) {
    if (platform::HasLineBreak(GetStringVariable(index))) {
      throw EHTTPClientError(std::string("the request was not sent: ") + name + " holds a line break");
    }
  }
  for (const std::string& line : CustomHeaders) {
    if (platform::HasLineBreak(line)) {
      throw EHTTPClientError("the request was not sent: a custom header holds a line break");
    }
  }

  std::string head;
  const auto add = [&head](const std::string& value, std::string_view name) {
    if (value.empty()) return;
    head += name;
    head += ": ";
    head += value;
    head += "\r\n";
  };
  if (!GetStringVariable(kProtocolVersion).empty()) {
    head += GetStringVariable(kMethod) + " " + GetStringVariable(kURL) + " " + GetStringVariable(kProtocolVersion) + "\r\n";
    if (GetDateVariable(kDate) > 0) head += "Date: " + RequestDate(GetDateVariable(kDate)) + "\r\n";
    add(GetStringVariable(kFrom), "From");
    add(GetStringVariable(kReferer), "Referer");
    add(GetStringVariable(kUserAgent), "User-Agent");
    add(GetStringVariable(kAccept), "Accept");
    if (GetDateVariable(kIfModifiedSince) > 0) {
      head += "if-Modified-Since: " + RequestDate(GetDateVariable(kIfModifiedSince)) + "\r\n";
    }
    add(GetStringVariable(kConnection), "Connection");
    add(GetStringVariable(kContentEncoding), "Content-Encoding");
    for (const std::string& line : CustomHeaders) head += line + "\r\n";
    add(GetStringVariable(kContentType), "Content-Type");
  }

  auto request = std::make_unique<platform::TMemoryStream>();
  const std::string& content = strings_[kContent];
  if (!content.empty()) {
    head += "Content-Length: " + std::to_string(content.size()) + "\r\n\r\n";
    request->WriteText(head);
    request->WriteText(content);
  } else if (content_stream_) {
    head += "Content-Length: " + std::to_string(GetIntegerVariable(kContentLength)) + "\r\n\r\n";
    request->WriteText(head);
    char piece[8194];
    for (std::int64_t n; (n = content_stream_->Read(piece, sizeof piece)) > 0;) request->WriteBuffer(piece, n);
  } else {
    head += "\r\n";
    request->WriteText(head);
  }
  request->SetPosition(0);
  head_request_ = platform::SameText(GetStringVariable(kMethod), "HEAD");
  return request;
}

void HttpClientCore::ReadResponse() {
  int n = 0;
  try {
    n = ReceiveSome(buffer_.get(), kClientReadSize);
  } catch (const std::exception&) {
    CloseConnection();
    ConnectionEnded();
    return;
  }
  if (n < 0) return;
  if (n == 0) {
    ConnectionEnded();
    return;
  }
  const std::string_view bytes(buffer_.get(), static_cast<std::size_t>(n));
  std::size_t i = 0;
  switch (ResState) {
    case TOrbHTTPResponseType::RES_REQUEST:
    case TOrbHTTPResponseType::RES_HEADER:
      for (;;) {
        const web::LineResult line = head_.GetLine(bytes, i);
        if (line == web::LineResult::kNeedMore) break;
        if (line == web::LineResult::kTooLong) {
          Fail("a line of the response is longer than 8192 characters");
          CloseConnection();
          return;
        }
        if (ResState == TOrbHTTPResponseType::RES_REQUEST) {
          // A new response: nothing of the previous one stays.
          ResponseHeaders.Clear();
          ResponseBody->SetSize(0);
          LastError.clear();
          head_.BeginHead();
        } else if (!head_.CountHeader(ResponseHeaders.Count() + 1)) {
          // A head that never ends would otherwise grow without bound. What counts against the
          // limit is the entries kept, and this line, blank or not.
          Fail("the response head is larger than the client accepts");
          CloseConnection();
          return;
        }
        if (head_.Line().empty()) {
          ResState = TOrbHTTPResponseType::RES_BODY;
          break;
        }
        ParseResponseLine();
      }
      if (ResState != TOrbHTTPResponseType::RES_BODY) return;
      if (!HasBody()) {
        // The head is the whole answer, whatever length it announces.
        ResponseLength = 0;
        ResponseBody->SetSize(0);
        ResState = TOrbHTTPResponseType::RES_DONE;
        break;
      }
      until_close_ = !PrepareBody();
      if (until_close_) ResponseLength = -1;
      if (ResState == TOrbHTTPResponseType::RES_BODY) AppendBody(bytes.substr(i));
      break;
    case TOrbHTTPResponseType::RES_BODY:
      AppendBody(bytes);
      break;
    default:
      break;
  }
  if (ResState == TOrbHTTPResponseType::RES_DONE) {
    // Bytes after the end of the response in this read are not used.
    DeliverBody();
    ResState = TOrbHTTPResponseType::RES_REQUEST;
  }
}

void HttpClientCore::ParseResponseLine() {
  const std::string_view line = head_.Line();
  if (ResState == TOrbHTTPResponseType::RES_HEADER) {
    web::AddHeaderEntry(line, ResponseHeaders);
  } else {
    web::StartLine status;
    if (web::SplitStartLine(line, status)) {
      ResponseVersion = std::string(status.first);
      // A status line without a reason text still carries its code.
      ResponseCode = std::string(status.second);
      ResponseText = std::string(status.third.value_or(std::string_view()));
    }
    ResState = TOrbHTTPResponseType::RES_HEADER;
  }
  head_.ClearLine();
}

bool HttpClientCore::HasBody() const {
  // Answers to HEAD, and 1xx, 204 and 304 answers, never carry a body.
  if (head_request_) return false;
  const auto code = platform::ParseDecimal32(ResponseCode);
  return !(code && ((*code >= 100 && *code < 200) || *code == 204 || *code == 304));
}

bool HttpClientCore::PrepareBody() {
  const std::string_view value = ResponseHeaders.Values("content-length");
  ResponseLength = 0;
  ResponseBody->SetSize(0);
  if (!web::AllDigits(value)) return false;
  const auto length = platform::ParseDecimal32(value);
  if (!length) return false;  // beyond a 32-bit length: read until the connection closes
  if (*length > MaxResponseBody) {
    Fail("the response announces " + std::string(value) + " bytes, more than the client accepts");
    CloseConnection();
    return true;
  }
  // Nothing is reserved for the announced length: the body grows as its bytes arrive, so a
  // server that announces much and sends little makes the client hold only what it sent.
  ResponseLength = *length;
  return true;
}

void HttpClientCore::AppendBody(std::string_view bytes) {
  const auto available = static_cast<std::int64_t>(bytes.size());
  if (until_close_) {
    if (ResponseBody->Size() + available > MaxResponseBody) {
      Fail("the response is larger than the client accepts");
      CloseConnection();
      return;
    }
    ResponseBody->WriteBuffer(bytes.data(), available);
    Progress(static_cast<std::int32_t>(ResponseBody->Position()), -1);
    return;
  }
  const std::int64_t take = std::min<std::int64_t>(available, ResponseLength - ResponseBody->Position());
  if (take > 0) ResponseBody->WriteBuffer(bytes.data(), take);
  Progress(static_cast<std::int32_t>(ResponseBody->Position()), ResponseLength);
  if (ResponseBody->Position() >= ResponseLength) ResState = TOrbHTTPResponseType::RES_DONE;
}

void HttpClientCore::DeliverBody() {
  until_close_ = false;
  if (ResponseBody->Size() <= 0) return;
  ResponseBody->SetPosition(0);
  StreamReady(*ResponseBody);
}

void HttpClientCore::ConnectionEnded() {
  if (ResState == TOrbHTTPResponseType::RES_BODY && until_close_) {
    ResState = TOrbHTTPResponseType::RES_DONE;
    DeliverBody();
    ResState = TOrbHTTPResponseType::RES_REQUEST;
    return;
  }
  if (ResState == TOrbHTTPResponseType::RES_BODY) {
    Fail("the connection closed after " + std::to_string(ResponseBody->Size()) + " of " +
         std::to_string(ResponseLength) + " body bytes");
  } else if (ResState == TOrbHTTPResponseType::RES_HEADER ||
             (ResState == TOrbHTTPResponseType::RES_REQUEST && !head_.Line().empty())) {
    Fail("the connection closed before the response head was complete");
  }
}

void HttpClientCore::ResetReader() {
  ResState = TOrbHTTPResponseType::RES_REQUEST;
  head_.ClearLine();
  until_close_ = false;
}

void HttpClientCore::Fail(const std::string& reason) {
  LastError = reason;
  ResetReader();
  ResponseFailed(reason);
}

}  // namespace quorvin::client
