#include "quorvin/platform/core/recycled.h"

#include <cstdint>

namespace quorvin::platform {

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kKeep = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kKeep = false;
#else
constexpr bool kKeep = true;
#endif
#else
constexpr bool kKeep = true;
#endif

// Sizes are kept in steps of 16 bytes up to 2 KiB, which covers every per-connection object;
// larger blocks go straight back to the allocator.
constexpr std::size_t kStep = 16;
constexpr std::size_t kLargest = 2048;
constexpr std::size_t kShelves = kLargest / kStep;
// A shelf keeps the blocks of this many connections; all shelves together at most this many
// bytes (a connection's blocks come to about 2.5 KiB).
constexpr std::uint32_t kPerShelf = 64;
constexpr std::size_t kBytesPerThread = 256 * 1024;

struct Block {
  Block* next;
};

struct Shelf {
  Block* top;
  std::uint32_t count;
};

// Plain data, so that it is there before anything runs on the thread and after the thread's
// other objects are gone (objects of static storage may give back blocks while the program
// exits): `closed` then sends every block straight back.
thread_local Shelf shelves[kShelves];
thread_local std::size_t bytes_kept = 0;
thread_local std::size_t blocks_kept = 0;
thread_local bool closed = false;

// Gives every kept block back to the allocator when the thread ends.
struct Sweeper {
  Sweeper() = default;
  Sweeper(const Sweeper&) = delete;
  Sweeper& operator=(const Sweeper&) = delete;
  ~Sweeper() {
    closed = true;
    for (Shelf& shelf : shelves) {
      while (shelf.top != nullptr) {
        Block* block = shelf.top;
        shelf.top = block->next;
        ::operator delete(block);
      }
      shelf.count = 0;
    }
    bytes_kept = 0;
    blocks_kept = 0;
  }
};

void WatchThreadEnd() {
  thread_local Sweeper sweeper;
  (void)sweeper;
}

std::size_t RoundedSize(std::size_t size) {
  return size == 0 ? kStep : (size + kStep - 1) / kStep * kStep;
}

}  // namespace

void* TakeRecycled(std::size_t size) {
  const std::size_t rounded = RoundedSize(size);
  if (kKeep && rounded <= kLargest && !closed) {
    Shelf& shelf = shelves[rounded / kStep - 1];
    if (shelf.top != nullptr) {
      Block* block = shelf.top;
      shelf.top = block->next;
      --shelf.count;
      bytes_kept -= rounded;
      --blocks_kept;
      return block;
    }
  }
  // Blocks are made at the size of their step, so that any of them serves any size it covers.
  return ::operator new(rounded <= kLargest ? rounded : size);
}

void GiveRecycled(void* block, std::size_t size) noexcept {
  if (block == nullptr) return;
  const std::size_t rounded = RoundedSize(size);
  if (kKeep && rounded <= kLargest && !closed) {
    Shelf& shelf = shelves[rounded / kStep - 1];
    if (shelf.count < kPerShelf && bytes_kept + rounded <= kBytesPerThread) {
      WatchThreadEnd();
      auto* kept = static_cast<Block*>(block);
      kept->next = shelf.top;
      shelf.top = kept;
      ++shelf.count;
      bytes_kept += rounded;
      ++blocks_kept;
      return;
    }
  }
  ::operator delete(block);
}

bool RecyclingKeepsBlocks() noexcept {
  return kKeep;
}

std::size_t RecycledBlocksKept() noexcept {
  return blocks_kept;
}

std::size_t RecycledBytesKept() noexcept {
  return bytes_kept;
}

}  // namespace quorvin::platform
