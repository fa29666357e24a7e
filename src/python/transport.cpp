// The asyncio transport: _TransportCore (the state and behaviour of one
// transport over a port), the run-time class SerialTransport that forwards to
// it, and the connection helpers of corvalink.aio.
//
// Reading runs as a chain: start_read → a port read (stepped once here, then
// a task) → its end queued in the loop's inbox by the thread that finished
// it → "on_read" on the loop's thread → start_read again. Writes are
// batched: write() appends to a buffer that is handed to the port whenever
// no write is in flight, first straight from the loop's thread (what the
// device takes at once), then, for what it could not take, as one port
// write task.
//
// Everything that touches the protocol runs on the loop's thread. The core's
// mutex guards its state and is never held while Python code runs: fields
// that hold Python references are swapped out under the lock and released
// after it.

#include "python/transport.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <deque>
#include <limits>
#include <mutex>
#include <string_view>

#include "python/errors_python.hpp"
#include "python/future.hpp"
#include "engine/port.hpp"
#include "python/serial.hpp"

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

// The bytes accepted by write() and not handed to the port yet: chunks in
// order (small writes share a chunk), so a partial write puts back only its
// rest, without moving what came after it.
class WriteQueue {
 public:
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  void append(const std::uint8_t* p, std::size_t n) {
    if (!chunks_.empty() && chunks_.back().size() + n <= kCoalesce)
      chunks_.back().insert(chunks_.back().end(), p, p + n);
    else
      chunks_.emplace_back(p, p + n);
    size_ += n;
  }
  // Up to `max` bytes from the front (at least one chunk), as one string.
  ByteString take_front(std::size_t max) {
    ByteString out = std::move(chunks_.front());
    chunks_.pop_front();
    while (!chunks_.empty() && out.size() + chunks_.front().size() <= max) {
      out.insert(out.end(), chunks_.front().begin(), chunks_.front().end());
      chunks_.pop_front();
    }
    size_ -= out.size();
    return out;
  }
  ByteString take_all() { return empty() ? ByteString{} : take_front(std::numeric_limits<std::size_t>::max()); }
  void put_front(ByteString rest) {
    if (rest.empty()) return;
    size_ += rest.size();
    chunks_.push_front(std::move(rest));
  }
  void clear() {
    chunks_.clear();
    size_ = 0;
  }

 private:
  static constexpr std::size_t kCoalesce = 16384;
  std::deque<ByteString> chunks_;
  std::size_t size_ = 0;
};

struct TransportCore {
  PyObject_HEAD
  // Never changed after construction.
  PyObject* loop;
  PyObject* serial;
  PortRef port;
  PyObject* transport_ref;  // weak reference to the SerialTransport, set once
  std::shared_ptr<LoopInbox> inbox;
  int fd;  // the port's descriptor, watched by the loop's selector; -1: the port's tasks wait

  std::mutex mutex;
  // Guarded by mutex.
  ByteString held_data;
  WriteQueue write_buffer;
  PyObject* protocol;
  TaskRef read_task;
  TaskRef write_task;
  TaskRef flush_task;
  TaskRef close_watch;
  // The claim on fd's number while the loop may hold it in its selector;
  // dropped once the loop let go of it for good.
  std::shared_ptr<const void> fd_claim;
  std::shared_ptr<WriteShare> write_share;  // of the write task in flight
  PyObject* close_exception;
  std::uint64_t write_in_flight;  // bytes handed to the write task in flight
  std::uint64_t high_water;
  std::uint64_t low_water;
  std::uint32_t watch_id;  // names the current reader/writer registration
  bool closing;
  bool reading_paused;
  bool writing_paused;
  bool lost_scheduled;
  bool reader_on;  // the loop watches fd for reading
  bool writer_on;  // the loop watches fd for writing
};

TransportCore* core_of(PyObject* self) noexcept { return reinterpret_cast<TransportCore*>(self); }

// Takes the field's reference out (under the caller's lock).
py::Ref take(PyObject*& field) noexcept { return py::Ref::steal(std::exchange(field, nullptr)); }
// A new reference to the field's object (under the caller's lock).
py::Ref peek(PyObject* field) noexcept { return py::Ref::borrow(field); }

PyObject* none() noexcept { Py_RETURN_NONE; }
PyObject* or_none(py::Ref r) noexcept { return r ? r.release() : none(); }

// What is accepted and not yet written: the buffer, and what the write task
// in flight has not written yet.
std::uint64_t buffered_locked(const TransportCore* c) noexcept {
  std::uint64_t in_flight = c->write_in_flight;
  if (c->write_share) in_flight -= std::min(in_flight, c->write_share->written.load(std::memory_order_relaxed));
  return c->write_buffer.size() + in_flight;
}

// --- completions of tasks --------------------------------------------------------

// A read, write, flush or the close watch ended as a task: its end reaches
// the loop through the inbox, which runs the completion on the loop's thread.
enum class Hook : std::uint8_t { Read, Write, Lost, Closed };

void on_read(PyObject* self, OperationTask& task) noexcept;
void on_write(PyObject* self, OperationTask& task) noexcept;
void connection_lost_now(PyObject* self) noexcept;
void on_port_closed(PyObject* self, OperationTask& task) noexcept;

// A transport whose loop went away closes its port instead of reading on.
// The loop's selector went with it: the descriptor's number is free to go.
void loop_went_away(PyObject* self) noexcept {
  TransportCore* c = core_of(self);
  std::shared_ptr<const void> claim;
  {
    std::lock_guard lock(c->mutex);
    c->reader_on = c->writer_on = false;
    claim = std::move(c->fd_claim);
  }
  claim.reset();
  py::Ref closed = py::Ref::steal(PyObject_CallMethod(core_of(self)->serial, "close", nullptr));
  if (!closed) PyErr_WriteUnraisable(self);
}

class TransportHook final : public LoopSubscriber {
 public:
  TransportHook(std::shared_ptr<LoopInbox> inbox, PyObject* core, Hook hook) noexcept
      : LoopSubscriber(std::move(inbox), py::Ref::borrow(core)), hook_(hook) {}

  void deliver() noexcept override {
    if (PyObject* core = held_[0].get()) {
      switch (hook_) {
        case Hook::Read: on_read(core, task()); break;
        case Hook::Write: on_write(core, task()); break;
        case Hook::Lost: connection_lost_now(core); break;
        case Hook::Closed: on_port_closed(core, task()); break;
      }
    }
    delete this;
  }
  void loop_gone() noexcept override {
    // Without its core the transport was collected with its loop.
    if (PyObject* core = held_[0].get(); core && hook_ != Hook::Closed) loop_went_away(core);
    delete this;
  }

 private:
  Hook hook_;
};

