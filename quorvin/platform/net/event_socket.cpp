#include "quorvin/platform/net/event_socket.h"

#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <system_error>

#include <arpa/inet.h>
#include <asio/post.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <unistd.h>

#include "quorvin/platform/core/message_box.h"
#include "quorvin/platform/net/application.h"

namespace quorvin::net {

int WSAAsyncSelect(TSocket socket, HWND window, unsigned msg, long events) {
  if (window == nullptr || window->Message() != msg) return -1;
  return window->Select(socket, events) ? 0 : -1;
}

namespace detail {
namespace {

asio::io_context& Loop() {
  return Application::Instance().Context();
}

// One sendfile call moves at most this much, so that the numbers stay well inside ssize_t on
// every host; the loop goes on until the socket is full.
constexpr std::size_t kSendfileChunk = std::size_t{1} << 30;
// Streams that are neither files nor memory are read in pieces of this size.
constexpr std::size_t kReadPiece = 32 * 1024;

bool WouldBlock(int code) {
  return code == EAGAIN || code == EWOULDBLOCK;
}

std::string AddressText(const sockaddr_storage& address) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET) {
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, text,
                sizeof text);
  } else if (address.ss_family == AF_INET6) {
    ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(address).sin6_addr, text,
                sizeof text);
  }
  return text;
}

int PortOf(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET)
    return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
  if (address.ss_family == AF_INET6)
    return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
  return 0;
}

bool LocalName(int fd, sockaddr_storage& address) {
  socklen_t length = sizeof address;
  return fd >= 0 && ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
}

bool PeerName(int fd, sockaddr_storage& address) {
  socklen_t length = sizeof address;
  return fd >= 0 && ::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
}

// Readiness of every socket of both layers, on edges, from one epoll set of our own that the
// loop watches as a single descriptor. A socket is added once and never modified for reading;
// closing it takes it out of the set. Waiting for readiness then costs no system call, where a
// wait of the loop's own re-registers the descriptor every time: a connection cost an add, a
// modify per wait, a switch to non-blocking and a remove, instead of the one add.
class Poller {
 public:
  // Never destroyed: sockets may close while static objects are torn down.
  static Poller& Instance() {
    static Poller* const poller = new Poller;
    return *poller;
  }

  // Watches `fd` for input (and, from WatchOutput on, for room to send). False with errno set
  // when the system refuses.
  bool Add(int fd, ReadyWatcher* watcher) {
    if (epfd_ < 0) {
      errno = epoll_error_;
      return false;
    }
    Slot& slot = SlotOf(fd);
    ++slot.generation;  // events still queued for an earlier socket of this number are dropped
    slot.output = false;
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP | EPOLLET;
    ev.data.u64 = Key(fd, slot.generation);
    if (::epoll_ctl(epfd_, EPOLL_CTL_ADD, fd, &ev) != 0) return false;
    slot.watcher = watcher;
    return true;
  }

  // Sockets that never have to wait to send (most answers fit the socket's buffer) never pay
  // for output events; the first wait for room asks for them.
  void WatchOutput(int fd) {
    Slot& slot = SlotOf(fd);
    if (slot.output || slot.watcher == nullptr) return;
    slot.output = true;
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP | EPOLLOUT | EPOLLET;
    ev.data.u64 = Key(fd, slot.generation);
    ::epoll_ctl(epfd_, EPOLL_CTL_MOD, fd, &ev);
  }

  // Forgets `fd`, which its owner closes next.
  void Remove(int fd, const ReadyWatcher* watcher) {
    if (fd < 0 || static_cast<std::size_t>(fd) >= slots_.size()) return;
    Slot& slot = slots_[static_cast<std::size_t>(fd)];
    if (slot.watcher == watcher) slot.watcher = nullptr;
  }

 private:
  struct Slot {
    ReadyWatcher* watcher = nullptr;
    std::uint32_t generation = 0;
    bool output = false;
  };

  Poller() : epfd_(::epoll_create1(EPOLL_CLOEXEC)), epoll_error_(errno), desc_(Loop()) {
    if (epfd_ < 0) return;
    asio::error_code ec;
    desc_.assign(epfd_, ec);
    if (ec) {
      ::close(epfd_);
      epfd_ = -1;
      epoll_error_ = ec.value();
      return;
    }
    Arm();
  }

  static std::uint64_t Key(int fd, std::uint32_t generation) {
    return (std::uint64_t{generation} << 32) | static_cast<std::uint32_t>(fd);
  }

  Slot& SlotOf(int fd) {
    const auto index = static_cast<std::size_t>(fd);
    if (index >= slots_.size()) slots_.resize(std::max<std::size_t>(index + 1, slots_.size() * 2));
    return slots_[index];
  }

  void Arm() {
    if (armed_) return;
    armed_ = true;
    desc_.async_wait(asio::posix::stream_descriptor::wait_read, [this](const asio::error_code& ec) {
      armed_ = false;
      if (!ec) Deliver();
    });
  }

