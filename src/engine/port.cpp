#include "engine/port.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <thread>

#include "engine/runtime.hpp"
#include "engine/task.hpp"

namespace corvalink {

using namespace std::chrono_literals;

// ---------------------------------------------------------------------------
// The handle.

std::shared_ptr<PortHandle> PortHandle::create(BackendOpener opener) {
  return std::make_shared<PortHandle>(Private{}, opener);
}

namespace {
// A fatal error (the device is gone) closes the port, as it does for I/O.
// Called once the device lock is released.
template <class R>
void close_if_fatal(PortHandle& port, const R& result) {
  if (!result && is_fatal(result.error())) port.close(result.error());
}
}  // namespace

template <class F>
auto PortHandle::with_backend(F&& f) -> decltype(f(std::declval<Backend&>())) {
  using R = decltype(f(std::declval<Backend&>()));
  R result = [&]() -> R {
    std::lock_guard device(device_mutex_);
    if (!backend_) return fail(PortError::not_open());
    return f(*backend_);
  }();
  close_if_fatal(*this, result);
  return result;
}

void PortHandle::kick_loop_reader() noexcept {
  std::lock_guard device(device_mutex_);
  if (backend_) backend_->kick_loop_reader();
}

Status PortHandle::open(std::vector<SettingNotKept>* not_kept) {
  std::lock_guard device(device_mutex_);
  std::string name;
  PortSettings settings;
  bool rts, dtr;
  {
    std::lock_guard lock(settings_mutex_);
    if (!port_) return fail(PortError::not_configured());
    name = *port_;
    settings = settings_;
    rts = rts_;
    dtr = dtr_;
  }
  if (backend_) return fail(PortError::already_open());
  auto backend = opener_(name, settings, rts, dtr);
  if (!backend) return fail(std::move(backend.error()));
  if ((*backend)->discards_input_at_open()) {
    if (Status purged = (*backend)->purge(true, false); !purged) return purged;
  }
  if (not_kept) *not_kept = (*backend)->settings_not_kept();
  install_locked(std::move(*backend));
  return {};
}

Status PortHandle::open_with(BackendPtr backend) {
  std::lock_guard device(device_mutex_);
  if (backend_) return fail(PortError::already_open());
  install_locked(std::move(backend));
  return {};
}

void PortHandle::install_locked(BackendPtr backend) {
  backend_ = std::move(backend);
  backend_->attach_close_request(&close_request_);
  pushback_.clear();
  pushback_head_ = 0;
  generation_.fetch_add(1, std::memory_order_acq_rel);
  open_.store(true, std::memory_order_release);
}

void PortHandle::close(std::optional<PortError> reason) {
  BackendPtr closing;
  ByteString dropped;
  Waker reader;  // dropped after the lock
  {
    // Announced before the device lock is asked for: a call that holds it
    // waiting for the device ends early, and polled I/O lets go of it.
    CloseRequest::Closing announced(close_request_);
    std::lock_guard device(device_mutex_);
    if (backend_) {
      // The reason belongs to this opening; a later close without one (of a
      // port already closed) keeps it.
      close_reason_ = std::move(reason);
      close_reason_generation_ = generation_.load(std::memory_order_relaxed);
    }
    closing = std::move(backend_);
    dropped.swap(pushback_);
    pushback_head_ = 0;
    reader = std::move(waiting_reader_);
    open_.store(false, std::memory_order_release);
  }
  close_notify.notify_waiters();
  wake_direct_reader();
  closing.reset();
}

// An operation of `generation` that finds the device gone, or another
// opening in its place: what the close that ended it reports.
PortError PortHandle::closed_error_locked(std::uint64_t generation) const {
  if (close_reason_ && close_reason_generation_ == generation) return *close_reason_;
  return PortError::not_open();
}

PortError PortHandle::closed_error(std::uint64_t generation) {
  std::lock_guard device(device_mutex_);
  return closed_error_locked(generation);
}

void PortHandle::unread(ByteString bytes, std::uint64_t generation) {
  if (bytes.empty()) return;
  Waker reader;
  {
    std::lock_guard device(device_mutex_);
    if (!backend_ || generation != generation_.load(std::memory_order_relaxed)) return;
    if (pushback_head_ == pushback_.size()) {
      pushback_ = std::move(bytes);
    } else {
      bytes.insert(bytes.end(), pushback_.begin() + static_cast<std::ptrdiff_t>(pushback_head_), pushback_.end());
      pushback_ = std::move(bytes);
    }
    pushback_head_ = 0;
    reader = std::move(waiting_reader_);
  }
  // The read that waits for the device finds them now, not when the device
  // next has something.
  reader.wake();
}

void PortHandle::forget_waiting_reader() noexcept {
  Waker stale;
  std::lock_guard device(device_mutex_);
  stale = std::move(waiting_reader_);
}

bool PortHandle::is_open() { return open_.load(std::memory_order_acquire); }

PortState PortHandle::state() {
  std::lock_guard device(device_mutex_);
  if (backend_) return PortState::Open;
  std::lock_guard lock(settings_mutex_);
  return port_ ? PortState::Closed : PortState::Unconfigured;
}

Status PortHandle::ensure_open() {
  if (!is_open()) return fail(PortError::not_open());
  return {};
}

Status PortHandle::set_rts(bool level) {
  Status result = [&]() -> Status {
    std::lock_guard device(device_mutex_);
    bool flow_control;
    {
      std::lock_guard lock(settings_mutex_);
      rts_ = level;
      flow_control = settings_.rtscts;
    }
    if (backend_ && !flow_control) return backend_->set_rts(level);
    return {};
  }();
  close_if_fatal(*this, result);
  return result;
}

Status PortHandle::set_dtr(bool level) {
  Status result = [&]() -> Status {
    std::lock_guard device(device_mutex_);
    bool flow_control;
    {
      std::lock_guard lock(settings_mutex_);
      dtr_ = level;
      flow_control = settings_.dsrdtr;
    }
    if (backend_ && !flow_control) return backend_->set_dtr(level);
    return {};
  }();
  close_if_fatal(*this, result);
  return result;
}

Status PortHandle::set_break(bool level) {
  {
    std::lock_guard lock(settings_mutex_);
    break_condition_ = level;
  }
  Status result = [&]() -> Status {
    std::lock_guard device(device_mutex_);
    if (backend_) return backend_->set_break(level);
    return {};
  }();
  close_if_fatal(*this, result);
  return result;
}

Status PortHandle::flow_control(FlowAction action) {
  return with_backend([action](Backend& b) { return b.flow_control(action); });
}

Result<bool> PortHandle::read_cts() {
  return with_backend([](Backend& b) { return b.read_cts(); });
}
Result<bool> PortHandle::read_dsr() {
  return with_backend([](Backend& b) { return b.read_dsr(); });
}
Result<bool> PortHandle::read_ri() {
  return with_backend([](Backend& b) { return b.read_ri(); });
}
Result<bool> PortHandle::read_cd() {
  return with_backend([](Backend& b) { return b.read_cd(); });
}
Result<std::uint64_t> PortHandle::bytes_to_read() {
  return with_backend([this](Backend& b) -> Result<std::uint64_t> {
    Result<std::uint64_t> n = b.bytes_to_read();
    if (n) *n += pushback_.size() - pushback_head_;
    return n;
  });
}
Result<std::uint64_t> PortHandle::bytes_to_write() {
  return with_backend([](Backend& b) { return b.bytes_to_write(); });
}
Status PortHandle::reset_input_buffer() {
  return with_backend([this](Backend& b) {
    pushback_.clear();
    pushback_head_ = 0;
    return b.purge(true, false);
  });
}
Status PortHandle::reset_output_buffer() {
  return with_backend([](Backend& b) { return b.purge(false, true); });
}
Status PortHandle::set_buffer_size(std::uint32_t rx, std::optional<std::uint32_t> tx) {
  return with_backend([&](Backend& b) { return b.set_buffer_size(rx, tx.value_or(rx)); });
}
Result<std::optional<std::int32_t>> PortHandle::fileno() {
  return with_backend([](Backend& b) { return Result<std::optional<std::int32_t>>(b.fileno()); });
}

Result<std::optional<DescriptorClaim>> PortHandle::claim_descriptor() {
  return with_backend([](Backend& b) { return Result<std::optional<DescriptorClaim>>(b.claim_descriptor()); });
}
Result<bool> PortHandle::drains_output() {
  return with_backend([](Backend& b) { return b.drains_output(); });
}

void PortHandle::cancel_read() noexcept {
  cancel_read_notify.notify_one();
  wake_direct_reader();
}

// The notification is stored before the lock is taken here; the reader
// announces itself under the same lock before it looks at the notifications,
// so either it sees the notification or it is found here and woken.
void PortHandle::wake_direct_reader() noexcept {
  std::lock_guard lock(direct_mutex_);
  if (direct_reader_) direct_reader_->wake();
}

void PortHandle::announce_direct_reader(WakeTarget* parker) noexcept {
  std::lock_guard lock(direct_mutex_);
  direct_reader_ = parker;
}
void PortHandle::cancel_write() noexcept { cancel_write_notify.notify_one(); }

PortSettings PortHandle::settings() const {
  std::lock_guard lock(settings_mutex_);
  return settings_;
}
std::optional<std::string> PortHandle::port_name() const {
  std::lock_guard lock(settings_mutex_);
  return port_;
}
bool PortHandle::rts() const {
  std::lock_guard lock(settings_mutex_);
  return rts_;
}
bool PortHandle::dtr() const {
  std::lock_guard lock(settings_mutex_);
  return dtr_;
}
bool PortHandle::break_condition() const {
  std::lock_guard lock(settings_mutex_);
  return break_condition_;
}

Status PortHandle::update_settings(const std::function<void(PortSettings&)>& change) {
  std::lock_guard device(device_mutex_);
  PortSettings before, after;
  bool rts, dtr;
  {
    std::lock_guard lock(settings_mutex_);
    before = settings_;
    change(settings_);
    publish_timeouts_locked();
    after = settings_;
    rts = rts_;
    dtr = dtr_;
  }
  if (backend_ && after.line_differs(before)) {
    if (Status configured = backend_->configure(after, rts, dtr); !configured) {
      std::lock_guard lock(settings_mutex_);
      settings_ = before;
      publish_timeouts_locked();
      return configured;
    }
  }
  return {};
}

void PortHandle::store_settings(const std::function<void(PortSettings&)>& change) {
  std::lock_guard device(device_mutex_);
  std::lock_guard lock(settings_mutex_);
  change(settings_);
  publish_timeouts_locked();
}

Status PortHandle::set_exclusive(std::optional<bool> exclusive) {
  Status result = [&]() -> Status {
    std::lock_guard device(device_mutex_);
    std::optional<bool> before;
    {
      std::lock_guard lock(settings_mutex_);
      before = std::exchange(settings_.exclusive, exclusive);
    }
    if (!backend_) return {};
    Status applied = backend_->set_exclusive(exclusive.value_or(false));
    if (!applied) {
      std::lock_guard lock(settings_mutex_);
      settings_.exclusive = before;
    }
    return applied;
  }();
  close_if_fatal(*this, result);
  return result;
}

namespace {
std::uint64_t timeout_bits(const TimeoutValue& t) noexcept {
  switch (t.kind()) {
    case TimeoutValue::Kind::Integer: return std::bit_cast<std::uint64_t>(t.as_integer());
    case TimeoutValue::Kind::Float: return std::bit_cast<std::uint64_t>(t.as_float());
    case TimeoutValue::Kind::None: break;
  }
  return 0;
}

TimeoutValue timeout_from(std::uint8_t kind, std::uint64_t bits) noexcept {
  switch (static_cast<TimeoutValue::Kind>(kind)) {
    case TimeoutValue::Kind::Integer: return TimeoutValue::integer(std::bit_cast<std::int64_t>(bits));
    case TimeoutValue::Kind::Float: return TimeoutValue::floating(std::bit_cast<double>(bits));
    case TimeoutValue::Kind::None: break;
  }
  return TimeoutValue::none();
}
}  // namespace

void PortHandle::publish_timeouts_locked() noexcept {
  const TimeoutValue* values[3] = {&settings_.timeout, &settings_.write_timeout, &settings_.inter_byte_timeout};
  // Release stores: a reader that sees one new word also sees the odd count.
  const std::uint32_t seq = timeouts_seq_.load(std::memory_order_relaxed);
  timeouts_seq_.store(seq + 1, std::memory_order_relaxed);
  for (std::size_t i = 0; i < 3; ++i) {
    timeout_kinds_[i].store(static_cast<std::uint8_t>(values[i]->kind()), std::memory_order_release);
    timeout_bits_[i].store(timeout_bits(*values[i]), std::memory_order_release);
  }
  timeouts_seq_.store(seq + 2, std::memory_order_release);
}

PortHandle::Timeouts PortHandle::timeouts() const noexcept {
  for (;;) {
    const std::uint32_t seq = timeouts_seq_.load(std::memory_order_acquire);
    if (seq & 1u) {
      std::this_thread::yield();
      continue;
    }
    // Acquire loads: the count is read again only after them.
    TimeoutValue v[3];
    for (std::size_t i = 0; i < 3; ++i)
      v[i] = timeout_from(timeout_kinds_[i].load(std::memory_order_acquire),
                          timeout_bits_[i].load(std::memory_order_acquire));
    if (timeouts_seq_.load(std::memory_order_relaxed) == seq) return {v[0], v[1], v[2]};
  }
}

Status PortHandle::change_port(std::optional<std::string> name, std::vector<SettingNotKept>* not_kept) {
  bool was_open = is_open();
  close();
  {
    std::lock_guard lock(settings_mutex_);
    port_ = std::move(name);
  }
  if (was_open) return open(not_kept);
  return {};
}

Poll<Status> PortHandle::poll_read(Context& cx, ReadBuf& buf, std::uint64_t generation) {
  // A close waiting for the device lock gets it first; its notification
  // wakes this operation.
  if (close_request_.pending()) return Pending;
  Waker stale;  // a waiting reader's waker, dropped after the lock
  std::lock_guard device(device_mutex_);
  if (!backend_ || generation != generation_.load(std::memory_order_relaxed)) return Status(fail(closed_error_locked(generation)));
  if (pushback_head_ < pushback_.size() && buf.remaining() > 0) {
    const std::size_t n = std::min(buf.remaining(), pushback_.size() - pushback_head_);
    std::memcpy(buf.data + buf.filled, pushback_.data() + pushback_head_, n);
    buf.filled += n;
    pushback_head_ += n;
    if (pushback_head_ == pushback_.size()) {
      pushback_.clear();
      pushback_head_ = 0;
    }
    if (waiting_reader_) stale = std::move(waiting_reader_);
    return Status{};
  }
  Poll<Status> io = backend_->poll_read(cx, buf);
  if (io.pending()) {
    // Bytes given back while it waits wake it (unread).
    if (buf.may_wait && !waiting_reader_.will_wake(cx.waker())) waiting_reader_ = cx.waker();
  } else if (waiting_reader_) {
    stale = std::move(waiting_reader_);
  }
  return io;
}

Poll<Result<std::size_t>> PortHandle::poll_write(Context& cx, Bytes data, std::uint64_t generation) {
  // A close waiting for the device lock gets it first; its notification
  // wakes this operation.
  if (close_request_.pending()) return Pending;
  std::lock_guard device(device_mutex_);
  if (!backend_ || generation != generation_.load(std::memory_order_relaxed))
    return Result<std::size_t>(fail(closed_error_locked(generation)));
  return backend_->poll_write(cx, data);
}

Poll<Status> PortHandle::poll_flush(Context& cx, std::uint64_t generation) {
  // A close waiting for the device lock gets it first; its notification
  // wakes this operation.
  if (close_request_.pending()) return Pending;
  std::lock_guard device(device_mutex_);
  if (!backend_ || generation != generation_.load(std::memory_order_relaxed)) return Status(fail(closed_error_locked(generation)));
  return backend_->poll_flush(cx);
}

void PortHandle::abort_write() noexcept {
  std::lock_guard device(device_mutex_);
  if (backend_) (void)backend_->abort_write();
}

std::size_t PortHandle::abort_write_count() noexcept {
  std::lock_guard device(device_mutex_);
  if (!backend_) return 0;
  Result<std::size_t> moved = backend_->abort_write();
  return moved ? *moved : 0;
}

PortError PortHandle::write_timeout_error() {
  PortError error = PortError::timeout("Write timeout");
  std::lock_guard device(device_mutex_);
  if (backend_) {
    if (std::string_view note = backend_->write_timeout_note(); !note.empty()) error.add_note(std::string(note));
  }
  return error;
}

std::size_t PortHandle::detach_write() noexcept {
  std::lock_guard device(device_mutex_);
  return backend_ ? backend_->detach_write() : 0;
}

// ---------------------------------------------------------------------------
// The operations.

namespace {

constexpr std::size_t kChunk = 4096;

// The first half of a race between a waiter and another branch, polled in
// random order: half of the time the waiter is looked at first. Looking takes
// no lock; the waiter is polled (and so registered) only once it fired, and
// otherwise by the caller after the other branch, before suspending. The
// coin is tossed only for a waiter that fired, which is rare.
bool waiter_first(Notify::Waiter& waiter, Context& cx) {
  return waiter.fired() && detail::coin() && waiter.poll(cx).ready();
}

// Waits for the write in flight, under the device lock.
struct DeviceFlush {
  PortHandle& port;
  std::uint64_t generation;
  Poll<Status> poll(Context& cx) { return port.poll_flush(cx, generation); }
};

// Every operation runs inside an envelope: its side lock for the whole run, a
// close waiter registered before the open check, the body raced against that
// waiter (in random order), and a fatal error closing the port before it is
// returned. The derived class supplies the body; its state is dropped before
// the envelope's (members of the derived class go first), so that however the
// operation ends or is dropped, the body's clean-up runs while the side lock
// is still held. Recycled through the frame cache.
//
// The operation begins at its first poll: the timeouts are read and the clock
// starts then, before the side lock is asked for. An operation bounded by a
// timeout counts the wait for a busy side against it; when its deadline
// passes in the queue, it gives up its place and ends as its timeout would
// (gave_up), without having touched the device.
class EnvelopedOperation : public PortOperation {
 public:
  Poll<OperationOutcome> poll(Context& cx) final {
    if (!std::holds_alternative<Running>(state_)) {
      PortHandle::Timeouts timeouts{};
      if (!guard_) {
        if (!begun_) begin();
        Queued& q = std::get<Queued>(state_);
        auto granted = q.acquire.poll(cx);
        if (granted.pending()) {
          if (!lock_deadline_) return Pending;
          if (!q.timer) q.timer = std::make_unique<Sleep>(*lock_deadline_);
          if (q.timer->poll(cx).pending()) return Pending;
          timeouts = q.timeouts;
          state_.emplace<std::monostate>();
          if (Status open = still_open(); !open) return fail(std::move(open.error()));
          return gave_up(timeouts);
        }
        guard_ = std::move(granted).take();
        timeouts = q.timeouts;
      }
      // From here on the close waiter takes the place of the queue's state.
      Notify::Waiter& closed = state_.emplace<Running>(port_->close_notify).closed;
      closed.enable();
      if (Status open = still_open(); !open) return finish(fail(std::move(open.error())));
      start(timeouts);
    }
    Notify::Waiter& closed = std::get<Running>(state_).closed;
    if (waiter_first(closed, cx)) return this->closed();
    Poll<OperationOutcome> body = step(cx);
    if (body.ready()) return finish(std::move(body).take());
    if (closed.poll(cx).ready()) return this->closed();
    return Pending;
  }

