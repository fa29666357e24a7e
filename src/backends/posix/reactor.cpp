#include "backends/posix/reactor.hpp"

#include "engine/runtime.hpp"

#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>

namespace corvalink::posix {

void ReadinessCell::bind(Reactor* reactor, int epfd, int fd, std::uint64_t id) noexcept {
  reactor_ = reactor;
  epfd_ = epfd;
  fd_ = fd;
  id_ = id;
  process_ = process_identity();
}

void ReadinessCell::watch_locked() noexcept {
  if (closed_ || epfd_ < 0) return;
  // In a child created by fork() the epoll set still belongs to the parent.
  if (process_identity() != process_) return;
  // Once a reader armed here, the descriptor stays in the set for reading,
  // edge-triggered: arming again is only a store, with no system call (a
  // task that waits on a terminal over and over would otherwise have the
  // kernel look at the terminal each time), until a reader waits on a loop's
  // poller instead. Writing joins only while a writer waits (a terminal is
  // writable after every write, and those edges would wake this thread for
  // nothing). A task arms, then looks at the device once more, so readiness
  // that came before its waker was stored is seen by that look, and
  // readiness after it wakes it.
  // The extra wakers (arm_extra) join the same way, while they wait.
  const bool reads = reactor_reads_ || extra_reader_;
  std::uint32_t want = (reads ? EPOLLIN | EPOLLRDHUP | EPOLLPRI : 0u) | (writer_ || extra_writer_ ? EPOLLOUT : 0u);
  if (want) want |= EPOLLET;
  if (want == watched_) return;
  epoll_event ev{};
  // Asking for nothing: a hang-up is still reported, once.
  ev.events = want ? want : EPOLLONESHOT;
  ev.data.u64 = id_;
  if (::epoll_ctl(epfd_, EPOLL_CTL_MOD, fd_, &ev) == 0) watched_ = want;
}

bool ReadinessCell::note_broken(std::uint32_t events) noexcept {
  // A hang-up or error ends both directions: each side finds out on its
  // next attempt.
  const bool broken = (events & (EPOLLHUP | EPOLLERR)) != 0;
  if (broken) broken_.store(true, std::memory_order_release);
  return broken;
}

void ReadinessCell::notify(std::uint32_t events) noexcept {
  Waker reader;
  Waker writer;
  Waker extra_reader;
  Waker extra_writer;
  {
    std::lock_guard lock(mutex_);
    const bool broken = note_broken(events);
    // A reader on a loop's poller hears from the loop (a hang-up reaches
    // every set; a wake from here would only be a second one).
    if (reader_via_ == Via::Reactor && (broken || (events & (EPOLLIN | EPOLLRDHUP | EPOLLPRI)))) {
      reader = std::move(reader_);
      reader_via_ = Via::None;
    }
    if (broken || (events & EPOLLOUT)) writer = std::move(writer_);
    if (broken || (events & (EPOLLIN | EPOLLRDHUP | EPOLLPRI))) extra_reader = std::move(extra_reader_);
    if (broken || (events & EPOLLOUT)) extra_writer = std::move(extra_writer_);
    // A writer served: stop watching for writability until one waits again
    // (and for readability if only an extra waker asked for it).
    if (((writer || extra_writer) && (watched_ & EPOLLOUT)) || (extra_reader && !reactor_reads_)) watch_locked();
  }
  reader.wake_from_io();
  writer.wake_from_io();
  extra_reader.wake();
  extra_writer.wake();
}

void ReadinessCell::notify_loop(LoopPoller& poller, std::uint32_t events) noexcept {
  Waker reader;
  {
    std::lock_guard lock(mutex_);
    if (closed_ || loop_.get() != &poller) return;
    const bool broken = note_broken(events);
    if (reader_via_ == Via::Loop && (broken || (events & (EPOLLIN | EPOLLRDHUP | EPOLLPRI)))) {
      reader = std::move(reader_);
      reader_via_ = Via::None;
    }
  }
  if (!reader) return;
  // Its step runs here, and a read that must wait again waits here again.
  LoopPollScope scope(&poller, reader.target());
  reader.wake_inline();
}

void ReadinessCell::kick_loop_reader() noexcept {
  Waker reader;
  {
    std::lock_guard lock(mutex_);
    if (reader_via_ != Via::Loop) return;
    reader = std::move(reader_);
    reader_via_ = Via::None;
  }
  if (WakeTarget* t = reader.target()) t->set_loop_wait(nullptr);
  reader.wake();  // polled by a worker, it arms on the reactor
}

void ReadinessCell::loop_gone(LoopPoller& poller) noexcept {
  Waker reader;
  {
    std::lock_guard lock(mutex_);
    if (loop_.get() != &poller) return;
    // The set goes with the poller; nothing to take out of it.
    loop_.reset();
    loop_key_ = 0;
    loop_reads_ = false;
    if (reader_via_ == Via::Loop) {
      reader = std::move(reader_);
      reader_via_ = Via::None;
    }
  }
  if (WakeTarget* t = reader.target()) t->set_loop_wait(nullptr);
  reader.wake();
}

void ReadinessCell::leave_loop_locked() noexcept {
  if (!loop_) return;
  // Before the descriptor is closed or moves to another set: a number
  // reused later must not find a stale entry. A child created by fork()
  // shares the set with its parent, whose entry this is: it only forgets.
  if (!loop_->foreign()) ::epoll_ctl(loop_->epfd_, EPOLL_CTL_DEL, fd_, nullptr);
  loop_->forget(loop_key_);
  loop_.reset();
  loop_key_ = 0;
  loop_reads_ = false;
}

void ReadinessCell::direct_events(std::uint32_t events) noexcept {
  if (events & (kDirectHangUp | kDirectError)) broken_.store(true, std::memory_order_release);
}

void ReadinessCell::close() noexcept {
  Waker reader;
  Waker writer;
  Waker extra_reader;
  Waker extra_writer;
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    reader = std::move(reader_);
    writer = std::move(writer_);
    extra_reader = std::move(extra_reader_);
    extra_writer = std::move(extra_writer_);
    reader_via_ = Via::None;
    leave_loop_locked();
  }
  // Dropped here, outside the lock, without waking.
}