  void Deliver() {
    epoll_event events[64];
    int n = 0;
    do {
      n = ::epoll_wait(epfd_, events, 64, 0);
    } while (n < 0 && errno == EINTR);
    // Watched again before anything is handled: a handler that runs the loop itself (a modal
    // wait) still hears of sockets. Events beyond this batch keep the set readable.
    Arm();
    for (int i = 0; i < n; ++i) {
      const auto fd = static_cast<std::size_t>(events[i].data.u64 & 0xFFFFFFFFu);
      const auto generation = static_cast<std::uint32_t>(events[i].data.u64 >> 32);
      // A handler may have closed a socket whose event is further down this batch.
      if (fd >= slots_.size()) continue;
      ReadyWatcher* watcher = slots_[fd].watcher;
      if (watcher == nullptr || slots_[fd].generation != generation) continue;
      try {
        watcher->Ready(events[i].events);
      } catch (...) {
        ReportHandlerException();
      }
    }
  }

  int epfd_;
  int epoll_error_;
  asio::posix::stream_descriptor desc_;
  std::vector<Slot> slots_;  // by descriptor
  bool armed_ = false;
};

constexpr std::uint32_t kInputEvents = EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR;
constexpr std::uint32_t kOutputEvents = EPOLLOUT | EPOLLHUP | EPOLLERR;

// Whether `fd` shows any of `events` (poll bits) now.
bool Shows(int fd, short events) {
  pollfd probe{fd, events, 0};
  return ::poll(&probe, 1, 0) > 0;
}

}  // namespace

void ReportHandlerException() noexcept {
  try {
    try {
      throw;
    } catch (const std::exception& e) {
      platform::ShowMessageBox(e.what(), "Quorvin");
    } catch (...) {
      platform::ShowMessageBox("Unknown exception in an event handler", "Quorvin");
    }
  } catch (...) {
    // A message sink that fails has nowhere left to report to.
  }
}

void DestroyAfterEvents(std::weak_ptr<void> alive, const int& depth,
                        std::function<void()> destroy) {
  asio::post(Loop(), [alive = std::move(alive), &depth, destroy = std::move(destroy)]() mutable {
    if (alive.expired()) return;
    if (depth > 0) {
      DestroyAfterEvents(std::move(alive), depth, std::move(destroy));
      return;
    }
    destroy();
  });
}

const std::string& HostName() {
  static const std::string name = [] {
    char text[256] = {};
    if (::gethostname(text, sizeof text - 1) != 0) return std::string();
    return std::string(text);
  }();
  return name;
}

// --- SocketWindow -------------------------------------------------------------------------

bool SocketWindow::Select(TSocket socket, long events) {
  EventSocket* target = Find(socket);
  if (target == nullptr) return false;
  target->Select(events);
  return true;
}

void SocketWindow::Register(int fd, EventSocket* socket) {
  if (fd < 0) return;
  const auto index = static_cast<std::size_t>(fd);
  if (index >= by_fd_.size())
    by_fd_.resize(std::max<std::size_t>(index + 1, by_fd_.size() * 2), nullptr);
  by_fd_[index] = socket;
}

void SocketWindow::Unregister(int fd, const EventSocket* socket) {
  const auto index = static_cast<std::size_t>(fd);
  if (fd >= 0 && index < by_fd_.size() && by_fd_[index] == socket) by_fd_[index] = nullptr;
}

EventSocket* SocketWindow::Find(int fd) const {
  const auto index = static_cast<std::size_t>(fd);
  return fd >= 0 && index < by_fd_.size() ? by_fd_[index] : nullptr;
}

// --- EventSocket: life --------------------------------------------------------------------

EventSocket::EventSocket(int fd, SocketWindow& window, EventSocketClient* client, Blocking blocking)
    : fd_(fd), window_(window), client_(client) {
  if (fd >= 0 && blocking == Blocking::kSwitch) {
    // A receive or send must never wait in the loop's thread.
    int on = 1;
    ::ioctl(fd, FIONBIO, &on);
  }
  if (fd < 0 || !Poller::Instance().Add(fd, this)) {
    const int code = fd < 0 ? EBADF : errno;
    if (fd >= 0) ::close(fd);
    fd_ = -1;
    state_ = State::kClosed;
    throw ESocketError(std::string("Cannot watch the socket: ") + std::strerror(code), code);
  }
  window_.Register(fd_, this);
}

EventSocket::~EventSocket() {
  CloseDescriptor();
}

std::shared_ptr<EventSocket> EventSocket::Adopt(int fd, SocketWindow& window,
                                                EventSocketClient* client, long events,
                                                Blocking blocking) {
  auto socket = std::make_shared<EventSocket>(fd, window, client, blocking);
  socket->Start(events);
  return socket;
}

void EventSocket::Start(long events) {
  mask_ = events;
  if ((events & FD_READ) != 0) ArmRead();
}

int EventSocket::OpenHandle(int family) {
  const int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0)
    throw ESocketError(std::string("Cannot create a socket: ") + std::strerror(errno), errno);
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

