#include "quorvin/platform/web/web_dispatcher.h"

#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "quorvin/platform/core/form.h"
#include "quorvin/platform/core/form_file.h"

#include "fake_web.h"

namespace quorvin::web {
namespace {

using platform::TComponent;
using testing::FakeRequest;
using testing::FakeResponse;

// The server reaches the dispatcher through a class of its own derived from the framework's;
// the tests dispatch the same way.
class ZTestDispatcher final : public TCustomWebDispatcher {
 public:
  explicit ZTestDispatcher(TComponent* owner) : TCustomWebDispatcher(owner) {}
};

class Dispatch : public ::testing::Test {
 protected:
  // An action that notes its name when it runs and declines when `handles` is false. One that
  // handles leaves the flag alone, so it relies on the flag coming in true.
  TWebActionItem& AddAction(const std::string& name, const std::string& path, TMethodType method,
                            bool handles = true) {
    return dispatcher_.Actions().Add(
        name, path, method,
        [this, name, handles](TComponent*, TWebRequest&, TWebResponse&, bool& handled) {
          ran_.push_back(name);
          if (!handles) handled = false;
        });
  }

  bool Run(std::string_view method, std::string_view path) {
    FakeRequest request(method, path);
    FakeResponse response(request);
    return dispatcher_.DispatchAction(request, response);
  }

