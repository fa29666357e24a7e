// The interface through which the port engine drives one open device.
//
// Polled operations take the Context of the task that drives them and return
// ready or pending; pending means the backend will wake that task once polling
// again can make progress. Control operations are immediate. The engine makes
// every call with the port's device lock held, so a backend never sees two
// engine calls at once; it guards only against its own OS callbacks.
// Destroying a backend closes the device.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/errors.hpp"
#include "engine/poll.hpp"
#include "engine/settings.hpp"

namespace corvalink {

using Bytes = std::span<const std::uint8_t>;

// A setting the device did not keep: its name and the value asked for and
// the value in force, each written as Python shows it ("7", "'E'", "True").
struct SettingNotKept {
  std::string name;
  std::string asked;
  std::string in_force;

  bool operator==(const SettingNotKept&) const = default;
};

// A backend's descriptor, claimed by someone who registers it with a
// selector of their own (an event loop's). While the claim lives the number
// stays taken: closing the device closes its file at once, but the number
// then names an inert placeholder (never ready) until the last claim is
// dropped, so no other file can take the number while that selector may
// still hold it. The claimant drops the claim once it unregistered.
struct DescriptorClaim {
  std::int32_t fd = -1;
  std::shared_ptr<const void> keep;
};

// A close waiting for the device lock, as a backend call that holds it sees
// it: a control call that waits for the device (a network port's wait for
// its server's answer) ends early once one is pending, and polled I/O that
// has much to get through looks at it between bounded pieces. The port owns
// one and hands it to each backend it installs.
class CloseRequest {
 public:
  bool pending() const noexcept { return closers_.load(std::memory_order_acquire) > 0; }

  // Held by close() from before it asks for the device lock until it has the
  // device closed: wakes the waiting call, if any.
  class Closing {
   public:
    explicit Closing(CloseRequest& r) noexcept : r_(r) {
      r_.closers_.fetch_add(1, std::memory_order_acq_rel);
      std::lock_guard lock(r_.mutex_);
      if (r_.waiting_) r_.waiting_->wake();
    }
    ~Closing() { r_.closers_.fetch_sub(1, std::memory_order_acq_rel); }
    Closing(const Closing&) = delete;
    Closing& operator=(const Closing&) = delete;

   private:
    CloseRequest& r_;
  };

  // Held by a call that waits under the device lock: a close that becomes
  // pending meanwhile wakes `target`. Look at pending() after making it.
  class Waiting {
   public:
    Waiting(CloseRequest* r, WakeTarget& target) noexcept : r_(r) {
      if (!r_) return;
      std::lock_guard lock(r_->mutex_);
      r_->waiting_ = &target;
    }
    ~Waiting() {
      if (!r_) return;
      std::lock_guard lock(r_->mutex_);
      r_->waiting_ = nullptr;
    }
    Waiting(const Waiting&) = delete;
    Waiting& operator=(const Waiting&) = delete;

   private:
    CloseRequest* r_;
  };

 private:
  std::atomic<int> closers_{0};
  std::mutex mutex_;
  WakeTarget* waiting_ = nullptr;  // guarded by mutex_; one call waits at a time (the device lock)
};

// Manual flow control: suspend or resume our own output, or ask the other
// side to stop or resume sending (the XOFF and XON characters).
enum class FlowAction : std::uint8_t { SuspendOutput, ResumeOutput, StopInput, ResumeInput };

inline constexpr std::string_view kManualFlowUnsupported = "manual flow control is not supported by this port";
inline constexpr std::string_view kLowLatencyUnsupported = "low latency mode is not supported on this platform";

class Backend {
 public:
  Backend() = default;
  Backend(const Backend&) = delete;
  Backend& operator=(const Backend&) = delete;
  virtual ~Backend() = default;

