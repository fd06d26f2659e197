#include "quorvin/platform/web/web_dispatcher.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace quorvin::web {
namespace {

using platform::Json;
using platform::PropertyError;

Json WriteActions(const TWebDispatcher& dispatcher) {
  Json items = Json::array();
  const TWebActionItems& actions = dispatcher.Actions();
  for (int i = 0; i < actions.Count(); ++i) {
    const TWebActionItem& a = actions[i];
    Json item = Json::object();
    item["Name"] = a.Name;
    item["PathInfo"] = a.PathInfo;
    item["MethodType"] = std::string(MethodTypeName(a.MethodType));
    item["Enabled"] = a.Enabled;
    item["Default"] = a.Default;
    if (!a.OnAction.name.empty()) item["OnAction"] = a.OnAction.name;
    items.push_back(std::move(item));
  }
  return items;
}

std::string Describe(int index, const std::string& name) {
  return "action " + std::to_string(index) + (name.empty() ? "" : " (\"" + name + "\")");
}

// Reads one action; errors name the action and the field.
void ReadAction(TWebActionItem& action, int index, const Json& item,
                const platform::THandlerRegistry* handlers) {
  if (!item.is_object()) throw PropertyError(Describe(index, "") + ": expected an object");
  const auto name_it = item.find("Name");
  if (name_it == item.end() || !name_it->is_string()) {
    throw PropertyError(Describe(index, "") + ": \"Name\" must be given as text");
  }
  action.Name = name_it->get<std::string>();
  const std::string where = Describe(index, action.Name);
  for (auto it = item.begin(); it != item.end(); ++it) {
    const std::string& key = it.key();
    const Json& value = it.value();
    const auto want = [&](bool ok, const char* kind) {
      if (!ok) throw PropertyError(where + ": \"" + key + "\" must be " + kind);
    };
    if (key == "Name") {
      continue;
    } else if (key == "PathInfo") {
      want(value.is_string(), "text");
      action.PathInfo = value.get<std::string>();
    } else if (key == "MethodType") {
      want(value.is_string(), "text");
      const auto type = MethodTypeFromName(value.get<std::string>());
      if (!type) {
        throw PropertyError(where + ": unknown MethodType \"" + value.get<std::string>() +
                            "\" (expected mtAny, mtGet, mtPut, mtPost or mtHead)");
      }
      action.MethodType = *type;
    } else if (key == "Enabled") {
      want(value.is_boolean(), "true or false");
      action.Enabled = value.get<bool>();
    } else if (key == "Default") {
      want(value.is_boolean(), "true or false");
      action.Default = value.get<bool>();
    } else if (key == "OnAction") {
      want(value.is_string(), "a handler name");
      const std::string handler = value.get<std::string>();
      if (handler.empty()) {
        action.OnAction = nullptr;
        continue;
      }
      const auto* fn = handlers != nullptr ? handlers->Find<THTTPMethodEvent>(handler) : nullptr;
      if (fn == nullptr) {
        throw PropertyError(where + ": " +
                            (handlers != nullptr && handlers->Contains(handler)
                                 ? "handler \"" + handler + "\" does not fit OnAction"
                                 : "no handler named \"" + handler + "\""));
      }
      action.OnAction.handler = *fn;
      action.OnAction.name = handler;
    } else {
      throw PropertyError(where + ": unknown field \"" + key + "\"");
    }
  }
}

void ReadActions(TWebDispatcher& dispatcher, const Json& items,
                 const platform::THandlerRegistry* handlers) {
  // Read into a list of its own first, so that a bad entry leaves the dispatcher as it was.
  TWebActionItems read;
  for (std::size_t i = 0; i < items.size(); ++i)
    ReadAction(read.Add(), static_cast<int>(i), items[i], handlers);
  dispatcher.Actions() = std::move(read);
}

}  // namespace

bool TCustomWebDispatcher::Run(const TWebActionItem& item, TWebRequest& request,
                               TWebResponse& response) {
  // A copy, so that a handler that replaces its own action's handler runs on to its end.
  const std::function<THTTPMethodEvent> handler = item.OnAction.handler;
  bool handled = true;
  handler(this, request, response, handled);
  return handled;
}

bool TCustomWebDispatcher::DispatchAction(TWebRequest& request, TWebResponse& response) {
  const std::string path = request.PathInfo();
  const TMethodType method = request.MethodType();
  // Shared with the list, so that an action a handler deletes lives until the dispatch ends.
  const std::vector<std::shared_ptr<TWebActionItem>> actions = actions_.items_;
  std::vector<const TWebActionItem*> ran;
  for (const auto& item : actions) {
    if (!item->Enabled || !item->OnAction || !item->Matches(path, method)) continue;
    ran.push_back(item.get());
    if (Run(*item, request, response)) return true;
  }
  for (const auto& item : actions) {
    if (!item->Enabled || !item->Default) continue;
    // Only the first enabled default counts, and one that declined as a match is not asked again.
    if (!item->OnAction || std::find(ran.begin(), ran.end(), item.get()) != ran.end()) return false;
    return Run(*item, request, response);
  }
  return false;
}

bool TCustomWebDispatcher::MayTake(const TWebRequest& request) const {
  const std::string path = request.PathInfo();
  const TMethodType method = request.MethodType();
  for (const auto& item : actions_.items_) {
    if (!item->Enabled || !item->OnAction) continue;
    if (item->Default || item->Matches(path, method)) return true;
  }
  return false;
}

std::unique_ptr<platform::TStream> TCustomWebDispatcher::TakeBody(TWebRequest& request) {
  const std::string path = request.PathInfo();
  const TMethodType method = request.MethodType();
  // The action that would run first decides: one without OnBodyStart has the body held for
  // it. The list and the handler are copied, as a dispatch copies them.
  const std::vector<std::shared_ptr<TWebActionItem>> actions = actions_.items_;
  for (const auto& item : actions) {
    if (!item->Enabled || !item->OnAction || !item->Matches(path, method)) continue;
    if (!item->OnBodyStart) return nullptr;
    const std::function<TBodyStartEvent> start = item->OnBodyStart;
    bool handled = true;
    auto sink = start(request, handled);
    if (handled) return sink;
  }
  return nullptr;
}

const platform::ClassInfo& TWebDispatcher::Class() {
  static const platform::ClassInfo& info = platform::ClassBuilder<TWebDispatcher>("TWebDispatcher")
                                               .Collection("Actions", WriteActions, ReadActions)
                                               .Register();
  return info;
}

}  // namespace quorvin::web
