#include "server/zalWebSocket_Server_Sock.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
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

TzalWSServer_Sock_Base::~TzalWSServer_Sock_Base() {
  DestroyTimers();
  WaitForServerThreads();
  StopLoadBalancer();
}

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

bool TzalWSServer_Sock_Base::SSL() const {
  if (IsLoading() || IsDesigning())
    return FSSL;
  return dynamic_cast<TIdServerIOHandlerSSLOpenSSL*>(TCPServer().IOHandler()) != nullptr;
}

void TzalWSServer_Sock_Base::SetSSL(bool value) {
  FSSL = value;
  if (IsLoading() || IsDesigning())
    return;
  if (value == (FHandlerSSL != nullptr))
    return;
  // Listener threads use the handler while the server runs.
  if (TCPServer().Active())
    throw EIdException("Cannot change SSL while the server is Active.");
  if (value)
    CreateHandlerSSL();
  else
    RemoveHandlerSSL();
}

void TzalWSServer_Sock_Base::CreateHandlerSSL() {
  TIdServerIOHandlerSSLBase* handler = nullptr;
  if (OnSSLGetHandler)
    OnSSLGetHandler(this, sslServer, handler);
  if (handler) {
    FHandlerSSL = handler;  // the application's, used as it is
    TCPServer().SetIOHandler(handler);
    return;
  }
  std::unique_ptr<TIdServerIOHandlerSSLOpenSSL> openSSL;
  if (LoopEngine()) {
    UseLoopScheduler();
    openSSL = std::make_unique<TzalIdServerIOHandlerIOCPOpenSSL>();
  } else {
    openSSL = std::make_unique<TIdServerIOHandlerSSLOpenSSL>();
  }
  openSSL->OnGetPassword = [this](std::string& password) { password = FSSLOptions.Password; };
  openSSL->OnALPNSelect = [this](void*, const std::vector<std::string>& protocols, std::string& protocol) {
    SelectALPN(protocols, protocol);
  };
  ApplySSLOptions(*openSSL);
  FHandlerSSL = openSSL.get();
  FOwnedHandlerSSL = std::move(openSSL);
  TCPServer().SetIOHandler(FHandlerSSL);
  if (OnSSLAfterCreateHandler)
    OnSSLAfterCreateHandler(this, sslServer, FHandlerSSL);
}

void TzalWSServer_Sock_Base::RemoveHandlerSSL() {
  if (TCPServer().IOHandler() == FHandlerSSL)
    TCPServer().SetIOHandler(nullptr);
  FHandlerSSL = nullptr;
  FOwnedHandlerSSL.reset();
}

void TzalWSServer_Sock_Base::ApplySSLOptions(TIdServerIOHandlerSSLOpenSSL& handler) {
  TIdSSLOptions& options = handler.SSLOptions();
  options.SetMode(sslmServer);
  switch (FSSLOptions.Version) {
    case tls1_0: options.SetMethod(sslvTLSv1); break;
    case tls1_1: options.SetMethod(sslvTLSv1_1); break;
    case tls1_2: options.SetMethod(sslvTLSv1_2); break;
    case tls1_3: options.SetMethod(sslvTLSv1_3); break;
    default: options.SetMethod(sslvSSLv23); break;
  }
  options.SetVerifyMode(FSSLOptions.VerifyCertificate ? VerifyModeBit(sslvrfPeer) : 0);
  if (FSSLOptions.VerifyCertificate && FSSLOptions.VerifyDepth >= 0)
    options.SetVerifyDepth(FSSLOptions.VerifyDepth);
  handler.SetHandshakeTimeout(FSSLOptions.HandshakeTimeOut);
}

void TzalWSServer_Sock_Base::SelectALPN(const std::vector<std::string>& aProtocols, std::string& aProtocol) {
  if (FHTTP2Options.Enabled && std::find(aProtocols.begin(), aProtocols.end(), "h2") != aProtocols.end()) {
    aProtocol = "h2";
    return;
  }
  if (OnSSLALPNSelect)
    OnSSLALPNSelect(this, aProtocols, aProtocol);
  // The HTTP/1.1 engine serves every connection HTTP/2 does not take.
  if (aProtocol.empty() && std::find(aProtocols.begin(), aProtocols.end(), "http/1.1") != aProtocols.end())
    aProtocol = "http/1.1";
}

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
  if (SSL() != FSSL)
    SetSSL(FSSL);
  if (ThreadPool() != FThreadPool)
    SetThreadPool(FThreadPool);
  if (Active() != FActive)
    SetActive(FActive);
}

