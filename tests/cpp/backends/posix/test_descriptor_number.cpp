// A claimed descriptor number outlives the file it named: closing the device
// must not hand the number to the next open while a selector may hold it.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "backends/posix/descriptor_number.hpp"

namespace corvalink::posix {
namespace {

struct Pty {
  int master = -1, slave = -1;
  Pty() { EXPECT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0); }
  ~Pty() {
    if (master >= 0) ::close(master);
  }
};

bool is_open(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

TEST(DescriptorNumber, WithoutClaimsCloseGivesTheNumberBack) {
  Pty pty;
  const int fd = pty.slave;
  {
    DescriptorNumber number(fd);
    number.close();
    EXPECT_FALSE(is_open(fd));
  }
}

TEST(DescriptorNumber, AClaimKeepsTheNumberOnAnInertPlaceholderUntilItGoes) {
  Pty pty;
  const int fd = pty.slave;
  DescriptorNumber number(fd);
  DescriptorClaim claim = number.claim();
  EXPECT_EQ(claim.fd, fd);
  ASSERT_EQ(::write(pty.master, "x", 1), 1);  // the device's file is readable
  number.close();
  // The device's file is closed (its other side hangs up), the number is not.
  pollfd p{pty.master, POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 1000), 1);
  EXPECT_TRUE(p.revents & POLLHUP);
  ASSERT_TRUE(is_open(fd));
  const int other = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  EXPECT_NE(other, fd) << "the number was reused";
  ::close(other);
  // A selector may still add, change and remove it; it is never ready.
  const int ep = ::epoll_create1(EPOLL_CLOEXEC);
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLOUT;
  EXPECT_EQ(::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev), 0);
  epoll_event out{};
  EXPECT_EQ(::epoll_wait(ep, &out, 1, 0), 0);
  EXPECT_EQ(::epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr), 0);
  ::close(ep);
  claim = DescriptorClaim{};
  EXPECT_FALSE(is_open(fd));
}

}  // namespace
}  // namespace corvalink::posix
