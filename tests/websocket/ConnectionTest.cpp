// The connection's operations over a real loopback socket: the server side is
// a TzalWSConnectionServer, the client a plain socket that sends masked frames
// and reads the server's frames with a client-role reader.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <thread>

#include "common/zalLoopbackConnection.h"
#include "common/zalTestExceptions.h"
#include "common/zalTestSocket.h"
#include "websocket/WebSocketTestSupport.h"
#include "websocket/zalWebSocket_Classes_Sock.h"

namespace zal::test {
namespace {

using Log = std::vector<std::string>;

class WSConnection : public ::testing::Test {
protected:
  WSConnection() {
    Server.SetTCPConnection(&Loop.Connection());
    Server.SetTransport(trpRFC6455);
    Server.SetEnabled(true);
    Server.FCleanDisconnect = true;
    Server.FReadTimeOut = 20;
    ClientReader.Options().MaskRequired = false;
    ClientReader.Options().FragmentedMessages = frgOnlyFragmented;
  }

  void ClientSends(const TIdBytes& bytes) {
    ASSERT_TRUE(Loop.Peer().Send(std::string(bytes.begin(), bytes.end())));
  }

  // Sends what the server queued, as its read step would, then reads the
  // server's frames until `lines` events arrived or 2 s passed.
  Log ClientReceives(size_t lines) {
    if (!Reading.joinable())
      Server.FlushOutput();  // else the reading thread, the connection's own, sends
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (ClientLog.Lines.size() < lines && std::chrono::steady_clock::now() < deadline) {
      const std::string chunk = Loop.Peer().Receive(50);
      ClientBuffer.insert(ClientBuffer.end(), chunk.begin(), chunk.end());
      while (size_t consumed = ClientReader.Read(ClientBuffer))
        ClientBuffer.erase(ClientBuffer.begin(), ClientBuffer.begin() + static_cast<std::ptrdiff_t>(consumed));
    }
    Log lines_ = ClientLog.Lines;
    ClientLog.Lines.clear();
    return lines_;
  }

  // Drives read steps on a thread of its own, as the connection's worker would.
  void StartReading() {
    Reading = std::thread([this] {
      try {
        while (!StopReading.load() && Server.ReadStep())
          Server.WaitForNextStep();
      } catch (const TzalWSException& e) {
        ReadError = std::to_string(e.CloseCode()) + ":" + e.what();
      }
    });
  }
  ~WSConnection() override {
    StopReading.store(true);
    Server.Wake();  // an idle connection's step waits until something happens
    if (Reading.joinable())
      Reading.join();
  }

  // The peer's socket ends with FIN (recv 0), not with a reset.
  bool ClientSeesOrderlyEnd() {
    pollfd p{Loop.Peer().Handle(), POLLIN, 0};
    char chunk[256];
    for (;;) {
      if (::poll(&p, 1, 3000) <= 0)
        return false;
      const ssize_t n = ::recv(Loop.Peer().Handle(), chunk, sizeof chunk, 0);
      if (n == 0)
        return true;
      if (n < 0)
        return false;
    }
  }

