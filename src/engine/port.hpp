// The port handle: settings, the open backend, the locks and notifications
// shared by every operation on one port, and the port operations.
//
// Lock order: read_lock or write_lock (asynchronous, held for a whole
// operation), then the device lock, then the settings lock. The two mutexes
// are held for one short step only, never across a suspension.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "engine/backend.hpp"
#include "engine/errors.hpp"
#include "engine/operation.hpp"
#include "engine/settings.hpp"
#include "engine/sync.hpp"

namespace corvalink {

// Derived, never stored: no name and no backend, a name but no backend, a backend.
enum class PortState : std::uint8_t { Unconfigured, Closed, Open };

class PortHandle : public std::enable_shared_from_this<PortHandle> {
  struct Private {};

 public:
  PortHandle(Private, BackendOpener opener) : opener_(opener) {}
  // `opener` gives the port its backend at every open.
  static std::shared_ptr<PortHandle> create(BackendOpener opener);
  PortHandle(const PortHandle&) = delete;
  PortHandle& operator=(const PortHandle&) = delete;

  // --- blocking operations (the caller releases the interpreter) ---
  // not_kept, if given, receives the settings the new device did not keep.
  Status open(std::vector<SettingNotKept>* not_kept = nullptr);
  // Closes the port. `reason`, when given, is the fatal error that ended the
  // device: the operations this close ends report it instead of NotOpen.
  void close(std::optional<PortError> reason = std::nullopt);
  bool is_open();
  PortState state();
  Status set_rts(bool level);
  Status set_dtr(bool level);
  Status set_break(bool level);
  Result<bool> read_cts();
  Result<bool> read_dsr();
  Result<bool> read_ri();
  Result<bool> read_cd();
  Result<std::uint64_t> bytes_to_read();
  Result<std::uint64_t> bytes_to_write();
  Status reset_input_buffer();
  Status reset_output_buffer();
  Status set_buffer_size(std::uint32_t rx, std::optional<std::uint32_t> tx);
  Status flow_control(FlowAction action);
  Result<std::optional<std::int32_t>> fileno();
  // The descriptor with a claim on its number (none for a backend without
  // one); NotOpen when closed.
  Result<std::optional<DescriptorClaim>> claim_descriptor();
  void cancel_read() noexcept;
  void cancel_write() noexcept;
  // NotOpen when no backend is present.
  Status ensure_open();
  // Which opening of the port is current (counts opens); an operation notes
  // it when it finds the port open.
  std::uint64_t generation() const noexcept { return generation_.load(std::memory_order_acquire); }
  // What an operation that found the port open in `generation` and was then
  // ended by a close reports: the fatal error that closed it, else NotOpen.
  PortError closed_error(std::uint64_t generation);
  // Puts bytes a read took but nobody received back at the front of the
  // input, ahead of everything not read yet, for the next read. `generation`
  // is the opening they were read in: they are dropped when the port was
  // closed since (a close discards the input, as opening again does).
  // The read that waits for the device (holding the read side) is woken, so
  // it takes them at once.
  void unread(ByteString bytes, std::uint64_t generation);
  // A read that waited for the device ends: its waker is dropped.
  void forget_waiting_reader() noexcept;
  // Installs a backend opened elsewhere (AlreadyOpen if one is present).
  Status open_with(BackendPtr backend);

  // --- settings (settings lock only; never touches the device) ---
  PortSettings settings() const;
  std::optional<std::string> port_name() const;
  bool rts() const;
  bool dtr() const;
  bool break_condition() const;
  // The three timeouts of the settings, without taking the settings lock.
  struct Timeouts {
    TimeoutValue timeout, write_timeout, inter_byte_timeout;
  };
  Timeouts timeouts() const noexcept;

