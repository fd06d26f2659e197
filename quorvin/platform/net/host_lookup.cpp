#include "quorvin/platform/net/host_lookup.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

#include <sys/epoll.h>

#include <ares.h>
#include <netinet/in.h>

#include "quorvin/platform/core/deadline.h"
#include "quorvin/platform/core/text.h"
#include "quorvin/platform/net/notify.h"
#include "quorvin/platform/net/reactor.h"

namespace quorvin::net::detail {

struct EndpointLookup::Pending {
  Done done;
  int port = 0;
};

namespace {

LookupSettings& Settings() {
  static auto* settings = new LookupSettings;  // outlives lookups that end while statics go
  return *settings;
}

// Calls `fn` with the blank-separated fields of every line of a small system file, comments
// ("#" to the end of the line) left out.
template <class Fn>
void ForEachEntry(const std::string& path, Fn fn) {
  std::ifstream file(path);
  std::string line;
  std::vector<std::string> fields;
  while (std::getline(file, line)) {
    line.erase(std::min(line.find('#'), line.size()));
    std::istringstream words(line);
    fields.clear();
    for (std::string word; words >> word;) fields.push_back(std::move(word));
    if (!fields.empty() && fn(fields)) return;
  }
}

bool EndsWithLabel(std::string_view name, std::string_view label) {
  if (platform::SameText(name, label)) return true;
  return name.size() > label.size() && name[name.size() - label.size() - 1] == '.' &&
         platform::SameText(name.substr(name.size() - label.size()), label);
}

void Deliver(const std::shared_ptr<EndpointLookup::Pending>& pending, int code,
             std::vector<Endpoint> addresses) {
  Reactor::Instance().Post([weak = std::weak_ptr<EndpointLookup::Pending>(pending), code,
                            addresses = std::move(addresses)] {
    const auto target = weak.lock();
    if (!target || !target->done) return;
    const auto done = std::move(target->done);
    target->done = nullptr;
    done(code, code == 0 ? ConnectOrder(addresses, target->port) : EndpointLookup::Endpoints{});
  });
}

int CodeOf(int status) {
  switch (status) {
    case ARES_ENOTFOUND:
    case ARES_ENONAME:
    case ARES_EBADNAME:
      return WSAHOST_NOT_FOUND;
    case ARES_ENODATA:
      return WSANO_DATA;
    case ARES_ETIMEOUT:
    case ARES_ECONNREFUSED:
    case ARES_ESERVFAIL:
      return WSATRY_AGAIN;
    case ARES_ENOMEM:
      return ENOMEM;
    case ARES_EDESTRUCTION:
    case ARES_ECANCELLED:
      return ECANCELED;
    default:
      return WSANO_RECOVERY;
  }
}

// The DNS client: one c-ares channel whose sockets and timeouts are watched by the reactor.
// c-ares says through its socket-state callback which of its sockets wait for what; every
// readiness and every timeout is handed back to it with ares_process_fd. Its sockets are
// watched level-triggered: c-ares may leave input behind (a TCP answer is read a piece per
// call), and the reactor reports it again.
class Dns {
 public:
  static Dns& Instance() {
    static auto* dns = new Dns;  // never destroyed: its waits may complete while statics go
    return *dns;
  }

  void Query(const std::string& name, const std::shared_ptr<EndpointLookup::Pending>& pending) {
    if (!Open()) {
      Deliver(pending, WSANO_RECOVERY, {});
      return;
    }
    ares_addrinfo_hints hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    // Sorting would open a socket per address; ConnectOrder decides the order instead.
    hints.ai_flags = ARES_AI_NOSORT;
    ares_getaddrinfo(channel_, name.c_str(), nullptr, &hints, &Dns::Answered,
                     new std::weak_ptr<EndpointLookup::Pending>(pending));
    ArmTimer();
  }

  // The next query opens a channel with the settings then in force.
  void Reset() {
    if (channel_ == nullptr) return;
    ares_channel channel = channel_;
    channel_ = nullptr;
    ares_destroy(channel);  // fails what is pending (ECANCELED) and gives the sockets back
    timeout_.Cancel();
  }

