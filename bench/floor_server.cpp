// floor_server: the least a single-threaded server can do for one request per connection, so
// that the benchmark can show what the kernel's connect, accept and close cost by themselves.
// It accepts, reads until the blank line that ends a request head, writes one canned answer (a
// heading and the bytes of one file, read once at start) with a single write, and closes. It
// does no parsing, no file lookup and no formatting per request: whatever a real server spends
// above this is its own.
//
// usage: floor_server --port N --file PATH     (port 0 picks a free port)
// Prints "Listening on port N" once listening; exits 0 on SIGTERM or SIGINT.
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace {

[[noreturn]] void Die(const char* what) {
  std::fprintf(stderr, "floor_server: %s: %s\n", what, std::strerror(errno));
  std::exit(1);
}

[[noreturn]] void Usage() {
  std::fputs("usage: floor_server --port N --file PATH\n", stderr);
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

}  // namespace

int main(int argc, char** argv) {
  int port = -1;
  const char* file = nullptr;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (i + 1 >= argc) Usage();
    if (arg == "--port") {
      port = std::atoi(argv[++i]);
    } else if (arg == "--file") {
      file = argv[++i];
    } else {
      Usage();
    }
  }
  if (port < 0 || port > 65535 || file == nullptr) Usage();

  const std::string body = ReadFile(file);
  const std::string answer = "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                             std::to_string(body.size()) + "\r\n\r\n" + body;

  // SIGTERM and SIGINT arrive as readable data on a descriptor in the same epoll set, so the
  // loop ends cleanly without a handler racing the wait.
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

  const int ep = epoll_create1(EPOLL_CLOEXEC);
  if (ep < 0) Die("epoll_create1");
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = lfd;
  if (epoll_ctl(ep, EPOLL_CTL_ADD, lfd, &ev) != 0) Die("epoll_ctl listener");
  ev.data.fd = sfd;
  if (epoll_ctl(ep, EPOLL_CTL_ADD, sfd, &ev) != 0) Die("epoll_ctl signalfd");

  std::printf("Listening on port %d\n", ntohs(addr.sin_port));
  std::fflush(stdout);

  std::vector<unsigned char> head_state(1024, 0);
  char buf[4096];

  // Reads what has arrived on `fd`; once the request head is complete, answers and closes.
  // Returns false when the connection is finished (answered, failed or closed by the peer).
  auto serve = [&](int fd) -> bool {
    for (;;) {
      const ssize_t n = read(fd, buf, sizeof buf);
      if (n > 0) {
        if (HeadComplete(head_state[fd], std::string_view(buf, static_cast<size_t>(n)))) {
          // The answer is a few hundred bytes more than the file: it fits the socket's send
          // buffer, so one write takes it all; a short write would only cut the answer short.
          [[maybe_unused]] const ssize_t w = write(fd, answer.data(), answer.size());
          return false;
        }
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
      if (n < 0 && errno == EINTR) continue;
      return false;
    }
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
        close(lfd);
        return 0;
      }
      if (fd == lfd) {
        // Take every pending connection. On loopback the request has usually arrived by the
        // time the connection is accepted, so it is read at once; only a connection whose
        // request is not there yet joins the epoll set.
        for (;;) {
          const int cfd = accept4(lfd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
          if (cfd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            break;  // EAGAIN: none left; EMFILE and the like: retried on the next readiness
          }
          if (static_cast<size_t>(cfd) >= head_state.size()) head_state.resize(cfd * 2, 0);
          head_state[cfd] = 0;
          if (!serve(cfd)) {
            close(cfd);
            continue;
          }
          epoll_event cev{};
          cev.events = EPOLLIN | EPOLLRDHUP;
          cev.data.fd = cfd;
          if (epoll_ctl(ep, EPOLL_CTL_ADD, cfd, &cev) != 0) close(cfd);
        }
        continue;
      }
      // Closing the descriptor also takes it out of the epoll set.
      if (!serve(fd)) close(fd);
    }
  }
}
