#include "quorvin/server/request_reader.h"

#include <algorithm>
#include <optional>

#include "quorvin/platform/core/text.h"
#include "quorvin/platform/web/http_decode.h"

namespace quorvin::server {

RequestReader::RequestReader(ReaderOptions)
    : head_({kMaxLine, kMaxHeaderLines, kMaxHeaderBytes}),
      body_(std::make_unique<platform::TMemoryStream>()) {}

ReadResult RequestReader::Feed(std::string_view bytes, std::size_t& used) {
  used = 0;
  if (req_state_ == ZReqtype::REQ_DONE) {
    return refusal_status_ != 0 ? ReadResult::kRefused : ReadResult::kDone;
  }
  std::size_t pos = 0;
  if (req_state_ == ZReqtype::REQ_BODY) {
    AddToBody(bytes, pos);
  } else {
    for (;;) {
      const web::LineResult line = head_.GetLine(bytes, pos);
      if (line == web::LineResult::kTooLong) return Refuse(400);
      if (line == web::LineResult::kNeedMore) {
        used = pos;  // the line goes on in the next bytes
        return ReadResult::kNeedMore;
      }
      // A blank line ends the head, even before any request line.
      if (head_.Line().empty()) {
        req_state_ = ZReqtype::REQ_BODY;
        break;
      }
      if (req_state_ == ZReqtype::REQ_HEADER && !head_.CountHeader(++header_lines_)) {
        return Refuse(400);
      }
      ProcessLine();
    }
    if (!ValidLength()) return Refuse(400);
    // What follows the blank line in these bytes starts the body; without a length there is
    // none, and the bytes are the next request's.
    if (BodySent()) {
      AddToBody(bytes, pos);
    } else {
      req_state_ = ZReqtype::REQ_DONE;
    }
  }
  used = pos;
  return req_state_ == ZReqtype::REQ_DONE ? ReadResult::kDone : ReadResult::kNeedMore;
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
  // The body grows as its bytes arrive: a client that announces a large body and sends nothing
  // holds no memory for it.
  body_->SetSize(0);
  return true;
}

void RequestReader::AddToBody(std::string_view bytes, std::size_t& pos) {
  // Bytes beyond the announced length are not the body's.
  const std::int64_t room = content_length_ - body_->Position();
  const std::int64_t take =
      std::min<std::int64_t>(room, static_cast<std::int64_t>(bytes.size() - pos));
  if (take > 0) {
    body_->WriteBuffer(bytes.data() + pos, take);
    pos += static_cast<std::size_t>(take);
  }
  if (body_->Position() >= content_length_) req_state_ = ZReqtype::REQ_DONE;
}

}  // namespace quorvin::server
