// A simulated Winsock layer: name lookups, non-blocking connects to peers
// that accept, refuse or never answer, one TCP connection's two directions
// with overlapped WSARecv/WSASend, cancellation, manual-reset events and
// thread-pool waits whose callbacks run on threads of their own. The test
// plays the peer (sends, closes or resets, stalls the client's sends),
// injects failures into any call, and checks at the end that no socket,
// event, wait registration, operation or WSAStartup is left.
//
// What it holds to, as the OS does: the OVERLAPPED record is written when an
// operation completes; a stalled send reads the caller's buffer only when it
// completes; WSAGetOverlappedResult with fWait FALSE fails with 996 while
// incomplete; cancellation ends an operation with 995; a receive that ends
// with nothing means the peer closed its side; UnregisterWaitEx(INVALID_
// HANDLE_VALUE) waits for a running callback.
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

#include "backends/windows/win32_socket.hpp"

namespace corvalink::test {

enum class NetCall {
  Startup, GetAddrInfo, Socket, SetNonBlocking, Connect, Select, GetSocketError, SetNoDelay, Recv, Send,
  GetOverlappedResult, CancelIoEx, CreateEvent, RegisterWait,
  Count
};

class SimWinsock final : public win32::Winsock {
 public:
  enum class Peer { Accept, Refuse, Silent };

  SimWinsock() = default;
  ~SimWinsock() override;

  // --- the test's side (any thread) ---

  // A host name and the addresses ("10.0.0.1", "::1") it resolves to.
  void add_name(std::string name, std::vector<std::string> addresses);
  // What a connect to that address and port meets (Refuse when not set).
  void set_peer(std::string_view address, std::uint16_t port, Peer peer);
  // The peer of the last connection sends bytes, closes its side, or resets.
  void feed(std::string_view bytes);
  void close_by_peer(bool reset);
  // What the client sent so far (taken).
  std::string take_sent();
  // While stalled, the client's sends stay pending; unstalling finishes them.
  void stall_sends(bool stalled);

  // The next call of that kind, after `skip` successful ones, fails with code.
  void fail(NetCall call, int code, int skip = 0);
  int calls(NetCall call);
  std::string last_connect();  // "address:port"

  int open_sockets();
  int live_events();
  int live_waits();
  int pending_operations();
  int startups();  // WSAStartup calls not yet given back
  std::vector<std::string> violations();

  template <class Pred>
  static bool eventually(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }

  // --- Winsock ---
  int startup() override;
  int cleanup() override;
  int last_error() override;
  std::string system_message(win32::Dword code) override;
  int get_addr_info(const char16_t* node, const char16_t* service, const win32::AddressHints& hints,
                    std::vector<win32::AddressInfo>& out) override;
  win32::Socket socket(int family, int type, int protocol, win32::Dword flags) override;
  int close_socket(win32::Socket s) override;
  int set_non_blocking(win32::Socket s, bool on) override;
  int connect(win32::Socket s, const void* address, int length) override;
  int select_connect(win32::Socket s, std::int64_t timeout_us, bool& writable, bool& failed) override;
  int get_socket_error(win32::Socket s, int& error) override;
  int set_no_delay(win32::Socket s, bool on) override;
  int recv(win32::Socket s, void* buffer, win32::Dword size, win32::Overlapped* ov) override;
  int send(win32::Socket s, const void* data, win32::Dword size, win32::Overlapped* ov) override;
  bool get_overlapped_result(win32::Socket s, win32::Overlapped* ov, win32::Dword& count, bool wait) override;
  bool cancel_io_ex(win32::Socket s, win32::Overlapped* ov) override;
  win32::Handle create_event(bool manual_reset, bool initial_state) override;
  bool close_handle(win32::Handle h) override;
  bool reset_event(win32::Handle event) override;
  bool register_wait(win32::Handle& wait_handle, win32::Handle object, win32::WaitCallback callback, void* context,
                     win32::Dword timeout_ms, win32::Dword flags) override;
  bool unregister_wait_ex(win32::Handle wait_handle, win32::Handle completion_event) override;

 private:
  struct Connection {
    std::deque<std::uint8_t> in;  // sent by the peer, not yet received
    std::string sent;
    bool closed = false;  // by the peer
    bool reset = false;
  };
  struct Sock {
    bool non_blocking = false;
    Peer peer = Peer::Refuse;
    bool connecting = false;
    std::shared_ptr<Connection> connection;
  };
  struct Op {
    enum Kind { Recv, Send } kind;
    win32::Socket socket;
    win32::Overlapped* ov;
    std::uint8_t* buffer = nullptr;
    const std::uint8_t* data = nullptr;
    win32::Dword size = 0;
  };
  struct Registration {
    win32::Handle event = nullptr;
    win32::WaitCallback callback = nullptr;
    void* context = nullptr;
    bool cancelled = false;
    std::thread thread;
  };
  struct Fault {
    int code = 0;
    int skip = 0;
    bool armed = false;
  };

  bool failed(NetCall call);  // counts the call; true (last error set) if a fault fires
  int error(int code);        // sets the last error, returns SOCKET_ERROR
  Sock* sock_of(win32::Socket s);
  void complete(std::vector<Op>::iterator op, std::uintptr_t status, win32::Dword count);
  void serve_receives(Connection& c);
  void signal(win32::Handle event);
  void wait_thread(Registration* r);

  std::mutex mutex_;
  std::condition_variable cv_;
  std::map<std::string, std::vector<std::string>, std::less<>> names_;
  std::map<std::string, Peer, std::less<>> peers_;
  std::map<win32::Socket, Sock> sockets_;
  std::map<win32::Handle, bool> events_;  // signalled
  std::map<win32::Handle, std::unique_ptr<Registration>> waits_;
  std::vector<Op> ops_;
  std::shared_ptr<Connection> last_;
  std::string last_connect_;
  bool stalled_ = false;
  int startups_ = 0;
  std::array<int, static_cast<std::size_t>(NetCall::Count)> calls_{};
  std::array<Fault, static_cast<std::size_t>(NetCall::Count)> faults_{};
  std::vector<std::string> violations_;
  std::uintptr_t next_handle_ = 0x2000;
};

}  // namespace corvalink::test
