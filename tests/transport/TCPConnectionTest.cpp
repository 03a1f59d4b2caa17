// Connection state: closing peers, resets, disconnects from another thread,
// readiness checks and the connection object's handler management.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "transport/zalIdIntercept.h"
#include "transport/zalIdStack.h"
#include "common/zalLoopbackConnection.h"

namespace zal {
namespace {

using namespace std::chrono_literals;
using test::LoopbackConnection;

TEST(Connection, PeerSendingThenClosingServesTheBytesThenRaises) {
  LoopbackConnection link;
  ASSERT_TRUE(link.Peer().Send("0123456789"));
  link.Peer().Close();
  TIdBytes bytes;
  link.IO().ReadBytes(bytes, 10, false);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "0123456789");
  EXPECT_THROW(link.IO().ReadBytes(bytes, 1), EIdConnClosedGracefully);
  EXPECT_FALSE(link.Connection().Connected());
  EXPECT_THROW(link.Connection().CheckForGracefulDisconnect(true), EIdConnClosedGracefully);
}

TEST(Connection, StaysConnectedWhileClosedPeersBytesAreBuffered) {
  LoopbackConnection link;
  ASSERT_TRUE(link.Peer().Send("abc"));
  link.Peer().Close();
  ASSERT_TRUE(link.BufferUntil(3));
  ASSERT_TRUE(test::WaitFor([&] {
    link.Connection().Connected();  // notices the orderly close
    return link.IO().ClosedGracefully();
  }));
  EXPECT_TRUE(link.Connection().Connected());
  EXPECT_EQ(link.IO().ReadString(3), "abc");
  EXPECT_FALSE(link.Connection().Connected());
}

TEST(Connection, CheckForDataOnSourceReportsNewBytesOnly) {
  LoopbackConnection link;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(link.IO().CheckForDataOnSource(10));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 9ms);
  ASSERT_TRUE(link.Peer().Send("x"));
  EXPECT_TRUE(test::WaitFor([&] { return link.IO().CheckForDataOnSource(50); }));
  EXPECT_FALSE(link.IO().CheckForDataOnSource(10));
  EXPECT_EQ(link.IO().InputBuffer().Size(), 1);
}

TEST(Connection, CheckForDataOnSourceOnAClosedPeerIsFalseWithoutRaising) {
  LoopbackConnection link;
  link.Peer().Close();
  EXPECT_FALSE(link.IO().CheckForDataOnSource(10));
  EXPECT_FALSE(link.IO().CheckForDataOnSource(10));
  EXPECT_FALSE(link.Connection().Connected());
}

TEST(Connection, WritingAfterAResetRaisesAndClosesTheHandler) {
  LoopbackConnection link;
  link.PeerReset();
  const TIdBytes block(65536, 0x5A);
  bool raised = false;
  for (int i = 0; i < 100 && !raised; ++i) {
    try {
      link.IO().Write(block);
    } catch (const EIdSocketError& e) {
      EXPECT_TRUE(e.LastError() == Id_WSAECONNRESET || e.LastError() == Id_WSAECONNABORTED) << e.what();
      raised = true;
    } catch (const EIdConnClosedGracefully&) {
      raised = true;
    }
  }
  ASSERT_TRUE(raised);
  EXPECT_FALSE(link.IO().Opened());
  EXPECT_FALSE(link.Connection().Connected());
  EXPECT_THROW(link.IO().Write("more"), EIdConnClosedGracefully);
}

TEST(Connection, ReadAfterAResetRaisesTheSocketError) {
  LoopbackConnection link;
  link.PeerReset();
  try {
    link.IO().ReadLn();
    FAIL() << "no exception";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.LastError(), Id_WSAECONNRESET);
    EXPECT_STREQ(e.what(), "Socket Error # 10054\r\nConnection reset by peer.");
  }
  EXPECT_FALSE(link.IO().Opened());
}

TEST(Connection, DisconnectFromAnotherThreadWakesABlockedReader) {
  LoopbackConnection link;
  link.IO().SetReadTimeout(IdTimeoutDefault);  // wait without limit
  int disconnectedEvents = 0;
  link.Connection().OnDisconnected = [&](TIdTCPConnection&) { ++disconnectedEvents; };
  auto reader = std::async(std::launch::async, [&] {
    try {
      link.IO().ReadLn();
      return std::string("returned");
    } catch (const EIdException& e) {
      return std::string(e.what());
    }
  });
  ASSERT_EQ(reader.wait_for(100ms), std::future_status::timeout);  // blocked in the read
  link.Connection().Disconnect(false);
  ASSERT_EQ(reader.wait_for(5s), std::future_status::ready);
  const std::string outcome = reader.get();
  EXPECT_TRUE(outcome == "Not Connected" || outcome == "Disconnected." ||
              outcome == "Connection Closed Gracefully.")
      << outcome;
  EXPECT_EQ(disconnectedEvents, 1);
  EXPECT_FALSE(link.Connection().Connected());
  EXPECT_TRUE(link.Peer().WaitClosed());
}

TEST(Connection, DisconnectFromAnotherThreadWakesABlockedWriter) {
  LoopbackConnection link;  // the peer never reads, so the socket buffers fill up
  auto writer = std::async(std::launch::async, [&] {
    const TIdBytes block(1 << 20, 'w');
    try {
      for (int i = 0; i < 1000; ++i)
        link.IO().Write(block);
      return std::string("wrote everything");
    } catch (const EIdException& e) {
      return std::string(e.what());
    }
  });
  ASSERT_EQ(writer.wait_for(200ms), std::future_status::timeout);  // blocked in send
  link.Connection().Disconnect(false);
  ASSERT_EQ(writer.wait_for(5s), std::future_status::ready);
  const std::string outcome = writer.get();
  EXPECT_TRUE(outcome.starts_with("Socket Error # ") || outcome == "Connection Closed Gracefully.") << outcome;
  EXPECT_FALSE(link.IO().Opened());
}