class Reactor {
 public:
  // The reactor of this process; a child created by fork() gets its own,
  // since the parent's epoll instance is shared with it and its thread is not.
  static Result<Reactor*> instance() {
    static std::mutex mutex;
    static Reactor* current = nullptr;
    std::lock_guard lock(mutex);
    const int pid = ::getpid();
    if (current && current->pid_ == pid) return current;
    int epfd = ::epoll_create1(EPOLL_CLOEXEC);
    if (epfd < 0) return fail(last_os_error());
    // Never destroyed: its thread, once started, lives until the process ends.
    current = new Reactor(epfd, pid);
    return current;
  }

  // Starts the thread unless it runs already.
  Status start() {
    if (running_.load(std::memory_order_acquire)) return {};
    std::lock_guard lock(start_mutex_);
    if (running_.load(std::memory_order_relaxed)) return {};
    // The thread takes no signals: they belong to the interpreter's threads,
    // whose blocking calls they are meant to interrupt.
    sigset_t all, previous;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_BLOCK, &all, &previous);
    int start_error = 0;
    try {
      std::thread([this] { run(); }).detach();
    } catch (const std::system_error& e) {
      start_error = e.code().value();
    }
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (start_error != 0) return fail(from_os_error(start_error));
    running_.store(true, std::memory_order_release);
    return {};
  }

  Result<std::uint64_t> add(int fd, std::shared_ptr<ReadinessCell> cell) {
    std::uint64_t id;
    {
      std::lock_guard lock(mutex_);
      id = ++last_id_;
      cell->bind(this, epfd_, fd, id);
      cells_.emplace(id, std::move(cell));
    }
    // Nothing asked for until a waker is armed (hang-ups are reported anyway,
    // once).
    epoll_event ev{};
    ev.events = EPOLLONESHOT;
    ev.data.u64 = id;
    if (::epoll_ctl(epfd_, EPOLL_CTL_ADD, fd, &ev) != 0) {
      PortError e = last_os_error();
      std::lock_guard lock(mutex_);
      cells_.erase(id);
      return fail(std::move(e));
    }
    return id;
  }

  void remove(int fd, std::uint64_t id) noexcept {
    ::epoll_ctl(epfd_, EPOLL_CTL_DEL, fd, nullptr);
    std::lock_guard lock(mutex_);
    cells_.erase(id);
  }

  int pid() const noexcept { return pid_; }

 private:
  Reactor(int epfd, int pid) : epfd_(epfd), pid_(pid) {}

  void run() noexcept {
    ::pthread_setname_np(::pthread_self(), "corvalink");
    epoll_event events[64];
    for (;;) {
      int n = ::epoll_wait(epfd_, events, 64, -1);
      if (n < 0) {
        if (errno == EINTR) continue;
        return;  // the epoll descriptor is gone; nothing left to serve
      }
      for (int i = 0; i < n; ++i) {
        std::shared_ptr<ReadinessCell> cell;
        {
          std::lock_guard lock(mutex_);
          auto it = cells_.find(events[i].data.u64);
          if (it == cells_.end()) continue;  // deregistered meanwhile
          cell = it->second;
        }
        cell->notify(events[i].events);
      }
    }
  }

  const int epfd_;
  const int pid_;
  std::mutex start_mutex_;
  std::atomic<bool> running_{false};
  std::mutex mutex_;
  std::uint64_t last_id_ = 0;
  std::unordered_map<std::uint64_t, std::shared_ptr<ReadinessCell>> cells_;
};

