#include "backends/loopback/loopback.hpp"

#include <algorithm>
#include <cstring>

namespace corvalink {

// Wake-ups are collected under the lock and fired after it is released, so a
// woken task never contends for the lock we still hold.

Poll<Status> LoopbackBackend::poll_read(Context& cx, ReadBuf& buf) {
  Waker to_wake;
  {
    std::lock_guard lock(mutex_);
    if (size_ == 0) {
      if (!reader_.will_wake(cx.waker())) reader_ = cx.waker();
      return Pending;
    }
    std::size_t n = std::min(size_, buf.remaining());
    std::size_t first = std::min(n, kCapacity - head_);
    std::memcpy(buf.data + buf.filled, ring_ + head_, first);
    std::memcpy(buf.data + buf.filled + first, ring_, n - first);
    buf.filled += n;
    head_ = (head_ + n) % kCapacity;
    size_ -= n;
    if (size_ == 0) head_ = 0;
    to_wake = std::move(writer_);
  }
  to_wake.wake();
  return Status{};
}

Poll<Result<std::size_t>> LoopbackBackend::poll_write(Context& cx, Bytes data) {
  Waker to_wake;
  std::size_t n;
  {
    std::lock_guard lock(mutex_);
    n = std::min(kCapacity - size_, data.size());
    if (!data.empty() && n == 0) {
      if (!writer_.will_wake(cx.waker())) writer_ = cx.waker();
      return Pending;
    }
    std::size_t tail = (head_ + size_) % kCapacity;
    std::size_t first = std::min(n, kCapacity - tail);
    std::memcpy(ring_ + tail, data.data(), first);
    std::memcpy(ring_, data.data() + first, n - first);
    size_ += n;
    if (n) to_wake = std::move(reader_);
  }
  to_wake.wake();
  return Result<std::size_t>(n);
}

Status LoopbackBackend::configure(const PortSettings&, bool rts, bool dtr) {
  std::lock_guard lock(mutex_);
  rts_ = rts;
  dtr_ = dtr;
  return {};
}

Status LoopbackBackend::set_rts(bool level) {
  std::lock_guard lock(mutex_);
  rts_ = level;
  return {};
}

Status LoopbackBackend::set_dtr(bool level) {
  std::lock_guard lock(mutex_);
  dtr_ = level;
  return {};
}

Result<bool> LoopbackBackend::read_cts() {
  std::lock_guard lock(mutex_);
  return rts_;
}

Result<bool> LoopbackBackend::read_dsr() {
  std::lock_guard lock(mutex_);
  return dtr_;
}

Result<std::uint64_t> LoopbackBackend::bytes_to_read() {
  std::lock_guard lock(mutex_);
  return static_cast<std::uint64_t>(size_);
}

Status LoopbackBackend::purge(bool input, bool output) {
  Waker to_wake;
  {
    std::lock_guard lock(mutex_);
    if (!input && !output) return {};
    head_ = size_ = 0;
    to_wake = std::move(writer_);
  }
  to_wake.wake();
  return {};
}

}  // namespace corvalink
