#include "win32_sim.hpp"

#include <algorithm>
#include <cstring>
#include <format>
#include <stdexcept>
#include <utility>

namespace corvalink::test {

using win32::Dword;
using win32::Handle;

namespace {

// What the simulated driver leaves in OVERLAPPED.Internal.
constexpr std::uintptr_t kStatusSuccess = 0;
constexpr std::uintptr_t kStatusPending = 0x103;
constexpr std::uintptr_t kStatusCancelled = 0xC0000120;
constexpr std::uintptr_t kStatusErrorBase = 0xE0000000;  // | the Win32 code

constexpr Dword kErrorInvalidHandle = 6;

thread_local Dword t_last_error = 0;

std::string narrow(const char16_t* s) {
  std::string out;
  for (; *s; ++s) out.push_back(*s < 0x80 ? static_cast<char>(*s) : '?');
  return out;
}

}  // namespace

SimComm::SimComm() : driver_([this] { drive(); }) {}

SimComm::~SimComm() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
    for (auto& [h, r] : waits_) r->cancelled = true;
  }
  cv_.notify_all();
  driver_.join();
  for (auto& [h, r] : waits_)
    if (r->thread.joinable()) r->thread.join();
}

// --- the test's side ----------------------------------------------------------

void SimComm::add_device(std::string path) {
  std::lock_guard lock(mutex_);
  auto d = std::make_unique<Device>();
  d->path = path;
  // What a driver typically reports: 9600 8N1, fBinary and fTXContinueOnXoff
  // set, one reserved bit set that must survive.
  d->driver_dcb.length = sizeof(win32::Dcb);
  d->driver_dcb.baud_rate = 9600;
  d->driver_dcb.flags = win32::dcb::kBinary | win32::dcb::kTxContinueOnXoff | (1u << 20);
  d->driver_dcb.xon_lim = 2048;
  d->driver_dcb.xoff_lim = 512;
  d->driver_dcb.byte_size = 8;
  d->driver_dcb.error_char = '?';
  d->driver_dcb.eof_char = 0x1A;
  d->driver_dcb.evt_char = 0x7E;
  d->driver_dcb.reserved1 = 0x5A5A;
  devices_[path] = std::move(d);
}

SimComm::Device& SimComm::named(std::string_view path) {
  auto it = devices_.find(path);
  if (it == devices_.end()) throw std::logic_error(std::format("no simulated device {}", path));
  return *it->second;
}

void SimComm::feed(std::string_view bytes, std::string_view path) {
  {
    std::lock_guard lock(mutex_);
    Device& d = named(path);
    if (!d.state.open) return;  // nobody listens: the bytes are lost
    d.in.insert(d.in.end(), bytes.begin(), bytes.end());
    d.rx_event = true;
    for (auto it = ops_.begin(); it != ops_.end(); ++it) {
      if (it->device == &d && it->kind == Op::Wait && (d.state.mask & win32::kEvRxChar)) {
        *it->mask = win32::kEvRxChar;
        d.rx_event = false;
        complete(it, kStatusSuccess);
        break;
      }
    }
  }
  cv_.notify_all();
}

std::string SimComm::take_sent(std::string_view path) {
  std::lock_guard lock(mutex_);
  return std::exchange(named(path).sent, {});
}

void SimComm::set_line_rate(std::size_t bytes_per_ms) {
  std::lock_guard lock(mutex_);
  line_rate_ = bytes_per_ms;
}

void SimComm::set_modem_status(Dword bits, std::string_view path) {
  std::lock_guard lock(mutex_);
  named(path).modem = bits;
}

void SimComm::set_driver_dcb(const win32::Dcb& dcb, std::string_view path) {
  std::lock_guard lock(mutex_);
  named(path).driver_dcb = dcb;
}

void SimComm::fail(Call call, Dword code, int skip) {
  std::lock_guard lock(mutex_);
  faults_[static_cast<std::size_t>(call)] = Fault{code, skip, true};
}

SimComm::DeviceState SimComm::device(std::string_view path) {
  std::lock_guard lock(mutex_);
  Device& d = named(path);
  DeviceState s = d.state;
  s.in_queued = d.in.size();
  s.out_queued = d.out.size();
  return s;
}

SimComm::CreateArgs SimComm::last_create() {
  std::lock_guard lock(mutex_);
  return last_create_;
}

SimComm::RegisterArgs SimComm::last_register() {
  std::lock_guard lock(mutex_);
  return last_register_;
}

std::vector<Dword> SimComm::read_sizes() {
  std::lock_guard lock(mutex_);
  return read_sizes_;
}

