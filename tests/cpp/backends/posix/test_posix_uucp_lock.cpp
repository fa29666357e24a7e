// UUCP lock files in a directory of the test's own: names, the file's
// content, the forms of other writers' locks, live, stale and own locks,
// what is not a lock file, directories that cannot be written, and the exit
// hook.
// (tests/python/test_lock_files.py has them in /run/lock, against minicom.)
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <format>
#include <fstream>
#include <sstream>
#include <string>

#include "backends/posix/uucp_lock.hpp"

namespace corvalink::posix {
namespace {

namespace fs = std::filesystem;

std::string content(const fs::path& p) {
  std::ifstream in(p);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}
void put(const fs::path& p, const std::string& text) { std::ofstream(p) << text; }
std::string pid_line(pid_t pid) { return std::format("{:>10}\n", pid); }

// A PID that no process has any more.
pid_t dead_pid() {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ::waitpid(child, nullptr, 0);
  return child;
}

class UucpLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / std::format("corvalink-lock-{}", ::getpid());
    fs::remove_all(dir);
    fs::create_directory(dir);
  }
  void TearDown() override { fs::remove_all(dir); }
  // Only the lock itself is left in the directory: no temporary file.
  std::vector<std::string> files() const {
    std::vector<std::string> out;
    for (auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
    return out;
  }

  fs::path dir;
};

TEST(UucpLockName, IsThePathBelowDevWithSlashesTurnedIntoUnderscores) {
  const std::pair<const char*, const char*> cases[] = {
      {"/dev/ttyUSB0", "ttyUSB0"},
      {"/dev/pts/3", "pts_3"},
      {"/dev/serial/by-id/usb-X_Y-if00", "serial_by-id_usb-X_Y-if00"},
      {"/tmp/ttyV0", "ttyV0"},  // elsewhere: the last component, as minicom names it
      {"ttyS1", "ttyS1"},
  };
  for (auto [device, name] : cases) EXPECT_EQ(uucp_lock_name(device), name) << device;
}

TEST_F(UucpLockTest, HoldsAFileNamingThisProcessUntilReleased) {
  const fs::path path = dir / "LCK..pts_7";
  {
    auto lock = UucpLock::acquire(dir.string(), "/dev/pts/7");
    ASSERT_TRUE(lock) << lock.error().text();
    EXPECT_EQ(lock->path(), path.string());
    EXPECT_EQ(content(path), pid_line(::getpid()));
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
    EXPECT_EQ(files(), std::vector<std::string>{"LCK..pts_7"});
  }
  EXPECT_FALSE(fs::exists(path));
}

// The forms lock writers use, each naming a live process (refused, left as
// it is) and one that is gone (replaced by ours).
TEST_F(UucpLockTest, EveryFormOfPidIsRead) {
  const fs::path path = dir / "LCK..ttyS0";
  const std::pair<const char*, std::string (*)(pid_t)> forms[] = {
      {"ten columns", [](pid_t p) { return std::format("{:>10}\n", p); }},
      {"program name after it", [](pid_t p) { return std::format("     {} minicom\n", p); }},
      {"tab before it", [](pid_t p) { return std::format("\t{}\n", p); }},
      {"no newline", [](pid_t p) { return std::format("{}", p); }},
      {"NUL after it", [](pid_t p) { return std::format("{:>10}", p) + std::string(1, '\0'); }},
      {"user after it", [](pid_t p) { return std::format("{:>10} uucp\r\n", p); }},
      {"4-byte binary", [](pid_t p) {
         const std::int32_t v = p;
         return std::string(reinterpret_cast<const char*>(&v), sizeof v);
       }},
  };
  const pid_t live = ::getppid();
  const pid_t gone = dead_pid();
  for (auto [what, form] : forms) {
    SCOPED_TRACE(what);
    put(path, form(live));
    auto refused = UucpLock::acquire(dir.string(), "/dev/ttyS0");
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().code(), EBUSY);
    EXPECT_EQ(refused.error().text(), std::format("the port is locked by process {} ({})", live, path.string()));
    EXPECT_EQ(content(path), form(live));
    EXPECT_EQ(files().size(), 1u);

    put(path, form(gone));
    auto lock = UucpLock::acquire(dir.string(), "/dev/ttyS0");
    ASSERT_TRUE(lock) << lock.error().text();
    EXPECT_EQ(content(path), pid_line(::getpid()));
    EXPECT_EQ(files().size(), 1u);
  }
}

long long pid_max() {
  long long n = 4194304;
  std::ifstream("/proc/sys/kernel/pid_max") >> n;
  return n;
}

// A PID no process can have is as stale as one whose process is gone.
TEST_F(UucpLockTest, APidNoProcessCanHaveIsStale) {
  const fs::path path = dir / "LCK..ttyS0";
  const std::int32_t minus_one = -1;
  for (std::string stale : {std::string("0\n"), std::string("        -5\n"), std::format("{}\n", pid_max() + 1),
                            std::string("2147483648\n"), std::string("99999999999999999999999\n"),
                            std::string(reinterpret_cast<const char*>(&minus_one), 4)}) {
    SCOPED_TRACE(stale);
    put(path, stale);
    auto lock = UucpLock::acquire(dir.string(), "/dev/ttyS0");
    ASSERT_TRUE(lock) << lock.error().text();
    EXPECT_EQ(content(path), pid_line(::getpid()));
  }
}

