#include "quorvin/package/icons/icons.h"

#include <array>
#include <string_view>

// The palette pictures, drawn here as text so that they can be read and changed in a diff:
// each string is one row of 25 pixels from the top, each character a colour-table index in
// hex, '.' the white background. The device-independent bitmaps are built from the drawings
// when the library is compiled; a drawing of the wrong size or with a stray character does
// not compile.
namespace quorvin::package {

namespace {

using Drawing = std::array<std::string_view, kIconSide>;
using Dib = std::array<std::uint8_t, kIconBytes>;

constexpr std::size_t kHeaderBytes = 40;
constexpr std::size_t kColours = 16;
constexpr std::size_t kRowBytes = 16;  // 25 pixels of 4 bits, padded to whole 32-bit words

// The desktop's standard 16 colours, as red, green, blue.
constexpr std::array<std::array<std::uint8_t, 3>, kColours> kStandardColours = {{
    {0x00, 0x00, 0x00},
    {0x80, 0x00, 0x00},
    {0x00, 0x80, 0x00},
    {0x80, 0x80, 0x00},
    {0x00, 0x00, 0x80},
    {0x80, 0x00, 0x80},
    {0x00, 0x80, 0x80},
    {0xC0, 0xC0, 0xC0},
    {0x80, 0x80, 0x80},
    {0xFF, 0x00, 0x00},
    {0x00, 0xFF, 0x00},
    {0xFF, 0xFF, 0x00},
    {0x00, 0x00, 0xFF},
    {0xFF, 0x00, 0xFF},
    {0x00, 0xFF, 0xFF},
    {0xFF, 0xFF, 0xFF},
}};

constexpr std::uint8_t ColourIndex(char c) {
  if (c == '.') return 15;
  if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0');
  if (c >= 'A' && c <= 'F') return static_cast<std::uint8_t>(c - 'A' + 10);
  throw "a drawing holds a character that is no colour";  // stops the compilation
}

constexpr void PutLE(Dib& dib, std::size_t at, std::uint32_t value, std::size_t bytes) {
  for (std::size_t i = 0; i < bytes; ++i) dib[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

constexpr Dib MakeDib(const Drawing& rows) {
  Dib dib{};
  PutLE(dib, 0, kHeaderBytes, 4);            // header size
  PutLE(dib, 4, kIconSide, 4);               // width
  PutLE(dib, 8, kIconSide, 4);               // height: positive, so rows run bottom-up
  PutLE(dib, 12, 1, 2);                      // planes
  PutLE(dib, 14, 4, 2);                      // bits per pixel
  PutLE(dib, 16, 0, 4);                      // uncompressed
  PutLE(dib, 20, kIconSide * kRowBytes, 4);  // image size
  PutLE(dib, 32, kColours, 4);               // colours used
  for (std::size_t i = 0; i < kColours; ++i) {
    const std::size_t at = kHeaderBytes + 4 * i;
    dib[at] = kStandardColours[i][2];  // stored blue, green, red, reserved
    dib[at + 1] = kStandardColours[i][1];
    dib[at + 2] = kStandardColours[i][0];
  }
  const std::size_t pixels = kHeaderBytes + 4 * kColours;
  for (std::size_t y = 0; y < kIconSide; ++y) {
    const std::string_view row = rows[kIconSide - 1 - y];
    if (row.size() != kIconSide) throw "a drawing row is not 25 pixels wide";
    for (std::size_t x = 0; x < kIconSide; ++x) {
      const std::uint8_t index = ColourIndex(row[x]);
      std::uint8_t& byte = dib[pixels + y * kRowBytes + x / 2];
      byte = static_cast<std::uint8_t>(x % 2 == 0 ? byte | (index << 4) : byte | index);
    }
  }
  return dib;
}

// One string per row, so that the pictures can be seen.
// clang-format off
// A server tower: drive bays, a green and a red lamp, vents.
constexpr Dib kServerTower = MakeDib({
    ".........................",
    "......0000000000000......",
    "......0FFFFFFFFFF80......",
    "......0F77777777780......",
    "......0F70888880780......",
    "......0F70000000780......",
    "......0F77777777780......",
    "......0F70888880780......",
    "......0F70000000780......",
    "......0F77777777780......",
    "......0F7A797777780......",
    "......0F77777777780......",
    "......0F77777777780......",
    "......0F78888888780......",
    "......0F77777777780......",
    "......0F78888888780......",
    "......0F77777777780......",
    "......0F78888888780......",
    "......0F77777777780......",
    "......0F78888888780......",
    "......0F77777777780......",
    "......0F77777777780......",
    "......0888888888880......",
    "......0000000000000......",
    ".......00.......00.......",
});

// The same tower in teal: the server over the second socket layer.
constexpr Dib kTealTower = MakeDib({
    ".........................",
    "......0000000000000......",
    "......0EEEEEEEEEE40......",
    "......0E66666666640......",
    "......0E60888880640......",
    "......0E60000000640......",
    "......0E66666666640......",
    "......0E60888880640......",
    "......0E60000000640......",
    "......0E66666666640......",
    "......0E6A696666640......",
    "......0E66666666640......",
    "......0E66666666640......",
    "......0E64444444640......",
    "......0E66666666640......",
    "......0E64444444640......",
    "......0E66666666640......",
    "......0E64444444640......",
    "......0E66666666640......",
    "......0E64444444640......",
    "......0E66666666640......",
    "......0E66666666640......",
    "......0444444444440......",
    "......0000000000000......",
    ".......00.......00.......",
});

// A globe: the client reaching out to the web.
constexpr Dib kGlobe = MakeDib({
    ".........................",
    ".........4444444.........",
    ".......44EEEEEEE44.......",
    ".....44CCECCECCECC44.....",
    "....44CCEECCECCEECC44....",
    "...44CCCECCCECCCECCC44...",
    "...4CCCEECCCECCCEECCC4...",
    "..4CCCCEAAACECCCCECCCC4..",
    "..4CCCCEAAAAECCCCECCCC4..",
    ".4CCCCCEAAAAECCCCECCCCC4.",
    ".4CCCCCEAAAAECCCCECCCCC4.",
    ".4CCCCCEAAACECCCCECCCCC4.",
    ".4EEEEEEEEEEEEEEEEEEEEE4.",
    ".4CCCCCECCCCEAAAAECCCCC4.",
    ".4CCCCCECCCCEAAAAECCCCC4.",
    ".4CCCCCECCCCEAAAAECCCCC4.",
    "..4CCCCECAAAECAAAECCCC4..",
    "..4CCCCECAAAECCCCECCCC4..",
    "...4CCCEEAAAECCCEECCC4...",
    "...44CCCECCCECCCECCC44...",
    "....44CCEECCECCEECC44....",
    ".....44CCECCECCECC44.....",
    ".......44EEEEEEE44.......",
    ".........4444444.........",
    ".........................",
});

// A smaller globe with a plug: the client over the second socket layer.
constexpr Dib kGlobeWithPlug = MakeDib({
    ".........................",
    ".......4444444...........",
    ".....444EEEEE444.........",
    "....44CECCECCEC44........",
    "...4CCCECCECCECCC4.......",
    "..44CCEAACECCCECC44......",
    "..4CCAEAAAECCCECCC4......",
    ".44CCAEAAAECCCECCC44.....",
    ".4CCCAEAAAECCCECCCC4.....",
    ".4CCCCAAACECCCCCCCC4.....",
    ".4EEEEEEEEEEEEEEEEE4.....",
    ".4CCCCCCCCEAAAAACCC4.....",
    ".4CCCCECCCEAAAEACCC4.....",
    ".44CCCECCCEAAAEACC44.....",
    "..4CCCEAAAECAAECCC4......",
    "..44CCEAAAECCCECC48..8...",
    "...4CCCEAAECCECCC48..8...",
    "....44CECCECCEC400000000.",
    ".....444EEEEE4440BBBBBB0.",
    ".......4444444..0BBBBBB0.",
    "................0BBBBBB0.",
    "................0BBBBBB0.",
    "................00000000.",
    "...................00....",
    "...................00....",
});

// clang-format on

constexpr std::array<IconResource, 4> kIcons = {{
    {"TSVRMODULE", kIconLanguage, kServerTower},
    {"TDWSVRMODULE", kIconLanguage, kTealTower},
    {"TORBHTTPCLIENT", kIconLanguage, kGlobe},
    {"TORBHTTPDWCLIENT", kIconLanguage, kGlobeWithPlug},
}};

}  // namespace

std::span<const IconResource> IconResources() {
  return kIcons;
}

}  // namespace quorvin::package