int SimComm::calls(Call call) {
  std::lock_guard lock(mutex_);
  return calls_[static_cast<std::size_t>(call)];
}

int SimComm::open_handles() {
  std::lock_guard lock(mutex_);
  return static_cast<int>(handles_.size());
}

int SimComm::live_events() {
  std::lock_guard lock(mutex_);
  return static_cast<int>(events_.size());
}

int SimComm::live_waits() {
  std::lock_guard lock(mutex_);
  return static_cast<int>(waits_.size());
}

int SimComm::pending_operations() {
  std::lock_guard lock(mutex_);
  return static_cast<int>(ops_.size());
}

std::vector<std::string> SimComm::violations() {
  std::lock_guard lock(mutex_);
  return violations_;
}

// --- internals (mutex_ held) ------------------------------------------------------

bool SimComm::failed(Call call) {
  const auto i = static_cast<std::size_t>(call);
  ++calls_[i];
  Fault& f = faults_[i];
  if (!f.armed) return false;
  if (f.skip > 0) {
    --f.skip;
    return false;
  }
  f.armed = false;
  t_last_error = f.code;
  return true;
}

bool SimComm::error(Dword code) {
  t_last_error = code;
  return false;
}

SimComm::Device* SimComm::device_of(Handle h) {
  auto it = handles_.find(h);
  if (it == handles_.end()) {
    violations_.push_back(std::format("call on unknown handle {}", h));
    return nullptr;
  }
  return it->second;
}

Handle SimComm::new_handle() {
  next_handle_ += 16;
  return reinterpret_cast<Handle>(next_handle_);
}

void SimComm::signal(Handle event) {
  auto it = events_.find(event);
  if (it == events_.end()) {
    violations_.push_back("an operation completed on a closed event");
    return;
  }
  it->second.signalled = true;
}

void SimComm::complete(std::vector<Op>::iterator op, std::uintptr_t status) {
  op->ov->internal = status;
  op->ov->internal_high = op->done;
  signal(op->ov->event);
  ops_.erase(op);
}

void SimComm::move_output(Device& d) {
  for (auto it = ops_.begin(); it != ops_.end();) {
    if (it->device != &d || it->kind != Op::Write) {
      ++it;
      continue;
    }
    const std::size_t room = d.state.out_queue_size > d.out.size() ? d.state.out_queue_size - d.out.size() : 0;
    const std::size_t n = std::min<std::size_t>(room, it->size - it->done);
    d.out.insert(d.out.end(), it->data + it->done, it->data + it->done + n);
    it->done += static_cast<Dword>(n);
    if (it->done == it->size) {
      complete(it, kStatusSuccess);
      it = ops_.begin();
    } else {
      break;  // writes leave in order
    }
  }
}

void SimComm::drive() {
  std::unique_lock lock(mutex_);
  auto last = std::chrono::steady_clock::now();
  std::size_t credit = 0;
  while (!stop_) {
    cv_.wait_for(lock, std::chrono::milliseconds(1));
    auto now = std::chrono::steady_clock::now();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - last).count();
    if (ms <= 0) continue;
    last = now;
    credit = line_rate_ ? std::min<std::size_t>(credit + line_rate_ * static_cast<std::size_t>(ms), 1 << 20) : 0;
    bool changed = false;
    for (auto& [path, d] : devices_) {
      if (!d->state.open) continue;
      const std::size_t n = std::min(credit, d->out.size());
      if (n) {
        d->sent.append(d->out.begin(), d->out.begin() + static_cast<std::ptrdiff_t>(n));
        d->out.erase(d->out.begin(), d->out.begin() + static_cast<std::ptrdiff_t>(n));
        credit -= n;
        changed = true;
      }
      const std::size_t before = ops_.size();
      move_output(*d);
      changed = changed || ops_.size() != before;
    }
    if (changed) cv_.notify_all();
  }
}

void SimComm::wait_thread(Registration* r) {
  std::unique_lock lock(mutex_);
  cv_.wait(lock, [&] {
    if (r->cancelled) return true;
    auto it = events_.find(r->event);
    return it != events_.end() && it->second.signalled;
  });
  if (r->cancelled) return;
  lock.unlock();
  r->callback(r->context, 0);  // WT_EXECUTEONLYONCE: once, then the thread ends
}

// --- Win32Comm ---------------------------------------------------------------------

Dword SimComm::get_last_error() { return t_last_error; }

