#pragma once

#include <memory>
#include <string>
#include <vector>

#include "quorvin/platform/core/datetime.h"

namespace quorvin::web {

// A cookie that a response sets.
class TCookie {
 public:
  std::string Name;
  std::string Value;
  std::string Domain;                  // empty: not sent
  std::string Path;                    // empty: not sent
  platform::TDateTime Expires = -1.0;  // 0 and below: none, a cookie for the browser session
  bool Secure = false;

  // The text after "Set-Cookie: ", the parts that are set in this order:
  //   name=value; path=/p; domain=d; expires=Tue, 08 Dec 2026 21:01:10 GMT; secure
  // Expires is taken as GMT; no time zone is applied. Name and value are sent as they are.
  std::string GetHeaderValue() const;
};

// The cookies of a response, in the order they were added. References stay valid while the
// collection holds the cookie.
class TCookieCollection {
 public:
  TCookie& Add();

  int Count() const { return static_cast<int>(items_.size()); }

  // The cookie at `index`, 0 to Count() - 1; std::out_of_range otherwise.
  TCookie& GetCookie(int index) { return *items_.at(static_cast<std::size_t>(index)); }

  const TCookie& GetCookie(int index) const { return *items_.at(static_cast<std::size_t>(index)); }

  TCookie& Items(int index) { return GetCookie(index); }

  const TCookie& Items(int index) const { return GetCookie(index); }

  void Delete(int index);

  void Clear() { items_.clear(); }

 private:
  std::vector<std::unique_ptr<TCookie>> items_;
};

}  // namespace quorvin::web
