#include "support/zalTimer.h"

#include "support/zalIdException.h"
#include "support/zalMainThread.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace zal {
namespace {

using Clock = std::chrono::steady_clock;

long long MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Counts events and lets the test wait for them without polling.
class EventLog {
public:
  void Record() {
    std::lock_guard lock(FLock);
    ++FCount;
    FThread = std::this_thread::get_id();
    FChanged.notify_all();
  }
  bool WaitFor(int count, int timeoutMs = 5000) {
    std::unique_lock lock(FLock);
    return FChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return FCount >= count; });
  }
  int Count() {
    std::lock_guard lock(FLock);
    return FCount;
  }
  std::thread::id Thread() {
    std::lock_guard lock(FLock);
    return FThread;
  }

private:
  std::mutex FLock;
  std::condition_variable FChanged;
  int FCount = 0;
  std::thread::id FThread;
};

// Runs main-thread work until `done` holds, for at most `timeoutMs`.
template <typename Done>
bool PumpMainThreadUntil(Done done, int timeoutMs = 5000) {
  const auto start = Clock::now();
  while (!done()) {
    if (MillisecondsSince(start) > timeoutMs)
      return false;
    CheckSynchronize(50);
  }
  return true;
}

TEST(Timer, APeriodThatIsNotAMultipleOf100msIsRoundedUpToTheNextStep) {
  ASSERT_TRUE(IsMainThread());
  EventLog log;
  TzalTimer timer;
  EXPECT_EQ(timer.Interval(), 60000);
  EXPECT_EQ(timer.NotifyEvents(), neNoSync);
  timer.SetInterval(250);
  timer.OnTimer = [&](TzalTimer* sender) {
    EXPECT_EQ(sender, &timer);
    log.Record();
  };
  const auto start = Clock::now();
  timer.SetEnabled(true);
  ASSERT_TRUE(log.WaitFor(1));
  EXPECT_GE(MillisecondsSince(start), 300);  // three waits of 100 ms
  EXPECT_NE(log.Thread(), std::this_thread::get_id());
}

TEST(Timer, StoppingWakesTheTimerAtOnce) {
  auto timer = std::make_unique<TzalTimer>();
  timer->SetInterval(600000);
  timer->SetEnabled(true);
  timer->SetEnabled(false);
  EXPECT_FALSE(timer->Enabled());
  const auto start = Clock::now();
  timer.reset();
  EXPECT_LT(MillisecondsSince(start), 5000);
}

// Voluntary context switches of each thread named "zalTimer", by thread id.
std::map<std::string, long> TimerThreadWakeUps() {
  std::map<std::string, long> wakeUps;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    if (!std::getline(comm, name) || name != "zalTimer")
      continue;
    std::ifstream status(task.path() / "status");
    for (std::string line; std::getline(status, line);)
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
        wakeUps[task.path().filename()] = std::stol(line.substr(24));
  }
  return wakeUps;
}

// A long period is one sleep: the thread does not wake every 100 ms to count it down.
TEST(Timer, AWaitingTimerThreadDoesNotWakeBeforeItsDeadline) {
  TzalTimer timer;
  timer.SetInterval(60000);
  timer.SetEnabled(true);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the thread is waiting now
  const auto before = TimerThreadWakeUps();
  ASSERT_FALSE(before.empty());
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  const auto after = TimerThreadWakeUps();
  for (const auto& [thread, count] : before)
    EXPECT_LE(after.at(thread) - count, 1) << "thread " << thread;
}

TEST(Timer, DisabledTimersDoNotFireAndReenablingStartsAFreshPeriod) {
  EventLog log;
  TzalTimer timer;
  timer.SetInterval(100);
  timer.OnTimer = [&](TzalTimer*) { log.Record(); };
  timer.SetEnabled(true);
  ASSERT_TRUE(log.WaitFor(2));
  timer.SetEnabled(false);
  const int afterStop = log.Count();
  EXPECT_FALSE(log.WaitFor(afterStop + 2, 400));  // at most one event was already under way
  timer.SetEnabled(true);
  EXPECT_TRUE(log.WaitFor(log.Count() + 1));
}

TEST(Timer, AsynchronousEventsRunOnTheMainThreadWhenItPumps) {
  EventLog log;
  TzalTimer timer;
  timer.SetInterval(100);
  timer.SetNotifyEvents(neAsynchronous);
  timer.OnTimer = [&](TzalTimer*) { log.Record(); };
  timer.SetEnabled(true);
  EXPECT_FALSE(log.WaitFor(1, 400));  // queued, not run, until the main thread pumps
  EXPECT_TRUE(PumpMainThreadUntil([&] { return log.Count() >= 2; }));
  EXPECT_EQ(log.Thread(), std::this_thread::get_id());
  timer.SetEnabled(false);
}