  std::optional<OperationOutcome> cancel_outcome() final {
    // Still queued for the side (or ended): nothing done.
    if (!std::holds_alternative<Running>(state_) || !guard_) return std::nullopt;
    return stopped();
  }

  void set_sink(OutcomeSink* sink) noexcept final { sink_ = sink; }

  static void* operator new(std::size_t size) { return detail::allocate_frame(size); }
  static void operator delete(void* p, std::size_t size) noexcept { detail::free_frame(p, size); }

 protected:
  EnvelopedOperation(PortRef port, AsyncMutex& side) noexcept : port_(std::move(port)) {
    state_.emplace<Queued>(side);
  }
  // Carries on an operation begun elsewhere, which holds the side lock.
  EnvelopedOperation(PortRef port, AsyncMutex::Guard held) noexcept
      : port_(std::move(port)), begun_(true), guard_(std::move(held)) {
    generation_ = port_->generation();
  }
  PortHandle& port() const noexcept { return *port_; }
  // The opening of the port the operation runs in.
  std::uint64_t generation() const noexcept { return generation_; }
  // When the operation began.
  Instant began_at() const noexcept { return began_at_; }
  // The longest wait for the side lock (none: queue for as long as it takes),
  // given the timeouts read when the operation began.
  virtual std::optional<std::chrono::nanoseconds> lock_wait(const PortHandle::Timeouts&) const {
    return std::nullopt;
  }
  // The outcome when lock_wait() passed in the queue.
  virtual OperationOutcome gave_up(const PortHandle::Timeouts&) { return fail(PortError::timeout("timed out")); }
  // Once the port was found open, before the first step, with the timeouts
  // read when the operation began.
  virtual void start(const PortHandle::Timeouts&) {}
  // The body; it has done its clean-up by the time it returns ready.
  virtual Poll<OperationOutcome> step(Context& cx) = 0;
  // The close waiter won: drop the body's state, running its clean-up.
  virtual void abandon() noexcept = 0;
  // Stopped from outside before it finished (see cancel_outcome).
  virtual std::optional<OperationOutcome> stopped() { return std::nullopt; }

