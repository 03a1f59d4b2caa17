#pragma once
// TzalWSServer_Sock_Base: the server component over a TCP server of its own.
// It owns the option tree, builds and tears down the listening server when
// Active changes, runs start/stop/restart in the background, keeps the registry
// of live connections and reports errors through the component's events.
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/zalWebSocket_Components.h"
#include "server/zalWebSocket_LoadBalancer.h"
#include "server/zalWebSocket_LogFile.h"
#include "server/zalWebSocket_Options.h"
#include "server/zalWebSocket_SessionIDs.h"
#include "support/zalQueues.h"
#include "support/zalTimer.h"
#include "transport/zalIdCustomTCPServer.h"
#include "transport/zalIdSSLIOHandler.h"
#include "transport/zalIdSchedulerOfIOCP.h"
#include "transport/zalIdServerIOHandlerIOCP.h"

namespace zal {

class TzalWSServer_Sock_Base;

using TzalWSTCPConnectEvent = std::function<void(TzalWSConnection* Connection, bool& Accept)>;
using TzalWSUnknownProtocolEvent = std::function<void(TzalWSConnection* Connection, bool& Accept)>;
using TzalWSSSLGetHandlerEvent =
    std::function<void(void* Sender, TwsSSLHandler aType, TIdServerIOHandlerSSLBase*& aSSLHandler)>;
using TzalWSSSLAfterCreateHandlerEvent =
    std::function<void(void* Sender, TwsSSLHandler aType, TIdServerIOHandlerSSLBase* aSSLHandler)>;
using TzalWSSSLALPNSelectEvent =
    std::function<void(void* Sender, const std::vector<std::string>& aProtocols, std::string& aProtocol)>;
using TzalWSBeforeHeartBeatEvent =
    std::function<void(void* Sender, TzalWSConnection* Connection, bool& Handled)>;
using TzalWSUnknownAuthenticationEvent =
    std::function<void(TzalWSConnection* Connection, const std::string& AuthType, const std::string& AuthData,
                       std::string& aUser, std::string& aPassword, bool& Authenticated)>;

// A registered sub-protocol: connections that speak it send their messages to
// it instead of the component's events. Not owned by the component.
class TzalWSProtocol : public TObject {
public:
  explicit TzalWSProtocol(std::string protocol) : FProtocol(std::move(protocol)) {}
  const std::string& Protocol() const { return FProtocol; }
  // An HTTP POST to /zal/protocol/<name>/<rest> for this sub-protocol, on the
  // posting connection's worker thread: aRest is the target after the name,
  // aBody the posted text; aResponse goes back as a "text/html" answer.
  virtual void DoProtocolPost(TzalWSConnection* /*aConnection*/, const std::string& /*aRest*/,
                              const std::string& /*aBody*/, std::string& /*aResponse*/) {}
  // The messages of a connection that chose this sub-protocol in its handshake,
  // on that connection's thread; they go here instead of the component's
  // OnMessage and OnBinary.
  virtual void DoMessage(TzalWSConnection* /*aConnection*/, const std::string& /*aText*/) {}
  virtual void DoBinary(TzalWSConnection* /*aConnection*/, const TMemoryStream& /*aData*/) {}

private:
  std::string FProtocol;
};

// The registry's entry for one connection, keyed by the connection's GUID.
class TzalWSConnectionItem : public TzalQueueItemBase {
public:
  explicit TzalWSConnectionItem(TzalWSConnectionServer* connection);
  TzalWSConnectionServer* Connection() const { return FConnection; }

private:
  TzalWSConnectionServer* FConnection;
};

class TzalWSServer_Sock_Base : public TzalWSComponent_Server_Sock {
public:
  TzalWSServer_Sock_Base();
  ~TzalWSServer_Sock_Base() override;

  bool Active();
  void SetActive(bool value);
  // The timers follow the new mode too.
  void SetNotifyEvents(TwsNotifyEvent value) override;
  // Run activation, deactivation or both on a background thread and return at once.
  void Start();
  void Stop();
  void ReStart();

  int Port() const { return FPort; }
  void SetPort(int value);
  TIdSocketHandles& Bindings() { return TCPServer().Bindings(); }
  // The listen backlog of every binding (TIdCustomTCPServer::ListenQueue).
  int ListenQueue() { return TCPServer().ListenQueue(); }
  void SetListenQueue(int value) { TCPServer().SetListenQueue(value); }
  int MaxConnections() { return TCPServer().MaxConnections(); }
  void SetMaxConnections(int value) { TCPServer().SetMaxConnections(value); }
  // Whether the listening server has an OpenSSL server handler (the stored value while loading).
  bool SSL() const;
  // True builds the TLS handler and installs it, False removes it; raises while active.
  void SetSSL(bool value);
  // The TLS handler in use, or nullptr.
  TIdServerIOHandlerSSLBase* HandlerSSL() const { return FHandlerSSL; }
  bool ThreadPool() const;
  void SetThreadPool(bool value);
  bool UseNagle() const { return FUseNagle; }
  void SetUseNagle(bool value) { FUseNagle = value; }
  TwsServerType ServerType() const { return FServerType; }

