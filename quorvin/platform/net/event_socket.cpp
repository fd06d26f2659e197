#include "quorvin/platform/net/event_socket.h"

#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

namespace quorvin::net {

int WSAAsyncSelect(TSocket socket, HWND window, unsigned msg, long events) {
  if (window == nullptr || window->Message() != msg) return -1;
  return window->Select(socket, events) ? 0 : -1;
}

namespace detail {
namespace {

// Everything a socket can report, registered once: the write edge costs nothing until a send
// has found the socket full, and a registration that never changes needs no system call per
// wait.
constexpr std::uint32_t kWatched = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
constexpr std::uint32_t kInputEvents = EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR;
constexpr std::uint32_t kOutputEvents = EPOLLOUT | EPOLLHUP | EPOLLERR;

Reactor& Loop() {
  return Reactor::Instance();
}

bool WouldBlock(int code) {
  return code == EAGAIN || code == EWOULDBLOCK;
}

std::string AddressText(const sockaddr_storage& address) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET) {
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, text,
                sizeof text);
  } else if (address.ss_family == AF_INET6) {
    const in6_addr& v6 = reinterpret_cast<const sockaddr_in6&>(address).sin6_addr;
    // An IPv4 client of a dual-stack listener is an IPv4 client: its address reads as one.
    if (IN6_IS_ADDR_V4MAPPED(&v6)) {
      ::inet_ntop(AF_INET, &v6.s6_addr[12], text, sizeof text);
    } else {
      ::inet_ntop(AF_INET6, &v6, text, sizeof text);
    }
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

}  // namespace

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
    : fd_(fd),
      window_(window),
      client_(client),
      close_limit_([this] { CloseDescriptor(); }),
      send_stall_([this] { SendStalled(); }),
      plain_(fd) {
  if (fd >= 0 && blocking == Blocking::kSwitch) {
    // A receive or send must never wait in the loop's thread.
    int on = 1;
    ::ioctl(fd, FIONBIO, &on);
  }
  if (fd < 0 || !Loop().Watch(fd, this, kWatched)) {
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

int EventSocket::OpenHandle(int family) {
  const int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0)
    throw ESocketError(std::string("Cannot create a socket: ") + std::strerror(errno), errno);
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

void EventSocket::UseTls(std::shared_ptr<TlsContext> context, const std::string& host) {
  if (state_ == State::kClosed || tls_) return;
  const bool server = context->IsServer();
  tls_ = std::make_unique<TlsSession>(std::move(context), fd_, host);
  if (!server) return;  // the handshake follows the connect
  handshaking_ = true;
  Hold();
  // The client speaks first; its hello may be here already, announced by an edge that came
  // before anyone asked.
  Loop().Post([self = shared_from_this()] { self->DriveHandshake(); });
}

// The handshake moves on each time the socket is ready for what it waits for: an edge ends
// each wait, as the waits of reads and sends end.
void EventSocket::DriveHandshake() {
  if (!handshaking_ || state_ != State::kOpen || failed_) return;
  auto self = shared_from_this();
  int error = 0;
  switch (tls_->Handshake(error)) {
    case TlsSession::Step::kWantRead:
      in_ready_ = false;
      Hold();
      return;
    case TlsSession::Step::kWantWrite:
      out_ready_ = false;
      Hold();
      return;
    case TlsSession::Step::kFailed:
      handshaking_ = false;
      if (error == kTlsPlainHttp) {
        // The plain-text answer is on its way: the connection ends as after any answer (the
        // close lets the request drain, so that no reset overtakes the answer).
        out_.Clear();
        in_ready_ = true;  // the request looked at is unread, whatever the edges said so far
        if (client_ != nullptr) {
          ReportEnded();
        } else {
          FinishClose();
        }
        return;
      }
      Fail(tls_->Server() ? SocketOp::kReceive : SocketOp::kConnect, error);
      return;
    case TlsSession::Step::kDone:
      handshaking_ = false;
      HandshakeDone();
      return;
  }
}

void EventSocket::HandshakeDone() {
  if (!tls_->Server()) {
    // The connection the client waited for.
    FinishConnect(0);
  } else {
    if (!out_.Empty()) Flush();
    if (state_ == State::kOpen && !failed_ && read_wait_ && InputKnown()) PostCompleted();
  }
  // The handshake's own hold ends unless a wait took it over.
  if (state_ == State::kOpen && !read_wait_ && !write_wait_ && !completion_posted_ && hold_)
    Loop().Post([held = std::move(hold_)] {});
}

bool EventSocket::InputKnown() const {
  return in_ready_ || hup_seen_ || err_seen_ || (tls_ && !handshaking_ && tls_->HasPending());
}

Wire& EventSocket::Out() {
  if (tls_) return *tls_;
  return plain_;
}

void EventSocket::Start(long events) {
  mask_ = events;
  if ((events & FD_READ) != 0) ArmRead();
}

void EventSocket::BeginConnect(const asio::ip::tcp::endpoint& endpoint, long events) {
  state_ = State::kConnecting;
  mask_ = events;
  const int rc = ::connect(fd_, endpoint.data(), static_cast<socklen_t>(endpoint.size()));
  if (rc == 0 || errno != EINPROGRESS) {
    // Finished (or failed) at once: reported from the loop all the same, so that the owner is
    // never called back from inside its own call. A descriptor that a dialer connected
    // already answers EISCONN.
    const int code = rc == 0 || errno == EISCONN ? 0 : errno;
    Loop().Post([socket = shared_from_this(), code] {
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
  out_.Clear();
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
  if (state_ == State::kConnecting) {
    state_ = State::kOpen;
    if (code != 0) {
      Fail(SocketOp::kConnect, code);
      return;
    }
    if (tls_) {
      // Connected, but the client hears of it once the handshake is done.
      handshaking_ = true;
      Hold();
      DriveHandshake();
      return;
    }
  } else if (!tls_ || handshaking_ || state_ != State::kOpen) {
    return;
  }
  auto self = shared_from_this();
  Dispatch([this] {
    if (client_ != nullptr) client_->SocketConnected();
  });
  if (state_ != State::kOpen || failed_ || client_ == nullptr) return;
  if ((mask_ & FD_READ) != 0) ArmRead();
  // A connected socket can send: said once, as a freshly selected FD_WRITE is.
  if ((mask_ & FD_WRITE) != 0 && out_.Empty()) PostWriteEvent();
}

// --- EventSocket: waits -------------------------------------------------------------------

// Readiness that an edge announced and nothing has used up yet is acted on from the loop, not
// waited for: no new edge would come for it.
void EventSocket::ArmRead() {
  if (read_wait_ || state_ == State::kClosed) return;
  read_wait_ = true;
  Hold();
  if (InputKnown()) PostCompleted();
}

void EventSocket::ArmWrite() {
  if (write_wait_ || state_ == State::kClosed) return;
  write_wait_ = true;
  Hold();
  if (out_ready_) PostCompleted();
}

void EventSocket::PostCompleted() {
  if (completion_posted_) return;
  completion_posted_ = true;
  Loop().Post([self = shared_from_this()] {
    self->completion_posted_ = false;
    self->Completed();
  });
}

void EventSocket::Ready(std::uint32_t events) {
  if ((events & kInputEvents) != 0) in_ready_ = true;
  if ((events & kOutputEvents) != 0) out_ready_ = true;
  if ((events & (EPOLLRDHUP | EPOLLHUP)) != 0) hup_seen_ = true;
  if ((events & EPOLLERR) != 0) err_seen_ = true;
  if (handshaking_) {
    DriveHandshake();
    return;
  }
  Completed();
}

// Ends the waits that readiness has answered: the write wait first, as a connect finishes
// before anything is read.
void EventSocket::Completed() {
  if (handshaking_) return;
  auto self = shared_from_this();
  if (write_wait_ && out_ready_) {
    write_wait_ = false;
    OnWriteReady();
  }
  if (read_wait_ && InputKnown() && state_ != State::kClosed) {
    read_wait_ = false;
    OnReadReady();
  }
  if (!read_wait_ && !write_wait_ && !handshaking_) hold_.reset();
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
  if (hold_) Loop().Post([held = std::move(hold_)] {});
}

void EventSocket::OnReadReady() {
  if (state_ == State::kLingering) {
    Linger();
    return;
  }
  if (state_ != State::kOpen || failed_ || client_ == nullptr) return;
  if ((mask_ & FD_READ) != 0) {
    DispatchRead();
  } else if (out_.Empty()) {
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
    in_ready_ = false;
    CheckPeerClose();
    return;
  }
  if (read_drained_) {
    ArmRead();
    return;
  }
  // The owner stopped before the input was proven empty: bytes, or an end of data, may wait
  // behind what it took, and no new edge would announce them. Another event looks.
  Loop().Post([self = shared_from_this()] {
    if (self->state_ == State::kOpen && !self->failed_ && self->client_ != nullptr &&
        (self->mask_ & FD_READ) != 0 && !self->read_wait_ && !self->ended_) {
      self->DispatchRead();
    }
  });
}

void EventSocket::WatchPeerClose() {
  if (state_ != State::kOpen || failed_ || client_ == nullptr || (mask_ & FD_READ) != 0 ||
      (mask_ & FD_CLOSE) == 0 || !out_.Empty() || read_wait_ || eof_seen_) {
    return;
  }
  CheckPeerClose();
}

// The edges tell whether the peer has closed: every one is recorded as it arrives, so nothing
// needs asking. Without news the socket waits for the next edge.
void EventSocket::CheckPeerClose() {
  if ((mask_ & FD_CLOSE) != 0) {
    if (err_seen_) {
      int code = 0;
      socklen_t length = sizeof code;
      ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &code, &length);
      if (code != 0 || !hup_seen_) {
        Fail(SocketOp::kReceive, code != 0 ? code : ECONNRESET);
        return;
      }
    }
    if (hup_seen_) {
      eof_seen_ = true;
      ReportEnded();
      return;
    }
  }
  if (read_wait_ || state_ == State::kClosed) return;
  read_wait_ = true;
  Hold();
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
  if (!out_.Empty()) {
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
  Loop().Post([self = shared_from_this()] {
    self->write_posted_ = false;
    // Output queued meanwhile: its draining earns the event instead.
    if (self->state_ != State::kOpen || self->failed_ || self->client_ == nullptr ||
        (self->mask_ & FD_WRITE) == 0 || !self->out_.Empty()) {
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
    if (out_.Empty() && !flush_pending_) {
      PostWriteEvent();
    } else {
      write_waited_ = true;
    }
  }
  if ((events & FD_READ) != 0 && (before & FD_READ) == 0) {
    // Data that arrived while nobody listened raised its edge then, which was recorded: the
    // wait for input ends from the loop when there was one, else the next edge ends it. (The
    // wait may be armed already, for the peer's close.)
    if (!read_wait_) {
      ArmRead();
    } else if (InputKnown()) {
      PostCompleted();
    }
  }
}

// --- EventSocket: receiving ---------------------------------------------------------------

int EventSocket::Receive(void* buffer, int count, int& error) {
  error = 0;
  if (state_ != State::kOpen || failed_) return 0;
  if (handshaking_) return count < 0 ? 0 : -1;  // nothing to read before the handshake
  if (count < 0) {
    if (tls_) return tls_->Available();
    int waiting = 0;
    return ::ioctl(fd_, FIONREAD, &waiting) == 0 ? waiting : 0;
  }
  ++reads_;
  if (count == 0) return 0;
  if (tls_) return ReceiveTls(static_cast<char*>(buffer), count, error);
  for (;;) {
    const ssize_t n = ::recv(fd_, buffer, static_cast<std::size_t>(count), 0);
    if (n > 0) {
      // Fewer bytes than asked empty the input: bytes that come later raise an edge of their
      // own. An end of data announced with the bytes is still to be read, and no edge will
      // announce it again.
      if (n < count && !hup_seen_) {
        read_drained_ = true;
        in_ready_ = false;
      }
      return static_cast<int>(n);
    }
    if (n == 0) return EndOfData();
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

// A session's read goes on until the buffer is full or the socket is empty: only the second
// proves the input empty, as a short receive does on a plain socket.
int EventSocket::ReceiveTls(char* buffer, int count, int& error) {
  const TlsSession::ReadResult r = tls_->Read(buffer, count);
  if (r.error != 0 && r.bytes == 0) {
    error = r.error;
    failed_ = true;
    return -1;
  }
  if (r.drained && !tls_->HasPending()) {
    read_drained_ = true;
    in_ready_ = false;
  }
  if (r.bytes > 0) return r.bytes;  // an end or a failure behind them is found by the next read
  return r.ended ? EndOfData() : -1;
}

// A receive found the peer's end of data: the input is empty for good.
int EventSocket::EndOfData() {
  read_drained_ = true;
  in_ready_ = false;
  if (!eof_seen_) {
    eof_seen_ = true;
    // Outside an event nothing would look at it: end the connection from the loop.
    if (depth_ == 0) {
      Loop().Post([self = shared_from_this()] {
        if (self->state_ == State::kOpen && !self->failed_) self->ReportEnded();
      });
    }
  }
  return 0;
}

// --- EventSocket: sending -----------------------------------------------------------------

bool EventSocket::QueueBytes(const void* data, std::size_t count) {
  if (state_ != State::kOpen || failed_ || out_.DropQueued()) return false;
  if (count == 0) return true;
  const char* p = static_cast<const char*>(data);
  if (out_.Empty() && depth_ == 0 && !handshaking_) {
    // Nothing ahead and no event to gather with: straight to the kernel, and only what it
    // does not take is copied.
    while (count > 0) {
      int code = 0;
      const ssize_t n = Out().Send(p, count, false, code);
      if (n > 0) {
        p += n;
        count -= static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && !WouldBlock(code)) {
        auto self = shared_from_this();
        Fail(SocketOp::kSend, code);
        return true;  // taken: the failure went to the error handler
      }
      break;
    }
    if (count == 0) return true;
    // The socket is full: the rest waits in the queue for the next write edge.
    out_.AddBytes(p, count);
    out_ready_ = false;
    write_waited_ = true;
    if (send_limit_.count() > 0) send_stall_.After(send_limit_);
    ArmWrite();
    return true;
  }
  out_.AddBytes(p, count);
  if (depth_ > 0) {
    flush_pending_ = true;
  } else if (!write_wait_) {
    Flush();
  }
  return true;
}

bool EventSocket::QueueStream(std::unique_ptr<platform::TStream>& stream, bool drop) {
  if (!stream || state_ != State::kOpen || failed_ || out_.DropQueued() || out_.StreamPending())
    return false;
  out_.AddStream(std::move(stream), drop);
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
  if (!out_.Empty() || handshaking_) {
    // Queued output goes first; the owner hears when the socket can take more.
    write_waited_ = true;
    return 0;
  }
  int code = 0;
  const ssize_t n = Out().Send(static_cast<const char*>(data), count, false, code);
  if (n >= 0) {
    if (static_cast<std::size_t>(n) < count) {
      write_waited_ = true;
      out_ready_ = false;
      ArmWrite();
    }
    return static_cast<int>(n);
  }
  if (WouldBlock(code)) {
    write_waited_ = true;
    out_ready_ = false;
    ArmWrite();
    return 0;
  }
  error = code;
  failed_ = true;
  return -1;
}

void EventSocket::Flush() {
  flush_pending_ = false;
  if (failed_ || (state_ != State::kOpen && state_ != State::kDraining)) return;
  if (handshaking_) return;  // the handshake's end sends what waits
  // Failures and the end of a drop reach the owner, which may let go.
  auto self = shared_from_this();
  int error = 0;
  switch (out_.Flush(Out(), error)) {
    case SendQueue::Step::kFailed:
      Fail(SocketOp::kSend, error);
      return;
    case SendQueue::Step::kBlocked:
      write_waited_ = true;
      out_ready_ = false;
      // Flushed again only when the peer has made room: every wait starts the limit anew.
      if (send_limit_.count() > 0) send_stall_.After(send_limit_);
      ArmWrite();
      return;
    case SendQueue::Step::kDropped:
      if (client_ != nullptr && !ended_) {
        ReportEnded();
      } else {
        Close(false);
      }
      return;
    case SendQueue::Step::kDone:
      break;
  }
  send_stall_.Cancel();
  if (state_ == State::kOpen) out_.Uncork(fd_);
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
  // Nothing can be sent before a handshake has finished.
  if (abort || failed_ || out_.StreamPending() || handshaking_) {
    CloseDescriptor();
    return;
  }
  if (out_.Empty()) {
    FinishClose();
    return;
  }
  state_ = State::kDraining;
  close_limit_.After(kDrainLimit);
  if (depth_ == 0 && !write_wait_) Flush();
}

void EventSocket::FinishClose() {
  if (tls_ && !failed_) tls_->Shutdown();
  // Input that was never read makes the kernel answer the close with a reset, and a reset can
  // destroy the answer still on its way to the peer. When an edge announced input that no
  // receive has taken, shut down our side instead, let the peer's input drain, and close once
  // the peer has closed too (or kLingerLimit has passed).
  if (in_ready_ && !eof_seen_ && !failed_) {
    int unread = 0;
    if (::ioctl(fd_, FIONREAD, &unread) == 0 && unread > 0) {
      ::shutdown(fd_, SHUT_WR);
      state_ = State::kLingering;
      close_limit_.After(kLingerLimit);
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
      hup_seen_ = false;
      err_seen_ = false;
      ArmRead();
      return;
    }
    break;  // the peer's end of data, or an error: nothing more to wait for
  }
  CloseDescriptor();
}

void EventSocket::SetSendTimeout(std::chrono::milliseconds limit) {
  send_limit_ = limit;
  if (limit.count() <= 0) send_stall_.Cancel();
}

void EventSocket::SendStalled() {
  if (out_.Empty() || state_ == State::kClosed) return;
  auto self = shared_from_this();
  Fail(SocketOp::kSend, ETIMEDOUT);
}

void EventSocket::CloseDescriptor() {
  if (state_ == State::kClosed && fd_ < 0) return;
  state_ = State::kClosed;
  client_ = nullptr;
  window_.Unregister(fd_, this);
  close_limit_.Cancel();
  send_stall_.Cancel();
  out_.Clear();
  handshaking_ = false;
  tls_.reset();
  if (fd_ >= 0) {
    // Closing takes the descriptor out of the epoll set; only our own record goes here.
    Loop().Forget(fd_, this, false);
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

}  // namespace detail
}  // namespace quorvin::net
