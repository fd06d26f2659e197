#include "supervisor.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "quorvin/platform/core/text.h"
#include "quorvin/platform/net/application.h"
#include "quorvin/platform/net/shared_listen_socket.h"
#include "quorvin/platform/net/stop_signals.h"
#include "quorvin/server/server_module.h"

namespace quorvin::apps {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kWorkerVariable = "QUORVIN_SERVE_WORKER";
// Past the grace period a worker gets this long to go before it is killed.
constexpr std::chrono::seconds kKillMargin{5};
// Deaths this far apart do not add up to a crash loop.
constexpr std::chrono::seconds kCalmAfter{30};

std::string SignalName(int signal) {
  const char* abbrev = ::sigabbrev_np(signal);
  return "signal " + std::to_string(signal) + (abbrev != nullptr ? std::string(" (SIG") + abbrev + ")" : "");
}

std::string Cause(int status) {
  if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return SignalName(WTERMSIG(status));
  return "status " + std::to_string(status);
}

struct Worker {
  pid_t pid = -1;
  int ready_fd = -1;  // the read end of the worker's ready pipe, until it reports
  int generation = 0;
  bool ready = false;
  bool retiring = false;  // asked to end: not replaced when it goes
  Clock::time_point started;
  Clock::time_point kill_at;  // when retiring
};

class Supervisor {
 public:
  explicit Supervisor(SupervisorSettings settings) : s_(std::move(settings)) {}

