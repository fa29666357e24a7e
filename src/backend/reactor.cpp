#include "backend/reactor.hpp"

#include "runtime.hpp"

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
  // From the first armed reader on, the descriptor stays in the set for
  // reading, edge-triggered: arming again is only a store, with no system
  // call (a task that waits on a terminal over and over would otherwise have
  // the kernel look at the terminal each time). Writing joins only while a
  // writer waits (a terminal is writable after every write, and those edges
  // would wake this thread for nothing). A task arms, then looks at the
  // device once more, so readiness that came before its waker was stored is
  // seen by that look, and readiness after it wakes it.
  const std::uint32_t want = EPOLLIN | EPOLLRDHUP | EPOLLPRI | EPOLLET | (writer_ ? EPOLLOUT : 0u);
  if (want == watched_) return;
  epoll_event ev{};
  ev.events = want;
  ev.data.u64 = id_;
  if (::epoll_ctl(epfd_, EPOLL_CTL_MOD, fd_, &ev) == 0) watched_ = want;
}

void ReadinessCell::notify(std::uint32_t events) noexcept {
  Waker reader;
  Waker writer;
  {
    std::lock_guard lock(mutex_);
    // A hang-up or error ends both directions: each side finds out on its
    // next attempt.
    const bool broken = (events & (EPOLLHUP | EPOLLERR)) != 0;
    if (broken) broken_.store(true, std::memory_order_release);
    if (broken || (events & (EPOLLIN | EPOLLRDHUP | EPOLLPRI))) reader = std::move(reader_);
    if (broken || (events & EPOLLOUT)) writer = std::move(writer_);
    // A writer served: stop watching for writability until one waits again.
    if (writer && (watched_ & EPOLLOUT)) watch_locked();
  }
  reader.wake_from_io();
  writer.wake_from_io();
}

void ReadinessCell::direct_events(std::uint32_t events) noexcept {
  if (events & (kDirectHangUp | kDirectError)) broken_.store(true, std::memory_order_release);
}

void ReadinessCell::close() noexcept {
  Waker reader;
  Waker writer;
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    reader = std::move(reader_);
    writer = std::move(writer_);
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

Status ReadinessCell::arm(Waker& slot, const Waker& waker) {
  if (Status started = reactor_->start(); !started) return started;
  std::lock_guard lock(mutex_);
  if (closed_) return {};
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