// Has the hook told when the task ends (through the inbox even if it ended
// already, so the completion always runs later, from the loop).
void watch(PyObject* self, OperationTask& task, Hook hook) noexcept {
  TransportCore* c = core_of(self);
  auto* h = new TransportHook(c->inbox, self, hook);
  if (!task.subscribe(h)) h->finished(task);
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

// Calls protocol.<name>(); a failure is reported (a failure to report is
// reported as unraisable), except SystemExit and KeyboardInterrupt, which
// stay raised (false) for the caller to pass on, as asyncio's transports do.
bool call_protocol_hook(PyObject* self, py::Ref protocol, const char* name) noexcept {
  if (!protocol) return true;
  py::Ref r = py::Ref::steal(PyObject_CallMethod(protocol.get(), name, nullptr));
  if (r) return true;
  if (exit_raised()) return false;
  py::Ref exc = py::Ref::steal(PyErr_GetRaisedException());
  std::string message = std::string("protocol.") + name + "() failed";
  if (!report_error(self, message.c_str(), exc.get())) PyErr_WriteUnraisable(self);
  return true;
}

// The transport (a new reference), or null once it is gone.
py::Ref transport_of(PyObject* self) noexcept {
  PyObject* alive = nullptr;
  TransportCore* c = core_of(self);
  if (c->transport_ref && PyWeakref_GetRef(c->transport_ref, &alive) < 0) PyErr_Clear();
  return py::Ref::steal(alive);
}

// The asyncio logger's debug line for an error that ends a transport, when
// the loop runs in debug mode. False with an exception raised.
bool log_debug(PyObject* self, const char* message, PyObject* exc) noexcept {
  py::Ref debug = py::Ref::steal(PyObject_CallMethod(core_of(self)->loop, "get_debug", nullptr));
  if (!debug) return false;
  const int on = PyObject_IsTrue(debug.get());
  if (on <= 0) return on == 0;
  py::Ref logging = py::Ref::steal(PyImport_ImportModule("logging"));
  if (!logging) return false;
  py::Ref logger = py::Ref::steal(PyObject_CallMethod(logging.get(), "getLogger", "s", "asyncio"));
  if (!logger) return false;
  py::Ref method = py::Ref::steal(PyObject_GetAttrString(logger.get(), "debug"));
  if (!method) return false;
  py::Ref transport = transport_of(self);
  py::Ref args = py::Ref::steal(Py_BuildValue("(sOs)", "%r: %s", transport ? transport.get() : Py_None, message));
  py::Ref kwargs = py::Ref::steal(Py_BuildValue("{s:O}", "exc_info", exc));
  if (!args || !kwargs) return false;
  py::Ref r = py::Ref::steal(PyObject_Call(method.get(), args.get(), kwargs.get()));
  return static_cast<bool>(r);
}

bool force_close(PyObject* self, py::Ref exc) noexcept;

// An error that ends the transport, whichever side met it, as asyncio's own
// transports treat one: an OSError (a SerialException is one) goes to
// connection_lost only, with a debug line in the asyncio log when the loop
// runs in debug mode; any other exception is reported to the loop's
// exception handler as well. Either way the transport closes at once,
// dropping what it had not written, and connection_lost gets the exception.
// A transport already ending with an exception of its own reports nothing
// more.
bool fatal_error(PyObject* self, py::Ref exc, const char* message) noexcept {
  TransportCore* c = core_of(self);
  bool quiet = false;
  {
    std::lock_guard lock(c->mutex);
    quiet = c->closing && c->close_exception;
  }
  if (!quiet) {
    const bool os_error = PyErr_GivenExceptionMatches(exc.get(), PyExc_OSError);
    if (!(os_error ? log_debug(self, message, exc.get()) : report_error(self, message, exc.get()))) return false;
  }
  return force_close(self, std::move(exc));
}

// A completion that raised on the loop's thread: reported as the loop
// reports an exception in a callback.
void report_callback_error(PyObject* self) noexcept {
  py::Ref exc = py::Ref::steal(PyErr_GetRaisedException());
  if (!exc) return;
  TransportCore* c = core_of(self);
  py::Ref context = py::Ref::steal(PyDict_New());
  py::Ref text = py::str("Exception in a serial transport callback");
  py::Ref r;
  if (context && text && PyDict_SetItemString(context.get(), "message", text.get()) == 0 &&
      PyDict_SetItemString(context.get(), "exception", exc.get()) == 0)
    r = py::Ref::steal(PyObject_CallMethod(c->loop, "call_exception_handler", "O", context.get()));
  if (!r) PyErr_WriteUnraisable(self);
}

// --- the loop's readiness ------------------------------------------------------------
//
// A port with a descriptor is watched by the loop's own selector, as the
// loop's own transports are: when it is readable the loop calls us and we
// read what is there, one look, through the port (its side lock, its close
// and fatal-error rules); when the device could not take all of a write,
// the loop tells us when it can take more. Nothing waits on our threads.

enum class Watch : std::uint8_t { Read, Write };

void on_readable(PyObject* self) noexcept;
void on_writable(PyObject* self) noexcept;

// The callable the loop keeps for one registration. Dropped by us when we
// stop watching; dropped by the loop without that when it was closed.
struct WatcherObject {
  PyObject_HEAD
  PyObject* core;
  std::uint32_t id;
  Watch what;
};

PyObject* watcher_call(PyObject* self, PyObject*, PyObject*) noexcept {
  return py::guard([&]() -> PyObject* {
    auto* w = reinterpret_cast<WatcherObject*>(self);
    if (!w->core) Py_RETURN_NONE;  // cleared with its loop
    if (w->what == Watch::Read)
      on_readable(w->core);
    else
      on_writable(w->core);
    if (PyErr_Occurred()) return nullptr;  // SystemExit or KeyboardInterrupt from the protocol: out of the loop
    Py_RETURN_NONE;
  });
}

// Lets go of the core; a registration still current was dropped by the
// loop (closed, or collected) without our remove_reader/remove_writer.
int watcher_clear(PyObject* self) noexcept {
  auto* w = reinterpret_cast<WatcherObject*>(self);
  if (PyObject* core = std::exchange(w->core, nullptr)) {
    TransportCore* c = core_of(core);
    bool dropped_by_loop = false;
    {
      std::lock_guard lock(c->mutex);
      bool& on = w->what == Watch::Read ? c->reader_on : c->writer_on;
      if (on && c->watch_id == w->id) {
        on = false;
        dropped_by_loop = true;
      }
    }
    if (dropped_by_loop) {
      PyObject* pending = PyErr_GetRaisedException();
      loop_went_away(core);
      PyErr_SetRaisedException(pending);
    }
    Py_DECREF(core);
  }
  return 0;
}

// The loop keeps the watcher, the watcher its transport, which keeps the
// loop: a loop left without close() is collected with its transports.
int watcher_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(reinterpret_cast<WatcherObject*>(self)->core);
  return 0;
}

void watcher_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  watcher_clear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

py::OnceCell watcher_cell;

