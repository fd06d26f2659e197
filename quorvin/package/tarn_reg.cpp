#include "quorvin/package/tarn_reg.h"

#include <array>

#include "quorvin/client/orb_http_client.h"
#include "quorvin/client/orb_http_dw_client.h"
#include "quorvin/package/icons/icons.h"
#include "quorvin/platform/core/palette.h"
#include "quorvin/platform/web/web_dispatcher.h"
#include "quorvin/server/tarn_dw_server.h"
#include "quorvin/server/tarn_server.h"

#include "package_version.h"

namespace quorvin::package {

namespace {

constexpr std::string_view kDescription =
    "Quorvin HTTP/1.0 server and client components " QUORVIN_PACKAGE_VERSION;

constexpr std::array<std::string_view, 5> kUnits = {"TarnReg", "TarnServer", "OrbHTTPClient",
                                                    "OrbHTTPDwClient", "TarnDwServer"};

// The server needs the web bridge; everything stands on the platform (components, socket
// layers, web actions).
constexpr std::array<std::string_view, 4> kRequired = {"quorvin::server", "quorvin::client",
                                                       "quorvin::webbridge", "quorvin::platform"};

// A design environment maps a package's resources when it loads the module. Here the icons are
// compiled into the library, so they are made findable the first time any registration runs:
// the palette looks each one up under its class name.
void BindResources() {
  static const bool bound = [] {
    for (const IconResource& icon : IconResources()) {
      platform::RegisterBitmapResource(icon.name, icon.language, icon.dib);
    }
    return true;
  }();
  (void)bound;
}

void RegisterOne(const platform::ClassInfo& component) {
  BindResources();
  platform::RegisterComponents(kPalettePage, {&component});
}

}  // namespace

std::string_view Description() {
  return kDescription;
}

std::string_view Version() {
  return QUORVIN_PACKAGE_VERSION;
}

std::span<const std::string_view> Units() {
  return kUnits;
}

std::span<const std::string_view> RequiredLibraries() {
  return kRequired;
}

void RegisterTarnServer() {
  RegisterOne(server::TSvrModule::Class());
}

void RegisterOrbHTTPClient() {
  RegisterOne(client::TOrbHTTPClient::Class());
}

void RegisterOrbHTTPDwClient() {
  RegisterOne(client::TOrbHTTPDwClient::Class());
}

void RegisterTarnDwServer() {
  RegisterOne(server::TDwSvrModule::Class());
}

void Register() {
  RegisterOne(server::TSvrModule::Class());
  RegisterOne(client::TOrbHTTPClient::Class());
  RegisterOne(server::TDwSvrModule::Class());
  RegisterOne(client::TOrbHTTPDwClient::Class());
  // Forms that hold the servers hold a dispatcher with their actions: its class is known too
  // (it stays off this page; the platform's own palette has it).
  web::TWebDispatcher::Class();
}

// No unit does work of its own when the package loads. Nor when it unloads: the table that maps
// request variables to header names (webbridge's arHTTPHeader, shared by both servers) is a
// constant array of views into string literals, static data that needs no release.
void Initialize() {}

void Finalize() {}

}  // namespace quorvin::package
