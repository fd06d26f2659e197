#pragma once

#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

namespace quorvin::platform {

// A piece of work to run once later, as the loop's posted work is: like
// std::function<void()>, but move-only and with room inside for what such work usually holds
// (a shared or weak pointer and a few more words), so that posting it needs no allocation.
// Larger work is kept on the heap.
class Task {
 public:
  Task() noexcept = default;

  template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, Task>>>
  Task(F&& fn) {  // NOLINT: made from any callable, as std::function is
    using Fn = std::decay_t<F>;
    if constexpr (kInside<Fn>) {
      ::new (static_cast<void*>(room_)) Fn(std::forward<F>(fn));
      ops_ = &kInsideOps<Fn>;
    } else {
      *reinterpret_cast<Fn**>(room_) = new Fn(std::forward<F>(fn));
      ops_ = &kOutsideOps<Fn>;
    }
  }

  Task(Task&& other) noexcept { Take(other); }
  Task& operator=(Task&& other) noexcept {
    if (this != &other) {
      Reset();
      Take(other);
    }
    return *this;
  }
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;
  ~Task() { Reset(); }

  explicit operator bool() const noexcept { return ops_ != nullptr; }
  void operator()() { ops_->call(room_); }

 private:
  static constexpr std::size_t kRoom = 64;

  template <class Fn>
  static constexpr bool kInside = sizeof(Fn) <= kRoom && alignof(Fn) <= alignof(std::max_align_t) &&
                                  std::is_nothrow_move_constructible_v<Fn>;

  struct Ops {
    void (*call)(void* room);
    void (*move)(void* from, void* to) noexcept;  // leaves `from` destroyed
    void (*destroy)(void* room) noexcept;
  };

  template <class Fn>
  static constexpr Ops kInsideOps = {
      [](void* room) { (*static_cast<Fn*>(room))(); },
      [](void* from, void* to) noexcept {
        ::new (to) Fn(std::move(*static_cast<Fn*>(from)));
        static_cast<Fn*>(from)->~Fn();
      },
      [](void* room) noexcept { static_cast<Fn*>(room)->~Fn(); },
  };

  template <class Fn>
  static constexpr Ops kOutsideOps = {
      [](void* room) { (**static_cast<Fn**>(room))(); },
      [](void* from, void* to) noexcept { *static_cast<Fn**>(to) = *static_cast<Fn**>(from); },
      [](void* room) noexcept { delete *static_cast<Fn**>(room); },
  };

  void Take(Task& other) noexcept {
    if (other.ops_ == nullptr) return;
    other.ops_->move(other.room_, room_);
    ops_ = std::exchange(other.ops_, nullptr);
  }

  void Reset() noexcept {
    if (ops_ == nullptr) return;
    std::exchange(ops_, nullptr)->destroy(room_);
  }

  alignas(std::max_align_t) unsigned char room_[kRoom];
  const Ops* ops_ = nullptr;
};

}  // namespace quorvin::platform
