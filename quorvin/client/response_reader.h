#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "quorvin/platform/core/string_list.h"
#include "quorvin/platform/web/http_text.h"

namespace quorvin::client {

// Reader states of a response.
enum class TOrbHTTPResponseType : std::uint8_t {
  RES_REQUEST,
  RES_HEADER,
  RES_BODY,
  RES_DONE,
  RES_HEADERERROR
};

// What the reader made of the bytes it was fed.
enum class ReadResult { kNeedMore, kHead, kBody, kDone, kRefused };

// Why a response was refused.
enum class ResponseFault : std::uint8_t {
  kNone,
  kLineTooLong,      // a line of the head or the trailer beyond kMaxResponseLine
  kHeadTooLarge,     // more header lines or header text than a head may hold
  kTrailerTooLarge,  // the trailer lines, counted with the head's, beyond the same limits
  kMalformedChunks,  // chunk framing that is not that of a chunked body
  kTooLarge,         // a body beyond the largest the caller accepts
  kCutShort,         // the connection closed before the response was whole
};

// How the body of a response ends.
enum class BodyFraming : std::uint8_t {
  kNoBody,      // the head is the whole answer
  kLength,      // after the bytes its Content-Length announces
  kChunked,     // with the last chunk and the trailer after it
  kUntilClose,  // with the connection
};

constexpr std::size_t kMaxResponseLine = 8192;              // characters of one line
constexpr int kMaxResponseHeaderLines = 100;                // header lines in one response
constexpr std::size_t kMaxResponseHeaderBytes = 64 * 1024;  // all of them together
// The largest body a reader can be told to accept: chunk sizes are read in 64 bits.
constexpr std::int64_t kMaxResponseBody = (std::int64_t{1} << 59) - 1;

// What a reader needs to know of the request a response answers, and of its caller.
struct ResponseOptions {
  bool head_request = false;  // the request was HEAD: its answer is its head alone
  // The most body bytes accepted; a body announced or found larger is refused. At most
  // kMaxResponseBody.
  std::int64_t max_body = kMaxResponseBody;
};

// Reads one response from its bytes: the status line, the header lines and the body, with the
// same line, header and chunk rules as the server's request reader. It knows neither sockets nor
// streams, so the bytes may come split wherever they happen to be, and a test or a fuzzer feeds
// it directly. Interim answers (1xx other than 101) are read and passed over: what the reader
// reports is the final answer.
class ResponseReader {
 public:
  explicit ResponseReader(ResponseOptions options = {});

  // Reads as much of the response as `bytes` holds; `used` says how many of them it took, and
  // `body` is empty unless the result says otherwise. kNeedMore: every byte was taken; call
  // again with the next ones. kHead: the final head is whole (Version, Code, Text, Headers and
  // the framing are known); call again with the bytes after `used`. kBody: `body` is the next
  // run of the body's bytes, a view into `bytes` that ends where `used` does; call again with
  // what follows. kDone: the response ends after `used` bytes; the rest is not its own.
  // kRefused: Fault() says why; nothing more is read. A response that is done or refused takes
  // no more bytes, and Feed says so again. Keeps no pointer into `bytes`.
  ReadResult Feed(std::string_view bytes, std::size_t& used, std::string_view& body);

  // The connection has closed: kDone when that ends the response (a body that runs until the
  // close), kRefused with kCutShort when the response is not whole; kNeedMore when no byte of
  // a response has been read. A response already done or refused says so again.
  ReadResult ConnectionClosed();

  // Makes the reader a fresh one for the next response, with `options`.
  void Reset(ResponseOptions options);

  // True once a byte of this response has been taken.
  bool Started() const { return started_; }

  // True once the final head has been read, also when the body was then refused.
  bool HeadComplete() const { return head_complete_; }

  TOrbHTTPResponseType ResState() const { return state_; }

  ResponseFault Fault() const { return fault_; }

  // The parts of the status line, as sent; empty before the status line, and for a head
  // without one.
  const std::string& Version() const { return version_; }

  const std::string& Code() const { return code_; }

  const std::string& Text() const { return text_; }

  // One "name=value" entry per header line with a colon: names lower-cased, values as sent.
  const platform::TStringList& Headers() const { return headers_; }

  BodyFraming Framing() const { return framing_; }

  // The length of the body: as announced (kLength), 0 (kNoBody), -1 while only its end will tell
  // (kChunked, kUntilClose).
  std::int64_t ContentLength() const { return content_length_; }

  // The body bytes handed out so far (decoded, for a chunked body).
  std::int64_t BodyReceived() const { return body_received_; }

 private:
  ReadResult ReadHead(std::string_view bytes, std::size_t& pos);
  void ReadStatusLine(std::string_view line);
  bool InterimHead() const;
  ReadResult StartBody();
  ReadResult ReadBody(std::string_view bytes, std::size_t& pos, std::string_view& body);
  ReadResult ReadChunks(std::string_view bytes, std::size_t& pos, std::string_view& body);
  ReadResult ReadTrailers(std::string_view bytes, std::size_t& pos);
  ReadResult Refuse(ResponseFault fault);

  ResponseOptions options_;
  web::HeadReader head_;
  web::ChunkReader chunks_;
  TOrbHTTPResponseType state_ = TOrbHTTPResponseType::RES_REQUEST;
  ResponseFault fault_ = ResponseFault::kNone;
  BodyFraming framing_ = BodyFraming::kNoBody;
  bool started_ = false;
  bool head_complete_ = false;
  bool trailers_ = false;
  int header_lines_ = 0;
  std::string version_;
  std::string code_;
  std::string text_;
  platform::TStringList headers_;
  std::int64_t content_length_ = 0;
  std::int64_t body_received_ = 0;
};

}  // namespace quorvin::client
