#include "quorvin/server/tarn_dw_server.h"

namespace quorvin::server {

ZDwServerSocket::ZDwServerSocket(platform::TComponent* owner) : TBasicServerSocket(owner) {
  OnRead = [this](platform::TComponent* sender, net::TStreamSocket* socket) { OnReads(sender, socket); };
  OnWrite = [this](platform::TComponent* sender, net::TStreamSocket* socket) { OnWrites(sender, socket); };
  OnError = [this](platform::TComponent* sender, net::TStreamSocket* socket, net::TSockErrorOp op, int code) {
    OnErrors(sender, socket, op, code);
  };
  Configure(dynamic_cast<ServerModule&>(*owner));
}

ZDwServerSocket::~ZDwServerSocket() {
  // The connections refer to this listener's settings: end them while those are still here.
  StopListening();
}

void ZDwServerSocket::Open() {
  if (Opened) return;
  Opened = true;
  try {
    Listen<ZDwConnectionSocket>();
  } catch (...) {
    Opened = false;
    throw;
  }
}

void ZDwServerSocket::StopListening() {
  Close();
  Opened = false;
}

bool ZDwServerSocket::CanAccept() {
  if (TBasicServerSocket::ConnectionCount() < ConnectionBound()) return true;
  CloseOldestIdle();
  return false;
}

void ZDwServerSocket::OnReads(platform::TComponent* /*sender*/, net::TStreamSocket* socket) {
  if (auto* connection = dynamic_cast<ZDwConnectionSocket*>(socket)) connection->OnReads();
}

void ZDwServerSocket::OnWrites(platform::TComponent* /*sender*/, net::TStreamSocket* socket) {
  if (auto* connection = dynamic_cast<ZDwConnectionSocket*>(socket)) connection->WriteReady();
}

void ZDwServerSocket::OnErrors(platform::TComponent* /*sender*/, net::TStreamSocket* socket,
                               net::TSockErrorOp /*op*/, int code) {
  if (code != net::kTlsPlainHttp) return;
  if (auto* connection = dynamic_cast<ZDwConnectionSocket*>(socket)) connection->RefusePlainHttp();
}

ZDwConnectionSocket::ZDwConnectionSocket(net::TSocket handle, net::TCustomBasicServerSocket* owner)
    : TStreamSocket(handle, owner), HttpConnection(dynamic_cast<ZDwServerSocket&>(*owner)) {
  const ZDwServerSocket& listener = dynamic_cast<ZDwServerSocket&>(*owner);
  if (listener.Tls()) StartTls(listener.Tls());
}

ZDwConnectionSocket::~ZDwConnectionSocket() = default;

void ZDwConnectionSocket::WriteAll(std::string_view bytes) {
  // Queued in the layer: what the socket does not take now leaves before the file.
  SendQueued(bytes.data(), static_cast<int>(bytes.size()));
}

void ZDwConnectionSocket::WriteStreamThenClose(std::unique_ptr<platform::TStream> stream) {
  if (!SendStreamThenDrop(std::move(stream))) Close();
}

void ZDwConnectionSocket::WriteStream(std::unique_ptr<platform::TStream> stream) {
  if (!SendStream(std::move(stream))) Close();
}

void ZDwConnectionSocket::AwaitReadable() {
  net::WSAAsyncSelect(SocketHandle(), Owner()->GetHandle(), net::DW_SOCKETMESSAGE, net::FD_READ | net::FD_CLOSE);
}

void ZDwConnectionSocket::AwaitWritable() {
  net::WSAAsyncSelect(SocketHandle(), Owner()->GetHandle(), net::DW_SOCKETMESSAGE, net::FD_WRITE | net::FD_CLOSE);
}

bool ZDwConnectionSocket::SendStream(std::unique_ptr<platform::TStream> stream) {
  return Begin(std::move(stream), false);
}

bool ZDwConnectionSocket::SendStreamThenDrop(std::unique_ptr<platform::TStream> stream) {
  return Begin(std::move(stream), true);
}

bool ZDwConnectionSocket::Begin(std::unique_ptr<platform::TStream> stream, bool drop) {
  if (SendingStream() != nullptr || !stream) return false;
  DropAfterSend = drop;
  // A stream for a connection that is gone is taken and released all the same.
  return GetConnected() && SendStreamQueued(stream, drop);
}

}  // namespace quorvin::server
