#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quorvin/platform/net/endpoint.h"

// Finding the address a client socket connects to, on the event loop and without threads: the
// library never blocks the loop on a lookup and never starts a thread for one.
namespace quorvin::net::detail {

// Where names are looked up. Numeric addresses need nothing; "localhost" and the names of the
// hosts file are answered from that file (read at every lookup: it is local and small, and an
// edit takes effect at once); other names are asked of the name servers over DNS.
struct LookupSettings {
  std::string hosts_file = "/etc/hosts";
  std::string services_file = "/etc/services";
  // Comma-separated "address[:port]" list; empty: the system's (resolv.conf).
  std::string name_servers;
  // How long one name server may take to answer, and how often each is asked. A desktop
  // program's user waits for this when no name server can be reached.
  std::chrono::milliseconds timeout{2000};
  int tries = 1;
};

// Replaces the settings. Lookups still running finish under the old ones or fail.
void SetLookupSettings(const LookupSettings& settings);
const LookupSettings& CurrentLookupSettings();

// The port a service name or decimal number stands for, from the services file; 0 when none.
int ServicePort(std::string_view service);

// The addresses `name` has in the hosts file at `path` (port 0), in the file's order; empty
// when none.
std::vector<Endpoint> HostsFileAddresses(std::string_view name, const std::string& path);

// The order in which a client tries a name's addresses: IPv6 and IPv4 taking turns, IPv6
// first, each family in the order given (RFC 8305, 4), all at `port`. A host whose IPv6 path
// is broken costs one quick failure or one short wait before its IPv4 address is tried.
std::vector<Endpoint> ConnectOrder(const std::vector<Endpoint>& addresses, int port);

// One lookup of the endpoints to connect to: `host` (a numeric address, or a name unless
// `numeric_only`) at `port`. `done` is called once from the loop, never from inside the
// constructor, with 0 and the endpoints (at least one, in ConnectOrder) or with a failure code: EINVAL (not a numeric address
// where one was required), WSAHOST_NOT_FOUND, WSANO_DATA, WSATRY_AGAIN (no name server
// answered in time), WSANO_RECOVERY (the name servers failed or refused). Destroying the
// object abandons the lookup: `done` is not called then.
class EndpointLookup {
 public:
  using Endpoints = std::vector<Endpoint>;
  using Done = std::function<void(int code, const Endpoints& endpoints)>;

  EndpointLookup(const std::string& host, bool numeric_only, int port, Done done);
  ~EndpointLookup();
  EndpointLookup(const EndpointLookup&) = delete;
  EndpointLookup& operator=(const EndpointLookup&) = delete;

  struct Pending;

 private:
  std::shared_ptr<Pending> pending_;
};

}  // namespace quorvin::net::detail
