#include "engine/runtime.hpp"

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <exception>
#include <format>
#include <limits>
#include <system_error>
#include <thread>
#include <vector>

#include "engine/os.hpp"

namespace corvalink {

std::optional<Instant> deadline_after(Instant start, std::optional<std::chrono::nanoseconds> d) noexcept {
  if (!d) return std::nullopt;
  auto room = Instant::max() - start;
  if (*d > std::chrono::duration_cast<std::chrono::nanoseconds>(room)) return std::nullopt;
  return start + *d;
}

// ---------------------------------------------------------------------------
// Scheduler state.

namespace detail {

// A spawned job.
class Task final : public TaskBase {
 public:
  explicit Task(std::unique_ptr<Runtime::Job> job) noexcept : job_(std::move(job)) {}

  void abort() noexcept {
    aborted_.store(true, std::memory_order_release);
    wake();
  }
  bool finished() const noexcept { return is_done(); }

 protected:
  bool step() noexcept override {
    bool done = aborted_.load(std::memory_order_acquire);
    if (!done) {
      Waker waker = Waker::share(this);
      Context cx(waker);
      try {
        done = job_->poll(cx).ready();
      } catch (...) {
        done = true;  // the job's owner sees it end without an outcome
      }
    }
    if (done) job_.reset();
    return done;
  }
  void unrunnable(const PortError&) noexcept override {
    job_.reset();
    set_done();
  }
  // The last reference went while the job was still alive (nobody can wake
  // it any more). Its clean-up must not run on whatever thread dropped that
  // reference, possibly inside some lock: a worker drops it instead.
  void destroy() noexcept override {
    if (!job_) {
      delete this;
      return;
    }
    aborted_.store(true, std::memory_order_relaxed);
    schedule_to_end();
  }

 private:
  std::unique_ptr<Runtime::Job> job_;  // touched only by the thread that runs the task
  std::atomic<bool> aborted_{false};
};

}  // namespace detail

struct Runtime::State {
  std::mutex mutex;
  std::condition_variable cv;
  // Run queue (intrusive FIFO); each queued task holds one reference.
  detail::TaskBase* head = nullptr;
  detail::TaskBase* tail = nullptr;
  std::size_t idle = 0;      // workers waiting on cv
  // The instant the last worker to go idle wakes at, reset when any worker
  // wakes. A new timer due before it must wake a worker; a later one is
  // found when that worker wakes anyway. For a second after the last timer
  // was armed, a worker whose heap is empty still wakes then, so a read
  // that arms and drops a timeout of a second or more on every call does
  // not wake a worker each time; after that an idle worker sleeps until
  // something needs it.
  Instant idle_until = Instant::max();  // max: any new timer wakes a worker
  Instant last_timer_armed = Instant::min();
  std::size_t workers = 0;   // worker threads alive
  std::size_t retire = 0;    // workers that should leave (after block_in_place)
  std::vector<detail::TimerNode*> timers;  // min-heap on deadline

  // The blocking pool.
  std::mutex pool_mutex;
  std::condition_variable pool_cv;
  std::deque<std::function<void()>> pool_queue;
  std::size_t pool_idle = 0;

  void push_locked(detail::TaskBase* t) noexcept {
    t->next_in_queue = nullptr;
    if (tail)
      tail->next_in_queue = t;
    else
      head = t;
    tail = t;
  }
  detail::TaskBase* pop_locked() noexcept {
    detail::TaskBase* t = head;
    if (t) {
      head = t->next_in_queue;
      if (!head) tail = nullptr;
      t->next_in_queue = nullptr;
    }
    return t;
  }
  // Adds a reference of t to the queue and wakes an idle worker.
  void schedule(detail::TaskBase* t) noexcept {
    t->add_ref();
    std::lock_guard lock(mutex);
    push_locked(t);
    if (idle) cv.notify_one();
  }