// Copies the options that the listening server and its helpers take at activation.
void TzalWSServer_Sock_Base::ApplyActivationOptions() {
  if (auto* openSSL = dynamic_cast<TIdServerIOHandlerSSLOpenSSL*>(FHandlerSSL)) {
    TIdSSLOptions& options = openSSL->SSLOptions();
    options.SetCertFile(FSSLOptions.CertFile);
    options.SetKeyFile(FSSLOptions.KeyFile);
    options.SetRootCertFile(FSSLOptions.RootCertFile);
    // Settings changed after SSL was switched on count as well.
    if (FOwnedHandlerSSL.get() == FHandlerSSL)
      ApplySSLOptions(*openSSL);
  }
  if (FThreadPool && FSchedulerThreadPool) {
    FSchedulerThreadPool->SetMaxThreads(FThreadPoolOptions.MaxThreads);
    FSchedulerThreadPool->SetPoolSize(FThreadPoolOptions.PoolSize);
  }
  ApplyEngine();
}

void TzalWSServer_Sock_Base::ApplyEngine() {
  // A TLS handler the component made serves the engine it was made for.
  const bool loopTLS = dynamic_cast<TzalIdServerIOHandlerIOCPOpenSSL*>(FHandlerSSL) != nullptr;
  if (FOwnedHandlerSSL && FOwnedHandlerSSL.get() == FHandlerSSL && loopTLS != LoopEngine()) {
    RemoveHandlerSSL();
    CreateHandlerSSL();
  }
  if (!LoopEngine())
    return LeaveLoopEngine();
  TzalSock_IOCP_EngineOwner* owner = dynamic_cast<TzalIdServerIOHandlerIOCPOpenSSL*>(FHandlerSSL);
  if (FHandlerSSL && !owner)
    throw EIdException("The event-loop engine needs a TLS handler of its own kind (TzalIdServerIOHandlerIOCPOpenSSL).");
  UseLoopScheduler();
  if (!FHandlerSSL) {
    if (!FHandlerIOCP)
      FHandlerIOCP = std::make_unique<TzalIdServerIOHandlerIOCP>();
    TCPServer().SetIOHandler(FHandlerIOCP.get());
    owner = FHandlerIOCP.get();
  }
  if (owner) {
    owner->SetIOCPThreads(FIOHandlerOptions.IOCP.IOCPThreads);
    owner->SetWorkOpThreads(FIOHandlerOptions.IOCP.WorkOpThreads);
    owner->SetTimeOut(FIOHandlerOptions.IOCP.TimeOut);
  }
}

void TzalWSServer_Sock_Base::UseLoopScheduler() {
  if (!FSchedulerIOCP) {
    FSchedulerIOCP = std::make_unique<TzalIdSchedulerOfIOCP>();
    FSchedulerIOCP->SetName("IOCPScheduler");
  }
  TCPServer().SetScheduler(FSchedulerIOCP.get());
}

