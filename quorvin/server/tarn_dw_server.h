#pragma once

#include <memory>
#include <string>

#include "quorvin/platform/core/classes.h"
#include "quorvin/platform/net/dwinsock.h"
#include "quorvin/platform/web/web_dispatcher.h"
#include "quorvin/server/http_connection.h"
#include "quorvin/server/server_module.h"
#include "quorvin/webbridge/http_status.h"
#include "quorvin/webbridge/response_adapter.h"

// The web server over the second socket layer. It serves exactly as TSvrModule does, through the
// same protocol core; only the socket calls differ, and this binding has no connection limit and
// no lifetime timer. Threads: as for TSvrModule, everything runs on the loop's thread.
namespace quorvin::server {

// The adapters, status texts and header table are the ones the first binding uses: one protocol,
// one set of tables.
using ZDwRequest = webbridge::ZRequest;
using ZDwResponse = webbridge::ZResponse;

// The dispatcher as this binding sees it; it adds nothing and is never made.
class ZDwCustomWebDispatcher : public web::TCustomWebDispatcher {
 public:
  using TCustomWebDispatcher::TCustomWebDispatcher;
};

class TDwSvrModule;

// The listening socket of a TDwSvrModule.
class ZDwServerSocket final : public net::TBasicServerSocket, public ListenerConfig {
 public:
  // `owner` is the module the listener belongs to.
  explicit ZDwServerSocket(platform::TComponent* owner);
  ~ZDwServerSocket() override;

  // Starts listening unless it already does, making a ZDwConnectionSocket per connection.
  void Open();
  // The layer's notifications, passed to the connection they concern.
  void OnReads(platform::TComponent* sender, net::TStreamSocket* socket);
  void OnWrites(platform::TComponent* sender, net::TStreamSocket* socket);
  // A connection's failure; the layer closes the connection after it. Plain HTTP on a TLS
  // listener is answered first.
  void OnErrors(platform::TComponent* sender, net::TStreamSocket* socket, net::TSockErrorOp op, int code);

  // Set by Open; cleared when the listener closes, so that a change of root, default document
  // or port listens again.
  bool Opened = false;

  bool Listening() const override { return Opened; }
  // At the module's MaxConnections an idle kept connection gives up its place; the client
  // waits in the backlog until a connection ends.
  bool CanAccept() override;
  void StartListening() override { Open(); }
  void StopListening() override;
  void SetListenPort(int port) override { SetPort(std::to_string(port)); }
  void SetListenAddress(const std::string& address) override { SetBindAddress(address); }
  int ListenPort() const override { return LocalPort(); }
  int OpenConnections() const override { return TBasicServerSocket::ConnectionCount(); }
};

// One accepted connection of the second layer. Its answers leave through the layer's queued
// sending, as the first layer's do: the heading, then the file with sendfile(2) from its own
// pages, resuming by itself at the first byte the socket did not take.
class ZDwConnectionSocket final : public net::TStreamSocket, public HttpConnection {
 public:
  ZDwConnectionSocket(net::TSocket handle, net::TCustomBasicServerSocket* owner);
  ~ZDwConnectionSocket() override;

  // Write readiness: sends the prepared answer, once.
  void WriteReady() { OnWrites(); }

  // Take `stream` and send it from its position; false, taking nothing, while one is pending.
  bool SendStream(std::unique_ptr<platform::TStream> stream);
  // As SendStream, then close once it has gone out.
  bool SendStreamThenDrop(std::unique_ptr<platform::TStream> stream);

  // The stream being sent (the layer holds it until its last byte has left); nullptr when idle.
  const platform::TStream* SendingStream() const { return QueuedStream(); }
  bool DropAfterSend = false;

 protected:
  int ReadSome(char* into, int max) override { return Recv(into, max); }
  void WriteAll(std::string_view bytes) override;
  void WriteStreamThenClose(std::unique_ptr<platform::TStream> stream) override;
  void WriteStream(std::unique_ptr<platform::TStream> stream) override;
  void CloseNow() override { Close(); }
  void AwaitWritable() override;
  void AwaitReadable() override;
  void LimitSend(std::chrono::seconds limit) override { SetSendTimeout(limit); }
  std::string LocalHostName() const override { return net::LocalHost(); }
  std::size_t QueuedBytes() const override { return TStreamSocket::QueuedBytes(); }

 private:
  bool Begin(std::unique_ptr<platform::TStream> stream, bool drop);
};

// The server component of the second layer.
class TDwSvrModule final : public BasicServerModule<TDwSvrModule, ZDwServerSocket> {
 public:
  static constexpr const char* kClassName = "TDwSvrModule";
  explicit TDwSvrModule(platform::TComponent* owner) : BasicServerModule(owner) {}
};

}  // namespace quorvin::server