 private:
  // Waiting for the side lock: its place in the queue, the timer that bounds
  // the wait, and the timeouts read when the operation began.
  struct Queued {
    explicit Queued(AsyncMutex& side) noexcept : acquire(side) {}
    AsyncMutex::Acquire acquire;
    std::unique_ptr<Sleep> timer;  // made only when a bounded wait has to wait
    PortHandle::Timeouts timeouts{};
  };
  // Holding the side: the close waiter, from the open check to the end.
  struct Running {
    explicit Running(Notify& close_notify) noexcept : closed(close_notify) {}
    Notify::Waiter closed;
  };

  void begin() {
    begun_ = true;
    began_at_ = Clock::now();
    began_open_ = port_->is_open();  // looked at before the generation: an open in between is a later one
    generation_ = port_->generation();
    Queued& q = std::get<Queued>(state_);
    q.timeouts = port_->timeouts();
    lock_deadline_ = deadline_after(began_at_, lock_wait(q.timeouts));
  }
  // Whether the opening the operation began in is still the port's. A close
  // since then (the port closed, or closed and opened again) ended it, as it
  // ends every operation waiting on the port: with the fatal error that
  // closed it (a hang-up), else NotOpen. One that began on a closed port
  // finds it not open.
  Status still_open() {
    if (port_->is_open() && port_->generation() == generation_) return {};
    return fail(began_open_ ? port_->closed_error(generation_) : PortError::not_open());
  }
  // Ended by a close: the fatal error that closed the port, or NotOpen.
  OperationOutcome closed() {
    abandon();
    OperationOutcome outcome = fail(port_->closed_error(generation_));
    if (sink_) sink_->ended(outcome);
    state_.emplace<std::monostate>();
    guard_ = AsyncMutex::Guard();
    return outcome;
  }
  // Ends the run: the fatal-error close, then the next operation of the side
  // may start.
  OperationOutcome finish(OperationOutcome outcome) {
    if (!outcome && is_fatal(outcome.error())) port_->close(outcome.error());
    if (sink_) sink_->ended(outcome);
    state_.emplace<std::monostate>();
    guard_ = AsyncMutex::Guard();
    return outcome;
  }