std::shared_ptr<EventSocket> EventSocket::Connect(const asio::ip::tcp::endpoint& endpoint,
                                                  SocketWindow& window, EventSocketClient* client,
                                                  long events) {
  auto socket = std::make_shared<EventSocket>(OpenHandle(endpoint.protocol().family()), window,
                                              client, Blocking::kNonBlocking);
  socket->BeginConnect(endpoint, events);
  return socket;
}

void EventSocket::BeginConnect(const asio::ip::tcp::endpoint& endpoint, long events) {
  state_ = State::kConnecting;
  mask_ = events;
  if (::connect(fd_, endpoint.data(), static_cast<socklen_t>(endpoint.size())) == 0 ||
      errno != EINPROGRESS) {
    // Finished (or failed) at once: reported from the loop all the same, so that the owner is
    // never called back from inside its own call.
    const int code = errno == EINPROGRESS ? 0 : errno;
    asio::post(Loop(), [socket = shared_from_this(), code] {
      int result = code;
      if (result == 0) {
        socklen_t length = sizeof result;
        ::getsockopt(socket->fd_, SOL_SOCKET, SO_ERROR, &result, &length);
      }
      socket->FinishConnect(result);
    });
  } else {
    ArmWrite();
  }
}

void EventSocket::Dispatch(const std::function<void()>& fn) {
  auto self = shared_from_this();  // the handler may drop the owner's reference
  ++depth_;
  try {
    fn();
  } catch (...) {
    ReportHandlerException();
  }
  --depth_;
  if (depth_ == 0) AfterEvent();
}

void EventSocket::AfterEvent() {
  if (flush_pending_) Flush();
  // The owner saw the end of the data: the connection is over once its event is.
  if (eof_seen_ && !ended_ && state_ == State::kOpen && !failed_) ReportEnded();
}

void EventSocket::ReportEnded() {
  if (ended_ || client_ == nullptr) return;
  ended_ = true;
  Dispatch([this] {
    if (client_ != nullptr) client_->SocketEnded();
  });
}

void EventSocket::Fail(SocketOp op, int code) {
  if (failed_) return;
  failed_ = true;
  out_.clear();
  flush_pending_ = false;
  if (client_ == nullptr) {
    // A socket that only drains after its owner closed it: nobody to tell.
    CloseDescriptor();
    return;
  }
  Dispatch([this, op, code] {
    if (client_ != nullptr) client_->SocketFailed(op, code);
  });
}

void EventSocket::FinishConnect(int code) {
  if (state_ != State::kConnecting) return;
  state_ = State::kOpen;
  if (code != 0) {
    Fail(SocketOp::kConnect, code);
    return;
  }
  auto self = shared_from_this();
  Dispatch([this] {
    if (client_ != nullptr) client_->SocketConnected();
  });
  if (state_ != State::kOpen || failed_ || client_ == nullptr) return;
  if ((mask_ & FD_READ) != 0) ArmRead();
  // A connected socket can send: said once, as a freshly selected FD_WRITE is.
  if ((mask_ & FD_WRITE) != 0 && out_.empty()) PostWriteEvent();
}

// --- EventSocket: waits -------------------------------------------------------------------

void EventSocket::ArmRead() {
  if (read_wait_ || state_ == State::kClosed) return;
  read_wait_ = true;
  Hold();
  if (!in_ready_) return;
  // The last edge may have been used up by reads that did not run dry: look.
  if (Shows(fd_, POLLIN | POLLRDHUP)) {
    asio::post(Loop(), [self = shared_from_this()] { self->Completed(); });
  } else {
    in_ready_ = false;
  }
}

void EventSocket::ArmWrite() {
  if (write_wait_ || state_ == State::kClosed) return;
  write_wait_ = true;
  Hold();
  Poller::Instance().WatchOutput(fd_);
  if (!out_ready_) return;
  if (Shows(fd_, POLLOUT)) {
    asio::post(Loop(), [self = shared_from_this()] { self->Completed(); });
  } else {
    out_ready_ = false;
  }
}

void EventSocket::Ready(std::uint32_t events) {
  if ((events & kInputEvents) != 0) in_ready_ = true;
  if ((events & kOutputEvents) != 0) out_ready_ = true;
  Completed();
}

// Ends the waits that readiness has answered: the write wait first, as a connect finishes
// before anything is read.
void EventSocket::Completed() {
  auto self = shared_from_this();
  if (write_wait_ && out_ready_) {
    write_wait_ = false;
    OnWriteReady();
  }
  if (read_wait_ && in_ready_ && state_ != State::kClosed) {
    read_wait_ = false;
    OnReadReady();
  }
  if (!read_wait_ && !write_wait_) hold_.reset();
}

// A socket waiting for readiness is kept alive by the wait, as an owner that closes it and lets
// go expects while its last bytes drain.
void EventSocket::Hold() {
  if (!hold_) hold_ = shared_from_this();
}