  // Option objects; the setters copy the given values.
  TzalWSOptionsServer& Options() { return FOptions; }
  void SetOptions(const TzalWSOptionsServer& value) { FOptions = value; }
  TzalWSSSL_Options& SSLOptions() { return FSSLOptions; }
  void SetSSLOptions(const TzalWSSSL_Options& value) { FSSLOptions = value; }
  TzalWSHTTP2Server_Options& HTTP2Options() { return FHTTP2Options; }
  void SetHTTP2Options(const TzalWSHTTP2Server_Options& value) { FHTTP2Options = value; }
  TzalWSThreadPool_Options& ThreadPoolOptions() { return FThreadPoolOptions; }
  void SetThreadPoolOptions(const TzalWSThreadPool_Options& value) { FThreadPoolOptions = value; }
  TzalWSIOHandler_Options& IOHandlerOptions() { return FIOHandlerOptions; }
  void SetIOHandlerOptions(const TzalWSIOHandler_Options& value) { FIOHandlerOptions = value; }
  TzalWSAuthenticationServer_Options& Authentication() { return FAuthentication; }
  void SetAuthentication(const TzalWSAuthenticationServer_Options& value) { FAuthentication = value; }
  TzalWSFallBack_Options& FallBack() { return FFallBack; }
  void SetFallBack(const TzalWSFallBack_Options& value) { FFallBack = value; }
  TzalWSHeartBeat_Options& HeartBeat() { return FHeartBeat; }
  void SetHeartBeat(const TzalWSHeartBeat_Options& value) { FHeartBeat = value; }
  TzalWSWatchDogServer_Options& WatchDog() { return FWatchDog; }
  void SetWatchDog(const TzalWSWatchDogServer_Options& value) { FWatchDog = value; }
  TzalWSQueueServer_Options& QueueOptions() { return FQueueOptions; }
  void SetQueueOptions(const TzalWSQueueServer_Options& value) { FQueueOptions = value; }
  TzalWSSpecifications& Specifications() { return FSpecifications; }
  void SetSpecifications(const TzalWSSpecifications& value) { FSpecifications = value; }
  TzalWSSecurity_Options& SecurityOptions() { return FSecurityOptions; }
  void SetSecurityOptions(const TzalWSSecurity_Options& value) { FSecurityOptions = value; }
  TzalWSExtensions_Options& Extensions() { return FExtensions; }
  void SetExtensions(const TzalWSExtensions_Options& value) { FExtensions = value; }
  TzalWSLogFile_Options& LogFile() { return FLogFile; }
  void SetLogFile(const TzalWSLogFile_Options& value) { FLogFile = value; }
  TzalWSThrottle_Options& Throttle() { return FThrottle; }
  void SetThrottle(const TzalWSThrottle_Options& value) { FThrottle = value; }
  TzalWSLoadBalancerServer_Options& LoadBalancer() { return FLoadBalancer; }
  void SetLoadBalancer(const TzalWSLoadBalancerServer_Options& value) { FLoadBalancer = value; }
  TzalWSOptimizations& Optimizations() { return FOptimizations; }
  TzalTCPKeepAlive& TCPKeepAlive() { return FTCPKeepAlive; }

  // Stored settings: between BeginLoading and EndLoading, Active, SSL and
  // ThreadPool are only recorded; EndLoading applies them.
  void BeginLoading();
  void EndLoading();

  // Registry of live connections.
  std::vector<TIdContext*>& LockList() { return TCPServer().Contexts().LockList(); }
  void UnLockList() { TCPServer().Contexts().UnlockList(); }
  // Look-ups give a counted reference: the connection stays valid while it is
  // held, even when it ends meanwhile (see TzalCountedRef).
  TzalWSConnectionServerRef GetConnectionByGuid(const std::string& aGuid);
  TzalWSConnectionServerRef GetConnectionByIndex(int Index);
  int ConnectionCount() { return TCPServer().Contexts().Count(); }
  // Asks every live, not yet disconnected connection to close.
  void DisconnectAll();

