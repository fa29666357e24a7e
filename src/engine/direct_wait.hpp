// Waiting on a device descriptor from the thread that drives the operation.
//
// While a thread drives a pollable itself (block_on, run_for), its parker can
// wait on device descriptors together with its own wake-up, so the kernel
// wakes that thread directly instead of going through the reactor thread. A
// backend whose poll is pending asks direct_wait(cx); when it gets one, it
// calls watch() instead of arming the reactor. Worker threads have none.
//
// A watch lasts for one wait: it is dropped after the parker wakes (or when
// the driving loop ends), and the next poll registers again if it is still
// pending. Unlike arming a waker, a watch needs no further attempt at the
// operation before reporting pending: the wait looks at the descriptor's
// level, so readiness that came after the failed attempt ends it at once.
#pragma once

#include <cstdint>
#include <memory>

#include "engine/poll.hpp"

namespace corvalink {

// Readiness bits of a watch and of what the wait saw.
enum DirectEvent : std::uint32_t {
  kDirectReadable = 1u << 0,
  kDirectWritable = 1u << 1,
  kDirectHangUp = 1u << 2,  // reported only, never asked for
  kDirectError = 1u << 3,   // reported only, never asked for
};

// Told what the wait saw on a watched descriptor (on the waiting thread,
// before it polls again). Kept alive by the watch until the wait ends.
class DirectWaitSink {
 public:
  virtual void direct_events(std::uint32_t events) noexcept = 0;

 protected:
  ~DirectWaitSink() = default;
};

class DirectWait {
 public:
  // Adds fd to the next wait of this thread for `events` (readable and/or
  // writable). False if it cannot be watched (no room, no wake descriptor):
  // the caller then arms the reactor as usual.
  virtual bool watch(int fd, std::uint32_t events, std::shared_ptr<DirectWaitSink> sink) = 0;

 protected:
  ~DirectWait() = default;
};

// The direct wait of the calling thread if it is driving a pollable with the
// waker of cx right now, else null.
DirectWait* direct_wait(const Context& cx) noexcept;

}  // namespace corvalink
