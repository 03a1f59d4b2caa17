#include "server/zalWebSocket_Server_Sock.h"

#include <thread>

#include "support/zalHelpers.h"
#include "transport/zalIdTCPConnection.h"

namespace zal {

TzalWSConnectionItem::TzalWSConnectionItem(TzalWSConnectionServer* connection) : FConnection(connection) {
  SetID(connection->Guid());
}

TzalWSServer_Sock_Base::TzalWSServer_Sock_Base() {
  FConnections.SetCacheSize(FOptimizations.Connections.CacheSize);
  FConnections.SetGroupLevel(FOptimizations.Connections.GroupLevel);
}

TzalWSServer_Sock_Base::~TzalWSServer_Sock_Base() { WaitForServerThreads(); }

void TzalWSServer_Sock_Base::WaitForServerThreads() {
  std::unique_lock lock(FServerThreadsLock);
  FServerThreadsDone.wait(lock, [this] { return FServerThreads == 0; });
}

void TzalWSServer_Sock_Base::SetPort(int value) {
  FPort = value;
  TCPServer().SetDefaultPort(static_cast<uint16_t>(value));
}

bool TzalWSServer_Sock_Base::Active() {
  if (IsLoading() || IsDesigning())
    return FActive;
  return TCPServer().Active();
}

bool TzalWSServer_Sock_Base::SSL() const { return FSSL; }

// Until the TLS handler is in place the setting is recorded and connections stay plain TCP.
void TzalWSServer_Sock_Base::SetSSL(bool value) { FSSL = value; }

bool TzalWSServer_Sock_Base::ThreadPool() const {
  if (IsLoading() || IsDesigning())
    return FThreadPool;
  return FSchedulerThreadPool != nullptr;
}

void TzalWSServer_Sock_Base::SetThreadPool(bool value) {
  FThreadPool = value;
  if (IsLoading() || IsDesigning())
    return;
  if (value && !FSchedulerThreadPool) {
    FSchedulerThreadPool = std::make_unique<TIdSchedulerOfThreadPool>();
    FSchedulerThreadPool->SetName("ThreadPoolScheduler");
    TCPServer().SetScheduler(FSchedulerThreadPool.get());
  } else if (!value && FSchedulerThreadPool) {
    TCPServer().SetScheduler(nullptr);
    FSchedulerThreadPool.reset();
  }
}

void TzalWSServer_Sock_Base::BeginLoading() { SetLoading(true); }

void TzalWSServer_Sock_Base::EndLoading() {
  SetLoading(false);
  if (ThreadPool() != FThreadPool)
    SetThreadPool(FThreadPool);
  if (Active() != FActive)
    SetActive(FActive);
}

// Copies the options that the listening server and its helpers take at activation.
void TzalWSServer_Sock_Base::ApplyActivationOptions() {
  if (FThreadPool && FSchedulerThreadPool) {
    FSchedulerThreadPool->SetMaxThreads(FThreadPoolOptions.MaxThreads);
    FSchedulerThreadPool->SetPoolSize(FThreadPoolOptions.PoolSize);
  }
}

void TzalWSServer_Sock_Base::ApplyLogFile() {
  if (!FLogFile.Enabled) {
    TCPServer().SetIntercept(nullptr);
    return;
  }
  if (!FInterceptLogFile)
    FInterceptLogFile = std::make_unique<TzalWSLogFileServerIntercept>();
  FInterceptLogFile->SetFileName(FLogFile.FileName);
  TCPServer().SetIntercept(FInterceptLogFile.get());
}

void TzalWSServer_Sock_Base::SetActive(bool value) {
  if (IsLoading() || IsDesigning()) {
    FActive = value;
    return;
  }
  TIdCustomTCPServer& server = TCPServer();
  if (value == server.Active())
    return;  // nothing to do; a running server keeps its connections
  if (value) {
    ApplyActivationOptions();
    ApplyLogFile();
  }
  if (server.Active())
    DisconnectAll();
  else
    StopTimers();
  server.SetUseNagle(FUseNagle);
  server.SetDefaultPort(static_cast<uint16_t>(FPort));
  server.SetActive(value);
  if (server.Active()) {
    FWatchDogEnabled.store(FWatchDog.Enabled);
    StartTimers();
  } else {
    FWatchDogEnabled.store(false);
    StopTimers();
  }
}

void TzalWSServer_Sock_Base::DoStartup() {
  FWatchDogMonitorSecret = CreateGuidString();
  if (OnStartup)
    OnStartup(this);
}

void TzalWSServer_Sock_Base::DoShutdown() {
  FWatchDogMonitorSecret.clear();
  if (OnShutdown)
    OnShutdown(this);
}

void TzalWSServer_Sock_Base::Start() { RunInBackground("start"); }
void TzalWSServer_Sock_Base::Stop() { RunInBackground("stop"); }
void TzalWSServer_Sock_Base::ReStart() { RunInBackground("restart"); }

void TzalWSServer_Sock_Base::RunInBackground(const char* method) {
  {
    std::lock_guard lock(FServerThreadsLock);
    ++FServerThreads;
  }
  std::thread([this, name = std::string(method)] {
    try {
      RunServerThread(name);
    } catch (const std::exception& e) {
      // Nobody waits for this thread: the failure (a port in use, say) goes to
      // the error path without a connection.
      DoError(nullptr, e.what());
    } catch (...) {
      DoError(nullptr, "Unknown exception.");
    }
    std::lock_guard lock(FServerThreadsLock);
    --FServerThreads;
    FServerThreadsDone.notify_all();
  }).detach();
}

// "restart" stops and then starts on the same thread, so the start waits for the
// stop to finish without polling.
void TzalWSServer_Sock_Base::RunServerThread(const std::string& method) {
  std::lock_guard lock(FCS);
  if (method == "start" || method == "restart") {
    if (method == "restart" && Active())
      SetActive(false);
    SetActive(true);
  } else if (method == "stop") {
    SetActive(false);
  }
}

TzalWSConnectionServer* TzalWSServer_Sock_Base::ConnectionOf(TIdContext* context) {
  return context ? dynamic_cast<TzalWSConnectionServer*>(context->Data()) : nullptr;
}

void TzalWSServer_Sock_Base::AttachConnection(TIdContext* context, std::unique_ptr<TzalWSConnectionServer> connection) {
  TIdContextThreadList::TLocked contexts(TCPServer().Contexts());
  context->SetData(std::move(connection));
}

TzalWSConnectionServer* TzalWSServer_Sock_Base::DetachConnection(TIdContext* context) {
  TIdContextThreadList::TLocked contexts(TCPServer().Contexts());
  TzalWSConnectionServer* connection = ConnectionOf(context);
  std::unique_ptr<TObject> data = context->TakeData();
  if (!connection)
    return nullptr;  // not ours: freed here
  // The TCP connection goes away with the context; the object may live on
  // until its queued events have been delivered.
  connection->SetTCPConnection(nullptr);
  connection->FContext = nullptr;
  data.release();
  return connection;
}

TzalWSConnectionServer* TzalWSServer_Sock_Base::GetConnectionByIndex(int Index) {
  TIdContextThreadList::TLocked contexts(TCPServer().Contexts());
  if (Index < 0 || Index >= static_cast<int>(contexts.Items().size()))
    return nullptr;
  return ConnectionOf(contexts.Items()[static_cast<size_t>(Index)]);
}

TzalWSConnectionServer* TzalWSServer_Sock_Base::GetConnectionByGuid(const std::string& aGuid) {
  if (FOptimizations.Connections.Enabled) {
    auto* item = static_cast<TzalWSConnectionItem*>(FConnections.GetItem(aGuid));
    return item ? item->Connection() : nullptr;
  }
  TIdContextThreadList::TLocked contexts(TCPServer().Contexts());
  for (TIdContext* context : contexts.Items()) {
    try {
      TzalWSConnectionServer* connection = ConnectionOf(context);
      if (connection && connection->Guid() == aGuid)
        return connection;
    } catch (const std::exception& e) {
      DoException(ConnectionOf(context), e);
    }
  }
  return nullptr;
}

void TzalWSServer_Sock_Base::RegisterConnection(TzalWSConnectionServer* connection) {
  if (FOptimizations.Connections.Enabled)
    FConnections.AddItem(new TzalWSConnectionItem(connection));
}

void TzalWSServer_Sock_Base::UnregisterConnection(TzalWSConnectionServer* connection) {
  if (FOptimizations.Connections.Enabled)
    FConnections.DeleteItem(connection->Guid());
}

void TzalWSServer_Sock_Base::DisconnectAll() {
  TIdContextThreadList::TLocked contexts(TCPServer().Contexts());
  for (TIdContext* context : contexts.Items()) {
    TzalWSConnectionServer* connection = ConnectionOf(context);
    if (!connection || connection->Disconnected())
      continue;
    try {
      CloseConnection(connection);
    } catch (const std::exception& e) {
      DoException(connection, e);
    }
  }
}

void TzalWSServer_Sock_Base::CloseConnection(TzalWSConnection* connection) {
  if (auto* sock = dynamic_cast<TzalWSConnection_Base_Sock*>(connection))
    sock->DisconnectTCP();
}

void TzalWSServer_Sock_Base::DoError(TzalWSConnection* connection, const std::string& error) {
  if (OnError) {
    if (connection)
      connection->FMsgError = error;
    NotifyError(connection, error);
  }
  if (connection)
    CloseConnection(connection);
}

// The exception being handled is delivered with its own type when `e` is it.
std::exception_ptr TzalWSServer_Sock_Base::OriginalOf(const std::exception& e) {
  std::exception_ptr current = std::current_exception();
  if (!current)
    return nullptr;
  try {
    std::rethrow_exception(current);
  } catch (const std::exception& handled) {
    if (&handled == &e)
      return current;
  } catch (...) {
  }
  return nullptr;
}

void TzalWSServer_Sock_Base::DoException(TzalWSConnection* connection, const std::exception& e) {
  if (OnException) {
    std::exception_ptr original = OriginalOf(e);
    if (!original)
      original = std::make_exception_ptr(EIdException(e.what()));
    if (connection) {
      connection->FMsgException = e.what();
      connection->FException = original;
    }
    NotifyException(connection, e, original);
  }
  if (connection)
    CloseConnection(connection);
}

}  // namespace zal