  // A WebSocket message to every enabled connection that speaks `aProtocol`
  // (ignoring case) and is subscribed to `aChannel` (empty: every one).
  // `Exclude` and `Include` are comma-separated GUID lists.
  void Broadcast(const std::string& aMessage, const std::string& aChannel = "", const std::string& aProtocol = "",
                 const std::string& Exclude = "", const std::string& Include = "");
  // The same with WriteDataAsText: on event streams the message is always data.
  void BroadcastAsText(const std::string& aMessage, const std::string& aChannel = "",
                       const std::string& aProtocol = "", const std::string& Exclude = "",
                       const std::string& Include = "");
  void Broadcast(TStream& aStream, const std::string& aChannel = "", const std::string& aProtocol = "",
                 const std::string& Exclude = "", const std::string& Include = "", int aSize = 0,
                 TwsStreaming aStreaming = stmNone);
  // A message to the one connection with that GUID; false when there is none,
  // it is not enabled or already disconnected, or the write failed.
  bool WriteData(const std::string& aGuid, const std::string& aMessage);
  bool WriteData(const std::string& aGuid, TStream& aStream, int aSize = 0, TwsStreaming aStreaming = stmNone);
  // A ping to every enabled connection, each after OnBeforeHeartBeat; an empty
  // text becomes the local time "yyyymmddhhnnsszzz". The pings are posted to
  // the connections' own threads, so the walk never waits for a slow peer.
  void Ping(const std::string& aText = "");

  // Sub-protocols: their names are given to every new connection (FProtocol).
  void RegisterProtocol(TzalWSProtocol* aObject);
  void RegisterProtocol(const std::string& aProtocol);
  void UnRegisterProtocol(TzalWSProtocol* aObject);
  void UnRegisterProtocol(const std::string& aProtocol);
  // The registered names, comma-separated, in registration order.
  std::string ProtocolNames();
  // The first registered object of that name (letter case ignored), or nullptr.
  TzalWSProtocol* GetProtocolObject(const std::string& aProtocol);
  // The registered object of the sub-protocol the connection chose, or nullptr.
  TzalWSProtocol* ProtocolObjectOf(TzalWSConnection* aConnection);

  // Session IDs issued by session requests, each good for one WebSocket upgrade
  // within Authentication.Session.TimeOut, at most Authentication.Session.MaxCount
  // of them (the oldest go first). Adding keeps an existing ID.
  void AddSessionID(const std::string& aID, const std::string& aUser, const std::string& aPassword);
  // Removes the ID (letter case ignored) and gives its user and password; false when unknown.
  bool ConsumeSessionID(const std::string& aID, std::string& aUser, std::string& aPassword);
  // The component's credential check: AuthUsers, then OnAuthentication; a
  // session connection that passes gets its session ID into the list.
  void OnServerAuthenticationEvent(TzalWSConnection* Connection, const std::string& aUser,
                                   const std::string& aPassword, bool& Authenticated);

  // The watchdog monitor's secret: 32 hexadecimal digits from the system's
  // random source, made at each start-up; empty while the server is stopped.
  std::string WatchDogMonitorSecret() const;
  // Whether an upgrade's request line is the watchdog monitor's own (its path
  // holds "/" and the secret, letter case ignored, while the monitor is on).
  bool IsMonitorRequest(const std::string& aRequestLine) const;

  std::function<void(void* Sender)> OnStartup;
  std::function<void(void* Sender)> OnShutdown;
  TzalWSTCPConnectEvent OnTCPConnect;
  TzalWSUnknownProtocolEvent OnUnknownProtocol;
  TzalWSAuthenticationEvent OnAuthentication;
  TzalWSUnknownAuthenticationEvent OnUnknownAuthentication;
  TzalWSBeforeHeartBeatEvent OnBeforeHeartBeat;
  TzalWSHandshakeEvent OnHandshake;
  TzalWSSSLGetHandlerEvent OnSSLGetHandler;
  TzalWSSSLAfterCreateHandlerEvent OnSSLAfterCreateHandler;
  // Chooses the ALPN protocol when the built-in rule does not pick "h2".
  TzalWSSSLALPNSelectEvent OnSSLALPNSelect;
  // The load-balancer link came up, went down, or failed; raised on the link's own thread.
  std::function<void(void* Sender)> OnLoadBalancerConnect;
  std::function<void(void* Sender)> OnLoadBalancerDisconnect;
  std::function<void(void* Sender, const std::string& Error)> OnLoadBalancerError;
  // The running link (nullptr while the server is inactive or the link is off).
  std::shared_ptr<TzalWSLoadBalancerLink> LoadBalancerLink();

protected:
  // The listening server underneath (the inner HTTP server for the HTTP component).
  virtual TIdCustomTCPServer& TCPServer() = 0;
  virtual const TIdCustomTCPServer& TCPServer() const = 0;

