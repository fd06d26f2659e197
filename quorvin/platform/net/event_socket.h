#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include "quorvin/platform/core/stream.h"
#include "quorvin/platform/net/notify.h"

// The socket machinery that both event-socket layers stand on: a non-blocking TCP socket on the
// program's event loop that reports readiness as events, queues what the kernel does not take,
// sends streams (sendfile(2) for files), closes gracefully and accepts connections. A layer
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

// Shows an exception that escaped an event handler to the desktop user, as the framework does
// for any handler, so that nothing is thrown out of the event loop.
void ReportHandlerException() noexcept;

// Counts the events a layer object is handling, so that its destruction waits for them.
class EventScope {
 public:
  explicit EventScope(int& depth) : depth_(depth) { ++depth_; }

  ~EventScope() { --depth_; }

  EventScope(const EventScope&) = delete;
  EventScope& operator=(const EventScope&) = delete;

 private:
  int& depth_;
};

// Runs `destroy` from the loop once the object that `alive` watches is in no event any more
// (`depth`, its EventScope count, is 0): a connection closed inside its own event dies after
// that event and any it is nested in. Nothing happens when the object is gone by then.
void DestroyAfterEvents(std::weak_ptr<void> alive, const int& depth, std::function<void()> destroy);

// What the program's readiness poller reports to: the epoll event bits of the descriptor the
// object watches.
class ReadyWatcher {
 public:
  virtual void Ready(std::uint32_t events) = 0;

 protected:
  ~ReadyWatcher() = default;
};

class EventSocket final : public std::enable_shared_from_this<EventSocket>, public ReadyWatcher {
 public:
  // Results of the lower-level send steps.
  enum class Step { kDone, kBlocked, kFailed };

  // Whether a descriptor handed over is known to be non-blocking already (made or accepted by
  // this machinery), or has to be switched (any other, which a program may pass).
  enum class Blocking { kSwitch, kNonBlocking };

  // Takes an accepted, connected socket. `events` is the initial WSAAsyncSelect mask.
  static std::shared_ptr<EventSocket> Adopt(int fd, SocketWindow& window, EventSocketClient* client,
                                            long events, Blocking blocking = Blocking::kSwitch);
  // Starts connecting to `endpoint`. SocketConnected or SocketFailed(kConnect) follows from the
  // loop; afterwards the socket reports `events`. Throws ESocketError when no socket can be made.
  static std::shared_ptr<EventSocket> Connect(const asio::ip::tcp::endpoint& endpoint,
                                              SocketWindow& window, EventSocketClient* client,
                                              long events);

  // Makes a non-blocking stream socket of `family` for BeginConnect. Throws ESocketError.
  static int OpenHandle(int family);

  // Takes `fd` (connected, or made by OpenHandle) and reports nothing until Start or
  // BeginConnect. Throws ESocketError, closing `fd`, when the loop cannot watch it.
  EventSocket(int fd, SocketWindow& window, EventSocketClient* client,
              Blocking blocking = Blocking::kSwitch);
  ~EventSocket();
  EventSocket(const EventSocket&) = delete;
  EventSocket& operator=(const EventSocket&) = delete;

  // Starts reporting `events` of a connected socket (what Adopt does).
  void Start(long events);
  // Starts connecting to `endpoint`, as Connect does.
  void BeginConnect(const asio::ip::tcp::endpoint& endpoint, long events);

  int Handle() const { return fd_; }

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

  bool OutputPending() const { return !out_.empty(); }

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
  enum class Kind { kBytes, kFile, kMemory, kRead };

  struct OutItem {
    Kind kind = Kind::kBytes;
    std::string bytes;  // kBytes; also the piece read from a kRead stream
    std::size_t offset = 0;
    std::unique_ptr<platform::TStream> stream;
    std::int64_t pos = 0;  // kFile, kMemory: next byte of the stream
    std::int64_t end = 0;
    bool drop = false;
  };

  void ArmRead();
  void ArmWrite();
  void Completed();
  void Hold();
  void Release();
  void OnReadReady();
  void OnWriteReady();
  void DispatchRead();
  void AfterEvent();
  void Flush();
  Step SendBytes(OutItem& item, bool more);
  Step SendFile(OutItem& item);
  Step SendMemory(OutItem& item, bool more);
  Step SendRead(OutItem& item, bool more);
  Step SendFailed(int code);
  void Fail(SocketOp op, int code);
  void ReportEnded();
  void PostWriteEvent();
  void WatchPeerClose();
  void CheckPeerClose();
  void FinishConnect(int code);
  void FinishClose();
  void Linger();
  void CloseDescriptor();
  void StartTimer(std::chrono::milliseconds after, void (EventSocket::*what)());
  void DrainTimedOut();
  bool StreamPending() const;

