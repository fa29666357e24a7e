// An operation run to its end, and the record of how it ended.
//
// An OperationTask is at once the task that drives one port operation (it is
// the operation's waker, queued on the runtime's workers or run by the
// readiness thread when it is woken) and the record of its outcome that the
// operation's callers share: the blocking bridge waits on it, a Future
// object reads it, a transport is told when it finished. One allocation, no
// mutex or condition variable of its own: a word lock guards the record, and
// threads that block on it sleep in a process-wide table of condition
// variables.
//
// Cancellation stops the operation before it is published: cancel() takes
// the task when no step is under way (waiting out one that is), asks the
// operation whether it had an effect, and drops it. An operation without an
// effect ends as cancelled (a read gives back what it took as it is
// dropped); one that moved bytes ends with that outcome instead (a write's
// count). So cancel() returning true means the operation did nothing.
//
// A read's bytes that nobody receives are never lost: give_back() returns
// them to the port's input when the caller who would have received them
// goes away (a cancelled await), and a task dropped by everyone with its
// bytes unreceived gives them back too.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "engine/operation.hpp"
#include "engine/port.hpp"
#include "engine/runtime.hpp"
#include "engine/word_lock.hpp"

namespace corvalink {

// An owned reference to a reference-counted object (a WakeTarget).
template <class T>
class RefPtr {
 public:
  RefPtr() noexcept = default;
  static RefPtr adopt(T* p) noexcept { return RefPtr(p); }
  static RefPtr share(T* p) noexcept {
    if (p) p->add_ref();
    return RefPtr(p);
  }
  RefPtr(const RefPtr& o) noexcept : p_(o.p_) {
    if (p_) p_->add_ref();
  }
  RefPtr(RefPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  template <class U>
    requires std::is_convertible_v<U*, T*>
  RefPtr(RefPtr<U>&& o) noexcept : p_(o.release()) {}
  RefPtr& operator=(RefPtr o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~RefPtr() {
    if (p_) p_->release();
  }
  T* get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  T& operator*() const noexcept { return *p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  T* release() noexcept { return std::exchange(p_, nullptr); }
  void reset() noexcept { RefPtr().swap(*this); }
  void swap(RefPtr& o) noexcept { std::swap(p_, o.p_); }

 private:
  explicit RefPtr(T* p) noexcept : p_(p) {}
  T* p_ = nullptr;
};

class OperationTask;

// Told once a task finished: called on the thread that finished it (any
// thread, attached to the interpreter or not), with no lock of the task
// held. The task owns a registered subscriber until it calls finished(),
// which takes it over (it deletes itself or hands itself on).
class Subscriber {
 public:
  virtual ~Subscriber() = default;
  virtual void finished(OperationTask& task) noexcept = 0;

 private:
  friend class OperationTask;
  Subscriber* next_ = nullptr;
};

// The message of a task that ended without an outcome.
inline PortError operation_panicked() { return PortError::failure("the operation panicked"); }

class OperationTask : public detail::TaskBase, private OutcomeSink {
 public:
  enum class Phase : std::uint8_t {
    Running,    // the operation runs (or waits)
    Finishing,  // it finished, but the outcome is not published yet
    Finished,   // published: final
  };
  // How the task starts: its first step on the creating thread, or queued.
  enum class Start : std::uint8_t { FirstStepHere, Queued };

  OperationTask(const OperationTask&) = delete;
  OperationTask& operator=(const OperationTask&) = delete;

  // --- starting ---

  // The first step (for a task created with FirstStepHere), on the calling
  // thread, detached from the interpreter, polled with this task's waker.
  // True if the operation finished: its outcome is published, or with
  // `defer` kept back (Finishing) until finish_deferred(). False: the task
  // goes on where the operation waits, woken like any task.
  bool first_step(bool defer) noexcept;
  // Queues a task created with Queued on the runtime (which is built if
  // need be). The runtime must be usable here (not a forked child).
  void spawn() noexcept;

  // --- the record ---

  Phase phase() const noexcept { return phase_.load(std::memory_order_acquire); }
  bool finished() const noexcept { return phase() == Phase::Finished; }
  // Publishes a Finishing outcome; nothing if it was published already.
  void finish_deferred() noexcept;

  // Stops the operation if it has not finished; true when it had no effect
  // and the task now ends cancelled. False when it finished (or is
  // Finishing) already, or when it had an effect, which is then its outcome.
  // Waits out a step under way on another thread (a few microseconds); a
  // caller attached to the interpreter detaches first. Without publish_now
  // the subscribers are told by the caller's publish_pending() (once it
  // re-attached).
  bool cancel(bool publish_now = true) noexcept;
  void publish_pending() noexcept { publish(); }

  // Blocks until finished, or the time passed (true if finished). The
  // caller detaches from the interpreter first.
  bool wait_for(std::chrono::nanoseconds limit) noexcept;

  // The published outcome, for someone who only looks at it (nullopt while
  // not finished).
  std::optional<OperationOutcome> outcome_copy() const;
  // The published outcome for a caller who receives it: a read's bytes count
  // as delivered from now on.
  std::optional<OperationOutcome> receive();
  bool cancelled() const noexcept;
  bool failed() const noexcept;
  // The kind of the value a successful outcome carries (variant index).
  std::optional<std::size_t> value_kind() const noexcept;

  // A read's bytes that nobody received go back to the port's input, and the
  // outcome becomes a cancellation. True if it gave something back.
  bool give_back() noexcept;

  // --- subscribers (in registration order) ---

  // Registers s; false (nothing taken) when the outcome is published already.
  bool subscribe(Subscriber* s) noexcept;
  // Takes out the registered subscribers for which match(s) holds (called
  // under the task's lock: plain comparisons only); the caller owns them.
  template <class Match>
  std::vector<Subscriber*> unsubscribe_if(Match&& match) {
    std::vector<Subscriber*> out;
    std::lock_guard lock(lock_);
    Subscriber** link = &subscribers_;
    while (Subscriber* s = *link) {
      if (match(*s)) {
        *link = s->next_;
        s->next_ = nullptr;
        out.push_back(s);
      } else {
        link = &s->next_;
      }
    }
    return out;
  }

  // Calls f(s) for each registered subscriber, oldest last, under the
  // task's lock (no Python code may run in f; taking references is fine).
  template <class F>
  void for_each_subscriber(F&& f) const {
    std::lock_guard lock(lock_);
    for (Subscriber* s = subscribers_; s; s = s->next_) f(*s);
  }

  // A task that finished with `outcome` without running anything.
  static RefPtr<OperationTask> finished_with(OperationOutcome outcome);

  // Operations of one side take their places in call order, and so do their
  // outcomes: `earlier` is the task before this one on its side whose
  // outcome is still kept back; it is published before this one (its phase
  // turns Finished first). Set before the first step.
  void chain_after(RefPtr<OperationTask> earlier) noexcept { earlier_ = std::move(earlier); }

  // A read waiting on an event loop's poller (see LoopPoller) is finished by
  // that loop's thread. Whoever needs the outcome elsewhere (a blocking wait,
  // a callback outside that loop, another loop) calls this unless `mine` is
  // that poller: the read goes back to the readiness thread.
  void leave_loop_wait(const LoopPoller* mine = nullptr) noexcept {
    const LoopPoller* waiting = loop_wait();
    if (!waiting || waiting == mine || phase() != Phase::Running) return;
    if (source_)
      source_->kick_loop_reader();
    else
      wake();
  }

  // Callers who may receive the outcome (a Future object while it lives).
  // A read that finishes while there are none gives its bytes back at once.
  void add_receiver() noexcept { receivers_.fetch_add(1, std::memory_order_acq_rel); }
  void drop_receiver() noexcept { receivers_.fetch_sub(1, std::memory_order_acq_rel); }

  // A new task for op, to be started as `start` says, with one receiver (the
  // caller, who passes it on or drops it). `source` is the port a read takes
  // its bytes from (for give-back), or null. The creation reference goes to
  // the caller.
  static RefPtr<OperationTask> create(OperationPtr op, PortRef source, Start start);

 protected:
  OperationTask(OperationPtr op, PortRef source, Start start) noexcept;
  ~OperationTask() override;

  bool step() noexcept override;
  // The operation ended (still holding its side): the outcome is stored now,
  // so whoever comes next on that side finds it recorded. A read nobody can
  // receive any more gives its bytes back here.
  void ended(OperationOutcome& outcome) noexcept override;
  void after_done() noexcept override;
  void unrunnable(const PortError& error) noexcept override;
  void destroy() noexcept override;

 private:
  // Polls the operation once with this task as its waker; the outcome if it
  // finished (a fault gives "the operation panicked").
  std::optional<OperationOutcome> poll_once() noexcept;
  // Stores the outcome (the operation is gone by now). Unless deferred, the
  // subscribers are taken out for publish().
  void store(OperationOutcome outcome, bool defer) noexcept;
  // Wakes blocked waiters, then tells the subscribers taken by store().
  void publish() noexcept;
  // Turns the kept-back outcomes of the earlier tasks Finished, oldest
  // first, and returns them for publish().
  std::vector<RefPtr<OperationTask>> flip_earlier() noexcept;
  // Finishing → Finished, with the subscribers (and `earlier`, the earlier
  // tasks to publish first) taken for publish(); false if it was not
  // Finishing.
  bool flip_kept_back(std::vector<RefPtr<OperationTask>>* earlier = nullptr) noexcept;
  // The registered subscribers, oldest first (lock held).
  Subscriber* take_ordered_locked() noexcept;
  // The stored outcome as one value (lock held).
  OperationOutcome outcome_locked() const;
  // Bytes of a read outcome nobody received (taken out), or nothing.
  std::optional<ByteString> take_unreceived() noexcept;

  OperationPtr op_;  // owned by the thread that runs or holds the task
  PortRef source_;
  mutable WordLock lock_;
  std::atomic<Phase> phase_{Phase::Running};
  bool received_ = false;                      // guarded by lock_
  bool orphaned_ = false;                      // the last reference went; only a worker ends it
  std::atomic<bool> blocked_{false};           // someone sleeps in wait_for
  std::atomic<std::uint32_t> receivers_{1};
  bool defer_ = false;  // the first step keeps its outcome back
  std::uint64_t source_generation_ = 0;  // the opening of source_ a read's bytes came from
  // The outcome, once stored (phase past Running), guarded by lock_: the
  // value, or the error (kept apart, so a pending task carries no room for
  // an error's texts).
  OperationValue value_;
  std::unique_ptr<PortError> error_;
  Subscriber* subscribers_ = nullptr;          // guarded by lock_; newest first
  Subscriber* publishing_ = nullptr;           // guarded by lock_; taken by store(), oldest first
  RefPtr<OperationTask> earlier_;              // guarded by lock_
  std::vector<RefPtr<OperationTask>> earlier_flipped_;  // guarded by lock_; published first by publish()
};

using TaskRef = RefPtr<OperationTask>;

}  // namespace corvalink
