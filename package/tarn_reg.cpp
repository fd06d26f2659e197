#include "quorvin/package/tarn_reg.h"

#include <array>

#include "quorvin/client/orb_http_client.h"
#include "quorvin/package/icons/icons.h"
#include "quorvin/platform/core/palette.h"
#include "quorvin/server/tarn_server.h"

#include "package_version.h"
#if __has_include("quorvin/server/tarn_dw_server.h")
#include "quorvin/server/tarn_dw_server.h"
#define QUORVIN_HAS_DW_SERVER 1
#endif
#if __has_include("quorvin/client/orb_http_dw_client.h")
#include "quorvin/client/orb_http_dw_client.h"
#define QUORVIN_HAS_DW_CLIENT 1
#endif

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

// The two components over the second socket layer register once their units are built.
void RegisterOrbHTTPDwClient() {
#ifdef QUORVIN_HAS_DW_CLIENT
  RegisterOne(client::TOrbHTTPDwClient::Class());
#endif
}

void RegisterTarnDwServer() {
#ifdef QUORVIN_HAS_DW_SERVER
  RegisterOne(server::TDwSvrModule::Class());
#endif
}

void Register() {
  RegisterOne(server::TSvrModule::Class());
  RegisterOne(client::TOrbHTTPClient::Class());
#ifdef QUORVIN_HAS_DW_SERVER
  RegisterOne(server::TDwSvrModule::Class());
#endif
#ifdef QUORVIN_HAS_DW_CLIENT
  RegisterOne(client::TOrbHTTPDwClient::Class());
#endif
}

// No unit does work of its own when the package loads. Nor when it unloads: the table that maps
// request variables to header names (webbridge's arHTTPHeader, shared by both servers) is a
// constant array of views into string literals, static data that needs no release.
void Initialize() {}

void Finalize() {}

}  // namespace quorvin::package