Status ReadinessCell::arm_read(const Waker& waker) {
  if (LoopPoller* poller = loop_poller_for(waker); poller && arm_read_on_loop(*poller, waker)) return {};
  if (Status started = reactor_->start(); !started) return started;
  std::lock_guard lock(mutex_);
  if (closed_) return {};
  if (!reader_.will_wake(waker)) reader_ = waker;
  reader_via_ = Via::Reactor;
  if (WakeTarget* t = waker.target()) t->set_loop_wait(nullptr);
  reactor_reads_ = true;
  watch_locked();
  // A loop's set that still asks for reads would wake its loop for nothing.
  if (loop_reads_ && !loop_->foreign()) {
    epoll_event ev{};
    ev.events = EPOLLET;
    ev.data.u64 = loop_key_;
    if (::epoll_ctl(loop_->epfd_, EPOLL_CTL_MOD, fd_, &ev) == 0) loop_reads_ = false;
  }
  return {};
}

bool ReadinessCell::arm_read_on_loop(LoopPoller& poller, const Waker& waker) {
  std::lock_guard lock(mutex_);
  if (closed_) return true;  // nothing to wait for: a later look says so
  if (process_identity() != process_ || poller.foreign()) return false;
  constexpr std::uint32_t kReads = EPOLLIN | EPOLLRDHUP | EPOLLPRI | EPOLLET;
  if (loop_.get() != &poller) {
    leave_loop_locked();
    std::uint64_t key = 0;
    try {
      key = poller.enrol(weak_from_this());
    } catch (...) {
    }
    if (key == 0) return false;
    epoll_event ev{};
    ev.events = kReads;
    ev.data.u64 = key;
    if (::epoll_ctl(poller.epfd_, EPOLL_CTL_ADD, fd_, &ev) != 0) {
      poller.forget(key);
      return false;
    }
    loop_ = poller.shared_from_this();
    loop_key_ = key;
    loop_reads_ = true;
  } else if (!loop_reads_) {
    epoll_event ev{};
    ev.events = kReads;
    ev.data.u64 = loop_key_;
    if (::epoll_ctl(poller.epfd_, EPOLL_CTL_MOD, fd_, &ev) != 0) return false;
    loop_reads_ = true;
  }
  if (!reader_.will_wake(waker)) reader_ = waker;
  reader_via_ = Via::Loop;
  if (WakeTarget* t = waker.target()) t->set_loop_wait(&poller);
  // Only the loop wakes for reads now.
  if (reactor_reads_) {
    reactor_reads_ = false;
    watch_locked();
  }
  return true;
}

Status ReadinessCell::arm_write(const Waker& waker) {
  if (Status started = reactor_->start(); !started) return started;
  std::lock_guard lock(mutex_);
  if (closed_) return {};
  if (!writer_.will_wake(waker)) writer_ = waker;
  watch_locked();
  return {};
}

Status ReadinessCell::arm_extra(const Waker& waker, bool readable) {
  if (Status started = reactor_->start(); !started) return started;
  std::lock_guard lock(mutex_);
  if (closed_) return {};
  Waker& slot = readable ? extra_reader_ : extra_writer_;
  if (!slot.will_wake(waker)) slot = waker;
  watch_locked();
  return {};
}

