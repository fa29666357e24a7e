// The asyncio transport: _TransportCore (the state and behaviour of one
// transport over a port), the run-time class SerialTransport that forwards to
// it, and the connection helpers of corvalink.aio.
//
// Reading runs as a chain: start_read → a port read (stepped once here, then
// a task) → "forward" on the thread that finished it → "on_read" on the
// loop's thread → start_read again. Writes are batched: write() appends to a
// buffer that is handed to one port write whenever none is in flight.
//
// Everything that touches the protocol runs on the loop's thread. The core's
// mutex guards its state and is never held while Python code runs: fields
// that hold Python references are swapped out under the lock and released
// after it.

#include "transport.hpp"

#include <array>
#include <chrono>
#include <mutex>

#include "errors_python.hpp"
#include "future.hpp"
#include "port.hpp"
#include "serial.hpp"

namespace corvalink {

namespace {

using namespace std::chrono_literals;

constexpr std::size_t kReadMax = 65536;
constexpr auto kReadRestart = 1s;

// --- the transport's read: read_available raced against a timer -------------

// The inner read raced against a deadline fixed at the first step; the read
// is looked at first, so data present at the deadline wins. The timer's win
// drops the read (releasing the read side) and ends with no bytes.
class TimedRead final : public PortOperation {
 public:
  TimedRead(OperationPtr inner, std::chrono::nanoseconds limit) noexcept : inner_(std::move(inner)), limit_(limit) {}

  Poll<OperationOutcome> poll(Context& cx) override {
    if (!timer_) timer_.emplace(deadline_after(Clock::now(), limit_).value_or(Instant::max()));
    Poll<OperationOutcome> r = inner_->poll(cx);
    if (r.ready()) return r;
    if (timer_->poll(cx).ready()) {
      inner_.reset();
      return OperationOutcome(OperationValue(ByteString{}));
    }
    return Pending;
  }

 private:
  OperationPtr inner_;
  std::chrono::nanoseconds limit_;
  std::optional<Sleep> timer_;
};

// --- the core ----------------------------------------------------------------

struct TransportCore {
  PyObject_HEAD
  // Never changed after construction.
  PyObject* loop;
  PyObject* serial;
  PortRef port;
  PyObject* transport_ref;  // weak reference to the SerialTransport, set once

