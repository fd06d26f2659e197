#include "quorvin/platform/core/palette.h"

#include <algorithm>
#include <tuple>

#include "quorvin/platform/core/text.h"

namespace quorvin::platform {

namespace {

// Keyed by the upper-case name: resource names are found regardless of letter case.
using ResourceKey = std::pair<std::string, std::uint16_t>;

std::map<ResourceKey, std::span<const std::uint8_t>>& Bitmaps() {
  static std::map<ResourceKey, std::span<const std::uint8_t>> bitmaps;
  return bitmaps;
}

}  // namespace

void RegisterBitmapResource(std::string_view name, std::uint16_t language,
                            std::span<const std::uint8_t> dib) {
  Bitmaps().emplace(ResourceKey(UpperCase(name), language), dib);
}

std::span<const std::uint8_t> FindBitmapResource(std::string_view name, std::uint16_t language) {
  const auto& bitmaps = Bitmaps();
  auto it = bitmaps.find(ResourceKey(UpperCase(name), language));
  return it == bitmaps.end() ? std::span<const std::uint8_t>() : it->second;
}

Palette& Palette::Instance() {
  static Palette palette;
  return palette;
}

void Palette::Add(std::string_view page, const ClassInfo& component) {
  auto it =
      std::find_if(pages_.begin(), pages_.end(), [&](const auto& p) { return p.first == page; });
  if (it == pages_.end())
    it = pages_.emplace(pages_.end(), std::string(page), std::vector<PaletteEntry>());
  std::vector<PaletteEntry>& entries = it->second;
  const bool present = std::any_of(entries.begin(), entries.end(), [&](const PaletteEntry& e) {
    return e.component == &component;
  });
  if (!present) entries.push_back(PaletteEntry{&component, UpperCase(component.name)});
}

std::vector<std::string> Palette::Pages() const {
  std::vector<std::string> names;
  for (const auto& [name, entries] : pages_) names.push_back(name);
  return names;
}

std::vector<PaletteEntry> Palette::Components(std::string_view page) const {
  for (const auto& [name, entries] : pages_) {
    if (name == page) return entries;
  }
  return {};
}

void RegisterComponents(std::string_view page, std::initializer_list<const ClassInfo*> classes) {
  for (const ClassInfo* c : classes) {
    if (c != nullptr) Palette::Instance().Add(page, *c);
  }
}

}  // namespace quorvin::platform
