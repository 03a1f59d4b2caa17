#include "server/zalWebSocket_Server.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "common/zalTestSocket.h"
#include "support/zalMainThread.h"
#include "transport/zalIdStack.h"

namespace zal {
namespace {

using test::TestClient;
using test::WaitFor;

// The component on an ephemeral loopback port.
class ServerLifecycleTest : public ::testing::Test {
protected:
  void SetUp() override {
    baselineThreads = IdThreadCount();
    server = std::make_unique<TzalWebSocketHTTPServer>();
    test::BindLoopback(*server);
    server->OnStartup = [this](void*) { ++startups; };
    server->OnShutdown = [this](void*) { ++shutdowns; };
  }

  void TearDown() override {
    server.reset();
    EXPECT_EQ(IdThreadCount(), baselineThreads) << "a thread outlived the component";
  }

  uint16_t ListeningPort() { return server->Bindings().Items(0).Port(); }
  // Points the server's binding at a port that `blocker` already listens on.
  void BindToAPortInUse(TIdSocketHandle& blocker) {
    blocker.SetIP("127.0.0.1");
    blocker.AllocateSocket();
    blocker.Bind();
    blocker.Listen(1);
    server->Bindings().Items(0).SetPort(blocker.Port());
  }

  bool CanConnect() {
    TestClient probe;
    return probe.Connect("127.0.0.1", ListeningPort(), 500);
  }