void TzalWSServer_Sock_Base::LeaveLoopEngine() {
  if (FHandlerIOCP && TCPServer().IOHandler() == FHandlerIOCP.get())
    TCPServer().SetIOHandler(nullptr);
  FHandlerIOCP.reset();
  if (FSchedulerIOCP) {
    TCPServer().SetScheduler(FSchedulerThreadPool.get());
    FSchedulerIOCP.reset();
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
  if (server.Active()) {
    FWatchDogEnabled.store(false);  // a tick from now on finds nothing to restart
    FinishConnectionsBeforeStop();
    DisconnectAll();
  } else {
    FreeTimers();
  }
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
  {
    std::lock_guard lock(FMonitorSecretLock);
    FWatchDogMonitorSecret = CreateGuidString();
  }
  if (OnStartup)
    OnStartup(this);
  if (FLoadBalancer.Enabled)
    StartLoadBalancer();
}

void TzalWSServer_Sock_Base::DoShutdown() {
  {
    std::lock_guard lock(FMonitorSecretLock);
    FWatchDogMonitorSecret.clear();
  }
  StopLoadBalancer();
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
  std::unique_ptr<TObject> data;
  {
    TIdContextThreadList::TLocked contexts(TCPServer().Contexts());
    data = context->TakeData();
  }
  auto* connection = dynamic_cast<TzalWSConnectionServer*>(data.get());
  if (!connection)
    return nullptr;  // not ours: freed here
  // The TCP connection goes away with the context, while the object may live
  // on in the hands of other threads (writers, queued events). Outside the
  // context-list lock: this waits for a frame another thread is writing.
  connection->SetTCPConnection(nullptr);
  connection->FContext = nullptr;
  data.release();
  return connection;
}

TzalWSConnectionServerRef TzalWSServer_Sock_Base::GetConnectionByIndex(int Index) {
  TIdContextThreadList::TLocked contexts(TCPServer().Contexts());
  if (Index < 0 || Index >= static_cast<int>(contexts.Items().size()))
    return {};
  return TzalWSConnectionServerRef(ConnectionOf(contexts.Items()[static_cast<size_t>(Index)]));
}

TzalWSConnectionServerRef TzalWSServer_Sock_Base::GetConnectionByGuid(const std::string& aGuid) {
  if (FOptimizations.Connections.Enabled) {
    std::lock_guard lock(FConnectionsLock);
    auto* item = static_cast<TzalWSConnectionItem*>(FConnections.GetItem(aGuid));
    return TzalWSConnectionServerRef(item ? item->Connection() : nullptr);
  }
  TIdContextThreadList::TLocked contexts(TCPServer().Contexts());
  for (TIdContext* context : contexts.Items()) {
    try {
      TzalWSConnectionServer* connection = ConnectionOf(context);
      if (connection && connection->Guid() == aGuid)
        return TzalWSConnectionServerRef(connection);
    } catch (const std::exception& e) {
      DoException(ConnectionOf(context), e);
    }
  }
  return {};
}

// A registered connection is removed before its owner gives up its reference
// (the disconnect step), so an entry found under the lock names a live object.
void TzalWSServer_Sock_Base::RegisterConnection(TzalWSConnectionServer* connection) {
  if (!FOptimizations.Connections.Enabled)
    return;
  std::lock_guard lock(FConnectionsLock);
  FConnections.AddItem(new TzalWSConnectionItem(connection));
}

void TzalWSServer_Sock_Base::UnregisterConnection(TzalWSConnectionServer* connection) {
  if (!FOptimizations.Connections.Enabled)
    return;
  std::lock_guard lock(FConnectionsLock);
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
    sock->EndConnection();
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

namespace {

bool InCommaList(const std::string& list, const std::string& item) {
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(',', start);
    if (end == std::string::npos)
      end = list.size();
    if (list.compare(start, end - start, item) == 0)
      return true;
    start = end + 1;
  }
  return false;
}

// The whole stream from its start, as the bus carries it.
std::string StreamOctets(TStream& aStream) {
  if (auto* memory = dynamic_cast<TMemoryStream*>(&aStream))
    return std::string(memory->Bytes().begin(), memory->Bytes().end());
  std::string octets(static_cast<size_t>(aStream.Size()), '\0');
  aStream.SetPosition(0);
  aStream.ReadBuffer(octets.data(), static_cast<int64_t>(octets.size()));
  return octets;
}

TzalLoadBalancerMessage LoadBalancerMessage(TzalLoadBalancerMessageKind aKind, const std::string& aGuid,
                                            std::string aBody, int aSize = 0, TwsStreaming aStreaming = stmNone) {
  TzalLoadBalancerMessage message;
  message.Kind = aKind;
  message.Guid = aGuid;
  message.Size = aSize;
  message.Streaming = aStreaming;
  message.Body = std::move(aBody);
  return message;
}

std::string LocalTimeText() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  char text[64];
  snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d%03ld", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
           local.tm_hour, local.tm_min, local.tm_sec, now.tv_nsec / 1000000);
  return text;
}

}  // namespace

