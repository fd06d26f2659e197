#include <gtest/gtest.h>

#include "quorvin/platform/core/message_box.h"

#include <stdexcept>
#include <string>

#include "quorvin/platform/web/web_dispatcher.h"
#include "server_test_support.h"

namespace quorvin::testing {
namespace {

using web::TWebRequest;
using web::TWebResponse;

// A form with a dispatcher whose actions the test writes, and a server module on `root`.
class DispatchForm {
 public:
  DispatchForm(const std::string& root, platform::THandlerRegistry& handlers, const platform::Json& actions,
               platform::Json extra = platform::Json::object()) {
    web::TWebDispatcher::Class();
    platform::Json props = {{"ServerRoot", root}, {"ServerPort", 0}};
    for (auto& [k, v] : extra.items()) props[k] = v;
    platform::Json doc = {
        {"form", "Main"},
        {"components",
         {{{"class", "TWebDispatcher"}, {"name", "Web"}, {"properties", {{"Actions", actions}}}},
          {{"class", ModuleClass()}, {"name", "Server"}, {"properties", props}}}}};
    platform::FormOptions options;
    options.handlers = &handlers;
    form_ = platform::LoadFormText(doc.dump(), "test form", options);
    module_ = dynamic_cast<server::ServerModule*>(form_->Components(1));
  }
  server::ServerModule& Module() { return *module_; }
  platform::TComponent& Form() { return *form_; }
  int Port() { return module_->ListenerSettings()->ListenPort(); }
  ParsedAnswer Get(std::string_view request) { return ParseAnswer(Fetch(Port(), request).answer); }
  std::string Raw(std::string_view request) { return Fetch(Port(), request).answer; }

 private:
  std::unique_ptr<platform::TComponent> form_;
  server::ServerModule* module_ = nullptr;
};

using Handler = std::function<web::THTTPMethodEvent>;

class ServerDispatch : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteSite(root);
    handlers.Add<web::THTTPMethodEvent>("Answer", Handler([](platform::TComponent*, TWebRequest& rq, TWebResponse& rs, bool&) {
      // What a web action sees while it runs: the translated path is still empty.
      rs.SetContent("answered " + rq.Method() + " " + rq.URL() + " [" + rq.PathTranslated() + "]" + rq.Content());
    }));
    handlers.Add<web::THTTPMethodEvent>("Decline", Handler([](platform::TComponent*, TWebRequest&, TWebResponse&, bool& handled) {
      handled = false;
    }));
    handlers.Add<web::THTTPMethodEvent>("SentButDeclined", Handler([](platform::TComponent*, TWebRequest&, TWebResponse& rs, bool& handled) {
      rs.SetContent("sent anyway");
      rs.SendResponse();
      handled = false;
    }));
    handlers.Add<web::THTTPMethodEvent>("Throw", Handler([](platform::TComponent*, TWebRequest&, TWebResponse&, bool&) {
      throw std::runtime_error("action failed");
    }));
    handlers.Add<web::THTTPMethodEvent>("ThrowValue", Handler([](platform::TComponent*, TWebRequest&, TWebResponse&, bool&) {
      throw 42;  // not an exception class at all
    }));
    handlers.Add<web::THTTPMethodEvent>("Last", Handler([](platform::TComponent*, TWebRequest&, TWebResponse& rs, bool&) {
      rs.SetCustomHeader("Connection", "close");
      rs.SetContent("last");
    }));
    handlers.Add<web::THTTPMethodEvent>("Inject", Handler([](platform::TComponent*, TWebRequest& rq, TWebResponse& rs, bool&) {
      rs.SetCustomHeader("X-Echo", rq.QueryFields().Values("v"));
      rs.SetContent("injected");
    }));
  }
  platform::Json Action(const char* name, const char* path, const char* handler) {
    return {{"Name", name}, {"PathInfo", path}, {"MethodType", "mtAny"}, {"OnAction", handler}};
  }
  TempDir root;
  platform::THandlerRegistry handlers;
};

TEST_F(ServerDispatch, ActionsAnswerBeforeFiles) {
  DispatchForm f(root.Str(), handlers,
                 {Action("A", "/page.htm", "Answer"), Action("B", "/act", "Answer"), Action("D", "/decline", "Decline")});
  const std::string raw = f.Raw("GET /page.htm HTTP/1.0\r\n\r\n");
  EXPECT_EQ(raw, "HTTP/1.0 200 OK\r\nContent-type: text/html\r\nContent-Length: 25\r\n\r\nanswered GET /page.htm []");
  EXPECT_EQ(f.Get("POST /act?x=1 HTTP/1.1\r\nContent-Length: 4\r\n\r\nbody").body, "answered POST /act []body");
  // Not handled: the static rules answer.
  EXPECT_EQ(f.Get("GET /decline HTTP/1.0\r\n\r\n").status_line, "HTTP/1.0 404 Not Found");
  EXPECT_EQ(f.Get("GET /docs/ HTTP/1.0\r\n\r\n").body, "<html>docs</html>");
}

