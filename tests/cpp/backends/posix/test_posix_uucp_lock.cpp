// UUCP lock files in a directory of the test's own: names, the file's
// content, live, stale and own locks, and directories that cannot be written.
// (tests/python/test_lock_files.py has them in /run/lock, against minicom.)
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
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

TEST_F(UucpLockTest, ALiveHolderRefusesAStaleOneIsReplaced) {
  const fs::path path = dir / "LCK..ttyS0";
  put(path, pid_line(::getppid()));
  auto refused = UucpLock::acquire(dir.string(), "/dev/ttyS0");
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().code(), EBUSY);
  EXPECT_EQ(refused.error().text(), std::format("the port is locked by process {} ({})", ::getppid(), path.string()));
  EXPECT_EQ(content(path), pid_line(::getppid()));
  EXPECT_EQ(files().size(), 1u);

  // Dead holders, and files that name nobody, are stale.
  for (std::string stale : {pid_line(dead_pid()), std::string("garbage\n"), std::string()}) {
    put(path, stale);
    auto lock = UucpLock::acquire(dir.string(), "/dev/ttyS0");
    ASSERT_TRUE(lock) << stale;
    EXPECT_EQ(content(path), pid_line(::getpid()));
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

}  // namespace
}  // namespace corvalink::posix
