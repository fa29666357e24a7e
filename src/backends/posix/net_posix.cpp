// TCP connections on POSIX systems: a non-blocking socket with TCP_NODELAY,
// woken by the reactor, or by the kernel directly when the thread that
// drives the operation waits on the descriptor itself (direct_wait.hpp), as
// the terminal backend is.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <format>
#include <utility>

#if defined(__linux__)
#include <linux/sockios.h>
#endif

#include "backends/net/net_socket.hpp"
#include "backends/posix/reactor.hpp"

namespace corvalink {

namespace net {
void block_signals_of_this_thread() noexcept {
  sigset_t all;
  ::sigfillset(&all);
  ::pthread_sigmask(SIG_BLOCK, &all, nullptr);
}
}  // namespace net

namespace {

class PosixSocket final : public NetSocket {
 public:
  PosixSocket(int fd, posix::IoRegistration registration) : fd_(fd), registration_(std::move(registration)) {}

  ~PosixSocket() override {
    registration_ = posix::IoRegistration();
    // Unread input makes close() reset the connection, and a reset can
    // discard what the peer has not read yet of ours: take in what is there
    // first.
    std::uint8_t sink[4096];
    for (int i = 0; i < 64; ++i) {
      const ssize_t n = ::recv(fd_, sink, sizeof sink, MSG_DONTWAIT);
      if (n <= 0 && !(n < 0 && errno == EINTR)) break;
    }
    ::close(fd_);
  }

  void kick_loop_reader() noexcept override { registration_.kick_loop_reader(); }

  Poll<Result<std::size_t>> poll_recv(Context& cx, std::span<std::uint8_t> dest, bool arm) override {
    // When nothing is expected yet (the answer to what was just sent, or the
    // input drained by the last receive), a thread that waits on the
    // descriptor itself waits before it receives, which saves a receive that
    // finds nothing; the next poll receives.
    const bool waited_first = std::exchange(waiting_first_, false);
    if (!waited_first && expect_empty_ && arm) {
      if (DirectWait* wait = direct_wait(cx); wait && registration_.watch(*wait, kDirectReadable)) {
        waiting_first_ = true;
        if (std::exchange(unacknowledged_input_, false)) acknowledge();  // as below
        return Pending;
      }
    }
    auto got = transfer(cx, arm, kDirectReadable, [&] { return ::recv(fd_, dest.data(), dest.size(), 0); });
    // More may follow at once unless a receive after a wait got less than
    // half of what it asked for.
    if (got.ready() && got.value()) {
      expect_empty_ = waited_first && *got.value() * 2 < dest.size();
      unacknowledged_input_ = *got.value() > 0;
    }
    if (got.pending()) {
      expect_empty_ = true;
      // About to wait with input not yet acknowledged (no send of ours has
      // carried the acknowledgement since): acknowledge it now. A peer with
      // Nagle's algorithm on holds the rest of a message it sent in pieces
      // until then, and the delayed-ack timer would make that 40 ms.
      if (arm && std::exchange(unacknowledged_input_, false)) acknowledge();
    }
    return got;
  }

  Poll<Result<std::size_t>> poll_send(Context& cx, std::span<const std::uint8_t> data, bool arm) override {
    auto sent = transfer(cx, arm, kDirectWritable, [&] { return ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL); });
    if (sent.ready() && sent.value() && *sent.value() > 0) {
      expect_empty_ = true;            // whatever answers it has not come yet
      unacknowledged_input_ = false;  // the segment carries the acknowledgement
    }
    return sent;
  }

  Status watch_other(Context& cx, bool readable) override {
    const std::uint32_t events = readable ? kDirectReadable : kDirectWritable;
    // A thread that waits itself watches for itself alone.
    if (DirectWait* wait = direct_wait(cx); wait && registration_.watch(*wait, events)) return {};
    return registration_.arm_extra(cx.waker(), readable);
  }

  // The kernel has whatever send() took.
  Poll<Status> poll_sent(Context&) override { return Status{}; }

  Result<std::uint64_t> unacknowledged() override {
#if defined(__linux__) && defined(SIOCOUTQ)
    int n = 0;
    if (::ioctl(fd_, SIOCOUTQ, &n) != 0) return fail(last_os_error());
    return static_cast<std::uint64_t>(n < 0 ? 0 : n);
#else
    return std::uint64_t{0};
#endif
  }

