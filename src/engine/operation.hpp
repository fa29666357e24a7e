// A port operation: a resumable unit of work with a typed outcome.
//
// An operation is polled with a Context until it returns ready. While pending
// it has arranged to be woken; it may then be polled again on any thread (but
// never on two at once). Destroying an unfinished operation abandons it and
// runs its clean-up: side locks are released, an in-flight write is aborted,
// a break in progress is cleared.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

#include "engine/errors.hpp"
#include "engine/poll.hpp"

namespace corvalink {

struct PyObjectHolder;  // opaque here; defined by the Python layer (holds a Python object)

using ByteString = std::vector<std::uint8_t>;
// none, count, bytes, lines, object
using OperationValue =
    std::variant<std::monostate, std::uint64_t, ByteString, std::vector<ByteString>, std::shared_ptr<PyObjectHolder>>;
using OperationOutcome = Result<OperationValue>;

class PortOperation {
 public:
  PortOperation() = default;
  PortOperation(const PortOperation&) = delete;
  PortOperation& operator=(const PortOperation&) = delete;
  virtual ~PortOperation() = default;

  // Must not be called again once it returned ready.
  virtual Poll<OperationOutcome> poll(Context& cx) = 0;

  // Asked when the operation is stopped before it finished (it is dropped
  // right after): nothing when it had no effect on the device, which makes
  // the stop a cancellation; otherwise the outcome of what it did (a write's
  // count of bytes that went out). A read has no effect to report: dropping
  // it gives the bytes it took back to the port.
  virtual std::optional<OperationOutcome> cancel_outcome() { return std::nullopt; }

  // Has the operation tell `sink` its outcome as it ends, before it leaves
  // its side of the port (see OutcomeSink).
  virtual void set_sink(class OutcomeSink* sink) noexcept { (void)sink; }
};

// Told an operation's outcome as the operation ends, while it still holds its
// side of the port: the next operation of that side starts only after this.
// It may take the outcome (the operation then returns what is left of it).
class OutcomeSink {
 public:
  virtual void ended(OperationOutcome& outcome) noexcept = 0;

 protected:
  ~OutcomeSink() = default;
};

using OperationPtr = std::unique_ptr<PortOperation>;

}  // namespace corvalink
