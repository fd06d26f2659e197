// Places a server module on a designed form, as a designer would, and shows the palette.
#include <cstdio>

#include "quorvin/package/designer.h"
#include "quorvin/package/tarn_reg.h"
#include "quorvin/platform/core/form_file.h"
#include "quorvin/platform/core/palette.h"
#include "quorvin/server/tarn_server.h"

int main() {
  using namespace quorvin;
  package::Register();
  auto form = package::NewDesignForm();
  auto& module = platform::Create<server::TSvrModule>(*form);
  module.SetName("Server");
  std::printf("ServerPort %d\n", module.ServerPort);
  for (const auto& entry : platform::Palette::Instance().Components(package::kPalettePage)) {
    std::printf("%s %s %zu\n", entry.component->name.c_str(), entry.icon_name.c_str(),
                entry.Icon().size());
  }
  std::printf("%s", platform::WriteFormText(*form).c_str());
  return 0;
}
