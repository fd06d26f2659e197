#include "quorvin/server/server_module.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <exception>
#include <string>

#include "quorvin/platform/core/form.h"
#include "quorvin/platform/core/message_box.h"
#include "quorvin/platform/core/text.h"
#include "quorvin/platform/host/file_system.h"
#include "quorvin/platform/net/tls.h"
#include "quorvin/platform/web/web_dispatcher.h"
#include "quorvin/server/response_writer.h"

namespace quorvin::server {

using platform::TComponent;

namespace {

// root + "/" + name, without a second separator when the root ends with one.
std::string JoinRoot(std::string_view root, std::string_view name) {
  std::string path(root);
  if (path.empty() || path.back() != host::kPathDelim) path += host::kPathDelim;
  path += name;
  return path;
}

}  // namespace

void ListenerConfig::Configure(ServerModule& module) {
  Module = &module;
  if (module.MaxRequest < 5) module.MaxRequest = 60;
  MaxRequest = module.MaxRequest;
  Root = module.ServerRoot;
  DefaultFile = module.DefaultFile;
  SetListenPort(module.ServerPort);
  SetListenAddress(module.BindAddress);
  ConnectionCount = 0;
  if (!host::DirectoryExists(Root)) Root = host::GetCurrentDir();
  Root = std::string(platform::Trim(Root));
  if (!host::FileExists(JoinRoot(Root, DefaultFile))) DefaultFile = "index.htm";
  UpdateRootPath();
}

std::int32_t ListenerConfig::ConnectionBound() const {
  return Module != nullptr ? std::max(1, Module->MaxConnections) : ServerModule::kDefaultMaxConnections;
}

ConnectionLimits ListenerConfig::Limits() const {
  ConnectionLimits limits;
  if (Module == nullptr) return limits;
  Module->ReportUnappliedChanges();
  const ServerModule& m = *Module;
  limits.header_seconds = std::max(0, m.HeaderTimeout);
  limits.body_seconds = std::max(0, m.BodyTimeout);
  limits.send_seconds = std::max(0, m.SendTimeout);
  limits.keep_alive = m.KeepAlive != 0;
  limits.keep_alive_seconds = std::max(0, m.KeepAliveTimeout);
  limits.keep_alive_requests = std::max(1, m.KeepAliveRequests);
  return limits;
}

std::shared_ptr<const FileOptions> ListenerConfig::Files() const {
  if (Module == nullptr) return nullptr;
  const ServerModule& m = *Module;
  if (m.ETags == 0 && m.CacheControl.empty() && m.MimeTypes.empty() && m.DefaultType.empty() &&
      m.Precompressed == 0 && m.ErrorPages.empty() && m.FallbackDocument.empty() && m.DirectoryListing == 0) {
    files_.reset();
    return nullptr;
  }
  // Fields a program may assign between connections: compared in place, not parsed, per
  // connection; the options are made again only when one differs.
  if (files_ && files_source_.Same(m)) return files_;
  auto options = std::make_shared<FileOptions>();
  options->etags = m.ETags != 0;
  // Values assigned in code skip the property's checks: what could break a header is dropped.
  if (ServerModule::HeaderTextOk(m.CacheControl)) options->cache_control = m.CacheControl;
  if (ServerModule::HeaderTextOk(m.DefaultType)) options->default_type = m.DefaultType;
  if (const auto types = ServerModule::ParseMimeTypes(m.MimeTypes)) {
    for (const auto& [extension, type] : *types) options->types.Add(extension, type);
  }
  options->precompressed = m.Precompressed != 0;
  options->listing = m.DirectoryListing != 0;
  if (!m.ErrorPages.empty()) options->error_pages = host::ExpandFileName(m.ErrorPages).value_or(m.ErrorPages);
  if (!m.FallbackDocument.empty() && ServerModule::FallbackOk(m.FallbackDocument)) {
    options->fallback = m.FallbackDocument.front() == '/' ? m.FallbackDocument : "/" + m.FallbackDocument;
  }
  files_ = std::move(options);
  files_source_ = {m.ETags, m.Precompressed, m.DirectoryListing, m.CacheControl, m.MimeTypes,
                   m.DefaultType, m.ErrorPages, m.FallbackDocument};
  return files_;
}

bool ListenerConfig::FilesSource::Same(const ServerModule& m) const {
  return etags == m.ETags && precompressed == m.Precompressed && listing == m.DirectoryListing &&
         cache_control == m.CacheControl && mime_types == m.MimeTypes && default_type == m.DefaultType &&
         error_pages == m.ErrorPages && fallback == m.FallbackDocument;
}

void ListenerConfig::AddIdle(IdleConnection& connection) {
  idle_.push_back(&connection);
}

void ListenerConfig::RemoveIdle(IdleConnection& connection) {
  const auto at = std::find(idle_.begin(), idle_.end(), &connection);
  if (at != idle_.end()) idle_.erase(at);
}

bool ListenerConfig::CloseOldestIdle() {
  if (idle_.empty()) return false;
  IdleConnection* oldest = idle_.front();
  idle_.erase(idle_.begin());
  oldest->GiveUpPlace();
  return true;
}

void ListenerConfig::UpdateRootPath() {
  // Worked out once, not per request; a relative root is taken from the current directory.
  root_path_ = host::ExpandFileName(Root).value_or(Root);
  while (!root_path_.empty() && root_path_.back() == host::kPathDelim) root_path_.pop_back();
}

bool ListenerConfig::SetRoot(std::string_view value) {
  if (!host::DirectoryExists(std::string(value))) return false;
  std::string old = Root;
  Restart([&] {
    Root = std::string(value);
    UpdateRootPath();
  }, [&] {
    Root = std::move(old);
    UpdateRootPath();
  });
  return true;
}

bool ListenerConfig::SetDefaultFile(std::string_view value) {
  if (!host::FileExists(JoinRoot(Root, value))) return false;
  std::string old = DefaultFile;
  Restart([&] { DefaultFile = std::string(value); }, [&] { DefaultFile = std::move(old); });
  return true;
}

void ListenerConfig::Restart(const std::function<void()>& change, const std::function<void()>& undo) {
  const bool was = Listening();
  if (was) StopListening();
  change();
  if (!was) return;
  try {
    StartListening();
  } catch (...) {
    // The listener could not come back with the change: it goes back to what it had, listening
    // again if it can, and the caller learns why.
    undo();
    try {
      StartListening();
    } catch (...) {
      // Still closed; the first reason is the one to report.
    }
    throw;
  }
}

void ListenerConfig::SettingPort(int port) {
  const bool was = Listening();
  if (was) StopListening();
  SetListenPort(port);
  if (was) StartListening();
}

void ListenerConfig::SetRequest(std::int32_t value) {
  if (value >= 1) MaxRequest = value;
}

std::optional<std::vector<std::pair<std::string, std::string>>> ServerModule::ParseMimeTypes(std::string_view text) {
  std::vector<std::pair<std::string, std::string>> entries;
  const auto separator = [](char c) { return c == ',' || c == ';' || c == ' ' || c == '\t'; };
  std::size_t at = 0;
  while (at < text.size()) {
    if (separator(text[at])) {
      ++at;
      continue;
    }
    std::size_t end = at;
    while (end < text.size() && !separator(text[end])) ++end;
    const std::string_view entry = text.substr(at, end - at);
    at = end;
    const auto equals = entry.find('=');
    if (equals == std::string_view::npos) return std::nullopt;
    std::string_view extension = entry.substr(0, equals);
    const std::string_view type = entry.substr(equals + 1);
    if (!extension.empty() && extension.front() == '.') extension.remove_prefix(1);
    // A type is "type/subtype", parameters aside; an extension is a name without dots or slashes.
    if (extension.empty() || extension.find_first_of("./\\") != std::string_view::npos) return std::nullopt;
    if (type.find('/') == std::string_view::npos || type.front() == '/' || !HeaderTextOk(type)) return std::nullopt;
    if (!HeaderTextOk(extension)) return std::nullopt;
    entries.emplace_back("." + std::string(extension), std::string(type));
  }
  return entries;
}

bool ServerModule::FallbackOk(std::string_view path) {
  if (path.empty()) return true;
  if (!HeaderTextOk(path) || path.back() == '/') return false;
  // Every segment a plain name: nothing that climbs out of the root or names a private file.
  std::size_t at = 0;
  while (at <= path.size()) {
    const auto slash = path.find('/', at);
    const std::string_view segment = path.substr(at, slash == std::string_view::npos ? std::string_view::npos : slash - at);
    if (!(at == 0 && segment.empty()) && (segment.empty() || segment.front() == '.' || segment.find('\\') != std::string_view::npos))
      return false;
    if (slash == std::string_view::npos) break;
    at = slash + 1;
  }
  return true;
}

bool ServerModule::BindAddressOk(std::string_view address) {
  unsigned char scrap[sizeof(in6_addr)];
  const std::string text(address);
  return text.empty() || text == "localhost" || ::inet_pton(AF_INET, text.c_str(), scrap) == 1 ||
         ::inet_pton(AF_INET6, text.c_str(), scrap) == 1;
}

bool ServerModule::HeaderTextOk(std::string_view text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
  }
  return true;
}

