// Enabled message connections inside the running component, over the raw TCP
// transport (an unknown protocol the application accepts): messages cut at
// the end-of-frame sequence, and the component's Broadcast, WriteData and Ping.
#include <gtest/gtest.h>

#include <mutex>

#include "common/zalTestRecorder.h"
#include "common/zalTestSocket.h"
#include "server/zalWebSocket_Server.h"

namespace zal {
namespace {

using test::TestClient;
using test::WaitFor;

class RawTCPConnections : public ::testing::Test {
protected:
  void SetUp() override {
    test::ListenOnLoopback(server);
    server.OnUnknownProtocol = [](TzalWSConnection* connection, bool& accept) {
      connection->AddTCPEndOfFrame('\r');
      connection->AddTCPEndOfFrame('\n');
      connection->FTCPEndOfFrameScanBuffer = eofScanAllBytes;
      accept = true;
    };
    server.OnConnect = [this](TzalWSConnection* connection) {
      guids.Add(connection->Guid());
    };
    server.OnBinary = [this](TzalWSConnection*, const TMemoryStream& data) {
      received.Add(data.DataString());
    };
    server.SetActive(true);
  }
  void TearDown() override { server.SetActive(false); }

  TestClient Connected(const std::string& first) {
    TestClient client = test::ConnectedTo(server);
    const size_t before = guids.Count();
    EXPECT_TRUE(client.Send(first));
    EXPECT_TRUE(guids.WaitForCount(before + 1));
    return client;
  }

  test::TestRecorder<std::string> guids, received;
  TzalWebSocketHTTPServer server;
};

TEST_F(RawTCPConnections, MessagesAreCutAtTheEndOfFrameSequence) {
  TestClient client = Connected("HELLO\r\nA");
  ASSERT_TRUE(client.Send("B\r\nC\r"));
  ASSERT_TRUE(client.Send("\n"));
  ASSERT_TRUE(received.WaitForCount(3));
  EXPECT_EQ(received.Items(), (std::vector<std::string>{"HELLO\r\n", "AB\r\n", "C\r\n"}));
}

TEST_F(RawTCPConnections, BroadcastWriteDataAndPingReachTheirConnections) {
  TestClient first = Connected("one\r\n");
  TestClient second = Connected("two\r\n");
  const std::vector<std::string> ids = guids.Items();
  server.Broadcast("all");
  EXPECT_EQ(first.Receive(300), "all");
  EXPECT_EQ(second.Receive(300), "all");
  server.Broadcast("some", "", "", ids[0]);
  EXPECT_EQ(first.Receive(200), "");
  EXPECT_EQ(second.Receive(300), "some");
  server.Broadcast("only", "", "", "", ids[0]);
  EXPECT_EQ(first.Receive(300), "only");
  EXPECT_EQ(second.Receive(200), "");
  server.Broadcast("nobody", "channel");  // no connection is subscribed to a channel
  EXPECT_EQ(first.Receive(200), "");
  EXPECT_EQ(second.Receive(10), "");
  EXPECT_TRUE(server.WriteData(ids[1], "direct"));
  EXPECT_EQ(second.Receive(300), "direct");
  EXPECT_FALSE(server.WriteData("0123456789ABCDEF0123456789ABCDEF", "lost"));
  server.Ping("beat");  // the raw transport writes the ping text as it is
  EXPECT_EQ(first.Receive(300), "beat");
}

TEST_F(RawTCPConnections, PingAsksOnBeforeHeartBeatAndSendsTheLocalTimeWhenGivenNoText) {
  TestClient first = Connected("one\r\n");
  TestClient second = Connected("two\r\n");
  const TzalWSConnectionServerRef handledOne = server.GetConnectionByGuid(guids.Items()[0]);
  server.OnBeforeHeartBeat = [&](void*, TzalWSConnection* connection, bool& handled) {
    handled = connection == handledOne.get();
  };
  server.Ping();
  EXPECT_EQ(first.Receive(200), "");
  const std::string stamp = second.Receive(300);  // yyyymmddhhnnsszzz
  EXPECT_EQ(stamp.size(), 17u);
  EXPECT_EQ(stamp.find_first_not_of("0123456789"), std::string::npos);
  EXPECT_TRUE(handledOne->FCustomHeartBeat);
}

TEST_F(RawTCPConnections, AChannelBroadcastReachesTheConnectionsSubscribedToOneOfItsNames) {
  TestClient first = Connected("one\r\n");
  TestClient second = Connected("two\r\n");
  const TzalWSConnectionServerRef subscriber = server.GetConnectionByGuid(guids.Items()[0]);
  std::vector<std::string> events;
  subscriber->FOnSubscription = [&](TzalWSConnection*, const std::string& name) { events.push_back("+" + name); };
  subscriber->FOnUnSubscription = [&](TzalWSConnection*, const std::string& name) { events.push_back("-" + name); };
  subscriber->DoSubscribe("news, Sport");
  subscriber->DoSubscribe("NEWS");  // already subscribed: no event
  EXPECT_EQ(events, (std::vector<std::string>{"+news", "+ Sport"}));
  server.Broadcast("both names", "weather,news");
  EXPECT_EQ(first.Receive(300), "both names");
  server.Broadcast("spaces count", "sport");
  server.Broadcast("case does not", "weather, sport");
  EXPECT_EQ(first.Receive(300), "case does not");
  EXPECT_EQ(second.Receive(200), "");
  subscriber->DoUnSubscribe("News,weather");
  EXPECT_EQ(events.back(), "-news");
  server.Broadcast("gone", "news");
  EXPECT_EQ(first.Receive(200), "");
  EXPECT_EQ(subscriber->Subscriptions(), std::vector<std::string>{" Sport"});
}

}  // namespace
}  // namespace zal
