#include "zalCountingAllocator.h"

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>

namespace zal::test {
namespace {

std::atomic<size_t> gLive{0};
std::atomic<size_t> gTotal{0};
std::atomic<size_t> gPeak{0};
std::atomic<size_t> gBaseline{0};

void* Allocate(size_t size) {
  void* block = std::malloc(size == 0 ? 1 : size);
  if (!block)
    throw std::bad_alloc();
  const size_t usable = ::malloc_usable_size(block);
  gTotal += usable;
  const size_t live = gLive += usable;
  size_t peak = gPeak.load();
  while (live > peak && !gPeak.compare_exchange_weak(peak, live)) {
  }
  return block;
}

void Release(void* block) {
  if (!block)
    return;
  gLive -= ::malloc_usable_size(block);
  std::free(block);
}

}  // namespace

void ResetAllocationFigures() {
  gTotal = 0;
  gBaseline = gLive.load();
  gPeak = gLive.load();
}

AllocationFigures CurrentAllocationFigures() {
  return {gTotal.load(), gPeak.load() - std::min(gPeak.load(), gBaseline.load())};
}

}  // namespace zal::test

void* operator new(size_t size) { return zal::test::Allocate(size); }
void* operator new[](size_t size) { return zal::test::Allocate(size); }
void operator delete(void* block) noexcept { zal::test::Release(block); }
void operator delete[](void* block) noexcept { zal::test::Release(block); }
void operator delete(void* block, size_t) noexcept { zal::test::Release(block); }
void operator delete[](void* block, size_t) noexcept { zal::test::Release(block); }
