#include "quorvin/platform/core/component.h"

#include <algorithm>

#include "quorvin/platform/core/classes.h"
#include "quorvin/platform/core/form.h"
#include "quorvin/platform/core/form_file.h"
#include "quorvin/platform/core/text.h"

namespace quorvin::platform {

TComponent::TComponent(TComponent* owner) {
  if (owner != nullptr) owner->InsertComponent(this);
}

TComponent::~TComponent() {
  state_ |= csDestroying;
  // Newest first. Each one leaves the list before it is deleted, because a destructor may destroy
  // a sibling, which then must no longer be found here.
  while (!components_.empty()) {
    TComponent* last = components_.back();
    components_.pop_back();
    last->owner_ = nullptr;
    NotifySiblings(last, TOperation::opRemove);
    delete last;
  }
  if (owner_ != nullptr) owner_->RemoveComponent(this);
}

TComponent* TComponent::FindComponent(std::string_view name) const {
  for (TComponent* c : components_) {
    if (!name.empty() && SameText(c->Name(), name)) return c;
  }
  return nullptr;
}

void TComponent::SetDesigning(bool designing) {
  if (designing) {
    state_ |= csDesigning;
  } else {
    state_ &= ~static_cast<std::uint32_t>(csDesigning);
  }
  for (TComponent* c : components_) c->SetDesigning(designing);
}

void TComponent::SetLoading(bool loading) {
  if (loading) {
    state_ |= csLoading;
  } else {
    state_ &= ~static_cast<std::uint32_t>(csLoading);
  }
}

std::string TComponent::ClassName() const {
  const ClassInfo* info = ClassType();
  return info != nullptr ? info->name : "TComponent";
}

const ClassInfo* TComponent::ClassType() const {
  // The core classes register themselves on first use, so that a form built in code is written
  // with its own class name even before any form file has been read.
  RegisterCoreClasses();
  return ClassRegistry::Instance().FindFor(*this);
}

void TComponent::Notification(TComponent* /*component*/, TOperation /*operation*/) {}

void TComponent::ReadState(TReader& reader) { reader.ReadProperties(*this); }

void TComponent::Loaded() { state_ &= ~static_cast<std::uint32_t>(csLoading); }

void TComponent::InsertComponent(TComponent* component) {
  if (component->owner_ == this) return;
  if (component->owner_ != nullptr) component->owner_->RemoveComponent(component);
  component->owner_ = this;
  // A component placed on a designed owner is designed too.
  if (IsDesigning()) component->SetDesigning(true);
  components_.push_back(component);
  NotifySiblings(component, TOperation::opInsert);
}

void TComponent::RemoveComponent(TComponent* component) {
  auto it = std::find(components_.begin(), components_.end(), component);
  if (it == components_.end()) return;
  components_.erase(it);
  component->owner_ = nullptr;
  NotifySiblings(component, TOperation::opRemove);
}

void TComponent::NotifySiblings(TComponent* component, TOperation operation) {
  // The owner hears of it too, so that a form can clear its own references. A copy of the list:
  // a notification handler may destroy components.
  Notification(component, operation);
  const std::vector<TComponent*> others = components_;
  for (TComponent* c : others) {
    if (c != component && std::find(components_.begin(), components_.end(), c) != components_.end()) {
      c->Notification(component, operation);
    }
  }
}

}  // namespace quorvin::platform