  // Start-up and shut-down steps, run by the inner server after it started or stopped.
  void DoStartup();
  void DoShutdown();

  // Error paths: report through OnError / OnException (when assigned) and close the connection.
  void DoError(TzalWSConnection* connection, const std::string& error);
  void DoException(TzalWSConnection* connection, const std::exception& e);
  void CloseConnection(TzalWSConnection* connection);
  // The exception being handled when it is `e` itself, else nothing.
  static std::exception_ptr OriginalOf(const std::exception& e);

  // The cache of connected connections, keyed by GUID. Adding, removing and
  // looking up take FConnectionsLock, so a look-up never reads an entry that is
  // being removed and takes its reference before the owner can drop its own.
  void RegisterConnection(TzalWSConnectionServer* connection);
  void UnregisterConnection(TzalWSConnectionServer* connection);
  static TzalWSConnectionServer* ConnectionOf(TIdContext* context);
  // Attaches or detaches a context's connection object under the context-list
  // lock, so registry walks on other threads never see it half set or freed.
  // A detached connection object no longer refers to the context or its TCP
  // connection; the caller gives it to ReleaseConnection.
  void AttachConnection(TIdContext* context, std::unique_ptr<TzalWSConnectionServer> connection);
  TzalWSConnectionServer* DetachConnection(TIdContext* context);
  // Waits until no background start, stop or restart is running.
  void WaitForServerThreads();

  // Before a stop closes the connections: lets them end gracefully first.
  virtual void FinishConnectionsBeforeStop() {}
  // Timers that run while the server is active (heartbeat, connections-free,
  // watchdog), after activation. Each is made once and reused.
  void StartTimers();
  // After deactivation: the watchdog and connections-free timers end and go
  // (with them the connections waiting to be freed); the heartbeat timers stop.
  void StopTimers();
  // Before activation: the heartbeat, heartbeat-timeout and connections-free
  // timers end, are waited for and freed.
  void FreeTimers();
  // Destruction: every timer ends; no handler runs after this.
  void DestroyTimers();
  // A heartbeat tick: a ping posted to every connection (OnBeforeHeartBeat
  // first), then the heartbeat-timeout timer runs when a time-out is set.
  virtual void DoHeartBeat();
  // Closes each WebSocket connection that stopped answering pings.
  virtual void DoHeartBeatTimeout();
  // A watchdog tick: starts a stopped server, or probes a running one.
  void DoWatchDog(TzalTimer* aTimer);
  // Restarts the server when a WebSocket handshake with it fails.
  void DoWatchDogMonitor();
  // A released connection waits on the connections-free list while that timer runs.
  void ReleaseConnection(TzalWSConnection* connection) override;
  void FreeWaitingConnections();
  // Milliseconds in one second of the heartbeat and watchdog options and the
  // connections-free interval (tests shorten it).
  int FSecondMs = 1000;

  int FPort = 80;
  TwsServerType FServerType = wsTCP;
  bool FUseNagle = false;
  bool FSSL = false;
  TIdServerIOHandlerSSLBase* FHandlerSSL = nullptr;
  std::unique_ptr<TIdServerIOHandlerSSLBase> FOwnedHandlerSSL;  // when the component built it
  bool FThreadPool = false;
  std::unique_ptr<TIdSchedulerOfThreadPool> FSchedulerThreadPool;
  // The event-loop engine's scheduler and plain handler, while it is chosen.
  std::unique_ptr<TzalIdSchedulerOfIOCP> FSchedulerIOCP;
  std::unique_ptr<TzalIdServerIOHandlerIOCP> FHandlerIOCP;
  TzalWSOptionsServer FOptions;
  TzalWSSSL_Options FSSLOptions;
  TzalWSHTTP2Server_Options FHTTP2Options;
  TzalWSThreadPool_Options FThreadPoolOptions;
  TzalWSIOHandler_Options FIOHandlerOptions;
  TzalWSAuthenticationServer_Options FAuthentication;
  TzalWSFallBack_Options FFallBack;
  TzalWSHeartBeat_Options FHeartBeat;
  TzalWSWatchDogServer_Options FWatchDog;
  TzalWSQueueServer_Options FQueueOptions;
  TzalWSSpecifications FSpecifications;
  TzalWSSecurity_Options FSecurityOptions;
  TzalWSExtensions_Options FExtensions;
  TzalWSLogFile_Options FLogFile;
  TzalWSThrottle_Options FThrottle;
  TzalWSLoadBalancerServer_Options FLoadBalancer;
  TzalWSOptimizations FOptimizations;
  TzalTCPKeepAlive FTCPKeepAlive;
  std::atomic<bool> FWatchDogEnabled{false};
  std::atomic<int> FWatchDogAttempts{0};
  std::string FWatchDogMonitorSecret;  // guarded by FMonitorSecretLock
  mutable std::mutex FMonitorSecretLock;
  // The timers' pointers change under FTimersLock; a handler never takes it.
  std::mutex FTimersLock;
  std::unique_ptr<TzalTimer> FHeartBeatTimer, FHeartBeatTimeoutTimer, FWatchDogTimer, FConnectionsFreeTimer;
  std::mutex FConnectionsFreeLock;
  std::deque<TzalWSConnection*> FConnectionsFree;  // oldest first; each holds the owner's reference
  bool FConnectionsFreeRunning = false;  // released connections wait (guarded by FConnectionsFreeLock)
  TzalCacheQueueList FConnections;  // guarded by FConnectionsLock
  std::mutex FConnectionsLock;
  std::unique_ptr<TzalWSLogFileServerIntercept> FInterceptLogFile;
  bool FActive = false;  // the stored value while loading

private:
  // Connection threads read these while a background start or stop holds FCS
  // and waits for them: they have their own lock.
  std::recursive_mutex FProtocolsLock;
  std::vector<TzalWSProtocol*> FProtocolObjectList;  // not owned
  std::vector<std::string> FProtocolNames;
  TzalSessionIDs FSessionIDs;