 private:
  // One of c-ares's sockets, as the reactor watches it.
  struct Watch final : ReadyWatcher {
    Watch(Dns& owner, int descriptor) : dns(owner), fd(descriptor) {}
    void Ready(std::uint32_t events) override { dns.Ready(fd, events); }

    Dns& dns;
    int fd;
  };

  bool Open() {
    if (channel_ != nullptr) return true;
    static const int library = ares_library_init(ARES_LIB_INIT_ALL);
    if (library != ARES_SUCCESS) return false;
    const LookupSettings& settings = Settings();
    ares_options options{};
    options.sock_state_cb = &Dns::SocketState;
    options.sock_state_cb_data = this;
    options.timeout = static_cast<int>(std::max<std::int64_t>(1, settings.timeout.count()));
    options.tries = std::max(1, settings.tries);
    char lookups[] = "b";  // DNS only: the hosts file has been read already
    options.lookups = lookups;
    const int mask =
        ARES_OPT_SOCK_STATE_CB | ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES | ARES_OPT_LOOKUPS;
    if (ares_init_options(&channel_, &options, mask) != ARES_SUCCESS) {
      channel_ = nullptr;
      return false;
    }
    if (!settings.name_servers.empty() &&
        ares_set_servers_ports_csv(channel_, settings.name_servers.c_str()) != ARES_SUCCESS) {
      Reset();
      return false;
    }
    return true;
  }

  static void Answered(void* arg, int status, int /*timeouts*/, ares_addrinfo* result) {
    const std::unique_ptr<std::weak_ptr<EndpointLookup::Pending>> weak(
        static_cast<std::weak_ptr<EndpointLookup::Pending>*>(arg));
    int code = CodeOf(status);
    std::vector<Endpoint> addresses;
    for (const ares_addrinfo_node* node = status == ARES_SUCCESS && result != nullptr ? result->nodes : nullptr;
         node != nullptr; node = node->ai_next) {
      const Endpoint address =
          Endpoint(node->ai_addr, static_cast<socklen_t>(node->ai_addrlen)).WithPort(0);
      if (address.Empty()) continue;
      // An answer may name an address twice (once per socket type asked).
      if (std::find(addresses.begin(), addresses.end(), address) == addresses.end()) addresses.push_back(address);
    }
    if (status == ARES_SUCCESS) code = addresses.empty() ? WSANO_DATA : 0;
    if (result != nullptr) ares_freeaddrinfo(result);
    if (const auto pending = weak->lock()) Deliver(pending, code, std::move(addresses));
  }

  static void SocketState(void* data, ares_socket_t fd, int readable, int writable) {
    Dns& dns = *static_cast<Dns*>(data);
    const auto found = dns.watches_.find(fd);
    const std::uint32_t events = (readable != 0 ? std::uint32_t{EPOLLIN} : 0u) |
                                 (writable != 0 ? std::uint32_t{EPOLLOUT} : 0u);
    if (events == 0) {
      // Said before c-ares closes the socket: out of the set first, while the number is ours.
      if (found == dns.watches_.end()) return;
      Reactor::Instance().Forget(fd, found->second.get(), true);
      dns.watches_.erase(found);
      return;
    }
    if (found != dns.watches_.end()) {
      Reactor::Instance().Change(fd, found->second.get(), events);
      return;
    }
    auto watch = std::make_unique<Watch>(dns, fd);
    if (!Reactor::Instance().Watch(fd, watch.get(), events)) return;  // the query runs into its timeout
    dns.watches_.emplace(fd, std::move(watch));
  }

