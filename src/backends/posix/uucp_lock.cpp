#include "backends/posix/uucp_lock.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <format>
#include <mutex>
#include <optional>
#include <vector>

namespace corvalink::posix {

namespace {

// --- the registry of the lock files this process holds ---

struct Registry {
  std::mutex mutex;
  std::vector<std::string> paths;  // one entry per holder
};

// Never destroyed: the exit hook and threads still running at exit use it
// after static destructors. A child made by fork() gets a fresh one (a
// parent thread may have held the mutex at the fork).
std::atomic<Registry*> g_registry{new Registry};

void registry_after_fork_in_child() noexcept { g_registry.store(new (std::nothrow) Registry); }

void registry_add(const std::string& path) noexcept {
  Registry* r = g_registry.load();
  if (!r) return;
  try {
    std::lock_guard lock(r->mutex);
    r->paths.push_back(path);
  } catch (...) {
    // Without the entry the file is still removed by release(), only not at exit.
  }
}

void registry_remove(const std::string& path) noexcept {
  Registry* r = g_registry.load();
  if (!r) return;
  std::lock_guard lock(r->mutex);
  if (auto it = std::ranges::find(r->paths, path); it != r->paths.end()) r->paths.erase(it);
}

void exit_hook() { remove_lock_files_at_exit(); }

// Installed when the library is loaded.
[[maybe_unused]] const bool g_hooks_installed =
    ::pthread_atfork(nullptr, nullptr, registry_after_fork_in_child) == 0 && std::atexit(exit_hook) == 0;

// --- reading a lock file ---

struct LockFile {
  enum class Kind {
    Missing,      // nothing at the path
    Names,        // a file naming a PID (pid), possibly one no process can have
    NamesNobody,  // a file naming no process
    Unreadable,   // a file we cannot read (error)
    Symlink,      // a symbolic link, not followed
    NotAFile,     // a directory, FIFO, socket or device
  };
  Kind kind = Kind::Missing;
  long long pid = 0;
  int error = 0;
};

bool white(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// The PID that a lock file's content names; empty when it names none.
// `size` is the size of the whole file (text may be its beginning). Values
// are capped beyond the range of pid_t, so they stay impossible.
std::optional<long long> named_pid(std::string_view text, long long size) noexcept {
  constexpr long long kCap = 1LL << 40;
  // The binary form: the 4 bytes of an int, as old UUCP wrote it. Real PIDs
  // (below 2^22) always have a zero byte, which no ASCII form has.
  if (size == 4 && text.size() == 4 &&
      std::ranges::any_of(text, [](char c) { return !white(c) && c != '-' && (c < '0' || c > '9'); })) {
    std::int32_t v;
    std::memcpy(&v, text.data(), sizeof v);
    return v;
  }
  // ASCII: white space, the PID (a minus sign makes it impossible), then the
  // end, white space and anything (a program name, a user), or a NUL.
  std::size_t i = 0;
  while (i < text.size() && white(text[i])) ++i;
  const bool negative = i < text.size() && text[i] == '-';
  if (negative) ++i;
  const std::size_t first = i;
  long long v = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) v = std::min(v * 10 + (text[i] - '0'), kCap);
  if (i == first) return std::nullopt;
  if (i < text.size() && !white(text[i]) && text[i] != '\0') return std::nullopt;
  return negative ? -v : v;
}

// What is at the lock path. The path is never followed if it is a symbolic
// link, and nothing but a regular file is opened (a FIFO or a device planted
// there is not opened at all).
LockFile look(const std::string& path) {
  struct stat before;
  if (::lstat(path.c_str(), &before) != 0) {
    // No such file, or no such directory (a lock directory that is missing).
    if (errno == ENOENT || errno == ENOTDIR) return {};
    return {LockFile::Kind::Unreadable, 0, errno};
  }
  if (S_ISLNK(before.st_mode)) return {LockFile::Kind::Symlink};
  if (!S_ISREG(before.st_mode)) return {LockFile::Kind::NotAFile};
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    if (errno == ENOENT) return {};
    if (errno == ELOOP) return {LockFile::Kind::Symlink};
    return {LockFile::Kind::Unreadable, 0, errno};
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return {LockFile::Kind::NotAFile};
  }
  char buf[64];
  std::size_t got = 0;
  int error = 0;
  while (got < sizeof buf) {
    const ssize_t n = ::read(fd, buf + got, sizeof buf - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) error = errno;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  if (error != 0) return {LockFile::Kind::Unreadable, 0, error};
  const auto pid = named_pid(std::string_view(buf, got), static_cast<long long>(st.st_size));
  if (!pid) return {LockFile::Kind::NamesNobody};
  return {LockFile::Kind::Names, *pid};
}

// Whether a PID may belong to a live process. kill() answers for any pid_t
// (ESRCH above pid_max, since no process has such a PID); zero, negative
// values and values beyond pid_t name nobody (kill() would take them for
// process groups).
bool alive(long long pid) {
  if (pid <= 0 || pid > INT_MAX) return false;
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

// An empty file under a temporary name in the directory; empty when the
// directory cannot be written.
std::string make_temporary(const std::string& directory, int* fd_out = nullptr) {
  std::string path = directory + "/LTMP.XXXXXX";
  const int fd = ::mkstemp(path.data());
  if (fd < 0) return {};
  if (fd_out) {
    *fd_out = fd;
  } else {
    ::close(fd);
  }
  return path;
}

// Our lock's content under a temporary name in the directory; empty when
// the directory cannot be written.
std::string write_temporary(const std::string& directory) {
  int fd = -1;
  std::string path = make_temporary(directory, &fd);
  if (path.empty()) return {};
  const std::string content = std::format("{:>10}\n", ::getpid());
  bool ok = ::fchmod(fd, 0644) == 0;
  std::size_t done = 0;
  while (ok && done < content.size()) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<std::size_t>(n);
  }
  ok = ::close(fd) == 0 && ok;
  if (!ok) {
    ::unlink(path.c_str());
    return {};
  }
  return path;
}

enum class Removal { Removed, Changed, NotAllowed };

// Removes a lock judged stale. It is first renamed aside, which is atomic,
// and judged again there: if another process replaced the stale file with
// its own lock since we looked, that lock goes back (unless the name was
// taken again meanwhile, in which case the newer one stands).
Removal remove_stale(const std::string& directory, const std::string& path) {
  const std::string aside = make_temporary(directory);
  if (aside.empty()) return Removal::NotAllowed;
  if (::rename(path.c_str(), aside.c_str()) != 0) {
    const int err = errno;
    ::unlink(aside.c_str());
    return err == ENOENT ? Removal::Changed : Removal::NotAllowed;
  }
  const LockFile moved = look(aside);
  if (moved.kind == LockFile::Kind::Names && !alive(moved.pid)) {
    ::unlink(aside.c_str());
    return Removal::Removed;
  }
  (void)::link(aside.c_str(), path.c_str());
  ::unlink(aside.c_str());
  return Removal::Changed;
}

PortError refused(std::string message) { return PortError::failure(std::move(message), EBUSY); }

}  // namespace

void remove_lock_files_at_exit() noexcept {
  Registry* r = g_registry.load();
  if (!r) return;
  std::vector<std::string> paths;
  {
    std::lock_guard lock(r->mutex);
    paths.swap(r->paths);
  }
  for (const std::string& path : paths) {
    const LockFile found = look(path);
    if (found.kind == LockFile::Kind::Names && found.pid == ::getpid()) ::unlink(path.c_str());
  }
}

std::string uucp_lock_name(std::string_view device) {
  std::string_view rest = device;
  if (rest.starts_with("/dev/")) {
    rest.remove_prefix(5);
  } else if (auto slash = rest.rfind('/'); slash != std::string_view::npos) {
    rest.remove_prefix(slash + 1);
  }
  std::string name(rest);
  std::ranges::replace(name, '/', '_');
  return name;
}

UucpLock::UucpLock(std::string path) : path_(std::move(path)) { registry_add(path_); }

UucpLock& UucpLock::operator=(UucpLock&& other) noexcept {
  if (this != &other) {
    release();
    path_ = std::exchange(other.path_, {});
  }
  return *this;
}

void UucpLock::release() noexcept {
  if (path_.empty()) return;
  registry_remove(path_);
  // Only a file that still names this process is ours to remove (a child
  // made by fork() that drops the port leaves the parent's lock alone).
  const LockFile found = look(path_);
  if (found.kind == LockFile::Kind::Names && found.pid == ::getpid()) ::unlink(path_.c_str());
  path_.clear();
}

Result<UucpLock> UucpLock::acquire(std::string_view directory, std::string_view device) {
  const std::string dir(directory);
  const std::string path = std::format("{}/LCK..{}", dir, uucp_lock_name(device));
  std::string temporary = write_temporary(dir);
  struct Cleanup {
    std::string& path;
    ~Cleanup() {
      if (!path.empty()) ::unlink(path.c_str());
    }
  } cleanup{temporary};

  // Linking fails if the name exists (a symbolic link included, which link()
  // does not follow), so of two processes that find a stale lock at once
  // each gets the device only through its own link.
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (!temporary.empty()) {
      if (::link(temporary.c_str(), path.c_str()) == 0) return UucpLock(path);
      if (errno != EEXIST) {
        // A file system without hard links, or one we may not write: no lock file.
        return UucpLock();
      }
    }
    const LockFile found = look(path);
    switch (found.kind) {
      case LockFile::Kind::Missing:
        if (temporary.empty()) return UucpLock();
        continue;
      case LockFile::Kind::Symlink:
        return fail(refused(std::format("the port's lock file is a symbolic link, which is not followed ({})", path)));
      case LockFile::Kind::NotAFile:
        return fail(refused(std::format("the port's lock file is not a regular file ({})", path)));
      case LockFile::Kind::Unreadable:
        return fail(refused(std::format("the port's lock file cannot be read: {} ({})", os_error_text(found.error), path)));
      case LockFile::Kind::NamesNobody:
        return fail(refused(std::format("the port's lock file names no process ({})", path)));
      case LockFile::Kind::Names:
        break;
    }
    // This process's own lock (made by the program itself) is not ours to take or remove.
    if (found.pid == ::getpid()) return UucpLock();
    if (alive(found.pid)) return fail(refused(std::format("the port is locked by process {} ({})", found.pid, path)));
    // Stale: nobody alive holds it.
    if (temporary.empty()) return UucpLock();
    if (remove_stale(dir, path) == Removal::NotAllowed) return UucpLock();
  }
  return fail(refused(std::format("the port's lock file keeps changing ({})", path)));
}

}  // namespace corvalink::posix
