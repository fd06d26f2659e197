// quorvin-serve: runs a Quorvin web server on a main form, either described by a form file
// (--form) or built from the options, until SIGINT or SIGTERM; with --workers, several
// processes serve on one port under a supervisor (supervisor.h).
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "quorvin/platform/core/form_file.h"
#include "quorvin/platform/core/text.h"
#include "quorvin/platform/net/application.h"
#include "quorvin/platform/net/shared_listen_socket.h"
#include "quorvin/platform/net/stop_signals.h"
#include "quorvin/platform/net/tls.h"
#include "quorvin/platform/web/web_dispatcher.h"
#include "quorvin/server/file_settings.h"
#include "quorvin/server/tarn_dw_server.h"
#include "quorvin/server/tarn_server.h"
#include "demo_actions.h"
#include "file_upload.h"
#include "supervisor.h"

namespace {

using quorvin::platform::Json;

using quorvin::server::FileProperties;
using quorvin::server::FileProperty;

// The usage: the program's own options, and the file options as the server module describes
// its file properties.
const std::string& Usage() {
  static const std::string text = [] {
    constexpr std::string_view kIndent = "                     ";
    std::string usage =
        "usage: quorvin-serve [--form FILE] [--root DIR] [--port N] [--bind ADDRESS] [--default-file NAME]\n"
        "                     [--timeout SECONDS] [--max-request N] [--binding scktcomp|dwinsock]\n"
        "                     [--no-dispatcher] [--max-connections N] [--header-timeout SECONDS]\n"
        "                     [--body-timeout SECONDS] [--send-timeout SECONDS] [--max-body BYTES]\n"
        "                     [--body-memory BYTES] [--body-folder DIR]\n"
        "                     [--keep-alive | --no-keep-alive] [--keep-alive-timeout SECONDS]\n"
        "                     [--keep-alive-requests N] [--tls-cert FILE --tls-key FILE]\n"
        "                     [--upload [--overwrite]]\n";
    std::string line(kIndent);
    std::string help;
    for (const FileProperty& p : FileProperties::Table()) {
      if (p.option == nullptr) continue;  // set from another option
      std::string option = p.option;
      if (p.value_name != nullptr) option += std::string(" ") + p.value_name;
      std::string item = "[" + option + "]" + (p.repeated ? "..." : "");
      if (line.size() > kIndent.size() && line.size() + 1 + item.size() > 100) {
        usage += line + "\n";
        line = kIndent;
      }
      line += (line.size() > kIndent.size() ? " " : "") + item;
      option.resize(std::max<std::size_t>(option.size() + 2, 24), ' ');
      help += "  " + option + p.name + ": " + p.help + "\n";
    }
    usage += line + "\n";
    usage += std::string(kIndent) + "[--workers N|auto]\n";
    usage +=
        "With --form the form's server module is used; --port and --root, when given, override\n"
        "its ServerPort and ServerRoot.\n"
        "--workers N starts N processes serving on the one port (auto: one per usable core) under a\n"
        "supervisor that restarts any that dies; SIGTERM or SIGINT lets them finish the answers in\n"
        "flight, SIGHUP reads the form again and replaces them one by one.\n"
        "--upload takes uploads into the served folder: PUT /path/name stores the body as that\n"
        "file (201 Created); an existing file is not replaced (409) unless --overwrite (204).\n"
        "The folder must exist (409 otherwise); names beginning with \".\" are refused (403); a\n"
        "body beyond --max-body is refused (413). The file appears only once its body is whole.\n"
        "A multipart/form-data POST to a folder stores each file part under its own name there\n"
        "(303 back to the folder); with --listing, listings show a form that posts one.\n"
        "File answers (each option sets the server module's property it names; not with --form):\n";
    return usage + help;
  }();
  return text;
}

struct Options {
  std::optional<std::string> form;
  std::string root = QUORVIN_SITE_DIR;
  int port = 8080;
  bool root_given = false;
  bool port_given = false;
  std::string default_file = "index.htm";
  int timeout = 100;
  int max_request = 60;
  std::string binding = "scktcomp";
  bool dispatcher = true;
  // Connections: the program keeps them open for browsers and load testers unless told not
  // to; the other values are the component's own defaults.
  int max_connections = quorvin::server::ServerModule::kDefaultMaxConnections;
  int header_timeout = 20;
  int body_timeout = 20;
  int send_timeout = 30;
  int max_body = quorvin::server::ServerModule::kDefaultMaxBody;
  int body_memory = quorvin::server::ServerModule::kDefaultBodyMemory;
  std::string body_folder;
  bool keep_alive = true;
  int keep_alive_timeout = 5;
  int keep_alive_requests = 100;
  std::string tls_cert;  // HTTPS: the certificate chain and its key (PEM)
  std::string tls_key;
  std::string bind;           // where to listen: "" for every address
  FileProperties files;       // how files are answered
  int workers = 1;            // processes serving the port; 1: this one alone, no supervisor
  bool upload = false;        // PUT stores files under the root
  bool overwrite = false;     // ... and may replace existing ones
};

[[noreturn]] void Fail(const std::string& message) {
  std::fprintf(stderr, "quorvin-serve: %s\n%s", message.c_str(), Usage().c_str());
  std::exit(2);
}

// The file option named `arg`; nullptr when it is none.
const FileProperty* FindFileOption(std::string_view arg) {
  for (const FileProperty& p : FileProperties::Table()) {
    if (p.option != nullptr && arg == p.option) return &p;
  }
  return nullptr;
}

// Sets the file property that option `p` stands for, refusing a value the property would not take.
void SetFileOption(FileProperties& files, const FileProperty& p, std::string_view value) {
  if (p.flag != nullptr) {
    files.*p.flag = 1;
    return;
  }
  const auto ok = p.option_ok != nullptr ? p.option_ok : p.ok;
  if (ok != nullptr && !ok(value))
    Fail(std::string(p.option) + (p.option_refusal != nullptr ? p.option_refusal : p.refusal));
  std::string& text = files.*p.text;
  if (!p.repeated) text.clear();
  if (!text.empty()) text += ',';
  text += value;
}

int IntOption(std::string_view name, std::string_view value, int min, int max) {
  const auto v = quorvin::platform::ParseDecimal32(value);
  if (!v || *v < min || *v > max) {
    Fail(std::string(name) + " takes a whole number from " + std::to_string(min) + " to " + std::to_string(max));
  }
  return *v;
}

// A size in bytes, with K, M or G for KiB, MiB, GiB ("16M"), up to 2 GiB less one byte.
int SizeOption(std::string_view name, std::string_view value) {
  std::int64_t unit = 1;
  if (!value.empty()) {
    switch (value.back()) {
      case 'k': case 'K': unit = 1024; break;
      case 'm': case 'M': unit = 1024 * 1024; break;
      case 'g': case 'G': unit = 1024 * 1024 * 1024; break;
      default: break;
    }
    if (unit != 1) value.remove_suffix(1);
  }
  const auto v = quorvin::platform::ParseDecimal32(value);
  if (!v || *v < 0 || *v * unit > 0x7FFFFFFF) {
    Fail(std::string(name) + " takes a number of bytes (K, M or G after it for KiB, MiB, GiB) below 2G");
  }
  return static_cast<int>(*v * unit);
}

Options Parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    auto value = [&]() -> std::string_view {
      if (i + 1 >= argc) Fail(std::string(arg) + " needs a value");
      return argv[++i];
    };
    if (arg == "--form") o.form = std::string(value());
    else if (arg == "--root") {
      o.root = std::string(value());
      o.root_given = true;
    } else if (arg == "--port") {
      o.port = IntOption(arg, value(), 0, 65535);
      o.port_given = true;
    }
    else if (arg == "--default-file") o.default_file = std::string(value());
    else if (arg == "--timeout") o.timeout = IntOption(arg, value(), 0, 2'000'000);
    else if (arg == "--max-request") o.max_request = IntOption(arg, value(), 0, 1'000'000);
    else if (arg == "--binding") o.binding = std::string(value());
    else if (arg == "--no-dispatcher") o.dispatcher = false;
    else if (arg == "--max-connections")
      o.max_connections = IntOption(arg, value(), 1, 1'000'000);
    else if (arg == "--header-timeout")
      o.header_timeout = IntOption(arg, value(), 0, 2'000'000);
    else if (arg == "--body-timeout")
      o.body_timeout = IntOption(arg, value(), 0, 2'000'000);
    else if (arg == "--send-timeout")
      o.send_timeout = IntOption(arg, value(), 0, 2'000'000);
    else if (arg == "--max-body")
      o.max_body = SizeOption(arg, value());
    else if (arg == "--body-memory")
      o.body_memory = SizeOption(arg, value());
    else if (arg == "--body-folder")
      o.body_folder = std::string(value());
    else if (arg == "--keep-alive") o.keep_alive = true;
    else if (arg == "--no-keep-alive") o.keep_alive = false;
    else if (arg == "--keep-alive-timeout")
      o.keep_alive_timeout = IntOption(arg, value(), 0, 2'000'000);
    else if (arg == "--keep-alive-requests")
      o.keep_alive_requests = IntOption(arg, value(), 1, 1'000'000);
    else if (arg == "--tls-cert") o.tls_cert = std::string(value());
    else if (arg == "--tls-key") o.tls_key = std::string(value());
    else if (arg == "--bind") {
      o.bind = std::string(value());
      if (!quorvin::server::ServerModule::BindAddressOk(o.bind)) Fail("--bind takes an IP address or localhost");
    } else if (const FileProperty* p = FindFileOption(arg)) {
      SetFileOption(o.files, *p, p->value_name != nullptr ? value() : std::string_view());
    } else if (arg == "--workers") {
      const std::string_view n = value();
      if (n == "auto") {
        cpu_set_t cpus;
        CPU_ZERO(&cpus);
        o.workers = ::sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? std::max(CPU_COUNT(&cpus), 1) : 1;
      } else {
        const auto v = quorvin::platform::ParseDecimal32(n);
        if (!v || *v < 1 || *v > 256) Fail("--workers takes a whole number from 1 to 256, or auto");
        o.workers = *v;
      }
    }
    else if (arg == "--upload") o.upload = true;
    else if (arg == "--overwrite") o.overwrite = true;
    else if (arg == "-h" || arg == "--help") {
      std::fputs(Usage().c_str(), stdout);
      std::exit(0);
    } else {
      Fail("unknown option " + std::string(arg));
    }
  }
  if (o.binding != "scktcomp" && o.binding != "dwinsock") Fail("--binding is scktcomp or dwinsock");
  if (o.tls_cert.empty() != o.tls_key.empty()) Fail("--tls-cert and --tls-key go together");
  if (o.overwrite && !o.upload) Fail("--overwrite goes with --upload");
  if (!o.body_folder.empty() && !std::filesystem::is_directory(o.body_folder)) {
    Fail("--body-folder " + o.body_folder + " is not a folder");
  }
  // The component serves the current folder when its stored root is missing; a root asked for
  // on the command line must exist.
  if (o.root_given && !std::filesystem::is_directory(o.root)) {
    std::fprintf(stderr, "quorvin-serve: --root %s is not a folder\n", o.root.c_str());
    std::exit(2);
  }
  return o;
}

