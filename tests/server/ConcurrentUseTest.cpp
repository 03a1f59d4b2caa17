// Connections used by many threads while their peers come and go: eight
// application threads write to connections they hold, broadcast and ping, or
// write by GUID and look connections up, while WebSocket clients connect and
// close at random moments. Run under ThreadSanitizer these find a connection
// freed while another thread still uses it, or a registry entry read while it
// is removed; in every build they check that each connection ends, leaves the
// registry and the context list, and that every event arrived once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/zalTestRecorder.h"
#include "common/zalTestSocket.h"
#include "server/zalWebSocket_Server.h"

namespace zal {
namespace {

using test::TestClient;
using test::TestRecorder;
using test::WaitFor;

constexpr int kUsers = 8;
constexpr int kClients = 48;
constexpr int kClientsAtOnce = 4;

const std::string kUpgrade =
    "GET /stress HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
// A masked close frame with code 1000 (RFC 6455 5.5.1), key 0.
const std::string kCloseFrame("\x88\x82\0\0\0\0\x03\xe8", 8);

class ConcurrentUse : public ::testing::Test {
protected:
  void SetUp() override {
    test::ListenOnLoopback(server); // as the demo: events on the connections' threads
    server.OnConnect = [this](TzalWSConnection* connection) {
      if (holdConnections.load())
        connections.Add(TzalWSConnectionRef(connection));
      guids.Add(connection->Guid());
    };
    server.OnDisconnect = [this](TzalWSConnection* connection, int) { disconnected.Add(connection->Guid()); };
    server.SetActive(true);
  }
  void TearDown() override { server.SetActive(false); }

  // One client: the handshake, then a random end: at once, after reading for a
  // few milliseconds, or after a close frame.
  void ClientLife(std::mt19937& random) {
    TestClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", server.Bindings().Items(0).Port()));
    ASSERT_TRUE(client.Send(kUpgrade));
    ASSERT_NE(client.ReceiveUntil("\r\n\r\n").find("HTTP/1.1 101 "), std::string::npos);
    switch (random() % 3) {
      case 0: break;
      case 1: client.Receive(static_cast<int>(random() % 20)); break;
      case 2: client.Send(kCloseFrame); break;
    }
    client.Close();
  }

  // kClients clients, kClientsAtOnce at a time, while kUsers threads run `use`
  // again and again. Each thread has its own random sequence.
  void RunWhileClientsComeAndGo(const std::function<void(std::mt19937&)>& use) {
    std::atomic<bool> clientsDone{false};
    std::vector<std::thread> users;
    for (int u = 0; u < kUsers; ++u)
      users.emplace_back([&, u] {
        std::mt19937 random(static_cast<unsigned>(u));
        while (!clientsDone.load())
          use(random);
      });
    std::vector<std::thread> clients;
    for (int c = 0; c < kClientsAtOnce; ++c)
      clients.emplace_back([&, c] {
        std::mt19937 random(static_cast<unsigned>(100 + c));
        for (int i = 0; i < kClients / kClientsAtOnce; ++i)
          ClientLife(random);
      });
    for (auto& client : clients)
      client.join();
    clientsDone.store(true);
    for (auto& user : users)
      user.join();
  }

  // Every connection announced once and ended once; none is left in the
  // context list or the GUID registry.
  void ExpectAllEnded() {
    ASSERT_TRUE(WaitFor([&] { return disconnected.Count() == kClients && server.ConnectionCount() == 0; }, 10000))
        << disconnected.Count() << " of " << kClients << " ended, " << server.ConnectionCount() << " still listed";
    EXPECT_EQ(guids.Count(), static_cast<size_t>(kClients));
    for (const std::string& guid : guids.Items()) {
      EXPECT_FALSE(server.GetConnectionByGuid(guid)) << guid;
      EXPECT_FALSE(server.WriteData(guid, "late"));
    }
  }

  // A random connection that was announced (perhaps ended since), or none yet.
  template <typename T>
  static T Pick(const TestRecorder<T>& recorder, std::mt19937& random) {
    const std::vector<T> items = recorder.Items();
    return items.empty() ? T{} : items[random() % items.size()];
  }

  // Declared before the server: its threads report into them until it stops.
  std::atomic<bool> holdConnections{true};  // OnConnect keeps a reference in `connections`
  TestRecorder<TzalWSConnectionRef> connections;
  TestRecorder<std::string> guids, disconnected;
  TzalWebSocketHTTPServer server;
};

// Writers hold references taken in OnConnect; the last reference, theirs or
// the server's, frees the connection. Broadcast and Ping walk the live ones.
TEST_F(ConcurrentUse, ApplicationThreadsWriteToConnectionsWhosePeersCloseAtRandom) {
  RunWhileClientsComeAndGo([&](std::mt19937& random) {
    const TzalWSConnectionRef connection = Pick(connections, random);
    try {
      switch (random() % 4) {
        case 0:
        case 1:
          if (connection)
            connection->WriteData(std::string(1 + random() % 2000, 'w'));
          break;
        case 2: server.Broadcast("everyone"); break;
        case 3: server.Ping("beat"); break;
      }
    } catch (const std::exception&) {
      // A write that meets the peer's close fails; the connection ends anyway.
    }
  });
  connections.Clear();
  ExpectAllEnded();
}

// Writes by GUID and look-ups race the registry's removal of ended connections;
// whatever a look-up finds is the connection with that GUID. Only the server
// and the look-ups hold the connections here.
TEST_F(ConcurrentUse, WritesByGuidAndLookUpsRaceConnectionsComingAndGoing) {
  holdConnections.store(false);
  std::atomic<int> wrongLookUps{0};
  RunWhileClientsComeAndGo([&](std::mt19937& random) {
    const std::string guid = Pick(guids, random);
    if (random() % 2) {
      server.WriteData(guid, "by guid");
      return;
    }
    const auto found = server.GetConnectionByGuid(guid);
    if (found && found->Guid() != guid)
      ++wrongLookUps;
  });
  EXPECT_EQ(wrongLookUps.load(), 0);
  ExpectAllEnded();
}

}  // namespace
}  // namespace zal
