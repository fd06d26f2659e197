#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <string>

#include "quorvin/platform/core/form_file.h"
#include "quorvin/platform/net/application.h"
#include "quorvin/server/tarn_server.h"
#include "raw_client.h"
#include "test_support.h"

namespace quorvin::testing {

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

// A main form with one server module on `root`, loaded as a form file would be.
class ServerForm {
 public:
  explicit ServerForm(const std::string& root, platform::Json extra = platform::Json::object()) {
    server::TSvrModule::Class();
    platform::Json props = {{"ServerRoot", root}, {"DefaultFile", "index.htm"}, {"ServerPort", 0}};
    for (auto& [k, v] : extra.items()) props[k] = v;
    platform::Json doc = {{"form", "Main"},
                          {"components", {{{"class", "TSvrModule"}, {"name", "Server"}, {"properties", props}}}}};
    form_ = platform::LoadFormText(doc.dump(), "test form");
    module_ = dynamic_cast<server::TSvrModule*>(form_->Components(0));
  }
  server::TSvrModule& Module() { return *module_; }
  server::ZServerSocket& Listener() { return *module_->Listener; }
  int Port() { return Listener().LocalPort(); }
  Exchange Get(std::string_view request) { return Fetch(Port(), request); }

 private:
  std::unique_ptr<platform::TComponent> form_;
  server::TSvrModule* module_ = nullptr;
};

}  // namespace quorvin::testing
