#include "quorvin/platform/net/tls.h"

#include "quorvin/platform/net/notify.h"

#include <sys/socket.h>

#include <pthread.h>
#include <signal.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <map>
#include <utility>

namespace quorvin::net {
namespace {

#ifndef TCP_ULP
#define TCP_ULP 31
#endif

// OpenSSL's words for the last failure of this thread, kept for ErrorText.
thread_local std::string last_detail;

std::string TakeOpenSslErrors() {
  std::string text;
  while (const unsigned long code = ERR_get_error()) {
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof buffer);
    // "error:0A00010B:SSL routines::wrong version number": the reason is what a reader needs.
    const char* reason = ERR_reason_error_string(code);
    if (!text.empty()) text += "; ";
    text += reason != nullptr ? reason : buffer;
  }
  return text;
}

bool ReadableFile(const std::string& path, std::string& why) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    why = std::strerror(errno);
    return false;
  }
  std::fclose(f);
  return true;
}

// Forward-secret TLS 1.2 suites with authenticated encryption; TLS 1.3's own suites all are.
constexpr const char* kCipherList =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";
constexpr const char* kGroups = "X25519:P-256:P-384";
constexpr unsigned char kAlpn[] = {8, 'h', 't', 't', 'p', '/', '1', '.', '1'};

void CommonSettings(SSL_CTX* ctx) {
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION);
  SSL_CTX_set_cipher_list(ctx, kCipherList);
  SSL_CTX_set1_groups_list(ctx, kGroups);
  SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION |
                               SSL_OP_IGNORE_UNEXPECTED_EOF);
  // Sends take what fits and report it, the queue keeps the rest where it is (and offers it
  // again from a new address); idle connections give their buffers back.
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                            SSL_MODE_RELEASE_BUFFERS);
  // Records are read as they came, many in one receive.
  SSL_CTX_set_read_ahead(ctx, 1);
}

int SelectAlpn(SSL*, const unsigned char** out, unsigned char* out_length, const unsigned char* in,
               unsigned int in_length, void*) {
  unsigned char* chosen = nullptr;
  if (SSL_select_next_proto(&chosen, out_length, kAlpn, sizeof kAlpn, in, in_length) ==
      OPENSSL_NPN_NEGOTIATED) {
    *out = chosen;
    return SSL_TLSEXT_ERR_OK;
  }
  // A client that offers only other protocols is served HTTP/1.1 all the same, as it would be
  // without ALPN.
  return SSL_TLSEXT_ERR_NOACK;
}

int VerifyCode(long result) {
  switch (result) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
      return kTlsCertExpired;
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return kTlsCertNotYetValid;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
      return kTlsUnknownIssuer;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return kTlsNameMismatch;
    default:
      return kTlsNotTrusted;
  }
}

bool IsAddress(const std::string& host) {
  unsigned char scrap[sizeof(in6_addr)];
  return ::inet_pton(AF_INET, host.c_str(), scrap) == 1 ||
         ::inet_pton(AF_INET6, host.c_str(), scrap) == 1;
}

// The socket as OpenSSL's transport: send(2) with MSG_NOSIGNAL, as every other send of this
// library, so that a peer gone away is an EPIPE failure and never a signal that ends a program
// which left SIGPIPE alone.
int SocketOf(BIO* bio) {
  return static_cast<int>(reinterpret_cast<std::intptr_t>(BIO_get_data(bio)));
}

int BioWrite(BIO* bio, const char* data, int count) {
  BIO_clear_retry_flags(bio);
  const ssize_t n = ::send(SocketOf(bio), data, static_cast<std::size_t>(count), MSG_NOSIGNAL);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_write(bio);
  return static_cast<int>(n);
}

int BioRead(BIO* bio, char* data, int count) {
  BIO_clear_retry_flags(bio);
  const ssize_t n = ::recv(SocketOf(bio), data, static_cast<std::size_t>(count), 0);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_read(bio);
  return static_cast<int>(n);
}

long BioControl(BIO*, int command, long, void*) {
  return command == BIO_CTRL_FLUSH ? 1 : 0;
}

BIO_METHOD* SocketMethod() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR,
                                 "quorvin socket");
    BIO_meth_set_write(m, BioWrite);
    BIO_meth_set_read(m, BioRead);
    BIO_meth_set_ctrl(m, BioControl);
    return m;
  }();
  return method;
}

