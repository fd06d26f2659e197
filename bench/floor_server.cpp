// floor_server: the least a single-threaded server can do, so that the benchmark can show what the
// kernel's part of a job costs by itself. Three jobs, one per run:
//
// --file PATH: one request per connection. It accepts, reads until the blank line that ends a
//   request head, writes one canned answer (a heading and the bytes of one file, read once at
//   start) with a single write, and closes. It does no parsing, no file lookup and no formatting
//   per request: whatever a real server spends above this is its own.
// --events: Server-Sent Events. Each request is answered with an event-stream heading and kept;
//   once a second one event ("id: K" and a line of data, as long as quorvin-serve's ticks) goes
//   to every subscriber, one write each, from one timer. A subscriber whose socket is full or
//   gone is dropped. What a server spends above that on a tick is its own fan-out cost.
// --upload DIR: a PUT whose body is stored in DIR under the last part of its path, one upload at
//   a time: the body goes to a hidden file as it arrives (each read written as it came), which
//   is renamed into place once whole, then 201 and close. No checks beyond Content-Length.
//
// usage: floor_server --port N (--file PATH | --events | --upload DIR)   (port 0: a free port)
// Prints "Listening on port N" once listening; exits 0 on SIGTERM or SIGINT.
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

namespace {

[[noreturn]] void Die(const char* what) {
  std::fprintf(stderr, "floor_server: %s: %s\n", what, std::strerror(errno));
  std::exit(1);
}

[[noreturn]] void Usage() {
  std::fputs("usage: floor_server --port N (--file PATH | --events | --upload DIR)\n", stderr);
  std::exit(2);
}

// Feeds bytes through a tiny automaton that recognises the blank line ending a request head
// ("\r\n\r\n", or bare "\n\n" as HTTP servers commonly accept); returns true once it is seen.
// `state` is 1 right after a line feed (carriage returns do not count), else 0: one byte per
// connection is all it needs, kept in a vector indexed by descriptor so no lookup is hashed.
bool HeadComplete(unsigned char& state, std::string_view bytes) {
  for (const char c : bytes) {
    if (c == '\n') {
      if (state == 1) return true;
      state = 1;
    } else if (c != '\r') {
      state = 0;
    }
  }
  return false;
}

std::string ReadFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "floor_server: cannot read %s\n", path);
    std::exit(1);
  }
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void AddToEpoll(int ep, int fd, std::uint32_t events) {
  epoll_event ev{};
  ev.events = events;
  ev.data.fd = fd;
  if (epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev) != 0) Die("epoll_ctl");
}

