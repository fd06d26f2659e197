#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "quorvin/platform/core/datetime.h"
#include "quorvin/platform/core/stream.h"
#include "quorvin/platform/web/cookie.h"
#include "quorvin/platform/web/later_answer.h"
#include "quorvin/platform/web/web_request.h"

namespace quorvin::web {

// Response variable numbers. String variables:
inline constexpr int kRespVersion = 0;       // the protocol version
inline constexpr int kRespReasonString = 1;  // the status code with its reason, "404 Not Found"
inline constexpr int kRespServer = 2;
inline constexpr int kRespWWWAuthenticate = 3;
inline constexpr int kRespRealm = 4;
inline constexpr int kRespAllow = 5;
inline constexpr int kRespLocation = 6;
inline constexpr int kRespContentEncoding = 7;
inline constexpr int kRespContentType = 8;
inline constexpr int kRespContentVersion = 9;
inline constexpr int kRespDerivedFrom = 10;
inline constexpr int kRespTitle = 11;
inline constexpr int kRespStringVariableCount = 12;
// Date variables:
inline constexpr int kRespDate = 0;
inline constexpr int kRespExpires = 1;
inline constexpr int kRespLastModified = 2;
inline constexpr int kRespDateVariableCount = 3;
// Integer variables:
inline constexpr int kRespContentLength = 0;
inline constexpr int kRespIntegerVariableCount = 1;

// A header line that a web action adds to its answer.
struct THeaderField {
  std::string name;
  std::string value;
};

// The answer to one request, as web actions see it. A concrete response class keeps the
// variables, content and status, and sends; the base keeps the request, the cookies, the
// custom headers and the content stream. Constructing it calls no virtual operation.
//
// The operations that the base implements by raising EWebNotImplemented are for response
// classes that talk to their client themselves.
class TWebResponse {
 public:
  // Keeps `request`, which must outlive the response.
  explicit TWebResponse(TWebRequest& request) : request_(request) {}

  virtual ~TWebResponse() = default;
  TWebResponse(const TWebResponse&) = delete;
  TWebResponse& operator=(const TWebResponse&) = delete;

  // The variable of that number (see the kResp constants); a concrete class answers the empty
  // text, -1.0 and -1 for a number it does not keep and ignores writes to one.
  virtual std::string GetStringVariable(int index) const = 0;
  virtual void SetStringVariable(int index, std::string_view value) = 0;
  virtual platform::TDateTime GetDateVariable(int index) const = 0;
  virtual void SetDateVariable(int index, platform::TDateTime value) = 0;
  virtual std::int32_t GetIntegerVariable(int index) const = 0;
  virtual void SetIntegerVariable(int index, std::int32_t value) = 0;
  virtual std::string GetContent() const = 0;
  virtual void SetContent(std::string_view content) = 0;
  // Makes `stream` the content stream (nullptr: none), releasing the one before. The response
  // owns it from then on. Overriders call this to store it.
  virtual void SetContentStream(std::unique_ptr<platform::TStream> stream);
  virtual int GetStatusCode() const = 0;
  virtual void SetStatusCode(int code) = 0;
  // A text for the server's log about this answer.
  virtual std::string GetLogMessage() const;
  virtual void SetLogMessage(std::string_view message);

  // True once the answer has been sent.
  virtual bool Sent() const { return false; }
  // Leaves the answer for later: the action returns without one, and the program gives it
  // through what this returns (see TLaterAnswer). Null where the answer cannot wait (the
  // response belongs to no connection that can). Asked twice, the same answer.
  virtual std::shared_ptr<TLaterAnswer> AnswerLater() { return nullptr; }

  // Composes and sends the answer.
  virtual void SendResponse() = 0;
  // Answers with a redirection to `uri`.
  virtual void SendRedirect(std::string_view uri);
  // Adds the rest of `stream`, from its position, to the content stream.
  virtual void SendStream(platform::TStream& stream) = 0;

  TWebRequest& Request() const { return request_; }

