#include "transport/zalIdCustomTCPServer.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <optional>
#include <set>
#include <system_error>
#include <thread>
#include <vector>

#include "common/zalTestSocket.h"
#include "transport/zalIdIOHandler.h"
#include "transport/zalIdStack.h"
#include "transport/zalIdTCPConnection.h"

namespace zal {
namespace {

using test::TestClient;
using test::WaitFor;

// A server on 127.0.0.1 with an ephemeral port and an echo-by-line execute step.
class TCPServerTest : public ::testing::Test {
protected:
  void SetUp() override {
    baselineThreads = IdThreadCount();
    test::BindLoopback(server);
    server.OnConnect = [this](TIdContext*) { ++connects; };
    server.OnDisconnect = [this](TIdContext*) { ++disconnects; };
    server.OnException = [this](TIdContext*, const std::exception& e) {
      std::lock_guard lock(exceptionLock);
      exceptions.push_back(e.what());
    };
    server.OnExecute = [](TIdContext* context) {
      TIdIOHandler* io = context->Connection()->IOHandler();
      const std::string line = io->ReadLn();
      if (line == "quit")
        context->Connection()->Disconnect(false);
      else
        io->WriteLn(line);
    };
  }

  void TearDown() override {
    server.SetActive(false);
    EXPECT_EQ(IdThreadCount(), baselineThreads) << "a thread outlived the server";
  }

  uint16_t Activate() {
    server.SetActive(true);
    return server.Bindings().Items(0).Port();
  }

  TestClient Connected(uint16_t port) {
    TestClient client;
    EXPECT_TRUE(client.Connect("127.0.0.1", port));
    return client;
  }

  TIdSchedulerOfThreadPool pool;  // outlives the server, which may use it
  TIdCustomTCPServer server;
  int baselineThreads = 0;
  std::atomic<int> connects{0};
  std::atomic<int> disconnects{0};
  std::mutex exceptionLock;
  std::vector<std::string> exceptions;
};

TEST_F(TCPServerTest, ServesClientsOnAnEphemeralPortAndReportsConnectAndDisconnect) {
  const uint16_t port = Activate();
  ASSERT_TRUE(server.Active());
  ASSERT_NE(port, 0);
  EXPECT_EQ(server.ListenerCount(), 1);

  TestClient client = Connected(port);
  ASSERT_TRUE(client.Send("hello\r\n"));
  EXPECT_EQ(client.ReceiveUntil("\r\n"), "hello\r\n");
  EXPECT_EQ(connects.load(), 1);

  ASSERT_TRUE(client.Send("quit\r\n"));
  EXPECT_TRUE(client.WaitClosed());
  ASSERT_TRUE(WaitFor([&] { return disconnects.load() == 1; }));
  EXPECT_TRUE(WaitFor([&] { return server.Contexts().IsEmpty(); }));
  // The execute step returned False: the worker ended without an exception.
  std::lock_guard lock(exceptionLock);
  EXPECT_TRUE(exceptions.empty());
}

TEST_F(TCPServerTest, PeerCloseEndsTheWorkerWithTheGracefulCloseException) {
  const uint16_t port = Activate();
  {
    TestClient client = Connected(port);
    ASSERT_TRUE(WaitFor([&] { return connects.load() == 1; }));
  }
  ASSERT_TRUE(WaitFor([&] { return disconnects.load() == 1; }));
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard lock(exceptionLock);
    return exceptions.size() == 1;
  }));
  std::lock_guard lock(exceptionLock);
  EXPECT_EQ(exceptions[0], "Connection Closed Gracefully.");
}

TEST_F(TCPServerTest, PortInUseFailsActivationAndLeavesNothingRunning) {
  TIdSocketHandle blocker;
  blocker.SetIP("127.0.0.1");
  blocker.AllocateSocket();
  blocker.Bind();
  blocker.Listen(1);
  server.Bindings().Items(0).SetPort(blocker.Port());
  try {
    server.SetActive(true);
    FAIL() << "activation on a port in use succeeded";
  } catch (const EIdCouldNotBindSocket& e) {
    EXPECT_STREQ(e.what(), "Could not bind socket.");
  }
  EXPECT_FALSE(server.Active());
  EXPECT_EQ(server.ListenerCount(), 0);
  EXPECT_EQ(IdThreadCount(), baselineThreads);
}

TEST_F(TCPServerTest, DeactivationClosesIdleClientsAndWaitsForEveryWorker) {
  const uint16_t port = Activate();
  std::vector<TestClient> clients;
  for (int i = 0; i < 3; ++i)
    clients.push_back(Connected(port));
  ASSERT_TRUE(WaitFor([&] { return server.Contexts().Count() == 3; }));

  server.SetActive(false);
  // Returned only after every worker ended: the disconnect steps have all run.
  EXPECT_EQ(disconnects.load(), 3);
  EXPECT_TRUE(server.Contexts().IsEmpty());
  EXPECT_EQ(IdThreadCount(), baselineThreads);
  for (auto& client : clients)
    EXPECT_TRUE(client.WaitClosed());
}

