#include "quorvin/platform/net/event_socket.h"

#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

namespace quorvin::net::detail {

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

}  // namespace

// --- Life ---------------------------------------------------------------------------------

EventSocket::EventSocket(int fd, SocketWindow& window, EventSocketClient* client, Blocking blocking)
    : fd_(fd),
      window_(window),
      client_(client),
      closing_([this] { CloseDescriptor(); }),
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

void EventSocket::Start(long events) {
  mask_ = events;
  if ((events & FD_READ) != 0) ArmRead();
}

void EventSocket::BeginConnect(const Endpoint& endpoint, long events) {
  state_ = State::kConnecting;
  mask_ = events;
  const int rc = ::connect(fd_, endpoint.Data(), endpoint.Size());
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

void EventSocket::FinishConnect(int code) {
  if (state_ == State::kConnecting) {
    state_ = State::kOpen;
    if (code != 0) {
      Fail(SocketOp::kConnect, code);
      return;
    }
    if (tls_) {
      // Connected, but the client hears of it once the handshake is done.
      Hold();
      DriveHandshake();
      return;
    }
  } else if (!tls_ || Handshaking() || state_ != State::kOpen) {
    return;
  }
  auto self = shared_from_this();
  Dispatch([this] {
    if (client_ != nullptr) client_->SocketConnected();
  });
  if (!Usable() || client_ == nullptr) return;
  if ((mask_ & FD_READ) != 0) ArmRead();
  // A connected socket can send: said once, as a freshly selected FD_WRITE is.
  if ((mask_ & FD_WRITE) != 0 && queue_.Empty()) PostWriteEvent();
}

// --- Readiness ----------------------------------------------------------------------------

void EventSocket::Ready(std::uint32_t events) {
  if ((events & kInputEvents) != 0) in_.ready = true;
  if ((events & kOutputEvents) != 0) out_.ready = true;
  if ((events & (EPOLLRDHUP | EPOLLHUP)) != 0) peer_.hangup = true;
  if ((events & EPOLLERR) != 0) peer_.error = true;
  if (Handshaking()) {
    DriveHandshake();
    return;
  }
  Completed();
}

bool EventSocket::InputKnown() const {
  return in_.ready || peer_.hangup || peer_.error || (tls_ && !Handshaking() && tls_->HasPending());
}

// Readiness that an edge announced and nothing has used up yet is acted on from the loop, not
// waited for: no new edge would come for it.
void EventSocket::ArmRead() {
  if (in_.armed || state_ == State::kClosed) return;
  in_.armed = true;
  Hold();
  if (InputKnown()) PostInputLook();
}

void EventSocket::ArmWrite() {
  if (out_.armed || state_ == State::kClosed) return;
  out_.armed = true;
  Hold();
  if (out_.ready) Loop().Post([self = shared_from_this()] { self->Completed(); });
}

void EventSocket::PostInputLook() {
  if (in_.posted) return;
  in_.posted = true;
  Loop().Post([self = shared_from_this()] {
    self->in_.posted = false;
    self->Completed();
  });
}

// Ends the waits that readiness has answered: the write wait first, as a connect finishes
// before anything is read.
void EventSocket::Completed() {
  if (Handshaking()) return;
  auto self = shared_from_this();
  if (out_.armed && out_.ready) {
    out_.armed = false;
    OnWriteReady();
  }
  if (in_.armed && InputKnown() && state_ != State::kClosed) {
    in_.armed = false;
    OnReadReady();
  }
  if (!in_.armed && !out_.armed && !Handshaking()) hold_.reset();
}

// A socket waiting for readiness is kept alive by the wait, as an owner that closes it and lets
// go expects while its last bytes drain.
void EventSocket::Hold() {
  if (!hold_) hold_ = shared_from_this();
}

// Lets go of the hold from the loop: the caller may still be using the socket.
void EventSocket::Release() {
  in_.armed = false;
  out_.armed = false;
  if (hold_) Loop().Post([held = std::move(hold_)] {});
}

// --- Events -------------------------------------------------------------------------------

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
  // What the event queued leaves now, all together, unless the queue waits for room.
  if (!queue_.Empty() && !out_.armed) Flush();
  // The owner saw the end of the data: the connection is over once its event is.
  if (peer_.eof && !ended_ && Usable()) ReportEnded();
}

