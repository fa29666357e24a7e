#include "backends/posix/descriptor_number.hpp"

#include <fcntl.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

namespace corvalink::posix {

namespace {

// The placeholder file, made with the first device and kept for the process (a child
// created by fork() shares it, which does no harm: nothing is ever added).
int placeholder() noexcept {
  static std::once_flag once;
  static int fd = -1;
  std::call_once(once, [] { fd = ::epoll_create1(EPOLL_CLOEXEC); });
  return fd;
}

}  // namespace

struct DescriptorNumber::Owned {
  int fd;
  ~Owned() { ::close(fd); }
};

DescriptorNumber::DescriptorNumber(int fd) : fd_(fd), number_(std::make_shared<Owned>(fd)) {
  // Made with the first device, not at its first close: a process's count of
  // descriptors does not move later for it.
  placeholder();
}

void DescriptorNumber::close() noexcept {
  if (!number_) return;
  // Claims are made under the port's device lock from a live backend only,
  // so once none is seen here none can appear.
  if (number_.use_count() > 1) {
    const int keep = placeholder();
    int r = -1;
    if (keep >= 0) {
      do {
        r = ::dup3(keep, fd_, O_CLOEXEC);
      } while (r < 0 && errno == EINTR);
    }
    // Without a placeholder the device itself keeps the number until the
    // last claim goes: closed late rather than a number reused too early.
    (void)r;
  }
  number_.reset();
}

}  // namespace corvalink::posix