ServerModule::ServerModule(TComponent* owner, bool (*same_kind)(const TComponent*)) : TComponent(owner) {
  Timeout = 100;
  if (IsDesigning() && !platform::Is<platform::TForm>(Owner())) {
    platform::ShowMessageBox("Quorvin Server Component must be in Main Form.", kMessageTitle);
  }
  if (!IsDesigning()) return;
  // This module is not yet whole, so it does not know its own kind: it counts the others and
  // adds itself.
  int modules = 1;
  if (Owner() != nullptr) {
    for (int i = 0; i < Owner()->ComponentCount(); ++i) {
      const TComponent* c = Owner()->Components(i);
      if (c != this && same_kind(c)) ++modules;
    }
  }
  ServerPort = 79 + modules;
  ServerRoot = host::GetCurrentDir();
  DefaultFile = "index.htm";
  MaxRequest = 60;
  if (ServerPort < 80) ServerPort = 80;
}

void ServerModule::Notification(TComponent* component, platform::TOperation operation) {
  TComponent::Notification(component, operation);
  if (operation == platform::TOperation::opRemove &&
      component == Dispatcher) {
    Dispatcher = nullptr;
  }
}

void ServerModule::ReadState(platform::TReader& reader) {
  TComponent::ReadState(reader);
  if (Start()) return;
  // The program goes on without a listener; the message box says so, LastError says why.
  if (tls_failed_) {
    platform::ShowMessageBox("Error Initializing TLS : " + last_error_, kMessageTitle);
  } else {
    platform::ShowMessageBox("Error Initializing Socket : " + std::to_string(ServerPort), kMessageTitle);
  }
}