  PortRef port_;
  bool begun_ = false;
  bool began_open_ = true;  // the port was open when the operation began
  Instant began_at_{};
  std::optional<Instant> lock_deadline_;
  AsyncMutex::Guard guard_;
  std::variant<std::monostate, Queued, Running> state_;
  std::uint64_t generation_ = 0;  // the opening found at the open check
  OutcomeSink* sink_ = nullptr;
};

// What began an operation: the instant and the timeouts read then, and the
// opening of the port it runs in.
struct Began {
  Instant at;
  PortHandle::Timeouts timeouts;
  std::uint64_t generation;
};

// The rarer operations: a coroutine body in the envelope, made by `make`
// (Began -> Co) once the port was found open. Dropping the coroutine destroys
// its frame, which runs its clean-up. A reader (bounded by the read timeout)
// gives `nothing` when that passes while it waits for the side lock.
template <class Make>
class CoroutineOperation final : public EnvelopedOperation {
 public:
  CoroutineOperation(PortRef port, AsyncMutex& side, Make make, std::optional<OperationValue> nothing)
      : EnvelopedOperation(std::move(port), side), make_(std::move(make)), nothing_(std::move(nothing)) {}

 private:
  std::optional<std::chrono::nanoseconds> lock_wait(const PortHandle::Timeouts& t) const override {
    if (!nothing_) return std::nullopt;
    return t.timeout.to_duration();
  }
  OperationOutcome gave_up(const PortHandle::Timeouts&) override { return std::move(*nothing_); }
  void start(const PortHandle::Timeouts& t) override { body_.emplace(make_(Began{began_at(), t, generation()})); }
  Poll<OperationOutcome> step(Context& cx) override { return body_->poll(cx); }
  void abandon() noexcept override { body_.reset(); }

  Make make_;
  std::optional<OperationValue> nothing_;
  std::optional<Co<OperationOutcome>> body_;
};

template <class Make>
OperationPtr enveloped(PortRef port, AsyncMutex& side, Make make, std::optional<OperationValue> nothing = {}) {
  return std::make_unique<CoroutineOperation<Make>>(std::move(port), side, std::move(make), std::move(nothing));
}

// read(0): nothing to wait for, so no place in the read side's queue either.
class EmptyRead final : public PortOperation {
 public:
  explicit EmptyRead(PortRef port) : port_(std::move(port)) {}
  Poll<OperationOutcome> poll(Context&) override {
    if (!port_->is_open()) return OperationOutcome(fail(PortError::not_open()));
    return OperationOutcome(OperationValue(ByteString{}));
  }

 private:
  PortRef port_;
};

// Ends with the given outcome on its first poll, without the envelope.
class FinishedOperation final : public PortOperation {
 public:
  explicit FinishedOperation(OperationOutcome outcome) : outcome_(std::move(outcome)) {}
  Poll<OperationOutcome> poll(Context&) override { return std::move(outcome_); }

 private:
  OperationOutcome outcome_;
};

// A lost connection ends a read that already has bytes with those bytes; the
// backend reports the loss again to the next call.
bool keeps_bytes_read(const PortError& error, std::size_t have) noexcept {
  return have > 0 && error.is_connection_lost();
}

// The deadline for the next read step: the total deadline, or once bytes
// arrived and an inter-byte timeout is set, the earlier of it and now + that.
std::optional<Instant> step_deadline(std::optional<Instant> total, std::optional<std::chrono::nanoseconds> inter,
                                     bool have_bytes) {
  if (!have_bytes || !inter) return total;
  std::optional<Instant> gap = deadline_after(Clock::now(), inter);
  if (!gap) return total;
  if (!total) return gap;
  return std::min(*total, *gap);
}

// How the reads of one operation treat cancel_read. A permit stored before the
// operation began is for the next read that has to wait: until the operation
// first finds nothing, data that is there at once wins over it and leaves it
// stored. Once the operation has waited, and for a cancel that came while it
// ran, the cancel waiter and the device race in random order, so cancel_read
// still ends a readline on a line that is never idle.
struct CancelRace {
  bool waited = false;
  bool stored_before = false;  // a permit was stored when the operation began
  static CancelRace at_start(PortHandle& port) noexcept { return {false, port.cancel_read_notify.has_permit()}; }
  bool fair(const Notify::Waiter& cancel) const noexcept { return waited || (!stored_before && cancel.fired()); }
};

// Reads at least one byte into data[0..n), or nothing (0) when the deadline
// passed or cancel_read fired; `race` (shared by all reads of the operation)
// says which comes first. A pollable rather than a coroutine: it is on the
// path of every read, once per byte for the line readers. The timer is looked
// at after the device, and a deadline that ends the read makes one last
// attempt first (which also covers a backend that waited before reading), so
// data present at the deadline wins. A deadline already reached makes
// exactly one attempt and ignores cancellation.
class ReadSome {
 public:
  ReadSome(PortHandle& port, std::uint64_t generation, std::uint8_t* data, std::size_t n,
           std::optional<Instant> deadline, CancelRace& race)
      : port_(port), generation_(generation), cancel_(port.cancel_read_notify), buf_{data, n, 0}, deadline_(deadline),
        race_(race) {
    buf_.may_wait = !deadline_ || Clock::now() < *deadline_;
  }
  ReadSome(const ReadSome&) = delete;
  ReadSome& operator=(const ReadSome&) = delete;
  // Dropped while it waits for the device: the port forgets its waker.
  ~ReadSome() {
    if (waiting_) port_.forget_waiting_reader();
  }