  ZTestDispatcher dispatcher_{nullptr};
  std::vector<std::string> ran_;
};

struct MatchCase {
  const char* name;
  const char* action_path;
  TMethodType action_method;
  const char* method;
  const char* path;
  bool taken;
};

class ActionMatch : public Dispatch, public ::testing::WithParamInterface<MatchCase> {};

TEST_P(ActionMatch, TakesTheRequestsItNames) {
  const MatchCase& c = GetParam();
  AddAction("only", c.action_path, c.action_method);
  EXPECT_EQ(Run(c.method, c.path), c.taken);
  EXPECT_EQ(ran_.size(), c.taken ? 1u : 0u);
}

using enum TMethodType;

INSTANTIATE_TEST_SUITE_P(
    , ActionMatch,
    ::testing::Values(
        MatchCase{"SamePath", "/hello", mtGet, "GET", "/hello", true},
        MatchCase{"PathCaseIgnored", "/hello", mtGet, "GET", "/HeLLo", true},
        MatchCase{"LongerPath", "/hello", mtGet, "GET", "/hello/x", false},
        MatchCase{"ShorterPath", "/hello", mtGet, "GET", "/hell", false},
        MatchCase{"EmptyPathTakesAll", "", mtAny, "GET", "/x/y", true},
        MatchCase{"StarTakesAll", "*", mtAny, "GET", "/", true},
        MatchCase{"TrailingStarTakesBelow", "/files/*", mtAny, "GET", "/files/a/b", true},
        MatchCase{"TrailingStarTakesItsFolder", "/files/*", mtAny, "GET", "/files/", true},
        MatchCase{"TrailingStarNeedsWholePrefix", "/files/*", mtAny, "GET", "/files", false},
        MatchCase{"TrailingStarCaseIgnored", "/FILES/*", mtAny, "GET", "/files/x", true},
        MatchCase{"InnerStarIsLiteral", "/a*b", mtAny, "GET", "/axb", false},
        MatchCase{"InnerStarMatchesItself", "/a*b", mtAny, "GET", "/a*b", true},
        MatchCase{"OtherMethod", "/hello", mtGet, "POST", "/hello", false},
        MatchCase{"PostAction", "/hello", mtPost, "POST", "/hello", true},
        MatchCase{"MethodCaseIgnored", "/hello", mtPost, "post", "/hello", true},
        MatchCase{"HeadAction", "/hello", mtHead, "HEAD", "/hello", true},
        MatchCase{"PutAction", "/hello", mtPut, "PUT", "/hello", true},
        MatchCase{"UnknownMethodNotTakenByGet", "/hello", mtGet, "DELETE", "/hello", false},
        MatchCase{"UnknownMethodTakenByAny", "/hello", mtAny, "DELETE", "/hello", true},
        MatchCase{"AnyTakesGet", "/hello", mtAny, "GET", "/hello", true}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(Dispatch, FirstMatchingActionThatHandlesEndsTheDispatch) {
  AddAction("other", "/y", mtAny);
  AddAction("first", "/x", mtAny);
  AddAction("second", "/x", mtAny);
  EXPECT_TRUE(Run("GET", "/x"));
  EXPECT_EQ(ran_, (std::vector<std::string>{"first"}));
}

TEST_F(Dispatch, DecliningActionPassesTheRequestOn) {
  AddAction("declines", "/x", mtAny, false);
  AddAction("not-matching", "/y", mtAny);
  AddAction("catch-all", "*", mtAny);
  EXPECT_TRUE(Run("GET", "/x"));
  EXPECT_EQ(ran_, (std::vector<std::string>{"declines", "catch-all"}));
}

TEST_F(Dispatch, DefaultActionAnswersWhatNoOtherHandled) {
  AddAction("declines", "/x", mtAny, false);
  AddAction("default", "/elsewhere", mtPost).Default = true;
  AddAction("later-default", "/nowhere", mtAny).Default = true;
  EXPECT_TRUE(Run("GET", "/x"));
  // The default runs whatever its path and method; only the first default counts.
  EXPECT_EQ(ran_, (std::vector<std::string>{"declines", "default"}));
}

TEST_F(Dispatch, DefaultActionThatDeclinesLeavesTheRequestUnhandled) {
  AddAction("default", "/elsewhere", mtAny, false).Default = true;
  EXPECT_FALSE(Run("GET", "/x"));
  EXPECT_EQ(ran_, (std::vector<std::string>{"default"}));
}

TEST_F(Dispatch, DefaultActionThatAlreadyDeclinedAsAMatchDoesNotRunTwice) {
  AddAction("default", "*", mtAny, false).Default = true;
  EXPECT_FALSE(Run("GET", "/x"));
  EXPECT_EQ(ran_, (std::vector<std::string>{"default"}));
}

TEST_F(Dispatch, DisabledActionsNeitherMatchNorServeAsDefault) {
  AddAction("disabled", "/x", mtAny).Enabled = false;
  TWebActionItem& disabled_default = AddAction("disabled-default", "", mtAny);
  disabled_default.Default = true;
  disabled_default.Enabled = false;
  AddAction("default", "/elsewhere", mtAny).Default = true;
  EXPECT_TRUE(Run("GET", "/x"));
  EXPECT_EQ(ran_, (std::vector<std::string>{"default"}));
}

TEST_F(Dispatch, NothingMatchingAndNoDefaultIsNotHandled) {
  AddAction("a", "/a", mtAny);
  dispatcher_.Actions().Add().PathInfo = "/x";  // matches, but has no handler
  EXPECT_FALSE(Run("GET", "/x"));
  EXPECT_TRUE(ran_.empty());
}

TEST_F(Dispatch, ActionGetsTheDispatcherRequestAndResponse) {
  FakeRequest request("GET", "/x");
  FakeResponse response(request);
  dispatcher_.Actions().Add("a", "/x", mtGet,
                            [&](TComponent* sender, TWebRequest& req, TWebResponse& resp, bool&) {
                              EXPECT_EQ(sender, &dispatcher_);
                              EXPECT_EQ(&req, &request);
                              EXPECT_EQ(&resp, &response);
                              resp.SetContent("answered");
                            });
  EXPECT_TRUE(dispatcher_.DispatchAction(request, response));
  EXPECT_EQ(response.GetContent(), "answered");
}

TEST_F(Dispatch, ExceptionOfAnActionReachesTheCaller) {
  dispatcher_.Actions().Add("throws", "/x", mtAny,
                            [](TComponent*, TWebRequest&, TWebResponse&, bool&) {
                              throw std::runtime_error("action failed");
                            });
  AddAction("after", "/x", mtAny);
  EXPECT_THROW(Run("GET", "/x"), std::runtime_error);
  EXPECT_TRUE(ran_.empty());
}

TEST_F(Dispatch, ActionsDeletedOrAddedByAHandlerCountFromTheNextDispatch) {
  dispatcher_.Actions().Add(
      "once", "/x", mtAny, [this](TComponent*, TWebRequest&, TWebResponse&, bool& handled) {
        const std::string note = "noted after the deletion";  // the running handler is still whole
        dispatcher_.Actions().Clear();
        AddAction("added", "/x", mtAny);
        ran_.push_back(note);
        handled = false;
      });
  AddAction("next", "/x", mtAny);
  EXPECT_TRUE(Run("GET", "/x"));
  EXPECT_EQ(ran_, (std::vector<std::string>{"noted after the deletion", "next"}));
  EXPECT_TRUE(Run("GET", "/x"));
  EXPECT_EQ(ran_.back(), "added");
}

// A form with a server-side dispatcher and its actions, written as the form writer writes it.
constexpr std::string_view kForm = R"({
  "form": "MainForm",
  "class": "TForm",
  "components": [
    {
      "class": "TWebDispatcher",
      "name": "Web",
      "properties": {
        "Actions": [
          {
            "Name": "Hello",
            "PathInfo": "/hello",
            "MethodType": "mtGet",
            "Enabled": true,
            "Default": false,
            "OnAction": "HelloAction"
          },
          {
            "Name": "Off",
            "PathInfo": "/off",
            "MethodType": "mtPost",
            "Enabled": false,
            "Default": false,
            "OnAction": "HelloAction"
          },
          {
            "Name": "Fallback",
            "PathInfo": "",
            "MethodType": "mtAny",
            "Enabled": true,
            "Default": true,
            "OnAction": "FallbackAction"
          }
        ]
      }
    }
  ]
}
)";

class DispatcherForm : public ::testing::Test {
 protected:
  void SetUp() override {
    TWebDispatcher::Class();
    handlers_.Add<THTTPMethodEvent>("HelloAction", [](TComponent*, TWebRequest&, TWebResponse& r,
                                                      bool&) { r.SetContent("hello"); });
    handlers_.Add<THTTPMethodEvent>("FallbackAction", [](TComponent*, TWebRequest&, TWebResponse& r,
                                                         bool&) { r.SetContent("fallback"); });
    handlers_.Add<void(TComponent*)>("NotAnAction", [](TComponent*) {});
  }

