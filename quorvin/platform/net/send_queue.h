#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "quorvin/platform/core/stream.h"

namespace quorvin::net::detail {

// What a socket has yet to send, oldest first: runs of bytes, and at most one stream at a time.
// Files leave with sendfile(2) straight from their pages, memory streams straight from their
// block, any other stream in pieces read as they are needed; nothing is read whole into memory.
// Bytes followed by more in the queue go with MSG_MORE, so that a heading and the file behind
// it share packets. The queue knows no socket of its own: Flush is given the descriptor.
class SendQueue {
 public:
  enum class Step {
    kDone,     // everything has left
    kBlocked,  // the socket is full: flush again once it can take more
    kFailed,   // a send (or a stream's read) failed; `error` says why
    kDropped,  // a stream queued with `drop` has left; nothing follows it
  };

  bool Empty() const { return items_.empty(); }
  bool StreamPending() const { return PendingStream() != nullptr; }
  const platform::TStream* PendingStream() const;
  // A stream with `drop` is queued: nothing may be added after it.
  bool DropQueued() const { return drop_queued_; }

  void AddBytes(const char* data, std::size_t count);
  // Takes `stream` from its position to its end (a file's limit, when it has one).
  void AddStream(std::unique_ptr<platform::TStream> stream, bool drop);
  // Sends from the front until a step other than progress ends it.
  Step Flush(int fd, int& error);
  void Clear();

  // The last bytes went with MSG_MORE and nothing followed them (an empty stream after a
  // heading): the caller pushes them out.
  bool Corked() const { return corked_; }
  void Uncork(int fd);

 private:
  enum class Kind { kBytes, kFile, kMemory, kRead };

  struct Item {
    Kind kind = Kind::kBytes;
    std::string bytes;  // kBytes; also the piece read from a kRead stream
    std::size_t offset = 0;
    std::unique_ptr<platform::TStream> stream;
    std::int64_t pos = 0;  // kFile, kMemory: next byte of the stream
    std::int64_t end = 0;
    bool drop = false;
  };

  // Sends data[done..size), advancing `done`.
  Step SendSpan(int fd, const char* data, std::size_t size, std::size_t& done, bool more,
                int& error);
  Step SendBytes(int fd, Item& item, bool more, int& error);
  Step SendFile(int fd, Item& item, int& error);
  Step SendMemory(int fd, Item& item, bool more, int& error);
  Step SendRead(int fd, Item& item, bool more, int& error);

  // Rarely more than a heading and a stream: a vector that takes the front off beats a deque,
  // which allocates twice before the first item.
  std::vector<Item> items_;
  bool drop_queued_ = false;
  bool corked_ = false;
};

}  // namespace quorvin::net::detail
