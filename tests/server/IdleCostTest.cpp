// What idle connections cost: a thousand WebSocket, a thousand HTTP/2 and a
// thousand kept-alive HTTP/1.1 connections, each past its first exchange, must
// leave the process (server and clients alike) nearly without CPU time: an
// idle connection waits for its socket, posted work or a deadline, and is
// never woken to look. And while it waits it keeps no input block. The loop
// engine serves them all on the threads it had for the first ones.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/zalTestMemory.h"
#include "common/zalTestSocket.h"
#include "server/zalWebSocket_Server.h"

namespace zal {
namespace {

using test::TestClient;

constexpr int kEach = 1000;

const std::string kUpgrade =
    "GET /idle HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
// RFC 9113 3.4: the preface, then an empty SETTINGS frame.
const std::string kPreface = std::string("PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n") + std::string("\0\0\0\x04\0\0\0\0\0", 9);
const std::string kSettingsAck("\0\0\0\x04\x01\0\0\0\0", 9);

// A client that sent `first` and read the server's answer up to `answered`.
TestClient AnsweredClient(uint16_t port, const std::string& first, const std::string& answered) {
  TestClient client;
  EXPECT_TRUE(client.Connect("127.0.0.1", port));
  EXPECT_TRUE(client.Send(first));
  EXPECT_NE(client.ReceiveUntil(answered, 5000).find(answered), std::string::npos);
  return client;
}

TEST(IdleCost, ThousandsOfIdleConnectionsOfEveryTransportCostNoCPU) {
  TzalWebSocketHTTPServer server;
  test::ListenOnLoopback(server);
  server.HTTP2Options().Enabled = true;
  server.SetKeepAlive(true);
  server.SetActive(true);
  const uint16_t port = server.Bindings().Items(0).Port();
  std::vector<TestClient> clients;
  long threadsForTheFirst = 0;
  for (int i = 0; i < kEach; ++i) {
    clients.push_back(AnsweredClient(port, kUpgrade, "\r\n\r\n"));
    clients.push_back(AnsweredClient(port, kPreface, std::string("\x04\0\0\0\0\0", 6)));  // the server's SETTINGS
    ASSERT_TRUE(clients.back().Send(kSettingsAck));
    clients.push_back(AnsweredClient(port, "GET /idle HTTP/1.1\r\nHost: x\r\n\r\n", "\r\n\r\n"));
    if (i == 0)
      threadsForTheFirst = test::ProcessThreads();
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));  // the last answers settle
  const double before = test::ProcessCpuSeconds();
  std::this_thread::sleep_for(std::chrono::seconds(10));
  EXPECT_LT(test::ProcessCpuSeconds() - before, 0.05);
  EXPECT_EQ(server.ConnectionCount(), 3 * kEach);  // all of them were still there
  if (test::TestEngine() == iohIOCP) {
    EXPECT_EQ(test::ProcessThreads(), threadsForTheFirst) << "the loop engine's threads grew with its connections";
  }
  server.SetActive(false);
}

struct MemoryCase {
  const char* Name;
  std::string First;     // what the client sends
  std::string Answered;  // the end of the server's answer
};

class IdleMemory : public ::testing::TestWithParam<MemoryCase> {};

constexpr int kMeasured = 200;
constexpr int64_t kBytesPerIdleConnection = 24 * 1024;  // less than one input block of 32 KiB

TEST_P(IdleMemory, AWaitingConnectionKeepsNoInputBlock) {
  const MemoryCase& c = GetParam();
  TzalWebSocketHTTPServer server;
  test::ListenOnLoopback(server);
  server.HTTP2Options().Enabled = true;
  server.SetActive(true);
  const uint16_t port = server.Bindings().Items(0).Port();
  std::vector<TestClient> clients;
  clients.push_back(AnsweredClient(port, c.First, c.Answered));  // the server's threads start
  const int64_t before = test::LiveHeap();
  for (int i = 0; i < kMeasured; ++i)
    clients.push_back(AnsweredClient(port, c.First, c.Answered));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the last steps end in their wait
  const int64_t perConnection = (test::LiveHeap() - before) / kMeasured;
  EXPECT_LT(perConnection, kBytesPerIdleConnection) << perConnection << " octets per idle " << c.Name << " connection";
  server.SetActive(false);
}

INSTANTIATE_TEST_SUITE_P(Transports, IdleMemory,
                         ::testing::Values(MemoryCase{"WebSocket", kUpgrade, "\r\n\r\n"},
                                           MemoryCase{"HTTP2", kPreface, std::string("\x04\0\0\0\0\0", 6)}),
                         [](const auto& info) { return std::string(info.param.Name); });

}  // namespace
}  // namespace zal
