// The Python classes of corvalink.aio around an OperationTask: Future (done,
// result, wait, callbacks, await), the two small coroutine objects Ready
// (what awaiting a finished Future iterates) and Deferred (a coroutine whose
// first step does all its work), and the object an asyncio task waits on
// while a Future it awaits is pending.
//
// Awaiting a pending Future hands the awaiting task an object of ours that
// speaks the asyncio future protocol (`_asyncio_future_blocking`,
// `get_loop`, `add_done_callback`, `cancel`, `result`), so the task's wake-up
// is registered on the operation itself: when the operation finishes, the
// loop's inbox calls it directly, in the task's context, with no asyncio
// future and no callback in between. Cancelling the task cancels the
// operation through that object's `cancel`.
//
// A read's bytes are never lost to a cancellation that lands in an await:
// the value is taken from the operation only when the awaiting code is
// resumed with it; a cancellation thrown into the await instead gives the
// bytes back to the port if nobody received them.

#include <array>
#include <atomic>
#include <cmath>
#include <limits>
#include <unordered_map>

#include "python/errors_python.hpp"
#include "python/future.hpp"
#include "python/serial.hpp"

namespace corvalink {

namespace {

// --- cached module attributes ---

PyObject* module_attribute(py::OnceCell& cell, const char* module, const char* name) noexcept {
  return cell.get_or_init([&]() -> PyObject* {
    py::Ref m = py::Ref::steal(PyImport_ImportModule(module));
    if (!m) return nullptr;
    return PyObject_GetAttrString(m.get(), name);
  });
}

py::OnceCell get_running_loop_cell, invalid_state_cell, copy_context_cell;

PyObject* get_running_loop() noexcept {
  PyObject* f = module_attribute(get_running_loop_cell, "asyncio", "get_running_loop");
  return f ? PyObject_CallNoArgs(f) : nullptr;
}
PyObject* raise_invalid_state(const char* message) noexcept {
  PyObject* type = module_attribute(invalid_state_cell, "asyncio", "InvalidStateError");
  if (type) PyErr_SetString(type, message);
  return nullptr;
}

PyObject* none() noexcept { Py_RETURN_NONE; }
PyObject* boolean(bool b) noexcept { return Py_NewRef(b ? Py_True : Py_False); }

// StopIteration(value), raised so that a tuple or an exception stays one value.
PyObject* stop_iteration(PyObject* value) noexcept {
  PyObject* exc = PyObject_CallOneArg(PyExc_StopIteration, value);
  if (exc) PyErr_SetRaisedException(exc);
  return nullptr;
}

// throw(exception, _value=None, _traceback=None) of the coroutine classes:
// the exception instance to raise (a class is called), or null.
py::Ref thrown_exception(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  static constexpr std::array<const char*, 3> kNames = {"exception", "_value", "_traceback"};
  PyObject* a[3];
  if (!serial::bind_args("throw", kNames, 1, true, args, nargs, kwnames, a)) return {};
  PyObject* exception = a[0];
  py::Ref instance;
  if (PyType_Check(exception)) {
    instance = py::Ref::steal(PyObject_CallNoArgs(exception));
    if (!instance) return {};
  } else {
    instance = py::Ref::borrow(exception);
  }
  if (!PyExceptionInstance_Check(instance.get())) {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    return {};
  }
  return instance;
}

PyObject* throw_exception(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  py::Ref exc = thrown_exception(args, nargs, kwnames);
  if (exc) PyErr_SetRaisedException(exc.release());
  return nullptr;
}

#define FASTCALL_KW(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyObject* self_iter(PyObject* self) noexcept { return Py_NewRef(self); }

// ===========================================================================
// Future

struct FutureObject {
  PyObject_HEAD
  TaskRef task;                      // set at creation, never changed
  std::atomic<PyObject*> exception;  // the exception kept for a failed outcome
  std::atomic<PyObject*> undo;       // called when an await is cancelled before it got the value
  // Who may still receive the outcome besides a given await: the awaits and
  // waits under way, and whether anyone saw it done or asked to be told.
  std::atomic<std::uint32_t> holders;
  std::atomic<bool> observed;
};

FutureObject* as_future(PyObject* self) noexcept { return reinterpret_cast<FutureObject*>(self); }
OperationTask& task_of(PyObject* self) noexcept { return *as_future(self)->task; }

int future_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(self));
  PyObject* exc = as_future(self)->exception.load(std::memory_order_acquire);
  Py_VISIT(exc);
  PyObject* undo = as_future(self)->undo.load(std::memory_order_acquire);
  Py_VISIT(undo);
  return 0;
}

int future_clear(PyObject* self) noexcept {
  Py_XDECREF(as_future(self)->exception.exchange(nullptr, std::memory_order_acq_rel));
  Py_XDECREF(as_future(self)->undo.exchange(nullptr, std::memory_order_acq_rel));
  return 0;
}

// An await or a wait of the future under way (counted once; released once).
void hold(PyObject* self) noexcept { as_future(self)->holders.fetch_add(1, std::memory_order_acq_rel); }
void unhold(PyObject* self) noexcept { as_future(self)->holders.fetch_sub(1, std::memory_order_acq_rel); }
// Someone saw the outcome, or asked to be told of it.
void observe(PyObject* self) noexcept { as_future(self)->observed.store(true, std::memory_order_release); }

// An await of the future ended by an exception before the awaiting code got
// the value: a read's bytes go back to the port; another value's undo runs.
// That is for an outcome nobody receives: while anyone else awaits or waits
// for the future, has a done-callback on it or saw it done, the cancelled
// await only stops awaiting, and the future keeps its value, as an asyncio
// future does. The caller's own await is still counted.
void not_received(PyObject* self) noexcept {
  FutureObject* f = as_future(self);
  if (f->observed.load(std::memory_order_acquire) || f->holders.load(std::memory_order_acquire) > 1) return;
  if (task_of(self).give_back()) return;
  // Taken once, whichever thread's await ends first.
  if (PyObject* undo = as_future(self)->undo.exchange(nullptr, std::memory_order_acq_rel)) {
    py::Ref u = py::Ref::steal(undo);
    PyObject* pending = PyErr_GetRaisedException();
    py::Ref r = py::Ref::steal(PyObject_CallNoArgs(u.get()));
    if (!r) PyErr_WriteUnraisable(u.get());
    PyErr_SetRaisedException(pending);
  }
}

