// What the event-loop engine itself must hold beyond the suites every engine
// runs: a fixed set of threads whatever the connections, work posted from
// many threads, a stalled reader beside a busy one on one loop, a stop under
// load, and its rules on schedulers and TLS handlers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/zalTestSocket.h"
#include "common/zalTestTLS.h"
#include "server/zalWebSocket_Server.h"
#include "transport/zalIdSchedulerOfIOCP.h"
#include "transport/zalIdServerIOHandlerIOCP.h"

namespace zal {
namespace {

using test::kSanitizerSlowdown;
using test::TestClient;

constexpr int kBoundMs = 5000 * kSanitizerSlowdown;

// A WebSocket client on a raw socket: the upgrade, masked text frames out,
// the server's unmasked frames in.
class WSClient {
public:
  bool Open(uint16_t port) {
    if (!FSocket.Connect("127.0.0.1", port))
      return false;
    FSocket.Send("GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                 "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
    const std::string answer = FSocket.ReceiveUntil("\r\n\r\n", kBoundMs);
    const size_t end = answer.find("\r\n\r\n");
    if (answer.rfind("HTTP/1.1 101", 0) != 0 || end == std::string::npos)
      return false;
    FBuffer = answer.substr(end + 4);
    return true;
  }
  bool SendText(const std::string& text) {
    std::string frame = {'\x81', static_cast<char>(0x80 | text.size())};
    frame.append(4, '\0');  // a zero mask leaves the payload as it is
    return text.size() < 126 && FSocket.Send(frame + text);
  }
  // The next text message, or "" when none came within the bound.
  std::string NextText(int timeoutMs = kBoundMs) {
    for (;;) {
      if (FBuffer.size() >= 2 && (FBuffer[1] & 0x7F) < 126 && FBuffer.size() >= 2u + (FBuffer[1] & 0x7F)) {
        const size_t length = FBuffer[1] & 0x7F;
        std::string payload = FBuffer.substr(2, length);
        const bool text = (FBuffer[0] & 0x0F) == 1;
        FBuffer.erase(0, 2 + length);
        if (text)
          return payload;
        continue;
      }
      const std::string more = FSocket.Receive(timeoutMs, 1);  // what has come, once some has
      if (more.empty())
        return "";
      FBuffer += more;
    }
  }
  TestClient& Socket() { return FSocket; }

private:
  TestClient FSocket;
  std::string FBuffer;
};

class EventLoopEngine : public ::testing::Test {
protected:
  void SetUp() override {
    baselineThreads = IdThreadCount();
    test::ListenOnLoopback(server);
    server.IOHandlerOptions().IOHandlerType = iohIOCP;
    server.IOHandlerOptions().IOCP.WorkOpThreads = 2;
    server.OnMessage = [](TzalWSConnection* connection, const std::string& text) { connection->WriteData(text); };
  }
  void TearDown() override {
    server.SetActive(false);
    EXPECT_EQ(IdThreadCount(), baselineThreads) << "a loop outlived the stop";
  }
  std::vector<std::unique_ptr<WSClient>> OpenClients(int count) {
    std::vector<std::unique_ptr<WSClient>> clients;
    for (int i = 0; i < count; ++i) {
      clients.push_back(std::make_unique<WSClient>());
      EXPECT_TRUE(clients.back()->Open(port)) << "client " << i;
    }
    EXPECT_TRUE(test::WaitFor([&] { return server.ConnectionCount() == count; }, kBoundMs));
    return clients;
  }