  // --- timer heap ---
  bool earlier(std::size_t a, std::size_t b) const noexcept { return timers[a]->deadline < timers[b]->deadline; }
  void swap_nodes(std::size_t a, std::size_t b) noexcept {
    std::swap(timers[a], timers[b]);
    timers[a]->heap_index = a;
    timers[b]->heap_index = b;
  }
  void sift_up(std::size_t i) noexcept {
    while (i > 0) {
      std::size_t parent = (i - 1) / 2;
      if (!earlier(i, parent)) break;
      swap_nodes(i, parent);
      i = parent;
    }
  }
  void sift_down(std::size_t i) noexcept {
    for (;;) {
      std::size_t l = 2 * i + 1, r = l + 1, m = i;
      if (l < timers.size() && earlier(l, m)) m = l;
      if (r < timers.size() && earlier(r, m)) m = r;
      if (m == i) break;
      swap_nodes(i, m);
      i = m;
    }
  }
  void insert_timer(detail::TimerNode* n) {
    timers.push_back(n);  // may throw; the node stays unregistered then
    n->heap_index = timers.size() - 1;
    sift_up(n->heap_index);
  }
  void remove_timer(detail::TimerNode* n) noexcept {
    std::size_t i = n->heap_index;
    std::size_t last = timers.size() - 1;
    if (i != last) swap_nodes(i, last);
    timers.pop_back();
    n->heap_index = detail::TimerNode::kUnregistered;
    if (i < timers.size()) {
      sift_down(i);
      sift_up(i);
    }
  }

