#include "transport/zalIdScheduler.h"

#include <cassert>
#include <chrono>

namespace zal {

// How long TerminateAllYarns waits for workers before asking the remaining ones again.
constexpr int kTerminateRetryMs = 500;

void TIdScheduler::ReleaseYarn(TIdYarn* yarn) {
  FActiveYarns.Remove(yarn);
  SignalChange();
}

void TIdScheduler::SignalChange(const std::function<void()>& change) {
  std::lock_guard lock(FChangeLock);
  if (change)
    change();
  ++FChanges;
  FChanged.notify_all();
}

void TIdScheduler::WaitForChange(unsigned& seen, int timeoutMs) {
  std::unique_lock lock(FChangeLock);
  FChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return FChanges != seen; });
  seen = FChanges;
}

void TIdScheduler::TerminateAllYarns() {
  unsigned seen = 0;
  for (;;) {
    {
      std::lock_guard lock(FChangeLock);
      seen = FChanges;
    }
    auto& yarns = FActiveYarns.LockList();
    const bool empty = yarns.empty();
    if (!empty) {
      // TerminateYarn may free a yarn and so remove it from the list: walk a copy.
      const std::vector<TIdYarn*> snapshot = yarns;
      for (auto it = snapshot.rbegin(); it != snapshot.rend(); ++it)
        TerminateYarn(*it);
    }
    FActiveYarns.UnlockList();
    if (empty)
      break;
    WaitForChange(seen, kTerminateRetryMs);
  }
  // Workers release their yarn before their last steps: wait until they have ended.
  while (WorkersRemain()) {
    WaitForChange(seen, kTerminateRetryMs);
  }
}

TIdYarnOfThread::TIdYarnOfThread(TIdSchedulerOfThread* scheduler, TIdThreadWithTask* thread)
    : FScheduler(scheduler), FThread(thread) {
  thread->SetYarn(this);
}

TIdYarnOfThread::~TIdYarnOfThread() {
  if (FScheduler)
    FScheduler->ReleaseYarn(this);
}

TIdSchedulerOfThread::~TIdSchedulerOfThread() {
  // Every worker must have ended before the scheduler goes away.
  std::unique_lock lock(FChangeLock);
  FChanged.wait(lock, [this] { return FLiveThreads == 0; });
}

int TIdSchedulerOfThread::LiveThreads() const {
  std::lock_guard lock(FChangeLock);
  return FLiveThreads;
}

TIdThreadWithTask* TIdSchedulerOfThread::NewThread() {
  if (FMaxThreads > 0 && !FActiveYarns.IsCountLessThan(FMaxThreads + 1))
    throw EIdSchedulerMaxThreadsExceeded();
  auto* thread = new TIdThreadWithTask(FName + " User");
  if (FThreadPriority != tpNormal)
    thread->SetPriority(FThreadPriority);
  SignalChange([this] { ++FLiveThreads; });
  thread->OnFinished = [this] { SignalChange([this] { --FLiveThreads; }); };
  return thread;
}

TIdYarnOfThread* TIdSchedulerOfThread::NewYarn(TIdThreadWithTask* thread) {
  if (!thread)
    throw EIdException("Thread must be specified for the scheduler.");
  return new TIdYarnOfThread(this, thread);
}

void TIdSchedulerOfThread::StartYarn(TIdYarn* yarn, TIdTask* task) {
  TIdThreadWithTask* thread = static_cast<TIdYarnOfThread*>(yarn)->Thread();
  thread->SetTask(task);
  thread->Start();
}

void TIdSchedulerOfThread::TerminateYarn(TIdYarn* yarn) {
  assert(yarn);
  auto* threadYarn = static_cast<TIdYarnOfThread*>(yarn);
  TIdThreadWithTask* thread = threadYarn->Thread();
  if (!thread || thread->Suspended()) {
    delete threadYarn;  // not running: no worker will free it, so free it here
  } else {
    thread->Stop();
  }
}

TIdThreadWithTask* TIdSchedulerOfThread::DetachYarn(TIdYarnOfThread* yarn) {
  // Leave the active list first: while a yarn is listed it keeps its thread, so
  // TerminateAllYarns never takes a yarn that is being released for a free one.
  FActiveYarns.Remove(yarn);
  TIdThreadWithTask* thread = yarn->Thread();
  yarn->DetachThread();
  if (thread)
    thread->SetYarn(nullptr);
  return thread;
}

void TIdSchedulerOfThread::DisposeThread(TIdThreadWithTask* thread) {
  thread->Terminate();
  if (thread->IsCurrentThread()) {
    thread->SetFreeOnTerminate(true);
    return;
  }
  thread->Start();
  thread->WaitFor();
  delete thread;
}

void TIdSchedulerOfThread::ReleaseYarn(TIdYarn* yarn) {
  if (TIdThreadWithTask* thread = DetachYarn(static_cast<TIdYarnOfThread*>(yarn)))
    DisposeThread(thread);
  SignalChange();
}

TIdSchedulerOfThreadDefault::~TIdSchedulerOfThreadDefault() { TerminateAllYarns(); }

TIdYarn* TIdSchedulerOfThreadDefault::AcquireYarn() {
  TIdYarnOfThread* yarn = NewYarn(NewThread());
  FActiveYarns.Add(yarn);
  return yarn;
}

TIdSchedulerOfThreadPool::~TIdSchedulerOfThreadPool() { TerminateAllYarns(); }

void TIdSchedulerOfThreadPool::Init() {
  while (FPoolSize > 0 && FThreadPool.Count() < FPoolSize)
    FThreadPool.Add(NewThread());
}

TIdThreadWithTask* TIdSchedulerOfThreadPool::NewThread() {
  TIdThreadWithTask* thread = TIdSchedulerOfThread::NewThread();
  thread->SetStopMode(smSuspend);  // a finished connection leaves the thread for reuse
  return thread;
}

TIdYarn* TIdSchedulerOfThreadPool::AcquireYarn() {
  TIdThreadWithTask* thread = FThreadPool.Pull();
  if (!thread)
    thread = NewThread();
  TIdYarnOfThread* yarn = NewYarn(thread);
  FActiveYarns.Add(yarn);
  return yarn;
}

void TIdSchedulerOfThreadPool::ReleaseYarn(TIdYarn* yarn) {
  TIdThreadWithTask* thread = DetachYarn(static_cast<TIdYarnOfThread*>(yarn));
  if (thread) {
    FThreadPool.Lock();
    if (FThreadPool.Count() >= FPoolSize || thread->Terminated()) {
      FThreadPool.Unlock();
      DisposeThread(thread);
    } else {
      FThreadPool.Add(thread);
      FThreadPool.Unlock();
    }
  }
  SignalChange();
}

void TIdSchedulerOfThreadPool::TerminateAllYarns() {
  TIdScheduler::TerminateAllYarns();
  while (TIdThreadWithTask* thread = FThreadPool.Pull()) {
    thread->Terminate();
    thread->Start();
    thread->WaitFor();
    delete thread;
  }
  TIdScheduler::TerminateAllYarns();  // waits for the disposed threads' last steps
}

}  // namespace zal
