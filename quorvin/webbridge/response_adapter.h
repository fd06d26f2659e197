#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "quorvin/platform/web/web_response.h"
#include "quorvin/webbridge/request_adapter.h"

namespace quorvin::webbridge {

// The answer a web action gives to a server connection's request. SendResponse composes the
// whole answer into the connection's body stream, which the connection then sends.
class ZResponse : public web::TWebResponse {
 public:
  explicit ZResponse(ZRequest& request);

  std::string GetStringVariable(int index) const override;
  void SetStringVariable(int index, std::string_view value) override;
  platform::TDateTime GetDateVariable(int index) const override;
  void SetDateVariable(int index, platform::TDateTime value) override;
  std::int32_t GetIntegerVariable(int index) const override;
  void SetIntegerVariable(int index, std::int32_t value) override;
  std::string GetContent() const override { return ContentText; }
  void SetContent(std::string_view content) override;
  void SetContentStream(std::unique_ptr<platform::TStream> stream) override;
  int GetStatusCode() const override { return ResponseStatus; }
  void SetStatusCode(int code) override;
  bool Sent() const override { return SentFlag; }
  void SendResponse() override;
  // Copies the rest of `stream` into the content stream (made in memory when there is none).
  void SendStream(platform::TStream& stream) override;
  std::shared_ptr<web::TLaterAnswer> AnswerLater() override;

  // The head of an answer sent in pieces, with no length: with `chunked`, it says so; without,
  // the answer ends with the connection. Refused() tells whether a value would split it.
  std::string StreamHead(bool chunked);

  // True when the last SendResponse refused the answer: a value meant for the head held a CR
  // or LF, which would have let it write header lines of its own. Nothing of it was composed.
  bool Refused() const { return refused_; }
  // True when the web action's own "Connection" header asks to close the connection.
  bool AsksToClose() const;

  std::array<std::string, 12> StringVariables;
  std::int32_t ContentLengthVariable = 0;
  std::array<platform::TDateTime, 3> DateVariables{-1.0, -1.0, -1.0};
  std::int32_t ResponseStatus = 0;
  std::string ContentText;
  bool SentFlag = false;

 private:
  // The head up to the line that frames the content, which the caller adds with the blank line.
  std::string ComposeHead();
  // Whether the web action added a header of this name (letter case ignored).
  bool HasCustomHeader(std::string_view name) const;
  ZRequest& request_;
  bool refused_ = false;
};

}  // namespace quorvin::webbridge
