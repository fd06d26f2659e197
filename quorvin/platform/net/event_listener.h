#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "quorvin/platform/core/deadline.h"
#include "quorvin/platform/net/reactor.h"

namespace quorvin::net {
class SharedListenSocket;
}

namespace quorvin::net::detail {

// A listening socket that accepts a connection each time the reactor finds one pending (a
// level-triggered watch: one accept per report, and no accept that only finds the queue empty).
// Each accepted descriptor, non-blocking from the accept itself, is offered to `offer`: true
// when it took the descriptor (it owns it from then on), false to decline it for now; a
// declined descriptor waits in this listener, and nothing more is accepted until Resume has
// seen it taken. The kernel's backlog holds the clients behind it. Running out of descriptors
// pauses accepting for kAcceptPause.
class EventListener final : public std::enable_shared_from_this<EventListener>, public ReadyWatcher {
 public:
  using Offer = std::function<bool(int fd)>;

  // Listens at `address` and `port` (0: the system picks). The address is an IPv4 or IPv6
  // literal, "localhost" (127.0.0.1), or "" for every address: one dual-stack socket that takes
  // IPv4 and IPv6 clients where the host allows it, else every IPv4 address. Throws
  // ESocketError, naming the address and the system's reason. While a SharedListenSocket
  // lives, the listener takes part in it instead (see there).
  static std::shared_ptr<EventListener> Listen(const std::string& address, int port, Offer offer);

  EventListener(int fd, Offer offer);
  ~EventListener();
  EventListener(const EventListener&) = delete;
  EventListener& operator=(const EventListener&) = delete;

  int LocalPort() const;

  bool HasWaiting() const { return !waiting_.empty(); }

  // Offers the waiting descriptors again, then goes on accepting.
  void Resume();
  // Stops listening and closes the waiting descriptors.
  void Close();

  void Ready(std::uint32_t events) override;

 private:
  friend class net::SharedListenSocket;
  // The process's shared listening socket: -1 when none, kShareFirstOpened until the first
  // Listen opens it. Setting -1 also forgets the listeners made from it.
  static constexpr int kShareFirstOpened = -2;
  static void ShareSocket(int fd);
  static int SharedSocket();
  // Closes every listener made from the shared socket.
  static void StopSharedListeners();

  void Accept();
  void Watching(bool on);
  void Pause();

  int fd_;
  Offer offer_;
  platform::Deadline pause_end_;
  std::deque<int> waiting_;
  bool watching_ = true;
  bool closed_ = false;
};

inline constexpr std::chrono::milliseconds kAcceptPause{100};

}  // namespace quorvin::net::detail
