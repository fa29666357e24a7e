// The operation task: an operation run on the runtime and the record of how it
// ended. What callers rely on: cancel() true means the operation did nothing,
// a read's bytes nobody receives go back to the port in order, subscribers
// are told once and in order, and waiters wake.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <numeric>
#include <thread>
#include <vector>

#include "engine_support.hpp"
#include "engine/operation_task.hpp"

namespace corvalink::test {
namespace {

// Records the order in which it was told, on a shared list.
class Recorder final : public Subscriber {
 public:
  Recorder(std::shared_ptr<std::vector<int>> seen, std::shared_ptr<std::mutex> mutex, int id)
      : seen_(std::move(seen)), mutex_(std::move(mutex)), id_(id) {}
  void finished(OperationTask&) noexcept override {
    {
      std::lock_guard lock(*mutex_);
      seen_->push_back(id_);
    }
    delete this;
  }

 private:
  std::shared_ptr<std::vector<int>> seen_;
  std::shared_ptr<std::mutex> mutex_;
  int id_;
};

TaskRef spawned(OperationPtr op, PortRef source = nullptr) {
  TaskRef task = OperationTask::create(std::move(op), std::move(source), OperationTask::Start::Queued);
  task->spawn();
  return task;
}

std::string received_text(OperationTask& task) {
  std::optional<OperationOutcome> o = task.receive();
  if (!o) return "<pending>";
  return read_text(*o);
}

TEST(OperationTask, FinishedFirstStepNeedsNoTaskAndAPendingOneRunsWhereItWaits) {
  PortRef port = open_loopback();
  put(port, "ab");
  TaskRef now = OperationTask::create(make_read(port, 2), port, OperationTask::Start::FirstStepHere);
  EXPECT_TRUE(now->first_step(false));
  EXPECT_EQ(received_text(*now), "ab");

  TaskRef later = OperationTask::create(make_read(port, 2), port, OperationTask::Start::FirstStepHere);
  EXPECT_FALSE(later->first_step(false));
  put(port, "cd");  // wakes it: it goes on on a worker
  ASSERT_TRUE(later->wait_for(kHang));
  EXPECT_EQ(received_text(*later), "cd");
}

TEST(OperationTask, CancelOfAPendingReadStopsItAndFreesTheReadSide) {
  PortRef port = open_loopback();
  set_timeouts(*port, TimeoutValue());
  TaskRef task = spawned(make_read(port, 4), port);
  std::this_thread::sleep_for(5ms);
  EXPECT_TRUE(task->cancel());
  EXPECT_TRUE(task->cancelled());
  EXPECT_FALSE(task->cancel());
  put(port, "next");
  EXPECT_EQ(read_text(run(make_read(port, 4))), "next");
}

TEST(OperationTask, ACancelledReadGivesBackWhatItTookAheadOfLaterBytes) {
  PortRef port = open_loopback();
  set_timeouts(*port, TimeoutValue());
  TaskRef task = spawned(make_read(port, 10), port);
  put(port, "12345");
  while (*port->bytes_to_read() != 0) std::this_thread::yield();  // the read took them
  std::this_thread::sleep_for(5ms);
  EXPECT_TRUE(task->cancel());  // nothing happened, as far as anyone can tell
  put(port, "678");
  EXPECT_EQ(*port->bytes_to_read(), 8u);
  EXPECT_EQ(read_text(run(make_read(port, 8))), "12345678");
}

TEST(OperationTask, CancelRacingTheBytesNeverLosesOrDuplicatesThem) {
  PortRef port = open_loopback();
  set_timeouts(*port, TimeoutValue());
  std::string got;
  constexpr int kRounds = 400;
  for (int i = 0; i < kRounds; ++i) {
    TaskRef task = spawned(make_read(port, 1), port);
    std::thread writer([&] { put(port, std::string(1, static_cast<char>('a' + i % 26))); });
    if (task->cancel()) {
      writer.join();
      got += read_text(run(make_read(port, 1)));
    } else {
      writer.join();
      ASSERT_TRUE(task->wait_for(kHang));
      got += received_text(*task);
    }
  }
  std::string want;
  for (int i = 0; i < kRounds; ++i) want += static_cast<char>('a' + i % 26);
  EXPECT_EQ(got, want);
  EXPECT_EQ(*port->bytes_to_read(), 0u);
}

TEST(OperationTask, AWriteThatMovedBytesEndsWithItsCountInsteadOfCancelled) {
  PortRef port = open_loopback();
  set_timeouts(*port, TimeoutValue());
  TaskRef task = spawned(make_write(port, ByteString(5000, 'w'), false));
  while (*port->bytes_to_read() < 4096) std::this_thread::yield();  // the ring is full: it waits
  std::this_thread::sleep_for(5ms);
  EXPECT_FALSE(task->cancel());
  EXPECT_FALSE(task->cancelled());
  EXPECT_EQ(count_of(*task->receive()), 4096u);

  TaskRef idle = spawned(make_write(port, ByteString(10, 'x'), false));  // the ring is still full
  std::this_thread::sleep_for(5ms);
  EXPECT_TRUE(idle->cancel());  // it wrote nothing
  EXPECT_EQ(*port->bytes_to_read(), 4096u);
}

TEST(OperationTask, AReadNobodyCanReceiveGivesItsBytesBackBeforeTheNextReader) {
  PortRef port = open_loopback();
  set_timeouts(*port, TimeoutValue());
  // Its first step here takes the read side before the next read exists.
  TaskRef orphan = OperationTask::create(make_read(port, 3), port, OperationTask::Start::FirstStepHere);
  ASSERT_FALSE(orphan->first_step(false));
  orphan->drop_receiver();  // its only caller went away
  TaskRef next = spawned(make_read(port, 3), port);  // queued behind it
  put(port, "abc");
  ASSERT_TRUE(next->wait_for(kHang));
  EXPECT_EQ(received_text(*next), "abc");
  EXPECT_TRUE(orphan->cancelled());
}

TEST(OperationTask, SubscribersAreToldOnceInRegistrationOrder) {
  PortRef port = open_loopback();
  set_timeouts(*port, TimeoutValue());
  auto seen = std::make_shared<std::vector<int>>();
  auto mutex = std::make_shared<std::mutex>();
  TaskRef task = spawned(make_read(port, 1), port);
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(task->subscribe(new Recorder(seen, mutex, i)));
  put(port, "z");
  ASSERT_TRUE(task->wait_for(kHang));
  // Registration after the end: not taken, the caller serves itself.
  Recorder late(seen, mutex, 99);
  EXPECT_FALSE(task->subscribe(&late));
  for (Instant end = Clock::now() + kHang; Clock::now() < end; std::this_thread::yield()) {
    std::lock_guard lock(*mutex);
    if (seen->size() == 5) break;
  }
  std::lock_guard lock(*mutex);
  EXPECT_EQ(*seen, (std::vector<int>{0, 1, 2, 3, 4}));
}

// A canceller that loses to the operation's end publishes too (the Python
// face cancels without publishing, then publishes once it holds the
// interpreter again), at the same time as the thread that ended it: each
// subscriber is still told exactly once.
TEST(OperationTask, ACancelLosingToTheEndStillTellsEachSubscriberOnce) {
  PortRef port = open_loopback();
  set_timeouts(*port, TimeoutValue());
  auto seen = std::make_shared<std::vector<int>>();
  auto mutex = std::make_shared<std::mutex>();
  constexpr int kRounds = 300;
  for (int i = 0; i < kRounds; ++i) {
    TaskRef task = spawned(make_read(port, 1), port);
    ASSERT_TRUE(task->subscribe(new Recorder(seen, mutex, i)));
    // The byte arrives before the cancel or during it.
    std::thread writer([&] {
      if (i % 2) put(port, "x");
    });
    if (i % 2 == 0) put(port, "x");
    (void)task->cancel(/*publish_now=*/false);
    task->publish_pending();
    writer.join();
    ASSERT_TRUE(task->wait_for(kHang));
    if (task->cancelled())
      (void)run(make_read(port, 1));  // the byte it left
    else
      (void)task->receive();
  }
  for (Instant end = Clock::now() + kHang; Clock::now() < end; std::this_thread::yield()) {
    std::lock_guard lock(*mutex);
    if (seen->size() >= static_cast<std::size_t>(kRounds)) break;
  }
  std::this_thread::sleep_for(20ms);  // a second telling would land by now
  std::lock_guard lock(*mutex);
  std::vector<int> sorted = *seen;
  std::sort(sorted.begin(), sorted.end());
  std::vector<int> want(kRounds);
  std::iota(want.begin(), want.end(), 0);
  EXPECT_EQ(sorted, want);
}

TEST(OperationTask, AKeptBackOutcomeIsPublishedByFinishDeferredOnly) {
  PortRef port = open_loopback();
  TaskRef task = OperationTask::create(make_write(port, bytes("hi"), false), nullptr,
                                       OperationTask::Start::FirstStepHere);
  ASSERT_TRUE(task->first_step(true));
  EXPECT_EQ(task->phase(), OperationTask::Phase::Finishing);
  EXPECT_FALSE(task->finished());
  EXPECT_FALSE(task->cancel());  // it wrote: there is nothing left to cancel
  EXPECT_EQ(*port->bytes_to_read(), 2u);
  task->finish_deferred();
  EXPECT_TRUE(task->finished());
  EXPECT_EQ(count_of(*task->receive()), 2u);
}

TEST(OperationTask, CancelsFromManyThreadsAgreeOnOneWinner) {
  PortRef port = open_loopback();
  set_timeouts(*port, TimeoutValue());
  for (int round = 0; round < 100; ++round) {
    TaskRef task = spawned(make_read(port, 1), port);
    std::atomic<int> winners{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back([&] { winners += task->cancel() ? 1 : 0; });
    for (auto& t : threads) t.join();
    EXPECT_EQ(winners.load(), 1);
  }
  // As every owner of a port does: a read cancelled after it registered with
  // the device leaves its wake-up there until the port's next event, and
  // that wake-up keeps its task, which keeps the port.
  port->close();
}

}  // namespace
}  // namespace corvalink::test
