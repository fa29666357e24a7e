// The background runtime: two worker threads that drive spawned tasks, a
// timer facility on the monotonic clock, a small blocking pool, and the means
// to drive a pollable on the calling thread (block_on, run_for).
//
// The runtime is built on the first call of runtime() and lives until the
// process ends. It refuses use in a child process created by fork().
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <variant>

#include "engine/direct_wait.hpp"
#include "engine/errors.hpp"
#include "engine/operation.hpp"
#include "engine/poll.hpp"

namespace corvalink {

using Clock = std::chrono::steady_clock;
using Instant = Clock::time_point;

// start + d, or no instant when the sum does not fit the clock (or d is none).
std::optional<Instant> deadline_after(Instant start, std::optional<std::chrono::nanoseconds> d) noexcept;

class Runtime;
struct RuntimeBuilder;

namespace detail {
class Task;

// The scheduling state of a task: what the workers run. A task is idle, queued
// (scheduled), running, running and woken meanwhile (notified), held by a
// thread that took it for exclusive use while it was not running, or done.
// Wakes of an idle task queue it once; wakes of a running one make it run
// again after the step. step() runs one step on the thread that claimed the
// task and says whether the task is done (it never runs again then).
class TaskBase : public WakeTarget {
 public:
  void wake() noexcept override;
  // A wake from the readiness thread: an idle task runs right there instead
  // of being queued (a step never blocks).
  void wake_from_io() noexcept override;
  // On a loop's thread, from its poller: an idle task runs right there.
  void wake_inline() noexcept override;

  // Runs a queued task once; consumes the queue's reference. Workers only.
  void run_queued() noexcept;

  TaskBase* next_in_queue = nullptr;  // guarded by the runtime's lock

 protected:
  enum : std::uint32_t { Idle, Scheduled, Running, Notified, Held, Done, kStateMask = 7, kHolderWaits = 8 };
  explicit TaskBase(std::uint32_t initial = Idle) noexcept : state_(initial) {}

  // One step. Returns true once the task is done for good.
  virtual bool step() noexcept = 0;
  // After the step that finished the task, once it is marked done (so a
  // thread that waits to hold it goes on): what must not happen while it
  // still counts as running.
  virtual void after_done() noexcept {}
  // The runtime could not be built to run a claimed task (state Scheduled,
  // owned by the caller): the task must end here, its state set to Done.
  virtual void unrunnable(const PortError& error) noexcept = 0;

  // Idle → Scheduled: true if the caller must queue (or run) it; a running
  // task is marked to run again instead.
  bool claim() noexcept;
  // Queues the task on the runtime's workers (adding the queue's reference).
  void schedule() noexcept;
  // Ends a step run by this thread: done, or back to idle (queued again when
  // it was woken meanwhile).
  void end_step(bool done) noexcept;
  // Takes a task that is not running for exclusive use (Held), waiting out
  // a step under way on another thread. False when the task is done.
  bool hold() noexcept;
  // Ends a hold: the task is done.
  void release_hold_done() noexcept;
  bool is_done() const noexcept { return (state_.load(std::memory_order_acquire) & kStateMask) == Done; }
  // Queues a task nobody can wake any more, so that a worker ends it (its
  // step must then finish at once).
  void schedule_to_end() noexcept;
  // Marks the task done without running it (the caller owns it).
  void set_done() noexcept { set_state(Done); }

 private:
  void set_state(std::uint32_t next) noexcept;
  std::atomic<std::uint32_t> state_;
};

}  // namespace detail

// The handle of a spawned task. Destroying it detaches: the task runs on.
class TaskHandle {
 public:
  TaskHandle() noexcept = default;
  TaskHandle(TaskHandle&& other) noexcept : task_(std::exchange(other.task_, nullptr)) {}
  TaskHandle& operator=(TaskHandle&& other) noexcept;
  TaskHandle(const TaskHandle&) = delete;
  TaskHandle& operator=(const TaskHandle&) = delete;
  ~TaskHandle();

