#include "quorvin/client/orb_http_client.h"

namespace quorvin::client {

TOrbHTTPClient::TOrbHTTPClient(platform::TComponent* owner) : TClientSocket(owner) {
  if (IsDesigning()) SetDesignDefaults();
  // The reader sits in the OnRead slot: a program that assigns OnRead reads answers itself.
  OnRead = [this](platform::TComponent*, net::TCustomWinSocket* socket) {
    reading_ = socket;
    ReadResponse();
  };
}

void TOrbHTTPClient::SendRequest() {
  // A request refused because an earlier one is still being sent is not reported, as a
  // request on a closed connection is not: the connection is the program's to manage.
  Socket().SendStream(RequestToSend());
  RequestSent();
}

void TOrbHTTPClient::SocketEvent(net::TCustomWinSocket* socket, net::TSocketEvent event) {
  if (event == net::TSocketEvent::seLookup) {
    ConnectStarting();
  } else if (event == net::TSocketEvent::seConnect) {
    Connected();
  } else if (event == net::TSocketEvent::seDisconnect) {
    // Before the program hears of the close: a body that ran until it is delivered first.
    reading_ = socket;
    ConnectionEnded();
  }
}

void TOrbHTTPClient::Progress(std::int32_t received, std::int32_t total) {
  if (OnProgress) OnProgress(this, received, total);
}

void TOrbHTTPClient::StreamReady(platform::TMemoryStream& body) {
  if (OnStreamReady) OnStreamReady(reading_ != nullptr ? reading_ : &Socket(), body);
}

void TOrbHTTPClient::ResponseFailed(const std::string& reason) {
  if (OnResponseFailed) OnResponseFailed(this, reason);
}

const platform::ClassInfo& TOrbHTTPClient::Class() {
  static const platform::ClassInfo& info = [] {
    platform::ClassBuilder<TOrbHTTPClient> builder("TOrbHTTPClient");
    builder.Inherit(net::TClientSocket::Class());
    return PublishRequestProperties(builder).Register();
  }();
  return info;
}

}  // namespace quorvin::client
