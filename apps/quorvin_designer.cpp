// quorvin-designer: the design side of the package without a design environment. Shows the
// palette, writes the palette icons as bitmap files, and makes new form files with components
// placed as a designer places them.
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quorvin/package/designer.h"
#include "quorvin/package/tarn_reg.h"
#include "quorvin/platform/core/form_file.h"
#include "quorvin/platform/core/palette.h"
#include "quorvin/platform/core/text.h"
#include "quorvin/platform/web/web_dispatcher.h"

namespace {

using namespace quorvin;

constexpr const char* kUsage =
    "usage: quorvin-designer palette\n"
    "       quorvin-designer icon NAME -o FILE.bmp\n"
    "       quorvin-designer new-form FILE [--force] --add CLASS[:NAME]...\n"
    "       quorvin-designer --version\n";

int Usage(const std::string& message) {
  std::fprintf(stderr, "quorvin-designer: %s\n%s", message.c_str(), kUsage);
  return 2;
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "quorvin-designer: %s\n", message.c_str());
  return 1;
}

int ShowPalette() {
  auto& palette = platform::Palette::Instance();
  for (const std::string& page : palette.Pages()) {
    std::printf("%s\n", page.c_str());
    for (const platform::PaletteEntry& entry : palette.Components(page)) {
      std::printf("  %-18s %s%s\n", entry.component->name.c_str(), entry.icon_name.c_str(),
                  entry.Icon().empty() ? " (missing)" : "");
    }
  }
  return 0;
}

int WriteIcon(const std::vector<std::string_view>& args) {
  std::string_view name, file;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "-o") {
      if (i + 1 >= args.size()) return Usage("-o needs a file name");
      file = args[++i];
    } else if (name.empty()) {
      name = args[i];
    } else {
      return Usage("unexpected argument " + std::string(args[i]));
    }
  }
  if (name.empty() || file.empty()) return Usage("icon needs a NAME and -o FILE.bmp");
  // The file is a Windows bitmap: a name that promises another format is refused.
  const std::string ext = std::filesystem::path(std::string(file)).extension().string();
  if (!platform::SameText(ext, ".bmp")) {
    return Fail("icons are written as bitmaps: name the file .bmp, not \"" + std::string(file) + "\"");
  }
  const auto dib = platform::FindBitmapResource(name);
  if (dib.empty()) {
    std::string known;
    for (const std::string& page : platform::Palette::Instance().Pages()) {
      for (const platform::PaletteEntry& entry : platform::Palette::Instance().Components(page))
        known += (known.empty() ? "" : ", ") + entry.icon_name;
    }
    return Fail("no icon named \"" + std::string(name) + "\" (the icons: " + known + ")");
  }
  const std::string bytes = package::BitmapFile(dib);
  std::ofstream out{std::string(file), std::ios::binary | std::ios::trunc};
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) return Fail("cannot write \"" + std::string(file) + "\"");
  return 0;
}

int NewForm(const std::vector<std::string_view>& args) {
  std::string_view file;
  bool force = false;
  std::vector<std::pair<std::string_view, std::string_view>> adds;  // class, name
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--force") {
      force = true;
    } else if (args[i] == "--add") {
      if (i + 1 >= args.size()) return Usage("--add needs CLASS or CLASS:NAME");
      const std::string_view spec = args[++i];
      const auto colon = spec.find(':');
      if (colon == std::string_view::npos) {
        adds.emplace_back(spec, std::string_view());
      } else {
        if (colon + 1 == spec.size())
          return Usage("--add " + std::string(spec) + " names no component");
        adds.emplace_back(spec.substr(0, colon), spec.substr(colon + 1));
      }
    } else if (file.empty()) {
      file = args[i];
    } else {
      return Usage("unexpected argument " + std::string(args[i]));
    }
  }
  if (file.empty()) return Usage("new-form needs a FILE");
  if (!force && std::filesystem::exists(std::string(file))) {
    return Fail("\"" + std::string(file) + "\" exists: --force replaces it");
  }
  // The web dispatcher comes from the platform's own palette; it can share a form with ours.
  web::TWebDispatcher::Class();
  try {
    auto form = package::NewDesignForm();
    for (const auto& [class_name, name] : adds) {
      const platform::TComponent& c = package::PlaceComponent(*form, class_name, name);
      std::printf("%s: %s\n", c.Name().c_str(), c.ClassName().c_str());
    }
    platform::WriteFormFile(*form, std::string(file));
  } catch (const std::exception& e) {
    return Fail(e.what());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage("no command");
  const std::string_view command = argv[1];
  const std::vector<std::string_view> args(argv + 2, argv + argc);
  if (command == "-h" || command == "--help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (command == "--version") {
    std::printf("%.*s\n", static_cast<int>(package::Description().size()),
                package::Description().data());
    return 0;
  }
  // What a design environment does when it installs the package.
  package::Register();
  if (command == "palette")
    return args.empty() ? ShowPalette() : Usage("palette takes no arguments");
  if (command == "icon") return WriteIcon(args);
  if (command == "new-form") return NewForm(args);
  return Usage("unknown command " + std::string(command));
}
