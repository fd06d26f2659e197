#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

#include "quorvin/client/http_client_core.h"
#include "quorvin/platform/core/classes.h"
#include "quorvin/platform/core/events.h"
#include "quorvin/platform/net/scktcomp.h"

namespace quorvin::client {

using TOrbHTTPOnStreamReady = void(net::TCustomWinSocket* socket, platform::TMemoryStream& stream);
using TOrbHTTPOnProgress = void(platform::TComponent* sender, std::int32_t received, std::int32_t total);
// A response that did not arrive whole: cut short by the connection, too large, malformed.
using TOrbHTTPOnFailure = void(platform::TComponent* sender, const std::string& reason);
// A response whose body went to the program's response stream is whole.
using TOrbHTTPOnDone = void(platform::TComponent* sender);

// The HTTP/1.0 client component over the first socket layer. Set the request properties and
// Host (or Address) and Port, make it Active, and call SendRequest once connected (typically
// from OnConnect). The answer's body arrives through OnProgress and OnStreamReady.
//
// Threads: the component and its events belong to the thread that runs the program's loop
// (net::Application): set its properties, open it and call SendRequest there; the events fire
// there while the loop runs. Nothing in it starts a thread or blocks the loop, the name lookup
// included.
class TOrbHTTPClient final : public net::TClientSocket, public HttpClientCore {
 public:
  explicit TOrbHTTPClient(platform::TComponent* owner);

  // Composes the request from the properties and hands it to the open connection. Raises
  // EHTTPClientError, sending nothing, when a value holds a line break.
  void SendRequest();

  platform::TEvent<TOrbHTTPOnStreamReady> OnStreamReady;
  platform::TEvent<TOrbHTTPOnProgress> OnProgress;
  // Body bytes of the request taken by the connection, of the body's size.
  platform::TEvent<TOrbHTTPOnProgress> OnSendProgress;
  platform::TEvent<TOrbHTTPOnFailure> OnResponseFailed;
  platform::TEvent<TOrbHTTPOnDone> OnResponseDone;

  static const platform::ClassInfo& Class();

 protected:
  void SocketEvent(net::TCustomWinSocket* socket, net::TSocketEvent event) override;
  int ReceiveSome(char* into, int max) override { return Socket().ReceiveBuf(into, max); }
  void CloseConnection() override { Close(); }
  bool ComponentActive() const override { return Active(); }
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
    return HostHeaderValue(!Address.empty() ? Address : Host, Port, Tls.enabled);
  }

 private:
  net::TCustomWinSocket* reading_ = nullptr;  // the connection of the notification being read
};

// The published request properties of both client components, in declaration order.
template <class T>
platform::ClassBuilder<T>& PublishRequestProperties(platform::ClassBuilder<T>& b) {
  const auto text = [&b](const char* name, int index) {
    b.Text(
        name, [index](const T& c) { return c.GetStringVariable(index); },
        [index](T& c, const std::string& v) { c.SetStringVariable(index, v); });
  };
  const auto date = [&b](const char* name, int index) {
    b.DateTime(
        name, [index](const T& c) { return c.GetDateVariable(index); },
        [index](T& c, platform::TDateTime v) { c.SetDateVariable(index, v); });
  };
  text("Method", kMethod);
  text("ProtocolVersion", kProtocolVersion);
  text("URL", kURL);
  text("From", kFrom);
  date("IfModifiedSince", kIfModifiedSince);
  text("Accept", kAccept);
  date("Date", kDate);
  text("Referer", kReferer);
  text("UserAgent", kUserAgent);
  text("ContentEncoding", kContentEncoding);
  text("ContentType", kContentType);
  b.Integer(
      "ContentLength", [](const T& c) -> std::int64_t { return c.GetIntegerVariable(kContentLength); },
      [](T& c, std::int64_t v) { c.SetIntegerVariable(kContentLength, static_cast<std::int32_t>(v)); });
  text("ContentVersion", kContentVersion);
  text("Content", kContent);
  text("Connection", kConnection);
  text("MIMEVersion", kMIMEVersion);
  // HTTPS: UseTLS speaks TLS to the server, whose certificate is checked against TLSCAFile (the
  // system's CAs when empty) and the host name unless TLSVerify is 0.
  b.Integer(
      "UseTLS", [](const T& c) -> std::int64_t { return c.Tls.enabled ? 1 : 0; },
      [](T& c, std::int64_t v) { c.Tls.enabled = v != 0; }, 0);
  b.Text(
      "TLSCAFile", [](const T& c) { return c.Tls.ca_file; },
      [](T& c, const std::string& v) { c.Tls.ca_file = v; }, std::string());
  b.Integer(
      "TLSVerify", [](const T& c) -> std::int64_t { return c.Tls.verify ? 1 : 0; },
      [](T& c, std::int64_t v) { c.Tls.verify = v != 0; }, 1);
  // Limits in milliseconds, 0 for none: see HttpClientCore.
  const auto limit = [&b](const char* name, std::int32_t HttpClientCore::*field) {
    b.Integer(
        name, [field](const T& c) -> std::int64_t { return c.*field; },
        [field](T& c, std::int64_t v) {
          c.*field = static_cast<std::int32_t>(std::clamp<std::int64_t>(v, 0, 0x7FFFFFFF));
        },
        0);
  };
  limit("ConnectTimeout", &HttpClientCore::ConnectTimeout);
  limit("ReadTimeout", &HttpClientCore::ReadTimeout);
  b.Event("OnStreamReady", &T::OnStreamReady);
  b.Event("OnProgress", &T::OnProgress);
  b.Event("OnSendProgress", &T::OnSendProgress);
  return b;
}

}  // namespace quorvin::client
