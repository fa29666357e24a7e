// TCP connections on Windows: Winsock overlapped I/O through the thin layer
// of win32_socket.hpp, woken as the COM backend is.
//
// One WSARecv is kept outstanding into a buffer of ours; what it brings is
// handed out from there. A send copies the data and hands it to one
// overlapped WSASend, which Winsock normally finishes at once into its own
// buffer; the next send waits for it, and so does poll_sent. When an
// operation has to wait, the OS thread pool calls back once the slot's event
// is signalled (RegisterWaitForSingleObject), and the callback only wakes the
// task that polled last. No thread sleeps waiting for the network.
//
// Connecting happens on the calling thread: a non-blocking connect and a
// select() bounded by the deadline; a name is looked up on a thread of its
// own (net::run_bounded). All of it builds on any system and runs over the
// tests' simulation there.
#pragma once

#include <expected>
#include <memory>
#include <mutex>
#include <vector>

#include "backends/net/net_socket.hpp"
#include "backends/windows/win32_socket.hpp"

namespace corvalink {

class OverlappedSocket final : public NetSocket {
 public:
  static constexpr win32::Dword kReceiveSize = 65536;
  // One WSASend takes at most this much.
  static constexpr std::size_t kSendMax = std::size_t{1} << 20;

  // Resolves the host, connects by the deadline and prepares the two slots;
  // nothing is left behind on failure. Errors as connect_tcp's.
  static Result<std::unique_ptr<OverlappedSocket>> connect(win32::Winsock& api, const NetTarget& target,
                                                           Instant deadline);
  ~OverlappedSocket() override;

  Poll<Result<std::size_t>> poll_recv(Context& cx, std::span<std::uint8_t> dest, bool arm) override;
  Poll<Result<std::size_t>> poll_send(Context& cx, std::span<const std::uint8_t> data, bool arm) override;
  Poll<Status> poll_sent(Context& cx) override;
  Status watch_other(Context& cx, bool readable) override;

  // The wake-up of the task that last waited on a slot, shared with the OS
  // wait callback (which holds a raw pointer to it while registered).
  struct WakeCell {
    std::mutex mutex;
    Waker waker;
    Waker other;  // of a task that waits here for the other side (watch_other)
  };

 private:
  // One overlapped operation at a time; the OVERLAPPED record lives on the
  // heap at a fixed address, since the OS writes it while it is pending.
  struct Slot {
    std::vector<std::uint8_t> buffer;
    std::shared_ptr<WakeCell> wake_cell;
    std::unique_ptr<win32::Overlapped> overlapped;
    win32::Handle wait_handle = nullptr;
    bool pending = false;
  };
  struct Completion {
    bool finished = false;
    Result<win32::Dword> count = win32::Dword{0};
  };

  OverlappedSocket(win32::Winsock& api, win32::Socket s) : api_(&api), socket_(s) {}

  Status make_slot(Slot& slot);
  void tear_down(Slot& slot) noexcept;
  void start(Slot& slot);
  Status arm(Slot& slot, Context& cx, bool other = false);
  // Starts the receive unless one is outstanding; false with the error.
  Status start_recv();
  Completion collect(Slot& slot, bool wait);
  // Collects the slot's completion, arming the wake-up first when asked.
  Completion wait_for(Slot& slot, Context& cx, bool arm_it, Status& armed);
  PortError error(int code);

  win32::Winsock* api_;
  win32::Socket socket_;
  Slot recv_;
  Slot send_;
  std::size_t received_at_ = 0;  // recv_.buffer[received_at_, received_end_) is not handed out yet
  std::size_t received_end_ = 0;
  bool closed_by_peer_ = false;
};

}  // namespace corvalink