void future_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  future_clear(self);
  // Nobody can receive the outcome through this object any more: a read
  // still running gives back what it takes; one that finished unreceived
  // gives its bytes back when the task goes.
  if (OperationTask* task = as_future(self)->task.get()) {
    task->drop_receiver();
    task->give_back();
  }
  as_future(self)->task.~TaskRef();
  as_future(self)->exception.~atomic();
  type->tp_free(self);
  Py_DECREF(type);
}

// The exception kept for the task's error (not the cancellation kind): made
// on first use, the same object from then on (the first writer wins).
py::Ref cached_exception(PyObject* self, const PortError& error) noexcept {
  FutureObject* f = as_future(self);
  if (PyObject* kept = f->exception.load(std::memory_order_acquire)) return py::Ref::borrow(kept);
  py::Ref made = to_python_exception(error);
  if (!made) return {};
  PyObject* expected = nullptr;
  if (f->exception.compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel)) {
    Py_INCREF(made.get());
    return made;
  }
  return py::Ref::borrow(expected);  // `made` (the loser) is dropped
}

// Raises the error as result() does: a new CancelledError for the
// cancellation kind, else the kept exception with an empty traceback.
PyObject* raise_error(PyObject* self, const PortError& error) noexcept {
  if (error.kind() == ErrorKind::Cancelled) {
    py::Ref exc = error_to_python(error);
    if (exc) PyErr_SetRaisedException(exc.release());
    return nullptr;
  }
  py::Ref exc = cached_exception(self, error);
  if (!exc) return nullptr;
  py::Ref fresh = py::Ref::steal(PyObject_CallMethod(exc.get(), "with_traceback", "O", Py_None));
  if (fresh) PyErr_SetRaisedException(fresh.release());
  return nullptr;
}

// The outcome for a caller who receives it: the value, or null with the
// error raised. The task must be finished.
PyObject* take_outcome(PyObject* self) noexcept {
  std::optional<OperationOutcome> o = task_of(self).receive();
  if (!o) return raise_invalid_state("Result is not ready.");
  if (o->has_value()) return value_to_python(**o).release();
  return raise_error(self, o->error());
}

// Whether the future is done; one seen done keeps its outcome (not_received).
bool seen_done(PyObject* self) noexcept {
  if (!task_of(self).finished()) return false;
  observe(self);
  return true;
}

PyObject* f_done(PyObject* self, PyObject*) noexcept {
  return py::guard([&] { return boolean(seen_done(self)); });
}

PyObject* f_cancelled(PyObject* self, PyObject*) noexcept {
  return py::guard([&] { return boolean(seen_done(self) && task_of(self).cancelled()); });
}

PyObject* f_result(PyObject* self, PyObject*) noexcept {
  return py::guard([&]() -> PyObject* {
    if (!seen_done(self)) return raise_invalid_state("Result is not ready.");
    return take_outcome(self);
  });
}

PyObject* f_exception(PyObject* self, PyObject*) noexcept {
  return py::guard([&]() -> PyObject* {
    OperationTask& task = task_of(self);
    if (!seen_done(self)) return raise_invalid_state("Exception is not set.");
    if (!task.failed()) return none();
    std::optional<OperationOutcome> o = task.outcome_copy();
    if (!o || o->has_value()) return none();
    if (o->error().kind() == ErrorKind::Cancelled) return raise_error(self, o->error());
    return cached_exception(self, o->error()).release();
  });
}

PyObject* f_cancel(PyObject* self, PyObject*) noexcept {
  return py::guard([&] { return boolean(cancel_task(task_of(self))); });
}

// wait(timeout=None): 50 ms detached slices with the signal handlers run
// between them. On a worker (a done-callback waiting for another operation)
// the worker's queued tasks move to another thread meanwhile, so waits
// inside callbacks never leave the runtime without a worker.
PyObject* f_wait(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return py::guard([&]() -> PyObject* {
    static constexpr std::array<const char*, 1> kNames = {"timeout"};
    PyObject* timeout = nullptr;
    if (!serial::bind_args("Future.wait", kNames, 0, true, args, nargs, kwnames, &timeout)) return nullptr;
    std::optional<Instant> deadline;
    if (timeout && timeout != Py_None) {
      double seconds = PyFloat_AsDouble(timeout);
      if (seconds == -1.0 && PyErr_Occurred()) {
        py::add_processing_note("timeout");
        return nullptr;
      }
      std::optional<std::chrono::nanoseconds> d;
      if (std::isnan(seconds) || seconds <= 0) {
        d = std::chrono::nanoseconds(0);
      } else if (seconds < 18446744073709551616.0) {
        long double ns = std::nearbyint(static_cast<long double>(seconds) * 1e9L);
        if (ns < static_cast<long double>(std::numeric_limits<std::int64_t>::max()))
          d = std::chrono::nanoseconds(static_cast<std::int64_t>(ns));
      }
      deadline = deadline_after(Clock::now(), d);
    }
    OperationTask& task = task_of(self);
    // A write's kept-back outcome is there already: nobody need run a loop.
    finish_deferred(task);
    hold(self);
    struct Unhold {
      PyObject* self;
      ~Unhold() { unhold(self); }
    } unhold_at_end{self};
    std::optional<detail::BlockInPlaceScope> handed_over;
    using namespace std::chrono_literals;
    for (;;) {
      if (!task.finished() && !handed_over && on_worker_thread()) handed_over.emplace();
      bool finished = task.finished() || detached([&] {
        // A read that waits on an event loop's poller is not finished by
        // this wait unless it goes back to the readiness thread.
        task.leave_loop_wait();
        std::chrono::nanoseconds slice = 50ms;
        if (deadline) {
          auto left = *deadline - Clock::now();
          slice = std::clamp<std::chrono::nanoseconds>(left, 0ns, 50ms);
        }
        return task.wait_for(slice);
      });
      if (finished) {
        observe(self);
        return take_outcome(self);
      }
      if (PyErr_CheckSignals() < 0) return nullptr;
      if (deadline && Clock::now() >= *deadline) {
        PyErr_SetString(PyExc_TimeoutError, "the operation did not finish within the timeout");
        return nullptr;
      }
    }
  });
}

