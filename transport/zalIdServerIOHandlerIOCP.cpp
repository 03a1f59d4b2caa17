#include "transport/zalIdServerIOHandlerIOCP.h"

#include "transport/zalIdSchedulerOfIOCP.h"

namespace zal {

void TzalSock_IOCP_EngineOwner::CheckScheduler(TIdScheduler* scheduler) {
  if (scheduler && !dynamic_cast<TzalIdSchedulerOfIOCP*>(scheduler))
    throw EIdException("Scheduler not a IOCP scheduler");
}

void TzalSock_IOCP_EngineOwner::AttachYarn(TIdYarn* yarn) {
  std::lock_guard lock(FEngineLock);
  if (!FEngine)
    FEngine = std::make_unique<TzalSock_IOCP_Engine>(FWorkOpThreads);
  static_cast<TIdYarnOfIOCP*>(yarn)->SetEngine(FEngine.get());
}

void TzalSock_IOCP_EngineOwner::FreeEngine() {
  std::unique_ptr<TzalSock_IOCP_Engine> engine;
  {
    std::lock_guard lock(FEngineLock);
    engine = std::move(FEngine);
  }
}

// An accepted connection whose yarn cannot be bound (no loop could be made)
// is closed again, as a failed accept.
TIdIOHandler* TzalSock_IOCP_EngineOwner::Bind(TIdIOHandler* accepted, TIdYarn* yarn) {
  if (!accepted)
    return nullptr;
  try {
    AttachYarn(yarn);
  } catch (...) {
    delete accepted;
    throw;
  }
  return accepted;
}

}  // namespace zal