std::string SimComm::system_message(Dword code) {
  switch (code) {
    case 2: return "The system cannot find the file specified.";
    case 5: return "Access is denied.";
    case 31: return "A device attached to the system is not functioning.";
    case 87: return "The parameter is incorrect.";
    case 995: return "The I/O operation has been aborted because of either a thread exit or an application request.";
    case 1617: return "The device has been removed.";
    default: return std::format("OS Error {} (FormatMessageW() returned error 317)", code);
  }
}

Handle SimComm::create_file(const char16_t* path, Dword access, Dword share_mode, Dword disposition, Dword flags) {
  std::lock_guard lock(mutex_);
  last_create_ = CreateArgs{narrow(path), access, share_mode, disposition, flags};
  if (failed(Call::CreateFile)) return win32::invalid_handle_value();
  auto it = devices_.find(last_create_.path);
  if (it == devices_.end()) {
    error(win32::kErrorFileNotFound);
    return win32::invalid_handle_value();
  }
  Device& d = *it->second;
  if (d.state.open) {
    error(win32::kErrorAccessDenied);
    return win32::invalid_handle_value();
  }
  d.state = DeviceState{};
  d.state.open = true;
  d.state.in_queue_size = d.state.out_queue_size = 4096;
  d.state.dcb = d.driver_dcb;
  d.in.clear();
  d.out.clear();
  d.rx_event = false;
  Handle h = new_handle();
  handles_[h] = &d;
  return h;
}

bool SimComm::close_handle(Handle h) {
  std::lock_guard lock(mutex_);
  if (failed(Call::CloseHandle)) return false;
  if (auto it = events_.find(h); it != events_.end()) {
    for (const Op& op : ops_)
      if (op.ov->event == h) violations_.push_back("an event was closed under a pending operation");
    for (const auto& [w, r] : waits_)
      if (r->event == h && !r->cancelled) violations_.push_back("an event was closed under a wait registration");
    events_.erase(it);
    return true;
  }
  if (auto it = handles_.find(h); it != handles_.end()) {
    Device* d = it->second;
    for (const Op& op : ops_)
      if (op.device == d) violations_.push_back("a device was closed with operations pending");
    std::erase_if(ops_, [d](const Op& op) { return op.device == d; });
    d->state.open = false;
    handles_.erase(it);
    return true;
  }
  violations_.push_back("CloseHandle of an unknown handle");
  return error(kErrorInvalidHandle);
}

bool SimComm::setup_comm(Handle h, Dword in_queue, Dword out_queue) {
  std::lock_guard lock(mutex_);
  if (failed(Call::SetupComm)) return false;
  Device* d = device_of(h);
  if (!d) return error(kErrorInvalidHandle);
  d->state.in_queue_size = in_queue;
  d->state.out_queue_size = out_queue;
  return true;
}

bool SimComm::set_comm_timeouts(Handle h, const win32::CommTimeouts& timeouts) {
  std::lock_guard lock(mutex_);
  if (failed(Call::SetCommTimeouts)) return false;
  Device* d = device_of(h);
  if (!d) return error(kErrorInvalidHandle);
  d->state.timeouts = timeouts;
  return true;
}

bool SimComm::set_comm_mask(Handle h, Dword mask) {
  std::lock_guard lock(mutex_);
  if (failed(Call::SetCommMask)) return false;
  Device* d = device_of(h);
  if (!d) return error(kErrorInvalidHandle);
  d->state.mask = mask;
  return true;
}

bool SimComm::get_comm_state(Handle h, win32::Dcb& dcb) {
  std::lock_guard lock(mutex_);
  if (failed(Call::GetCommState)) return false;
  Device* d = device_of(h);
  if (!d) return error(kErrorInvalidHandle);
  dcb = d->state.dcb;
  return true;
}

bool SimComm::set_comm_state(Handle h, const win32::Dcb& dcb) {
  std::lock_guard lock(mutex_);
  if (failed(Call::SetCommState)) return false;
  Device* d = device_of(h);
  if (!d) return error(kErrorInvalidHandle);
  // What a driver refuses; the previous settings stay.
  const bool valid = dcb.length == sizeof(win32::Dcb) && dcb.baud_rate != 0 && dcb.byte_size >= 5 &&
                     dcb.byte_size <= 8 && dcb.parity <= 4 && dcb.stop_bits <= 2 &&
                     !(dcb.stop_bits == 1 && dcb.byte_size != 5) && !(dcb.stop_bits == 2 && dcb.byte_size == 5);
  if (!valid) return error(win32::kErrorInvalidParameter);
  d->state.dcb = dcb;
  d->state.dcb_set = true;
  return true;
}

