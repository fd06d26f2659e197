#include "quorvin/platform/web/web_action.h"

#include <stdexcept>

#include "quorvin/platform/core/text.h"

namespace quorvin::web {

bool TWebActionItem::Matches(std::string_view path, TMethodType method) const {
  if (MethodType != TMethodType::mtAny && MethodType != method) return false;
  if (PathInfo.empty() || PathInfo == "*") return true;
  if (PathInfo.back() == '*') {
    return platform::StartsWithText(path,
                                    std::string_view(PathInfo).substr(0, PathInfo.size() - 1));
  }
  return platform::SameText(path, PathInfo);
}

TWebActionItem& TWebActionItems::Add() {
  return *items_.emplace_back(std::make_shared<TWebActionItem>());
}

TWebActionItem& TWebActionItems::Add(std::string name, std::string path_info, TMethodType method,
                                     std::function<THTTPMethodEvent> handler) {
  TWebActionItem& item = Add();
  item.Name = std::move(name);
  item.PathInfo = std::move(path_info);
  item.MethodType = method;
  item.OnAction = std::move(handler);
  return item;
}

TWebActionItem* TWebActionItems::Find(std::string_view name) const {
  for (const auto& item : items_) {
    if (platform::SameText(item->Name, name)) return item.get();
  }
  return nullptr;
}

void TWebActionItems::Delete(int index) {
  if (index < 0 || index >= Count())
    throw std::out_of_range("TWebActionItems::Delete: no action at that index");
  items_.erase(items_.begin() + index);
}

}  // namespace quorvin::web