  // Asks the task to stop: its job is dropped (running its clean-up) at its
  // next suspension, or soon if it is idle. Any thread; idempotent.
  void abort() noexcept;
  // True once the job finished or was dropped.
  bool finished() const noexcept;
  explicit operator bool() const noexcept { return task_ != nullptr; }

 private:
  friend class Runtime;
  explicit TaskHandle(detail::Task* task) noexcept : task_(task) {}
  detail::Task* task_ = nullptr;
};

class Runtime {
 public:
  // A unit of work run as a task: polled on the workers until ready. Abort
  // drops it (destructor = clean-up). A job that throws is dropped as well.
  struct Job {
    virtual ~Job() = default;
    virtual Poll<std::monostate> poll(Context& cx) = 0;
  };

  static constexpr std::size_t kWorkers = 2;

  TaskHandle spawn(std::unique_ptr<Job> job);
  // Spawns the job without running it: it first runs when the returned
  // waker (or a copy of it handed to a timer or a descriptor) wakes it.
  std::pair<TaskHandle, Waker> spawn_suspended(std::unique_ptr<Job> job);

  // Runs f on a thread of the blocking pool (threads named like the workers,
  // started on demand, kept for a while when idle).
  Status spawn_blocking(std::function<void()> f);

  struct State;  // defined in runtime.cpp

 private:
  friend struct RuntimeBuilder;
  explicit Runtime(State* state) noexcept : state_(state) {}
  State* state_;
};

// Builds the runtime on first call. Returns the stored start failure if the
// start failed, Forked in a child process created by fork() after the
// process's first port operation (with or without the runtime's threads).
Result<Runtime*> runtime();
// Fails as runtime() does in a child created by fork(), but builds nothing:
// for work that needs no task, no timer and no worker.
Status runtime_usable();

// Names this process among its forks without a system call (the fork
// generation kept by an at-fork handler; the process id where there is none).
std::uint64_t process_identity() noexcept;

// True on a worker thread of the runtime (not inside block_in_place).
bool on_worker_thread() noexcept;
// True while the readiness thread runs a task itself (wake_from_io): work
// that may take long, such as arbitrary Python callbacks, is handed on.
bool running_from_io() noexcept;

namespace detail {
// The stored error of a runtime that could not start its threads.
PortError runtime_start_failure(int os_code);
}  // namespace detail

namespace detail {
// Leaves the worker pool for its lifetime when created on a worker thread: a
// new worker takes over the queued tasks, and the pool shrinks back to two
// workers once the scope ends. Elsewhere it does nothing.
class BlockInPlaceScope {
 public:
  BlockInPlaceScope() noexcept;
  ~BlockInPlaceScope();
  BlockInPlaceScope(const BlockInPlaceScope&) = delete;
  BlockInPlaceScope& operator=(const BlockInPlaceScope&) = delete;

 private:
  bool active_ = false;
};
}  // namespace detail

// On a worker: hand the queued work to a new thread while f blocks. Elsewhere
// it just calls f.
template <class F>
decltype(auto) block_in_place(F&& f) {
  detail::BlockInPlaceScope scope;
  return std::forward<F>(f)();
}

// ---------------------------------------------------------------------------
// Driving a pollable on the calling thread.

namespace detail {
// The wake-up target of one thread that drives pollables itself. A wake sets
// a flag and signals the thread; no wake is lost between a poll and a park.
//
// It is also the thread's direct wait: with descriptors watched, a park waits
// in poll() on them and on a wake descriptor of its own (made on the first
// watch), which wake() writes; without, it waits on the condition variable.
// Either way the watches are dropped when the park returns.
class Parker final : public WakeTarget, public DirectWait {
 public:
  ~Parker() override;
  void wake() noexcept override;
  // Waits until woken or a watched descriptor is ready (consumes the wake).
  void park();
  // Same, or until the instant; true if woken or a descriptor was ready.
  bool park_until(Instant deadline);
  // Owner thread only, while it drives a pollable.
  bool watch(int fd, std::uint32_t events, std::shared_ptr<DirectWaitSink> sink) override;
  void clear_watches() noexcept;

