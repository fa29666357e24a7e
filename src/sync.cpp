#include "sync.hpp"

#include <array>

namespace corvalink {

// ---------------------------------------------------------------------------
// AsyncMutex

AsyncMutex::Guard AsyncMutex::try_lock() noexcept {
  std::lock_guard lock(mutex_);
  if (locked_) return {};
  locked_ = true;
  return Guard(this);
}

Waker AsyncMutex::hand_on_locked() noexcept {
  if (!queue_.linked()) {
    locked_ = false;
    return {};
  }
  // The permit goes straight to the oldest waiter; locked_ stays true.
  auto* next = static_cast<Acquire*>(queue_.front());
  next->unlink();
  next->state_ = Acquire::State::Granted;
  return std::move(next->waker_);
}

void AsyncMutex::release() noexcept {
  Waker w;
  {
    std::lock_guard lock(mutex_);
    w = hand_on_locked();
  }
  w.wake();
}

Poll<AsyncMutex::Guard> AsyncMutex::Acquire::poll(Context& cx) {
  AsyncMutex& m = *mutex_;
  std::lock_guard lock(m.mutex_);
  switch (state_) {
    case State::Init:
      // Free implies an empty queue: a release hands the permit to the
      // oldest waiter instead of freeing it.
      if (!m.locked_) {
        m.locked_ = true;
        state_ = State::Done;
        return Guard(&m);
      }
      m.queue_.push_back(*this);
      waker_ = cx.waker();
      state_ = State::Queued;
      queued_ = true;
      return Pending;
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
    if (state_ == State::Queued)
      unlink();
    else if (state_ == State::Granted)
      w = mutex_->hand_on_locked();  // handed the permit but never took it
  }
  w.wake();
}

// ---------------------------------------------------------------------------
// Notify

Waker Notify::notify_one_locked() noexcept {
  if (!waiters_.linked()) {
    permit_ = true;
    return {};
  }
  auto* w = static_cast<Waiter*>(waiters_.front());
  w->unlink();
  w->state_ = Waiter::State::NotifiedOne;
  return std::move(w->waker_);
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
  // The waiters registered now move to a private list (later registrants stay
  // behind) and are woken in fixed batches after the lock is released: no
  // allocation, so close() cannot fail half-way and leave a waiter asleep.
  constexpr std::size_t kBatch = 32;
  detail::ListNode mine;
  std::unique_lock lock(mutex_);
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
      w->state_ = Waiter::State::NotifiedAll;
      if (w->waker_) wake[n++] = std::move(w->waker_);
    }
    const bool more = mine.linked();
    lock.unlock();
    for (std::size_t i = 0; i < n; ++i) wake[i].wake();
    if (!more) return;
    lock.lock();
  }
}

bool Notify::Waiter::register_locked() noexcept {
  if (notify_->permit_) {
    notify_->permit_ = false;
    state_ = State::Done;
    return true;
  }
  notify_->waiters_.push_back(*this);
  state_ = State::Waiting;
  registered_ = true;
  return false;
}

void Notify::Waiter::enable() noexcept {
  if (registered_ || state_ != State::Init) return;
  std::lock_guard lock(notify_->mutex_);
  register_locked();
}

Poll<std::monostate> Notify::Waiter::poll(Context& cx) {
  if (!registered_) {
    if (state_ == State::Done) return std::monostate{};
    std::lock_guard lock(notify_->mutex_);
    if (register_locked()) return std::monostate{};
    waker_ = cx.waker();
    return Pending;
  }
  std::lock_guard lock(notify_->mutex_);
  switch (state_) {
    case State::Waiting:
      if (!waker_.will_wake(cx.waker())) waker_ = cx.waker();
      return Pending;
    case State::NotifiedOne:
    case State::NotifiedAll:
      state_ = State::Done;
      return std::monostate{};
    case State::Init:
    case State::Done:
      break;
  }
  return std::monostate{};
}

Notify::Waiter::~Waiter() {
  if (!registered_) return;
  Waker w;
  {
    std::lock_guard lock(notify_->mutex_);
    if (state_ == State::Waiting)
      unlink();
    else if (state_ == State::NotifiedOne)
      w = notify_->notify_one_locked();  // woken but never consumed: pass it on
  }
  w.wake();
}

}  // namespace corvalink
