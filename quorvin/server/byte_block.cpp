#include "quorvin/server/byte_block.h"

#include <algorithm>
#include <cstring>

namespace quorvin::server {

namespace {

// Spare blocks of the size connections make, for the next connections on this thread.
struct SpareBlocks {
  static constexpr std::size_t kSize = kReadSize + 1;
  static constexpr std::size_t kKept = 8;

  ~SpareBlocks() {
    for (std::size_t i = 0; i < count; ++i) blocks[i].reset();
    count = 0;
    closed = true;  // a block freed after this, during the thread's end, is not kept
  }

  std::unique_ptr<char[]> blocks[kKept];
  std::size_t count = 0;
  bool closed = false;
};

thread_local SpareBlocks spare_blocks;

}  // namespace

ByteBlock::ByteBlock(std::size_t size) : size_(0) {
  if (size > 0) Grow(size, 0);
}

ByteBlock::~ByteBlock() {
  Release();
}

void ByteBlock::Grow(std::size_t size, std::size_t keep) {
  if (size <= size_) return;
  std::unique_ptr<char[]> bigger;
  SpareBlocks& spare = spare_blocks;
  if (size <= SpareBlocks::kSize && spare.count > 0 && !spare.closed) {
    bigger = std::move(spare.blocks[--spare.count]);
    size = SpareBlocks::kSize;
  } else {
    size = std::max(size, SpareBlocks::kSize);
    bigger = std::make_unique_for_overwrite<char[]>(size);
  }
  if (size_ > 0) std::memcpy(bigger.get(), bytes_.get(), std::min(keep, size_));
  Release();
  bytes_ = std::move(bigger);
  size_ = size;
}

void ByteBlock::Release() {
  SpareBlocks& spare = spare_blocks;
  if (bytes_ && size_ == SpareBlocks::kSize && !spare.closed && spare.count < SpareBlocks::kKept)
    spare.blocks[spare.count++] = std::move(bytes_);
  bytes_.reset();
  size_ = 0;
}

}  // namespace quorvin::server
