// The asynchronous lock and the notification, polled by hand.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "engine_support.hpp"
#include "engine/sync.hpp"

namespace corvalink::test {
namespace {

TEST(AsyncMutex, ServesWaitersInArrivalOrder) {
  AsyncMutex m;
  Probe pa, pb, pc;
  auto a = m.lock(), b = m.lock(), c = m.lock();
  auto ga = a.poll(pa.cx());
  ASSERT_TRUE(ga.ready());
  ASSERT_TRUE(b.poll(pb.cx()).pending());
  ASSERT_TRUE(c.poll(pc.cx()).pending());
  EXPECT_FALSE(m.try_lock());

  ga.value().reset();
  EXPECT_EQ(pb.wakes(), 1);
  EXPECT_EQ(pc.wakes(), 0);
  EXPECT_TRUE(c.poll(pc.cx()).pending());  // c is still behind b
  auto gb = b.poll(pb.cx());
  ASSERT_TRUE(gb.ready());

  gb.value().reset();
  EXPECT_EQ(pc.wakes(), 1);
  auto gc = c.poll(pc.cx());
  ASSERT_TRUE(gc.ready());
  gc.value().reset();
  EXPECT_TRUE(m.try_lock());
}

TEST(AsyncMutex, AbandonedAcquireGivesUpItsPlace) {
  struct Case {
    const char* name;
    bool handed_permit;  // dropped after the permit reached it, or while queued
  };
  for (Case c : {Case{"queued", false}, Case{"granted", true}}) {
    SCOPED_TRACE(c.name);
    AsyncMutex m;
    Probe p1, p2, p3;
    auto first = m.lock();
    auto held = first.poll(p1.cx());
    ASSERT_TRUE(held.ready());
    std::optional<AsyncMutex::Acquire> dropped(std::in_place, m);
    auto last = m.lock();
    ASSERT_TRUE(dropped->poll(p2.cx()).pending());
    ASSERT_TRUE(last.poll(p3.cx()).pending());
    if (c.handed_permit) {
      held.value().reset();
      EXPECT_EQ(p2.wakes(), 1);
      dropped.reset();  // passes the permit on
    } else {
      dropped.reset();
      held.value().reset();
    }
    EXPECT_EQ(p3.wakes(), 1);
    EXPECT_TRUE(last.poll(p3.cx()).ready());
  }
}

TEST(AsyncMutex, DroppingTheOnlyWaiterLeavesNothingQueued) {
  AsyncMutex m;
  Probe p;
  AsyncMutex::Guard held = m.try_lock();
  ASSERT_TRUE(held);
  std::optional<AsyncMutex::Acquire> waiter(std::in_place, m);
  ASSERT_TRUE(waiter->poll(p.cx()).pending());
  waiter.reset();
  held.reset();  // no one to hand it to: free again
  EXPECT_TRUE(m.try_lock());
}

// Threads take the lock and release it as fast as they can, most often
// without contention and now and then behind each other; the count kept
// under the lock (a plain integer, so the sanitizer sees any overlap) must
// come out exact.
TEST(AsyncMutex, NeverLetsTwoHoldersInUnderContention) {
  AsyncMutex m;
  long count = 0;
  constexpr int kThreads = 4, kRounds = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      Probe p;
      for (int i = 0; i < kRounds; ++i) {
        auto acquire = m.lock();
        for (;;) {
          auto granted = acquire.poll(p.cx());
          if (granted.ready()) {
            ++count;
            break;
          }
          std::this_thread::yield();
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(count, long{kThreads} * kRounds);
  EXPECT_TRUE(m.try_lock());
}

TEST(Notify, NotifyOneStoresOnePermit) {
  Notify n;
  n.notify_one();
  n.notify_one();
  Probe p;
  auto first = n.waiter();
  EXPECT_TRUE(first.poll(p.cx()).ready());
  auto second = n.waiter();
  EXPECT_TRUE(second.poll(p.cx()).pending());
  n.notify_one();
  EXPECT_EQ(p.wakes(), 1);
  EXPECT_TRUE(second.poll(p.cx()).ready());
}

TEST(Notify, NotifyOneWakesTheOldestWaiter) {
  Notify n;
  Probe p1, p2;
  auto w1 = n.waiter(), w2 = n.waiter();
  ASSERT_TRUE(w1.poll(p1.cx()).pending());
  ASSERT_TRUE(w2.poll(p2.cx()).pending());
  n.notify_one();
  EXPECT_EQ(p1.wakes(), 1);
  EXPECT_EQ(p2.wakes(), 0);
  EXPECT_TRUE(w1.poll(p1.cx()).ready());
  EXPECT_TRUE(w2.poll(p2.cx()).pending());
}

TEST(Notify, DroppedWaiterPassesAnUnconsumedNotificationOn) {
  Notify n;
  Probe p1, p2;
  std::optional<Notify::Waiter> w1(std::in_place, n);
  auto w2 = n.waiter();
  ASSERT_TRUE(w1->poll(p1.cx()).pending());
  ASSERT_TRUE(w2.poll(p2.cx()).pending());
  n.notify_one();
  w1.reset();
  EXPECT_EQ(p2.wakes(), 1);
  EXPECT_TRUE(w2.poll(p2.cx()).ready());
}

TEST(Notify, NotifyWaitersReachesOnlyRegisteredWaiters) {
  Notify n;
  Probe p;
  auto polled = n.waiter();
  auto enabled = n.waiter();
  auto created = n.waiter();
  ASSERT_TRUE(polled.poll(p.cx()).pending());
  enabled.enable();
  n.notify_waiters();
  EXPECT_EQ(p.wakes(), 1);  // the enabled waiter has no waker yet
  EXPECT_TRUE(polled.poll(p.cx()).ready());
  EXPECT_TRUE(enabled.poll(p.cx()).ready());
  EXPECT_TRUE(created.poll(p.cx()).pending());  // nothing stored for later
  auto later = n.waiter();
  EXPECT_TRUE(later.poll(p.cx()).pending());
}

TEST(Notify, NotifyWaitersWakesEveryWaiterOfALongList) {
  // More waiters than one wake-up batch holds.
  Notify n;
  Probe p;
  std::vector<Notify::Waiter> waiters;
  waiters.reserve(100);
  for (int i = 0; i < 100; ++i) waiters.push_back(n.waiter());
  for (auto& w : waiters) ASSERT_TRUE(w.poll(p.cx()).pending());
  n.notify_waiters();
  EXPECT_EQ(p.wakes(), 100);
  for (auto& w : waiters) EXPECT_TRUE(w.poll(p.cx()).ready());
  auto later = n.waiter();
  EXPECT_TRUE(later.poll(p.cx()).pending());
}

TEST(Notify, FiredTellsWithoutRegistering) {
  Notify n;
  Probe p;
  auto w = n.waiter();
  EXPECT_FALSE(w.fired());
  n.notify_one();  // nobody queued: a permit
  EXPECT_TRUE(w.fired());
  EXPECT_TRUE(w.poll(p.cx()).ready());  // consumes it

  auto enabled = n.waiter();
  enabled.enable();
  EXPECT_FALSE(enabled.fired());
  n.notify_waiters();
  EXPECT_TRUE(enabled.fired());
  auto queued = n.waiter();
  ASSERT_TRUE(queued.poll(p.cx()).pending());
  EXPECT_FALSE(queued.fired());
  n.notify_one();
  EXPECT_TRUE(queued.fired());
  EXPECT_EQ(p.wakes(), 1);
}

// A waiter is dropped as soon as it saw its notification, while the notifier
// may still be busy with it: run under the sanitizers, this catches a
// notifier that touches a waiter after handing it the notification.
TEST(Notify, WaiterDroppedRightAfterItsNotificationIsNotTouchedAgain) {
  Notify n;
  std::atomic<bool> done{false};
  std::thread notifier([&] {
    while (!done.load(std::memory_order_relaxed)) {
      n.notify_one();
      n.notify_waiters();
    }
  });
  Probe p;
#ifdef _WIN32
  // Under Wine every round of this contention costs milliseconds.
  constexpr int kRounds = 500;
#else
  constexpr int kRounds = 20000;
#endif
  for (int i = 0; i < kRounds; ++i) {
    auto w = std::make_unique<Notify::Waiter>(n);
    while (w->poll(p.cx()).pending()) {
    }
  }
  done = true;
  notifier.join();
}

}  // namespace
}  // namespace corvalink::test