  LoopbackConnection Loop;
  TzalWSConnectionServer Server;
  TzalWSFrameReader ClientReader;
  ReaderLog ClientLog{ClientReader};
  TIdBytes ClientBuffer;
  std::thread Reading;
  std::atomic<bool> StopReading{false};
  std::string ReadError;
};

TEST_F(WSConnection, TextCutIntoFramesOfTheGivenSize) {
  Server.WriteData("0123456789", 4, stmNone);
  EXPECT_EQ(ClientReceives(3), (Log{"frag:1:1:0123", "frag:1:1:4567", "frag:1:0:89"}));
}

TEST_F(WSConnection, StreamingModesBuildOneMessage) {
  TMemoryStream part(TIdBytes{'a', 'b'});
  Server.WriteData(part, 0, stmFirst);
  Server.WriteData(part, 0, stmContinue);
  Server.WriteData(part, 0, stmLast);
  Server.WriteData(part, 1, stmNone);
  EXPECT_EQ(ClientReceives(5), (Log{"frag:2:1:ab", "frag:2:1:ab", "frag:2:0:ab", "frag:2:1:a", "frag:2:0:b"}));
}

TEST_F(WSConnection, LargeBinaryUsesThe64BitLength) {
  TMemoryStream data(Pattern(70000));
  Server.WriteData(data);
  EXPECT_EQ(ClientReceives(1), Log{"frag:2:0:<70000>"});
}

// Another thread's message waits for the open fragmented message to end;
// a ping may go between its fragments (RFC 6455 5.4).
TEST_F(WSConnection, FragmentedMessageHoldsTheDataChannel) {
  Server.WriteData("first", 0, stmFirst);
  std::thread other([this] { Server.WriteData("other"); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  Server.Ping("p");
  Server.WriteData("last", 0, stmLast);
  other.join();
  EXPECT_EQ(ClientReceives(4), (Log{"frag:1:1:first", "ping:p", "frag:1:0:last", "frag:1:0:other"}));
}

TEST_F(WSConnection, PingWaitsForItsOwnPong) {
  StartReading();
  std::thread client([this] {
    ClientReceives(1);
    ClientSends(ClientFrame(0x8A, "unsolicited"));  // ignored
    ClientSends(ClientFrame(0x8A, "t"));
  });
  EXPECT_TRUE(Server.Ping("t", 3000));
  client.join();
  EXPECT_EQ(Server.Pong(), "t");
  // The same text again: the earlier pong does not answer this ping.
  EXPECT_FALSE(Server.Ping("t", 200));
  EXPECT_FALSE(Server.Ping("u", 0));
  EXPECT_FALSE(Server.Disconnected());
}

// RFC 6455 5.5.3: a pong may answer only the most recent of several pings.
TEST_F(WSConnection, PongForTheNewestPingAnswersTheOlderOnes) {
  StartReading();
  Server.Ping("old");
  std::thread client([this] {
    ClientReceives(2);
    ClientSends(ClientFrame(0x8A, "new"));
  });
  EXPECT_TRUE(Server.Ping("new", 3000));
  client.join();
  ClientSends(ClientFrame(0x8A, "old"));  // late: unsolicited now, ignored
  EXPECT_FALSE(Server.Ping("x", 200));
  EXPECT_EQ(Server.Pong(), "new");
}

TEST_F(WSConnection, WriteAndWaitDataReturnsTheAnswer) {
  Server.FOnMessage = [](TzalWSConnection* c, const std::string& text) { c->SetMsgReceived(text); };
  StartReading();
  std::thread client([this] {
    ClientReceives(1);
    ClientSends(ClientFrame(0x81, "answer"));
  });
  EXPECT_EQ(Server.WriteAndWaitData("question", 3000), "answer");
  client.join();
  EXPECT_EQ(Server.WriteAndWaitData("again", 0), "");
}

// A received close is answered with its code, then TCP ends with FIN.
TEST_F(WSConnection, ReceivedCloseIsAnsweredAndEndsCleanly) {
  ClientSends(ClientFrame(0x88, ClosePayload(1001, "bye")));
  StartReading();
  EXPECT_EQ(ClientReceives(1), Log{"close:1001:"});
  Loop.Peer().Close();  // like a browser, the client then closes its side
  Reading.join();
  EXPECT_EQ(Server.CloseCode(), 1001);
  EXPECT_EQ(Server.CloseReason(), "bye");
  EXPECT_EQ(ReadError, "");
}

TEST_F(WSConnection, ServerCloseWaitsForTheAnswerAndEndsWithFIN) {
  StartReading();
  Server.Close(4000);
  EXPECT_EQ(ClientReceives(1), Log{"close:4000:"});
  ClientSends(ClientFrame(0x88, ClosePayload(4000)));
  EXPECT_TRUE(ClientSeesOrderlyEnd());
  Loop.Peer().Close();
}

TEST_F(WSConnection, ServerCloseGivesUpAfterCloseTimeOut) {
  Server.FLimits.CloseTimeOut = 100;
  StartReading();
  Server.Close(1000);
  Reading.join();  // ends without an answer from the client
  EXPECT_TRUE(Server.Disconnected());
}

// Codes that must not go on the wire are replaced by an empty close body.
TEST_F(WSConnection, UnsendableCloseCodesSendAnEmptyBody) {
  for (int code : {1005, 1006, 1015, 999, 5000, 2999}) {
    LoopbackConnection loop;
    TzalWSConnectionServer server;
    server.SetTCPConnection(&loop.Connection());
    server.SetTransport(trpRFC6455);
    server.SetEnabled(true);
    server.Close(code);
    server.FlushOutput();
    EXPECT_EQ(loop.Peer().Receive(500, 2), std::string("\x88\x00", 2)) << code;
  }
}

struct ErrorCase {
  const char* Name;
  TIdBytes Bytes;
  int Code;
};

class WSConnectionErrors : public WSConnection, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(WSConnectionErrors, CloseWithTheCodeThenFIN) {
  Server.FValidateUTF8 = true;
  Server.FLimits.MaxFrameSize = 1000;
  ClientSends(GetParam().Bytes);
  StartReading();
  EXPECT_EQ(ClientReceives(1), Log{"close:" + std::to_string(GetParam().Code) + ":"});
  Loop.Peer().Close();
  Reading.join();
  EXPECT_EQ(ReadError.substr(0, 4), std::to_string(GetParam().Code));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, WSConnectionErrors,
    ::testing::Values(ErrorCase{"Unmasked", ClientFrame(0x81, "x", false), 1002},
                      ErrorCase{"InvalidUTF8", ClientFrame(0x81, "\xED\xA0\x80"), 1007},
                      ErrorCase{"FrameTooLarge", ClientFrame(0x82, 1001), 1009},
                      ErrorCase{"InvalidCloseCode", ClientFrame(0x88, ClosePayload(1004)), 1002}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(WSConnection, FrameJustBelowMaxFrameSizeIsDelivered) {
  Server.FLimits.MaxFrameSize = 1000;
  std::atomic<size_t> received{0};
  Server.FOnBinary = [&](TzalWSConnection*, const TMemoryStream& data) { received = data.Bytes().size(); };
  ClientSends(ClientFrame(0x82, 1000));
  StartReading();
  EXPECT_TRUE(WaitFor([&] { return received.load() == 1000; }));
}

TEST_F(WSConnection, QueuedMessagesLeaveByLevelThenCallOrder) {
  Server.FQueueOptions.Text.Level = qmLevel2;
  Server.FQueueOptions.Ping.Level = qmLevel0;
  std::thread foreign([this] {
    for (const char* text : {"one", "two", "three"})
      Server.WriteData(text);
    Server.Ping("p");
  });
  foreign.join();
  EXPECT_EQ(Loop.Peer().Receive(100), "");  // nothing leaves before the connection's own thread sends
  Server.ProcessQueues();
  EXPECT_EQ(ClientReceives(4), (Log{"ping:p", "frag:1:0:one", "frag:1:0:two", "frag:1:0:three"}));
}

TEST_F(WSConnection, SendQueueBoundBelowAndAbove) {
  std::string error;
  Server.FOnError = [&error](TzalWSConnection*, const std::string& e) { error = e; };
  Server.FQueueOptions.Text.Level = qmLevel0;
  Server.FLimits.MaxSendQueueSize = 100;
  Server.WriteData(std::string(60, 'a'));
  Server.WriteData(std::string(40, 'b'));  // exactly at the bound
  EXPECT_EQ(Server.QueuedBytes(), 100u);
  EXPECT_EQ(error, "");
  Server.WriteData("c");
  EXPECT_EQ(error, "Send queue exceeds MaxSendQueueSize");
  EXPECT_EQ(ClientReceives(1), Log{"close:1008:"});
  EXPECT_EQ(Server.QueuedBytes(), 0u);
}

// Frames wait in the output queue until the connection's own thread sends
// them; past the bound the connection's next step ends it, without a close
// frame that a peer which does not read would never take.
TEST_F(WSConnection, OutputQueueBoundBelowAndAbove) {
  std::string error;
  Server.FOnError = [&error](TzalWSConnection*, const std::string& e) { error = e; };
  Server.FLimits.MaxSendQueueSize = 100;
  Server.WriteData(std::string(60, 'a'));  // 62 octets with the header
  Server.WriteData(std::string(36, 'b'));  // 38 more: exactly at the bound
  EXPECT_EQ(Server.OutputBytes(), 100u);
  EXPECT_EQ(error, "");
  Server.WriteData("c");
  EXPECT_EQ(error, "Send queue exceeds MaxSendQueueSize");
  EXPECT_EQ(Server.OutputBytes(), 0u);
  EXPECT_EQ(Server.CloseCode(), 1008);
  EXPECT_FALSE(Loop.Peer().WaitClosed(50));  // only the connection's own step closes it
  EXPECT_FALSE(Server.ReadStep());
  EXPECT_TRUE(Loop.Peer().WaitClosed());
}

TEST_F(WSConnection, MessageLargerThanTheSendBoundIsRefused) {
  std::string error;
  Server.FOnError = [&error](TzalWSConnection*, const std::string& e) { error = e; };
  Server.FLimits.MaxSendQueueSize = 1000;
  Server.WriteData(std::string(1000, 'a'));
  EXPECT_EQ(ClientReceives(1), Log{"frag:1:0:<1000>"});
  Server.WriteData(std::string(1001, 'a'));
  EXPECT_EQ(error, "Message exceeds MaxSendQueueSize");
  EXPECT_EQ(ClientReceives(1), Log{"close:1008:"});
}

TEST_F(WSConnection, OneMessagePerReadStep) {
  Log received;
  Server.FOnMessage = [&received](TzalWSConnection*, const std::string& text) { received.push_back(text); };
  ClientSends(Concat({ClientFrame(0x81, "a"), ClientFrame(0x81, "b")}));
  ASSERT_TRUE(Loop.BufferUntil(14));
  Server.ReadStep();
  EXPECT_EQ(received, Log{"a"});
  Server.ReadStep();
  EXPECT_EQ(received, (Log{"a", "b"}));
}

// The start of a frame is waited for, not examined again and again: the read
// steps cost no CPU until the rest arrives, and end the connection when the
// peer closes without sending it.
TEST_F(WSConnection, APartialFrameIsAwaitedWithoutSpinningAndDroppedWhenThePeerCloses) {
  Log received;
  Server.FOnMessage = [&received](TzalWSConnection*, const std::string& text) { received.push_back(text); };
  const TIdBytes frame = ClientFrame(0x81, "hello");
  ClientSends(TIdBytes(frame.begin(), frame.begin() + 3));
  StartReading();
  const double before = ProcessCpuSeconds();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_LT(ProcessCpuSeconds() - before, 0.05);
  ClientSends(TIdBytes(frame.begin() + 3, frame.end()));
  ClientSends(TIdBytes(frame.begin(), frame.begin() + 3));
  ::shutdown(Loop.Peer().Handle(), SHUT_WR);
  Reading.join();  // the read steps end by themselves
  EXPECT_EQ(received, Log{"hello"});
}

TEST_F(WSConnection, Hixie76TextAndClose) {
  Server.SetTransport(trpHixie76);
  Server.FSpecification = spHixie76;
  Log received;
  Server.FOnMessage = [&received](TzalWSConnection*, const std::string& text) { received.push_back(text); };
  Server.WriteData("Hi");
  Server.FlushOutput();
  EXPECT_EQ(Loop.Peer().Receive(500, 4), std::string("\x00Hi\xFF", 4));
  ClientSends(TIdBytes{0x00, 'y', 'o', 0xFF, 0xFF, 0x00});
  StartReading();
  EXPECT_EQ(Loop.Peer().Receive(1000, 2), std::string("\xFF\x00", 2));
  Loop.Peer().Close();
  Reading.join();
  EXPECT_EQ(received, Log{"yo"});
}

}  // namespace
}  // namespace zal::test
