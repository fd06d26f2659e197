#include "quorvin/platform/core/stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace quorvin::platform {

std::int64_t TStream::Size() {
  const std::int64_t here = Position();
  const std::int64_t end = Seek(0, TSeekOrigin::soEnd);
  Seek(here, TSeekOrigin::soBeginning);
  return end;
}

void TStream::ReadBuffer(void* buffer, std::int64_t count) {
  auto* p = static_cast<char*>(buffer);
  while (count > 0) {
    const std::int64_t n = Read(p, count);
    if (n <= 0) throw std::runtime_error("Stream read error");
    p += n;
    count -= n;
  }
}

void TStream::WriteBuffer(const void* buffer, std::int64_t count) {
  const auto* p = static_cast<const char*>(buffer);
  while (count > 0) {
    const std::int64_t n = Write(p, count);
    if (n <= 0) throw std::runtime_error("Stream write error");
    p += n;
    count -= n;
  }
}

std::int64_t TStream::CopyFrom(TStream& source, std::int64_t count) {
  if (count == 0) {
    source.SetPosition(0);
    count = source.Size();
  }
  char piece[8192];
  std::int64_t copied = 0;
  while (copied < count) {
    const std::int64_t want = std::min<std::int64_t>(sizeof piece, count - copied);
    source.ReadBuffer(piece, want);
    WriteBuffer(piece, want);
    copied += want;
  }
  return copied;
}

std::int64_t TMemoryStream::Read(void* buffer, std::int64_t count) {
  const std::int64_t n = std::max<std::int64_t>(0, std::min(count, Size() - position_));
  if (n > 0) std::memcpy(buffer, data_.data() + position_, static_cast<std::size_t>(n));
  position_ += n;
  return n;
}

std::int64_t TMemoryStream::Write(const void* buffer, std::int64_t count) {
  if (count <= 0) return 0;
  const std::int64_t end = position_ + count;
  if (end > Size()) {
    // Grow geometrically so that a stream written piece by piece is not copied at every write.
    if (static_cast<std::size_t>(end) > data_.capacity()) {
      data_.reserve(std::max<std::size_t>(static_cast<std::size_t>(end), data_.capacity() * 2));
    }
    data_.resize(static_cast<std::size_t>(end));
  }
  std::memcpy(data_.data() + position_, buffer, static_cast<std::size_t>(count));
  position_ = end;
  return count;
}

std::int64_t TMemoryStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  std::int64_t base = 0;
  if (origin == TSeekOrigin::soCurrent) base = position_;
  if (origin == TSeekOrigin::soEnd) base = Size();
  position_ = std::max<std::int64_t>(0, base + offset);
  return position_;
}

void TMemoryStream::SetSize(std::int64_t size) {
  data_.resize(static_cast<std::size_t>(std::max<std::int64_t>(0, size)));
  position_ = std::min(position_, Size());
}

void TMemoryStream::Clear() {
  data_.clear();
  data_.shrink_to_fit();
  position_ = 0;
}

void TMemoryStream::LoadFromFile(const std::string& path) {
  TFileStream file(path, fmOpenRead | fmShareDenyWrite);
  Clear();
  CopyFrom(file, 0);
  position_ = 0;
}

void TMemoryStream::SaveToFile(const std::string& path) const {
  TFileStream file(path, fmCreate);
  file.WriteBuffer(data_.data(), static_cast<std::int64_t>(data_.size()));
}

std::int64_t THandleStream::Read(void* buffer, std::int64_t count) {
  if (limit_ >= 0) count = std::min(count, std::max<std::int64_t>(0, limit_ - Position()));
  for (;;) {
    const ssize_t n = ::read(handle_, buffer, static_cast<std::size_t>(std::max<std::int64_t>(0, count)));
    if (n >= 0) {
      if (position_ >= 0) position_ += n;
      return n;
    }
    if (errno != EINTR) throw std::system_error(errno, std::generic_category(), "read");
  }
}

std::int64_t THandleStream::Write(const void* buffer, std::int64_t count) {
  for (;;) {
    const ssize_t n = ::write(handle_, buffer, static_cast<std::size_t>(std::max<std::int64_t>(0, count)));
    if (n >= 0) {
      if (position_ >= 0) position_ += n;
      return n;
    }
    if (errno != EINTR) throw std::system_error(errno, std::generic_category(), "write");
  }
}

std::int64_t THandleStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  // Asking where the stream stands, or moving it where it stands, needs no system call.
  if (position_ >= 0) {
    if (origin == TSeekOrigin::soCurrent && offset == 0) return position_;
    if (origin == TSeekOrigin::soBeginning && offset == position_) return position_;
  }
  const int whence = origin == TSeekOrigin::soBeginning ? SEEK_SET
                     : origin == TSeekOrigin::soCurrent ? SEEK_CUR
                                                        : SEEK_END;
  const off_t r = ::lseek(handle_, offset, whence);
  if (r < 0) throw std::system_error(errno, std::generic_category(), "seek");
  if (position_ >= 0) position_ = r;
  return r;
}

std::int64_t THandleStream::Size() {
  // A regular file cut at a limit by its opener ends there (it was that long when checked).
  if (regular_ && limit_ >= 0) return limit_;
  // A handle that cannot seek (a pipe, a socket, a terminal) has no length until it ends.
  const off_t here = position_ >= 0 ? position_ : ::lseek(handle_, 0, SEEK_CUR);
  const off_t end = here >= 0 ? ::lseek(handle_, 0, SEEK_END) : -1;
  if (end < 0) {
    if (errno == ESPIPE) return -1;
    throw std::system_error(errno, std::generic_category(), "seek");
  }
  if (::lseek(handle_, here, SEEK_SET) < 0)
    throw std::system_error(errno, std::generic_category(), "seek");
  return limit_ >= 0 ? std::min<std::int64_t>(end, limit_) : end;
}

void THandleStream::SetSize(std::int64_t size) {
  if (::ftruncate(handle_, size) != 0) throw std::system_error(errno, std::generic_category(), "truncate");
}

namespace {

int OpenFlags(std::uint32_t mode) {
  int flags = O_CLOEXEC | ((mode & fmNoBlock) != 0 ? O_NONBLOCK : 0);
  if (mode == fmCreate) {
    flags |= O_RDWR | O_CREAT | O_TRUNC;
  } else {
    switch (mode & 0x3u) {
      case fmOpenWrite: flags |= O_WRONLY; break;
      case fmOpenReadWrite: flags |= O_RDWR; break;
      default: flags |= O_RDONLY; break;
    }
  }
  return flags;
}

}  // namespace

TFileStream::TFileStream(const std::string& path, std::uint32_t mode) : THandleStream(-1), path_(path) {
  handle_ = ::open(path.c_str(), OpenFlags(mode), 0644);
  if (handle_ < 0) throw std::system_error(errno, std::generic_category(), "Cannot open file \"" + path + "\"");
  position_ = 0;
}

TFileStream::TFileStream(std::string path, int handle) : THandleStream(handle), path_(std::move(path)) {
  position_ = 0;
}

std::unique_ptr<TFileStream> TFileStream::TryOpen(const std::string& path, std::uint32_t mode) {
  const int handle = ::open(path.c_str(), OpenFlags(mode), 0644);
  if (handle < 0) return nullptr;
  return std::unique_ptr<TFileStream>(new TFileStream(path, handle));
}

TFileStream::~TFileStream() {
  if (handle_ >= 0) ::close(handle_);
}

}  // namespace quorvin::platform
