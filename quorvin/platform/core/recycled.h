#pragma once

#include <cstddef>
#include <memory>
#include <new>

// Memory that every connection takes and gives back: its socket objects, its timer, the bytes
// of its first header line and of its answer's heading. A server that answers one request per
// connection would otherwise ask the allocator for a dozen blocks per request and give them
// back a moment later. Blocks given back wait on a shelf of their size for the next
// connection, as nginx's pools keep a connection's memory; the shelves are the thread's own
// (the loop's thread; no locks) and bounded, by count per size and in bytes per thread, so
// that a burst of connections leaves no more than that behind.
//
// Builds with AddressSanitizer keep nothing on the shelves, so that it still sees every use of
// a block after it was given back.
namespace quorvin::platform {

// A block of at least `size` bytes, aligned as operator new aligns; throws std::bad_alloc.
void* TakeRecycled(std::size_t size);
// Gives back a block that TakeRecycled returned for `size` bytes (or for more: a smaller
// `size` only puts it on a shelf of smaller blocks). nullptr is ignored.
void GiveRecycled(void* block, std::size_t size) noexcept;
// Whether given-back blocks are kept at all (not under AddressSanitizer).
bool RecyclingKeepsBlocks() noexcept;
// The blocks and bytes waiting on this thread's shelves (for tests and the bench).
std::size_t RecycledBlocksKept() noexcept;
std::size_t RecycledBytesKept() noexcept;

// A base for classes made once per connection: `new` and `delete` of them and of every class
// derived from them use the shelves. Their destructor must be virtual if they are deleted
// through a base (as it must be anyway).
class Recycled {
 public:
  static void* operator new(std::size_t size) { return TakeRecycled(size); }
  static void operator delete(void* block, std::size_t size) noexcept { GiveRecycled(block, size); }

 protected:
  Recycled() = default;
  ~Recycled() = default;
};

// An allocator on the shelves, for std::allocate_shared and for containers that a connection
// fills once (its send queue, its header line).
template <class T>
struct RecyclingAllocator {
  using value_type = T;

  RecyclingAllocator() noexcept = default;
  template <class U>
  RecyclingAllocator(const RecyclingAllocator<U>&) noexcept {}  // NOLINT: rebinding converts

  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(TakeRecycled(n * sizeof(T)));
  }
  void deallocate(T* block, std::size_t n) noexcept { GiveRecycled(block, n * sizeof(T)); }

  template <class U>
  bool operator==(const RecyclingAllocator<U>&) const noexcept { return true; }
  template <class U>
  bool operator!=(const RecyclingAllocator<U>&) const noexcept { return false; }
};

// std::make_shared on the shelves.
template <class T, class... Args>
std::shared_ptr<T> MakeRecycledShared(Args&&... args) {
  return std::allocate_shared<T>(RecyclingAllocator<T>(), std::forward<Args>(args)...);
}

}  // namespace quorvin::platform