  int Run() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGCHLD, SIGTERM, SIGINT, SIGHUP}) sigaddset(&set, sig);
    ::sigprocmask(SIG_BLOCK, &set, &mask_);
    signal_fd_ = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signal_fd_ < 0) {
      std::fprintf(stderr, "quorvin-serve: cannot watch for signals: %s\n", std::strerror(errno));
      return 1;
    }
    for (;;) {
      const auto now = Clock::now();
      if (!stopping_) StartWorkers(now);
      if (stopping_ && workers_.empty()) return 0;
      for (Worker& w : workers_) {
        if (w.retiring && now >= w.kill_at) {
          std::fprintf(stderr, "quorvin-serve: worker %d still there after the grace period; killing it\n", w.pid);
          ::kill(w.pid, SIGKILL);
          w.kill_at = now + std::chrono::hours(1);
        }
      }
      Wait(now);
    }
  }

 private:
  // Keeps `workers` of the current generation. While old ones remain after a reload, new ones
  // start one at a time, each replacing an old one once it is ready.
  void StartWorkers(Clock::time_point now) {
    for (;;) {
      int current = 0, starting = 0, old = 0;
      for (const Worker& w : workers_) {
        if (w.retiring) continue;
        if (w.generation == generation_) {
          ++current;
          if (!w.ready) ++starting;
        } else {
          ++old;
        }
      }
      if (current >= s_.workers || now < next_start_ || (old > 0 && starting > 0)) return;
      if (!Start()) {
        Backoff(now);
        return;
      }
    }
  }

  bool Start() {
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) {
      std::fprintf(stderr, "quorvin-serve: cannot start a worker: %s\n", std::strerror(errno));
      return false;
    }
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
      std::fprintf(stderr, "quorvin-serve: cannot start a worker: %s\n", std::strerror(errno));
      ::close(pipe[0]);
      ::close(pipe[1]);
      return false;
    }
    if (pid == 0) {
      // A worker outlives no supervisor: one killed outright takes its workers with it.
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (::getppid() != parent) ::_exit(1);
      ::sigprocmask(SIG_SETMASK, &mask_, nullptr);
      const int ready = ::fcntl(pipe[1], F_DUPFD, 3);  // kept across exec
      const std::string link = std::to_string(s_.shared->Socket()) + "," + std::to_string(ready);
      ::setenv(kWorkerVariable, link.c_str(), 1);
      // Only the supervisor speaks on stdout; anything a worker prints goes with its messages.
      ::dup2(STDERR_FILENO, STDOUT_FILENO);
      std::vector<char*> args;
      for (const std::string& a : s_.argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      ::execv("/proc/self/exe", args.data());
      std::fprintf(stderr, "quorvin-serve: cannot run a worker: %s\n", std::strerror(errno));
      ::_exit(127);
    }
    ::close(pipe[1]);
    Worker w;
    w.pid = pid;
    w.ready_fd = pipe[0];
    w.generation = generation_;
    w.started = Clock::now();
    workers_.push_back(w);
    return true;
  }

  void Backoff(Clock::time_point now) {
    backoff_ = backoff_.count() == 0 ? kFirstBackoff : std::min(backoff_ * 2, kMaxBackoff);
    next_start_ = now + backoff_;
  }

  void Wait(Clock::time_point now) {
    auto until = now + std::chrono::seconds(1);
    if (!stopping_ && next_start_ > now) until = std::min(until, next_start_);
    for (const Worker& w : workers_) {
      if (w.retiring) until = std::min(until, w.kill_at);
    }
    std::vector<pollfd> fds{{signal_fd_, POLLIN, 0}};
    for (const Worker& w : workers_) {
      if (w.ready_fd >= 0) fds.push_back({w.ready_fd, POLLIN, 0});
    }
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count() + 1;
    if (::poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(wait, 0))) <= 0) return;
    for (std::size_t i = 1; i < fds.size(); ++i) {
      if (fds[i].revents != 0) ReadReady(fds[i].fd);
    }
    if (fds[0].revents != 0) ReadSignals();
  }

  void ReadReady(int fd) {
    const auto it = std::find_if(workers_.begin(), workers_.end(), [fd](const Worker& w) { return w.ready_fd == fd; });
    if (it == workers_.end()) return;
    char byte = 0;
    const bool ready = ::read(fd, &byte, 1) == 1;
    ::close(fd);
    it->ready_fd = -1;
    if (!ready) return;  // it ended before it was ready; the exit says how
    it->ready = true;
    if (it->retiring) return;
    int ready_now = 0, old = 0;
    for (const Worker& w : workers_) {
      if (w.retiring) continue;
      if (w.generation == generation_) ready_now += w.ready ? 1 : 0;
      else ++old;
    }
    if (old > 0 && ready_now + old > s_.workers) {
      // A new worker serves: the oldest of the old ones finishes its answers and goes.
      for (Worker& w : workers_) {
        if (!w.retiring && w.generation != generation_) {
          Retire(w);
          break;
        }
      }
    }
    if (!announced_ && ready_now >= s_.workers) {
      announced_ = true;
      if (s_.on_ready) s_.on_ready();
    }
  }

  void Retire(Worker& w) {
    w.retiring = true;
    w.kill_at = Clock::now() + kWorkerGrace + kKillMargin;
    ::kill(w.pid, SIGTERM);
  }

  void ReadSignals() {
    signalfd_siginfo info{};
    while (::read(signal_fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      switch (info.ssi_signo) {
        case SIGCHLD: Reap(); break;
        case SIGTERM:
        case SIGINT: Stop(); break;
        case SIGHUP: Reload(); break;
        default: break;
      }
    }
  }

  void Reap() {
    int status = 0;
    pid_t pid;
    while ((pid = ::waitpid(-1, &status, WNOHANG)) > 0) {
      const auto it = std::find_if(workers_.begin(), workers_.end(), [pid](const Worker& w) { return w.pid == pid; });
      if (it == workers_.end()) continue;
      const Worker w = *it;
      workers_.erase(it);
      if (w.ready_fd >= 0) ::close(w.ready_fd);
      if (w.retiring || stopping_) {
        if (!(WIFEXITED(status) && WEXITSTATUS(status) == 0))
          std::fprintf(stderr, "quorvin-serve: worker %d ended with %s\n", pid, Cause(status).c_str());
        continue;
      }
      const auto now = Clock::now();
      const bool quick = !w.ready || now - w.started < kQuickDeath;
      // Quick deaths far apart are no crash loop: each starts the delay over.
      if (now - last_death_ > kCalmAfter) backoff_ = std::chrono::milliseconds(0);
      last_death_ = now;
      if (quick) {
        Backoff(now);
      } else {
        backoff_ = std::chrono::milliseconds(0);
        next_start_ = now;
      }
      const auto delay = std::chrono::duration_cast<std::chrono::milliseconds>(next_start_ - now).count();
      if (w.generation != generation_) {
        // An old worker during a reload: the new ones take its place.
        std::fprintf(stderr, "quorvin-serve: worker %d ended with %s\n", pid, Cause(status).c_str());
      } else if (delay > 0) {
        std::fprintf(stderr, "quorvin-serve: worker %d ended with %s%s; starting another in %lld ms\n", pid,
                     Cause(status).c_str(), w.ready ? "" : " before it was ready", static_cast<long long>(delay));
      } else {
        std::fprintf(stderr, "quorvin-serve: worker %d ended with %s; starting another\n", pid, Cause(status).c_str());
      }
    }
  }

  void Stop() {
    if (stopping_) return;
    stopping_ = true;
    // The workers stop accepting as they get the signal; with the last copy of the socket
    // closed, clients that come later are refused instead of waiting.
    s_.shared.reset();
    for (Worker& w : workers_) Retire(w);
  }

  void Reload() {
    if (stopping_) return;
    if (s_.check_form && !s_.check_form()) {
      std::fprintf(stderr, "quorvin-serve: reload: the form does not load; the workers go on as they are\n");
      return;
    }
    std::fprintf(stderr, "quorvin-serve: reload: replacing the workers one by one\n");
    ++generation_;
    backoff_ = std::chrono::milliseconds(0);
    next_start_ = Clock::now();
  }

  SupervisorSettings s_;
  sigset_t mask_{};
  int signal_fd_ = -1;
  std::vector<Worker> workers_;
  int generation_ = 0;
  bool stopping_ = false;
  bool announced_ = false;
  std::chrono::milliseconds backoff_{0};
  Clock::time_point next_start_{};
  Clock::time_point last_death_{};
};

}  // namespace

