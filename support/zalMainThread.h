#pragma once
// The main (GUI) thread's work queue. Library code hands work to the main thread
// through Queue (returns at once) or Synchronize (waits until the work has run).
// The default implementation runs queued work whenever the main thread calls
// CheckSynchronize(); a GUI program installs its own implementation.
#include <functional>
#include <memory>

namespace zal {

class TzalMainThreadQueue {
public:
  virtual ~TzalMainThreadQueue() = default;
  // Runs `work` on the main thread later; never waits.
  virtual void Queue(std::function<void()> work) = 0;
  // Runs `work` on the main thread and waits for it; runs it at once on the main thread.
  virtual void Synchronize(std::function<void()> work) = 0;
};

// The queue in use (the default one unless another was installed).
TzalMainThreadQueue& MainThreadQueue();
// Installs `queue` (nullptr restores the default); the caller keeps it alive.
void SetMainThreadQueue(TzalMainThreadQueue* queue);

// True on the thread that counts as the main thread (the one that started the process, unless set).
bool IsMainThread();
// Makes the calling thread the main thread.
void SetMainThreadToCurrent();

// Default implementation: runs the queued work on the calling (main) thread and
// returns whether any ran. With `timeoutMs` > 0, waits that long for work first.
bool CheckSynchronize(int timeoutMs = 0);

// Shorthands for MainThreadQueue().Queue / .Synchronize.
void QueueToMainThread(std::function<void()> work);
void SynchronizeWithMainThread(std::function<void()> work);

}  // namespace zal
