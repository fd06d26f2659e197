#pragma once

#include <sys/socket.h>

#include <compare>
#include <optional>
#include <string>
#include <string_view>

// Where a TCP socket is bound or connected: an IPv4 or IPv6 address and a port, kept as the
// system's calls take it, and the address as text.
namespace quorvin::net {

class Endpoint {
 public:
  // No address: Family() is AF_UNSPEC, the text is empty and the port 0.
  Endpoint() = default;
  // The address the system gave (accept, getsockname, getpeername, a lookup's answer). Any
  // family but IPv4 and IPv6 gives an empty endpoint.
  Endpoint(const sockaddr* address, socklen_t length);

  // A numeric address: IPv4 in dotted-quad form, or IPv6 (with a "%" and a scope, an
  // interface's name or number, for a link-local one). Nothing for any other text: names are
  // looked up elsewhere.
  static std::optional<Endpoint> Parse(std::string_view address, int port = 0);
  // 127.0.0.1.
  static Endpoint LoopbackV4(int port = 0);
  // Where the socket `fd` is bound, or the peer it is connected to; empty when the system
  // cannot say (not a socket, not connected).
  static Endpoint LocalOf(int fd);
  static Endpoint PeerOf(int fd);

  int Family() const { return storage_.ss_family; }

  bool Empty() const { return Family() == AF_UNSPEC; }

  bool IsV6() const { return Family() == AF_INET6; }

  int Port() const;
  Endpoint WithPort(int port) const;
  // "192.0.2.7", "2001:db8::1". An IPv4 client of a dual-stack listener reads as the IPv4
  // client it is; the scope of a link-local address is left out.
  std::string AddressText() const;

  // For connect(2) and bind(2).
  const sockaddr* Data() const { return reinterpret_cast<const sockaddr*>(&storage_); }

  socklen_t Size() const;

  // Family first, then the address's bytes, its scope and the port.
  friend std::strong_ordering operator<=>(const Endpoint& a, const Endpoint& b);

  friend bool operator==(const Endpoint& a, const Endpoint& b) { return (a <=> b) == 0; }

 private:
  sockaddr_storage storage_{};
};

}  // namespace quorvin::net