  std::mutex mutex;
  // Guarded by mutex.
  ByteString held_data;
  ByteString write_buffer;
  PyObject* protocol;
  PyObject* read_future;
  PyObject* write_future;
  PyObject* flush_future;
  PyObject* close_exception;
  std::uint64_t write_in_flight;
  std::uint64_t high_water;
  std::uint64_t low_water;
  bool closing;
  bool reading_paused;
  bool writing_paused;
  bool lost_scheduled;
};

TransportCore* core_of(PyObject* self) noexcept { return reinterpret_cast<TransportCore*>(self); }

// Takes the field's reference out (under the caller's lock).
py::Ref take(PyObject*& field) noexcept { return py::Ref::steal(std::exchange(field, nullptr)); }
// A new reference to the field's object (under the caller's lock).
py::Ref peek(PyObject* field) noexcept { return py::Ref::borrow(field); }

PyObject* none() noexcept { Py_RETURN_NONE; }
PyObject* or_none(py::Ref r) noexcept { return r ? r.release() : none(); }

std::uint64_t buffered_locked(const TransportCore* c) noexcept { return c->write_buffer.size() + c->write_in_flight; }

// --- run-time callables --------------------------------------------------------

PyObject* on_start(PyObject* self, PyObject*) noexcept;
PyObject* on_read(PyObject* self, PyObject* future) noexcept;
PyObject* on_write(PyObject* self, PyObject* future) noexcept;
PyObject* connection_lost_step(PyObject* self, PyObject* ignored) noexcept;
PyObject* forward(PyObject* self, PyObject* future) noexcept;

PyMethodDef on_start_def = {"on_start", on_start, METH_NOARGS, nullptr};
PyMethodDef on_read_def = {"on_read", on_read, METH_O, nullptr};
PyMethodDef on_write_def = {"on_write", on_write, METH_O, nullptr};
PyMethodDef connection_lost_def = {"connection_lost", connection_lost_step, METH_O, nullptr};
PyMethodDef forward_def = {"forward", forward, METH_O, nullptr};

// "forward": carries a finished future to the loop's thread. self is the
// pair (core, callable). A loop that is gone closes the port instead.
PyObject* forward(PyObject* self, PyObject* future) noexcept {
  return py::guard([&]() -> PyObject* {
    TransportCore* c = core_of(PyTuple_GET_ITEM(self, 0));
    PyObject* callable = PyTuple_GET_ITEM(self, 1);
    py::Ref scheduled = py::Ref::steal(PyObject_CallMethod(c->loop, "call_soon_threadsafe", "OO", callable, future));
    if (scheduled) return none();
    py::Ref error = py::Ref::steal(PyErr_GetRaisedException());
    py::Ref closed = py::Ref::steal(PyObject_CallMethod(c->serial, "close", nullptr));
    if (!closed) return nullptr;
    return none();
  });
}

// Registers `def` (holding the core) on the future, through "forward".
bool register_forwarded(PyObject* self, const CorePtr& core, PyObject* future, PyMethodDef* def) noexcept {
  py::Ref callable = py::Ref::steal(PyCFunction_New(def, self));
  if (!callable) return false;
  py::Ref pair = py::Ref::steal(PyTuple_Pack(2, self, callable.get()));
  if (!pair) return false;
  py::Ref fwd = py::Ref::steal(PyCFunction_New(&forward_def, pair.get()));
  if (!fwd) return false;
  py::Ref context = py::Ref::steal(copy_context());
  if (!context) return false;
  return add_native_done_callback(core, fwd.get(), future, context.get());
}

// An operation started for the transport: its core and its Future object.
struct Started {
  CorePtr core;
  py::Ref future;
};

std::optional<Started> start(OperationPtr op, StartForm form) noexcept {
  CorePtr core = start_operation(std::move(op), form);
  if (!core) return std::nullopt;
  py::Ref future = make_future(core);
  if (!future) return std::nullopt;
  return Started{std::move(core), std::move(future)};
}

// --- reporting -------------------------------------------------------------------

// loop.call_exception_handler({message, exception, transport, protocol}).
bool report_error(PyObject* self, const char* message, PyObject* exception) noexcept {
  TransportCore* c = core_of(self);
  py::Ref protocol;
  {
    std::lock_guard lock(c->mutex);
    protocol = peek(c->protocol);
  }
  py::Ref transport;
  if (c->transport_ref) {
    PyObject* alive = nullptr;
    if (PyWeakref_GetRef(c->transport_ref, &alive) < 0) return false;
    transport = py::Ref::steal(alive);
  }
  py::Ref context = py::Ref::steal(PyDict_New());
  py::Ref text = py::str(message);
  if (!context || !text) return false;
  if (PyDict_SetItemString(context.get(), "message", text.get()) < 0 ||
      PyDict_SetItemString(context.get(), "exception", exception ? exception : Py_None) < 0 ||
      PyDict_SetItemString(context.get(), "transport", transport ? transport.get() : Py_None) < 0 ||
      PyDict_SetItemString(context.get(), "protocol", protocol ? protocol.get() : Py_None) < 0)
    return false;
  py::Ref r = py::Ref::steal(PyObject_CallMethod(c->loop, "call_exception_handler", "O", context.get()));
  return static_cast<bool>(r);
}

// Calls protocol.<name>(); a failure is reported, never propagated (a failure
// to report is reported as unraisable), so the callers have nothing to check.
void call_protocol_hook(PyObject* self, py::Ref protocol, const char* name) noexcept {
  if (!protocol) return;
  py::Ref r = py::Ref::steal(PyObject_CallMethod(protocol.get(), name, nullptr));
  if (r) return;
  py::Ref exc = py::Ref::steal(PyErr_GetRaisedException());
  std::string message = std::string("protocol.") + name + "() failed";
  if (!report_error(self, message.c_str(), exc.get())) PyErr_WriteUnraisable(self);
}

// --- reading ---------------------------------------------------------------------

bool start_read(PyObject* self) noexcept {
  TransportCore* c = core_of(self);
  {
    std::lock_guard lock(c->mutex);
    if (c->closing || c->reading_paused || c->read_future) return true;
  }
  std::optional<Started> read =
      start(std::make_unique<TimedRead>(make_read_available(c->port, kReadMax), kReadRestart), StartForm::FirstStep);
  if (!read) return false;
  py::Ref previous;
  {
    std::lock_guard lock(c->mutex);
    previous = take(c->read_future);
    c->read_future = py::Ref(read->future).release();
  }
  return register_forwarded(self, read->core, read->future.get(), &on_read_def);
}

PyObject* on_start(PyObject* self, PyObject*) noexcept {
  return py::guard([&]() -> PyObject* { return start_read(self) ? none() : nullptr; });
}

bool close_with(PyObject* self, py::Ref exc) noexcept;

// The result of a finished Future object.
py::Ref future_result(PyObject* future) noexcept {
  return py::Ref::steal(PyObject_CallMethod(future, "result", nullptr));
}

PyObject* on_read(PyObject* self, PyObject* future) noexcept {
  return py::guard([&]() -> PyObject* {
    TransportCore* c = core_of(self);
    py::Ref mine;
    {
      std::lock_guard lock(c->mutex);
      if (c->read_future != future) return none();
      mine = take(c->read_future);
    }
    py::Ref data = future_result(future);
    if (!data) {
      py::Ref exc = py::Ref::steal(PyErr_GetRaisedException());
      return close_with(self, std::move(exc)) ? none() : nullptr;
    }
    if (!PyBytes_Check(data.get())) {
      py::raise_wrong_type(data.get(), "bytes");
      return nullptr;
    }
    py::Ref protocol;
    {
      std::lock_guard lock(c->mutex);
      if (c->closing) return none();
      if (c->reading_paused) {
        const char* p = PyBytes_AS_STRING(data.get());
        c->held_data.insert(c->held_data.end(), p, p + PyBytes_GET_SIZE(data.get()));
        return none();
      }
      protocol = peek(c->protocol);
    }
    if (!start_read(self)) return nullptr;
    if (protocol && PyBytes_GET_SIZE(data.get()) > 0) {
      py::Ref r = py::Ref::steal(PyObject_CallMethod(protocol.get(), "data_received", "O", data.get()));
      if (!r) return nullptr;
    }
    return none();
  });
}

// --- writing -----------------------------------------------------------------------

void maybe_pause_writing(PyObject* self) noexcept {
  TransportCore* c = core_of(self);
  py::Ref protocol;
  {
    std::lock_guard lock(c->mutex);
    if (c->writing_paused || buffered_locked(c) <= c->high_water) return;
    c->writing_paused = true;
    protocol = peek(c->protocol);
  }
  call_protocol_hook(self, std::move(protocol), "pause_writing");
}

void maybe_resume_writing(PyObject* self) noexcept {
  TransportCore* c = core_of(self);
  py::Ref protocol;
  {
    std::lock_guard lock(c->mutex);
    if (!c->writing_paused || buffered_locked(c) > c->low_water) return;
    c->writing_paused = false;
    protocol = peek(c->protocol);
  }
  call_protocol_hook(self, std::move(protocol), "resume_writing");
}

bool start_write(PyObject* self) noexcept {
  TransportCore* c = core_of(self);
  ByteString data;
  {
    std::lock_guard lock(c->mutex);
    if (c->write_future || c->write_buffer.empty()) return true;
    data.swap(c->write_buffer);
    c->write_in_flight = data.size();
  }
  std::optional<Started> write = start(make_write(c->port, std::move(data), false), StartForm::SpawnOnly);
  if (!write) {
    std::lock_guard lock(c->mutex);
    c->write_in_flight = 0;
    return false;
  }
  {
    std::lock_guard lock(c->mutex);
    c->write_future = py::Ref(write->future).release();
  }
  return register_forwarded(self, write->core, write->future.get(), &on_write_def);
}

bool begin_shutdown(PyObject* self, bool flush) noexcept {
  TransportCore* c = core_of(self);
  {
    std::lock_guard lock(c->mutex);
    if (c->lost_scheduled) return true;
    c->lost_scheduled = true;
  }
  if (flush) {
    std::optional<Started> drain = start(make_flush(c->port), StartForm::SpawnOnly);
    if (!drain) return false;
    py::Ref previous;
    {
      std::lock_guard lock(c->mutex);
      previous = take(c->flush_future);
      c->flush_future = py::Ref(drain->future).release();
    }
    return register_forwarded(self, drain->core, drain->future.get(), &connection_lost_def);
  }
  py::Ref step = py::Ref::steal(PyCFunction_New(&connection_lost_def, self));
  if (!step) return false;
  py::Ref r = py::Ref::steal(PyObject_CallMethod(c->loop, "call_soon", "OO", step.get(), Py_None));
  return static_cast<bool>(r);
}

bool force_close(PyObject* self, py::Ref exc) noexcept {
  TransportCore* c = core_of(self);
  py::Ref read, write, flush;
  ByteString dropped;
  {
    std::lock_guard lock(c->mutex);
    c->closing = true;
    if (!c->close_exception) c->close_exception = exc.release();
    dropped.swap(c->write_buffer);
    read = take(c->read_future);
    write = take(c->write_future);
    flush = take(c->flush_future);
    c->write_in_flight = 0;
  }
  for (const py::Ref& f : {read, write, flush}) {
    if (!f) continue;
    py::Ref r = py::Ref::steal(PyObject_CallMethod(f.get(), "cancel", nullptr));
    if (!r) return false;
  }
  return begin_shutdown(self, false);
}

bool close_with(PyObject* self, py::Ref exc) noexcept {
  TransportCore* c = core_of(self);
  py::Ref read;
  bool nothing_to_write = false;
  {
    std::lock_guard lock(c->mutex);
    if (c->closing) return true;  // exc is dropped after the lock
    c->closing = true;
    c->close_exception = exc.release();
    read = take(c->read_future);
    nothing_to_write = c->write_buffer.empty() && !c->write_future;
  }
  if (read) {
    py::Ref r = py::Ref::steal(PyObject_CallMethod(read.get(), "cancel", nullptr));
    if (!r) return false;
  }
  if (nothing_to_write) return begin_shutdown(self, true);
  return true;
}

PyObject* on_write(PyObject* self, PyObject* future) noexcept {
  return py::guard([&]() -> PyObject* {
    TransportCore* c = core_of(self);
    py::Ref mine;
    {
      std::lock_guard lock(c->mutex);
      if (c->write_future != future) return none();
      mine = take(c->write_future);
      c->write_in_flight = 0;
    }
    py::Ref count = future_result(future);
    if (count) {
      maybe_resume_writing(self);
      bool more = false, shut = false;
      {
        std::lock_guard lock(c->mutex);
        more = !c->write_buffer.empty();
        shut = c->closing && !c->write_future && !c->lost_scheduled;
      }
      if (more) return start_write(self) ? none() : nullptr;
      if (shut) return begin_shutdown(self, true) ? none() : nullptr;
      return none();
    }
    py::Ref exc = py::Ref::steal(PyErr_GetRaisedException());
    bool quiet = false;
    {
      std::lock_guard lock(c->mutex);
      quiet = c->closing && c->close_exception;
    }
    if (!quiet && !report_error(self, "Fatal write error on serial transport", exc.get())) return nullptr;
    return force_close(self, std::move(exc)) ? none() : nullptr;
  });
}

// The connection_lost step: tell the protocol, then close the port.
PyObject* connection_lost_step(PyObject* self, PyObject*) noexcept {
  return py::guard([&]() -> PyObject* {
    TransportCore* c = core_of(self);
    py::Ref protocol, exc, flush;
    {
      std::lock_guard lock(c->mutex);
      protocol = take(c->protocol);
      exc = take(c->close_exception);
      flush = take(c->flush_future);
    }
    flush.reset();
    py::Ref lost_error;
    if (protocol) {
      py::Ref r = py::Ref::steal(
          PyObject_CallMethod(protocol.get(), "connection_lost", "O", exc ? exc.get() : Py_None));
      if (!r) lost_error = py::Ref::steal(PyErr_GetRaisedException());
    }
    py::Ref closed = py::Ref::steal(PyObject_CallMethod(c->serial, "close", nullptr));
    if (!closed) return nullptr;
    if (lost_error) {
      PyErr_SetRaisedException(lost_error.release());
      return nullptr;
    }
    return none();
  });
}

// --- the Python members of _TransportCore ---------------------------------------------

PyObject* get_loop(PyObject* self, void*) noexcept { return Py_NewRef(core_of(self)->loop); }
PyObject* get_serial(PyObject* self, void*) noexcept { return Py_NewRef(core_of(self)->serial); }

PyObject* t_get_extra_info(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return py::guard([&]() -> PyObject* {
    static constexpr std::array<const char*, 2> kNames = {"name", "default"};
    PyObject* a[2];
    if (!serial::bind_args("get_extra_info", kNames, 1, true, args, nargs, kwnames, a)) return nullptr;
    if (!PyUnicode_Check(a[0])) {
      py::raise_wrong_type(a[0], "str");
      py::add_processing_note("name");
      return nullptr;
    }
    if (PyUnicode_CompareWithASCIIString(a[0], "serial") == 0) return Py_NewRef(core_of(self)->serial);
    return Py_NewRef(a[1] ? a[1] : Py_None);
  });
}

template <class F>
PyObject* read_state(PyObject* self, F&& f) noexcept {
  TransportCore* c = core_of(self);
  bool b;
  {
    std::lock_guard lock(c->mutex);
    b = f(c);
  }
  return Py_NewRef(b ? Py_True : Py_False);
}

PyObject* t_is_closing(PyObject* self, PyObject*) noexcept {
  return read_state(self, [](TransportCore* c) { return c->closing; });
}
PyObject* t_is_reading(PyObject* self, PyObject*) noexcept {
  return read_state(self, [](TransportCore* c) { return !c->closing && !c->reading_paused; });
}

PyObject* t_pause_reading(PyObject* self, PyObject*) noexcept {
  TransportCore* c = core_of(self);
  {
    std::lock_guard lock(c->mutex);
    c->reading_paused = true;
  }
  return none();
}

PyObject* t_resume_reading(PyObject* self, PyObject*) noexcept {
  return py::guard([&]() -> PyObject* {
    TransportCore* c = core_of(self);
    ByteString held;
    py::Ref protocol;
    {
      std::lock_guard lock(c->mutex);
      if (!c->reading_paused) return none();
      c->reading_paused = false;
      held.swap(c->held_data);
      protocol = peek(c->protocol);
    }
    if (!held.empty() && protocol) {
      py::Ref received = py::Ref::steal(PyObject_GetAttrString(protocol.get(), "data_received"));
      if (!received) return nullptr;
      py::Ref data = py::Ref::steal(
          PyBytes_FromStringAndSize(reinterpret_cast<const char*>(held.data()), static_cast<Py_ssize_t>(held.size())));
      if (!data) return nullptr;
      py::Ref r = py::Ref::steal(PyObject_CallMethod(c->loop, "call_soon", "OO", received.get(), data.get()));
      if (!r) return nullptr;
    }
    return start_read(self) ? none() : nullptr;
  });
}

PyObject* t_get_protocol(PyObject* self, PyObject*) noexcept {
  TransportCore* c = core_of(self);
  py::Ref protocol;
  {
    std::lock_guard lock(c->mutex);
    protocol = peek(c->protocol);
  }
  return or_none(std::move(protocol));
}

PyObject* t_set_protocol(PyObject* self, PyObject* protocol) noexcept {
  TransportCore* c = core_of(self);
  py::Ref old;
  {
    std::lock_guard lock(c->mutex);
    old = py::Ref::steal(std::exchange(c->protocol, Py_NewRef(protocol)));
  }
  return none();
}

PyObject* t_write(PyObject* self, PyObject* data) noexcept {
  return py::guard([&]() -> PyObject* {
    TransportCore* c = core_of(self);
    bool in_flight = false;
    {
      // bytes go straight into the buffer; anything else is converted first.
      ByteString converted;
      const std::uint8_t* p = nullptr;
      std::size_t n = 0;
      if (PyBytes_Check(data)) {
        p = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(data));
        n = static_cast<std::size_t>(PyBytes_GET_SIZE(data));
      } else {
        if (!serial::to_byte_data(data, converted)) return nullptr;
        p = converted.data();
        n = converted.size();
      }
      std::lock_guard lock(c->mutex);
      if (c->closing || n == 0) return none();
      c->write_buffer.insert(c->write_buffer.end(), p, p + n);
      in_flight = c->write_future != nullptr;
    }
    if (!in_flight && !start_write(self)) return nullptr;
    maybe_pause_writing(self);
    return none();
  });
}

PyObject* t_writelines(PyObject* self, PyObject* list_of_data) noexcept {
  return py::guard([&]() -> PyObject* {
    py::Ref it = py::Ref::steal(PyObject_GetIter(list_of_data));
    if (!it) return nullptr;
    while (py::Ref item = py::Ref::steal(PyIter_Next(it.get()))) {
      py::Ref r = py::Ref::steal(t_write(self, item.get()));
      if (!r) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return none();
  });
}

bool limit_arg(PyObject* value, const char* name, std::optional<long long>& out) noexcept {
  if (!value || value == Py_None) return true;
  long long v = PyLong_AsLongLong(value);
  if (v == -1 && PyErr_Occurred()) {
    py::add_processing_note(name);
    return false;
  }
  out = v;
  return true;
}

PyObject* t_set_write_buffer_limits(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) noexcept {
  return py::guard([&]() -> PyObject* {
    static constexpr std::array<const char*, 2> kNames = {"high", "low"};
    PyObject* a[2];
    if (!serial::bind_args("set_write_buffer_limits", kNames, 0, true, args, nargs, kwnames, a)) return nullptr;
    std::optional<long long> high, low;
    if (!limit_arg(a[0], "high", high) || !limit_arg(a[1], "low", low)) return nullptr;
    long long h = high ? *high : (low ? 4 * *low : 65536);
    long long l = low ? *low : h / 4;
    if (!(h >= l && l >= 0)) {
      PyErr_Format(PyExc_ValueError, "high (%lld) must be >= low (%lld) must be >= 0", h, l);
      return nullptr;
    }
    TransportCore* c = core_of(self);
    {
      std::lock_guard lock(c->mutex);
      c->high_water = static_cast<std::uint64_t>(h);
      c->low_water = static_cast<std::uint64_t>(l);
    }
    maybe_pause_writing(self);
    return none();
  });
}

PyObject* t_get_write_buffer_limits(PyObject* self, PyObject*) noexcept {
  TransportCore* c = core_of(self);
  std::uint64_t low, high;
  {
    std::lock_guard lock(c->mutex);
    low = c->low_water;
    high = c->high_water;
  }
  return Py_BuildValue("(KK)", static_cast<unsigned long long>(low), static_cast<unsigned long long>(high));
}

PyObject* t_get_write_buffer_size(PyObject* self, PyObject*) noexcept {
  TransportCore* c = core_of(self);
  std::uint64_t n;
  {
    std::lock_guard lock(c->mutex);
    n = buffered_locked(c);
  }
  return PyLong_FromUnsignedLongLong(n);
}

PyObject* t_flush(PyObject* self, PyObject*) noexcept {
  return py::guard([&]() -> PyObject* {
    TransportCore* c = core_of(self);
    ByteString dropped;
    {
      std::lock_guard lock(c->mutex);
      dropped.swap(c->write_buffer);
    }
    maybe_resume_writing(self);
    return none();
  });
}

PyObject* t_can_write_eof(PyObject*, PyObject*) noexcept { Py_RETURN_FALSE; }
PyObject* t_write_eof(PyObject*, PyObject*) noexcept {
  PyErr_SetString(PyExc_NotImplementedError, "Serial connections do not support end-of-file");
  return nullptr;
}

PyObject* t_close(PyObject* self, PyObject*) noexcept {
  return py::guard([&]() -> PyObject* { return close_with(self, py::Ref()) ? none() : nullptr; });
}
PyObject* t_abort(PyObject* self, PyObject*) noexcept {
  return py::guard([&]() -> PyObject* { return force_close(self, py::Ref()) ? none() : nullptr; });
}

PyObject* t_repr(PyObject* self) noexcept {
  return py::guard([&]() -> PyObject* {
    TransportCore* c = core_of(self);
    py::Ref protocol;
    {
      std::lock_guard lock(c->mutex);
      protocol = peek(c->protocol);
    }
    return PyUnicode_FromFormat("SerialTransport(%R, %R, %R)", c->loop, protocol ? protocol.get() : Py_None,
                                c->serial);
  });
}

int t_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  TransportCore* c = core_of(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(c->loop);
  Py_VISIT(c->serial);
  Py_VISIT(c->protocol);
  Py_VISIT(c->read_future);
  Py_VISIT(c->write_future);
  Py_VISIT(c->flush_future);
  Py_VISIT(c->close_exception);
  return 0;
}

int t_clear(PyObject* self) noexcept {
  TransportCore* c = core_of(self);
  py::Ref protocol, read, write, flush, exc;
  {
    std::lock_guard lock(c->mutex);
    protocol = take(c->protocol);
    read = take(c->read_future);
    write = take(c->write_future);
    flush = take(c->flush_future);
    exc = take(c->close_exception);
  }
  return 0;
}

void t_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  t_clear(self);
  TransportCore* c = core_of(self);
  Py_CLEAR(c->loop);
  Py_CLEAR(c->serial);
  Py_CLEAR(c->transport_ref);
  c->port.~PortRef();
  c->held_data.~ByteString();
  c->write_buffer.~ByteString();
  c->mutex.~mutex();
  type->tp_free(self);
  Py_DECREF(type);
}

#define FASTCALL_KW(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyMethodDef core_methods[] = {
    {"get_extra_info", FASTCALL_KW(t_get_extra_info), METH_FASTCALL | METH_KEYWORDS,
     "get_extra_info($self, name, default=None)\n--\n\n"},
    {"is_closing", t_is_closing, METH_NOARGS, "is_closing($self)\n--\n\n"},
    {"is_reading", t_is_reading, METH_NOARGS, "is_reading($self)\n--\n\n"},
    {"pause_reading", t_pause_reading, METH_NOARGS,
     "pause_reading($self)\n--\n\nStops `data_received` calls until `resume_reading`.\n\nA read already under way is "
     "not cancelled, since it may have taken bytes from the\nport; what it returns is held and delivered on resume."},
    {"resume_reading", t_resume_reading, METH_NOARGS, "resume_reading($self)\n--\n\n"},
    {"get_protocol", t_get_protocol, METH_NOARGS, "get_protocol($self)\n--\n\n"},
    {"set_protocol", t_set_protocol, METH_O, "set_protocol($self, protocol)\n--\n\n"},
    {"write", t_write, METH_O, "write($self, data)\n--\n\n"},
    {"writelines", t_writelines, METH_O, "writelines($self, list_of_data)\n--\n\n"},
    {"set_write_buffer_limits", FASTCALL_KW(t_set_write_buffer_limits), METH_FASTCALL | METH_KEYWORDS,
     "set_write_buffer_limits($self, high=None, low=None)\n--\n\n"},
    {"get_write_buffer_limits", t_get_write_buffer_limits, METH_NOARGS, "get_write_buffer_limits($self)\n--\n\n"},
    {"get_write_buffer_size", t_get_write_buffer_size, METH_NOARGS, "get_write_buffer_size($self)\n--\n\n"},
    {"flush", t_flush, METH_NOARGS, "flush($self)\n--\n\n"},
    {"can_write_eof", t_can_write_eof, METH_NOARGS, "can_write_eof($self)\n--\n\n"},
    {"write_eof", t_write_eof, METH_NOARGS, "write_eof($self)\n--\n\n"},
    {"close", t_close, METH_NOARGS, "close($self)\n--\n\n"},
    {"abort", t_abort, METH_NOARGS, "abort($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef core_getset[] = {
    {"loop", get_loop, nullptr, "The event loop.", nullptr},
    {"serial", get_serial, nullptr, "The serial port object.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

py::OnceCell core_cell;

PyObject* core_type() noexcept {
  return core_cell.get_or_init([]() -> PyObject* {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(
                        "The state and behaviour behind `corvalink.aio.SerialTransport`, which forwards to it:\n"
                        "a native class cannot also derive from a Python class such as `asyncio.Transport`,\n"
                        "so the public class is a Python subclass built at run time by `serial_transport_class`.")},
        {Py_tp_dealloc, reinterpret_cast<void*>(t_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(t_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(t_clear)},
        {Py_tp_repr, reinterpret_cast<void*>(t_repr)},
        {Py_tp_methods, core_methods},
        {Py_tp_getset, core_getset},
        {0, nullptr},
    };
    static PyType_Spec spec = {"corvalink.aio._TransportCore", static_cast<int>(sizeof(TransportCore)), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    return PyType_FromSpec(&spec);
  });
}

// --- SerialTransport ---------------------------------------------------------------------

constexpr std::array<const char*, 18> kForwarded = {
    "get_extra_info", "is_closing",      "is_reading",   "close",
    "abort",          "write",           "writelines",   "can_write_eof",
    "write_eof",      "pause_reading",   "resume_reading", "set_write_buffer_limits",
    "get_write_buffer_limits", "get_write_buffer_size", "flush", "get_protocol",
    "set_protocol",   "__repr__"};

// A method forwarder: self is the name; args[0] is the instance.
PyObject* forward_method(PyObject* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return py::guard([&]() -> PyObject* {
    nargs = PyVectorcall_NARGS(nargs);
    if (nargs < 1) {
      PyErr_SetString(PyExc_TypeError, "a transport method needs its instance");
      return nullptr;
    }
    py::Ref core = py::Ref::steal(PyObject_GetAttrString(args[0], "_core"));
    if (!core) return nullptr;
    py::Ref method = py::Ref::steal(PyObject_GetAttr(core.get(), name));
    if (!method) return nullptr;
    return PyObject_Vectorcall(method.get(), args + 1, static_cast<std::size_t>(nargs - 1), kwnames);
  });
}

// A property getter: self is the name.
PyObject* forward_property(PyObject* name, PyObject* instance) noexcept {
  return py::guard([&]() -> PyObject* {
    py::Ref core = py::Ref::steal(PyObject_GetAttrString(instance, "_core"));
    if (!core) return nullptr;
    return PyObject_GetAttr(core.get(), name);
  });
}

PyMethodDef forward_method_def = {"forward_method", FASTCALL_KW(forward_method), METH_FASTCALL | METH_KEYWORDS,
                                  nullptr};
PyMethodDef forward_property_def = {"forward_property", forward_property, METH_O, nullptr};

#undef FASTCALL_KW

py::OnceCell transport_cell;

PyObject* build_serial_transport() noexcept {
  py::Ref functools = py::Ref::steal(PyImport_ImportModule("functools"));
  if (!functools) return nullptr;
  py::Ref partialmethod = py::Ref::steal(PyObject_GetAttrString(functools.get(), "partialmethod"));
  if (!partialmethod) return nullptr;
  py::Ref builtins = py::Ref::steal(PyImport_ImportModule("builtins"));
  if (!builtins) return nullptr;
  py::Ref property = py::Ref::steal(PyObject_GetAttrString(builtins.get(), "property"));
  if (!property) return nullptr;

  py::Ref ns = py::Ref::steal(PyDict_New());
  if (!ns) return nullptr;
  py::Ref module = py::str("corvalink.aio"), qualname = py::str("SerialTransport");
  py::Ref doc = py::str("An asyncio transport over a serial port.");
  py::Ref slots = py::Ref::steal(Py_BuildValue("(ss)", "_core", "__weakref__"));
  if (!module || !qualname || !doc || !slots || PyDict_SetItemString(ns.get(), "__module__", module.get()) < 0 ||
      PyDict_SetItemString(ns.get(), "__qualname__", qualname.get()) < 0 ||
      PyDict_SetItemString(ns.get(), "__doc__", doc.get()) < 0 ||
      PyDict_SetItemString(ns.get(), "__slots__", slots.get()) < 0)
    return nullptr;
  for (const char* name : kForwarded) {
    py::Ref key = py::str(name);
    if (!key) return nullptr;
    py::Ref fn = py::Ref::steal(PyCFunction_New(&forward_method_def, key.get()));
    if (!fn) return nullptr;
    py::Ref method = py::Ref::steal(PyObject_CallOneArg(partialmethod.get(), fn.get()));
    if (!method || PyDict_SetItem(ns.get(), key.get(), method.get()) < 0) return nullptr;
  }
  for (const char* name : {"loop", "serial"}) {
    py::Ref key = py::str(name);
    if (!key) return nullptr;
    py::Ref fn = py::Ref::steal(PyCFunction_New(&forward_property_def, key.get()));
    if (!fn) return nullptr;
    py::Ref prop = py::Ref::steal(PyObject_CallOneArg(property.get(), fn.get()));
    if (!prop || PyDict_SetItem(ns.get(), key.get(), prop.get()) < 0) return nullptr;
  }
  py::Ref asyncio = py::Ref::steal(PyImport_ImportModule("asyncio"));
  if (!asyncio) return nullptr;
  py::Ref transport = py::Ref::steal(PyObject_GetAttrString(asyncio.get(), "Transport"));
  if (!transport) return nullptr;
  py::Ref type = py::Ref::steal(PyObject_GetAttrString(builtins.get(), "type"));
  if (!type) return nullptr;
  py::Ref cls = py::Ref::steal(
      PyObject_CallFunction(type.get(), "s(O)O", "SerialTransport", transport.get(), ns.get()));
  if (!cls) return nullptr;
  if (!PyType_Check(cls.get())) {
    py::raise_wrong_type(cls.get(), "type");
    return nullptr;
  }
  return cls.release();
}

PyObject* serial_transport_class() noexcept { return transport_cell.get_or_init(build_serial_transport); }

// --- make_transport -------------------------------------------------------------------------

PyObject* make_transport(PyObject* loop, PyObject* protocol, PyObject* serial_obj) noexcept {
  PyObject* base = serial::serial_base_type();
  if (!base) return nullptr;
  int is_serial = PyObject_IsInstance(serial_obj, base);
  if (is_serial < 0) return nullptr;
  if (!is_serial) {
    py::raise_wrong_type(serial_obj, "SerialBase");
    return nullptr;
  }
  py::Ref zero = py::Ref::steal(PyLong_FromLong(0));
  if (!zero || PyObject_SetAttrString(serial_obj, "timeout", zero.get()) < 0 ||
      PyObject_SetAttrString(serial_obj, "write_timeout", zero.get()) < 0)
    return nullptr;

  auto* type = reinterpret_cast<PyTypeObject*>(core_type());
  if (!type) return nullptr;
  py::Ref core = py::Ref::steal(type->tp_alloc(type, 0));
  if (!core) return nullptr;
  TransportCore* c = core_of(core.get());
  // tp_alloc zeroed the memory; the C++ members are constructed in place.
  new (&c->port) PortRef(serial::handle_of(serial_obj));
  new (&c->mutex) std::mutex();
  new (&c->held_data) ByteString();
  new (&c->write_buffer) ByteString();
  c->loop = Py_NewRef(loop);
  c->serial = Py_NewRef(serial_obj);
  c->protocol = Py_NewRef(protocol);
  c->high_water = 65536;
  c->low_water = 16384;

  PyObject* cls = serial_transport_class();
  if (!cls) return nullptr;
  py::Ref transport = py::Ref::steal(PyObject_CallMethod(cls, "__new__", "O", cls));
  if (!transport || PyObject_SetAttrString(transport.get(), "_core", core.get()) < 0) return nullptr;
  c->transport_ref = PyWeakref_NewRef(transport.get(), nullptr);
  if (!c->transport_ref) return nullptr;

  py::Ref made = py::Ref::steal(PyObject_GetAttrString(protocol, "connection_made"));
  if (!made) return nullptr;
  py::Ref r = py::Ref::steal(PyObject_CallMethod(loop, "call_soon", "OO", made.get(), transport.get()));
  if (!r) return nullptr;
  py::Ref starter = py::Ref::steal(PyCFunction_New(&on_start_def, core.get()));
  if (!starter) return nullptr;
  r = py::Ref::steal(PyObject_CallMethod(loop, "call_soon", "O", starter.get()));
  if (!r) return nullptr;
  return transport.release();
}

// --- module functions -------------------------------------------------------------------------

PyObject* aio_getattr(PyObject*, PyObject* name) noexcept {
  return py::guard([&]() -> PyObject* {
    if (!PyUnicode_Check(name)) {
      py::raise_wrong_type(name, "str");
      py::add_processing_note("name");
      return nullptr;
    }
    if (PyUnicode_CompareWithASCIIString(name, "SerialTransport") == 0) return Py_XNewRef(serial_transport_class());
    PyErr_Format(PyExc_AttributeError, "module 'corvalink.aio' has no attribute '%U'", name);
    return nullptr;
  });
}

// The positional and keyword arguments past the named ones.
struct Rest {
  py::Ref args;    // tuple
  py::Ref kwargs;  // dict or null
};

// Binds the leading named parameters (positional or keyword) and collects
// the rest. False with a TypeError set.
bool bind_with_rest(const char* fname, std::span<const char* const> names, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out, Rest& rest) noexcept {
  nargs = PyVectorcall_NARGS(nargs);
  const auto n = static_cast<Py_ssize_t>(names.size());
  for (Py_ssize_t i = 0; i < n; ++i) out[i] = i < nargs ? args[i] : nullptr;
  rest.args = py::Ref::steal(PyTuple_New(nargs > n ? nargs - n : 0));
  if (!rest.args) return false;
  for (Py_ssize_t i = n; i < nargs; ++i) PyTuple_SET_ITEM(rest.args.get(), i - n, Py_NewRef(args[i]));
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t slot = -1;
    for (Py_ssize_t i = 0; i < n; ++i)
      if (PyUnicode_CompareWithASCIIString(key, names[static_cast<std::size_t>(i)]) == 0) slot = i;
    if (slot >= 0) {
      if (out[slot]) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", fname, key);
        return false;
      }
      out[slot] = args[nargs + k];
      continue;
    }
    if (!rest.kwargs) {
      rest.kwargs = py::Ref::steal(PyDict_New());
      if (!rest.kwargs) return false;
    }
    if (PyDict_SetItem(rest.kwargs.get(), key, args[nargs + k]) < 0) return false;
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!out[i]) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zd)", fname,
                   names[static_cast<std::size_t>(i)], i + 1);
      return false;
    }
  }
  return true;
}

