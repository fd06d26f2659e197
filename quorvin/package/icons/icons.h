#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

// The bitmaps that the package carries for the palette: one per component, named after its
// class in upper case.
namespace quorvin::package {

inline constexpr std::size_t kIconSide = 25;  // pixels, both ways
// A 40-byte header, a 16-entry colour table and 25 rows of 16 bytes (4 bits per pixel).
inline constexpr std::size_t kIconBytes = 504;
inline constexpr std::uint16_t kIconLanguage = 1033;  // US English

struct IconResource {
  std::string_view name;
  std::uint16_t language;
  std::span<const std::uint8_t> dib;  // device-independent bitmap, without a file header
};

std::span<const IconResource> IconResources();

}  // namespace quorvin::package