// --- done-callbacks -----------------------------------------------------------

// A read waiting on an event loop's poller other than `mine` (the poller of
// the loop the new subscriber is told on, or none) goes back to the
// readiness thread: that loop may not run again.
void leave_other_loop(OperationTask& task, const LoopPoller* mine) noexcept {
  const LoopPoller* waiting = task.loop_wait();
  if (waiting && waiting != mine) detached([&] { task.leave_loop_wait(mine); });
}

// A registration made by add_done_callback.
class FutureCallback : public Subscriber {
 public:
  virtual PyObject* fn() const noexcept = 0;
};

// Runs fn(future) in the context. Callbacks that share a context never run
// at once (a context can be entered by one thread at a time): one that finds
// its context busy is queued for the thread that holds it, which runs it
// next. Attached caller; errors are reported as unraisable.
class ContextRunner {
 public:
  struct Call {
    py::Ref fn, future, context;
  };

  static void run(Call call) noexcept {
    ContextRunner& r = instance();
    PyObject* key = call.context.get();
    {
      std::lock_guard lock(r.mutex_);
      auto [it, fresh] = r.busy_.try_emplace(key);
      if (!fresh) {
        it->second.push_back(std::move(call));  // its holder runs it
        return;
      }
    }
    for (;;) {
      invoke(call);
      call = Call{};  // its references go before the lock is taken
      std::lock_guard lock(r.mutex_);
      auto it = r.busy_.find(key);
      if (it->second.empty()) {
        r.busy_.erase(it);
        break;
      }
      call = std::move(it->second.front());
      it->second.erase(it->second.begin());
    }
  }

 private:
  static ContextRunner& instance() noexcept {
    static ContextRunner* r = new ContextRunner;  // never torn down
    return *r;
  }
  static void invoke(const Call& c) noexcept {
    py::Ref r = py::Ref::steal(PyObject_CallMethod(c.context.get(), "run", "OO", c.fn.get(), c.future.get()));
    if (!r) PyErr_WriteUnraisable(c.fn.get());
  }
  // Contexts in use, with the calls waiting for them (the key is kept alive
  // by the call running in it).
  std::mutex mutex_;
  std::unordered_map<PyObject*, std::vector<Call>> busy_;
};

// A callback registered outside any loop: it runs on the thread that
// finished the operation when that is a worker or an interpreter thread,
// and on a worker otherwise (never on the readiness thread, which must not
// wait for user code).
class ThreadCallback final : public FutureCallback {
 public:
  ThreadCallback(py::Ref fn, py::Ref future, py::Ref context) noexcept
      : fn_(std::move(fn)), future_(std::move(future)), context_(std::move(context)) {}
  PyObject* fn() const noexcept override { return fn_.get(); }

  void finished(OperationTask&) noexcept override {
    const bool here = PyThreadState_GetUnchecked() != nullptr || (on_worker_thread() && !running_from_io());
    if (here) {
      Attached a;
      if (a.ok()) {
        run_and_delete();
        return;
      }
    }
    try {
      if (Result<Runtime*> rt = runtime()) {
        (*rt)->spawn(std::make_unique<Job>(this));
        return;
      }
    } catch (...) {
    }
    delete this;  // nowhere to run it: the process is going away
  }

  void run_and_delete() noexcept {
    ContextRunner::run({fn_.ref(), future_.ref(), context_.ref()});
    delete this;
  }

 private:
  AnyThreadRef fn_, future_, context_;

  class Job final : public Runtime::Job {
   public:
    explicit Job(ThreadCallback* cb) noexcept : cb_(cb) {}
    ~Job() override { delete cb_; }
    Poll<std::monostate> poll(Context&) override {
      Attached a;
      if (a.ok()) std::exchange(cb_, nullptr)->run_and_delete();
      return std::monostate{};
    }

   private:
    ThreadCallback* cb_;
  };
};

// A callback registered inside a running loop: scheduled on that loop with
// call_soon, in its context, when the operation finished.
class LoopCallback final : public FutureCallback, public InboxItem {
 public:
  LoopCallback(std::shared_ptr<LoopInbox> inbox, py::Ref fn, py::Ref future, py::Ref context) noexcept
      : InboxItem(std::move(inbox), std::move(fn), std::move(future), std::move(context)) {}
  PyObject* fn() const noexcept override { return held_[0].get(); }

  void finished(OperationTask&) noexcept override {
    LoopInbox* inbox = bound_inbox().get();
    inbox->push(this);
  }
  void deliver() noexcept override {
    schedule("call_soon");
    delete this;
  }
  void loop_gone() noexcept override {
    // The closed loop refuses it; that refusal is what gets reported.
    schedule("call_soon_threadsafe");
    delete this;
  }

 private:
  void schedule(const char* method) noexcept {
    PyObject* fn = held_[0].get();
    PyObject* future = held_[1].get();
    PyObject* context = held_[2].get();
    if (!fn) return;  // the loop was collected
    py::Ref loop = bound_inbox()->loop();
    if (!loop) return;  // gone: its callbacks never run
    py::Ref kwargs = py::Ref::steal(PyDict_New());
    py::Ref bound, r;
    if (kwargs && PyDict_SetItemString(kwargs.get(), "context", context) == 0)
      bound = py::Ref::steal(PyObject_GetAttrString(loop.get(), method));
    if (bound) {
      PyObject* args[] = {fn, future};
      r = py::Ref::steal(PyObject_VectorcallDict(bound.get(), args, 2, kwargs.get()));
    }
    if (!r) PyErr_WriteUnraisable(fn);
  }
};