  // The content stream, or nullptr.
  platform::TStream* ContentStream() const { return content_stream_.get(); }

  TCookieCollection& Cookies() { return cookies_; }

  const TCookieCollection& Cookies() const { return cookies_; }

  // Sets a header line of the answer. A header of the same name (letter case ignored) is
  // replaced, name and value, where it stands; an empty value removes it. Nothing is checked: what
  // ends up on the wire is the concrete class's concern.
  void SetCustomHeader(std::string_view name, std::string_view value);
  // The value of the custom header of that name, or the empty text.
  std::string CustomHeader(std::string_view name) const;

  const std::vector<THeaderField>& CustomHeaders() const { return custom_headers_; }

  // Appends "Name: value\r\n" for each custom header, in the order they were first set.
  void AddCustomHeaders(std::string& headers) const;

  std::string Version() const { return GetStringVariable(kRespVersion); }

  void SetVersion(std::string_view v) { SetStringVariable(kRespVersion, v); }

  std::string ReasonString() const { return GetStringVariable(kRespReasonString); }

  void SetReasonString(std::string_view v) { SetStringVariable(kRespReasonString, v); }

  std::string Server() const { return GetStringVariable(kRespServer); }

  void SetServer(std::string_view v) { SetStringVariable(kRespServer, v); }

  std::string WWWAuthenticate() const { return GetStringVariable(kRespWWWAuthenticate); }

  void SetWWWAuthenticate(std::string_view v) { SetStringVariable(kRespWWWAuthenticate, v); }

  std::string Realm() const { return GetStringVariable(kRespRealm); }

  void SetRealm(std::string_view v) { SetStringVariable(kRespRealm, v); }

  std::string Allow() const { return GetStringVariable(kRespAllow); }

  void SetAllow(std::string_view v) { SetStringVariable(kRespAllow, v); }

  std::string Location() const { return GetStringVariable(kRespLocation); }

  void SetLocation(std::string_view v) { SetStringVariable(kRespLocation, v); }

  std::string ContentEncoding() const { return GetStringVariable(kRespContentEncoding); }

  void SetContentEncoding(std::string_view v) { SetStringVariable(kRespContentEncoding, v); }

  std::string ContentType() const { return GetStringVariable(kRespContentType); }

  void SetContentType(std::string_view v) { SetStringVariable(kRespContentType, v); }

  std::string ContentVersion() const { return GetStringVariable(kRespContentVersion); }

  void SetContentVersion(std::string_view v) { SetStringVariable(kRespContentVersion, v); }

  std::string DerivedFrom() const { return GetStringVariable(kRespDerivedFrom); }

  void SetDerivedFrom(std::string_view v) { SetStringVariable(kRespDerivedFrom, v); }

  std::string Title() const { return GetStringVariable(kRespTitle); }

  void SetTitle(std::string_view v) { SetStringVariable(kRespTitle, v); }

  platform::TDateTime Date() const { return GetDateVariable(kRespDate); }

  void SetDate(platform::TDateTime v) { SetDateVariable(kRespDate, v); }

  platform::TDateTime Expires() const { return GetDateVariable(kRespExpires); }

  void SetExpires(platform::TDateTime v) { SetDateVariable(kRespExpires, v); }

  platform::TDateTime LastModified() const { return GetDateVariable(kRespLastModified); }

  void SetLastModified(platform::TDateTime v) { SetDateVariable(kRespLastModified, v); }

  std::int32_t ContentLength() const { return GetIntegerVariable(kRespContentLength); }

  void SetContentLength(std::int32_t v) { SetIntegerVariable(kRespContentLength, v); }

  int StatusCode() const { return GetStatusCode(); }

  std::string Content() const { return GetContent(); }

 private:
  TWebRequest& request_;
  TCookieCollection cookies_;
  std::vector<THeaderField> custom_headers_;
  std::unique_ptr<platform::TStream> content_stream_;
};

}  // namespace quorvin::web
