// Readiness notification for non-blocking descriptors on POSIX systems.
//
// One process-wide thread (named "corvalink", started when the first waker is
// armed) waits in epoll and wakes the task that last found a descriptor
// not ready. A descriptor joins the epoll set's watch only when a waker is
// first armed for it (then for good, edge-triggered), so a port whose
// callers only wait on the descriptor themselves (direct_wait.hpp) never
// wakes the reactor thread. A poll that finds nothing to do arms its waker
// and then tries once more, so readiness that came before the waker was
// stored is not lost. A process whose callers only ever wait themselves
// never starts the thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "direct_wait.hpp"
#include "errors.hpp"
#include "poll.hpp"

namespace corvalink::posix {

// The wakers of one descriptor; shared by its registration and the reactor
// thread, which may still hold it for a moment after deregistration. It also
// learns of hang-ups seen by a direct wait on the descriptor.
class Reactor;

class ReadinessCell final : public DirectWaitSink {
 public:
  // Called by the reactor before the descriptor is added to its epoll set.
  void bind(Reactor* reactor, int epfd, int fd, std::uint64_t id) noexcept;
  // Fail with the OS error when the reactor thread cannot be started.
  Status arm_read(const Waker& waker) { return arm(reader_, waker); }
  Status arm_write(const Waker& waker) { return arm(writer_, waker); }
  // Called by the reactor thread with the epoll event bits.
  void notify(std::uint32_t events) noexcept;
  // Drops the stored wakers without waking them; later notifications do nothing.
  void close() noexcept;
  // From the thread that waited on the descriptor itself.
  void direct_events(std::uint32_t events) noexcept override;
  // True once the reactor or a direct wait saw a hang-up or error on the
  // descriptor. Set before the waiter is woken, so a woken poll always sees it.
  bool broken() const noexcept { return broken_.load(std::memory_order_acquire); }

 private:
  // Stores the waker in its slot (under mutex_) and asks epoll for an event.
  Status arm(Waker& slot, const Waker& waker);
  // Asks epoll for one event for the armed wakers; under mutex_.
  void watch_locked() noexcept;

  std::atomic<bool> broken_{false};
  Reactor* reactor_ = nullptr;
  int epfd_ = -1;
  int fd_ = -1;
  std::uint64_t id_ = 0;
  std::uint64_t process_ = 0;
  std::mutex mutex_;
  Waker reader_;
  Waker writer_;
  bool closed_ = false;
  std::uint32_t watched_ = 0;  // the events asked for in the set (under mutex_)
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
  Status arm_write(const Waker& waker) { return cell_->arm_write(waker); }
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
