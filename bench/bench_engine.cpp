// Engine costs: the buffered-read fast path, a loopback round trip, task
// hops and timer registration. Reports only.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "backends/open.hpp"
#include "engine/port.hpp"
#include "engine/runtime.hpp"
#include "engine/sync.hpp"
#include "engine/task.hpp"

namespace {

std::atomic<long> g_allocations{0};

}  // namespace

// Counts every heap allocation of the process.
void* operator new(std::size_t n) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace corvalink {
namespace {

using namespace std::chrono_literals;

struct NullTarget final : WakeTarget {
  void wake() noexcept override {}
};

PortRef open_loopback() {
  PortRef port = PortHandle::create(open_backend);
  (void)port->change_port("loop://");
  (void)port->open();
  return port;
}

// A read whose bytes are already queued, driven by one poll on this thread.
// allocs/iter counts the write operation, the read operation and the result
// buffer together.
void BM_BufferedReadFirstPoll(benchmark::State& state) {
  (void)runtime();
  PortRef port = open_loopback();
  port->store_settings([](PortSettings& s) { s.timeout = TimeoutValue::floating(1.0); });
  Waker waker = Waker::adopt(new NullTarget);
  Context cx(waker);
  const ByteString payload(64, 'x');
  long not_first_poll = 0;
  long allocations = 0;
  for (auto _ : state) {
    OperationPtr w = make_write(port, payload, true);
    if (w->poll(cx).pending()) state.SkipWithError("write waited");
    w.reset();
    long before = g_allocations.load(std::memory_order_relaxed);
    OperationPtr r = make_read(port, payload.size());
    auto out = r->poll(cx);
    r.reset();
    allocations += g_allocations.load(std::memory_order_relaxed) - before;
    if (out.pending()) ++not_first_poll;
    benchmark::DoNotOptimize(out);
  }
  state.counters["read_allocs_per_iter"] = benchmark::Counter(static_cast<double>(allocations) / state.iterations());
  state.counters["not_first_poll"] = static_cast<double>(not_first_poll);
}
BENCHMARK(BM_BufferedReadFirstPoll);

// write 4096 then read 4096 through block_on.
void BM_LoopbackRoundTrip4096(benchmark::State& state) {
  (void)runtime();
  PortRef port = open_loopback();
  const ByteString payload(4096, 'y');
  for (auto _ : state) {
    OperationPtr w = make_write(port, payload, true);
    auto written = block_on(*w);
    OperationPtr r = make_read(port, payload.size());
    auto read = block_on(*r);
    benchmark::DoNotOptimize(written);
    benchmark::DoNotOptimize(read);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 4096);
}
BENCHMARK(BM_LoopbackRoundTrip4096);

// The same through a reader on another thread, so the writer waits for room:
// every 4096 bytes cost two cross-thread wake-ups.
void BM_LoopbackStream(benchmark::State& state) {
  (void)runtime();
  PortRef port = open_loopback();
  const std::size_t chunk = 1 << 20;
  const ByteString payload(chunk, 'z');
  for (auto _ : state) {
    OperationPtr r = make_read(port, chunk);
    auto reader = std::thread([&] { benchmark::DoNotOptimize(block_on(*r)); });
    OperationPtr w = make_write(port, payload, false);
    benchmark::DoNotOptimize(block_on(*w));
    reader.join();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(chunk));
}
BENCHMARK(BM_LoopbackStream)->UseRealTime();

// Spawn a task that wakes this thread: one hop to a worker and back.
void BM_SpawnAndWake(benchmark::State& state) {
  Runtime* rt = *runtime();
  struct Ping final : Runtime::Job {
    std::atomic<bool>* done;
    Waker back;
    Poll<std::monostate> poll(Context&) override {
      done->store(true, std::memory_order_release);
      back.wake();
      return std::monostate{};
    }
  };
  for (auto _ : state) {
    std::atomic<bool> done{false};
    auto job = std::make_unique<Ping>();
    job->done = &done;
    job->back = detail::current_waker();
    TaskHandle h = rt->spawn(std::move(job));
    struct UntilDone {
      std::atomic<bool>& done;
      Poll<std::monostate> poll(Context&) {
        if (done.load(std::memory_order_acquire)) return std::monostate{};
        return Pending;
      }
    };
    block_on(UntilDone{done});
  }
}
BENCHMARK(BM_SpawnAndWake)->UseRealTime();

// A timer that registers and is dropped before it fires.
void BM_TimerRegisterAndDrop(benchmark::State& state) {
  (void)runtime();
  Waker waker = Waker::adopt(new NullTarget);
  Context cx(waker);
  for (auto _ : state) {
    Sleep s(Clock::now() + 1h);
    benchmark::DoNotOptimize(s.poll(cx));
  }
}
BENCHMARK(BM_TimerRegisterAndDrop);

// A sleep of 100 us through the workers' timer facility (wake-up latency).
void BM_ShortSleep(benchmark::State& state) {
  (void)runtime();
  for (auto _ : state) block_on(sleep_for(100us));
}
BENCHMARK(BM_ShortSleep)->UseRealTime();

}  // namespace
}  // namespace corvalink
