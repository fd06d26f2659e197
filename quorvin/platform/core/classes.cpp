#include "quorvin/platform/core/classes.h"

#include "quorvin/platform/core/form.h"
#include "quorvin/platform/core/timer.h"

namespace quorvin::platform {

const PropInfo* ClassInfo::FindProperty(std::string_view prop_name) const {
  for (const PropInfo& p : properties) {
    if (p.name == prop_name) return &p;
  }
  return nullptr;
}

ClassRegistry& ClassRegistry::Instance() {
  static ClassRegistry registry;
  return registry;
}

const ClassInfo& ClassRegistry::Register(ClassInfo info) {
  auto it = by_name_.find(info.name);
  if (it != by_name_.end()) return *it->second;
  auto owned = std::make_unique<ClassInfo>(std::move(info));
  const ClassInfo& ref = *owned;
  by_type_.emplace(ref.type, &ref);
  by_name_.emplace(ref.name, std::move(owned));
  return ref;
}

std::vector<std::string> ClassRegistry::Names() const {
  std::vector<std::string> names;
  names.reserve(by_name_.size());
  for (const auto& entry : by_name_) names.push_back(entry.first);
  return names;
}

const ClassInfo* ClassRegistry::Find(std::string_view name) const {
  auto it = by_name_.find(name);
  return it == by_name_.end() ? nullptr : it->second.get();
}

const ClassInfo* ClassRegistry::FindFor(const TComponent& component) const {
  auto it = by_type_.find(typeid(component));
  return it == by_type_.end() ? nullptr : it->second;
}

void RegisterCoreClasses() {
  static const bool done = [] {
    ClassBuilder<TComponent>("TComponent").Register();
    ClassBuilder<TForm>("TForm").Register();
    TTimer::Class();
    return true;
  }();
  (void)done;
}

}  // namespace quorvin::platform
