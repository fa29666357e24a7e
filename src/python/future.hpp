// Operations started from Python and how their outcomes reach Python: the
// conversion of outcomes, the references that may be dropped on any thread,
// entering the interpreter from our own threads, the per-loop inbox through
// which outcomes reach an event loop, the start of an operation for an
// asynchronous caller, and the blocking bridge.
//
// Outcomes bound for one event loop are handed over in batches: a finished
// task tells its subscribers, a subscriber bound to a loop goes into that
// loop's inbox, and one `call_soon_threadsafe` of a ticket delivers, in
// completion order, everything that came in since the previous hand-over.
// A ticket the loop drops without running it (the loop was closed) hands
// what is left to each item's `loop_gone`.
//
// Python references that may be dropped on a thread without an attached
// thread state (a worker finishing a task, a task freed by its last holder)
// are kept in AnyThreadRef: dropping one on such a thread queues the
// reference on a process-wide list, which the next thread that re-attaches
// through Detached (or calls release_pending) empties.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "engine/operation.hpp"
#include "engine/operation_task.hpp"
#include "python/python.hpp"
#include "engine/runtime.hpp"

namespace corvalink {

class PortHandle;

// --- references that may be dropped on any thread ---

// Releases the reference now if this thread is attached, else queues it.
void release_anywhere(PyObject* object) noexcept;
// Releases the queued references (the calling thread must be attached).
void release_pending() noexcept;

class AnyThreadRef {
 public:
  AnyThreadRef() noexcept = default;
  explicit AnyThreadRef(py::Ref r) noexcept : p_(r.release()) {}
  AnyThreadRef(AnyThreadRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  AnyThreadRef& operator=(AnyThreadRef&& o) noexcept {
    if (this != &o) {
      reset();
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  AnyThreadRef(const AnyThreadRef&) = delete;
  AnyThreadRef& operator=(const AnyThreadRef&) = delete;
  ~AnyThreadRef() { reset(); }

  PyObject* get() const noexcept { return p_; }
  // A new reference (attached thread only).
  py::Ref ref() const noexcept { return py::Ref::borrow(p_); }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  void reset() noexcept {
    if (p_) release_anywhere(std::exchange(p_, nullptr));
  }

 private:
  PyObject* p_ = nullptr;
};

// The Python object carried by an OperationValue of the object kind.
struct PyObjectHolder {
  explicit PyObjectHolder(py::Ref o) noexcept : object(std::move(o)) {}
  AnyThreadRef object;
};

// Detaches the calling thread from the interpreter for a scope; re-attaching
// releases the queued references.
class Detached {
 public:
  Detached() noexcept : state_(PyEval_SaveThread()) {}
  ~Detached() {
    PyEval_RestoreThread(state_);
    release_pending();
  }
  Detached(const Detached&) = delete;
  Detached& operator=(const Detached&) = delete;

 private:
  PyThreadState* state_;
};

// Runs f with the thread detached and returns its result.
template <class F>
decltype(auto) detached(F&& f) {
  Detached d;
  return std::forward<F>(f)();
}

// Enters the interpreter for a scope from a thread that may not be attached
// (one of our workers, the readiness thread). ok() is false when that is not
// possible: the interpreter is finalizing (learnt from our own exit hook,
// never by looking at the interpreter's state from here), or this is an
// interpreter thread that detached itself and cannot re-enter here.
class Attached {
 public:
  Attached() noexcept;
  ~Attached();
  Attached(const Attached&) = delete;
  Attached& operator=(const Attached&) = delete;
  bool ok() const noexcept { return how_ != Failed; }

 private:
  enum How : std::uint8_t { Already, Entered, EnteredToKeep, Failed } how_ = Failed;
  PyGILState_STATE gil_{};
};

// Installs the exit hook that tells our threads the interpreter is going
// away (atexit), and marks it open. Module execution calls it.
int watch_interpreter_exit() noexcept;
// Whether our threads may still enter the interpreter.
bool interpreter_open() noexcept;

// --- outcomes in Python ---

// None, int, bytes, list of bytes, or the held object (a new reference).
py::Ref value_to_python(const OperationValue& value) noexcept;
// The exception for an error outcome: a new CancelledError for the
// cancellation kind, else the mapping of the error.
py::Ref error_to_python(const PortError& error) noexcept;
// The outcome as Python: the value, or null with its exception raised.
py::Ref outcome_to_python(const OperationOutcome& outcome) noexcept;

// --- event-loop inboxes ---

class LoopInbox;

// Something handed to an event loop through its inbox.
//
// An item is bound to its inbox from its creation (a subscriber, which waits
// in an operation for its end) or from its push until it is deleted. The
// Python references it holds are kept in held_, where the inbox reaches
// them: the loop's doorbell shows them to the garbage collector, since
// they only ever reach Python through that loop, and when the collector
// finds the loop unreachable they are dropped (the item is then never
// delivered: the loop will not run again).
class InboxItem {
 public:
  InboxItem() noexcept = default;
  // Bound at once, holding the given references.
  InboxItem(std::shared_ptr<LoopInbox> inbox, py::Ref a = {}, py::Ref b = {}, py::Ref c = {}) noexcept;
  virtual ~InboxItem();
  InboxItem(const InboxItem&) = delete;
  InboxItem& operator=(const InboxItem&) = delete;
  // On the loop's thread, attached, from the inbox's drain. Owns itself
  // from here: deletes itself (or hands itself on). It may leave
  // SystemExit or KeyboardInterrupt raised (exit_raised), nothing else: the
  // drain stops there, the exception leaves the loop's callback as it does
  // from asyncio's own, and the rest is delivered at the loop's next turn.
  virtual void deliver() noexcept = 0;
  // The loop went away before the item was delivered (it was closed, or
  // dropped what it was to run, or was collected): on whatever thread found
  // out, attached. Owns itself from here, like deliver(). The references
  // may be gone already (null).
  virtual void loop_gone() noexcept = 0;

 protected:
  // The inbox the item is bound to (null until then).
  const std::shared_ptr<LoopInbox>& bound_inbox() const noexcept { return inbox_; }
  // The item's Python references; null once the loop was found unreachable.
  AnyThreadRef held_[3];

 private:
  friend class LoopInbox;
  InboxItem* next_ = nullptr;  // in the queue; guarded by the inbox's mutex
  // The inbox's list of bound items, guarded by its mutex.
  std::shared_ptr<LoopInbox> inbox_;
  InboxItem* bound_prev_ = nullptr;
  InboxItem* bound_next_ = nullptr;
};

// Where a loop learns that items wait: on a loop with a selector, a doorbell
// (an eventfd in the loop's own poller, whose descriptor the loop watches
// with add_reader), rung by any thread without entering the interpreter; on
// any other loop, a ticket handed over with call_soon_threadsafe. Either way
// one wake-up delivers everything queued since the last one. The poller
// also carries the reads that wait on this loop (LoopPoller), whose steps
// the loop's thread runs when it answers.
class LoopInbox : public std::enable_shared_from_this<LoopInbox> {
 public:
  // The inbox of `loop`, made on first use (attached caller; the doorbell is
  // installed when the caller runs that loop).
  static std::shared_ptr<LoopInbox> of(PyObject* loop) noexcept;
  ~LoopInbox();

  // Queues the item; the first item since the last hand-over schedules one.
  // Any thread; enters the interpreter only to hand over a ticket.
  void push(InboxItem* item) noexcept;
  // The loop (a new reference, attached caller), or null if it is gone.
  py::Ref loop() const noexcept;
  // Whether this is the inbox of that loop object.
  bool names(PyObject* loop) const noexcept;

  // The hand-over's two ends (future.cpp): run by the loop, or dropped unrun.
  // drain() may leave SystemExit or KeyboardInterrupt raised (see deliver).
  void drain() noexcept;
  // `release_set`: no selector holds the poller's descriptor any more.
  void gone(bool release_set = false) noexcept;
  // For the loop's doorbell in the garbage collector: visits the Python
  // references of the bound items, and drops them when the collector found
  // the loop unreachable (the loop is then gone, as for gone()).
  int traverse(visitproc visit, void* arg) noexcept;
  void abandon() noexcept;
  // The poller's descriptor is readable: the reads that became ready take
  // their next step, and what is queued is delivered.
  void answer() noexcept;
  // The loop's poller, once installed (null without one, or once the loop
  // is gone). Compared, or used on the loop's thread.
  LoopPoller* poller() const noexcept {
    return doorbell_.load(std::memory_order_acquire) >= 0 ? poller_.get() : nullptr;
  }

  LoopInbox(PyObject* loop, py::Ref weak) noexcept : loop_id_(loop), loop_weak_(std::move(weak)) {}

 private:
  // Hands the items over (rings, or a new ticket); the caller is attached
  // for a ticket.
  void schedule() noexcept;
  // The ticket form of schedule(); attached caller.
  void schedule_ticket() noexcept;
  void ring() noexcept;
  bool on_loop_thread() const noexcept;
  // Installs the doorbell if the calling thread runs the loop (attached).
  void install_doorbell() noexcept;
  friend class InboxItem;
  void link_bound_locked(InboxItem* item) noexcept;
  void unbind(InboxItem* item) noexcept;
  // Takes the queue and the doorbell out (under the lock); gone() and
  // abandon() then tell the items and close the doorbell.
  InboxItem* close_locked(int& doorbell) noexcept;
  void closed(InboxItem* list, int doorbell, bool release_set) noexcept;
  // gone() and abandon(): `collected` drops the bound items' references.
  void shut(bool release_set, bool collected) noexcept;

  PyObject* loop_id_;       // compared only, never dereferenced unless alive
  AnyThreadRef loop_weak_;  // a weak reference to the loop
  std::mutex mutex_;
  InboxItem* head_ = nullptr;  // guarded by mutex_
  InboxItem* tail_ = nullptr;
  InboxItem* bound_ = nullptr;  // guarded by mutex_: every bound item
  bool scheduled_ = false;     // a hand-over is on its way or the drain runs
  bool closed_ = false;        // the loop went away: deliver nothing more
  std::atomic<int> doorbell_{-1};  // the eventfd, once installed
  std::shared_ptr<LoopPoller> poller_;  // set before doorbell_, then kept
  bool doorbell_tried_ = false;    // guarded by mutex_
};

// A subscriber that delivers on an event loop: told on the finishing
// thread, it queues itself in the loop's inbox.
class LoopSubscriber : public Subscriber, public InboxItem {
 public:
  explicit LoopSubscriber(std::shared_ptr<LoopInbox> inbox, py::Ref a = {}, py::Ref b = {}, py::Ref c = {}) noexcept
      : InboxItem(std::move(inbox), std::move(a), std::move(b), std::move(c)) {}
  void finished(OperationTask& task) noexcept override {
    task_ = TaskRef::share(&task);
    LoopInbox* inbox = bound_inbox().get();
    inbox->push(this);
  }
  const std::shared_ptr<LoopInbox>& inbox() const noexcept { return bound_inbox(); }

 protected:
  OperationTask& task() const noexcept { return *task_; }

 private:
  TaskRef task_;
};

// SystemExit or KeyboardInterrupt is raised: what asyncio's callback runner
// lets out of the loop instead of reporting it.
bool exit_raised() noexcept;
// After a failed call in a callback run by the loop: SystemExit and
// KeyboardInterrupt stay raised (true), anything else is reported as
// unraisable for `where`.
bool keep_exit_else_unraisable(PyObject* where) noexcept;

// The running loop of this thread (a borrowed reference) or null (no
// loop, or null with an exception).
PyObject* running_loop_or_null(bool& failed) noexcept;

// --- starting operations for asynchronous callers ---

// How an operation starts: a first step on the calling thread (a finished
// first step needs no task), a first step whose outcome is published only
// after the call returned (the caller's Future is pending on return; the
// step takes the operation's place on its side at once), or always a task.
enum class StartForm : std::uint8_t { FirstStep, FirstStepPending, SpawnOnly };

// Starts op for an attached caller and returns its task, or null with the
// exception raised when the runtime cannot be used here. `source` is the
// port of a read (its bytes are given back if nobody receives them);
// `write_side` the port of a write, flush or break (whose outcomes are then
// published in call order with the kept-back outcomes of writes before it).
TaskRef start_operation(OperationPtr op, StartForm form, PortRef source, PortHandle* write_side = nullptr) noexcept;

// Drops an operation that will not run, detached (its clean-up may take port
// locks), and raises the error that stopped it. Attached caller.
void refuse_operation(OperationPtr op, const PortError& error) noexcept;

// Cancels for an attached caller: the wait for a step under way is detached,
// the outcome published attached.
bool cancel_task(OperationTask& task) noexcept;

// Publishes a kept-back outcome for an attached caller.
inline void finish_deferred(OperationTask& task) noexcept { task.finish_deferred(); }

// --- the Python classes of corvalink.aio ---

// Process-wide classes (borrowed; null with an exception if creation failed).
PyObject* future_type() noexcept;
PyObject* ready_type() noexcept;
PyObject* deferred_type() noexcept;

// A Future object around the task.
py::Ref make_future(TaskRef task) noexcept;
// start_operation, then the Future around it.
PyObject* start_future(OperationPtr op, StartForm form, PortRef source, PortHandle* write_side = nullptr) noexcept;
// A finished Future holding the object (a new reference is taken). `undo`,
// when given, is called if an await of the future is cancelled before the
// awaiting code received the value (what the value stood for is undone).
PyObject* finished_future(PyObject* value, PyObject* undo = nullptr) noexcept;
// A coroutine whose first step runs work (attached): a new reference, or
// null with the exception set. With `undo`, the coroutine yields once after
// the work (the loop runs the callbacks the work scheduled, as asyncio's
// connection helpers wait for connection_made) and finishes with the result
// on its next step; ended before that (thrown into, closed, dropped), it
// hands the result to undo instead.
using DeferredWork = std::function<PyObject*()>;
using DeferredUndo = std::function<void(PyObject* result)>;
py::Ref make_deferred(DeferredWork work, DeferredUndo undo = nullptr) noexcept;

// contextvars.copy_context() (a new reference, or null with the exception).
PyObject* copy_context() noexcept;

// --- the blocking bridge ---

// Runs op to completion for a blocking method: up to 50 ms on the calling
// thread, then as a task while the caller waits in 50 ms slices, checking
// for signals. Returns the converted value or null with the exception set.
PyObject* run_blocking(OperationPtr op) noexcept;

// Serial.read(size) and Serial.write(data) the same way, through the
// flattened read and write while they apply. The data is only borrowed.
PyObject* read_blocking(const std::shared_ptr<PortHandle>& port, std::size_t size) noexcept;
PyObject* write_blocking(const std::shared_ptr<PortHandle>& port, std::span<const std::uint8_t> data) noexcept;

}  // namespace corvalink
