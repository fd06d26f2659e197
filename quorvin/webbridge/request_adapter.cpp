#include "quorvin/webbridge/request_adapter.h"

#include <algorithm>
#include <cstring>

#include "quorvin/platform/core/text.h"
#include "quorvin/platform/web/http_date.h"

namespace quorvin::webbridge {

const std::array<std::string_view, 29> arHTTPHeader = {
    "0",        "1",
    "2",        "3",
    "4",        "5",
    "Cache-Control", "Date",
    "Accept",   "From",
    "Host",     "If-Modified-Since",
    "Referer",  "User-Agent",
    "Content-Encoding", "Content-Type",
    "Content-Length", "Content-Version",
    "Derived-From", "Expires",
    "Title",    "Remote-Address",
    "Remote-Host", "Executable-Path",
    "Server-Port", "Content",
    "Connection", "Cookie",
    "Authorization"};

std::string ZRequest::GetStringVariable(int index) const {
  using Field = ConnectionView::Field;
  switch (index) {
    case 0: return std::string(ConnectionSocket.RequestField(Field::kMethod));
    case 1: return std::string(ConnectionSocket.RequestField(Field::kVersion));
    case 2:
    case 4: return std::string(ConnectionSocket.RequestField(Field::kURL));
    case 3: return std::string(ConnectionSocket.RequestField(Field::kQuery));
    case 5: return std::string(ConnectionSocket.RequestField(Field::kTranslatedPath));
    case 25: {
      // The body as text: up to its size, and no further than a NUL byte.
      std::string bytes = ContentBytes();
      bytes.resize(std::min(bytes.size(), bytes.find('\0')));
      return bytes;
    }
    default:
      if (index < 6 || index >= static_cast<int>(arHTTPHeader.size())) return {};
      return std::string(ConnectionSocket.RequestHeaders().Values(arHTTPHeader[static_cast<std::size_t>(index)]));
  }
}

std::int32_t ZRequest::GetIntegerVariable(int index) const {
  return platform::ParseDecimal32(GetStringVariable(index)).value_or(-1);
}

platform::TDateTime ZRequest::GetDateVariable(int index) const {
  const std::string text = GetStringVariable(index);
  // An unreadable date raises to the web action that asked.
  return text.empty() ? -1.0 : web::ParseDate(text);
}

std::string ZRequest::ContentBytes() const {
  platform::TStream* body = BodyStream();
  if (body == nullptr) return {};
  std::string bytes(static_cast<std::size_t>(std::max<std::int64_t>(body->Size(), 0)), '\0');
  std::size_t got = 0;
  for (std::int64_t n; got < bytes.size() &&
                       (n = body->Read(bytes.data() + got, static_cast<std::int64_t>(bytes.size() - got))) > 0;) {
    got += static_cast<std::size_t>(n);
  }
  bytes.resize(got);
  body->SetPosition(0);
  return bytes;
}

platform::TStream* ZRequest::BodyStream() const {
  platform::TStream* body = ConnectionSocket.RequestBodyStream();
  if (body != nullptr) body->SetPosition(0);
  return body;
}

std::string ZRequest::GetHeader(std::string_view name) const {
  return std::string(ConnectionSocket.RequestHeaders().Values(name));
}

}  // namespace quorvin::webbridge
