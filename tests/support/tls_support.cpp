#include "tls_support.h"

#include <sys/socket.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "raw_client.h"

namespace quorvin::testing {
namespace {

void Run(const std::string& command) {
  if (std::system((command + " >/dev/null 2>&1").c_str()) != 0)
    throw std::runtime_error("failed: " + command);
}

}  // namespace

const TestPki& TestPki::Get() {
  static const TestPki pki;
  return pki;
}

TestPki::TestPki() {
  const std::string d = dir_.Str() + "/";
  ca = d + "ca.pem";
  cert = d + "server.pem";
  key = d + "server.key";
  other_cert = d + "other.pem";
  other_key = d + "other.key";
  self_cert = d + "self.pem";
  self_key = d + "self.key";
  const std::string ec = "-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes";
  Run("openssl req -x509 " + ec + " -keyout " + d + "ca.key -out " + ca +
      " -days 2 -subj /CN=Quorvin-Test-CA -addext basicConstraints=critical,CA:TRUE"
      " -addext keyUsage=critical,keyCertSign");
  const auto leaf = [&](const std::string& name, const std::string& san, const std::string& out,
                        const std::string& out_key) {
    const std::string ext = d + name + ".ext";
    std::ofstream(ext) << "subjectAltName=" << san << "\n";
    Run("openssl req -new " + ec + " -keyout " + out_key + " -out " + d + name + ".csr -subj /CN=" +
        name);
    Run("openssl x509 -req -in " + d + name + ".csr -CA " + ca + " -CAkey " + d +
        "ca.key -CAcreateserial -days 2 -extfile " + ext + " -out " + out);
  };
  leaf("localhost", "DNS:localhost,IP:127.0.0.1", cert, key);
  leaf("other.example", "DNS:other.example", other_cert, other_key);
  Run("openssl req -x509 " + ec + " -keyout " + self_key + " -out " + self_cert +
      " -days 2 -subj /CN=localhost -addext subjectAltName=DNS:localhost,IP:127.0.0.1");
}

TlsClient::TlsClient(int port, const Options& options) {
  ctx_ = SSL_CTX_new(TLS_client_method());
  if (options.min_version != 0) SSL_CTX_set_min_proto_version(ctx_, options.min_version);
  if (options.max_version != 0) SSL_CTX_set_max_proto_version(ctx_, options.max_version);
  if (options.max_version != 0 && options.max_version < TLS1_2_VERSION) {
    // Old protocols need the lowest security level to be offered at all.
    SSL_CTX_set_security_level(ctx_, 0);
  }
  if (!options.ca_file.empty()) {
    SSL_CTX_load_verify_locations(ctx_, options.ca_file.c_str(), nullptr);
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
  }
  if (options.alpn) {
    static const unsigned char alpn[] = {8, 'h', 't', 't', 'p', '/', '1', '.', '1'};
    SSL_CTX_set_alpn_protos(ctx_, alpn, sizeof alpn);
  }
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(options.timeout.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>((options.timeout.count() % 1000) * 1000);
  ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  if (options.receive_buffer > 0) {
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &options.receive_buffer, sizeof options.receive_buffer);
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    error_ = "connect failed";
    return;
  }
  ssl_ = SSL_new(ctx_);
  SSL_set_fd(ssl_, fd_);
  SSL_set_tlsext_host_name(ssl_, options.host.c_str());
  if (!options.ca_file.empty()) SSL_set1_host(ssl_, options.host.c_str());
  if (options.session != nullptr) SSL_set_session(ssl_, options.session);
  ERR_clear_error();
  if (SSL_connect(ssl_) == 1) {
    ok_ = true;
    return;
  }
  char text[256] = "handshake failed";
  if (const unsigned long code = ERR_get_error()) ERR_error_string_n(code, text, sizeof text);
  error_ = text;
}

TlsClient::~TlsClient() {
  if (ssl_ != nullptr) SSL_free(ssl_);
  if (ctx_ != nullptr) SSL_CTX_free(ctx_);
  if (fd_ >= 0) ::close(fd_);
}

bool TlsClient::Send(std::string_view bytes) {
  if (!ok_) return false;
  std::size_t written = 0;
  return bytes.empty() || (SSL_write_ex(ssl_, bytes.data(), bytes.size(), &written) == 1 &&
                           written == bytes.size());
}

std::string TlsClient::ReadAll(bool* closed) {
  std::string all = std::move(buffered_);
  buffered_.clear();
  if (closed != nullptr) *closed = false;
  if (!ok_) return all;
  char buffer[65536];
  for (;;) {
    std::size_t n = 0;
    if (SSL_read_ex(ssl_, buffer, sizeof buffer, &n) == 1) {
      all.append(buffer, n);
      continue;
    }
    const int kind = SSL_get_error(ssl_, 0);
    if (closed != nullptr) {
      *closed = kind == SSL_ERROR_ZERO_RETURN || (kind == SSL_ERROR_SYSCALL && errno == 0) ||
                (kind == SSL_ERROR_SSL);  // an end without close_notify
    }
    ERR_clear_error();
    return all;
  }
}

std::string TlsClient::ReadAnswer() {
  char buffer[65536];
  return TakeAnswer(buffered_, [&] {
    std::size_t n = 0;
    if (!ok_ || SSL_read_ex(ssl_, buffer, sizeof buffer, &n) != 1) {
      ERR_clear_error();
      return false;
    }
    buffered_.append(buffer, n);
    return true;
  });
}

std::string TlsClient::ReadSome(std::size_t count) {
  std::string got(count, '\0');
  std::size_t n = 0;
  if (!ok_ || SSL_read_ex(ssl_, got.data(), count, &n) != 1) ERR_clear_error();
  got.resize(n);
  return got;
}

void TlsClient::ShutdownWrite() {
  ::shutdown(fd_, SHUT_WR);
}

void TlsClient::Reset() {
  linger lg{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  ::close(fd_);
  fd_ = -1;
  ok_ = false;
}

bool TlsClient::Resumed() const {
  return ssl_ != nullptr && SSL_session_reused(ssl_) == 1;
}

std::string TlsClient::Protocol() const {
  return ssl_ != nullptr ? SSL_get_version(ssl_) : "";
}

std::string TlsClient::Alpn() const {
  const unsigned char* data = nullptr;
  unsigned int length = 0;
  if (ssl_ != nullptr) SSL_get0_alpn_selected(ssl_, &data, &length);
  return data != nullptr ? std::string(reinterpret_cast<const char*>(data), length) : "";
}

SSL_SESSION* TlsClient::TakeSession() const {
  SSL_SESSION* live = ssl_ != nullptr ? SSL_get1_session(ssl_) : nullptr;
  if (live == nullptr) return nullptr;
  // Stored and read back, as a client that keeps sessions between runs does: the live object
  // of an ended TLS 1.3 connection is not offered again by this OpenSSL.
  const int length = i2d_SSL_SESSION(live, nullptr);
  std::string bytes(static_cast<std::size_t>(std::max(length, 0)), '\0');
  auto* out = reinterpret_cast<unsigned char*>(bytes.data());
  i2d_SSL_SESSION(live, &out);
  SSL_SESSION_free(live);
  const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
  return d2i_SSL_SESSION(nullptr, &in, length);
}

void FreeSession(SSL_SESSION* session) {
  SSL_SESSION_free(session);
}

std::string ClientHelloBytes() {
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  SSL* ssl = SSL_new(ctx);
  BIO* in = BIO_new(BIO_s_mem());
  BIO* out = BIO_new(BIO_s_mem());
  SSL_set_bio(ssl, in, out);
  SSL_set_tlsext_host_name(ssl, "localhost");
  SSL_connect(ssl);  // waits for the server: the hello is in `out`
  char* data = nullptr;
  const long size = BIO_get_mem_data(out, &data);
  std::string hello(data, static_cast<std::size_t>(size));
  SSL_free(ssl);
  SSL_CTX_free(ctx);
  ERR_clear_error();
  return hello;
}

TlsServer::TlsServer(const std::string& cert, const std::string& key, std::string reply) {
  ctx_ = SSL_CTX_new(TLS_server_method());
  SSL_CTX_use_certificate_chain_file(ctx_, cert.c_str());
  SSL_CTX_use_PrivateKey_file(ctx_, key.c_str(), SSL_FILETYPE_PEM);
  thread_ = std::thread([this, reply = std::move(reply)] {
    const int c = ::accept(listener_.Fd(), nullptr, nullptr);
    if (c < 0) return;
    timeval tv{5, 0};
    ::setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(c, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    SSL* ssl = SSL_new(ctx_);
    SSL_set_fd(ssl, c);
    if (SSL_accept(ssl) == 1) {
      handshake_ok = true;
      const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
      server_name = name != nullptr ? name : "";
      char buffer[4096];
      std::size_t n = 0;
      while (request.find("\r\n\r\n") == std::string::npos &&
             SSL_read_ex(ssl, buffer, sizeof buffer, &n) == 1) {
        request.append(buffer, n);
      }
      std::size_t written = 0;
      SSL_write_ex(ssl, reply.data(), reply.size(), &written);
      SSL_shutdown(ssl);
    }
    ERR_clear_error();
    SSL_free(ssl);
    ::close(c);
  });
}

void TlsServer::Join() {
  if (thread_.joinable()) thread_.join();
}

TlsServer::~TlsServer() {
  if (thread_.joinable()) {
    // A client that never came: wake the accept.
    ::shutdown(listener_.Fd(), SHUT_RDWR);
    thread_.join();
  }
  SSL_CTX_free(ctx_);
}

}  // namespace quorvin::testing
