#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <asio/ip/tcp.hpp>

#include "quorvin/platform/core/deadline.h"
#include "quorvin/platform/core/stream.h"
#include "quorvin/platform/net/notify.h"
#include "quorvin/platform/net/reactor.h"
#include "quorvin/platform/net/send_queue.h"
#include "quorvin/platform/net/tls.h"

// The connected socket that both event-socket layers stand on: non-blocking, watched by the
// reactor on edges from the moment it is made (one registration for its whole life), reporting
// readiness as events, queueing what the kernel does not take, closing gracefully. A layer
// wraps it in its own classes and maps the events to its own event codes and handlers.
namespace quorvin::net::detail {

class EventSocket;

// Which operation a failure belongs to.
enum class SocketOp { kReceive, kSend, kConnect, kLookup, kAccept, kGeneral };

// What an EventSocket reports to the layer object that owns it. Every call runs inside
// EventSocket::Dispatch, on the loop's thread, never from inside a call the owner made.
class EventSocketClient {
 public:
  virtual void SocketReadable() = 0;  // data (or the end of the data) can be read
  virtual void SocketWritable() = 0;  // write-ready edge; see EventSocket::Select
  virtual void SocketConnected() = 0;
  // The connection is over without the owner having closed it: the peer closed, or a stream
  // sent with drop-after has gone out. The owner is expected to Close.
  virtual void SocketEnded() = 0;
  // A receive, send or connect failed (`code` is an errno value). The socket is unusable; the
  // owner is expected to Close.
  virtual void SocketFailed(SocketOp op, int code) = 0;

 protected:
  ~EventSocketClient() = default;
};

// A layer's notification window: its sockets by handle, so that WSAAsyncSelect can find the
// socket it is given. One per layer, never destroyed (sockets may outlive static objects while
// the loop shuts down).
class SocketWindow final : public TNotifyWindow {
 public:
  explicit SocketWindow(unsigned message) : message_(message) {}

  unsigned Message() const override { return message_; }

  bool Select(TSocket socket, long events) override;

  void Register(int fd, EventSocket* socket);
  void Unregister(int fd, const EventSocket* socket);
  EventSocket* Find(int fd) const;

 private:
  unsigned message_;
  std::vector<EventSocket*> by_fd_;  // indexed by descriptor: descriptors are small integers
};

class EventSocket final : public std::enable_shared_from_this<EventSocket>, public ReadyWatcher {
 public:
  // Whether a descriptor handed over is known to be non-blocking already (made or accepted by
  // this machinery), or has to be switched (any other, which a program may pass).
  enum class Blocking { kSwitch, kNonBlocking };

  // Makes a non-blocking stream socket of `family` for BeginConnect. Throws ESocketError.
  static int OpenHandle(int family);

  // Takes `fd` (connected, or made by OpenHandle) and reports nothing until Start or
  // BeginConnect. Throws ESocketError, closing `fd`, when the reactor cannot watch it.
  EventSocket(int fd, SocketWindow& window, EventSocketClient* client,
              Blocking blocking = Blocking::kSwitch);
  ~EventSocket();
  EventSocket(const EventSocket&) = delete;
  EventSocket& operator=(const EventSocket&) = delete;

  // Starts reporting `events` (the initial WSAAsyncSelect mask) of a connected socket.
  void Start(long events);
  // Starts connecting to `endpoint`. SocketConnected or SocketFailed(kConnect) follows from
  // the loop; afterwards the socket reports `events`.
  void BeginConnect(const asio::ip::tcp::endpoint& endpoint, long events);

  int Handle() const { return fd_; }

  // Speaks TLS from here on, with a session of `context`. A server's socket (taken connected,
  // nothing read yet) shakes hands at once; a client's once its connect has succeeded, and
  // reports SocketConnected only when the handshake is done (`host` is the name the server's
  // certificate must carry). Until then nothing is read and queued output waits; a failed
  // handshake is reported as SocketFailed (kReceive on a server, kConnect on a client) with a
  // TLS code. Throws ETlsError when no session can be made.
  void UseTls(std::shared_ptr<TlsContext> context, const std::string& host = {});
  const TlsSession* Tls() const { return tls_.get(); }

  bool IsOpen() const { return state_ == State::kOpen; }

  // Runs `fn` as an event of this socket: exceptions are shown, not thrown, and what the
  // handler asked for (sends, an end of data it saw) is carried out once it has returned.
  void Dispatch(const std::function<void()>& fn);

  // Receives up to `count` bytes: their number, 0 at the end of the data (also when closed),
  // -1 when nothing can be read now. A failure returns -1 with `error` set (an errno value);
  // the socket is then unusable. A negative `count` asks how many bytes are waiting.
  int Receive(void* buffer, int count, int& error);

