#include "support/zalMainThread.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <future>
#include <mutex>
#include <thread>

namespace zal {

namespace {

// Static initialisation runs on the process's first thread, which is the main one.
std::atomic<std::thread::id> gMainThreadId{std::this_thread::get_id()};

class TDefaultMainThreadQueue : public TzalMainThreadQueue {
public:
  void Queue(std::function<void()> work) override {
    {
      std::lock_guard lock(FLock);
      FWork.push_back(std::move(work));
    }
    FWorkArrived.notify_all();
  }

  void Synchronize(std::function<void()> work) override {
    if (IsMainThread()) {
      work();
      return;
    }
    std::promise<void> done;
    auto finished = done.get_future();
    Queue([&work, &done] {
      try {
        work();
        done.set_value();
      } catch (...) {
        done.set_exception(std::current_exception());
      }
    });
    finished.get();
  }

  bool RunPending(int timeoutMs) {
    std::deque<std::function<void()>> batch;
    {
      std::unique_lock lock(FLock);
      if (timeoutMs > 0)
        FWorkArrived.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !FWork.empty(); });
      batch.swap(FWork);
    }
    const bool ranAny = !batch.empty();
    while (!batch.empty()) {
      std::function<void()> work = std::move(batch.front());
      batch.pop_front();
      try {
        work();
      } catch (...) {
        // The exception reaches the caller; the work behind it stays queued, in order.
        std::lock_guard lock(FLock);
        FWork.insert(FWork.begin(), std::make_move_iterator(batch.begin()), std::make_move_iterator(batch.end()));
        throw;
      }
    }
    return ranAny;
  }

private:
  std::mutex FLock;
  std::condition_variable FWorkArrived;
  std::deque<std::function<void()>> FWork;
};

TDefaultMainThreadQueue& DefaultQueue() {
  static TDefaultMainThreadQueue queue;
  return queue;
}

std::atomic<TzalMainThreadQueue*> gInstalledQueue{nullptr};

}  // namespace

TzalMainThreadQueue& MainThreadQueue() {
  TzalMainThreadQueue* installed = gInstalledQueue.load();
  return installed ? *installed : DefaultQueue();
}

void SetMainThreadQueue(TzalMainThreadQueue* queue) { gInstalledQueue.store(queue); }

bool IsMainThread() { return gMainThreadId.load() == std::this_thread::get_id(); }

void SetMainThreadToCurrent() { gMainThreadId.store(std::this_thread::get_id()); }

bool CheckSynchronize(int timeoutMs) { return DefaultQueue().RunPending(timeoutMs); }

void QueueToMainThread(std::function<void()> work) { MainThreadQueue().Queue(std::move(work)); }

void SynchronizeWithMainThread(std::function<void()> work) {
  MainThreadQueue().Synchronize(std::move(work));
}

}  // namespace zal
