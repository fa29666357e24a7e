// A port operation: a resumable unit of work with a typed outcome.
//
// An operation is polled with a Context until it returns ready. While pending
// it has arranged to be woken; it may then be polled again on any thread (but
// never on two at once). Destroying an unfinished operation abandons it and
// runs its clean-up: side locks are released, an in-flight write is aborted,
// a break in progress is cleared.
#pragma once

#include <cstdint>
#include <memory>
#include <variant>
#include <vector>

#include "errors.hpp"
#include "poll.hpp"

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
};

using OperationPtr = std::unique_ptr<PortOperation>;

}  // namespace corvalink
