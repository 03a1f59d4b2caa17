#include "support/zalCriticalSection.h"

#include <system_error>

namespace zal {

void TzalCriticalSection::Entered() {
  if (FDepth++ == 0)
    FOwner.store(std::this_thread::get_id(), std::memory_order_relaxed);
}

void TzalCriticalSection::Acquire() {
  try {
    FSection.lock();
  } catch (const std::system_error&) {
    return;
  }
  Entered();
}

void TzalCriticalSection::Release() {
  if (FOwner.load(std::memory_order_relaxed) != std::this_thread::get_id())
    return;
  if (--FDepth == 0)
    FOwner.store(std::thread::id(), std::memory_order_relaxed);
  FSection.unlock();
}

bool TzalCriticalSection::TryAcquire() {
  if (!FSection.try_lock())
    return false;
  Entered();
  return true;
}

}  // namespace zal