// Kernel TLS needs OpenSSL's own socket transport, whose write(2) and sendfile(2) raise SIGPIPE
// at a peer that is gone: the signal is held back around the calls that may write and a
// pending one taken away, so that it never reaches the program.
class SigpipeHeld {
 public:
  explicit SigpipeHeld(bool hold) : hold_(hold) {
    if (!hold_) return;
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    was_pending_ = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
  }
  ~SigpipeHeld() {
    if (!hold_) return;
    sigset_t pending;
    sigpending(&pending);
    if (!was_pending_ && sigismember(&pending, SIGPIPE) == 1) {
      const timespec none{};
      sigtimedwait(&pipe_, nullptr, &none);
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  SigpipeHeld(const SigpipeHeld&) = delete;
  SigpipeHeld& operator=(const SigpipeHeld&) = delete;

 private:
  bool hold_;
  bool was_pending_ = false;
  sigset_t pipe_{};
  sigset_t old_{};
};

}  // namespace

std::string ErrorText(int code) {
  std::string text;
  switch (code) {
    case kTlsHandshakeFailed:
      text = "the TLS handshake failed";
      break;
    case kTlsNotTrusted:
      text = "the server's certificate is not trusted";
      break;
    case kTlsCertExpired:
      text = "the server's certificate has expired";
      break;
    case kTlsCertNotYetValid:
      text = "the server's certificate is not valid yet";
      break;
    case kTlsUnknownIssuer:
      text = "the server's certificate has an unknown issuer";
      break;
    case kTlsNameMismatch:
      text = "the server's certificate does not name the host (name mismatch)";
      break;
    case kTlsPlainHttp:
      return "a plain HTTP request came to the TLS port";
    case kTlsProtocol:
      text = "a TLS record could not be read";
      break;
    // The lookup's failures, which carry the socket API's codes.
    case WSAHOST_NOT_FOUND:
      return "no such host";
    case WSATRY_AGAIN:
      return "no name server answered in time";
    case WSANO_RECOVERY:
      return "the name servers failed or refused the question";
    case WSANO_DATA:
      return "the name has no address";
    case WSATYPE_NOT_FOUND:
      return "no such service";
    default:
      return std::strerror(code);
  }
  if (!last_detail.empty()) text += " (" + last_detail + ")";
  return text;
}

bool KernelTlsOffered() {
  static const bool offered = [] {
    // The offload attaches only to an established connection: make one on loopback.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bool ok = false;
    int client = -1;
    int accepted = -1;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::listen(listener, 1) == 0 &&
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (client >= 0 &&
          ::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        accepted = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        ok = ::setsockopt(client, SOL_TCP, TCP_ULP, "tls", sizeof "tls") == 0;
      }
    }
    for (const int fd : {accepted, client, listener}) {
      if (fd >= 0) ::close(fd);
    }
    return ok;
  }();
  return offered;
}

// --- TlsContext ---------------------------------------------------------------------------

TlsContext::~TlsContext() {
  SSL_CTX_free(ctx_);
}

std::shared_ptr<TlsContext> TlsContext::Server(const std::string& certificate_file,
                                               const std::string& key_file) {
  std::string why;
  if (certificate_file.empty()) throw ETlsError("no TLS certificate file is given");
  if (key_file.empty()) throw ETlsError("no TLS key file is given");
  if (!ReadableFile(certificate_file, why))
    throw ETlsError("cannot read the TLS certificate file " + certificate_file + ": " + why);
  if (!ReadableFile(key_file, why))
    throw ETlsError("cannot read the TLS key file " + key_file + ": " + why);
  ERR_clear_error();
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (ctx == nullptr) throw ETlsError("cannot make a TLS context: " + TakeOpenSslErrors());
  std::shared_ptr<TlsContext> context(new TlsContext(ctx, true));
  CommonSettings(ctx);
  if (SSL_CTX_use_certificate_chain_file(ctx, certificate_file.c_str()) != 1) {
    throw ETlsError("the TLS certificate file " + certificate_file +
                    " holds no usable certificate (" + TakeOpenSslErrors() + ")");
  }
  if (SSL_CTX_use_PrivateKey_file(ctx, key_file.c_str(), SSL_FILETYPE_PEM) != 1) {
    throw ETlsError("the TLS key file " + key_file + " holds no usable private key (" +
                    TakeOpenSslErrors() + ")");
  }
  if (SSL_CTX_check_private_key(ctx) != 1) {
    ERR_clear_error();
    throw ETlsError("the TLS key file " + key_file + " does not match the certificate in " +
                    certificate_file);
  }
  SSL_CTX_set_alpn_select_cb(ctx, SelectAlpn, nullptr);
  // Sessions resume from tickets the client keeps: the server's side of the cache is on, its
  // store is not, so nothing is kept here per client.
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_SERVER | SSL_SESS_CACHE_NO_INTERNAL);
  if (KernelTlsOffered()) {
    SSL_CTX_set_options(ctx, SSL_OP_ENABLE_KTLS);
    context->ktls_ = true;
  }
  return context;
}