  std::unique_ptr<TComponent> Load(std::string_view text) {
    return platform::LoadFormText(text, "test.form", {.designing = false, .handlers = &handlers_});
  }

  static std::string Answer(TCustomWebDispatcher& dispatcher, std::string_view method,
                            std::string_view path) {
    FakeRequest request(method, path);
    FakeResponse response(request);
    return dispatcher.DispatchAction(request, response) ? response.GetContent() : "(not handled)";
  }

  platform::THandlerRegistry handlers_;
};

TEST_F(DispatcherForm, LoadsActionsWithTheirHandlersAndWritesThemBack) {
  auto form = Load(kForm);
  auto* web = dynamic_cast<TWebDispatcher*>(form->FindComponent("Web"));
  ASSERT_NE(web, nullptr);
  ASSERT_EQ(web->Actions().Count(), 3);
  const TWebActionItem& off = web->Actions()[1];
  EXPECT_EQ(off.Name, "Off");
  EXPECT_EQ(off.MethodType, mtPost);
  EXPECT_FALSE(off.Enabled);

  EXPECT_EQ(Answer(*web, "GET", "/hello"), "hello");
  EXPECT_EQ(Answer(*web, "POST", "/off"), "fallback");
  EXPECT_EQ(Answer(*web, "HEAD", "/hello"), "fallback");

  EXPECT_EQ(platform::WriteFormText(*form), kForm);
}

TEST_F(DispatcherForm, ActionsMadeInCodeAreWrittenWithoutHandlerNames) {
  platform::TForm form(nullptr);
  form.SetName("MainForm");
  auto& web = platform::Create<TWebDispatcher>(form);
  web.SetName("Web");
  web.Actions().Add("Code", "/code/*", mtHead,
                    [](TComponent*, TWebRequest&, TWebResponse&, bool&) {});
  const auto doc = platform::Json::parse(platform::WriteFormText(form));
  const auto& action = doc["components"][0]["properties"]["Actions"][0];
  EXPECT_EQ(doc["components"][0]["class"], "TWebDispatcher");
  EXPECT_EQ(action,
            platform::Json::parse(
                R"({"Name": "Code", "PathInfo": "/code/*", "MethodType": "mtHead", "Enabled": true,
                            "Default": false})"));
  // An action read with only its name takes the defaults.
  auto loaded = Load(R"({"form": "F", "components": [{"class": "TWebDispatcher", "name": "W",
                         "properties": {"Actions": [{"Name": "Bare"}]}}]})");
  const TWebActionItem& bare =
      dynamic_cast<TWebDispatcher&>(*loaded->FindComponent("W")).Actions()[0];
  EXPECT_EQ(bare.PathInfo, "");
  EXPECT_EQ(bare.MethodType, mtAny);
  EXPECT_TRUE(bare.Enabled);
  EXPECT_FALSE(bare.Default);
  EXPECT_FALSE(bare.OnAction);
}

struct BadActionCase {
  const char* name;
  const char* action;   // the JSON of the one action
  const char* message;  // a part of the error message
};

class BadAction : public DispatcherForm, public ::testing::WithParamInterface<BadActionCase> {};

TEST_P(BadAction, FailsTheLoadNamingTheFault) {
  const std::string text = std::string(R"({"form": "F", "components": [{"class": "TWebDispatcher",
      "name": "Web", "properties": {"Actions": [)") +
                           GetParam().action + "]}}]}";
  try {
    Load(text);
    FAIL() << "loaded";
  } catch (const platform::FormError& e) {
    EXPECT_EQ(e.Component(), "Web");
    EXPECT_EQ(e.Property(), "Actions");
    EXPECT_NE(std::string(e.what()).find(GetParam().message), std::string::npos) << e.what();
  }
}

INSTANTIATE_TEST_SUITE_P(
    , BadAction,
    ::testing::Values(
        BadActionCase{"UnknownHandler", R"({"Name": "A", "OnAction": "Nope"})",
                      R"(action 0 ("A"): no handler named "Nope")"},
        BadActionCase{"HandlerOfAnotherType", R"({"Name": "A", "OnAction": "NotAnAction"})",
                      R"(handler "NotAnAction" does not fit OnAction)"},
        BadActionCase{"UnknownMethodType", R"({"Name": "A", "MethodType": "mtDelete"})",
                      R"(unknown MethodType "mtDelete")"},
        BadActionCase{"UnknownField", R"({"Name": "A", "Path": "/a"})", R"(unknown field "Path")"},
        BadActionCase{"WrongType", R"({"Name": "A", "Enabled": "yes"})",
                      R"("Enabled" must be true or false)"},
        BadActionCase{"NoName", R"({"PathInfo": "/a"})",
                      R"(action 0: "Name" must be given as text)"},
        BadActionCase{"NotAnObject", R"("Hello")", "action 0: expected an object"}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace quorvin::web
