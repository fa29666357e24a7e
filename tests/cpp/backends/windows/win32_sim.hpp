// A simulated Win32 communications layer: COM devices, manual-reset events,
// overlapped ReadFile/WriteFile/WaitCommEvent, cancellation, and thread-pool
// waits whose callbacks run on threads of their own. Tests drive the remote
// end (bytes arriving, the line draining), inject failures into any call,
// and check at the end that no handle, event or wait registration is left.
//
// What it holds to, as the OS does: the OVERLAPPED record is written when an
// operation completes (so one freed too early is caught by the sanitizers),
// a write's bytes are read from the caller's buffer while it is pending, one
// WaitCommEvent at a time per handle (a second fails with 87), a device
// opens once (a second CreateFileW fails with 5), GetOverlappedResult with
// bWait FALSE fails with 996 while incomplete, cancellation and purges end
// pending operations with 995 and the count moved so far, and
// UnregisterWaitEx(INVALID_HANDLE_VALUE) waits for a running callback.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "backends/windows/win32_comm.hpp"

namespace corvalink::test {

enum class Call {
  CreateFile, CloseHandle, SetupComm, SetCommTimeouts, SetCommMask, GetCommState, SetCommState,
  EscapeCommFunction, GetCommModemStatus, ClearCommError, PurgeComm, SetCommBreak, ClearCommBreak,
  ReadFile, WriteFile, WaitCommEvent, GetOverlappedResult, CancelIoEx, CreateEvent, ResetEvent,
  RegisterWait, UnregisterWaitEx,
  Count
};

class SimComm final : public win32::Win32Comm {
 public:
  static constexpr std::string_view kDefaultPath = "\\\\.\\COM3";

  SimComm();
  ~SimComm() override;

  // --- the test's side (any thread) ---

  void add_device(std::string path = std::string(kDefaultPath));
  // The remote end sends bytes: they enter the input queue and end a
  // pending WaitCommEvent (EV_RXCHAR).
  void feed(std::string_view bytes, std::string_view path = kDefaultPath);
  // What went out on the line so far (taken).
  std::string take_sent(std::string_view path = kDefaultPath);
  // Bytes drained from the output queue per millisecond; 0 stalls the line.
  void set_line_rate(std::size_t bytes_per_ms);
  void set_modem_status(win32::Dword bits, std::string_view path = kDefaultPath);
  // The DCB the driver starts with (GetCommState before any SetCommState).
  void set_driver_dcb(const win32::Dcb& dcb, std::string_view path = kDefaultPath);

  // The next call of that kind, after `skip` successful ones, fails with code.
  // A GetOverlappedResult fault applies to an operation that has finished.
  void fail(Call call, win32::Dword code, int skip = 0);

  struct DeviceState {
    bool open = false;
    win32::Dcb dcb{};
    bool dcb_set = false;
    win32::CommTimeouts timeouts{};
    win32::Dword mask = 0;
    win32::Dword in_queue_size = 0, out_queue_size = 0;
    bool rts = false, dtr = false, brk = false;
    std::vector<win32::Dword> escapes;
    std::vector<win32::Dword> purges;
    std::size_t in_queued = 0, out_queued = 0;
  };
  DeviceState device(std::string_view path = kDefaultPath);

  struct CreateArgs {
    std::string path;
    win32::Dword access = 0, share = 0, disposition = 0, flags = 0;
  };
  CreateArgs last_create();
  struct RegisterArgs {
    win32::Dword timeout = 0, flags = 0;
  };
  RegisterArgs last_register();
  std::vector<win32::Dword> read_sizes();

  int calls(Call call);
  // Resources alive now.
  int open_handles();
  int live_events();
  int live_waits();
  int pending_operations();
  // Misuse seen (an event closed under a pending operation, a device closed
  // with operations pending, an unknown handle, ...); empty when all is well.
  std::vector<std::string> violations();

  // Waits until pred() (called under no lock) holds or the time is up.
  template <class Pred>
  static bool eventually(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }

