// The Winsock, overlapped I/O and thread-pool wait calls that network ports
// make on Windows, as an interface of our own.
//
// Each method is one call with the same arguments and the same contract: a
// failing socket call returns SOCKET_ERROR (-1) or INVALID_SOCKET and leaves
// its code for last_error(); the handle calls return false or null. The
// layer holds no logic of the backend. Two implementations exist: the real
// one (win32_socket_windows.cpp, Windows builds only) and the simulation of
// the tests, over which OverlappedSocket runs on any build.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "backends/windows/win32_comm.hpp"  // Dword, Handle, Overlapped, WaitCallback

namespace corvalink::win32 {

using Socket = std::uintptr_t;
inline constexpr Socket kInvalidSocket = ~Socket{0};
inline constexpr int kSocketError = -1;

// One entry of GetAddrInfoW's list: the address bytes (a sockaddr) and what
// the socket for it is made with.
struct AddressInfo {
  int family = 0;
  int socktype = 0;
  int protocol = 0;
  std::vector<std::uint8_t> address;
};

// ADDRINFOW's input fields.
struct AddressHints {
  int flags = 0;
  int family = 0;
  int socktype = 0;
  int protocol = 0;
};

inline constexpr int kAfUnspec = 0;
inline constexpr int kSockStream = 1;
inline constexpr int kIpProtoTcp = 6;
inline constexpr int kAiNumericHost = 0x04;
inline constexpr Dword kWsaFlagOverlapped = 0x01;
inline constexpr Dword kWsaFlagNoHandleInherit = 0x80;

inline constexpr int kWsaEWouldBlock = 10035;
inline constexpr int kWsaEConnAborted = 10053;
inline constexpr int kWsaEConnReset = 10054;
inline constexpr int kWsaETimedOut = 10060;
inline constexpr int kWsaEConnRefused = 10061;
inline constexpr int kWsaHostNotFound = 11001;  // GetAddrInfoW's EAI_NONAME

class Winsock {
 public:
  Winsock() = default;
  Winsock(const Winsock&) = delete;
  Winsock& operator=(const Winsock&) = delete;
  virtual ~Winsock() = default;

  // WSAStartup for version 2.2: 0 or the error code. WSACleanup.
  virtual int startup() = 0;
  virtual int cleanup() = 0;
  // WSAGetLastError of the calling thread.
  virtual int last_error() = 0;
  // The system's text for a code (FormatMessageW), trailing white space removed.
  virtual std::string system_message(Dword code) = 0;

  // GetAddrInfoW with the hints' four fields; on success the list is copied
  // to `out` and freed (FreeAddrInfoW). Returns GetAddrInfoW's result.
  virtual int get_addr_info(const char16_t* node, const char16_t* service, const AddressHints& hints,
                            std::vector<AddressInfo>& out) = 0;
  // WSASocketW without protocol information, group 0.
  virtual Socket socket(int family, int type, int protocol, Dword flags) = 0;
  virtual int close_socket(Socket s) = 0;
  // ioctlsocket(FIONBIO).
  virtual int set_non_blocking(Socket s, bool on) = 0;
  virtual int connect(Socket s, const void* address, int length) = 0;
  // select() on s alone, for writability and exceptions, waiting at most
  // timeout_us; returns its result and in which of the two sets s was left.
  virtual int select_connect(Socket s, std::int64_t timeout_us, bool& writable, bool& failed) = 0;
  // getsockopt(SOL_SOCKET, SO_ERROR).
  virtual int get_socket_error(Socket s, int& error) = 0;
  // setsockopt(IPPROTO_TCP, TCP_NODELAY).
  virtual int set_no_delay(Socket s, bool on) = 0;

  // WSARecv / WSASend of one buffer, overlapped, flags 0, without a count
  // pointer or completion routine.
  virtual int recv(Socket s, void* buffer, Dword size, Overlapped* ov) = 0;
  virtual int send(Socket s, const void* data, Dword size, Overlapped* ov) = 0;
  // WSAGetOverlappedResult (the flags it reports are not used).
  virtual bool get_overlapped_result(Socket s, Overlapped* ov, Dword& count, bool wait) = 0;
  // CancelIoEx on the socket's handle.
  virtual bool cancel_io_ex(Socket s, Overlapped* ov) = 0;

  // CreateEventW with no security attributes and no name; null on failure.
  virtual Handle create_event(bool manual_reset, bool initial_state) = 0;
  virtual bool close_handle(Handle h) = 0;
  virtual bool reset_event(Handle event) = 0;
  // RegisterWaitForSingleObject / UnregisterWaitEx.
  virtual bool register_wait(Handle& wait_handle, Handle object, WaitCallback callback, void* context,
                             Dword timeout_ms, Dword flags) = 0;
  virtual bool unregister_wait_ex(Handle wait_handle, Handle completion_event) = 0;
};

#if defined(_WIN32)
// The operating system's implementation (win32_socket_windows.cpp).
Winsock& system_winsock() noexcept;
#endif

}  // namespace corvalink::win32
