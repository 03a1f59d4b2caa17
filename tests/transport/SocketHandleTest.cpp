#include "transport/zalIdSocketHandle.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "common/zalTestSocket.h"
#include "transport/zalIdStack.h"

namespace zal {
namespace {

TEST(SocketHandle, BindReadsBackTheEphemeralPortAndAcceptsAClient) {
  TIdSocketHandle listener;
  listener.SetIP("127.0.0.1");
  listener.AllocateSocket();
  listener.Bind();
  listener.Listen(5);
  ASSERT_NE(listener.Port(), 0);

  test::TestClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", listener.Port()));
  ASSERT_TRUE(listener.Readable(2000));
  TIdSocketHandle accepted;
  ASSERT_TRUE(accepted.Accept(listener.Handle()));
  EXPECT_EQ(accepted.PeerIP(), "127.0.0.1");
  EXPECT_EQ(accepted.Port(), listener.Port());
  EXPECT_NE(accepted.PeerPort(), 0);
}

TEST(SocketHandle, PortInUseGivesCouldNotBindSocket) {
  TIdSocketHandle first;
  first.SetIP("127.0.0.1");
  first.AllocateSocket();
  first.Bind();
  first.Listen(1);
  TIdSocketHandle second;
  second.SetIP("127.0.0.1");
  second.SetPort(first.Port());
  second.AllocateSocket();
  try {
    second.Bind();
    FAIL() << "bound a port in use";
  } catch (const EIdCouldNotBindSocket& e) {
    EXPECT_STREQ(e.what(), "Could not bind socket.");
  }
}

TEST(SocketHandle, PortRangeErrors) {
  TIdSocketHandle handle;
  handle.SetIP("127.0.0.1");
  handle.SetClientPortMin(5000);
  handle.SetClientPortMax(4000);
  handle.AllocateSocket();
  EXPECT_THROW(
      try { handle.Bind(); } catch (const EIdInvalidPortRange& e) {
        EXPECT_STREQ(e.what(), "Invalid Port Range (5000 - 4000)");
        throw;
      },
      EIdInvalidPortRange);

  TIdSocketHandle taken;
  taken.SetIP("127.0.0.1");
  taken.AllocateSocket();
  taken.Bind();
  taken.Listen(1);
  handle.SetClientPortMin(taken.Port());
  handle.SetClientPortMax(taken.Port());
  EXPECT_THROW(handle.Bind(), EIdCanNotBindPortInRange);
}

TEST(SocketHandle, ClosingFromAnotherThreadWakesAWaitingListener) {
  TIdSocketHandle listener;
  listener.SetIP("127.0.0.1");
  listener.AllocateSocket();
  listener.Bind();
  listener.Listen(5);
  auto waiting = std::async(std::launch::async, [&] { return listener.Readable(-1); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  listener.CloseSocket();
  ASSERT_EQ(waiting.wait_for(std::chrono::seconds(2)), std::future_status::ready);
  EXPECT_TRUE(waiting.get());
  TIdSocketHandle accepted;
  EXPECT_FALSE(accepted.Accept(listener.Handle()));
}

TEST(SocketHandle, IPVersionCannotChangeOnAnAllocatedSocket) {
  TIdSocketHandle handle;
  handle.AllocateSocket();
  EXPECT_THROW(handle.SetIPVersion(Id_IPv6), EIdCannotSetIPVersionWhenConnected);
  handle.CloseSocket();
  EXPECT_NO_THROW(handle.SetIPVersion(Id_IPv6));
}

TEST(SocketError, MessageCarriesCodeAndDescription) {
  EXPECT_EQ(IdSocketErrorFromErrno(ECONNRESET), Id_WSAECONNRESET);
  EXPECT_STREQ(EIdSocketError(Id_WSAECONNRESET).what(), "Socket Error # 10054\r\nConnection reset by peer.");
  EXPECT_THROW(RaiseIdSocketError(Id_WSAENOTSOCK), EIdNotASocket);
}

}  // namespace
}  // namespace zal

namespace zal {
namespace {

// Two listeners on one port: the second binds only when both set ReusePort.
struct ReusePortCase {
  bool First;
  bool Second;
  bool SecondBinds;
};

class SocketHandleReusePort : public testing::TestWithParam<ReusePortCase> {};

TEST_P(SocketHandleReusePort, SecondListenerBindsOnlyWhenBothShareThePort) {
  TIdSocketHandle first;
  first.SetIP("127.0.0.1");
  first.SetReusePort(GetParam().First);
  first.AllocateSocket();
  first.Bind();
  first.Listen(64);
  TIdSocketHandle second;
  second.SetIP("127.0.0.1");
  second.SetPort(first.Port());
  second.SetReusePort(GetParam().Second);
  second.AllocateSocket();
  if (!GetParam().SecondBinds) {
    EXPECT_THROW(second.Bind(), EIdCouldNotBindSocket);
    return;
  }
  second.Bind();
  second.Listen(64);
  // The kernel spreads new connections over both listening sockets.
  std::vector<test::TestClient> clients(32);
  for (test::TestClient& client : clients)
    ASSERT_TRUE(client.Connect("127.0.0.1", first.Port()));
  int accepted[2] = {0, 0};
  TIdSocketHandle* listeners[2] = {&first, &second};
  for (int i = 0; i < 2; ++i) {
    TIdSocketHandle connection;
    while (listeners[i]->Readable(200) && connection.Accept(listeners[i]->Handle()))
      ++accepted[i];
  }
  EXPECT_EQ(accepted[0] + accepted[1], 32);
  EXPECT_GT(accepted[0], 0);
  EXPECT_GT(accepted[1], 0);
}

INSTANTIATE_TEST_SUITE_P(Table, SocketHandleReusePort,
                         testing::Values(ReusePortCase{false, false, false}, ReusePortCase{true, false, false},
                                         ReusePortCase{false, true, false}, ReusePortCase{true, true, true}));

}  // namespace
}  // namespace zal