// Lets go of the hold from the loop: the caller may still be using the socket.
void EventSocket::Release() {
  read_wait_ = false;
  write_wait_ = false;
  if (hold_) asio::post(Loop(), [held = std::move(hold_)] {});
}

void EventSocket::OnReadReady() {
  if (state_ == State::kLingering) {
    Linger();
    return;
  }
  if (state_ != State::kOpen || failed_ || client_ == nullptr) return;
  if ((mask_ & FD_READ) != 0) {
    DispatchRead();
  } else if (out_.empty()) {
    // Only the peer's close is wanted now, and only while nothing is being sent: a peer that
    // shut down its side after its request still gets the answer.
    WatchPeerClose();
  }
}

void EventSocket::DispatchRead() {
  reads_ = 0;
  read_drained_ = false;
  Dispatch([this] {
    if (client_ != nullptr) client_->SocketReadable();
  });
  if (state_ != State::kOpen || failed_ || client_ == nullptr || ended_) return;
  // Switched to write notification in the event: the write-ready event takes over from here.
  if ((mask_ & FD_READ) == 0) return;
  if (reads_ == 0) {
    // The owner left the data where it was: no new event until more arrives (or the peer
    // closes), so that an owner that does not read is not called in a loop.
    CheckPeerClose();
    return;
  }
  if (read_drained_) {
    ArmRead();
    return;
  }
  // The owner may have stopped before the input was empty. Readiness is reported on edges, and
  // no new edge would come for bytes (or an end of data) already here: look, and deliver
  // another event if there are any.
  if (Shows(fd_, POLLIN)) {
    asio::post(Loop(), [self = shared_from_this()] {
      if (self->state_ == State::kOpen && !self->failed_ && self->client_ != nullptr &&
          (self->mask_ & FD_READ) != 0 && !self->read_wait_) {
        self->DispatchRead();
      }
    });
  } else {
    in_ready_ = false;
    ArmRead();
  }
}

void EventSocket::WatchPeerClose() {
  if (state_ != State::kOpen || failed_ || client_ == nullptr || (mask_ & FD_READ) != 0 ||
      (mask_ & FD_CLOSE) == 0 || !out_.empty() || read_wait_ || eof_seen_) {
    return;
  }
  CheckPeerClose();
}

void EventSocket::CheckPeerClose() {
  pollfd probe{fd_, POLLRDHUP, 0};
  if (::poll(&probe, 1, 0) > 0 && (mask_ & FD_CLOSE) != 0) {
    if ((probe.revents & POLLERR) != 0) {
      int code = 0;
      socklen_t length = sizeof code;
      ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &code, &length);
      Fail(SocketOp::kReceive, code != 0 ? code : ECONNRESET);
      return;
    }
    if ((probe.revents & (POLLRDHUP | POLLHUP)) != 0) {
      eof_seen_ = true;
      ReportEnded();
      return;
    }
  }
  ArmRead();
}

void EventSocket::OnWriteReady() {
  if (state_ == State::kConnecting) {
    int code = 0;
    socklen_t length = sizeof code;
    if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &code, &length) != 0) code = errno;
    FinishConnect(code);
    return;
  }
  if ((state_ != State::kOpen && state_ != State::kDraining) || failed_) return;
  if (!out_.empty()) {
    Flush();
    return;
  }
  // A SendSome that could not place everything: the owner may send again.
  if (write_waited_ && state_ == State::kOpen && (mask_ & FD_WRITE) != 0 && client_ != nullptr) {
    write_waited_ = false;
    auto self = shared_from_this();
    Dispatch([this] {
      if (client_ != nullptr) client_->SocketWritable();
    });
    WatchPeerClose();
  }
}

void EventSocket::PostWriteEvent() {
  if (write_posted_) return;
  write_posted_ = true;
  asio::post(Loop(), [self = shared_from_this()] {
    self->write_posted_ = false;
    // Output queued meanwhile: its draining earns the event instead.
    if (self->state_ != State::kOpen || self->failed_ || self->client_ == nullptr ||
        (self->mask_ & FD_WRITE) == 0 || !self->out_.empty()) {
      return;
    }
    self->Dispatch([s = self.get()] {
      if (s->client_ != nullptr) s->client_->SocketWritable();
    });
    self->WatchPeerClose();
  });
}

void EventSocket::Select(long events) {
  const long before = mask_;
  mask_ = events;
  if (state_ != State::kOpen || failed_) return;
  if ((events & FD_WRITE) != 0) {
    if (out_.empty() && !flush_pending_) {
      PostWriteEvent();
    } else {
      write_waited_ = true;
    }
  }
  if ((events & FD_READ) != 0 && (before & FD_READ) == 0) {
    // Data that arrived while nobody listened raised its edge then: look once from the loop.
    asio::post(Loop(), [self = shared_from_this()] {
      if (self->state_ == State::kOpen && !self->failed_ && self->client_ != nullptr &&
          (self->mask_ & FD_READ) != 0) {
        self->DispatchRead();
      }
    });
  }
}

// --- EventSocket: receiving ---------------------------------------------------------------

