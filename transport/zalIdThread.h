#pragma once
// TIdThread: a platform thread that is created suspended, runs a before-run / run /
// after-run cycle (the run step repeatedly when looping) and can be stopped either
// by terminating it or by suspending it for reuse. TIdThreadWithTask runs a task
// (a connection's context) in that cycle.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "support/zalIdException.h"
#include "support/zalObject.h"

namespace zal {

class TIdYarn;
class TIdTask;
class TIdThread;

enum TIdThreadStopMode : uint8_t { smTerminate, smSuspend };
enum TIdThreadOption : uint8_t { itoStopped, itoReqCleanup, itoDataOwner, itoTag };
enum TThreadPriority : uint8_t { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

class EIdThreadTerminateAndWaitFor : public EIdException {
public:
  EIdThreadTerminateAndWaitFor() : EIdException("Cannot call TerminateAndWaitFor on FreeAndTerminate threads") {}
};

using TIdNotifyThreadEvent = std::function<void(TIdThread* thread)>;
using TIdExceptionThreadEvent = std::function<void(TIdThread* thread, const std::exception& e)>;

// Number of TIdThread objects alive in the process.
int IdThreadCount();

class TIdThread {
public:
  explicit TIdThread(bool loop = true, const std::string& name = "");
  virtual ~TIdThread();
  TIdThread(const TIdThread&) = delete;
  TIdThread& operator=(const TIdThread&) = delete;

  // Resumes a stopped thread (a terminated one stays marked stopped and leaves its loop).
  void Start();
  // Terminates (smTerminate) or marks stopped so the loop suspends (smSuspend).
  void Stop();
  void Terminate();
  // Terminate, resume and wait; not for threads that free themselves.
  void TerminateAndWaitFor();
  // Waits until the platform thread has ended.
  void WaitFor();
  // Waits up to `timeoutMs` for the thread to be terminated; returns Terminated().
  bool WaitForTermination(int timeoutMs);

  bool Stopped() const;
  bool Terminated() const { return FTerminated.load(); }
  bool Suspended() const;

  TIdThreadStopMode StopMode() const { return FStopMode; }
  void SetStopMode(TIdThreadStopMode mode) { FStopMode = mode; }
  bool Loop() const { return FLoop; }
  void SetLoop(bool value) { FLoop = value; }
  const std::string& Name() const { return FName; }
  void SetName(const std::string& name) { FName = name; }
  TThreadPriority Priority() const { return FPriority; }
  void SetPriority(TThreadPriority priority) { FPriority = priority; }
  bool HasOption(TIdThreadOption option) const;
  void SetOption(TIdThreadOption option, bool on);

  // The thread frees itself when its platform thread ends.
  bool FreeOnTerminate() const { return FFreeOnTerminate.load(); }
  void SetFreeOnTerminate(bool value) { FFreeOnTerminate.store(value); }

  // The yarn is owned by the thread and freed at clean-up.
  TIdYarn* Yarn() const { return FYarn; }
  void SetYarn(TIdYarn* yarn) { FYarn = yarn; }
  // Owned when itoDataOwner is set (the default).
  TObject* Data() const { return FData.get(); }
  void SetData(std::unique_ptr<TObject> data) { FData = std::move(data); }

  const std::string& TerminatingException() const { return FTerminatingException; }
  bool IsCurrentThread() const { return std::this_thread::get_id() == FThread.get_id(); }

  TIdExceptionThreadEvent OnException;
  TIdNotifyThreadEvent OnStopped;
  // Called last on the platform thread, after a self-freeing thread has freed itself.
  std::function<void()> OnFinished;

protected:
  virtual void BeforeExecute() {}
  virtual void AfterExecute() {}
  virtual void BeforeRun() {}
  virtual void Run() = 0;
  virtual void AfterRun() {}
  virtual void Cleanup();
  // Returns True when the run step may go on after `e`.
  virtual bool HandleRunException(const std::exception& e);
  virtual void DoException(const std::exception& e);
  // Ends the platform thread and waits for it; every concrete thread class calls
  // this in its destructor so the thread never runs into a half-destroyed object.
  void StopAndJoin();

private:
  void ThreadMain();
  void Execute();
  void RunCycle();
  void RunStep();
  void DoStopped();
  // Waits while stopped; returns False when the thread was terminated.
  bool SuspendWhileStopped();
  void Resume();
  bool StoppedLocked() const;

  mutable std::mutex FLock;
  std::condition_variable FResumed;
  std::thread FThread;
  std::atomic<bool> FTerminated{false};
  bool FSuspended = true;
  bool FLoop;
  std::string FName;
  TIdThreadStopMode FStopMode = smTerminate;
  TThreadPriority FPriority = tpNormal;
  uint8_t FOptions = 0;
  std::atomic<bool> FFreeOnTerminate{false};
  std::string FTerminatingException;
  TIdYarn* FYarn = nullptr;
  std::unique_ptr<TObject> FData;
};

// A thread that runs one task at a time; the task is owned and replaced by SetTask.
class TIdThreadWithTask : public TIdThread {
public:
  explicit TIdThreadWithTask(const std::string& name = "");
  ~TIdThreadWithTask() override;

  TIdTask* Task() const { return FTask; }
  // Frees the previous task.
  void SetTask(TIdTask* task);

protected:
  void BeforeRun() override;
  void Run() override;
  void AfterRun() override;
  void DoException(const std::exception& e) override;

private:
  TIdTask* FTask = nullptr;
};

}  // namespace zal
