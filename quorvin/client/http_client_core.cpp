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

// Where a request being sent stands. Shared with the stream the socket reads: the socket may
// still send after the component has gone, and then reports to nobody.
struct HttpClientCore::Upload {
  HttpClientCore* core = nullptr;
  std::int64_t head = 0;
  std::int64_t body = 0;
  std::int64_t position = 0;  // of the request stream: what the socket has taken
  std::int64_t reported = -1;
};

// The request as the socket reads it: each read (and a step back, when the socket took less
// than it read) moves the progress, which is reported from the loop, never from inside the
// socket's own call.
class HttpClientCore::UploadStream final : public platform::TStream {
 public:
  UploadStream(std::unique_ptr<platform::TMemoryStream> request, std::shared_ptr<Upload> upload)
      : request_(std::move(request)), upload_(std::move(upload)) {}
  std::int64_t Read(void* buffer, std::int64_t count) override {
    const std::int64_t n = request_->Read(buffer, count);
    Moved();
    return n;
  }
  std::int64_t Write(const void*, std::int64_t) override { return 0; }
  std::int64_t Seek(std::int64_t offset, platform::TSeekOrigin origin) override {
    const std::int64_t at = request_->Seek(offset, origin);
    if (at != upload_->position) Moved();
    return at;
  }
  std::int64_t Size() override { return request_->Size(); }
  void SetSize(std::int64_t) override {}

 private:
  void Moved() {
    upload_->position = request_->Position();
    HttpClientCore* core = upload_->core;
    if (core != nullptr && core->upload_ == upload_ && !core->send_progress_.Pending()) {
      core->send_progress_.At(platform::Deadline::Clock::now());
    }
  }

  std::unique_ptr<platform::TMemoryStream> request_;
  std::shared_ptr<Upload> upload_;
};

HttpClientCore::~HttpClientCore() {
  if (upload_) upload_->core = nullptr;
}

std::unique_ptr<platform::TStream> HttpClientCore::RequestToSend() {
  auto request = BuildRequest();
  if (upload_) upload_->core = nullptr;
  upload_.reset();
  send_progress_.Cancel();
  const std::int64_t body = request->Size() - request_head_;
  if (!WantsSendProgress() || body <= 0) return request;
  upload_ = std::make_shared<Upload>();
  upload_->core = this;
  upload_->head = request_head_;
  upload_->body = body;
  return std::make_unique<UploadStream>(std::move(request), upload_);
}

void HttpClientCore::ReportSendProgress() {
  if (!upload_) return;
  const std::shared_ptr<Upload> upload = upload_;  // the event may send the next request
  const std::int64_t sent = std::clamp<std::int64_t>(upload->position - upload->head, 0, upload->body);
  if (sent == upload->reported) return;
  upload->reported = sent;
  if (sent == upload->body && upload_ == upload) {
    upload_->core = nullptr;
    upload_.reset();
  }
  const auto clamp = [](std::int64_t v) { return static_cast<std::int32_t>(std::min<std::int64_t>(v, 0x7FFFFFFF)); };
  SendProgress(clamp(sent), clamp(upload->body));
}

std::string HttpClientCore::HostHeaderValue(const std::string& host, int port, bool https) {
  if (host.empty()) return {};
  std::string value = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  if (port > 0 && port != (https ? 443 : 80)) value += ":" + std::to_string(port);
  return value;
}

void HttpClientCore::SetResponseStream(platform::TStream* stream) {
  response_stream_ = stream;
  const int size = stream != nullptr ? kStreamReadSize : kClientReadSize;
  if (size != read_size_) {
    buffer_.reset(new char[static_cast<std::size_t>(size) + 1]());
    read_size_ = size;
  }
}

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
    // HTTP/1.1 requires a Host header; HTTP/1.0 requests stay as they always were.
    if (platform::SameText(GetStringVariable(kProtocolVersion), "HTTP/1.1") &&
        std::none_of(CustomHeaders.begin(), CustomHeaders.end(),
                     [](const std::string& line) { return platform::StartsWithText(line, "host:"); })) {
      add(RequestHost(), "Host");
    }
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
  request_head_ = static_cast<std::int64_t>(head.size());
  request->SetPosition(0);
  head_request_ = platform::SameText(GetStringVariable(kMethod), "HEAD");
  return request;
}