// The connection-per-request and event jobs share one loop: the listener, the stop signal and,
// for events, the tick timer in one epoll set. `on_head` is called once a connection's request
// head is complete and returns whether the connection stays open; `on_close` is called for a
// kept connection as it is closed; `on_tick` runs on each tick.
template <typename OnHead, typename OnClose, typename OnTick>
int EventLoop(int lfd, int sfd, int tfd, OnHead on_head, OnClose on_close, OnTick on_tick) {
  const int ep = epoll_create1(EPOLL_CLOEXEC);
  if (ep < 0) Die("epoll_create1");
  AddToEpoll(ep, lfd, EPOLLIN);
  AddToEpoll(ep, sfd, EPOLLIN);
  if (tfd >= 0) AddToEpoll(ep, tfd, EPOLLIN);

  // Per descriptor: where its head automaton is, and whether its head is done (a kept event
  // subscriber, whose later bytes are ignored).
  std::vector<unsigned char> head_state(1024, 0);
  std::vector<unsigned char> kept(1024, 0);
  char buf[4096];

  // Reads what has arrived on `fd`. Returns false when the connection is finished (answered and
  // not kept, failed or closed by the peer).
  auto serve = [&](int fd) -> bool {
    for (;;) {
      const ssize_t n = read(fd, buf, sizeof buf);
      if (n > 0) {
        if (!kept[fd] &&
            HeadComplete(head_state[fd], std::string_view(buf, static_cast<size_t>(n)))) {
          if (!on_head(fd)) return false;
          kept[fd] = 1;
        }
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
      if (n < 0 && errno == EINTR) continue;
      return false;
    }
  };
  auto finish = [&](int fd) {
    if (kept[fd]) on_close(fd);
    kept[fd] = 0;
    close(fd);  // closing the descriptor also takes it out of the epoll set
  };

  epoll_event events[64];
  for (;;) {
    const int ready = epoll_wait(ep, events, 64, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      Die("epoll_wait");
    }
    for (int i = 0; i < ready; ++i) {
      const int fd = events[i].data.fd;
      if (fd == sfd) {
        close(ep);
        return 0;
      }
      if (fd == tfd) {
        std::uint64_t expirations = 0;
        if (read(tfd, &expirations, sizeof expirations) == sizeof expirations) on_tick();
        continue;
      }
      if (fd == lfd) {
        // Take every pending connection. On loopback the request has usually arrived by the
        // time the connection is accepted, so it is read at once; only a connection whose
        // request is not there yet, or that is kept, joins the epoll set.
        for (;;) {
          const int cfd = accept4(lfd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
          if (cfd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            break;  // EAGAIN: none left; EMFILE and the like: retried on the next readiness
          }
          if (static_cast<size_t>(cfd) >= head_state.size()) {
            head_state.resize(static_cast<size_t>(cfd) * 2, 0);
            kept.resize(static_cast<size_t>(cfd) * 2, 0);
          }
          head_state[cfd] = 0;
          kept[cfd] = 0;
          if (!serve(cfd)) {
            finish(cfd);
            continue;
          }
          epoll_event cev{};
          cev.events = EPOLLIN | EPOLLRDHUP;
          cev.data.fd = cfd;
          if (epoll_ctl(ep, EPOLL_CTL_ADD, cfd, &cev) != 0) finish(cfd);
        }
        continue;
      }
      if (!serve(fd)) finish(fd);
    }
  }
}

int ServeEvents(int lfd, int sfd) {
  const int tfd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (tfd < 0) Die("timerfd_create");
  itimerspec every_second{};
  every_second.it_interval.tv_sec = 1;
  every_second.it_value.tv_sec = 1;
  if (timerfd_settime(tfd, 0, &every_second, nullptr) != 0) Die("timerfd_settime");

  const std::string head =
      "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream; charset=utf-8\r\n"
      "Cache-Control: no-cache\r\n"
      "Connection: close\r\n\r\nretry: 1000\ndata: listening\n\n";
  // The subscribers' descriptors, and where each one stands in that list (by descriptor, -1
  // for none), so that one is taken out in constant time wherever it goes.
  std::vector<int> subscribers;
  std::vector<int> position;
  auto drop = [&](int fd) {
    const int at = static_cast<std::size_t>(fd) < position.size() ? position[fd] : -1;
    if (at < 0) return;
    subscribers[at] = subscribers.back();
    position[subscribers[at]] = at;
    subscribers.pop_back();
    position[fd] = -1;
  };
  std::int64_t ticks = 0;
  auto on_head = [&](int fd) {
    if (write(fd, head.data(), head.size()) != static_cast<ssize_t>(head.size())) return false;
    if (static_cast<std::size_t>(fd) >= position.size())
      position.resize(static_cast<std::size_t>(fd) * 2 + 1, -1);
    position[fd] = static_cast<int>(subscribers.size());
    subscribers.push_back(fd);
    return true;
  };
  auto on_tick = [&] {
    ++ticks;
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char clock[16];
    std::strftime(clock, sizeof clock, "%H:%M:%S", &utc);
    const std::string event = "id: " + std::to_string(ticks) + "\ndata: tick " +
                              std::to_string(ticks) + " at " + clock + " UTC\n\n";
    // A subscriber that cannot take a whole event now (its socket full, or gone) is shut down;
    // the loop then sees its descriptor readable, reads the end and closes it.
    for (std::size_t i = 0; i < subscribers.size();) {
      const int fd = subscribers[i];
      if (write(fd, event.data(), event.size()) != static_cast<ssize_t>(event.size())) {
        shutdown(fd, SHUT_RDWR);
        drop(fd);  // the last one takes its place: look at place i again
        continue;
      }
      ++i;
    }
  };
  return EventLoop(lfd, sfd, tfd, on_head, drop, on_tick);
}

bool WriteAll(int fd, const char* data, std::size_t n) {
  while (n > 0) {
    const ssize_t w = write(fd, data, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    data += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

// One upload on the blocking connection `cfd`: the request head, then Content-Length bytes into
// a hidden file in `dir`, renamed to the last part of the target once whole. Returns the status
// line to answer with.
const char* StoreUpload(int cfd, const std::string& dir, std::vector<char>& buf) {
  std::size_t have = 0;
  std::size_t head_end = std::string::npos;
  while (head_end == std::string::npos) {
    if (have == buf.size()) return "HTTP/1.1 431 Request Header Fields Too Large";
    const ssize_t r = read(cfd, buf.data() + have, buf.size() - have);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return nullptr;
    have += static_cast<std::size_t>(r);
    head_end = std::string_view(buf.data(), have).find("\r\n\r\n");
  }
  std::string head(buf.data(), head_end);
  for (char& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const std::size_t cl = head.find("\r\ncontent-length:");
  const std::size_t sp1 = head.find(' ');
  const std::size_t sp2 = head.find(' ', sp1 + 1);
  if (cl == std::string::npos || sp2 == std::string::npos) return "HTTP/1.1 411 Length Required";
  const long long length = std::atoll(head.c_str() + cl + 17);
  const std::string target(buf.data() + sp1 + 1, sp2 - sp1 - 1);
  const std::string name = target.substr(target.rfind('/') + 1);
  if (length < 0 || name.empty() || name[0] == '.') return "HTTP/1.1 400 Bad Request";

  const std::string part = dir + "/.floor-upload";
  const int out = open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) return "HTTP/1.1 500 Internal Server Error";
  auto left = static_cast<std::size_t>(length);
  std::size_t first = std::min(have - head_end - 4, left);
  bool ok = WriteAll(out, buf.data() + head_end + 4, first);
  left -= first;
  while (ok && left > 0) {
    const ssize_t got = read(cfd, buf.data(), std::min(left, buf.size()));
    if (got < 0 && errno == EINTR) continue;
    ok = got > 0 && WriteAll(out, buf.data(), static_cast<std::size_t>(got));
    left -= static_cast<std::size_t>(std::max<ssize_t>(got, 0));
  }
  close(out);
  if (!ok || rename(part.c_str(), (dir + "/" + name).c_str()) != 0) {
    unlink(part.c_str());
    return ok ? "HTTP/1.1 500 Internal Server Error" : nullptr;
  }
  return "HTTP/1.1 201 Created";
}

int ServeUploads(int lfd, int sfd, const std::string& dir) {
  // 256 KiB a read: what the socket holds at once on loopback, and measured fastest (1 MiB
  // buffers spill out of the core's cache between the read and the write and cost more).
  std::vector<char> buf(256 * 1024);
  pollfd fds[2] = {{lfd, POLLIN, 0}, {sfd, POLLIN, 0}};
  for (;;) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      Die("poll");
    }
    if (fds[1].revents != 0) return 0;
    const int cfd = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);  // blocking: one at a time
    if (cfd < 0) continue;
    if (const char* status = StoreUpload(cfd, dir, buf)) {
      const std::string answer =
          std::string(status) + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
      WriteAll(cfd, answer.data(), answer.size());
    }
    close(cfd);
  }
}

}  // namespace

int main(int argc, char** argv) {
  int port = -1;
  const char* file = nullptr;
  const char* upload_dir = nullptr;
  bool events = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--events") {
      events = true;
      continue;
    }
    if (i + 1 >= argc) Usage();
    if (arg == "--port") {
      port = std::atoi(argv[++i]);
    } else if (arg == "--file") {
      file = argv[++i];
    } else if (arg == "--upload") {
      upload_dir = argv[++i];
    } else {
      Usage();
    }
  }
  if (port < 0 || port > 65535 || (file != nullptr) + (upload_dir != nullptr) + events != 1)
    Usage();

  // SIGTERM and SIGINT arrive as readable data on a descriptor the loop waits on beside the
  // listener, so it ends cleanly without a handler racing the wait.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  if (sigprocmask(SIG_BLOCK, &stop_signals, nullptr) != 0) Die("sigprocmask");
  std::signal(SIGPIPE, SIG_IGN);
  const int sfd = signalfd(-1, &stop_signals, SFD_NONBLOCK | SFD_CLOEXEC);
  if (sfd < 0) Die("signalfd");

  const int lfd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (lfd < 0) Die("socket");
  const int one = 1;
  setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(lfd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) Die("bind");
  if (listen(lfd, SOMAXCONN) != 0) Die("listen");
  socklen_t addr_len = sizeof addr;
  if (getsockname(lfd, reinterpret_cast<sockaddr*>(&addr), &addr_len) != 0) Die("getsockname");

  std::printf("Listening on port %d\n", ntohs(addr.sin_port));
  std::fflush(stdout);

  int rc = 0;
  if (events) {
    rc = ServeEvents(lfd, sfd);
  } else if (upload_dir != nullptr) {
    rc = ServeUploads(lfd, sfd, upload_dir);
  } else {
    const std::string body = ReadFile(file);
    const std::string answer = "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                               std::to_string(body.size()) + "\r\n\r\n" + body;
    // The answer is a few hundred bytes more than the file: it fits the socket's send buffer, so
    // one write takes it all; a short write would only cut the answer short.
    auto answer_and_close = [&answer](int fd) {
      [[maybe_unused]] const ssize_t w = write(fd, answer.data(), answer.size());
      return false;
    };
    auto no_close = [](int) {};
    auto no_tick = [] {};
    rc = EventLoop(lfd, sfd, -1, answer_and_close, no_close, no_tick);
  }
  close(lfd);
  return rc;
}
