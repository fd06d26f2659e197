#include "quorvin/embed/server.h"

#include <algorithm>
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

namespace {

// Matches `path` against a route's `pattern` part by part: "{name}" takes one non-empty part
// (its value goes to `params`), a final "*" takes the rest, any other part must be equal,
// letter case ignored.
bool MatchPattern(std::string_view pattern, std::string_view path,
                  std::vector<std::pair<std::string, std::string>>& params) {
  for (;;) {
    if (pattern == "*") return true;
    const std::size_t open = pattern.find('{');
    if (open == std::string_view::npos) {
      if (!pattern.empty() && pattern.back() == '*') {
        return platform::StartsWithText(path, pattern.substr(0, pattern.size() - 1));
      }
      return platform::SameText(pattern, path);
    }
    const std::size_t close = pattern.find('}', open);
    if (close == std::string_view::npos) return platform::SameText(pattern, path);
    if (path.size() < open || !platform::SameText(pattern.substr(0, open), path.substr(0, open))) {
      return false;
    }
    path.remove_prefix(open);
    const std::size_t end = std::min(path.find('/'), path.size());
    if (end == 0) return false;
    params.emplace_back(std::string(pattern.substr(open + 1, close - open - 1)),
                        std::string(path.substr(0, end)));
    path.remove_prefix(end);
    pattern.remove_prefix(close + 1);
  }
}

// A body's pieces, written as they arrive, handed to a route's receiver; nothing is kept, so
// reading the stream gives nothing.
class ReceiverStream final : public platform::TStream {
 public:
  explicit ReceiverStream(BodyReceiver receiver) : receiver_(std::move(receiver)) {}
  std::int64_t Read(void*, std::int64_t) override { return 0; }
  std::int64_t Write(const void* buffer, std::int64_t count) override {
    if (count > 0) receiver_(std::string_view(static_cast<const char*>(buffer), static_cast<std::size_t>(count)));
    return count;
  }
  std::int64_t Seek(std::int64_t, platform::TSeekOrigin) override { return 0; }
  std::int64_t Size() override { return 0; }
  void SetSize(std::int64_t) override {}

 private:
  BodyReceiver receiver_;
};

// Whether a route of method `only` ("" for what the action's method selects) and `pattern`
// takes `request`; `params` gets the values of the pattern's parts.
bool RouteTakes(std::string_view only, const std::string& pattern, web::TWebRequest& request,
                std::vector<std::pair<std::string, std::string>>& params) {
  if (!only.empty() && !platform::SameText(request.Method(), only)) return false;
  return pattern.find('{') == std::string::npos || MatchPattern(pattern, request.PathInfo(), params);
}

}  // namespace

std::string Request::Param(std::string_view name) const {
  for (const auto& [key, value] : params_) {
    if (key == name) return value;
  }
  return {};
}

Server& Server::Route(int method, std::string_view only, std::string path, Handler handler,
                      BodyStart start) {
  auto& actions = dispatcher_->Actions();
  std::string name = "Route" + std::to_string(actions.Count() + 1);
  // The action is found by what precedes the first parameter; the rest is matched here, and a
  // path it does not fit is left to the routes after it.
  const std::size_t open = path.find('{');
  std::string path_info = open == std::string::npos ? path : path.substr(0, open) + "*";
  web::TWebActionItem& action =
      actions.Add(std::move(name), std::move(path_info), static_cast<web::TMethodType>(method),
                  [handler = std::move(handler), pattern = path, only = std::string(only)](
                      platform::TComponent*, web::TWebRequest& request, web::TWebResponse& response,
                      bool& handled) {
                    std::vector<std::pair<std::string, std::string>> params;
                    if (!RouteTakes(only, pattern, request, params)) {
                      handled = false;
                      return;
                    }
                    const Request req(request, std::move(params));
                    Response res(response);
                    handler(req, res);
                  });
  // Every route says whether it takes a body, so that a receiving route after one that does not
  // fit the request still gets it.
  action.OnBodyStart = [start = std::move(start), pattern = std::move(path), only = std::string(only)](
                           web::TWebRequest& request, bool& handled) -> std::unique_ptr<platform::TStream> {
    std::vector<std::pair<std::string, std::string>> params;
    if (!RouteTakes(only, pattern, request, params)) {
      handled = false;
      return nullptr;
    }
    if (!start) return nullptr;
    BodyReceiver receiver = start(Request(request, std::move(params)));
    if (!receiver) return nullptr;
    return std::make_unique<ReceiverStream>(std::move(receiver));
  };
  return *this;
}

Server& Server::Get(std::string path, Handler handler) {
  return Route(static_cast<int>(web::TMethodType::mtGet), "", std::move(path), std::move(handler));
}

Server& Server::Post(std::string path, Handler handler) {
  return Route(static_cast<int>(web::TMethodType::mtPost), "", std::move(path), std::move(handler));
}

Server& Server::Put(std::string path, Handler handler) {
  return Route(static_cast<int>(web::TMethodType::mtPut), "", std::move(path), std::move(handler));
}

// The actions know no DELETE or PATCH of their own: such a route takes any method and keeps
// only its own.
Server& Server::Delete(std::string path, Handler handler) {
  return Route(static_cast<int>(web::TMethodType::mtAny), "DELETE", std::move(path), std::move(handler));
}

Server& Server::Patch(std::string path, Handler handler) {
  return Route(static_cast<int>(web::TMethodType::mtAny), "PATCH", std::move(path), std::move(handler));
}

Server& Server::Any(std::string path, Handler handler) {
  return Route(static_cast<int>(web::TMethodType::mtAny), "", std::move(path), std::move(handler));
}

Server& Server::Receive(std::string_view method, std::string path, BodyStart start, Handler handler) {
  // The actions' own methods where they have one, the method's name otherwise.
  web::TMethodType type = web::TMethodType::mtAny;
  if (platform::SameText(method, "POST")) type = web::TMethodType::mtPost;
  if (platform::SameText(method, "PUT")) type = web::TMethodType::mtPut;
  return Route(static_cast<int>(type), type == web::TMethodType::mtAny ? method : std::string_view(),
               std::move(path), std::move(handler), std::move(start));
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
