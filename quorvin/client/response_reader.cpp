#include "quorvin/client/response_reader.h"

#include <algorithm>
#include <optional>

#include "quorvin/platform/core/text.h"
#include "quorvin/platform/web/header_list.h"

namespace quorvin::client {

namespace {

// What the Transfer-Encoding of a response says of its body.
enum class Coding { kNone, kChunked, kOther };

// Transfer-Encoding decides over Content-Length (RFC 9112, 6.3), and its last coding decides how
// the body ends: chunked, the chunks are decoded; any other, only the close tells. The codings
// of several lines form one list, so the last line with a coding in it names the last coding.
// A line with none says nothing, and the length decides.
Coding LastTransferCoding(const platform::TStringList& headers) {
  std::string_view last;
  for (int i = 0; i < headers.Count(); ++i) {
    if (!platform::SameText(headers.Names(i), "transfer-encoding")) continue;
    web::ListItems codings(headers.ValueFromIndex(i));
    for (std::string_view coding; codings.Next(coding);) last = web::ItemName(coding);
  }
  if (last.empty()) return Coding::kNone;
  return platform::SameText(last, "chunked") ? Coding::kChunked : Coding::kOther;
}

}  // namespace

ResponseReader::ResponseReader(ResponseOptions options)
    : options_(options),
      head_({kMaxResponseLine, kMaxResponseHeaderLines, kMaxResponseHeaderBytes}),
      chunks_(std::clamp<std::int64_t>(options.max_body, 0, kMaxResponseBody)) {}

void ResponseReader::Reset(ResponseOptions options) {
  *this = ResponseReader(options);
}

ReadResult ResponseReader::Feed(std::string_view bytes, std::size_t& used, std::string_view& body) {
  used = 0;
  body = {};
  std::size_t pos = 0;
  ReadResult result = ReadResult::kNeedMore;
  switch (state_) {
    case TOrbHTTPResponseType::RES_REQUEST:
    case TOrbHTTPResponseType::RES_HEADER:
      started_ = started_ || !bytes.empty();
      result = ReadHead(bytes, pos);
      break;
    case TOrbHTTPResponseType::RES_BODY:
      result = ReadBody(bytes, pos, body);
      break;
    case TOrbHTTPResponseType::RES_DONE:
    case TOrbHTTPResponseType::RES_HEADERERROR:
      return fault_ != ResponseFault::kNone ? ReadResult::kRefused : ReadResult::kDone;
  }
  // Nothing after a refusal is read as part of a response.
  used = result == ReadResult::kRefused ? 0 : pos;
  return result;
}

ReadResult ResponseReader::ConnectionClosed() {
  if (state_ == TOrbHTTPResponseType::RES_DONE) {
    return fault_ != ResponseFault::kNone ? ReadResult::kRefused : ReadResult::kDone;
  }
  // A body that runs until the close ends with it; one whose end has been read is whole.
  if (state_ == TOrbHTTPResponseType::RES_BODY &&
      (framing_ == BodyFraming::kUntilClose || framing_ == BodyFraming::kNoBody ||
       (framing_ == BodyFraming::kLength && body_received_ == content_length_))) {
    state_ = TOrbHTTPResponseType::RES_DONE;
    return ReadResult::kDone;
  }
  if (!started_) return ReadResult::kNeedMore;
  return Refuse(ResponseFault::kCutShort);
}

ReadResult ResponseReader::ReadHead(std::string_view bytes, std::size_t& pos) {
  for (;;) {
    const web::LineResult line = head_.GetLine(bytes, pos);
    if (line == web::LineResult::kTooLong) return Refuse(ResponseFault::kLineTooLong);
    if (line == web::LineResult::kNeedMore) return ReadResult::kNeedMore;
    // A blank line ends the head, even before any status line.
    if (head_.Line().empty()) {
      if (!InterimHead()) return StartBody();
      // An interim answer says the final one is coming; its head counts against nothing of
      // the final head's limits.
      *this = ResponseReader(options_);
      started_ = true;
      continue;
    }
    if (state_ == TOrbHTTPResponseType::RES_HEADER) {
      if (!head_.CountHeader(++header_lines_)) return Refuse(ResponseFault::kHeadTooLarge);
      // Values are kept as sent: a cookie or a credential is case-sensitive.
      web::AddHeaderEntry(head_.Line(), headers_);
    } else {
      ReadStatusLine(head_.Line());
      state_ = TOrbHTTPResponseType::RES_HEADER;
    }
    head_.ClearLine();
  }
}

void ResponseReader::ReadStatusLine(std::string_view line) {
  web::StartLine status;
  // A status line without a space names nothing; the head is still read to its end.
  if (!web::SplitStartLine(line, status)) return;
  version_ = std::string(status.first);
  // A status line without a reason text still carries its code.
  code_ = std::string(status.second);
  text_ = std::string(status.third.value_or(std::string_view()));
}

bool ResponseReader::InterimHead() const {
  // 101 switches the connection to another protocol: what follows its head is not HTTP.
  const auto code = web::AllDigits(code_) ? platform::ParseDecimal32(code_) : std::nullopt;
  return code && *code >= 100 && *code < 200 && *code != 101;
}

ReadResult ResponseReader::StartBody() {
  head_complete_ = true;
  state_ = TOrbHTTPResponseType::RES_BODY;
  content_length_ = -1;
  // Answers to HEAD, and 1xx, 204 and 304 answers, never carry a body, whatever length they
  // announce.
  const auto code = web::AllDigits(code_) ? platform::ParseDecimal32(code_) : std::nullopt;
  if (options_.head_request ||
      (code && ((*code >= 100 && *code < 200) || *code == 204 || *code == 304))) {
    framing_ = BodyFraming::kNoBody;
    content_length_ = 0;
    return ReadResult::kHead;
  }
  switch (LastTransferCoding(headers_)) {
    case Coding::kChunked:
      framing_ = BodyFraming::kChunked;
      return ReadResult::kHead;
    case Coding::kOther:
      framing_ = BodyFraming::kUntilClose;
      return ReadResult::kHead;
    case Coding::kNone:
      break;
  }
  // A length that is not plain digits, or beyond 32 bits, says nothing a reader could rely on:
  // the body then runs until the close.
  const std::string_view value = headers_.Values("content-length");
  const auto length = web::AllDigits(value) ? platform::ParseDecimal32(value) : std::nullopt;
  if (!length) {
    framing_ = BodyFraming::kUntilClose;
    return ReadResult::kHead;
  }
  framing_ = BodyFraming::kLength;
  content_length_ = *length;
  return ReadResult::kHead;
}

ReadResult ResponseReader::ReadBody(std::string_view bytes, std::size_t& pos,
                                    std::string_view& body) {
  switch (framing_) {
    case BodyFraming::kNoBody:
      state_ = TOrbHTTPResponseType::RES_DONE;
      return ReadResult::kDone;
    case BodyFraming::kLength: {
      // Refused before a byte of it is handed out. Nothing is reserved for the announced length
      // either: a server that announces much and sends little makes the caller hold only what
      // it sent.
      if (content_length_ > options_.max_body) return Refuse(ResponseFault::kTooLarge);
      // Bytes beyond the announced length are not the body's.
      if (body_received_ == content_length_) {
        state_ = TOrbHTTPResponseType::RES_DONE;
        return ReadResult::kDone;
      }
      if (bytes.empty()) return ReadResult::kNeedMore;
      const auto take = static_cast<std::size_t>(std::min<std::int64_t>(
          content_length_ - body_received_, static_cast<std::int64_t>(bytes.size())));
      body = bytes.substr(0, take);
      pos = take;
      body_received_ += static_cast<std::int64_t>(take);
      return ReadResult::kBody;
    }
    case BodyFraming::kUntilClose:
      if (bytes.empty()) return ReadResult::kNeedMore;
      if (static_cast<std::int64_t>(bytes.size()) > options_.max_body - body_received_) {
        return Refuse(ResponseFault::kTooLarge);
      }
      body = bytes;
      pos = bytes.size();
      body_received_ += static_cast<std::int64_t>(bytes.size());
      return ReadResult::kBody;
    case BodyFraming::kChunked:
      return trailers_ ? ReadTrailers(bytes, pos) : ReadChunks(bytes, pos, body);
  }
  return ReadResult::kNeedMore;
}

ReadResult ResponseReader::ReadChunks(std::string_view bytes, std::size_t& pos,
                                      std::string_view& body) {
  switch (chunks_.Read(bytes, pos, body)) {
    case web::ChunkResult::kNeedMore:
      return ReadResult::kNeedMore;
    case web::ChunkResult::kData:
      body_received_ = chunks_.BodySize();
      return ReadResult::kBody;
    case web::ChunkResult::kLastChunk:
      trailers_ = true;
      return ReadTrailers(bytes, pos);
    case web::ChunkResult::kMalformed:
      return Refuse(ResponseFault::kMalformedChunks);
    case web::ChunkResult::kTooLarge:
      return Refuse(ResponseFault::kTooLarge);
  }
  return ReadResult::kNeedMore;
}

ReadResult ResponseReader::ReadTrailers(std::string_view bytes, std::size_t& pos) {
  // Trailer lines are header lines after the body: each counts against the limits of the head
  // that came before it, and none is kept, as nothing here reads them.
  for (;;) {
    const web::LineResult line = head_.GetLine(bytes, pos);
    if (line == web::LineResult::kTooLong) return Refuse(ResponseFault::kLineTooLong);
    if (line == web::LineResult::kNeedMore) return ReadResult::kNeedMore;
    if (head_.Line().empty()) {
      state_ = TOrbHTTPResponseType::RES_DONE;
      return ReadResult::kDone;
    }
    if (!head_.CountHeader(++header_lines_)) return Refuse(ResponseFault::kTrailerTooLarge);
    head_.ClearLine();
  }
}

ReadResult ResponseReader::Refuse(ResponseFault fault) {
  // A refused response is over as a complete one is: nothing more of it is read.
  state_ = TOrbHTTPResponseType::RES_DONE;
  fault_ = fault;
  return ReadResult::kRefused;
}

}  // namespace quorvin::client