// Calls fn(future) for a registration on a finished future: scheduled with
// call_soon inside a running loop, run at once outside one.
void serve_now(PyObject* loop, PyObject* fn, PyObject* future, PyObject* context) noexcept {
  py::Ref r;
  if (loop) {
    py::Ref kwargs = py::Ref::steal(PyDict_New());
    py::Ref bound;
    if (kwargs && PyDict_SetItemString(kwargs.get(), "context", context) == 0)
      bound = py::Ref::steal(PyObject_GetAttrString(loop, "call_soon"));
    if (bound) {
      PyObject* args[] = {fn, future};
      r = py::Ref::steal(PyObject_VectorcallDict(bound.get(), args, 2, kwargs.get()));
    }
    if (!r) PyErr_WriteUnraisable(fn);
    return;
  }
  ContextRunner::run({py::Ref::borrow(fn), py::Ref::borrow(future), py::Ref::borrow(context)});
}

// fn, context=None of add_done_callback (both classes that have it).
bool callback_args(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject*& fn,
                   py::Ref& context) noexcept {
  nargs = PyVectorcall_NARGS(nargs);
  if (nargs != 1) {
    PyErr_Format(PyExc_TypeError, "%s() takes exactly 1 positional argument (%zd given)", fname, nargs);
    return false;
  }
  fn = args[0];
  PyObject* given = nullptr;
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, i);
    if (PyUnicode_CompareWithASCIIString(key, "context") != 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname, key);
      return false;
    }
    given = args[nargs + i];
  }
  context = given && given != Py_None ? py::Ref::borrow(given) : py::Ref::steal(copy_context());
  return static_cast<bool>(context);
}

PyObject* f_add_done_callback(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return py::guard([&]() -> PyObject* {
    PyObject* fn = nullptr;
    py::Ref context;
    if (!callback_args("Future.add_done_callback", args, nargs, kwnames, fn, context)) return nullptr;
    observe(self);  // the callback will be told of the outcome
    bool failed = false;
    PyObject* loop = running_loop_or_null(failed);
    if (failed) return nullptr;
    std::unique_ptr<FutureCallback> cb;
    LoopPoller* mine = nullptr;
    if (loop) {
      std::shared_ptr<LoopInbox> inbox = LoopInbox::of(loop);
      if (!inbox) return nullptr;
      mine = inbox->poller();
      cb = std::make_unique<LoopCallback>(std::move(inbox), py::Ref::borrow(fn), py::Ref::borrow(self), context);
    } else {
      cb = std::make_unique<ThreadCallback>(py::Ref::borrow(fn), py::Ref::borrow(self), context);
    }
    OperationTask& task = task_of(self);
    if (task.subscribe(cb.get())) {
      cb.release();  // the task's now
      leave_other_loop(task, mine);
      return none();
    }
    cb.reset();
    serve_now(loop, fn, self, context.get());
    return none();
  });
}

// Takes out the registrations of the task of kind Kind whose callable equals
// fn (compared outside the task's lock), returning how many.
template <class Kind, class Fn>
PyObject* remove_matching(OperationTask& task, PyObject* fn, Fn&& callable_of) noexcept {
  std::vector<std::pair<Subscriber*, py::Ref>> registered;
  task.for_each_subscriber([&](Subscriber& s) {
    if (auto* k = dynamic_cast<Kind*>(&s)) registered.emplace_back(&s, py::Ref::borrow(callable_of(*k)));
  });
  std::vector<Subscriber*> matched;
  for (auto& [s, callable] : registered) {
    py::Ref cmp = py::Ref::steal(PyObject_RichCompare(callable.get(), fn, Py_EQ));
    int eq = cmp ? PyObject_IsTrue(cmp.get()) : -1;
    if (eq < 0) return nullptr;
    if (eq) matched.push_back(s);
  }
  if (matched.empty()) return PyLong_FromLong(0);
  std::vector<Subscriber*> removed = task.unsubscribe_if([&](Subscriber& s) {
    return std::find(matched.begin(), matched.end(), &s) != matched.end();
  });
  for (Subscriber* s : removed) delete s;  // attached: their references go now
  return PyLong_FromSize_t(removed.size());
}

PyObject* f_remove_done_callback(PyObject* self, PyObject* fn) noexcept {
  return py::guard([&]() -> PyObject* {
    return remove_matching<FutureCallback>(task_of(self), fn, [](FutureCallback& c) { return c.fn(); });
  });
}

// ===========================================================================
// Ready: what awaiting a finished Future iterates.

struct ReadyObject {
  PyObject_HEAD
  PyObject* future;  // the Future whose value it gives
  std::atomic<bool> stepped;
  std::atomic<bool> given;  // the value went to the awaiting code
  std::atomic<bool> holding;  // counted among the future's holders until the await ends
};

ReadyObject* as_ready(PyObject* self) noexcept { return reinterpret_cast<ReadyObject*>(self); }

int ready_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_ready(self)->future);
  return 0;
}

// The await ends: no longer one of the future's holders.
void ready_ended(ReadyObject* r) noexcept {
  if (r->future && r->holding.exchange(false, std::memory_order_acq_rel)) unhold(r->future);
}

int ready_clear(PyObject* self) noexcept {
  ready_ended(as_ready(self));
  Py_CLEAR(as_ready(self)->future);
  return 0;
}

void ready_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  ready_clear(self);
  as_ready(self)->stepped.~atomic();
  as_ready(self)->given.~atomic();
  as_ready(self)->holding.~atomic();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* ready_step(PyObject* self) noexcept {
  return py::guard([&]() -> PyObject* {
    ReadyObject* r = as_ready(self);
    if (!r->stepped.exchange(true, std::memory_order_acq_rel)) return none();
    if (!r->future) return stop_iteration(Py_None);
    py::Ref value = py::Ref::steal(take_outcome(r->future));
    ready_ended(r);
    if (!value) return nullptr;  // given back meanwhile: the cancellation
    r->given.store(true, std::memory_order_release);
    return stop_iteration(value.get());
  });
}

