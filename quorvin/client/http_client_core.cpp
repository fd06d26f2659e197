#include "quorvin/client/http_client_core.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
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

// A request whose body comes from the program's stream: the head, then the body read from the
// stream as the socket takes it, never copied whole into memory, up to `length` bytes of it;
// a step back (the socket took less than it read) moves the body stream back too.
class RequestStream final : public platform::TStream {
 public:
  RequestStream(std::string head, std::shared_ptr<platform::TStream> body, std::int64_t length)
      : head_(std::move(head)),
        body_(std::move(body)),
        body_start_(body_->Position()),
        length_(std::max<std::int64_t>(length, 0)) {}

  std::int64_t Read(void* buffer, std::int64_t count) override {
    auto* out = static_cast<char*>(buffer);
    std::int64_t done = 0;
    const auto head_size = static_cast<std::int64_t>(head_.size());
    if (position_ < head_size && count > 0) {
      const std::int64_t take = std::min(count, head_size - position_);
      std::copy_n(head_.data() + position_, take, out);
      position_ += take;
      done += take;
    }
    const std::int64_t room = std::min(count - done, Size() - position_);
    if (room > 0) {
      const std::int64_t n = body_->Read(out + done, room);
      if (n > 0) {
        position_ += n;
        done += n;
      }
    }
    return done;
  }
  std::int64_t Write(const void*, std::int64_t) override { return 0; }
  std::int64_t Seek(std::int64_t offset, platform::TSeekOrigin origin) override {
    const std::int64_t to = origin == platform::TSeekOrigin::soBeginning ? offset
                            : origin == platform::TSeekOrigin::soCurrent ? position_ + offset
                                                                         : Size() + offset;
    if (to == position_) return position_;
    position_ = std::clamp<std::int64_t>(to, 0, Size());
    const auto head_size = static_cast<std::int64_t>(head_.size());
    body_->SetPosition(body_start_ + std::max<std::int64_t>(position_ - head_size, 0));
    return position_;
  }
  std::int64_t Size() override { return static_cast<std::int64_t>(head_.size()) + length_; }
  void SetSize(std::int64_t) override {}

 private:
  std::string head_;
  std::shared_ptr<platform::TStream> body_;
  std::int64_t body_start_;
  std::int64_t length_;
  std::int64_t position_ = 0;
};

// A request whose body has no length until it ends (a pipe, standard input): the head says
// "Transfer-Encoding: chunked", and each read of the body stream becomes one chunk, read only
// when the socket asks for more, never ahead; the zero chunk follows the body's end. A chunk is
// sized to fill the read that asks for it, so that the socket gets whole chunks. The piece last
// read (the head with the first chunk, a chunk, the zero chunk) is kept, and a read never spans
// two pieces: the socket may step back within what it read last, never further.
class ChunkedRequestStream final : public platform::TStream {
 public:
  ChunkedRequestStream(std::string head, std::shared_ptr<platform::TStream> body)
      : head_(std::move(head)), body_(std::move(body)) {}

  std::int64_t Read(void* buffer, std::int64_t count) override {
    auto* out = static_cast<char*>(buffer);
    std::int64_t done = 0;
    while (done < count) {
      if (position_ == PieceEnd()) {
        if (last_ || done > 0) break;
        NextPiece(count);
        continue;
      }
      const std::int64_t take = std::min(count - done, PieceEnd() - position_);
      std::copy_n(piece_.data() + (position_ - piece_start_), take, out + done);
      position_ += take;
      done += take;
    }
    return done;
  }

  std::int64_t Write(const void*, std::int64_t) override { return 0; }

  std::int64_t Seek(std::int64_t offset, platform::TSeekOrigin origin) override {
    if (origin == platform::TSeekOrigin::soEnd) {
      throw std::runtime_error("a chunked request has no end to seek from");
    }
    const std::int64_t to =
        origin == platform::TSeekOrigin::soBeginning ? offset : position_ + offset;
    if (to == position_) return position_;
    if (to < piece_start_ || to > PieceEnd()) {
      throw std::runtime_error("a chunked request steps back only within the piece it read last");
    }
    position_ = to;
    return position_;
  }

  std::int64_t Size() override { return -1; }

  void SetSize(std::int64_t) override {}

  // Body bytes (not counting the chunks' framing) before the position.
  std::int64_t BodyTaken() const {
    return body_before_ +
           std::clamp<std::int64_t>(position_ - piece_start_ - data_at_, 0, data_size_);
  }