int EventSocket::Receive(void* buffer, int count, int& error) {
  error = 0;
  if (state_ != State::kOpen || failed_) return 0;
  if (count < 0) {
    int waiting = 0;
    return ::ioctl(fd_, FIONREAD, &waiting) == 0 ? waiting : 0;
  }
  ++reads_;
  if (count == 0) return 0;
  for (;;) {
    const ssize_t n = ::recv(fd_, buffer, static_cast<std::size_t>(count), 0);
    // A short read is no proof that the input is empty: the peer's end of data may be
    // waiting behind the bytes, and its edge has passed. Only EAGAIN and 0 prove it.
    if (n > 0) return static_cast<int>(n);
    if (n == 0) {
      read_drained_ = true;
      if (!eof_seen_) {
        eof_seen_ = true;
        // Outside an event nothing would look at it: end the connection from the loop.
        if (depth_ == 0) {
          asio::post(Loop(), [self = shared_from_this()] {
            if (self->state_ == State::kOpen && !self->failed_) self->ReportEnded();
          });
        }
      }
      return 0;
    }
    if (errno == EINTR) continue;
    if (WouldBlock(errno)) {
      read_drained_ = true;
      in_ready_ = false;
      return -1;
    }
    error = errno;
    failed_ = true;
    return -1;
  }
}

// --- EventSocket: sending -----------------------------------------------------------------

bool EventSocket::StreamPending() const {
  return std::any_of(out_.begin(), out_.end(),
                     [](const OutItem& item) { return item.kind != Kind::kBytes; });
}

bool EventSocket::QueueBytes(const void* data, std::size_t count) {
  if (state_ != State::kOpen || failed_ || drop_queued_) return false;
  if (count == 0) return true;
  const char* p = static_cast<const char*>(data);
  if (out_.empty() && depth_ == 0) {
    // Nothing ahead and no event to gather with: straight to the kernel, and only what it
    // does not take is copied.
    while (count > 0) {
      const ssize_t n = ::send(fd_, p, count, MSG_NOSIGNAL);
      if (n > 0) {
        p += n;
        count -= static_cast<std::size_t>(n);
        corked_ = false;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && !WouldBlock(errno)) {
        auto self = shared_from_this();
        SendFailed(errno);
        return true;  // taken: the failure went to the error handler
      }
      break;
    }
    if (count == 0) return true;
  }
  if (!out_.empty() && out_.back().kind == Kind::kBytes) {
    out_.back().bytes.append(p, count);
  } else {
    if (out_.capacity() == 0) out_.reserve(2);
    out_.emplace_back();
    out_.back().bytes.assign(p, count);
  }
  if (depth_ > 0) {
    flush_pending_ = true;
  } else if (!write_wait_) {
    Flush();
  }
  return true;
}

bool EventSocket::QueueStream(std::unique_ptr<platform::TStream>& stream, bool drop) {
  if (!stream || state_ != State::kOpen || failed_ || drop_queued_ || StreamPending()) return false;
  OutItem item;
  item.kind = Kind::kRead;
  item.drop = drop;
  if (auto* handle = dynamic_cast<platform::THandleStream*>(stream.get())) {
    if (handle->Regular() && handle->Limit() >= 0) {
      // The opener checked the file and says where it ends (a web server: where the length it
      // announced does): no need to ask the system again.
      item.kind = Kind::kFile;
      item.pos = handle->Position();
      item.end = handle->Limit();
    } else {
      struct stat info {};

      const off_t at = ::lseek(handle->Handle(), 0, SEEK_CUR);
      if (::fstat(handle->Handle(), &info) == 0 && S_ISREG(info.st_mode) && at >= 0) {
        item.kind = Kind::kFile;
        item.pos = at;
        item.end = handle->Limit() >= 0 ? std::min<std::int64_t>(info.st_size, handle->Limit())
                                        : info.st_size;
      }
    }
  } else if (auto* memory = dynamic_cast<platform::TMemoryStream*>(stream.get())) {
    item.kind = Kind::kMemory;
    item.pos = memory->Position();
    item.end = memory->Size();
  }
  item.stream = std::move(stream);
  if (out_.capacity() == 0) out_.reserve(2);
  out_.push_back(std::move(item));
  drop_queued_ = drop;
  if (depth_ > 0) {
    flush_pending_ = true;
  } else if (!write_wait_) {
    Flush();
  }
  return true;
}

int EventSocket::SendSome(const void* data, std::size_t count, int& error) {
  error = 0;
  if (state_ != State::kOpen || failed_) {
    error = ENOTCONN;
    return -1;
  }
  if (!out_.empty()) {
    // Queued output goes first; the owner hears when the socket can take more.
    write_waited_ = true;
    return 0;
  }
  for (;;) {
    const ssize_t n = ::send(fd_, data, count, MSG_NOSIGNAL);
    if (n >= 0) {
      corked_ = false;
      if (static_cast<std::size_t>(n) < count) {
        write_waited_ = true;
        out_ready_ = false;
        ArmWrite();
      }
      return static_cast<int>(n);
    }
    if (errno == EINTR) continue;
    if (WouldBlock(errno)) {
      write_waited_ = true;
      out_ready_ = false;
      ArmWrite();
      return 0;
    }
    error = errno;
    failed_ = true;
    return -1;
  }
}

