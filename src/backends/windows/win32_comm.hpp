// The Win32 communications, overlapped I/O and thread-pool wait calls that
// the overlapped COM backend makes, as an interface of our own.
//
// Each method is one Win32 call with the same arguments and the same
// contract: a failing call returns false (or a null/invalid handle) and
// leaves its code for get_last_error() on the calling thread. The layer holds
// no logic of the backend. Two implementations exist: the real one
// (win32_comm_windows.cpp, Windows builds only) and the simulation of the
// tests, which is how the backend is exercised on any build.
//
// The record types mirror the Windows ones byte for byte (the real layer
// passes them to the OS as they are), with the DCB's bit fields as one word.
#pragma once

#include <cstdint>
#include <string>

#if defined(_WIN32)
#define CORVALINK_WINAPI __stdcall
#else
#define CORVALINK_WINAPI
#endif

namespace corvalink::win32 {

using Dword = std::uint32_t;
using Handle = void*;

inline Handle invalid_handle_value() noexcept { return reinterpret_cast<Handle>(static_cast<std::intptr_t>(-1)); }

// OVERLAPPED. Internal holds the status of the operation, InternalHigh its
// byte count; both belong to the OS while the operation is pending.
struct Overlapped {
  std::uintptr_t internal = 0;
  std::uintptr_t internal_high = 0;
  Dword offset = 0;
  Dword offset_high = 0;
  Handle event = nullptr;
};

// DCB, 28 bytes. `flags` carries the bit fields of the published layout.
struct Dcb {
  Dword length = 0;  // DCBlength
  Dword baud_rate = 0;
  Dword flags = 0;
  std::uint16_t reserved = 0;
  std::uint16_t xon_lim = 0;
  std::uint16_t xoff_lim = 0;
  std::uint8_t byte_size = 0;
  std::uint8_t parity = 0;
  std::uint8_t stop_bits = 0;
  char xon_char = 0;
  char xoff_char = 0;
  char error_char = 0;
  char eof_char = 0;
  char evt_char = 0;
  std::uint16_t reserved1 = 0;
};
static_assert(sizeof(Dcb) == 28);

// The DCB's flag bits.
namespace dcb {
inline constexpr Dword kBinary = 1u << 0;
inline constexpr Dword kParity = 1u << 1;
inline constexpr Dword kOutxCtsFlow = 1u << 2;
inline constexpr Dword kOutxDsrFlow = 1u << 3;
inline constexpr unsigned kDtrControlShift = 4;  // 2 bits
inline constexpr Dword kDsrSensitivity = 1u << 6;
inline constexpr Dword kTxContinueOnXoff = 1u << 7;
inline constexpr Dword kOutX = 1u << 8;
inline constexpr Dword kInX = 1u << 9;
inline constexpr Dword kErrorChar = 1u << 10;
inline constexpr Dword kNull = 1u << 11;
inline constexpr unsigned kRtsControlShift = 12;  // 2 bits
inline constexpr Dword kAbortOnError = 1u << 14;
}  // namespace dcb

struct CommTimeouts {
  Dword read_interval_timeout = 0;
  Dword read_total_timeout_multiplier = 0;
  Dword read_total_timeout_constant = 0;
  Dword write_total_timeout_multiplier = 0;
  Dword write_total_timeout_constant = 0;
};

// COMSTAT: the status bit fields as one word, then the queue counts.
struct ComStat {
  Dword flags = 0;
  Dword in_queue = 0;   // cbInQue
  Dword out_queue = 0;  // cbOutQue
};

// WAITORTIMERCALLBACK.
using WaitCallback = void(CORVALINK_WINAPI*)(void* context, std::uint8_t timer_or_wait_fired);

// Error codes, flags and constants of the calls below.
inline constexpr Dword kErrorFileNotFound = 2;
inline constexpr Dword kErrorAccessDenied = 5;
inline constexpr Dword kErrorInvalidParameter = 87;
inline constexpr Dword kErrorOperationAborted = 995;
inline constexpr Dword kErrorIoIncomplete = 996;
inline constexpr Dword kErrorIoPending = 997;
inline constexpr Dword kErrorNotFound = 1168;

inline constexpr Dword kGenericReadWrite = 0xC0000000;
inline constexpr Dword kOpenExisting = 3;
inline constexpr Dword kFileFlagOverlapped = 0x40000000;
inline constexpr Dword kMaxDword = 0xFFFFFFFF;
inline constexpr Dword kInfinite = 0xFFFFFFFF;
inline constexpr Dword kWtExecuteOnlyOnce = 0x00000008;
inline constexpr Dword kEvRxChar = 0x0001;

inline constexpr Dword kSetRts = 3, kClrRts = 4, kSetDtr = 5, kClrDtr = 6;
inline constexpr Dword kMsCtsOn = 0x10, kMsDsrOn = 0x20, kMsRingOn = 0x40, kMsRlsdOn = 0x80;
inline constexpr Dword kPurgeTxAbort = 0x01, kPurgeRxAbort = 0x02, kPurgeTxClear = 0x04, kPurgeRxClear = 0x08;

class Win32Comm {
 public:
  Win32Comm() = default;
  Win32Comm(const Win32Comm&) = delete;
  Win32Comm& operator=(const Win32Comm&) = delete;
  virtual ~Win32Comm() = default;

