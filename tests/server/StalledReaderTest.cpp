// A client that stops reading, next to a hundred that read, with the library's
// default options: broadcasts of 1 MiB reach every reader, the stalled client is
// dropped once what waits for it passes MaxSendQueueSize, the server accepts a
// new connection meanwhile, and the memory the stalled client held comes back.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/zalTestMemory.h"
#include "common/zalTestSocket.h"
#include "server/zalWebSocket_Server.h"

namespace zal {
namespace {

using test::TestClient;
using test::WaitFor;

constexpr int kReaders = 100;
constexpr int kBroadcasts = 50;
constexpr size_t kMessage = 1024 * 1024;
constexpr int64_t kFrame = kMessage + 10;  // RFC 6455 5.2: 2 octets, then a 64-bit length

const std::string kUpgrade =
    "GET /feed HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";

// A client past its opening handshake; `receiveBuffer` > 0 keeps its window small.
TestClient UpgradedClient(uint16_t port, int receiveBuffer = 0) {
  TestClient client;
  client.SetReceiveBuffer(receiveBuffer);
  EXPECT_TRUE(client.Connect("127.0.0.1", port));
  EXPECT_TRUE(client.Send(kUpgrade));
  EXPECT_NE(client.ReceiveUntil("\r\n\r\n", 5000).find("HTTP/1.1 101 "), std::string::npos);
  return client;
}

// Counts what each client receives, on a thread of its own, until stopped.
class ReaderCounts {
public:
  explicit ReaderCounts(std::vector<TestClient>& clients) : FCounts(clients.size()) {
    for (TestClient& client : clients)
      FPolled.push_back({client.Handle(), POLLIN, 0});
    FThread = std::thread([this] { Run(); });
  }
  ~ReaderCounts() {
    FStop.store(true);
    FThread.join();
  }
  int64_t Least() const {
    int64_t least = INT64_MAX;
    for (const auto& count : FCounts)
      least = std::min(least, count.load());
    return least;
  }

private:
  void Run() {
    std::vector<char> chunk(256 * 1024);
    while (!FStop.load()) {
      if (::poll(FPolled.data(), FPolled.size(), 100) <= 0)
        continue;
      for (size_t i = 0; i < FPolled.size(); ++i)
        if (FPolled[i].revents & POLLIN)
          if (const ssize_t n = ::recv(FPolled[i].fd, chunk.data(), chunk.size(), MSG_DONTWAIT); n > 0)
            FCounts[i] += n;
    }
  }

  std::vector<pollfd> FPolled;
  std::vector<std::atomic<int64_t>> FCounts;
  std::atomic<bool> FStop{false};
  std::thread FThread;
};

TEST(StalledReader, ReadersGetEveryBroadcastWhileTheStalledOneIsDroppedAtTheBound) {
  TzalWebSocketHTTPServer server;
  test::ListenOnLoopback(server);
  std::mutex lock;
  std::vector<std::string> errors;
  std::atomic<int> connects{0}, disconnects{0};
  server.OnConnect = [&](TzalWSConnection*) { ++connects; };
  server.OnError = [&](TzalWSConnection*, const std::string& error) {
    std::lock_guard guard(lock);
    errors.push_back(error);
  };
  server.OnDisconnect = [&](TzalWSConnection*, int) { ++disconnects; };
  server.SetActive(true);
  const uint16_t port = server.Bindings().Items(0).Port();

  TestClient stalled = UpgradedClient(port, 16 * 1024);
  std::vector<TestClient> readers;
  for (int i = 0; i < kReaders; ++i)
    readers.push_back(UpgradedClient(port));
  // A client reads the 101 before the server counts the connection in: a
  // broadcast reaches only the connections it announced.
  ASSERT_TRUE(WaitFor([&] { return connects.load() == kReaders + 1; }, 10000));
  ReaderCounts counts(readers);
  const int64_t heapBefore = test::LiveHeap();

  // Each broadcast waits for the readers to have the one before, so that no
  // reader ever has more than one message queued.
  std::atomic<bool> broadcasting{true};
  std::thread broadcaster([&] {
    const std::string message(kMessage, 'x');
    for (int i = 0; i < kBroadcasts && broadcasting.load(); ++i) {
      server.Broadcast(message);
      WaitFor([&] { return counts.Least() >= (i + 1) * kFrame || !broadcasting.load(); }, 45000);
    }
  });
  // 10 MiB is more than the stalled client's window and the kernel's buffers
  // take: from here on it holds up its own queue. The bounds leave room for a
  // machine loaded by other programs: 5 GB go over loopback in all.
  const bool midway = WaitFor([&] { return counts.Least() >= 10 * kFrame; }, 45000);
  EXPECT_TRUE(midway);
  if (midway) {
    TestClient late = UpgradedClient(port);  // a new connection is served meanwhile
    EXPECT_TRUE(late.Send(std::string("\x88\x80\0\0\0\0", 6)));
    // It reads to the server's close: a client that left with broadcasts unread
    // would reset the connection, and the send that met the reset would fail.
    EXPECT_TRUE(late.WaitClosed(10000));
  }
  EXPECT_TRUE(WaitFor([&] { return counts.Least() >= kBroadcasts * kFrame; }, 55000));
  broadcasting.store(false);
  stalled.Close();  // a broadcaster stuck in a send to it goes on
  broadcaster.join();

  EXPECT_TRUE(WaitFor([&] { return disconnects.load() == 2; }, 10000));  // the stalled client and the late one
  {
    std::lock_guard guard(lock);
    EXPECT_EQ(errors, std::vector<std::string>{"Send queue exceeds MaxSendQueueSize"});
  }
  EXPECT_LT(test::LiveHeap() - heapBefore, 4 * 1024 * 1024);  // nothing the stalled client had queued is kept
  server.SetActive(false);
}

// A client that stops reading is still heard: its connection's step never
// waits in a send, so what it says is raised while 8 MiB wait for it, and
// when it leaves the server is idle again.
TEST(StalledReader, IsStillHeardWhileItsOutputWaits) {
  TzalWebSocketHTTPServer server;
  test::ListenOnLoopback(server);
  std::atomic<int> heard{0};
  server.OnConnect = [](TzalWSConnection* connection) { connection->WriteData(std::string(8 << 20, 'x')); };
  server.OnMessage = [&](TzalWSConnection*, const std::string& text) { heard += text == "heard"; };
  server.SetActive(true);
  TestClient client = UpgradedClient(server.Bindings().Items(0).Port(), 16 * 1024);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the socket's buffers fill up
  ASSERT_TRUE(client.Send(std::string("\x81\x85\0\0\0\0heard", 11)));  // masked with a zero key
  EXPECT_TRUE(WaitFor([&] { return heard.load() == 1; }, 3000));
  client.Close();
  EXPECT_TRUE(WaitFor([&] { return server.ConnectionCount() == 0; }, 5000));
  const double before = test::ProcessCpuSeconds();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_LT(test::ProcessCpuSeconds() - before, 0.05);
  server.SetActive(false);
}

}  // namespace
}  // namespace zal
