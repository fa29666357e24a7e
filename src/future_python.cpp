// The Python classes of corvalink.aio around a FutureCore: Future (done,
// result, wait, callbacks, await), and the two small coroutine objects Ready
// (what awaiting a finished Future iterates) and Deferred (a coroutine whose
// first step does all its work).

#include <array>
#include <atomic>
#include <cmath>
#include <limits>

#include "errors_python.hpp"
#include "future.hpp"
#include "serial.hpp"

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

py::OnceCell get_running_loop_cell, peek_running_loop_cell, invalid_state_cell, copy_context_cell;

PyObject* get_running_loop() noexcept {
  PyObject* f = module_attribute(get_running_loop_cell, "asyncio", "get_running_loop");
  return f ? PyObject_CallNoArgs(f) : nullptr;
}
// The running loop or None.
PyObject* peek_running_loop() noexcept {
  PyObject* f = module_attribute(peek_running_loop_cell, "asyncio", "_get_running_loop");
  return f ? PyObject_CallNoArgs(f) : nullptr;
}
PyObject* raise_invalid_state(const char* message) noexcept {
  PyObject* type = module_attribute(invalid_state_cell, "asyncio", "InvalidStateError");
  if (type) PyErr_SetString(type, message);
  return nullptr;
}

// StopIteration(value), raised so that a tuple or an exception stays one value.
PyObject* stop_iteration(PyObject* value) noexcept {
  PyObject* exc = PyObject_CallOneArg(PyExc_StopIteration, value);
  if (exc) PyErr_SetRaisedException(exc);
  return nullptr;
}

// throw(exception, _value=None, _traceback=None) of both coroutine classes.
PyObject* throw_exception(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  static constexpr std::array<const char*, 3> kNames = {"exception", "_value", "_traceback"};
  PyObject* a[3];
  if (!serial::bind_args("throw", kNames, 1, true, args, nargs, kwnames, a)) return nullptr;
  PyObject* exception = a[0];
  py::Ref instance;
  if (PyType_Check(exception)) {
    instance = py::Ref::steal(PyObject_CallNoArgs(exception));
    if (!instance) return nullptr;
  } else {
    instance = py::Ref::borrow(exception);
  }
  if (!PyExceptionInstance_Check(instance.get())) {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    return nullptr;
  }
  PyErr_SetRaisedException(instance.release());
  return nullptr;
}

#define FASTCALL_KW(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

// ===========================================================================
// Ready

struct ReadyObject {
  PyObject_HEAD
  PyObject* value;
  std::atomic<bool> stepped;
};

void ready_dealloc(PyObject* self) noexcept {
  auto* r = reinterpret_cast<ReadyObject*>(self);
  PyTypeObject* type = Py_TYPE(self);
  Py_XDECREF(r->value);
  r->stepped.~atomic();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* ready_step(PyObject* self) noexcept {
  auto* r = reinterpret_cast<ReadyObject*>(self);
  if (!r->stepped.exchange(true, std::memory_order_acq_rel)) Py_RETURN_NONE;
  return stop_iteration(r->value);
}

PyObject* ready_send(PyObject* self, PyObject*) noexcept { return ready_step(self); }
PyObject* ready_close(PyObject*, PyObject*) noexcept { Py_RETURN_NONE; }
PyObject* ready_throw(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return throw_exception(args, nargs, kwnames);
}
PyObject* self_iter(PyObject* self) noexcept { return Py_NewRef(self); }

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
      {Py_tp_iter, reinterpret_cast<void*>(self_iter)},
      {Py_tp_iternext, reinterpret_cast<void*>(ready_step)},
      {Py_tp_methods, ready_methods},
      {0, nullptr},
  };
  static PyType_Spec spec = {"corvalink.aio.Ready", static_cast<int>(sizeof(ReadyObject)), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
  return PyType_FromSpec(&spec);
}

// ===========================================================================
// Deferred

struct DeferredObject {
  PyObject_HEAD
  std::mutex mutex;
  DeferredWork work;  // guarded by mutex; taken out once
};

