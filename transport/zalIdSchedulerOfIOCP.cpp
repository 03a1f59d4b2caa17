#include "transport/zalIdSchedulerOfIOCP.h"

#include "transport/zalIdIOHandlerStack.h"
#include "transport/zalSock_IOCP_Engine.h"
#include "transport/zalSock_IOCP_WorkOpThread.h"

namespace zal {

TIdYarnOfIOCP::~TIdYarnOfIOCP() {
  if (!FReleased)
    FScheduler->ReleaseYarn(this);
  delete FTask;
}

void TIdYarnOfIOCP::Start(TIdTask* task) {
  if (!FEngine)
    throw EIdException("The event-loop scheduler serves only connections accepted by its own I/O handler.");
  FTask = task;
  FLoop = &FEngine->ChooseLoop();
  FLoop->Post(this);
}

void TIdYarnOfIOCP::Terminate() {
  if (!FLoop) {
    delete this;
    return;
  }
  FTerminate.store(true);
  FLoop->Post(this);
}

void TIdYarnOfIOCP::Wake() { FLoop->Post(this); }

void TIdYarnOfIOCP::AwaitStep(std::chrono::steady_clock::time_point deadline, bool writable, bool readable) {
  FAwaits = true;
  FDeadline = deadline;
  FAwaitsRoom = writable;
  FAwaitsInput = readable;
  FInputAtAwait = FSocket->InputBuffer().Size();
}

TIdYarn* TzalIdSchedulerOfIOCP::AcquireYarn() {
  auto* yarn = new TIdYarnOfIOCP(this);
  FActiveYarns.Add(yarn);
  return yarn;
}

void TzalIdSchedulerOfIOCP::StartYarn(TIdYarn* yarn, TIdTask* task) { static_cast<TIdYarnOfIOCP*>(yarn)->Start(task); }

void TzalIdSchedulerOfIOCP::TerminateYarn(TIdYarn* yarn) { static_cast<TIdYarnOfIOCP*>(yarn)->Terminate(); }

}  // namespace zal