TEST_F(TCPServerTest, MaxConnectionsClosesTheExtraClientAndServesAgainLater) {
  server.SetMaxConnections(1);
  const uint16_t port = Activate();
  TestClient first = Connected(port);
  ASSERT_TRUE(WaitFor([&] { return server.Contexts().Count() == 1; }));

  TestClient second = Connected(port);
  EXPECT_TRUE(second.WaitClosed());
  EXPECT_EQ(second.Receive(100), "");

  ASSERT_TRUE(first.Send("still here\r\n"));
  EXPECT_EQ(first.ReceiveUntil("\r\n"), "still here\r\n");
  ASSERT_TRUE(first.Send("quit\r\n"));
  ASSERT_TRUE(first.WaitClosed());
  ASSERT_TRUE(WaitFor([&] { return server.Contexts().IsEmpty(); }));

  TestClient third = Connected(port);
  ASSERT_TRUE(third.Send("again\r\n"));
  EXPECT_EQ(third.ReceiveUntil("\r\n"), "again\r\n");
  EXPECT_EQ(connects.load(), 2);  // the rejected client raised no event
}

TEST_F(TCPServerTest, PoolSchedulerRunsSequentialConnectionsOnAtMostPoolSizeThreads) {
  pool.SetName("Pool");
  pool.SetPoolSize(2);
  server.SetScheduler(&pool);
  std::mutex idsLock;
  std::set<std::thread::id> workerIds;
  server.OnConnect = [&](TIdContext*) {
    std::lock_guard lock(idsLock);
    workerIds.insert(std::this_thread::get_id());
  };
  const uint16_t port = Activate();
  for (int i = 0; i < 3; ++i) {
    TestClient client = Connected(port);
    ASSERT_TRUE(client.Send("quit\r\n"));
    ASSERT_TRUE(client.WaitClosed());
    // One idle thread waits for the next client in the listener, the other in the pool.
    ASSERT_TRUE(WaitFor([&] { return server.Contexts().IsEmpty() && pool.IdleThreads() == 1; }));
  }
  EXPECT_LE(workerIds.size(), 2u);
  server.SetActive(false);
  EXPECT_EQ(pool.IdleThreads(), 0);
  EXPECT_EQ(pool.LiveThreads(), 0);
}

TEST_F(TCPServerTest, SchedulerCannotChangeWhileActive) {
  Activate();
  TIdSchedulerOfThreadDefault other;
  try {
    server.SetScheduler(&other);
    FAIL() << "scheduler changed while active";
  } catch (const EIdException& e) {
    EXPECT_STREQ(e.what(), "Cannot change the scheduler while the server is Active.");
  }
}

TEST(TCPServerBindings, NoBindingsListenOnTheDefaultPortForIPv4AndIPv6) {
  TIdCustomTCPServer server;
  server.SetDefaultPort(test::FreeLoopbackPort());
  server.SetActive(true);
  const int expected = IdStackSupportsIPv6() ? 2 : 1;
  EXPECT_EQ(server.Bindings().Count(), expected);
  EXPECT_EQ(server.ListenerCount(), expected);
  TestClient client;
  EXPECT_TRUE(client.Connect("127.0.0.1", server.DefaultPort()));
  if (IdStackSupportsIPv6()) {
    TestClient client6;
    EXPECT_TRUE(client6.Connect("::1", server.DefaultPort()));
  }
  server.SetActive(false);
  EXPECT_EQ(server.ListenerCount(), 0);
}

TEST(TCPServerBindings, BindingsCannotBeRemovedWhileListening) {
  TIdCustomTCPServer server;
  test::BindLoopback(server);
  server.SetActive(true);
  EXPECT_THROW(server.Bindings().Clear(), EIdException);
  server.SetActive(false);
  EXPECT_NO_THROW(server.Bindings().Clear());
}

