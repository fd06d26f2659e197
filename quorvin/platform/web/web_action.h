#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "quorvin/platform/core/component.h"
#include "quorvin/platform/core/events.h"
#include "quorvin/platform/web/web_request.h"
#include "quorvin/platform/web/web_response.h"

namespace quorvin::web {

// A web action's handler. `sender` is the dispatcher running the action. `handled` comes in
// true; an action that leaves the request to the next matching one sets it false.
using THTTPMethodEvent = void(platform::TComponent* sender, TWebRequest& request,
                              TWebResponse& response, bool& handled);

// One web action: which requests it takes and the handler that answers them.
using TBodyStartEvent = std::unique_ptr<platform::TStream>(TWebRequest& request, bool& handled);

class TWebActionItem {
 public:
  std::string Name;
  // The request path the action takes, letter case ignored. Empty or "*" takes every path; a
  // trailing "*" takes every path that starts with the text before it ("/files/*").
  std::string PathInfo;
  TMethodType MethodType = TMethodType::mtAny;  // mtAny takes every method
  bool Enabled = true;
  // The action that answers a request no other action handled (the first enabled one counts).
  bool Default = false;
  platform::TEvent<THTTPMethodEvent> OnAction;
  // Takes the request's body as it arrives instead of leaving the server to hold it: called
  // once the head of a request the action matches has been read, it returns the stream each
  // piece of the body is written to (null: the body is held as for any action). `handled`
  // comes in true; an action that leaves the request to the next matching one sets it false,
  // as its OnAction would. OnAction runs once the body has ended and reads that stream as the
  // request's BodyStream(); the stream is released when the request ends, fails, or its
  // connection closes, so a stream that commits only in OnAction leaves nothing behind of a
  // body that never ended. A write that throws fails the request with 500.
  std::function<TBodyStartEvent> OnBodyStart;

  // True when the action takes a request for `path` with method `method` (Enabled aside).
  bool Matches(std::string_view path, TMethodType method) const;
};

class TCustomWebDispatcher;

// The actions of a dispatcher, in the order they are tried. References stay valid while the
// collection holds the action, and while a dispatch that began with the action in the list runs.
class TWebActionItems {
 public:
  TWebActionItem& Add();
  TWebActionItem& Add(std::string name, std::string path_info, TMethodType method,
                      std::function<THTTPMethodEvent> handler);

  int Count() const { return static_cast<int>(items_.size()); }

  // The action at `index`, 0 to Count() - 1; std::out_of_range otherwise.
  TWebActionItem& Items(int index) { return *items_.at(static_cast<std::size_t>(index)); }

  const TWebActionItem& Items(int index) const {
    return *items_.at(static_cast<std::size_t>(index));
  }

  TWebActionItem& operator[](int index) { return Items(index); }

  const TWebActionItem& operator[](int index) const { return Items(index); }

  // The first action of that name (letter case ignored), or nullptr.
  TWebActionItem* Find(std::string_view name) const;
  void Delete(int index);

  void Clear() { items_.clear(); }

 private:
  friend class TCustomWebDispatcher;  // keeps the actions alive while it runs them

  std::vector<std::shared_ptr<TWebActionItem>> items_;
};

}  // namespace quorvin::web