Result<IoRegistration> IoRegistration::add(int fd) {
  auto reactor = Reactor::instance();
  if (!reactor) return fail(std::move(reactor.error()));
  auto cell = std::make_shared<ReadinessCell>();
  auto id = (*reactor)->add(fd, cell);
  if (!id) return fail(std::move(id.error()));
  IoRegistration r;
  r.reactor_ = *reactor;
  r.fd_ = fd;
  r.id_ = *id;
  r.owner_pid_ = (*reactor)->pid();
  r.cell_ = std::move(cell);
  return r;
}

IoRegistration::IoRegistration(IoRegistration&& other) noexcept
    : reactor_(std::exchange(other.reactor_, nullptr)),
      fd_(std::exchange(other.fd_, -1)),
      id_(std::exchange(other.id_, 0)),
      owner_pid_(std::exchange(other.owner_pid_, 0)),
      cell_(std::move(other.cell_)) {}

IoRegistration& IoRegistration::operator=(IoRegistration&& other) noexcept {
  if (this != &other) {
    reset();
    reactor_ = std::exchange(other.reactor_, nullptr);
    fd_ = std::exchange(other.fd_, -1);
    id_ = std::exchange(other.id_, 0);
    owner_pid_ = std::exchange(other.owner_pid_, 0);
    cell_ = std::move(other.cell_);
  }
  return *this;
}

IoRegistration::~IoRegistration() { reset(); }

void IoRegistration::reset() noexcept {
  if (!reactor_) return;
  cell_->close();
  // In a child created by fork() the epoll instance still belongs to the
  // parent as well: removing the descriptor there would silence the parent.
  if (owner_pid_ == ::getpid()) reactor_->remove(fd_, id_);
  reactor_ = nullptr;
  cell_.reset();
}

}  // namespace corvalink::posix

namespace corvalink {

std::shared_ptr<LoopPoller> LoopPoller::create() noexcept {
  const int epfd = ::epoll_create1(EPOLL_CLOEXEC);
  if (epfd < 0) return nullptr;
  try {
    return std::shared_ptr<LoopPoller>(new LoopPoller(epfd, process_identity()));
  } catch (...) {
    ::close(epfd);
    errno = ENOMEM;
    return nullptr;
  }
}

LoopPoller::~LoopPoller() {
  if (epfd_ >= 0) ::close(epfd_);
}

bool LoopPoller::add_doorbell(int fd) noexcept {
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = 0;
  return ::epoll_ctl(epfd_, EPOLL_CTL_ADD, fd, &ev) == 0;
}

bool LoopPoller::foreign() const noexcept { return process_identity() != process_; }

bool LoopPoller::serve() noexcept {
  // A child created by fork() would take its parent's events.
  if (foreign()) return false;
  epoll_event events[64];
  int n;
  do {
    n = ::epoll_wait(epfd_, events, 64, 0);
  } while (n < 0 && errno == EINTR);
  bool rang = false;
  for (int i = 0; i < n; ++i) {
    if (events[i].data.u64 == 0) {
      rang = true;
      continue;
    }
    std::shared_ptr<posix::ReadinessCell> cell;
    {
      std::lock_guard lock(mutex_);
      auto it = cells_.find(events[i].data.u64);
      if (it != cells_.end()) cell = it->second.lock();
    }
    if (cell) cell->notify_loop(*this, events[i].events);
  }
  return rang;
}

void LoopPoller::close(bool release_set) noexcept {
  std::unordered_map<std::uint64_t, std::weak_ptr<posix::ReadinessCell>> cells;
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    cells.swap(cells_);
  }
  for (auto& [key, weak] : cells)
    if (std::shared_ptr<posix::ReadinessCell> cell = weak.lock()) cell->loop_gone(*this);
  // No cell refers to the set any more, and none can join.
  if (release_set && epfd_ >= 0) ::close(std::exchange(epfd_, -1));
}

std::uint64_t LoopPoller::enrol(std::weak_ptr<posix::ReadinessCell> cell) {
  std::lock_guard lock(mutex_);
  if (closed_) return 0;
  const std::uint64_t key = ++last_key_;
  cells_.emplace(key, std::move(cell));
  return key;
}

void LoopPoller::forget(std::uint64_t key) noexcept {
  std::lock_guard lock(mutex_);
  cells_.erase(key);
}

}  // namespace corvalink
