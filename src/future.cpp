#include "future.hpp"

#include <atomic>

#include "errors_python.hpp"

namespace corvalink {

// ---------------------------------------------------------------------------
// References dropped on threads without an attached thread state.

namespace {

struct PendingReleases {
  std::mutex mutex;
  std::vector<PyObject*> objects;
  std::atomic<bool> any{false};
};

PendingReleases& pending_releases() noexcept {
  static PendingReleases* list = new PendingReleases;  // never torn down
  return *list;
}

bool attached() noexcept { return PyThreadState_GetUnchecked() != nullptr; }

}  // namespace

void release_anywhere(PyObject* object) noexcept {
  if (!object) return;
  if (attached()) {
    Py_DECREF(object);
    return;
  }
  PendingReleases& list = pending_releases();
  std::lock_guard lock(list.mutex);
  list.objects.push_back(object);
  list.any.store(true, std::memory_order_release);
}

void release_pending() noexcept {
  PendingReleases& list = pending_releases();
  if (!list.any.load(std::memory_order_acquire)) return;
  std::vector<PyObject*> objects;
  {
    std::lock_guard lock(list.mutex);
    objects.swap(list.objects);
    list.any.store(false, std::memory_order_release);
  }
  // Finalizers may run here; no lock of ours is held.
  for (PyObject* o : objects) Py_DECREF(o);
}

// ---------------------------------------------------------------------------
// Values.

namespace {

py::Ref bytes_object(const ByteString& b) noexcept {
  return py::Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data()),
                                                  static_cast<Py_ssize_t>(b.size())));
}

}  // namespace

py::Ref value_to_python(const OperationValue& value) noexcept {
  struct Visitor {
    py::Ref operator()(std::monostate) const noexcept { return py::Ref::borrow(Py_None); }
    py::Ref operator()(std::uint64_t n) const noexcept { return py::Ref::steal(PyLong_FromUnsignedLongLong(n)); }
    py::Ref operator()(const ByteString& b) const noexcept { return bytes_object(b); }
    py::Ref operator()(const std::vector<ByteString>& lines) const noexcept {
      py::Ref list = py::Ref::steal(PyList_New(static_cast<Py_ssize_t>(lines.size())));
      if (!list) return {};
      for (std::size_t i = 0; i < lines.size(); ++i) {
        py::Ref item = bytes_object(lines[i]);
        if (!item) return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
      }
      return list;
    }
    py::Ref operator()(const std::shared_ptr<PyObjectHolder>& holder) const noexcept {
      if (!holder || !holder->object) return py::Ref::borrow(Py_None);
      return holder->object.ref();
    }
  };
  return std::visit(Visitor{}, value);
}

py::Ref value_to_python(OperationValue&& value) noexcept {
  OperationValue v = std::move(value);
  return value_to_python(static_cast<const OperationValue&>(v));
}

// ---------------------------------------------------------------------------
// FutureCore.

bool FutureCore::finished() const {
  std::lock_guard lock(mutex_);
  return outcome_.has_value();
}

bool FutureCore::wait_for(std::chrono::nanoseconds limit) const {
  std::unique_lock lock(mutex_);
  return finished_cv_.wait_for(lock, limit, [&] { return outcome_.has_value(); });
}

void FutureCore::wait() const {
  std::unique_lock lock(mutex_);
  finished_cv_.wait(lock, [&] { return outcome_.has_value(); });
}

bool FutureCore::cancelled() const {
  std::lock_guard lock(mutex_);
  return outcome_ && !outcome_->has_value() && outcome_->error().kind() == ErrorKind::Cancelled;
}

bool FutureCore::failed() const {
  std::lock_guard lock(mutex_);
  return outcome_ && !outcome_->has_value();
}

std::optional<OperationOutcome> FutureCore::outcome_copy() const {
  std::lock_guard lock(mutex_);
  return outcome_;
}

py::Ref FutureCore::cached_exception() noexcept {
  std::optional<PortError> error;
  try {
    std::lock_guard lock(mutex_);
    if (exception_object_) return exception_object_.ref();
    if (outcome_ && !outcome_->has_value()) error = outcome_->error();
  } catch (...) {
    PyErr_NoMemory();
    return {};
  }
  if (!error) {
    PyErr_SetString(PyExc_RuntimeError, "the operation did not fail");
    return {};
  }
  py::Ref made = to_python_exception(*error);
  if (!made) return {};
  py::Ref result;
  {
    std::lock_guard lock(mutex_);
    if (!exception_object_) exception_object_ = AnyThreadRef(made);
    result = exception_object_.ref();
  }
  return result;  // `made` (the loser, if another thread won) is dropped unlocked
}

