#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "test_support.h"

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_session_st SSL_SESSION;

namespace quorvin::testing {

// A certificate authority of the test's own and certificates it signed, made with the openssl
// command once per test program (nothing secret is kept in the tree).
class TestPki {
 public:
  static const TestPki& Get();

  std::string ca;          // the authority's certificate
  std::string cert;        // names localhost and 127.0.0.1
  std::string key;
  std::string other_cert;  // names other.example only
  std::string other_key;
  std::string self_cert;   // self-signed, for localhost and 127.0.0.1
  std::string self_key;

 private:
  TestPki();
  TempDir dir_;
};

// A blocking TLS client to 127.0.0.1 on OpenSSL, for a thread of its own while the test's
// thread runs the loop. Every receive gives up after the timeout.
class TlsClient {
 public:
  struct Options {
    std::string ca_file;  // verify against it; empty: no verification
    std::string host = "localhost";  // SNI and the name checked
    int min_version = 0;  // TLS1_2_VERSION ...; 0: the library's own
    int max_version = 0;
    SSL_SESSION* session = nullptr;  // a session to resume
    bool alpn = true;                // offer "http/1.1"
    int receive_buffer = 0;          // SO_RCVBUF before the connect; 0: the system's
    std::chrono::milliseconds timeout = std::chrono::seconds(10);
  };

  TlsClient(int port, const Options& options);
  ~TlsClient();
  TlsClient(const TlsClient&) = delete;
  TlsClient& operator=(const TlsClient&) = delete;

  // The handshake succeeded.
  bool Ok() const { return ok_; }
  const std::string& Error() const { return error_; }
  bool Send(std::string_view bytes);
  // Everything until the server closes (or the timeout); `closed` tells which.
  std::string ReadAll(bool* closed = nullptr);
  // One answer with its Content-Length's worth of body; empty on a timeout or close.
  std::string ReadAnswer();

  // Reads up to `count` bytes of whatever comes.
  std::string ReadSome(std::size_t count);
  void ShutdownWrite();
  // Closes with a reset, in the middle of whatever was under way.
  void Reset();

  bool Resumed() const;
  std::string Protocol() const;  // "TLSv1.3", ...
  std::string Alpn() const;
  // The session to resume later (owned by the caller: SSL_SESSION_free).
  SSL_SESSION* TakeSession() const;

 private:
  int fd_ = -1;
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  bool ok_ = false;
  std::string error_;
  std::string buffered_;
};

void FreeSession(SSL_SESSION* session);

// The first flight of a TLS client (its ClientHello), as a peer would send it.
std::string ClientHelloBytes();

// A blocking TLS server on 127.0.0.1 that serves one connection on a thread of its own: the
// handshake with `cert` and `key`, the request up to its blank line, `reply`, then its end.
class TlsServer {
 public:
  TlsServer(const std::string& cert, const std::string& key, std::string reply);
  ~TlsServer();
  TlsServer(const TlsServer&) = delete;
  TlsServer& operator=(const TlsServer&) = delete;

  int Port() const { return listener_.Port(); }
  // Once the thread has ended: the handshake succeeded, the name the client asked for, and
  // the request it sent.
  void Join();
  bool handshake_ok = false;
  std::string server_name;
  std::string request;

 private:
  LoopbackListener listener_{4};
  SSL_CTX* ctx_ = nullptr;
  std::thread thread_;
};

}  // namespace quorvin::testing
