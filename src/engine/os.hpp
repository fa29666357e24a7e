// The little the engine asks of the operating system, behind one interface:
// engine/posix/os_posix.cpp and engine/win32/os_windows.cpp implement it, so
// the engine's own files include no platform header.
#pragma once

#include <cstddef>
#include <cstdint>

namespace corvalink::os {

// Names the calling thread "corvalink" where the system keeps thread names.
void name_this_thread() noexcept;

// This process as the engine tells processes apart, never 0: on POSIX a
// fork generation bumped in every child created by fork() (a pthread_atfork
// hook installed at load; the process id where the hook could not be
// installed), on Windows the process id. Compared instead of asking the
// system, which costs a call on every operation.
std::uint64_t process_identity() noexcept;

// A thread's direct wait: poll() on some descriptors and on a wake
// descriptor of its own (an eventfd) that another thread can signal. Only
// Linux has it; elsewhere make_wake_descriptor() fails and a thread parks
// on its condition variable.
struct PollSlot {
  int fd = -1;
  std::uint32_t events = 0;  // kDirect* bits (direct_wait.hpp) asked for
  std::uint32_t ready = 0;   // kDirect* bits seen
};
// A new wake descriptor of this process, or -1.
int make_wake_descriptor() noexcept;
// True while `fd` was made by this process (not inherited over fork()).
bool wake_descriptor_is_ours(int fd) noexcept;
void close_wake_descriptor(int fd) noexcept;
// Makes a wait on `fd` return; a write that lands after that wait ended makes
// the next one return at once.
void signal_wake_descriptor(int fd) noexcept;
// Waits until `wake_fd` is signalled (and drains it), a slot is ready, or
// timeout_ms passes (-1: no limit). Fills the slots' ready bits; returns how
// many slots are ready, or -1 when the wait was interrupted.
int poll_with_wake(int wake_fd, PollSlot* slots, std::size_t count, int timeout_ms) noexcept;

}  // namespace corvalink::os