PyObject* watcher_type() noexcept {
  return watcher_cell.get_or_init([]() -> PyObject* {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("Called by the event loop when a serial transport's port is ready.")},
        {Py_tp_dealloc, reinterpret_cast<void*>(watcher_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(watcher_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(watcher_clear)},
        {Py_tp_call, reinterpret_cast<void*>(watcher_call)},
        {0, nullptr},
    };
    static PyType_Spec spec = {"corvalink.aio._PortWatcher", static_cast<int>(sizeof(WatcherObject)), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    return PyType_FromSpec(&spec);
  });
}

enum class Watched : std::uint8_t { Yes, NotSupported, Failed };

// loop.add_reader / add_writer. NotSupported: the loop has no selector for
// it (the caller falls back to the port's tasks).
Watched start_watching(PyObject* self, Watch what) noexcept {
  TransportCore* c = core_of(self);
  std::uint32_t id;
  {
    std::lock_guard lock(c->mutex);
    bool& on = what == Watch::Read ? c->reader_on : c->writer_on;
    // Let go of for good: the port is closed, and its close ends the transport.
    if (on || !c->fd_claim) return Watched::Yes;
    on = true;
    id = ++c->watch_id;
  }
  auto* type = reinterpret_cast<PyTypeObject*>(watcher_type());
  py::Ref w = type ? py::Ref::steal(type->tp_alloc(type, 0)) : py::Ref();
  py::Ref fd = py::Ref::steal(PyLong_FromLong(c->fd));
  py::Ref r;
  if (w && fd) {
    auto* obj = reinterpret_cast<WatcherObject*>(w.get());
    obj->core = Py_NewRef(self);
    obj->id = id;
    obj->what = what;
    r = py::Ref::steal(
        PyObject_CallMethod(c->loop, what == Watch::Read ? "add_reader" : "add_writer", "OO", fd.get(), w.get()));
  }
  if (r) return Watched::Yes;
  {
    std::lock_guard lock(c->mutex);
    (what == Watch::Read ? c->reader_on : c->writer_on) = false;
  }
  w.reset();  // not the loop's: its end is no news
  if (PyErr_ExceptionMatches(PyExc_NotImplementedError)) {
    PyErr_Clear();
    std::shared_ptr<const void> claim;
    {
      std::lock_guard lock(c->mutex);
      claim = std::move(c->fd_claim);  // the selector never held it
    }
    return Watched::NotSupported;
  }
  return Watched::Failed;
}

void stop_watching(PyObject* self, Watch what) noexcept;
void let_go_of_descriptor(PyObject* self) noexcept;

// A fatal error seen by a look of ours: the loop stops watching the
// descriptor before the port (and so the descriptor) is closed.
void close_for_fatal(PyObject* self, const PortError& error) noexcept {
  if (!is_fatal(error)) return;
  let_go_of_descriptor(self);
  PortHandle& port = *core_of(self)->port;
  detached([&] { port.close(error); });
}

// loop.remove_reader / remove_writer, if watching. Errors are reported.
void stop_watching(PyObject* self, Watch what) noexcept {
  TransportCore* c = core_of(self);
  {
    std::lock_guard lock(c->mutex);
    bool& on = what == Watch::Read ? c->reader_on : c->writer_on;
    if (!on) return;
    on = false;
  }
  py::Ref fd = py::Ref::steal(PyLong_FromLong(c->fd));
  py::Ref r;
  if (fd) r = py::Ref::steal(PyObject_CallMethod(c->loop, what == Watch::Read ? "remove_reader" : "remove_writer", "O", fd.get()));
  if (!r) {
    // A closed loop has let go of it already; a descriptor closed under us
    // (the port closed by its owner) has left the selector already.
    if (PyErr_ExceptionMatches(PyExc_RuntimeError) || PyErr_ExceptionMatches(PyExc_OSError))
      PyErr_Clear();
    else
      report_callback_error(self);
  }
}

// The loop stops watching the descriptor for good (the transport ends, or
// its port was closed): its number may go back to the system, now if the
// port is closed already, else with the port.
void let_go_of_descriptor(PyObject* self) noexcept {
  stop_watching(self, Watch::Read);
  stop_watching(self, Watch::Write);
  TransportCore* c = core_of(self);
  std::shared_ptr<const void> claim;
  {
    std::lock_guard lock(c->mutex);
    claim = std::move(c->fd_claim);
  }
}

// --- reading ---------------------------------------------------------------------

bool close_with(PyObject* self, py::Ref exc) noexcept;
bool begin_shutdown(PyObject* self, bool flush) noexcept;

// A graceful close waits for the buffered data to be written; meanwhile a
// transport whose port's tasks wait goes on reading (and drops what it
// reads), so a port whose reader is this transport (loop://) drains.
bool draining_locked(const TransportCore* c) noexcept {
  return c->closing && !c->lost_scheduled && (c->write_task || !c->write_buffer.empty());
}

// Starts the read task of a port without readiness (or one whose read side
// another reader holds at the moment).
bool start_read_task(PyObject* self) noexcept {
  TransportCore* c = core_of(self);
  TaskRef read = start_operation(std::make_unique<TimedRead>(make_read_available(c->port, kReadMax), kReadRestart),
                                 StartForm::FirstStep, nullptr);
  if (!read) return false;
  {
    std::lock_guard lock(c->mutex);
    c->read_task = read;
  }
  watch(self, *read, Hook::Read);
  return true;
}

bool start_read(PyObject* self) noexcept {
  TransportCore* c = core_of(self);
  {
    std::lock_guard lock(c->mutex);
    if (c->read_task || c->reader_on) return true;
    if (c->closing ? c->fd >= 0 || !draining_locked(c) : c->reading_paused) return true;
  }
  if (c->fd >= 0) {
    switch (start_watching(self, Watch::Read)) {
      case Watched::Yes: return true;
      case Watched::Failed: return false;
      case Watched::NotSupported: c->fd = -1; break;  // this loop has no selector: tasks from now on
    }
  }
  return start_read_task(self);
}

PyObject* on_start(PyObject* self, PyObject*) noexcept {
  return py::guard([&]() -> PyObject* { return start_read(self) ? none() : nullptr; });
}

PyMethodDef on_start_def = {"on_start", on_start, METH_NOARGS, nullptr};

// Hands a read's bytes on: to the protocol, held while paused, dropped after
// close(). SystemExit and KeyboardInterrupt from data_received stay raised,
// for the loop's callback to pass on; any other exception ends the
// transport (fatal_error), as in asyncio's transports.
void deliver_read(PyObject* self, const std::uint8_t* p, std::size_t n) noexcept {
  TransportCore* c = core_of(self);
  py::Ref protocol;
  {
    std::lock_guard lock(c->mutex);
    if (c->closing) return;
    if (c->reading_paused) {
      c->held_data.insert(c->held_data.end(), p, p + n);
      return;
    }
    protocol = peek(c->protocol);
  }
  if (!protocol || n == 0) return;
  static py::OnceCell name_cell;
  PyObject* name = name_cell.get_or_init([] { return PyUnicode_InternFromString("data_received"); });
  py::Ref bytes = py::Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(p), static_cast<Py_ssize_t>(n)));
  py::Ref r;
  if (bytes && name) r = py::Ref::steal(PyObject_CallMethodOneArg(protocol.get(), name, bytes.get()));
  if (r || exit_raised()) return;
  py::Ref exc = py::Ref::steal(PyErr_GetRaisedException());
  if (!fatal_error(self, std::move(exc), "Fatal error: protocol.data_received() call failed."))
    report_callback_error(self);
}

