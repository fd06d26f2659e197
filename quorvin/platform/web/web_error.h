#pragma once

#include <stdexcept>
#include <string>

namespace quorvin::web {

// Raised by an operation of the request or response base classes that the concrete class in
// use does not provide. Calling one is a programming error, not a fault of the HTTP peer.
class EWebNotImplemented : public std::logic_error {
 public:
  // `operation` names the class and operation, as "TWebRequest::ReadClient".
  explicit EWebNotImplemented(const std::string& operation)
      : std::logic_error(operation + " is not implemented by this class") {}
};

}  // namespace quorvin::web