PyObject* ready_send(PyObject* self, PyObject*) noexcept { return ready_step(self); }
PyObject* ready_close(PyObject* self, PyObject*) noexcept {
  ready_ended(as_ready(self));
  Py_RETURN_NONE;
}

// A cancellation thrown into the yield: a read's bytes that the awaiting
// code never got go back to the port.
PyObject* ready_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return py::guard([&]() -> PyObject* {
    py::Ref exc = thrown_exception(args, nargs, kwnames);
    if (!exc) return nullptr;
    ReadyObject* r = as_ready(self);
    if (r->future && !r->given.load(std::memory_order_acquire)) not_received(r->future);
    ready_ended(r);
    PyErr_SetRaisedException(exc.release());
    return nullptr;
  });
}

PyMethodDef ready_methods[] = {
    {"send", ready_send, METH_O, "send($self, _value)\n--\n\n"},
    {"throw", FASTCALL_KW(ready_throw), METH_FASTCALL | METH_KEYWORDS,
     "throw($self, exception, _value=None, _traceback=None)\n--\n\n"},
    {"close", ready_close, METH_NOARGS, "close($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

py::OnceCell ready_cell;

PyObject* make_ready_type() noexcept {
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(
                      "What awaiting a finished future iterates: it yields once, so the event loop can run\n"
                      "other tasks and deliver a cancellation as it does for `asyncio.sleep(0)`, then stops\n"
                      "with the result, without creating an asyncio future or waking the loop from a worker.")},
      {Py_tp_dealloc, reinterpret_cast<void*>(ready_dealloc)},
      {Py_tp_traverse, reinterpret_cast<void*>(ready_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(ready_clear)},
      {Py_tp_iter, reinterpret_cast<void*>(self_iter)},
      {Py_tp_iternext, reinterpret_cast<void*>(ready_step)},
      {Py_tp_methods, ready_methods},
      {0, nullptr},
  };
  static PyType_Spec spec = {"corvalink.aio.Ready", static_cast<int>(sizeof(ReadyObject)), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
  return PyType_FromSpec(&spec);
}

py::Ref make_ready(PyObject* future) noexcept {
  auto* type = reinterpret_cast<PyTypeObject*>(ready_cell.get_or_init(make_ready_type));
  if (!type) return {};
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return {};
  ReadyObject* r = as_ready(self);
  r->future = Py_NewRef(future);
  new (&r->stepped) std::atomic<bool>(false);
  new (&r->given) std::atomic<bool>(false);
  new (&r->holding) std::atomic<bool>(true);
  hold(future);
  return py::Ref::steal(self);
}

// ===========================================================================
// Awaiting: what an asyncio task waits on while the Future it awaits is
// pending. It is both the iterator the await runs and the future-like object
// it yields to the task.

struct AwaitingObject {
  PyObject_HEAD
  PyObject* future;      // the Future awaited
  PyObject* loop;        // the loop of the awaiting task
  PyObject* cancel_msg;  // the message of the task's cancel(), once it cancelled the operation
  std::uint8_t state;    // Fresh, Yielded, Ended
  bool blocking;         // asyncio's _asyncio_future_blocking
  std::atomic<bool> holding;  // counted among the future's holders until the await ends
};

enum : std::uint8_t { Fresh, Yielded, Ended };

AwaitingObject* as_awaiting(PyObject* self) noexcept { return reinterpret_cast<AwaitingObject*>(self); }

int awaiting_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  AwaitingObject* a = as_awaiting(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(a->future);
  Py_VISIT(a->loop);
  Py_VISIT(a->cancel_msg);
  return 0;
}

// The await ends: no longer one of the future's holders.
void awaiting_ended(AwaitingObject* a) noexcept {
  if (a->future && a->holding.exchange(false, std::memory_order_acq_rel)) unhold(a->future);
}

int awaiting_clear(PyObject* self) noexcept {
  AwaitingObject* a = as_awaiting(self);
  awaiting_ended(a);
  Py_CLEAR(a->future);
  Py_CLEAR(a->loop);
  Py_CLEAR(a->cancel_msg);
  return 0;
}

void awaiting_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  awaiting_clear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// The task's wake-up: called by the loop's inbox, in the task's context.
class AwaitWakeup final : public LoopSubscriber {
 public:
  AwaitWakeup(std::shared_ptr<LoopInbox> inbox, py::Ref fn, py::Ref awaiting, py::Ref context) noexcept
      : LoopSubscriber(std::move(inbox), std::move(fn), std::move(awaiting), std::move(context)) {}
  PyObject* fn() const noexcept { return held_[0].get(); }

  // The task's step may end with SystemExit or KeyboardInterrupt, which it
  // re-raises as it does from the loop's own callbacks: that leaves the loop.
  void deliver() noexcept override {
    py::Ref escaping;
    PyObject* fn = held_[0].get();
    PyObject* awaiting = held_[1].get();
    PyObject* context = held_[2].get();
    if (fn && PyContext_Enter(context) == 0) {
      py::Ref r = py::Ref::steal(PyObject_CallOneArg(fn, awaiting));
      if (!r && keep_exit_else_unraisable(fn)) escaping = py::Ref::steal(PyErr_GetRaisedException());
      if (PyContext_Exit(context) < 0) PyErr_WriteUnraisable(fn);
    } else if (fn) {
      PyErr_WriteUnraisable(fn);
    }
    delete this;
    if (escaping) PyErr_SetRaisedException(escaping.release());
  }
  // The loop is gone: its task will never run again.
  void loop_gone() noexcept override { delete this; }
};

// The value for the resumed awaiting code: StopIteration(value), or the
// error (the cancellation with the message of the task's cancel()).
PyObject* awaiting_result(PyObject* self) noexcept {
  AwaitingObject* a = as_awaiting(self);
  a->state = Ended;
  struct End {
    AwaitingObject* a;
    ~End() { awaiting_ended(a); }
  } end{a};
  if (a->cancel_msg && task_of(a->future).cancelled()) {
    PyObject* type = cancelled_error_type();
    if (!type) return nullptr;
    PyObject* exc = PyObject_CallOneArg(type, a->cancel_msg);
    if (exc) PyErr_SetRaisedException(exc);
    return nullptr;
  }
  py::Ref value = py::Ref::steal(take_outcome(a->future));
  if (!value) return nullptr;
  return stop_iteration(value.get());
}

PyObject* awaiting_step(PyObject* self) noexcept {
  return py::guard([&]() -> PyObject* {
    AwaitingObject* a = as_awaiting(self);
    switch (a->state) {
      case Fresh:
        if (task_of(a->future).finished()) return awaiting_result(self);
        a->state = Yielded;
        a->blocking = true;
        return Py_NewRef(self);  // the task waits on us
      case Yielded:
        return awaiting_result(self);
      default:
        PyErr_SetNone(PyExc_StopIteration);
        return nullptr;
    }
  });
}

PyObject* awaiting_send(PyObject* self, PyObject*) noexcept { return awaiting_step(self); }

// Drops the task's wake-up registrations (the await ends without them).
void drop_wakeups(PyObject* self) noexcept {
  AwaitingObject* a = as_awaiting(self);
  std::vector<Subscriber*> removed = task_of(a->future).unsubscribe_if([&](Subscriber& s) {
    auto* w = dynamic_cast<AwaitWakeup*>(&s);
    return w && w->inbox()->names(a->loop);
  });
  for (Subscriber* s : removed) delete s;
}

PyObject* awaiting_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return py::guard([&]() -> PyObject* {
    py::Ref exc = thrown_exception(args, nargs, kwnames);
    if (!exc) return nullptr;
    AwaitingObject* a = as_awaiting(self);
    if (a->state != Ended) {
      a->state = Ended;
      drop_wakeups(self);
      // A read that finished for this await but whose bytes nobody got.
      not_received(a->future);
      awaiting_ended(a);
    }
    PyErr_SetRaisedException(exc.release());
    return nullptr;
  });
}

PyObject* awaiting_close(PyObject* self, PyObject*) noexcept {
  return py::guard([&]() -> PyObject* {
    AwaitingObject* a = as_awaiting(self);
    if (a->state != Ended) {
      a->state = Ended;
      drop_wakeups(self);
      awaiting_ended(a);
    }
    return none();
  });
}

PyObject* awaiting_get_loop(PyObject* self, PyObject*) noexcept { return Py_NewRef(as_awaiting(self)->loop); }

PyObject* awaiting_add_done_callback(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) noexcept {
  return py::guard([&]() -> PyObject* {
    PyObject* fn = nullptr;
    py::Ref context;
    if (!callback_args("add_done_callback", args, nargs, kwnames, fn, context)) return nullptr;
    AwaitingObject* a = as_awaiting(self);
    std::shared_ptr<LoopInbox> inbox = LoopInbox::of(a->loop);
    if (!inbox) return nullptr;
    LoopPoller* mine = inbox->poller();
    auto wakeup = std::make_unique<AwaitWakeup>(std::move(inbox), py::Ref::borrow(fn), py::Ref::borrow(self), context);
    OperationTask& task = task_of(a->future);
    if (task.subscribe(wakeup.get())) {
      wakeup.release();
      leave_other_loop(task, mine);
      return none();
    }
    wakeup.reset();
    serve_now(a->loop, fn, self, context.get());
    return none();
  });
}

PyObject* awaiting_remove_done_callback(PyObject* self, PyObject* fn) noexcept {
  return py::guard([&]() -> PyObject* {
    return remove_matching<AwaitWakeup>(task_of(as_awaiting(self)->future), fn,
                                        [](AwaitWakeup& w) { return w.fn(); });
  });
}

// cancel(msg=None): the task's cancel() reaches the operation here.
PyObject* awaiting_cancel(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return py::guard([&]() -> PyObject* {
    static constexpr std::array<const char*, 1> kNames = {"msg"};
    PyObject* msg = nullptr;
    if (!serial::bind_args("cancel", kNames, 0, true, args, nargs, kwnames, &msg)) return nullptr;
    AwaitingObject* a = as_awaiting(self);
    if (!cancel_task(task_of(a->future))) return boolean(false);
    Py_XSETREF(a->cancel_msg, Py_NewRef(msg ? msg : Py_None));
    return boolean(true);
  });
}

PyObject* awaiting_done(PyObject* self, PyObject*) noexcept {
  return py::guard([&] { return boolean(task_of(as_awaiting(self)->future).finished()); });
}
PyObject* awaiting_cancelled(PyObject* self, PyObject*) noexcept {
  return py::guard([&] { return boolean(task_of(as_awaiting(self)->future).cancelled()); });
}
// The task only asks once it was woken; the value goes to the awaiting code
// through the iteration, so nothing is taken here.
PyObject* awaiting_none(PyObject*, PyObject*) noexcept { Py_RETURN_NONE; }

PyObject* get_blocking(PyObject* self, void*) noexcept { return boolean(as_awaiting(self)->blocking); }
int set_blocking(PyObject* self, PyObject* value, void*) noexcept {
  if (!value) return py::no_deleter();
  int b = PyObject_IsTrue(value);
  if (b < 0) return -1;
  as_awaiting(self)->blocking = b != 0;
  return 0;
}

PyMethodDef awaiting_methods[] = {
    {"send", awaiting_send, METH_O, "send($self, _value)\n--\n\n"},
    {"throw", FASTCALL_KW(awaiting_throw), METH_FASTCALL | METH_KEYWORDS,
     "throw($self, exception, _value=None, _traceback=None)\n--\n\n"},
    {"close", awaiting_close, METH_NOARGS, "close($self)\n--\n\n"},
    {"get_loop", awaiting_get_loop, METH_NOARGS, "get_loop($self)\n--\n\n"},
    {"add_done_callback", FASTCALL_KW(awaiting_add_done_callback), METH_FASTCALL | METH_KEYWORDS,
     "add_done_callback($self, fn, /, *, context=None)\n--\n\n"},
    {"remove_done_callback", awaiting_remove_done_callback, METH_O, "remove_done_callback($self, fn, /)\n--\n\n"},
    {"cancel", FASTCALL_KW(awaiting_cancel), METH_FASTCALL | METH_KEYWORDS, "cancel($self, msg=None)\n--\n\n"},
    {"done", awaiting_done, METH_NOARGS, "done($self)\n--\n\n"},
    {"cancelled", awaiting_cancelled, METH_NOARGS, "cancelled($self)\n--\n\n"},
    {"result", awaiting_none, METH_NOARGS, "result($self)\n--\n\n"},
    {"exception", awaiting_none, METH_NOARGS, "exception($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef awaiting_getset[] = {
    {"_asyncio_future_blocking", get_blocking, set_blocking, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

py::OnceCell awaiting_cell;

PyObject* make_awaiting_type() noexcept {
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>("What an asyncio task waits on while the future it awaits is pending.")},
      {Py_tp_dealloc, reinterpret_cast<void*>(awaiting_dealloc)},
      {Py_tp_traverse, reinterpret_cast<void*>(awaiting_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(awaiting_clear)},
      {Py_tp_iter, reinterpret_cast<void*>(self_iter)},
      {Py_tp_iternext, reinterpret_cast<void*>(awaiting_step)},
      {Py_tp_methods, awaiting_methods},
      {Py_tp_getset, awaiting_getset},
      {0, nullptr},
  };
  static PyType_Spec spec = {"corvalink.aio._Awaiting", static_cast<int>(sizeof(AwaitingObject)), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
  return PyType_FromSpec(&spec);
}

py::Ref make_awaiting(PyObject* future, PyObject* loop) noexcept {
  auto* type = reinterpret_cast<PyTypeObject*>(awaiting_cell.get_or_init(make_awaiting_type));
  if (!type) return {};
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return {};
  AwaitingObject* a = as_awaiting(self);
  a->future = Py_NewRef(future);
  a->loop = Py_NewRef(loop);
  a->cancel_msg = nullptr;
  a->state = Fresh;
  a->blocking = false;
  new (&a->holding) std::atomic<bool>(true);
  hold(future);
  return py::Ref::steal(self);
}

// ---------------------------------------------------------------------------

PyObject* future_await(PyObject* self) noexcept {
  return py::guard([&]() -> PyObject* {
    py::Ref loop = py::Ref::steal(get_running_loop());
    if (!loop) return nullptr;
    OperationTask& task = task_of(self);
    finish_deferred(task);  // a write's kept-back outcome: finished now
    if (std::optional<OperationOutcome> o = task.outcome_copy()) {
      if (!o->has_value()) return raise_error(self, o->error());  // an error raises without yielding
      return make_ready(self).release();
    }
    return make_awaiting(self, loop.get()).release();
  });
}

PyMethodDef future_methods[] = {
    {"done", f_done, METH_NOARGS, "done($self)\n--\n\nWhether the operation finished."},
    {"cancelled", f_cancelled, METH_NOARGS, "cancelled($self)\n--\n\nWhether the operation was cancelled."},
    {"result", f_result, METH_NOARGS, "result($self)\n--\n\nThe operation's value, or raises its error."},
    {"exception", f_exception, METH_NOARGS,
     "exception($self)\n--\n\nThe operation's error, or None if it succeeded."},
    {"cancel", f_cancel, METH_NOARGS,
     "cancel($self)\n--\n\nCancels the operation; True if this call cancelled it."},
    {"wait", FASTCALL_KW(f_wait), METH_FASTCALL | METH_KEYWORDS,
     "wait($self, timeout=None)\n--\n\nBlocks until the operation finished, then returns its value."},
    {"add_done_callback", FASTCALL_KW(f_add_done_callback), METH_FASTCALL | METH_KEYWORDS,
     "add_done_callback($self, fn, /, *, context=None)\n--\n\nCalls fn(future) once the operation finished."},
    {"remove_done_callback", f_remove_done_callback, METH_O,
     "remove_done_callback($self, fn, /)\n--\n\nRemoves every registration of fn; returns how many."},
    {"__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS,
     "__class_getitem__($cls, item, /)\n--\n\nA generic alias of the class."},
    {nullptr, nullptr, 0, nullptr},
};

py::OnceCell future_cell;

PyObject* make_future_type() noexcept {
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>("A port operation running on the runtime.")},
      {Py_tp_dealloc, reinterpret_cast<void*>(future_dealloc)},
      {Py_tp_traverse, reinterpret_cast<void*>(future_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(future_clear)},
      {Py_am_await, reinterpret_cast<void*>(future_await)},
      {Py_tp_methods, future_methods},
      {0, nullptr},
  };
  static PyType_Spec spec = {"corvalink.aio.Future", static_cast<int>(sizeof(FutureObject)), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
  return PyType_FromSpec(&spec);
}

// ===========================================================================
// Deferred

struct DeferredObject {
  PyObject_HEAD
  std::mutex mutex;
  DeferredWork work;    // guarded by mutex; taken out once
  DeferredUndo undo;    // guarded by mutex; with it the coroutine yields once after the work
  PyObject* result;     // guarded by mutex: the work's result while it yields
};

DeferredObject* as_deferred(PyObject* self) noexcept { return reinterpret_cast<DeferredObject*>(self); }

// Ends the coroutine before it finished: unrun work is dropped; a result
// that was not handed out yet is undone.
void deferred_abandon(PyObject* self) noexcept {
  DeferredObject* d = as_deferred(self);
  DeferredWork work;
  DeferredUndo undo;
  py::Ref result;
  {
    std::lock_guard lock(d->mutex);
    work = std::exchange(d->work, nullptr);
    undo = std::exchange(d->undo, nullptr);
    result = py::Ref::steal(std::exchange(d->result, nullptr));
  }
  if (result && undo) {
    PyObject* pending = PyErr_GetRaisedException();
    undo(result.get());
    PyErr_SetRaisedException(pending);
  }
}

void deferred_dealloc(PyObject* self) noexcept {
  DeferredObject* d = as_deferred(self);
  PyTypeObject* type = Py_TYPE(self);
  deferred_abandon(self);  // attached: unrun work is dropped here
  d->work.~DeferredWork();
  d->undo.~DeferredUndo();
  d->mutex.~mutex();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* deferred_step(PyObject* self) noexcept {
  return py::guard([&]() -> PyObject* {
    DeferredObject* d = as_deferred(self);
    DeferredWork work;
    DeferredUndo done_undo;  // dropped after the lock
    py::Ref settled;
    bool yields = false;
    {
      std::lock_guard lock(d->mutex);
      if (d->result) {
        done_undo = std::exchange(d->undo, nullptr);
        settled = py::Ref::steal(std::exchange(d->result, nullptr));
      } else {
        work = std::exchange(d->work, nullptr);
        yields = static_cast<bool>(d->undo);
      }
    }
    // The step after the yield: the loop ran what the work scheduled.
    if (settled) return stop_iteration(settled.get());
    if (!work) {
      PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
      return nullptr;
    }
    py::Ref result = py::Ref::steal(work());
    if (!result) return nullptr;
    if (!yields) return stop_iteration(result.get());
    {
      std::lock_guard lock(d->mutex);
      d->result = result.release();
    }
    return none();  // a bare yield: the task goes on behind the callbacks scheduled so far
  });
}

PyObject* deferred_send(PyObject* self, PyObject*) noexcept { return deferred_step(self); }
PyObject* deferred_close(PyObject* self, PyObject*) noexcept {
  deferred_abandon(self);
  Py_RETURN_NONE;
}
PyObject* deferred_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  deferred_abandon(self);
  return throw_exception(args, nargs, kwnames);
}

PyMethodDef deferred_methods[] = {
    {"send", deferred_send, METH_O, "send($self, _value)\n--\n\n"},
    {"throw", FASTCALL_KW(deferred_throw), METH_FASTCALL | METH_KEYWORDS,
     "throw($self, exception, _value=None, _traceback=None)\n--\n\n"},
    {"close", deferred_close, METH_NOARGS, "close($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

py::OnceCell deferred_cell;

PyObject* make_deferred_type() noexcept {
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(
                      "A coroutine that does its work on the first step and finishes with the result, so it can\n"
                      "be awaited or given to `asyncio.create_task` like the result of an `async def` call.")},
      {Py_tp_dealloc, reinterpret_cast<void*>(deferred_dealloc)},
      {Py_am_await, reinterpret_cast<void*>(self_iter)},
      {Py_tp_iter, reinterpret_cast<void*>(self_iter)},
      {Py_tp_iternext, reinterpret_cast<void*>(deferred_step)},
      {Py_tp_methods, deferred_methods},
      {0, nullptr},
  };
  static PyType_Spec spec = {"corvalink.aio.Deferred", static_cast<int>(sizeof(DeferredObject)), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
  py::Ref type = py::Ref::steal(PyType_FromSpec(&spec));
  if (!type) return nullptr;
  // asyncio.create_task and ensure_future accept what collections.abc.Coroutine does.
  py::Ref abc = py::Ref::steal(PyImport_ImportModule("collections.abc"));
  if (!abc) return nullptr;
  py::Ref coroutine = py::Ref::steal(PyObject_GetAttrString(abc.get(), "Coroutine"));
  if (!coroutine) return nullptr;
  py::Ref r = py::Ref::steal(PyObject_CallMethod(coroutine.get(), "register", "O", type.get()));
  if (!r) return nullptr;
  return type.release();
}

#undef FASTCALL_KW

}  // namespace

PyObject* copy_context() noexcept {
  PyObject* f = module_attribute(copy_context_cell, "contextvars", "copy_context");
  return f ? PyObject_CallNoArgs(f) : nullptr;
}

PyObject* future_type() noexcept { return future_cell.get_or_init(make_future_type); }
PyObject* ready_type() noexcept { return ready_cell.get_or_init(make_ready_type); }
PyObject* deferred_type() noexcept { return deferred_cell.get_or_init(make_deferred_type); }

py::Ref make_future(TaskRef task) noexcept {
  auto* type = reinterpret_cast<PyTypeObject*>(future_type());
  if (!type) return {};
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return {};
  new (&as_future(self)->task) TaskRef(std::move(task));
  new (&as_future(self)->exception) std::atomic<PyObject*>(nullptr);
  new (&as_future(self)->undo) std::atomic<PyObject*>(nullptr);
  new (&as_future(self)->holders) std::atomic<std::uint32_t>(0);
  new (&as_future(self)->observed) std::atomic<bool>(false);
  return py::Ref::steal(self);
}

PyObject* start_future(OperationPtr op, StartForm form, PortRef source, PortHandle* write_side) noexcept {
  TaskRef task = start_operation(std::move(op), form, std::move(source), write_side);
  if (!task) return nullptr;
  return make_future(std::move(task)).release();
}

PyObject* finished_future(PyObject* value, PyObject* undo) noexcept {
  return py::guard([&]() -> PyObject* {
    OperationValue v = std::make_shared<PyObjectHolder>(py::Ref::borrow(value));
    py::Ref f = make_future(OperationTask::finished_with(std::move(v)));
    if (f && undo) as_future(f.get())->undo.store(Py_NewRef(undo), std::memory_order_release);
    return f.release();
  });
}

py::Ref make_deferred(DeferredWork work, DeferredUndo undo) noexcept {
  auto* type = reinterpret_cast<PyTypeObject*>(deferred_type());
  if (!type) return {};
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return {};
  auto* d = reinterpret_cast<DeferredObject*>(self);
  new (&d->mutex) std::mutex();
  new (&d->work) DeferredWork(std::move(work));
  new (&d->undo) DeferredUndo(std::move(undo));
  d->result = nullptr;
  return py::Ref::steal(self);
}

}  // namespace corvalink
