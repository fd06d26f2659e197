#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "quorvin/platform/core/deadline.h"
#include "quorvin/platform/core/stream.h"
#include "quorvin/platform/net/endpoint.h"
#include "quorvin/platform/net/graceful_close.h"
#include "quorvin/platform/net/notify.h"
#include "quorvin/platform/net/reactor.h"
#include "quorvin/platform/net/send_queue.h"
#include "quorvin/platform/net/socket_window.h"
#include "quorvin/platform/net/tls.h"

// The connected socket that both event-socket layers stand on: non-blocking, watched by the
// reactor on edges from the moment it is made (one registration for its whole life), reporting
// readiness as events, queueing what the kernel does not take. A layer wraps it in its own
// classes and maps the events to its own event codes and handlers. Its neighbours hold the
// other jobs: the layer's notification window (socket_window.h), the end of a closed
// connection (graceful_close.h), addresses (endpoint.h), what waits to be sent
// (send_queue.h) and TLS (tls.h).
namespace quorvin::net::detail {

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
  // A receive, send or connect failed (`code` is an errno value or a TLS code). The socket is
  // unusable; the owner is expected to Close. One exception: kTlsPlainHttp (kReceive) says that
  // the peer of a TLS server spoke plain text instead of a handshake. The socket then speaks
  // plain text, so that the owner may answer in kind before it closes.
  virtual void SocketFailed(SocketOp op, int code) = 0;

 protected:
  ~EventSocketClient() = default;
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
  void BeginConnect(const Endpoint& endpoint, long events);

  int Handle() const { return fd_; }

  // Speaks TLS from here on, with a session of `context`. A server's socket (taken connected,
  // nothing read yet) shakes hands at once; a client's once its connect has succeeded, and
  // reports SocketConnected only when the handshake is done (`host` is the name the server's
  // certificate must carry). Until then nothing is read and queued output waits; a failed
  // handshake is reported as SocketFailed (kReceive on a server, kConnect on a client) with a
  // TLS code; a server's peer that speaks plain text is reported as kTlsPlainHttp. Throws
  // ETlsError when no session can be made.
  void UseTls(std::shared_ptr<TlsContext> context, const std::string& host = {});

  const TlsSession* Tls() const { return tls_.get(); }

  // Whether the socket can receive and send: connected, not failed, not closed. The one check
  // every operation asks.
  bool Usable() const { return state_ == State::kOpen; }

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

  bool OutputPending() const { return !queue_.Empty(); }
  // The bytes queued output still holds (what the peer has not taken yet).
  std::size_t QueuedBytes() const { return queue_.QueuedBytes(); }

  // Queued output that waits this long for the peer to take a byte fails the socket with
  // ETIMEDOUT (SocketFailed with kSend); zero: it may wait for ever.
  void SetSendTimeout(std::chrono::milliseconds limit);

  // The stream QueueStream took, until its last byte has left; nullptr when none.
  const platform::TStream* QueuedStream() const { return queue_.PendingStream(); }

  // Changes what the socket reports, like WSAAsyncSelect: FD_READ data-arrived events;
  // FD_WRITE one write-ready event now (or once queued output has left), then one each time
  // output had to wait and the socket became writable again, never while a stream is being
  // sent; FD_CLOSE the peer's close (SocketEnded) while no data-arrived events are selected.
  void Select(long events);

  // Ends the connection and reports nothing more to the client. Queued bytes still leave
  // unless `abort`, a stream is pending or the socket failed, and the descriptor closes as
  // GracefulClose describes.
  void Close(bool abort);

  std::string LocalAddress() const;
  int LocalPort() const;
  std::string RemoteAddress() const;
  int RemotePort() const;

  void Ready(std::uint32_t events) override;

 private:
  enum class State {
    kConnecting,  // BeginConnect has started the connect
    kOpen,        // connected (a TLS session may still shake hands)
    kFailed,      // a receive, send, connect or handshake failed: unusable, awaiting Close
    kDraining,    // closed by the owner; queued bytes still leave
    kLingering,   // closed by the owner; the peer's unread bytes are dropped until it closes
    kClosed,      // the descriptor is closed
  };

  // Readiness of one direction, one record for input and one for output, as nginx keeps an
  // event record per direction. Readiness arrives on edges: `ready` keeps what the last one
  // said until a receive or send finds otherwise.
  struct Direction {
    bool armed = false;   // a wait is on: the next edge (or a look posted for readiness already
                          // known) ends it
    bool ready = false;   // the last edge said bytes (or room) are there
    bool owed = false;    // output had to wait: a write-ready event is owed to the owner once
                          // it can go on (input owes nothing: every arrival raises an edge)
    bool posted = false;  // input: a look at it is queued on the loop; output: the owed
                          // write-ready event is
  };

  // What the edges and the receives have told of the peer's end.
  struct PeerEnd {
    bool hangup = false;  // an edge announced the end of data (or a hang-up)
    bool error = false;   // an edge announced an error
    bool eof = false;     // the end of data was found (a receive, or a hang-up looked at)
  };

  bool Handshaking() const;
  void ArmRead();
  void ArmWrite();
  void Completed();
  void Hold();
  void Release();
  void PostInputLook();
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
  void SpeakPlain();
  bool InputKnown() const;
  int ReceiveTls(char* buffer, int count, int& error);
  int EndOfData();
  Wire& Out();

  int fd_;
  SocketWindow& window_;
  EventSocketClient* client_;
  std::shared_ptr<EventSocket> hold_;  // itself, while it waits for readiness
  GracefulClose closing_;
  platform::Deadline send_stall_;  // queued output the peer takes nothing of
  std::chrono::milliseconds send_limit_{0};
  State state_ = State::kOpen;
  long mask_ = 0;  // the events the owner selected (FD_READ, FD_WRITE, FD_CLOSE)
  Direction in_;
  Direction out_;
  PeerEnd peer_;
  bool ended_ = false;  // SocketEnded reported or being reported
  int depth_ = 0;       // events of this socket being handled now
  int reads_ = 0;       // receives in the current data-arrived event
  SendQueue queue_;
  PlainWire plain_;
  std::unique_ptr<TlsSession> tls_;
};

}  // namespace quorvin::net::detail
