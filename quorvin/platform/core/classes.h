#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <typeindex>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "quorvin/platform/core/component.h"
#include "quorvin/platform/core/datetime.h"
#include "quorvin/platform/core/events.h"

namespace quorvin::platform {

using Json = nlohmann::ordered_json;

// The kinds of published property that a form file stores.
enum class PropKind { kText, kInteger, kDateTime, kComponent, kEvent, kCollection };

// A property value: text (also an event's handler name), integer, date-time, component
// reference (nullptr = none) or a collection (a JSON array of items).
using PropValue = std::variant<std::string, std::int64_t, TDateTime, TComponent*, Json>;

// Raised by a property setter for a value it cannot take; the form reader names the property.
struct PropertyError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct PropInfo {
  std::string name;
  PropKind kind;
  std::function<PropValue(const TComponent&)> get;
  // `handlers` is given for events (nullptr outside form reading).
  std::function<void(TComponent&, const PropValue&, const THandlerRegistry* handlers)> set;
  std::optional<PropValue> default_value;  // a form file omits the property at this value
};

// A registered component class: its name, its factory and its published properties in
// declaration order (a class's own after those it inherits).
struct ClassInfo {
  std::string name;
  std::function<TComponent*(TComponent* owner)> create;
  std::vector<PropInfo> properties;
  std::type_index type = typeid(void);

  const PropInfo* FindProperty(std::string_view prop_name) const;
};

class ClassRegistry {
 public:
  static ClassRegistry& Instance();
  // Registers `info` under its name; a second registration of the same name is ignored.
  const ClassInfo& Register(ClassInfo info);
  const ClassInfo* Find(std::string_view name) const;
  const ClassInfo* FindFor(const TComponent& component) const;
  // The registered class names, sorted.
  std::vector<std::string> Names() const;

 private:
  std::map<std::string, std::unique_ptr<ClassInfo>, std::less<>> by_name_;
  std::map<std::type_index, const ClassInfo*> by_type_;
};

// Builds the published-property table of T:
//   static const ClassInfo& Class() {
//     static const ClassInfo& info = ClassBuilder<TSvrModule>("TSvrModule")
//         .Text("ServerRoot", &TSvrModule::ServerRoot).Integer("Timeout", ..., 100).Register();
//     return info; }
template <class T>
class ClassBuilder {
 public:
  explicit ClassBuilder(std::string name) {
    info_.name = std::move(name);
    info_.type = typeid(T);
    info_.create = [](TComponent* owner) -> TComponent* { return new T(owner); };
  }

  // Starts with the properties of a registered base class.
  ClassBuilder& Inherit(const ClassInfo& base) {
    info_.properties.insert(info_.properties.begin(), base.properties.begin(), base.properties.end());
    return *this;
  }

  ClassBuilder& Text(std::string name, std::string T::*field,
                     std::optional<std::string> def = std::nullopt) {
    return Add(std::move(name), PropKind::kText,
               [field](const TComponent& c) -> PropValue { return Self(c).*field; },
               [field](TComponent& c, const PropValue& v, const THandlerRegistry*) {
                 Self(c).*field = std::get<std::string>(v);
               },
               Opt(def));
  }

  ClassBuilder& Text(std::string name, std::function<std::string(const T&)> get,
                     std::function<void(T&, const std::string&)> set,
                     std::optional<std::string> def = std::nullopt) {
    return Add(std::move(name), PropKind::kText,
               [get](const TComponent& c) -> PropValue { return get(Self(c)); },
               [set](TComponent& c, const PropValue& v, const THandlerRegistry*) {
                 set(Self(c), std::get<std::string>(v));
               },
               Opt(def));
  }

  template <class Int>
  ClassBuilder& Integer(std::string name, Int T::*field, std::optional<std::int64_t> def = std::nullopt) {
    return Integer(
        std::move(name), [field](const T& c) -> std::int64_t { return c.*field; },
        [field](T& c, std::int64_t v) { c.*field = static_cast<Int>(v); }, def);
  }

