// Counts the heap this executable holds, through its own operator
// new/delete. Include it from exactly one source file of a benchmark: it
// replaces the global allocation functions.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <malloc.h>
#include <new>

namespace {

// Counting is on only inside the memory benchmarks: the timed ones run the
// engine on the plain allocator, not slowed by two atomics per allocation.
std::atomic<bool> gCounting{false};
std::atomic<int64_t> gLiveBytes{0};
std::atomic<int64_t> gPeakBytes{0};

// Counts from zero while it lives. A block allocated before and freed inside
// lowers the count, so a peak is never overstated.
struct CountingScope {
  CountingScope() {
    gLiveBytes.store(0);
    gPeakBytes.store(0);
    gCounting.store(true);
  }
  ~CountingScope() { gCounting.store(false); }
  CountingScope(const CountingScope &) = delete;
  CountingScope &operator=(const CountingScope &) = delete;
};

void noteAllocation(void *p) {
  if (!p || !gCounting.load(std::memory_order_relaxed))
    return;
  const auto size = static_cast<int64_t>(malloc_usable_size(p));
  const int64_t live = gLiveBytes.fetch_add(size, std::memory_order_relaxed) + size;
  int64_t peak = gPeakBytes.load(std::memory_order_relaxed);
  while (live > peak && !gPeakBytes.compare_exchange_weak(peak, live, std::memory_order_relaxed)) {
  }
}

void noteFree(void *p) {
  if (p && gCounting.load(std::memory_order_relaxed))
    gLiveBytes.fetch_sub(static_cast<int64_t>(malloc_usable_size(p)), std::memory_order_relaxed);
}

} // namespace

void *operator new(size_t size) {
  void *p = std::malloc(size ? size : 1);
  if (!p)
    throw std::bad_alloc();
  noteAllocation(p);
  return p;
}
void *operator new[](size_t size) {
  return operator new(size);
}
void operator delete(void *p) noexcept {
  noteFree(p);
  std::free(p);
}
void operator delete[](void *p) noexcept {
  operator delete(p);
}
void operator delete(void *p, size_t) noexcept {
  operator delete(p);
}
void operator delete[](void *p, size_t) noexcept {
  operator delete(p);
}