  // --- Win32Comm ---
  win32::Dword get_last_error() override;
  std::string system_message(win32::Dword code) override;
  win32::Handle create_file(const char16_t* path, win32::Dword access, win32::Dword share_mode,
                            win32::Dword disposition, win32::Dword flags) override;
  bool close_handle(win32::Handle h) override;
  bool setup_comm(win32::Handle h, win32::Dword in_queue, win32::Dword out_queue) override;
  bool set_comm_timeouts(win32::Handle h, const win32::CommTimeouts& timeouts) override;
  bool set_comm_mask(win32::Handle h, win32::Dword mask) override;
  bool get_comm_state(win32::Handle h, win32::Dcb& dcb) override;
  bool set_comm_state(win32::Handle h, const win32::Dcb& dcb) override;
  bool escape_comm_function(win32::Handle h, win32::Dword function) override;
  bool get_comm_modem_status(win32::Handle h, win32::Dword& status) override;
  bool clear_comm_error(win32::Handle h, win32::Dword& errors, win32::ComStat& stat) override;
  bool purge_comm(win32::Handle h, win32::Dword flags) override;
  bool set_comm_break(win32::Handle h) override;
  bool clear_comm_break(win32::Handle h) override;
  bool read_file(win32::Handle h, void* buffer, win32::Dword size, win32::Overlapped* ov) override;
  bool write_file(win32::Handle h, const void* data, win32::Dword size, win32::Overlapped* ov) override;
  bool wait_comm_event(win32::Handle h, win32::Dword* event_mask, win32::Overlapped* ov) override;
  bool get_overlapped_result(win32::Handle h, win32::Overlapped* ov, win32::Dword& count, bool wait) override;
  bool cancel_io_ex(win32::Handle h, win32::Overlapped* ov) override;
  win32::Handle create_event(bool manual_reset, bool initial_state) override;
  bool reset_event(win32::Handle event) override;
  bool register_wait(win32::Handle& wait_handle, win32::Handle object, win32::WaitCallback callback, void* context,
                     win32::Dword timeout_ms, win32::Dword flags) override;
  bool unregister_wait_ex(win32::Handle wait_handle, win32::Handle completion_event) override;

 private:
  struct Device {
    std::string path;
    DeviceState state;
    win32::Dcb driver_dcb{};
    std::deque<std::uint8_t> in, out;
    std::string sent;
    bool rx_event = false;  // a character arrived since the last wait began
    win32::Dword modem = 0;
  };
  struct Event {
    bool manual = true;
    bool signalled = false;
  };
  struct Op {
    enum Kind { Read, Write, Wait } kind;
    Device* device;
    win32::Overlapped* ov;
    const std::uint8_t* data = nullptr;
    win32::Dword size = 0;
    win32::Dword done = 0;
    win32::Dword* mask = nullptr;
  };
  struct Registration {
    win32::Handle event = nullptr;
    win32::WaitCallback callback = nullptr;
    void* context = nullptr;
    bool cancelled = false;
    std::thread thread;
  };
  struct Fault {
    win32::Dword code = 0;
    int skip = 0;
    bool armed = false;
  };

  bool failed(Call call);  // counts the call; true (last error set) if a fault fires
  bool error(win32::Dword code);
  Device* device_of(win32::Handle h);
  Device& named(std::string_view path);
  win32::Handle new_handle();
  void complete(std::vector<Op>::iterator op, std::uintptr_t status);
  void signal(win32::Handle event);
  void drive();  // the driver thread
  void move_output(Device& d);
  void wait_thread(Registration* r);

  std::mutex mutex_;
  std::condition_variable cv_;
  std::map<std::string, std::unique_ptr<Device>, std::less<>> devices_;
  std::map<win32::Handle, Device*> handles_;
  std::map<win32::Handle, Event> events_;
  std::map<win32::Handle, std::unique_ptr<Registration>> waits_;
  std::vector<Op> ops_;
  std::array<int, static_cast<std::size_t>(Call::Count)> calls_{};
  std::array<Fault, static_cast<std::size_t>(Call::Count)> faults_{};
  std::vector<std::string> violations_;
  CreateArgs last_create_;
  RegisterArgs last_register_;
  std::vector<win32::Dword> read_sizes_;
  std::uintptr_t next_handle_ = 0x1000;
  std::size_t line_rate_ = 1000;
  bool stop_ = false;
  std::thread driver_;
};

}  // namespace corvalink::test
