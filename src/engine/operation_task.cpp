#include "engine/operation_task.hpp"

#include <array>
#include <condition_variable>
#include <mutex>

namespace corvalink {

namespace {

// Where threads that block on a task sleep: a fixed table of condition
// variables shared by all tasks (a task has no sleeping threads most of its
// life, so it carries no condition variable of its own).
struct Bucket {
  std::mutex mutex;
  std::condition_variable cv;
};

Bucket& bucket_of(const void* task) noexcept {
  static constexpr std::size_t kBuckets = 64;
  static Bucket* const buckets = new Bucket[kBuckets];  // never torn down: workers may outlive exit
  return buckets[(reinterpret_cast<std::uintptr_t>(task) >> 6) % kBuckets];
}

bool carries_bytes(const OperationValue& v) noexcept {
  return std::holds_alternative<ByteString>(v) || std::holds_alternative<std::vector<ByteString>>(v);
}

bool carries_bytes(const OperationOutcome& o) noexcept { return o.has_value() && carries_bytes(*o); }

}  // namespace

TaskRef OperationTask::create(OperationPtr op, PortRef source, Start start) {
  return TaskRef::adopt(new OperationTask(std::move(op), std::move(source), start));
}

TaskRef OperationTask::finished_with(OperationOutcome outcome) {
  TaskRef task = TaskRef::adopt(new OperationTask(nullptr, nullptr, Start::Queued));
  task->set_done();
  task->store(std::move(outcome), false);
  return task;
}

OperationTask::OperationTask(OperationPtr op, PortRef source, Start start) noexcept
    : TaskBase(start == Start::FirstStepHere ? Running : Idle), op_(std::move(op)), source_(std::move(source)) {
  if (op_) op_->set_sink(this);
}

void OperationTask::ended(OperationOutcome& outcome) noexcept {
  // The read still holds its side: the port's opening is the one it read in.
  if (source_) source_generation_ = source_->generation();
  if (source_ && outcome && carries_bytes(outcome) && receivers_.load(std::memory_order_acquire) == 0) {
    ByteString bytes;
    if (auto* b = std::get_if<ByteString>(&*outcome)) {
      bytes = std::move(*b);
    } else {
      for (const ByteString& line : std::get<std::vector<ByteString>>(*outcome))
        bytes.insert(bytes.end(), line.begin(), line.end());
    }
    source_->unread(std::move(bytes), source_generation_);  // the read side is still ours: they stay first
    outcome = fail(PortError::cancelled());
  }
  store(std::move(outcome), defer_);
}

OperationTask::~OperationTask() {
  // Subscribers of an outcome that was never published (kept back, then
  // dropped by everyone) are dropped with the task.
  for (Subscriber* list : {subscribers_, publishing_}) {
    while (list) delete std::exchange(list, list->next_);
  }
}

std::optional<OperationOutcome> OperationTask::poll_once() noexcept {
  Waker waker = Waker::share(this);
  Context cx(waker);
  try {
    auto r = op_->poll(cx);
    if (r.pending()) return std::nullopt;
    return std::move(r).take();
  } catch (...) {
    return OperationOutcome(fail(operation_panicked()));
  }
}

bool OperationTask::first_step(bool defer) noexcept {
  defer_ = defer;
  std::optional<OperationOutcome> done = poll_once();
  defer_ = false;
  if (!done) {
    end_step(false);  // queued at once if something woke it during the step
    return false;
  }
  op_.reset();
  if (phase() == Phase::Running) store(std::move(*done), defer);
  end_step(true);
  if (!defer) publish();
  return true;
}

void OperationTask::spawn() noexcept { wake(); }

bool OperationTask::step() noexcept {
  if (orphaned_) {
    // Nobody holds the task any more: drop what is left, here on a worker.
    op_.reset();
    std::optional<ByteString> bytes = take_unreceived();
    if (bytes && source_) source_->unread(std::move(*bytes), source_generation_);
    return true;
  }
  std::optional<OperationOutcome> done = poll_once();
  if (!done) return false;
  op_.reset();  // its clean-up (the side lock) before anyone is told of the outcome
  if (phase() == Phase::Running) store(std::move(*done), false);  // unless it told us as it ended
  return true;
}

void OperationTask::after_done() noexcept {
  if (!orphaned_) publish();
}

void OperationTask::unrunnable(const PortError& error) noexcept {
  op_.reset();
  if (orphaned_) return;  // nobody to tell (the record itself stays: no thread can end it)
  store(fail(error), false);
  set_done();
  publish();
}

void OperationTask::destroy() noexcept {
  // The last reference went. An operation still alive (nobody can wake it
  // any more), or a read's bytes nobody received, must not be dealt with on
  // whatever thread dropped that reference, possibly inside some lock: a
  // worker does it, then this runs again with nothing left.
  bool work = static_cast<bool>(op_);
  if (!work) {
    std::lock_guard lock(lock_);
    work = !received_ && source_ && phase_.load(std::memory_order_relaxed) != Phase::Running && !error_ &&
           carries_bytes(value_) && !orphaned_;
  }
  if (!work || orphaned_) {
    delete this;
    return;
  }
  orphaned_ = true;
  schedule_to_end();
}

void OperationTask::store(OperationOutcome outcome, bool defer) noexcept {
  // Earlier outcomes of the same side are Finished before this one is.
  std::vector<TaskRef> earlier;
  if (!defer) earlier = flip_earlier();
  std::lock_guard lock(lock_);
  if (outcome)
    value_ = std::move(*outcome);
  else
    error_ = std::make_unique<PortError>(std::move(outcome.error()));
  if (defer) {
    phase_.store(Phase::Finishing, std::memory_order_release);
    return;
  }
  phase_.store(Phase::Finished, std::memory_order_seq_cst);
  publishing_ = take_ordered_locked();
  earlier_flipped_ = std::move(earlier);
}

void OperationTask::publish() noexcept {
  // Any number of threads may get here for one outcome (the one that stored
  // it, and a canceller that lost the race to it): the lists are taken under
  // the lock, so each subscriber is told exactly once.
  std::vector<TaskRef> earlier;
  Subscriber* s = nullptr;
  {
    std::lock_guard lock(lock_);
    earlier = std::exchange(earlier_flipped_, {});
    s = std::exchange(publishing_, nullptr);
  }
  for (TaskRef& e : earlier) e->publish();
  if (blocked_.load(std::memory_order_seq_cst)) {
    Bucket& b = bucket_of(this);
    { std::lock_guard lock(b.mutex); }  // a sleeper is either before its check or inside wait()
    b.cv.notify_all();
  }
  while (s) {
    Subscriber* next = std::exchange(s->next_, nullptr);
    s->finished(*this);
    s = next;
  }
}

void OperationTask::finish_deferred() noexcept {
  if (phase() != Phase::Finishing) return;
  std::vector<TaskRef> earlier = flip_earlier();
  if (!flip_kept_back(&earlier)) {
    for (TaskRef& e : earlier) e->publish();
    return;
  }
  publish();
}

bool OperationTask::flip_kept_back(std::vector<TaskRef>* earlier) noexcept {
  std::lock_guard lock(lock_);
  if (phase_.load(std::memory_order_relaxed) != Phase::Finishing) return false;
  phase_.store(Phase::Finished, std::memory_order_seq_cst);
  publishing_ = take_ordered_locked();
  if (earlier) earlier_flipped_ = std::move(*earlier);
  return true;
}

std::vector<TaskRef> OperationTask::flip_earlier() noexcept {
  std::vector<TaskRef> chain;  // newest first
  {
    std::lock_guard lock(lock_);
    if (!earlier_) return {};
    chain.push_back(std::move(earlier_));
  }
  try {
    for (;;) {
      TaskRef next;
      {
        std::lock_guard lock(chain.back()->lock_);
        next = std::move(chain.back()->earlier_);
      }
      if (!next) break;
      chain.push_back(std::move(next));
    }
  } catch (...) {
  }
  std::vector<TaskRef> flipped;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    if ((*it)->flip_kept_back()) {
      try {
        flipped.push_back(*it);
      } catch (...) {
        (*it)->publish();  // out of memory: published out of turn rather than never
      }
    }
  }
  return flipped;
}