  // The zero chunk has been read to its end.
  bool Ended() const { return last_ && position_ == PieceEnd(); }

 private:
  // Chunks hold at most this much: larger reads get several.
  static constexpr std::int64_t kMaxChunk = 64 * 1024;
  // Nor less than this, whatever the read that asks: a tiny read would make a tiny chunk.
  static constexpr std::int64_t kMinChunk = 1024;
  // A chunk's size line ("ffff\r\n" at most, for kMaxChunk - 1) and the CRLF after its data.
  static constexpr std::int64_t kFraming = 10;

  std::int64_t PieceEnd() const { return piece_start_ + static_cast<std::int64_t>(piece_.size()); }

  void NextPiece(std::int64_t room) {
    body_before_ += data_size_;
    piece_start_ = PieceEnd();
    if (!head_.empty()) {
      piece_ = std::move(head_);  // the head goes out in front of the first chunk, and only there
      head_ = std::string();
    } else {
      piece_.clear();
    }
    const auto line_at = static_cast<std::int64_t>(piece_.size());
    const std::int64_t want =
        std::clamp<std::int64_t>(room - line_at - kFraming, kMinChunk, kMaxChunk - 1);
    // The data is read behind room for the longest size line, then moved up behind the real one.
    piece_.resize(static_cast<std::size_t>(line_at + kFraming + want));
    const std::int64_t n = body_->Read(piece_.data() + line_at + kFraming, want);
    if (n <= 0) {
      piece_.resize(static_cast<std::size_t>(line_at));
      piece_ += "0\r\n\r\n";
      data_at_ = line_at;
      data_size_ = 0;
      last_ = true;
      return;
    }
    char line[16];
    const int line_size =
        std::snprintf(line, sizeof line, "%llx\r\n", static_cast<unsigned long long>(n));
    std::copy_n(line, line_size, piece_.data() + line_at);
    data_at_ = line_at + line_size;
    std::memmove(piece_.data() + data_at_, piece_.data() + line_at + kFraming,
                 static_cast<std::size_t>(n));
    data_size_ = n;
    piece_.resize(static_cast<std::size_t>(data_at_ + n));
    piece_ += "\r\n";
  }

  std::string head_;
  std::shared_ptr<platform::TStream> body_;
  std::string piece_;
  std::int64_t piece_start_ = 0;  // where the kept piece begins in the request
  std::int64_t position_ = 0;
  std::int64_t body_before_ = 0;  // body bytes of the pieces before the kept one
  std::int64_t data_at_ = 0;      // where the kept piece's body bytes lie in it
  std::int64_t data_size_ = 0;
  bool last_ = false;  // the kept piece is the zero chunk
};

}  // namespace

HttpClientCore::HttpClientCore()
    : ResponseBody(std::make_unique<platform::TMemoryStream>()),
      buffer_(new char[kClientReadSize + 1]()) {}

// Where a request being sent stands. Shared with the stream the socket reads: the socket may
// still send after the component has gone, and then reports to nobody.
struct HttpClientCore::Upload {
  HttpClientCore* core = nullptr;
  std::int64_t head = 0;
  std::int64_t body = 0;      // -1 while a chunked body has not ended
  std::int64_t position = 0;  // of the request stream: what the socket has taken
  std::int64_t sent = 0;      // body bytes of it
  std::int64_t reported = -1;
  std::int64_t reported_body = 0;
};

// The request as the socket reads it: each read (and a step back, when the socket took less
// than it read) moves the progress, which is reported from the loop, never from inside the
// socket's own call.
class HttpClientCore::UploadStream final : public platform::TStream {
 public:
  UploadStream(std::unique_ptr<platform::TStream> request, std::shared_ptr<Upload> upload)
      : request_(std::move(request)),
        chunked_(dynamic_cast<ChunkedRequestStream*>(request_.get())),
        upload_(std::move(upload)) {}
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
    if (chunked_ != nullptr) {
      // Chunks are framed: the body's bytes are counted apart, and its size is known at its end.
      upload_->sent = chunked_->BodyTaken();
      upload_->body = chunked_->Ended() ? upload_->sent : -1;
    } else {
      upload_->sent = std::clamp<std::int64_t>(upload_->position - upload_->head, 0, upload_->body);
    }
    HttpClientCore* core = upload_->core;
    if (core != nullptr && core->upload_ == upload_ && !core->send_progress_.Pending()) {
      core->send_progress_.At(platform::Deadline::Clock::now());
    }
  }

  std::unique_ptr<platform::TStream> request_;
  ChunkedRequestStream* chunked_;  // request_, when it goes in chunks
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
  const bool chunked = dynamic_cast<ChunkedRequestStream*>(request.get()) != nullptr;
  const std::int64_t body = chunked ? -1 : request->Size() - request_head_;
  if (!WantsSendProgress() || (!chunked && body <= 0)) return request;
  upload_ = std::make_shared<Upload>();
  upload_->core = this;
  upload_->head = request_head_;
  upload_->body = body;
  return std::make_unique<UploadStream>(std::move(request), upload_);
}

