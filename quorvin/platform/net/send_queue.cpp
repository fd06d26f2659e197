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

}  // namespace

const platform::TStream* SendQueue::PendingStream() const {
  for (const Item& item : items_) {
    if (item.kind != Kind::kBytes) return item.stream.get();
  }
  return nullptr;
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

SendQueue::Step SendQueue::Flush(int fd, int& error) {
  while (!items_.empty()) {
    Item& item = items_.front();
    const bool more = items_.size() > 1;
    Step step = Step::kDone;
    switch (item.kind) {
      case Kind::kBytes:
        step = SendBytes(fd, item, more, error);
        break;
      case Kind::kFile:
        step = SendFile(fd, item, error);
        break;
      case Kind::kMemory:
        step = SendMemory(fd, item, more, error);
        break;
      case Kind::kRead:
        step = SendRead(fd, item, more, error);
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

void SendQueue::Uncork(int fd) {
  if (!corked_) return;
  const int off = 0;
  ::setsockopt(fd, IPPROTO_TCP, TCP_CORK, &off, sizeof off);
  corked_ = false;
}

SendQueue::Step SendQueue::SendSpan(int fd, const char* data, std::size_t size,
                                    std::size_t& done, bool more, int& error) {
  while (done < size) {
    const ssize_t n =
        ::send(fd, data + done, size - done, MSG_NOSIGNAL | (more ? MSG_MORE : 0));
    if (n >= 0) {
      done += static_cast<std::size_t>(n);
      corked_ = more;
      // A short send means the socket is full: wait rather than ask again.
      if (done < size) return Step::kBlocked;
      continue;
    }
    if (errno == EINTR) continue;
    if (WouldBlock(errno)) return Step::kBlocked;
    error = errno;
    return Step::kFailed;
  }
  return Step::kDone;
}

SendQueue::Step SendQueue::SendBytes(int fd, Item& item, bool more, int& error) {
  return SendSpan(fd, item.bytes.data(), item.bytes.size(), item.offset, more, error);
}

SendQueue::Step SendQueue::SendFile(int fd, Item& item, int& error) {
  const int file = static_cast<platform::THandleStream&>(*item.stream).Handle();
  while (item.pos < item.end) {
    off_t at = item.pos;
    const auto want =
        static_cast<std::size_t>(std::min<std::int64_t>(item.end - item.pos, kSendfileChunk));
    const ssize_t n = ::sendfile(fd, file, &at, want);
    if (n > 0) {
      item.pos = at;
      corked_ = false;
      // Less than asked may mean a full socket or a file that ended early; only the next call
      // tells which, and a full socket answers it with EAGAIN.
      continue;
    }
    if (n == 0) break;  // the file became shorter: it ends here
    if (errno == EINTR) continue;
    if (WouldBlock(errno)) return Step::kBlocked;
    if (errno == EINVAL || errno == ENOSYS) {
      // A file system that cannot feed sendfile: read it instead.
      item.kind = Kind::kRead;
      item.stream->SetPosition(item.pos);
      return SendRead(fd, item, false, error);
    }
    error = errno;
    return Step::kFailed;
  }
  return Step::kDone;
}

SendQueue::Step SendQueue::SendMemory(int fd, Item& item, bool more, int& error) {
  auto& memory = static_cast<platform::TMemoryStream&>(*item.stream);
  const auto end = static_cast<std::size_t>(std::min(item.end, memory.Size()));
  auto done = static_cast<std::size_t>(std::min<std::int64_t>(item.pos, static_cast<std::int64_t>(end)));
  const Step step = SendSpan(fd, memory.Memory(), end, done, more, error);
  item.pos = static_cast<std::int64_t>(done);
  return step;
}

SendQueue::Step SendQueue::SendRead(int fd, Item& item, bool more, int& error) {
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
    const Step step = SendBytes(fd, item, more, error);
    if (step != Step::kDone) return step;
  }
}

}  // namespace quorvin::net::detail
