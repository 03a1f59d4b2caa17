#include "transport/zalIdThread.h"

#include <openssl/crypto.h>
#include <pthread.h>

#include <chrono>

#include "transport/zalIdTask.h"

namespace zal {

namespace {

std::atomic<int> gThreadCount{0};

constexpr uint8_t Bit(TIdThreadOption option) { return static_cast<uint8_t>(1u << option); }

// Linux thread names hold at most 15 characters.
void PublishThreadName(const std::string& name) {
  pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

}  // namespace

int IdThreadCount() { return gThreadCount.load(); }

TIdThread::TIdThread(bool loop, const std::string& name)
    : FLoop(loop), FName(name), FOptions(Bit(itoDataOwner) | Bit(itoStopped)) {
  ++gThreadCount;
  try {
    FThread = std::thread([this] { ThreadMain(); });
  } catch (...) {
    --gThreadCount;  // no thread came to be (EAGAIN under a pid or task limit)
    throw;
  }
}

TIdThread::~TIdThread() {
  StopAndJoin();
  if (HasOption(itoReqCleanup))
    Cleanup();
  delete FYarn;
  FYarn = nullptr;
  FData.reset();
  { std::lock_guard lock(FLock); }
  --gThreadCount;
}

void TIdThread::StopAndJoin() {
  if (!FThread.joinable())
    return;
  if (IsCurrentThread()) {
    FThread.detach();
    return;
  }
  Terminate();
  Resume();
  FThread.join();
}

bool TIdThread::HasOption(TIdThreadOption option) const {
  std::lock_guard lock(FLock);
  return FOptions & Bit(option);
}

void TIdThread::SetOption(TIdThreadOption option, bool on) {
  std::lock_guard lock(FLock);
  FOptions = on ? (FOptions | Bit(option)) : (FOptions & ~Bit(option));
}

bool TIdThread::StoppedLocked() const { return FTerminated.load() || (FOptions & Bit(itoStopped)) || FSuspended; }

bool TIdThread::Stopped() const {
  std::lock_guard lock(FLock);
  return StoppedLocked();
}

bool TIdThread::Suspended() const {
  std::lock_guard lock(FLock);
  return FSuspended;
}

void TIdThread::Start() {
  std::lock_guard lock(FLock);
  if (!StoppedLocked())
    return;
  if (FTerminated.load())
    FOptions |= Bit(itoStopped);
  else
    FOptions &= ~Bit(itoStopped);
  FSuspended = false;
  FResumed.notify_all();
}

void TIdThread::Resume() {
  std::lock_guard lock(FLock);
  FSuspended = false;
  FResumed.notify_all();
}

void TIdThread::Stop() {
  std::lock_guard lock(FLock);
  if (StoppedLocked())
    return;
  if (FStopMode == smTerminate)
    FTerminated.store(true);
  FOptions |= Bit(itoStopped);
}

void TIdThread::Terminate() {
  std::lock_guard lock(FLock);
  FOptions |= Bit(itoStopped);
  FTerminated.store(true);
  FResumed.notify_all();  // a suspended thread leaves its wait and ends
}

void TIdThread::TerminateAndWaitFor() {
  if (FreeOnTerminate())
    throw EIdThreadTerminateAndWaitFor();
  Terminate();
  Start();
  WaitFor();
}

void TIdThread::WaitFor() {
  if (FThread.joinable() && !IsCurrentThread())
    FThread.join();
}

bool TIdThread::WaitForTermination(int timeoutMs) {
  std::unique_lock lock(FLock);
  FResumed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return FTerminated.load(); });
  return FTerminated.load();
}

bool TIdThread::SuspendWhileStopped() {
  std::unique_lock lock(FLock);
  if (!StoppedLocked())
    return true;
  if (FTerminated.load())
    return false;
  FSuspended = true;
  FResumed.wait(lock, [this] { return !FSuspended || FTerminated.load(); });
  return !FTerminated.load();
}

void TIdThread::ThreadMain() {
  // A thread is created suspended: wait for the first Start (or termination).
  if (SuspendWhileStopped())
    Execute();
  // A thread terminated before its first cycle still holds its yarn: hand it
  // back, so the scheduler forgets the yarn and disposes of the thread.
  if (FYarn)
    Cleanup();
  // This thread's OpenSSL state (its error queue, made by any digest or TLS call)
  // is freed now, before the thread reports its end: left to the thread's exit,
  // it could outlive the owner's wait and the library's own clean-up at process exit.
  OPENSSL_thread_stop();
  std::function<void()> finished = std::move(OnFinished);
  if (FreeOnTerminate())
    delete this;
  if (finished)
    finished();
}

void TIdThread::DoStopped() {
  if (OnStopped)
    OnStopped(this);
}

void TIdThread::RunStep() {
  try {
    Run();
  } catch (const std::exception& e) {
    if (!HandleRunException(e)) {
      Terminate();
      throw;
    }
  }
}

void TIdThread::RunCycle() {
  SetOption(itoReqCleanup, true);
  try {
    try {
      BeforeRun();
      if (FLoop) {
        while (!Stopped())
          RunStep();
      } else {
        RunStep();
      }
    } catch (...) {
      AfterRun();
      throw;
    }
    AfterRun();
  } catch (...) {
    Terminate();
    Cleanup();
    throw;
  }
  Cleanup();
}

void TIdThread::Execute() {
  if (FName.empty())
    FName = "IdThread (unknown)";
  PublishThreadName(FName);
  try {
    BeforeExecute();
    while (!Terminated()) {
      if (Stopped()) {
        DoStopped();
        if (!SuspendWhileStopped())
          break;
      }
      RunCycle();
    }
    AfterExecute();
  } catch (const std::exception& e) {
    FTerminatingException = e.what();
    DoException(e);
    Terminate();
  }
}

bool TIdThread::HandleRunException(const std::exception&) { return false; }

void TIdThread::DoException(const std::exception& e) {
  if (OnException)
    OnException(this, e);
}

void TIdThread::Cleanup() {
  SetOption(itoReqCleanup, false);
  TIdYarn* yarn = FYarn;
  FYarn = nullptr;
  delete yarn;  // a scheduler's yarn hands its thread back here (pool or disposal)
  if (HasOption(itoDataOwner))
    FData.reset();
}

TIdThreadWithTask::TIdThreadWithTask(const std::string& name) : TIdThread(true, name) {}

TIdThreadWithTask::~TIdThreadWithTask() {
  StopAndJoin();
  delete FTask;
}

void TIdThreadWithTask::SetTask(TIdTask* task) {
  if (task == FTask)
    return;
  delete FTask;
  FTask = task;
}

void TIdThreadWithTask::BeforeRun() { FTask->DoBeforeRun(); }

void TIdThreadWithTask::Run() {
  if (!FTask->DoRun())
    Stop();
}

void TIdThreadWithTask::AfterRun() { FTask->DoAfterRun(); }

void TIdThreadWithTask::DoException(const std::exception& e) {
  TIdThread::DoException(e);
  if (FTask)
    FTask->DoException(e);
}

}  // namespace zal

