// UUCP lock files: the convention by which terminal programs (minicom,
// ser2net, the uucp tools) keep off a serial device another process uses.
//
// The lock for /dev/<path> is <dir>/LCK..<path> with every '/' turned into
// '_' (LCK..ttyUSB0, LCK..pts_3); for a device elsewhere it is named after
// the last component of its path. It holds the owner's PID in ASCII,
// right-aligned in ten characters, and a newline. It is written under a
// temporary name and linked into place, so nobody reads it half-written.
//
// A lock that names a live process (our own excepted) refuses the device;
// one that names no live process is stale and replaced. A directory we
// cannot write in is not an error: the device is then used without a lock
// file of ours.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "engine/errors.hpp"

namespace corvalink::posix {

inline constexpr std::string_view kLockDirectory = "/run/lock";

// The name of the device's lock file, without the directory.
std::string uucp_lock_name(std::string_view device);

// Holds the lock file while it lives (if one could be made); removes it at
// the end, as long as it still names this process.
class UucpLock {
 public:
  UucpLock() = default;
  UucpLock(UucpLock&& other) noexcept : path_(std::exchange(other.path_, {})) {}
  UucpLock& operator=(UucpLock&& other) noexcept;
  ~UucpLock() { release(); }

  // Takes the lock in `directory`. Fails (EBUSY) when the lock file names a
  // live process, with the message "the port is locked by process {pid}
  // ({lock file})".
  static Result<UucpLock> acquire(std::string_view directory, std::string_view device);

  // The lock file this object holds; empty when it holds none.
  const std::string& path() const noexcept { return path_; }
  void release() noexcept;

 private:
  explicit UucpLock(std::string path) : path_(std::move(path)) {}
  std::string path_;
};

}  // namespace corvalink::posix