  void worker_main() noexcept;
  void pool_main() noexcept;
  void start_worker();  // throws std::system_error when no thread can be made
};

namespace {

thread_local bool t_is_worker = false;

// Set once the runtime is built; read without the runtime cell by timers and
// block-in-place, so it is published with release/acquire.
std::atomic<Runtime::State*> g_state{nullptr};

// The process that first used the engine, claimed by its first port
// operation (os::process_identity); zero until claimed. A child created by
// fork() after that refuses every operation, whether or not the runtime's
// threads had been started: it inherited the side locks and other state of
// parent threads that do not exist in it.
std::atomic<std::uint64_t> g_home{0};

// Claims the engine for this process on first use; Forked in a child created
// by fork() after that.
Status process_check() noexcept {
  const std::uint64_t me = os::process_identity();
  std::uint64_t home = g_home.load(std::memory_order_relaxed);
  if (home == 0) g_home.compare_exchange_strong(home, me, std::memory_order_relaxed);  // home: the winner's
  if (home != 0 && home != me) return fail(PortError::forked());
  return {};
}

}  // namespace

bool detail::TaskBase::claim() noexcept {
  std::uint32_t s = state_.load(std::memory_order_acquire);
  for (;;) {
    const std::uint32_t st = s & kStateMask;
    if (st == Idle) {
      if (state_.compare_exchange_weak(s, Scheduled, std::memory_order_acq_rel)) return true;
    } else if (st == Running) {
      if (state_.compare_exchange_weak(s, Notified | (s & kHolderWaits), std::memory_order_acq_rel)) return false;
    } else {
      return false;  // already scheduled, already notified, held, or done
    }
  }
}

void detail::TaskBase::set_state(std::uint32_t next) noexcept {
  if (state_.exchange(next, std::memory_order_acq_rel) & kHolderWaits) state_.notify_all();
}

void detail::TaskBase::schedule() noexcept {
  Runtime::State* state = g_state.load(std::memory_order_acquire);
  if (!state) {
    // A task whose first step ran on its caller's thread, woken before
    // anything built the runtime.
    Result<Runtime*> rt = runtime();
    if (!rt) {
      unrunnable(rt.error());
      return;
    }
    state = g_state.load(std::memory_order_acquire);
  }
  state->schedule(this);
}

void detail::TaskBase::schedule_to_end() noexcept {
  set_state(Scheduled);
  schedule();
}

void detail::TaskBase::wake() noexcept {
  if (claim()) schedule();
}

namespace {
thread_local bool t_running_from_io = false;
}  // namespace

bool running_from_io() noexcept { return t_running_from_io; }

void detail::TaskBase::wake_from_io() noexcept {
  if (!claim()) return;
  // A task's step is short (it never blocks), and the readiness thread saves
  // the hop to a worker and back for the common read that waited.
  add_ref();  // what the queue would hold
  const bool outer = !t_running_from_io;
  t_running_from_io = true;
  run_queued();
  if (outer) t_running_from_io = false;
}

void detail::TaskBase::wake_inline() noexcept {
  if (!claim()) return;
  add_ref();  // what the queue would hold
  run_queued();
}

void detail::TaskBase::run_queued() noexcept {
  std::uint32_t s = state_.load(std::memory_order_acquire);
  for (;;) {
    if ((s & kStateMask) != Scheduled) {
      release();  // held or done meanwhile: whoever took it ends it
      return;
    }
    if (state_.compare_exchange_weak(s, Running, std::memory_order_acq_rel)) break;
  }
  const bool done = step();
  end_step(done);
  if (done) after_done();
  release();  // the queue's reference
}

void detail::TaskBase::end_step(bool done) noexcept {
  if (done) {
    set_state(Done);
    return;
  }
  std::uint32_t s = state_.load(std::memory_order_acquire);
  for (;;) {
    const std::uint32_t st = s & kStateMask;
    const bool holder = (s & kHolderWaits) != 0;
    // Woken while running: run again later, after the tasks already queued,
    // unless a holder waits to take it (it ends the task, so the wake is moot).
    const std::uint32_t next = st == Notified && !holder ? Scheduled : Idle;
    if (state_.compare_exchange_weak(s, next, std::memory_order_acq_rel)) {
      if (holder) state_.notify_all();
      if (next == Scheduled) schedule();
      return;
    }
  }
}

bool detail::TaskBase::hold() noexcept {
  std::uint32_t s = state_.load(std::memory_order_acquire);
  for (;;) {
    switch (s & kStateMask) {
      case Idle:
      case Scheduled:
        // A queued task stays in the queue; the worker that pops it finds it
        // held or done and only drops the queue's reference.
        if (state_.compare_exchange_weak(s, Held, std::memory_order_acq_rel)) return true;
        continue;
      case Done:
        return false;
      default:  // running, or held by another thread: wait for it to end
        if (!(s & kHolderWaits)) {
          if (!state_.compare_exchange_weak(s, s | kHolderWaits, std::memory_order_acq_rel)) continue;
          s |= kHolderWaits;
        }
        state_.wait(s, std::memory_order_acquire);
        s = state_.load(std::memory_order_acquire);
    }
  }
}

void detail::TaskBase::release_hold_done() noexcept { set_state(Done); }

namespace {
constexpr auto kTimerLinger = std::chrono::seconds(1);
}  // namespace

void Runtime::State::worker_main() noexcept {
  os::name_this_thread();
  t_is_worker = true;
  std::array<Waker, 16> due;
  std::unique_lock lock(mutex);
  for (;;) {
    if (retire) {
      --retire;
      --workers;
      return;
    }
    if (!timers.empty()) {
      std::size_t n = 0;
      Instant now = Clock::now();
      while (n < due.size() && !timers.empty() && timers.front()->deadline <= now) {
        detail::TimerNode* node = timers.front();
        remove_timer(node);
        due[n++] = std::move(node->waker);
      }
      if (n) {
        lock.unlock();
        for (std::size_t i = 0; i < n; ++i) due[i].wake_and_reset();
        lock.lock();
        continue;
      }
    }
    if (detail::TaskBase* t = pop_locked()) {
      lock.unlock();
      t->run_queued();
      lock.lock();
      continue;
    }
    ++idle;
    const Instant linger = last_timer_armed + kTimerLinger;
    if (timers.empty() && Clock::now() >= linger) {
      cv.wait(lock);
    } else {
      // A copy: the node may go away while we wait.
      Instant next = timers.empty() ? linger : timers.front()->deadline;
      idle_until = next;
      cv.wait_until(lock, next);
    }
    idle_until = Instant::max();
    --idle;
  }
}

void Runtime::State::start_worker() { std::thread([this] { worker_main(); }).detach(); }

void Runtime::State::pool_main() noexcept {
  os::name_this_thread();
  std::unique_lock lock(pool_mutex);
  for (;;) {
    ++pool_idle;
    bool got = pool_cv.wait_for(lock, std::chrono::seconds(10), [this] { return !pool_queue.empty(); });
    --pool_idle;
    if (!got) return;
    std::function<void()> f = std::move(pool_queue.front());
    pool_queue.pop_front();
    lock.unlock();
    try {
      f();
    } catch (...) {
    }
    f = nullptr;
    lock.lock();
  }
}

// ---------------------------------------------------------------------------
// Runtime and its cell.

std::pair<TaskHandle, Waker> Runtime::spawn_suspended(std::unique_ptr<Job> job) {
  auto* task = new detail::Task(std::move(job));
  task->add_ref();  // the handle's reference
  // The creation reference goes to the waker.
  return {TaskHandle(task), Waker::adopt(task)};
}

TaskHandle Runtime::spawn(std::unique_ptr<Job> job) {
  auto [handle, waker] = spawn_suspended(std::move(job));
  waker.wake();  // Idle → Scheduled; the queue and the handle hold their references
  return std::move(handle);
}

Status Runtime::spawn_blocking(std::function<void()> f) {
  State& s = *state_;
  std::lock_guard lock(s.pool_mutex);
  s.pool_queue.push_back(std::move(f));
  if (s.pool_idle >= s.pool_queue.size()) {
    s.pool_cv.notify_one();
    return {};
  }
  try {
    std::thread([&s] { s.pool_main(); }).detach();
  } catch (const std::system_error& e) {
    s.pool_queue.pop_back();
    return fail(PortError::failure(e.what(), e.code().value()));
  }
  return {};
}

namespace {

struct RuntimeCell {
  Runtime* runtime = nullptr;
  std::optional<PortError> failure;
  std::uint64_t process = 0;

