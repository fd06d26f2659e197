#pragma once

#include <span>
#include <string_view>

// The package: what it holds, what it needs, and the registration procedures through which a
// designer learns its four components. Every registration puts one component class on the
// palette page kPalettePage; registering a class twice leaves the palette as it was.
namespace quorvin::package {

inline constexpr std::string_view kPalettePage = "QUORVIN Packages";
inline constexpr std::string_view kPackageName = "quorvin";
// The package is meant for the design side: programs link the component libraries themselves.
inline constexpr bool kDesignTimeOnly = true;

// One line naming the product and its release.
std::string_view Description();
// The release, as the build's project version ("0.1.0").
std::string_view Version();
// The units the package holds, its registration unit first.
std::span<const std::string_view> Units();
// The libraries of this project that the package needs.
std::span<const std::string_view> RequiredLibraries();

// Each unit's registration procedure: one component each.
void RegisterTarnServer();       // TSvrModule
void RegisterOrbHTTPClient();    // TOrbHTTPClient
void RegisterOrbHTTPDwClient();  // TOrbHTTPDwClient
void RegisterTarnDwServer();     // TDwSvrModule
// The package's own: TSvrModule, TOrbHTTPClient, TDwSvrModule and TOrbHTTPDwClient, in this order;
// TWebDispatcher's class is registered too, so that any form of the package loads after this one call.
void Register();

// Start-up and shut-down of the package's units, for a program that loads and unloads the
// package as a whole. Neither has anything to do: see tarn_reg.cpp.
void Initialize();
void Finalize();

}  // namespace quorvin::package