Subscriber* OperationTask::take_ordered_locked() noexcept {
  // Registered newest first: reversed, so they are told in registration order.
  Subscriber* list = std::exchange(subscribers_, nullptr);
  Subscriber* ordered = nullptr;
  while (list) {
    Subscriber* next = list->next_;
    list->next_ = ordered;
    ordered = list;
    list = next;
  }
  return ordered;
}

bool OperationTask::cancel(bool publish_now) noexcept {
  if (phase() != Phase::Running) return false;
  if (!hold()) return false;  // it finished meanwhile
  // Ours now: no step runs, and none will.
  std::optional<OperationOutcome> effect;
  try {
    effect = op_->cancel_outcome();
  } catch (...) {
  }
  op_->set_sink(nullptr);
  op_.reset();  // clean-up: side lock released, a read's bytes given back
  const bool cancelled = !effect;
  store(cancelled ? OperationOutcome(fail(PortError::cancelled())) : std::move(*effect), false);
  release_hold_done();
  if (publish_now) publish();
  return cancelled;
}

bool OperationTask::wait_for(std::chrono::nanoseconds limit) noexcept {
  if (finished()) return true;
  Bucket& b = bucket_of(this);
  std::unique_lock lock(b.mutex);
  blocked_.store(true, std::memory_order_seq_cst);
  return b.cv.wait_for(lock, limit, [&] { return phase_.load(std::memory_order_seq_cst) == Phase::Finished; });
}