py::Ref FutureCore::outcome_object(bool& is_error) noexcept {
  std::optional<OperationOutcome> copy;
  try {
    copy = outcome_copy();  // a large read result may not fit twice
  } catch (...) {
    PyErr_NoMemory();
    return {};
  }
  if (!copy) {
    PyErr_SetString(PyExc_RuntimeError, "the operation has not finished");
    return {};
  }
  if (copy->has_value()) {
    is_error = false;
    return value_to_python(std::move(**copy));
  }
  is_error = true;
  if (copy->error().kind() == ErrorKind::Cancelled) {
    PyObject* type = cancelled_error_type();
    if (!type) return {};
    return py::Ref::steal(PyObject_CallNoArgs(type));
  }
  py::Ref exc = cached_exception();
  if (!exc) return {};
  return py::Ref::steal(PyObject_CallMethod(exc.get(), "with_traceback", "O", Py_None));
}

py::Ref FutureCore::take_outcome() noexcept {
  bool is_error = false;
  py::Ref obj = outcome_object(is_error);
  if (!obj || !is_error) return obj;
  PyErr_SetRaisedException(obj.release());
  return {};
}

bool FutureCore::add_waiter(LoopWaiter&& waiter) {
  std::lock_guard lock(mutex_);
  if (outcome_) return false;
  waiters_.push_back(std::move(waiter));
  return true;
}

bool FutureCore::add_callback(std::shared_ptr<DoneCallback> callback) {
  std::lock_guard lock(mutex_);
  if (outcome_) return false;
  callbacks_.push_back(std::move(callback));
  return true;
}

bool attach_task(FutureCore& core, TaskHandle task) noexcept {
  TaskHandle previous;
  std::lock_guard lock(core.mutex_);
  if (core.outcome_) return false;  // cancelled meanwhile: the task runs to its end
  previous = std::exchange(core.task_, std::move(task));
  return true;
}

std::vector<std::shared_ptr<DoneCallback>> FutureCore::callbacks_snapshot() const {
  std::lock_guard lock(mutex_);
  return callbacks_;
}

// ---------------------------------------------------------------------------
// Completion.

namespace {

// obj.name(arg): a single argument, even a tuple.
py::Ref call_method1(PyObject* obj, const char* name, PyObject* arg) noexcept {
  py::Ref bound = py::Ref::steal(PyObject_GetAttrString(obj, name));
  if (!bound) return {};
  return py::Ref::steal(PyObject_CallOneArg(bound.get(), arg));
}

}  // namespace

PyObject* deliver_into(PyObject* future, PyObject* outcome, bool is_error) noexcept {
  py::Ref done = py::Ref::steal(PyObject_CallMethod(future, "done", nullptr));
  if (!done) return nullptr;
  int is_done = PyObject_IsTrue(done.get());
  if (is_done < 0) return nullptr;
  if (is_done) Py_RETURN_NONE;
  py::Ref r;
  if (!is_error) {
    r = call_method1(future, "set_result", outcome);
  } else {
    PyObject* cancelled = cancelled_error_type();
    if (!cancelled) return nullptr;
    if (PyErr_GivenExceptionMatches(reinterpret_cast<PyObject*>(Py_TYPE(outcome)), cancelled))
      r = py::Ref::steal(PyObject_CallMethod(future, "cancel", nullptr));
    else
      r = call_method1(future, "set_exception", outcome);
  }
  if (!r) return nullptr;
  Py_RETURN_NONE;
}

namespace {

// deliver_outcome: self is (is_error, outcome, asyncio future).
PyObject* deliver_outcome(PyObject* self, PyObject*) noexcept {
  return py::guard([&]() -> PyObject* {
    return deliver_into(PyTuple_GET_ITEM(self, 2), PyTuple_GET_ITEM(self, 1), PyTuple_GET_ITEM(self, 0) == Py_True);
  });
}

PyMethodDef deliver_outcome_def = {"deliver_outcome", deliver_outcome, METH_NOARGS, nullptr};

void serve_waiter(FutureCore& core, const LoopWaiter& waiter) noexcept {
  py::Ref closed = py::Ref::steal(PyObject_CallMethod(waiter.loop.get(), "is_closed", nullptr));
  int is_closed = closed ? PyObject_IsTrue(closed.get()) : -1;
  if (is_closed < 0) {
    PyErr_WriteUnraisable(nullptr);
    return;
  }
  if (is_closed) return;  // its future is never resolved
  bool is_error = false;
  py::Ref outcome = core.outcome_object(is_error);
  py::Ref state, fn, r;
  if (outcome) state = py::Ref::steal(PyTuple_Pack(3, is_error ? Py_True : Py_False, outcome.get(), waiter.future.get()));
  if (state) fn = py::Ref::steal(PyCFunction_New(&deliver_outcome_def, state.get()));
  if (fn) r = py::Ref::steal(PyObject_CallMethod(waiter.loop.get(), "call_soon_threadsafe", "O", fn.get()));
  if (!r) PyErr_WriteUnraisable(nullptr);
}

}  // namespace