PyObject* serial_for_url_of_package(PyObject* args, PyObject* kwargs) noexcept {
  py::Ref package = py::Ref::steal(PyImport_ImportModule("corvalink"));
  if (!package) return nullptr;
  py::Ref fn = py::Ref::steal(PyObject_GetAttrString(package.get(), "serial_for_url"));
  if (!fn) return nullptr;
  return PyObject_Call(fn.get(), args, kwargs);
}

PyObject* pair(PyObject* a, PyObject* b) noexcept { return PyTuple_Pack(2, a, b); }

// A new protocol from the factory and a transport joining it to the port:
// the pair (transport, protocol).
PyObject* connect(PyObject* loop, PyObject* factory, PyObject* port) noexcept {
  py::Ref protocol = py::Ref::steal(PyObject_CallNoArgs(factory));
  if (!protocol) return nullptr;
  py::Ref transport = py::Ref::steal(make_transport(loop, protocol.get(), port));
  if (!transport) return nullptr;
  return pair(transport.get(), protocol.get());
}

PyObject* create_serial_connection(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return py::guard([&]() -> PyObject* {
    static constexpr std::array<const char*, 3> kNames = {"loop", "protocol_factory", "url"};
    PyObject* a[3];
    Rest rest;
    if (!bind_with_rest("create_serial_connection", kNames, args, nargs, kwnames, a, rest)) return nullptr;
    py::Ref loop = py::Ref::borrow(a[0]), factory = py::Ref::borrow(a[1]), url = py::Ref::borrow(a[2]);
    return make_deferred([loop, factory, url, rest]() -> PyObject* {
      const Py_ssize_t extra = PyTuple_GET_SIZE(rest.args.get());
      py::Ref call_args = py::Ref::steal(PyTuple_New(extra + 1));
      if (!call_args) return nullptr;
      PyTuple_SET_ITEM(call_args.get(), 0, Py_NewRef(url.get()));
      for (Py_ssize_t i = 0; i < extra; ++i)
        PyTuple_SET_ITEM(call_args.get(), i + 1, Py_NewRef(PyTuple_GET_ITEM(rest.args.get(), i)));
      py::Ref port = py::Ref::steal(serial_for_url_of_package(call_args.get(), rest.kwargs.get()));
      if (!port) return nullptr;
      return connect(loop.get(), factory.get(), port.get());
    }).release();
  });
}

