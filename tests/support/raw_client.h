#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvin::testing {

// A plain blocking TCP client to 127.0.0.1, for use from a thread of its own while the test's
// thread runs the event loop. Every receive gives up after the timeout.
class RawClient {
 public:
  explicit RawClient(int port, std::chrono::milliseconds timeout = std::chrono::seconds(10));
  ~RawClient();
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool Connected() const { return fd_ >= 0; }
  // A receive buffer of about `bytes`: a client that reads nothing then holds up a large answer.
  void SetReceiveBuffer(int bytes);
  bool Send(std::string_view bytes);
  void ShutdownWrite();
  // Everything until the server closes (or the timeout); `closed` tells which.
  std::string ReadAll(bool* closed = nullptr);
  // One answer of a connection that stays open: its heading and as many bytes as its
  // Content-Length says (none without one, or for HEAD when `head`). Empty on a timeout or a
  // close before the heading ended.
  std::string ReadAnswer(bool head = false);
  // Closes with a reset instead of an orderly close.
  void Reset();

 private:
  int fd_ = -1;
  std::string buffered_;  // bytes read past the last answer: the start of the next
};

// Sends `pieces` one after the other (each its own send) from a second thread and reads the
// answer until the server closes, while this thread runs the event loop. Empty result and
// `closed` false when the server did not close within the timeout.
struct Exchange {
  std::string answer;
  bool closed = false;
};
Exchange Fetch(int port, const std::vector<std::string>& pieces,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));
inline Exchange Fetch(int port, std::string_view request) {
  return Fetch(port, std::vector<std::string>{std::string(request)});
}

// The parts of an HTTP answer.
struct ParsedAnswer {
  std::string status_line;
  std::vector<std::string> header_lines;  // in order, without CR LF
  std::string body;
  std::string Header(std::string_view name) const;  // first value, name case ignored
};
ParsedAnswer ParseAnswer(const std::string& answer);

// Takes one answer of a kept connection off the front of `buffered`, calling `fill` (which
// appends what arrived, false at the end or a timeout) until its heading and its
// Content-Length's worth of body are there (no body when `head`). Empty when the heading did
// not end.
std::string TakeAnswer(std::string& buffered, const std::function<bool()>& fill, bool head = false);

}  // namespace quorvin::testing