TEST(TCPServerBindings, MaxThreadsOfTheSchedulerIsReportedAsAListenException) {
  TIdCustomTCPServer server;
  TIdSchedulerOfThreadDefault scheduler;
  scheduler.SetMaxThreads(1);
  server.SetScheduler(&scheduler);
  test::BindLoopback(server);
  std::atomic<int> listenExceptions{0};
  std::string message;
  std::mutex messageLock;
  server.OnListenException = [&](TIdListenerThread*, const std::exception& e) {
    std::lock_guard lock(messageLock);
    message = e.what();
    ++listenExceptions;
  };
  server.OnExecute = [](TIdContext* context) { context->Connection()->IOHandler()->ReadLn(); };
  server.SetActive(true);
  // The listener prepares a yarn before each accept, and a thread scheduler allows
  // one more than MaxThreads: with two clients served the next yarn cannot be had.
  TestClient first, second;
  ASSERT_TRUE(first.Connect("127.0.0.1", server.Bindings().Items(0).Port()));
  ASSERT_TRUE(second.Connect("127.0.0.1", server.Bindings().Items(0).Port()));
  ASSERT_TRUE(WaitFor([&] { return listenExceptions.load() > 0; }));
  {
    std::lock_guard lock(messageLock);
    EXPECT_EQ(message, "The maximum number of threads for this scheduler is exceeded.");
  }
  server.SetActive(false);
  server.SetScheduler(nullptr);
}

// A server whose MaxThreads stops its listener from accepting, so later clients
// wait in the kernel's accept queue: the backlog admits ListenQueue + 1 of them.
class ListenQueueTest : public ::testing::TestWithParam<int> {};

TEST_P(ListenQueueTest, TheKernelQueuesBacklogPlusOneClientsAndNoMore) {
  const int backlog = GetParam();
  TIdCustomTCPServer server;
  TIdSchedulerOfThreadDefault scheduler;
  scheduler.SetMaxThreads(1);
  server.SetScheduler(&scheduler);
  server.SetListenQueue(backlog);
  test::BindLoopback(server);
  std::atomic<int> refused{0};
  server.OnListenException = [&](TIdListenerThread*, const std::exception&) { ++refused; };
  server.OnExecute = [](TIdContext* context) { context->Connection()->IOHandler()->ReadLn(); };
  server.SetActive(true);
  const uint16_t port = server.Bindings().Items(0).Port();
  std::vector<TestClient> clients(2);
  for (auto& client : clients)
    ASSERT_TRUE(client.Connect("127.0.0.1", port));
  ASSERT_TRUE(WaitFor([&] { return refused.load() > 0; }));  // the listener accepts no more
  for (int i = 0; i < backlog + 1; ++i) {
    clients.emplace_back();
    EXPECT_TRUE(clients.back().Connect("127.0.0.1", port, 1000)) << "queued client " << i;
  }
  TestClient overflow;
  EXPECT_FALSE(overflow.Connect("127.0.0.1", port, 300));
  server.SetActive(false);
  server.SetScheduler(nullptr);
}

INSTANTIATE_TEST_SUITE_P(Backlogs, ListenQueueTest, ::testing::Values(1, 4));

TEST(TCPServerListenQueue, DefaultsToTheSystemMaximum) {
  EXPECT_EQ(TIdCustomTCPServer().ListenQueue(), SOMAXCONN);
}

// Lets only `spare` more descriptors be opened (new descriptors take the lowest
// free number, which must stay below the limit), and restores the limit.
class DescriptorLimit {
public:
  explicit DescriptorLimit(int spare) {
    ::getrlimit(RLIMIT_NOFILE, &FSaved);
    const int lowestFree = ::dup(0);
    ::close(lowestFree);
    rlimit lowered = FSaved;
    lowered.rlim_cur = static_cast<rlim_t>(lowestFree + spare);
    ::setrlimit(RLIMIT_NOFILE, &lowered);
  }
  ~DescriptorLimit() { Restore(); }
  void Restore() { ::setrlimit(RLIMIT_NOFILE, &FSaved); }

private:
  rlimit FSaved{};
};

// A thread scheduler that cannot create threads while `refuse` is set, as
// under a pid or task limit, where std::thread fails with EAGAIN. (The limits
// themselves do not bind a test that runs as root.)
class RefusingScheduler : public TIdSchedulerOfThreadDefault {
public:
  TIdThreadWithTask* NewThread() override {
    if (refuse)
      throw std::system_error(EAGAIN, std::generic_category(), "thread creation refused");
    return TIdSchedulerOfThreadDefault::NewThread();
  }
  std::atomic<bool> refuse{false};
};

struct ExhaustionCase {
  const char* name;
  bool descriptors;  // else threads
};

class ExhaustionTest : public TCPServerTest, public ::testing::WithParamInterface<ExhaustionCase> {
protected:
  void TearDown() override {
    TCPServerTest::TearDown();
    server.SetScheduler(nullptr);
  }
  RefusingScheduler scheduler;
};

