#pragma once

#include <memory>
#include <string_view>

#include "quorvin/platform/core/stream.h"
#include "quorvin/platform/core/string_list.h"
#include "quorvin/platform/web/later_answer.h"

namespace quorvin::webbridge {

// What the request and response adapters may see of a server connection: its parsed request,
// read at the moment it is asked, and the body stream that receives a dispatched answer. The
// server's connections implement it, so the adapters need nothing of the server.
class ConnectionView {
 public:
  enum class Field { kMethod, kVersion, kURL, kQuery, kTranslatedPath };

  virtual std::string_view RequestField(Field field) const = 0;
  // One "name=value" line per request header; names lower-cased, values as sent.
  virtual const platform::TStringList& RequestHeaders() const = 0;
  // The request body; a dispatched answer is written over it.
  virtual platform::TMemoryStream& RequestBody() = 0;
  // The request body as received: in memory, or in a file when it was large; null when the
  // request had none. Read it before the answer is written.
  virtual platform::TStream* RequestBodyStream() { return &RequestBody(); }
  // What the answer says of the connection in its "Connection" header: empty (no header, and
  // the connection ends with the answer), "keep-alive" or "close".
  virtual std::string_view ConnectionOption() const { return {}; }
  // The answer to this request leaves for later (see web::TLaterAnswer); null where the
  // connection cannot wait for it.
  virtual std::shared_ptr<web::TLaterAnswer> AnswerLater() { return nullptr; }

 protected:
  ~ConnectionView() = default;
};

}  // namespace quorvin::webbridge