void on_readable(PyObject* self) noexcept {
  TransportCore* c = core_of(self);
  {
    std::lock_guard lock(c->mutex);
    if (!c->reader_on) return;  // stopped meanwhile
  }
  thread_local std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[kReadMax]);
  DirectOutcome<std::size_t> got = detached([&] { return read_now(c->port, buffer.get(), kReadMax); });
  if (std::holds_alternative<Busy>(got)) {
    // Another reader holds the read side: this read waits for its turn as a
    // task, and the loop stops watching until it is done.
    stop_watching(self, Watch::Read);
    if (!start_read_task(self)) report_callback_error(self);
    return;
  }
  Result<std::size_t>& n = std::get<Result<std::size_t>>(got);
  if (!n) {
    stop_watching(self, Watch::Read);
    close_for_fatal(self, n.error());
    py::Ref exc = error_to_python(n.error());
    if (!exc || !fatal_error(self, std::move(exc), "Fatal read error on serial transport")) report_callback_error(self);
    return;
  }
  if (*n) deliver_read(self, buffer.get(), *n);
}

// The peer closed the connection in order: the protocol hears of the end of
// its input, then of the end of the connection, without an error unless
// one is kept, as from asyncio's own TCP transports (a StreamReader hands
// out what it holds first). The port is closed already, so nothing more can
// be written: eof_received() cannot keep the transport open.
bool end_of_input(PyObject* self) noexcept {
  TransportCore* c = core_of(self);
  py::Ref protocol;
  {
    std::lock_guard lock(c->mutex);
    if (c->closing) return true;
    protocol = peek(c->protocol);
  }
  call_protocol_hook(self, std::move(protocol), "eof_received");
  return close_with(self, py::Ref());
}

void on_read(PyObject* self, OperationTask& task) noexcept {
  TransportCore* c = core_of(self);
  TaskRef mine;
  {
    std::lock_guard lock(c->mutex);
    if (c->read_task.get() != &task) return;  // cleared by a close, or replaced
    mine = std::move(c->read_task);
  }
  std::optional<OperationOutcome> outcome = task.receive();
  if (!outcome->has_value()) {
    if (outcome->error().is_peer_closed()) {
      if (!end_of_input(self)) report_callback_error(self);
      return;
    }
    py::Ref exc = error_to_python(outcome->error());
    if (!exc || !fatal_error(self, std::move(exc), "Fatal read error on serial transport")) report_callback_error(self);
    return;
  }
  const ByteString& data = std::get<ByteString>(**outcome);
  bool restart = true;
  {
    std::lock_guard lock(c->mutex);
    // While paused, what came is held and no read follows; after close()
    // it is dropped, and reading goes on only while a graceful close drains.
    if (c->closing) restart = draining_locked(c);
    else if (c->reading_paused) restart = false;
  }
  if (restart && !start_read(self)) {
    report_callback_error(self);
    return;
  }
  deliver_read(self, data.data(), data.size());
}

// Held data, delivered by the loop after resume_reading() unless the
// transport was closed meanwhile. It goes through the loop's inbox, in order
// with the completions of the reads that follow it, so it always comes
// first.
class HeldDelivery final : public InboxItem {
 public:
  HeldDelivery(std::shared_ptr<LoopInbox> inbox, PyObject* core, ByteString data) noexcept
      : InboxItem(std::move(inbox), py::Ref::borrow(core)), data_(std::move(data)) {}
  void deliver() noexcept override {
    if (PyObject* core = held_[0].get()) deliver_read(core, data_.data(), data_.size());
    delete this;
  }
  void loop_gone() noexcept override { delete this; }

 private:
  ByteString data_;
};

// --- writing -----------------------------------------------------------------------

// Both false with SystemExit or KeyboardInterrupt from the protocol raised.
bool maybe_pause_writing(PyObject* self) noexcept {
  TransportCore* c = core_of(self);
  py::Ref protocol;
  {
    std::lock_guard lock(c->mutex);
    if (c->writing_paused || buffered_locked(c) <= c->high_water) return true;
    c->writing_paused = true;
    protocol = peek(c->protocol);
  }
  return call_protocol_hook(self, std::move(protocol), "pause_writing");
}

bool maybe_resume_writing(PyObject* self) noexcept {
  TransportCore* c = core_of(self);
  py::Ref protocol;
  {
    std::lock_guard lock(c->mutex);
    if (!c->writing_paused || buffered_locked(c) > c->low_water) return true;
    c->writing_paused = false;
    protocol = peek(c->protocol);
  }
  return call_protocol_hook(self, std::move(protocol), "resume_writing");
}

// A port write that failed ends the transport with the error.
bool write_failed(PyObject* self, py::Ref exc) noexcept {
  return fatal_error(self, std::move(exc), "Fatal write error on serial transport");
}

// Nothing more to write and a graceful close waits for that: the flush and
// connection_lost follow.
bool shut_if_drained(PyObject* self) noexcept {
  TransportCore* c = core_of(self);
  bool shut;
  {
    std::lock_guard lock(c->mutex);
    shut = c->closing && !c->lost_scheduled && !c->write_task && !c->writer_on && c->write_buffer.empty();
  }
  return !shut || begin_shutdown(self, true);
}

bool start_write_task(PyObject* self) noexcept;

// The device took only part of a write: the rest waits in the buffer until
// the loop says the port is writable (trying again at once would mostly find
// it full).
bool wait_for_room(PyObject* self) noexcept {
  switch (start_watching(self, Watch::Write)) {
    case Watched::Yes: return true;
    case Watched::Failed: return false;
    case Watched::NotSupported: break;
  }
  core_of(self)->fd = -1;
  return start_write_task(self);
}

// Writes the buffer's front as far as the device takes it now; what it does
// not take waits until the loop says the port is writable.
bool write_ready(PyObject* self) noexcept {
  TransportCore* c = core_of(self);
  for (;;) {
    ByteString chunk;
    {
      std::lock_guard lock(c->mutex);
      if (c->write_buffer.empty() || c->write_task) break;
      chunk = c->write_buffer.take_front(kReadMax);
    }
    DirectOutcome<std::uint64_t> now = detached([&] { return write_now(c->port, chunk); });
    if (std::holds_alternative<Busy>(now)) {
      // Another writer holds the write side: this transport's data queues
      // behind it as a task.
      {
        std::lock_guard lock(c->mutex);
        c->write_buffer.put_front(std::move(chunk));
      }
      stop_watching(self, Watch::Write);
      return start_write_task(self);
    }
    Result<std::uint64_t>& n = std::get<Result<std::uint64_t>>(now);
    if (!n) {
      stop_watching(self, Watch::Write);
      close_for_fatal(self, n.error());
      py::Ref exc = error_to_python(n.error());
      return exc && write_failed(self, std::move(exc));
    }
    if (*n < chunk.size()) {
      {
        std::lock_guard lock(c->mutex);
        c->write_buffer.put_front(ByteString(chunk.begin() + static_cast<std::ptrdiff_t>(*n), chunk.end()));
      }
      return wait_for_room(self);
    }
  }
  stop_watching(self, Watch::Write);
  return shut_if_drained(self);
}

