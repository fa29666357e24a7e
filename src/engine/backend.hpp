// The interface through which the port engine drives one open device.
//
// Polled operations take the Context of the task that drives them and return
// ready or pending; pending means the backend will wake that task once polling
// again can make progress. Control operations are immediate. The engine makes
// every call with the port's device lock held, so a backend never sees two
// engine calls at once; it guards only against its own OS callbacks.
// Destroying a backend closes the device.
#pragma once

#include <cstdint>
#include <memory>
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
  // Why a write may not finish, added to the write-timeout error as a note;
  // empty when there is nothing to say.
  virtual std::string_view write_timeout_note() const { return {}; }
  // The settings the last successful configure asked for that the device
  // holds otherwise, read back from it, in the order of PortSettings.
  virtual std::vector<SettingNotKept> settings_not_kept() const { return {}; }
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