int Supervise(SupervisorSettings settings) {
  Supervisor supervisor(std::move(settings));
  return supervisor.Run();
}

std::optional<WorkerLink> WorkerLink::FromEnvironment() {
  const char* value = std::getenv(kWorkerVariable);
  if (value == nullptr) return std::nullopt;
  const std::string text = value;
  ::unsetenv(kWorkerVariable);
  const auto comma = text.find(',');
  if (comma == std::string::npos) return std::nullopt;
  const auto listen = platform::ParseDecimal32(std::string_view(text).substr(0, comma));
  const auto ready = platform::ParseDecimal32(std::string_view(text).substr(comma + 1));
  if (!listen || !ready) return std::nullopt;
  return WorkerLink{*listen, *ready};
}

int RunWorker(const WorkerLink& link, server::ListenerConfig& listener,
              std::unique_ptr<net::SharedListenSocket> shared) {
  auto& app = net::Application::Instance();
  net::StopOnSignals stop;
  const char ready = 'R';
  if (::write(link.ready_fd, &ready, 1) != 1) return 1;  // no supervisor to serve for
  ::close(link.ready_fd);
  app.Run();
  // Asked to end: no new client, kept connections closed as soon as they wait for nothing, the
  // answers in flight finished.
  shared->StopAccepting();
  shared.reset();
  app.RunUntil(
      [&listener] {
        while (listener.CloseOldestIdle()) {
        }
        return listener.OpenConnections() == 0;
      },
      kWorkerGrace);
  return 0;
}

}  // namespace quorvin::apps
