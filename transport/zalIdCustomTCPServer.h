#pragma once
// TIdCustomTCPServer: listens on its bindings (one listener thread each), wraps
// every accepted socket in a connection and a context, and runs the context on a
// worker of its scheduler: connect step, execute step while connected, disconnect
// step. Deactivation stops the listeners, closes every connection and returns only
// when every worker has ended.
#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include <sys/socket.h>

#include "support/zalIdException.h"
#include "transport/zalIdContext.h"
#include "transport/zalIdScheduler.h"
#include "transport/zalIdServerIOHandler.h"
#include "transport/zalIdSocketHandle.h"
#include "transport/zalIdThread.h"
#include "transport/zalIdThreadSafe.h"

namespace zal {

class TIdCustomTCPServer;
class TIdConnectionIntercept;
class TIdIOHandler;
class TIdTCPConnection;

// Gives each accepted connection its own connection intercept.
class TIdServerIntercept {
public:
  virtual ~TIdServerIntercept() = default;
  virtual void Init() {}
  virtual TIdConnectionIntercept* Accept(TIdTCPConnection* connection) = 0;
};

class TIdListenerThread : public TIdThread {
public:
  TIdListenerThread(TIdCustomTCPServer* server, TIdSocketHandle* binding);
  ~TIdListenerThread() override;

  TIdSocketHandle* Binding() const { return FBinding; }
  TIdCustomTCPServer* Server() const { return FServer; }
  std::function<void(TIdThread*)> FOnBeforeRun;
  // Set while accepting fails for want of resources, so the failure is reported once.
  bool FAcceptFailing = false;

protected:
  void BeforeRun() override;
  void Run() override;

private:
  TIdSocketHandle* FBinding;
  TIdCustomTCPServer* FServer;
};

// The kernel caps the backlog at net.core.somaxconn (SOMAXCONN by default).
constexpr int IdListenQueueDefault = SOMAXCONN;
constexpr int IdAcceptRetryDelayDefault = 100;

using TIdServerThreadEvent = std::function<void(TIdContext* context)>;
using TIdServerThreadExceptionEvent = std::function<void(TIdContext* context, const std::exception& e)>;
using TIdListenExceptionEvent = std::function<void(TIdListenerThread* thread, const std::exception& e)>;
using TIdSocketHandleEvent = std::function<void(TIdSocketHandle* binding)>;
using TNotifyEvent = std::function<void(void* sender)>;
using TIdServerContextClass =
    std::function<TIdServerContext*(TIdTCPConnection* connection, TIdYarn* yarn, TIdContextThreadList* list)>;

class TIdCustomTCPServer {
public:
  TIdCustomTCPServer();
  virtual ~TIdCustomTCPServer();
  TIdCustomTCPServer(const TIdCustomTCPServer&) = delete;
  TIdCustomTCPServer& operator=(const TIdCustomTCPServer&) = delete;

  bool Active() const { return FActive.load(); }
  void SetActive(bool value);

  TIdSocketHandles& Bindings() { return FBindings; }
  uint16_t DefaultPort() const { return FBindings.DefaultPort(); }
  void SetDefaultPort(uint16_t value) { FBindings.SetDefaultPort(value); }
  // The listen backlog: how many connections the kernel completes and queues
  // before the listener accepts them.
  int ListenQueue() const { return FListenQueue; }
  void SetListenQueue(int value) { FListenQueue = value; }
  // Milliseconds a listener waits before accepting again after accepting failed
  // for want of descriptors or memory; a stop ends the wait at once.
  int AcceptRetryDelay() const { return FAcceptRetryDelay; }
  void SetAcceptRetryDelay(int value) { FAcceptRetryDelay = value; }
  int MaxConnections() const { return FMaxConnections; }
  void SetMaxConnections(int value) { FMaxConnections = value; }
  TIdReuseSocket ReuseSocket() const { return FReuseSocket; }
  void SetReuseSocket(TIdReuseSocket value) { FReuseSocket = value; }
  int TerminateWaitTime() const { return FTerminateWaitTime; }
  void SetTerminateWaitTime(int value) { FTerminateWaitTime = value; }
  bool UseNagle() const { return FUseNagle; }
  void SetUseNagle(bool value) { FUseNagle = value; }
  const std::string& Name() const { return FName; }
  void SetName(const std::string& name) { FName = name; }

