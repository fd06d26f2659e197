#include "quorvin/server/tarn_dw_server.h"

#include <exception>

#include "quorvin/platform/net/stream_pump.h"

namespace quorvin::server {

ZDwServerSocket::ZDwServerSocket(platform::TComponent* owner) : TBasicServerSocket(owner) {
  OnRead = [this](platform::TComponent* sender, net::TStreamSocket* socket) { OnReads(sender, socket); };
  OnWrite = [this](platform::TComponent* sender, net::TStreamSocket* socket) { OnWrites(sender, socket); };
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

void ZDwServerSocket::OnReads(platform::TComponent* /*sender*/, net::TStreamSocket* socket) {
  if (auto* connection = dynamic_cast<ZDwConnectionSocket*>(socket)) connection->OnReads();
}

void ZDwServerSocket::OnWrites(platform::TComponent* /*sender*/, net::TStreamSocket* socket) {
  if (auto* connection = dynamic_cast<ZDwConnectionSocket*>(socket)) connection->WriteReady();
}

ZDwConnectionSocket::ZDwConnectionSocket(net::TSocket handle, net::TCustomBasicServerSocket* owner)
    : TStreamSocket(handle, owner), HttpConnection(dynamic_cast<ZDwServerSocket&>(*owner)) {}

ZDwConnectionSocket::~ZDwConnectionSocket() = default;

void ZDwConnectionSocket::WriteReady() {
  // While a stream (or the rest of a heading) is on its way, write readiness only moves it on:
  // the answer was sent already and must not be sent again.
  if (SendingStream || !unsent_.empty()) {
    if (!Pump()) Close();
    return;
  }
  OnWrites();
}

void ZDwConnectionSocket::WriteAll(std::string_view bytes) {
  if (unsent_.empty() && !SendingStream) {
    const int sent = Send(bytes.data(), static_cast<int>(bytes.size()));
    bytes.remove_prefix(static_cast<std::size_t>(std::max(0, sent)));
  }
  // What the socket did not take leaves first on the next write readiness.
  unsent_.append(bytes);
}

void ZDwConnectionSocket::WriteStreamThenClose(std::unique_ptr<platform::TStream> stream) {
  if (!SendStreamThenDrop(std::move(stream))) Close();
}

void ZDwConnectionSocket::CloseNow() {
  if (unsent_.empty() && !SendingStream) {
    Close();
    return;
  }
  DropAfterSend = true;  // closes once the rest of the answer has left
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
  if (SendingStream || !stream) return false;
  SendingStream = std::move(stream);
  DropAfterSend = drop;
  if (!GetConnected()) return false;
  if (!Pump()) Close();
  return true;
}

bool ZDwConnectionSocket::Pump() {
  try {
    while (!unsent_.empty()) {
      const int sent = Send(unsent_.data(), static_cast<int>(unsent_.size()));
      if (sent <= 0) return true;  // the socket is full: write readiness resumes here
      unsent_.erase(0, static_cast<std::size_t>(sent));
    }
    if (!SendingStream) {
      if (DropAfterSend) Close();
      return true;
    }
    if (net::PumpStream(*this, *SendingStream) == net::PumpResult::kFinished) Finish();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

void ZDwConnectionSocket::Finish() {
  SendingStream.reset();
  if (DropAfterSend) Close();
}

}  // namespace quorvin::server
