#pragma once

#include <cstddef>
#include <functional>
#include <string_view>

namespace quorvin::web {

class TWebRequest;
class TWebResponse;

// An answer a web action gives after it has returned: whole, once the program has it (a timer
// fired, a fetch finished, another connection's event came), or in pieces over time. The
// program holds it and uses it from the loop's thread; no thread waits for it. The server
// keeps the connection waiting (within its answer deadline) until the program answers, and
// tells the program when the peer went away first, so that work for nobody can stop.
class TLaterAnswer {
 public:
  // Sets the answer as a web action would: status, headers, content.
  using Fill = std::function<void(TWebRequest& request, TWebResponse& response)>;

  virtual ~TLaterAnswer() = default;

  // True while the connection still waits for the answer, or takes the pieces of one begun.
  virtual bool Open() const = 0;
  // Answers now with what `fill` sets (a fill that throws answers the 500 page). False when
  // the answer is no longer wanted or was given already.
  virtual bool Complete(const Fill& fill) = 0;
  // Begins an answer in pieces: `fill` sets its status and headers; no length goes out, so
  // the answer is chunked on HTTP/1.1 and ends with the connection otherwise. Its content,
  // when `fill` sets one, is the first piece. False as for Complete.
  virtual bool Begin(const Fill& fill) = 0;
  // Sends a piece of an answer begun. True: write on. False: the peer is slow, so wait for
  // OnDrained before the next piece (this one is queued all the same), or the answer is no
  // longer open. A program that writes on regardless is cut off once too much waits.
  virtual bool Write(std::string_view bytes) = 0;
  // Ends an answer begun: the connection goes on to its next request, or closes.
  virtual void End() = 0;
  // Gives the answer up: one begun is cut off (the connection closes, so the peer cannot take
  // it for whole), one not begun is answered with the 500 page. OnGone is not called.
  virtual void Cancel() = 0;
  // The bytes written that the peer has not taken yet.
  virtual std::size_t Queued() const = 0;

  // Everything queued has left, after a Write that said to wait.
  std::function<void()> OnDrained;
  // The answer will never reach the peer: it went away, or a deadline or a failure ended the
  // connection, before the program completed or ended the answer. Not called after either.
  std::function<void()> OnGone;
};

}  // namespace quorvin::web