  int fd_;
  SocketWindow& window_;
  EventSocketClient* client_;
  std::shared_ptr<EventSocket> hold_;  // itself, while it waits for readiness
  std::unique_ptr<asio::steady_timer> timer_;  // made only when a close has to wait
  State state_ = State::kOpen;
  long mask_ = 0;
  // What waits to be sent, oldest first: rarely more than a heading and a stream, so a vector
  // that takes the front off beats a deque, which allocates twice before the first item.
  std::vector<OutItem> out_;
  int depth_ = 0;  // events of this socket being handled now
  int reads_ = 0;  // receives in the current data-arrived event
  bool read_wait_ = false;
  bool write_wait_ = false;
  // Readiness arrives on edges: what the last ones said, until a receive or send finds
  // otherwise. A wait armed while one is set looks before it trusts it.
  bool in_ready_ = false;
  bool out_ready_ = false;
  bool flush_pending_ = false;
  bool read_drained_ = false;  // a receive found the input empty (EAGAIN or end of data)
  bool eof_seen_ = false;
  bool ended_ = false;  // SocketEnded reported or being reported
  bool failed_ = false;
  bool write_waited_ = false;  // output had to wait: a write-ready event is owed
  bool write_posted_ = false;
  bool drop_queued_ = false;
  bool corked_ = false;  // the last bytes went with MSG_MORE
};

// What a layer's connection object keeps of its EventSocket, with the event plumbing both
// layers share: readiness becomes the layer's notes, an ended or failed socket closes the
// object, and the object's close fires its disconnect before the socket goes.
class SocketHolder : public EventSocketClient {
 public:
  enum class Note { kRead, kWrite, kConnect, kDisconnect };

  void SocketReadable() override { Report(Note::kRead); }

  void SocketWritable() override { Report(Note::kWrite); }

  void SocketConnected() override;

  void SocketEnded() override { CloseOwner(); }

  void SocketFailed(SocketOp op, int code) override;

  // The layer object's own Close.
  virtual void CloseOwner() = 0;
  // Tells the layer of `note` as an event of this object.
  void Report(Note note);
  // The common part of a layer object's Close: kDisconnect (when connected; exceptions are
  // shown), then the socket closes. False when there was nothing to close.
  bool CloseSocket();
  // Closes the socket without telling anyone, for the object's destructor.
  void Silence();

  int Handle() const;
  std::string LocalAddress() const;
  int LocalPort() const;
  std::string RemoteAddress() const;
  int RemotePort() const;

  std::shared_ptr<EventSocket> socket;
  std::shared_ptr<char> alive = std::make_shared<char>();  // weak copies tell late callbacks
  std::size_t index = 0;                                   // place in the listener's list
  int in_event = 0;                                        // see EventScope
  bool connected = false;
  bool closing = false;

 protected:
  ~SocketHolder() = default;
  virtual void Notify(Note note) = 0;
  virtual void Failure(SocketOp op, int code) = 0;
};

// Ends every connection of a listener that closes: each still there is closed with
// CloseOwner (whose handlers may end others meanwhile), then given to `destroy` unless it is
// handling an event; one that is dies after it, as its close arranged.
void EndConnections(const std::vector<SocketHolder*>& connections,
                    const std::function<void(SocketHolder&)>& destroy);

// A listening socket that accepts every pending connection when it becomes readable. Each
// accepted descriptor is offered to `offer`: true when it took the descriptor (it owns it from
// then on), false to decline it for now; a declined descriptor waits in this listener, and
// nothing more is accepted until Resume has seen it taken. The kernel's backlog holds the
// clients behind it. Running out of descriptors pauses accepting for kAcceptPause.
class EventListener final : public std::enable_shared_from_this<EventListener>, public ReadyWatcher {
 public:
  using Offer = std::function<bool(int fd)>;

  // Listens on all IPv4 addresses at `port` (0: the system picks). Throws ESocketError.
  static std::shared_ptr<EventListener> Listen(int port, Offer offer);

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
  void Arm();
  void AcceptAll();
  void Pause();

  int fd_;
  Offer offer_;
  std::shared_ptr<EventListener> hold_;  // itself, while it waits for clients
  asio::steady_timer pause_timer_;
  std::deque<int> waiting_;
  bool paused_ = false;
  bool waiting_for_read_ = false;
  bool in_ready_ = false;  // as EventSocket's: a client may be pending
  bool closed_ = false;
};

// How long queued bytes may take to leave after Close before the socket is closed anyway, and
// how long a closed socket waits for the peer's end of data when input was left unread.
inline constexpr std::chrono::seconds kDrainLimit{30};
inline constexpr std::chrono::seconds kLingerLimit{2};
inline constexpr std::chrono::milliseconds kAcceptPause{100};

// The machine's host name, looked up once per process.
const std::string& HostName();

}  // namespace quorvin::net::detail