// The main form the options describe: one server module with its stored properties and,
// unless --no-dispatcher, a web dispatcher holding the demo actions, which the module finds
// on its form.
std::string FormFromOptions(const Options& o) {
  Json module = {{"class", o.binding == "dwinsock" ? "TDwSvrModule" : "TSvrModule"},
                 {"name", "Server"},
                 {"properties",
                  {{"ServerRoot", o.root},
                   {"DefaultFile", o.default_file},
                   {"ServerPort", o.port},
                   {"MaxRequest", o.max_request},
                   {"Timeout", o.timeout},
                   {"MaxConnections", o.max_connections},
                   {"HeaderTimeout", o.header_timeout},
                   {"BodyTimeout", o.body_timeout},
                   {"SendTimeout", o.send_timeout},
                   {"MaxBody", o.max_body},
                   {"BodyMemory", o.body_memory},
                   {"BodyFolder", o.body_folder},
                   {"KeepAlive", o.keep_alive ? 1 : 0},
                   {"KeepAliveTimeout", o.keep_alive_timeout},
                   {"KeepAliveRequests", o.keep_alive_requests},
                   {"TLSCertificate", o.tls_cert},
                   {"TLSKey", o.tls_key},
                   {"BindAddress", o.bind}}}};
  Json& properties = module["properties"];
  for (const FileProperty& p : FileProperties::Table()) {
    if (p.flag != nullptr) {
      properties[p.name] = o.files.*p.flag;
    } else {
      properties[p.name] = o.files.*p.text;
    }
  }
  Json components = Json::array();
  if (o.dispatcher) {
    components.push_back({{"class", "TWebDispatcher"},
                          {"name", "Actions"},
                          {"properties", {{"Actions", quorvin::apps::DemoActions()}}}});
  }
  components.push_back(module);
  Json form = {{"form", "MainForm"}, {"class", "TForm"}, {"components", components}};
  return form.dump();
}

