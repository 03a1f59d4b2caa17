// Every way a WebSocket connection ends lets go of its thread: after a
// protocol error (with and without the closing handshake) or a server close
// that times out with a partial frame buffered, the connection leaves the
// server and the process is idle again once the client has gone.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "common/zalTestSocket.h"
#include "server/zalWebSocket_Server.h"
#include "websocket/WebSocketTestSupport.h"

namespace zal::test {
namespace {

const std::string kUpgrade =
    "GET /chat HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";

// A frame header announcing 2^40 octets of binary payload, masked, no payload.
TIdBytes HugeFrameHeader() { return {0x82, 0xFF, 0, 0, 1, 0, 0, 0, 0, 0, 1, 2, 3, 4}; }

struct EndCase {
  const char* Name;
  TIdBytes Bytes;
  bool ServerClosesFirst;  // the server sends a close that the client never answers
};

std::string Shown(const ::testing::TestParamInfo<std::tuple<EndCase, bool>>& info) {
  return std::string(std::get<0>(info.param).Name) + (std::get<1>(info.param) ? "_Clean" : "_Default");
}

class ConnectionEnd : public ::testing::TestWithParam<std::tuple<EndCase, bool>> {
protected:
  void SetUp() override {
    ListenOnLoopback(server);
    server.Options().CleanDisconnect = std::get<1>(GetParam());
    server.Options().CloseTimeOut = 300;
    if (std::get<0>(GetParam()).ServerClosesFirst)
      server.OnConnect = [](TzalWSConnection* connection) { connection->Close(1001); };
  }
  void TearDown() override { server.SetActive(false); }

  TzalWebSocketHTTPServer server;
};

TEST_P(ConnectionEnd, ReleasesTheThreadAndLeavesTheProcessIdle) {
  TestClient client = ConnectedTo(server);
  ASSERT_TRUE(client.Send(kUpgrade));
  ASSERT_NE(client.ReceiveUntil("\r\n\r\n").find(" 101 "), std::string::npos);
  const TIdBytes& bytes = std::get<0>(GetParam()).Bytes;
  ASSERT_TRUE(client.Send(std::string(bytes.begin(), bytes.end())));
  EXPECT_TRUE(client.WaitClosed(3000));
  client.Close();
  ASSERT_TRUE(WaitFor([&] { return server.ConnectionCount() == 0; }, 3000)) << "the connection never ended";
  const double before = ProcessCpuSeconds();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_LT(ProcessCpuSeconds() - before, 0.05) << "a thread still runs";
}

INSTANTIATE_TEST_SUITE_P(
    ProtocolErrors, ConnectionEnd,
    ::testing::Combine(
        ::testing::Values(EndCase{"Unmasked", ClientFrame(0x81, "seven", false), false},
                          EndCase{"ReservedBits", ClientFrame(0xC1, "x"), false},
                          EndCase{"ReservedOpcode", ClientFrame(0x83, "x"), false},
                          EndCase{"LongPing", ClientFrame(0x89, size_t{126}), false},
                          EndCase{"FragmentedPing", ClientFrame(0x09, "p"), false},
                          EndCase{"ContinuationWithoutStart", ClientFrame(0x80, "x"), false},
                          EndCase{"InvalidCloseCode", ClientFrame(0x88, ClosePayload(1004)), false},
                          EndCase{"FrameTooLarge", HugeFrameHeader(), false},
                          EndCase{"ErrorWithMoreFramesBuffered",
                                  Concat({ClientFrame(0x83, "x"), ClientFrame(0x81, "after")}), false},
                          EndCase{"CloseTimesOutOnAPartialFrame", {0x81, 0x85, 1}, true}),
        ::testing::Bool()),
    Shown);

// An application thread ends an idle connection: the connection's own thread,
// waiting for the peer, is woken, ends it, and lets go.
struct AppEnd {
  const char* Name;
  std::function<void(TzalWebSocketHTTPServer&, TzalWSConnection&)> End;
};

class ApplicationEnd : public ::testing::TestWithParam<std::tuple<AppEnd, bool>> {};

TEST_P(ApplicationEnd, WakesTheIdleConnectionAndEndsIt) {
  TzalWebSocketHTTPServer server;
  ListenOnLoopback(server);
  server.Options().CleanDisconnect = std::get<1>(GetParam());
  server.Options().CloseTimeOut = 300;
  TzalWSConnectionRef held;
  std::atomic<bool> connected{false};
  std::atomic<int> disconnects{0};
  server.OnConnect = [&](TzalWSConnection* connection) {
    held = TzalWSConnectionRef(connection);
    connected = true;
  };
  server.OnDisconnect = [&](TzalWSConnection*, int) { ++disconnects; };
  server.SetActive(true);
  TestClient client = ConnectedTo(server);
  ASSERT_TRUE(client.Send(kUpgrade));
  ASSERT_NE(client.ReceiveUntil("\r\n\r\n").find(" 101 "), std::string::npos);
  ASSERT_TRUE(WaitFor([&] { return connected.load(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the connection's thread waits for the peer
  std::thread([&] { std::get<0>(GetParam()).End(server, *held); }).join();
  EXPECT_TRUE(client.WaitClosed(1500)) << "the connection was not ended";
  EXPECT_TRUE(WaitFor([&] { return server.ConnectionCount() == 0 && disconnects.load() == 1; }, 3000));
  held = {};
  server.SetActive(false);
  EXPECT_EQ(disconnects.load(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    FromAnotherThread, ApplicationEnd,
    ::testing::Combine(
        ::testing::Values(AppEnd{"Close", [](auto&, TzalWSConnection& c) { c.Close(1001); }},
                          AppEnd{"Disconnect", [](auto&, TzalWSConnection& c) { c.Disconnect(1001); }},
                          AppEnd{"DisconnectAll", [](TzalWebSocketHTTPServer& s, auto&) { s.DisconnectAll(); }}),
        ::testing::Bool()),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).Name) + (std::get<1>(info.param) ? "_Clean" : "_Default");
    });

}  // namespace
}  // namespace zal::test