void TzalWSServer_Sock_Base::ForEachBroadcastTarget(bool aPing, const std::string& aChannel,
                                                    const std::string& aProtocol, const std::string& Exclude,
                                                    const std::string& Include,
                                                    const std::function<void(TzalWSConnectionServer*)>& send) {
  for (const TzalWSConnectionServerRef& connection : LiveConnectionsLastFirst()) {
    if (!connection->Enabled() || (connection->Disconnected() && !aPing))
      continue;
    if ((!Exclude.empty() && InCommaList(Exclude, connection->Guid())) ||
        (!Include.empty() && !InCommaList(Include, connection->Guid())))
      continue;
    if (!aPing && (connection->Transport() == trpHTTP2 || !TextIsSame(connection->Protocol(), aProtocol) ||
                   !connection->Subscribed(aChannel)))
      continue;
    try {
      if (aPing) {
        bool handled = false;
        if (OnBeforeHeartBeat)
          OnBeforeHeartBeat(this, connection.get(), handled);
        connection->FCustomHeartBeat = handled;
        if (handled)
          continue;
      }
      send(connection.get());
    } catch (const std::exception& e) {
      DoException(connection.get(), e);
    }
  }
}

std::vector<TzalWSConnectionServerRef> TzalWSServer_Sock_Base::LiveConnectionsLastFirst() {
  std::vector<TzalWSConnectionServerRef> connections;
  TIdContextThreadList::TLocked contexts(TCPServer().Contexts());
  connections.reserve(contexts.Items().size());
  for (auto it = contexts.Items().rbegin(); it != contexts.Items().rend(); ++it)
    if (TzalWSConnectionServer* connection = ConnectionOf(*it))
      connections.emplace_back(connection);
  return connections;
}

void TzalWSServer_Sock_Base::Broadcast(const std::string& aMessage, const std::string& aChannel,
                                       const std::string& aProtocol, const std::string& Exclude,
                                       const std::string& Include) {
  ForEachBroadcastTarget(false, aChannel, aProtocol, Exclude, Include,
                         [&](TzalWSConnectionServer* connection) { connection->WriteData(aMessage); });
  if (auto link = LoadBalancerLink())
    PublishBroadcast(*link, lbmBroadcastText, aMessage, aChannel, aProtocol, Exclude, Include);
}

void TzalWSServer_Sock_Base::BroadcastAsText(const std::string& aMessage, const std::string& aChannel,
                                             const std::string& aProtocol, const std::string& Exclude,
                                             const std::string& Include) {
  ForEachBroadcastTarget(false, aChannel, aProtocol, Exclude, Include,
                         [&](TzalWSConnectionServer* connection) { connection->WriteDataAsText(aMessage); });
}

void TzalWSServer_Sock_Base::Broadcast(TStream& aStream, const std::string& aChannel, const std::string& aProtocol,
                                       const std::string& Exclude, const std::string& Include, int aSize,
                                       TwsStreaming aStreaming) {
  ForEachBroadcastTarget(false, aChannel, aProtocol, Exclude, Include, [&](TzalWSConnectionServer* connection) {
    connection->WriteData(aStream, aSize, aStreaming);
  });
  if (auto link = LoadBalancerLink())
    PublishBroadcast(*link, lbmBroadcastBinary, StreamOctets(aStream), aChannel, aProtocol, Exclude, Include, aSize,
                     aStreaming);
}

void TzalWSServer_Sock_Base::Ping(const std::string& aText) {
  const std::string text = aText.empty() ? LocalTimeText() : aText;
  ForEachBroadcastTarget(true, "", "", "", "",
                         [&](TzalWSConnectionServer* connection) { connection->PostPing(text); });
}

template <typename Send>
bool TzalWSServer_Sock_Base::WriteToGuid(const std::string& aGuid, Send send) {
  const TzalWSConnectionServerRef connection = GetConnectionByGuid(aGuid);
  if (!connection || !connection->Enabled() || connection->Disconnected())
    return false;
  try {
    send(connection.get());
    return true;
  } catch (const std::exception& e) {
    DoError(connection.get(), e.what());
    return false;
  }
}

bool TzalWSServer_Sock_Base::WriteData(const std::string& aGuid, const std::string& aMessage) {
  if (auto link = LinkForRemoteGuid(aGuid))
    return link->Publish(LoadBalancerMessage(lbmWriteText, aGuid, aMessage));
  return WriteToGuid(aGuid, [&](TzalWSConnectionServer* connection) { connection->WriteData(aMessage); });
}

