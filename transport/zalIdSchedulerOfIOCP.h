#pragma once
// The event-loop scheduler: no thread per connection. Each yarn is bound, when
// its connection starts, to one loop of the engine for its whole life, so its
// steps run in order on that loop's thread. The yarn is the connection's step
// driver: it remembers what the last step awaits and is run again by its loop
// when that comes (the socket, a deadline) or when another thread wakes it.
#include <atomic>
#include <chrono>
#include <cstdint>

#include "transport/zalIdScheduler.h"
#include "transport/zalIdStepDriver.h"
#include "transport/zalIdTask.h"
#include "transport/zalIdTimerHeap.h"

namespace zal {

class TIdIOHandlerStack;
class TzalIdSchedulerOfIOCP;
class TzalSock_IOCP_Engine;
class TzalSock_IOCP_WorkOpThread;

class TIdYarnOfIOCP : public TIdYarn, public TIdStepDriver, public TIdTimerHeap::TEntry {
public:
  explicit TIdYarnOfIOCP(TzalIdSchedulerOfIOCP* scheduler) : FScheduler(scheduler) {}
  ~TIdYarnOfIOCP() override;

  // Set by the server I/O handler that accepted the connection.
  void SetEngine(TzalSock_IOCP_Engine* engine) { FEngine = engine; }
  // Takes the task (freed with the yarn) and hands the yarn to a loop.
  void Start(TIdTask* task);
  // Asks the yarn's loop to end the connection; a yarn never started is freed here.
  void Terminate();

  void Wake() override;
  void AwaitStep(std::chrono::steady_clock::time_point deadline, bool writable, bool readable) override;

  TIdTask* Task() const { return FTask; }

private:
  friend class TzalSock_IOCP_WorkOpThread;

  TzalIdSchedulerOfIOCP* FScheduler;
  TzalSock_IOCP_Engine* FEngine = nullptr;
  TzalSock_IOCP_WorkOpThread* FLoop = nullptr;
  TIdTask* FTask = nullptr;
  std::atomic<bool> FTerminate{false};
  bool FReleased = false;  // left the scheduler's active yarns

  // The loop's own state of the connection, touched on its thread only
  // (FWoken under the loop's post lock).
  TIdIOHandlerStack* FSocket = nullptr;
  int FHandle = -1;
  bool FWoken = false;        // in the loop's posted list
  bool FScheduled = false;    // in the loop's ready list
  bool FStarted = false;      // the before-run step has run
  bool FEnded = false;        // ended; freed once the loop's round is over
  bool FAwaits = false;       // the last step said what it awaits
  bool FAwaitsInput = false;
  bool FAwaitsRoom = false;
  int FInputAtAwait = 0;  // the input buffer's size when the step said what it awaits
  std::chrono::steady_clock::time_point FDeadline = std::chrono::steady_clock::time_point::max();
  size_t FLoopIndex = SIZE_MAX;  // place in the loop's list of connections
};

class TzalIdSchedulerOfIOCP : public TIdScheduler {
public:
  ~TzalIdSchedulerOfIOCP() override { TerminateAllYarns(); }
  TIdYarn* AcquireYarn() override;
  void StartYarn(TIdYarn* yarn, TIdTask* task) override;
  void TerminateYarn(TIdYarn* yarn) override;
};

}  // namespace zal