void invoke_done_callback(const DoneCallback& cb, const char* method) noexcept {
  py::Ref r;
  if (cb.loop) {
    py::Ref kwargs = py::Ref::steal(PyDict_New());
    py::Ref bound;
    if (kwargs && PyDict_SetItemString(kwargs.get(), "context", cb.context.get()) == 0)
      bound = py::Ref::steal(PyObject_GetAttrString(cb.loop.get(), method));
    if (bound) {
      PyObject* args[] = {cb.fn.get(), cb.future.get()};
      r = py::Ref::steal(PyObject_VectorcallDict(bound.get(), args, 2, kwargs.get()));
    }
  } else {
    r = py::Ref::steal(PyObject_CallMethod(cb.context.get(), "run", "OO", cb.fn.get(), cb.future.get()));
  }
  if (!r) PyErr_WriteUnraisable(cb.fn.get());
}

namespace {

using Waiters = std::vector<LoopWaiter>;
using Callbacks = std::vector<std::shared_ptr<DoneCallback>>;

// Serves the waiters, then the callbacks, entering the interpreter if this
// thread is not attached. False if the interpreter cannot be entered here.
// Set on a worker or the readiness thread once it keeps a thread state of
// its own: creating and destroying one for every completion costs more than
// the publication itself. These threads live as long as the process.
thread_local bool t_keeps_thread_state = false;

bool publish(FutureCore& core, Waiters& waiters, Callbacks& callbacks) noexcept {
  enum { Attached, Entered, EnteredToKeep } how = Attached;
  PyGILState_STATE gil{};
  if (!attached()) {
    if (!Py_IsInitialized() || Py_IsFinalizing()) return false;
    // A thread that released the interpreter itself cannot re-enter it here.
    if (PyGILState_GetThisThreadState() != nullptr && !t_keeps_thread_state) return false;
    gil = PyGILState_Ensure();
    how = !t_keeps_thread_state && (on_worker_thread() || running_from_io()) ? EnteredToKeep : Entered;
  }
  PyObject* pending_exception = PyErr_GetRaisedException();
  release_pending();
  for (const LoopWaiter& w : waiters) serve_waiter(core, w);
  for (const auto& cb : callbacks) invoke_done_callback(*cb, "call_soon_threadsafe");
  waiters.clear();
  callbacks.clear();
  PyErr_SetRaisedException(pending_exception);
  if (how == Entered) {
    PyGILState_Release(gil);
  } else if (how == EnteredToKeep) {
    // Detach, but keep the thread state (its count stays at one).
    t_keeps_thread_state = true;
    PyEval_SaveThread();
  }
  return true;
}

// The publication of a core finished on a thread that could not enter the
// interpreter, handed to a worker so that no awaiting task stays pending.
class PublishJob final : public Runtime::Job {
 public:
  PublishJob(CorePtr core, Waiters waiters, Callbacks callbacks) noexcept
      : core_(std::move(core)), waiters_(std::move(waiters)), callbacks_(std::move(callbacks)) {}
  Poll<std::monostate> poll(Context&) override {
    publish(*core_, waiters_, callbacks_);  // an interpreter that is gone takes nothing
    return std::monostate{};
  }

 private:
  CorePtr core_;
  Waiters waiters_;
  Callbacks callbacks_;
};

}  // namespace

namespace {

// Hands the publication to a worker; false if there is no runtime to take it.
bool publish_on_worker(FutureCore& core, Waiters& waiters, Callbacks& callbacks) noexcept {
  try {
    Result<Runtime*> rt = runtime();
    if (!rt) return false;
    (*rt)->spawn(std::make_unique<PublishJob>(core.shared_from_this(), std::move(waiters), std::move(callbacks)));
    return true;
  } catch (...) {
    return false;  // out of memory: the lists are dropped (their references queued)
  }
}

// Arbitrary Python code (a done-callback of a user) would hold up the
// readiness thread; scheduling on a loop and our own forwarding do not.
bool quick_to_publish(const Callbacks& callbacks) noexcept {
  for (const auto& cb : callbacks)
    if (!cb->loop && !cb->native) return false;
  return true;
}

}  // namespace

bool complete(FutureCore& core, OperationOutcome outcome) noexcept {
  Waiters waiters;
  Callbacks callbacks;
  TaskHandle task;
  {
    std::lock_guard lock(core.mutex_);
    if (core.outcome_) return false;
    task = std::move(core.task_);
    core.outcome_.emplace(std::move(outcome));
    waiters.swap(core.waiters_);
    callbacks.swap(core.callbacks_);
  }
  core.finished_cv_.notify_all();
  if (waiters.empty() && callbacks.empty()) return true;
  if (running_from_io() && !quick_to_publish(callbacks) && publish_on_worker(core, waiters, callbacks)) return true;
  if (publish(core, waiters, callbacks)) return true;
  // This thread cannot enter the interpreter: a worker publishes instead.
  if (Py_IsInitialized() && !Py_IsFinalizing()) publish_on_worker(core, waiters, callbacks);
  return true;
}

