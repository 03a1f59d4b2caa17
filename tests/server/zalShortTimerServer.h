#pragma once
// The component with its heartbeat and watchdog seconds shortened, so that
// tests run their timers with periods of hundreds of milliseconds, and the
// moments of its heartbeat and time-out ticks on record.
#include <functional>
#include <mutex>
#include <vector>

#include "common/zalTestSocket.h"
#include "server/zalWebSocket_Server.h"
#include "support/zalHelpers.h"

namespace zal::test {

// A WebSocket client opened by hand on `path`: true when the upgrade is
// answered with 101 (the answer read whole).
inline bool OpenWebSocket(TestClient& client, uint16_t port, const std::string& path = "/") {
  return client.Connect("127.0.0.1", port) &&
         client.Send("GET " + path + " HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                     "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n") &&
         client.ReceiveUntil("\r\n\r\n", 5000).starts_with("HTTP/1.1 101");
}

class ShortTimerServer : public TzalWebSocketHTTPServer {
public:
  static constexpr int kSecondMs = 100;

  ShortTimerServer() {
    FSecondMs = kSecondMs;
    TIdSocketHandle& binding = Bindings().Add();
    binding.SetIP("127.0.0.1");
    binding.SetPort(0);
    SetNotifyEvents(neNoSync);
    UseTestEngine(*this);
  }
  ~ShortTimerServer() override { StopBeforeDestruction(); }

  // TLS on every port with the test certificate (key under "kfx.pem").
  void UseTLS(const std::string& certificateFile) {
    SetSSL(true);
    SSLOptions().CertFile = certificateFile;
    SSLOptions().KeyFile = certificateFile;
    SSLOptions().Password = "kfx.pem";
  }

  // The listening server underneath, to break it behind the component's back.
  TIdCustomTCPServer& Listener() { return TCPServer(); }
  int ListeningPort() { return Bindings().Items(0).Port(); }

  // Released connection objects waiting for the connections-free tick.
  size_t WaitingToBeFreed() {
    std::lock_guard lock(FConnectionsFreeLock);
    return FConnectionsFree.size();
  }
  // Milliseconds (monotonic) at which each time-out tick began.
  std::vector<int64_t> TimeoutTicks() {
    std::lock_guard lock(FTickLock);
    return FTimeoutTicks;
  }
  // Called after each heartbeat tick with how long the tick took.
  std::function<void(int64_t aMilliseconds)> OnHeartBeatDone;

protected:
  void DoHeartBeat() override {
    const int64_t start = Now();
    TzalWebSocketHTTPServer::DoHeartBeat();
    if (OnHeartBeatDone)
      OnHeartBeatDone(Now() - start);
  }
  void DoHeartBeatTimeout() override {
    {
      std::lock_guard lock(FTickLock);
      FTimeoutTicks.push_back(Now());
    }
    TzalWebSocketHTTPServer::DoHeartBeatTimeout();
  }

private:
  static int64_t Now() { return static_cast<int64_t>(GetTickCount64()); }

  std::mutex FTickLock;
  std::vector<int64_t> FTimeoutTicks;
};

}  // namespace zal::test
