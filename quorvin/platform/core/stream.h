#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "quorvin/platform/core/recycled.h"

namespace quorvin::platform {

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

// A sequence of bytes with a position. Sizes and positions are 64-bit: files may be larger
// than 4 GiB.
class TStream {
 public:
  virtual ~TStream() = default;

  // Reads up to `count` bytes at the position; returns how many were read (0 at the end).
  virtual std::int64_t Read(void* buffer, std::int64_t count) = 0;
  // Writes `count` bytes at the position; returns how many were written.
  virtual std::int64_t Write(const void* buffer, std::int64_t count) = 0;
  // Moves the position; returns the new position.
  virtual std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) = 0;
  // The length in bytes; -1 when the stream cannot tell before its end has been read (a pipe,
  // a socket, a terminal), which also means it cannot be rewound.
  virtual std::int64_t Size();
  virtual void SetSize(std::int64_t size) = 0;

  std::int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
  void SetPosition(std::int64_t position) { Seek(position, TSeekOrigin::soBeginning); }

  // As Read/Write, but fail with std::runtime_error unless all `count` bytes move.
  void ReadBuffer(void* buffer, std::int64_t count);
  void WriteBuffer(const void* buffer, std::int64_t count);
  void WriteText(std::string_view text) {
    WriteBuffer(text.data(), static_cast<std::int64_t>(text.size()));
  }
  // Copies `count` bytes from `source` at its position (all of it from its start when count is
  // 0); returns the bytes copied.
  std::int64_t CopyFrom(TStream& source, std::int64_t count);
};

// A stream held in memory. `Memory()` is the live byte block.
class TMemoryStream : public TStream {
 public:
  std::int64_t Read(void* buffer, std::int64_t count) override;
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  std::int64_t Size() override { return static_cast<std::int64_t>(data_.size()); }
  void SetSize(std::int64_t size) override;

  void Clear();
  // Makes room for `capacity` bytes so that writes up to it do not move the content.
  void Reserve(std::int64_t capacity) { data_.reserve(static_cast<std::size_t>(capacity)); }
  char* Memory() { return data_.data(); }
  const char* Memory() const { return data_.data(); }
  // The whole content as text, whatever the position.
  std::string_view View() const { return {data_.data(), data_.size()}; }
  void LoadFromFile(const std::string& path);
  void SaveToFile(const std::string& path) const;

 private:
  std::vector<char> data_;
  std::int64_t position_ = 0;
};

// Open modes of TFileStream.
enum TFileMode : std::uint32_t {
  fmOpenRead = 0x0000,
  fmOpenWrite = 0x0001,
  fmOpenReadWrite = 0x0002,
  fmShareDenyWrite = 0x0020,
  fmNoBlock = 0x10000,  // opening a FIFO or device does not wait for a peer
  fmCreate = 0xFF00,
};

// A stream over an open file descriptor (a file, a pipe, a socket).
class THandleStream : public TStream {
 public:
  explicit THandleStream(int handle) : handle_(handle) {}
  std::int64_t Read(void* buffer, std::int64_t count) override;
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  void SetSize(std::int64_t size) override;
  std::int64_t Size() override;
  int Handle() const { return handle_; }

  // Makes the stream end at byte `end` (-1: at the end of the file), so that a part of a file
  // can be sent as a stream of its own.
  void SetLimit(std::int64_t end) { limit_ = end; }
  std::int64_t Limit() const { return limit_; }

  // The opener's word that the handle is a regular file at least Limit() bytes long (it
  // checked with fstat), so that a sender need not ask again.
  void SetRegular() { regular_ = true; }
  bool Regular() const { return regular_; }

 protected:
  int handle_ = -1;
  std::int64_t limit_ = -1;
  // The position, while this stream alone moves it (-1: ask the system). A file this stream
  // opened itself starts at 0; every read, write and seek goes through here.
  std::int64_t position_ = -1;
  bool regular_ = false;
};

// A file opened by name. fmShareDenyWrite is accepted but cannot be enforced on POSIX hosts,
// where locks are advisory: another process may still write the file while it is open. Opening
// fails with std::system_error naming the file.
class TFileStream final : public THandleStream, public Recycled {
 public:
  TFileStream(const std::string& path, std::uint32_t mode);
  ~TFileStream() override;
  const std::string& FileName() const { return path_; }

  // Opens as the constructor does; nullptr (errno set) instead of an exception, for callers to
  // whom a missing file is an everyday answer.
  static std::unique_ptr<TFileStream> TryOpen(const std::string& path, std::uint32_t mode);

 private:
  TFileStream(std::string path, int handle);

  std::string path_;
};

}  // namespace quorvin::platform