DeferredWork take_work(PyObject* self) noexcept {
  auto* d = reinterpret_cast<DeferredObject*>(self);
  std::lock_guard lock(d->mutex);
  return std::exchange(d->work, nullptr);
}

void deferred_dealloc(PyObject* self) noexcept {
  auto* d = reinterpret_cast<DeferredObject*>(self);
  PyTypeObject* type = Py_TYPE(self);
  d->work = nullptr;  // unrun work is dropped here, attached
  d->work.~DeferredWork();
  d->mutex.~mutex();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* deferred_step(PyObject* self) noexcept {
  return py::guard([&]() -> PyObject* {
    DeferredWork work = take_work(self);
    if (!work) {
      PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
      return nullptr;
    }
    py::Ref result = py::Ref::steal(work());
    if (!result) return nullptr;
    return stop_iteration(result.get());
  });
}

PyObject* deferred_send(PyObject* self, PyObject*) noexcept { return deferred_step(self); }
PyObject* deferred_close(PyObject* self, PyObject*) noexcept {
  take_work(self);
  Py_RETURN_NONE;
}
PyObject* deferred_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  take_work(self);
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

// ===========================================================================
// Future

struct FutureObject {
  PyObject_HEAD
  CorePtr core;  // set at creation, never changed
};

FutureCore& core_of(PyObject* self) noexcept { return *reinterpret_cast<FutureObject*>(self)->core; }

void future_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<FutureObject*>(self)->core.~CorePtr();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* boolean(bool b) noexcept { return Py_NewRef(b ? Py_True : Py_False); }

PyObject* f_done(PyObject* self, PyObject*) noexcept {
  return py::guard([&] { return boolean(core_of(self).finished()); });
}

PyObject* f_cancelled(PyObject* self, PyObject*) noexcept {
  return py::guard([&] { return boolean(core_of(self).cancelled()); });
}

PyObject* f_result(PyObject* self, PyObject*) noexcept {
  return py::guard([&]() -> PyObject* {
    FutureCore& core = core_of(self);
    if (!core.finished()) return raise_invalid_state("Result is not ready.");
    return core.take_outcome().release();
  });
}

PyObject* f_exception(PyObject* self, PyObject*) noexcept {
  return py::guard([&]() -> PyObject* {
    FutureCore& core = core_of(self);
    // The state only: a large value is not copied.
    if (!core.finished()) return raise_invalid_state("Exception is not set.");
    if (!core.failed()) Py_RETURN_NONE;
    if (core.cancelled()) {
      PyObject* type = cancelled_error_type();
      if (!type) return nullptr;
      PyObject* exc = PyObject_CallNoArgs(type);
      if (exc) PyErr_SetRaisedException(exc);
      return nullptr;
    }
    return core.cached_exception().release();
  });
}

PyObject* f_cancel(PyObject* self, PyObject*) noexcept {
  return py::guard([&] { return boolean(cancel_core(core_of(self))); });
}

// wait(timeout=None): 50 ms detached slices with the signal handlers run between them.
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
    FutureCore& core = core_of(self);
    using namespace std::chrono_literals;
    for (;;) {
      bool finished = detached([&] {
        std::chrono::nanoseconds slice = 50ms;
        if (deadline) {
          auto left = *deadline - Clock::now();
          slice = std::clamp<std::chrono::nanoseconds>(left, 0ns, 50ms);
        }
        return core.wait_for(slice);
      });
      if (finished) return core.take_outcome().release();
      if (PyErr_CheckSignals() < 0) return nullptr;
      if (deadline && Clock::now() >= *deadline) {
        PyErr_SetString(PyExc_TimeoutError, "the operation did not finish within the timeout");
        return nullptr;
      }
    }
  });
}

