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
  module_ = &module;
  if (module.MaxRequest < 5) module.MaxRequest = 60;
  max_request_ = module.MaxRequest;
  root_ = module.ServerRoot;
  default_file_ = module.DefaultFile;
  SetListenPort(module.ServerPort);
  SetListenAddress(module.BindAddress);
  connection_count_ = 0;
  if (!host::DirectoryExists(root_)) root_ = host::GetCurrentDir();
  root_ = std::string(platform::Trim(root_));
  if (!host::FileExists(JoinRoot(root_, default_file_))) default_file_ = "index.htm";
  UpdateRootPath();
}

std::int32_t ListenerConfig::ConnectionBound() const {
  return module_ != nullptr ? std::max(1, module_->MaxConnections)
                            : ServerModule::kDefaultMaxConnections;
}

ConnectionLimits ListenerConfig::Limits() const {
  ConnectionLimits limits;
  if (module_ == nullptr) return limits;
  module_->ReportUnappliedChanges();
  const ServerModule& m = *module_;
  limits.header_seconds = std::max(0, m.HeaderTimeout);
  limits.body_seconds = std::max(0, m.BodyTimeout);
  limits.send_seconds = std::max(0, m.SendTimeout);
  limits.answer_seconds = std::max(0, m.AnswerTimeout);
  limits.max_body = std::max(0, m.MaxBody);
  limits.body_memory = std::max(0, m.BodyMemory);
  if (!m.BodyFolder.empty()) {
    if (!body_folder_ || *body_folder_ != m.BodyFolder) {
      body_folder_ = std::make_shared<const std::string>(m.BodyFolder);
    }
    limits.body_folder = body_folder_;
  }
  limits.keep_alive = m.KeepAlive != 0;
  limits.keep_alive_seconds = std::max(0, m.KeepAliveTimeout);
  limits.keep_alive_requests = std::max(1, m.KeepAliveRequests);
  return limits;
}

std::shared_ptr<const FileOptions> ListenerConfig::Files() const {
  if (module_ == nullptr) return nullptr;
  // Fields a program may assign between connections: compared in place, not parsed, per
  // connection; the options are made again only when one differs.
  const FileProperties& now = *module_;
  if (!files_made_ || !(files_source_ == now)) {
    files_ = now.MakeOptions();
    files_source_ = now;
    files_made_ = true;
  }
  return files_;
}

web::TCustomWebDispatcher* ListenerConfig::Dispatcher() const {
  return module_ != nullptr ? module_->Dispatcher : nullptr;
}

std::int32_t ListenerConfig::LifetimeSeconds() const {
  return module_ != nullptr ? std::max(0, module_->Timeout) : 0;
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
  root_path_ = host::ExpandFileName(root_).value_or(root_);
  while (!root_path_.empty() && root_path_.back() == host::kPathDelim) root_path_.pop_back();
}

bool ListenerConfig::SetRoot(std::string_view value) {
  if (!host::DirectoryExists(std::string(value))) return false;
  std::string old = root_;
  Restart([&] {
    root_ = std::string(value);
    UpdateRootPath();
  }, [&] {
    root_ = std::move(old);
    UpdateRootPath();
  });
  return true;
}

bool ListenerConfig::SetDefaultFile(std::string_view value) {
  if (!host::FileExists(JoinRoot(root_, value))) return false;
  std::string old = default_file_;
  Restart([&] { default_file_ = std::string(value); }, [&] { default_file_ = std::move(old); });
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
  if (value >= 1) max_request_ = value;
}

bool ServerModule::BindAddressOk(std::string_view address) {
  unsigned char scrap[sizeof(in6_addr)];
  const std::string text(address);
  return text.empty() || text == "localhost" || ::inet_pton(AF_INET, text.c_str(), scrap) == 1 ||
         ::inet_pton(AF_INET6, text.c_str(), scrap) == 1;
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
    ListenerSettings()->SetTls(std::move(tls));
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