void EventSocket::ReportEnded() {
  if (ended_ || client_ == nullptr) return;
  ended_ = true;
  Dispatch([this] {
    if (client_ != nullptr) client_->SocketEnded();
  });
}

void EventSocket::Fail(SocketOp op, int code) {
  if (state_ == State::kFailed || state_ == State::kClosed) return;
  queue_.Clear();
  if (client_ == nullptr) {
    // A socket that only drains after its owner closed it: nobody to tell.
    CloseDescriptor();
    return;
  }
  state_ = State::kFailed;
  Dispatch([this, op, code] {
    if (client_ != nullptr) client_->SocketFailed(op, code);
  });
}

void EventSocket::OnReadReady() {
  if (state_ == State::kLingering) {
    Linger();
    return;
  }
  if (!Usable() || client_ == nullptr) return;
  if ((mask_ & FD_READ) != 0) {
    DispatchRead();
  } else if (queue_.Empty()) {
    // Only the peer's close is wanted now, and only while nothing is being sent: a peer that
    // shut down its side after its request still gets the answer.
    WatchPeerClose();
  }
}

void EventSocket::DispatchRead() {
  reads_ = 0;
  Dispatch([this] {
    if (client_ != nullptr) client_->SocketReadable();
  });
  if (!Usable() || client_ == nullptr || ended_) return;
  // Switched to write notification in the event: the write-ready event takes over from here.
  if ((mask_ & FD_READ) == 0) return;
  if (reads_ == 0) {
    // The owner left the data where it was: no new event until more arrives (or the peer
    // closes), so that an owner that does not read is not called in a loop.
    in_.ready = false;
    CheckPeerClose();
    return;
  }
  // Input that a receive proved empty waits for the next edge. Input the owner stopped
  // reading before that is still ready: bytes, or an end of data, may wait behind what it
  // took, no new edge would announce them, and another event looks from the loop.
  ArmRead();
}

void EventSocket::WatchPeerClose() {
  if (!Usable() || client_ == nullptr || (mask_ & FD_READ) != 0 || (mask_ & FD_CLOSE) == 0 ||
      !queue_.Empty() || in_.armed || peer_.eof) {
    return;
  }
  CheckPeerClose();
}

// The edges tell whether the peer has closed: every one is recorded as it arrives, so nothing
// needs asking. Without news the socket waits for the next edge.
void EventSocket::CheckPeerClose() {
  if ((mask_ & FD_CLOSE) != 0) {
    if (peer_.error) {
      int code = 0;
      socklen_t length = sizeof code;
      ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &code, &length);
      if (code != 0 || !peer_.hangup) {
        Fail(SocketOp::kReceive, code != 0 ? code : ECONNRESET);
        return;
      }
    }
    if (peer_.hangup) {
      peer_.eof = true;
      ReportEnded();
      return;
    }
  }
  if (in_.armed || state_ == State::kClosed) return;
  in_.armed = true;
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
  if (state_ != State::kOpen && state_ != State::kDraining) return;
  if (!queue_.Empty()) {
    Flush();
    return;
  }
  // A SendSome that could not place everything: the owner may send again.
  if (out_.owed && state_ == State::kOpen && (mask_ & FD_WRITE) != 0 && client_ != nullptr) {
    out_.owed = false;
    auto self = shared_from_this();
    Dispatch([this] {
      if (client_ != nullptr) client_->SocketWritable();
    });
    WatchPeerClose();
  }
}