PyObject* f_add_done_callback(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return py::guard([&]() -> PyObject* {
    nargs = PyVectorcall_NARGS(nargs);
    if (nargs != 1) {
      PyErr_Format(PyExc_TypeError, "Future.add_done_callback() takes exactly 1 positional argument (%zd given)",
                   nargs);
      return nullptr;
    }
    PyObject* fn = args[0];
    PyObject* context = nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, i);
      if (PyUnicode_CompareWithASCIIString(key, "context") != 0) {
        PyErr_Format(PyExc_TypeError, "Future.add_done_callback() got an unexpected keyword argument '%U'", key);
        return nullptr;
      }
      context = args[nargs + i];
    }
    py::Ref ctx = context && context != Py_None ? py::Ref::borrow(context) : py::Ref::steal(copy_context());
    if (!ctx) return nullptr;
    py::Ref loop = py::Ref::steal(peek_running_loop());
    if (!loop) return nullptr;
    auto cb = std::make_shared<DoneCallback>();
    cb->fn = AnyThreadRef(py::Ref::borrow(fn));
    cb->future = AnyThreadRef(py::Ref::borrow(self));
    cb->context = AnyThreadRef(std::move(ctx));
    if (loop.get() != Py_None) cb->loop = AnyThreadRef(std::move(loop));
    if (!core_of(self).add_callback(cb)) invoke_done_callback(*cb, "call_soon");
    Py_RETURN_NONE;
  });
}

PyObject* f_remove_done_callback(PyObject* self, PyObject* fn) noexcept {
  return py::guard([&]() -> PyObject* {
    FutureCore& core = core_of(self);
    std::vector<std::shared_ptr<DoneCallback>> matched;
    for (auto& cb : core.callbacks_snapshot()) {
      py::Ref cmp = py::Ref::steal(PyObject_RichCompare(cb->fn.get(), fn, Py_EQ));
      int eq = cmp ? PyObject_IsTrue(cmp.get()) : -1;
      if (eq < 0) return nullptr;
      if (eq) matched.push_back(std::move(cb));
    }
    if (matched.empty()) return PyLong_FromLong(0);
    auto removed = core.take_callbacks_if([&](const DoneCallback& cb) {
      for (auto& m : matched)
        if (m.get() == &cb) return true;
      return false;
    });
    std::size_t n = removed.size();
    removed.clear();  // attached: their references go now
    return PyLong_FromSize_t(n);
  });
}

// propagate_cancel: self is a capsule holding a CorePtr.
constexpr const char* kCoreCapsule = "corvalink.core";

void core_capsule_free(PyObject* capsule) noexcept {
  delete static_cast<CorePtr*>(PyCapsule_GetPointer(capsule, kCoreCapsule));
}

PyObject* propagate_cancel(PyObject* self, PyObject* asyncio_future) noexcept {
  return py::guard([&]() -> PyObject* {
    py::Ref cancelled = py::Ref::steal(PyObject_CallMethod(asyncio_future, "cancelled", nullptr));
    if (!cancelled) return nullptr;
    int yes = PyObject_IsTrue(cancelled.get());
    if (yes < 0) return nullptr;
    if (yes) {
      auto* core = static_cast<CorePtr*>(PyCapsule_GetPointer(self, kCoreCapsule));
      if (!core) return nullptr;
      cancel_core(**core);
    }
    Py_RETURN_NONE;
  });
}

PyMethodDef propagate_cancel_def = {"propagate_cancel", propagate_cancel, METH_O, nullptr};

