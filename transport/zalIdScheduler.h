#pragma once
// Schedulers hand out yarns (execution slots) for connections. The thread
// schedulers give every yarn its own thread: a new one per connection
// (TIdSchedulerOfThreadDefault) or one from a pool of suspended threads
// (TIdSchedulerOfThreadPool).
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

#include "support/zalIdException.h"
#include "transport/zalIdTask.h"
#include "transport/zalIdThread.h"
#include "transport/zalIdThreadSafe.h"

namespace zal {

class TIdScheduler;
class TIdSchedulerOfThread;

class EIdSchedulerMaxThreadsExceeded : public EIdException {
public:
  EIdSchedulerMaxThreadsExceeded()
      : EIdException("The maximum number of threads for this scheduler is exceeded.") {}
};

class TIdScheduler {
public:
  virtual ~TIdScheduler() = default;

  virtual TIdYarn* AcquireYarn() = 0;
  virtual void StartYarn(TIdYarn* yarn, TIdTask* task) = 0;
  virtual void TerminateYarn(TIdYarn* yarn) = 0;
  // Called when a yarn is freed.
  virtual void ReleaseYarn(TIdYarn* yarn);
  virtual void Init() {}
  // Ends every yarn and returns when every worker is gone.
  virtual void TerminateAllYarns();

  TIdThreadSafeObjectList<TIdYarn>& ActiveYarns() { return FActiveYarns; }
  const std::string& Name() const { return FName; }
  void SetName(const std::string& name) { FName = name; }

protected:
  // Wakes TerminateAllYarns when a yarn or worker goes away. The notification is
  // sent while the lock is held, so a waiter that sees the change and then frees
  // the scheduler can never do so while the notifier still uses it.
  void SignalChange(const std::function<void()>& change = nullptr);
  // Waits up to `timeoutMs` for SignalChange (returns early when one came since `seen`).
  void WaitForChange(unsigned& seen, int timeoutMs);
  virtual bool WorkersRemain() const { return false; }

  TIdThreadSafeObjectList<TIdYarn> FActiveYarns;
  std::string FName;
  mutable std::mutex FChangeLock;  // also guards what derived schedulers count in SignalChange
  std::condition_variable FChanged;

private:
  unsigned FChanges = 0;
};

// A yarn backed by one thread; freeing it hands the thread back to the scheduler.
class TIdYarnOfThread : public TIdYarn {
public:
  TIdYarnOfThread(TIdSchedulerOfThread* scheduler, TIdThreadWithTask* thread);
  ~TIdYarnOfThread() override;

  TIdSchedulerOfThread* Scheduler() const { return FScheduler; }
  TIdThreadWithTask* Thread() const { return FThread; }
  void DetachThread() { FThread = nullptr; }

private:
  TIdSchedulerOfThread* FScheduler;
  TIdThreadWithTask* FThread;
};

class TIdSchedulerOfThread : public TIdScheduler {
public:
  ~TIdSchedulerOfThread() override;

  int MaxThreads() const { return FMaxThreads; }
  void SetMaxThreads(int value) { FMaxThreads = value; }
  TThreadPriority ThreadPriority() const { return FThreadPriority; }
  void SetThreadPriority(TThreadPriority value) { FThreadPriority = value; }

  virtual TIdThreadWithTask* NewThread();
  TIdYarnOfThread* NewYarn(TIdThreadWithTask* thread);
  void StartYarn(TIdYarn* yarn, TIdTask* task) override;
  void TerminateYarn(TIdYarn* yarn) override;
  void ReleaseYarn(TIdYarn* yarn) override;

  // Threads this scheduler created that have not ended yet.
  int LiveThreads() const;

protected:
  // Detaches the yarn's thread and removes the yarn; returns the thread.
  TIdThreadWithTask* DetachYarn(TIdYarnOfThread* yarn);
  // Terminates `thread` and frees it: at its end when it is the calling thread,
  // else after waiting for it.
  void DisposeThread(TIdThreadWithTask* thread);
  bool WorkersRemain() const override { return LiveThreads() > 0; }

private:
  int FMaxThreads = 0;
  TThreadPriority FThreadPriority = tpNormal;
  int FLiveThreads = 0;  // guarded by FChangeLock
};

class TIdSchedulerOfThreadDefault : public TIdSchedulerOfThread {
public:
  ~TIdSchedulerOfThreadDefault() override;
  TIdYarn* AcquireYarn() override;
};

class TIdSchedulerOfThreadPool : public TIdSchedulerOfThread {
public:
  ~TIdSchedulerOfThreadPool() override;

  int PoolSize() const { return FPoolSize; }
  void SetPoolSize(int value) { FPoolSize = value; }
  int IdleThreads() const { return FThreadPool.Count(); }

  void Init() override;
  TIdThreadWithTask* NewThread() override;
  TIdYarn* AcquireYarn() override;
  void ReleaseYarn(TIdYarn* yarn) override;
  void TerminateAllYarns() override;

protected:
  // Idle threads wait in the pool; only the others are still at work.
  bool WorkersRemain() const override { return LiveThreads() > FThreadPool.Count(); }

private:
  int FPoolSize = 0;
  TIdThreadSafeList<TIdThreadWithTask> FThreadPool;
};

}  // namespace zal