void EventSocket::Flush() {
  flush_pending_ = false;
  if (failed_ || (state_ != State::kOpen && state_ != State::kDraining)) return;
  auto self =
      shared_from_this();  // failures and the end of a drop reach the owner, which may let go
  while (!out_.empty()) {
    OutItem& item = out_.front();
    const bool more = out_.size() > 1;
    Step step = Step::kDone;
    switch (item.kind) {
      case Kind::kBytes:
        step = SendBytes(item, more);
        break;
      case Kind::kFile:
        step = SendFile(item);
        break;
      case Kind::kMemory:
        step = SendMemory(item, more);
        break;
      case Kind::kRead:
        step = SendRead(item, more);
        break;
    }
    if (step == Step::kFailed) return;
    if (step == Step::kBlocked) {
      write_waited_ = true;
      out_ready_ = false;
      ArmWrite();
      return;
    }
    const bool drop = item.drop;
    out_.erase(out_.begin());
    if (drop) {
      if (client_ != nullptr && !ended_) {
        ReportEnded();
      } else {
        Close(false);
      }
      return;
    }
  }
  if (corked_ && state_ == State::kOpen) {
    // Bytes sent with MSG_MORE that nothing followed (an empty stream): push them out now.
    const int off = 0;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_CORK, &off, sizeof off);
    corked_ = false;
  }
  if (state_ == State::kDraining) {
    FinishClose();
    return;
  }
  if (write_waited_ && (mask_ & FD_WRITE) != 0) {
    write_waited_ = false;
    PostWriteEvent();
  } else {
    WatchPeerClose();
  }
}

EventSocket::Step EventSocket::SendFailed(int code) {
  Fail(SocketOp::kSend, code);
  return Step::kFailed;
}

EventSocket::Step EventSocket::SendBytes(OutItem& item, bool more) {
  while (item.offset < item.bytes.size()) {
    const ssize_t n = ::send(fd_, item.bytes.data() + item.offset, item.bytes.size() - item.offset,
                             MSG_NOSIGNAL | (more ? MSG_MORE : 0));
    if (n >= 0) {
      item.offset += static_cast<std::size_t>(n);
      corked_ = more;
      // A short send means the socket is full: wait rather than ask again.
      if (item.offset < item.bytes.size()) return Step::kBlocked;
      continue;
    }
    if (errno == EINTR) continue;
    if (WouldBlock(errno)) return Step::kBlocked;
    return SendFailed(errno);
  }
  return Step::kDone;
}

EventSocket::Step EventSocket::SendFile(OutItem& item) {
  const int file = static_cast<platform::THandleStream&>(*item.stream).Handle();
  while (item.pos < item.end) {
    off_t at = item.pos;
    const auto want =
        static_cast<std::size_t>(std::min<std::int64_t>(item.end - item.pos, kSendfileChunk));
    const ssize_t n = ::sendfile(fd_, file, &at, want);
    if (n > 0) {
      item.pos = at;
      corked_ = false;
      continue;
    }
    if (n == 0) break;  // the file became shorter: it ends here
    if (errno == EINTR) continue;
    if (WouldBlock(errno)) return Step::kBlocked;
    if (errno == EINVAL || errno == ENOSYS) {
      // A file system that cannot feed sendfile: read it instead.
      item.kind = Kind::kRead;
      item.stream->SetPosition(item.pos);
      return SendRead(item, false);
    }
    return SendFailed(errno);
  }
  return Step::kDone;
}

EventSocket::Step EventSocket::SendMemory(OutItem& item, bool more) {
  auto& memory = static_cast<platform::TMemoryStream&>(*item.stream);
  const std::int64_t end = std::min(item.end, memory.Size());
  while (item.pos < end) {
    const ssize_t n =
        ::send(fd_, memory.Memory() + item.pos, static_cast<std::size_t>(end - item.pos),
               MSG_NOSIGNAL | (more ? MSG_MORE : 0));
    if (n >= 0) {
      item.pos += n;
      corked_ = more;
      if (item.pos < end) return Step::kBlocked;
      continue;
    }
    if (errno == EINTR) continue;
    if (WouldBlock(errno)) return Step::kBlocked;
    return SendFailed(errno);
  }
  return Step::kDone;
}

EventSocket::Step EventSocket::SendRead(OutItem& item, bool more) {
  for (;;) {
    if (item.offset >= item.bytes.size()) {
      item.bytes.resize(kReadPiece);
      std::int64_t n = 0;
      try {
        n = item.stream->Read(item.bytes.data(), static_cast<std::int64_t>(kReadPiece));
      } catch (const std::system_error& e) {
        return SendFailed(e.code().value() != 0 ? e.code().value() : EIO);
      } catch (...) {
        return SendFailed(EIO);
      }
      if (n <= 0) return Step::kDone;
      item.bytes.resize(static_cast<std::size_t>(n));
      item.offset = 0;
    }
    const Step step = SendBytes(item, more);
    if (step != Step::kDone) return step;
  }
}

