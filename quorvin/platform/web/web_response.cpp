#include "quorvin/platform/web/web_response.h"

#include <algorithm>

#include "quorvin/platform/core/text.h"
#include "quorvin/platform/web/web_error.h"

namespace quorvin::web {

void TWebResponse::SetContentStream(std::unique_ptr<platform::TStream> stream) {
  content_stream_ = std::move(stream);
}

std::string TWebResponse::GetLogMessage() const {
  throw EWebNotImplemented("TWebResponse::GetLogMessage");
}

void TWebResponse::SetLogMessage(std::string_view) {
  throw EWebNotImplemented("TWebResponse::SetLogMessage");
}

void TWebResponse::SendRedirect(std::string_view) {
  throw EWebNotImplemented("TWebResponse::SendRedirect");
}

void TWebResponse::SetCustomHeader(std::string_view name, std::string_view value) {
  const auto it =
      std::find_if(custom_headers_.begin(), custom_headers_.end(),
                   [&](const THeaderField& h) { return platform::SameText(h.name, name); });
  if (value.empty()) {
    if (it != custom_headers_.end()) custom_headers_.erase(it);
  } else if (it != custom_headers_.end()) {
    it->name = std::string(name);
    it->value = std::string(value);
  } else {
    custom_headers_.push_back({std::string(name), std::string(value)});
  }
}

std::string TWebResponse::CustomHeader(std::string_view name) const {
  for (const THeaderField& h : custom_headers_) {
    if (platform::SameText(h.name, name)) return h.value;
  }
  return {};
}

void TWebResponse::AddCustomHeaders(std::string& headers) const {
  for (const THeaderField& h : custom_headers_) {
    headers += h.name;
    headers += ": ";
    headers += h.value;
    headers += "\r\n";
  }
}

}  // namespace quorvin::web
