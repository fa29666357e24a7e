// Coroutine frames and race order (task.hpp).
#include "engine/task.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <new>

namespace corvalink {

namespace detail {
namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kPoolFrames = false;  // let the sanitizer see every frame
#else
constexpr bool kPoolFrames = true;
#endif

constexpr std::size_t kGrain = 32;
constexpr std::size_t kClasses = 64;  // frames up to 2 KiB are recycled
constexpr std::uint8_t kKeep = 16;    // per size class and thread

struct FreeBlock {
  FreeBlock* next;
};

struct FrameCache {
  std::array<FreeBlock*, kClasses> heads{};
  std::array<std::uint8_t, kClasses> counts{};
  ~FrameCache();
};

thread_local bool t_cache_gone = false;
thread_local FrameCache t_cache;

FrameCache::~FrameCache() {
  t_cache_gone = true;
  for (std::size_t c = 0; c < kClasses; ++c) {
    while (FreeBlock* b = heads[c]) {
      heads[c] = b->next;
      ::operator delete(b, (c + 1) * kGrain);
    }
  }
}

}  // namespace

void* allocate_frame(std::size_t size) {
  std::size_t c = (size + kGrain - 1) / kGrain - 1;
  if (!kPoolFrames || c >= kClasses) return ::operator new(size);
  if (t_cache_gone) return ::operator new((c + 1) * kGrain);
  FrameCache& cache = t_cache;
  if (FreeBlock* b = cache.heads[c]) {
    cache.heads[c] = b->next;
    --cache.counts[c];
    return b;
  }
  return ::operator new((c + 1) * kGrain);
}

void free_frame(void* p, std::size_t size) noexcept {
  std::size_t c = (size + kGrain - 1) / kGrain - 1;
  if (!kPoolFrames || c >= kClasses) return ::operator delete(p, size);
  if (!t_cache_gone) {
    FrameCache& cache = t_cache;
    if (cache.counts[c] < kKeep) {
      auto* b = static_cast<FreeBlock*>(p);
      b->next = cache.heads[c];
      cache.heads[c] = b;
      ++cache.counts[c];
      return;
    }
  }
  ::operator delete(p, (c + 1) * kGrain);
}

bool coin() noexcept {
  thread_local std::uint64_t x = 0;
  if (x == 0) {
    x = static_cast<std::uint64_t>(Clock::now().time_since_epoch().count()) ^
        reinterpret_cast<std::uintptr_t>(&x) ^ 0x9E3779B97F4A7C15ull;
    if (x == 0) x = 1;
  }
  x ^= x << 13;
  x ^= x >> 7;
  x ^= x << 17;
  return (x >> 32) & 1;
}

}  // namespace detail

}  // namespace corvalink
