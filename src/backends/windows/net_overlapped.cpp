#include "backends/windows/net_overlapped.hpp"

#include <algorithm>
#include <cstring>
#include <format>
#include <utility>

#include "backends/windows/overlapped.hpp"  // win32::utf16

namespace corvalink {

using win32::Dword;
using win32::Handle;

namespace {

// Runs on an OS thread-pool thread once the slot's event is signalled: wakes
// the task that polled last. Waking only schedules the task.
void CORVALINK_WINAPI on_event_signalled(void* context, std::uint8_t) {
  auto* cell = static_cast<OverlappedSocket::WakeCell*>(context);
  Waker w, other;
  {
    std::lock_guard lock(cell->mutex);
    w = std::move(cell->waker);
    other = std::move(cell->other);
  }
  w.wake();
  other.wake();
}

struct Lookup {
  int rc = 0;
  std::vector<win32::AddressInfo> addresses;
};

}  // namespace

// --- connecting ----------------------------------------------------------------------

PortError OverlappedSocket::error(int code) {
  return from_win32_error(static_cast<Dword>(code), api_->system_message(static_cast<Dword>(code)));
}

Result<std::unique_ptr<OverlappedSocket>> OverlappedSocket::connect(win32::Winsock& api, const NetTarget& target,
                                                                    Instant deadline) {
  if (const int rc = api.startup(); rc != 0)
    return fail(from_win32_error(static_cast<Dword>(rc), api.system_message(static_cast<Dword>(rc))));
  // Each socket holds one WSAStartup; the object gives it back, or this guard
  // does until there is one.
  struct Started {
    win32::Winsock* api;
    ~Started() {
      if (api) api->cleanup();
    }
  } started{&api};
  const auto failure = [&](int code) {
    return from_win32_error(static_cast<Dword>(code), api.system_message(static_cast<Dword>(code)));
  };

  const std::u16string node = win32::utf16(target.host);
  const std::u16string service = win32::utf16(std::to_string(target.port));
  const auto lookup = [&api, node, service](int flags) {
    Lookup r;
    const win32::AddressHints hints{flags, win32::kAfUnspec, win32::kSockStream, win32::kIpProtoTcp};
    r.rc = api.get_addr_info(node.c_str(), service.c_str(), hints, r.addresses);
    return r;
  };
  // An address needs no lookup; a name is looked up on a thread of its own,
  // so the wait for it keeps to the deadline.
  Lookup found = lookup(win32::kAiNumericHost);
  if (found.rc == win32::kWsaHostNotFound) {
    std::optional<Lookup> named = net::run_bounded<Lookup>([lookup] { return lookup(0); }, deadline);
    if (!named) return fail(PortError::failure(std::format("could not resolve host '{}' in time", target.host)));
    found = std::move(*named);
  }
  if (found.rc != 0) {
    return fail(PortError::failure(std::format("could not resolve host '{}': {}", target.host,
                                               api.system_message(static_cast<Dword>(found.rc)))));
  }

  PortError last = PortError::failure("no address to connect to");
  for (const win32::AddressInfo& a : found.addresses) {
    const win32::Socket s = api.socket(a.family, a.socktype, a.protocol,
                                       win32::kWsaFlagOverlapped | win32::kWsaFlagNoHandleInherit);
    if (s == win32::kInvalidSocket) {
      last = failure(api.last_error());
      continue;
    }
    int err = 0;
    if (api.set_non_blocking(s, true) != 0) {
      err = api.last_error();
    } else if (api.connect(s, a.address.data(), static_cast<int>(a.address.size())) != 0) {
      err = api.last_error();
      if (err == win32::kWsaEWouldBlock) {
        for (;;) {
          const auto left = std::chrono::ceil<std::chrono::microseconds>(deadline - Clock::now()).count();
          if (left <= 0) {
            err = win32::kWsaETimedOut;
            break;
          }
          bool writable = false, failed = false;
          const int r = api.select_connect(s, left, writable, failed);
          if (r < 0) {
            err = api.last_error();
            break;
          }
          if (r == 0) continue;  // the deadline is checked above
          int so_error = 0;
          err = api.get_socket_error(s, so_error) != 0 ? api.last_error() : so_error;
          if (err == 0 && failed) err = win32::kWsaEConnRefused;
          break;
        }
      }
    }
    // Overlapped calls do not look at the non-blocking mode; select() is done.
    if (err == 0 && api.set_non_blocking(s, false) != 0) err = api.last_error();
    if (err != 0) {
      api.close_socket(s);
      if (err == win32::kWsaETimedOut) {
        last = PortError::failure("timed out connecting", err, CodeSpace::Win32);
        break;  // the time is up for the other addresses too
      }
      last = failure(err);
      continue;
    }
    (void)api.set_no_delay(s, true);
    std::unique_ptr<OverlappedSocket> sock(new OverlappedSocket(api, s));
    started.api = nullptr;  // the socket gives it back from here on
    sock->recv_.buffer.resize(kReceiveSize);
    for (Slot* slot : {&sock->recv_, &sock->send_})
      if (Status made = sock->make_slot(*slot); !made) return fail(std::move(made.error()));
    return sock;
  }
  return fail(std::move(last));
}

Status OverlappedSocket::make_slot(Slot& slot) {
  Handle event = api_->create_event(true, false);
  if (!event) return fail(error(static_cast<int>(api_->last_error())));
  slot.overlapped = std::make_unique<win32::Overlapped>();
  slot.overlapped->event = event;
  slot.wake_cell = std::make_shared<WakeCell>();
  return {};
}

OverlappedSocket::~OverlappedSocket() {
  tear_down(recv_);
  tear_down(send_);
  api_->close_socket(socket_);
  api_->cleanup();
}

void OverlappedSocket::tear_down(Slot& slot) noexcept {
  if (!slot.overlapped) return;  // never made
  if (slot.pending) {
    // Only once the cancelled operation has finished may the record and the
    // buffer go.
    (void)api_->cancel_io_ex(socket_, slot.overlapped.get());
    Dword count = 0;
    (void)api_->get_overlapped_result(socket_, slot.overlapped.get(), count, true);
    slot.pending = false;
  }
  if (slot.wait_handle) {
    // Returns once a callback that is already running has returned.
    (void)api_->unregister_wait_ex(slot.wait_handle, win32::invalid_handle_value());
    slot.wait_handle = nullptr;
  }
  api_->close_handle(slot.overlapped->event);
  slot.overlapped.reset();
  slot.buffer = {};
  slot.wake_cell.reset();
}

// --- building blocks -------------------------------------------------------------------

void OverlappedSocket::start(Slot& slot) {
  (void)api_->reset_event(slot.overlapped->event);
  win32::Overlapped& ov = *slot.overlapped;
  ov.internal = 0;
  ov.internal_high = 0;
  ov.offset = 0;
  ov.offset_high = 0;
}

Status OverlappedSocket::arm(Slot& slot, Context& cx, bool other) {
  {
    Waker copy = cx.waker();
    std::lock_guard lock(slot.wake_cell->mutex);
    std::swap(other ? slot.wake_cell->other : slot.wake_cell->waker, copy);  // the old one is dropped after unlocking
  }
  if (slot.wait_handle) return {};
  Handle wait = nullptr;
  if (!api_->register_wait(wait, slot.overlapped->event, on_event_signalled, slot.wake_cell.get(), win32::kInfinite,
                           win32::kWtExecuteOnlyOnce)) {
    const Dword code = api_->last_error();
    return fail(from_win32_error(code, api_->system_message(code)));
  }
  slot.wait_handle = wait;
  return {};
}

OverlappedSocket::Completion OverlappedSocket::collect(Slot& slot, bool wait) {
  Completion c;
  Dword count = 0;
  if (api_->get_overlapped_result(socket_, slot.overlapped.get(), count, wait)) {
    c.count = count;
  } else {
    const int code = api_->last_error();
    if (code == static_cast<int>(win32::kErrorIoIncomplete)) return c;
    // A cancelled operation finished with what it moved.
    if (code == static_cast<int>(win32::kErrorOperationAborted))
      c.count = count;
    else
      c.count = fail(error(code));
  }
  c.finished = true;
  slot.pending = false;
  if (slot.wait_handle)
    (void)api_->unregister_wait_ex(std::exchange(slot.wait_handle, nullptr), win32::invalid_handle_value());
  return c;
}

OverlappedSocket::Completion OverlappedSocket::wait_for(Slot& slot, Context& cx, bool arm_it, Status& armed) {
  Completion c = collect(slot, false);
  if (c.finished || !arm_it) return c;
  // Armed, then looked at once more: a completion in between is either seen
  // now or signals the event the registration waits on.
  armed = arm(slot, cx);
  if (!armed) return c;
  return collect(slot, false);
}

// --- I/O ------------------------------------------------------------------------------

Poll<Result<std::size_t>> OverlappedSocket::poll_recv(Context& cx, std::span<std::uint8_t> dest, bool arm_it) {
  using R = Result<std::size_t>;
  for (;;) {
    if (received_at_ < received_end_) {
      const std::size_t n = std::min(dest.size(), received_end_ - received_at_);
      std::memcpy(dest.data(), recv_.buffer.data() + received_at_, n);
      received_at_ += n;
      return R(n);
    }
    if (closed_by_peer_) return R(std::size_t{0});
    if (Status started = start_recv(); !started) return R(fail(std::move(started.error())));
    Status armed;
    Completion c = wait_for(recv_, cx, arm_it, armed);
    if (!armed) return R(fail(std::move(armed.error())));
    if (!c.finished) return Pending;
    if (!c.count) return R(fail(std::move(c.count.error())));
    // A receive that ends with nothing: the peer has closed its side.
    if (*c.count == 0) closed_by_peer_ = true;
    received_at_ = 0;
    received_end_ = *c.count;
  }
}

Status OverlappedSocket::start_recv() {
  if (recv_.pending) return {};
  start(recv_);
  if (api_->recv(socket_, recv_.buffer.data(), kReceiveSize, recv_.overlapped.get()) != 0) {
    const int code = api_->last_error();
    if (code != static_cast<int>(win32::kErrorIoPending)) return fail(error(code));
  }
  recv_.pending = true;
  return {};
}

Status OverlappedSocket::watch_other(Context& cx, bool readable) {
  Slot& slot = readable ? recv_ : send_;
  if (readable) {
    // Something to hand out already, or nothing more to come: the caller's
    // next look finds it.
    if (received_at_ < received_end_ || closed_by_peer_) return {};
    if (Status started = start_recv(); !started) return started;
  } else if (!send_.pending) {
    return {};  // nothing in flight: there is room
  }
  // A completion in between is seen by the caller's next look, or signals
  // the event the registration waits on.
  return arm(slot, cx, true);
}

Poll<Result<std::size_t>> OverlappedSocket::poll_send(Context& cx, std::span<const std::uint8_t> data, bool arm_it) {
  using R = Result<std::size_t>;
  if (send_.pending) {
    Status armed;
    Completion c = wait_for(send_, cx, arm_it, armed);
    if (!armed) return R(fail(std::move(armed.error())));
    if (!c.finished) return Pending;
    if (!c.count) return R(fail(std::move(c.count.error())));
  }
  if (data.empty()) return R(std::size_t{0});
  const std::size_t n = std::min(data.size(), kSendMax);
  send_.buffer.assign(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n));
  start(send_);
  if (api_->send(socket_, send_.buffer.data(), static_cast<Dword>(n), send_.overlapped.get()) != 0) {
    const int code = api_->last_error();
    if (code != static_cast<int>(win32::kErrorIoPending)) return R(fail(error(code)));
  }
  send_.pending = true;
  // Winsock usually takes it at once; then the slot is free for the next.
  Completion c = collect(send_, false);
  if (c.finished && !c.count) return R(fail(std::move(c.count.error())));
  return R(n);
}

Poll<Status> OverlappedSocket::poll_sent(Context& cx) {
  if (!send_.pending) return Status{};
  Status armed;
  Completion c = wait_for(send_, cx, true, armed);
  if (!armed) return Status(fail(std::move(armed.error())));
  if (!c.finished) return Pending;
  if (!c.count) return Status(fail(std::move(c.count.error())));
  return Status{};
}

// --- the connection of Windows builds ----------------------------------------------------

#ifdef _WIN32
namespace net {
void block_signals_of_this_thread() noexcept {}
}  // namespace net

Result<NetSocketPtr> connect_tcp(const NetTarget& target, Instant deadline) {
  auto s = OverlappedSocket::connect(win32::system_winsock(), target, deadline);
  if (!s) return fail(std::move(s.error()));
  return NetSocketPtr(std::move(*s));
}
#endif

}  // namespace corvalink