  Poll<Result<std::size_t>> poll(Context& cx) {
    // Woken after the deadline: the last attempt only.
    if (!buf_.may_wait || (timer_ && Clock::now() >= *deadline_)) return last_attempt(cx);
    if (race_.fair(cancel_) && waiter_first(cancel_, cx)) return Result<std::size_t>(std::size_t{0});
    // A stored cancel ends this read only if nothing is there: look for real.
    const bool look = !race_.waited && cancel_.fired();
    buf_.may_wait = !look;
    Poll<Status> io = port_.poll_read(cx, buf_, generation_);
    buf_.may_wait = true;
    waiting_ = io.pending();
    if (io.ready()) return outcome(std::move(io).take());
    race_.waited = true;
    if (deadline_) {
      // Made only when a read with a deadline has to wait.
      if (!timer_) timer_ = std::make_unique<Sleep>(*deadline_);
      if (timer_->poll(cx).ready()) return last_attempt(cx);
    }
    if (cancel_.poll(cx).ready()) return Result<std::size_t>(std::size_t{0});
    return Pending;
  }

 private:
  Poll<Result<std::size_t>> last_attempt(Context& cx) {
    buf_.may_wait = false;
    Poll<Status> once = port_.poll_read(cx, buf_, generation_);
    waiting_ = false;  // a single look leaves no waker behind
    if (once.pending()) return Result<std::size_t>(std::size_t{0});
    return outcome(std::move(once).take());
  }

  Result<std::size_t> outcome(Status status) const {
    if (!status) return fail(std::move(status.error()));
    if (buf_.filled == 0) return fail(PortError::failure(std::string(kNoDataMessage)));
    return buf_.filled;
  }

  PortHandle& port_;
  std::uint64_t generation_;
  Notify::Waiter cancel_;
  ReadBuf buf_;
  std::optional<Instant> deadline_;
  std::unique_ptr<Sleep> timer_;
  CancelRace& race_;
  bool waiting_ = false;  // the last look found nothing and left its waker with the port
};

// read(size): chunks of up to kChunk bytes straight into the result's tail,
// each read with ReadSome under its step deadline.
class ReadOperation final : public EnvelopedOperation {
 public:
  ReadOperation(PortRef port, std::size_t size) : EnvelopedOperation(port, port->read_lock), size_(size) {}
  // Dropped before it finished: what it took goes back to the port's input,
  // while it still holds the read side, so the next reader gets it first.
  ~ReadOperation() override {
    if (!started_) return;
    result_.resize(chunk_ ? chunk_at_ : result_.size());
    if (!result_.empty()) port().unread(std::move(result_), generation());
  }
  // The rest of a read begun elsewhere, which has waited: the bytes read so
  // far and its deadlines.
  ReadOperation(PortRef port, std::size_t size, AsyncMutex::Guard held, ByteString so_far, std::optional<Instant> total,
                std::optional<std::chrono::nanoseconds> inter)
      : EnvelopedOperation(std::move(port), std::move(held)),
        size_(size),
        started_(true),
        race_{true, false},
        total_(total),
        inter_(inter),
        result_(std::move(so_far)) {}

 private:
  std::optional<std::chrono::nanoseconds> lock_wait(const PortHandle::Timeouts& t) const override {
    return t.timeout.to_duration();
  }
  OperationOutcome gave_up(const PortHandle::Timeouts&) override { return OperationValue(ByteString{}); }

  void start(const PortHandle::Timeouts& t) override {
    if (started_) return;
    started_ = true;
    total_ = deadline_after(began_at(), t.timeout.to_duration());
    inter_ = t.inter_byte_timeout.to_duration();
    race_ = CancelRace::at_start(port());
    result_.reserve(std::min(size_, kChunk));
  }

  Poll<OperationOutcome> step(Context& cx) override {
    for (;;) {
      if (!chunk_) {
        if (result_.size() >= size_) break;
        chunk_at_ = result_.size();
        const std::size_t n = std::min(kChunk, size_ - chunk_at_);
        std::optional<Instant> deadline = step_deadline(total_, inter_, chunk_at_ > 0);
        result_.resize(chunk_at_ + n);
        chunk_.emplace(port(), generation(), result_.data() + chunk_at_, n, deadline, race_);
      }
      auto got = chunk_->poll(cx);
      if (got.pending()) return Pending;
      chunk_.reset();
      Result<std::size_t> n = std::move(got).take();
      if (!n) {
        if (keeps_bytes_read(n.error(), chunk_at_)) {
          result_.resize(chunk_at_);
          break;
        }
        result_.resize(chunk_at_);  // what came before the error goes back when dropped
        return OperationOutcome(fail(std::move(n.error())));
      }
      result_.resize(chunk_at_ + *n);
      if (*n == 0) break;
    }
    return OperationOutcome(OperationValue(std::exchange(result_, {})));
  }

  void abandon() noexcept override { chunk_.reset(); }

  std::size_t size_;
  bool started_ = false;
  CancelRace race_;
  std::optional<Instant> total_;
  std::optional<std::chrono::nanoseconds> inter_;
  ByteString result_;
  std::size_t chunk_at_ = 0;  // where the chunk being read starts in the result
  std::optional<ReadSome> chunk_;
};

enum class Timing { Total, PerByte };

// Bytes a read took: given back to the port's input unless released to the
// caller (a read dropped before it returns loses nothing).
struct Taken {
  Taken(PortHandle& p, std::uint64_t g) noexcept : port(p), generation(g) {}
  Taken(const Taken&) = delete;
  Taken& operator=(const Taken&) = delete;
  ~Taken() { port.unread(std::move(bytes), generation); }
  ByteString release() noexcept { return std::exchange(bytes, {}); }

