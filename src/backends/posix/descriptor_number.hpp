// The number of a backend's descriptor, shared with the claims on it
// (DescriptorClaim in engine/backend.hpp).
//
// An event loop's selector (asyncio's, libuv's) keeps its own record of the
// numbers registered with it; a number closed and reused before the loop
// unregistered it leaves the new file out of the kernel's set while the loop
// believes it watches it. So while a claim lives, closing does not give the
// number back: the device's file is closed at once (dup3 of a placeholder
// onto the number), and the number is closed when the last claim goes. The
// placeholder is an empty epoll set: pollable, so a loop may still add,
// change or remove the number, and never ready.
#pragma once

#include <memory>

#include "engine/backend.hpp"

namespace corvalink::posix {

class DescriptorNumber {
 public:
  explicit DescriptorNumber(int fd);
  DescriptorNumber(const DescriptorNumber&) = delete;
  DescriptorNumber& operator=(const DescriptorNumber&) = delete;
  ~DescriptorNumber() { close(); }

  int get() const noexcept { return fd_; }
  DescriptorClaim claim() const { return DescriptorClaim{fd_, number_}; }
  // Closes the file; the number goes now, or with the last claim.
  void close() noexcept;

 private:
  struct Owned;
  int fd_;
  std::shared_ptr<Owned> number_;
};

}  // namespace corvalink::posix
