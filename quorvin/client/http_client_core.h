#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "quorvin/client/response_reader.h"
#include "quorvin/platform/core/classes.h"
#include "quorvin/platform/core/datetime.h"
#include "quorvin/platform/core/deadline.h"
#include "quorvin/platform/core/stream.h"
#include "quorvin/platform/core/string_list.h"

namespace quorvin::client {

// Indexes of the request properties in the three variable arrays.
enum RequestVariable : int {
  kMethod = 0,
  kProtocolVersion = 1,
  kURL = 2,
  kFrom = 3,
  kIfModifiedSince = 4,  // date
  kAccept = 5,
  kDate = 6,  // date
  kReferer = 7,
  kUserAgent = 8,
  kContentEncoding = 9,
  kContentType = 10,
  kContentLength = 11,  // integer
  kContentVersion = 12,
  kContent = 13,
  kConnection = 14,
  kMIMEVersion = 15,
};

constexpr int kVariableCount = 16;
constexpr int kClientReadSize = 8192;
// Bytes read at once while bodies go to a response stream: large bodies are what it is for,
// and fewer, larger reads and writes move them with less work per byte.
constexpr int kStreamReadSize = 64 * 1024;

// Raised by SendRequest for a request that must not be sent.
class EHTTPClientError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The protocol of the HTTP client: the request properties and their request writer, and what
// becomes of each response: it reads the connection, feeds a ResponseReader, keeps the body
// (in ResponseBody or the program's stream) within its limits and raises the events. The client
// components of both socket layers derive from it and only move bytes and raise their typed
// events.
class HttpClientCore {
 public:
  HttpClientCore();
  virtual ~HttpClientCore();

  std::string GetStringVariable(int index) const;
  void SetStringVariable(int index, std::string value);
  std::int32_t GetIntegerVariable(int index) const;
  void SetIntegerVariable(int index, std::int32_t value);
  platform::TDateTime GetDateVariable(int index) const;
  void SetDateVariable(int index, platform::TDateTime value);

  void AddCustomHeader(std::string_view name, std::string_view value);
  // Takes `stream` as the request body source (nullptr releases the current one), rewound to
  // its start, its size as ContentLength. A stream whose Size() is -1 (a pipe, standard input:
  // no length until its end) is read from where it stands, ContentLength -1, and goes out in
  // chunks (Transfer-Encoding: chunked) as it is read; only an HTTP/1.1 request can carry it
  // (SendRequest raises EHTTPClientError otherwise). Its reads happen as the socket takes the
  // request, on the loop's thread: a pipe that has nothing yet holds the loop until it has.
  void SetContentStream(std::unique_ptr<platform::TStream> stream);
  platform::TStream* ContentStream() const { return content_stream_.get(); }

  // The request the properties describe, positioned at 0. Raises EHTTPClientError, with
  // nothing built, when a value would add lines to the request (a CR or LF in it), or when a
  // body of unknown length would go with a request that is not HTTP/1.1. A chunked request's
  // Size() is -1.
  std::unique_ptr<platform::TStream> BuildRequest();
  // What SendRequest sends: BuildRequest's request, read through a stream that reports the
  // body's progress (SendProgress) when the program asked for it.
  std::unique_ptr<platform::TStream> RequestToSend();

  // host[:port] as a Host header writes it: an IPv6 address in brackets, the scheme's port left
  // out.
  static std::string HostHeaderValue(const std::string& host, int port, bool https);

  // The values of the design-time component: HTTP/1.0, text/html, 1.0, */*, no dates.
  void SetDesignDefaults();

  // Where bodies go instead of ResponseBody: each piece is written to `stream` as it arrives, so
  // no copy is kept in memory and MaxResponseBody does not apply (the stream's own limits do).
  // OnStreamReady is then not raised; OnResponseDone tells that a response is whole. Not owned:
  // the stream must outlive the responses written to it. nullptr (the default) keeps bodies in
  // ResponseBody. Reads are larger (kStreamReadSize) while a stream is set. Set it between
  // responses, never from inside one of the component's events.
  void SetResponseStream(platform::TStream* stream);
  platform::TStream* ResponseStream() const { return response_stream_; }
  // Body bytes of the current response so far (decoded, for a chunked body).
  std::int64_t ResponseReceived() const { return reader_.BodyReceived(); }

  // Reads what arrived on the connection and parses it; raises the events.
  void ReadResponse();
  // The connection has ended: a body that runs until the close is complete; a response cut
  // short is reported and the reader starts clean.
  void ConnectionEnded();
  // A new connection: whatever was half read belongs to the old one.
  void ResetReader();

