// Resumable operations written as coroutines.
//
// Co<T> is a lazily started coroutine that is itself a pollable: poll(cx)
// runs it until it finishes or waits. Inside it, `co_await x` works on any
// pollable x (something with `Poll<R> poll(Context&)`): x becomes the frame's
// current child, the driver polls it with the caller's context, and resumes
// the frame with the result once it is ready. The first poll of a new child
// happens in the same driver step, so an await that is ready at once costs
// no suspension.
//
// Destroying a Co destroys its frame: the destructors of everything alive at
// the suspension point run, which is how an abandoned operation releases its
// locks and undoes what it started.
#pragma once

#include <coroutine>
#include <cstddef>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include "engine/poll.hpp"
#include "engine/runtime.hpp"

namespace corvalink {

template <class P>
concept Pollable = requires(P& p, Context& cx) { p.poll(cx); };

template <class P>
using PollOutput = decltype(std::declval<std::remove_reference_t<P>&>().poll(std::declval<Context&>()).take());

namespace detail {

// Coroutine frames are recycled through a small per-thread cache.
void* allocate_frame(std::size_t size);
void free_frame(void* p, std::size_t size) noexcept;

// A random bit: the order in which the branches of a race are polled.
bool coin() noexcept;

struct ChildSlot {
  virtual bool poll_child(Context& cx) = 0;

 protected:
  ~ChildSlot() = default;
};

template <class P>
class PollAwaiter final : public ChildSlot {
 public:
  using Out = PollOutput<P>;
  explicit PollAwaiter(P& p) noexcept : p_(p) {}

  bool await_ready() const noexcept { return false; }
  template <class Promise>
  void await_suspend(std::coroutine_handle<Promise> h) noexcept {
    h.promise().child = this;
  }
  Out await_resume() { return std::move(*out_); }

  bool poll_child(Context& cx) override {
    auto r = p_.poll(cx);
    if (r.pending()) return false;
    out_.emplace(std::move(r).take());
    return true;
  }

 private:
  P& p_;
  std::optional<Out> out_;
};

struct PromiseBase {
  ChildSlot* child = nullptr;
  std::exception_ptr error;

  static void* operator new(std::size_t size) { return allocate_frame(size); }
  static void operator delete(void* p, std::size_t size) noexcept { free_frame(p, size); }

  std::suspend_always initial_suspend() const noexcept { return {}; }
  std::suspend_always final_suspend() const noexcept { return {}; }
  void unhandled_exception() noexcept { error = std::current_exception(); }

  template <Pollable P>
  PollAwaiter<std::remove_reference_t<P>> await_transform(P&& p) noexcept {
    return PollAwaiter<std::remove_reference_t<P>>(p);
  }
};

}  // namespace detail

template <class T>
class [[nodiscard]] Co {
 public:
  struct promise_type : detail::PromiseBase {
    std::optional<T> value;
    Co get_return_object() noexcept { return Co(std::coroutine_handle<promise_type>::from_promise(*this)); }
    template <class U>
    void return_value(U&& u) {
      value.emplace(std::forward<U>(u));
    }
  };

  Co() noexcept = default;
  Co(Co&& o) noexcept : h_(std::exchange(o.h_, nullptr)) {}
  Co& operator=(Co&& o) noexcept {
    if (this != &o) {
      reset();
      h_ = std::exchange(o.h_, nullptr);
    }
    return *this;
  }
  ~Co() { reset(); }

  explicit operator bool() const noexcept { return static_cast<bool>(h_); }
  // Abandons the coroutine at its current suspension (runs its clean-up).
  void reset() noexcept {
    if (h_) std::exchange(h_, nullptr).destroy();
  }

  // Runs the coroutine until it waits or finishes. Must not be called again
  // once it returned ready. An exception escaping the body is rethrown here.
  Poll<T> poll(Context& cx) {
    promise_type& pr = h_.promise();
    for (;;) {
      if (pr.child) {
        if (!pr.child->poll_child(cx)) return Pending;
        pr.child = nullptr;
      }
      if (h_.done()) break;
      h_.resume();
      if (h_.done()) break;
    }
    if (pr.error) std::rethrow_exception(pr.error);
    return std::move(*pr.value);
  }

 private:
  explicit Co(std::coroutine_handle<promise_type> h) noexcept : h_(h) {}
  std::coroutine_handle<promise_type> h_;
};

}  // namespace corvalink