  // Device lock, then settings lock: remember the old record, apply `change`;
  // if open and a line setting differs, configure(new, rts, dtr); on failure
  // restore the whole old record and return the error.
  Status update_settings(const std::function<void(PortSettings&)>& change);
  // Stores without configure (timeouts), still under both locks.
  void store_settings(const std::function<void(PortSettings&)>& change);
  // Device lock, then settings lock: stores the option and, on an open port,
  // takes or gives up the backend's locks at once. A refusal restores the
  // previous value and leaves the port open.
  Status set_exclusive(std::optional<bool> exclusive);
  // Port-name change: note whether open; close; store the name; reopen if it
  // was open (a failure leaves it closed).
  Status change_port(std::optional<std::string> name, std::vector<SettingNotKept>* not_kept = nullptr);

  // --- used by the operations: one backend call under the device lock ---
  // `generation` is the opening the operation found the port in: once the
  // port was closed since (and perhaps opened again), the call fails as the
  // close would have ended it, and never touches a device opened after.
  Poll<Status> poll_read(Context& cx, ReadBuf& buf, std::uint64_t generation);
  Poll<Result<std::size_t>> poll_write(Context& cx, Bytes data, std::uint64_t generation);
  Poll<Status> poll_flush(Context& cx, std::uint64_t generation);
  Result<bool> drains_output();
  // "Write timeout", with the backend's note on why a write may not finish.
  PortError write_timeout_error();
  // Ignores a closed port.
  void abort_write() noexcept;
  // The same, reporting how many bytes of the write in flight went out (0
  // when closed or when nothing was in flight).
  std::size_t abort_write_count() noexcept;
  std::size_t detach_write() noexcept;

  // A read of this port waiting on an event loop's poller goes back to the
  // readiness thread: someone needs its outcome without that loop running.
  void kick_loop_reader() noexcept;

  // The last write-side operation whose outcome was kept back after its
  // first step (an asynchronous write's, published after its call returned),
  // so that a later operation of that side publishes it first. Exchanged.
  Waker exchange_kept_back(Waker task) noexcept {
    std::lock_guard lock(direct_mutex_);
    return std::exchange(kept_back_, std::move(task));
  }
  Waker kept_back() noexcept {
    std::lock_guard lock(direct_mutex_);
    return kept_back_;
  }

  // The thread of a flattened read that is about to wait or waits (at most
  // one: it holds read_lock). close() and cancel_read() wake it besides
  // notifying, so it needs no waiter in their queues. Null to withdraw.
  void announce_direct_reader(WakeTarget* parker) noexcept;

  Notify close_notify;
  Notify cancel_read_notify;
  Notify cancel_write_notify;
  AsyncMutex read_lock;
  AsyncMutex write_lock;

 private:
  template <class F>
  auto with_backend(F&& f) -> decltype(f(std::declval<Backend&>()));

  // Copies the timeouts of settings_ where timeouts() reads them: a sequence
  // lock (odd while a copy is under way) over atomic words. Settings lock held.
  void publish_timeouts_locked() noexcept;

  mutable std::mutex settings_mutex_;
  PortSettings settings_;
  std::atomic<std::uint32_t> timeouts_seq_{0};
  std::array<std::atomic<std::uint8_t>, 3> timeout_kinds_{};
  std::array<std::atomic<std::uint64_t>, 3> timeout_bits_{};
  std::optional<std::string> port_;
  bool rts_ = true;
  bool dtr_ = true;
  bool break_condition_ = false;

  void wake_direct_reader() noexcept;
  PortError closed_error_locked(std::uint64_t generation) const;
  // Makes backend the open device (device lock held).
  void install_locked(BackendPtr backend);

  std::mutex direct_mutex_;
  WakeTarget* direct_reader_ = nullptr;  // guarded by direct_mutex_
  Waker kept_back_;                      // guarded by direct_mutex_