  void acknowledge() noexcept override {
#ifdef TCP_QUICKACK
    const int on = 1;
    (void)::setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
#endif
  }

 private:
  template <class Call>
  Poll<Result<std::size_t>> transfer(Context& cx, bool arm, std::uint32_t events, Call&& call) {
    bool armed = false;
    for (;;) {
      const ssize_t n = call();
      if (n >= 0) return Result<std::size_t>(static_cast<std::size_t>(n));
      const int err = errno;
      if (err == EINTR) continue;
      if (err != EAGAIN && err != EWOULDBLOCK) return Result<std::size_t>(fail(from_os_error(err)));
      if (!arm || armed) return Pending;
      armed = true;
      // The caller's own wait looks at the descriptor's level: no second
      // attempt is needed. The reactor's one-shot arming is followed by one.
      if (DirectWait* wait = direct_wait(cx); wait && registration_.watch(*wait, events)) return Pending;
      Status st = events == kDirectReadable ? registration_.arm_read(cx.waker()) : registration_.arm_write(cx.waker());
      if (!st) return Result<std::size_t>(fail(std::move(st.error())));
    }
  }

  int fd_;
  posix::IoRegistration registration_;
  bool expect_empty_ = false;
  bool waiting_first_ = false;
  bool unacknowledged_input_ = false;
};

struct AddressList {
  int rc = 0;
  int err = 0;  // errno for EAI_SYSTEM
  addrinfo* list = nullptr;

  AddressList() = default;
  AddressList(AddressList&& o) noexcept : rc(o.rc), err(o.err), list(std::exchange(o.list, nullptr)) {}
  AddressList& operator=(AddressList&& o) noexcept {
    std::swap(rc, o.rc);
    std::swap(err, o.err);
    std::swap(list, o.list);
    return *this;
  }
  ~AddressList() {
    if (list) ::freeaddrinfo(list);
  }
};

AddressList lookup(const std::string& host, const std::string& service, int flags) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = flags | AI_NUMERICSERV;
  AddressList r;
  r.rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &r.list);
  if (r.rc == EAI_SYSTEM) r.err = errno;
  return r;
}

// Waits for a non-blocking connect to finish: 0, the connect's error, or
// ETIMEDOUT when the deadline passed.
int finish_connect(int fd, Instant deadline) {
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return ETIMEDOUT;
    pollfd p{fd, POLLOUT, 0};
    const int n = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 1 << 30)));
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) continue;  // the deadline is checked above
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
    return err;
  }
}

}  // namespace

Result<NetSocketPtr> connect_tcp(const NetTarget& target, Instant deadline) {
  const std::string service = std::to_string(target.port);
  // An address needs no lookup; a name is looked up on a thread of its own,
  // so the wait for it keeps to the deadline.
  AddressList addresses = lookup(target.host, service, AI_NUMERICHOST);
  if (addresses.rc == EAI_NONAME) {
    std::optional<AddressList> looked_up = net::run_bounded<AddressList>(
        [host = target.host, service] { return lookup(host, service, 0); }, deadline);
    if (!looked_up) return fail(PortError::failure(std::format("could not resolve host '{}' in time", target.host)));
    addresses = std::move(*looked_up);
  }
  if (addresses.rc != 0) {
    std::string why = addresses.rc == EAI_SYSTEM ? os_error_text(addresses.err) : ::gai_strerror(addresses.rc);
    return fail(PortError::failure(std::format("could not resolve host '{}': {}", target.host, why)));
  }

  PortError last = PortError::failure("no address to connect to");
  for (const addrinfo* a = addresses.list; a; a = a->ai_next) {
    const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      last = last_os_error();
      continue;
    }
    int err = 0;
    if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
      err = errno;
      if (err == EINPROGRESS || err == EINTR) err = finish_connect(fd, deadline);
    }
    if (err == 0) {
      const int on = 1;
      (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      auto registration = posix::IoRegistration::add(fd);
      if (!registration) {
        ::close(fd);
        return fail(std::move(registration.error()));
      }
      return NetSocketPtr(std::make_unique<PosixSocket>(fd, std::move(*registration)));
    }
    ::close(fd);
    if (err == ETIMEDOUT) {
      last = PortError::failure("timed out connecting", ETIMEDOUT);
      break;  // the time is up for the other addresses too
    }
    last = from_os_error(err);
  }
  return fail(std::move(last));
}

}  // namespace corvalink
