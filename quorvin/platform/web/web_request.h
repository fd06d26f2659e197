#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "quorvin/platform/core/datetime.h"
#include "quorvin/platform/core/stream.h"
#include "quorvin/platform/core/string_list.h"

namespace quorvin::web {

// The request methods that web actions select on. A request whose method is none of these
// reports mtAny, so that only actions for any method take it.
enum class TMethodType { mtAny, mtGet, mtPut, mtPost, mtHead };

// "mtGet" and so on, as a form file stores an action's method.
std::string_view MethodTypeName(TMethodType type);
// The method type of that name (letter case ignored), or nullopt.
std::optional<TMethodType> MethodTypeFromName(std::string_view name);

// Request variable numbers: what GetStringVariable, GetDateVariable and GetIntegerVariable
// take. From 6 on each is a request header (see RequestHeaderName), except kReqContent, the
// request body.
inline constexpr int kReqMethod = 0;
inline constexpr int kReqProtocolVersion = 1;
inline constexpr int kReqURL = 2;
inline constexpr int kReqQuery = 3;
inline constexpr int kReqPathInfo = 4;
inline constexpr int kReqPathTranslated = 5;
inline constexpr int kReqCacheControl = 6;
inline constexpr int kReqDate = 7;  // a date
inline constexpr int kReqAccept = 8;
inline constexpr int kReqFrom = 9;
inline constexpr int kReqHost = 10;
inline constexpr int kReqIfModifiedSince = 11;  // a date
inline constexpr int kReqReferer = 12;
inline constexpr int kReqUserAgent = 13;
inline constexpr int kReqContentEncoding = 14;
inline constexpr int kReqContentType = 15;
inline constexpr int kReqContentLength = 16;  // an integer
inline constexpr int kReqContentVersion = 17;
inline constexpr int kReqDerivedFrom = 18;
inline constexpr int kReqExpires = 19;  // a date
inline constexpr int kReqTitle = 20;
inline constexpr int kReqRemoteAddr = 21;
inline constexpr int kReqRemoteHost = 22;
inline constexpr int kReqExecutablePath = 23;
inline constexpr int kReqServerPort = 24;  // an integer
inline constexpr int kReqContent = 25;
inline constexpr int kReqConnection = 26;
inline constexpr int kReqCookie = 27;
inline constexpr int kReqAuthorization = 28;
inline constexpr int kReqVariableCount = 29;

// The header name of a request variable ("Cache-Control" for kReqCacheControl), or the empty
// text for a number that is not a header.
std::string_view RequestHeaderName(int index);

// A request as web actions see it. A concrete request class supplies the variables by number;
// everything else here reads through them, at the moment it is asked, so the base class holds
// nothing a concrete class must set up first. Constructing it reads no variable.
//
// The operations after the three variable operations are for request classes that talk to
// their client themselves; the base raises EWebNotImplemented for each.
class TWebRequest {
 public:
  TWebRequest() = default;
  virtual ~TWebRequest() = default;
  TWebRequest(const TWebRequest&) = delete;
  TWebRequest& operator=(const TWebRequest&) = delete;

  // The variable of that number as text, date (-1.0 = none) and integer (-1 = none).
  virtual std::string GetStringVariable(int index) const = 0;
  virtual platform::TDateTime GetDateVariable(int index) const = 0;
  virtual std::int32_t GetIntegerVariable(int index) const = 0;

  // A server-specific field of the request by name.
  virtual std::string GetFieldByName(std::string_view name) const;
  // Reads up to `count` more body bytes straight from the client; returns how many were read.
  virtual int ReadClient(void* buffer, int count);
  // Reads `count` more body bytes straight from the client.
  virtual std::string ReadString(int count);
  // The local path of a URL path.
  virtual std::string TranslateURI(std::string_view uri) const;
  // Writes bytes straight to the client; returns how many were written.
  virtual int WriteClient(const void* buffer, int count);
  // Writes a status line and header block straight to the client.
  virtual bool WriteHeaders(int status_code, std::string_view reason, std::string_view headers);

  // A request header by name, letter case ignored; the empty text when it was not sent. The
  // base answers the headers that have a variable number (RequestHeaderName) and nothing else;
  // a class that holds the whole header list answers every name.
  virtual std::string GetHeader(std::string_view name) const;

  std::string Method() const { return GetStringVariable(kReqMethod); }

  TMethodType MethodType() const;

  std::string ProtocolVersion() const { return GetStringVariable(kReqProtocolVersion); }

  std::string URL() const { return GetStringVariable(kReqURL); }

  std::string Query() const { return GetStringVariable(kReqQuery); }

  std::string PathInfo() const { return GetStringVariable(kReqPathInfo); }

  std::string PathTranslated() const { return GetStringVariable(kReqPathTranslated); }

  std::string CacheControl() const { return GetStringVariable(kReqCacheControl); }

  platform::TDateTime Date() const { return GetDateVariable(kReqDate); }

  std::string Accept() const { return GetStringVariable(kReqAccept); }

  std::string From() const { return GetStringVariable(kReqFrom); }

  std::string Host() const { return GetStringVariable(kReqHost); }

  platform::TDateTime IfModifiedSince() const { return GetDateVariable(kReqIfModifiedSince); }

  std::string Referer() const { return GetStringVariable(kReqReferer); }

  std::string UserAgent() const { return GetStringVariable(kReqUserAgent); }

  std::string ContentEncoding() const { return GetStringVariable(kReqContentEncoding); }

  std::string ContentType() const { return GetStringVariable(kReqContentType); }

  std::int32_t ContentLength() const { return GetIntegerVariable(kReqContentLength); }

  std::string ContentVersion() const { return GetStringVariable(kReqContentVersion); }

  std::string DerivedFrom() const { return GetStringVariable(kReqDerivedFrom); }

  platform::TDateTime Expires() const { return GetDateVariable(kReqExpires); }

  std::string Title() const { return GetStringVariable(kReqTitle); }

  std::string RemoteAddr() const { return GetStringVariable(kReqRemoteAddr); }

  std::string RemoteHost() const { return GetStringVariable(kReqRemoteHost); }

  std::string ExecutablePath() const { return GetStringVariable(kReqExecutablePath); }

  std::int32_t ServerPort() const { return GetIntegerVariable(kReqServerPort); }

  // The body as text, as stored programs read it: up to its first NUL byte.
  std::string Content() const { return GetStringVariable(kReqContent); }
  // The body, every byte of it: what binary uploads are read with.
  virtual std::string ContentBytes() const { return Content(); }
  // The body as a stream from its first byte (a large one is read from its file as it is
  // read here), or null when the request has none.
  virtual platform::TStream* BodyStream() const { return nullptr; }

  std::string Connection() const { return GetStringVariable(kReqConnection); }

  std::string Cookie() const { return GetStringVariable(kReqCookie); }

  std::string Authorization() const { return GetStringVariable(kReqAuthorization); }

  // The fields of the query string, of an application/x-www-form-urlencoded body (empty for any
  // other content type) and of the Cookie header, as "name=value" lines (see ParseFormFields and
  // ParseCookieFields); look one up with Values(name). Each list is made on first use and kept
  // for the life of the request, which is one dispatch.
  const platform::TStringList& QueryFields() const;
  const platform::TStringList& ContentFields() const;
  const platform::TStringList& CookieFields() const;

 private:
  mutable std::optional<platform::TStringList> query_fields_;
  mutable std::optional<platform::TStringList> content_fields_;
  mutable std::optional<platform::TStringList> cookie_fields_;
};

}  // namespace quorvin::web
