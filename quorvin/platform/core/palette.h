#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quorvin/platform/core/classes.h"

// The design side of the component framework: the palette that a designer shows, with its pages
// of component classes, and the bitmap resources that libraries carry for it.
namespace quorvin::platform {

// Resource languages are numbered as on the desktop platform; palette icons are US English.
inline constexpr std::uint16_t kLangUSEnglish = 1033;

// Makes a library's bitmap (a device-independent bitmap without a file header) findable by
// name and language. The bytes are not copied: they must outlive the program, as a library's
// resource section does. A second resource of the same name and language is ignored.
void RegisterBitmapResource(std::string_view name, std::uint16_t language,
                            std::span<const std::uint8_t> dib);
// The bitmap of that name (letter case ignored) and language, or an empty span.
std::span<const std::uint8_t> FindBitmapResource(std::string_view name,
                                                 std::uint16_t language = kLangUSEnglish);

// A component class on a palette page.
struct PaletteEntry {
  const ClassInfo* component = nullptr;
  std::string icon_name;  // the class name in upper case: the name of its bitmap resource

  // The icon's bitmap, looked up when asked, so that resources bound after the registration
  // are found; empty when the class has none.
  std::span<const std::uint8_t> Icon() const { return FindBitmapResource(icon_name); }
};

// Pages in the order they were first named, each holding its component classes in the order
// they were registered. A class registered again on the same page keeps its first place.
class Palette {
 public:
  static Palette& Instance();

  void Add(std::string_view page, const ClassInfo& component);
  std::vector<std::string> Pages() const;
  // The components of `page` (empty for a page nobody named).
  std::vector<PaletteEntry> Components(std::string_view page) const;

 private:
  std::vector<std::pair<std::string, std::vector<PaletteEntry>>> pages_;
};

// Puts each class on the page of the program's palette.
void RegisterComponents(std::string_view page, std::initializer_list<const ClassInfo*> classes);

}  // namespace quorvin::platform