  int baselineThreads = 0;
  TzalWebSocketHTTPServer server;
  uint16_t port = 0;
};

// Eight application threads write numbered messages to every connection at
// once: each client gets all of them, each thread's in its order, and the
// server holds two loops and its listener whatever the number of connections.
TEST_F(EventLoopEngine, WorkPostedFromEightThreadsArrivesWholeAndInOrderOnTwoLoops) {
  constexpr int kConnections = 200, kThreads = 8, kMessages = 40;
  port = test::ActivePort(server);
  auto clients = OpenClients(kConnections);
  EXPECT_EQ(IdThreadCount(), baselineThreads + 2 + 1) << "two loops and one listener";
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t)
    writers.emplace_back([this, t] {
      for (int m = 0; m < kMessages; ++m)
        for (int c = 0; c < kConnections; ++c)
          if (TzalWSConnectionServerRef connection = server.GetConnectionByIndex(c))
            connection->WriteData(std::to_string(t) + ":" + std::to_string(m));
    });
  for (auto& writer : writers)
    writer.join();
  int whole = 0;
  for (auto& client : clients) {
    std::map<int, int> next;  // thread -> the message it must send next
    int received = 0;
    for (std::string text; received < kThreads * kMessages && !(text = client->NextText()).empty(); ++received) {
      const int thread = std::stoi(text.substr(0, text.find(':')));
      EXPECT_EQ(std::stoi(text.substr(text.find(':') + 1)), next[thread]++) << "from thread " << thread;
    }
    whole += received == kThreads * kMessages;
  }
  EXPECT_EQ(whole, kConnections);
}

// On one loop, a client that stops reading while messages pile up for it does
// not hold up its neighbour, whose echoes keep coming.
TEST_F(EventLoopEngine, AStalledReaderDoesNotHoldUpABusyNeighbourOnTheSameLoop) {
  server.IOHandlerOptions().IOCP.WorkOpThreads = 1;
  port = test::ActivePort(server);
  WSClient stalled, busy;
  stalled.Socket().SetReceiveBuffer(4096);
  ASSERT_TRUE(stalled.Open(port));
  ASSERT_TRUE(busy.Open(port));
  ASSERT_TRUE(test::WaitFor([&] { return server.ConnectionCount() == 2; }, kBoundMs));
  TzalWSConnectionServerRef slow = server.GetConnectionByIndex(0);
  ASSERT_TRUE(slow);
  const std::string block(60000, 'x');
  for (int i = 0; i < 100; ++i)  // 6 MB that the stalled client never reads
    slow->WriteData(block);
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 200; ++i) {
    ASSERT_TRUE(busy.SendText("echo " + std::to_string(i)));
    ASSERT_EQ(busy.NextText(), "echo " + std::to_string(i));
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kBoundMs));
  EXPECT_EQ(server.ConnectionCount(), 2) << "the stalled reader is still served";
}

// A stop while every client sends: it returns promptly, each client sees its
// connection end, and neither loop nor connection is left.
TEST_F(EventLoopEngine, AStopUnderLoadEndsEveryConnectionAndLoopPromptly) {
  constexpr int kConnections = 100;
  port = test::ActivePort(server);
  auto clients = OpenClients(kConnections);
  std::atomic<bool> sending{true};
  std::vector<std::thread> load;
  for (int part = 0; part < 4; ++part)
    load.emplace_back([&, part] {
      for (int round = 0; sending.load(); ++round)
        for (int c = part; c < kConnections; c += 4)
          clients[static_cast<size_t>(c)]->SendText("load " + std::to_string(round));
    });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const auto start = std::chrono::steady_clock::now();
  server.SetActive(false);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kBoundMs));
  sending.store(false);
  for (auto& thread : load)
    thread.join();
  EXPECT_EQ(server.ConnectionCount(), 0);
  EXPECT_EQ(IdThreadCount(), baselineThreads);
  int ended = 0;
  for (auto& client : clients)
    ended += client->Socket().WaitClosed(kBoundMs);
  EXPECT_EQ(ended, kConnections);
}

// The engine's handlers take only its scheduler, and a TLS handler the
// application supplies must be of the engine's kind: activation says so.
TEST_F(EventLoopEngine, TakesOnlyItsOwnSchedulerAndTLSHandler) {
  TzalIdServerIOHandlerIOCP handler;
  TIdSchedulerOfThreadDefault threads;
  try {
    handler.SetScheduler(&threads);
    ADD_FAILURE() << "a thread scheduler was taken";
  } catch (const EIdException& e) {
    EXPECT_STREQ(e.what(), "Scheduler not a IOCP scheduler");
  }
  TzalIdSchedulerOfIOCP loops;
  EXPECT_NO_THROW(handler.SetScheduler(&loops));

  TIdServerIOHandlerSSLOpenSSL foreign;
  server.OnSSLGetHandler = [&foreign](void*, TwsSSLHandler, TIdServerIOHandlerSSLBase*& chosen) { chosen = &foreign; };
  server.SetSSL(true);
  try {
    server.SetActive(true);
    ADD_FAILURE() << "the server started with a TLS handler the loops cannot serve";
  } catch (const EIdException& e) {
    EXPECT_NE(std::string(e.what()).find("TzalIdServerIOHandlerIOCPOpenSSL"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(server.Active());
}

}  // namespace
}  // namespace zal
