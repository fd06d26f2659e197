#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "quorvin/platform/core/form.h"
#include "server_test_support.h"

namespace quorvin::testing {
namespace {

using namespace std::chrono_literals;
net::Application& App() { return net::Application::Instance(); }

class ServerModule : public ::testing::Test {
 protected:
  void SetUp() override { WriteSite(root); }
  TempDir root;
};

TEST_F(ServerModule, LifetimeTimerClosesAnIdleConnection) {
  if (!kFirstBinding) GTEST_SKIP() << "the second binding has no lifetime timer";
  ServerForm server(root.Str(), {{"Timeout", 1}});
  const Exchange ex = Fetch(server.Port(), "GET /page.htm HTTP/1.0\r\n");  // never completed
  EXPECT_TRUE(ex.closed);
  EXPECT_EQ(ex.answer, "");
  EXPECT_TRUE(App().RunUntil([&] { return server.LiveConnections() == 0; }, 2s));
}

TEST_F(ServerModule, TimeoutZeroArmsNoLifetimeTimer) {
  if (!kFirstBinding) GTEST_SKIP() << "the second binding has no lifetime timer";
  // A connection's lifetime timer, by the module's Timeout: 0 means none at all (not the
  // default of 100 s, which no test could tell from none by waiting).
  for (const int timeout : {0, 100}) {
    SCOPED_TRACE(timeout);
    ServerForm server(root.Str(), {{"Timeout", timeout}});
    RawClient c(server.Port());
    c.Send("GET /page.htm HTTP/1.0\r\n");
    auto& sockets = dynamic_cast<net::TServerSocket&>(server.Listener()).Socket();
    ASSERT_TRUE(App().RunUntil([&] { return sockets.ActiveConnections() == 1; }, 5s));
    auto* connection = dynamic_cast<server::ZConnectionSocket*>(sockets.Connections(0));
    ASSERT_NE(connection, nullptr);
    EXPECT_EQ(connection->Timer->Armed(), timeout > 0);
    EXPECT_EQ(connection->Timer->Interval(), static_cast<std::uint32_t>(timeout) * 1000);
  }
}

TEST_F(ServerModule, PortInUseShowsTheMessageBox) {
  const int blocker = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(blocker, 1), 0);
  socklen_t len = sizeof addr;
  ::getsockname(blocker, reinterpret_cast<sockaddr*>(&addr), &len);
  const int port = ntohs(addr.sin_port);