bool SimComm::escape_comm_function(Handle h, Dword function) {
  std::lock_guard lock(mutex_);
  if (failed(Call::EscapeCommFunction)) return false;
  Device* d = device_of(h);
  if (!d) return error(kErrorInvalidHandle);
  d->state.escapes.push_back(function);
  switch (function) {
    case win32::kSetRts: d->state.rts = true; break;
    case win32::kClrRts: d->state.rts = false; break;
    case win32::kSetDtr: d->state.dtr = true; break;
    case win32::kClrDtr: d->state.dtr = false; break;
    default: return error(win32::kErrorInvalidParameter);
  }
  return true;
}

bool SimComm::get_comm_modem_status(Handle h, Dword& status) {
  std::lock_guard lock(mutex_);
  if (failed(Call::GetCommModemStatus)) return false;
  Device* d = device_of(h);
  if (!d) return error(kErrorInvalidHandle);
  status = d->modem;
  return true;
}

bool SimComm::clear_comm_error(Handle h, Dword& errors, win32::ComStat& stat) {
  std::lock_guard lock(mutex_);
  if (failed(Call::ClearCommError)) return false;
  Device* d = device_of(h);
  if (!d) return error(kErrorInvalidHandle);
  errors = 0;
  stat = win32::ComStat{};
  stat.in_queue = static_cast<Dword>(d->in.size());
  std::size_t out = d->out.size();
  for (const Op& op : ops_)
    if (op.device == d && op.kind == Op::Write) out += op.size - op.done;
  stat.out_queue = static_cast<Dword>(out);
  return true;
}

bool SimComm::purge_comm(Handle h, Dword flags) {
  {
    std::lock_guard lock(mutex_);
    if (failed(Call::PurgeComm)) return false;
    Device* d = device_of(h);
    if (!d) return error(kErrorInvalidHandle);
    d->state.purges.push_back(flags);
    for (auto it = ops_.begin(); it != ops_.end();) {
      const bool abort = it->device == d && ((it->kind == Op::Write && (flags & win32::kPurgeTxAbort)) ||
                                             (it->kind == Op::Read && (flags & win32::kPurgeRxAbort)));
      if (!abort) {
        ++it;
        continue;
      }
      complete(it, kStatusCancelled);
      it = ops_.begin();
    }
    if (flags & win32::kPurgeRxClear) {
      d->in.clear();
      d->rx_event = false;
    }
    if (flags & win32::kPurgeTxClear) d->out.clear();
  }
  cv_.notify_all();
  return true;
}

bool SimComm::set_comm_break(Handle h) {
  std::lock_guard lock(mutex_);
  if (failed(Call::SetCommBreak)) return false;
  Device* d = device_of(h);
  if (!d) return error(kErrorInvalidHandle);
  d->state.brk = true;
  return true;
}

bool SimComm::clear_comm_break(Handle h) {
  std::lock_guard lock(mutex_);
  if (failed(Call::ClearCommBreak)) return false;
  Device* d = device_of(h);
  if (!d) return error(kErrorInvalidHandle);
  d->state.brk = false;
  return true;
}

bool SimComm::read_file(Handle h, void* buffer, Dword size, win32::Overlapped* ov) {
  {
    std::lock_guard lock(mutex_);
    if (failed(Call::ReadFile)) return false;
    read_sizes_.push_back(size);
    Device* d = device_of(h);
    if (!d) return error(kErrorInvalidHandle);
    // Interval timeout MAXDWORD, no totals: what is queued, at once.
    const Dword n = static_cast<Dword>(std::min<std::size_t>(size, d->in.size()));
    std::copy_n(d->in.begin(), n, static_cast<std::uint8_t*>(buffer));
    d->in.erase(d->in.begin(), d->in.begin() + n);
    ov->internal = kStatusSuccess;
    ov->internal_high = n;
    signal(ov->event);
  }
  cv_.notify_all();
  return true;
}

bool SimComm::write_file(Handle h, const void* data, Dword size, win32::Overlapped* ov) {
  bool done;
  {
    std::lock_guard lock(mutex_);
    if (failed(Call::WriteFile)) return false;
    Device* d = device_of(h);
    if (!d) return error(kErrorInvalidHandle);
    ops_.push_back(Op{Op::Write, d, ov, static_cast<const std::uint8_t*>(data), size});
    ov->internal = kStatusPending;
    move_output(*d);  // what fits goes into the output queue now
    done = ov->internal != kStatusPending;
  }
  cv_.notify_all();
  if (done) return true;
  return error(win32::kErrorIoPending);
}

