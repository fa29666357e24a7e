// The engine's operating-system layer on POSIX systems (os.hpp).
#include <poll.h>
#include <pthread.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/eventfd.h>
#endif

#include <atomic>
#include <cerrno>
#include <cstring>
#include <format>
#include <type_traits>

#include "engine/direct_wait.hpp"
#include "engine/errors.hpp"
#include "engine/os.hpp"

namespace corvalink::os {

namespace {

// Bumped in a child created by fork().
std::atomic<unsigned> g_fork_generation{0};

void after_fork_in_child() noexcept { g_fork_generation.fetch_add(1, std::memory_order_relaxed); }

// Installed when the library is loaded, before any thread of ours exists;
// false if it could not be (the process id is compared then).
const bool g_fork_handler = ::pthread_atfork(nullptr, nullptr, after_fork_in_child) == 0;

#ifdef __linux__
// The fork generation this thread's wake descriptor was made in: one made
// before a fork is shared with the parent and must not be used in the child.
thread_local unsigned t_wake_fd_generation = 0;

short poll_bits(std::uint32_t events) noexcept {
  short bits = 0;
  if (events & kDirectReadable) bits |= POLLIN;
  if (events & kDirectWritable) bits |= POLLOUT;
  return bits;
}

std::uint32_t direct_bits(short revents) noexcept {
  std::uint32_t events = 0;
  if (revents & (POLLIN | POLLPRI | POLLRDHUP)) events |= kDirectReadable;
  if (revents & POLLOUT) events |= kDirectWritable;
  if (revents & POLLHUP) events |= kDirectHangUp;
  if (revents & POLLERR) events |= kDirectError;
  return events;
}

// The thread's wake descriptor and at most this many watched descriptors.
constexpr std::size_t kMaxSlots = 8;
#endif

}  // namespace

void name_this_thread() noexcept {
#if defined(__linux__)
  pthread_setname_np(pthread_self(), "corvalink");
#elif defined(__APPLE__)
  pthread_setname_np("corvalink");
#endif
}

std::uint64_t process_identity() noexcept {
  if (g_fork_handler) return std::uint64_t{g_fork_generation.load(std::memory_order_relaxed)} + 1;
  return std::uint64_t{static_cast<std::uint32_t>(::getpid())} << 32;
}

#ifdef __linux__
int make_wake_descriptor() noexcept {
  // Without the fork hook a descriptor inherited over fork() could not be
  // told from our own.
  if (!g_fork_handler) return -1;
  const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd >= 0) t_wake_fd_generation = g_fork_generation.load(std::memory_order_relaxed);
  return fd;
}

bool wake_descriptor_is_ours(int fd) noexcept {
  return fd >= 0 && t_wake_fd_generation == g_fork_generation.load(std::memory_order_relaxed);
}

void close_wake_descriptor(int fd) noexcept {
  if (fd >= 0) ::close(fd);
}

void signal_wake_descriptor(int fd) noexcept {
  const std::uint64_t one = 1;
  ssize_t r;
  do {
    r = ::write(fd, &one, sizeof one);
  } while (r < 0 && errno == EINTR);
}

int poll_with_wake(int wake_fd, PollSlot* slots, std::size_t count, int timeout_ms) noexcept {
  pollfd fds[kMaxSlots + 1] = {};
  if (count > kMaxSlots) count = kMaxSlots;
  fds[0] = pollfd{wake_fd, POLLIN, 0};
  for (std::size_t i = 0; i < count; ++i) fds[i + 1] = pollfd{slots[i].fd, poll_bits(slots[i].events), 0};
  // EINTR ends the wait early; the caller polls again and comes back.
  const int n = ::poll(fds, static_cast<nfds_t>(count + 1), timeout_ms);
  if (n < 0) return -1;
  if (n > 0 && (fds[0].revents & POLLIN)) {
    std::uint64_t drained;
    [[maybe_unused]] ssize_t r = ::read(wake_fd, &drained, sizeof drained);
  }
  int ready = 0;
  for (std::size_t i = 0; i < count; ++i) {
    slots[i].ready = n > 0 ? direct_bits(fds[i + 1].revents) : 0;
    if (n > 0 && fds[i + 1].revents) ++ready;
  }
  return ready;
}
#else
int make_wake_descriptor() noexcept { return -1; }
bool wake_descriptor_is_ours(int) noexcept { return false; }
void close_wake_descriptor(int) noexcept {}
void signal_wake_descriptor(int) noexcept {}
int poll_with_wake(int, PollSlot*, std::size_t, int) noexcept { return -1; }
#endif

}  // namespace corvalink::os

namespace corvalink {

// The operating system's error texts (errors.hpp).
std::string os_error_text(std::int32_t code) {
  // strerror_r in its GNU or XSI flavour; both fill or return a text.
  char buf[256] = {};
  auto r = ::strerror_r(code, buf, sizeof buf);
  if constexpr (std::is_same_v<decltype(r), char*>) {
    return r ? std::string(r) : std::format("Unknown error {}", code);
  } else {
    return r == 0 ? std::string(buf) : std::format("Unknown error {}", code);
  }
}

PortError last_os_error() { return from_os_error(errno); }

}  // namespace corvalink
