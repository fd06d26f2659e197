#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "quorvin/client/http_client_core.h"
#include "quorvin/client/orb_http_client.h"
#include "quorvin/platform/core/classes.h"
#include "quorvin/platform/core/events.h"
#include "quorvin/platform/net/dwinsock.h"

namespace quorvin::client {

// The reader's states are the shared ones.
using TOrbHTTPDwResponseType = TOrbHTTPResponseType;

class TOrbHTTPDwSockClient;
using TOrbHTTPDwOnStreamReady = void(TOrbHTTPDwSockClient* socket, platform::TMemoryStream& stream);
using TOrbHTTPDwOnProgress = void(platform::TComponent* sender, std::int32_t received, std::int32_t total);

// The client's connection on the second layer, which has no stream sending of its own: it sends
// one pending stream at a time, in pieces, resuming on write readiness where the socket stopped
// taking bytes.
class TOrbHTTPDwSockClient final : public net::TStreamSocket {
 public:
  using TStreamSocket::TStreamSocket;
  ~TOrbHTTPDwSockClient() override;

  // Takes `stream` and starts sending it; false, taking nothing, while another is pending.
  bool SendStream(std::unique_ptr<platform::TStream> stream);
  // Sends more of the pending stream (on write readiness); false when nothing could be sent.
  bool PumpSendStream();

  std::unique_ptr<platform::TStream> PendingStream;

 private:
  void DropSendStream() { PendingStream.reset(); }
};

// The HTTP/1.0 client component over the second socket layer: the same properties, request and
// reader as TOrbHTTPClient. SendRequest takes the connection, as the layer hands it to the events.
// Threads: as for TOrbHTTPClient, everything runs on the loop's thread.
class TOrbHTTPDwClient final : public net::TBasicClientSocket, public HttpClientCore {
 public:
  explicit TOrbHTTPDwClient(platform::TComponent* owner);

  // Composes the request and hands it to `socket`. Raises EHTTPClientError, sending nothing,
  // when a value holds a line break.
  void SendRequest(TOrbHTTPDwSockClient& socket);

  platform::TEvent<TOrbHTTPDwOnStreamReady> OnStreamReady;
  platform::TEvent<TOrbHTTPDwOnProgress> OnProgress;
  // Body bytes of the request taken by the connection, of the body's size.
  platform::TEvent<TOrbHTTPDwOnProgress> OnSendProgress;
  platform::TEvent<TOrbHTTPOnFailure> OnResponseFailed;
  platform::TEvent<TOrbHTTPOnDone> OnResponseDone;

  static const platform::ClassInfo& Class();

 protected:
  std::unique_ptr<net::TStreamSocket> CreateConnection(net::TSocket handle) override;
  void ConnectionEvent(net::TStreamSocket* connection, net::TSockEvent event) override;
  int ReceiveSome(char* into, int max) override;
  void CloseConnection() override;
  void Abandon() override { Close(); }
  bool ComponentActive() const override { return Active(); }
  void Opening() override { ConnectStarting(); }
  void Progress(std::int32_t received, std::int32_t total) override;
  void StreamReady(platform::TMemoryStream& body) override;
  void ResponseFailed(const std::string& reason) override;
  bool WantsSendProgress() const override { return static_cast<bool>(OnSendProgress); }
  void SendProgress(std::int32_t sent, std::int32_t total) override {
    if (OnSendProgress) OnSendProgress(this, sent, total);
  }
  void ResponseDone() override {
    if (OnResponseDone) OnResponseDone(this);
  }
  std::string RequestHost() const override {
    return HostHeaderValue(!Address.empty() ? Address : Host, Port(), Tls.enabled);
  }

 private:
  TOrbHTTPDwSockClient* reading_ = nullptr;  // the connection of the notification being read
};

}  // namespace quorvin::client
