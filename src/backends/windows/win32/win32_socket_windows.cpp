// The Winsock layer over the operating system: every method is the call of
// its name, with our records passed as the OS's own.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstddef>

#include "backends/windows/win32_socket.hpp"
#include "engine/errors.hpp"

namespace corvalink::win32 {

static_assert(sizeof(Socket) == sizeof(SOCKET));
static_assert(kInvalidSocket == INVALID_SOCKET);
static_assert(kSocketError == SOCKET_ERROR);
static_assert(kAiNumericHost == AI_NUMERICHOST && kSockStream == SOCK_STREAM && kIpProtoTcp == IPPROTO_TCP);
static_assert(kWsaFlagOverlapped == WSA_FLAG_OVERLAPPED && kWsaFlagNoHandleInherit == WSA_FLAG_NO_HANDLE_INHERIT);
static_assert(kWsaEWouldBlock == WSAEWOULDBLOCK && kWsaEConnReset == WSAECONNRESET &&
              kWsaEConnRefused == WSAECONNREFUSED && kWsaHostNotFound == WSAHOST_NOT_FOUND);
static_assert(sizeof(Overlapped) == sizeof(WSAOVERLAPPED));

namespace {

LPWSAOVERLAPPED os(Overlapped* ov) noexcept { return reinterpret_cast<LPWSAOVERLAPPED>(ov); }

class SystemWinsock final : public Winsock {
 public:
  int startup() override {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data);
  }
  int cleanup() override { return ::WSACleanup(); }
  int last_error() override { return ::WSAGetLastError(); }
  std::string system_message(Dword code) override { return os_error_text(static_cast<std::int32_t>(code)); }

  int get_addr_info(const char16_t* node, const char16_t* service, const AddressHints& hints,
                    std::vector<AddressInfo>& out) override {
    ADDRINFOW h{};
    h.ai_flags = hints.flags;
    h.ai_family = hints.family;
    h.ai_socktype = hints.socktype;
    h.ai_protocol = hints.protocol;
    ADDRINFOW* list = nullptr;
    const int rc = ::GetAddrInfoW(reinterpret_cast<const wchar_t*>(node), reinterpret_cast<const wchar_t*>(service),
                                  &h, &list);
    if (rc != 0) return rc;
    for (const ADDRINFOW* a = list; a; a = a->ai_next) {
      const auto* bytes = reinterpret_cast<const std::uint8_t*>(a->ai_addr);
      out.push_back({a->ai_family, a->ai_socktype, a->ai_protocol,
                     std::vector<std::uint8_t>(bytes, bytes + a->ai_addrlen)});
    }
    ::FreeAddrInfoW(list);
    return 0;
  }
  Socket socket(int family, int type, int protocol, Dword flags) override {
    return ::WSASocketW(family, type, protocol, nullptr, 0, flags);
  }
  int close_socket(Socket s) override { return ::closesocket(s); }
  int set_non_blocking(Socket s, bool on) override {
    u_long value = on ? 1 : 0;
    return ::ioctlsocket(s, FIONBIO, &value);
  }
  int connect(Socket s, const void* address, int length) override {
    return ::connect(s, static_cast<const sockaddr*>(address), length);
  }
  int select_connect(Socket s, std::int64_t timeout_us, bool& writable, bool& failed) override {
    fd_set w, e;
    FD_ZERO(&w);
    FD_ZERO(&e);
    FD_SET(s, &w);
    FD_SET(s, &e);
    timeval tv{static_cast<long>(timeout_us / 1000000), static_cast<long>(timeout_us % 1000000)};
    const int r = ::select(0, nullptr, &w, &e, &tv);
    writable = r > 0 && FD_ISSET(s, &w);
    failed = r > 0 && FD_ISSET(s, &e);
    return r;
  }
  int get_socket_error(Socket s, int& error) override {
    int length = sizeof error;
    return ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
  }
  int set_no_delay(Socket s, bool on) override {
    BOOL value = on ? TRUE : FALSE;
    return ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&value), sizeof value);
  }

  int recv(Socket s, void* buffer, Dword size, Overlapped* ov) override {
    WSABUF buf{size, static_cast<char*>(buffer)};
    DWORD flags = 0;
    return ::WSARecv(s, &buf, 1, nullptr, &flags, os(ov), nullptr);
  }
  int send(Socket s, const void* data, Dword size, Overlapped* ov) override {
    WSABUF buf{size, static_cast<char*>(const_cast<void*>(data))};
    return ::WSASend(s, &buf, 1, nullptr, 0, os(ov), nullptr);
  }
  bool get_overlapped_result(Socket s, Overlapped* ov, Dword& count, bool wait) override {
    DWORD n = 0;
    DWORD flags = 0;
    const BOOL ok = ::WSAGetOverlappedResult(s, os(ov), &n, wait ? TRUE : FALSE, &flags);
    count = n;
    return ok;
  }
  bool cancel_io_ex(Socket s, Overlapped* ov) override {
    return ::CancelIoEx(reinterpret_cast<HANDLE>(s), reinterpret_cast<LPOVERLAPPED>(ov));
  }

  Handle create_event(bool manual_reset, bool initial_state) override {
    return ::CreateEventW(nullptr, manual_reset, initial_state, nullptr);
  }
  bool close_handle(Handle h) override { return ::CloseHandle(h); }
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

Winsock& system_winsock() noexcept {
  static SystemWinsock winsock;
  return winsock;
}

}  // namespace corvalink::win32
