// Tasks spawned suspended, and tasks run by the waking thread itself (the
// readiness thread's wake): who runs a job, and that no wake is lost.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "engine_support.hpp"

namespace corvalink::test {
namespace {

using namespace std::chrono_literals;

// Counts its polls and records the thread of the last one; ready after
// `polls_to_finish` polls, parking its waker meanwhile.
class CountingJob final : public Runtime::Job {
 public:
  struct Shared {
    std::atomic<int> polls{0};
    std::atomic<bool> finished{false};
    std::atomic<std::thread::id> last_thread{};
    std::mutex mutex;
    Waker waker;
  };
  CountingJob(std::shared_ptr<Shared> shared, int polls_to_finish)
      : shared_(std::move(shared)), polls_to_finish_(polls_to_finish) {}

  Poll<std::monostate> poll(Context& cx) override {
    shared_->last_thread.store(std::this_thread::get_id());
    if (shared_->polls.fetch_add(1) + 1 >= polls_to_finish_) {
      shared_->finished.store(true);
      return std::monostate{};
    }
    std::lock_guard lock(shared_->mutex);
    shared_->waker = cx.waker();
    return Pending;
  }

 private:
  std::shared_ptr<Shared> shared_;
  int polls_to_finish_;
};

bool eventually(const std::function<bool()>& done) {
  auto end = std::chrono::steady_clock::now() + 5s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

TEST(RuntimeWake, SuspendedTaskRunsOnlyWhenWoken) {
  auto rt = runtime();
  ASSERT_TRUE(rt);
  auto shared = std::make_shared<CountingJob::Shared>();
  auto [handle, waker] = (*rt)->spawn_suspended(std::make_unique<CountingJob>(shared, 1));
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(shared->polls.load(), 0);
  waker.wake();
  EXPECT_TRUE(eventually([&] { return handle.finished(); }));
  EXPECT_EQ(shared->polls.load(), 1);
  EXPECT_NE(shared->last_thread.load(), std::this_thread::get_id());  // a worker ran it
}

TEST(RuntimeWake, WakeFromIoRunsTheTaskOnTheWakingThread) {
  auto rt = runtime();
  ASSERT_TRUE(rt);
  auto shared = std::make_shared<CountingJob::Shared>();
  auto [handle, waker] = (*rt)->spawn_suspended(std::make_unique<CountingJob>(shared, 2));
  waker.wake_from_io();  // first poll, here: it parks its own waker
  EXPECT_EQ(shared->polls.load(), 1);
  EXPECT_EQ(shared->last_thread.load(), std::this_thread::get_id());
  EXPECT_FALSE(running_from_io());  // only while the task runs
  Waker parked;
  {
    std::lock_guard lock(shared->mutex);
    parked = shared->waker;
  }
  parked.wake_from_io();
  EXPECT_TRUE(handle.finished());
  EXPECT_EQ(shared->polls.load(), 2);
}

// Many threads waking the same task, some from "io", some not: every wake
// after the last poll leads to another poll, and the job runs on one thread
// at a time (TSan checks the latter).
TEST(RuntimeWake, MixedWakesLoseNothing) {
  auto rt = runtime();
  ASSERT_TRUE(rt);
  constexpr int kPolls = 2000;
  auto shared = std::make_shared<CountingJob::Shared>();
  auto [handle, first] = (*rt)->spawn_suspended(std::make_unique<CountingJob>(shared, kPolls));
  first.wake();
  std::vector<std::thread> wakers;
  std::atomic<bool> stop{false};
  for (int i = 0; i < 3; ++i) {
    wakers.emplace_back([&, i] {
      while (!stop.load()) {
        Waker w;
        {
          std::lock_guard lock(shared->mutex);
          w = shared->waker;
        }
        if (i == 0)
          w.wake();
        else
          w.wake_from_io();
      }
    });
  }
  EXPECT_TRUE(eventually([&] { return shared->finished.load(); }));
  stop.store(true);
  for (auto& t : wakers) t.join();
  EXPECT_EQ(shared->polls.load(), kPolls);
}

}  // namespace
}  // namespace corvalink::test