  // What the components tell the core of their connection: Open has started one (the
  // connect limit runs), it is up (the reader starts clean), a request went out on it (the
  // read limit runs until the answer is whole).
  void ConnectStarting();
  void Connected();
  void RequestSent();

  // Where the reader stands between reads; RES_DONE only while the body is delivered.
  TOrbHTTPResponseType ResState = TOrbHTTPResponseType::RES_REQUEST;
  // The status line and header lines of the last response whose head was whole; emptied when
  // the next response begins.
  std::string ResponseVersion;
  std::string ResponseCode;
  std::string ResponseText;
  platform::TStringList ResponseHeaders;  // "name=value": names lower-cased, values as sent
  std::unique_ptr<platform::TMemoryStream> ResponseBody;
  std::int32_t ResponseLength = 0;  // -1 while only the body's end tells (chunked, until the close)
  platform::TStringList CustomHeaders;
  // A larger answer is refused, not stored: one announced larger before a byte of it is read.
  std::int64_t MaxResponseBody = 1LL << 30;

  // Text of the last failure of a response (cut short, too large, malformed, a limit below
  // passed); empty when the last response arrived whole.
  std::string LastError;

  // Limits in milliseconds; 0 (the default) sets none. ConnectTimeout bounds the time from
  // opening the component to the connection (the lookup, the connect and a TLS handshake);
  // ReadTimeout the wait for each next byte of an answer, from the request's sending to the
  // answer's end. A limit passed closes the component and is reported as a failed response
  // (OnResponseFailed), with TimedOut() true until the next failure.
  std::int32_t ConnectTimeout = 0;
  std::int32_t ReadTimeout = 0;
  bool TimedOut() const { return timed_out_; }

 protected:
  // What the two client bindings do differently.
  // Bytes read into `into`; -1 when nothing can be read now; 0 when the peer closed. May raise.
  virtual int ReceiveSome(char* into, int max) = 0;
  virtual void CloseConnection() = 0;
  // Closes the component, whatever it is doing: a limit has passed.
  virtual void Abandon() { CloseConnection(); }
  // The component is open (connecting or connected).
  virtual bool ComponentActive() const { return true; }
  virtual void Progress(std::int32_t received, std::int32_t total) = 0;
  virtual void StreamReady(platform::TMemoryStream& body) = 0;
  virtual void ResponseFailed(const std::string& reason) = 0;
  // A response is whole and its body written to the response stream (raised only with one).
  virtual void ResponseDone() {}

  // Body bytes of the request handed to the connection so far, of `total`: raised from the
  // loop as the socket takes them (coalesced, never twice with the same count), last with
  // sent == total. A chunked body's total is -1 until its end has been read; the last event,
  // which may repeat the count, gives it. Only while WantsSendProgress() said so when the
  // request was sent.
  virtual bool WantsSendProgress() const { return false; }
  // The counts are in 32 bits, as the receiving progress's are.
  virtual void SendProgress(std::int32_t /*sent*/, std::int32_t /*total*/) {}
  // The Host header an HTTP/1.1 request carries when the program gave none: where the
  // component connects ("" when it cannot say).
  virtual std::string RequestHost() const { return {}; }

 private:
  struct Upload;
  class UploadStream;
  void ReportSendProgress();
  void TakeResponseBytes(std::string_view bytes);
  void StartResponse();
  void PublishHead();
  // Writes body bytes where they go; false (the response failed) when they cannot be kept.
  bool Store(std::string_view piece);
  void ReportProgress();
  void Finish();
  void DeliverBody();
  std::string FaultText() const;
  void Fail(const std::string& reason, bool timed_out = false);
  void LimitPassed(const std::string& reason);

  std::array<std::string, kVariableCount> strings_;
  std::array<std::int32_t, kVariableCount> integers_{};
  std::array<platform::TDateTime, kVariableCount> dates_{};
  // Shared with the request being sent, which may outlive the component in the socket.
  std::shared_ptr<platform::TStream> content_stream_;
  std::unique_ptr<char[]> buffer_;
  int read_size_ = kClientReadSize;  // the buffer holds one more byte
  ResponseReader reader_;
  platform::TStream* response_stream_ = nullptr;
  bool response_open_ = false;  // a byte of a response has arrived, and it has not ended
  bool head_request_ = false;  // the last request was HEAD: its answer has no body
  bool timed_out_ = false;
  platform::Deadline connect_limit_;
  platform::Deadline read_limit_;
  std::int32_t read_limit_ms_ = 0;  // ReadTimeout as it was when the request went out
  std::int64_t request_head_ = 0;  // bytes of the last request built before its body
  std::shared_ptr<Upload> upload_;  // the request being sent, when its progress is reported
  platform::Deadline send_progress_{[this] { ReportSendProgress(); }};
};

}  // namespace quorvin::client
