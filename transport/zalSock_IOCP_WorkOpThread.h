#pragma once
// One event loop of the engine: a thread waiting on its own epoll set
// (edge-triggered), an eventfd for work posted from other threads, and a timer
// heap whose earliest deadline bounds the wait. Every connection bound to the
// loop runs its steps here, in order: one step per wake-up, then the wait
// for what the step asked for. An idle loop sleeps in epoll_wait without a
// time-out, so idle connections cost no wake-ups.
#include <mutex>
#include <vector>

#include "support/zalIdTextEncoding.h"
#include "transport/zalIdSchedulerOfIOCP.h"
#include "transport/zalIdThread.h"
#include "transport/zalIdTimerHeap.h"

struct epoll_event;

namespace zal {

class TIdBuffer;

class TzalSock_IOCP_WorkOpThread : public TIdThread {
public:
  explicit TzalSock_IOCP_WorkOpThread(int index);
  ~TzalSock_IOCP_WorkOpThread() override;

  // From any thread: the yarn's next step (its first: the connection starts,
  // or its end when it was asked to terminate) runs on this loop soon.
  void Post(TIdYarnOfIOCP* yarn);
  // From any thread: the loop ends its connections and leaves.
  void Shutdown();

protected:
  // One wait and the steps it brought.
  void Run() override;
  // Ends every connection still here.
  void AfterRun() override;

private:
  // Octets a receive may take into the loop's block before a step.
  static constexpr int ScratchSize = 65536;

  void WakeLoop();
  int WaitMilliseconds() const;
  void TakePosted();
  void HandleEvent(const epoll_event& event);
  void ScheduleDueTimers();
  void Schedule(TIdYarnOfIOCP* yarn);
  void RunReady();
  void RunYarn(TIdYarnOfIOCP* yarn);
  // The step itself, with the loop's block lent to the connection's input.
  bool RunStep(TIdYarnOfIOCP* yarn);
  void BeginConnection(TIdYarnOfIOCP* yarn);
  // After a step: run again now, or wait for the socket or the deadline.
  void AwaitNext(TIdYarnOfIOCP* yarn);
  void EndYarn(TIdYarnOfIOCP* yarn, const std::exception* failure);
  void Unlist(TIdYarnOfIOCP* yarn);
  void DisposeEnded();

  int FEpoll = -1;
  int FWakeHandle = -1;
  std::mutex FPostLock;
  std::vector<TIdYarnOfIOCP*> FPosted;  // under FPostLock
  std::vector<TIdYarnOfIOCP*> FReady;
  std::vector<TIdYarnOfIOCP*> FRunning;  // the round being run
  std::vector<TIdYarnOfIOCP*> FYarns;    // every connection listed on this loop
  std::vector<TIdYarnOfIOCP*> FEnded;    // freed after the round
  TIdTimerHeap FTimers;
  TIdBytes FScratch;
};

}  // namespace zal
