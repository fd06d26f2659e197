#pragma once

#include <array>
#include <string>
#include <string_view>

#include "quorvin/platform/web/web_request.h"
#include "quorvin/webbridge/connection_view.h"

namespace quorvin::webbridge {

// Request variable numbers to header names. Entries 0 to 5 and 25 are not headers; they stand
// as placeholders so that the table is indexed by the variable number.
extern const std::array<std::string_view, 29> arHTTPHeader;

// A server connection's request as web actions see it. It copies nothing: each variable is read
// from the connection when it is asked for. Lives for one dispatch.
class ZRequest : public web::TWebRequest {
 public:
  explicit ZRequest(ConnectionView& connection) : ConnectionSocket(connection) {}

  std::string GetStringVariable(int index) const override;
  platform::TDateTime GetDateVariable(int index) const override;
  std::int32_t GetIntegerVariable(int index) const override;
  // Any request header by name, letter case ignored.
  std::string GetHeader(std::string_view name) const override;
  std::string ContentBytes() const override;
  platform::TStream* BodyStream() const override;

  // The connection's body stream, which receives the answer.
  platform::TMemoryStream& GetBody() const { return ConnectionSocket.RequestBody(); }

  ConnectionView& ConnectionSocket;
};

}  // namespace quorvin::webbridge
