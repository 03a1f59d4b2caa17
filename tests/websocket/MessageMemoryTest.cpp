// What a connection keeps of a large message once it has been delivered:
// idle connections that each received a 16 MiB message (plain, or inflated
// from a few kilobytes of permessage-deflate) hold little memory together.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "common/zalTestMemory.h"
#include "common/zalTestSocket.h"
#include "server/zalWebSocket_Server.h"
#include "websocket/WebSocketTestSupport.h"
#include "websocket/zalWebSocket_ZLib.h"

namespace zal::test {
namespace {

constexpr size_t kMessageSize = 16 * 1024 * 1024;  // the default MaxMessageSize
constexpr int kConnections = 8;


// One text message of kMessageSize octets as a single frame, compressed
// (permessage-deflate, RFC 7692 7.2.1) or not.
TIdBytes LargeMessage(bool compressed) {
  const std::string text(kMessageSize, 'a');
  if (!compressed)
    return ClientFrame(0x81, text);
  TzalRawDeflater deflater(6, 15, 9);
  TIdBytes payload;
  deflater.SyncFlush({reinterpret_cast<const uint8_t*>(text.data()), text.size()}, payload);
  payload.resize(payload.size() - 4);  // the 00 00 FF FF of the flush
  return ClientFrame(0xC1, std::string(payload.begin(), payload.end()));
}

class MessageMemory : public ::testing::TestWithParam<bool> {};

TEST_P(MessageMemory, IdleConnectionsKeepLittleOfALargeMessage) {
  const bool compressed = GetParam();
  TzalWebSocketHTTPServer server;
  ListenOnLoopback(server);
  server.Extensions().PerMessage_Deflate.Enabled = compressed;
  std::atomic<int> delivered{0};
  server.OnMessage = [&](TzalWSConnection*, const std::string& text) { delivered += text.size() == kMessageSize; };
  const TIdBytes frame = LargeMessage(compressed);
  std::vector<TestClient> clients;
  clients.push_back(ConnectedTo(server));  // the first connection starts the server's threads
  clients.pop_back();
  const long before = test::LiveHeap() / 1024;
  for (int i = 0; i < kConnections; ++i) {
    TestClient& client = clients.emplace_back(ConnectedTo(server));
    ASSERT_TRUE(client.Send("GET /chat HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n" +
                            std::string(compressed ? "Sec-WebSocket-Extensions: permessage-deflate\r\n" : "") +
                            "\r\n"));
    ASSERT_NE(client.ReceiveUntil("\r\n\r\n").find(" 101 "), std::string::npos);
    ASSERT_TRUE(client.Send(std::string(frame.begin(), frame.end())));
    ASSERT_TRUE(WaitFor([&] { return delivered.load() == i + 1; }, 20000));
  }
  // The last message may still be leaving its connection's buffers.
  const auto kept = [&] { return test::LiveHeap() / 1024 - before; };
  EXPECT_TRUE(WaitFor([&] { return kept() < kConnections * 1024; }, 5000))
      << kept() << " KiB kept by " << kConnections << " idle connections";
  server.SetActive(false);
}

INSTANTIATE_TEST_SUITE_P(Messages, MessageMemory, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Compressed" : "Plain"; });

}  // namespace
}  // namespace zal::test