// The form file, with --port and --root (when given) in place of its server module's own values,
// so that the listener opens where the command line says.
std::unique_ptr<quorvin::platform::TComponent> LoadWithOverrides(const Options& o,
                                                                 const quorvin::platform::FormOptions& load) {
  if (!o.port_given && !o.root_given) return quorvin::platform::LoadFormFile(*o.form, load);
  std::ifstream in(*o.form, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open the form file " + *o.form + ": " + std::strerror(errno));
  std::stringstream text;
  text << in.rdbuf();
  Json form = Json::parse(text.str(), nullptr, false);
  if (form.is_discarded() || !form.is_object())
    return quorvin::platform::LoadFormText(text.str(), *o.form, load);  // its own message
  for (Json& c : form["components"]) {
    if (!c.is_object() || !c.contains("class")) continue;
    const Json& kind = c["class"];
    if (kind != "TSvrModule" && kind != "TDwSvrModule") continue;
    if (o.port_given) c["properties"]["ServerPort"] = o.port;
    if (o.root_given) c["properties"]["ServerRoot"] = o.root;
  }
  return quorvin::platform::LoadFormText(form.dump(), *o.form, load);
}

quorvin::server::ServerModule* FindServer(const quorvin::platform::TComponent& form) {
  for (int i = 0; i < form.ComponentCount(); ++i) {
    if (auto* m = dynamic_cast<quorvin::server::ServerModule*>(form.Components(i))) return m;
  }
  return nullptr;
}

// Loads the main form and finds its listening server module; nullptr, having said why on
// stderr, when it does not load or does not listen.
std::unique_ptr<quorvin::platform::TComponent> LoadServer(const Options& options, quorvin::server::ListenerConfig*& listener) {
  using namespace quorvin;
  platform::THandlerRegistry handlers;
  apps::AddDemoHandlers(handlers);
  platform::FormOptions load;
  load.handlers = &handlers;
  std::unique_ptr<platform::TComponent> form;
  try {
    form = options.form ? LoadWithOverrides(options, load)
                        : platform::LoadFormText(FormFromOptions(options), "command line", load);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quorvin-serve: %s\n", e.what());
    return nullptr;
  }
  auto* module = FindServer(*form);
  if (module == nullptr) {
    std::fprintf(stderr, "quorvin-serve: the form holds no server module\n");
    return nullptr;
  }
  listener = module->ListenerSettings();
  if (listener == nullptr || !listener->Listening()) {
    // The message box said what failed; the module knows why.
    if (!module->LastError().empty()) std::fprintf(stderr, "quorvin-serve: %s\n", module->LastError().c_str());
    return nullptr;
  }
  if (options.upload) {
    // Uploads come after the form's own actions; a form without a dispatcher gets one for them
    // alone.
    if (module->Dispatcher == nullptr) {
      module->Dispatcher = &platform::Create<web::TWebDispatcher>(*form);
    }
    apps::AddUploadAction(*module->Dispatcher, {listener->RootPath(), options.overwrite});
    // Listings (where --listing or the form turns them on) offer a form for what it takes.
    module->ListingUploadForm = 1;
  }
  return form;
}

}  // namespace

