#include "quorvin/platform/net/send_queue.h"

#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

namespace quorvin::net::detail {

namespace {

// One sendfile call moves at most this much, so that the numbers stay well inside ssize_t on
// every host; the loop goes on until the socket is full.
constexpr std::size_t kSendfileChunk = std::size_t{1} << 30;
// Streams that are neither files nor memory are read in pieces of this size.
constexpr std::size_t kReadPiece = 32 * 1024;

bool WouldBlock(int code) {
  return code == EAGAIN || code == EWOULDBLOCK;
}

// Bytes that a gathering wire joins into one send: a TLS record's worth.
constexpr std::size_t kGatherLimit = 16 * 1024;

}  // namespace

ssize_t PlainWire::Send(const char* data, std::size_t count, bool more, int& error) {
  for (;;) {
    const ssize_t n = ::send(fd_, data, count, MSG_NOSIGNAL | (more ? MSG_MORE : 0));
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    error = errno;
    return -1;
  }
}

ssize_t PlainWire::SendFile(int file, off_t& at, std::size_t count, int& error) {
  for (;;) {
    const ssize_t n = ::sendfile(fd_, file, &at, count);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    error = errno;
    return -1;
  }
}

const platform::TStream* SendQueue::PendingStream() const {
  for (const Item& item : items_) {
    if (item.kind != Kind::kBytes) return item.stream.get();
  }
  return nullptr;
}

std::size_t SendQueue::QueuedBytes() const {
  std::size_t total = 0;
  for (const Item& item : items_) {
    total += item.bytes.size() - std::min(item.offset, item.bytes.size());
    if (item.kind == Kind::kFile || item.kind == Kind::kMemory) {
      total += static_cast<std::size_t>(std::max<std::int64_t>(item.end - item.pos, 0));
    }
  }
  return total;
}

void SendQueue::AddBytes(const char* data, std::size_t count) {
  if (!items_.empty() && items_.back().kind == Kind::kBytes) {
    items_.back().bytes.append(data, count);
    return;
  }
  if (items_.capacity() == 0) items_.reserve(2);
  items_.emplace_back();
  items_.back().bytes.assign(data, count);
}

void SendQueue::AddStream(std::unique_ptr<platform::TStream> stream, bool drop) {
  Item item;
  item.kind = Kind::kRead;
  item.drop = drop;
  if (auto* handle = dynamic_cast<platform::THandleStream*>(stream.get())) {
    if (handle->Regular() && handle->Limit() >= 0) {
      // The opener checked the file and says where it ends (a web server: where the length it
      // announced does): no need to ask the system again.
      item.kind = Kind::kFile;
      item.pos = handle->Position();
      item.end = handle->Limit();
    } else {
      struct stat info {};

      const off_t at = ::lseek(handle->Handle(), 0, SEEK_CUR);
      if (::fstat(handle->Handle(), &info) == 0 && S_ISREG(info.st_mode) && at >= 0) {
        item.kind = Kind::kFile;
        item.pos = at;
        item.end = handle->Limit() >= 0 ? std::min<std::int64_t>(info.st_size, handle->Limit())
                                        : info.st_size;
      }
    }
  } else if (auto* memory = dynamic_cast<platform::TMemoryStream*>(stream.get())) {
    item.kind = Kind::kMemory;
    item.pos = memory->Position();
    item.end = memory->Size();
  }
  item.stream = std::move(stream);
  if (items_.capacity() == 0) items_.reserve(2);
  items_.push_back(std::move(item));
  drop_queued_ = drop;
}

SendQueue::Step SendQueue::Flush(Wire& wire, int& error) {
  if (wire.Gathers() && items_.size() > 1) {
    Gather(error);
    if (error != 0) return Step::kFailed;
  }
  while (!items_.empty()) {
    Item& item = items_.front();
    const bool more = items_.size() > 1;
    Step step = Step::kDone;
    switch (item.kind) {
      case Kind::kBytes:
        step = SendBytes(wire, item, more, error);
        break;
      case Kind::kFile:
        step = SendFile(wire, item, error);
        break;
      case Kind::kMemory:
        step = SendMemory(wire, item, more, error);
        break;
      case Kind::kRead:
        step = SendRead(wire, item, more, error);
        break;
    }
    if (step != Step::kDone) return step;
    const bool drop = item.drop;
    items_.erase(items_.begin());
    if (drop) return Step::kDropped;
  }
  return Step::kDone;
}

void SendQueue::Clear() {
  items_.clear();
}

void SendQueue::Gather(int& error) {
  Item& front = items_[0];
  Item& next = items_[1];
  if (front.kind != Kind::kBytes || front.offset != 0 || front.bytes.size() >= kGatherLimit ||
      next.kind == Kind::kBytes) {
    return;
  }
  const std::size_t room = kGatherLimit - front.bytes.size();
  const std::size_t had = front.bytes.size();
  if (next.kind == Kind::kMemory) {
    auto& memory = static_cast<platform::TMemoryStream&>(*next.stream);
    const std::int64_t end = std::min(next.end, memory.Size());
    const auto take = static_cast<std::size_t>(
        std::max<std::int64_t>(0, std::min<std::int64_t>(end - next.pos, static_cast<std::int64_t>(room))));
    front.bytes.append(memory.Memory() + next.pos, take);
    next.pos += static_cast<std::int64_t>(take);
    return;
  }
  if (next.kind == Kind::kRead && next.offset < next.bytes.size()) return;  // a piece waits
  // A file or another stream: its first piece is read straight behind the bytes (a file then
  // goes on from where the piece ended).
  std::int64_t want = static_cast<std::int64_t>(room);
  if (next.kind == Kind::kFile) {
    want = std::min(want, next.end - next.pos);
    if (want <= 0) return;
  }
  front.bytes.resize(had + static_cast<std::size_t>(want));
  std::int64_t n = 0;
  try {
    if (next.kind == Kind::kFile) next.stream->SetPosition(next.pos);
    n = next.stream->Read(front.bytes.data() + had, want);
  } catch (const std::system_error& e) {
    error = e.code().value() != 0 ? e.code().value() : EIO;
  } catch (...) {
    error = EIO;
  }
  n = std::max<std::int64_t>(0, n);
  front.bytes.resize(had + static_cast<std::size_t>(n));
  if (next.kind == Kind::kFile) {
    next.pos += n;
    // A file that ended early ends here.
    if (n < want) next.end = next.pos;
  } else {
    next.bytes.clear();
    next.offset = 0;
  }
}

void SendQueue::Uncork(int fd) {
  if (!corked_) return;
  const int off = 0;
  ::setsockopt(fd, IPPROTO_TCP, TCP_CORK, &off, sizeof off);
  corked_ = false;
}

SendQueue::Step SendQueue::SendSpan(Wire& wire, const char* data, std::size_t size,
                                    std::size_t& done, bool more, int& error) {
  while (done < size) {
    const ssize_t n = wire.Send(data + done, size - done, more, error);
    if (n >= 0) {
      done += static_cast<std::size_t>(n);
      corked_ = more && !wire.Gathers();
      // A short send means the socket is full: wait rather than ask again.
      if (done < size) return Step::kBlocked;
      continue;
    }
    if (WouldBlock(error)) {
      error = 0;
      return Step::kBlocked;
    }
    return Step::kFailed;
  }
  return Step::kDone;
}

SendQueue::Step SendQueue::SendBytes(Wire& wire, Item& item, bool more, int& error) {
  return SendSpan(wire, item.bytes.data(), item.bytes.size(), item.offset, more, error);
}

SendQueue::Step SendQueue::SendFile(Wire& wire, Item& item, int& error) {
  const int file = static_cast<platform::THandleStream&>(*item.stream).Handle();
  while (item.pos < item.end) {
    off_t at = item.pos;
    const auto want =
        static_cast<std::size_t>(std::min<std::int64_t>(item.end - item.pos, kSendfileChunk));
    const ssize_t n = wire.SendFile(file, at, want, error);
    if (n > 0) {
      item.pos = at;
      corked_ = false;
      // Less than asked may mean a full socket or a file that ended early; only the next call
      // tells which, and a full socket answers it with EAGAIN.
      continue;
    }
    if (n == 0) break;  // the file became shorter: it ends here
    if (WouldBlock(error)) {
      error = 0;
      return Step::kBlocked;
    }
    if (error == EINVAL || error == ENOSYS) {
      // A file system (or a wire) that cannot feed sendfile: read it instead.
      error = 0;
      item.kind = Kind::kRead;
      item.stream->SetPosition(item.pos);
      return SendRead(wire, item, false, error);
    }
    return Step::kFailed;
  }
  return Step::kDone;
}

SendQueue::Step SendQueue::SendMemory(Wire& wire, Item& item, bool more, int& error) {
  auto& memory = static_cast<platform::TMemoryStream&>(*item.stream);
  const auto end = static_cast<std::size_t>(std::min(item.end, memory.Size()));
  auto done = static_cast<std::size_t>(std::min<std::int64_t>(item.pos, static_cast<std::int64_t>(end)));
  const Step step = SendSpan(wire, memory.Memory(), end, done, more, error);
  item.pos = static_cast<std::int64_t>(done);
  return step;
}

SendQueue::Step SendQueue::SendRead(Wire& wire, Item& item, bool more, int& error) {
  for (;;) {
    if (item.offset >= item.bytes.size()) {
      item.bytes.resize(kReadPiece);
      std::int64_t n = 0;
      try {
        n = item.stream->Read(item.bytes.data(), static_cast<std::int64_t>(kReadPiece));
      } catch (const std::system_error& e) {
        error = e.code().value() != 0 ? e.code().value() : EIO;
        return Step::kFailed;
      } catch (...) {
        error = EIO;
        return Step::kFailed;
      }
      if (n <= 0) return Step::kDone;
      item.bytes.resize(static_cast<std::size_t>(n));
      item.offset = 0;
    }
    const Step step = SendBytes(wire, item, more, error);
    if (step != Step::kDone) return step;
  }
}

}  // namespace quorvin::net::detail
