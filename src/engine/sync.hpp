// Asynchronous synchronisation primitives: a first-come-first-served lock and
// a notification. Waiters are intrusive list nodes living in the waiting
// operation, so waiting allocates nothing. Wake-ups are collected under the
// primitive's mutex and fired after it is released.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <utility>
#include <variant>

#include "engine/poll.hpp"

namespace corvalink {

namespace detail {
// A node of a circular doubly linked list; a lone node points to itself.
struct ListNode {
  ListNode* prev = this;
  ListNode* next = this;

  ListNode() = default;
  ListNode(const ListNode&) = delete;
  ListNode& operator=(const ListNode&) = delete;

  bool linked() const noexcept { return next != this; }
  void push_back(ListNode& n) noexcept {
    n.prev = prev;
    n.next = this;
    prev->next = &n;
    prev = &n;
  }
  void unlink() noexcept {
    prev->next = next;
    next->prev = prev;
    prev = next = this;
  }
  ListNode* front() noexcept { return next; }
};
}  // namespace detail

// A lock with one permit. Acquiring is a pollable; waiters are served in
// arrival order; dropping an acquire gives up its place (and passes on the
// permit if it had already been handed it). The guard releases the permit.
// Taking a free permit and releasing one nobody waits for take no lock.
class AsyncMutex {
 public:
  class Guard {
   public:
    Guard() noexcept = default;
    Guard(Guard&& o) noexcept : mutex_(std::exchange(o.mutex_, nullptr)) {}
    Guard& operator=(Guard&& o) noexcept {
      if (this != &o) {
        reset();
        mutex_ = std::exchange(o.mutex_, nullptr);
      }
      return *this;
    }
    ~Guard() { reset(); }
    void reset() noexcept {
      if (mutex_) std::exchange(mutex_, nullptr)->release();
    }
    explicit operator bool() const noexcept { return mutex_ != nullptr; }

   private:
    friend class AsyncMutex;
    explicit Guard(AsyncMutex* m) noexcept : mutex_(m) {}
    AsyncMutex* mutex_ = nullptr;
  };

  class Acquire : detail::ListNode {
   public:
    explicit Acquire(AsyncMutex& m) noexcept : mutex_(&m) {}
    Acquire(Acquire&& o) noexcept : mutex_(o.mutex_) {}  // only before the first poll
    ~Acquire();
    Poll<Guard> poll(Context& cx);

   private:
    friend class AsyncMutex;
    enum class State : std::uint8_t { Init, Queued, Granted, Done };
    AsyncMutex* mutex_;
    State state_ = State::Init;  // guarded by the mutex once queued_
    bool queued_ = false;        // owner only
    Waker waker_;
  };

  AsyncMutex() = default;
  AsyncMutex(const AsyncMutex&) = delete;
  AsyncMutex& operator=(const AsyncMutex&) = delete;

  Acquire lock() noexcept { return Acquire(*this); }
  // Takes the permit if it is free and nobody queues.
  Guard try_lock() noexcept;

 private:
  void release() noexcept;
  // With mutex_ held: give the permit to the oldest waiter, or free it.
  // Returns the waker to fire after unlocking.
  Waker hand_on_locked() noexcept;

  static constexpr std::uint8_t kLocked = 1;  // the permit is held or handed on
  static constexpr std::uint8_t kQueued = 2;  // queue_ is not empty
  std::mutex mutex_;
  std::atomic<std::uint8_t> bits_{0};  // kQueued changes under mutex_ only
  detail::ListNode queue_;
};

// A notification. notify_one wakes the oldest registered waiter, or stores a
// single permit that the next waiter consumes at once. notify_waiters wakes
// every waiter registered or enabled at that moment and stores nothing.
//
// A waiter joins the queue when it is first polled, not before: enabling it
// only records the notification's epoch (bumped by notify_waiters), so a
// notify_waiters that comes after enable still reaches it. A waiter that is
// never polled, or only asked whether it fired, costs no lock at all, and
// polling one that waits with the same waker takes none either.
class Notify {
 public:
  class Waiter : detail::ListNode {
   public:
    explicit Waiter(Notify& n) noexcept : notify_(&n) {}
    Waiter(Waiter&& o) noexcept : notify_(o.notify_) {}  // only before enable/poll
    ~Waiter();
    // Makes notify_waiters reach this waiter from now on, without waiting.
    // A stored permit is consumed when it is first polled.
    void enable() noexcept;
    Poll<std::monostate> poll(Context& cx);
    // True if poll would be ready now (a hint: the answer may change at
    // once). Takes no lock and registers nothing.
    bool fired() const noexcept;

   private:
    friend class Notify;
    enum class State : std::uint8_t { Init, Enabled, Waiting, NotifiedOne, NotifiedAll, Done };
    bool register_locked() noexcept;  // true when already notified
    Notify* notify_;
    // Owner-only but for the notifiers' changes of a queued (Waiting) waiter
    // to NotifiedOne/NotifiedAll, under the mutex.
    std::atomic<State> state_{State::Init};
    std::uint32_t epoch_ = 0;            // owner only: the epoch when enabled (compared, so it may wrap)
    const WakeTarget* waker_of_ = nullptr;  // owner only: what waker_ wakes
    Waker waker_;                        // guarded by the mutex once queued
  };

  Notify() = default;
  Notify(const Notify&) = delete;
  Notify& operator=(const Notify&) = delete;

  Waiter waiter() noexcept { return Waiter(*this); }
  // True while a notify_one is stored for the next waiter (a hint).
  bool has_permit() const noexcept { return permit_.load(std::memory_order_acquire); }
  void notify_one() noexcept;
  void notify_waiters() noexcept;

 private:
  Waker notify_one_locked() noexcept;

  std::mutex mutex_;
  std::atomic<bool> permit_{false};       // written under the mutex
  std::atomic<std::uint32_t> epoch_{0};  // bumped under the mutex
  detail::ListNode waiters_;
};

}  // namespace corvalink
