#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "quorvin/platform/core/stream.h"
#include "quorvin/platform/core/string_list.h"
#include "quorvin/platform/web/http_text.h"

namespace quorvin::server {

// Reading states of a request.
enum class ZReqtype : std::uint8_t { REQ_REQUEST, REQ_HEADER, REQ_BODY, REQ_DONE, REQ_SIMPLE };

// What the reader made of the bytes it was fed.
enum class ReadResult { kNeedMore, kDone, kRefused };

constexpr std::size_t kMaxLine = 8192;               // characters in a request or header line
constexpr int kMaxHeaderLines = 100;                 // header lines in one request
constexpr std::size_t kMaxHeaderBytes = 64 * 1024;   // all header lines together
constexpr std::int32_t kMaxBody = 16 * 1024 * 1024;  // the largest request body accepted

// Reads one request from its bytes: the request line, the header lines, and the body that a
// Content-Length announces. It knows neither sockets nor files, so the bytes may come split
// wherever they happen to be, and a test or a fuzzer feeds it directly.
struct ReaderOptions {
  bool http11_bodies = false;
};

class RequestReader {
 public:
  explicit RequestReader(ReaderOptions options = {});
  bool HeadComplete() const {
    return req_state_ == ZReqtype::REQ_BODY || req_state_ == ZReqtype::REQ_DONE;
  }
  bool ExpectsContinue() const { return false; }

  // Reads as much of the request as `bytes` holds. Returns kNeedMore (all bytes taken; call
  // again with the next ones), kDone (`used` bytes belong to this request; the rest is the next
  // one's) or kRefused (RefusalStatus() says which error page). Keeps no pointer into `bytes`.
  // A request that is done or refused takes no more bytes, and Feed says so again.
  ReadResult Feed(std::string_view bytes, std::size_t& used);

  // The status code whose error page answers a refused request; 0 while nothing is refused.
  int RefusalStatus() const { return refusal_status_; }

  ZReqtype ReqState() const { return req_state_; }

  const std::string& Method() const { return method_; }

  // The path of the request line's target, %XX escapes decoded ("+" stays "+").
  const std::string& URL() const { return url_; }

  const std::string& Version() const { return version_; }

  // What followed the first "?" of the target, as sent.
  const std::string& Query() const { return query_; }

  // True when the target carried a "?", even one with nothing after it.
  bool HasQuery() const { return has_query_; }

  // The target's path as sent, before decoding.
  const std::string& RawPath() const { return raw_path_; }

  // One "name=value" entry per header line with a colon: names lower-cased, values as sent.
  const platform::TStringList& Headers() const { return headers_; }

  // The body's announced length; 0 when the request announces none.
  std::int32_t ContentLength() const { return content_length_; }

  // The body received so far; valid until TakeBody hands it over.
  platform::TMemoryStream& Body() { return *body_; }

  // Hands the body over; the reader holds none afterwards.
  std::unique_ptr<platform::TMemoryStream> TakeBody() { return std::move(body_); }

 private:
  void ProcessLine();
  void ReadRequestLine(std::string_view line);
  bool ValidLength() const;
  bool BodySent();
  void AddToBody(std::string_view bytes, std::size_t& pos);
  ReadResult Refuse(int status);

  web::HeadReader head_;
  ZReqtype req_state_ = ZReqtype::REQ_REQUEST;
  int refusal_status_ = 0;
  int header_lines_ = 0;
  std::string method_;
  std::string url_;
  std::string version_;
  std::string query_;
  std::string raw_path_;
  bool has_query_ = false;
  platform::TStringList headers_;
  std::int32_t content_length_ = 0;
  std::unique_ptr<platform::TMemoryStream> body_;
};

}  // namespace quorvin::server
