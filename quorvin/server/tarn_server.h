#pragma once

#include <memory>
#include <string>

#include "quorvin/platform/core/classes.h"
#include "quorvin/platform/core/timer.h"
#include "quorvin/platform/net/scktcomp.h"
#include "quorvin/platform/web/web_dispatcher.h"
#include "quorvin/server/http_connection.h"
#include "quorvin/server/server_module.h"

// The web server over the first socket layer: the module a program places on its main form,
// its listener and its connections.
//
// Threads: the module, its listener and its connections live on the thread that runs the
// program's loop (net::Application::Run or RunUntil). Load the form, call SetRoot, SetPort and
// the other operations, and destroy the module on that thread; web actions run there too, one
// request at a time. The server creates no threads and takes no locks.
namespace quorvin::server {

class TSvrModule;

// The dispatcher as the server sees it. It adds nothing and is never made: any
// TCustomWebDispatcher serves.
class ZCustomWebDispatcher : public web::TCustomWebDispatcher {
 public:
  using TCustomWebDispatcher::TCustomWebDispatcher;
};

// The listening socket of a TSvrModule. Serves at most the module's MaxConnections at a time:
// at the bound an idle kept connection gives up its place, and further clients wait in the
// backlog until a connection ends.
class ZServerSocket final : public net::TServerSocket, public ListenerConfig {
 public:
  // `owner` is the module the listener belongs to.
  explicit ZServerSocket(platform::TComponent* owner);
  ~ZServerSocket() override;

  void ZOnGetSocket(net::TServerSocket* sender, net::TSocket socket, net::TServerClientWinSocket*& client);

  bool Listening() const override { return Active(); }
  void StartListening() override { Open(); }
  void StopListening() override { Close(); }
  void SetListenPort(int port) override { SetPort(port); }
  void SetListenAddress(const std::string& address) override { SetBindAddress(address); }
  int ListenPort() const override { return LocalPort(); }
  int OpenConnections() const override { return CountedConnections(); }
};

// One accepted connection: the protocol of HttpConnection over the first layer's socket, with
// a lifetime timer.
class ZConnectionSocket final : public net::TServerClientWinSocket, public HttpConnection {
 public:
  ZConnectionSocket(net::TSocket socket, ZServerSocket* server);
  ~ZConnectionSocket() override;

  void OnEvents(net::TCustomWinSocket* sender, net::TCustomWinSocket* socket, net::TSocketEvent event);
  void OnErrors(net::TCustomWinSocket* sender, net::TCustomWinSocket* socket, net::TErrorEvent error,
                int& error_code);
  void ZOnTimer(platform::TComponent* sender);

  std::unique_ptr<platform::TTimer> Timer;
  net::TSocketEventHandler OldSocketEvent;  // the layer's own handler; every event goes on to it

 protected:
  int ReadSome(char* into, int max) override { return ReceiveBuf(into, max); }
  void WriteAll(std::string_view bytes) override;
  void WriteStreamThenClose(std::unique_ptr<platform::TStream> stream) override;
  void WriteStream(std::unique_ptr<platform::TStream> stream) override;
  void CloseNow() override { Close(); }
  void AwaitWritable() override;
  void AwaitReadable() override;
  void LimitSend(std::chrono::seconds limit) override { SetSendTimeout(limit); }
  std::string LocalHostName() const override { return LocalHost(); }
  std::size_t QueuedBytes() const override { return TServerClientWinSocket::QueuedBytes(); }
};

// The server component. Reading it from a form file opens its listener on ServerPort.
class TSvrModule final : public BasicServerModule<TSvrModule, ZServerSocket> {
 public:
  static constexpr const char* kClassName = "TSvrModule";
  explicit TSvrModule(platform::TComponent* owner) : BasicServerModule(owner) {}
};

}  // namespace quorvin::server