void HttpClientCore::ReadResponse() {
  int n = 0;
  try {
    n = ReceiveSome(buffer_.get(), read_size_);
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
  if (read_limit_.Pending()) read_limit_.After(std::chrono::milliseconds(read_limit_ms_));
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
          received_ = 0;
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
    read_limit_.Cancel();
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
  received_ = 0;
  chunk_ = Chunk::kNone;
  // Transfer-Encoding decides over Content-Length (RFC 9112, 6.3): chunked last, the chunks are
  // decoded; any other coding last, the body runs until the connection closes.
  const std::string_view codings = ResponseHeaders.Values("transfer-encoding");
  if (!platform::Trim(codings).empty()) {
    const auto comma = codings.rfind(',');
    const std::string_view last = platform::Trim(comma == std::string_view::npos ? codings : codings.substr(comma + 1));
    if (!platform::SameText(last, "chunked")) return false;
    chunk_ = Chunk::kSize;
    chunk_line_.clear();
    trailer_bytes_ = 0;
    ResponseLength = -1;
    return true;
  }
  if (!web::AllDigits(value)) return false;
  const auto length = platform::ParseDecimal32(value);
  if (!length) return false;  // beyond a 32-bit length: read until the connection closes
  if (*length > MaxResponseBody && response_stream_ == nullptr) {
    Fail("the response announces " + std::string(value) + " bytes, more than the client accepts");
    CloseConnection();
    return true;
  }
  // Nothing is reserved for the announced length: the body grows as its bytes arrive, so a
  // server that announces much and sends little makes the client hold only what it sent.
  ResponseLength = *length;
  return true;
}

bool HttpClientCore::Store(std::string_view piece) {
  if (piece.empty()) return true;
  const auto size = static_cast<std::int64_t>(piece.size());
  if (response_stream_ == nullptr && received_ + size > MaxResponseBody) {
    Fail("the response is larger than the client accepts");
    CloseConnection();
    return false;
  }
  try {
    (response_stream_ != nullptr ? *response_stream_ : static_cast<platform::TStream&>(*ResponseBody))
        .WriteBuffer(piece.data(), size);
  } catch (const std::exception& e) {
    Fail(std::string("cannot store the body: ") + e.what());
    CloseConnection();
    return false;
  }
  received_ += size;
  return true;
}

void HttpClientCore::ReportProgress(std::int64_t total) {
  // The event counts in 32 bits; a larger body reports the most it can say.
  const auto clamp = [](std::int64_t v) { return static_cast<std::int32_t>(std::min<std::int64_t>(v, 0x7FFFFFFF)); };
  Progress(clamp(received_), total < 0 ? -1 : clamp(total));
}

void HttpClientCore::AppendBody(std::string_view bytes) {
  if (chunk_ != Chunk::kNone) return AppendChunked(bytes);
  const auto available = static_cast<std::int64_t>(bytes.size());
  if (until_close_) {
    if (Store(bytes)) ReportProgress(-1);
    return;
  }
  const std::int64_t take = std::min<std::int64_t>(available, ResponseLength - received_);
  if (take > 0 && !Store(bytes.substr(0, static_cast<std::size_t>(take)))) return;
  ReportProgress(ResponseLength);
  if (received_ >= ResponseLength) ResState = TOrbHTTPResponseType::RES_DONE;
}

void HttpClientCore::AppendChunked(std::string_view bytes) {
  // Reads a line into chunk_line_; true once its LF has come.
  std::size_t i = 0;
  bool too_long = false;
  const auto take_line = [&](std::size_t limit) {
    const auto lf = bytes.find('\n', i);
    const std::size_t end = lf == std::string_view::npos ? bytes.size() : lf;
    if (chunk_line_.size() + (end - i) > limit) {
      too_long = true;
      return false;
    }
    chunk_line_.append(bytes.substr(i, end - i));
    i = lf == std::string_view::npos ? bytes.size() : lf + 1;
    if (lf == std::string_view::npos) return false;
    if (!chunk_line_.empty() && chunk_line_.back() == '\r') chunk_line_.pop_back();
    return true;
  };
  const auto fail = [this](const std::string& what) {
    Fail("malformed chunked body: " + what);
    CloseConnection();
  };
  bool moved = false;
  while (i < bytes.size() && ResState == TOrbHTTPResponseType::RES_BODY) {
    switch (chunk_) {
      case Chunk::kSize: {
        if (!take_line(kMaxChunkSizeLine)) {
          if (too_long) return fail("a chunk size line is longer than " + std::to_string(kMaxChunkSizeLine) + " bytes");
          break;
        }
        // The size in hex, then optional extensions after ";", which say nothing to this client.
        const std::string_view size_text = platform::Trim(std::string_view(chunk_line_).substr(0, chunk_line_.find(';')));
        if (size_text.empty() || size_text.size() > 15 ||
            size_text.find_first_not_of("0123456789abcdefABCDEF") != std::string_view::npos) {
          return fail("a chunk size that is not a hexadecimal number");
        }
        chunk_left_ = std::stoll(std::string(size_text), nullptr, 16);
        chunk_line_.clear();
        chunk_ = chunk_left_ == 0 ? Chunk::kTrailer : Chunk::kData;
        break;
      }
      case Chunk::kData: {
        const auto take = static_cast<std::size_t>(std::min<std::int64_t>(chunk_left_, static_cast<std::int64_t>(bytes.size() - i)));
        if (!Store(bytes.substr(i, take))) return;
        i += take;
        chunk_left_ -= static_cast<std::int64_t>(take);
        moved = true;
        if (chunk_left_ == 0) chunk_ = Chunk::kDataEnd;
        break;
      }
      case Chunk::kDataEnd:
        if (!take_line(2)) {
          if (too_long) return fail("a chunk is longer than its size says");
          break;
        }
        if (!chunk_line_.empty()) return fail("a chunk is longer than its size says");
        chunk_ = Chunk::kSize;
        break;
      case Chunk::kTrailer: {
        const std::size_t start = i;
        const bool whole = take_line(kMaxResponseLine);
        trailer_bytes_ += i - start;
        if (too_long || trailer_bytes_ > static_cast<std::size_t>(kMaxResponseHeaderBytes)) {
          return fail("the trailer is larger than the client accepts");
        }
        if (!whole) break;
        // Trailer fields are read and dropped; the blank line ends the body.
        if (chunk_line_.empty()) {
          chunk_ = Chunk::kNone;
          ResState = TOrbHTTPResponseType::RES_DONE;
        }
        chunk_line_.clear();
        break;
      }
      case Chunk::kNone:
        return;
    }
  }
  if (moved) ReportProgress(-1);
}

void HttpClientCore::DeliverBody() {
  until_close_ = false;
  chunk_ = Chunk::kNone;
  if (response_stream_ != nullptr) {
    ResponseDone();
    return;
  }
  if (ResponseBody->Size() <= 0) return;
  ResponseBody->SetPosition(0);
  StreamReady(*ResponseBody);
}

void HttpClientCore::ConnectionEnded() {
  read_limit_.Cancel();
  connect_limit_.Cancel();
  if (ResState == TOrbHTTPResponseType::RES_BODY && until_close_) {
    ResState = TOrbHTTPResponseType::RES_DONE;
    DeliverBody();
    ResState = TOrbHTTPResponseType::RES_REQUEST;
    return;
  }
  if (ResState == TOrbHTTPResponseType::RES_BODY && chunk_ != Chunk::kNone) {
    Fail("the connection closed before the last chunk, after " + std::to_string(received_) + " body bytes");
  } else if (ResState == TOrbHTTPResponseType::RES_BODY) {
    Fail("the connection closed after " + std::to_string(received_) + " of " +
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
  chunk_ = Chunk::kNone;
  chunk_line_.clear();
}

void HttpClientCore::Fail(const std::string& reason, bool timed_out) {
  LastError = reason;
  timed_out_ = timed_out;
  read_limit_.Cancel();
  ResetReader();
  ResponseFailed(reason);
}

namespace {

std::string Millis(std::int32_t ms) {
  return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

}  // namespace

void HttpClientCore::ConnectStarting() {
  read_limit_.Cancel();
  if (ConnectTimeout <= 0) {
    connect_limit_.Cancel();
    return;
  }
  const std::int32_t limit = ConnectTimeout;
  connect_limit_.OnDue = [this, limit] { LimitPassed("no connection within " + Millis(limit)); };
  connect_limit_.After(std::chrono::milliseconds(limit));
}

void HttpClientCore::Connected() {
  connect_limit_.Cancel();
  ResetReader();
}

void HttpClientCore::RequestSent() {
  if (ReadTimeout <= 0) {
    read_limit_.Cancel();
    return;
  }
  const std::int32_t limit = ReadTimeout;
  read_limit_ms_ = limit;
  read_limit_.OnDue = [this, limit] { LimitPassed("nothing arrived for " + Millis(limit)); };
  read_limit_.After(std::chrono::milliseconds(limit));
}

void HttpClientCore::LimitPassed(const std::string& reason) {
  // A connect that failed, or a component the program closed, has nothing left to time.
  if (!ComponentActive()) return;
  Fail(reason, true);
  Abandon();
}

}  // namespace quorvin::client
