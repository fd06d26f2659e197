#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include "quorvin/platform/core/component.h"
#include "quorvin/platform/core/form.h"

// What a designer does with the palette's components, without a designer: a new form, components
// placed on it in the design state, and icons written out as picture files.
namespace quorvin::package {

// A component that cannot be placed: its class is unknown or its name unusable.
struct DesignError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A new, empty main form in the design state.
std::unique_ptr<platform::TForm> NewDesignForm(std::string name = "MainForm");

// The name a designer gives a new component of `class_name` on `owner`: the class name without
// its leading "T" and the lowest number from 1 that no component of the owner uses yet
// ("SvrModule1", then "SvrModule2").
std::string NewComponentName(const platform::TComponent& owner, std::string_view class_name);

// Creates a component of the registered class on `owner` with the registered factory, the
// owner's design state being passed on to it before its own construction runs, so that it takes
// its design-time values. An empty `name` is made with NewComponentName. Raises DesignError for an
// unknown class, a name that is no identifier, or one the owner already uses.
platform::TComponent& PlaceComponent(platform::TComponent& owner, std::string_view class_name,
                                     std::string_view name = {});

// A bitmap file of a device-independent bitmap: the 14-byte file header, then the bitmap.
std::string BitmapFile(std::span<const std::uint8_t> dib);

}  // namespace quorvin::package