// Each connection holds a descriptor, and the bound on connections may be above the soft limit
// a shell gives a process (often 1024): the program may raise it to the hard one.
void RaiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

int main(int argc, char** argv) {
  using namespace quorvin;
  const Options options = Parse(argc, argv);
  RaiseDescriptorLimit();
  server::TSvrModule::Class();
  server::TDwSvrModule::Class();
  web::TWebDispatcher::Class();

  // A worker listens on its supervisor's socket; a supervisor opens that socket as the form
  // says and keeps it for its workers.
  const auto worker = apps::WorkerLink::FromEnvironment();
  std::unique_ptr<net::SharedListenSocket> shared;
  try {
    if (worker) shared = net::SharedListenSocket::Inherit(worker->listen_fd);
    else if (options.workers > 1) shared = net::SharedListenSocket::KeepFirstOpened();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quorvin-serve: %s\n", e.what());
    return 1;
  }

  server::ListenerConfig* listener = nullptr;
  std::unique_ptr<platform::TComponent> form = LoadServer(options, listener);
  if (!form) return 1;
  std::signal(SIGPIPE, SIG_IGN);
  if (worker) {
    const int status = apps::RunWorker(*worker, *listener, std::move(shared));
    form.reset();
    return status;
  }

  if (listener->Tls()) {
    std::printf("HTTPS: %s\n", listener->Tls()->KernelTls()
                                   ? "kernel TLS offered; files leave with SSL_sendfile"
                                   : "no kernel TLS here; files are encrypted as they are read, "
                                     "in 16 KiB records");
  }
  if (options.workers > 1) {
    const int port = listener->ListenPort();
    form.reset();  // the workers serve; this process only watches them
    apps::SupervisorSettings settings;
    settings.workers = options.workers;
    settings.argv.assign(argv, argv + argc);
    settings.shared = std::move(shared);
    settings.check_form = [&options] {
      server::ListenerConfig* ignored = nullptr;
      return LoadServer(options, ignored) != nullptr;
    };
    settings.on_ready = [port] {
      std::printf("Listening on port %d\n", port);
      std::fflush(stdout);
    };
    return apps::Supervise(std::move(settings));
  }

  auto& app = net::Application::Instance();
  net::StopOnSignals stop;
  std::printf("Listening on port %d\n", listener->ListenPort());
  std::fflush(stdout);
  app.Run();
  form.reset();
  return 0;
}