void on_writable(PyObject* self) noexcept {
  TransportCore* c = core_of(self);
  {
    std::lock_guard lock(c->mutex);
    if (!c->writer_on) return;
  }
  if (!write_ready(self)) report_callback_error(self);
  maybe_resume_writing(self);  // SystemExit or KeyboardInterrupt stays raised
}

// The end of a port write task that wrote `written` of its data: a write cut
// short (cancel_write, or a device that took nothing) puts what it did not
// write back at the front of the buffer, where the next write takes it.
// Returns whether it came back short.
bool write_ended_locked(TransportCore* c) noexcept {
  c->write_in_flight = 0;
  c->write_task.reset();
  std::shared_ptr<WriteShare> share = std::move(c->write_share);
  if (!share || share->rest.empty()) return false;
  c->write_buffer.put_front(std::move(share->rest));
  return true;
}

// Hands the whole buffer to one port write task: for a port without
// readiness, or one whose write side another writer holds.
bool start_write_task(PyObject* self) noexcept {
  TransportCore* c = core_of(self);
  ByteString data;
  auto share = std::make_shared<WriteShare>();
  {
    std::lock_guard lock(c->mutex);
    if (c->write_task || c->write_buffer.empty()) return true;
    data = c->write_buffer.take_all();
    c->write_in_flight = data.size();
    c->write_share = share;
  }
  TaskRef task = start_operation(make_write(c->port, std::move(data), false, share), StartForm::FirstStep, nullptr);
  if (!task) {
    std::lock_guard lock(c->mutex);
    c->write_in_flight = 0;
    c->write_share.reset();
    return false;
  }
  {
    std::lock_guard lock(c->mutex);
    c->write_task = task;
  }
  watch(self, *task, Hook::Write);
  return true;
}

// Starts writing the buffer unless a write is under way.
bool start_write(PyObject* self) noexcept {
  TransportCore* c = core_of(self);
  {
    std::lock_guard lock(c->mutex);
    if (c->write_task || c->writer_on || c->write_buffer.empty()) return true;
  }
  return c->fd >= 0 ? write_ready(self) : start_write_task(self);
}

void on_write(PyObject* self, OperationTask& task) noexcept {
  TransportCore* c = core_of(self);
  bool short_end = false;
  {
    std::lock_guard lock(c->mutex);
    if (c->write_task.get() != &task) return;  // after abort, or replaced
    short_end = write_ended_locked(c);
  }
  std::optional<OperationOutcome> outcome = task.receive();
  if (!outcome->has_value()) {
    py::Ref exc = error_to_python(outcome->error());
    if (!exc || !write_failed(self, std::move(exc))) report_callback_error(self);
    return;
  }
  if (!maybe_resume_writing(self)) return;
  bool more = false, closing = false;
  {
    std::lock_guard lock(c->mutex);
    more = !c->write_buffer.empty();
    closing = c->closing;
  }
  // What came back short waits for the next write(), unless a graceful
  // close waits for it.
  bool ok = more && (!short_end || closing) ? start_write(self) : shut_if_drained(self);
  if (!ok) {
    report_callback_error(self);
    return;
  }
  maybe_resume_writing(self);  // what the device took at once no longer counts
}

// --- closing -------------------------------------------------------------------------

bool begin_shutdown(PyObject* self, bool flush) noexcept {
  TransportCore* c = core_of(self);
  TaskRef read;
  {
    std::lock_guard lock(c->mutex);
    if (c->lost_scheduled) return true;
    c->lost_scheduled = true;
    read = std::move(c->read_task);  // a read kept for draining ends now
  }
  stop_watching(self, Watch::Read);
  stop_watching(self, Watch::Write);
  if (read) cancel_task(*read);
  TaskRef step = flush ? start_operation(make_flush(c->port), StartForm::FirstStep, nullptr)
                       : OperationTask::finished_with(OperationValue());
  if (!step) return false;
  {
    std::lock_guard lock(c->mutex);
    c->flush_task = step;
  }
  // connection_lost once the port drained (or at once), from the loop.
  watch(self, *step, Hook::Lost);
  return true;
}

bool force_close(PyObject* self, py::Ref exc) noexcept {
  TransportCore* c = core_of(self);
  TaskRef read, write, flush;
  {
    std::lock_guard lock(c->mutex);
    c->closing = true;
    if (!c->close_exception) c->close_exception = exc.release();
    c->write_buffer.clear();
    read = std::move(c->read_task);
    write = std::move(c->write_task);
    flush = std::move(c->flush_task);
    c->write_in_flight = 0;
    c->write_share.reset();
    c->lost_scheduled = c->lost_scheduled && !flush;  // a flush under way is replaced
  }
  stop_watching(self, Watch::Read);
  stop_watching(self, Watch::Write);
  for (TaskRef* t : {&read, &write, &flush})
    if (*t) cancel_task(**t);
  return begin_shutdown(self, false);
}

bool close_with(PyObject* self, py::Ref exc) noexcept {
  TransportCore* c = core_of(self);
  TaskRef read;
  bool nothing_to_write = false;
  {
    std::lock_guard lock(c->mutex);
    if (c->closing) return true;  // exc is dropped after the lock
    c->closing = true;
    c->close_exception = exc.release();
    nothing_to_write = c->write_buffer.empty() && !c->write_task && !c->writer_on;
    // The read in flight goes on while the buffer drains (see draining_locked).
    if (nothing_to_write || c->fd >= 0) read = std::move(c->read_task);
  }
  stop_watching(self, Watch::Read);
  if (read) cancel_task(*read);
  if (nothing_to_write) return begin_shutdown(self, true);
  return start_write(self);  // a buffer put back by a short write goes out now
}

// The connection_lost step: tell the protocol, then close the port.
void connection_lost_now(PyObject* self) noexcept {
  TransportCore* c = core_of(self);
  py::Ref protocol, exc;
  TaskRef flush;
  {
    std::lock_guard lock(c->mutex);
    protocol = take(c->protocol);
    exc = take(c->close_exception);
    flush = std::move(c->flush_task);
  }
  flush.reset();
  let_go_of_descriptor(self);
  py::Ref lost_error;
  if (protocol) {
    py::Ref r =
        py::Ref::steal(PyObject_CallMethod(protocol.get(), "connection_lost", "O", exc ? exc.get() : Py_None));
    if (!r) lost_error = py::Ref::steal(PyErr_GetRaisedException());
  }
  py::Ref closed = py::Ref::steal(PyObject_CallMethod(c->serial, "close", nullptr));
  if (!closed) report_callback_error(self);
  if (lost_error) {
    PyErr_SetRaisedException(lost_error.release());
    if (!exit_raised()) report_callback_error(self);  // SystemExit, KeyboardInterrupt: out of the loop
  }
}