  // Queued sending: the bytes go out after everything queued before them. False when the
  // socket is closed or closing. Inside an event the bytes leave when the event ends, together
  // with what else the event queued (a heading and the file after it share packets).
  bool QueueBytes(const void* data, std::size_t count);
  // Queues `stream` from its position to its end, taking it only when true is returned (false:
  // a stream is already pending, or the socket is closed). With `drop`, the socket ends
  // (SocketEnded) once the stream has gone out.
  bool QueueStream(std::unique_ptr<platform::TStream>& stream, bool drop);
  // Unqueued sending for layers whose send reports what the kernel took: the number of bytes
  // taken (0 when none), -1 with `error` set on failure. A send that could not take everything
  // earns a write-ready event once the socket can take more.
  int SendSome(const void* data, std::size_t count, int& error);

  bool OutputPending() const { return !out_.Empty(); }
  // Queued output that waits this long for the peer to take a byte fails the socket with
  // ETIMEDOUT (SocketFailed with kSend); zero: it may wait for ever.
  void SetSendTimeout(std::chrono::milliseconds limit);
  // The stream QueueStream took, until its last byte has left; nullptr when none.
  const platform::TStream* QueuedStream() const { return out_.PendingStream(); }

  // Changes what the socket reports, like WSAAsyncSelect: FD_READ data-arrived events;
  // FD_WRITE one write-ready event now (or once queued output has left), then one each time
  // output had to wait and the socket became writable again, never while a stream is being
  // sent; FD_CLOSE the peer's close (SocketEnded) while no data-arrived events are selected.
  void Select(long events);

  // Ends the connection and reports nothing more to the client. Queued bytes still leave
  // (for at most kDrainLimit) unless `abort`, a stream is pending or the socket failed; the
  // descriptor is closed after that.
  void Close(bool abort);

  std::string LocalAddress() const;
  int LocalPort() const;
  std::string RemoteAddress() const;
  int RemotePort() const;

  void Ready(std::uint32_t events) override;

 private:
  enum class State { kConnecting, kOpen, kDraining, kLingering, kClosed };

  void ArmRead();
  void ArmWrite();
  void Completed();
  void Hold();
  void Release();
  void PostCompleted();
  void OnReadReady();
  void OnWriteReady();
  void DispatchRead();
  void AfterEvent();
  void Flush();
  void Fail(SocketOp op, int code);
  void ReportEnded();
  void PostWriteEvent();
  void WatchPeerClose();
  void CheckPeerClose();
  void FinishConnect(int code);
  void FinishClose();
  void Linger();
  void CloseDescriptor();
  void SendStalled();
  void DriveHandshake();
  void HandshakeDone();
  bool InputKnown() const;
  int ReceiveTls(char* buffer, int count, int& error);
  int EndOfData();
  Wire& Out();

  int fd_;
  SocketWindow& window_;
  EventSocketClient* client_;
  std::shared_ptr<EventSocket> hold_;  // itself, while it waits for readiness
  platform::Deadline close_limit_;     // a close that waits for the peer or the queue
  platform::Deadline send_stall_;      // queued output the peer takes nothing of
  std::chrono::milliseconds send_limit_{0};
  State state_ = State::kOpen;
  long mask_ = 0;
  SendQueue out_;
  PlainWire plain_;
  std::unique_ptr<TlsSession> tls_;
  bool handshaking_ = false;
  int depth_ = 0;  // events of this socket being handled now
  int reads_ = 0;  // receives in the current data-arrived event
  bool read_wait_ = false;
  bool write_wait_ = false;
  // Readiness arrives on edges: what the last ones said, until a receive or send finds
  // otherwise. A receive that takes fewer bytes than asked proves the input empty (new bytes
  // raise a new edge), unless the peer's end of data was announced and is still unread.
  bool in_ready_ = false;
  bool out_ready_ = false;
  bool hup_seen_ = false;  // an edge announced the peer's end of data (or a hang-up)
  bool err_seen_ = false;  // an edge announced an error
  bool flush_pending_ = false;
  bool completion_posted_ = false;
  bool read_drained_ = false;  // this event's receives found the input empty
  bool eof_seen_ = false;
  bool ended_ = false;  // SocketEnded reported or being reported
  bool failed_ = false;
  bool write_waited_ = false;  // output had to wait: a write-ready event is owed
  bool write_posted_ = false;
};

// How long queued bytes may take to leave after Close before the socket is closed anyway, and
// how long a closed socket waits for the peer's end of data when input was left unread.
inline constexpr std::chrono::seconds kDrainLimit{30};
inline constexpr std::chrono::seconds kLingerLimit{2};

}  // namespace quorvin::net::detail
