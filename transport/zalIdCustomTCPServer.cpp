#include "transport/zalIdCustomTCPServer.h"

#include <cassert>
#include <new>
#include <system_error>

#include "support/zalRaisedFlag.h"
#include "transport/zalIdIOHandler.h"
#include "transport/zalIdIntercept.h"
#include "transport/zalIdStack.h"
#include "transport/zalIdTCPConnection.h"

namespace zal {

// How long a listener waits before asking again for a worker its scheduler refused.
constexpr int kNoWorkerRetryMs = 100;

TIdListenerThread::TIdListenerThread(TIdCustomTCPServer* server, TIdSocketHandle* binding)
    : TIdThread(true), FBinding(binding), FServer(server) {}

TIdListenerThread::~TIdListenerThread() { StopAndJoin(); }

void TIdListenerThread::BeforeRun() {
  if (FOnBeforeRun)
    FOnBeforeRun(this);
}

void TIdListenerThread::Run() { FServer->AcceptOneConnection(this); }

TIdCustomTCPServer::TIdCustomTCPServer() {
  FContextClass = [](TIdTCPConnection* connection, TIdYarn* yarn, TIdContextThreadList* list) {
    return new TIdServerContext(connection, yarn, list);
  };
}

TIdCustomTCPServer::~TIdCustomTCPServer() {
  SetActive(false);
  FImplicitIOHandler.reset();
  FIOHandler = nullptr;
}

void TIdCustomTCPServer::SetScheduler(TIdScheduler* scheduler) {
  if (Active())
    throw EIdException("Cannot change the scheduler while the server is Active.");
  if (FScheduler == scheduler)
    return;
  FScheduler = scheduler;
  if (FImplicitScheduler && FImplicitScheduler.get() != scheduler)
    FImplicitScheduler.reset();
  if (FIOHandler)
    FIOHandler->SetScheduler(scheduler);
}

void TIdCustomTCPServer::SetIOHandler(TIdServerIOHandler* handler) {
  if (FIOHandler == handler)
    return;
  FIOHandler = handler;
  if (FImplicitIOHandler && FImplicitIOHandler.get() != handler)
    FImplicitIOHandler.reset();
  if (handler)
    handler->SetScheduler(FScheduler);
}

void TIdCustomTCPServer::SetActive(bool value) {
  std::lock_guard lock(FActiveLock);
  if (value == Active())
    return;
  if (!value) {
    FActive.store(false);
    Shutdown();
    return;
  }
  try {
    CheckOkToBeActive();
    Startup();
  } catch (...) {
    // A failed start still runs the whole shutdown so nothing is left running.
    FActive.store(true);
    SetActive(false);
    throw;
  }
  FActive.store(true);
}

void TIdCustomTCPServer::Startup() {
  if (FBindings.Count() == 0) {
    FBindings.Add().SetIPVersion(Id_IPv4);
    if (IdStackSupportsIPv6())
      FBindings.Add().SetIPVersion(Id_IPv6);
  }
  if (!FIOHandler) {
    FImplicitIOHandler = std::make_unique<TIdServerIOHandlerStack>();
    SetIOHandler(FImplicitIOHandler.get());
  }
  FIOHandler->Init();
  if (!FScheduler) {
    auto scheduler = std::make_unique<TIdSchedulerOfThreadDefault>();
    scheduler->SetName(FName + "Scheduler");
    FImplicitScheduler = std::move(scheduler);
    SetScheduler(FImplicitScheduler.get());
  }
  FScheduler->Init();
  StartListening();
}

void TIdCustomTCPServer::PrepareBindings(int first) {
  int current = first;
  try {
    for (; current < FBindings.Count(); ++current) {
      TIdSocketHandle& binding = FBindings.Items(current);
      binding.AllocateSocket();
      if (FReuseSocket != rsOSDependent)
        binding.SetReuseSocket(FReuseSocket);
      if (OnBeforeBind)
        OnBeforeBind(&binding);
      binding.Bind();
      binding.SetUseNagle(FUseNagle);
    }
  } catch (...) {
    for (int i = first; i <= current && i < FBindings.Count(); ++i)
      FBindings.Items(i).CloseSocket();
    throw;
  }
}

void TIdCustomTCPServer::StartListenerThreads(int first) {
  const std::string base = FName.empty() ? "IdCustomTCPServer" : FName;
  for (int i = first; i < FBindings.Count(); ++i) {
    TIdSocketHandle& binding = FBindings.Items(i);
    binding.Listen(FListenQueue);
    auto* listener = new TIdListenerThread(this, &binding);
    try {
      listener->SetName(base + " Listener #" + std::to_string(i + 1));
      listener->FOnBeforeRun = [this](TIdThread* thread) {
        if (OnBeforeListenerRun)
          OnBeforeListenerRun(thread);
      };
      listener->SetPriority(tpHighest);
      FListenerThreads.Add(listener);
    } catch (...) {
      binding.CloseSocket();
      delete listener;
      throw;
    }
    listener->Start();
  }
}

void TIdCustomTCPServer::StartListening() {
  auto& listeners = FListenerThreads.LockList();
  const int first = static_cast<int>(listeners.size());
  try {
    PrepareBindings(first);
    if (first < FBindings.Count() && OnAfterBind)
      OnAfterBind(this);
    StartListenerThreads(first);
  } catch (...) {
    FListenerThreads.UnlockList();
    throw;
  }
  FListenerThreads.UnlockList();
}

void TIdCustomTCPServer::StopListening() {
  auto& listeners = FListenerThreads.LockList();
  while (!listeners.empty()) {
    TIdListenerThread* listener = listeners.front();
    listener->Terminate();
    listener->Binding()->CloseSocket();  // wakes the listener's wait for a client
    listener->WaitFor();
    delete listener;
    listeners.erase(listeners.begin());
  }
  FListenerThreads.UnlockList();
}

void TIdCustomTCPServer::AcceptOneConnection(TIdListenerThread* listener) {
  assert(FScheduler && FIOHandler);
  TIdYarn* yarn = nullptr;
  TIdTCPConnection* connection = nullptr;
  TIdServerContext* context = nullptr;
  try {
    yarn = FScheduler->AcquireYarn();
    TIdIOHandler* io = FIOHandler->Accept(listener->Binding(), listener, yarn);
    if (!io) {
      listener->Stop();
      throw EAbort();
    }
    connection = new TIdTCPConnection();
    connection->SetIOHandler(io, true);
    if (FMaxConnections > 0 && !FContexts.IsCountLessThan(FMaxConnections)) {
      DoMaxConnectionsExceeded(io);
      connection->Disconnect(false);
      throw EAbort();
    }
    context = FContextClass(connection, yarn, &FContexts);
    context->SetServer(this);
    context->OnBeforeRun = [this](TIdContext* c) { DoConnect(c); };
    context->OnRun = [this](TIdContext* c) { return DoExecute(c); };
    context->OnAfterRun = [this](TIdContext* c) { DoDisconnect(c); };
    context->OnException = [this](TIdContext* c, const std::exception& e) { DoException(c, e); };
    ContextCreated(context);
    FScheduler->StartYarn(yarn, context);
    listener->FAcceptFailing = false;
  } catch (const std::exception& e) {
    if (context) {
      context->SetOwnsConnection(false);
      delete context;
    }
    delete connection;
    if (yarn)
      FScheduler->TerminateYarn(yarn);
    // Out of descriptors, threads (a pid or task limit) or memory: the client
    // stays queued and the listening socket readable, and the next worker
    // cannot be had either, so retrying at once would spin. Report it once,
    // then wait.
    const bool outOfResources = dynamic_cast<const EIdSocketError*>(&e) || dynamic_cast<const std::system_error*>(&e) ||
                                dynamic_cast<const std::bad_alloc*>(&e);
    if (!dynamic_cast<const EAbort*>(&e) && !(outOfResources && listener->FAcceptFailing))
      DoListenException(listener, e);
    if (outOfResources) {
      listener->FAcceptFailing = true;
      listener->WaitForTermination(FAcceptRetryDelay);
    }
    // No worker could be had: give running connections time to end instead of
    // failing again at once; a stop request still ends the wait immediately.
    if (dynamic_cast<const EIdSchedulerMaxThreadsExceeded*>(&e))
      listener->WaitForTermination(kNoWorkerRetryMs);
  }
}

void TIdCustomTCPServer::DoListenException(TIdListenerThread* thread, const std::exception& e) {
  if (OnListenException)
    OnListenException(thread, e);
}

void TIdCustomTCPServer::ContextCreated(TIdContext* context) {
  if (OnContextCreated)
    OnContextCreated(context);
}

void TIdCustomTCPServer::DoConnect(TIdContext* context) {
  // The context has just entered the list. When deactivation has already walked
  // the list, it missed this one: close it here so the worker ends at once.
  if (FShuttingDown.load())
    context->Connection()->Disconnect(false);
  if (FIntercept) {
    TIdTCPConnection* connection = context->Connection();
    TIdConnectionIntercept* intercept = FIntercept->Accept(connection);
    connection->IOHandler()->SetIntercept(intercept);
    if (intercept)
      intercept->Connect(connection);
  }
  if (OnConnect)
    OnConnect(context);
}

bool TIdCustomTCPServer::DoExecute(TIdContext* context) {
  if (OnExecute)
    OnExecute(context);
  TIdTCPConnection* connection = context->Connection();
  // Octets the step left unread keep the connection; only an empty buffer is
  // filled to notice a close, so a step that reads no more (an answer waiting
  // for a peer that does not read) is not made to buffer without limit.
  TIdIOHandler* io = connection->IOHandler();
  if ((io && io->Opened() && !io->InputBufferIsEmpty()) || connection->Connected())
    return true;
  // The connection's steps are over: what it still buffers is never read.
  if (io)
    io->InputBuffer().Clear();
  return false;
}

void TIdCustomTCPServer::DoDisconnect(TIdContext* context) {
  if (OnDisconnect)
    OnDisconnect(context);
  TIdIOHandler* io = context->Connection()->IOHandler();
  if (io && io->Intercept()) {
    TIdConnectionIntercept* intercept = io->Intercept();
    intercept->Disconnect();
    io->SetIntercept(nullptr);
    delete intercept;
  }
}

void TIdCustomTCPServer::DoException(TIdContext* context, const std::exception& e) {
  if (OnException)
    OnException(context, e);
}

void TIdCustomTCPServer::TerminateContext(TIdContext* context) { context->Connection()->Disconnect(false); }

void TIdCustomTCPServer::TerminateAllContexts() {
  TIdContextThreadList::TLocked contexts(FContexts);
  for (TIdContext* context : contexts.Items()) {
    assert(context && context->Connection());
    TerminateContext(context);
  }
}

void TIdCustomTCPServer::ReleaseImplicitScheduler() {
  if (FImplicitScheduler && FScheduler == FImplicitScheduler.get()) {
    FScheduler = nullptr;
    if (FIOHandler)
      FIOHandler->SetScheduler(nullptr);
    FImplicitScheduler.reset();
  }
}

void TIdCustomTCPServer::Shutdown() {
  const TzalRaisedFlag shuttingDown(FShuttingDown);
  StopListening();
  try {
    TerminateAllContexts();
    if (FScheduler)
      FScheduler->TerminateAllYarns();
  } catch (...) {
    ReleaseImplicitScheduler();
    throw;
  }
  ReleaseImplicitScheduler();
  if (FIOHandler)
    FIOHandler->Shutdown();
}

}  // namespace zal
