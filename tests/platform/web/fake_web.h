#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "quorvin/platform/core/stream.h"
#include "quorvin/platform/core/text.h"
#include "quorvin/platform/web/http_date.h"
#include "quorvin/platform/web/web_request.h"
#include "quorvin/platform/web/web_response.h"

namespace quorvin::web::testing {

// A request made of a table of variables, in the way a server's request class reads its own.
// Counts the variable reads, to show what the base class reads and when.
class FakeRequest final : public TWebRequest {
 public:
  FakeRequest() = default;

  FakeRequest(std::string_view method, std::string_view path) {
    vars[kReqMethod] = std::string(method);
    vars[kReqPathInfo] = std::string(path);
    vars[kReqURL] = std::string(path);
  }

  std::string GetStringVariable(int index) const override {
    ++reads;
    const auto it = vars.find(index);
    return it == vars.end() ? std::string() : it->second;
  }

  platform::TDateTime GetDateVariable(int index) const override {
    const std::string text = GetStringVariable(index);
    return text.empty() ? -1.0 : ParseDate(text);
  }

  std::int32_t GetIntegerVariable(int index) const override {
    return platform::ParseDecimal32(GetStringVariable(index)).value_or(-1);
  }

  std::map<int, std::string> vars;
  mutable int reads = 0;
};

// A response that keeps its variables in fixed arrays and "sends" by noting that it did.
class FakeResponse final : public TWebResponse {
 public:
  explicit FakeResponse(TWebRequest& request) : TWebResponse(request) {}

  std::string GetStringVariable(int index) const override {
    return InRange(index, kRespStringVariableCount) ? strings_[index] : std::string();
  }

  void SetStringVariable(int index, std::string_view value) override {
    if (InRange(index, kRespStringVariableCount)) strings_[index] = std::string(value);
  }

  platform::TDateTime GetDateVariable(int index) const override {
    return InRange(index, kRespDateVariableCount) ? dates_[index] : -1.0;
  }

  void SetDateVariable(int index, platform::TDateTime value) override {
    if (InRange(index, kRespDateVariableCount)) dates_[index] = value;
  }

  std::int32_t GetIntegerVariable(int index) const override { return index == 0 ? length_ : -1; }

  void SetIntegerVariable(int index, std::int32_t value) override {
    if (index == 0) length_ = value;
  }

  std::string GetContent() const override { return content_; }

  void SetContent(std::string_view content) override {
    content_ = std::string(content);
    length_ = static_cast<std::int32_t>(content.size());
  }

  int GetStatusCode() const override { return status_; }

  void SetStatusCode(int code) override { status_ = code; }

  bool Sent() const override { return sent_; }

  void SendResponse() override { sent_ = true; }

  void SendStream(platform::TStream& stream) override {
    if (ContentStream() == nullptr) SetContentStream(std::make_unique<platform::TMemoryStream>());
    const std::int64_t rest = stream.Size() - stream.Position();
    if (rest > 0) ContentStream()->CopyFrom(stream, rest);
  }

 private:
  static bool InRange(int index, int count) { return index >= 0 && index < count; }

  std::string strings_[kRespStringVariableCount];
  platform::TDateTime dates_[kRespDateVariableCount] = {-1.0, -1.0, -1.0};
  std::int32_t length_ = 0;
  int status_ = 200;
  std::string content_;
  bool sent_ = false;
};

}  // namespace quorvin::web::testing