PyObject* future_await(PyObject* self) noexcept {
  return py::guard([&]() -> PyObject* {
    py::Ref loop = py::Ref::steal(get_running_loop());
    if (!loop) return nullptr;
    const CorePtr& core = reinterpret_cast<FutureObject*>(self)->core;
    if (core->finished()) {
      py::Ref value = core->take_outcome();
      if (!value) return nullptr;  // a finished error raises without yielding
      return make_ready(std::move(value)).release();
    }
    py::Ref waiter = py::Ref::steal(PyObject_CallMethod(loop.get(), "create_future", nullptr));
    if (!waiter) return nullptr;
    if (!core->add_waiter(LoopWaiter{AnyThreadRef(loop), AnyThreadRef(waiter)})) {
      bool is_error = false;
      py::Ref outcome = core->outcome_object(is_error);
      if (!outcome) return nullptr;
      py::Ref r = py::Ref::steal(deliver_into(waiter.get(), outcome.get(), is_error));
      if (!r) return nullptr;
    }
    py::Ref capsule = py::Ref::steal(PyCapsule_New(new CorePtr(core), kCoreCapsule, core_capsule_free));
    if (!capsule) return nullptr;
    py::Ref fn = py::Ref::steal(PyCFunction_New(&propagate_cancel_def, capsule.get()));
    if (!fn) return nullptr;
    py::Ref r = py::Ref::steal(PyObject_CallMethod(waiter.get(), "add_done_callback", "O", fn.get()));
    if (!r) return nullptr;
    return PyObject_CallMethod(waiter.get(), "__await__", nullptr);
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

#undef FASTCALL_KW

py::OnceCell future_cell;

PyObject* make_future_type() noexcept {
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>("A port operation running on the runtime.")},
      {Py_tp_dealloc, reinterpret_cast<void*>(future_dealloc)},
      {Py_am_await, reinterpret_cast<void*>(future_await)},
      {Py_tp_methods, future_methods},
      {0, nullptr},
  };
  static PyType_Spec spec = {"corvalink.aio.Future", static_cast<int>(sizeof(FutureObject)), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
  return PyType_FromSpec(&spec);
}

}  // namespace

PyObject* copy_context() noexcept {
  PyObject* f = module_attribute(copy_context_cell, "contextvars", "copy_context");
  return f ? PyObject_CallNoArgs(f) : nullptr;
}

PyObject* future_type() noexcept { return future_cell.get_or_init(make_future_type); }
PyObject* ready_type() noexcept { return ready_cell.get_or_init(make_ready_type); }
PyObject* deferred_type() noexcept { return deferred_cell.get_or_init(make_deferred_type); }

py::Ref make_future(CorePtr core) noexcept {
  auto* type = reinterpret_cast<PyTypeObject*>(future_type());
  if (!type) return {};
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return {};
  new (&reinterpret_cast<FutureObject*>(self)->core) CorePtr(std::move(core));
  return py::Ref::steal(self);
}

PyObject* start_future(OperationPtr op, StartForm form) noexcept {
  CorePtr core = start_operation(std::move(op), form);
  if (!core) return nullptr;
  return make_future(std::move(core)).release();
}

PyObject* finished_future(PyObject* value) noexcept {
  return py::guard([&]() -> PyObject* {
    OperationValue v = std::make_shared<PyObjectHolder>(py::Ref::borrow(value));
    return make_future(FutureCore::make_finished(std::move(v))).release();
  });
}

py::Ref make_ready(py::Ref value) noexcept {
  auto* type = reinterpret_cast<PyTypeObject*>(ready_type());
  if (!type) return {};
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return {};
  auto* r = reinterpret_cast<ReadyObject*>(self);
  r->value = value.release();
  new (&r->stepped) std::atomic<bool>(false);
  return py::Ref::steal(self);
}

py::Ref make_deferred(DeferredWork work) noexcept {
  auto* type = reinterpret_cast<PyTypeObject*>(deferred_type());
  if (!type) return {};
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return {};
  auto* d = reinterpret_cast<DeferredObject*>(self);
  new (&d->mutex) std::mutex();
  new (&d->work) DeferredWork(std::move(work));
  return py::Ref::steal(self);
}

bool add_native_done_callback(const CorePtr& core, PyObject* fn, PyObject* future, PyObject* context) noexcept {
  return py::guard<bool>(false, [&] {
    auto cb = std::make_shared<DoneCallback>();
    cb->fn = AnyThreadRef(py::Ref::borrow(fn));
    cb->future = AnyThreadRef(py::Ref::borrow(future));
    cb->context = AnyThreadRef(py::Ref::borrow(context));
    cb->native = true;
    if (!core->add_callback(cb)) invoke_done_callback(*cb, "call_soon");
    return !PyErr_Occurred();
  });
}

}  // namespace corvalink
