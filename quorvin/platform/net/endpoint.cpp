#include "quorvin/platform/net/endpoint.h"

#include <sys/socket.h>

#include <cstdint>
#include <cstring>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>

#include "quorvin/platform/core/text.h"

namespace quorvin::net {

namespace {

const sockaddr_in& V4(const sockaddr_storage& s) {
  return reinterpret_cast<const sockaddr_in&>(s);
}

const sockaddr_in6& V6(const sockaddr_storage& s) {
  return reinterpret_cast<const sockaddr_in6&>(s);
}

std::uint16_t PortBytes(int port) {
  return htons(static_cast<std::uint16_t>(port));
}

}  // namespace

Endpoint::Endpoint(const sockaddr* address, socklen_t length) {
  if (address == nullptr) return;
  // Only what names the endpoint is kept (no IPv6 flow label), so that equal endpoints compare
  // equal whoever made them.
  if (address->sa_family == AF_INET && length >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
    const auto& in = *reinterpret_cast<const sockaddr_in*>(address);
    auto& out = reinterpret_cast<sockaddr_in&>(storage_);
    out.sin_family = AF_INET;
    out.sin_port = in.sin_port;
    out.sin_addr = in.sin_addr;
  } else if (address->sa_family == AF_INET6 &&
             length >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
    const auto& in = *reinterpret_cast<const sockaddr_in6*>(address);
    auto& out = reinterpret_cast<sockaddr_in6&>(storage_);
    out.sin6_family = AF_INET6;
    out.sin6_port = in.sin6_port;
    out.sin6_addr = in.sin6_addr;
    out.sin6_scope_id = in.sin6_scope_id;
  }
}

std::optional<Endpoint> Endpoint::Parse(std::string_view address, int port) {
  // inet_pton, as the host's own tools read addresses: dotted quads only ("127.1" is no
  // address), and no blanks.
  const std::string text(address);
  Endpoint e;
  sockaddr_in v4{};
  if (::inet_pton(AF_INET, text.c_str(), &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    v4.sin_port = PortBytes(port);
    std::memcpy(&e.storage_, &v4, sizeof v4);
    return e;
  }
  sockaddr_in6 v6{};
  const auto percent = text.find('%');
  if (::inet_pton(AF_INET6, text.substr(0, percent).c_str(), &v6.sin6_addr) != 1) return {};
  if (percent != std::string::npos) {
    const std::string scope = text.substr(percent + 1);
    const bool digits =
        !scope.empty() && scope.find_first_not_of("0123456789") == std::string::npos;
    if (const auto number = digits ? platform::ParseDecimal(scope) : std::nullopt;
        number && *number <= 0xFFFFFFFF) {
      v6.sin6_scope_id = static_cast<std::uint32_t>(*number);
    } else {
      v6.sin6_scope_id = ::if_nametoindex(scope.c_str());
      if (v6.sin6_scope_id == 0) return {};  // no such interface
    }
  }
  v6.sin6_family = AF_INET6;
  v6.sin6_port = PortBytes(port);
  std::memcpy(&e.storage_, &v6, sizeof v6);
  return e;
}

Endpoint Endpoint::LoopbackV4(int port) {
  sockaddr_in v4{};
  v4.sin_family = AF_INET;
  v4.sin_port = PortBytes(port);
  v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return Endpoint(reinterpret_cast<const sockaddr*>(&v4), sizeof v4);
}

Endpoint Endpoint::LocalOf(int fd) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (fd < 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return {};
  return Endpoint(reinterpret_cast<const sockaddr*>(&address), length);
}

Endpoint Endpoint::PeerOf(int fd) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (fd < 0 || ::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return {};
  return Endpoint(reinterpret_cast<const sockaddr*>(&address), length);
}

int Endpoint::Port() const {
  if (Family() == AF_INET) return ntohs(V4(storage_).sin_port);
  if (Family() == AF_INET6) return ntohs(V6(storage_).sin6_port);
  return 0;
}

Endpoint Endpoint::WithPort(int port) const {
  Endpoint e = *this;
  if (Family() == AF_INET) reinterpret_cast<sockaddr_in&>(e.storage_).sin_port = PortBytes(port);
  if (Family() == AF_INET6) reinterpret_cast<sockaddr_in6&>(e.storage_).sin6_port = PortBytes(port);
  return e;
}

std::string Endpoint::AddressText() const {
  char text[INET6_ADDRSTRLEN] = {};
  if (Family() == AF_INET) {
    ::inet_ntop(AF_INET, &V4(storage_).sin_addr, text, sizeof text);
  } else if (Family() == AF_INET6) {
    const in6_addr& v6 = V6(storage_).sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&v6)) {
      ::inet_ntop(AF_INET, &v6.s6_addr[12], text, sizeof text);
    } else {
      ::inet_ntop(AF_INET6, &v6, text, sizeof text);
    }
  }
  return text;
}

socklen_t Endpoint::Size() const {
  if (Family() == AF_INET) return sizeof(sockaddr_in);
  if (Family() == AF_INET6) return sizeof(sockaddr_in6);
  return 0;
}

std::strong_ordering operator<=>(const Endpoint& a, const Endpoint& b) {
  if (const auto order = a.Family() <=> b.Family(); order != 0) return order;
  int bytes = 0;
  if (a.Family() == AF_INET) {
    bytes = std::memcmp(&V4(a.storage_).sin_addr, &V4(b.storage_).sin_addr, sizeof(in_addr));
  } else if (a.Family() == AF_INET6) {
    bytes = std::memcmp(&V6(a.storage_).sin6_addr, &V6(b.storage_).sin6_addr, sizeof(in6_addr));
  }
  if (bytes != 0) return bytes <=> 0;
  if (a.Family() == AF_INET6) {
    if (const auto order = V6(a.storage_).sin6_scope_id <=> V6(b.storage_).sin6_scope_id;
        order != 0)
      return order;
  }
  return a.Port() <=> b.Port();
}

}  // namespace quorvin::net
