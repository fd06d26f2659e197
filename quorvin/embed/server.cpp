#include "quorvin/embed/server.h"

#include <filesystem>
#include <optional>
#include <utility>

#include "quorvin/platform/core/form.h"
#include "quorvin/platform/core/text.h"
#include "quorvin/platform/net/application.h"
#include "quorvin/platform/net/stop_signals.h"
#include "quorvin/platform/web/web_dispatcher.h"
#include "quorvin/server/tarn_dw_server.h"
#include "quorvin/server/tarn_server.h"

namespace quorvin {

std::string Request::Query(std::string_view name) const {
  return std::string(request_.QueryFields().Values(name));
}

Response& Response::Status(int code) {
  response_.SetStatusCode(code);
  return *this;
}

Response& Response::Header(std::string_view name, std::string_view value) {
  response_.SetCustomHeader(name, value);
  return *this;
}

Response& Response::Text(std::string_view body, std::string_view type) {
  response_.SetContentType(type);
  response_.SetContent(body);
  return *this;
}

void Response::Redirect(std::string_view location) {
  // Written as the status and a header: the server's response adapter sends what is set when the
  // handler returns.
  response_.SetStatusCode(302);
  response_.SetCustomHeader("Location", location);
  response_.SetContent("");
}

Server::Server(const std::string& root, Binding binding) {
  // The component serves the current folder in place of a stored root that is missing; a root
  // given in code is meant, so a wrong one is an error here.
  std::error_code error;
  if (!std::filesystem::is_directory(root, error)) throw Error("the document root " + root + " is not a folder");
  platform::RegisterCoreClasses();
  form_ = std::make_unique<platform::TForm>(nullptr);
  form_->SetName("MainForm");
  dispatcher_ = &platform::Create<web::TWebDispatcher>(*form_);
  dispatcher_->SetName("Routes");
  if (binding == Binding::kDWinsock) {
    server::TDwSvrModule::Class();
    module_ = &platform::Create<server::TDwSvrModule>(*form_);
  } else {
    server::TSvrModule::Class();
    module_ = &platform::Create<server::TSvrModule>(*form_);
  }
  module_->SetName("Server");
  module_->ServerRoot = root;
  module_->DefaultFile = "index.htm";
  module_->MaxRequest = 60;
  module_->KeepAlive = 1;
  module_->Dispatcher = dispatcher_;
}

Server::~Server() = default;

Server& Server::Route(int method, std::string path, Handler handler) {
  auto& actions = dispatcher_->Actions();
  std::string name = "Route" + std::to_string(actions.Count() + 1);
  actions.Add(std::move(name), std::move(path), static_cast<web::TMethodType>(method),
              [handler = std::move(handler)](platform::TComponent*, web::TWebRequest& request,
                                             web::TWebResponse& response, bool&) {
                const Request req(request);
                Response res(response);
                handler(req, res);
              });
  return *this;
}

Server& Server::Get(std::string path, Handler handler) {
  return Route(static_cast<int>(web::TMethodType::mtGet), std::move(path), std::move(handler));
}

Server& Server::Post(std::string path, Handler handler) {
  return Route(static_cast<int>(web::TMethodType::mtPost), std::move(path), std::move(handler));
}

Server& Server::Put(std::string path, Handler handler) {
  return Route(static_cast<int>(web::TMethodType::mtPut), std::move(path), std::move(handler));
}

Server& Server::Any(std::string path, Handler handler) {
  return Route(static_cast<int>(web::TMethodType::mtAny), std::move(path), std::move(handler));
}

int Server::Listen(int port) {
  if (port < 0 || port > 65535) throw Error("the port must be a number from 0 to 65535, not " + std::to_string(port));
  if (module_->ListenerSettings() == nullptr) {
    module_->ServerPort = port;
    if (!module_->Start()) throw Error(module_->LastError());
  } else {
    // Made before: the listener moves (and reopens when it was closed).
    try {
      module_->SetPort(port);
      if (!module_->Listening()) module_->ListenerSettings()->StartListening();
    } catch (const std::exception& e) {
      throw Error(e.what());
    }
    if (!module_->Listening()) {
      throw Error(!module_->LastError().empty() ? module_->LastError()
                                                 : "cannot listen on port " + std::to_string(port));
    }
  }
  return Port();
}

int Server::Listen(std::string_view port) {
  const std::optional<std::int32_t> number = platform::ParseDecimal32(port);
  if (!number || *number < 0 || *number > 65535) {
    throw Error("the port must be a number from 0 to 65535, not \"" + std::string(port) + "\"");
  }
  return Listen(*number);
}

bool Server::Listening() const {
  return module_->Listening();
}

int Server::Port() const {
  const server::ListenerConfig* listener = module_->ListenerSettings();
  return listener != nullptr && listener->Listening() ? listener->ListenPort() : 0;
}

int Server::Run() {
  net::StopOnSignals signals;
  net::Application::Instance().Run();
  return 0;
}

void Server::Stop() {
  net::Application::Instance().Terminate();
}

}  // namespace quorvin
