#include "transport/zalSock_IOCP_Engine.h"

#include <algorithm>
#include <thread>

#include "transport/zalSock_IOCP_WorkOpThread.h"

namespace zal {

namespace {

constexpr int kMaxThreads = 64;
constexpr int kDefaultIOCPThreads = 8;
constexpr int kDefaultTimeOutMs = 10000;

int LimitThreadCount(int value, int zeroGives) { return std::clamp(value == 0 ? zeroGives : value, 1, kMaxThreads); }

}  // namespace

int TzalSock_IOCP_Engine::LimitIOCPThreads(int value) { return LimitThreadCount(value, kDefaultIOCPThreads); }

int TzalSock_IOCP_Engine::LimitWorkOpThreads(int value) {
  return LimitThreadCount(value, static_cast<int>(std::max(1u, std::thread::hardware_concurrency())));
}

int TzalSock_IOCP_Engine::LimitTimeOut(int value) { return value == 0 ? kDefaultTimeOutMs : value; }

TzalSock_IOCP_Engine::TzalSock_IOCP_Engine(int workOpThreads) {
  const int loops = LimitWorkOpThreads(workOpThreads);
  FLoops.reserve(static_cast<size_t>(loops));
  for (int i = 0; i < loops; ++i)
    FLoops.push_back(std::make_unique<TzalSock_IOCP_WorkOpThread>(i));
}

TzalSock_IOCP_Engine::~TzalSock_IOCP_Engine() {
  for (auto& loop : FLoops)
    loop->Shutdown();
  FLoops.clear();  // each waits for its thread
}

TzalSock_IOCP_WorkOpThread& TzalSock_IOCP_Engine::ChooseLoop() {
  return *FLoops[FNextLoop.fetch_add(1, std::memory_order_relaxed) % FLoops.size()];
}

}  // namespace zal
