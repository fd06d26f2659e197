#pragma once

#include <cstddef>
#include <memory>

namespace quorvin::server {

// Bytes received at most per read, and the step in which an answer's buffer grows.
constexpr int kReadSize = 8192;

// A block of bytes that grows without clearing what it adds: the output is written over
// whatever was there, so zeroing it would only cost time per answer. Blocks of the usual size
// (kReadSize + 1) are kept for the next answers on this thread (a few at most): allocating and
// freeing 8 KiB per request costs more than the rest of the allocations together. A block of
// size 0 holds nothing, so an idle connection holds no block at all.
class ByteBlock {
 public:
  explicit ByteBlock(std::size_t size);
  ~ByteBlock();
  ByteBlock(const ByteBlock&) = delete;
  ByteBlock& operator=(const ByteBlock&) = delete;

  char* data() { return bytes_.get(); }

  const char* data() const { return bytes_.get(); }

  std::size_t size() const { return size_; }

  // Grows to at least `size`, keeping the first `keep` bytes.
  void Grow(std::size_t size, std::size_t keep);
  // Gives the block back (to the spare blocks when it has the usual size); size 0 afterwards.
  void Release();

 private:
  std::unique_ptr<char[]> bytes_;
  std::size_t size_;
};

}  // namespace quorvin::server