// The port was closed (by its owner, or a fatal error): a transport that is
// not closing itself ends with what the close means for it.
void on_port_closed(PyObject* self, OperationTask& task) noexcept {
  TransportCore* c = core_of(self);
  bool draining = false;
  {
    std::lock_guard lock(c->mutex);
    // A graceful close that waits for the loop to say the port can take more
    // would wait for ever: its buffer can no longer go out. One that waits
    // for a write task or the flush ends with that task's error.
    if (c->closing) {
      if (c->lost_scheduled || c->write_task) return;
      draining = true;
    }
  }
  let_go_of_descriptor(self);
  std::optional<OperationOutcome> outcome = task.receive();
  if (outcome && !outcome->has_value() && outcome->error().is_peer_closed()) {
    if (!end_of_input(self)) report_callback_error(self);
    return;
  }
  py::Ref exc = outcome && !outcome->has_value() ? error_to_python(outcome->error()) : py::Ref();
  if (!exc) exc = error_to_python(PortError::not_open());
  const bool ok = exc && (draining ? force_close(self, std::move(exc)) : close_with(self, std::move(exc)));
  if (!ok) report_callback_error(self);
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
  return py::guard([&]() -> PyObject* {
    TransportCore* c = core_of(self);
    {
      std::lock_guard lock(c->mutex);
      c->reading_paused = true;
    }
    stop_watching(self, Watch::Read);  // a read task under way is left to finish
    return PyErr_Occurred() ? nullptr : none();
  });
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
      // After close() nothing is delivered.
      if (c->closing) return none();
      protocol = peek(c->protocol);
    }
    if (!held.empty() && protocol) c->inbox->push(new HeldDelivery(c->inbox, self, std::move(held)));
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

// Writes the bytes, or what the device does not take now of them, after
// what is buffered already.
PyObject* write_bytes(PyObject* self, const std::uint8_t* p, std::size_t n) noexcept {
  TransportCore* c = core_of(self);
  bool now = false;
  {
    std::lock_guard lock(c->mutex);
    if (c->closing || n == 0) return none();
    // Nothing ahead of it: straight to the device, without a copy.
    now = c->fd >= 0 && c->write_buffer.empty() && !c->write_task && !c->writer_on;
    if (!now) c->write_buffer.append(p, n);
  }
  if (now) {
    DirectOutcome<std::uint64_t> done = detached([&] { return write_now(c->port, Bytes(p, n)); });
    std::size_t written = 0;
    if (auto* r = std::get_if<Result<std::uint64_t>>(&done)) {
      if (!*r) {
        close_for_fatal(self, r->error());
        py::Ref exc = error_to_python(r->error());
        if (!exc || !write_failed(self, std::move(exc))) return nullptr;
        return none();
      }
      written = static_cast<std::size_t>(**r);
    }
    if (written == n) return none();
    {
      std::lock_guard lock(c->mutex);
      c->write_buffer.append(p + written, n - written);
    }
    // A device that took less than everything is full for now; a busy write
    // side (nothing written) is left to start_write, which queues behind it.
    if (std::holds_alternative<Result<std::uint64_t>>(done)) {
      if (!wait_for_room(self)) return nullptr;
      return maybe_pause_writing(self) ? none() : nullptr;
    }
  }
  if (!start_write(self)) return nullptr;
  return maybe_pause_writing(self) ? none() : nullptr;
}

PyObject* t_write(PyObject* self, PyObject* data) noexcept {
  return py::guard([&]() -> PyObject* {
    // bytes go straight into the buffer; anything else is converted first.
    if (PyBytes_Check(data))
      return write_bytes(self, reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(data)),
                         static_cast<std::size_t>(PyBytes_GET_SIZE(data)));
    ByteString converted;
    if (!serial::to_byte_data(data, converted)) return nullptr;
    return write_bytes(self, converted.data(), converted.size());
  });
}

// Every item is converted before anything is written: a bad item writes
// nothing.
PyObject* t_writelines(PyObject* self, PyObject* list_of_data) noexcept {
  return py::guard([&]() -> PyObject* {
    py::Ref it = py::Ref::steal(PyObject_GetIter(list_of_data));
    if (!it) return nullptr;
    ByteString all;
    while (py::Ref item = py::Ref::steal(PyIter_Next(it.get()))) {
      if (PyBytes_Check(item.get())) {
        const char* p = PyBytes_AS_STRING(item.get());
        all.insert(all.end(), p, p + PyBytes_GET_SIZE(item.get()));
        continue;
      }
      ByteString converted;
      if (!serial::to_byte_data(item.get(), converted)) return nullptr;
      all.insert(all.end(), converted.begin(), converted.end());
    }
    if (PyErr_Occurred()) return nullptr;
    return write_bytes(self, all.data(), all.size());
  });
}

// A limit as Python computes it (any size of integer): the argument
// converted with __index__, or null with the error noted.
py::Ref limit_arg(PyObject* value, const char* name) noexcept {
  if (!value || value == Py_None) return {};
  py::Ref n = py::Ref::steal(PyNumber_Index(value));
  if (!n) py::add_processing_note(name);
  return n;
}

// A limit that passed the checks, stored saturated to the field's range.
std::uint64_t stored_limit(PyObject* n) noexcept {
  const unsigned long long u = PyLong_AsUnsignedLongLong(n);  // limits are >= 0 here
  if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();  // larger than any buffer can be
    return std::numeric_limits<std::uint64_t>::max();
  }
  return u;
}

