#include "demo_actions.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "quorvin/platform/core/datetime.h"
#include "quorvin/platform/core/deadline.h"
#include "quorvin/platform/core/text.h"
#include "quorvin/platform/web/form_data.h"
#include "quorvin/platform/web/web_dispatcher.h"

namespace quorvin::apps {

using web::TWebRequest;
using web::TWebResponse;
using Handler = std::function<web::THTTPMethodEvent>;

namespace {

constexpr std::int64_t kMaxStreamBytes = 64 * 1024 * 1024;

void Hello(platform::TComponent*, TWebRequest&, TWebResponse& response, bool&) {
  response.SetContent(
      "<!DOCTYPE html>\n<html><head><title>Hello</title><link rel=\"stylesheet\" href=\"/style.css\"></head>"
      "<body><main><h1>Hello from a web action</h1><p>This page was written by the <code>Hello</code> "
      "action of quorvin-serve, not read from a file.</p><p><a href=\"/\">Back to the start page</a></p>"
      "</main></body></html>\n");
}

void Echo(platform::TComponent*, TWebRequest& request, TWebResponse& response, bool&) {
  std::string text;
  for (int i = 0; i < web::kReqVariableCount; ++i) {
    std::string value;
    try {
      value = request.GetStringVariable(i);
    } catch (const std::exception& e) {
      value = e.what();
    }
    text += std::to_string(i) + "=" + value + "\n";
  }
  response.SetContentType("text/plain");
  response.SetContent(text);
}

void Status(platform::TComponent*, TWebRequest& request, TWebResponse& response, bool&) {
  const auto code = platform::ParseDecimal32(request.QueryFields().Values("code")).value_or(200);
  response.SetStatusCode(code);
  response.SetContentType("text/plain");
  response.SetContent("status " + std::to_string(code));
}

web::TCookie& AddCookie(TWebResponse& response, std::string name, std::string value, std::string path) {
  auto& cookie = response.Cookies().Add();
  cookie.Name = std::move(name);
  cookie.Value = std::move(value);
  cookie.Path = std::move(path);
  return cookie;
}

void Cookies(platform::TComponent*, TWebRequest&, TWebResponse& response, bool&) {
  AddCookie(response, "visit", "1", "/");
  auto& flavour = AddCookie(response, "flavour", "oatmeal", "/cookies");
  flavour.Expires = platform::NowUtc() + 1.0;
  response.SetCustomHeader("X-Quorvin-Demo", "cookies");
  response.SetContentType("text/plain");
  response.SetContent("two cookies are set\n");
}

void Stream(platform::TComponent*, TWebRequest& request, TWebResponse& response, bool&) {
  const std::int64_t n = std::clamp<std::int64_t>(
      platform::ParseDecimal(request.QueryFields().Values("n")).value_or(1024), 0, kMaxStreamBytes);
  // A source stream of n bytes, copied into the answer's content stream.
  platform::TMemoryStream source;
  std::string line = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ!\n";
  for (std::int64_t left = n; left > 0; left -= static_cast<std::int64_t>(line.size())) {
    source.WriteBuffer(line.data(), std::min<std::int64_t>(left, static_cast<std::int64_t>(line.size())));
  }
  source.SetPosition(0);
  response.SetContentType("text/plain");
  response.SendStream(source);
}

void Headers(platform::TComponent*, TWebRequest&, TWebResponse& response, bool&) {
  const platform::TDateTime now = platform::NowUtc();
  response.SetAllow("GET, HEAD");
  response.SetDerivedFrom("/headers.src");
  response.SetExpires(now + 1.0);
  response.SetLastModified(now - 1.0);
  response.SetTitle("Header demo");
  response.SetWWWAuthenticate("Basic realm=\"demo\"");
  response.SetContentVersion("1.0");
  response.SetContentEncoding("identity");
  response.SetContentType("text/plain");
  response.SetContent("see the headers of this answer\n");
}

// Every open /events answer, and the one timer that ticks for all of them while there are any.
class Ticker {
 public:
  static Ticker& Instance() {
    static Ticker ticker;
    return ticker;
  }

  void Add(std::shared_ptr<web::TLaterAnswer> answer) {
    subscribers_.push_back(std::move(answer));
    if (!timer_.Pending()) timer_.After(std::chrono::seconds(1));
  }

