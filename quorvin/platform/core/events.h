#pragma once

#include <any>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>

namespace quorvin::platform {

// An event slot of a component: the handler, and the name it was bound under in a form file
// (empty when a program assigned it in code).
template <class Sig>
struct TEvent {
  std::function<Sig> handler;
  std::string name;

  TEvent& operator=(std::function<Sig> fn) {
    handler = std::move(fn);
    name.clear();
    return *this;
  }
  explicit operator bool() const { return static_cast<bool>(handler); }
  template <class... Args>
  decltype(auto) operator()(Args&&... args) const {
    return handler(std::forward<Args>(args)...);
  }
};

// Handlers that a program offers to its form files, by name. A form file binds an event to a
// handler by that name; the handler's signature must be the event's.
class THandlerRegistry {
 public:
  template <class Sig>
  void Add(std::string name, std::function<Sig> fn) {
    handlers_[std::move(name)] = std::move(fn);
  }
  bool Contains(std::string_view name) const { return handlers_.find(name) != handlers_.end(); }
  // The handler of that name and signature, or nullptr (no such name, or another signature).
  template <class Sig>
  const std::function<Sig>* Find(std::string_view name) const {
    auto it = handlers_.find(name);
    return it == handlers_.end() ? nullptr : std::any_cast<std::function<Sig>>(&it->second);
  }

 private:
  std::map<std::string, std::any, std::less<>> handlers_;
};

}  // namespace quorvin::platform
