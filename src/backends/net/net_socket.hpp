// A connected TCP stream as the network backend drives it, and how one is
// made. Two implementations: PosixSocket (a non-blocking socket, woken by
// the reactor or the caller's own direct wait; net_posix.cpp) and
// OverlappedSocket (Winsock overlapped I/O through the thin layer of
// win32_socket.hpp; net_overlapped.cpp).
//
// Errors are the OS's own (text and code); the backend turns them into
// messages that name the port.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

#include "engine/backend.hpp"
#include "engine/runtime.hpp"

namespace corvalink {

class NetSocket {
 public:
  NetSocket() = default;
  NetSocket(const NetSocket&) = delete;
  NetSocket& operator=(const NetSocket&) = delete;
  // Closes the connection; what was handed over is still sent.
  virtual ~NetSocket() = default;

  // Appends received bytes to dest (which is not empty): ready(n > 0),
  // ready(0) once the peer has closed its side, an error, or pending. With
  // `arm` false a pending result arranges no wake-up.
  virtual Poll<Result<std::size_t>> poll_recv(Context& cx, std::span<std::uint8_t> dest, bool arm) = 0;
  // Hands a prefix of data (not empty) to the OS, which sends it on its own
  // from then on: ready(n > 0), an error, or pending (armed as above).
  virtual Poll<Result<std::size_t>> poll_send(Context& cx, std::span<const std::uint8_t> data, bool arm) = 0;
  // For a side that waits on the other side's readiness (a writer that
  // waits for input, a reader that waits for room to send): arranges a
  // wake-up of cx's waker once the socket may be readable (`readable`) or
  // writable, beside the waits poll_recv and poll_send arrange, which it
  // leaves alone, so each side's wait survives the other's end. The caller
  // tries once more without arming afterwards.
  virtual Status watch_other(Context& cx, bool readable) = 0;
  // Ready once nothing handed over is left in our hands (the OS has taken
  // all of it), or with the error that ended a send.
  virtual Poll<Status> poll_sent(Context& cx) = 0;
  // Bytes the OS holds that the peer has not acknowledged yet, where the OS
  // tells (0 where it does not).
  virtual Result<std::uint64_t> unacknowledged() { return std::uint64_t{0}; }
  // Acknowledges what came at once rather than after the delayed-ack timer,
  // where the OS allows: a server whose small answers wait for our
  // acknowledgement (Nagle's algorithm) then sends the next one sooner.
  virtual void acknowledge() noexcept {}
  // A receive waiting on an event loop's poller goes back to the readiness
  // thread (Backend::kick_loop_reader).
  virtual void kick_loop_reader() noexcept {}
};

using NetSocketPtr = std::unique_ptr<NetSocket>;

// The host (a name, or an address; IPv6 without brackets) and port to
// connect to.
struct NetTarget {
  std::string host;
  std::uint16_t port = 0;
};

// This platform's connect (net_posix.cpp, or net_overlapped.cpp on Windows),
// resolving and connecting by the deadline. Errors: Failure with the OS text
// and code ("Connection refused"), or a text of our own for a host that
// cannot be resolved and for a connection that is not made in time.
Result<NetSocketPtr> connect_tcp(const NetTarget& target, Instant deadline);

namespace net {

// Keeps signals away from a helper thread of ours: they belong to the
// interpreter's threads, whose blocking calls they are meant to interrupt.
void block_signals_of_this_thread() noexcept;

// Runs `lookup` on a thread of its own and waits for it until the deadline
// (a name lookup cannot be bounded otherwise); nullopt when the time ran
// out, in which case the thread finishes on its own and its result is
// dropped. Runs it on the calling thread if no thread can be started.
template <class R>
std::optional<R> run_bounded(std::function<R()> lookup, Instant deadline) {
  struct Shared {
    std::mutex mutex;
    std::condition_variable cv;
    std::optional<R> result;
  };
  auto shared = std::make_shared<Shared>();
  auto job = std::make_shared<std::function<R()>>(std::move(lookup));
  try {
    std::thread([shared, job] {
      block_signals_of_this_thread();
      R r = (*job)();
      std::lock_guard lock(shared->mutex);
      shared->result.emplace(std::move(r));
      shared->cv.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    return (*job)();
  }
  std::unique_lock lock(shared->mutex);
  if (!shared->cv.wait_until(lock, deadline, [&] { return shared->result.has_value(); })) return std::nullopt;
  return std::move(shared->result);
}

}  // namespace net

}  // namespace corvalink