PyObject* t_set_write_buffer_limits(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) noexcept {
  return py::guard([&]() -> PyObject* {
    static constexpr std::array<const char*, 2> kNames = {"high", "low"};
    PyObject* a[2];
    if (!serial::bind_args("set_write_buffer_limits", kNames, 0, true, args, nargs, kwnames, a)) return nullptr;
    py::Ref high = limit_arg(a[0], "high");
    if (!high && PyErr_Occurred()) return nullptr;
    py::Ref low = limit_arg(a[1], "low");
    if (!low && PyErr_Occurred()) return nullptr;
    // The defaults in Python's integers, as asyncio computes them: no overflow.
    if (!high) {
      if (low) {
        py::Ref four = py::Ref::steal(PyLong_FromLong(4));
        high = four ? py::Ref::steal(PyNumber_Multiply(four.get(), low.get())) : py::Ref();
      } else {
        high = py::Ref::steal(PyLong_FromLong(65536));
      }
      if (!high) return nullptr;
    }
    if (!low) {
      py::Ref four = py::Ref::steal(PyLong_FromLong(4));
      low = four ? py::Ref::steal(PyNumber_FloorDivide(high.get(), four.get())) : py::Ref();
      if (!low) return nullptr;
      // Rounded toward zero, as for a negative high.
      if (PyObject_RichCompareBool(high.get(), py::Ref::steal(PyLong_FromLong(0)).get(), Py_LT) == 1) {
        py::Ref neg = py::Ref::steal(PyNumber_Negative(high.get()));
        py::Ref q = neg ? py::Ref::steal(PyNumber_FloorDivide(neg.get(), four.get())) : py::Ref();
        low = q ? py::Ref::steal(PyNumber_Negative(q.get())) : py::Ref();
        if (!low) return nullptr;
      }
    }
    py::Ref zero = py::Ref::steal(PyLong_FromLong(0));
    if (!zero) return nullptr;
    const int high_ok = PyObject_RichCompareBool(high.get(), low.get(), Py_GE);
    const int low_ok = PyObject_RichCompareBool(low.get(), zero.get(), Py_GE);
    if (high_ok < 0 || low_ok < 0) return nullptr;
    if (!high_ok || !low_ok) {
      PyErr_Format(PyExc_ValueError, "high (%S) must be >= low (%S) must be >= 0", high.get(), low.get());
      return nullptr;
    }
    TransportCore* c = core_of(self);
    {
      std::lock_guard lock(c->mutex);
      c->high_water = stored_limit(high.get());
      c->low_water = stored_limit(low.get());
    }
    return maybe_pause_writing(self) ? none() : nullptr;
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
    {
      std::lock_guard lock(c->mutex);
      c->write_buffer.clear();
    }
    return maybe_resume_writing(self) ? none() : nullptr;
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
  Py_VISIT(c->close_exception);
  return 0;
}

int t_clear(PyObject* self) noexcept {
  TransportCore* c = core_of(self);
  py::Ref protocol, exc;
  {
    std::lock_guard lock(c->mutex);
    protocol = take(c->protocol);
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
  c->read_task.~TaskRef();
  c->write_task.~TaskRef();
  c->flush_task.~TaskRef();
  c->close_watch.~TaskRef();
  c->fd_claim.~shared_ptr();
  c->write_share.~shared_ptr();
  c->inbox.~shared_ptr();
  c->port.~PortRef();
  c->held_data.~ByteString();
  c->write_buffer.~WriteQueue();
  c->mutex.~mutex();
  type->tp_free(self);
  Py_DECREF(type);
}

#define FASTCALL_KW(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyMethodDef core_methods[] = {
    {"get_extra_info", FASTCALL_KW(t_get_extra_info), METH_FASTCALL | METH_KEYWORDS,
     "get_extra_info($self, name, default=None)\n--\n\n"
     "The port for 'serial'; `default` for any other name."},
    {"is_closing", t_is_closing, METH_NOARGS, "is_closing($self)\n--\n\nWhether the transport is closing or closed."},
    {"is_reading", t_is_reading, METH_NOARGS, "is_reading($self)\n--\n\nWhether the transport delivers what it receives (not paused, not closing)."},
    {"pause_reading", t_pause_reading, METH_NOARGS,
     "pause_reading($self)\n--\n\nStops `data_received` calls until `resume_reading`.\n\nA read already under way is "
     "not cancelled, since it may have taken bytes from the\nport; what it returns is held and delivered on resume."},
    {"resume_reading", t_resume_reading, METH_NOARGS, "resume_reading($self)\n--\n\nResumes `data_received` calls after `pause_reading`."},
    {"get_protocol", t_get_protocol, METH_NOARGS, "get_protocol($self)\n--\n\nThe current protocol."},
    {"set_protocol", t_set_protocol, METH_O, "set_protocol($self, protocol)\n--\n\nHands the transport to another protocol."},
    {"write", t_write, METH_O, "write($self, data)\n--\n\nSends `data` (bytes, a buffer or a str as UTF-8) without blocking; what "
     "the port cannot take yet waits in the write buffer."},
    {"writelines", t_writelines, METH_O, "writelines($self, list_of_data)\n--\n\nWrites each item of `list_of_data` in turn."},
    {"set_write_buffer_limits", FASTCALL_KW(t_set_write_buffer_limits), METH_FASTCALL | METH_KEYWORDS,
     "set_write_buffer_limits($self, high=None, low=None)\n--\n\n"
     "Sets the write buffer's limits for `pause_writing` and `resume_writing`, as asyncio's transports do."},
    {"get_write_buffer_limits", t_get_write_buffer_limits, METH_NOARGS, "get_write_buffer_limits($self)\n--\n\nThe write buffer's (low, high) limits."},
    {"get_write_buffer_size", t_get_write_buffer_size, METH_NOARGS, "get_write_buffer_size($self)\n--\n\nBytes written to the transport and not yet handed to the port."},
    {"flush", t_flush, METH_NOARGS, "flush($self)\n--\n\nDrops the data in the write buffer that was not yet written."},
    {"can_write_eof", t_can_write_eof, METH_NOARGS, "can_write_eof($self)\n--\n\nAlways False: a serial line has no end of file."},
    {"write_eof", t_write_eof, METH_NOARGS, "write_eof($self)\n--\n\nRaises NotImplementedError: a serial line has no end of file."},
    {"close", t_close, METH_NOARGS, "close($self)\n--\n\nCloses gracefully: the buffered data is sent first, then the port is "
     "closed and the protocol's `connection_lost` called."},
    {"abort", t_abort, METH_NOARGS, "abort($self)\n--\n\nCloses at once: the buffered data is dropped."},
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

py::OnceCell core_name_cell;

// "_core", interned once.
PyObject* core_name() noexcept {
  return core_name_cell.get_or_init([] { return PyUnicode_InternFromString("_core"); });
}

// A method forwarder: called with the instance first, it calls the core's
// method of its name. As a descriptor it gives that method of the
// instance's core directly, so the call goes to the core without a
// Python-level function in between. It carries the core method's docstring
// and signature, so help() and inspect see the method as it is.
struct ForwarderObject {
  PyObject_HEAD
  PyObject* name;
  PyObject* doc;             // str or None
  PyObject* text_signature;  // str or None
  vectorcallfunc vectorcall;
};

PyObject* forwarder_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept {
  return py::guard([&]() -> PyObject* {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs < 1) {
      PyErr_SetString(PyExc_TypeError, "a transport method needs its instance");
      return nullptr;
    }
    PyObject* name = reinterpret_cast<ForwarderObject*>(self)->name;
    py::Ref core = py::Ref::steal(PyObject_GetAttr(args[0], core_name()));
    if (!core) return nullptr;
    py::Ref method = py::Ref::steal(PyObject_GetAttr(core.get(), name));
    if (!method) return nullptr;
    return PyObject_Vectorcall(method.get(), args + 1, static_cast<std::size_t>(nargs - 1), kwnames);
  });
}

PyObject* forwarder_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
  if (!obj || obj == Py_None) return Py_NewRef(self);
  py::Ref core = py::Ref::steal(PyObject_GetAttr(obj, core_name()));
  if (!core) return nullptr;
  return PyObject_GetAttr(core.get(), reinterpret_cast<ForwarderObject*>(self)->name);
}

void forwarder_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  auto* f = reinterpret_cast<ForwarderObject*>(self);
  Py_XDECREF(f->name);
  Py_XDECREF(f->doc);
  Py_XDECREF(f->text_signature);
  type->tp_free(self);
  Py_DECREF(type);
}

