// The timers of an active server: the heartbeat (a ping to every connection),
// its time-out (closes WebSocket connections that stopped answering), the
// watchdog (starts a stopped server, probes a running one) and the release of
// freed connection objects in batches.
#include <algorithm>
#include <cstdlib>

#include "server/zalWebSocket_MonitorClient.h"
#include "server/zalWebSocket_Server_Sock.h"
#include "support/zalHelpers.h"
#include "support/zalIdException.h"
#include "transport/zalIdSSLIOHandler.h"

namespace zal {

namespace {

// Connections that answer pings with pongs (or whose transport has no ping):
// the heartbeat time-out checks only these.
bool HeartBeatChecked(TwsTransport transport) {
  return transport == trpRFC6455 || transport == trpHixie76 || transport == trpFlash || transport == trpRFC8441;
}

// The two rules of the heartbeat time-out (all times in milliseconds). A ping
// answered within Timeout clears the count. Otherwise, with pings at least
// Timeout apart, a last ping Timeout old has gone unanswered; with pings more
// often, the first unanswered ping must be Timeout old.
bool HeartBeatExpired(TzalWSConnection& connection, int64_t now, int64_t interval, int64_t timeout) {
  if (std::llabs(connection.LastPong() - connection.LastPing()) < timeout) {
    connection.ResetFirstPing();
    return false;
  }
  if (interval >= timeout && now - connection.LastPing() >= timeout)
    return true;
  return timeout >= interval && connection.FirstPing() != 0 && now - connection.FirstPing() >= timeout;
}

// "Listen on every address" is probed on the loopback address.
std::string ProbeHost(const std::string& ip) {
  return ip.empty() || ip == "0.0.0.0" || ip == "0:0:0:0:0:0:0:0" || ip == "::" ? "127.0.0.1" : ip;
}

}  // namespace

void TzalWSServer_Sock_Base::SetNotifyEvents(TwsNotifyEvent value) {
  TzalWSComponent_Server_Sock::SetNotifyEvents(value);
  std::lock_guard lock(FTimersLock);
  for (TzalTimer* timer : {FHeartBeatTimer.get(), FHeartBeatTimeoutTimer.get(), FWatchDogTimer.get(),
                           FConnectionsFreeTimer.get()})
    if (timer)
      timer->SetNotifyEvents(value);
}

std::unique_ptr<TzalTimer> TzalWSServer_Sock_Base::MakeTimer(int aIntervalMs,
                                                             std::function<void(TzalTimer*)> aOnTimer) {
  auto timer = std::make_unique<TzalTimer>();
  timer->SetInterval(aIntervalMs);
  timer->SetNotifyEvents(NotifyEvents());
  timer->OnTimer = std::move(aOnTimer);
  // The component's exception path, without a connection.
  timer->OnException = [this](TzalTimer*, const std::exception& e) { DoException(nullptr, e); };
  return timer;
}

void TzalWSServer_Sock_Base::StartTimers() {
  if (IsDestroying())
    return;
  std::lock_guard lock(FTimersLock);
  const int heartBeatMs = FHeartBeat.Interval * FSecondMs;
  if (FHeartBeat.Enabled && heartBeatMs > 0) {
    if (!FHeartBeatTimer)
      FHeartBeatTimer = MakeTimer(heartBeatMs, [this](TzalTimer*) { DoHeartBeat(); });
    // Made here, started by the first heartbeat tick.
    if (!FHeartBeatTimeoutTimer && FHeartBeat.Timeout >= 1)
      FHeartBeatTimeoutTimer = MakeTimer(FHeartBeat.Timeout * FSecondMs, [this](TzalTimer*) { DoHeartBeatTimeout(); });
    FHeartBeatTimer->SetEnabled(true);
  }
  if (FOptimizations.ConnectionsFree.Enabled) {
    if (!FConnectionsFreeTimer)
      FConnectionsFreeTimer = MakeTimer(FOptimizations.ConnectionsFree.Interval * FSecondMs,
                                        [this](TzalTimer*) { FreeWaitingConnections(); });
    {
      std::lock_guard waiting(FConnectionsFreeLock);
      FConnectionsFreeRunning = true;
    }
    FConnectionsFreeTimer->SetEnabled(true);
  }
  if (FWatchDogEnabled.load()) {
    if (!FWatchDogTimer)
      FWatchDogTimer = MakeTimer(FWatchDog.Interval * FSecondMs, [this](TzalTimer* timer) { DoWatchDog(timer); });
    FWatchDogTimer->SetInterval(FWatchDog.Interval * FSecondMs);
    FWatchDogAttempts.store(0);
    FWatchDogTimer->SetEnabled(true);
  }
}

void TzalWSServer_Sock_Base::StopTimers() {
  std::unique_ptr<TzalTimer> watchDog, connectionsFree;
  {
    std::lock_guard lock(FTimersLock);
    watchDog = std::move(FWatchDogTimer);
    connectionsFree = std::move(FConnectionsFreeTimer);
    for (TzalTimer* timer : {FHeartBeatTimer.get(), FHeartBeatTimeoutTimer.get()})
      if (timer)
        timer->SetEnabled(false);
  }
  // Ended outside the lock: a handler that is running is waited for.
  watchDog.reset();
  connectionsFree.reset();
  {
    std::lock_guard waiting(FConnectionsFreeLock);
    FConnectionsFreeRunning = false;
  }
  FreeWaitingConnections();
}

void TzalWSServer_Sock_Base::FreeTimers() {
  std::unique_ptr<TzalTimer> heartBeat, heartBeatTimeout, connectionsFree;
  {
    std::lock_guard lock(FTimersLock);
    heartBeat = std::move(FHeartBeatTimer);
    heartBeatTimeout = std::move(FHeartBeatTimeoutTimer);
    connectionsFree = std::move(FConnectionsFreeTimer);
  }
  // The heartbeat first: its handler starts the time-out timer.
  heartBeat.reset();
  heartBeatTimeout.reset();
  connectionsFree.reset();
}

void TzalWSServer_Sock_Base::DestroyTimers() {
  FWatchDogEnabled.store(false);
  FreeTimers();
  StopTimers();
}

void TzalWSServer_Sock_Base::DoHeartBeat() {
  Ping("");
  std::lock_guard lock(FTimersLock);  // a stop may be taking the timer away
  if (FHeartBeat.Timeout >= 1 && FHeartBeatTimeoutTimer)
    FHeartBeatTimeoutTimer->SetEnabled(true);
}

void TzalWSServer_Sock_Base::DoHeartBeatTimeout() {
  const int64_t interval = static_cast<int64_t>(FHeartBeat.Interval) * FSecondMs;
  const int64_t timeout = static_cast<int64_t>(FHeartBeat.Timeout) * FSecondMs;
  const int64_t now = static_cast<int64_t>(GetTickCount64());
  TIdContextThreadList::TLocked contexts(TCPServer().Contexts());
  for (TIdContext* context : contexts.Items()) {
    TzalWSConnectionServer* connection = ConnectionOf(context);
    if (!connection || !HeartBeatChecked(connection->Transport()) || connection->FCustomHeartBeat)
      continue;
    try {
      if (HeartBeatExpired(*connection, now, interval, timeout))
        throw EIdException("HeartBeat Timeout exceeded.");
    } catch (const std::exception& e) {
      DoException(connection, e);
    }
  }
}

// A restart runs on the background start/stop threads, never on this one.
void TzalWSServer_Sock_Base::DoWatchDog(TzalTimer* aTimer) {
  if (IsDestroying() || !FWatchDogEnabled.load())
    return;
  if (!Active())
    Start();
  else if (FWatchDog.Monitor.Enabled)
    DoWatchDogMonitor();
  if (FWatchDog.Attempts >= 1 && ++FWatchDogAttempts >= FWatchDog.Attempts)
    aTimer->SetEnabled(false);  // silent until the next activation
}

// The first binding is probed as a client would reach it: its address (the
// loopback address for "every address"), its port, and TLS when that port speaks it.
void TzalWSServer_Sock_Base::DoWatchDogMonitor() {
  TzalWSMonitorTarget target;
  target.Path = "/" + WatchDogMonitorSecret();
  if (target.Path == "/")
    return;  // not started: nothing to probe
  TIdSocketHandles& bindings = TCPServer().Bindings();
  const bool bound = bindings.Count() > 0;
  target.Host = ProbeHost(bound ? bindings.Items(0).IP() : "");
  target.Port = bound && bindings.Items(0).Port() != 0 ? bindings.Items(0).Port() : FPort;
  target.TLS = SSL() && (FSSLOptions.Port == 0 || FSSLOptions.Port == target.Port);
  if (auto* openSSL = dynamic_cast<TIdServerIOHandlerSSLOpenSSL*>(FHandlerSSL))
    target.SSLOptions = openSSL->SSLOptions();
  else
    target.SSLOptions.SetSSLVersions(SSLVersionBit(sslvTLSv1_2) | SSLVersionBit(sslvTLSv1_3));
  target.TimeOutMs = FWatchDog.Monitor.TimeOut * FSecondMs;
  if (!MonitorHandshake(target))
    ReStart();
}

std::string TzalWSServer_Sock_Base::WatchDogMonitorSecret() const {
  std::lock_guard lock(FMonitorSecretLock);
  return FWatchDogMonitorSecret;
}

bool TzalWSServer_Sock_Base::IsMonitorRequest(const std::string& aRequestLine) const {
  if (!FWatchDog.Enabled || !FWatchDog.Monitor.Enabled)
    return false;
  const std::string secret = WatchDogMonitorSecret();
  return !secret.empty() && MatchesMask(aRequestLine, "*/" + secret + "*");
}

void TzalWSServer_Sock_Base::ReleaseConnection(TzalWSConnection* connection) {
  if (!connection)
    return;
  TzalWSConnection* overflow = nullptr;
  {
    std::lock_guard lock(FConnectionsFreeLock);
    if (FConnectionsFreeRunning) {
      FConnectionsFree.push_back(connection);
      if (static_cast<int>(FConnectionsFree.size()) <= std::max(0, FOptimizations.ConnectionsFree.MaxWaiting))
        return;
      overflow = FConnectionsFree.front();  // the one that has waited longest goes now
      FConnectionsFree.pop_front();
    } else {
      overflow = connection;
    }
  }
  TzalWSComponent_Server_Sock::ReleaseConnection(overflow);
}

void TzalWSServer_Sock_Base::FreeWaitingConnections() {
  std::deque<TzalWSConnection*> waiting;
  {
    std::lock_guard lock(FConnectionsFreeLock);
    waiting.swap(FConnectionsFree);
  }
  for (TzalWSConnection* connection : waiting)
    TzalWSComponent_Server_Sock::ReleaseConnection(connection);
}

}  // namespace zal