  CloseRequest close_request_;
  std::mutex device_mutex_;
  const BackendOpener opener_;
  BackendPtr backend_;
  std::atomic<bool> open_{false};  // backend_ is set; written under device_mutex_
  // Guarded by device_mutex_: bytes given back by reads (read from
  // pushback_head_ on), and the fatal error of the last close.
  ByteString pushback_;
  std::size_t pushback_head_ = 0;
  // Guarded by device_mutex_: the waker of the read whose last look at the
  // device found nothing (it holds the read side), woken by unread().
  Waker waiting_reader_;
  std::optional<PortError> close_reason_;
  std::uint64_t close_reason_generation_ = 0;
  std::atomic<std::uint64_t> generation_{0};  // bumped under device_mutex_ by open
};

using PortRef = std::shared_ptr<PortHandle>;

// The blocking read and write, flattened for their common case: driven on the
// calling thread (detached from the interpreter, not a worker thread) without
// an operation object, with the side lock taken only if it is free. They keep
// the operations' semantics: the envelope's close race, cancellation, the
// timeouts and the fatal-error close. Each ends with the outcome; with Busy
// when the side lock is taken (the caller then runs the ordinary operation,
// which queues for it); or by handing back an operation that carries on where
// it stopped, holding the side lock and what was done so far.
struct Busy {};
template <class T>
using DirectOutcome = std::variant<Result<T>, Busy, OperationPtr>;

// read(size): the count read, into out[0..size) (for size <= kDirectReadMax),
// or into out grown as the bytes come (any size). Hands back the rest of the
// read once `phase` passed without its end.
inline constexpr std::size_t kDirectReadMax = 4096;
DirectOutcome<std::size_t> read_direct(const PortRef& port, std::uint8_t* out, std::size_t size,
                                       std::chrono::nanoseconds phase);
DirectOutcome<std::size_t> read_direct(const PortRef& port, ByteString& out, std::size_t size,
                                       std::chrono::nanoseconds phase);
// What a write shares with whoever started it (a transport): the bytes that
// went out so far, and, once it ended short of its data (cancel_write, or a
// device that took nothing), the bytes it did not write. `rest` is set by
// the write before its outcome is published and read only after that.
struct WriteShare {
  std::atomic<std::uint64_t> written{0};
  ByteString rest;
};

// write(data) under the write timeout (none without use_write_timeout): the
// count written. Hands back the rest of the write as soon as the device
// cannot take more without waiting.
DirectOutcome<std::uint64_t> write_direct(const PortRef& port, Bytes data, bool use_write_timeout = true,
                                          std::shared_ptr<WriteShare> share = nullptr);

// One look at the device for a caller that learns of readiness elsewhere (an
// event loop's selector) and never waits here: read_now takes what is there
// (0 when nothing is), write_now makes one write attempt and reports what the
// device took (0 or more). Busy when the side lock is taken. A fatal error does not close the
// port here: the caller stops watching the descriptor first, then closes it.
DirectOutcome<std::size_t> read_now(const PortRef& port, std::uint8_t* out, std::size_t size);
DirectOutcome<std::uint64_t> write_now(const PortRef& port, Bytes data);

// Finishes when the port is closed (at once if it is closed now), with what
// an operation ended by that close reports: the fatal error, or NotOpen.
OperationPtr make_close_watch(PortRef port);

OperationPtr make_read(PortRef port, std::size_t size);
OperationPtr make_read_until(PortRef port, ByteString expected, std::optional<std::size_t> size);
OperationPtr make_readline(PortRef port, std::optional<std::size_t> size);
OperationPtr make_readlines(PortRef port, std::optional<std::size_t> hint);
OperationPtr make_read_available(PortRef port, std::size_t max);
OperationPtr make_write(PortRef port, ByteString data, bool use_write_timeout,
                        std::shared_ptr<WriteShare> share = nullptr);
OperationPtr make_flush(PortRef port);
// An invalid duration (negative or NaN) finishes with InvalidValue on the first poll.
OperationPtr make_send_break(PortRef port, double seconds);

}  // namespace corvalink
