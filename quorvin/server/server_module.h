#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <string>
#include <string_view>
#include <vector>

#include "quorvin/platform/core/classes.h"
#include "quorvin/platform/core/component.h"
#include "quorvin/server/connection_context.h"
#include "quorvin/server/file_settings.h"

namespace quorvin::web {
class TCustomWebDispatcher;
}

namespace quorvin::net {
class TlsContext;
}

namespace quorvin::server {

class ServerModule;

constexpr const char* kMessageTitle = "Quorvin Server";

// The listener's configuration and its rules, shared by the listeners of both socket bindings,
// which supply only how to listen and stop. Its connections see it as their context.
class ListenerConfig : public ConnectionContext {
 public:
  virtual ~ListenerConfig() = default;

  // The bound on simultaneous connections, from the module (MaxConnections).
  virtual std::int32_t ConnectionBound() const;
  // What each new connection takes from the module.
  ConnectionLimits Limits() const override;
  // How files are answered, from the module's properties; nullptr when they ask for nothing
  // beyond the defaults. Made again only when the properties change.
  std::shared_ptr<const FileOptions> Files() const override;
  // The checked default document; each new connection copies it.
  const std::string& DefaultFile() const override { return default_file_; }
  // The root as a full path without a trailing separator ("" for the file system's root):
  // what request paths are joined to and checked against.
  const std::string& RootPath() const override { return root_path_; }
  // The module's dispatcher, as it is now.
  web::TCustomWebDispatcher* Dispatcher() const override;
  void AddIdle(IdleConnection& connection) override;
  void RemoveIdle(IdleConnection& connection) override;
  void CountConnection(int change) override { connection_count_ += change; }
  // The module's Timeout.
  std::int32_t LifetimeSeconds() const override;

  // Closes the connection that has been idle longest; false when none is idle.
  bool CloseOldestIdle();

  // The checked document root, as given (no separator added).
  const std::string& Root() const { return root_; }
  // Kept; nothing limits by it.
  std::int32_t MaxRequest() const { return max_request_; }
  // With a context every connection accepted from now on speaks TLS (HTTPS) from its first byte.
  const std::shared_ptr<net::TlsContext>& Tls() const { return tls_; }
  void SetTls(std::shared_ptr<net::TlsContext> tls) { tls_ = std::move(tls); }

  // Takes `value` as root when it names an existing directory, closing and reopening a
  // listening listener around the change. When the reopen fails, the old root is restored, the
  // listener reopened with it if it can be, and the failure raised to the caller.
  bool SetRoot(std::string_view value);
  // Takes `value` as default document when that file exists under the root; a failing reopen
  // as with SetRoot.
  bool SetDefaultFile(std::string_view value);
  // Moves the listener to `port`; a listening listener is closed and reopened, and a failing
  // reopen is raised to the caller (the listener then stays closed on the new port).
  void SettingPort(int port);
  void SetRequest(std::int32_t value);

  virtual bool Listening() const = 0;
  virtual void StartListening() = 0;
  virtual void StopListening() = 0;
  virtual void SetListenPort(int port) = 0;
  // Where the listener listens at its next start: an IP address, "localhost", or "" for every one.
  virtual void SetListenAddress(const std::string& address) = 0;
  // The port listened on (the system's pick when the port asked for was 0).
  virtual int ListenPort() const = 0;
  // The connections open now, kept idle ones included.
  virtual int OpenConnections() const = 0;

 protected:
  // Copies and checks the module's settings: a MaxRequest below 5 becomes 60 (in the module
  // too), a missing root becomes the current directory, and a default document missing under
  // the root becomes "index.htm".
  void Configure(ServerModule& module);
  // The connections counted in and not yet out.
  std::int32_t CountedConnections() const { return connection_count_; }

