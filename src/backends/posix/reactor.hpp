// Readiness notification for non-blocking descriptors on POSIX systems.
//
// One process-wide thread (named "corvalink", started when the first waker is
// armed) waits in epoll and wakes the task that last found a descriptor
// not ready. A descriptor joins the epoll set's watch only when a waker is
// first armed for it (then edge-triggered), so a port whose callers only
// wait on the descriptor themselves (direct_wait.hpp) never wakes the
// reactor thread. A poll that finds nothing to do arms its waker and then
// tries once more, so readiness that came before the waker was stored is not
// lost. A process whose callers only ever wait themselves never starts the
// thread.
//
// An event loop has a set of its own (LoopPoller): a read whose step runs on
// the loop's thread waits there, and the loop's thread runs its next step
// when the set turns readable, so an awaited read costs no thread at all.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "engine/direct_wait.hpp"
#include "engine/errors.hpp"
#include "engine/poll.hpp"

namespace corvalink::posix {

// The wakers of one descriptor; shared by its registration and the reactor
// thread, which may still hold it for a moment after deregistration. It also
// learns of hang-ups seen by a direct wait on the descriptor.
//
// A reader waits on the reactor thread, or, when an event loop's thread runs
// its step (LoopPollScope), on that loop's poller: the descriptor then sits
// in the loop's set as well, and the reactor's set stops asking for reads so
// that only the loop wakes. Switching between the two costs a system call;
// a task that keeps waiting the same way costs none.
class Reactor;

class ReadinessCell final : public DirectWaitSink, public std::enable_shared_from_this<ReadinessCell> {
 public:
  // Called by the reactor before the descriptor is added to its epoll set.
  void bind(Reactor* reactor, int epfd, int fd, std::uint64_t id) noexcept;
  // Fail with the OS error when the reactor thread cannot be started.
  Status arm_read(const Waker& waker);
  Status arm_write(const Waker& waker);
  // Arms a waker of its own for readability or writability, beside the
  // reader's and the writer's: for a side that waits on the other side's
  // readiness (a network port's writer waiting for the server's resume, its
  // reader waiting for room for replies), so neither displaces the other.
  Status arm_extra(const Waker& waker, bool readable);
  // Called by the reactor thread with the epoll event bits.
  void notify(std::uint32_t events) noexcept;
  // Called by a loop poller (the loop's thread, detached) with the bits.
  void notify_loop(LoopPoller& poller, std::uint32_t events) noexcept;
  // A reader waiting on a loop's poller goes back to the reactor thread (it
  // is woken once, and arms there): someone needs its outcome without that
  // loop running.
  void kick_loop_reader() noexcept;
  // The poller is going away with its loop: what waits there is kicked.
  void loop_gone(LoopPoller& poller) noexcept;
  // Drops the stored wakers without waking them; later notifications do nothing.
  void close() noexcept;
  // From the thread that waited on the descriptor itself.
  void direct_events(std::uint32_t events) noexcept override;
  // True once the reactor or a direct wait saw a hang-up or error on the
  // descriptor. Set before the waiter is woken, so a woken poll always sees it.
  bool broken() const noexcept { return broken_.load(std::memory_order_acquire); }

 private:
  enum class Via : std::uint8_t { None, Reactor, Loop };
  // Arms the reader on the loop's poller; false if that poller cannot take it.
  bool arm_read_on_loop(LoopPoller& poller, const Waker& waker);
  // Asks the reactor's epoll for the events the armed wakers need; under mutex_.
  void watch_locked() noexcept;
  // Leaves the loop poller's set; under mutex_.
  void leave_loop_locked() noexcept;
  // The broken flag from epoll bits; true when they say so.
  bool note_broken(std::uint32_t events) noexcept;