void EventSocket::PostWriteEvent() {
  if (out_.posted) return;
  out_.posted = true;
  Loop().Post([self = shared_from_this()] {
    self->out_.posted = false;
    // Output queued meanwhile: its draining earns the event instead.
    if (!self->Usable() || self->client_ == nullptr || (self->mask_ & FD_WRITE) == 0 ||
        !self->queue_.Empty()) {
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
  if (!Usable()) return;
  if ((events & FD_WRITE) != 0) {
    if (queue_.Empty()) {
      PostWriteEvent();
    } else {
      out_.owed = true;
    }
  }
  if ((events & FD_READ) != 0 && (before & FD_READ) == 0) {
    // Data that arrived while nobody listened raised its edge then, which was recorded: the
    // wait for input ends from the loop when there was one, else the next edge ends it. (The
    // wait may be armed already, for the peer's close.)
    if (!in_.armed) {
      ArmRead();
    } else if (InputKnown()) {
      PostInputLook();
    }
  }
}

// --- Receiving ----------------------------------------------------------------------------

int EventSocket::Receive(void* buffer, int count, int& error) {
  error = 0;
  if (!Usable()) return 0;
  if (Handshaking()) return count < 0 ? 0 : -1;  // nothing to read before the handshake
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
      if (n < count && !peer_.hangup) in_.ready = false;
      return static_cast<int>(n);
    }
    if (n == 0) return EndOfData();
    if (errno == EINTR) continue;
    if (WouldBlock(errno)) {
      in_.ready = false;
      return -1;
    }
    error = errno;
    state_ = State::kFailed;
    return -1;
  }
}

// A session's read goes on until the buffer is full or the socket is empty: only the second
// proves the input empty, as a short receive does on a plain socket.
// A receive found the peer's end of data: the input is empty for good.
int EventSocket::EndOfData() {
  in_.ready = false;
  if (!peer_.eof) {
    peer_.eof = true;
    // Outside an event nothing would look at it: end the connection from the loop.
    if (depth_ == 0) {
      Loop().Post([self = shared_from_this()] {
        if (self->Usable()) self->ReportEnded();
      });
    }
  }
  return 0;
}

// --- Sending ------------------------------------------------------------------------------

Wire& EventSocket::Out() {
  if (tls_) return *tls_;
  return plain_;
}

bool EventSocket::QueueBytes(const void* data, std::size_t count) {
  if (!Usable() || queue_.DropQueued()) return false;
  if (count == 0) return true;
  const char* p = static_cast<const char*>(data);
  if (queue_.Empty() && depth_ == 0 && !Handshaking()) {
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
    queue_.AddBytes(p, count);
    out_.ready = false;
    out_.owed = true;
    if (send_limit_.count() > 0) send_stall_.After(send_limit_);
    ArmWrite();
    return true;
  }
  queue_.AddBytes(p, count);
  // Inside an event the bytes wait for its end (AfterEvent), to leave with what follows them.
  if (depth_ == 0 && !out_.armed) Flush();
  return true;
}

bool EventSocket::QueueStream(std::unique_ptr<platform::TStream>& stream, bool drop) {
  if (!stream || !Usable() || queue_.DropQueued() || queue_.StreamPending()) return false;
  queue_.AddStream(std::move(stream), drop);
  if (depth_ == 0 && !out_.armed) Flush();
  return true;
}

int EventSocket::SendSome(const void* data, std::size_t count, int& error) {
  error = 0;
  if (!Usable()) {
    error = ENOTCONN;
    return -1;
  }
  if (!queue_.Empty() || Handshaking()) {
    // Queued output goes first; the owner hears when the socket can take more.
    out_.owed = true;
    return 0;
  }
  int code = 0;
  const ssize_t n = Out().Send(static_cast<const char*>(data), count, false, code);
  if (n >= 0) {
    if (static_cast<std::size_t>(n) < count) {
      out_.owed = true;
      out_.ready = false;
      ArmWrite();
    }
    return static_cast<int>(n);
  }
  if (WouldBlock(code)) {
    out_.owed = true;
    out_.ready = false;
    ArmWrite();
    return 0;
  }
  error = code;
  state_ = State::kFailed;
  return -1;
}

void EventSocket::Flush() {
  if (state_ != State::kOpen && state_ != State::kDraining) return;
  if (Handshaking()) return;  // the handshake's end sends what waits
  // Failures and the end of a drop reach the owner, which may let go.
  auto self = shared_from_this();
  int error = 0;
  switch (queue_.Flush(Out(), error)) {
    case SendQueue::Step::kFailed:
      Fail(SocketOp::kSend, error);
      return;
    case SendQueue::Step::kBlocked:
      out_.owed = true;
      out_.ready = false;
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
  if (state_ == State::kOpen) queue_.Uncork(fd_);
  if (state_ == State::kDraining) {
    FinishClose();
    return;
  }
  if (out_.owed && (mask_ & FD_WRITE) != 0) {
    out_.owed = false;
    PostWriteEvent();
  } else {
    WatchPeerClose();
  }
}

void EventSocket::SetSendTimeout(std::chrono::milliseconds limit) {
  send_limit_ = limit;
  if (limit.count() <= 0) send_stall_.Cancel();
}

void EventSocket::SendStalled() {
  if (queue_.Empty() || state_ == State::kClosed) return;
  auto self = shared_from_this();
  Fail(SocketOp::kSend, ETIMEDOUT);
}

// --- Closing ------------------------------------------------------------------------------

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
    case State::kFailed:
      CloseDescriptor();
      return;
    case State::kOpen:
      break;
  }
  // A stream cut off in the middle must not be followed by anything: the peer would take
  // later bytes for the stream's. Closing while a stream goes out is how a transfer is stopped.
  // Nothing can be sent before a handshake has finished.
  if (abort || queue_.StreamPending() || Handshaking()) {
    CloseDescriptor();
    return;
  }
  if (queue_.Empty()) {
    FinishClose();
    return;
  }
  state_ = State::kDraining;
  closing_.StartDrain();
  if (depth_ == 0 && !out_.armed) Flush();
}