  MessageCapture boxes;
  ServerForm server(root.Str(), {{"ServerPort", port}});
  ::close(blocker);
  ASSERT_EQ(boxes.Shown().size(), 1u);
  EXPECT_EQ(boxes.Shown()[0].first, "Error Initializing Socket : " + std::to_string(port));
  EXPECT_EQ(boxes.Shown()[0].second, "Quorvin Server");
  EXPECT_FALSE(server.Listener().Listening());
  // The module says why, in the system's words.
  EXPECT_FALSE(server.Module().Listening());
  EXPECT_EQ(server.Module().LastError(),
            "Cannot listen on port " + std::to_string(port) + ": Address already in use");
}

// Values the server could never use are refused at load, naming the property.
TEST_F(ServerModule, ImpossibleValuesAreRefusedAtLoad) {
  const std::vector<std::pair<std::string, platform::Json>> cases = {
      {"ServerPort", 80800},
      {"ServerPort", -1},
      {"MaxConnections", 0},
      {"HeaderTimeout", -5},
      {"MimeTypes", "wasm"},                       // no type
      {"MimeTypes", "a/b=text/plain"},             // not an extension
      {"MimeTypes", "x=plain"},                    // not a type
      {"MimeTypes", "x=text/plain\r\nSet-Cookie: a=b"},
      {"CacheControl", "max-age=1\r\nX: y"},
      {"DefaultType", "text/plain\n"},
      {"BindAddress", "example.org"},
      {"BindAddress", "127.0.0.256"}};
  for (const auto& [name, value] : cases) {
    SCOPED_TRACE(name + "=" + value.dump());
    try {
      ServerForm server(root.Str(), {{name, value}});
      ADD_FAILURE() << "loaded";
    } catch (const platform::FormError& e) {
      EXPECT_EQ(e.Property(), name);
    }
  }
}

// The file options from a form: the entries a program writes, read into the answers.
TEST_F(ServerModule, FileOptionsFromTheForm) {
  root.Write("app.wasm", "w");
  root.Write("notes", "n");
  ServerForm server(root.Str(), {{"ETags", 1},
                                 {"CacheControl", "no-cache"},
                                 {"MimeTypes", ".wasm=application/x-w; htm=text/x-h,,"},
                                 {"DefaultType", "text/plain"}});
  const auto type = [&](const std::string& path) {
    return ParseAnswer(server.Get("GET " + path + " HTTP/1.0\r\n\r\n").answer).Header("Content-type");
  };
  EXPECT_EQ(type("/app.wasm"), "application/x-w");
  EXPECT_EQ(type("/index.htm"), "text/x-h");
  EXPECT_EQ(type("/notes"), "text/plain");
  const auto answer = ParseAnswer(server.Get("GET /notes HTTP/1.0\r\n\r\n").answer);
  EXPECT_EQ(answer.Header("Cache-Control"), "no-cache");
  const std::string tag = answer.Header("ETag");
  EXPECT_FALSE(tag.empty());
  EXPECT_EQ(ParseAnswer(server.Get("GET /notes HTTP/1.0\r\nIf-None-Match: " + tag + "\r\n\r\n").answer).status_line,
            "HTTP/1.0 304 Not Modified");
  // A program's later assignment reaches the next connections.
  server.Module().DefaultType = "text/x-later";
  EXPECT_EQ(type("/notes"), "text/x-later");
}

// The options are compared with the properties at every connection and made again only when one
// differs.
TEST_F(ServerModule, FileOptionsMadeAgainOnlyWhenAPropertyChanges) {
  ServerForm server(root.Str());
  server::ListenerConfig& listener = server.Listener();
  EXPECT_EQ(listener.Files(), nullptr);
  server.Module().ETags = 1;
  const auto tagged = listener.Files();
  ASSERT_NE(tagged, nullptr);
  EXPECT_TRUE(tagged->etags);
  EXPECT_EQ(listener.Files(), tagged);
  server.Module().CacheControl = "no-store";
  const auto cached = listener.Files();
  ASSERT_NE(cached, tagged);
  EXPECT_TRUE(cached->etags);
  EXPECT_EQ(cached->cache_control, "no-store");
  server.Module().ETags = 0;
  server.Module().CacheControl.clear();
  EXPECT_EQ(listener.Files(), nullptr);
}

TEST_F(ServerModule, SettersReachTheRunningListener) {
  TempDir other;
  other.Write("index.htm", "<html>other</html>");
  ServerForm server(root.Str());
  auto& m = server.Module();

  EXPECT_FALSE(m.SetRoot(root.Str() + "/no-such-folder"));
  EXPECT_TRUE(m.SetRoot(other.Str()));
  EXPECT_EQ(m.ServerRoot, other.Str());
  EXPECT_EQ(ParseAnswer(server.Get("GET / HTTP/1.0\r\n\r\n").answer).body, "<html>other</html>");

  EXPECT_TRUE(m.SetRoot(root.Str()));
  EXPECT_FALSE(m.SetFile("nope.htm"));
  EXPECT_TRUE(m.SetFile("default.htm"));
  EXPECT_EQ(ParseAnswer(server.Get("GET / HTTP/1.0\r\n\r\n").answer).body, "<html>default</html>");

  const int before = server.Port();
  m.ServerPort = 1;  // the property alone changes nothing in the running server
  EXPECT_EQ(server.Port(), before);
  m.SetPort(0);
  EXPECT_EQ(m.ServerPort, 0);
  EXPECT_TRUE(server.Listener().Listening());
  EXPECT_EQ(ParseAnswer(server.Get("GET /page.htm HTTP/1.0\r\n\r\n").answer).body, "<html>page</html>");

  m.SetRequest(0);
  EXPECT_EQ(server.Listener().MaxRequest(), 60);
  m.SetRequest(7);
  EXPECT_EQ(server.Listener().MaxRequest(), 7);
  EXPECT_EQ(m.MaxRequest, 60);
}

TEST_F(ServerModule, ListenerNormalisesItsSettings) {
  struct Case {
    platform::Json props;
    int module_max, listener_max;
    std::string root, default_file;
  };
  const std::string cwd = std::filesystem::current_path().string();
  const Case cases[] = {
      {{{"MaxRequest", 3}}, 60, 60, root.Str(), "index.htm"},
      {{{"MaxRequest", 5}}, 5, 5, root.Str(), "index.htm"},
      {{{"ServerRoot", root.Str() + "/missing"}}, 60, 60, cwd, "index.htm"},
      {{{"DefaultFile", "nothing.htm"}}, 60, 60, root.Str(), "index.htm"},
      {{{"DefaultFile", "default.htm"}}, 60, 60, root.Str(), "default.htm"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.props.dump());
    ServerForm server(root.Str(), c.props);
    EXPECT_EQ(server.Module().MaxRequest, c.module_max);
    EXPECT_EQ(server.Listener().MaxRequest(), c.listener_max);
    EXPECT_EQ(server.Listener().Root(), c.root);
    EXPECT_EQ(server.Listener().DefaultFile(), c.default_file);
    EXPECT_EQ(server.Module().Timeout, 100);
  }
  ServerForm missing_root(root.Str(), {{"ServerRoot", "/no/such/root"}});
  EXPECT_EQ(missing_root.Module().ServerRoot, "/no/such/root");  // the property keeps its text
}

TEST_F(ServerModule, DesignTimeValuesAndMainFormCheck) {
  MessageCapture boxes;
  platform::TForm form(nullptr);
  form.SetDesigning(true);
  auto& first = platform::Create<server::TSvrModule>(form);
  auto& second = platform::Create<server::TSvrModule>(form);
  EXPECT_EQ(first.ServerPort, 80);
  EXPECT_EQ(second.ServerPort, 81);
  EXPECT_EQ(second.MaxRequest, 60);
  EXPECT_EQ(second.Timeout, 100);
  EXPECT_EQ(second.DefaultFile, "index.htm");
  EXPECT_EQ(second.ServerRoot, std::filesystem::current_path().string());
  EXPECT_TRUE(boxes.Shown().empty());
  EXPECT_EQ(first.Listener, nullptr);  // only reading a form opens a listener

  platform::TComponent not_a_form(nullptr);
  not_a_form.SetDesigning(true);
  platform::Create<server::TSvrModule>(not_a_form);
  ASSERT_EQ(boxes.Shown().size(), 1u);
  EXPECT_EQ(boxes.Shown()[0], (std::pair<std::string, std::string>{"Quorvin Server Component must be in Main Form.",
                                                                    "Quorvin Server"}));
}

TEST_F(ServerModule, ModuleMadeInCodeHasNoListener) {
  platform::TForm form(nullptr);
  auto& m = platform::Create<server::TSvrModule>(form);
  EXPECT_FALSE(m.SetRoot(root.Str()));
  EXPECT_FALSE(m.SetFile("index.htm"));
  m.SetPort(1234);
  EXPECT_EQ(m.ServerPort, 0);
}

// A listener whose next starts fail while told to, as a real one fails when its port was taken
// while it was closed.
class FlakyListener final : public server::ListenerConfig {
 public:
  explicit FlakyListener(const std::string& root) {
    listening = false;
    SetRoot(root);
    listening = true;
  }
  bool Listening() const override { return listening; }
  void StartListening() override {
    if (failures > 0) {
      --failures;
      throw std::runtime_error("Cannot listen on port 8080: Address already in use");
    }
    listening = true;
  }
  void StopListening() override { listening = false; }
  void SetListenPort(int) override {}
  void SetListenAddress(const std::string&) override {}
  int ListenPort() const override { return 8080; }
  int OpenConnections() const override { return 0; }