std::shared_ptr<TlsContext> TlsContext::Client(const TlsClientSettings& options) {
  // Loading a CA store costs more than a connection: one context per configuration. (Called on
  // the loop's thread only, as everything of the library.)
  static std::map<std::pair<bool, std::string>, std::shared_ptr<TlsContext>> made;
  auto& slot = made[{options.verify, options.ca_file}];
  if (slot) return slot;
  std::string why;
  if (!options.ca_file.empty() && !ReadableFile(options.ca_file, why)) {
    last_detail = "cannot read the CA file " + options.ca_file + ": " + why;
    throw ETlsError(last_detail);
  }
  ERR_clear_error();
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (ctx == nullptr) throw ETlsError("cannot make a TLS context: " + TakeOpenSslErrors());
  std::shared_ptr<TlsContext> context(new TlsContext(ctx, false));
  CommonSettings(ctx);
  SSL_CTX_set_alpn_protos(ctx, kAlpn, sizeof kAlpn);
  if (options.verify) {
    const int loaded = options.ca_file.empty()
                           ? SSL_CTX_set_default_verify_paths(ctx)
                           : SSL_CTX_load_verify_locations(ctx, options.ca_file.c_str(), nullptr);
    if (loaded != 1) {
      last_detail = TakeOpenSslErrors();
      throw ETlsError("cannot load the CA file " +
                      (options.ca_file.empty() ? std::string("store") : options.ca_file) + " (" +
                      last_detail + ")");
    }
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    context->verify_ = true;
  } else {
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
  }
  slot = context;
  return context;
}

namespace detail {

// --- TlsSession ---------------------------------------------------------------------------

TlsSession::TlsSession(std::shared_ptr<TlsContext> context, int fd, const std::string& host)
    : context_(std::move(context)), ssl_(SSL_new(context_->Native())), fd_(fd),
      server_(context_->IsServer()) {
  if (ssl_ == nullptr) throw ETlsError("cannot make a TLS session: " + TakeOpenSslErrors());
  if (context_->KernelTls()) {
    SSL_set_fd(ssl_, fd);
  } else {
    BIO* bio = BIO_new(SocketMethod());
    BIO_set_data(bio, reinterpret_cast<void*>(static_cast<std::intptr_t>(fd)));
    BIO_set_init(bio, 1);
    SSL_set_bio(ssl_, bio, bio);
  }
  if (server_) {
    SSL_set_accept_state(ssl_);
    return;
  }
  SSL_set_connect_state(ssl_);
  if (host.empty()) return;
  if (!IsAddress(host)) SSL_set_tlsext_host_name(ssl_, host.c_str());
  if (context_->Verifies()) {
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl_);
    if (IsAddress(host)) {
      X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str());
    } else {
      X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
      X509_VERIFY_PARAM_set1_host(param, host.c_str(), 0);
    }
  }
}

TlsSession::~TlsSession() {
  SSL_free(ssl_);
}

int TlsSession::ErrorOf(int result, int& error) {
  const int kind = SSL_get_error(ssl_, result);
  if (kind == SSL_ERROR_SYSCALL) {
    error = errno != 0 ? errno : ECONNRESET;
    ERR_clear_error();
  } else if (kind == SSL_ERROR_SSL) {
    last_detail = TakeOpenSslErrors();
  }
  return kind;
}

TlsSession::Step TlsSession::Handshake(int& error) {
  error = 0;
  if (server_ && !probed_) {
    // A TLS connection opens with a handshake record (22); a plain HTTP request opens with a
    // method's letters. Which answer such a peer gets is not the session's to say.
    unsigned char first = 0;
    const ssize_t n = ::recv(fd_, &first, 1, MSG_PEEK);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
      return Step::kWantRead;
    probed_ = true;
    if (n == 1 && first >= 'A' && first <= 'Z') {
      error = kTlsPlainHttp;
      return Step::kFailed;
    }
  }
  ERR_clear_error();
  errno = 0;
  const SigpipeHeld held(context_->KernelTls());
  const int result = SSL_do_handshake(ssl_);
  if (result == 1) {
    established_ = true;
    return Step::kDone;
  }
  switch (ErrorOf(result, error)) {
    case SSL_ERROR_WANT_READ:
      error = 0;
      return Step::kWantRead;
    case SSL_ERROR_WANT_WRITE:
      error = 0;
      return Step::kWantWrite;
    case SSL_ERROR_SYSCALL:
      return Step::kFailed;
    default:
      break;
  }
  const long verified = SSL_get_verify_result(ssl_);
  if (!server_ && context_->Verifies() && verified != X509_V_OK) {
    last_detail = X509_verify_cert_error_string(verified);
    error = VerifyCode(verified);
  } else {
    error = kTlsHandshakeFailed;
  }
  return Step::kFailed;
}

