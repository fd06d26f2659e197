#pragma once

#include "quorvin/platform/core/classes.h"
#include "quorvin/platform/core/component.h"
#include "quorvin/platform/web/web_action.h"
#include "quorvin/platform/web/web_request.h"
#include "quorvin/platform/web/web_response.h"

namespace quorvin::web {

// Holds a program's web actions and runs the one that a request asks for.
class TCustomWebDispatcher : public platform::TComponent {
 public:
  explicit TCustomWebDispatcher(platform::TComponent* owner) : TComponent(owner) {}

  TWebActionItems& Actions() { return actions_; }

  const TWebActionItems& Actions() const { return actions_; }

  // The first action of that name (letter case ignored), or nullptr.
  TWebActionItem* ActionByName(std::string_view name) const { return actions_.Find(name); }

  // Offers the request to the actions: each enabled action whose path and method match the
  // request (see TWebActionItem::Matches; the path is the request's PathInfo) is called in
  // list order, with `handled` set true, until one leaves it true. If none did, the first
  // enabled default action is called the same way, unless it already ran as a match. Actions
  // without a handler are passed over. Returns whether the request was handled.
  //
  // An exception raised by an action is not caught here: it leaves DispatchAction, and the
  // server that called it decides how to answer. A dispatch runs over the actions as they
  // stood when it began: a handler may add or delete actions, which counts from the next
  // dispatch (changes to an action's fields count at once).
  virtual bool DispatchAction(TWebRequest& request, TWebResponse& response);

  // Whether DispatchAction may run an action for `request` (an enabled action with a handler
  // that matches it, or an enabled default action with one): when none may, the server answers
  // from the request's head and never keeps its body. A dispatcher that overrides
  // DispatchAction overrides this too, or returns true.
  virtual bool MayTake(const TWebRequest& request) const;
  // The stream that takes `request`'s body as it arrives: from the first enabled action that
  // matches the request, when it has an OnBodyStart; null when the body is to be held.
  virtual std::unique_ptr<platform::TStream> TakeBody(TWebRequest& request);

 private:
  // Runs `item`'s handler; true when it handled the request.
  bool Run(const TWebActionItem& item, TWebRequest& request, TWebResponse& response);

  TWebActionItems actions_;
};

// The dispatcher as a form file holds it: its actions are the published collection "Actions",
// one JSON object per action:
//   {"Name": "Hello", "PathInfo": "/hello", "MethodType": "mtGet", "Enabled": true,
//    "Default": false, "OnAction": "HelloAction"}
// MethodType is one of mtAny, mtGet, mtPut, mtPost, mtHead; OnAction names a handler of type
// THTTPMethodEvent that the program registered (omitted or "" for none). Only "Name" is
// required when reading; the others take the defaults of TWebActionItem. Writing stores every
// field, OnAction when the handler was bound by name.
class TWebDispatcher final : public TCustomWebDispatcher {
 public:
  // Registers the class too, so that one made in code is written to a form file as what it is.
  explicit TWebDispatcher(platform::TComponent* owner) : TCustomWebDispatcher(owner) { Class(); }

  // Registers the class (idempotent); call before loading a form file that holds one.
  static const platform::ClassInfo& Class();
};

}  // namespace quorvin::web