bool SimComm::wait_comm_event(Handle h, Dword* event_mask, win32::Overlapped* ov) {
  std::lock_guard lock(mutex_);
  if (failed(Call::WaitCommEvent)) return false;
  Device* d = device_of(h);
  if (!d) return error(kErrorInvalidHandle);
  for (const Op& op : ops_)
    if (op.device == d && op.kind == Op::Wait) return error(win32::kErrorInvalidParameter);
  if (d->rx_event && (d->state.mask & win32::kEvRxChar)) {
    d->rx_event = false;
    *event_mask = win32::kEvRxChar;
    ov->internal = kStatusSuccess;
    ov->internal_high = 0;
    signal(ov->event);
    return true;
  }
  ov->internal = kStatusPending;
  Op op{Op::Wait, d, ov};
  op.mask = event_mask;
  ops_.push_back(op);
  return error(win32::kErrorIoPending);
}

bool SimComm::get_overlapped_result(Handle h, win32::Overlapped* ov, Dword& count, bool wait) {
  std::unique_lock lock(mutex_);
  const auto i = static_cast<std::size_t>(Call::GetOverlappedResult);
  ++calls_[i];
  if (!device_of(h)) return error(kErrorInvalidHandle);
  if (wait) cv_.wait(lock, [&] { return ov->internal != kStatusPending; });
  if (ov->internal == kStatusPending) return error(win32::kErrorIoIncomplete);
  count = static_cast<Dword>(ov->internal_high);
  if (Fault& f = faults_[i]; f.armed) {
    if (f.skip > 0) {
      --f.skip;
    } else {
      f.armed = false;
      return error(f.code);
    }
  }
  if (ov->internal == kStatusSuccess) return true;
  if (ov->internal == kStatusCancelled) return error(win32::kErrorOperationAborted);
  return error(static_cast<Dword>(ov->internal - kStatusErrorBase));
}

bool SimComm::cancel_io_ex(Handle h, win32::Overlapped* ov) {
  bool found = false;
  {
    std::lock_guard lock(mutex_);
    if (failed(Call::CancelIoEx)) return false;
    Device* d = device_of(h);
    if (!d) return error(kErrorInvalidHandle);
    for (auto it = ops_.begin(); it != ops_.end();) {
      if (it->device == d && (!ov || it->ov == ov)) {
        complete(it, kStatusCancelled);
        found = true;
        it = ops_.begin();
      } else {
        ++it;
      }
    }
  }
  cv_.notify_all();
  if (!found) return error(win32::kErrorNotFound);
  return true;
}

Handle SimComm::create_event(bool manual_reset, bool initial_state) {
  std::lock_guard lock(mutex_);
  if (failed(Call::CreateEvent)) return nullptr;
  Handle h = new_handle();
  events_[h] = Event{manual_reset, initial_state};
  return h;
}

bool SimComm::reset_event(Handle event) {
  std::lock_guard lock(mutex_);
  if (failed(Call::ResetEvent)) return false;
  auto it = events_.find(event);
  if (it == events_.end()) return error(kErrorInvalidHandle);
  it->second.signalled = false;
  return true;
}

bool SimComm::register_wait(Handle& wait_handle, Handle object, win32::WaitCallback callback, void* context,
                            Dword timeout_ms, Dword flags) {
  std::lock_guard lock(mutex_);
  last_register_ = RegisterArgs{timeout_ms, flags};
  if (failed(Call::RegisterWait)) return false;
  if (!events_.contains(object)) return error(kErrorInvalidHandle);
  auto r = std::make_unique<Registration>();
  r->event = object;
  r->callback = callback;
  r->context = context;
  Registration* raw = r.get();
  Handle h = new_handle();
  waits_[h] = std::move(r);
  raw->thread = std::thread([this, raw] { wait_thread(raw); });
  wait_handle = h;
  return true;
}

bool SimComm::unregister_wait_ex(Handle wait_handle, Handle completion_event) {
  std::unique_ptr<Registration> r;
  {
    std::lock_guard lock(mutex_);
    if (failed(Call::UnregisterWaitEx)) return false;
    auto it = waits_.find(wait_handle);
    if (it == waits_.end()) {
      violations_.push_back("UnregisterWaitEx of an unknown registration");
      return error(kErrorInvalidHandle);
    }
    if (completion_event != win32::invalid_handle_value())
      violations_.push_back("UnregisterWaitEx without waiting for a running callback");
    it->second->cancelled = true;
    r = std::move(it->second);
    waits_.erase(it);
  }
  cv_.notify_all();
  r->thread.join();  // a callback that is running has returned after this
  return true;
}

}  // namespace corvalink::test
