// The device backend for Windows COM ports: overlapped I/O through the Win32
// communications API.
//
// No thread ever sleeps waiting for the device. A read that finds the input
// queue empty leaves an overlapped WaitCommEvent(EV_RXCHAR) outstanding; a
// write is an overlapped WriteFile of a private copy of the data. When an
// operation has to wait, the OS thread pool is asked to call back once the
// slot's event is signalled (RegisterWaitForSingleObject), and the callback
// only wakes the task that polled last. ReadFile is issued only for bytes
// already queued, and the driver's timeouts make it return at once.
//
// All of it is written against win32::Win32Comm, so the same code runs over
// the operating system on Windows and over the tests' simulation elsewhere.
#pragma once

#include <expected>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "engine/backend.hpp"
#include "backends/windows/win32_comm.hpp"

namespace corvalink {

namespace win32 {
// The DCB for the settings and line states, starting from what the driver
// reported: only fTXContinueOnXoff and the reserved flag bits, the limits,
// ErrorChar, EofChar, EvtChar and the reserved words are kept.
Dcb make_dcb(Dcb reported, const PortSettings& settings, bool rts, bool dtr);
// UTF-8 to UTF-16 with a terminating NUL; a malformed sequence becomes
// U+FFFD, so a name that is not valid UTF-8 names nothing rather than
// something else.
std::u16string utf16(std::string_view s);
// The device path of a port name: unchanged if it starts with a backslash,
// else prefixed with \\.\; UTF-16 with a terminating NUL.
std::u16string device_path(std::string_view name);
}  // namespace win32

class OverlappedBackend final : public Backend {
 public:
  // Input and output queue sizes asked for at open.
  static constexpr win32::Dword kQueueSize = 4096;

  // Opens the device and prepares the driver and the three slots; the bare
  // Win32 error code of the call that failed otherwise (nothing left open).
  static std::expected<std::unique_ptr<OverlappedBackend>, win32::Dword> open(win32::Win32Comm& api,
                                                                            std::string_view name);
  ~OverlappedBackend() override;

  Poll<Status> poll_read(Context& cx, ReadBuf& buf) override;
  Poll<Result<std::size_t>> poll_write(Context& cx, Bytes data) override;
  Poll<Status> poll_flush(Context& cx) override;

  Status configure(const PortSettings& settings, bool rts, bool dtr) override;
  Status set_rts(bool level) override;
  Status set_dtr(bool level) override;
  Result<bool> read_cts() override { return modem_bit(win32::kMsCtsOn); }
  Result<bool> read_dsr() override { return modem_bit(win32::kMsDsrOn); }
  Result<bool> read_ri() override { return modem_bit(win32::kMsRingOn); }
  Result<bool> read_cd() override { return modem_bit(win32::kMsRlsdOn); }
  Result<std::uint64_t> bytes_to_read() override;
  Result<std::uint64_t> bytes_to_write() override;
  Status purge(bool input, bool output) override;
  Status set_break(bool level) override;
  std::optional<std::int32_t> fileno() override { return std::nullopt; }
  Result<bool> drains_output() override { return true; }
  Result<std::size_t> abort_write() override;
  std::size_t detach_write() override;
  Status set_buffer_size(std::uint32_t rx_size, std::uint32_t tx_size) override;

  // The wake-up of the task that last waited on a slot, shared with the OS
  // wait callback (which holds a raw pointer to it while registered).
  struct WakeCell {
    std::mutex mutex;
    Waker waker;
  };

 private:
  // One overlapped operation at a time. The OVERLAPPED record and the
  // event-mask word live on the heap at fixed addresses: the OS writes them
  // while the operation is pending.
  struct Slot {
    std::vector<std::uint8_t> buffer;
    std::shared_ptr<WakeCell> wake_cell;
    win32::Handle handle = nullptr;  // the device, not owned
    std::unique_ptr<win32::Overlapped> overlapped;
    std::unique_ptr<win32::Dword> event_mask;
    win32::Handle wait_handle = nullptr;
    bool pending = false;
  };
  // A collected (or not yet finished) completion.
  struct Completion {
    bool finished = false;
    Result<win32::Dword> count = win32::Dword{0};
  };

  OverlappedBackend(win32::Win32Comm& api, win32::Handle handle) : api_(&api), handle_(handle) {}

  // Creates the slot's event and records; the OS error code on failure.
  std::expected<Slot, win32::Dword> make_slot();
  void tear_down(Slot& slot) noexcept;
  void start(Slot& slot);
  Status arm(Slot& slot, Context& cx);
  Completion collect(Slot& slot, bool wait);
  Poll<Result<std::size_t>> collect_write(Context& cx);

  PortError last_error();
  Result<bool> modem_bit(win32::Dword bit);
  Result<win32::ComStat> comm_status();

  win32::Win32Comm* api_;
  Slot wait_slot_;
  Slot read_slot_;
  Slot write_slot_;
  win32::Handle handle_;
  bool write_detached_ = false;
};

// Opens a COM port over the given layer: open, then configure; the OS
// error of a failed open, or the configure error marked configure_failed.
std::expected<BackendPtr, DeviceOpenError> open_overlapped_backend(win32::Win32Comm& api, std::string_view name,
                                                                   const PortSettings& settings, bool rts, bool dtr);

}  // namespace corvalink
