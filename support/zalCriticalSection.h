#pragma once
// A re-entrant lock: the owning thread may acquire it again and must release it
// as often as it acquired it.
#include <atomic>
#include <mutex>
#include <thread>

namespace zal {

class TzalCriticalSection {
public:
  TzalCriticalSection() = default;
  TzalCriticalSection(const TzalCriticalSection&) = delete;
  TzalCriticalSection& operator=(const TzalCriticalSection&) = delete;
  virtual ~TzalCriticalSection() = default;

  // Enters the section, waiting while another thread holds it. A failure of the
  // underlying lock is swallowed.
  virtual void Acquire();
  // Leaves the section. A release by a thread that does not hold the section is
  // ignored instead of corrupting the lock.
  virtual void Release();
  // Enters the section when that needs no waiting; true when entered.
  bool TryAcquire();

  // Standard lockable names, so that std::lock_guard and std::unique_lock work.
  void lock() { Acquire(); }
  void unlock() { Release(); }
  bool try_lock() { return TryAcquire(); }

private:
  void Entered();

  std::recursive_mutex FSection;
  std::atomic<std::thread::id> FOwner{};
  int FDepth = 0;  // guarded by FSection
};

}  // namespace zal