PyObject* connection_for_serial(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return py::guard([&]() -> PyObject* {
    static constexpr std::array<const char*, 3> kNames = {"loop", "protocol_factory", "serial_instance"};
    PyObject* a[3];
    if (!serial::bind_args("connection_for_serial", kNames, 3, false, args, nargs, kwnames, a)) return nullptr;
    py::Ref loop = py::Ref::borrow(a[0]), factory = py::Ref::borrow(a[1]), port = py::Ref::borrow(a[2]);
    return make_deferred([loop, factory, port]() -> PyObject* {
      return connect(loop.get(), factory.get(), port.get());
    }).release();
  });
}

PyObject* open_serial_connection(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return py::guard([&]() -> PyObject* {
    nargs = PyVectorcall_NARGS(nargs);
    if (nargs > 0) {
      PyErr_Format(PyExc_TypeError, "open_serial_connection() takes 0 positional arguments but %zd were given",
                   nargs);
      return nullptr;
    }
    py::Ref loop, limit, kwargs;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      PyObject* value = args[k];
      if (PyUnicode_CompareWithASCIIString(key, "loop") == 0) {
        if (value != Py_None) loop = py::Ref::borrow(value);
      } else if (PyUnicode_CompareWithASCIIString(key, "limit") == 0) {
        if (value != Py_None) limit = py::Ref::borrow(value);
      } else {
        if (!kwargs) {
          kwargs = py::Ref::steal(PyDict_New());
          if (!kwargs) return nullptr;
        }
        if (PyDict_SetItem(kwargs.get(), key, value) < 0) return nullptr;
      }
    }
    return make_deferred([loop, limit, kwargs]() -> PyObject* {
      py::Ref asyncio = py::Ref::steal(PyImport_ImportModule("asyncio"));
      if (!asyncio) return nullptr;
      py::Ref the_loop = loop;
      if (!the_loop) {
        the_loop = py::Ref::steal(PyObject_CallMethod(asyncio.get(), "get_running_loop", nullptr));
        if (!the_loop) return nullptr;
      }
      py::Ref the_limit = limit;
      if (!the_limit) {
        py::Ref streams = py::Ref::steal(PyObject_GetAttrString(asyncio.get(), "streams"));
        if (!streams) return nullptr;
        the_limit = py::Ref::steal(PyObject_GetAttrString(streams.get(), "_DEFAULT_LIMIT"));
        if (!the_limit) return nullptr;
      }
      py::Ref reader_cls = py::Ref::steal(PyObject_GetAttrString(asyncio.get(), "StreamReader"));
      if (!reader_cls) return nullptr;
      py::Ref kw = py::Ref::steal(Py_BuildValue("{s:O,s:O}", "limit", the_limit.get(), "loop", the_loop.get()));
      if (!kw) return nullptr;
      py::Ref empty = py::Ref::steal(PyTuple_New(0));
      if (!empty) return nullptr;
      py::Ref reader = py::Ref::steal(PyObject_Call(reader_cls.get(), empty.get(), kw.get()));
      if (!reader) return nullptr;
      py::Ref protocol_cls = py::Ref::steal(PyObject_GetAttrString(asyncio.get(), "StreamReaderProtocol"));
      if (!protocol_cls) return nullptr;
      py::Ref reader_args = py::Ref::steal(PyTuple_Pack(1, reader.get()));
      py::Ref loop_kw = py::Ref::steal(Py_BuildValue("{s:O}", "loop", the_loop.get()));
      if (!reader_args || !loop_kw) return nullptr;
      py::Ref protocol = py::Ref::steal(PyObject_Call(protocol_cls.get(), reader_args.get(), loop_kw.get()));
      if (!protocol) return nullptr;
      py::Ref port = py::Ref::steal(serial_for_url_of_package(empty.get(), kwargs.get()));
      if (!port) return nullptr;
      py::Ref transport = py::Ref::steal(make_transport(the_loop.get(), protocol.get(), port.get()));
      if (!transport) return nullptr;
      py::Ref writer_cls = py::Ref::steal(PyObject_GetAttrString(asyncio.get(), "StreamWriter"));
      if (!writer_cls) return nullptr;
      py::Ref writer = py::Ref::steal(PyObject_CallFunctionObjArgs(writer_cls.get(), transport.get(), protocol.get(),
                                                                   reader.get(), the_loop.get(), nullptr));
      if (!writer) return nullptr;
      return pair(reader.get(), writer.get());
    }).release();
  });
}