bool ServerModule::Start() {
  if (Listening()) return true;
  if (auto* owner_dispatcher = dynamic_cast<web::TCustomWebDispatcher*>(Owner())) {
    Dispatcher = owner_dispatcher;
  } else if (Dispatcher == nullptr && Owner() != nullptr) {
    for (int i = 0; i < Owner()->ComponentCount(); ++i) {
      if (auto* d = dynamic_cast<web::TCustomWebDispatcher*>(Owner()->Components(i))) Dispatcher = d;
    }
  }
  tls_failed_ = false;
  std::shared_ptr<net::TlsContext> tls;
  if (!TLSCertificate.empty() || !TLSKey.empty()) {
    // Never plain text in place of the HTTPS asked for: without a usable certificate and key
    // there is no listener.
    try {
      tls = net::TlsContext::Server(TLSCertificate, TLSKey);
    } catch (const std::exception& e) {
      last_error_ = e.what();
      tls_failed_ = true;
      return false;
    }
  }
  try {
    CreateListener();
    ListenerSettings()->Tls = std::move(tls);
    OpenListener();
    last_error_.clear();
  } catch (const std::exception& e) {
    last_error_ = e.what();
  }
  applied_ = Snapshot();
  reported_ = applied_;
  return Listening();
}

ServerModule::Settings ServerModule::Snapshot() const {
  return {ServerPort, ServerRoot, DefaultFile, TLSCertificate, TLSKey, BindAddress};
}

