#include "backends/posix/uucp_lock.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <format>
#include <optional>

namespace corvalink::posix {

namespace {

struct LockFile {
  bool exists = false;
  std::optional<pid_t> pid;  // none: no PID in it
};

// What the lock file at path says. A FIFO planted there does not make this wait.
LockFile look(const std::string& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return {errno != ENOENT, std::nullopt};
  char buf[32];
  ssize_t n;
  do {
    n = ::read(fd, buf, sizeof buf);
  } while (n < 0 && errno == EINTR);
  ::close(fd);
  LockFile found{true, std::nullopt};
  if (n <= 0) return found;
  std::string_view text(buf, static_cast<std::size_t>(n));
  const auto start = text.find_first_not_of(' ');
  if (start == std::string_view::npos) return found;
  long long pid = 0;
  std::size_t i = start;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9' && pid <= INT_MAX; ++i) pid = pid * 10 + (text[i] - '0');
  if (i == start || pid <= 0 || pid > INT_MAX) return found;
  if (i < text.size() && text.substr(i).find_first_not_of(" \n") != std::string_view::npos) return found;
  found.pid = static_cast<pid_t>(pid);
  return found;
}

bool alive(pid_t pid) { return ::kill(pid, 0) == 0 || errno == EPERM; }

// Our lock's content under a temporary name in the directory; empty when
// the directory cannot be written.
std::string write_temporary(const std::string& directory) {
  std::string path = directory + "/LTMP.XXXXXX";
  int fd = ::mkstemp(path.data());
  if (fd < 0) return {};
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

}  // namespace

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

UucpLock& UucpLock::operator=(UucpLock&& other) noexcept {
  if (this != &other) {
    release();
    path_ = std::exchange(other.path_, {});
  }
  return *this;
}

void UucpLock::release() noexcept {
  if (path_.empty()) return;
  // Only a file that still names this process is ours to remove (a child
  // made by fork() that drops the port leaves the parent's lock alone).
  if (look(path_).pid == ::getpid()) ::unlink(path_.c_str());
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

  // Linking fails if the name exists, so of two processes that find a stale
  // lock at once each gets the device only through its own link.
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (!temporary.empty()) {
      if (::link(temporary.c_str(), path.c_str()) == 0) return UucpLock(path);
      if (errno != EEXIST) {
        // A file system without hard links, or one we may not write: no lock file.
        return UucpLock();
      }
    }
    const LockFile found = look(path);
    if (!found.exists) {
      if (temporary.empty()) return UucpLock();
      continue;
    }
    // This process's own lock (made by the program itself) is not ours to take or remove.
    if (found.pid == ::getpid()) return UucpLock();
    if (found.pid && alive(*found.pid)) {
      return fail(PortError::failure(std::format("the port is locked by process {} ({})", *found.pid, path), EBUSY));
    }
    // Stale: nobody alive holds it.
    if (temporary.empty() || (::unlink(path.c_str()) != 0 && errno != ENOENT)) return UucpLock();
  }
  return fail(PortError::failure(std::format("the port's lock file keeps changing ({})", path), EBUSY));
}

}  // namespace corvalink::posix