// --- EventSocket: closing -----------------------------------------------------------------

void EventSocket::Close(bool abort) {
  client_ = nullptr;
  switch (state_) {
    case State::kClosed:
      return;
    case State::kDraining:
    case State::kLingering:
      if (abort) CloseDescriptor();
      return;
    case State::kConnecting:
      CloseDescriptor();
      return;
    case State::kOpen:
      break;
  }
  // A stream cut off in the middle must not be followed by anything: the peer would take
  // later bytes for the stream's. Closing while a stream goes out is how a transfer is stopped.
  if (abort || failed_ || StreamPending()) {
    CloseDescriptor();
    return;
  }
  if (out_.empty()) {
    FinishClose();
    return;
  }
  state_ = State::kDraining;
  StartTimer(kDrainLimit, &EventSocket::DrainTimedOut);
  if (depth_ == 0 && !write_wait_) Flush();
}

void EventSocket::FinishClose() {
  // Input that was never read makes the kernel answer the close with a reset, and a reset can
  // destroy the answer still on its way to the peer. Shut down our side instead, let the
  // peer's input drain, and close once the peer has closed too (or kLingerLimit has passed).
  if (!eof_seen_ && !failed_) {
    int unread = 0;
    if (::ioctl(fd_, FIONREAD, &unread) == 0 && unread > 0) {
      ::shutdown(fd_, SHUT_WR);
      state_ = State::kLingering;
      StartTimer(kLingerLimit, &EventSocket::DrainTimedOut);
      Linger();
      return;
    }
  }
  CloseDescriptor();
}

void EventSocket::Linger() {
  char scrap[16 * 1024];
  for (;;) {
    const ssize_t n = ::recv(fd_, scrap, sizeof scrap, 0);
    if (n > 0) continue;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && WouldBlock(errno)) {
      in_ready_ = false;
      ArmRead();
      return;
    }
    break;  // the peer's end of data, or an error: nothing more to wait for
  }
  CloseDescriptor();
}

void EventSocket::DrainTimedOut() {
  CloseDescriptor();
}

void EventSocket::StartTimer(std::chrono::milliseconds after, void (EventSocket::*what)()) {
  if (!timer_) timer_ = std::make_unique<asio::steady_timer>(Loop());
  timer_->expires_after(after);
  timer_->async_wait([self = shared_from_this(), what](const asio::error_code& ec) {
    if (!ec) ((*self).*what)();
  });
}

void EventSocket::CloseDescriptor() {
  if (state_ == State::kClosed && fd_ < 0) return;
  state_ = State::kClosed;
  client_ = nullptr;
  window_.Unregister(fd_, this);
  if (timer_) timer_->cancel();
  out_.clear();
  if (fd_ >= 0) {
    Poller::Instance().Remove(fd_, this);
    ::close(fd_);
  }
  fd_ = -1;
  Release();  // the waits end here
}

// --- EventSocket: addresses ---------------------------------------------------------------

std::string EventSocket::LocalAddress() const {
  sockaddr_storage address{};
  return LocalName(fd_, address) ? AddressText(address) : std::string();
}

int EventSocket::LocalPort() const {
  sockaddr_storage address{};
  return LocalName(fd_, address) ? PortOf(address) : 0;
}

std::string EventSocket::RemoteAddress() const {
  sockaddr_storage address{};
  return PeerName(fd_, address) ? AddressText(address) : std::string();
}

int EventSocket::RemotePort() const {
  sockaddr_storage address{};
  return PeerName(fd_, address) ? PortOf(address) : 0;
}

// --- SocketHolder -------------------------------------------------------------------------

void SocketHolder::SocketConnected() {
  connected = true;
  Report(Note::kConnect);
}

void SocketHolder::SocketFailed(SocketOp op, int code) {
  {
    EventScope scope(in_event);
    Failure(op, code);
  }
  CloseOwner();
}

void SocketHolder::Report(Note note) {
  EventScope scope(in_event);
  Notify(note);
}

bool SocketHolder::CloseSocket() {
  if (closing || !socket) return false;
  closing = true;
  if (connected) {
    connected = false;
    try {
      Report(Note::kDisconnect);
    } catch (...) {
      ReportHandlerException();
    }
  }
  Silence();
  closing = false;
  return true;
}

void SocketHolder::Silence() {
  if (auto closed = std::move(socket)) closed->Close(false);
}

int SocketHolder::Handle() const {
  return socket ? socket->Handle() : INVALID_SOCKET;
}

std::string SocketHolder::LocalAddress() const {
  return socket ? socket->LocalAddress() : std::string();
}

int SocketHolder::LocalPort() const {
  return socket ? socket->LocalPort() : 0;
}

