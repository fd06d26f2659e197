#include "quorvin/embed/server.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <utility>

#include "quorvin/platform/core/deadline.h"
#include "quorvin/platform/core/form.h"
#include "quorvin/platform/core/text.h"
#include "quorvin/platform/net/application.h"
#include "quorvin/platform/net/stop_signals.h"
#include "quorvin/platform/web/web_dispatcher.h"
#include "quorvin/server/server_module.h"
#include "quorvin/server/tarn_dw_server.h"
#include "quorvin/server/tarn_server.h"

namespace quorvin {

std::string Request::Query(std::string_view name) const {
  return std::string(request_.QueryFields().Values(name));
}

const web::FormData& Request::Form() const {
  if (form_error_) throw *form_error_;
  if (!form_) {
    auto form = std::make_shared<web::FormData>();
    platform::TStream* body = request_.BodyStream();
    const web::FormResult result =
        web::ReadForm(body, request_.ContentType(), *form, form_options_);
    if (body != nullptr) body->SetPosition(0);  // Body and BodyStream read it from the start still
    if (!result.Ok()) {
      form_error_.emplace(result.status == web::FormStatus::kBad ? 400 : 500, result.error);
      throw *form_error_;
    }
    form_ = std::move(form);
  }
  return *form_;
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

bool Later::Answer(const std::function<void(Response&)>& fill) {
  if (!answer_) return false;
  return answer_->Complete([&fill](web::TWebRequest& request, web::TWebResponse& response) {
    Response res(response, &request);
    if (fill) fill(res);
  });
}

void Later::OnGone(std::function<void()> gone) {
  if (answer_) answer_->OnGone = std::move(gone);
}

// What the copies of a Stream share. The last copy to go cuts off an answer still open.
struct Stream::State {
  std::shared_ptr<web::TLaterAnswer> answer;
  platform::Deadline heartbeat;
  std::chrono::seconds quiet{0};  // the longest silence of an event stream; 0: none

  ~State() {
    // Nothing can write to it any more, and it never ended: the client must not take what it
    // has for the whole answer.
    if (answer && answer->Open()) answer->Cancel();
  }
  bool Write(std::string_view piece) {
    if (!answer) return false;
    const bool on = answer->Write(piece);
    if (quiet.count() > 0 && answer->Open()) heartbeat.After(quiet);
    return on;
  }
};

bool Stream::Open() const {
  return state_ && state_->answer && state_->answer->Open();
}

bool Stream::Write(std::string_view piece) const {
  return state_ && state_->Write(piece);
}

void Stream::End() const {
  if (!state_ || !state_->answer) return;
  state_->heartbeat.Cancel();
  state_->answer->End();
}

std::size_t Stream::Queued() const {
  return state_ && state_->answer ? state_->answer->Queued() : 0;
}

void Stream::OnDrained(std::function<void()> drained) const {
  if (state_ && state_->answer) state_->answer->OnDrained = std::move(drained);
}

void Stream::OnGone(std::function<void()> gone) const {
  if (!state_ || !state_->answer) return;
  // The heartbeat stops with the answer; the program's own handler runs after.
  std::weak_ptr<State> weak = state_;
  state_->answer->OnGone = [weak, gone = std::move(gone)] {
    if (auto state = weak.lock()) state->heartbeat.Cancel();
    if (gone) gone();
  };
}

namespace {

// Each line of `text` as a field of an event ("data: line"); an empty text is one empty field.
void AddEventLines(std::string& out, std::string_view field, std::string_view text) {
  for (;;) {
    const std::size_t end = text.find_first_of("\r\n");
    out += field;
    out += ": ";
    out += text.substr(0, end);
    out += '\n';
    if (end == std::string_view::npos) return;
    // A CRLF is one line end.
    const std::size_t next = text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n' ? end + 2 : end + 1;
    text.remove_prefix(next);
  }
}

}  // namespace

bool EventStream::Send(std::string_view data, std::string_view event, std::string_view id) const {
  std::string out;
  out.reserve(data.size() + event.size() + id.size() + 24);
  // A name or id is one line: a line break in one would start fields of the sender's choice.
  if (!event.empty()) AddEventLines(out, "event", event.substr(0, event.find_first_of("\r\n")));
  if (!id.empty()) AddEventLines(out, "id", id.substr(0, id.find_first_of("\r\n")));
  AddEventLines(out, "data", data);
  out += '\n';
  return stream_.Write(out);
}

bool EventStream::Comment(std::string_view text) const {
  std::string out;
  for (;;) {
    const std::size_t end = text.find_first_of("\r\n");
    out += ": ";
    out += text.substr(0, end);
    out += '\n';
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  out += '\n';
  return stream_.Write(out);
}

bool EventStream::Retry(std::chrono::milliseconds delay) const {
  return stream_.Write("retry: " + std::to_string(std::max<std::int64_t>(delay.count(), 0)) + "\n\n");
}

Later Response::Later() {
  return quorvin::Later(response_.AnswerLater());
}

Stream Response::Stream(std::string_view type) {
  quorvin::Stream stream;
  std::shared_ptr<web::TLaterAnswer> answer = response_.AnswerLater();
  if (!answer) return stream;
  // The answer goes out with the status and headers this response has so far.
  const web::TWebResponse& set = response_;
  const bool begun = answer->Begin([&set, type](web::TWebRequest&, web::TWebResponse& out) {
    out.SetStatusCode(set.GetStatusCode());
    for (const auto& field : set.CustomHeaders()) out.SetCustomHeader(field.name, field.value);
    out.SetContentType(type);
  });
  if (!begun) return stream;
  stream.state_ = std::make_shared<quorvin::Stream::State>();
  stream.state_->answer = std::move(answer);
  return stream;
}

EventStream Response::Events(std::chrono::seconds heartbeat) {
  EventStream events;
  if (request_ != nullptr) events.last_event_id_ = request_->GetHeader("Last-Event-ID");
  // Caches and proxies hold nothing back: each event is meant now.
  response_.SetCustomHeader("Cache-Control", "no-cache");
  events.stream_ = Stream("text/event-stream; charset=utf-8");
  if (const auto& state = events.stream_.state_; state && heartbeat.count() > 0) {
    state->quiet = heartbeat;
    quorvin::Stream::State* raw = state.get();
    state->heartbeat.OnDue = [raw] {
      // A comment the client ignores; the next one is due a heartbeat after it.
      raw->Write(":\n\n");
    };
    state->heartbeat.After(heartbeat);
  }
  events.stream_.OnGone(nullptr);  // the heartbeat stops with the answer
  return events;
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
  // Each phase of a connection has its own deadline (head, body, send, keep-alive wait, a later
  // answer); a bound on its whole life would only cut event streams and long downloads short.
  module_->Timeout = 0;
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

// Forms keep their files as the module keeps request bodies: in memory up to BodyMemory, beyond
// it in a file without a name in BodyFolder.
web::FormOptions FormOptionsOf(const server::ServerModule& module) {
  web::FormOptions options;
  options.file_memory = std::max(0, module.BodyMemory);
  options.spool_folder = module.BodyFolder;
  return options;
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
                  [handler = std::move(handler), pattern = path, only = std::string(only),
                   module = module_](platform::TComponent*, web::TWebRequest& request,
                                     web::TWebResponse& response, bool& handled) {
                    std::vector<std::pair<std::string, std::string>> params;
                    if (!RouteTakes(only, pattern, request, params)) {
                      handled = false;
                      return;
                    }
                    const Request req(request, std::move(params), FormOptionsOf(*module));
                    Response res(response, &request);
                    try {
                      handler(req, res);
                    } catch (const FormError& e) {
                      // The server's own failure is the 500 page, logged, as any other; the
                      // reason names its folder, which is not the client's to read.
                      if (e.Status() >= 500) throw;
                      res.Status(e.Status()).Text(std::string(e.what()) + "\n");
                    }
                  });
  // Every route says whether it takes a body, so that a receiving route after one that does not
  // fit the request still gets it.
  std::string method_name(only);
  if (method_name.empty() && method != static_cast<int>(web::TMethodType::mtAny)) {
    method_name = std::string(web::MethodTypeName(static_cast<web::TMethodType>(method)).substr(2));
  }
  routes_.push_back({path, platform::UpperCase(method_name)});
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
  KeepMethodCheckLast();
  return *this;
}

void Server::KeepMethodCheckLast() {
  static constexpr std::string_view kName = "MethodNotAllowed";
  auto& actions = dispatcher_->Actions();
  for (int i = actions.Count() - 1; i >= 0; --i) {
    if (platform::SameText(actions[i].Name, kName)) actions.Delete(i);
  }
  web::TWebActionItem& check = actions.Add(
      std::string(kName), "*", web::TMethodType::mtAny,
      [this](platform::TComponent*, web::TWebRequest& request, web::TWebResponse& response, bool& handled) {
        handled = false;
        std::vector<std::string> allowed;
        const std::string path = request.PathInfo();
        const std::string method = platform::UpperCase(request.Method());
        for (const RouteMethod& route : routes_) {
          std::vector<std::pair<std::string, std::string>> params;
          if (!MatchPattern(route.pattern, path, params)) continue;
          // A route of any method, or of this one, would have answered: the files do.
          if (route.method.empty() || route.method == method) return;
          for (std::string_view m : {std::string_view(route.method), std::string_view(route.method == "GET" ? "HEAD" : "")}) {
            if (!m.empty() && std::find(allowed.begin(), allowed.end(), m) == allowed.end()) allowed.emplace_back(m);
          }
        }
        if (allowed.empty() || std::find(allowed.begin(), allowed.end(), method) != allowed.end()) return;
        std::string allow;
        for (const std::string& m : allowed) allow += (allow.empty() ? "" : ", ") + m;
        handled = true;
        response.SetStatusCode(405);
        response.SetAllow(allow);
        response.SetContentType("text/plain; charset=utf-8");
        response.SetContent("405 Method Not Allowed: " + allow + "\n");
      });
  // No route wants the body of a request that reaches this far: it is dropped as it arrives.
  check.OnBodyStart = [](web::TWebRequest&, bool&) -> std::unique_ptr<platform::TStream> {
    return std::make_unique<ReceiverStream>([](std::string_view) {});
  };
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
