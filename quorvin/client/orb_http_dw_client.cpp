#include "quorvin/client/orb_http_dw_client.h"

#include <exception>

#include "quorvin/platform/net/stream_pump.h"

namespace quorvin::client {

TOrbHTTPDwSockClient::~TOrbHTTPDwSockClient() = default;

bool TOrbHTTPDwSockClient::SendStream(std::unique_ptr<platform::TStream> stream) {
  if (PendingStream || !stream) return false;
  PendingStream = std::move(stream);
  return PumpSendStream();
}

bool TOrbHTTPDwSockClient::PumpSendStream() {
  if (!PendingStream || !GetConnected()) return false;
  if (net::PumpStream(*this, *PendingStream) == net::PumpResult::kFinished) DropSendStream();
  return true;
}

TOrbHTTPDwClient::TOrbHTTPDwClient(platform::TComponent* owner) : TBasicClientSocket(owner) {
  if (IsDesigning()) SetDesignDefaults();
  // The reader sits in the data-arrived slot: a program that assigns OnRead reads answers itself.
  OnRead = [this](platform::TComponent*, net::TStreamSocket* connection) {
    reading_ = dynamic_cast<TOrbHTTPDwSockClient*>(connection);
    if (reading_ != nullptr) ReadResponse();
  };
}

void TOrbHTTPDwClient::SendRequest(TOrbHTTPDwSockClient& socket) {
  socket.SendStream(RequestToSend());
  RequestSent();
}

std::unique_ptr<net::TStreamSocket> TOrbHTTPDwClient::CreateConnection(net::TSocket handle) {
  return std::make_unique<TOrbHTTPDwSockClient>(handle, nullptr);
}

void TOrbHTTPDwClient::ConnectionEvent(net::TStreamSocket* connection, net::TSockEvent event) {
  auto* socket = dynamic_cast<TOrbHTTPDwSockClient*>(connection);
  switch (event) {
    case net::TSockEvent::seConnect:
      Connected();
      break;
    case net::TSockEvent::seWrite:
      // A request larger than the socket took at once goes on where it stopped.
      if (socket != nullptr) {
        try {
          socket->PumpSendStream();
        } catch (const std::exception&) {
          socket->Close();
        }
      }
      break;
    case net::TSockEvent::seDisconnect:
      reading_ = socket;
      ConnectionEnded();
      break;
    default:
      break;
  }
}

int TOrbHTTPDwClient::ReceiveSome(char* into, int max) { return reading_ != nullptr ? reading_->Recv(into, max) : -1; }

void TOrbHTTPDwClient::CloseConnection() {
  if (reading_ != nullptr) reading_->Close();
}

void TOrbHTTPDwClient::Progress(std::int32_t received, std::int32_t total) {
  if (OnProgress) OnProgress(this, received, total);
}

void TOrbHTTPDwClient::StreamReady(platform::TMemoryStream& body) {
  if (OnStreamReady) OnStreamReady(reading_, body);
}

void TOrbHTTPDwClient::ResponseFailed(const std::string& reason) {
  if (OnResponseFailed) OnResponseFailed(this, reason);
}

const platform::ClassInfo& TOrbHTTPDwClient::Class() {
  static const platform::ClassInfo& info = [] {
    platform::ClassBuilder<TOrbHTTPDwClient> builder("TOrbHTTPDwClient");
    builder.Inherit(net::TBasicClientSocket::Class());
    return PublishRequestProperties(builder).Register();
  }();
  return info;
}

}  // namespace quorvin::client