 private:
  void UpdateRootPath();
  // Stops a listening listener, makes the change, and starts it again; when the start fails,
  // undoes the change, starts again if it can, and raises the first failure.
  void Restart(const std::function<void()>& change, const std::function<void()>& undo);
  ServerModule* module_ = nullptr;
  std::string default_file_;
  std::string root_;
  std::string root_path_;
  std::int32_t connection_count_ = 0;
  std::int32_t max_request_ = 0;
  std::shared_ptr<net::TlsContext> tls_;
  // The options made from the module's file properties, and the properties they were made
  // from: compared in place at each connection, made again when one differs.
  mutable std::shared_ptr<const FileOptions> files_;
  mutable FileProperties files_source_;
  mutable bool files_made_ = false;
  // The module's BodyFolder as connections share it, made again when it changes.
  mutable std::shared_ptr<const std::string> body_folder_;
  std::vector<IdleConnection*> idle_;
};

// What the two server modules share: the published properties and the rules for reading the
// form, picking the dispatcher and opening the listener. Each binding supplies its listener.
class ServerModule : public platform::TComponent, public FileProperties {
 public:
  std::string DefaultFile;
  std::string ServerRoot;
  std::int32_t MaxRequest = 0;
  std::int32_t ServerPort = 0;
  web::TCustomWebDispatcher* Dispatcher = nullptr;  // not owned; cleared when it goes
  std::int32_t Timeout = 100;                       // connection lifetime in seconds; 0 = none
  // Clients beyond this many at a time wait in the backlog until a connection ends.
  std::int32_t MaxConnections = kDefaultMaxConnections;
  // Deadlines of a connection's phases, in seconds (0: none): the request head, the pauses in
  // a request body, and an answer the peer takes no bytes of. Timeout stays the outer bound.
  std::int32_t HeaderTimeout = 20;
  std::int32_t BodyTimeout = 20;
  std::int32_t SendTimeout = 30;
  // How long a web action that answers later may take to begin its answer, in seconds (0: no
  // limit); the request is answered 504 beyond it.
  std::int32_t AnswerTimeout = 60;
  // The largest request body taken, in bytes; a larger one is answered 413 and the connection
  // closed.
  std::int32_t MaxBody = kDefaultMaxBody;
  // The most of a request body held in memory, in bytes; a larger body waits for its action in
  // a file without a name in BodyFolder ("" for $TMPDIR, else /tmp), gone when the request ends.
  std::int32_t BodyMemory = kDefaultBodyMemory;
  std::string BodyFolder;
  // Persistent connections: off, every answer closes its connection. On, an HTTP/1.1 request
  // (or an HTTP/1.0 one asking for keep-alive) keeps it for the next request, for at most
  // KeepAliveRequests requests and KeepAliveTimeout seconds of waiting between them.
  std::int32_t KeepAlive = 0;
  std::int32_t KeepAliveTimeout = 5;
  std::int32_t KeepAliveRequests = 100;
  // HTTPS: a PEM certificate chain (the server's certificate first) and its private key. With
  // both set the listener speaks TLS only; a file that cannot be used leaves it closed.
  std::string TLSCertificate;
  std::string TLSKey;
  // Where to listen: "" for every address (IPv4 and IPv6 on one socket where the host allows
  // it), an address such as "127.0.0.1" or "::1", or "localhost" (127.0.0.1). A program for the
  // desktop listens on loopback only, out of the network's reach.
  std::string BindAddress;
  // The files' properties (ETags, CacheControl, MimeTypes, ...) come from FileProperties.

  // "", "localhost", or an IPv4 or IPv6 address.
  static bool BindAddressOk(std::string_view address);

  static constexpr std::int32_t kDefaultMaxConnections = 512;
  static constexpr std::int32_t kDefaultMaxBody = 16 * 1024 * 1024;
  static constexpr std::int32_t kDefaultBodyMemory = 64 * 1024;

  void Notification(platform::TComponent* component, platform::TOperation operation) override;
  // Reads the stored properties and starts the module; a listener that cannot open (or a TLS
  // certificate or key that cannot be used) is reported in a message box and the program goes
  // on without it.
  void ReadState(platform::TReader& reader) override;
  // What reading the module from a form does after its properties are read, for a module made
  // in code: picks the dispatcher (the owner, else the named one, else the last on the owner's
  // form), makes the listener from the properties as they are now and opens it. Returns whether
  // it listens; when not, LastError says why and nothing is shown. Changes nothing when the
  // module listens already.
  bool Start();

  // Operations for the program; each reaches the running listener. The fields above are only
  // read when the listener is made: ServerPort, ServerRoot, DefaultFile, BindAddress and the TLS
  // files assigned afterwards do not reach it, and the module logs so at the next connection.
  bool SetRoot(std::string_view value);
  bool SetFile(std::string_view value);
  void SetPort(std::int32_t value);
  void SetRequest(std::int32_t value);

  // The listener, once ReadState has made it.
  virtual ListenerConfig* ListenerSettings() const = 0;
  // Whether the module listens now; when it does not, LastError says why (the system's reason,
  // as "Cannot listen on port 8080: Address already in use", or the TLS file at fault).
  bool Listening() const;
  const std::string& LastError() const { return last_error_; }