bool cancel_core(FutureCore& core) noexcept {
  TaskHandle task;
  {
    std::lock_guard lock(core.mutex_);
    task = std::move(core.task_);
  }
  bool changed = complete(core, std::unexpected(PortError::cancelled()));
  if (changed && task) task.abort();
  return changed;
}

// ---------------------------------------------------------------------------
// The task that runs an operation.

namespace {

class OperationTask final : public Runtime::Job {
 public:
  OperationTask(OperationPtr op, CorePtr core) noexcept : op_(std::move(op)), core_(std::move(core)) {}
  OperationTask(const OperationTask&) = delete;
  OperationTask& operator=(const OperationTask&) = delete;

  ~OperationTask() override {
    op_.reset();
    // The completion guard: a task that started and ends without an outcome
    // (a fault, or an abort while suspended) still finishes its core.
    if (armed_) complete(*core_, std::unexpected(operation_panicked()));
  }

  Poll<std::monostate> poll(Context& cx) override {
    armed_ = true;
    auto r = op_->poll(cx);
    if (r.pending()) return Pending;
    OperationOutcome outcome = std::move(r).take();
    op_.reset();
    complete(*core_, std::move(outcome));
    return std::monostate{};
  }

 private:
  OperationPtr op_;
  CorePtr core_;
  bool armed_ = false;
};

}  // namespace

namespace {

// The waker of a first step: it records a wake that comes before the task
// exists, and passes every wake on to the task once it does.
class FirstStepRelay final : public WakeTarget {
 public:
  void wake() noexcept override { pass(false); }
  void wake_from_io() noexcept override { pass(true); }

  // The task takes over; a wake already recorded wakes it now.
  void hand_to(Waker task) noexcept {
    bool woken = false;
    {
      std::lock_guard lock(mutex_);
      task_ = std::move(task);
      woken = woken_;
    }
    if (woken) task_.wake();
  }

 private:
  void pass(bool from_io) noexcept {
    Waker task;
    {
      std::lock_guard lock(mutex_);
      if (!task_) {
        woken_ = true;
        return;
      }
      task = task_;
    }
    if (from_io)
      task.wake_from_io();
    else
      task.wake();
  }

  std::mutex mutex_;
  Waker task_;  // set once, by hand_to
  bool woken_ = false;
};

}  // namespace

void refuse_operation(OperationPtr op, const PortError& error) noexcept {
  detached([&] { op.reset(); });
  py::raise(error);
}

CorePtr spawn_operation(Runtime& rt, OperationPtr op) {
  CorePtr core = FutureCore::make_pending();
  TaskHandle handle = rt.spawn(std::make_unique<OperationTask>(std::move(op), core));
  attach_task(*core, std::move(handle));
  return core;
}

CorePtr start_operation(OperationPtr op, StartForm form) noexcept {
  return py::guard<CorePtr>(nullptr, [&]() -> CorePtr {
    // The first step needs no runtime of its own: a read of buffered data
    // finishes without building it (and so without starting its threads).
    if (Status usable = runtime_usable(); !usable) {
      refuse_operation(std::move(op), usable.error());
      return nullptr;
    }
    // The first step is polled with a relay that the task takes over, so a
    // read that waits is woken straight from its timer or descriptor: its
    // task is not run again just to register itself.
    FirstStepRelay* relay = nullptr;
    Waker relay_waker;
    if (form == StartForm::FirstStep) {
      relay = new FirstStepRelay;
      relay_waker = Waker::adopt(relay);
      std::optional<OperationOutcome> done;
      {
        Detached d;
        try {
          Context cx(relay_waker);
          auto r = op->poll(cx);
          if (r.ready()) done.emplace(std::move(r).take());
        } catch (...) {
          done.emplace(std::unexpected(operation_panicked()));
        }
        // Dropping the operation may take port locks.
        if (done) op.reset();
      }
      if (done) return FutureCore::make_finished(std::move(*done));
    }
    Result<Runtime*> rt = runtime();
    if (!rt) {
      refuse_operation(std::move(op), rt.error());
      return nullptr;
    }
    if (!relay) return spawn_operation(**rt, std::move(op));
    CorePtr core = FutureCore::make_pending();
    auto [handle, waker] = (*rt)->spawn_suspended(std::make_unique<OperationTask>(std::move(op), core));
    attach_task(*core, std::move(handle));
    relay->hand_to(std::move(waker));
    return core;
  });
}

}  // namespace corvalink