  std::unique_ptr<TzalWebSocketHTTPServer> server;
  int baselineThreads = 0;
  std::atomic<int> startups{0};
  std::atomic<int> shutdowns{0};
};

TEST_F(ServerLifecycleTest, StartupComesAfterListeningAndShutdownAfterStopping) {
  bool listeningAtStartup = false;
  bool listeningAtShutdown = true;
  server->OnStartup = [&](void*) { listeningAtStartup = CanConnect(); };
  server->OnShutdown = [&](void*) { listeningAtShutdown = CanConnect(); };
  server->SetActive(true);
  EXPECT_TRUE(server->Active());
  EXPECT_TRUE(listeningAtStartup);
  EXPECT_EQ(server->WatchDogMonitorSecret().size(), 32u);
  server->SetActive(false);
  EXPECT_FALSE(server->Active());
  EXPECT_FALSE(listeningAtShutdown);
  EXPECT_TRUE(server->WatchDogMonitorSecret().empty());
}

TEST_F(ServerLifecycleTest, PortInUseRaisesAndNeverReportsStartup) {
  TIdSocketHandle blocker;
  BindToAPortInUse(blocker);
  EXPECT_THROW(
      try { server->SetActive(true); } catch (const EIdException& e) {
        EXPECT_STREQ(e.what(), "Could not bind socket.");
        throw;
      },
      EIdCouldNotBindSocket);
  EXPECT_FALSE(server->Active());
  EXPECT_EQ(startups.load(), 0);
  EXPECT_EQ(IdThreadCount(), baselineThreads);
}

TEST_F(ServerLifecycleTest, StopClosesIdleClientsAndReturnsAfterEveryWorker) {
  server->SetActive(true);
  std::vector<TestClient> clients(3);
  for (auto& client : clients)
    ASSERT_TRUE(client.Connect("127.0.0.1", ListeningPort()));
  ASSERT_TRUE(WaitFor([&] { return server->ConnectionCount() == 3; }));
  server->SetActive(false);
  EXPECT_EQ(server->ConnectionCount(), 0);
  EXPECT_EQ(IdThreadCount(), baselineThreads);
  for (auto& client : clients)
    EXPECT_TRUE(client.WaitClosed());
}

TEST_F(ServerLifecycleTest, MaxConnectionsOfOneClosesTheSecondClient) {
  server->SetMaxConnections(1);
  server->SetActive(true);
  TestClient first, second;
  ASSERT_TRUE(first.Connect("127.0.0.1", ListeningPort()));
  ASSERT_TRUE(WaitFor([&] { return server->ConnectionCount() == 1; }));
  ASSERT_TRUE(second.Connect("127.0.0.1", ListeningPort()));
  EXPECT_TRUE(second.WaitClosed());
  EXPECT_FALSE(first.WaitClosed(100));
}

TEST_F(ServerLifecycleTest, ThreadPoolTakesItsSizeAtActivationAndEndsEveryThread) {
  server->SetThreadPool(true);
  server->ThreadPoolOptions().PoolSize = 3;
  server->SetActive(true);
  if (test::TestEngine() == iohIOCP) {
    // The loop scheduler stands in the pool's place, and the loops start with
    // the first connection: only the listener runs.
    EXPECT_EQ(IdThreadCount(), baselineThreads + 1);
  } else {
    // The pool was filled at activation; one of its threads waits in the listener.
    EXPECT_GE(IdThreadCount(), baselineThreads + 3);
  }
  TestClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", ListeningPort()));
  ASSERT_TRUE(WaitFor([&] { return server->ConnectionCount() == 1; }));
  server->SetActive(false);
  EXPECT_EQ(IdThreadCount(), baselineThreads);
}

TEST_F(ServerLifecycleTest, ItRestartsOnItsPortWhileServedConnectionsAreInTimeWait) {
  server->SetNotifyEvents(neNoSync);
  server->SetActive(true);
  TestClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", ListeningPort()));
  ASSERT_TRUE(client.Send("GET / HTTP/1.1\r\nHost: x\r\n\r\n"));
  EXPECT_TRUE(client.WaitClosed());  // the server closed first: its side is in TIME_WAIT
  server->SetActive(false);
  EXPECT_NO_THROW(server->SetActive(true));
  EXPECT_TRUE(CanConnect());
}

TEST_F(ServerLifecycleTest, ABackgroundStartThatFailsIsReportedThroughOnError) {
  TIdSocketHandle blocker;
  BindToAPortInUse(blocker);
  while (CheckSynchronize()) {
  }
  std::vector<std::string> errors;
  server->OnError = [&](TzalWSConnection* connection, const std::string& error) {
    EXPECT_EQ(connection, nullptr);
    errors.push_back(error);
  };
  server->Start();
  EXPECT_TRUE(WaitFor([&] {
    CheckSynchronize();
    return !errors.empty();
  }));
  EXPECT_EQ(errors, std::vector<std::string>{"Could not bind socket."});
  EXPECT_FALSE(server->Active());
}

TEST_F(ServerLifecycleTest, ListenQueueIsTheInnerServersBacklog) {
  EXPECT_EQ(server->ListenQueue(), SOMAXCONN);
  server->SetListenQueue(511);
  EXPECT_EQ(server->HTTPServer().ListenQueue(), 511);
}

// A background stop waits for every connection's thread; one that looks at the
// registered protocols on its way out (OnDisconnect) must not wait for the stop.
TEST_F(ServerLifecycleTest, ABackgroundStopEndsConnectionsWhoseEventsUseTheProtocolList) {
  std::atomic<bool> connected{false}, disconnected{false};
  server->OnConnect = [&](TzalWSConnection*) { connected = true; };
  server->OnDisconnect = [&](TzalWSConnection*, int) {
    server->RegisterProtocol("late");
    disconnected = true;
  };
  server->SetNotifyEvents(neNoSync);  // events on the connections' threads, as the demo has them
  server->SetActive(true);
  TestClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", ListeningPort()));
  ASSERT_TRUE(client.Send("GET / HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                          "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n"));
  ASSERT_TRUE(WaitFor([&] { return connected.load(); }));
  server->Stop();
  EXPECT_TRUE(WaitFor([&] { return shutdowns.load() == 1 && disconnected.load(); }, 5000)) << "the stop hangs";
}

TEST_F(ServerLifecycleTest, ReStartStartsAnInactiveServerAndCyclesAnActiveOne) {
  server->ReStart();
  ASSERT_TRUE(WaitFor([&] { return startups.load() == 1; }));
  EXPECT_TRUE(server->Active());
  EXPECT_EQ(shutdowns.load(), 0);

  server->ReStart();
  ASSERT_TRUE(WaitFor([&] { return startups.load() == 2; }));
  EXPECT_EQ(shutdowns.load(), 1);
  EXPECT_TRUE(server->Active());

  server->Stop();
  ASSERT_TRUE(WaitFor([&] { return shutdowns.load() == 2; }));
  EXPECT_TRUE(WaitFor([&] { return !server->Active(); }));
}

TEST_F(ServerLifecycleTest, SSLIsRecordedAndTheListenerStillServesPlainTCP) {
  server->SetSSL(true);
  server->SetActive(true);
  EXPECT_TRUE(server->SSL());
  TestClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", ListeningPort()));
  ASSERT_TRUE(WaitFor([&] { return server->ConnectionCount() == 1; }));
}

TEST_F(ServerLifecycleTest, RegistryFindsConnectionsByIndexAndGuid) {
  server->Optimizations().Connections.Enabled = false;
  server->SetActive(true);
  TestClient a, b;
  ASSERT_TRUE(a.Connect("127.0.0.1", ListeningPort()));
  ASSERT_TRUE(b.Connect("127.0.0.1", ListeningPort()));
  ASSERT_TRUE(WaitFor([&] { return server->GetConnectionByIndex(1) != nullptr; }));
  const TzalWSConnectionServerRef second = server->GetConnectionByIndex(1);
  EXPECT_EQ(server->GetConnectionByIndex(2).get(), nullptr);
  EXPECT_EQ(server->GetConnectionByIndex(-1).get(), nullptr);
  const std::string guid = second->Guid();
  EXPECT_EQ(guid.size(), 32u);
  EXPECT_EQ(guid.find_first_not_of("0123456789ABCDEF"), std::string::npos);
  EXPECT_EQ(server->GetConnectionByGuid(guid).get(), second.get());
  EXPECT_EQ(server->GetConnectionByGuid("00000000000000000000000000000000").get(), nullptr);
}

// The log keeps what was received and sent, with credentials masked (an
// Authorization value, a password in an authentication path, a 32-digit
// session ID or key), in a file only its owner may read, even one that
// existed with wider rights.
TEST_F(ServerLifecycleTest, LogFileRecordsWhatEachConnectionReceivesAndSendsWithoutCredentials) {
  const std::string file = ::testing::TempDir() + "zal-traffic-" + std::to_string(::getpid()) + ".log";
  std::remove(file.c_str());
  std::ofstream(file).close();
  ::chmod(file.c_str(), 0644);
  server->LogFile().Enabled = true;
  server->LogFile().FileName = file;
  server->SetActive(true);
  const std::string secrets[] = {"dXNlcjpzZWNyZXQ=", "s3cret", "0123456789abcdef0123456789ABCDEF"};
  {
    TestClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", ListeningPort()));
    ASSERT_TRUE(client.Send("GET /logged?sid=" + secrets[2] + " HTTP/1.1\r\nHost: x\r\nAuthorization: Basic " +
                            secrets[0] + "\r\nReferer: http://x/zal/auth/url/alice/" + secrets[1] + "/chat\r\n\r\n"));
    EXPECT_TRUE(client.Receive(2000).starts_with("HTTP/1.1 200 OK"));
  }
  server->SetActive(false);
  struct stat status {};
  ASSERT_EQ(::stat(file.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  std::ifstream in(file);
  const std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(log.find(" 127.0.0.1:"), std::string::npos);
  EXPECT_NE(log.find("Recv "), std::string::npos);
  EXPECT_NE(log.find("GET /logged?sid=**** HTTP/1.1\r\nHost: x\r\nAuthorization: Basic ****\r\n"
                     "Referer: http://x/zal/auth/url/alice/****/chat\r\n"),
            std::string::npos)
      << log;  // line breaks kept
  for (const std::string& secret : secrets)
    EXPECT_EQ(log.find(secret), std::string::npos) << secret;
  EXPECT_NE(log.find("Sent "), std::string::npos);
  EXPECT_NE(log.find("HTTP/1.1 200 OK\r\n"), std::string::npos);
  std::remove(file.c_str());
}

TEST_F(ServerLifecycleTest, ActivatingARunningServerKeepsItsConnections) {
  server->SetActive(true);
  TestClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", ListeningPort()));
  ASSERT_TRUE(WaitFor([&] { return server->ConnectionCount() == 1; }));
  server->SetActive(true);
  EXPECT_FALSE(client.WaitClosed(200));
  EXPECT_EQ(startups.load(), 1);
}

TEST(ServerOptions, ReadTimeOutOfZeroOrLessReadsBackAsOne) {
  TzalWebSocketHTTPServer server;
  EXPECT_EQ(server.Options().ReadTimeOut(), 10);
  server.Options().SetReadTimeOut(0);
  EXPECT_EQ(server.Options().ReadTimeOut(), 1);
  server.Options().SetReadTimeOut(-5);
  EXPECT_EQ(server.Options().ReadTimeOut(), 1);
}

TEST(ServerOptions, SettingAnOptionObjectCopiesItAndDocumentRootDropsTheTrailingSlash) {
  TzalWebSocketHTTPServer server;
  TzalWSHTTP2Server_Options http2;
  http2.Enabled = true;
  http2.Settings.MaxFrameSize = 32768;
  server.SetHTTP2Options(http2);
  http2.Settings.MaxFrameSize = 1;
  EXPECT_TRUE(server.HTTP2Options().Enabled);
  EXPECT_EQ(server.HTTP2Options().Settings.MaxFrameSize, 32768u);
  server.SetDocumentRoot("/srv/www/");
  EXPECT_EQ(server.DocumentRoot(), "/srv/www");
  EXPECT_EQ(server.Version(), "4.4.6");
  EXPECT_EQ(server.HTTPServer().ServerSoftware(), "zalWebSockets 4.4.6");
}

TEST(ServerOptions, WhileLoadingActiveAndThreadPoolAreOnlyRecorded) {
  TzalWebSocketHTTPServer server;
  test::BindLoopback(server);
  server.BeginLoading();
  server.SetThreadPool(true);
  server.SetActive(true);
  EXPECT_TRUE(server.Active());  // reads the stored value while loading
  EXPECT_FALSE(server.HTTPServer().Active());
  server.EndLoading();
  EXPECT_TRUE(server.HTTPServer().Active());
  EXPECT_TRUE(server.ThreadPool());
  server.SetActive(false);
}

// Event delivery: the three NotifyEvents modes.
class NotifyEventsTest : public ::testing::Test {
protected:
  void SetUp() override {
    while (CheckSynchronize()) {
    }
    server.OnError = [this](TzalWSConnection*, const std::string& error) {
      std::lock_guard lock(eventsLock);
      events.push_back(error);
      threads.push_back(std::this_thread::get_id());
    };
  }
  std::vector<std::string> Events() {
    std::lock_guard lock(eventsLock);
    return events;
  }

  TzalWebSocketHTTPServer server;
  std::mutex eventsLock;
  std::vector<std::string> events;
  std::vector<std::thread::id> threads;
};

TEST_F(NotifyEventsTest, NoSyncRaisesOnTheDetectingThread) {
  server.SetNotifyEvents(neNoSync);
  std::thread::id worker;
  std::thread([&] {
    worker = std::this_thread::get_id();
    server.NotifyError(nullptr, "now");
  }).join();
  ASSERT_EQ(Events(), std::vector<std::string>{"now"});
  EXPECT_EQ(threads[0], worker);
}

TEST_F(NotifyEventsTest, AsynchronousDeliversInOrderOnTheMainThread) {
  server.SetNotifyEvents(neAsynchronous);
  std::thread([&] {
    for (int i = 0; i < 5; ++i)
      server.NotifyError(nullptr, "e" + std::to_string(i));
  }).join();
  EXPECT_TRUE(Events().empty());  // nothing until the main thread runs its queue
  while (CheckSynchronize()) {
  }
  EXPECT_EQ(Events(), (std::vector<std::string>{"e0", "e1", "e2", "e3", "e4"}));
  for (const auto& id : threads)
    EXPECT_EQ(id, std::this_thread::get_id());
}

// While the main thread runs one slow handler, other connections' threads
// still queue their events at once: the queue is not locked during a handler.
TEST_F(NotifyEventsTest, ASlowAsynchronousHandlerHoldsNoOtherThread) {
  server.SetNotifyEvents(neAsynchronous);
  std::atomic<bool> inHandler{false};
  server.OnError = [&](TzalWSConnection*, const std::string& error) {
    if (error != "slow")
      return;
    inHandler = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  };
  server.NotifyError(nullptr, "slow");
  std::atomic<int64_t> queueingMs{-1};
  std::thread other([&] {
    ASSERT_TRUE(WaitFor([&] { return inHandler.load(); }, 5000));
    const auto start = std::chrono::steady_clock::now();
    server.NotifyError(nullptr, "quick");
    queueingMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  });
  CheckSynchronize();  // runs the slow handler on this, the main thread
  other.join();
  while (CheckSynchronize()) {
  }
  EXPECT_GE(queueingMs.load(), 0);
  EXPECT_LT(queueingMs.load(), 500);  // the handler ran 1500 ms
}

TEST_F(NotifyEventsTest, SynchronousWaitsForTheMainThread) {
  server.SetNotifyEvents(neSynchronous);
  std::atomic<bool> returned{false};
  std::thread worker([&] {
    server.NotifyError(nullptr, "sync");
    returned = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(returned.load());  // the caller waits while the main thread is busy
  ASSERT_TRUE(WaitFor([&] {
    CheckSynchronize(10);
    return returned.load();
  }));
  worker.join();
  EXPECT_EQ(Events(), std::vector<std::string>{"sync"});
  EXPECT_EQ(threads[0], std::this_thread::get_id());
}

TEST_F(NotifyEventsTest, FailingHandlerIsContainedAndLaterEventsStillArrive) {
  server.SetNotifyEvents(neAsynchronous);
  int calls = 0;
  server.OnError = [&](TzalWSConnection*, const std::string&) {
    ++calls;
    throw std::runtime_error("handler failed");
  };
  server.NotifyError(nullptr, "a");
  server.NotifyError(nullptr, "b");
  while (CheckSynchronize()) {
  }
  EXPECT_EQ(calls, 2);
}

TEST(NotifyEventsLifetime, QueuedEventsOfADestroyedComponentAreDropped) {
  while (CheckSynchronize()) {
  }
  int calls = 0;
  {
    TzalWebSocketHTTPServer server;
    server.SetNotifyEvents(neAsynchronous);
    server.OnError = [&](TzalWSConnection*, const std::string&) { ++calls; };
    server.NotifyError(nullptr, "late");
  }
  while (CheckSynchronize()) {
  }
  EXPECT_EQ(calls, 0);
}

// Counts its destructions.
class CountedConnection : public TzalWSConnectionServer {
public:
  explicit CountedConnection(std::atomic<int>& destroyed) : FDestroyed(destroyed) {}
  ~CountedConnection() override { ++FDestroyed; }

private:
  std::atomic<int>& FDestroyed;
};

TEST(NotifyEventsLifetime, AQueuedDisconnectReleasesItsConnectionWhenDeliveredOrDropped) {
  std::atomic<int> destroyed{0};
  for (bool deliver : {true, false}) {
    destroyed = 0;
    std::string readInHandler;
    {
      TzalWebSocketHTTPServer server;
      server.SetNotifyEvents(neAsynchronous);
      server.OnError = [&](TzalWSConnection* connection, const std::string&) { readInHandler = connection->Guid(); };
      server.OnDisconnect = [&](TzalWSConnection*, int) {};
      auto* connection = new CountedConnection(destroyed);
      server.NotifyError(connection, "broken");
      server.NotifyDisconnect(connection, 1000);  // the worker lets go of it here
      EXPECT_EQ(destroyed.load(), 0);
      if (deliver) {
        while (CheckSynchronize()) {
        }
        EXPECT_EQ(readInHandler.size(), 32u);
      }
    }
    while (CheckSynchronize()) {
    }
    EXPECT_EQ(destroyed.load(), 1) << (deliver ? "delivered" : "dropped with the component");
  }
}

// Exposes the exception path.
class ExceptionPathServer : public TzalWebSocketHTTPServer {
public:
  using TzalWebSocketHTTPServer::DoException;
};

TEST(NotifyEventsLifetime, TheExceptionPathKeepsTheExceptionsType) {
  ExceptionPathServer server;
  server.SetNotifyEvents(neNoSync);
  bool socketError = false;
  server.OnException = [&](TzalWSConnection*, const std::exception& e) {
    socketError = dynamic_cast<const EIdSocketError*>(&e) != nullptr;
  };
  try {
    throw EIdSocketError(Id_WSAEMFILE, "Too many open files");
  } catch (const std::exception& e) {
    server.DoException(nullptr, e);
  }
  EXPECT_TRUE(socketError);
}

TEST(NotifyEventsLifetime, ExceptionsWithoutAConnectionCarryTheirMessage) {
  TzalWebSocketHTTPServer server;
  server.SetNotifyEvents(neNoSync);
  std::string seen;
  server.OnException = [&](TzalWSConnection* connection, const std::exception& e) {
    EXPECT_EQ(connection, nullptr);
    seen = e.what();
  };
  server.NotifyException(nullptr, std::runtime_error("boom"));
  EXPECT_EQ(seen, "boom");
}

}  // namespace
}  // namespace zal

namespace zal {
namespace {

// Exposes the registry's cache steps, which the connection loop runs when a
// connection becomes connected and when it ends.
class RegistryServer : public TzalWebSocketHTTPServer {
public:
  using TzalWebSocketHTTPServer::RegisterConnection;
  using TzalWebSocketHTTPServer::UnregisterConnection;
};

TEST(ServerRegistry, TheGuidCacheFindsRegisteredConnectionsUntilTheyAreRemoved) {
  RegistryServer server;
  std::vector<std::unique_ptr<TzalWSConnectionServer>> connections;
  for (int i = 0; i < 150; ++i) {  // more than the cache holds
    connections.push_back(std::make_unique<TzalWSConnectionServer>());
    server.RegisterConnection(connections.back().get());
  }
  for (const auto& connection : connections)
    EXPECT_EQ(server.GetConnectionByGuid(connection->Guid()).get(), connection.get());
  server.UnregisterConnection(connections[7].get());
  EXPECT_EQ(server.GetConnectionByGuid(connections[7]->Guid()).get(), nullptr);
  EXPECT_EQ(server.GetConnectionByGuid(connections[8]->Guid()).get(), connections[8].get());
}

}  // namespace
}  // namespace zal

namespace zal {
namespace {

using test::TestClient;
using test::WaitFor;

TEST(ServerSessionIDs, AnIDIsConsumedOnceAndKeepsUserAndPassword) {
  TzalWebSocketHTTPServer server;
  server.AddSessionID("ABC", "alice", "pa:ss");
  server.AddSessionID("abc", "mallory", "x");  // the ID is taken: kept as it was
  std::string user, password;
  EXPECT_FALSE(server.ConsumeSessionID("XYZ", user, password));
  ASSERT_TRUE(server.ConsumeSessionID("aBc", user, password));
  EXPECT_EQ(user, "alice");
  EXPECT_EQ(password, "pa:ss");
  EXPECT_FALSE(server.ConsumeSessionID("ABC", user, password));
}

TEST(ServerSessionIDs, TheCredentialCheckAddsTheSessionOfAnAcceptedSessionConnection) {
  TzalWebSocketHTTPServer server;
  server.Authentication().AuthUsers = {"Alice=s3cret"};
  TzalWSConnectionServer connection;
  connection.FAuthentication.FAuthType = authSession;
  bool authenticated = false;
  server.OnServerAuthenticationEvent(&connection, "alice", "wrong", authenticated);
  EXPECT_FALSE(authenticated);
  EXPECT_TRUE(connection.FAuthentication.FSessionID.empty());
  server.OnServerAuthenticationEvent(&connection, "ALICE", "s3cret", authenticated);
  EXPECT_TRUE(authenticated);
  std::string user, password;
  ASSERT_TRUE(server.ConsumeSessionID(connection.FAuthentication.FSessionID, user, password));
  EXPECT_EQ(user + ":" + password, "ALICE:s3cret");
  server.OnAuthentication = [](TzalWSConnection*, const std::string&, const std::string&, bool& answer) {
    answer = false;
  };
  server.OnServerAuthenticationEvent(&connection, "alice", "s3cret", authenticated);
  EXPECT_FALSE(authenticated);
}

TEST(ServerProtocols, RegisteredNamesGoToEveryNewConnection) {
  TzalWebSocketHTTPServer server;
  TzalWSProtocol chat("chat");
  server.RegisterProtocol(&chat);
  server.RegisterProtocol(&chat);
  server.RegisterProtocol("news");
  EXPECT_EQ(server.ProtocolNames(), "chat,news");
  server.UnRegisterProtocol(&chat);
  EXPECT_EQ(server.ProtocolNames(), "news");
  server.UnRegisterProtocol("news");
  EXPECT_EQ(server.ProtocolNames(), "");
}

TEST(ServerSessionEvents, TheInnerServersSessionEventsReachTheComponent) {
  TzalWebSocketHTTPServer server;
  test::ListenOnLoopback(server);
  server.SetSessionState(true);
  server.SetSessionTimeOut(60000);
  server.SetAutoStartSession(true);
  std::atomic<int> started{0};
  server.OnSessionStart = [&](TIdHTTPSession*) { ++started; };
  TestClient client = test::ConnectedTo(server);
  ASSERT_TRUE(client.Send("GET / HTTP/1.1\r\nHost: x\r\n\r\n"));
  EXPECT_TRUE(client.Receive(2000).starts_with("HTTP/1.1 200"));
  EXPECT_EQ(started.load(), 1);
  server.SetActive(false);
}

}  // namespace
}  // namespace zal