  // False in a child created by fork() after the runtime was built: its
  // threads stayed behind in the parent.
  bool in_building_process() const noexcept { return process == os::process_identity(); }
};

}  // namespace

PortError detail::runtime_start_failure(int os_code) {
  // The OS error in its full display form, suffix included.
  return PortError::failure(
      std::format("failed to start the background runtime: {} (os error {})", os_error_text(os_code), os_code),
      os_code);
}

struct RuntimeBuilder {
  static Runtime* make(Runtime::State* state) { return new Runtime(state); }
};

namespace {

RuntimeCell build_runtime() {
  RuntimeCell cell;
  auto* state = new Runtime::State;  // lives until the process ends
  try {
    for (std::size_t i = 0; i < Runtime::kWorkers; ++i) {
      {
        std::lock_guard lock(state->mutex);
        ++state->workers;
      }
      try {
        state->start_worker();
      } catch (...) {
        std::lock_guard lock(state->mutex);
        --state->workers;
        throw;
      }
    }
  } catch (const std::system_error& e) {
    cell.failure = detail::runtime_start_failure(e.code().value());
    return cell;
  }
  g_state.store(state, std::memory_order_release);
  cell.runtime = RuntimeBuilder::make(state);
  cell.process = os::process_identity();
  return cell;
}

RuntimeCell& runtime_cell() {
  static RuntimeCell cell = build_runtime();
  return cell;
}

}  // namespace

Result<Runtime*> runtime() {
  // Before the cell: a child must not wait for a build its parent had under way.
  if (Status here = process_check(); !here) return fail(std::move(here.error()));
  RuntimeCell& cell = runtime_cell();
  if (cell.failure) return fail(*cell.failure);
  if (!cell.in_building_process()) return fail(PortError::forked());
  return cell.runtime;
}

Status runtime_usable() { return process_check(); }

std::uint64_t process_identity() noexcept { return os::process_identity(); }

bool on_worker_thread() noexcept { return t_is_worker; }

detail::BlockInPlaceScope::BlockInPlaceScope() noexcept {
  Runtime::State* state = g_state.load(std::memory_order_acquire);
  if (!t_is_worker || !state) return;
  Runtime::State& s = *state;
  {
    std::lock_guard lock(s.mutex);
    ++s.workers;
  }
  try {
    s.start_worker();
  } catch (...) {
    std::lock_guard lock(s.mutex);
    --s.workers;
    return;  // no replacement: the remaining worker carries the queue
  }
  t_is_worker = false;
  active_ = true;
}

detail::BlockInPlaceScope::~BlockInPlaceScope() {
  if (!active_) return;
  t_is_worker = true;
  Runtime::State& s = *g_state.load(std::memory_order_acquire);
  std::lock_guard lock(s.mutex);
  ++s.retire;  // one worker (often this one, once its task step ends) leaves
  s.cv.notify_all();
}

// ---------------------------------------------------------------------------
// Task handles.

TaskHandle& TaskHandle::operator=(TaskHandle&& other) noexcept {
  if (this != &other) {
    if (task_) task_->release();
    task_ = std::exchange(other.task_, nullptr);
  }
  return *this;
}

TaskHandle::~TaskHandle() {
  if (task_) task_->release();
}

void TaskHandle::abort() noexcept {
  if (task_) task_->abort();
}

bool TaskHandle::finished() const noexcept { return !task_ || task_->finished(); }

// ---------------------------------------------------------------------------
// Parking the calling thread.

namespace detail {

namespace {


}  // namespace

Parker::~Parker() { os::close_wake_descriptor(wake_fd_); }

void Parker::wake() noexcept {
  std::uint32_t s = state_.load(std::memory_order_relaxed);
  bool signal;
  for (;;) {
    signal = (s & kPolling) && !(s & kSignalled);
    const std::uint32_t next = s | kNotified | (signal ? kSignalled : 0u);
    if (next == s) return;  // an earlier wake that nobody consumed yet covers this one
    if (state_.compare_exchange_weak(s, next, std::memory_order_acq_rel, std::memory_order_relaxed)) break;
  }
  if (signal) {
    // A write that lands after the poll ended makes the next wait return at
    // once, which then drains it: one spurious wake-up, never a lost one.
    os::signal_wake_descriptor(wake_fd_);
    return;
  }
  if (s & kPolling) return;
  { std::lock_guard lock(mutex_); }  // the owner is either before its check or inside wait()
  cv_.notify_one();
}

void Parker::park() {
  if (watch_count_) {
    park_polling(std::nullopt);
    return;
  }
  std::unique_lock lock(mutex_);
  cv_.wait(lock, [this] { return (state_.load(std::memory_order_acquire) & kNotified) != 0; });
  state_.fetch_and(~kNotified, std::memory_order_acq_rel);
}

bool Parker::park_until(Instant deadline) {
  if (watch_count_) return park_polling(deadline);
  std::unique_lock lock(mutex_);
  bool woken = cv_.wait_until(lock, deadline,
                              [this] { return (state_.load(std::memory_order_acquire) & kNotified) != 0; });
  state_.fetch_and(~kNotified, std::memory_order_acq_rel);
  return woken;
}

bool Parker::watch(int fd, std::uint32_t events, std::shared_ptr<DirectWaitSink> sink) {
  if (wake_fd_ >= 0 && !os::wake_descriptor_is_ours(wake_fd_)) {
    os::close_wake_descriptor(wake_fd_);  // this process's copy of the parent's descriptor
    wake_fd_ = -1;
  }
  if (wake_fd_ < 0) {
    wake_fd_ = os::make_wake_descriptor();
    if (wake_fd_ < 0) return false;  // no direct waits here
  }
  for (std::size_t i = 0; i < watch_count_; ++i) {
    if (watches_[i].fd == fd && watches_[i].sink == sink) {
      watches_[i].events |= events;
      return true;
    }
  }
  if (watch_count_ == watches_.size()) return false;
  watches_[watch_count_++] = Watch{fd, events, std::move(sink)};
  return true;
}

void Parker::clear_watches() noexcept {
  while (watch_count_) watches_[--watch_count_] = Watch{};
}

bool Parker::park_polling(std::optional<Instant> deadline) {
  // Not polling, only kNotified can be set.
  if (std::uint32_t s = 0; !state_.compare_exchange_strong(s, kPolling, std::memory_order_acq_rel)) {
    state_.fetch_and(~kNotified, std::memory_order_acq_rel);
    clear_watches();
    return true;
  }
  std::array<os::PollSlot, std::tuple_size_v<decltype(watches_)>> slots{};
  for (std::size_t i = 0; i < watch_count_; ++i) slots[i] = os::PollSlot{watches_[i].fd, watches_[i].events, 0};
  int timeout = -1;
  if (deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
    timeout = left <= 0 ? 0 : left >= std::numeric_limits<int>::max() ? std::numeric_limits<int>::max() : int(left);
  }
  // An interrupted wait ends early; the caller polls again and comes back.
  const int n = os::poll_with_wake(wake_fd_, slots.data(), watch_count_, timeout);
  const bool woken = (state_.exchange(0, std::memory_order_acq_rel) & kNotified) != 0;
  if (n > 0) {
    for (std::size_t i = 0; i < watch_count_; ++i) {
      if (slots[i].ready) watches_[i].sink->direct_events(slots[i].ready);
    }
  }
  clear_watches();
  return woken || n > 0;
}

namespace {
struct ParkerSlot {
  Waker waker = Waker::adopt(new Parker);
  Parker& parker() const noexcept { return *static_cast<Parker*>(waker.target()); }
};
thread_local ParkerSlot t_parker;
thread_local Parker* t_direct = nullptr;  // set while this thread drives a pollable
}  // namespace

Parker& current_parker() { return t_parker.parker(); }
const Waker& current_waker() { return t_parker.waker; }

DirectWaitScope::DirectWaitScope(Parker& parker) noexcept : parker_(&parker), previous_(t_direct) {
  t_direct = &parker;
}

DirectWaitScope::~DirectWaitScope() {
  t_direct = previous_;
  if (!previous_) parker_->clear_watches();
}

}  // namespace detail

namespace {
thread_local LoopPoller* t_loop_poller = nullptr;
thread_local WakeTarget* t_loop_target = nullptr;
}  // namespace

LoopPollScope::LoopPollScope(LoopPoller* poller, WakeTarget* target) noexcept
    : previous_poller_(t_loop_poller), previous_target_(t_loop_target) {
  t_loop_poller = poller;
  t_loop_target = target;
}

LoopPollScope::~LoopPollScope() {
  t_loop_poller = previous_poller_;
  t_loop_target = previous_target_;
}

LoopPoller* loop_poller_for(const Waker& waker) noexcept {
  return t_loop_poller && waker.target() == t_loop_target ? t_loop_poller : nullptr;
}

DirectWait* direct_wait(const Context& cx) noexcept {
  detail::Parker* parker = detail::t_direct;
  if (!parker || cx.waker().target() != static_cast<WakeTarget*>(parker)) return nullptr;
  return parker;
}

std::optional<OperationOutcome> run_for(PortOperation& op, std::chrono::nanoseconds limit) {
  detail::Parker& parker = detail::current_parker();
  detail::DirectWaitScope direct(parker);
  Context cx(detail::current_waker());
  std::optional<Instant> deadline = deadline_after(Clock::now(), limit);
  for (;;) {
    auto r = op.poll(cx);
    if (r.ready()) return std::move(r).take();
    if (!deadline) {
      parker.park();
      continue;
    }
    if (Clock::now() >= *deadline) return std::nullopt;
    parker.park_until(*deadline);
  }
}

// ---------------------------------------------------------------------------
// Timers.

Sleep sleep_for(std::chrono::nanoseconds d) noexcept {
  Instant now = Clock::now();
  return Sleep(deadline_after(now, d).value_or(Instant::max()));
}

Sleep::~Sleep() {
  Runtime::State* state = g_state.load(std::memory_order_acquire);
  if (!node_.armed || !state) return;
  std::lock_guard lock(state->mutex);
  if (node_.heap_index != detail::TimerNode::kUnregistered) state->remove_timer(&node_);
}

Poll<std::monostate> Sleep::poll(Context& cx) {
  if (Clock::now() >= node_.deadline) return std::monostate{};
  Runtime::State* state = g_state.load(std::memory_order_acquire);
  if (!state) {
    if (!runtime()) return std::monostate{};  // no timers without a runtime: never wait forever
    state = g_state.load(std::memory_order_acquire);
  }
  Runtime::State& s = *state;
  Waker replaced;  // released after the lock
  std::lock_guard lock(s.mutex);
  if (node_.heap_index == detail::TimerNode::kUnregistered) {
    replaced = std::exchange(node_.waker, cx.waker());
    node_.armed = true;
    s.insert_timer(&node_);
    s.last_timer_armed = Clock::now();
    if (node_.heap_index == 0 && s.idle && node_.deadline < s.idle_until) s.cv.notify_one();
  } else if (!node_.waker.will_wake(cx.waker())) {
    replaced = std::exchange(node_.waker, cx.waker());
  }
  return Pending;
}

// ---------------------------------------------------------------------------
// The blocking pool from inside an operation.

namespace detail {
struct BlockingShared {
  std::mutex mutex;
  bool done = false;
  Status result;
  Waker waker;

  void finish(Status r) noexcept {
    Waker w;
    {
      std::lock_guard lock(mutex);
      done = true;
      result = std::move(r);
      w = std::move(waker);
    }
    w.wake();
  }
};
}  // namespace detail

Poll<Status> BlockingJoin::poll(Context& cx) {
  std::lock_guard lock(shared_->mutex);
  if (shared_->done) return shared_->result;
  if (!shared_->waker.will_wake(cx.waker())) shared_->waker = cx.waker();
  return Pending;
}

BlockingJoin spawn_blocking(std::function<void()> f) {
  auto shared = std::make_shared<detail::BlockingShared>();
  auto rt = runtime();
  if (!rt) {
    shared->finish(fail(rt.error()));
    return BlockingJoin(std::move(shared));
  }
  Status started = (*rt)->spawn_blocking([shared, f = std::move(f)] {
    try {
      f();
      shared->finish({});
    } catch (const std::exception& e) {
      shared->finish(fail(PortError::failure(e.what())));
    } catch (...) {
      shared->finish(fail(PortError::failure("the blocking task failed")));
    }
  });
  if (!started) shared->finish(fail(started.error()));
  return BlockingJoin(std::move(shared));
}

}  // namespace corvalink
