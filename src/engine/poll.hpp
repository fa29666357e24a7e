// The polling contract between operations and whatever drives them.
//
// An operation is polled with a Context that carries the wake-up handle of the
// task driving it. A poll returns ready with a result, or pending; pending
// obliges the callee to arrange that the waker is woken once polling again can
// make progress. Backends store a Waker (a cheap reference-counted copy) and
// call wake() from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

namespace corvalink {

// An event loop's own descriptor set (backend/reactor.hpp, Linux only): a
// read started or woken on the loop's thread waits there, so its wake-up
// needs no other thread.
class LoopPoller;

// Something that can be scheduled again: a spawned task, a thread blocked in
// block_on, a test's probe. Reference counted; wake() may be called from any
// thread, any number of times, also after the target finished.
class WakeTarget {
 public:
  virtual void wake() noexcept = 0;
  // A wake from the readiness thread, which may run a short task itself
  // instead of handing it to a worker. The default is an ordinary wake.
  virtual void wake_from_io() noexcept { wake(); }
  // A wake on an event loop's thread from its poller, detached: a short
  // task runs right there. The default is an ordinary wake.
  virtual void wake_inline() noexcept { wake(); }

  // The loop poller a read of this target waits on, or null (it waits on the
  // readiness thread, or not at all). Set by the backend that armed it.
  const LoopPoller* loop_wait() const noexcept { return loop_wait_.load(std::memory_order_acquire); }
  void set_loop_wait(const LoopPoller* poller) noexcept { loop_wait_.store(poller, std::memory_order_release); }

  void add_ref() noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
  void release() noexcept {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) destroy();
  }

 protected:
  WakeTarget() = default;
  virtual ~WakeTarget() = default;
  // Called when the last reference goes; the default deletes the object.
  virtual void destroy() noexcept { delete this; }

 private:
  std::atomic<std::uint32_t> refs_{1};
  std::atomic<const LoopPoller*> loop_wait_{nullptr};
};

// An owned wake-up handle. Copying adds a reference; no allocation.
class Waker {
 public:
  Waker() = default;
  // Adopts one reference of target.
  static Waker adopt(WakeTarget* target) noexcept { return Waker(target); }
  // Adds a reference to target.
  static Waker share(WakeTarget* target) noexcept {
    if (target) target->add_ref();
    return Waker(target);
  }

  Waker(const Waker& other) noexcept : target_(other.target_) {
    if (target_) target_->add_ref();
  }
  Waker(Waker&& other) noexcept : target_(std::exchange(other.target_, nullptr)) {}
  Waker& operator=(Waker other) noexcept {
    std::swap(target_, other.target_);
    return *this;
  }
  ~Waker() {
    if (target_) target_->release();
  }

  explicit operator bool() const noexcept { return target_ != nullptr; }
  void wake() const noexcept {
    if (target_) target_->wake();
  }
  void wake_from_io() const noexcept {
    if (target_) target_->wake_from_io();
  }
  void wake_inline() const noexcept {
    if (target_) target_->wake_inline();
  }
  // Wakes and drops the handle.
  void wake_and_reset() noexcept {
    Waker w(std::move(*this));
    w.wake();
  }
  bool will_wake(const Waker& other) const noexcept { return target_ == other.target_; }
  WakeTarget* target() const noexcept { return target_; }

 private:
  explicit Waker(WakeTarget* target) noexcept : target_(target) {}
  WakeTarget* target_ = nullptr;
};

// What a poll is given: the waker of the task that polls.
class Context {
 public:
  explicit Context(const Waker& waker) noexcept : waker_(&waker) {}
  const Waker& waker() const noexcept { return *waker_; }

 private:
  const Waker* waker_;
};

// While an event loop's thread runs a step of `target` itself, a read of it
// that must wait is armed in that loop's poller. Thread-local; nests.
class LoopPollScope {
 public:
  LoopPollScope(LoopPoller* poller, WakeTarget* target) noexcept;
  ~LoopPollScope();
  LoopPollScope(const LoopPollScope&) = delete;
  LoopPollScope& operator=(const LoopPollScope&) = delete;

 private:
  LoopPoller* previous_poller_;
  WakeTarget* previous_target_;
};

// The loop poller a read armed with this waker waits on: the one of the
// scope this thread runs, when the waker is the scope's task; else null.
LoopPoller* loop_poller_for(const Waker& waker) noexcept;

struct PendingTag {
  explicit constexpr PendingTag() = default;
};
inline constexpr PendingTag Pending{};

// Result of a poll: ready with a T, or pending.
template <class T>
class [[nodiscard]] Poll {
 public:
  Poll(PendingTag) noexcept {}
  template <class U = T>
    requires std::is_constructible_v<T, U&&>
  Poll(U&& value) : value_(std::in_place, std::forward<U>(value)) {}

  bool ready() const noexcept { return value_.has_value(); }
  bool pending() const noexcept { return !value_.has_value(); }
  T& value() & { return *value_; }
  T&& value() && { return std::move(*value_); }
  T take() { return std::move(*value_); }

 private:
  std::optional<T> value_;
};

// A read buffer: a region with its capacity and a fill count. poll_read
// appends at filled and advances it.
//
// may_wait says the reader is prepared to wait for data: a backend that
// expects nothing to be there yet may then wait for readiness before its
// first attempt. A reader that gets exactly one poll leaves it false, so that
// poll always looks at the device; pending then only means "nothing there",
// and the backend need not arrange a wake-up.
struct ReadBuf {
  std::uint8_t* data = nullptr;
  std::size_t capacity = 0;
  std::size_t filled = 0;
  bool may_wait = false;

  std::size_t remaining() const noexcept { return capacity - filled; }
};

}  // namespace corvalink
