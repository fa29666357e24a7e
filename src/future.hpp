// The completion record of a started operation (FutureCore), the conversion
// of operation outcomes to Python, completion and cancellation, the task that
// runs an operation on the runtime, and the bridge through which blocking
// methods wait.
//
// Python references that may be dropped on a thread without an attached
// thread state (a worker finishing a task, a core freed by its last holder)
// are kept in AnyThreadRef / PyObjectHolder: dropping one on such a thread
// queues the reference on a process-wide list, which the next thread that
// re-attaches through Detached (or calls release_pending) empties.
#pragma once

#include <chrono>
#include <functional>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "operation.hpp"
#include "python.hpp"
#include "runtime.hpp"

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

// --- outcomes in Python ---

// None, int, bytes, list of bytes, or the held object (a new reference).
py::Ref value_to_python(const OperationValue& value) noexcept;
py::Ref value_to_python(OperationValue&& value) noexcept;

// --- the completion record ---

struct DoneCallback {
  AnyThreadRef fn;
  AnyThreadRef future;   // the Future object it was registered on
  AnyThreadRef context;  // a contextvars.Context
  AnyThreadRef loop;     // the loop running at registration, or none
  // Registered by our own code, whose callables only hand the future on to
  // a loop: safe to run on any of our threads.
  bool native = false;
};

struct LoopWaiter {
  AnyThreadRef loop;
  AnyThreadRef future;  // an asyncio future made by loop.create_future()
};

class FutureCore : public std::enable_shared_from_this<FutureCore> {
 public:
  FutureCore() = default;
  FutureCore(const FutureCore&) = delete;
  FutureCore& operator=(const FutureCore&) = delete;

  static std::shared_ptr<FutureCore> make_pending() { return std::make_shared<FutureCore>(); }
  static std::shared_ptr<FutureCore> make_finished(OperationOutcome outcome) {
    auto core = std::make_shared<FutureCore>();
    core->outcome_.emplace(std::move(outcome));
    return core;
  }

  bool finished() const;
  // Waits (the caller has detached) until finished or the time passed; true
  // if finished.
  bool wait_for(std::chrono::nanoseconds limit) const;
  // Waits until finished (detached caller).
  void wait() const;

  // The outcome in Python: the value (a new object each time), or null with
  // the exception raised (the cached exception with an empty traceback, or a
  // new CancelledError). Only for a finished core.
  py::Ref take_outcome() noexcept;
  // The outcome as an object to hand to a loop: a value, or an exception
  // instance (is_error set). Null with an exception if that failed.
  py::Ref outcome_object(bool& is_error) noexcept;
  // The exception instance kept for an error outcome (a new reference).
  py::Ref cached_exception() noexcept;

  // Registration while pending; false (nothing stored) when already finished.
  bool add_waiter(LoopWaiter&& waiter);
  bool add_callback(std::shared_ptr<DoneCallback> callback);
  // Takes out every pending callback for which matches(callback) holds and
  // returns them (to be dropped by the caller, outside the lock). matches
  // runs under the core's lock, so it must not call into Python (compare
  // objects by identity only).
  template <class Match>
  std::vector<std::shared_ptr<DoneCallback>> take_callbacks_if(Match&& matches) {
    std::vector<std::shared_ptr<DoneCallback>> removed, kept;
    std::lock_guard lock(mutex_);
    for (auto& cb : callbacks_) (matches(*cb) ? removed : kept).push_back(std::move(cb));
    callbacks_ = std::move(kept);
    return removed;
  }

  // New references to the pending callbacks, in registration order.
  std::vector<std::shared_ptr<DoneCallback>> callbacks_snapshot() const;

  // Whether the finished outcome is the cancellation kind.
  bool cancelled() const;
  // Whether the core finished with an error (of any kind).
  bool failed() const;
  // A copy of the finished outcome (nullopt while pending).
  std::optional<OperationOutcome> outcome_copy() const;

 private:
  friend bool complete(FutureCore& core, OperationOutcome outcome) noexcept;
  friend bool cancel_core(FutureCore& core) noexcept;
  friend bool attach_task(FutureCore& core, TaskHandle task) noexcept;