  ClassBuilder& Integer(std::string name, std::function<std::int64_t(const T&)> get,
                        std::function<void(T&, std::int64_t)> set,
                        std::optional<std::int64_t> def = std::nullopt) {
    return Add(std::move(name), PropKind::kInteger,
               [get](const TComponent& c) -> PropValue { return get(Self(c)); },
               [set](TComponent& c, const PropValue& v, const THandlerRegistry*) {
                 set(Self(c), std::get<std::int64_t>(v));
               },
               Opt(def));
  }

  ClassBuilder& DateTime(std::string name, std::function<TDateTime(const T&)> get,
                         std::function<void(T&, TDateTime)> set,
                         std::optional<TDateTime> def = std::nullopt) {
    return Add(std::move(name), PropKind::kDateTime,
               [get](const TComponent& c) -> PropValue { return get(Self(c)); },
               [set](TComponent& c, const PropValue& v, const THandlerRegistry*) {
                 set(Self(c), std::get<TDateTime>(v));
               },
               Opt(def));
  }

  // A reference to another component of class C (or derived); none is stored as nothing.
  template <class C>
  ClassBuilder& Reference(std::string name, C* T::*field, std::string_view expected_class) {
    std::string expected(expected_class);
    return Add(std::move(name), PropKind::kComponent,
               [field](const TComponent& c) -> PropValue { return static_cast<TComponent*>(Self(c).*field); },
               [field, expected](TComponent& c, const PropValue& v, const THandlerRegistry*) {
                 TComponent* target = std::get<TComponent*>(v);
                 C* typed = dynamic_cast<C*>(target);
                 if (target != nullptr && typed == nullptr) {
                   throw PropertyError("component \"" + target->Name() + "\" is not a " + expected);
                 }
                 Self(c).*field = typed;
               },
               std::nullopt);
  }

  template <class Sig>
  ClassBuilder& Event(std::string name, TEvent<Sig> T::*field) {
    return Add(std::move(name), PropKind::kEvent,
               [field](const TComponent& c) -> PropValue { return (Self(c).*field).name; },
               [field](TComponent& c, const PropValue& v, const THandlerRegistry* handlers) {
                 const std::string& handler_name = std::get<std::string>(v);
                 TEvent<Sig>& slot = Self(c).*field;
                 if (handler_name.empty()) {
                   slot = nullptr;
                   return;
                 }
                 const std::function<Sig>* fn = handlers ? handlers->template Find<Sig>(handler_name) : nullptr;
                 if (fn == nullptr) {
                   throw PropertyError(handlers && handlers->Contains(handler_name)
                                           ? "handler \"" + handler_name + "\" does not fit this event"
                                           : "no handler named \"" + handler_name + "\"");
                 }
                 slot.handler = *fn;
                 slot.name = handler_name;
               },
               PropValue(std::string()));
  }

  ClassBuilder& Collection(std::string name, std::function<Json(const T&)> get,
                           std::function<void(T&, const Json&, const THandlerRegistry*)> set) {
    return Add(std::move(name), PropKind::kCollection,
               [get](const TComponent& c) -> PropValue { return get(Self(c)); },
               [set](TComponent& c, const PropValue& v, const THandlerRegistry* handlers) {
                 set(Self(c), std::get<Json>(v), handlers);
               },
               PropValue(Json::array()));
  }

  const ClassInfo& Register() { return ClassRegistry::Instance().Register(std::move(info_)); }

 private:
  static T& Self(TComponent& c) { return dynamic_cast<T&>(c); }
  static const T& Self(const TComponent& c) { return dynamic_cast<const T&>(c); }
  template <class V>
  static std::optional<PropValue> Opt(const std::optional<V>& v) {
    return v ? std::optional<PropValue>(PropValue(*v)) : std::nullopt;
  }
  ClassBuilder& Add(std::string name, PropKind kind, decltype(PropInfo::get) get,
                    decltype(PropInfo::set) set, std::optional<PropValue> def) {
    info_.properties.push_back(PropInfo{std::move(name), kind, std::move(get), std::move(set), std::move(def)});
    return *this;
  }

  ClassInfo info_;
};

}  // namespace quorvin::platform