  PortHandle& port;
  std::uint64_t generation;
  ByteString bytes;
};

// One byte at a time, so nothing past the terminator is taken from the
// device. The first byte's deadline counts from `start`.
Co<Result<ByteString>> read_terminated(PortHandle& port, const Began& began, Instant start,
                                       const ByteString& expected, std::optional<std::size_t> size, Timing timing,
                                       CancelRace& race) {
  const PortHandle::Timeouts& timeouts = began.timeouts;
  auto timeout = timeouts.timeout.to_duration();
  std::optional<Instant> total = deadline_after(start, timeout);
  auto inter = timeouts.inter_byte_timeout.to_duration();

  // Given back to the port if the read is dropped before it returns.
  Taken taken(port, began.generation);
  ByteString& result = taken.bytes;
  for (;;) {
    if (size && result.size() >= *size) break;
    std::optional<Instant> deadline = timing == Timing::Total ? step_deadline(total, inter, !result.empty())
                                      : result.empty()        ? total
                                                              : deadline_after(Clock::now(), timeout);
    std::uint8_t byte = 0;
    Result<std::size_t> got = co_await ReadSome(port, began.generation, &byte, 1, deadline, race);
    if (!got) {
      if (keeps_bytes_read(got.error(), result.size())) break;
      co_return fail(std::move(got.error()));
    }
    if (*got == 0) break;
    result.push_back(byte);
    if (!expected.empty() && result.size() >= expected.size() &&
        std::equal(expected.begin(), expected.end(), result.end() - static_cast<std::ptrdiff_t>(expected.size())))
      break;
  }
  co_return taken.release();
}

Co<OperationOutcome> read_until_body(PortRef port, Began began, ByteString expected, std::optional<std::size_t> size,
                                     Timing timing) {
  CancelRace race = CancelRace::at_start(*port);
  Result<ByteString> line = co_await read_terminated(*port, began, began.at, expected, size, timing, race);
  if (!line) co_return fail(std::move(line.error()));
  co_return OperationValue(std::move(*line));
}

Co<OperationOutcome> readlines_body(PortRef port, Began began, std::optional<std::size_t> hint) {
  const ByteString newline{'\n'};
  // The lines read so far go back to the port if the read is dropped (in
  // front of the line under way, which its own guard gave back first).
  struct TakenLines {
    PortHandle& port;
    std::uint64_t generation;
    std::vector<ByteString> lines;
    ~TakenLines() {
      ByteString all;
      for (const ByteString& l : lines) all.insert(all.end(), l.begin(), l.end());
      port.unread(std::move(all), generation);
    }
  } taken{*port, began.generation, {}};
  std::vector<ByteString>& lines = taken.lines;
  std::size_t total = 0;
  CancelRace race = CancelRace::at_start(*port);
  for (Instant start = began.at;; start = Clock::now()) {
    Result<ByteString> line =
        co_await read_terminated(*port, began, start, newline, std::nullopt, Timing::PerByte, race);
    if (!line) {
      if (keeps_bytes_read(line.error(), lines.size())) break;
      co_return fail(std::move(line.error()));
    }
    if (line->empty()) break;
    total += line->size();
    lines.push_back(std::move(*line));
    if (hint && total >= *hint) break;
  }
  co_return OperationValue(std::exchange(lines, {}));
}

Co<OperationOutcome> read_available_body(PortRef port, std::uint64_t generation, std::size_t max) {
  // A buffer left unfilled until the read (a transport keeps a 64 KiB read
  // pending on every port), and a result only as large as what came.
  const std::size_t n = std::max<std::size_t>(max, 1);
  std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[n]);
  CancelRace race = CancelRace::at_start(*port);
  Result<std::size_t> got = co_await ReadSome(*port, generation, buffer.get(), n, std::nullopt, race);
  if (!got) co_return fail(std::move(got.error()));
  co_return OperationValue(ByteString(buffer.get(), buffer.get() + *got));
}

// write(data): until everything is accepted, cancel_write stops it (the count
// so far is the result), or the write timeout passes ("Write timeout"). A
// zero write timeout makes one attempt and lets a write in flight finish on
// its own. However the write ends, abort_write is called while the side
// lock is still held, so nothing keeps running behind the caller's back (a
// detached write is exempt: abort_write leaves it alone). As for reads, a
// stored cancel_write is left for the next write that has to wait.
class WriteOperation final : public EnvelopedOperation {
 public:
  WriteOperation(PortRef port, ByteString data, bool use_write_timeout, std::shared_ptr<WriteShare> share)
      : EnvelopedOperation(port, port->write_lock),
        data_(std::move(data)),
        use_write_timeout_(use_write_timeout),
        share_(std::move(share)) {}
  // The rest of a write begun elsewhere, which has to wait: all of its data,
  // the count written so far, its timeout and deadline.
  WriteOperation(PortRef port, AsyncMutex::Guard held, ByteString data, std::size_t written, TimeoutValue write_timeout,
                 std::optional<Instant> deadline, std::shared_ptr<WriteShare> share)
      : EnvelopedOperation(std::move(port), std::move(held)),
        data_(std::move(data)),
        use_write_timeout_(true),
        started_(true),
        waited_(true),
        write_timeout_(write_timeout),
        deadline_(deadline),
        written_(written),
        share_(std::move(share)) {}
  ~WriteOperation() override { abandon(); }

 private:
  TimeoutValue own_timeout(const PortHandle::Timeouts& t) const {
    return use_write_timeout_ ? t.write_timeout : TimeoutValue();
  }
  std::optional<std::chrono::nanoseconds> lock_wait(const PortHandle::Timeouts& t) const override {
    return own_timeout(t).to_duration();
  }
  // A zero write timeout takes what the device accepts at once: nothing.
  OperationOutcome gave_up(const PortHandle::Timeouts& t) override {
    if (own_timeout(t).is_zero()) return OperationValue(std::uint64_t{0});
    return fail(port().write_timeout_error());
  }

  void start(const PortHandle::Timeouts& t) override {
    if (!started_) {
      write_timeout_ = own_timeout(t);
      deadline_ = deadline_after(began_at(), write_timeout_.to_duration());
    }
    cancel_.emplace(port().cancel_write_notify);
  }

  Poll<OperationOutcome> step(Context& cx) override {
    while (written_ < data_.size()) {
      Bytes rest = Bytes(data_).subspan(written_);
      Poll<Result<std::size_t>> io = Pending;
      if (write_timeout_.is_zero()) {
        io = port().poll_write(cx, rest, generation());
        if (io.pending()) return end(OperationValue(std::uint64_t{written_ + port().detach_write()}));
      } else {
        // Once the write has waited, the cancel waiter races against the
        // device attempt, which is bounded by the timer when there is a
        // deadline.
        if (waited_ && waiter_first(*cancel_, cx)) break;
        io = port().poll_write(cx, rest, generation());
        if (io.pending()) {
          waited_ = true;
          if (deadline_) {
            if (!timer_) timer_.emplace(*deadline_);
            if (timer_->poll(cx).ready()) return end(fail(port().write_timeout_error()));
          }
          if (cancel_->poll(cx).ready()) break;
          return Pending;
        }
      }
      Result<std::size_t> accepted = std::move(io).take();
      if (!accepted) return end(fail(std::move(accepted.error())));
      if (*accepted == 0) break;
      written_ += *accepted;
      if (share_) share_->written.store(written_, std::memory_order_relaxed);
    }
    if (share_ && written_ < data_.size()) share_->rest.assign(data_.begin() + static_cast<std::ptrdiff_t>(written_), data_.end());
    return end(OperationValue(std::uint64_t{written_}));
  }

  // Once started (the cancel waiter exists from then on): drops the timer and
  // the waiter and calls abort_write, once.
  void abandon() noexcept override {
    timer_.reset();
    if (!cancel_) return;
    cancel_.reset();
    port().abort_write();
  }

  // Stopped from outside: a write that moved bytes ends with their count.
  std::optional<OperationOutcome> stopped() override {
    timer_.reset();
    if (!cancel_) return std::nullopt;
    cancel_.reset();
    const std::size_t total = written_ + port().abort_write_count();
    if (total == 0) return std::nullopt;
    if (share_) {
      share_->written.store(total, std::memory_order_relaxed);
      if (total < data_.size()) share_->rest.assign(data_.begin() + static_cast<std::ptrdiff_t>(total), data_.end());
    }
    return OperationOutcome(OperationValue(std::uint64_t{total}));
  }

  OperationOutcome end(OperationOutcome outcome) {
    abandon();
    return outcome;
  }

