// The watchdog and the connections-free list, with periods of hundreds of
// milliseconds: the monitor probes a live server (plain and TLS) without
// restarting it and without events, stops after its attempts, restarts a
// server whose listener died or that stopped, and tells its own probe from a
// client that guesses; released connection objects wait for their tick.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "common/zalTestSocket.h"
#include "common/zalTestTLS.h"
#include "server/zalShortTimerServer.h"

namespace zal {
namespace {

using test::ShortTimerServer;
using test::OpenWebSocket;
using test::TestClient;
using test::WaitFor;

constexpr int kUnit = ShortTimerServer::kSecondMs;

class WatchDogTest : public ::testing::Test {
protected:
  void SetUp() override {
    server.OnStartup = [this](void*) { ++startups; };
    server.OnShutdown = [this](void*) { ++shutdowns; };
    server.OnTCPConnect = [this](TzalWSConnection*, bool&) { ++accepted; };
    server.OnConnect = [this](TzalWSConnection*) { ++connects; };
    server.OnDisconnect = [this](TzalWSConnection*, int) { ++disconnects; };
    server.WatchDog().Enabled = true;
    server.WatchDog().Interval = 2;
    server.WatchDog().Monitor.TimeOut = 2 * test::kSanitizerSlowdown;  // a TLS handshake is slow under them
  }
  // A fixed port, so that a restarted server is found where it was.
  void StartOnFixedPort() {
    server.Bindings().Items(0).SetPort(test::FreeLoopbackPort());
    server.SetActive(true);
  }

  test::TestCertificate certificate;
  ShortTimerServer server;
  std::atomic<int> startups{0}, shutdowns{0}, accepted{0}, connects{0}, disconnects{0};
};

// Each tick probes the running server with a handshake that succeeds: no
// restart, and the probe raises no events. After three ticks it is silent.
class WatchDogMonitorOnLiveServer : public WatchDogTest, public ::testing::WithParamInterface<bool> {};

TEST_P(WatchDogMonitorOnLiveServer, ProbesThreeTimesWithoutRestartOrEventsThenStops) {
  if (GetParam())
    server.UseTLS(certificate.File());
  server.WatchDog().Attempts = 3;
  server.WatchDog().Monitor.Enabled = true;
  server.SetActive(true);
  ASSERT_TRUE(WaitFor([&] { return accepted.load() == 3; }, 20 * 2 * kUnit));
  std::this_thread::sleep_for(std::chrono::milliseconds(4 * 2 * kUnit));  // four more periods: silence
  EXPECT_EQ(accepted.load(), 3);
  EXPECT_EQ(startups.load(), 1);
  EXPECT_EQ(shutdowns.load(), 0);
  EXPECT_EQ(connects.load(), 0);
  EXPECT_EQ(disconnects.load(), 0);
  EXPECT_TRUE(server.Active());
}

INSTANTIATE_TEST_SUITE_P(PlainAndTLS, WatchDogMonitorOnLiveServer, ::testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "TLS" : "Plain"); });

// A listener that died leaves the server active but deaf: the probe fails, the
// server is restarted on a background thread, and it answers again. The
// connections it served are closed and released on the way, once each.
TEST_F(WatchDogTest, AServerWhoseListenerClosedIsRestartedAndAnswersAgain) {
  server.WatchDog().Monitor.Enabled = true;
  StartOnFixedPort();
  const uint16_t port = static_cast<uint16_t>(server.ListeningPort());
  TestClient served[3];
  for (TestClient& client : served)
    ASSERT_TRUE(OpenWebSocket(client, port, "/"));
  ASSERT_TRUE(WaitFor([&] { return connects.load() == 3; }));
  server.Bindings().Items(0).CloseSocket();
  ASSERT_TRUE(WaitFor([&] { return startups.load() == 2; }, 20 * 2 * kUnit));
  EXPECT_EQ(shutdowns.load(), 1);
  for (TestClient& client : served)
    EXPECT_TRUE(client.WaitClosed());
  EXPECT_TRUE(WaitFor([&] { return disconnects.load() == 3; }));
  TestClient again;
  EXPECT_TRUE(OpenWebSocket(again, port, "/"));
  EXPECT_TRUE(WaitFor([&] { return connects.load() == 4; }));
}

// A server that stopped behind the component's back is started again.
TEST_F(WatchDogTest, AStoppedServerIsStartedAgain) {
  StartOnFixedPort();
  server.Listener().SetActive(false);
  ASSERT_TRUE(WaitFor([&] { return startups.load() == 2; }, 20 * 2 * kUnit));
  EXPECT_TRUE(server.Active());
  TestClient again;
  EXPECT_TRUE(OpenWebSocket(again, static_cast<uint16_t>(server.ListeningPort()), "/"));
}

