// The engine's operating-system layer on Windows (os.hpp). There is no
// fork(), and a thread parks on its condition variable: no direct waits.
#include <windows.h>

#include <format>
#include <string>

#include "engine/errors.hpp"
#include "engine/os.hpp"

namespace corvalink::os {

void name_this_thread() noexcept { SetThreadDescription(GetCurrentThread(), L"corvalink"); }

std::uint64_t process_identity() noexcept { return ::GetCurrentProcessId(); }

int make_wake_descriptor() noexcept { return -1; }
bool wake_descriptor_is_ours(int) noexcept { return false; }
void close_wake_descriptor(int) noexcept {}
void signal_wake_descriptor(int) noexcept {}
int poll_with_wake(int, PollSlot*, std::size_t, int) noexcept { return -1; }

}  // namespace corvalink::os

namespace corvalink {

// The operating system's error texts (errors.hpp).
namespace {

std::string to_utf8(const wchar_t* text, int length) {
  if (length <= 0) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), n, nullptr, nullptr);
  return out;
}

}  // namespace

std::string os_error_text(std::int32_t signed_code) {
  const DWORD code = static_cast<DWORD>(signed_code);
  DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  LPCVOID module = nullptr;
  DWORD id = code;
  if (code & 0x10000000u) {
    // An NTSTATUS turned into a code: its text is in ntdll's message table.
    flags |= FORMAT_MESSAGE_FROM_HMODULE;
    module = ::GetModuleHandleW(L"NTDLL.DLL");
    id = code & ~0x10000000u;
  }
  wchar_t buf[2048];
  DWORD n = ::FormatMessageW(flags, module, id, 0, buf, 2048, nullptr);
  if (n == 0) return std::format("OS Error {} (FormatMessageW() returned error {})", code, ::GetLastError());
  while (n > 0 && (buf[n - 1] == L' ' || buf[n - 1] == L'\t' || buf[n - 1] == L'\n' || buf[n - 1] == L'\f' ||
                   buf[n - 1] == L'\r')) {
    --n;
  }
  // An unpaired surrogate is not valid UTF-16.
  for (DWORD i = 0; i < n; ++i) {
    const wchar_t c = buf[i];
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 < n && buf[i + 1] >= 0xDC00 && buf[i + 1] <= 0xDFFF) {
        ++i;
        continue;
      }
      return std::format("OS Error {} (FormatMessageW() returned invalid UTF-16)", code);
    }
    if (c >= 0xDC00 && c <= 0xDFFF) return std::format("OS Error {} (FormatMessageW() returned invalid UTF-16)", code);
  }
  return to_utf8(buf, static_cast<int>(n));
}

PortError last_os_error() { return from_os_error(static_cast<std::int32_t>(::GetLastError())); }

}  // namespace corvalink
