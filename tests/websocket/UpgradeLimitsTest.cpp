// The header block of a WebSocket upgrade within the HTTP server's limits (line
// length, line count, block size, each crossed by one octet), within
// HandshakeTimeOut from the request's first byte, and refused at once however
// much a client sends past a limit.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "common/zalTestSocket.h"
#include "server/zalWebSocket_Server.h"

namespace zal::test {
namespace {

const std::string kRequestLine = "GET /chat HTTP/1.1\r\n";
const std::string kUpgradeFields =
    "Upgrade: websocket\r\nConnection: Upgrade\r\nHost: x\r\n"
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n";

// A field line of `length` octets before its LF (its CR included).
std::string FieldLine(size_t length) { return "X-Fill: " + std::string(length - 9, 'a') + "\r\n"; }

// Field lines of the given total size, line ends included, after the upgrade's own.
std::string FieldsOfSize(size_t total) {
  std::string fields = kUpgradeFields;
  while (fields.size() + 1000 < total)
    fields += FieldLine(999);
  return fields + FieldLine(total - fields.size() - 1);
}

std::string FieldsOfCount(size_t count) {
  std::string fields = kUpgradeFields;
  for (size_t i = 5; i < count; ++i)
    fields += "A: b\r\n";
  return fields;
}

struct LimitCase {
  const char* Name;
  std::string Request;
  const char* StatusLine;
};

class UpgradeLimits : public ::testing::TestWithParam<LimitCase> {
protected:
  void SetUp() override {
    TIdSocketHandle& binding = server.Bindings().Add();
    binding.SetIP("127.0.0.1");
    binding.SetPort(0);
    server.SetNotifyEvents(neNoSync);
  }
  void TearDown() override { server.SetActive(false); }

  TzalWebSocketHTTPServer server;
};

TEST_P(UpgradeLimits, AnsweredByTheLimitsOfHTTP) {
  TestClient client = ConnectedTo(server);
  ASSERT_TRUE(client.Send(GetParam().Request));
  EXPECT_TRUE(client.ReceiveUntil("\r\n", 3000).starts_with(GetParam().StatusLine));
}

// The defaults: lines of 16384 octets, 1024 field lines, 65536 octets of field lines.
INSTANTIATE_TEST_SUITE_P(
    Defaults, UpgradeLimits,
    ::testing::Values(
        LimitCase{"LineAtLimit", kRequestLine + kUpgradeFields + FieldLine(16384) + "\r\n", "HTTP/1.1 101"},
        LimitCase{"LinePastLimit", kRequestLine + kUpgradeFields + FieldLine(16385) + "\r\n", "HTTP/1.1 431"},
        LimitCase{"CountAtLimit", kRequestLine + FieldsOfCount(1024) + "\r\n", "HTTP/1.1 101"},
        LimitCase{"CountPastLimit", kRequestLine + FieldsOfCount(1025) + "\r\n", "HTTP/1.1 431"},
        LimitCase{"BlockAtLimit", kRequestLine + FieldsOfSize(65536) + "\r\n", "HTTP/1.1 101"},
        LimitCase{"BlockPastLimit", kRequestLine + FieldsOfSize(65537) + "\r\n", "HTTP/1.1 431"}),
    [](const auto& info) { return std::string(info.param.Name); });

// Megabytes of header lines: refused once the block passes its bound, whatever
// keeps coming, and nothing of it kept.
TEST_F(UpgradeLimits, AnEndlessHeaderBlockIsRefusedAtItsBound) {
  TestClient client = ConnectedTo(server);
  ASSERT_TRUE(client.Send(kRequestLine + kUpgradeFields));
  const std::string lines = FieldsOfCount(5 + 100).substr(kUpgradeFields.size());
  for (int sent = 0; sent < 4 * 1024 * 1024 && client.Send(lines); sent += static_cast<int>(lines.size())) {
  }
  EXPECT_TRUE(client.ReceiveUntil("\r\n", 3000).starts_with("HTTP/1.1 431"));
  EXPECT_TRUE(WaitFor([&] { return server.ConnectionCount() == 0; }, 5000));
}

// The time-out runs from the request's first byte: a client that takes its
// time before the Upgrade line gets no fresh HandshakeTimeOut after it.
TEST_F(UpgradeLimits, HandshakeTimeOutCountsFromTheFirstByte) {
  server.Options().HandshakeTimeOut = 2000;
  TestClient client = ConnectedTo(server);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(client.Send(kRequestLine));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  ASSERT_TRUE(client.Send("Upgrade: websocket\r\n"));
  std::string answer;
  while (answer.empty() && std::chrono::steady_clock::now() - start < std::chrono::seconds(6)) {
    client.Send("A: b\r\n");
    answer = client.Receive(100);
  }
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(answer.starts_with("HTTP/1.1 400")) << answer;
  EXPECT_GE(elapsed, std::chrono::milliseconds(1900));
  EXPECT_LT(elapsed, std::chrono::milliseconds(3000));  // a fresh time-out would end at 3500 ms
}

}  // namespace
}  // namespace zal::test
