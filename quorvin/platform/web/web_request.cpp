#include "quorvin/platform/web/web_request.h"

#include "quorvin/platform/core/text.h"
#include "quorvin/platform/web/http_decode.h"
#include "quorvin/platform/web/web_error.h"

namespace quorvin::web {
namespace {

// Indexes 0 to 5 and kReqContent come from the request line and body, not from a header.
// clang-format off
constexpr std::string_view kHeaderNames[kReqVariableCount] = {
    "", "", "", "", "", "",                                              // 0-5
    "Cache-Control", "Date", "Accept", "From", "Host",                   // 6-10
    "If-Modified-Since", "Referer", "User-Agent", "Content-Encoding",    // 11-14
    "Content-Type", "Content-Length", "Content-Version", "Derived-From", // 15-18
    "Expires", "Title", "Remote-Address", "Remote-Host",                 // 19-22
    "Executable-Path", "Server-Port", "", "Connection", "Cookie",        // 23-27
    "Authorization"};                                                    // 28

// clang-format on

struct MethodName {
  TMethodType type;
  std::string_view name;
};

constexpr MethodName kMethodNames[] = {{TMethodType::mtAny, "mtAny"},
                                       {TMethodType::mtGet, "mtGet"},
                                       {TMethodType::mtPut, "mtPut"},
                                       {TMethodType::mtPost, "mtPost"},
                                       {TMethodType::mtHead, "mtHead"}};

}  // namespace

std::string_view MethodTypeName(TMethodType type) {
  for (const auto& m : kMethodNames) {
    if (m.type == type) return m.name;
  }
  return "mtAny";
}

std::optional<TMethodType> MethodTypeFromName(std::string_view name) {
  for (const auto& m : kMethodNames) {
    if (platform::SameText(m.name, name)) return m.type;
  }
  return std::nullopt;
}

std::string_view RequestHeaderName(int index) {
  return index >= 0 && index < kReqVariableCount ? kHeaderNames[index] : std::string_view();
}

std::string TWebRequest::GetFieldByName(std::string_view) const {
  throw EWebNotImplemented("TWebRequest::GetFieldByName");
}

int TWebRequest::ReadClient(void*, int) {
  throw EWebNotImplemented("TWebRequest::ReadClient");
}

std::string TWebRequest::ReadString(int) {
  throw EWebNotImplemented("TWebRequest::ReadString");
}

std::string TWebRequest::TranslateURI(std::string_view) const {
  throw EWebNotImplemented("TWebRequest::TranslateURI");
}

int TWebRequest::WriteClient(const void*, int) {
  throw EWebNotImplemented("TWebRequest::WriteClient");
}

bool TWebRequest::WriteHeaders(int, std::string_view, std::string_view) {
  throw EWebNotImplemented("TWebRequest::WriteHeaders");
}

std::string TWebRequest::GetHeader(std::string_view name) const {
  if (name.empty()) return {};
  for (int i = 0; i < kReqVariableCount; ++i) {
    if (platform::SameText(kHeaderNames[i], name)) return GetStringVariable(i);
  }
  return {};
}

TMethodType TWebRequest::MethodType() const {
  // Compared without regard to case, as the server itself compares methods.
  const std::string method = Method();
  if (platform::SameText(method, "GET")) return TMethodType::mtGet;
  if (platform::SameText(method, "POST")) return TMethodType::mtPost;
  if (platform::SameText(method, "HEAD")) return TMethodType::mtHead;
  if (platform::SameText(method, "PUT")) return TMethodType::mtPut;
  return TMethodType::mtAny;
}

const platform::TStringList& TWebRequest::QueryFields() const {
  if (!query_fields_) query_fields_ = ParseFormFields(Query());
  return *query_fields_;
}

const platform::TStringList& TWebRequest::ContentFields() const {
  if (!content_fields_) {
    // The media type, without parameters such as "; charset=utf-8".
    const std::string type = ContentType();
    const std::string_view media = platform::Trim(std::string_view(type).substr(0, type.find(';')));
    content_fields_ = platform::SameText(media, "application/x-www-form-urlencoded")
                          ? ParseFormFields(Content())
                          : platform::TStringList();
  }
  return *content_fields_;
}

const platform::TStringList& TWebRequest::CookieFields() const {
  if (!cookie_fields_) cookie_fields_ = ParseCookieFields(Cookie());
  return *cookie_fields_;
}

}  // namespace quorvin::web