#define FASTCALL_KW(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyMethodDef getattr_def = {"__getattr__", aio_getattr, METH_O,
                           "__getattr__(name)\n--\n\nGives `corvalink.aio.SerialTransport` on first access."};
PyMethodDef helper_defs[] = {
    {"create_serial_connection", FASTCALL_KW(create_serial_connection), METH_FASTCALL | METH_KEYWORDS,
     "create_serial_connection(loop, protocol_factory, url, *args, **kwargs)\n--\n\n"
     "Opens `url` like `corvalink.serial_for_url` and connects it to a new protocol."},
    {"connection_for_serial", FASTCALL_KW(connection_for_serial), METH_FASTCALL | METH_KEYWORDS,
     "connection_for_serial(loop, protocol_factory, serial_instance)\n--\n\nConnects an open port to a new protocol."},
    {"open_serial_connection", FASTCALL_KW(open_serial_connection), METH_FASTCALL | METH_KEYWORDS,
     "open_serial_connection(*, loop=None, limit=None, **kwargs)\n--\n\n"
     "Opens a port and returns an asyncio `StreamReader` and `StreamWriter` for it."},
};

#undef FASTCALL_KW

}  // namespace

int add_transport_members(PyObject* aio) {
  if (py::add_function(aio, &getattr_def) < 0) return -1;
  py::Ref all = py::Ref::steal(PyObject_GetAttrString(aio, "__all__"));
  if (!all) return -1;
  if (!PyList_Check(all.get())) {
    py::raise_wrong_type(all.get(), "list");
    return -1;
  }
  py::Ref removed = py::Ref::steal(PyObject_CallMethod(all.get(), "remove", "s", "__getattr__"));
  if (!removed) return -1;
  py::Ref name = py::str("SerialTransport");
  if (!name || PyList_Append(all.get(), name.get()) < 0) return -1;
  for (PyMethodDef& def : helper_defs)
    if (py::add_function(aio, &def) < 0) return -1;
  return 0;
}

}  // namespace corvalink