PyMemberDef forwarder_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(ForwarderObject, vectorcall), Py_READONLY, nullptr},
    {"__name__", Py_T_OBJECT_EX, offsetof(ForwarderObject, name), Py_READONLY, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(ForwarderObject, doc), Py_READONLY, nullptr},
    {"__text_signature__", Py_T_OBJECT_EX, offsetof(ForwarderObject, text_signature), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

py::OnceCell forwarder_cell;

PyObject* make_forwarder(PyObject* name) noexcept {
  auto* type = reinterpret_cast<PyTypeObject*>(forwarder_cell.get_or_init([]() -> PyObject* {
    static PyType_Slot slots[] = {
        // No type docstring: each forwarder's own __doc__ member is its method's.
        {Py_tp_dealloc, reinterpret_cast<void*>(forwarder_dealloc)},
        {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
        {Py_tp_descr_get, reinterpret_cast<void*>(forwarder_get)},
        {Py_tp_members, forwarder_members},
        {0, nullptr},
    };
    static PyType_Spec spec = {"corvalink.aio._Forwarder", static_cast<int>(sizeof(ForwarderObject)), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                               slots};
    return PyType_FromSpec(&spec);
  }));
  if (!type) return nullptr;
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  auto* f = reinterpret_cast<ForwarderObject*>(self);
  f->name = Py_NewRef(name);
  f->doc = Py_NewRef(Py_None);
  f->text_signature = Py_NewRef(Py_None);
  f->vectorcall = forwarder_vectorcall;
  // "name($self, ...)\n--\n\nText" of the core's method: the signature and the text.
  const char* name_text = PyUnicode_AsUTF8(name);
  if (!name_text) {
    Py_DECREF(self);
    return nullptr;
  }
  for (const PyMethodDef* m = core_methods; m->ml_name; ++m) {
    if (std::string_view(name_text) != m->ml_name || !m->ml_doc) continue;
    std::string_view doc = m->ml_doc;
    std::size_t open = doc.find('('), end = doc.find("\n--\n\n");
    if (open == std::string_view::npos || end == std::string_view::npos || open > end) break;
    py::Ref signature = py::str(doc.substr(open, end - open));
    py::Ref text = py::str(doc.substr(end + 5));
    if (!signature || !text) {
      Py_DECREF(self);
      return nullptr;
    }
    Py_SETREF(f->text_signature, signature.release());
    if (PyUnicode_GetLength(text.get()) > 0) Py_SETREF(f->doc, text.release());
    break;
  }
  return self;
}

// A property getter: self is the name.
PyObject* forward_property(PyObject* name, PyObject* instance) noexcept {
  return py::guard([&]() -> PyObject* {
    py::Ref core = py::Ref::steal(PyObject_GetAttr(instance, core_name()));
    if (!core) return nullptr;
    return PyObject_GetAttr(core.get(), name);
  });
}

PyMethodDef forward_property_def = {"forward_property", forward_property, METH_O, nullptr};

#undef FASTCALL_KW

py::OnceCell transport_cell;

PyObject* build_serial_transport() noexcept {
  py::Ref builtins = py::Ref::steal(PyImport_ImportModule("builtins"));
  if (!builtins) return nullptr;
  py::Ref property = py::Ref::steal(PyObject_GetAttrString(builtins.get(), "property"));
  if (!property) return nullptr;

  py::Ref ns = py::Ref::steal(PyDict_New());
  if (!ns) return nullptr;
  py::Ref module = py::str("corvalink.aio"), qualname = py::str("SerialTransport");
  py::Ref doc = py::str(
      "An asyncio transport over a serial port, made by `create_serial_connection` and "
      "`connection_for_serial`.\n\n"
      "It has asyncio's flow control: `pause_writing` and `resume_writing` at the write buffer's limits, "
      "and `pause_reading`. `flush` drops what is not yet written, and `close` sends the buffered data "
      "before `connection_lost`. On a device with a file descriptor the event loop's own selector "
      "watches the port: a write goes to the device at once, and what it cannot take yet waits in the "
      "transport's buffer. Use it from its event loop's thread.");
  py::Ref slots = py::Ref::steal(Py_BuildValue("(ss)", "_core", "__weakref__"));
  if (!module || !qualname || !doc || !slots || PyDict_SetItemString(ns.get(), "__module__", module.get()) < 0 ||
      PyDict_SetItemString(ns.get(), "__qualname__", qualname.get()) < 0 ||
      PyDict_SetItemString(ns.get(), "__doc__", doc.get()) < 0 ||
      PyDict_SetItemString(ns.get(), "__slots__", slots.get()) < 0)
    return nullptr;
  for (const char* name : kForwarded) {
    py::Ref key = py::str(name);
    if (!key) return nullptr;
    py::Ref fn = py::Ref::steal(make_forwarder(key.get()));
    if (!fn) return nullptr;
    if (PyDict_SetItem(ns.get(), key.get(), fn.get()) < 0) return nullptr;
  }
  for (const char* name : {"loop", "serial"}) {
    py::Ref key = py::str(name);
    if (!key) return nullptr;
    py::Ref fn = py::Ref::steal(PyCFunction_New(&forward_property_def, key.get()));
    if (!fn) return nullptr;
    const char* prop_doc = std::string_view(name) == "loop" ? core_getset[0].doc : core_getset[1].doc;
    py::Ref prop =
        py::Ref::steal(PyObject_CallFunction(property.get(), "OOOs", fn.get(), Py_None, Py_None, prop_doc));
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
  new (&c->inbox) std::shared_ptr<LoopInbox>(LoopInbox::of(loop));
  new (&c->mutex) std::mutex();
  new (&c->held_data) ByteString();
  new (&c->write_buffer) WriteQueue();
  new (&c->read_task) TaskRef();
  new (&c->write_task) TaskRef();
  new (&c->flush_task) TaskRef();
  new (&c->close_watch) TaskRef();
  new (&c->fd_claim) std::shared_ptr<const void>();
  new (&c->write_share) std::shared_ptr<WriteShare>();
  c->fd = -1;
  if (!c->inbox) return nullptr;
  // The loop's selector watches a port with a descriptor; the port's own
  // tasks wait for one without (loop://, or a loop without add_reader). The
  // number stays ours until the loop let go of it, even if the port closes
  // first: a number reused meanwhile would be watched by nobody.
  {
    PortHandle& h = *c->port;
    Result<std::optional<DescriptorClaim>> claim = detached([&] { return h.claim_descriptor(); });
    if (claim && *claim) {
      c->fd = (*claim)->fd;
      c->fd_claim = std::move((*claim)->keep);
    }
  }
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
  // A close of the port by anyone else ends the transport.
  TaskRef closed = start_operation(make_close_watch(c->port), StartForm::FirstStep, nullptr);
  if (!closed) return nullptr;
  c->close_watch = closed;
  watch(core.get(), *closed, Hook::Closed);
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

// The helpers return once connection_made has run, as asyncio's own do: their
// coroutine yields once after making the transport (its connection_made is
// scheduled first). Cancelled in that yield, they close what they made:
// `closer` is the item of the pair whose close() that is.
DeferredUndo close_item(Py_ssize_t closer) noexcept {
  return [closer](PyObject* result) {
    py::Ref r = py::Ref::steal(PyObject_CallMethod(PyTuple_GET_ITEM(result, closer), "close", nullptr));
    if (!r) PyErr_WriteUnraisable(PyTuple_GET_ITEM(result, closer));
  };
}

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
    }, close_item(0)).release();
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
    }, close_item(0)).release();
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
    }, close_item(1)).release();
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