  // The published properties, in the order a form file holds them.
  template <class T>
  static platform::ClassBuilder<T>& Publish(platform::ClassBuilder<T>& builder) {
    const auto count = [&builder](const char* name, std::int32_t T::*field, std::int32_t def,
                                  std::int32_t least) {
      builder.Integer(
          name, [field](const T& c) -> std::int64_t { return c.*field; },
          [field, least, name](T& c, std::int64_t v) {
            if (v < least || v > 0x7FFFFFFF) {
              throw platform::PropertyError(std::string(name) + " must be at least " +
                                            std::to_string(least));
            }
            c.*field = static_cast<std::int32_t>(v);
          },
          def);
    };
    builder.Text("ServerRoot", &T::ServerRoot)
        .Text("DefaultFile", &T::DefaultFile)
        .Integer(
            "ServerPort", [](const T& c) -> std::int64_t { return c.ServerPort; },
            [](T& c, std::int64_t v) {
              // A port the system cannot listen on is refused here, not found out later.
              if (v < 0 || v > 65535) throw platform::PropertyError("ServerPort must be from 0 to 65535");
              c.ServerPort = static_cast<std::int32_t>(v);
            })
        .template Integer<std::int32_t>("MaxRequest", &T::MaxRequest)
        .template Reference<web::TCustomWebDispatcher>("Dispatcher", &T::Dispatcher, "TCustomWebDispatcher")
        .template Integer<std::int32_t>("Timeout", &T::Timeout, 100);
    count("MaxConnections", &T::MaxConnections, kDefaultMaxConnections, 1);
    count("HeaderTimeout", &T::HeaderTimeout, 20, 0);
    count("BodyTimeout", &T::BodyTimeout, 20, 0);
    count("SendTimeout", &T::SendTimeout, 30, 0);
    count("AnswerTimeout", &T::AnswerTimeout, 60, 0);
    count("MaxBody", &T::MaxBody, kDefaultMaxBody, 0);
    count("BodyMemory", &T::BodyMemory, kDefaultBodyMemory, 0);
    // 0 or 1: any other number stored is taken as 1.
    const auto flag = [&builder](const char* name, std::int32_t T::*field) {
      builder.Integer(
          name, [field](const T& c) -> std::int64_t { return c.*field != 0 ? 1 : 0; },
          [field](T& c, std::int64_t v) { c.*field = v != 0 ? 1 : 0; }, 0);
    };
    // Text refused at load, naming the property, unless `ok` holds for it.
    const auto checked_text = [&builder](const char* name, std::string T::*field, bool (*ok)(std::string_view),
                                         const char* refusal) {
      builder.Text(
          name, [field](const T& c) { return c.*field; },
          [field, ok, name, refusal](T& c, const std::string& v) {
            if (!ok(v)) throw platform::PropertyError(std::string(name) + refusal);
            c.*field = v;
          },
          std::string());
    };
    flag("KeepAlive", &T::KeepAlive);
    count("KeepAliveTimeout", &T::KeepAliveTimeout, 5, 0);
    count("KeepAliveRequests", &T::KeepAliveRequests, 100, 1);
    builder.Text("TLSCertificate", &T::TLSCertificate).Text("TLSKey", &T::TLSKey);
    builder.Text("BodyFolder", &T::BodyFolder, std::string());
    checked_text("BindAddress", &T::BindAddress, BindAddressOk, " takes an IP address, localhost, or nothing for every address");
    for (const FileProperty& p : FileProperties::Table()) {
      if (p.flag != nullptr) {
        flag(p.name, p.flag);
      } else if (p.ok != nullptr) {
        checked_text(p.name, p.text, p.ok, p.refusal);
      } else {
        builder.Text(p.name, p.text, std::string());
      }
    }
    return builder;
  }

 protected:
  // Runs the main-form check and, in the designer, gives the values a new module starts with:
  // the port counts the owner's other modules for which `same_kind` holds, and this one.
  ServerModule(platform::TComponent* owner, bool (*same_kind)(const platform::TComponent*));
  // Creates the listener (owned by this module) and starts it listening.
  virtual void CreateListener() = 0;
  virtual void OpenListener() = 0;

 private:
  friend class ListenerConfig;
  // The settings that the listener takes only when it is made.
  struct Settings {
    std::int32_t port = 0;
    std::string root, file, cert, key, address;
    bool operator==(const Settings&) const = default;
  };
  Settings Snapshot() const;
  // Logs, once per new value, a setting assigned while listening that the listener ignores.
  void ReportUnappliedChanges();

  std::string last_error_;
  bool tls_failed_ = false;
  Settings applied_;   // what the listener took
  Settings reported_;  // what was last compared (and, if it differed, logged)
};

// A server module over the listener class L (which takes the module as its owner); `Self` is
// the module class itself, `Self::kClassName` its registered name.
template <class Self, class L>
class BasicServerModule : public ServerModule {
 public:
  L* Listener = nullptr;  // made by ReadState; owned as a component of the module
  ListenerConfig* ListenerSettings() const override { return Listener; }

  static const platform::ClassInfo& Class() {
    static const platform::ClassInfo& info = [] {
      platform::ClassBuilder<Self> builder(Self::kClassName);
      return ServerModule::Publish(builder).Register();
    }();
    return info;
  }

 protected:
  explicit BasicServerModule(platform::TComponent* owner)
      : ServerModule(owner, [](const platform::TComponent* c) { return platform::Is<Self>(c); }) {}
  void CreateListener() override {
    if (Listener == nullptr) Listener = &platform::Create<L>(*this);
  }
  void OpenListener() override { Listener->Open(); }
};

}  // namespace quorvin::server
