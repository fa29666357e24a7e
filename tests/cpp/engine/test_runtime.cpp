// The background runtime: workers, tasks, timers, block-in-place, fork guard,
// and the coroutine combinators.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <future>
#include <string>

#include "engine_support.hpp"
#include "engine/sync.hpp"

namespace corvalink::test {
namespace {

#ifndef _WIN32
int threads_named(const std::string& name) {
  int n = 0;
  DIR* dir = opendir("/proc/self/task");
  if (!dir) return -1;
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
    std::string line;
    if (std::getline(comm, line) && line == name) ++n;
  }
  closedir(dir);
  return n;
}
#endif

class FnJob final : public Runtime::Job {
 public:
  using Fn = std::function<Poll<std::monostate>(Context&)>;
  explicit FnJob(Fn fn, std::function<void()> on_drop = {}) : fn_(std::move(fn)), on_drop_(std::move(on_drop)) {}
  ~FnJob() override {
    if (on_drop_) on_drop_();
  }
  Poll<std::monostate> poll(Context& cx) override { return fn_(cx); }

 private:
  Fn fn_;
  std::function<void()> on_drop_;
};

TaskHandle spawn_fn(FnJob::Fn fn, std::function<void()> on_drop = {}) {
  auto rt = runtime();
  EXPECT_TRUE(rt);
  return (*rt)->spawn(std::make_unique<FnJob>(std::move(fn), std::move(on_drop)));
}

#ifndef _WIN32
// Runs in a new process (where nothing has built the runtime yet) by
// re-executing this binary with only this test selected.
TEST(Runtime, StartsExactlyTwoNamedWorkersOnFirstUse) {
  const char* self_test = "Runtime.StartsExactlyTwoNamedWorkersOnFirstUse";
  if (!std::getenv("CORVALINK_FRESH_PROCESS")) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      setenv("CORVALINK_FRESH_PROCESS", "1", 1);
      std::string filter = std::string("--gtest_filter=") + self_test;
      execl("/proc/self/exe", "engine_tests", filter.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    return;
  }

  EXPECT_EQ(threads_named("corvalink"), 0);
  ASSERT_TRUE(runtime());
  // Two jobs that each wait for the other prove two workers run at once.
  std::atomic<int> arrived{0};
  std::promise<void> both;
  auto make = [&] {
    return [&, counted = false](Context&) mutable -> Poll<std::monostate> {
      if (!counted) {
        counted = true;
        if (arrived.fetch_add(1) + 1 == 2) both.set_value();
      }
      while (arrived.load() < 2) std::this_thread::yield();
      return std::monostate{};
    };
  };
  TaskHandle a = spawn_fn(make()), b = spawn_fn(make());
  ASSERT_EQ(both.get_future().wait_for(kHang), std::future_status::ready);
  EXPECT_EQ(threads_named("corvalink"), 2);
  while (!a.finished() || !b.finished()) std::this_thread::yield();  // they use this frame
}

TEST(Runtime, RefusesUseInForkedChild) {
  ASSERT_TRUE(runtime());
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    auto rt = runtime();
    bool forked = !rt && rt.error().kind() == ErrorKind::Forked;
    _exit(forked ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(runtime());  // the parent is unaffected
}
#endif

TEST(Runtime, StartFailureCarriesTheFullOsErrorText) {
  PortError e = detail::runtime_start_failure(EAGAIN);
  EXPECT_EQ(e.kind(), ErrorKind::Failure);
  EXPECT_EQ(e.code(), EAGAIN);
  EXPECT_EQ(e.text(), "failed to start the background runtime: " + os_error_text(EAGAIN) + " (os error " +
                          std::to_string(EAGAIN) + ")");
}

TEST(Runtime, AbortDropsSuspendedJobAndRunsItsCleanUp) {
  Notify never;
  std::promise<void> dropped;
  std::atomic<int> polls{0};
  auto waiter = std::make_shared<Notify::Waiter>(never);
  TaskHandle task = spawn_fn(
      [&, waiter](Context& cx) {
        ++polls;
        return waiter->poll(cx);
      },
      [&] { dropped.set_value(); });
  while (polls.load() == 0) std::this_thread::yield();
  EXPECT_FALSE(task.finished());
  task.abort();
  ASSERT_EQ(dropped.get_future().wait_for(kHang), std::future_status::ready);
  EXPECT_EQ(polls.load(), 1);
  while (!task.finished()) std::this_thread::yield();
}

TEST(Runtime, UnreachableJobIsDroppedOnAWorker) {
  // The only reference left is a waker the test holds; dropping it must not
  // run the job's clean-up on this thread.
  std::mutex m;
  Waker stored;
  auto dropped_on_worker = std::make_shared<std::promise<bool>>();  // outlives this test if need be
  {
    TaskHandle task = spawn_fn(
        [&](Context& cx) -> Poll<std::monostate> {
          std::lock_guard lock(m);
          stored = cx.waker();
          return Pending;
        },
        [dropped_on_worker] { dropped_on_worker->set_value(on_worker_thread()); });
    for (;;) {
      std::lock_guard lock(m);
      if (stored) break;
    }
  }
  std::this_thread::sleep_for(10ms);  // let the task settle as idle
  {
    std::lock_guard lock(m);
    stored = Waker();
  }
  auto f = dropped_on_worker->get_future();
  ASSERT_EQ(f.wait_for(kHang), std::future_status::ready);
  EXPECT_TRUE(f.get());
}

TEST(Runtime, TaskWokenDuringItsPollRunsAgainButNeverOnTwoThreads) {
  std::atomic<bool> in_poll{false};
  std::atomic<int> polls{0};
  std::atomic<bool> overlap{false};
  auto done = std::make_shared<std::promise<void>>();
  Waker shared_waker;
  std::mutex waker_mutex;
  TaskHandle task = spawn_fn(
      [&](Context& cx) -> Poll<std::monostate> {
        if (in_poll.exchange(true)) overlap = true;
        {
          std::lock_guard lock(waker_mutex);
          shared_waker = cx.waker();
        }
        cx.waker().wake();  // wake during the poll
        int n = ++polls;
        in_poll = false;
        if (n == 500) return std::monostate{};
        return Pending;
      },
      [done] { done->set_value(); });
  // Meanwhile another thread keeps waking it too.
  std::atomic<bool> stop{false};
  std::thread hammer([&] {
    while (!stop) {
      Waker w;
      {
        std::lock_guard lock(waker_mutex);
        w = shared_waker;
      }
      w.wake();
    }
  });
  EXPECT_EQ(done->get_future().wait_for(kHang), std::future_status::ready);
  stop = true;
  hammer.join();
  EXPECT_FALSE(overlap.load());
  EXPECT_EQ(polls.load(), 500);
}

TEST(Runtime, TimersFireAtOrAfterTheirDeadlineInAnyOrder) {
  constexpr int kTimers = 40;
  std::atomic<int> fired{0}, early{0};
  std::promise<void> all;
  std::vector<TaskHandle> tasks;
  for (int i = 0; i < kTimers; ++i) {
    Instant deadline = Clock::now() + std::chrono::milliseconds((i * 7) % 31);
    auto sleep = std::make_shared<Sleep>(deadline);
    tasks.push_back(spawn_fn([&, sleep, deadline](Context& cx) -> Poll<std::monostate> {
      if (sleep->poll(cx).pending()) return Pending;
      if (Clock::now() < deadline) ++early;
      if (++fired == kTimers) all.set_value();
      return std::monostate{};
    }));
  }
  // A timer dropped while registered must not disturb the others.
  {
    Probe p;
    Sleep dropped(Clock::now() + 10ms);
    ASSERT_TRUE(dropped.poll(p.cx()).pending());
  }
  ASSERT_EQ(all.get_future().wait_for(kHang), std::future_status::ready);
  EXPECT_EQ(early.load(), 0);
  for (TaskHandle& t : tasks)
    while (!t.finished()) std::this_thread::yield();  // they use this frame
}

TEST(Runtime, BlockInPlaceLetsOtherTasksRun) {
  // Both workers block until a third task runs: only block-in-place frees a
  // thread for it.
  std::promise<void> third_ran;
  std::shared_future<void> gate = third_ran.get_future().share();
  std::atomic<int> finished{0};
  std::promise<void> both;
  auto blocker = [&](Context&) -> Poll<std::monostate> {
    EXPECT_TRUE(on_worker_thread());
    bool ok = block_in_place([&] {
      EXPECT_FALSE(on_worker_thread());
      return gate.wait_for(kHang) == std::future_status::ready;
    });
    EXPECT_TRUE(ok);
    EXPECT_TRUE(on_worker_thread());
    if (++finished == 2) both.set_value();
    return std::monostate{};
  };
  TaskHandle a = spawn_fn(blocker), b = spawn_fn(blocker);
  std::this_thread::sleep_for(20ms);
  TaskHandle c = spawn_fn([&](Context&) -> Poll<std::monostate> {
    third_ran.set_value();
    return std::monostate{};
  });
  EXPECT_EQ(both.get_future().wait_for(kHang), std::future_status::ready);
  for (TaskHandle* t : {&a, &b, &c})
    while (!t->finished()) std::this_thread::yield();  // they use this frame
}

TEST(Races, BothOrdersHappen) {
  int first = 0, second = 0;
  for (int i = 0; i < 200; ++i) (detail::coin() ? first : second)++;
  EXPECT_GT(first, 0);
  EXPECT_GT(second, 0);
}

Co<int> guarded(AsyncMutex& m, Notify& never, int& cleaned) {
  struct Mark {
    int& n;
    ~Mark() { ++n; }
  } mark{cleaned};
  AsyncMutex::Guard g = co_await m.lock();
  co_await never.waiter();
  co_return 1;
}

TEST(Combinators, DroppingASuspendedCoroutineRunsItsDestructors) {
  AsyncMutex m;
  Notify never;
  int cleaned = 0;
  Probe p;
  {
    Co<int> co = guarded(m, never, cleaned);
    ASSERT_TRUE(co.poll(p.cx()).pending());
    EXPECT_FALSE(m.try_lock());
  }
  EXPECT_EQ(cleaned, 1);
  EXPECT_TRUE(m.try_lock());
}

TEST(RunFor, ReturnsNothingWhenTheTimeRunsOutAndTheOutcomeOtherwise) {
  ASSERT_TRUE(runtime());
  struct Never final : PortOperation {
    int polls = 0;
    Poll<OperationOutcome> poll(Context&) override {
      ++polls;
      return Pending;
    }
  } never;
  EXPECT_FALSE(run_for(never, 20ms).has_value());
  EXPECT_GE(never.polls, 2);  // polled again once the time is up
  struct Now final : PortOperation {
    Poll<OperationOutcome> poll(Context&) override { return OperationOutcome(std::uint64_t{3}); }
  } now;
  auto out = run_for(now, 0ns);
  ASSERT_TRUE(out && *out);
  EXPECT_EQ(std::get<std::uint64_t>(**out), 3u);
}

}  // namespace
}  // namespace corvalink::test
