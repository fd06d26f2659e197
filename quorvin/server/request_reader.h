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
constexpr std::int32_t kMaxBody = 16 * 1024 * 1024;  // the largest request body, by default
constexpr std::int32_t kDefaultBodyMemory = 64 * 1024;  // the most of a body held in memory

// What a request's head says about the exchange, worked out once as the head ends.
struct RequestHead {
  // The minor version of an "HTTP/1.x" request line (letters as written: "http/1.1" is no
  // version); -1 for any other version text, or none.
  int minor_version = -1;
  bool chunked = false;          // the body comes in chunks (only read with http11_bodies)
  bool expects_continue = false; // an HTTP/1.1 client waits for 100 Continue before its body
  bool close = false;            // a Connection header names "close"
  bool keep_alive = false;       // a Connection header names "keep-alive"

  bool Http11() const { return minor_version >= 1; }
};

// How a reader reads a request's body.
struct ReaderOptions {
  // Off, only a Content-Length announces a body, and Transfer-Encoding and Expect are headers
  // like any other: what an HTTP/1.0 connection that closes after each answer needs. On, the
  // reader also decodes a chunked body, says when a client waits for 100 Continue, and refuses
  // a request whose framing two parties could read differently: a connection that reads the
  // next request from the bytes after this one must know exactly where this one ends. Header
  // lines that other parties read in other ways are refused too: a folded line (one that
  // begins with a blank), a name with a blank in it, a NUL byte anywhere in the line.
  bool http11_bodies = false;
  // The largest body taken, announced or chunked: a larger one is refused with 413.
  std::int32_t max_body = kMaxBody;
  // The most of a body kept in memory: a larger one moves to a file without a name in
  // `spool_folder` ("" or none: $TMPDIR, else /tmp), so that a request's memory stays bounded.
  std::int32_t body_memory = kDefaultBodyMemory;
  std::shared_ptr<const std::string> spool_folder = nullptr;
};

// Reads one request from its bytes: the request line, the header lines, and its body. It knows
// neither sockets nor files, so the bytes may come split wherever they happen to be, and a test
// or a fuzzer feeds it directly. A connection reads its next request after Reset(); a reader
// holds no body stream until a body arrives, so an idle connection's reader costs little.
class RequestReader {
 public:
  explicit RequestReader(ReaderOptions options = {});

  // Reads as much of the request as `bytes` holds. Returns kNeedMore (all bytes taken, `used`
  // is their count; call again with the next ones), kDone (the first `used` bytes end this
  // request; the rest is the next one's) or kRefused (RefusalStatus() says which error page;
  // `used` is 0, as nothing after a refusal is read as a request). Keeps no pointer into
  // `bytes`. A request that is done or refused takes no more bytes, and Feed says so again.
  ReadResult Feed(std::string_view bytes, std::size_t& used);

  // Makes the reader a fresh one with the same options, to read the next request of the
  // connection; gives back the memory the last request held.
  void Reset();

  // True once the blank line that ends the head has been read, also when the request was then
  // refused for its framing; false for a request refused within its head.
  bool HeadComplete() const { return head_complete_; }

  // True while the client waits for "100 Continue" before it sends the body: with
  // http11_bodies, an HTTP/1.1 request's complete head says "Expect: 100-continue", and a body
  // it announces (by length or chunks) is still to come. The connection sends 100 Continue once.
  bool ExpectsContinue() const;

  // The status code whose error page answers a refused request; 0 while nothing is refused.
  int RefusalStatus() const { return refusal_status_; }

  ZReqtype ReqState() const { return req_state_; }

  const std::string& Method() const { return method_; }

  // The path of the request line's target, %XX escapes decoded ("+" stays "+").
  const std::string& URL() const { return url_; }

  const std::string& Version() const { return version_; }

  // The facts of the head; complete once HeadComplete() is true.
  const RequestHead& Head() const { return facts_; }

  // What followed the first "?" of the target, as sent.
  const std::string& Query() const { return query_; }

  // True when the target carried a "?", even one with nothing after it.
  bool HasQuery() const { return has_query_; }

  // The target's path as sent, before decoding.
  const std::string& RawPath() const { return raw_path_; }

  // One "name=value" entry per header line with a colon: names lower-cased, values as sent.
  const platform::TStringList& Headers() const { return headers_; }

  // The body's announced length; 0 when the request announces none. For a chunked body, the
  // bytes decoded so far: its whole length once the request is done.
  std::int32_t ContentLength() const { return content_length_; }

  // The body received so far (an empty stream before any arrived). After TakeBody, a new empty
  // one.
  platform::TMemoryStream& Body();

  // Hands the body over; the reader holds none afterwards. Null when no body was received and
  // nothing asked for one.
  std::unique_ptr<platform::TMemoryStream> TakeBody() { return std::move(body_); }

  // The body as received, in memory or (beyond body_memory) in its file; null while none came.
  platform::TStream* BodyStream();
  // True once the body went to a file.
  bool BodySpooled() const { return spool_ != nullptr; }

  // The body goes to `sink` as it arrives, never held by the reader: a web action takes it
  // piece by piece. BodyStream() is the sink from then on; a write it refuses by throwing
  // refuses the request with 500. Call once the head is complete: what arrived of the body
  // with the head is written to the sink first (and what the sink throws then, the caller gets).
  void SetBodySink(std::unique_ptr<platform::TStream> sink);

  // The body is nobody's: what arrived of it is dropped and the rest is only counted, so that
  // the request still ends where its framing says.
  void DiscardBody();
  bool DiscardingBody() const { return discard_; }

 private:
  ReadResult ReadHead(std::string_view bytes, std::size_t& pos);
  void ProcessLine();
  bool AmbiguousHeaderLine() const;
  void ReadRequestLine(std::string_view line);
  int StartBody();
  int ReadHeadFacts();
  bool AddToBody(std::string_view bytes, std::size_t& pos);
  ReadResult ReadChunks(std::string_view bytes, std::size_t& pos);
  ReadResult ReadTrailers(std::string_view bytes, std::size_t& pos);
  bool AppendBody(std::string_view bytes);
  ReadResult Refuse(int status);

  ReaderOptions options_;
  web::HeadReader head_;
  ZReqtype req_state_ = ZReqtype::REQ_REQUEST;
  int refusal_status_ = 0;
  int header_lines_ = 0;
  bool head_complete_ = false;
  bool ambiguous_line_ = false;  // a header line that parties may read in different ways
  RequestHead facts_;
  web::ChunkReader chunks_;
  std::string method_;
  std::string url_;
  std::string version_;
  std::string query_;
  std::string raw_path_;
  bool has_query_ = false;
  platform::TStringList headers_;
  std::int32_t content_length_ = 0;
  bool has_length_ = false;  // a Content-Length header came, even one of 0
  std::int64_t body_received_ = 0;
  // Made when the first body byte arrives, or when a caller asks for the body.
  std::unique_ptr<platform::TMemoryStream> body_;
  std::unique_ptr<platform::THandleStream> spool_;
  std::unique_ptr<platform::TStream> sink_;  // a web action's, when it takes the body itself
  bool discard_ = false;
};

}  // namespace quorvin::server