OperationOutcome OperationTask::outcome_locked() const {
  if (error_) return fail(*error_);
  return value_;
}

std::optional<OperationOutcome> OperationTask::outcome_copy() const {
  std::lock_guard lock(lock_);
  if (phase_.load(std::memory_order_relaxed) != Phase::Finished) return std::nullopt;
  return outcome_locked();
}

std::optional<OperationOutcome> OperationTask::receive() {
  std::lock_guard lock(lock_);
  if (phase_.load(std::memory_order_relaxed) != Phase::Finished) return std::nullopt;
  received_ = true;
  return outcome_locked();
}

bool OperationTask::cancelled() const noexcept {
  std::lock_guard lock(lock_);
  return phase_.load(std::memory_order_relaxed) == Phase::Finished && error_ &&
         error_->kind() == ErrorKind::Cancelled;
}

bool OperationTask::failed() const noexcept {
  std::lock_guard lock(lock_);
  return phase_.load(std::memory_order_relaxed) == Phase::Finished && error_;
}

std::optional<std::size_t> OperationTask::value_kind() const noexcept {
  std::lock_guard lock(lock_);
  if (phase_.load(std::memory_order_relaxed) != Phase::Finished || error_) return std::nullopt;
  return value_.index();
}

std::optional<ByteString> OperationTask::take_unreceived() noexcept {
  std::lock_guard lock(lock_);
  if (received_ || phase_.load(std::memory_order_relaxed) == Phase::Running || error_ || !carries_bytes(value_))
    return std::nullopt;
  ByteString bytes;
  if (auto* b = std::get_if<ByteString>(&value_)) {
    bytes = std::move(*b);
  } else {
    for (const ByteString& line : std::get<std::vector<ByteString>>(value_))
      bytes.insert(bytes.end(), line.begin(), line.end());
  }
  value_ = OperationValue();
  error_ = std::make_unique<PortError>(PortError::cancelled());
  return bytes;
}

bool OperationTask::give_back() noexcept {
  if (!source_ || !finished()) return false;
  std::optional<ByteString> bytes = take_unreceived();
  if (!bytes) return false;
  source_->unread(std::move(*bytes), source_generation_);
  return true;
}

bool OperationTask::subscribe(Subscriber* s) noexcept {
  std::lock_guard lock(lock_);
  if (phase_.load(std::memory_order_relaxed) == Phase::Finished) return false;
  s->next_ = subscribers_;
  subscribers_ = s;
  return true;
}

}  // namespace corvalink