  ByteString data_;
  bool use_write_timeout_;
  bool started_ = false;
  bool waited_ = false;
  TimeoutValue write_timeout_;
  std::optional<Instant> deadline_;
  std::optional<Notify::Waiter> cancel_;
  std::optional<Sleep> timer_;
  std::size_t written_ = 0;
  std::shared_ptr<WriteShare> share_;
};

Co<OperationOutcome> flush_body(PortRef port, std::uint64_t generation) {
  Result<bool> drains = port->drains_output();
  if (!drains) co_return fail(std::move(drains.error()));
  if (!*drains) co_return OperationValue();
  if (Status flushed = co_await DeviceFlush{*port, generation}; !flushed) co_return fail(std::move(flushed.error()));
  for (;;) {
    Result<std::uint64_t> queued = port->bytes_to_write();
    if (!queued) co_return fail(std::move(queued.error()));
    if (*queued == 0) break;
    co_await sleep_for(5ms);
  }
  co_return OperationValue();
}

Co<OperationOutcome> send_break_body(PortRef port, std::chrono::nanoseconds length) {
  if (Status set = port->set_break(true); !set) co_return fail(std::move(set.error()));
  // Clears the break if the operation is abandoned before it ends.
  struct ClearOnExit {
    PortHandle* port;
    ~ClearOnExit() {
      if (port) (void)port->set_break(false);
    }
  } clear_on_exit{port.get()};

  // A timer sleep for all but the last 5 ms, then a precise thread sleep.
  Instant start = Clock::now();
  if (length > 5ms) co_await sleep_for(length - 5ms);
  auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start);
  std::chrono::nanoseconds rest = length > elapsed ? length - elapsed : 0ns;
  Status slept = co_await spawn_blocking([rest] { std::this_thread::sleep_for(rest); });

  clear_on_exit.port = nullptr;
  Status cleared = port->set_break(false);
  if (!slept) co_return fail(PortError::failure(slept.error().text()));
  if (!cleared) co_return fail(std::move(cleared.error()));
  co_return OperationValue();
}

}  // namespace

// ---------------------------------------------------------------------------
// The flattened blocking read and write. Each is its operation's envelope and
// body in one loop: the same steps in the same order, with the caller's
// parker as the waker and its own deadline in place of a timer.

namespace {

// Where the flattened read puts its bytes: the caller's array, or a string
// grown a chunk at a time as the read operation grows its result.
struct FixedSpace {
  std::uint8_t* data;
  std::uint8_t* room(std::size_t at, std::size_t) noexcept { return data + at; }
  void keep(std::size_t) noexcept {}
  ByteString so_far(std::size_t filled) const { return ByteString(data, data + filled); }
};

struct GrowingSpace {
  ByteString& data;
  std::uint8_t* room(std::size_t at, std::size_t n) {
    data.resize(at + n);
    return data.data() + at;
  }
  void keep(std::size_t filled) noexcept { data.resize(filled); }
  ByteString so_far(std::size_t filled) {
    data.resize(filled);
    return std::move(data);
  }
};

template <class Space>
DirectOutcome<std::size_t> read_direct_into(const PortRef& ref, Space space, std::size_t size,
                                            std::chrono::nanoseconds phase) {
  PortHandle& port = *ref;
  if (size == 0) {  // nothing to wait for: no place in the queue either
    if (!port.is_open()) return fail(PortError::not_open());
    return std::size_t{0};
  }
  AsyncMutex::Guard guard = port.read_lock.try_lock();
  if (!guard) return Busy{};
  Notify::Waiter closed(port.close_notify);
  closed.enable();
  const std::uint64_t generation = port.generation();
  // A fatal error closes the port while the side lock is still held.
  const auto end = [&](Result<std::size_t> r) -> DirectOutcome<std::size_t> {
    if (!r && is_fatal(r.error())) port.close(r.error());
    return r;
  };
  if (!port.is_open()) return fail(PortError::not_open());

  const PortHandle::Timeouts timeouts = port.timeouts();
  const std::optional<std::chrono::nanoseconds> inter = timeouts.inter_byte_timeout.to_duration();
  const Instant start = Clock::now();
  const Instant limit = start + phase;
  const std::optional<Instant> total = deadline_after(start, timeouts.timeout.to_duration());

  detail::Parker& parker = detail::current_parker();
  detail::DirectWaitScope direct(parker);
  Context cx(detail::current_waker());
  Notify::Waiter cancel(port.cancel_read_notify);
  // Announced before the first wait, withdrawn however the read ends.
  struct Announced {
    PortHandle* port = nullptr;
    ~Announced() {
      if (port) port->announce_direct_reader(nullptr);
    }
  } announced;
  std::size_t filled = 0;
  CancelRace race = CancelRace::at_start(port);  // as in ReadSome
  while (filled < size) {
    // One step, as ReadSome: at least one byte, or none when the step's
    // deadline passes or cancel_read fires, which ends the read.
    const std::optional<Instant> deadline = step_deadline(total, inter, filled > 0);
    const std::size_t n = std::min(kChunk, size - filled);
    bool last = deadline && Clock::now() >= *deadline;  // one attempt, no cancel
    bool parked = false;
    ReadBuf buf{space.room(filled, n), n, 0, false};
    Poll<Status> io = Pending;
    for (;;) {
      if (waiter_first(closed, cx)) return fail(port.closed_error(generation));
      if (last || (parked && deadline && Clock::now() >= *deadline)) {
        buf.may_wait = false;
        io = port.poll_read(cx, buf, generation);
        break;
      }
      if (race.fair(cancel) && waiter_first(cancel, cx)) break;
      buf.may_wait = race.waited || !cancel.fired();  // a stored cancel: look for real
      io = port.poll_read(cx, buf, generation);
      if (io.ready()) break;
      race.waited = true;
      if (deadline && Clock::now() >= *deadline) {
        last = true;  // the deadline ends the step after one last attempt
        continue;
      }
      if (!announced.port) {
        port.announce_direct_reader(&parker);
        announced.port = &port;
      }
      // A notification from here on also wakes the parker: only one that
      // came before needs looking at, and looking takes no lock.
      if (cancel.fired() && cancel.poll(cx).ready()) break;
      if (closed.fired() && closed.poll(cx).ready()) return fail(port.closed_error(generation));
      if (Clock::now() >= limit)
        return std::make_unique<ReadOperation>(ref, size, std::move(guard), space.so_far(filled), total, inter);
      parker.park_until(deadline ? std::min(*deadline, limit) : limit);
      parked = true;
    }
    if (io.pending()) break;
    Status status = std::move(io).take();
    if (!status) {
      if (keeps_bytes_read(status.error(), filled)) break;
      return end(fail(std::move(status.error())));
    }
    if (buf.filled == 0) return end(fail(PortError::failure(std::string(kNoDataMessage))));
    filled += buf.filled;
  }
  space.keep(filled);
  return end(filled);
}

}  // namespace

DirectOutcome<std::size_t> read_direct(const PortRef& port, std::uint8_t* out, std::size_t size,
                                       std::chrono::nanoseconds phase) {
  return read_direct_into(port, FixedSpace{out}, size, phase);
}

DirectOutcome<std::size_t> read_direct(const PortRef& port, ByteString& out, std::size_t size,
                                       std::chrono::nanoseconds phase) {
  return read_direct_into(port, GrowingSpace{out}, size, phase);
}

