// A mutual-exclusion lock in one 32-bit word, for records that exist by the
// thousand (one per operation): it spins briefly, then sleeps on the word
// itself (a futex on Linux). Held only for a few instructions at a time.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

namespace corvalink {

class WordLock {
 public:
  WordLock() noexcept = default;
  WordLock(const WordLock&) = delete;
  WordLock& operator=(const WordLock&) = delete;

  void lock() noexcept {
    std::uint32_t c = kFree;
    if (word_.compare_exchange_strong(c, kLocked, std::memory_order_acquire, std::memory_order_relaxed)) return;
    for (int spin = 0; spin < 40 && c != kContended; ++spin) {
      std::this_thread::yield();
      c = kFree;
      if (word_.compare_exchange_weak(c, kLocked, std::memory_order_acquire, std::memory_order_relaxed)) return;
    }
    if (c != kContended) c = word_.exchange(kContended, std::memory_order_acquire);
    while (c != kFree) {
      word_.wait(kContended, std::memory_order_relaxed);
      c = word_.exchange(kContended, std::memory_order_acquire);
    }
  }

  void unlock() noexcept {
    if (word_.exchange(kFree, std::memory_order_release) == kContended) word_.notify_one();
  }

 private:
  static constexpr std::uint32_t kFree = 0, kLocked = 1, kContended = 2;
  std::atomic<std::uint32_t> word_{kFree};
};

}  // namespace corvalink
