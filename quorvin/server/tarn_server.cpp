#include "quorvin/server/tarn_server.h"

#include <algorithm>

#include "quorvin/platform/web/web_dispatcher.h"

namespace quorvin::server {

using net::TCustomWinSocket;

ZServerSocket::ZServerSocket(platform::TComponent* owner) : TServerSocket(owner) {
  SetGetSocketEvent([this](net::TServerSocket* sender, net::TSocket socket, net::TServerClientWinSocket*& client) {
    ZOnGetSocket(sender, socket, client);
  });
  Configure(dynamic_cast<ServerModule&>(*owner));
}

ZServerSocket::~ZServerSocket() {
  // The connections count themselves down in this listener's settings: end them while those
  // are still here.
  Close();
}

void ZServerSocket::ZOnGetSocket(net::TServerSocket* /*sender*/, net::TSocket socket,
                                 net::TServerClientWinSocket*& client) {
  if (CountedConnections() < ConnectionBound()) {
    client = new ZConnectionSocket(socket, this);
    return;
  }
  // At the bound the client is left to the socket layer, which keeps it waiting until one of
  // the connections ends; a kept connection that waits for nothing but its next request ends
  // first, to make room.
  CloseOldestIdle();
}

ZConnectionSocket::ZConnectionSocket(net::TSocket socket, ZServerSocket* server)
    : TServerClientWinSocket(socket, &server->Socket()), HttpConnection(*server) {
  if (server->Tls()) StartTls(server->Tls());
  OldSocketEvent = OnSocketEvent;
  OnSocketEvent = [this](TCustomWinSocket* sender, TCustomWinSocket* s, net::TSocketEvent event) {
    OnEvents(sender, s, event);
  };
  OnErrorEvent = [this](TCustomWinSocket* sender, TCustomWinSocket* s, net::TErrorEvent error, int& code) {
    OnErrors(sender, s, error, code);
  };
  Context().CountConnection(+1);
  const std::int32_t seconds = Context().LifetimeSeconds();
  Timer = std::make_unique<platform::TTimer>(
      nullptr, static_cast<std::uint32_t>(std::min<std::int64_t>(seconds * 1000LL, 0x7FFFFFFF)), true);
  Timer->OnTimer = [this](platform::TComponent* sender) { ZOnTimer(sender); };
}

ZConnectionSocket::~ZConnectionSocket() {
  Timer.reset();
  Context().CountConnection(-1);
}

void ZConnectionSocket::OnEvents(TCustomWinSocket* sender, TCustomWinSocket* socket, net::TSocketEvent event) {
  if (event == net::TSocketEvent::seWrite) {
    OnWrites();
  } else if (event == net::TSocketEvent::seRead) {
    OnReads();
  }
  // The socket layer keeps this object alive until the event has been handled, even when the
  // handling above closed it.
  if (OldSocketEvent) OldSocketEvent(sender, socket, event);
}

void ZConnectionSocket::OnErrors(TCustomWinSocket* /*sender*/, TCustomWinSocket* /*socket*/,
                                 net::TErrorEvent /*error*/, int& error_code) {
  if (error_code == net::kTlsPlainHttp) RefusePlainHttp();
  error_code = 0;
  Close();
}

void ZConnectionSocket::ZOnTimer(platform::TComponent* /*sender*/) {
  Timer->SetEnabled(false);
  Close();
}

void ZConnectionSocket::WriteAll(std::string_view bytes) {
  SendBuf(bytes.data(), static_cast<int>(bytes.size()));
}

void ZConnectionSocket::WriteStreamThenClose(std::unique_ptr<platform::TStream> stream) {
  if (!SendStreamThenDrop(std::move(stream))) Close();
}

void ZConnectionSocket::WriteStream(std::unique_ptr<platform::TStream> stream) {
  if (!SendStream(std::move(stream))) Close();
}

void ZConnectionSocket::AwaitReadable() {
  net::WSAAsyncSelect(SocketHandle(), GetHandle(), net::CM_SOCKETMESSAGE, net::FD_READ | net::FD_CLOSE);
}

void ZConnectionSocket::AwaitWritable() {
  net::WSAAsyncSelect(SocketHandle(), GetHandle(), net::CM_SOCKETMESSAGE, net::FD_WRITE | net::FD_CLOSE);
}

}  // namespace quorvin::server
