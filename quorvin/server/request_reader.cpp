#include "quorvin/server/request_reader.h"

#include <algorithm>
#include <optional>

#include "quorvin/platform/core/text.h"
#include "quorvin/platform/web/header_list.h"
#include "quorvin/platform/web/http_decode.h"
#include "quorvin/server/body_spool.h"

namespace quorvin::server {

namespace {

// A body beyond the limit: "413 Content Too Large", after which the connection closes (what
// the client sends on is the rest of that body).
constexpr int kBodyTooLargeStatus = 413;
// A body that could not be kept (its file could not be made or written): the server's fault.
constexpr int kSpoolFailedStatus = 500;

constexpr std::string_view kHttp11 = "HTTP/1.1";

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

}  // namespace

RequestReader::RequestReader(ReaderOptions options)
    : options_(options),
      head_({kMaxLine, kMaxHeaderLines, kMaxHeaderBytes}),
      chunks_(std::max<std::int32_t>(options.max_body, 0)) {}

void RequestReader::Reset() {
  *this = RequestReader(options_);
}

platform::TMemoryStream& RequestReader::Body() {
  // An idle connection's reader holds no stream: it is made when a body or a caller needs it.
  if (!body_) body_ = std::make_unique<platform::TMemoryStream>();
  return *body_;
}

bool RequestReader::ExpectsContinue() const {
  return facts_.expects_continue && req_state_ == ZReqtype::REQ_BODY;
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
    if (facts_.chunked) {
      if (ReadChunks(bytes, pos) == ReadResult::kRefused) return ReadResult::kRefused;
    } else {
      if (!AddToBody(bytes, pos)) return Refuse(kSpoolFailedStatus);
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
  // An action's stream learns now that the body will not end: what it made of the body so far
  // goes (a file that was being written is removed).
  sink_.reset();
  return ReadResult::kRefused;
}

void RequestReader::ProcessLine() {
  if (req_state_ == ZReqtype::REQ_REQUEST) {
    ReadRequestLine(head_.Line());
    req_state_ = ZReqtype::REQ_HEADER;
  } else {
    // The head is still read to its end, so that the refusal answers a whole request.
    ambiguous_line_ = ambiguous_line_ || AmbiguousHeaderLine();
    // Values are kept as sent: a cookie or a credential is case-sensitive.
    web::AddHeaderEntry(head_.Line(), headers_);
  }
  head_.ClearLine();
}

bool RequestReader::AmbiguousHeaderLine() const {
  // A connection that reads the next request after this one refuses the lines that some party
  // in front of it may read otherwise: "Content-Length: 0" with a folded " 35" after it is 0 to
  // one and 35 to another, "Content Length" is a header to one and nothing to another, and a
  // NUL ends the text early for a third. Any of them can hide a request inside this one.
  if (!options_.http11_bodies) return false;
  const std::string_view line = head_.Line();
  if (head_.LineHadNul() || IsBlank(line.front())) return true;
  const std::string_view name = line.substr(0, line.find(':'));
  return name.find_first_of(" \t") != std::string_view::npos;
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
  constexpr std::string_view kOne = "HTTP/1.";
  if (version_.size() > kOne.size() && version_.starts_with(kOne)) {
    const std::string_view digits = std::string_view(version_).substr(kOne.size());
    // Any number of digits is a minor version; past what an int holds, all are "later than 1".
    const auto minor = web::AllDigits(digits) ? platform::ParseDecimal(digits) : std::nullopt;
    if (minor) facts_.minor_version = static_cast<int>(std::min<std::int64_t>(*minor, 1 << 20));
  }
}

int RequestReader::StartBody() {
  if (const int status = ReadHeadFacts(); status != 0) return status;
  req_state_ = facts_.chunked || content_length_ > 0 || has_length_ ? ZReqtype::REQ_BODY
                                                                    : ZReqtype::REQ_DONE;
  // A client that asks whether to send its body waits for the answer only while one is due. An
  // HTTP/1.0 client knows no 100 Continue: its expectation is ignored.
  facts_.expects_continue = facts_.expects_continue && options_.http11_bodies &&
                            version_ == kHttp11 && (facts_.chunked || content_length_ > 0);
  return 0;
}

int RequestReader::ReadHeadFacts() {
  if (ambiguous_line_) return 400;
  // One walk over the headers for everything the connection and the framing need of them.
  int encodings = 0;
  std::string_view first_length;
  for (int i = 0; i < headers_.Count(); ++i) {
    const std::string_view name = headers_.Names(i);
    const std::string_view value = headers_.ValueFromIndex(i);
    if (name == "content-length") {
      // Plain digits; several Content-Length headers must agree, or two parties could read two
      // different requests from the same bytes. Beyond the body limit: too large, however
      // many digits.
      if (!web::AllDigits(value) || (has_length_ && value != first_length)) return 400;
      const auto length = value.size() <= 18 ? platform::ParseDecimal(value) : std::nullopt;
      if (!length || *length > options_.max_body) return kBodyTooLargeStatus;
      if (!has_length_) first_length = value;
      has_length_ = true;
      content_length_ = static_cast<std::int32_t>(*length);
    } else if (name == "transfer-encoding") {
      ++encodings;
      facts_.chunked = platform::SameText(value, "chunked");
    } else if (name == "expect") {
      facts_.expects_continue = facts_.expects_continue || platform::SameText(value, "100-continue");
    } else if (name == "connection") {
      facts_.close = facts_.close || web::HasToken(value, "close");
      facts_.keep_alive = facts_.keep_alive || web::HasToken(value, "keep-alive");
    }
  }
  if (encodings == 0 || !options_.http11_bodies) {
    // Without chunked bodies, Transfer-Encoding is a header like any other.
    facts_.chunked = false;
    return 0;
  }
  // Only chunked is decoded; any other coding, chunked applied twice, or a list of codings
  // (even one another party would reduce to chunked) leaves the body's end unknown. A request
  // with both a length and chunks ends in two places, which is how one request hides another.
  // An HTTP/1.0 party before us may know no chunks and pass them on as the next request's bytes.
  if (encodings > 1 || !facts_.chunked || has_length_ || version_ != kHttp11) return 400;
  return 0;
}

bool RequestReader::AddToBody(std::string_view bytes, std::size_t& pos) {
  // Bytes beyond the announced length are not the body's.
  const std::int64_t room = content_length_ - body_received_;
  const std::int64_t take =
      std::min<std::int64_t>(room, static_cast<std::int64_t>(bytes.size() - pos));
  if (take > 0) {
    if (!AppendBody(bytes.substr(pos, static_cast<std::size_t>(take)))) return false;
    pos += static_cast<std::size_t>(take);
  }
  if (body_received_ >= content_length_) req_state_ = ZReqtype::REQ_DONE;
  return true;
}

ReadResult RequestReader::ReadChunks(std::string_view bytes, std::size_t& pos) {
  for (;;) {
    std::string_view data;
    switch (chunks_.Read(bytes, pos, data)) {
      case web::ChunkResult::kNeedMore:
        return ReadResult::kNeedMore;
      case web::ChunkResult::kData:
        if (!AppendBody(data)) return Refuse(kSpoolFailedStatus);
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

bool RequestReader::AppendBody(std::string_view bytes) {
  body_received_ += static_cast<std::int64_t>(bytes.size());
  if (discard_) return true;
  try {
    if (sink_) {
      sink_->WriteBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size()));
      return true;
    }
    if (!spool_ && (body_ ? body_->Size() : 0) + static_cast<std::int64_t>(bytes.size()) >
                       std::max<std::int32_t>(options_.body_memory, 0)) {
      // Too much for memory: the body so far and the rest go to a file.
      spool_ = OpenBodySpool(options_.spool_folder ? std::string_view(*options_.spool_folder)
                                                   : std::string_view());
      if (!spool_) return false;
      if (body_) {
        const std::string_view held = body_->View();
        spool_->WriteBuffer(held.data(), static_cast<std::int64_t>(held.size()));
        body_.reset();
      }
    }
    // The body grows as its bytes arrive: a client that announces a large body and sends
    // nothing holds no memory for it.
    if (spool_) {
      spool_->WriteBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size()));
    } else {
      Body().WriteBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size()));
    }
  } catch (...) {
    return false;  // the folder is full or gone, or the action's stream refused the piece
  }
  return true;
}

platform::TStream* RequestReader::BodyStream() {
  if (sink_) return sink_.get();
  if (spool_) return spool_.get();
  return body_.get();
}

void RequestReader::DiscardBody() {
  discard_ = true;
  body_.reset();
  spool_.reset();
  sink_.reset();
}

void RequestReader::SetBodySink(std::unique_ptr<platform::TStream> sink) {
  // What came with the head goes first.
  if (platform::TStream* held = BodyStream()) {
    held->SetPosition(0);
    sink->CopyFrom(*held, 0);
  }
  body_.reset();
  spool_.reset();
  sink_ = std::move(sink);
}

}  // namespace quorvin::server
