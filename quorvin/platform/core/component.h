#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorvin::platform {

class TReader;
struct ClassInfo;

enum class TOperation { opInsert, opRemove };

// Component state flags, as a bit set.
enum TComponentStateFlag : std::uint32_t {
  csLoading = 1u << 0,     // a form file is being read into the component
  csDesigning = 1u << 1,   // the component lives in the designer, not in a running program
  csDestroying = 1u << 2,  // the component is being destroyed
};

// The base of every component. An owner owns its components: it destroys them with itself,
// newest first. A component destroyed on its own takes itself out of its owner's list and tells
// the owner's other components (Notification with opRemove).
class TComponent {
 public:
  explicit TComponent(TComponent* owner);
  virtual ~TComponent();
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const { return owner_; }
  const std::string& Name() const { return name_; }
  void SetName(std::string name) { name_ = std::move(name); }

  int ComponentCount() const { return static_cast<int>(components_.size()); }
  TComponent* Components(int index) const { return components_.at(static_cast<std::size_t>(index)); }
  // The owned component of that name (letter case ignored), or nullptr.
  TComponent* FindComponent(std::string_view name) const;

  std::uint32_t ComponentState() const { return state_; }
  bool IsDesigning() const { return (state_ & csDesigning) != 0; }
  bool IsLoading() const { return (state_ & csLoading) != 0; }
  // Sets or clears the design state of this component and of everything it owns.
  void SetDesigning(bool designing);
  void SetLoading(bool loading);

  // The name under which the class is registered (see classes.h); "TComponent" by default.
  virtual std::string ClassName() const;
  // The registered class of this component (its published properties), or nullptr.
  const ClassInfo* ClassType() const;

  // Told about components inserted into or removed from the owner's list.
  virtual void Notification(TComponent* component, TOperation operation);
  // Reads the component's stored properties from a form file; overriders call the base first.
  virtual void ReadState(TReader& reader);
  // Called once every component of a form has been read.
  virtual void Loaded();

  // Takes `component` into this owner's list (it is not yet owned by anyone).
  void InsertComponent(TComponent* component);
  // Takes `component` out of this owner's list without destroying it.
  void RemoveComponent(TComponent* component);

 private:
  void NotifySiblings(TComponent* component, TOperation operation);

  TComponent* owner_ = nullptr;
  std::string name_;
  std::vector<TComponent*> components_;
  std::uint32_t state_ = 0;
};

// Creates a component owned by `owner`; the owner's list owns it from then on.
template <class T, class... Args>
T& Create(TComponent& owner, Args&&... args) {
  return *new T(&owner, std::forward<Args>(args)...);
}

// True when `component` is a T (or derives from it).
template <class T>
bool Is(const TComponent* component) {
  return dynamic_cast<const T*>(component) != nullptr;
}

}  // namespace quorvin::platform