  void ApplyActivationOptions();
  // The engine of IOHandlerOptions: its scheduler and I/O handler in the TCP server.
  void ApplyEngine();
  bool LoopEngine() const { return FIOHandlerOptions.IOHandlerType == iohIOCP; }
  // The loops' scheduler in the TCP server (made on first use); their handlers take no other.
  void UseLoopScheduler();
  void LeaveLoopEngine();
  void CreateHandlerSSL();
  void RemoveHandlerSSL();
  // Copies the TLS settings into the handler the component built.
  void ApplySSLOptions(TIdServerIOHandlerSSLOpenSSL& handler);
  // "h2" when HTTP/2 is on and offered, else the application's choice.
  void SelectALPN(const std::vector<std::string>& aProtocols, std::string& aProtocol);
  // Runs `send` for each broadcast target, from the last context to the first;
  // a failure on one connection goes to the exception path and the walk goes on.
  // The targets are taken (as counted references) under the context-list lock
  // and written to after it is released, so a slow peer holds up no accept or
  // disconnect, and a writer waiting for a fragmented message cannot block it.
  void ForEachBroadcastTarget(bool aPing, const std::string& aChannel, const std::string& aProtocol,
                              const std::string& Exclude, const std::string& Include,
                              const std::function<void(TzalWSConnectionServer*)>& send);
  // A reference to the connection of every context, from the last to the first.
  std::vector<TzalWSConnectionServerRef> LiveConnectionsLastFirst();
  template <typename Send>
  bool WriteToGuid(const std::string& aGuid, Send send);
  // Gives the listening server the traffic log while LogFile is enabled.
  void ApplyLogFile();
  void RunInBackground(const char* method);
  void RunServerThread(const std::string& method);
  // A timer in the component's event mode whose failures go to the exception path.
  std::unique_ptr<TzalTimer> MakeTimer(int aIntervalMs, std::function<void(TzalTimer*)> aOnTimer);

  // The load-balancer link: started after listening starts, stopped after it ended.
  void StartLoadBalancer();
  void StopLoadBalancer();
  // The link when `aGuid` is not a connection of this instance and the link runs.
  std::shared_ptr<TzalWSLoadBalancerLink> LinkForRemoteGuid(const std::string& aGuid);
  void PublishBroadcast(TzalWSLoadBalancerLink& aLink, TzalLoadBalancerMessageKind aKind, std::string aBody,
                        const std::string& aChannel, const std::string& aProtocol, const std::string& Exclude,
                        const std::string& Include, int aSize = 0, TwsStreaming aStreaming = stmNone);
  // Sends what another instance published to this instance's connections.
  void DeliverFromLoadBalancer(const TzalLoadBalancerMessage& aMessage);
  std::mutex FLoadBalancerLock;
  std::shared_ptr<TzalWSLoadBalancerLink> FLoadBalancerLink;

  // Background start/stop threads still running; the destructor waits for them.
  std::mutex FServerThreadsLock;
  std::condition_variable FServerThreadsDone;
  int FServerThreads = 0;
};

}  // namespace zal