// Whatever runs out, the listener reports it once, waits instead of spinning,
// and serves the waiting client once the resource is back.
TEST_P(ExhaustionTest, TheListenerBacksOffReportsOnceAndRecovers) {
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizers check object types through a pipe of their own, which cannot
  // be opened once the descriptors run out: they would report every check as
  // failed. The release build runs this case.
  if (GetParam().descriptors)
    GTEST_SKIP() << "needs free descriptors under the sanitizers";
#endif
  server.SetScheduler(&scheduler);
  std::atomic<int> listenExceptions{0};
  server.OnListenException = [&](TIdListenerThread*, const std::exception& e) {
    if (dynamic_cast<const EIdSocketError*>(&e) || dynamic_cast<const std::system_error*>(&e))
      ++listenExceptions;
  };
  const uint16_t port = Activate();
  TestClient first = Connected(port);
  ASSERT_TRUE(first.Send("one\r\n"));
  ASSERT_EQ(first.ReceiveUntil("\r\n"), "one\r\n");
  std::optional<DescriptorLimit> limit;
  if (GetParam().descriptors)
    limit.emplace(1);  // room for one client socket, none for the server's accept
  else
    scheduler.refuse = true;
  TestClient waiting;
  ASSERT_TRUE(waiting.Connect("127.0.0.1", port));
  ASSERT_TRUE(WaitFor([&] { return listenExceptions.load() > 0; }));
  const double before = test::ProcessCpuSeconds();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_LT(test::ProcessCpuSeconds() - before, 0.1) << "the listener spins";
  EXPECT_EQ(listenExceptions.load(), 1);
  limit.reset();
  scheduler.refuse = false;
  ASSERT_TRUE(waiting.Send("two\r\n"));
  EXPECT_EQ(waiting.ReceiveUntil("\r\n"), "two\r\n");
}

INSTANTIATE_TEST_SUITE_P(Resources, ExhaustionTest,
                         ::testing::Values(ExhaustionCase{"Descriptors", true}, ExhaustionCase{"Threads", false}),
                         [](const auto& info) { return std::string(info.param.name); });

// Descriptors come back at once, yet the listener accepts again only when its
// AcceptRetryDelay has passed: not before (just below it), and soon after it
// (just above it).
TEST_F(TCPServerTest, AfterAFailedAcceptTheListenerWaitsItsAcceptRetryDelay) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "needs free descriptors under the sanitizers (see above)";
#endif
  using Clock = std::chrono::steady_clock;
  constexpr int kDelayMs = 400;
  server.SetAcceptRetryDelay(kDelayMs);
  std::atomic<Clock::rep> failedAt{0}, acceptedAt{0};
  std::optional<DescriptorLimit> limit;
  server.OnListenException = [&](TIdListenerThread*, const std::exception&) {
    failedAt = Clock::now().time_since_epoch().count();
    limit->Restore();
  };
  server.OnConnect = [&](TIdContext*) { acceptedAt = Clock::now().time_since_epoch().count(); };
  const uint16_t port = Activate();
  limit.emplace(1);
  TestClient waiting;
  ASSERT_TRUE(waiting.Connect("127.0.0.1", port));
  ASSERT_TRUE(WaitFor([&] { return acceptedAt.load() != 0; }));
  ASSERT_NE(failedAt.load(), 0);
  const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
      Clock::duration(acceptedAt.load() - failedAt.load())).count();
  EXPECT_GE(waited, kDelayMs - 1);
  EXPECT_LT(waited, kDelayMs + 300);
}

// A server whose first context refuses to be terminated.
class ThrowingTerminateServer : public TIdCustomTCPServer {
protected:
  void TerminateContext(TIdContext* context) override {
    TIdCustomTCPServer::TerminateContext(context);
    if (!thrown.exchange(true))
      throw EIdException("terminate failed");
  }
  std::atomic<bool> thrown{false};
};

TEST(TCPServerLocks, AFailingWalkLeavesTheContextListUnlocked) {
  TIdSchedulerOfThreadDefault scheduler;
  ThrowingTerminateServer server;
  server.SetScheduler(&scheduler);
  test::BindLoopback(server);
  server.OnExecute = [](TIdContext* context) { context->Connection()->IOHandler()->ReadLn(); };
  TestClient client = test::ConnectedTo(server);
  ASSERT_TRUE(WaitFor([&] { return server.Contexts().Count() == 1; }));
  EXPECT_THROW(server.SetActive(false), EIdException);
  // The worker ends and leaves the list; another thread must be able to take the lock.
  auto count = std::async(std::launch::async, [&] {
    return WaitFor([&] { return server.Contexts().Count() == 0; });
  });
  ASSERT_EQ(count.wait_for(std::chrono::seconds(3)), std::future_status::ready) << "the context list stayed locked";
  EXPECT_TRUE(count.get());
  scheduler.TerminateAllYarns();
  server.SetScheduler(nullptr);
}

}  // namespace
}  // namespace zal
