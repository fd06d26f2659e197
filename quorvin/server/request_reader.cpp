#include "quorvin/server/request_reader.h"

#include <algorithm>
#include <optional>

#include "quorvin/platform/core/text.h"
#include "quorvin/platform/web/http_decode.h"

namespace quorvin::server {

namespace {

// The status code of the error page for a body beyond kMaxBody. The status table has no
// "413 Request Entity Too Large", so such a body is a bad request like any other.
constexpr int kBodyTooLargeStatus = 400;

constexpr std::string_view kHttp11 = "HTTP/1.1";

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

}  // namespace

RequestReader::RequestReader(ReaderOptions options)
    : options_(options), head_({kMaxLine, kMaxHeaderLines, kMaxHeaderBytes}) {}

void RequestReader::Reset() {
  *this = RequestReader(options_);
}

platform::TMemoryStream& RequestReader::Body() {
  // An idle connection's reader holds no stream: it is made when a body or a caller needs it.
  if (!body_) body_ = std::make_unique<platform::TMemoryStream>();
  return *body_;
}

bool RequestReader::ExpectsContinue() const {
  return expects_continue_ && req_state_ == ZReqtype::REQ_BODY;
}

ReadResult RequestReader::Feed(std::string_view bytes, std::size_t& used) {
  used = 0;
  if (req_state_ == ZReqtype::REQ_DONE) {
    return refusal_status_ != 0 ? ReadResult::kRefused : ReadResult::kDone;
  }
  std::size_t pos = 0;
  if (req_state_ != ZReqtype::REQ_BODY) {
    const ReadResult head = ReadHead(bytes, pos);
    if (head == ReadResult::kRefused) return head;
    if (head == ReadResult::kNeedMore) {
      used = pos;  // the line goes on in the next bytes
      return head;
    }
    if (const int status = StartBody(); status != 0) return Refuse(status);
  }
  // What follows the blank line in these bytes starts the body; without one, the bytes are the
  // next request's.
  if (req_state_ == ZReqtype::REQ_BODY) {
    if (chunked_) {
      if (ReadChunks(bytes, pos) == ReadResult::kRefused) return ReadResult::kRefused;
    } else {
      AddToBody(bytes, pos);
    }
  }
  used = pos;
  return req_state_ == ZReqtype::REQ_DONE ? ReadResult::kDone : ReadResult::kNeedMore;
}

ReadResult RequestReader::ReadHead(std::string_view bytes, std::size_t& pos) {
  for (;;) {
    const web::LineResult line = head_.GetLine(bytes, pos);
    if (line == web::LineResult::kTooLong) return Refuse(400);
    if (line == web::LineResult::kNeedMore) return ReadResult::kNeedMore;
    // A blank line ends the head, even before any request line.
    if (head_.Line().empty()) {
      head_complete_ = true;
      return ReadResult::kDone;
    }
    if (req_state_ == ZReqtype::REQ_HEADER && !head_.CountHeader(++header_lines_)) {
      return Refuse(400);
    }
    ProcessLine();
  }
}

ReadResult RequestReader::Refuse(int status) {
  // A refused request is over as a complete one is: nothing more of it is read.
  req_state_ = ZReqtype::REQ_DONE;
  refusal_status_ = status;
  return ReadResult::kRefused;
}

void RequestReader::ProcessLine() {
  if (req_state_ == ZReqtype::REQ_REQUEST) {
    ReadRequestLine(head_.Line());
    req_state_ = ZReqtype::REQ_HEADER;
  } else {
    // Values are kept as sent: a cookie or a credential is case-sensitive.
    web::AddHeaderEntry(head_.Line(), headers_);
  }
  head_.ClearLine();
}

void RequestReader::ReadRequestLine(std::string_view line) {
  web::StartLine parts;
  // A request line without a space names nothing; the head is still read to its end.
  if (!web::SplitStartLine(line, parts)) return;
  method_ = std::string(parts.first);
  std::string_view url = parts.third ? parts.second : platform::TrimRight(parts.second);
  version_ = std::string(parts.third.value_or(std::string_view()));
  const auto q = url.find('?');
  if (q != std::string_view::npos) {
    query_ = std::string(url.substr(q + 1, kMaxLine));
    url = url.substr(0, q);
    has_query_ = true;
  }
  raw_path_ = std::string(url);
  url_ = web::HTTPDecode(url);
}

int RequestReader::StartBody() {
  if (!ValidLength()) return 400;
  if (options_.http11_bodies) {
    if (const int status = Http11Framing(); status != 0) return status;
  }
  req_state_ = chunked_ || BodySent() ? ZReqtype::REQ_BODY : ZReqtype::REQ_DONE;
  // A client that asks whether to send its body waits for the answer only while one is due. An
  // HTTP/1.0 client knows no 100 Continue: its expectation is ignored.
  if (options_.http11_bodies && version_ == kHttp11 && (chunked_ || content_length_ > 0)) {
    for (int i = 0; i < headers_.Count(); ++i) {
      expects_continue_ =
          expects_continue_ || (platform::SameText(headers_.Names(i), "expect") &&
                                platform::SameText(headers_.ValueFromIndex(i), "100-continue"));
    }
  }
  return 0;
}

int RequestReader::Http11Framing() {
  int encodings = 0;
  bool has_length = false;
  for (int i = 0; i < headers_.Count(); ++i) {
    const std::string_view name = headers_.Names(i);
    // "Transfer-Encoding : chunked" names another header here, and a party that trims the blank
    // would read chunks where this reader reads none: a name with blanks around it is refused.
    if (!name.empty() && (IsBlank(name.front()) || IsBlank(name.back()))) return 400;
    if (platform::SameText(name, "transfer-encoding")) {
      ++encodings;
      chunked_ = platform::SameText(headers_.ValueFromIndex(i), "chunked");
    }
    has_length = has_length || platform::SameText(name, "content-length");
  }
  if (encodings == 0) return 0;
  // Only chunked is decoded; any other coding, chunked applied twice, or a list of codings
  // (even one another party would reduce to chunked) leaves the body's end unknown. A request
  // with both a length and chunks ends in two places, which is how one request hides another.
  // An HTTP/1.0 party before us may know no chunks and pass them on as the next request's bytes.
  if (encodings > 1 || !chunked_ || has_length || version_ != kHttp11) return 400;
  return 0;
}

bool RequestReader::ValidLength() const {
  // Plain digits within the body limit; several Content-Length headers must agree, or two
  // parties could read two different requests from the same bytes.
  const std::string_view first = headers_.Values("content-length");
  for (int i = 0; i < headers_.Count(); ++i) {
    if (!platform::SameText(headers_.Names(i), "content-length")) continue;
    const std::string_view v = headers_.ValueFromIndex(i);
    const auto length =
        web::AllDigits(v) && v.size() <= 9 ? platform::ParseDecimal(v) : std::nullopt;
    if (!length || *length > kMaxBody || v != first) return false;
  }
  return true;
}

bool RequestReader::BodySent() {
  const std::string_view value = headers_.Values("content-length");
  if (value.empty()) return false;
  content_length_ = platform::ParseDecimal32(value).value_or(0);
  return true;
}

void RequestReader::AddToBody(std::string_view bytes, std::size_t& pos) {
  // Bytes beyond the announced length are not the body's.
  const std::int64_t room = content_length_ - body_received_;
  const std::int64_t take =
      std::min<std::int64_t>(room, static_cast<std::int64_t>(bytes.size() - pos));
  if (take > 0) {
    AppendBody(bytes.substr(pos, static_cast<std::size_t>(take)));
    pos += static_cast<std::size_t>(take);
  }
  if (body_received_ >= content_length_) req_state_ = ZReqtype::REQ_DONE;
}

ReadResult RequestReader::ReadChunks(std::string_view bytes, std::size_t& pos) {
  for (;;) {
    std::string_view data;
    switch (chunks_.Read(bytes, pos, data)) {
      case web::ChunkResult::kNeedMore:
        return ReadResult::kNeedMore;
      case web::ChunkResult::kData:
        AppendBody(data);
        // The static rules read a chunked body's length as they would an announced one.
        content_length_ = static_cast<std::int32_t>(chunks_.BodySize());
        break;
      case web::ChunkResult::kLastChunk:
        return ReadTrailers(bytes, pos);
      case web::ChunkResult::kMalformed:
        return Refuse(400);
      case web::ChunkResult::kTooLarge:
        return Refuse(kBodyTooLargeStatus);
    }
  }
}

ReadResult RequestReader::ReadTrailers(std::string_view bytes, std::size_t& pos) {
  // Trailer lines are header lines after the body: each counts against the limits of the head
  // that came before it, and none is kept, as nothing here reads them.
  for (;;) {
    const web::LineResult line = head_.GetLine(bytes, pos);
    if (line == web::LineResult::kTooLong) return Refuse(400);
    if (line == web::LineResult::kNeedMore) return ReadResult::kNeedMore;
    if (head_.Line().empty()) {
      req_state_ = ZReqtype::REQ_DONE;
      return ReadResult::kDone;
    }
    if (!head_.CountHeader(++header_lines_)) return Refuse(400);
    head_.ClearLine();
  }
}

void RequestReader::AppendBody(std::string_view bytes) {
  // The body grows as its bytes arrive: a client that announces a large body and sends nothing
  // holds no memory for it.
  Body().WriteBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size()));
  body_received_ += static_cast<std::int64_t>(bytes.size());
}

}  // namespace quorvin::server