void HttpClientCore::ReportSendProgress() {
  if (!upload_) return;
  const std::shared_ptr<Upload> upload = upload_;  // the event may send the next request
  const std::int64_t sent = upload->sent;
  // A chunked body's last event may repeat the count: it is the one that tells the total.
  if (sent == upload->reported && upload->body == upload->reported_body) return;
  upload->reported = sent;
  upload->reported_body = upload->body;
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
  // A stream that cannot tell its length (a pipe) cannot be rewound either: it is read from
  // where it stands.
  const bool sized = stream && stream->Size() >= 0;
  if (sized) stream->SetPosition(0);
  if (stream && stream.get() == content_stream_.get()) {
    (void)stream.release();  // the same stream again: it is ours already, only rewound
  } else {
    content_stream_ = std::move(stream);
    if (content_stream_) {
      SetIntegerVariable(kContentLength,
                         sized ? static_cast<std::int32_t>(content_stream_->Size()) : -1);
    }
  }
  if (content_stream_ && sized) content_stream_->SetPosition(0);
}

std::unique_ptr<platform::TStream> HttpClientCore::BuildRequest() {
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

  head_request_ = platform::SameText(GetStringVariable(kMethod), "HEAD");
  const std::string& content = strings_[kContent];
  if (content.empty() && content_stream_ && content_stream_->Size() < 0) {
    // A body whose length only its end tells goes in chunks, which HTTP/1.0 does not have.
    if (!platform::SameText(GetStringVariable(kProtocolVersion), "HTTP/1.1")) {
      throw EHTTPClientError(
          "the request was not sent: a body of unknown length goes in chunks, which needs "
          "HTTP/1.1");
    }
    head += "Transfer-Encoding: chunked\r\n\r\n";
    request_head_ = static_cast<std::int64_t>(head.size());
    return std::make_unique<ChunkedRequestStream>(std::move(head), content_stream_);
  }
  if (content.empty() && content_stream_) {
    head += "Content-Length: " + std::to_string(GetIntegerVariable(kContentLength)) + "\r\n\r\n";
    request_head_ = static_cast<std::int64_t>(head.size());
    // What the stream holds goes, as it always did, whatever the announced length says.
    const std::int64_t left = content_stream_->Size() - content_stream_->Position();
    return std::make_unique<RequestStream>(std::move(head), content_stream_, left);
  }
  auto request = std::make_unique<platform::TMemoryStream>();
  if (!content.empty()) {
    head += "Content-Length: " + std::to_string(content.size()) + "\r\n\r\n";
    request->WriteText(head);
    request->WriteText(content);
  } else {
    head += "\r\n";
    request->WriteText(head);
  }
  request_head_ = static_cast<std::int64_t>(head.size());
  request->SetPosition(0);
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
  TakeResponseBytes(std::string_view(buffer_.get(), static_cast<std::size_t>(n)));
}

void HttpClientCore::TakeResponseBytes(std::string_view bytes) {
  if (!response_open_) StartResponse();
  // Progress is reported once per read: for a read that ends a head with a body, and for each
  // that carries body bytes.
  bool moved = false;
  for (;;) {
    std::size_t used = 0;
    std::string_view piece;
    const ReadResult result = reader_.Feed(bytes, used, piece);
    bytes.remove_prefix(used);
    switch (result) {
      case ReadResult::kNeedMore:
        ResState = reader_.ResState();
        if (moved) ReportProgress();
        return;
      case ReadResult::kHead:
        PublishHead();
        moved = reader_.Framing() != BodyFraming::kNoBody;
        break;
      case ReadResult::kBody:
        if (!Store(piece)) return;
        moved = true;
        break;
      case ReadResult::kDone:
        // Bytes after the end of the response in this read are not used.
        if (moved) ReportProgress();
        // A progress handler that closed the connection has had the body delivered already.
        if (response_open_) Finish();
        return;
      case ReadResult::kRefused:
        Fail(FaultText());
        CloseConnection();
        return;
    }
  }
}