void EventSocket::FinishClose() {
  if (tls_) tls_->Shutdown();
  // Input that an edge announced and no receive has taken lingers; see GracefulClose.
  if (in_.ready && !peer_.eof && closing_.StartLinger(fd_)) {
    state_ = State::kLingering;
    Linger();
    return;
  }
  CloseDescriptor();
}

void EventSocket::Linger() {
  if (GracefulClose::DropInput(fd_)) {
    in_.ready = false;
    peer_.hangup = false;
    peer_.error = false;
    ArmRead();
    return;
  }
  CloseDescriptor();
}

void EventSocket::CloseDescriptor() {
  if (state_ == State::kClosed && fd_ < 0) return;
  state_ = State::kClosed;
  client_ = nullptr;
  window_.Unregister(fd_, this);
  closing_.Cancel();
  send_stall_.Cancel();
  queue_.Clear();
  tls_.reset();
  if (fd_ >= 0) {
    // Closing takes the descriptor out of the epoll set; only our own record goes here.
    Loop().Forget(fd_, this, false);
    ::close(fd_);
  }
  fd_ = -1;
  Release();  // the waits end here
}

// --- Addresses ----------------------------------------------------------------------------

std::string EventSocket::LocalAddress() const {
  return Endpoint::LocalOf(fd_).AddressText();
}

int EventSocket::LocalPort() const {
  return Endpoint::LocalOf(fd_).Port();
}

std::string EventSocket::RemoteAddress() const {
  return Endpoint::PeerOf(fd_).AddressText();
}

int EventSocket::RemotePort() const {
  return Endpoint::PeerOf(fd_).Port();
}

}  // namespace quorvin::net::detail
