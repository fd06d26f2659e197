#pragma once

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>

#include "quorvin/platform/net/send_queue.h"

// TLS over the event sockets, with OpenSSL: a context per server or client configuration, and
// a session per connection that the connection's EventSocket drives on readiness. Nothing here
// blocks: every step that needs the peer says so and is taken again when the socket is ready.
typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

namespace quorvin::net {

// Failure codes of TLS, beside the errno values that socket failures carry. ErrorText turns
// either into a sentence.
enum TlsError : int {
  kTlsErrorBase = 0x7100,
  kTlsHandshakeFailed = kTlsErrorBase,  // no common protocol or cipher, an alert, bad records
  kTlsNotTrusted,                       // the certificate failed verification (another reason)
  kTlsCertExpired,
  kTlsCertNotYetValid,
  kTlsUnknownIssuer,  // no trusted issuer: self-signed, or a CA the client does not know
  kTlsNameMismatch,   // the certificate does not name the host asked for
  kTlsPlainHttp,      // a plain HTTP request came to a TLS port instead of a handshake
  kTlsProtocol,       // a record after the handshake could not be read
  kTlsErrorEnd
};

inline bool IsTlsError(int code) {
  return code >= kTlsErrorBase && code < kTlsErrorEnd;
}

// The sentence for a failure code: a TLS code's reason (with OpenSSL's own words for the last
// failure of this thread, when it gave some), a lookup's failure ("no such host"), or the
// system's text for an errno value.
std::string ErrorText(int code);

// A configuration that cannot be used: the message names the file and the reason.
class ETlsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Whether the kernel offers TLS offload (the "tls" upper-layer protocol on TCP sockets): tried
// once per process on a loopback connection.
bool KernelTlsOffered();

// What a client component asks of TLS for the connections it makes.
struct TlsClientSettings {
  bool enabled = false;  // speak TLS (https)
  bool verify = true;    // check the server's certificate against the CAs and the host name
  std::string ca_file;   // trusted CAs (PEM); empty: the system's store
};

// An OpenSSL context with the settings of one side. Shared by the sessions made from it.
class TlsContext {
 public:
  // A server's context: the certificate chain (PEM, leaf first) and its private key. Throws
  // ETlsError naming the file when one cannot be read or the key does not fit the certificate.
  // TLS 1.2 and 1.3 only, forward-secret ciphers, ALPN "http/1.1", no renegotiation, session
  // tickets, kernel TLS where the kernel offers it.
  static std::shared_ptr<TlsContext> Server(const std::string& certificate_file,
                                            const std::string& key_file);

  // A client's context; one per distinct settings, kept for the process. Throws ETlsError when
  // the CA file cannot be read.
  static std::shared_ptr<TlsContext> Client(const TlsClientSettings& settings);

  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  SSL_CTX* Native() const { return ctx_; }
  bool IsServer() const { return server_; }
  bool Verifies() const { return verify_; }
  // A server context that turns kernel TLS on where a cipher allows it.
  bool KernelTls() const { return ktls_; }

 private:
  TlsContext(SSL_CTX* ctx, bool server) : ctx_(ctx), server_(server) {}

  SSL_CTX* ctx_;
  bool server_;
  bool verify_ = false;
  bool ktls_ = false;
};

namespace detail {

// One connection's TLS, on a non-blocking descriptor it does not own. Sends through it go as
// records, files with SSL_sendfile when kernel TLS carries the connection.
class TlsSession final : public Wire {
 public:
  // `host`: for a client, the name (or address) the certificate must name, sent as SNI when
  // it is a name.
  TlsSession(std::shared_ptr<TlsContext> context, int fd, const std::string& host);
  ~TlsSession() override;
  TlsSession(const TlsSession&) = delete;
  TlsSession& operator=(const TlsSession&) = delete;

  enum class Step { kDone, kWantRead, kWantWrite, kFailed };
  // Takes the handshake as far as the peer allows; kFailed sets `error` to a TLS code (or an
  // errno value). A server that finds plain HTTP instead of a handshake fails with
  // kTlsPlainHttp, having sent nothing and read nothing: the request is still there to read,
  // and the answer is the HTTP layer's to give.
  Step Handshake(int& error);
  // The handshake has succeeded.
  bool Established() const { return established_; }

  struct ReadResult {
    int bytes = 0;        // decrypted bytes placed in the buffer
    bool drained = false;  // the socket's input was found empty
    bool ended = false;   // the peer's end of data (close_notify, or the TCP end)
    int error = 0;        // a failure: errno value or kTlsProtocol
  };
  // Reads up to `count` decrypted bytes, until the buffer is full or the socket is empty.
  ReadResult Read(char* buffer, int count);
  // Decrypted bytes held in the session, or a record read but not yet decrypted.
  bool HasPending() const;
  // How many decrypted bytes can be read now without waiting (reads a record if none is held).
  int Available();

  ssize_t Send(const char* data, std::size_t count, bool more, int& error) override;
  ssize_t SendFile(int file, off_t& at, std::size_t count, int& error) override;
  bool Gathers() const override { return true; }

  // Sends close_notify, once, without waiting for the peer's.
  void Shutdown();

  bool Server() const { return server_; }
  // The host name the client asked for (SNI), once the handshake has read it.
  std::string ServerName() const;
  // Kernel TLS carries what this session sends.
  bool KernelSend() const;

 private:
  int ErrorOf(int result, int& error);

  std::shared_ptr<TlsContext> context_;
  SSL* ssl_;
  int fd_;
  bool server_;
  bool probed_ = false;  // a server has looked at the first byte for plain HTTP
  bool established_ = false;
  bool shut_ = false;
};

}  // namespace detail
}  // namespace quorvin::net