  TIdScheduler* Scheduler() const { return FScheduler; }
  // Not owned; raises while the server is active. nullptr frees an implicit scheduler.
  void SetScheduler(TIdScheduler* scheduler);
  TIdServerIOHandler* IOHandler() const { return FIOHandler; }
  // Not owned; frees an implicit handler and hands it the current scheduler.
  void SetIOHandler(TIdServerIOHandler* handler);
  TIdServerIntercept* Intercept() const { return FIntercept; }
  void SetIntercept(TIdServerIntercept* intercept) { FIntercept = intercept; }

  TIdContextThreadList& Contexts() { return FContexts; }
  int ListenerCount() const { return FListenerThreads.Count(); }
  void SetContextClass(TIdServerContextClass contextClass) { FContextClass = std::move(contextClass); }

  void StartListening();
  void StopListening();

  TIdServerThreadEvent OnContextCreated;
  TIdServerThreadEvent OnConnect;
  TIdServerThreadEvent OnDisconnect;
  TIdServerThreadExceptionEvent OnException;
  TIdServerThreadEvent OnExecute;
  TIdListenExceptionEvent OnListenException;
  TIdSocketHandleEvent OnBeforeBind;
  TNotifyEvent OnAfterBind;
  std::function<void(TIdThread*)> OnBeforeListenerRun;

protected:
  friend class TIdListenerThread;

  virtual void CheckOkToBeActive() {}
  virtual void Startup();
  virtual void Shutdown();
  virtual void DoConnect(TIdContext* context);
  virtual bool DoExecute(TIdContext* context);
  virtual void DoDisconnect(TIdContext* context);
  virtual void DoException(TIdContext* context, const std::exception& e);
  virtual void DoMaxConnectionsExceeded(TIdIOHandler*) {}
  virtual void ContextCreated(TIdContext* context);
  virtual void TerminateContext(TIdContext* context);
  void DoListenException(TIdListenerThread* thread, const std::exception& e);

  // Set while deactivation closes the connections.
  bool ShuttingDown() const { return FShuttingDown.load(); }
  // One accept step of a listener thread.
  void AcceptOneConnection(TIdListenerThread* listener);

private:
  void PrepareBindings(int first);
  void StartListenerThreads(int first);
  void TerminateAllContexts();
  void ReleaseImplicitScheduler();

  std::atomic<bool> FActive{false};
  std::atomic<bool> FShuttingDown{false};  // set while Shutdown closes connections
  TIdScheduler* FScheduler = nullptr;
  TIdSocketHandles FBindings;
  TIdServerContextClass FContextClass;
  std::unique_ptr<TIdScheduler> FImplicitScheduler;
  std::unique_ptr<TIdServerIOHandler> FImplicitIOHandler;
  TIdServerIntercept* FIntercept = nullptr;
  TIdServerIOHandler* FIOHandler = nullptr;
  TIdThreadSafeList<TIdListenerThread> FListenerThreads;
  int FListenQueue = IdListenQueueDefault;
  int FAcceptRetryDelay = IdAcceptRetryDelayDefault;
  int FMaxConnections = 0;
  TIdReuseSocket FReuseSocket = rsOSDependent;
  int FTerminateWaitTime = 5000;
  TIdContextThreadList FContexts;
  bool FUseNagle = true;
  std::string FName;
  std::recursive_mutex FActiveLock;  // serialises activation and deactivation
};

}  // namespace zal
