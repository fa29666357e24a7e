// run_blocking: how a blocking method waits for its operation.
//
// The operation first runs on the caller's thread, detached, for up to 50 ms;
// most reads of buffered data and most writes finish there without a task or
// a thread switch. An operation still running after that continues as a task
// while the caller waits on its core in 50 ms slices, running the signal
// handlers between slices so that Ctrl-C cancels it.

#include <chrono>

#include "errors_python.hpp"
#include "future.hpp"

namespace corvalink {

namespace {

using namespace std::chrono_literals;
constexpr auto kSlice = 50ms;

PyObject* raise_error(const PortError& error) noexcept {
  py::raise(error);
  return nullptr;
}

PyObject* run_blocking_here(OperationPtr op) {
  Result<Runtime*> rt = runtime();
  if (!rt) {
    detached([&] { op.reset(); });
    return raise_error(rt.error());
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

  // Still running: hand it to the runtime and wait on its core.
  rt = runtime();
  if (!rt) {
    detached([&] { op.reset(); });
    return raise_error(rt.error());
  }
  CorePtr core = spawn_operation(**rt, std::move(op));
  for (;;) {
    bool finished = detached([&] { return core->wait_for(kSlice); });
    if (finished) {
      py::Ref result = core->take_outcome();
      if (!result) {
        // No effect on a finished core; kept for symmetry with the signal path.
        PyObject* exc = PyErr_GetRaisedException();
        cancel_core(*core);
        PyErr_SetRaisedException(exc);
      }
      return result.release();
    }
    if (PyErr_CheckSignals() < 0) {
      cancel_core(*core);
      return nullptr;
    }
  }
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

}  // namespace corvalink