TEST(Timer, SynchronousEventsRunOnTheMainThreadWhileTheTimerWaits) {
  EventLog log;
  std::atomic<bool> inHandler{false};
  std::atomic<int> overlaps{0};
  TzalTimer timer;
  timer.SetInterval(100);
  timer.SetNotifyEvents(neSynchronous);
  timer.OnTimer = [&](TzalTimer*) {
    if (inHandler.exchange(true))
      ++overlaps;
    log.Record();
    inHandler = false;
  };
  timer.SetEnabled(true);
  EXPECT_TRUE(PumpMainThreadUntil([&] { return log.Count() >= 3; }));
  EXPECT_EQ(log.Thread(), std::this_thread::get_id());
  EXPECT_EQ(overlaps.load(), 0);
  timer.SetEnabled(false);
  PumpMainThreadUntil([] { return true; });
}

TEST(Timer, DestroyingTheTimerDropsASynchronousEventTheMainThreadHasNotRun) {
  std::atomic<int> events{0};
  auto timer = std::make_unique<TzalTimer>();
  timer->SetInterval(100);
  timer->SetNotifyEvents(neSynchronous);
  timer->OnTimer = [&](TzalTimer*) { ++events; };
  timer->SetEnabled(true);
  std::this_thread::sleep_for(std::chrono::milliseconds(350));  // let an event be queued
  timer.reset();  // must not wait for this (main) thread to run the queued event
  CheckSynchronize(0);  // the stale event finds the timer gone and does nothing
  EXPECT_EQ(events.load(), 0);
}

TEST(Timer, HandlerExceptionsGoToOnExceptionAndTheTimerGoesOn) {
  EventLog log;
  std::string message;
  TzalTimer timer;
  timer.SetInterval(100);
  timer.OnTimer = [&](TzalTimer*) { throw EIdException("tick failed"); };
  timer.OnException = [&](TzalTimer* sender, const std::exception& e) {
    EXPECT_EQ(sender, &timer);
    message = e.what();
    log.Record();
  };
  timer.SetEnabled(true);
  ASSERT_TRUE(log.WaitFor(2));
  timer.SetEnabled(false);
  EXPECT_EQ(message, "tick failed");
  EXPECT_EQ(timer.FatalException(), nullptr);
}

TEST(Timer, AnUnhandledExceptionStopsTheTimerAndIsKept) {
  EventLog log;
  TzalTimer timer;
  timer.SetInterval(100);
  timer.OnTimer = [&](TzalTimer*) {
    log.Record();
    throw EIdException("fatal");
  };
  timer.SetEnabled(true);
  ASSERT_TRUE(log.WaitFor(1));
  const auto start = Clock::now();
  while (timer.Enabled() && MillisecondsSince(start) < 5000)
    std::this_thread::yield();
  EXPECT_FALSE(timer.Enabled());
  ASSERT_NE(timer.FatalException(), nullptr);
  EXPECT_THROW(std::rethrow_exception(timer.FatalException()), EIdException);
  EXPECT_FALSE(log.WaitFor(2, 300));
}

TEST(Timer, AnUnhandledExceptionOfAQueuedEventReachesTheMainThread) {
  TzalTimer timer;
  timer.SetInterval(100);
  timer.SetNotifyEvents(neAsynchronous);
  timer.OnTimer = [](TzalTimer*) { throw EIdException("queued failure"); };
  timer.SetEnabled(true);
  bool raised = false;
  const auto start = Clock::now();
  while (!raised && MillisecondsSince(start) < 5000) {
    try {
      CheckSynchronize(50);
    } catch (const EIdException& e) {
      raised = std::string(e.what()) == "queued failure";
    }
  }
  EXPECT_TRUE(raised);
  timer.SetEnabled(false);
}

TEST(Timer, AHandlerMayDestroyItsOwnTimer) {
  EventLog log;
  auto* timer = new TzalTimer;
  timer->SetInterval(100);
  timer->OnTimer = [&log](TzalTimer* sender) {
    delete sender;
    log.Record();
  };
  timer->SetEnabled(true);
  EXPECT_TRUE(log.WaitFor(1));
  EXPECT_FALSE(log.WaitFor(2, 300));
}

}  // namespace
}  // namespace zal
