#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "quorvin/platform/core/recycled.h"
#include "quorvin/platform/core/stream.h"

namespace quorvin::net::detail {

// Where queued output goes: the socket itself, or a TLS session on it.
class Wire {
 public:
  virtual ~Wire() = default;
  // Sends from `data`: the number of bytes taken (fewer than `count` only when the socket is
  // full), or -1 with `error` set (EAGAIN: nothing could be taken now). `more`: more bytes
  // follow at once.
  virtual ssize_t Send(const char* data, std::size_t count, bool more, int& error) = 0;
  // Sends up to `count` bytes of `file` from `at`, advancing it, as sendfile(2) does: 0 at the
  // file's end, -1 with `error` set (EINVAL: files must be read and sent as bytes instead).
  virtual ssize_t SendFile(int file, off_t& at, std::size_t count, int& error) = 0;
  // Whether small pieces are better joined before they are sent (each send makes a record).
  virtual bool Gathers() const { return false; }
};

// The socket itself: send(2) with MSG_MORE, and sendfile(2).
class PlainWire final : public Wire {
 public:
  explicit PlainWire(int fd) : fd_(fd) {}
  ssize_t Send(const char* data, std::size_t count, bool more, int& error) override;
  ssize_t SendFile(int file, off_t& at, std::size_t count, int& error) override;

 private:
  int fd_;
};

// What a socket has yet to send, oldest first: runs of bytes, and at most one stream at a time.
// Files leave with sendfile(2) straight from their pages, memory streams straight from their
// block, any other stream in pieces read as they are needed; nothing is read whole into memory.
// Bytes followed by more in the queue go with MSG_MORE, so that a heading and the file behind
// it share packets. The queue knows no socket of its own: Flush is given the wire.
class SendQueue {
 public:
  enum class Step {
    kDone,     // everything has left
    kBlocked,  // the socket is full: flush again once it can take more
    kFailed,   // a send (or a stream's read) failed; `error` says why
    kDropped,  // a stream queued with `drop` has left; nothing follows it
  };

  bool Empty() const { return items_.empty(); }
  // The bytes still to leave, streams counted to their ends.
  std::size_t QueuedBytes() const;
  bool StreamPending() const { return PendingStream() != nullptr; }
  const platform::TStream* PendingStream() const;
  // A stream with `drop` is queued: nothing may be added after it.
  bool DropQueued() const { return drop_queued_; }

  void AddBytes(const char* data, std::size_t count);
  // Takes `stream` from its position to its end (a file's limit, when it has one).
  void AddStream(std::unique_ptr<platform::TStream> stream, bool drop);
  // Sends from the front until a step other than progress ends it.
  Step Flush(Wire& wire, int& error);
  void Clear();

  // The last bytes went with MSG_MORE and nothing followed them (an empty stream after a
  // heading): the caller pushes them out.
  bool Corked() const { return corked_; }
  void Uncork(int fd);

 private:
  enum class Kind { kBytes, kFile, kMemory, kRead };

  // A heading is queued once per answer: its room is recycled, as is the queue's own.
  using Bytes = std::basic_string<char, std::char_traits<char>, platform::RecyclingAllocator<char>>;

  struct Item {
    Kind kind = Kind::kBytes;
    Bytes bytes;  // kBytes; also the piece read from a kRead stream
    std::size_t offset = 0;
    std::unique_ptr<platform::TStream> stream;
    std::int64_t pos = 0;  // kFile, kMemory: next byte of the stream
    std::int64_t end = 0;
    bool drop = false;
  };

  // Sends data[done..size), advancing `done`.
  Step SendSpan(Wire& wire, const char* data, std::size_t size, std::size_t& done, bool more,
                int& error);
  Step SendBytes(Wire& wire, Item& item, bool more, int& error);
  Step SendFile(Wire& wire, Item& item, int& error);
  Step SendMemory(Wire& wire, Item& item, bool more, int& error);
  Step SendRead(Wire& wire, Item& item, bool more, int& error);
  // For a wire that gathers: the first piece of the stream behind a short run of bytes joins
  // those bytes, so that a heading and a small body leave as one record.
  void Gather(int& error);

  // Rarely more than a heading and a stream: a vector that takes the front off beats a deque,
  // which allocates twice before the first item.
  std::vector<Item, platform::RecyclingAllocator<Item>> items_;
  bool drop_queued_ = false;
  bool corked_ = false;
};

}  // namespace quorvin::net::detail