 private:
  struct Watch {
    int fd = -1;
    std::uint32_t events = 0;
    std::shared_ptr<DirectWaitSink> sink;
  };
  bool park_polling(std::optional<Instant> deadline);

  // The state bits. A wake sets kNotified; while the owner waits in poll()
  // (kPolling) the first wake also writes the wake descriptor (kSignalled).
  // The condition variable serves a park without watches: a wake that finds
  // the owner not polling passes through mutex_ before notifying it.
  static constexpr std::uint32_t kNotified = 1, kPolling = 2, kSignalled = 4;
  std::atomic<std::uint32_t> state_{0};
  std::mutex mutex_;
  std::condition_variable cv_;
  int wake_fd_ = -1;  // owner only, then read by wake() while kPolling is set
  std::array<Watch, 4> watches_;  // owner only
  std::size_t watch_count_ = 0;   // owner only
};

// This thread's parker and a waker for it.
Parker& current_parker();
const Waker& current_waker();

// Makes the parker the thread's direct wait while a pollable is driven with
// its waker; drops leftover watches when the outermost scope ends.
class DirectWaitScope {
 public:
  explicit DirectWaitScope(Parker& parker) noexcept;
  ~DirectWaitScope();
  DirectWaitScope(const DirectWaitScope&) = delete;
  DirectWaitScope& operator=(const DirectWaitScope&) = delete;

 private:
  Parker* parker_;
  Parker* previous_;
};
}  // namespace detail

// Drives p on the calling thread (not a worker, unless inside block_in_place)
// until ready; timers and spawned tasks keep running on the workers.
template <class P>
auto block_on(P&& p) {
  detail::Parker& parker = detail::current_parker();
  detail::DirectWaitScope direct(parker);
  Context cx(detail::current_waker());
  for (;;) {
    auto r = p.poll(cx);
    if (r.ready()) return std::move(r).take();
    parker.park();
  }
}

// Drives op on the calling thread for at most `limit` (deadline = first step
// + limit; op polled before the time is checked on each step). Returns the
// outcome if it finished, nullopt if the time ran out (op is then suspended
// and may be handed to a task).
std::optional<OperationOutcome> run_for(PortOperation& op, std::chrono::nanoseconds limit);

// ---------------------------------------------------------------------------
// Timers.

namespace detail {
struct TimerNode {
  Instant deadline{};
  Waker waker;  // guarded by the runtime's lock while registered
  std::size_t heap_index = kUnregistered;  // guarded by the runtime's lock
  bool armed = false;                       // ever registered; owner only
  static constexpr std::size_t kUnregistered = static_cast<std::size_t>(-1);
};
}  // namespace detail

// Ready once the monotonic clock reaches the deadline. Registers with the
// runtime's timers only when it has to wait; dropping it unregisters.
class Sleep {
 public:
  explicit Sleep(Instant deadline) noexcept { node_.deadline = deadline; }
  // Only an unregistered sleep can be moved.
  Sleep(Sleep&& other) noexcept { node_.deadline = other.node_.deadline; }
  Sleep& operator=(Sleep&&) = delete;
  ~Sleep();

  Poll<std::monostate> poll(Context& cx);
  Instant deadline() const noexcept { return node_.deadline; }

 private:
  detail::TimerNode node_;
};

inline Sleep sleep_until(Instant deadline) noexcept { return Sleep(deadline); }
Sleep sleep_for(std::chrono::nanoseconds d) noexcept;

// ---------------------------------------------------------------------------
// Running a function on the blocking pool and waiting for it.

namespace detail {
struct BlockingShared;
}

// Ready with success once the function ran, or with the failure to start it.
class BlockingJoin {
 public:
  explicit BlockingJoin(std::shared_ptr<detail::BlockingShared> shared) noexcept : shared_(std::move(shared)) {}
  Poll<Status> poll(Context& cx);

 private:
  std::shared_ptr<detail::BlockingShared> shared_;
};

// Starts f on the blocking pool of the runtime; the join reports when it is done.
BlockingJoin spawn_blocking(std::function<void()> f);

}  // namespace corvalink