bool TzalWSServer_Sock_Base::WriteData(const std::string& aGuid, TStream& aStream, int aSize,
                                       TwsStreaming aStreaming) {
  if (auto link = LinkForRemoteGuid(aGuid))
    return link->Publish(LoadBalancerMessage(lbmWriteBinary, aGuid, StreamOctets(aStream), aSize, aStreaming));
  return WriteToGuid(aGuid,
                     [&](TzalWSConnectionServer* connection) { connection->WriteData(aStream, aSize, aStreaming); });
}

}  // namespace zal

namespace zal {

void TzalWSServer_Sock_Base::RegisterProtocol(TzalWSProtocol* aObject) {
  std::lock_guard lock(FProtocolsLock);
  if (std::find(FProtocolObjectList.begin(), FProtocolObjectList.end(), aObject) != FProtocolObjectList.end())
    return;
  FProtocolObjectList.push_back(aObject);
  FProtocolNames.push_back(aObject->Protocol());
}

void TzalWSServer_Sock_Base::RegisterProtocol(const std::string& aProtocol) {
  std::lock_guard lock(FProtocolsLock);
  FProtocolNames.push_back(aProtocol);
}

void TzalWSServer_Sock_Base::UnRegisterProtocol(TzalWSProtocol* aObject) {
  std::lock_guard lock(FProtocolsLock);
  const auto found = std::find(FProtocolObjectList.begin(), FProtocolObjectList.end(), aObject);
  if (found == FProtocolObjectList.end())
    return;
  FProtocolObjectList.erase(found);
  UnRegisterProtocol(aObject->Protocol());
}

void TzalWSServer_Sock_Base::UnRegisterProtocol(const std::string& aProtocol) {
  std::lock_guard lock(FProtocolsLock);
  const auto found = std::find(FProtocolNames.begin(), FProtocolNames.end(), aProtocol);
  if (found != FProtocolNames.end())
    FProtocolNames.erase(found);
}

std::string TzalWSServer_Sock_Base::ProtocolNames() {
  std::lock_guard lock(FProtocolsLock);
  std::string names;
  for (const std::string& name : FProtocolNames)
    names += (names.empty() ? "" : ",") + name;
  return names;
}

TzalWSProtocol* TzalWSServer_Sock_Base::GetProtocolObject(const std::string& aProtocol) {
  std::lock_guard lock(FProtocolsLock);
  for (TzalWSProtocol* object : FProtocolObjectList)
    if (TextIsSame(object->Protocol(), aProtocol))
      return object;
  return nullptr;
}

TzalWSProtocol* TzalWSServer_Sock_Base::ProtocolObjectOf(TzalWSConnection* aConnection) {
  return aConnection->Protocol().empty() ? nullptr : GetProtocolObject(aConnection->Protocol());
}

void TzalWSServer_Sock_Base::AddSessionID(const std::string& aID, const std::string& aUser,
                                          const std::string& aPassword) {
  FSessionIDs.SetLimits(FAuthentication.Session.TimeOut, FAuthentication.Session.MaxCount);
  FSessionIDs.Add(aID, aUser, aPassword);
}

bool TzalWSServer_Sock_Base::ConsumeSessionID(const std::string& aID, std::string& aUser, std::string& aPassword) {
  return FSessionIDs.Consume(aID, aUser, aPassword);
}

void TzalWSServer_Sock_Base::OnServerAuthenticationEvent(TzalWSConnection* Connection, const std::string& aUser,
                                                         const std::string& aPassword, bool& Authenticated) {
  auto* connection = dynamic_cast<TzalWSConnectionServer*>(Connection);
  if (connection)
    Authenticated = connection->FAuthentication.FAuthenticated;
  for (const std::string& line : FAuthentication.AuthUsers) {
    const size_t equals = line.find('=');
    if (equals != std::string::npos && TextIsSame(std::string_view(line).substr(0, equals), aUser) &&
        line.substr(equals + 1) == aPassword)
      Authenticated = true;
  }
  if (OnAuthentication)
    OnAuthentication(Connection, aUser, aPassword, Authenticated);
  if (Authenticated && connection && connection->FAuthentication.FAuthType == authSession) {
    AddSessionID(connection->SessionID(), aUser, aPassword);
  }
}

}  // namespace zal

