#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

// What the socket layers share with the host's async-select call: the notification window of a
// layer, its message number and the event bits.
namespace quorvin::net {

using TSocket = int;  // the native socket handle
constexpr TSocket INVALID_SOCKET = -1;

// Raised by socket operations that fail (receive, open, connect); Code() is the errno value.
class ESocketError : public std::runtime_error {
 public:
  ESocketError(const std::string& what, int code) : std::runtime_error(what), code_(code) {}

  int Code() const { return code_; }

 private:
  int code_;
};

// The codes with which a host name lookup fails (the error handlers' code), as the host's
// socket API names them; other failures carry errno values.
constexpr int WSAHOST_NOT_FOUND = 11001;  // no such host
constexpr int WSATRY_AGAIN = 11002;       // no name server answered in time
constexpr int WSANO_RECOVERY = 11003;     // the name servers failed or refused the question
constexpr int WSANO_DATA = 11004;         // the name exists but has no address
constexpr int WSATYPE_NOT_FOUND = 10109;  // no such service name

// Socket event bits of WSAAsyncSelect.
constexpr long FD_READ = 1;
constexpr long FD_WRITE = 2;
constexpr long FD_OOB = 4;
constexpr long FD_ACCEPT = 8;
constexpr long FD_CONNECT = 16;
constexpr long FD_CLOSE = 32;

// The message numbers by which the two layers receive their socket notifications.
constexpr unsigned CM_SOCKETMESSAGE = 1025;  // 0x401, the first layer
constexpr unsigned DW_SOCKETMESSAGE = 2135;  // 0x857, the second layer

// A layer's notification window: it knows the layer's sockets by handle and changes which
// readiness a socket waits for.
class TNotifyWindow {
 public:
  virtual ~TNotifyWindow() = default;
  virtual unsigned Message() const = 0;
  // Makes `socket` report only the events in `events`; false when the window does not know
  // the socket.
  virtual bool Select(TSocket socket, long events) = 0;
};

using HWND = TNotifyWindow*;

// Asks `window` to report the events `events` of `socket` with message `msg` from now on: with
// FD_WRITE | FD_CLOSE no more data-arrived events follow, and write readiness is reported at
// once when the socket can send. Returns 0, or -1 when the window or message does not match.
int WSAAsyncSelect(TSocket socket, HWND window, unsigned msg, long events);

}  // namespace quorvin::net
