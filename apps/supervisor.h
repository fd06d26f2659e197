#pragma once

// quorvin-serve's worker processes: a supervisor that keeps N copies of the program serving on
// one inherited listening socket, each on its own event loop, and what a worker does at its
// start and end. The library stays single-threaded; the processes share nothing but the socket.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "quorvin/platform/net/shared_listen_socket.h"

namespace quorvin::server {
class ListenerConfig;
}

namespace quorvin::apps {

// How long a worker asked to end may take over the answers it has in flight; the supervisor
// kills one that is still there a few seconds later.
inline constexpr std::chrono::seconds kWorkerGrace{30};

// A worker that dies sooner than this after its start (or before it was ready) counts as a
// quick death: the next start waits kFirstBackoff, doubling with each further quick death up
// to kMaxBackoff (deaths far apart start over). One that ran longer is replaced at once.
inline constexpr std::chrono::seconds kQuickDeath{2};
inline constexpr std::chrono::milliseconds kFirstBackoff{250};
inline constexpr std::chrono::milliseconds kMaxBackoff{8000};

struct SupervisorSettings {
  int workers = 1;
  std::vector<std::string> argv;  // the program's command line, which each worker runs again
  // The listening socket the workers inherit, closed once they are asked to end: clients that
  // come later are refused instead of waiting.
  std::unique_ptr<net::SharedListenSocket> shared;
  // Loads the form again for a reload: false (having said why on stderr) keeps the workers.
  std::function<bool()> check_form;
  // Called once, when the first N workers are ready.
  std::function<void()> on_ready;
};

// Runs the supervisor until SIGTERM or SIGINT, after which every worker finishes its answers in
// flight (up to kWorkerGrace); returns the program's exit status. SIGHUP checks the form and
// replaces the workers one by one: a new one starts, and once it is ready an old one ends.
int Supervise(SupervisorSettings settings);

// What a worker inherits from its supervisor, read from (and taken out of) the environment;
// nothing for a program started by hand.
struct WorkerLink {
  int listen_fd = -1;
  int ready_fd = -1;
  static std::optional<WorkerLink> FromEnvironment();
};

// A worker's life once its form is loaded, listening on `shared` (the socket of `link`): tells
// the supervisor it is ready, serves until SIGTERM or SIGINT, then stops accepting and closes
// the socket, closes kept connections as they become idle and waits for the others to finish,
// at most kWorkerGrace. Returns the exit status.
int RunWorker(const WorkerLink& link, server::ListenerConfig& listener,
              std::unique_ptr<net::SharedListenSocket> shared);

}  // namespace quorvin::apps