std::string SocketHolder::RemoteAddress() const {
  return socket ? socket->RemoteAddress() : std::string();
}

int SocketHolder::RemotePort() const {
  return socket ? socket->RemotePort() : 0;
}

void EndConnections(const std::vector<SocketHolder*>& connections,
                    const std::function<void(SocketHolder&)>& destroy) {
  struct Entry {
    std::weak_ptr<char> alive;
    SocketHolder* holder;
  };

  std::vector<Entry> ending;
  ending.reserve(connections.size());
  for (SocketHolder* holder : connections) ending.push_back({holder->alive, holder});
  for (const Entry& e : ending) {
    if (e.alive.expired()) continue;  // a disconnect handler ended it already
    e.holder->CloseOwner();
    if (!e.alive.expired() && e.holder->in_event == 0) destroy(*e.holder);
  }
}

// --- EventListener ------------------------------------------------------------------------

std::shared_ptr<EventListener> EventListener::Listen(int port, Offer offer) {
  const std::string where = "port " + std::to_string(port);
  if (port < 0 || port > 65535)
    throw ESocketError("Cannot listen on " + where + ": no such port", EINVAL);
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    const int code = errno;
    throw ESocketError("Cannot listen on " + where + ": " + std::strerror(code), code);
  }
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  // Accepted sockets inherit it: answers leave as soon as they are complete.
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, SOMAXCONN) != 0) {
    const int code = errno;
    ::close(fd);
    throw ESocketError("Cannot listen on " + where + ": " + std::strerror(code), code);
  }
  auto listener = std::make_shared<EventListener>(fd, std::move(offer));
  listener->Arm();
  return listener;
}

EventListener::EventListener(int fd, Offer offer)
    : fd_(fd), offer_(std::move(offer)), pause_timer_(Loop()) {
  if (!Poller::Instance().Add(fd, this)) {
    const int code = errno;
    ::close(fd);
    closed_ = true;
    throw ESocketError(std::string("Cannot watch the listening socket: ") + std::strerror(code), code);
  }
}

EventListener::~EventListener() {
  Close();
}

int EventListener::LocalPort() const {
  sockaddr_storage address{};
  return !closed_ && LocalName(fd_, address) ? PortOf(address) : 0;
}

void EventListener::Arm() {
  if (waiting_for_read_ || closed_) return;
  waiting_for_read_ = true;
  if (!hold_) hold_ = shared_from_this();
  if (in_ready_ && Shows(fd_, POLLIN)) {
    asio::post(Loop(), [self = shared_from_this()] { self->Ready(0); });
  } else {
    in_ready_ = false;
  }
}

void EventListener::Ready(std::uint32_t events) {
  if (events != 0) in_ready_ = true;
  if (!waiting_for_read_ || !in_ready_) return;
  auto self = shared_from_this();
  waiting_for_read_ = false;
  hold_.reset();
  if (!closed_) AcceptAll();
}

void EventListener::AcceptAll() {
  auto self = shared_from_this();  // an offer may close the listener and let go of it
  // Readiness comes on edges: take everything pending, or no new edge would announce it.
  while (!closed_ && waiting_.empty() && !paused_) {
    const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      if (offer_(fd)) continue;
      if (closed_) {
        ::close(fd);
      } else {
        waiting_.push_back(fd);
      }
      return;
    }
    switch (errno) {
      case EINTR:
      case ECONNABORTED:
      case EPROTO:
      case EPERM:
        continue;  // that client is gone (or refused by a filter); the next may be fine
      case EAGAIN:
#if EWOULDBLOCK != EAGAIN
      case EWOULDBLOCK:
#endif
        in_ready_ = false;
        Arm();
        return;
      default:
        // Out of descriptors or memory: the clients wait in the backlog until some are free.
        Pause();
        return;
    }
  }
}

void EventListener::Pause() {
  paused_ = true;
  pause_timer_.expires_after(kAcceptPause);
  pause_timer_.async_wait([self = shared_from_this()](const asio::error_code& ec) {
    if (ec) return;
    self->paused_ = false;
    if (!self->closed_ && self->waiting_.empty()) self->AcceptAll();
  });
}

void EventListener::Resume() {
  auto self = shared_from_this();
  while (!closed_ && !waiting_.empty()) {
    const int fd = waiting_.front();
    waiting_.pop_front();
    if (offer_(fd)) continue;
    if (closed_) {
      ::close(fd);
    } else {
      waiting_.push_front(fd);
    }
    return;
  }
  if (!closed_ && !paused_ && !waiting_for_read_) AcceptAll();
}

void EventListener::Close() {
  if (closed_) return;
  closed_ = true;
  Poller::Instance().Remove(fd_, this);
  ::close(fd_);
  waiting_for_read_ = false;
  if (hold_) asio::post(Loop(), [held = std::move(hold_)] {});
  pause_timer_.cancel();
  for (const int fd : waiting_) ::close(fd);
  waiting_.clear();
}

}  // namespace detail
}  // namespace quorvin::net
