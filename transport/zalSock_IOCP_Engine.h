#pragma once
// The event-loop engine: a fixed set of loops (TzalSock_IOCP_WorkOpThread),
// however many connections there are. Each new connection is bound to the
// next loop in turn. The counts are read through the limits below each time.
#include <atomic>
#include <memory>
#include <vector>

namespace zal {

class TzalSock_IOCP_WorkOpThread;

class TzalSock_IOCP_Engine {
public:
  // 0 work-op threads: one loop per core.
  explicit TzalSock_IOCP_Engine(int workOpThreads);
  // Ends every loop (each ends the connections still on it) and waits for them.
  ~TzalSock_IOCP_Engine();
  TzalSock_IOCP_Engine(const TzalSock_IOCP_Engine&) = delete;
  TzalSock_IOCP_Engine& operator=(const TzalSock_IOCP_Engine&) = delete;

  TzalSock_IOCP_WorkOpThread& ChooseLoop();
  // The limits of the settings. Each loop waits for its own sockets, so there
  // are no separate completion threads, and a stop reaches a loop through its
  // eventfd, so no wait needs a bound to notice it: the completion-thread
  // count (0 gives 8, then 1 to 64) and the time-out (0 gives 10000 ms) are
  // kept and read back within these limits, and start no thread and bound no wait.
  static int LimitIOCPThreads(int value);
  // 0 gives one loop per core (more loops than cores only take turns); 1 to 64.
  static int LimitWorkOpThreads(int value);
  static int LimitTimeOut(int value);

private:
  std::vector<std::unique_ptr<TzalSock_IOCP_WorkOpThread>> FLoops;
  std::atomic<unsigned> FNextLoop{0};
};

}  // namespace zal
