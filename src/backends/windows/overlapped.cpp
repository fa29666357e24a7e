#include "backends/windows/overlapped.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>


namespace corvalink {

using win32::Dword;
using win32::Handle;

namespace win32 {

std::u16string utf16(std::string_view s) {
  std::u16string out;
  out.reserve(s.size() + 1);
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    char32_t cp;
    std::size_t len;
    if (b < 0x80) {
      cp = b;
      len = 1;
    } else if ((b & 0xE0) == 0xC0) {
      cp = b & 0x1F;
      len = 2;
    } else if ((b & 0xF0) == 0xE0) {
      cp = b & 0x0F;
      len = 3;
    } else if ((b & 0xF8) == 0xF0) {
      cp = b & 0x07;
      len = 4;
    } else {
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    bool ok = i + len <= s.size();
    for (std::size_t k = 1; ok && k < len; ++k) {
      const auto c = static_cast<unsigned char>(s[i + k]);
      if ((c & 0xC0) != 0x80) ok = false;
      cp = (cp << 6) | (c & 0x3F);
    }
    static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (!ok || cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += len;
  }
  out.push_back(u'\0');
  return out;
}

std::u16string device_path(std::string_view name) {
  if (!name.empty() && name.front() == '\\') return utf16(name);
  return utf16("\\\\.\\" + std::string(name));
}

Dcb make_dcb(Dcb dcb, const PortSettings& s, bool rts, bool dtr) {
  dcb.baud_rate = s.baudrate;
  dcb.byte_size = s.bytesize;
  switch (s.parity) {
    case Parity::None: dcb.parity = 0; break;   // NOPARITY
    case Parity::Odd: dcb.parity = 1; break;    // ODDPARITY
    case Parity::Even: dcb.parity = 2; break;   // EVENPARITY
    case Parity::Mark: dcb.parity = 3; break;   // MARKPARITY
    case Parity::Space: dcb.parity = 4; break;  // SPACEPARITY
  }
  switch (s.stopbits) {
    case StopBits::One: dcb.stop_bits = 0; break;           // ONESTOPBIT
    case StopBits::OnePointFive: dcb.stop_bits = 1; break;  // ONE5STOPBITS
    case StopBits::Two: dcb.stop_bits = 2; break;           // TWOSTOPBITS
  }
  dcb.xon_char = 0x11;
  dcb.xoff_char = 0x13;

  // Keep fTXContinueOnXoff and the reserved bits as the driver has them.
  Dword f = dcb.flags & 0xFFFF8080u;
  f |= dcb::kBinary;
  if (s.parity != Parity::None) f |= dcb::kParity;
  constexpr Dword kDisable = 0, kEnable = 1, kHandshake = 2;
  if (s.rtscts) {
    f |= dcb::kOutxCtsFlow | (kHandshake << dcb::kRtsControlShift);
  } else {
    f |= (rts ? kEnable : kDisable) << dcb::kRtsControlShift;
  }
  if (s.dsrdtr) {
    f |= dcb::kOutxDsrFlow | (kHandshake << dcb::kDtrControlShift);
  } else {
    f |= (dtr ? kEnable : kDisable) << dcb::kDtrControlShift;
  }
  if (s.xonxoff) f |= dcb::kOutX | dcb::kInX;
  dcb.flags = f;
  return dcb;
}

}  // namespace win32

namespace {

// Runs on an OS thread-pool thread once the slot's event is signalled: wakes
// the task that polled last. Waking only schedules the task.
void CORVALINK_WINAPI on_event_signalled(void* context, std::uint8_t) {
  auto* cell = static_cast<OverlappedBackend::WakeCell*>(context);
  std::lock_guard lock(cell->mutex);
  Waker w = std::move(cell->waker);
  w.wake();
}

}  // namespace

// --- open, configure, destruction --------------------------------------------

std::expected<std::unique_ptr<OverlappedBackend>, Dword> OverlappedBackend::open(win32::Win32Comm& api,
                                                                               std::string_view name) {
  const std::u16string path = win32::device_path(name);
  Handle h = api.create_file(path.c_str(), win32::kGenericReadWrite, 0, win32::kOpenExisting,
                             win32::kFileFlagOverlapped);
  if (h == win32::invalid_handle_value()) return std::unexpected(api.get_last_error());
  std::unique_ptr<OverlappedBackend> b(new OverlappedBackend(api, h));
  // From here the destructor releases whatever was made; slots not yet made
  // have nothing to release.

  (void)api.setup_comm(h, kQueueSize, kQueueSize);  // a driver that refuses keeps its own sizes
  // Reads return at once with what is queued; writes have no driver timeout.
  const win32::CommTimeouts timeouts{win32::kMaxDword, 0, 0, 0, 0};
  if (!api.set_comm_timeouts(h, timeouts)) return std::unexpected(api.get_last_error());
  if (!api.set_comm_mask(h, win32::kEvRxChar)) return std::unexpected(api.get_last_error());
  for (Slot* slot : {&b->wait_slot_, &b->read_slot_, &b->write_slot_}) {
    auto made = b->make_slot();
    if (!made) return std::unexpected(made.error());
    *slot = std::move(*made);
  }
  return b;
}

std::expected<OverlappedBackend::Slot, Dword> OverlappedBackend::make_slot() {
  Handle event = api_->create_event(true, false);
  if (!event) return std::unexpected(api_->get_last_error());
  Slot slot;
  slot.handle = handle_;
  slot.overlapped = std::make_unique<win32::Overlapped>();
  slot.overlapped->event = event;
  slot.event_mask = std::make_unique<Dword>(0);
  slot.wake_cell = std::make_shared<WakeCell>();
  return slot;
}

OverlappedBackend::~OverlappedBackend() {
  tear_down(wait_slot_);
  tear_down(read_slot_);
  tear_down(write_slot_);
  api_->close_handle(handle_);
}

void OverlappedBackend::tear_down(Slot& slot) noexcept {
  if (!slot.overlapped) return;  // never made (open failed before it)
  if (slot.pending) {
    // Wait until the cancelled operation has really finished: only then may
    // the record, the mask word and the buffer go.
    (void)api_->cancel_io_ex(handle_, slot.overlapped.get());
    Dword count = 0;
    (void)api_->get_overlapped_result(handle_, slot.overlapped.get(), count, true);
    slot.pending = false;
  }
  if (slot.wait_handle) {
    // Returns once a callback that is already running has returned.
    (void)api_->unregister_wait_ex(slot.wait_handle, win32::invalid_handle_value());
    slot.wait_handle = nullptr;
  }
  api_->close_handle(slot.overlapped->event);
  slot.overlapped.reset();
  slot.event_mask.reset();
  slot.buffer = {};
  slot.wake_cell.reset();
}

PortError OverlappedBackend::last_error() {
  const Dword code = api_->get_last_error();
  return from_win32_error(code, api_->system_message(code));
}

Status OverlappedBackend::configure(const PortSettings& settings, bool rts, bool dtr) {
  if (settings.rs485) return fail(PortError::failure(std::string(kRs485Unsupported)));
  if (settings.low_latency) return fail(PortError::failure(std::string(kLowLatencyUnsupported)));
  win32::Dcb dcb{};
  dcb.length = sizeof(win32::Dcb);
  if (!api_->get_comm_state(handle_, dcb)) return fail(last_error());
  if (!api_->set_comm_state(handle_, win32::make_dcb(dcb, settings, rts, dtr))) return fail(last_error());
  return {};
}

Status OverlappedBackend::set_buffer_size(std::uint32_t rx_size, std::uint32_t tx_size) {
  if (!api_->setup_comm(handle_, rx_size, tx_size)) return fail(last_error());
  return {};
}

// --- building blocks -----------------------------------------------------------

void OverlappedBackend::start(Slot& slot) {
  (void)api_->reset_event(slot.overlapped->event);
  win32::Overlapped& ov = *slot.overlapped;
  ov.internal = 0;
  ov.internal_high = 0;
  ov.offset = 0;
  ov.offset_high = 0;
}

Status OverlappedBackend::arm(Slot& slot, Context& cx) {
  {
    Waker copy = cx.waker();
    std::lock_guard lock(slot.wake_cell->mutex);
    std::swap(slot.wake_cell->waker, copy);  // the old one is dropped after unlocking
  }
  if (slot.wait_handle) return {};
  Handle wait = nullptr;
  if (!api_->register_wait(wait, slot.overlapped->event, on_event_signalled, slot.wake_cell.get(), win32::kInfinite,
                           win32::kWtExecuteOnlyOnce)) {
    return fail(last_error());
  }
  slot.wait_handle = wait;
  return {};
}

OverlappedBackend::Completion OverlappedBackend::collect(Slot& slot, bool wait) {
  Completion c;
  Dword count = 0;
  if (api_->get_overlapped_result(handle_, slot.overlapped.get(), count, wait)) {
    c.count = count;
  } else {
    const Dword code = api_->get_last_error();
    if (code == win32::kErrorIoIncomplete) return c;
    // An aborted operation (purge, cancel) finished with what it moved.
    if (code == win32::kErrorOperationAborted) {
      c.count = count;
    } else {
      c.count = fail(from_win32_error(code, api_->system_message(code)));
    }
  }
  c.finished = true;
  slot.pending = false;
  if (slot.wait_handle) {
    (void)api_->unregister_wait_ex(std::exchange(slot.wait_handle, nullptr), win32::invalid_handle_value());
  }
  return c;
}

Poll<Result<std::size_t>> OverlappedBackend::collect_write(Context& cx) {
  if (!write_slot_.pending) return Result<std::size_t>(std::size_t{0});
  if (Status armed = arm(write_slot_, cx); !armed) return Result<std::size_t>(fail(armed.error()));
  Completion c = collect(write_slot_, false);
  if (!c.finished) return Pending;
  write_detached_ = false;
  if (!c.count) return Result<std::size_t>(fail(c.count.error()));
  return Result<std::size_t>(*c.count);
}

// --- polled I/O ------------------------------------------------------------------

Poll<Status> OverlappedBackend::poll_read(Context& cx, ReadBuf& buf) {
  const std::size_t room = buf.remaining();
  if (room == 0) return Status{};
  for (;;) {
    win32::ComStat stat{};
    Dword errors = 0;
    if (!api_->clear_comm_error(handle_, errors, stat)) return Status(fail(last_error()));
    if (stat.in_queue != 0) {
      const Dword n = static_cast<Dword>(std::min<std::size_t>(stat.in_queue, room));
      read_slot_.buffer.assign(n, 0);
      start(read_slot_);
      if (!api_->read_file(handle_, read_slot_.buffer.data(), n, read_slot_.overlapped.get()) &&
          api_->get_last_error() != win32::kErrorIoPending) {
        return Status(fail(last_error()));
      }
      read_slot_.pending = true;
      // The bytes are queued and the driver timeouts return them at once.
      Completion c = collect(read_slot_, true);
      if (!c.finished) continue;
      if (!c.count) return Status(fail(c.count.error()));
      const Dword count = *c.count;
      if (count > n) throw std::logic_error("ReadFile reported more bytes than were asked for");
      if (count == 0) continue;  // an aborted read: look at the queue again
      std::memcpy(buf.data + buf.filled, read_slot_.buffer.data(), count);
      buf.filled += count;
      return Status{};
    }
    if (!wait_slot_.pending) {
      start(wait_slot_);
      if (api_->wait_comm_event(handle_, wait_slot_.event_mask.get(), wait_slot_.overlapped.get())) continue;
      if (api_->get_last_error() != win32::kErrorIoPending) return Status(fail(last_error()));
      wait_slot_.pending = true;
    }
    // An outstanding wait left by an abandoned read is reused as it is.
    if (Status armed = arm(wait_slot_, cx); !armed) return Status(fail(armed.error()));
    Completion c = collect(wait_slot_, false);
    if (!c.finished) return Pending;
    if (!c.count) return Status(fail(c.count.error()));
  }
}

Poll<Result<std::size_t>> OverlappedBackend::poll_write(Context& cx, Bytes data) {
  if (write_detached_) {
    auto detached = collect_write(cx);
    if (detached.pending()) return Pending;
    if (!detached.value()) return detached;
  }
  // A write in flight is finished first; its count is what this call reports.
  if (write_slot_.pending) return collect_write(cx);
  if (data.empty()) return Result<std::size_t>(std::size_t{0});
  const Dword n = static_cast<Dword>(std::min<std::size_t>(data.size(), win32::kMaxDword));
  write_slot_.buffer.assign(data.begin(), data.begin() + n);
  start(write_slot_);
  if (!api_->write_file(handle_, write_slot_.buffer.data(), n, write_slot_.overlapped.get()) &&
      api_->get_last_error() != win32::kErrorIoPending) {
    return Result<std::size_t>(fail(last_error()));
  }
  write_slot_.pending = true;
  Completion c = collect(write_slot_, false);
  if (!c.finished) return collect_write(cx);
  if (!c.count) return Result<std::size_t>(fail(c.count.error()));
  return Result<std::size_t>(*c.count);
}

Poll<Status> OverlappedBackend::poll_flush(Context& cx) {
  auto r = collect_write(cx);
  if (r.pending()) return Pending;
  if (!r.value()) return Status(fail(r.value().error()));
  return Status{};
}

Result<std::size_t> OverlappedBackend::abort_write() {
  if (write_detached_ || !write_slot_.pending) return std::size_t{0};
  (void)api_->cancel_io_ex(handle_, write_slot_.overlapped.get());
  Completion c = collect(write_slot_, true);
  if (!c.count) return fail(c.count.error());
  return std::size_t{*c.count};
}

std::size_t OverlappedBackend::detach_write() {
  if (!write_slot_.pending || write_detached_) return 0;
  write_detached_ = true;
  return write_slot_.buffer.size();
}

// --- immediate operations --------------------------------------------------------

Status OverlappedBackend::set_rts(bool level) {
  if (!api_->escape_comm_function(handle_, level ? win32::kSetRts : win32::kClrRts)) return fail(last_error());
  return {};
}

Status OverlappedBackend::set_dtr(bool level) {
  if (!api_->escape_comm_function(handle_, level ? win32::kSetDtr : win32::kClrDtr)) return fail(last_error());
  return {};
}

Result<bool> OverlappedBackend::modem_bit(Dword bit) {
  Dword status = 0;
  if (!api_->get_comm_modem_status(handle_, status)) return fail(last_error());
  return (status & bit) != 0;
}

Result<win32::ComStat> OverlappedBackend::comm_status() {
  win32::ComStat stat{};
  Dword errors = 0;  // reported and cleared; the engine does not look at them
  if (!api_->clear_comm_error(handle_, errors, stat)) return fail(last_error());
  return stat;
}

Result<std::uint64_t> OverlappedBackend::bytes_to_read() {
  auto stat = comm_status();
  if (!stat) return fail(stat.error());
  return std::uint64_t{stat->in_queue};
}

Result<std::uint64_t> OverlappedBackend::bytes_to_write() {
  auto stat = comm_status();
  if (!stat) return fail(stat.error());
  return std::uint64_t{stat->out_queue};
}

Status OverlappedBackend::purge(bool input, bool output) {
  Dword flags = 0;
  if (input) flags |= win32::kPurgeRxAbort | win32::kPurgeRxClear;
  if (output) flags |= win32::kPurgeTxAbort | win32::kPurgeTxClear;
  if (flags == 0) return {};
  if (!api_->purge_comm(handle_, flags)) return fail(last_error());
  return {};
}

Status OverlappedBackend::set_break(bool level) {
  if (!(level ? api_->set_comm_break(handle_) : api_->clear_comm_break(handle_))) return fail(last_error());
  return {};
}

// --- the device backend of Windows builds ----------------------------------------

std::expected<BackendPtr, DeviceOpenError> open_overlapped_backend(win32::Win32Comm& api, std::string_view name,
                                                                   const PortSettings& settings, bool rts, bool dtr) {
  auto backend = OverlappedBackend::open(api, name);
  if (!backend) {
    return std::unexpected(DeviceOpenError{from_win32_error(backend.error(), api.system_message(backend.error()))});
  }
  // A refused configuration closes the device again (the backend's destructor).
  if (Status configured = (*backend)->configure(settings, rts, dtr); !configured) {
    return std::unexpected(DeviceOpenError{std::move(configured.error()), true});
  }
  return BackendPtr(std::move(*backend));
}

}  // namespace corvalink
