#include "engine/sync.hpp"

#include <array>

namespace corvalink {

// ---------------------------------------------------------------------------
// AsyncMutex

AsyncMutex::Guard AsyncMutex::try_lock() noexcept {
  std::uint8_t free = 0;
  if (!bits_.compare_exchange_strong(free, kLocked, std::memory_order_acquire, std::memory_order_relaxed)) return {};
  return Guard(this);
}

Waker AsyncMutex::hand_on_locked() noexcept {
  if (!queue_.linked()) {
    bits_.store(0, std::memory_order_release);
    return {};
  }
  // The permit goes straight to the oldest waiter; it stays locked.
  auto* next = static_cast<Acquire*>(queue_.front());
  next->unlink();
  if (!queue_.linked()) bits_.store(kLocked, std::memory_order_relaxed);
  next->state_ = Acquire::State::Granted;
  return std::move(next->waker_);
}

void AsyncMutex::release() noexcept {
  // Nobody queued: free it without the mutex. A waiter sets kQueued (under
  // the mutex) only while it sees the permit held, so this exchange fails
  // once anyone queues and the permit is then handed on under the mutex.
  std::uint8_t held = kLocked;
  if (bits_.compare_exchange_strong(held, 0, std::memory_order_release, std::memory_order_relaxed)) return;
  Waker w;
  {
    std::lock_guard lock(mutex_);
    w = hand_on_locked();
  }
  w.wake();
}

Poll<AsyncMutex::Guard> AsyncMutex::Acquire::poll(Context& cx) {
  AsyncMutex& m = *mutex_;
  if (!queued_ && state_ == State::Init) {  // not queued: nobody else touches state_
    if (Guard free = m.try_lock()) {
      state_ = State::Done;
      return free;
    }
  }
  std::lock_guard lock(m.mutex_);
  switch (state_) {
    case State::Init: {
      // Free implies an empty queue: a release hands the permit to the
      // oldest waiter instead of freeing it.
      std::uint8_t bits = m.bits_.load(std::memory_order_relaxed);
      for (;;) {
        if (!(bits & kLocked)) {
          if (m.bits_.compare_exchange_weak(bits, bits | kLocked, std::memory_order_acquire,
                                            std::memory_order_relaxed)) {
            state_ = State::Done;
            return Guard(&m);
          }
        } else if (m.bits_.compare_exchange_weak(bits, bits | kQueued, std::memory_order_relaxed,
                                                 std::memory_order_relaxed)) {
          break;  // still held: the holder's release now takes the mutex
        }
      }
      m.queue_.push_back(*this);
      waker_ = cx.waker();
      state_ = State::Queued;
      queued_ = true;
      return Pending;
    }
    case State::Queued:
      if (!waker_.will_wake(cx.waker())) waker_ = cx.waker();
      return Pending;
    case State::Granted:
      state_ = State::Done;
      return Guard(&m);
    case State::Done:
      break;
  }
  return Pending;  // polled after completion: never ready again
}

AsyncMutex::Acquire::~Acquire() {
  if (!queued_) return;
  Waker w;
  {
    std::lock_guard lock(mutex_->mutex_);
    if (state_ == State::Queued) {
      unlink();
      if (!mutex_->queue_.linked()) mutex_->bits_.fetch_and(static_cast<std::uint8_t>(~kQueued), std::memory_order_relaxed);
    } else if (state_ == State::Granted) {
      w = mutex_->hand_on_locked();  // handed the permit but never took it
    }
  }
  w.wake();
}

// ---------------------------------------------------------------------------
// Notify

Waker Notify::notify_one_locked() noexcept {
  if (!waiters_.linked()) {
    permit_.store(true, std::memory_order_relaxed);
    return {};
  }
  auto* w = static_cast<Waiter*>(waiters_.front());
  w->unlink();
  Waker waker = std::move(w->waker_);
  // The last touch: from here on the owner may drop the waiter unlocked.
  w->state_.store(Waiter::State::NotifiedOne, std::memory_order_release);
  return waker;
}

void Notify::notify_one() noexcept {
  Waker w;
  {
    std::lock_guard lock(mutex_);
    w = notify_one_locked();
  }
  w.wake();
}

void Notify::notify_waiters() noexcept {
  // Enabled waiters that are not queued yet see the new epoch. The queued
  // ones move to a private list (later registrants stay behind) and are
  // woken in fixed batches after the lock is released: no allocation, so
  // close() cannot fail half-way and leave a waiter asleep.
  constexpr std::size_t kBatch = 32;
  detail::ListNode mine;
  std::unique_lock lock(mutex_);
  epoch_.fetch_add(1, std::memory_order_release);
  if (!waiters_.linked()) return;
  mine.next = waiters_.next;
  mine.prev = waiters_.prev;
  mine.next->prev = &mine;
  mine.prev->next = &mine;
  waiters_.next = waiters_.prev = &waiters_;
  for (;;) {
    std::array<Waker, kBatch> wake;
    std::size_t n = 0;
    while (mine.linked() && n < kBatch) {
      auto* w = static_cast<Waiter*>(mine.front());
      w->unlink();  // a waiter dropped meanwhile unlinks itself from `mine` under the lock
      if (w->waker_) wake[n++] = std::move(w->waker_);
      w->state_.store(Waiter::State::NotifiedAll, std::memory_order_release);
    }
    const bool more = mine.linked();
    lock.unlock();
    for (std::size_t i = 0; i < n; ++i) wake[i].wake();
    if (!more) return;
    lock.lock();
  }
}

bool Notify::Waiter::register_locked() noexcept {
  if (state_.load(std::memory_order_relaxed) == State::Enabled &&
      notify_->epoch_.load(std::memory_order_relaxed) != epoch_) {
    state_.store(State::Done, std::memory_order_relaxed);  // notify_waiters came after enable
    return true;
  }
  if (notify_->permit_.load(std::memory_order_relaxed)) {
    notify_->permit_.store(false, std::memory_order_relaxed);
    state_.store(State::Done, std::memory_order_relaxed);
    return true;
  }
  notify_->waiters_.push_back(*this);
  state_.store(State::Waiting, std::memory_order_relaxed);
  return false;
}

void Notify::Waiter::enable() noexcept {
  if (state_.load(std::memory_order_relaxed) != State::Init) return;
  epoch_ = notify_->epoch_.load(std::memory_order_acquire);
  state_.store(State::Enabled, std::memory_order_relaxed);
}

bool Notify::Waiter::fired() const noexcept {
  switch (state_.load(std::memory_order_acquire)) {
    case State::Init:
      return notify_->permit_.load(std::memory_order_acquire);
    case State::Enabled:
      return notify_->permit_.load(std::memory_order_acquire) ||
             notify_->epoch_.load(std::memory_order_acquire) != epoch_;
    case State::Waiting:
      return false;
    case State::NotifiedOne:
    case State::NotifiedAll:
    case State::Done:
      return true;
  }
  return true;
}

Poll<std::monostate> Notify::Waiter::poll(Context& cx) {
  State s = state_.load(std::memory_order_acquire);
  if (s == State::Done) return std::monostate{};
  if (s == State::NotifiedOne || s == State::NotifiedAll) {
    // Unlinked by the notifier, which no longer touches this waiter.
    state_.store(State::Done, std::memory_order_relaxed);
    return std::monostate{};
  }
  if (s == State::Waiting && waker_of_ == cx.waker().target()) return Pending;
  std::lock_guard lock(notify_->mutex_);
  s = state_.load(std::memory_order_relaxed);
  if (s == State::Init || s == State::Enabled) {
    if (register_locked()) return std::monostate{};
  } else if (s != State::Waiting) {
    state_.store(State::Done, std::memory_order_relaxed);  // notified meanwhile
    return std::monostate{};
  }
  waker_ = cx.waker();
  waker_of_ = waker_.target();
  return Pending;
}

Notify::Waiter::~Waiter() {
  // Only a queued waiter, or one handed a notify_one, has anything to undo.
  const State s = state_.load(std::memory_order_acquire);
  if (s != State::Waiting && s != State::NotifiedOne) return;
  Waker w;
  {
    std::lock_guard lock(notify_->mutex_);
    const State now = state_.load(std::memory_order_relaxed);
    if (now == State::Waiting)
      unlink();
    else if (now == State::NotifiedOne)
      w = notify_->notify_one_locked();  // woken but never consumed: pass it on
  }
  w.wake();
}

}  // namespace corvalink