TEST(Connection, DisconnectFromAnotherThreadWakesAPollingReader) {
  LoopbackConnection link;
  std::atomic<bool> stop{false};
  auto poller = std::async(std::launch::async, [&] {
    while (!stop && link.Connection().Connected())
      link.IO().CheckForDataOnSource(-2);
    return link.Connection().Connected();
  });
  ASSERT_EQ(poller.wait_for(100ms), std::future_status::timeout);
  link.Connection().Disconnect(false);
  const bool ready = poller.wait_for(5s) == std::future_status::ready;
  stop = true;
  ASSERT_TRUE(ready);
  EXPECT_FALSE(poller.get());
}

TEST(Connection, DisconnectReportsStatusAroundTheEventOnce) {
  LoopbackConnection link;
  std::vector<std::string> events;
  link.Connection().OnStatus = [&](TIdTCPConnection&, TIdStatus s) {
    events.push_back(s == hsDisconnecting ? "disconnecting" : s == hsDisconnected ? "disconnected" : "other");
  };
  link.Connection().OnDisconnected = [&](TIdTCPConnection&) { events.push_back("event"); };
  link.Connection().Disconnect();
  link.Connection().Disconnect();
  EXPECT_EQ(events, (std::vector<std::string>{"disconnecting", "event", "disconnected"}));
}

TEST(Connection, WithoutHandler) {
  TIdTCPConnection connection;
  EXPECT_FALSE(connection.Connected());
  EXPECT_EQ(connection.Socket(), nullptr);
  connection.Disconnect();
  try {
    connection.CheckForGracefulDisconnect(true);
    FAIL() << "no exception";
  } catch (const EIdException& e) {
    EXPECT_STREQ(e.what(), "Not Connected");
  }
  EXPECT_NO_THROW(connection.CheckForGracefulDisconnect(false));
}

TEST(Connection, IOHandlerWithADifferentInterceptIsRefused) {
  TIdConnectionIntercept mine, other;
  TIdIOHandlerStack handler, plain;  // outlive the connection that refers to them
  TIdTCPConnection connection;
  connection.SetIntercept(&mine);
  handler.SetIntercept(&other);
  try {
    connection.SetIOHandler(&handler, false);
    FAIL() << "no exception";
  } catch (const EIdException& e) {
    EXPECT_STREQ(e.what(), "The IOHandler already has a different Intercept assigned");
  }
  connection.SetIOHandler(&plain, false);
  EXPECT_EQ(plain.Intercept(), &mine);
  EXPECT_EQ(connection.Socket(), &plain);
  EXPECT_EQ(connection.IOHandler(), &plain);
}

TEST(Connection, ManagedHandlerIsFreedWhenReplaced) {
  struct CountingHandler : TIdIOHandlerStack {
    explicit CountingHandler(int& count) : FCount(count) {}
    ~CountingHandler() override { ++FCount; }
    int& FCount;
  };
  int freed = 0;
  {
    CountingHandler unmanaged(freed);
    TIdTCPConnection connection;
    connection.SetIOHandler(new CountingHandler(freed), true);
    connection.SetIOHandler(new CountingHandler(freed), true);
    EXPECT_EQ(freed, 1);
    connection.SetIOHandler(&unmanaged, false);
    EXPECT_EQ(freed, 2);
  }
  EXPECT_EQ(freed, 3);  // the unmanaged one, by its own scope
}

TEST(Connection, AHandlerIsCreatedClosed) {
  TIdIOHandlerStack handler;
  EXPECT_FALSE(handler.Opened());
  EXPECT_FALSE(handler.Connected());
  EXPECT_EQ(handler.Binding(), nullptr);
  EXPECT_FALSE(handler.CheckForDataOnSource(0));
  EXPECT_THROW(handler.ReadLn(), EIdConnClosedGracefully);
  EXPECT_THROW(handler.Write("x"), EIdConnClosedGracefully);
  handler.WriteBufferOpen();
  handler.Write("buffered while closed");
  EXPECT_THROW(handler.WriteBufferFlush(), EIdConnClosedGracefully);
}

TEST(Connection, OpenAfterAcceptCopiesTheIPVersionAndStartsClean) {
  LoopbackConnection link;
  EXPECT_EQ(link.IO().IPVersion(), Id_IPv4);
  EXPECT_TRUE(link.IO().Opened());
  EXPECT_TRUE(link.Connection().Connected());
  EXPECT_EQ(link.IO().Binding()->PeerIP(), "127.0.0.1");
}

}  // namespace
}  // namespace zal

namespace zal {
namespace {

// A source whose peer has closed: every wait finds it readable, every receive
// returns nothing.
class ClosedSource : public TIdIOHandler {
public:
  int receives = 0;
  bool Readable(int) override { return true; }

protected:
  int ReceiveRaw(uint8_t*, int) override {
    if (++receives > 100)
      throw std::runtime_error("the reader keeps receiving from a closed source");
    return 0;
  }
  int SendRaw(const uint8_t*, int length) override { return length; }
  bool SourceAvailable() const override { return Opened(); }
};

TEST(Connection, AWaitThatMeetsThePeersCloseReturnsAfterOneReceive) {
  ClosedSource source;
  source.Open();
  EXPECT_FALSE(source.CheckForDataOnSource(1000));
  EXPECT_EQ(source.receives, 1);
  EXPECT_TRUE(source.ClosedGracefully());
  EXPECT_FALSE(source.Connected());
}

}  // namespace
}  // namespace zal
