// The Win32 communications layer over the operating system: every method is
// the Win32 call of its name, with our records passed as the OS's own.
#include <windows.h>

#include <bit>
#include <cstddef>
#include <cstring>
#include <format>
#include <type_traits>

#include "backends/windows/win32_comm.hpp"
#include "engine/errors.hpp"

namespace corvalink::win32 {

static_assert(sizeof(Overlapped) == sizeof(OVERLAPPED));
static_assert(offsetof(Overlapped, internal) == offsetof(OVERLAPPED, Internal));
static_assert(offsetof(Overlapped, internal_high) == offsetof(OVERLAPPED, InternalHigh));
static_assert(offsetof(Overlapped, event) == offsetof(OVERLAPPED, hEvent));
static_assert(sizeof(Dcb) == sizeof(DCB));
static_assert(offsetof(Dcb, byte_size) == offsetof(DCB, ByteSize));
static_assert(offsetof(Dcb, reserved1) == offsetof(DCB, wReserved1));
static_assert(sizeof(CommTimeouts) == sizeof(COMMTIMEOUTS));
static_assert(sizeof(ComStat) == sizeof(COMSTAT));
static_assert(offsetof(ComStat, in_queue) == offsetof(COMSTAT, cbInQue));
static_assert(std::is_same_v<WaitCallback, WAITORTIMERCALLBACK>);

namespace {

// The records are layout-identical; their bytes are copied where the OS only
// reads or fills them, and pointers are passed where it keeps them.
template <class To, class From>
To copy_as(const From& from) noexcept {
  return std::bit_cast<To>(from);
}

LPOVERLAPPED os(Overlapped* ov) noexcept { return reinterpret_cast<LPOVERLAPPED>(ov); }

class SystemComm final : public Win32Comm {
 public:
  Dword get_last_error() override { return ::GetLastError(); }
  std::string system_message(Dword code) override { return os_error_text(static_cast<std::int32_t>(code)); }

  Handle create_file(const char16_t* path, Dword access, Dword share_mode, Dword disposition, Dword flags) override {
    return ::CreateFileW(reinterpret_cast<const wchar_t*>(path), access, share_mode, nullptr, disposition, flags,
                         nullptr);
  }
  bool close_handle(Handle h) override { return ::CloseHandle(h); }
  bool setup_comm(Handle h, Dword in_queue, Dword out_queue) override { return ::SetupComm(h, in_queue, out_queue); }
  bool set_comm_timeouts(Handle h, const CommTimeouts& timeouts) override {
    COMMTIMEOUTS t = copy_as<COMMTIMEOUTS>(timeouts);
    return ::SetCommTimeouts(h, &t);
  }
  bool set_comm_mask(Handle h, Dword mask) override { return ::SetCommMask(h, mask); }
  bool get_comm_state(Handle h, Dcb& dcb) override {
    DCB d = copy_as<DCB>(dcb);
    if (!::GetCommState(h, &d)) return false;
    dcb = copy_as<Dcb>(d);
    return true;
  }
  bool set_comm_state(Handle h, const Dcb& dcb) override {
    DCB d = copy_as<DCB>(dcb);
    return ::SetCommState(h, &d);
  }
  bool escape_comm_function(Handle h, Dword function) override { return ::EscapeCommFunction(h, function); }
  bool get_comm_modem_status(Handle h, Dword& status) override {
    DWORD s = status;
    if (!::GetCommModemStatus(h, &s)) return false;
    status = s;
    return true;
  }
  bool clear_comm_error(Handle h, Dword& errors, ComStat& stat) override {
    DWORD e = errors;
    COMSTAT c = copy_as<COMSTAT>(stat);
    if (!::ClearCommError(h, &e, &c)) return false;
    errors = e;
    stat = copy_as<ComStat>(c);
    return true;
  }
  bool purge_comm(Handle h, Dword flags) override { return ::PurgeComm(h, flags); }
  bool set_comm_break(Handle h) override { return ::SetCommBreak(h); }
  bool clear_comm_break(Handle h) override { return ::ClearCommBreak(h); }

  bool read_file(Handle h, void* buffer, Dword size, Overlapped* ov) override {
    return ::ReadFile(h, buffer, size, nullptr, os(ov));
  }
  bool write_file(Handle h, const void* data, Dword size, Overlapped* ov) override {
    return ::WriteFile(h, data, size, nullptr, os(ov));
  }
  bool wait_comm_event(Handle h, Dword* event_mask, Overlapped* ov) override {
    static_assert(sizeof(Dword) == sizeof(DWORD));
    return ::WaitCommEvent(h, reinterpret_cast<DWORD*>(event_mask), os(ov));
  }
  bool get_overlapped_result(Handle h, Overlapped* ov, Dword& count, bool wait) override {
    DWORD n = 0;
    const BOOL ok = ::GetOverlappedResult(h, os(ov), &n, wait ? TRUE : FALSE);
    count = n;
    return ok;
  }
  bool cancel_io_ex(Handle h, Overlapped* ov) override { return ::CancelIoEx(h, os(ov)); }

  Handle create_event(bool manual_reset, bool initial_state) override {
    return ::CreateEventW(nullptr, manual_reset, initial_state, nullptr);
  }
  bool reset_event(Handle event) override { return ::ResetEvent(event); }

  bool register_wait(Handle& wait_handle, Handle object, WaitCallback callback, void* context, Dword timeout_ms,
                     Dword flags) override {
    HANDLE h = nullptr;
    if (!::RegisterWaitForSingleObject(&h, object, callback, context, timeout_ms, flags)) return false;
    wait_handle = h;
    return true;
  }
  bool unregister_wait_ex(Handle wait_handle, Handle completion_event) override {
    return ::UnregisterWaitEx(wait_handle, completion_event);
  }
};

}  // namespace

Win32Comm& system_comm() noexcept {
  static SystemComm comm;
  return comm;
}

}  // namespace corvalink::win32
