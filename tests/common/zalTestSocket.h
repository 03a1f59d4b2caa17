#pragma once
// A small blocking TCP client for integration tests, with time bounds everywhere.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "common/zalTestEngine.h"
#include "support/zalTypes.h"

namespace zal::test {

class TestClient {
public:
  TestClient() = default;
  ~TestClient();
  TestClient(const TestClient&) = delete;
  TestClient& operator=(const TestClient&) = delete;
  TestClient(TestClient&& other) noexcept;

  // Connects to host:port; false when refused or not done within the time-out.
  bool Connect(const std::string& host, uint16_t port, int timeoutMs = 2000);
  // SO_RCVBUF of the next Connect, set before connecting so that the window the
  // client announces stays that small (0: the system's default).
  void SetReceiveBuffer(int octets) { FReceiveBuffer = octets; }
  bool Send(const std::string& data);
  // Reads what arrives within `timeoutMs` (stops early at `maxBytes`).
  std::string Receive(int timeoutMs = 1000, size_t maxBytes = 1 << 20);
  // Reads until `needle` appears or the time-out passes; returns all read.
  std::string ReceiveUntil(const std::string& needle, int timeoutMs = 2000);
  // Reads until the peer closes or nothing arrives for `idleMs`, keeping none of
  // the bytes (large bodies stay out of memory); returns how many arrived.
  int64_t CountUntilQuiet(int idleMs);
  // True when the peer closed the connection (or reset it) within `timeoutMs`.
  bool WaitClosed(int timeoutMs = 2000);
  void Close();
  int Handle() const { return FSocket; }

private:
  int FSocket = -1;
  int FReceiveBuffer = 0;
};

// Gives the server one binding on 127.0.0.1 with a port the system picks (read
// back from the binding once the server is active), not the server's default port.
// A component server also gets the engine the test program runs under, so that
// every test that builds one this way runs under both engines.
template <typename Server>
void BindLoopback(Server& server) {
  auto& binding = server.Bindings().Add();
  binding.SetIP("127.0.0.1");
  binding.SetPort(0);
  if constexpr (requires { server.IOHandlerOptions(); })
    UseTestEngine(server);
}

// As BindLoopback, with events raised on the thread that detects them (no main
// thread to wait for).
template <typename Server>
void ListenOnLoopback(Server& server) {
  BindLoopback(server);
  server.SetNotifyEvents(neNoSync);
}

// The port of the server's first binding, started first when it is not active.
template <typename Server>
uint16_t ActivePort(Server& server) {
  if (!server.Active())
    server.SetActive(true);
  return server.Bindings().Items(0).Port();
}

// A client connected to the server's first binding (on 127.0.0.1), which is
// started first when it is not active.
template <typename Server>
TestClient ConnectedTo(Server& server) {
  TestClient client;
  EXPECT_TRUE(client.Connect("127.0.0.1", ActivePort(server)));
  return client;
}

// A free TCP port on 127.0.0.1 at the moment of the call.
uint16_t FreeLoopbackPort();

// User plus system CPU time the whole process (every thread) has used so far.
double ProcessCpuSeconds();

// How many times slower the sanitizer builds run the library's code: time
// bounds of tests that measure the library itself are scaled by it.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr int kSanitizerSlowdown = 10;
#else
inline constexpr int kSanitizerSlowdown = 1;
#endif

// Waits until `condition` holds or `timeoutMs` passes; returns the condition's last value.
template <typename Condition>
bool WaitFor(Condition condition, int timeoutMs = 2000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline)
      return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace zal::test
