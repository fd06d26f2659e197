// Linked through pkg-config: the package's description and the palette's pages.
#include <cstdio>
#include <string>

#include "quorvin/package/tarn_reg.h"
#include "quorvin/platform/core/palette.h"

int main() {
  using namespace quorvin;
  package::Register();
  const std::string description(package::Description());
  std::printf("%s\n", description.c_str());
  for (const std::string& page : platform::Palette::Instance().Pages())
    std::printf("page %s\n", page.c_str());
  return 0;
}