  std::atomic<bool> broken_{false};
  Reactor* reactor_ = nullptr;
  int epfd_ = -1;
  int fd_ = -1;
  std::uint64_t id_ = 0;
  std::uint64_t process_ = 0;
  std::mutex mutex_;
  Waker reader_;
  Waker writer_;
  Waker extra_reader_;  // see arm_extra
  Waker extra_writer_;
  Via reader_via_ = Via::None;
  bool closed_ = false;
  bool reactor_reads_ = false;  // the reactor's set asks for reads
  std::uint32_t watched_ = 0;   // the events asked for in the reactor's set
  std::shared_ptr<LoopPoller> loop_;  // the loop poller whose set holds the descriptor
  std::uint64_t loop_key_ = 0;
  bool loop_reads_ = false;  // that set asks for reads
};

// A descriptor's registration with the reactor; deregisters on destruction.
// It does not own the descriptor, which must stay open while registered.
class IoRegistration {
 public:
  IoRegistration() = default;
  IoRegistration(IoRegistration&& other) noexcept;
  IoRegistration& operator=(IoRegistration&& other) noexcept;
  ~IoRegistration();

  // Registers fd for read and write readiness. Fails with the OS error (for
  // example EPERM for a descriptor that cannot be polled).
  static Result<IoRegistration> add(int fd);

  Status arm_read(const Waker& waker) { return cell_->arm_read(waker); }
  void kick_loop_reader() noexcept {
    if (cell_) cell_->kick_loop_reader();
  }
  Status arm_write(const Waker& waker) { return cell_->arm_write(waker); }
  Status arm_extra(const Waker& waker, bool readable) { return cell_->arm_extra(waker, readable); }
  // Has the caller's own wait watch the descriptor instead; false if it can't.
  bool watch(DirectWait& wait, std::uint32_t events) { return wait.watch(fd_, events, cell_); }
  bool broken() const noexcept { return cell_->broken(); }

 private:
  void reset() noexcept;

  Reactor* reactor_ = nullptr;
  int fd_ = -1;
  std::uint64_t id_ = 0;
  int owner_pid_ = 0;
  std::shared_ptr<ReadinessCell> cell_;
};

}  // namespace corvalink::posix

namespace corvalink {

// An event loop's own epoll set, which the loop watches with add_reader (the
// set's descriptor is readable while events wait in it). Reads started or
// woken on the loop's thread wait here, and the loop's thread runs their next
// step itself when it serves the set: no thread in between. The loop's
// doorbell (outcomes from other threads) sits in the same set.
class LoopPoller : public std::enable_shared_from_this<LoopPoller> {
 public:
  // Null (errno set) when no epoll set can be made.
  static std::shared_ptr<LoopPoller> create() noexcept;
  ~LoopPoller();
  LoopPoller(const LoopPoller&) = delete;
  LoopPoller& operator=(const LoopPoller&) = delete;

  int fd() const noexcept { return epfd_; }
  // True in a child created by fork() after the set was made: the set (and
  // the doorbell in it) is still its parent's, so the child never touches
  // it; it only closes its own copy of the descriptor.
  bool foreign() const noexcept;
  // Adds the doorbell (an eventfd), reported by serve().
  bool add_doorbell(int fd) noexcept;
  // On the loop's thread, detached: runs the steps of the reads that became
  // ready. True if the doorbell rang.
  bool serve() noexcept;
  // The loop is gone: every read waiting here goes back to the reactor
  // thread, and nothing joins any more. The set's descriptor stays open
  // until the poller goes, unless `release_set`: then it is closed now (the
  // loop was collected, so no selector holds its number any more).
  void close(bool release_set = false) noexcept;

 private:
  friend class posix::ReadinessCell;
  LoopPoller(int epfd, std::uint64_t process) noexcept : epfd_(epfd), process_(process) {}
  // A key for the cell's descriptor in the set; 0 once closed.
  std::uint64_t enrol(std::weak_ptr<posix::ReadinessCell> cell);
  void forget(std::uint64_t key) noexcept;

  int epfd_;  // -1 once released by close(); read only by its cells and the loop's thread
  const std::uint64_t process_;  // process_identity() of the process that made it
  std::mutex mutex_;
  bool closed_ = false;  // guarded by mutex_
  std::uint64_t last_key_ = 0;
  std::unordered_map<std::uint64_t, std::weak_ptr<posix::ReadinessCell>> cells_;
};

}  // namespace corvalink