// Only the monitor's own secret, while the monitor is on, makes a connection
// internal (no events); a guess, or the secret with the monitor off, is an
// ordinary connection.
struct SecretCase {
  const char* Name;
  bool MonitorOn;
  bool RealSecret;
  int Connects;
};

class MonitorSecret : public WatchDogTest, public ::testing::WithParamInterface<SecretCase> {};

TEST_P(MonitorSecret, DecidesWhetherAnUpgradeRaisesEvents) {
  const SecretCase& c = GetParam();
  server.WatchDog().Interval = 600;  // no tick during the test
  server.WatchDog().Monitor.Enabled = c.MonitorOn;
  server.SetActive(true);
  const std::string secret = server.WatchDogMonitorSecret();
  ASSERT_EQ(secret.size(), 32u);
  std::string guess = secret;
  guess.back() = guess.back() == '0' ? '1' : '0';
  TestClient client;
  ASSERT_TRUE(OpenWebSocket(client, static_cast<uint16_t>(server.ListeningPort()), "/" + (c.RealSecret ? secret : guess)));
  client.Close();
  ASSERT_TRUE(WaitFor([&] { return server.ConnectionCount() == 0; }));
  EXPECT_EQ(connects.load(), c.Connects);
  EXPECT_EQ(disconnects.load(), c.Connects);
}

INSTANTIATE_TEST_SUITE_P(Table, MonitorSecret,
                         ::testing::Values(SecretCase{"TheSecretWithTheMonitorOn", true, true, 0},
                                           SecretCase{"AGuessWithTheMonitorOn", true, false, 1},
                                           SecretCase{"TheSecretWithTheMonitorOff", false, true, 1}),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(MonitorSecretSource, EachStartMakesANewSecretAndAStopClearsIt) {
  ShortTimerServer server;
  server.SetActive(true);
  const std::string first = server.WatchDogMonitorSecret();
  server.SetActive(false);
  EXPECT_EQ(server.WatchDogMonitorSecret(), "");
  server.SetActive(true);
  EXPECT_NE(server.WatchDogMonitorSecret(), first);
  EXPECT_EQ(server.WatchDogMonitorSecret().find_first_not_of("0123456789ABCDEF"), std::string::npos);
}

// Released connection objects wait for the connections-free tick, at most
// MaxWaiting of them (the oldest go first beyond it); without the list (the
// default) they go at once.
struct FreeListCase {
  const char* Name;
  bool Enabled;
  int MaxWaiting;
  int Closed;
  size_t Waiting;
};

class ConnectionsFreeList : public ::testing::TestWithParam<FreeListCase> {};

TEST_P(ConnectionsFreeList, HoldsReleasedConnectionsUntilItsTick) {
  const FreeListCase& c = GetParam();
  ShortTimerServer server;
  server.Optimizations().ConnectionsFree = {.Enabled = c.Enabled, .Interval = 10, .MaxWaiting = c.MaxWaiting};
  std::atomic<int> accepted{0};
  server.OnTCPConnect = [&](TzalWSConnection*, bool&) { ++accepted; };
  server.SetActive(true);
  for (int i = 0; i < c.Closed; ++i) {
    TestClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", static_cast<uint16_t>(server.ListeningPort())));
    ASSERT_TRUE(WaitFor([&] { return accepted.load() == i + 1; }));
    client.Close();
    ASSERT_TRUE(WaitFor([&] { return server.ConnectionCount() == 0; }));  // its object was released first
  }
  EXPECT_EQ(server.WaitingToBeFreed(), c.Waiting);
  EXPECT_TRUE(WaitFor([&] { return server.WaitingToBeFreed() == 0; }, 3 * 10 * kUnit));
}

INSTANTIATE_TEST_SUITE_P(Table, ConnectionsFreeList,
                         ::testing::Values(FreeListCase{"OffByDefault", TzalWSOptimizationConnectionsFree{}.Enabled, 2, 2, 0},
                                           FreeListCase{"BelowTheLimit", true, 3, 2, 2},
                                           FreeListCase{"AtTheLimit", true, 2, 2, 2},
                                           FreeListCase{"AboveTheLimit", true, 2, 3, 2}),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(ConnectionsFreeListLifetime, DeactivationFreesTheWaitingConnections) {
  ShortTimerServer server;
  server.Optimizations().ConnectionsFree.Enabled = true;
  server.SetActive(true);  // the default interval: a minute
  TestClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", static_cast<uint16_t>(server.ListeningPort())));
  client.Close();
  ASSERT_TRUE(WaitFor([&] { return server.WaitingToBeFreed() == 1; }));
  server.SetActive(false);
  EXPECT_EQ(server.WaitingToBeFreed(), 0u);
}

}  // namespace
}  // namespace zal