  void Ready(int fd, std::uint32_t events) {
    if (channel_ == nullptr) return;
    const bool read = (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0;
    const bool write = (events & (EPOLLOUT | EPOLLHUP | EPOLLERR)) != 0;
    ares_process_fd(channel_, read ? fd : ARES_SOCKET_BAD, write ? fd : ARES_SOCKET_BAD);
    ArmTimer();
  }

  void ArmTimer() {
    timeval wait{};
    if (channel_ == nullptr || ares_timeout(channel_, nullptr, &wait) == nullptr) {
      timeout_.Cancel();
      return;
    }
    timeout_.After(std::chrono::seconds(wait.tv_sec) + std::chrono::microseconds(wait.tv_usec));
  }

  void TimedOut() {
    if (channel_ == nullptr) return;
    ares_process_fd(channel_, ARES_SOCKET_BAD, ARES_SOCKET_BAD);  // timeouts
    ArmTimer();
  }

  ares_channel channel_ = nullptr;
  std::map<int, std::unique_ptr<Watch>> watches_;
  platform::Deadline timeout_{[this] { TimedOut(); }};
};

}  // namespace

void SetLookupSettings(const LookupSettings& settings) {
  Settings() = settings;
  Dns::Instance().Reset();
}

const LookupSettings& CurrentLookupSettings() {
  return Settings();
}

int ServicePort(std::string_view service) {
  if (const auto number = platform::ParseDecimal(service)) {
    return *number > 0 && *number <= 65535 ? static_cast<int>(*number) : 0;
  }
  int port = 0;
  if (service.empty()) return port;
  ForEachEntry(Settings().services_file, [&](const std::vector<std::string>& fields) {
    // name port/protocol aliases...
    if (fields.size() < 2) return false;
    const std::string_view where = fields[1];
    const auto slash = where.find('/');
    if (slash == std::string_view::npos || !platform::SameText(where.substr(slash + 1), "tcp"))
      return false;
    const bool named = std::any_of(fields.begin(), fields.end(), [&](const std::string& field) {
      return &field != &fields[1] && platform::SameText(field, service);
    });
    const auto number = platform::ParseDecimal(where.substr(0, slash));
    if (!named || !number || *number <= 0 || *number > 65535) return false;
    port = static_cast<int>(*number);
    return true;
  });
  return port;
}

std::vector<Endpoint> HostsFileAddresses(std::string_view name, const std::string& path) {
  std::vector<Endpoint> found;
  ForEachEntry(path, [&](const std::vector<std::string>& fields) {
    // address name aliases...
    const bool named = std::any_of(fields.begin() + 1, fields.end(), [&](const std::string& field) {
      return platform::SameText(field, name);
    });
    if (!named) return false;
    const auto address = Endpoint::Parse(fields[0]);
    if (address && std::find(found.begin(), found.end(), *address) == found.end()) found.push_back(*address);
    return false;
  });
  return found;
}

std::vector<Endpoint> ConnectOrder(const std::vector<Endpoint>& addresses, int port) {
  std::vector<const Endpoint*> six;
  std::vector<const Endpoint*> four;
  for (const auto& address : addresses) (address.IsV6() ? six : four).push_back(&address);
  std::vector<Endpoint> order;
  order.reserve(addresses.size());
  for (std::size_t i = 0; i < std::max(six.size(), four.size()); ++i) {
    if (i < six.size()) order.push_back(six[i]->WithPort(port));
    if (i < four.size()) order.push_back(four[i]->WithPort(port));
  }
  return order;
}

EndpointLookup::EndpointLookup(const std::string& host, bool numeric_only, int port, Done done)
    : pending_(std::make_shared<Pending>()) {
  pending_->done = std::move(done);
  pending_->port = port;
  if (auto address = Endpoint::Parse(host)) {
    Deliver(pending_, 0, {*address});
    return;
  }
  if (numeric_only) {
    Deliver(pending_, EINVAL, {});
    return;
  }
  std::string_view name = host;
  if (!name.empty() && name.back() == '.') name.remove_suffix(1);
  // Names under "invalid" never exist: said at once rather than after asking the name servers.
  if (name.empty() || EndsWithLabel(name, "invalid")) {
    Deliver(pending_, WSAHOST_NOT_FOUND, {});
    return;
  }
  if (auto listed = HostsFileAddresses(name, Settings().hosts_file); !listed.empty()) {
    Deliver(pending_, 0, std::move(listed));
    return;
  }
  // The machine itself, also when the hosts file does not say so.
  if (EndsWithLabel(name, "localhost")) {
    Deliver(pending_, 0, {Endpoint::LoopbackV4()});
    return;
  }
  Dns::Instance().Query(std::string(name), pending_);
}

EndpointLookup::~EndpointLookup() {
  pending_->done = nullptr;
}

}  // namespace quorvin::net::detail
