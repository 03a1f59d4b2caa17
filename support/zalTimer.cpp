#include "support/zalTimer.h"

#include "support/zalIdException.h"
#include "support/zalMainThread.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include <pthread.h>

namespace zal {

namespace {
// The timer whose handler the current thread is running (nullptr when none).
thread_local const TzalTimerState* tRunningTimer = nullptr;
}  // namespace

// Everything the timer thread and queued events use. It outlives the TzalTimer
// when the thread or a queued event still holds it; the owner itself is touched
// only between BeginCall and EndCall, which destruction waits for.
struct TzalTimerState {
  explicit TzalTimerState(TzalTimer* owner) : Owner(owner) {}

  TzalTimer* const Owner;
  mutable std::mutex Mutex;
  std::condition_variable Wake;
  bool Enabled = false;
  bool Destroying = false;
  int Interval = TzalTimer::kDefaultInterval;
  TwsNotifyEvent NotifyEvents = neNoSync;
  uint64_t Generation = 0;  // grows on every enable: a re-enable starts a fresh period
  int Running = 0;          // handlers running now
  std::exception_ptr Fatal;

  // One synchronous hand-off to the main thread.
  struct TSyncCall {
    bool Started = false;
    bool Finished = false;
    std::exception_ptr Error;
  };

  // Entry and exit of a handler call; false when the timer is being destroyed.
  bool BeginCall() {
    std::lock_guard lock(Mutex);
    if (Destroying)
      return false;
    ++Running;
    return true;
  }
  void EndCall() {
    std::lock_guard lock(Mutex);
    --Running;
    Wake.notify_all();
  }

  // Runs OnTimer (and OnException for what it raises); rethrows when no OnException.
  void Invoke() {
    if (!BeginCall())
      return;
    const TzalTimerState* outer = tRunningTimer;
    tRunningTimer = this;
    struct TEnd {
      TzalTimerState* State;
      const TzalTimerState* Outer;
      ~TEnd() {
        tRunningTimer = Outer;
        State->EndCall();
      }
    } end{this, outer};
    // The handlers are copied first: a handler may destroy the timer that holds it.
    const TzalTimerOnTimer onTimer = Owner->OnTimer;
    const TzalTimerOnException onException = Owner->OnException;
    TzalTimer* const sender = Owner;
    try {
      if (onTimer)
        onTimer(sender);
    } catch (const std::exception& e) {
      if (!onException)
        throw;
      onException(sender, e);
    } catch (...) {
      if (!onException)
        throw;
      onException(sender, EIdException("Unknown exception in OnTimer"));
    }
  }

  void InvokeSynchronized(const std::shared_ptr<TzalTimerState>& self) {
    auto call = std::make_shared<TSyncCall>();
    QueueToMainThread([self, call] {
      {
        std::lock_guard lock(self->Mutex);
        call->Started = true;
      }
      try {
        self->Invoke();
      } catch (...) {
        call->Error = std::current_exception();
      }
      std::lock_guard lock(self->Mutex);
      call->Finished = true;
      self->Wake.notify_all();
    });
    std::unique_lock lock(Mutex);
    // Destruction gives up an event the main thread has not begun, so that a
    // main thread destroying the timer never waits for itself.
    Wake.wait(lock, [&] { return call->Finished || (Destroying && !call->Started); });
    if (call->Error)
      std::rethrow_exception(call->Error);
  }

  void Fire(const std::shared_ptr<TzalTimerState>& self, TwsNotifyEvent mode) {
    switch (mode) {
      case neNoSync:
        Invoke();
        break;
      case neAsynchronous:
        QueueToMainThread([self] { self->Invoke(); });
        break;
      case neSynchronous:
        InvokeSynchronized(self);
        break;
    }
  }

  static int RoundedPeriod(int interval) {
    constexpr int step = TzalTimer::kResolutionMs;
    return interval > 0 ? (interval + step - 1) / step * step : step;
  }

  bool StepCancelled(uint64_t generation) const { return Destroying || !Enabled || Generation != generation; }

  // One period, then fire. The period is rounded up to the next multiple of
  // 100 ms (the timer's resolution) and awaited as one deadline: the thread
  // sleeps until it passes or the timer is stopped, with no wake-ups between.
  // Called and returns with `lock` held.
  void RunStep(const std::shared_ptr<TzalTimerState>& self, std::unique_lock<std::mutex>& lock) {
    const uint64_t generation = Generation;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(RoundedPeriod(Interval));
    if (Wake.wait_until(lock, deadline, [&] { return StepCancelled(generation); }))
      return;
    const TwsNotifyEvent mode = NotifyEvents;
    lock.unlock();
    try {
      Fire(self, mode);
    } catch (...) {
      lock.lock();
      Fatal = std::current_exception();
      Enabled = false;
      return;
    }
    lock.lock();
  }

  static void Execute(std::shared_ptr<TzalTimerState> self) {
    pthread_setname_np(pthread_self(), "zalTimer");
    std::unique_lock lock(self->Mutex);
    for (;;) {
      self->Wake.wait(lock, [&] { return self->Destroying || self->Enabled; });
      if (self->Destroying)
        return;
      self->RunStep(self, lock);
    }
  }
};

TzalTimer::TzalTimer() : FState(std::make_shared<TzalTimerState>(this)) {}

TzalTimer::~TzalTimer() {
  bool inOwnHandler;
  {
    std::unique_lock lock(FState->Mutex);
    FState->Destroying = true;
    FState->Enabled = false;
    FState->Wake.notify_all();
    // A handler of this timer running on this very thread (it destroys its own
    // timer) cannot be waited for; any other is.
    inOwnHandler = tRunningTimer == FState.get();
    FState->Wake.wait(lock, [&] { return FState->Running <= (inOwnHandler ? 1 : 0); });
  }
  if (!FThread.joinable())
    return;
  // Inside its own handler the timer thread may be this thread, or be waiting for
  // this thread to finish a synchronous event: it ends on its own once the handler
  // returns, holding only the shared state.
  if (inOwnHandler || FThread.get_id() == std::this_thread::get_id())
    FThread.detach();
  else
    FThread.join();
}

bool TzalTimer::Enabled() const {
  std::lock_guard lock(FState->Mutex);
  return FState->Enabled;
}

void TzalTimer::SetEnabled(bool value) {
  std::lock_guard lock(FState->Mutex);
  if (FState->Enabled == value)
    return;
  FState->Enabled = value;
  if (value) {
    ++FState->Generation;
    FState->Fatal = nullptr;
    // Started under the lock: the thread's first step takes it, so it sees FThread set.
    if (!FThread.joinable())
      FThread = std::thread(&TzalTimerState::Execute, FState);
  }
  FState->Wake.notify_all();
}

int TzalTimer::Interval() const {
  std::lock_guard lock(FState->Mutex);
  return FState->Interval;
}

void TzalTimer::SetInterval(int value) {
  std::lock_guard lock(FState->Mutex);
  FState->Interval = value;
}

TwsNotifyEvent TzalTimer::NotifyEvents() const {
  std::lock_guard lock(FState->Mutex);
  return FState->NotifyEvents;
}

void TzalTimer::SetNotifyEvents(TwsNotifyEvent value) {
  std::lock_guard lock(FState->Mutex);
  FState->NotifyEvents = value;
}

std::exception_ptr TzalTimer::FatalException() const {
  std::lock_guard lock(FState->Mutex);
  return FState->Fatal;
}

}  // namespace zal
