#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <regex>
#include <string>

#include "quorvin/platform/core/form_file.h"
#include "quorvin/platform/net/application.h"
#include "quorvin/server/tarn_dw_server.h"
#include "quorvin/server/tarn_server.h"
#include "raw_client.h"
#include "test_support.h"

// The suite runs once per socket binding: the build compiles it twice, naming the binding.
#ifndef QUORVIN_TEST_BINDING
#define QUORVIN_TEST_BINDING "scktcomp"
#endif

namespace quorvin::testing {

inline constexpr std::string_view kBinding = QUORVIN_TEST_BINDING;
inline constexpr bool kFirstBinding = kBinding == "scktcomp";

// The server module class of the binding under test.
inline const char* ModuleClass() {
  server::TSvrModule::Class();
  server::TDwSvrModule::Class();
  return kFirstBinding ? "TSvrModule" : "TDwSvrModule";
}

// A document root with the files the server tests ask for.
inline void WriteSite(const TempDir& root) {
  root.Write("index.htm", "<html>home</html>");
  root.Write("page.htm", "<html>page</html>");
  root.Write("empty.txt", "");
  root.Write("style.css", "body{}");
  root.Write("notes.qvx", "unregistered");
  root.Write("docs/index.htm", "<html>docs</html>");
  root.Write("nodefault/x.htm", "x");
  root.Write(".hidden", "secret");
  root.Write(".git/config", "secret config");
  root.Write("sub/.env", "PASSWORD=1");
  root.Write("sub/ok.txt", "ok");
  root.Write("default.htm", "<html>default</html>");
}

// The Date header changes by the second; answers are compared with it blanked.
inline std::string BlankDates(const std::string& answer) {
  static const std::regex date("(Date|Last-Modified): [^\r]*\r\n");
  return std::regex_replace(answer, date, "$1: *\r\n");
}

// Runs `client` on a thread of its own while this thread runs the loop; true when it ended
// within `limit` (its sockets give up after their own timeouts in any case).
inline bool WithClient(const std::function<void()>& client,
                       std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  std::atomic<bool> done{false};
  std::thread t([&] {
    client();
    done = true;
  });
  const bool ended = net::Application::Instance().RunUntil([&] { return done.load(); }, limit);
  t.join();
  return ended;
}

// A main form with one server module on `root`, loaded as a form file would be.
class ServerForm {
 public:
  explicit ServerForm(const std::string& root, platform::Json extra = platform::Json::object()) {
    platform::Json props = {{"ServerRoot", root}, {"DefaultFile", "index.htm"}, {"ServerPort", 0}};
    for (auto& [k, v] : extra.items()) props[k] = v;
    platform::Json doc = {{"form", "Main"},
                          {"components", {{{"class", ModuleClass()}, {"name", "Server"}, {"properties", props}}}}};
    form_ = platform::LoadFormText(doc.dump(), "test form");
    module_ = dynamic_cast<server::ServerModule*>(form_->Components(0));
  }
  server::ServerModule& Module() { return *module_; }
  server::ListenerConfig& Listener() { return *module_->ListenerSettings(); }
  int Port() { return Listener().ListenPort(); }
  Exchange Get(std::string_view request) { return Fetch(Port(), request); }
  // The connections the binding holds now.
  int LiveConnections() { return Listener().OpenConnections(); }

 private:
  std::unique_ptr<platform::TComponent> form_;
  server::ServerModule* module_ = nullptr;
};

}  // namespace quorvin::testing