DirectOutcome<std::uint64_t> write_direct(const PortRef& ref, Bytes data, bool use_write_timeout,
                                          std::shared_ptr<WriteShare> share) {
  PortHandle& port = *ref;
  AsyncMutex::Guard guard = port.write_lock.try_lock();
  if (!guard) return Busy{};
  Notify::Waiter closed(port.close_notify);
  closed.enable();
  if (!port.is_open()) return fail(PortError::not_open());

  const std::uint64_t generation = port.generation();
  const TimeoutValue write_timeout = use_write_timeout ? port.timeouts().write_timeout : TimeoutValue();
  const std::optional<std::chrono::nanoseconds> timeout = write_timeout.to_duration();
  const std::optional<Instant> deadline = timeout ? deadline_after(Clock::now(), timeout) : std::nullopt;

  detail::DirectWaitScope direct(detail::current_parker());
  Context cx(detail::current_waker());
  if (waiter_first(closed, cx)) return fail(port.closed_error(generation));
  // No cancel waiter: a stored cancel_write is for a write that waits, and
  // whatever would wait here is handed on.
  std::size_t written = 0;
  bool pending = false;
  Result<std::uint64_t> outcome = std::uint64_t{0};
  for (;;) {
    if (written == data.size()) {
      outcome = std::uint64_t{written};
      break;
    }
    Bytes rest = data.subspan(written);
    Poll<Result<std::size_t>> io = Pending;
    if (write_timeout.is_zero()) {
      io = port.poll_write(cx, rest, generation);
      if (io.pending()) {
        outcome = std::uint64_t{written + port.detach_write()};
        pending = true;
        break;
      }
    } else {
      io = port.poll_write(cx, rest, generation);
      // The device needs time: the write goes on as an operation, which
      // polls the device again before it waits.
      if (io.pending())
        return std::make_unique<WriteOperation>(ref, std::move(guard), ByteString(data.begin(), data.end()), written,
                                                write_timeout, deadline, std::move(share));
    }
    Result<std::size_t> accepted = std::move(io).take();
    if (!accepted) {
      outcome = fail(std::move(accepted.error()));
      break;
    }
    if (*accepted == 0) {
      outcome = std::uint64_t{written};
      break;
    }
    written += *accepted;
    if (share) share->written.store(written, std::memory_order_relaxed);
  }
  if (share && outcome && written < data.size()) share->rest.assign(data.begin() + static_cast<std::ptrdiff_t>(written), data.end());
  // Only a write the device left pending can still be in flight.
  if (pending) port.abort_write();
  if (!outcome && is_fatal(outcome.error())) port.close(outcome.error());
  return outcome;
}

namespace {
class CloseWatch final : public PortOperation {
 public:
  explicit CloseWatch(PortRef port) noexcept : port_(std::move(port)), closed_(port_->close_notify) {}
  Poll<OperationOutcome> poll(Context& cx) override {
    if (!started_) {
      started_ = true;
      closed_.enable();
      generation_ = port_->generation();
      if (!port_->is_open()) return OperationOutcome(fail(PortError::not_open()));
    }
    if (closed_.poll(cx).pending()) return Pending;
    return OperationOutcome(fail(port_->closed_error(generation_)));
  }

 private:
  PortRef port_;
  Notify::Waiter closed_;
  bool started_ = false;
  std::uint64_t generation_ = 0;
};
}  // namespace

OperationPtr make_close_watch(PortRef port) { return std::make_unique<CloseWatch>(std::move(port)); }

DirectOutcome<std::size_t> read_now(const PortRef& ref, std::uint8_t* out, std::size_t size) {
  PortHandle& port = *ref;
  AsyncMutex::Guard guard = port.read_lock.try_lock();
  if (!guard) return Busy{};
  const std::uint64_t generation = port.generation();
  if (!port.is_open()) return fail(PortError::not_open());
  detail::DirectWaitScope direct(detail::current_parker());  // nothing is armed anywhere
  Context cx(detail::current_waker());
  ReadBuf buf{out, size, 0, false};
  Poll<Status> io = port.poll_read(cx, buf, generation);
  if (io.pending()) return std::size_t{0};
  Status status = std::move(io).take();
  Result<std::size_t> r = buf.filled;
  if (!status)
    r = fail(std::move(status.error()));
  else if (buf.filled == 0)
    r = fail(PortError::failure(std::string(kNoDataMessage)));  // a hang-up reads like this
  return r;
}

DirectOutcome<std::uint64_t> write_now(const PortRef& ref, Bytes data) {
  PortHandle& port = *ref;
  AsyncMutex::Guard guard = port.write_lock.try_lock();
  if (!guard) return Busy{};
  const std::uint64_t generation = port.generation();
  if (!port.is_open()) return fail(PortError::not_open());
  detail::DirectWaitScope direct(detail::current_parker());
  Context cx(detail::current_waker());
  // One system call: a device that takes less than all of it is full for
  // now, and the caller's selector says when it has room again.
  if (data.empty()) return std::uint64_t{0};
  Poll<Result<std::size_t>> io = port.poll_write(cx, data, generation);
  if (io.pending()) return std::uint64_t{port.abort_write_count()};  // nothing may go on behind the caller's back
  Result<std::size_t> accepted = std::move(io).take();
  if (!accepted) return fail(std::move(accepted.error()));
  return std::uint64_t{*accepted};
}

OperationPtr make_read(PortRef port, std::size_t size) {
  if (size == 0) return std::make_unique<EmptyRead>(std::move(port));
  return std::make_unique<ReadOperation>(std::move(port), size);
}

OperationPtr make_read_until(PortRef port, ByteString expected, std::optional<std::size_t> size) {
  AsyncMutex& side = port->read_lock;
  return enveloped(
      port, side,
      [port, expected = std::move(expected), size](const Began& b) mutable {
        return read_until_body(port, b, std::move(expected), size, Timing::Total);
      },
      OperationValue(ByteString{}));
}

OperationPtr make_readline(PortRef port, std::optional<std::size_t> size) {
  AsyncMutex& side = port->read_lock;
  return enveloped(
      port, side, [port, size](const Began& b) { return read_until_body(port, b, ByteString{'\n'}, size, Timing::PerByte); },
      OperationValue(ByteString{}));
}

OperationPtr make_readlines(PortRef port, std::optional<std::size_t> hint) {
  AsyncMutex& side = port->read_lock;
  return enveloped(
      port, side, [port, hint](const Began& b) { return readlines_body(port, b, hint); },
      OperationValue(std::vector<ByteString>{}));
}

OperationPtr make_read_available(PortRef port, std::size_t max) {
  AsyncMutex& side = port->read_lock;
  return enveloped(port, side, [port, max](const Began& b) { return read_available_body(port, b.generation, max); });
}

OperationPtr make_write(PortRef port, ByteString data, bool use_write_timeout, std::shared_ptr<WriteShare> share) {
  return std::make_unique<WriteOperation>(std::move(port), std::move(data), use_write_timeout, std::move(share));
}

OperationPtr make_flush(PortRef port) {
  AsyncMutex& side = port->write_lock;
  return enveloped(port, side, [port](const Began& b) { return flush_body(port, b.generation); });
}

OperationPtr make_send_break(PortRef port, double seconds) {
  if (std::isnan(seconds) || seconds < 0)
    return std::make_unique<FinishedOperation>(fail(PortError::invalid_value("duration must be a non-negative number")));
  AsyncMutex& side = port->write_lock;
  return enveloped(port, side, [port, length = saturating_duration(seconds)](const Began&) {
    return send_break_body(port, length);
  });
}

}  // namespace corvalink