void HttpClientCore::StartResponse() {
  // A new response: nothing of the previous one stays. The limit is the one set now; bodies
  // written to the program's stream are held to the stream's own.
  response_open_ = true;
  ResState = TOrbHTTPResponseType::RES_REQUEST;
  reader_.Reset({.head_request = head_request_,
                 .max_body = response_stream_ != nullptr
                                 ? kMaxResponseBody
                                 : std::clamp<std::int64_t>(MaxResponseBody, 0, kMaxResponseBody)});
  ResponseVersion.clear();
  ResponseCode.clear();
  ResponseText.clear();
  ResponseHeaders.Clear();
  ResponseBody->SetSize(0);
  ResponseLength = 0;
  LastError.clear();
}

void HttpClientCore::PublishHead() {
  ResponseVersion = reader_.Version();
  ResponseCode = reader_.Code();
  ResponseText = reader_.Text();
  ResponseHeaders = reader_.Headers();
  // The reader takes lengths of 32 bits only; -1 while the body's end will tell.
  ResponseLength = static_cast<std::int32_t>(reader_.ContentLength());
}

bool HttpClientCore::Store(std::string_view piece) {
  try {
    (response_stream_ != nullptr ? *response_stream_ : static_cast<platform::TStream&>(*ResponseBody))
        .WriteBuffer(piece.data(), static_cast<std::int64_t>(piece.size()));
  } catch (const std::exception& e) {
    Fail(std::string("cannot store the body: ") + e.what());
    CloseConnection();
    return false;
  }
  return true;
}

void HttpClientCore::ReportProgress() {
  // The event counts in 32 bits; a larger body reports the most it can say.
  const auto clamp = [](std::int64_t v) { return static_cast<std::int32_t>(std::min<std::int64_t>(v, 0x7FFFFFFF)); };
  Progress(clamp(reader_.BodyReceived()), ResponseLength < 0 ? -1 : ResponseLength);
}

void HttpClientCore::Finish() {
  read_limit_.Cancel();
  response_open_ = false;
  ResState = TOrbHTTPResponseType::RES_DONE;
  DeliverBody();
  ResState = TOrbHTTPResponseType::RES_REQUEST;
}

void HttpClientCore::DeliverBody() {
  if (response_stream_ != nullptr) {
    ResponseDone();
    return;
  }
  if (ResponseBody->Size() <= 0) return;
  ResponseBody->SetPosition(0);
  StreamReady(*ResponseBody);
}

std::string HttpClientCore::FaultText() const {
  const std::string received = std::to_string(reader_.BodyReceived());
  switch (reader_.Fault()) {
    case ResponseFault::kLineTooLong:
      return "a line of the response is longer than " + std::to_string(kMaxResponseLine) +
             " characters";
    case ResponseFault::kHeadTooLarge:
      return "the response head is larger than the client accepts";
    case ResponseFault::kTrailerTooLarge:
      return "the trailer is larger than the client accepts";
    case ResponseFault::kMalformedChunks:
      return "malformed chunked body";
    case ResponseFault::kTooLarge:
      if (reader_.Framing() == BodyFraming::kLength) {
        return "the response announces " + std::to_string(reader_.ContentLength()) +
               " bytes, more than the client accepts";
      }
      return "the response is larger than the client accepts";
    case ResponseFault::kCutShort:
      if (!reader_.HeadComplete()) {
        return "the connection closed before the response head was complete";
      }
      if (reader_.Framing() == BodyFraming::kChunked) {
        return "the connection closed before the last chunk, after " + received + " body bytes";
      }
      return "the connection closed after " + received + " of " +
             std::to_string(reader_.ContentLength()) + " body bytes";
    case ResponseFault::kNone:
      break;
  }
  return {};
}

void HttpClientCore::ConnectionEnded() {
  read_limit_.Cancel();
  connect_limit_.Cancel();
  if (!response_open_) return;
  switch (reader_.ConnectionClosed()) {
    case ReadResult::kDone:
      Finish();  // a body that ran until the close
      break;
    case ReadResult::kRefused:
      Fail(FaultText());
      break;
    default:
      ResetReader();
      break;
  }
}

void HttpClientCore::ResetReader() {
  // The next byte that arrives begins a new response, read by a fresh reader.
  response_open_ = false;
  ResState = TOrbHTTPResponseType::RES_REQUEST;
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