// Whatever names no process is left alone and refuses the device: an empty
// file may be a lock whose writer has not written its PID yet.
TEST_F(UucpLockTest, ALockNamingNoProcessIsLeftAlone) {
  const fs::path path = dir / "LCK..ttyS0";
  for (std::string nobody : {std::string(), std::string("garbage\n"), std::string("  \n"), std::string("12abc\n"),
                             std::string("minicom 1234\n"), std::string("-\n")}) {
    SCOPED_TRACE(nobody);
    put(path, nobody);
    auto refused = UucpLock::acquire(dir.string(), "/dev/ttyS0");
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().code(), EBUSY);
    EXPECT_EQ(refused.error().text(), std::format("the port's lock file names no process ({})", path.string()));
    EXPECT_EQ(content(path), nobody);
    EXPECT_EQ(files().size(), 1u);
  }
}

// A symbolic link at the lock path is never followed, wherever it points, and
// nothing but a regular file is taken for a lock; each is left in place.
TEST_F(UucpLockTest, WhatIsNotALockFileRefusesAndStays) {
  const fs::path path = dir / "LCK..ttyS0";
  const fs::path target = dir / "target";
  const std::string link_message =
      std::format("the port's lock file is a symbolic link, which is not followed ({})", path.string());
  const std::string other_message = std::format("the port's lock file is not a regular file ({})", path.string());
  using Make = void (*)(const fs::path& path, const fs::path& target);
  const Make symlink = [](const fs::path& p, const fs::path& t) { fs::create_symlink(t, p); };
  struct Case {
    const char* what;
    std::string target_content;  // empty: no target file
    Make make;
    fs::file_type type;
  };
  const Case cases[] = {
      {"dangling symbolic link", "", symlink, fs::file_type::symlink},
      {"link to a stale lock", pid_line(dead_pid()), symlink, fs::file_type::symlink},
      {"link to a live lock", pid_line(::getppid()), symlink, fs::file_type::symlink},
      {"directory", "", [](const fs::path& p, const fs::path&) { fs::create_directory(p); },
       fs::file_type::directory},
      {"FIFO", "", [](const fs::path& p, const fs::path&) { ASSERT_EQ(::mkfifo(p.c_str(), 0644), 0); },
       fs::file_type::fifo},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (!c.target_content.empty()) put(target, c.target_content);
    c.make(path, target);
    auto refused = UucpLock::acquire(dir.string(), "/dev/ttyS0");
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().code(), EBUSY);
    EXPECT_EQ(refused.error().text(), c.type == fs::file_type::symlink ? link_message : other_message);
    EXPECT_EQ(fs::symlink_status(path).type(), c.type);
    if (!c.target_content.empty()) {
      EXPECT_EQ(content(target), c.target_content);
    }
    EXPECT_EQ(files().size(), c.target_content.empty() ? 1u : 2u);
    fs::remove(path);
    fs::remove(target);
  }
}

// A lock file naming this process was made by the program itself: used, and
// left to it. A lock of ours that someone replaced is not removed either.
TEST_F(UucpLockTest, OnlyItsOwnFileIsRemoved) {
  const fs::path path = dir / "LCK..ttyS0";
  put(path, pid_line(::getpid()));
  {
    auto lock = UucpLock::acquire(dir.string(), "/dev/ttyS0");
    ASSERT_TRUE(lock);
    EXPECT_TRUE(lock->path().empty());
  }
  EXPECT_TRUE(fs::exists(path));
  fs::remove(path);

  auto lock = UucpLock::acquire(dir.string(), "/dev/ttyS0");
  ASSERT_TRUE(lock);
  put(path, pid_line(::getppid()));
  lock->release();
  EXPECT_EQ(content(path), pid_line(::getppid()));
}

TEST_F(UucpLockTest, ADirectoryThatCannotBeWrittenIsNoError) {
  const fs::path not_a_dir = dir / "file";
  put(not_a_dir, "");
  for (const fs::path& d : {dir / "missing", not_a_dir}) {
    auto lock = UucpLock::acquire(d.string(), "/dev/ttyS0");
    ASSERT_TRUE(lock) << d;
    EXPECT_TRUE(lock->path().empty());
  }
  EXPECT_EQ(files(), std::vector<std::string>{"file"});
}

// The exit hook removes the files this process still holds, unless they
// name another process by now; in a child made by fork() it removes nothing.
TEST_F(UucpLockTest, TheExitHookRemovesOnlyOurOwnLocks) {
  auto held = UucpLock::acquire(dir.string(), "/dev/ttyS0");
  auto taken_over = UucpLock::acquire(dir.string(), "/dev/ttyS1");
  ASSERT_TRUE(held && taken_over);
  const fs::path mine = held->path(), theirs = taken_over->path();
  put(theirs, pid_line(::getppid()));

  const pid_t child = ::fork();
  if (child == 0) {
    remove_lock_files_at_exit();
    ::_exit(fs::exists(mine) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a fork child removed its parent's lock";

  remove_lock_files_at_exit();
  EXPECT_FALSE(fs::exists(mine));
  EXPECT_EQ(content(theirs), pid_line(::getppid()));
}

}  // namespace
}  // namespace corvalink::posix