  bool listening = true;
  int failures = 0;
};

class FlakyModule final : public server::ServerModule {
 public:
  explicit FlakyModule(FlakyListener& listener)
      : ServerModule(nullptr, [](const platform::TComponent*) { return false; }), listener_(listener) {}
  server::ListenerConfig* ListenerSettings() const override { return &listener_; }

 private:
  void CreateListener() override {}
  void OpenListener() override {}
  FlakyListener& listener_;
};

TEST_F(ServerModule, FailingRestartKeepsTheOldRootAndSaysWhy) {
  TempDir other;
  struct Case {
    int failures;
    bool listening_after;
  };
  // One failure: the old root listens again. Two: it stays closed, with the old root all the same.
  for (const Case& c : {Case{1, true}, Case{2, false}}) {
    SCOPED_TRACE(c.failures);
    FlakyListener listener(root.Str());
    FlakyModule module(listener);
    module.ServerRoot = root.Str();
    listener.failures = c.failures;
    EXPECT_FALSE(module.SetRoot(other.Str()));
    EXPECT_EQ(module.ServerRoot, root.Str());
    EXPECT_EQ(listener.Root(), root.Str());
    EXPECT_EQ(listener.listening, c.listening_after);
    EXPECT_EQ(module.LastError(), "Cannot listen on port 8080: Address already in use");

    module.DefaultFile = "index.htm";
    listener.listening = false;
    listener.SetDefaultFile("index.htm");
    listener.failures = c.failures;
    listener.listening = true;
    EXPECT_FALSE(module.SetFile("default.htm"));
    EXPECT_EQ(listener.DefaultFile(), "index.htm");
    EXPECT_EQ(module.DefaultFile, "index.htm");

    // A restart that works clears the reason.
    listener.listening = true;
    EXPECT_TRUE(module.SetRoot(other.Str()));
    EXPECT_EQ(listener.Root(), other.Str());
    EXPECT_EQ(module.LastError(), "");
  }
}

}  // namespace
}  // namespace quorvin::testing