TlsSession::ReadResult TlsSession::Read(char* buffer, int count) {
  const SigpipeHeld held(context_->KernelTls());  // a read may answer with an alert
  ReadResult r;
  while (r.bytes < count) {
    ERR_clear_error();
    errno = 0;
    std::size_t n = 0;
    const int result =
        SSL_read_ex(ssl_, buffer + r.bytes, static_cast<std::size_t>(count - r.bytes), &n);
    if (result == 1) {
      r.bytes += static_cast<int>(n);
      continue;
    }
    int error = 0;
    switch (ErrorOf(result, error)) {
      case SSL_ERROR_WANT_READ:
      case SSL_ERROR_WANT_WRITE:
        r.drained = true;
        return r;
      case SSL_ERROR_ZERO_RETURN:
        r.ended = true;
        return r;
      case SSL_ERROR_SYSCALL:
        if (errno == 0) {
          r.ended = true;
        } else {
          r.error = error;
        }
        return r;
      default:
        r.error = kTlsProtocol;
        return r;
    }
  }
  return r;
}

bool TlsSession::HasPending() const {
  return SSL_has_pending(ssl_) == 1;
}

int TlsSession::Available() {
  if (SSL_pending(ssl_) == 0) {
    char scrap;
    ERR_clear_error();
    std::size_t n = 0;
    if (SSL_peek_ex(ssl_, &scrap, 1, &n) != 1) ERR_clear_error();
  }
  return SSL_pending(ssl_);
}

ssize_t TlsSession::Send(const char* data, std::size_t count, bool /*more*/, int& error) {
  const SigpipeHeld held(context_->KernelTls());
  std::size_t done = 0;
  while (done < count) {
    ERR_clear_error();
    errno = 0;
    std::size_t n = 0;
    const int result = SSL_write_ex(ssl_, data + done, count - done, &n);
    if (result == 1) {
      done += n;
      continue;
    }
    switch (ErrorOf(result, error)) {
      case SSL_ERROR_WANT_READ:
      case SSL_ERROR_WANT_WRITE:
        if (done > 0) return static_cast<ssize_t>(done);
        error = EAGAIN;
        return -1;
      case SSL_ERROR_SYSCALL:
        return -1;
      default:
        error = kTlsProtocol;
        return -1;
    }
  }
  return static_cast<ssize_t>(done);
}

ssize_t TlsSession::SendFile(int file, off_t& at, std::size_t count, int& error) {
  if (!KernelSend()) {
    error = EINVAL;  // read and sent as records instead
    return -1;
  }
  ERR_clear_error();
  errno = 0;
  const SigpipeHeld held(true);
  const ossl_ssize_t n = SSL_sendfile(ssl_, file, at, count, 0);
  if (n >= 0) {
    at += n;
    return n;
  }
  const int kind = SSL_get_error(ssl_, static_cast<int>(n));
  if (kind == SSL_ERROR_WANT_WRITE || kind == SSL_ERROR_WANT_READ) {
    ERR_clear_error();
    error = EAGAIN;
    return -1;
  }
  error = errno != 0 ? errno : EIO;
  ERR_clear_error();
  return -1;
}

void TlsSession::Shutdown() {
  if (shut_) return;
  shut_ = true;
  ERR_clear_error();
  // Our close_notify only: the connection closes without waiting for the peer's.
  const SigpipeHeld held(context_->KernelTls());
  if (SSL_is_init_finished(ssl_) == 1 && SSL_shutdown(ssl_) < 0) ERR_clear_error();
}

std::string TlsSession::ServerName() const {
  const char* name = SSL_get_servername(ssl_, TLSEXT_NAMETYPE_host_name);
  return name != nullptr ? name : "";
}

bool TlsSession::KernelSend() const {
  return context_->KernelTls() && BIO_get_ktls_send(SSL_get_wbio(ssl_)) != 0;
}

}  // namespace detail
}  // namespace quorvin::net