  mutable std::mutex mutex_;
  mutable std::condition_variable finished_cv_;
  std::optional<OperationOutcome> outcome_;
  std::vector<LoopWaiter> waiters_;
  std::vector<std::shared_ptr<DoneCallback>> callbacks_;
  TaskHandle task_;
  AnyThreadRef exception_object_;
};

using CorePtr = std::shared_ptr<FutureCore>;

// Finishes a pending core with the outcome and publishes it (condition
// variable, loop waiters, done-callbacks). False if it was already finished.
// Any thread, attached or not.
bool complete(FutureCore& core, OperationOutcome outcome) noexcept;
// Finishes a pending core as cancelled, then aborts its task. Attached caller.
bool cancel_core(FutureCore& core) noexcept;
// Stores the task handle in a pending core (a finished core drops it).
bool attach_task(FutureCore& core, TaskHandle task) noexcept;

// Runs the callback: loop.<method>(fn, future, context=context) with a loop,
// context.run(fn, future) without one. Errors are reported as unraisable.
// Attached caller.
void invoke_done_callback(const DoneCallback& callback, const char* method) noexcept;

// Delivers an outcome into an asyncio future, as deliver_outcome does on the
// loop: nothing if it is done already, else set_result, cancel (for a
// CancelledError) or set_exception. Null with the exception if a call raised.
PyObject* deliver_into(PyObject* asyncio_future, PyObject* outcome, bool is_error) noexcept;

// Drops an operation that will not run, detached (its clean-up may take port
// locks), and raises the error that stopped it. Attached caller.
void refuse_operation(OperationPtr op, const PortError& error) noexcept;

// The message of a task that ended without an outcome.
inline PortError operation_panicked() { return PortError::failure("the operation panicked"); }

// The spawn-only start: a pending core and a task on rt that drives op and
// completes the core. Needs no attached thread.
CorePtr spawn_operation(Runtime& rt, OperationPtr op);

// How start_operation starts an operation: stepped once on the calling
// thread first (a finished first step needs no task), or always as a task.
enum class StartForm : std::uint8_t { FirstStep, SpawnOnly };

// Starts op for an asynchronous caller (attached) and returns its core; null
// with the exception raised when the runtime cannot be used here. A first
// step that finishes starts no thread; a task builds the runtime.
CorePtr start_operation(OperationPtr op, StartForm form) noexcept;

// --- the Python classes of corvalink.aio ---

// Process-wide classes (borrowed; null with an exception if creation failed).
PyObject* future_type() noexcept;
PyObject* ready_type() noexcept;
PyObject* deferred_type() noexcept;

// A Future object around the core.
py::Ref make_future(CorePtr core) noexcept;
// start_operation, then the Future around it.
PyObject* start_future(OperationPtr op, StartForm form) noexcept;
// A finished Future holding the object (a new reference is taken).
PyObject* finished_future(PyObject* value) noexcept;
// What awaiting a finished future iterates.
py::Ref make_ready(py::Ref value) noexcept;
// A coroutine whose first step runs work (attached): a new reference, or
// null with the exception set.
using DeferredWork = std::function<PyObject*()>;
py::Ref make_deferred(DeferredWork work) noexcept;

// contextvars.copy_context() (a new reference, or null with the exception).
PyObject* copy_context() noexcept;

// Registers a callback from native code: context given, no loop, so it runs
// on the completing thread (or at once when the core finished). fn is called
// with future as its argument.
bool add_native_done_callback(const CorePtr& core, PyObject* fn, PyObject* future, PyObject* context) noexcept;

// Runs op to completion for a blocking method: up to 50 ms on the calling
// thread, then as a task while the caller waits in 50 ms slices, checking
// for signals. Returns the converted value or null with the exception set.
PyObject* run_blocking(OperationPtr op) noexcept;

// Serial.read(size) and Serial.write(data) the same way, through the
// flattened read and write while they apply. The data is only borrowed.
PyObject* read_blocking(const std::shared_ptr<PortHandle>& port, std::size_t size) noexcept;
PyObject* write_blocking(const std::shared_ptr<PortHandle>& port, std::span<const std::uint8_t> data) noexcept;

}  // namespace corvalink