 private:
  Ticker() : timer_([this] { Tick(); }) {}

  void Tick() {
    ++ticks_;
    const std::string event = "id: " + std::to_string(ticks_) + "\ndata: tick " + std::to_string(ticks_) + " at " +
                              platform::FormatDateTime("hh:mm:ss", platform::NowUtc()) + " UTC\n\n";
    // A subscriber that went away, or reads nothing while events pile up, is dropped.
    std::erase_if(subscribers_, [&event](const std::shared_ptr<web::TLaterAnswer>& answer) {
      return !answer->Open() || (!answer->Write(event) && !answer->Open());
    });
    if (!subscribers_.empty()) timer_.After(std::chrono::seconds(1));
  }

  std::vector<std::shared_ptr<web::TLaterAnswer>> subscribers_;
  std::int64_t ticks_ = 0;
  platform::Deadline timer_;
};

// A stream of Server-Sent Events: a tick each second, for as long as the client listens.
void Events(platform::TComponent*, TWebRequest& request, TWebResponse& response, bool&) {
  std::shared_ptr<web::TLaterAnswer> answer = response.AnswerLater();
  if (!answer) {
    response.SetStatusCode(501);
    response.SetContent("this server cannot stream\n");
    return;
  }
  const std::string last = request.GetHeader("Last-Event-ID");
  answer->Begin([&last](TWebRequest&, TWebResponse& head) {
    head.SetContentType("text/event-stream; charset=utf-8");
    head.SetCustomHeader("Cache-Control", "no-cache");
    // The client reconnects after a second when the connection ends.
    std::string first = "retry: 1000\n";
    first += last.empty() ? "data: listening\n\n" : "data: back after event " + last.substr(0, 20) + "\n\n";
    head.SetContent(first);
  });
  Ticker::Instance().Add(std::move(answer));
}

// The fields and files of a form posted to it, one line each, as ReadForm reads them; a form it
// cannot read is answered 400 with the reason.
void Form(platform::TComponent*, TWebRequest& request, TWebResponse& response, bool&) {
  web::FormData form;
  const web::FormResult result = web::ReadForm(request.BodyStream(), request.ContentType(), form);
  response.SetContentType("text/plain");
  if (!result.Ok()) {
    response.SetStatusCode(result.status == web::FormStatus::kBad ? 400 : 500);
    response.SetContent(result.error + "\n");
    return;
  }
  std::string text;
  for (const web::FormField& field : form.fields) text += field.name + "=" + field.value + "\n";
  for (const web::FormFile& file : form.files) {
    text += file.name + ": " + file.file_name + ", " + file.content_type + ", " + std::to_string(file.size) +
            " bytes\n";
  }
  response.SetContent(text);
}

}  // namespace

void AddDemoHandlers(platform::THandlerRegistry& handlers) {
  handlers.Add<web::THTTPMethodEvent>("Hello", Handler(Hello));
  handlers.Add<web::THTTPMethodEvent>("Echo", Handler(Echo));
  handlers.Add<web::THTTPMethodEvent>("Status", Handler(Status));
  handlers.Add<web::THTTPMethodEvent>("Cookies", Handler(Cookies));
  handlers.Add<web::THTTPMethodEvent>("Stream", Handler(Stream));
  handlers.Add<web::THTTPMethodEvent>("Headers", Handler(Headers));
  handlers.Add<web::THTTPMethodEvent>("Events", Handler(Events));
  handlers.Add<web::THTTPMethodEvent>("Form", Handler(Form));
}

platform::Json DemoActions() {
  const auto action = [](const char* name, const char* path, const char* method) {
    return platform::Json{{"Name", name}, {"PathInfo", path}, {"MethodType", method}, {"OnAction", name}};
  };
  return platform::Json::array({action("Hello", "/hello", "mtGet"), action("Echo", "/echo", "mtAny"),
                                action("Status", "/status", "mtAny"), action("Cookies", "/cookies", "mtAny"),
                                action("Stream", "/stream", "mtAny"), action("Headers", "/headers", "mtAny"),
                                action("Events", "/events", "mtGet"), action("Form", "/form", "mtPost")});
}

}  // namespace quorvin::apps
