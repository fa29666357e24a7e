// UUCP lock files: the convention by which terminal programs (minicom,
// ser2net, the uucp tools) keep off a serial device another process uses.
//
// The lock for /dev/<path> is <dir>/LCK..<path> with every '/' turned into
// '_' (LCK..ttyUSB0, LCK..pts_3); for a device elsewhere it is named after
// the last component of its path. Ours holds the owner's PID in ASCII,
// right-aligned in ten characters, and a newline. It is written under a
// temporary name and linked into place, so nobody reads it half-written.
//
// Other writers' locks are read in every form they are written in: ASCII
// with white space around the PID and perhaps a program name after it
// ("     1234 minicom\n", "\t1234\n"), or the PID as a 4-byte binary int.
// A lock that names a live process (our own excepted) refuses the device.
// One that names a process that is gone, or a PID no process can have
// (zero, negative, beyond pid_t), is stale and replaced. Anything else at
// the lock path is left alone and refuses the device with a message naming
// it: a file that names no process (garbage, or empty: its writer may not
// have written its PID yet), a file we cannot read, a symbolic link (never
// followed, whatever it points at), a directory or other non-file.
//
// A directory we cannot write in is not an error: the device is then used
// without a lock file of ours (a stale lock we may not remove, too).
//
// Every lock file this process holds is also in a process-wide registry;
// an exit hook removes those that still name this process, so a port that
// outlives the interpreter (a daemon thread still in a read at exit) does
// not leave its lock behind. A child made by fork() starts with an empty
// registry, and never removes a file that names its parent.
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
  // ({lock file})", and when something else that is not stale is there
  // ("the port's lock file ...", naming it).
  static Result<UucpLock> acquire(std::string_view directory, std::string_view device);

  // The lock file this object holds; empty when it holds none.
  const std::string& path() const noexcept { return path_; }
  void release() noexcept;

 private:
  explicit UucpLock(std::string path);
  std::string path_;
};

// What the exit hook does: removes every registered lock file that still
// names this process (nothing in a child made by fork()). For the tests.
void remove_lock_files_at_exit() noexcept;

}  // namespace corvalink::posix