void ServerModule::ReportUnappliedChanges() {
  // The listener keeps the values it opened with; a program that assigns the fields afterwards
  // meant something by it, so it hears once per new value what to call instead. Compared in
  // place first: this runs at every connection, and nothing has changed almost always.
  if (ServerPort == reported_.port && ServerRoot == reported_.root && DefaultFile == reported_.file &&
      TLSCertificate == reported_.cert && TLSKey == reported_.key && BindAddress == reported_.address) {
    return;
  }
  const Settings now = Snapshot();
  std::string what;
  const auto note = [&what](bool changed, const std::string& text) {
    if (!changed) return;
    if (!what.empty()) what += "; ";
    what += text;
  };
  const ListenerConfig* listener = ListenerSettings();
  const int listening_on = listener != nullptr ? listener->ListenPort() : applied_.port;
  note(now.port != reported_.port && now.port != applied_.port,
       "ServerPort is " + std::to_string(now.port) + " but the listener stays on port " +
           std::to_string(listening_on) + " until SetPort is called");
  note(now.root != reported_.root && now.root != applied_.root,
       "ServerRoot changed; the listener keeps its root until SetRoot is called");
  note(now.file != reported_.file && now.file != applied_.file,
       "DefaultFile changed; the listener keeps its default document until SetFile is called");
  note(now.address != reported_.address && now.address != applied_.address,
       "BindAddress changed; the listener keeps its address until it is made again");
  note((now.cert != reported_.cert && now.cert != applied_.cert) ||
           (now.key != reported_.key && now.key != applied_.key),
       "TLSCertificate or TLSKey changed; they take effect when the listener is made again");
  reported_ = now;
  if (!what.empty()) platform::Log(std::string(kMessageTitle) + ": " + what);
}

bool ServerModule::Listening() const {
  const ListenerConfig* listener = ListenerSettings();
  return listener != nullptr && listener->Listening();
}

bool ServerModule::SetRoot(std::string_view value) {
  try {
    ListenerConfig* listener = ListenerSettings();
    if (listener == nullptr || !listener->SetRoot(value)) return false;
    ServerRoot = std::string(value);
    applied_.root = reported_.root = ServerRoot;
    last_error_.clear();
    return true;
  } catch (const std::exception& e) {
    // The listener kept its old value; whether it listens again, Listening() says.
    last_error_ = e.what();
    return false;
  }
}

bool ServerModule::SetFile(std::string_view value) {
  try {
    ListenerConfig* listener = ListenerSettings();
    if (listener == nullptr || !listener->SetDefaultFile(value)) return false;
    DefaultFile = std::string(value);
    applied_.file = reported_.file = DefaultFile;
    last_error_.clear();
    return true;
  } catch (const std::exception& e) {
    // The listener kept its old value; whether it listens again, Listening() says.
    last_error_ = e.what();
    return false;
  }
}

void ServerModule::SetPort(std::int32_t value) {
  try {
    ListenerConfig* listener = ListenerSettings();
    if (listener == nullptr) return;
    listener->SettingPort(value);
    ServerPort = value;
    applied_.port = reported_.port = value;
    last_error_.clear();
  } catch (const std::exception& e) {
    // The old port stays in the property; the listener holds the new one, closed.
    last_error_ = e.what();
  }
}

void ServerModule::SetRequest(std::int32_t value) {
  if (ListenerConfig* listener = ListenerSettings()) listener->SetRequest(value);
}

}  // namespace quorvin::server