TEST_F(ServerDispatch, SentAnswerGoesOutEvenWhenDeclined) {
  DispatchForm f(root.Str(), handlers, platform::Json::array({Action("S", "/s", "SentButDeclined")}));
  const ParsedAnswer a = f.Get("GET /s HTTP/1.0\r\n\r\n");
  EXPECT_EQ(a.status_line, "HTTP/1.0 200 OK");
  EXPECT_EQ(a.body, "sent anyway");
}

TEST_F(ServerDispatch, FailingOrInjectingActionsGet500) {
  std::vector<std::string> logged;
  const platform::LogSink previous =
      platform::SetLogSink([&](std::string_view line) { logged.emplace_back(line); });
  DispatchForm f(root.Str(), handlers,
                 {Action("T", "/throw", "Throw"), Action("V", "/value", "ThrowValue"), Action("I", "/inject", "Inject")});
  EXPECT_EQ(f.Get("GET /throw HTTP/1.0\r\n\r\n").status_line, "HTTP/1.0 500 Internal Server Error");
  // The program hears which action failed and why; the peer only sees the 500.
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0], "Quorvin Server: the web action for GET /throw failed: action failed (answered 500)");
  const Exchange thrown = Fetch(f.Port(), "GET /value HTTP/1.0\r\n\r\n");
  EXPECT_TRUE(thrown.closed);
  EXPECT_EQ(ParseAnswer(thrown.answer).status_line, "HTTP/1.0 500 Internal Server Error");
  const std::string raw = f.Raw("GET /inject?v=a%0d%0aSet-Cookie:%20evil=1 HTTP/1.0\r\n\r\n");
  EXPECT_EQ(ParseAnswer(raw).status_line, "HTTP/1.0 500 Internal Server Error");
  EXPECT_EQ(raw.find("evil"), std::string::npos);
  EXPECT_EQ(raw.find("injected"), std::string::npos);
  // A harmless value goes through.
  EXPECT_EQ(f.Get("GET /inject?v=fine HTTP/1.0\r\n\r\n").Header("X-Echo"), "fine");
  EXPECT_EQ(logged.size(), 2u) << "the value thrown is logged too; a refused header is not an exception";
  platform::SetLogSink(previous);
}

TEST_F(ServerDispatch, UnansweredQueryNeverEchoesTheRequestBody) {
  DispatchForm f(root.Str(), handlers, platform::Json::array({Action("D", "/decline", "Decline")}));
  const std::string raw = f.Raw("POST /docs/?x=1 HTTP/1.0\r\nContent-Length: 11\r\n\r\nsecret-body");
  EXPECT_EQ(raw.find("secret-body"), std::string::npos);
  EXPECT_EQ(ParseAnswer(raw).status_line, "HTTP/1.0 405 Method Not Allowed");
}

TEST_F(ServerDispatch, ActionsAnswerOnKeptConnectionsAndMayEndThem) {
  DispatchForm f(root.Str(), handlers, {Action("A", "/act", "Answer"), Action("L", "/last", "Last")},
                 {{"KeepAlive", 1}});
  std::vector<std::string> answers;
  bool closed = false;
  ASSERT_TRUE(WithClient([&] {
    RawClient c(f.Port());
    c.Send("GET /act HTTP/1.1\r\n\r\nPOST /act HTTP/1.1\r\nContent-Length: 4\r\n\r\nbody");
    answers.push_back(c.ReadAnswer());
    answers.push_back(c.ReadAnswer());
    c.Send("GET /last HTTP/1.1\r\n\r\nGET /act HTTP/1.1\r\n\r\n");
    answers.push_back(c.ReadAll(&closed));
  }));
  ASSERT_EQ(answers.size(), 3u);
  EXPECT_EQ(ParseAnswer(answers[0]).body, "answered GET /act []");
  EXPECT_EQ(ParseAnswer(answers[0]).Header("Connection"), "keep-alive");
  EXPECT_EQ(ParseAnswer(answers[1]).body, "answered POST /act []body");
  // The action's own header ends the connection: the request after it is never answered.
  EXPECT_EQ(ParseAnswer(answers[2]).body, "last");
  EXPECT_EQ(ParseAnswer(answers[2]).Header("Connection"), "close");
  EXPECT_EQ(answers[2].find("HTTP/1.1 200 OK", 1), std::string::npos);
  EXPECT_TRUE(closed);
}

TEST_F(ServerDispatch, RemovedDispatcherLeavesTheFiles) {
  DispatchForm f(root.Str(), handlers, platform::Json::array({Action("A", "/page.htm", "Answer")}));
  ASSERT_NE(f.Module().Dispatcher, nullptr);
  delete f.Form().Components(0);  // the dispatcher goes
  EXPECT_EQ(f.Module().Dispatcher, nullptr);
  EXPECT_EQ(f.Get("GET /page.htm HTTP/1.0\r\n\r\n").body, "<html>page</html>");
}

}  // namespace
}  // namespace quorvin::testing