namespace zal {

std::shared_ptr<TzalWSLoadBalancerLink> TzalWSServer_Sock_Base::LoadBalancerLink() {
  std::lock_guard lock(FLoadBalancerLock);
  return FLoadBalancerLink;
}

void TzalWSServer_Sock_Base::StartLoadBalancer() {
  if (FLoadBalancer.Guid.empty())
    FLoadBalancer.Guid = CreateGuidString();
  TzalWSLoadBalancerLinkSettings settings;
  settings.Host = FLoadBalancer.Host;
  settings.Port = FLoadBalancer.Port;
  settings.Guid = FLoadBalancer.Guid;
  settings.TimeOut = FLoadBalancer.TimeOut;
  settings.MaxQueuedBytes = static_cast<size_t>(std::max(FLoadBalancer.MaxQueuedBytes, 0));
  if (FLoadBalancer.AutoRestart > 0)
    settings.RetryDelayMax = FLoadBalancer.AutoRestart * 1000;
  auto link = std::make_shared<TzalWSLoadBalancerLink>(settings);
  // A failing handler of the application must not end the link's threads.
  auto raise = [this](const std::function<void()>& event) {
    try {
      event();
    } catch (const std::exception& e) {
      DoError(nullptr, e.what());
    }
  };
  link->OnConnect = [this, raise] { raise([this] { if (OnLoadBalancerConnect) OnLoadBalancerConnect(this); }); };
  link->OnDisconnect = [this, raise] {
    raise([this] { if (OnLoadBalancerDisconnect) OnLoadBalancerDisconnect(this); });
  };
  link->OnError = [this, raise](const std::string& error) {
    raise([&] { if (OnLoadBalancerError) OnLoadBalancerError(this, error); });
  };
  link->OnMessage = [this](const TzalLoadBalancerMessage& message) { DeliverFromLoadBalancer(message); };
  link->Start();
  std::lock_guard lock(FLoadBalancerLock);
  FLoadBalancerLink = std::move(link);
}

void TzalWSServer_Sock_Base::StopLoadBalancer() {
  std::shared_ptr<TzalWSLoadBalancerLink> link;
  {
    std::lock_guard lock(FLoadBalancerLock);
    link.swap(FLoadBalancerLink);
  }
  if (link)
    link->Stop();
}

std::shared_ptr<TzalWSLoadBalancerLink> TzalWSServer_Sock_Base::LinkForRemoteGuid(const std::string& aGuid) {
  std::shared_ptr<TzalWSLoadBalancerLink> link = LoadBalancerLink();
  if (!link || GetConnectionByGuid(aGuid))
    return nullptr;
  return link;
}

void TzalWSServer_Sock_Base::PublishBroadcast(TzalWSLoadBalancerLink& aLink, TzalLoadBalancerMessageKind aKind,
                                              std::string aBody, const std::string& aChannel,
                                              const std::string& aProtocol, const std::string& Exclude,
                                              const std::string& Include, int aSize, TwsStreaming aStreaming) {
  TzalLoadBalancerMessage message = LoadBalancerMessage(aKind, "", std::move(aBody), aSize, aStreaming);
  message.Channel = aChannel;
  message.Protocol = aProtocol;
  message.Exclude = Exclude;
  message.Include = Include;
  aLink.Publish(std::move(message));
}

void TzalWSServer_Sock_Base::DeliverFromLoadBalancer(const TzalLoadBalancerMessage& aMessage) {
  TMemoryStream stream;
  if (aMessage.IsBinary())
    stream.WriteBuffer(aMessage.Body.data(), static_cast<int64_t>(aMessage.Body.size()));
  auto send = [&](TzalWSConnectionServer* connection) {
    if (aMessage.IsBinary())
      connection->WriteData(stream, aMessage.Size, aMessage.Streaming);
    else
      connection->WriteData(aMessage.Body);
  };
  if (aMessage.IsWrite())
    WriteToGuid(aMessage.Guid, send);
  else
    ForEachBroadcastTarget(false, aMessage.Channel, aMessage.Protocol, aMessage.Exclude, aMessage.Include, send);
}

}  // namespace zal