  // GetLastError of the calling thread.
  virtual Dword get_last_error() = 0;
  // The system's text for a code (FormatMessageW), trailing white space removed.
  virtual std::string system_message(Dword code) = 0;

  // CreateFileW with no security attributes and no template; the path is
  // NUL-terminated UTF-16. INVALID_HANDLE_VALUE on failure.
  virtual Handle create_file(const char16_t* path, Dword access, Dword share_mode, Dword disposition,
                             Dword flags) = 0;
  virtual bool close_handle(Handle h) = 0;
  virtual bool setup_comm(Handle h, Dword in_queue, Dword out_queue) = 0;
  virtual bool set_comm_timeouts(Handle h, const CommTimeouts& timeouts) = 0;
  virtual bool set_comm_mask(Handle h, Dword mask) = 0;
  virtual bool get_comm_state(Handle h, Dcb& dcb) = 0;
  virtual bool set_comm_state(Handle h, const Dcb& dcb) = 0;
  virtual bool escape_comm_function(Handle h, Dword function) = 0;
  virtual bool get_comm_modem_status(Handle h, Dword& status) = 0;
  virtual bool clear_comm_error(Handle h, Dword& errors, ComStat& stat) = 0;
  virtual bool purge_comm(Handle h, Dword flags) = 0;
  virtual bool set_comm_break(Handle h) = 0;
  virtual bool clear_comm_break(Handle h) = 0;

  // ReadFile / WriteFile / WaitCommEvent, overlapped, without a count pointer.
  virtual bool read_file(Handle h, void* buffer, Dword size, Overlapped* ov) = 0;
  virtual bool write_file(Handle h, const void* data, Dword size, Overlapped* ov) = 0;
  virtual bool wait_comm_event(Handle h, Dword* event_mask, Overlapped* ov) = 0;
  virtual bool get_overlapped_result(Handle h, Overlapped* ov, Dword& count, bool wait) = 0;
  virtual bool cancel_io_ex(Handle h, Overlapped* ov) = 0;

  // CreateEventW with no security attributes and no name; null on failure.
  virtual Handle create_event(bool manual_reset, bool initial_state) = 0;
  virtual bool reset_event(Handle event) = 0;

  // RegisterWaitForSingleObject / UnregisterWaitEx.
  virtual bool register_wait(Handle& wait_handle, Handle object, WaitCallback callback, void* context,
                             Dword timeout_ms, Dword flags) = 0;
  virtual bool unregister_wait_ex(Handle wait_handle, Handle completion_event) = 0;
};

#if defined(_WIN32)
// The operating system's implementation (win32_comm_windows.cpp).
Win32Comm& system_comm() noexcept;
#endif

}  // namespace corvalink::win32