  // --- polled I/O ---
  // Appends at least one byte to buf (zero only if buf had no room, or the
  // device reported completion without data).
  virtual Poll<Status> poll_read(Context& cx, ReadBuf& buf) = 0;
  // Accepts a prefix of data; returns how many bytes were taken.
  virtual Poll<Result<std::size_t>> poll_write(Context& cx, Bytes data) = 0;
  // Ready once no write is in flight.
  virtual Poll<Status> poll_flush(Context& cx) = 0;
  virtual Poll<Status> poll_shutdown(Context&) { return Status{}; }
  // poll_write of the first non-empty slice (of an empty slice if all are empty).
  virtual Poll<Result<std::size_t>> poll_write_vectored(Context& cx, std::span<const Bytes> slices) {
    for (Bytes s : slices)
      if (!s.empty()) return poll_write(cx, s);
    return poll_write(cx, Bytes{});
  }
  virtual bool is_write_vectored() const { return false; }
  // A read waiting on an event loop's poller goes back to the readiness
  // thread (backends that have loop pollers).
  virtual void kick_loop_reader() noexcept {}

  // --- control ---
  virtual Status configure(const PortSettings& settings, bool rts, bool dtr) = 0;
  virtual Status set_rts(bool level) = 0;
  virtual Status set_dtr(bool level) = 0;
  virtual Result<bool> read_cts() = 0;
  virtual Result<bool> read_dsr() = 0;
  virtual Result<bool> read_ri() = 0;
  virtual Result<bool> read_cd() = 0;
  virtual Result<std::uint64_t> bytes_to_read() = 0;
  virtual Result<std::uint64_t> bytes_to_write() = 0;
  virtual Status purge(bool input, bool output) = 0;
  virtual Status set_break(bool level) = 0;
  virtual std::optional<std::int32_t> fileno() = 0;
  // Backends with a descriptor that others may register (see DescriptorClaim).
  virtual std::optional<DescriptorClaim> claim_descriptor() { return std::nullopt; }
  virtual Result<bool> drains_output() = 0;
  // Cancels the write in flight (unless detached) and reports how many of its
  // bytes were transferred. Called whenever a write operation ends, except
  // by the flattened write when none of its poll_write calls was left
  // pending (nothing can be in flight then).
  virtual Result<std::size_t> abort_write() = 0;
  // Lets the write in flight finish on its own; returns its byte count (0 if
  // none). The next poll_write first collects its completion.
  virtual std::size_t detach_write() = 0;
  virtual Status set_buffer_size(std::uint32_t rx_size, std::uint32_t tx_size) = 0;
  // Takes (true) or gives up (false), on the open device, the locks that
  // `exclusive` takes at open; nothing when they are already as asked. A
  // refusal leaves the device open without them. Backends without such
  // locks do nothing.
  virtual Status set_exclusive(bool) { return {}; }
  // Ports without manual flow control refuse it.
  virtual Status flow_control(FlowAction) { return fail(PortError::failure(std::string(kManualFlowUnsupported))); }
  // Why a write may not finish, added to the write-timeout error as a note;
  // empty when there is nothing to say.
  virtual std::string_view write_timeout_note() const { return {}; }
  // The settings the last successful configure asked for that the device
  // holds otherwise, read back from it, in the order of PortSettings.
  virtual std::vector<SettingNotKept> settings_not_kept() const { return {}; }
  // Whether input waiting when the device is opened is stale and goes (a
  // terminal's); a connection that has just begun has none.
  virtual bool discards_input_at_open() const { return true; }

  // The port's close request, handed over when the backend is installed.
  void attach_close_request(CloseRequest* request) noexcept { close_request_ = request; }

 protected:
  // True while a close waits for the device lock.
  bool close_pending() const noexcept { return close_request_ && close_request_->pending(); }
  CloseRequest* close_request_ = nullptr;
};

using BackendPtr = std::unique_ptr<Backend>;

// RS-485 direction control is driven by the terminal backend (through the
// kernel's RS-485 ioctls); where the device backend has no such control, a
// mode other than none is refused with this text.
inline constexpr std::string_view kRs485Unsupported = "RS-485 mode is not supported on this platform";
// How the port gets a backend for a name: given by the layer above the
// engine, which knows every backend (backends/open.hpp).
using BackendOpener = Result<BackendPtr> (*)(std::string_view name, const PortSettings& settings, bool rts,
                                             bool dtr);

// What a device backend's open reports: the raw OS error (the opener adds
// the port name); a configure failure is marked with configure_failed so it
// passes unchanged.
struct DeviceOpenError {
  PortError error;
  bool configure_failed = false;
};

}  // namespace corvalink
