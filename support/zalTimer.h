#pragma once
// An interval timer on a thread of its own (named "zalTimer"), with a resolution
// of 100 ms. Each period is counted from the end of the previous event: the
// timer sleeps until Interval, rounded up to the next 100 ms, has passed (one
// deadline, no wake-ups between), then raises OnTimer on the timer thread,
// queued to the main thread, or on the main thread while it waits (NotifyEvents).
#include "support/zalTypes.h"

#include <exception>
#include <functional>
#include <memory>
#include <thread>

namespace zal {

class TzalTimer;
struct TzalTimerState;

using TzalTimerOnTimer = std::function<void(TzalTimer* Sender)>;
using TzalTimerOnException = std::function<void(TzalTimer* Sender, const std::exception& E)>;

class TzalTimer {
public:
  static constexpr int kResolutionMs = 100;
  static constexpr int kDefaultInterval = 60000;

  TzalTimer();
  TzalTimer(const TzalTimer&) = delete;
  TzalTimer& operator=(const TzalTimer&) = delete;
  // Stops the thread. A handler running for this timer elsewhere is waited for;
  // an event queued to the main thread and not yet run is dropped.
  virtual ~TzalTimer();

  bool Enabled() const;
  // true starts counting a fresh period (starting the thread on first use);
  // false stops the count at once. May be called from the handlers.
  void SetEnabled(bool value);
  int Interval() const;
  // Milliseconds; an Interval of 0 or less fires every 100 ms.
  void SetInterval(int value);
  TwsNotifyEvent NotifyEvents() const;
  void SetNotifyEvents(TwsNotifyEvent value);

  // An exception that OnTimer raised with no OnException assigned: it stopped the
  // timer (Enabled is false afterwards). Null otherwise.
  std::exception_ptr FatalException() const;

  // Raised every Interval while enabled. Assign before enabling the timer.
  TzalTimerOnTimer OnTimer;
  // Receives what OnTimer raises; when empty, the exception propagates (see FatalException).
  TzalTimerOnException OnException;

private:
  friend struct TzalTimerState;

  std::shared_ptr<TzalTimerState> FState;
  std::thread FThread;
};

}  // namespace zal
