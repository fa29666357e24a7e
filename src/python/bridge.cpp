// run_blocking: how a blocking method waits for its operation.
//
// The operation first runs on the caller's thread, detached, for up to 50 ms;
// most reads of buffered data and most writes finish there without a task or
// a thread switch. An operation still running after that continues as a task
// while the caller waits on its core in 50 ms slices, running the signal
// handlers between slices so that Ctrl-C cancels it.
//
// Serial.read and Serial.write run their flattened forms the same way. Those
// need no timer and no worker until they hand an operation on, so they only
// check that the runtime is usable here and leave building it (and starting
// its threads) to the hand-on.

#include <array>
#include <chrono>

#include "python/errors_python.hpp"
#include "python/future.hpp"
#include "engine/port.hpp"

namespace corvalink {

namespace {

using namespace std::chrono_literals;
constexpr auto kSlice = 50ms;

PyObject* raise_error(const PortError& error) noexcept {
  py::raise(error);
  return nullptr;
}

// The second phase: op goes on as a task while the caller waits on it.
PyObject* run_as_task(OperationPtr op) {
  Result<Runtime*> rt = runtime();
  if (!rt) {
    refuse_operation(std::move(op), rt.error());
    return nullptr;
  }
  TaskRef task = OperationTask::create(std::move(op), nullptr, OperationTask::Start::Queued);
  task->spawn();
  for (;;) {
    bool finished = detached([&] { return task->wait_for(kSlice); });
    if (finished) {
      std::optional<OperationOutcome> outcome = task->receive();
      return outcome_to_python(*outcome).release();
    }
    if (PyErr_CheckSignals() < 0) {
      // Stopped where it is: a read gives back what it took.
      PyObject* exc = PyErr_GetRaisedException();
      cancel_task(*task);
      PyErr_SetRaisedException(exc);
      return nullptr;
    }
  }
}

PyObject* run_blocking_here(OperationPtr op) {
  Result<Runtime*> rt = runtime();
  if (!rt) {
    refuse_operation(std::move(op), rt.error());
    return nullptr;
  }

  std::optional<OperationOutcome> done;
  {
    Detached d;
    done = run_for(*op, kSlice);
    // Dropping the operation may take port locks; do it detached.
    if (done) op.reset();
  }
  if (done) {
    if (done->has_value()) return value_to_python(std::move(**done)).release();
    return raise_error(done->error());
  }
  return run_as_task(std::move(op));
}

}  // namespace

PyObject* run_blocking(OperationPtr op) noexcept {
  return py::guard([&]() -> PyObject* {
    if (on_worker_thread()) {
      // Python code running on a worker (a done-callback) must not occupy
      // the worker while it waits: its queued tasks move to another thread.
      return block_in_place([&] { return run_blocking_here(std::move(op)); });
    }
    return run_blocking_here(std::move(op));
  });
}

namespace {

// The end of a flattened call: its value converted, its error raised, the
// ordinary operation run when the side lock was busy, or the operation it
// handed on continued by `rest`.
template <class T, class ToPython, class Fresh>
PyObject* end_direct(DirectOutcome<T>& done, ToPython&& to_python, Fresh&& fresh, PyObject* (*rest)(OperationPtr)) {
  if (auto* r = std::get_if<Result<T>>(&done)) {
    if (!*r) return raise_error(r->error());
    return to_python(**r);
  }
  if (std::holds_alternative<Busy>(done)) return run_blocking_here(fresh());
  return rest(std::move(std::get<OperationPtr>(done)));
}

}  // namespace

PyObject* read_blocking(const PortRef& port, std::size_t size) noexcept {
  return py::guard([&]() -> PyObject* {
    if (on_worker_thread()) return run_blocking(make_read(port, size));
    if (Status usable = runtime_usable(); !usable) return raise_error(usable.error());
    // Small reads land on the stack; larger ones in a string that grows as
    // the bytes come, so a large size with a timeout reserves nothing.
    std::array<std::uint8_t, kDirectReadMax> small;
    ByteString large;
    const bool fits = size <= kDirectReadMax;
    DirectOutcome<std::size_t> done = detached([&] {
      return fits ? read_direct(port, small.data(), size, kSlice) : read_direct(port, large, size, kSlice);
    });
    return end_direct(
        done,
        [&](std::size_t n) {
          const std::uint8_t* bytes = fits ? small.data() : large.data();
          return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes), static_cast<Py_ssize_t>(n));
        },
        [&] { return make_read(port, size); }, run_as_task);  // the hand-on comes after the first phase
  });
}

PyObject* write_blocking(const PortRef& port, Bytes data) noexcept {
  return py::guard([&]() -> PyObject* {
    const auto fresh = [&] { return make_write(port, ByteString(data.begin(), data.end()), true); };
    if (on_worker_thread()) return run_blocking(fresh());
    if (Status usable = runtime_usable(); !usable) return raise_error(usable.error());
    DirectOutcome<std::uint64_t> done = detached([&] { return write_direct(port, data); });
    // The hand-on comes at the first wait: it still gets the first phase.
    return end_direct(done, [](std::uint64_t n) { return PyLong_FromUnsignedLongLong(n); }, fresh,
                      run_blocking_here);
  });
}

}  // namespace corvalink
