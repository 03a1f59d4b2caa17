// The heartbeat against real clients, with periods of hundreds of milliseconds:
// python3-websockets with its automatic pongs off is closed at the right tick
// under both rules of the time-out, with pongs on it stays; connections that
// handle their own heartbeat, HTTP/1.1, HTTP/2 and event streams are never
// closed by it; Chromium answers it over TLS; a tick over 1,000 connections
// does not wait for one that never reads.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>

#include "common/zalTestProcess.h"
#include "common/zalTestSocket.h"
#include "common/zalTestTLS.h"
#include "server/zalShortTimerServer.h"
#include "support/zalMainThread.h"
#include "websocket/zalWebSocket_Handshake.h"

namespace zal {
namespace {

using test::CommandResult;
using test::PeerScript;
using test::RunCommand;
using test::ShortTimerServer;
using test::OpenWebSocket;
using test::TestClient;
using test::WaitFor;

constexpr int kUnit = ShortTimerServer::kSecondMs;

int64_t Now() { return static_cast<int64_t>(GetTickCount64()); }

// What the python client printed: the pings it saw and how it ended.
struct ClientRun {
  int Pings = 0;
  bool Closed = false;
  bool StillOpen = false;
  std::string Output;
};

ClientRun ParseClient(const CommandResult& result) {
  ClientRun run;
  run.Output = result.Output;
  std::istringstream lines(result.Output);
  for (std::string line; std::getline(lines, line);) {
    run.Pings += line.starts_with("{\"ping\"");
    run.Closed |= line.starts_with("{\"closed\"");
    run.StillOpen |= line.starts_with("{\"still_open\"");
  }
  return run;
}

class HeartBeatTest : public ::testing::Test {
protected:
  void SetUp() override {
    server.OnException = [this](TzalWSConnection* connection, const std::exception& e) {
      std::lock_guard lock(FLock);
      FExceptions.push_back({connection != nullptr, e.what(), Now()});
    };
    server.OnBeforeHeartBeat = [this](void*, TzalWSConnection*, bool&) {
      std::lock_guard lock(FLock);
      FPings.push_back(Now());
    };
  }

  void Start(int interval, int timeout) {
    server.HeartBeat() = {.Enabled = true, .Interval = interval, .Timeout = timeout};
    server.SetActive(true);
  }
  std::string Url(const std::string& scheme = "ws") {
    return scheme + "://127.0.0.1:" + std::to_string(server.ListeningPort()) + "/";
  }
  // python3-websockets, with its automatic pongs on or off, until `pings` pings or `seconds`.
  ClientRun RunClient(bool pongs, int pings, double seconds) {
    return ParseClient(RunCommand("/usr/bin/python3 " + PeerScript("heartbeat_client.py") + " " + Url() + " " +
                                      (pongs ? "on" : "off") + " " + std::to_string(pings) + " " +
                                      std::to_string(seconds),
                                  static_cast<int>(seconds) + 20));
  }

  struct ExceptionSeen {
    bool WithConnection;
    std::string Text;
    int64_t At;
  };
  std::vector<ExceptionSeen> Exceptions() {
    std::lock_guard lock(FLock);
    return FExceptions;
  }
  std::vector<int64_t> Pings() {
    std::lock_guard lock(FLock);
    return FPings;
  }

  ShortTimerServer server;
  std::mutex FLock;
  std::vector<ExceptionSeen> FExceptions;
  std::vector<int64_t> FPings;  // when the heartbeat came to a connection
};

// The Part's two rules. With pings at least Timeout apart a connection goes at
// the first time-out tick that finds its last ping Timeout old; with pings more
// often, at the first tick that finds its first unanswered ping Timeout old.
struct TimeoutCase {
  const char* Name;
  int Interval, Timeout;  // in units of 100 ms
};

class HeartBeatTimeoutRule : public HeartBeatTest, public ::testing::WithParamInterface<TimeoutCase> {};

// The moment a rule measures from at a tick: the first ping, or the last one before the tick.
int64_t RuleStart(const TimeoutCase& c, const std::vector<int64_t>& pings, int64_t tick) {
  if (c.Timeout >= c.Interval)
    return pings.front();
  int64_t last = pings.front();
  for (int64_t ping : pings)
    if (ping <= tick)
      last = ping;
  return last;
}

TEST_P(HeartBeatTimeoutRule, AClientWithoutPongsIsClosedAtTheRightTick) {
  const TimeoutCase& c = GetParam();
  Start(c.Interval, c.Timeout);
  const ClientRun run = RunClient(false, 1000, 6);
  ASSERT_TRUE(run.Closed) << run.Output;
  EXPECT_GE(run.Pings, 1) << run.Output;
  const std::vector<ExceptionSeen> exceptions = Exceptions();
  ASSERT_EQ(exceptions.size(), 1u);
  EXPECT_EQ(exceptions[0].Text, "HeartBeat Timeout exceeded.");
  EXPECT_TRUE(exceptions[0].WithConnection);

  // The close came from the last tick before it; the tick before that was too early.
  const std::vector<int64_t> ticks = server.TimeoutTicks();
  const std::vector<int64_t> pings = Pings();
  ASSERT_FALSE(pings.empty());
  const auto closing = std::upper_bound(ticks.begin(), ticks.end(), exceptions[0].At);
  ASSERT_NE(closing, ticks.begin());
  const int64_t tick = *(closing - 1);
  const int64_t timeout = c.Timeout * kUnit, slack = 5;
  EXPECT_GE(tick - RuleStart(c, pings, tick), timeout - slack);
  if (closing - 1 != ticks.begin() && *(closing - 2) > pings.front()) {
    const int64_t earlier = *(closing - 2);
    EXPECT_LT(earlier - RuleStart(c, pings, earlier), timeout + slack);
  }
}

INSTANTIATE_TEST_SUITE_P(BothRules, HeartBeatTimeoutRule,
                         ::testing::Values(TimeoutCase{"PingsMoreOftenThanTheTimeout", 3, 5},
                                           TimeoutCase{"PingsRarerThanTheTimeout", 5, 3},
                                           TimeoutCase{"PingsAsOftenAsTheTimeout", 4, 4}),
                         [](const auto& info) { return std::string(info.param.Name); });

struct AnsweringCase {
  const char* Name;
  int Interval, Timeout;
};

class HeartBeatAnswered : public HeartBeatTest, public ::testing::WithParamInterface<AnsweringCase> {};

TEST_P(HeartBeatAnswered, AClientWithPongsSurvivesTenTicks) {
  Start(GetParam().Interval, GetParam().Timeout);
  const ClientRun run = RunClient(true, 10, 8);
  EXPECT_TRUE(run.StillOpen) << run.Output;
  EXPECT_EQ(run.Pings, 10) << run.Output;
  EXPECT_TRUE(Exceptions().empty());
}

INSTANTIATE_TEST_SUITE_P(BothRules, HeartBeatAnswered,
                         ::testing::Values(AnsweringCase{"PingsMoreOftenThanTheTimeout", 2, 3},
                                           AnsweringCase{"PingsRarerThanTheTimeout", 3, 2}),
                         [](const auto& info) { return std::string(info.param.Name); });

// The client misses the first ping, then the application takes the heartbeat
// over: it gets no more pings, and the one it missed no longer counts.
TEST_F(HeartBeatTest, HandledStopsBothThePingAndTheCheck) {
  server.OnBeforeHeartBeat = [this](void*, TzalWSConnection*, bool& handled) {
    std::lock_guard lock(FLock);
    FPings.push_back(Now());
    handled = FPings.size() > 1;
  };
  Start(2, 3);
  const ClientRun run = RunClient(false, 100, 1.5);  // seven ticks
  EXPECT_TRUE(run.StillOpen) << run.Output;
  EXPECT_EQ(run.Pings, 1) << run.Output;
  EXPECT_GE(Pings().size(), 5u);  // the application was asked at every tick
  EXPECT_TRUE(Exceptions().empty());
}

// Connections that are not WebSocket are never checked, though the heartbeat
// pings the HTTP/2 and event-stream ones: each stays open across ten ticks.
enum class Transport { HTTP1, HTTP2, EventStream };

class HeartBeatOtherTransports : public HeartBeatTest, public ::testing::WithParamInterface<Transport> {};

TEST_P(HeartBeatOtherTransports, AreNeverClosedByTheTimeout) {
  server.HTTP2Options().Enabled = true;
  server.FallBack().ServerSentEvents.Enabled = true;
  server.OnCommandGet = [](TIdContext*, TIdHTTPRequestInfo*, TIdHTTPResponseInfo* response) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10 * kUnit));  // ten ticks of both timers
    response->SetContentText("late");
  };
  Start(1, 1);
  const std::string url = "http://127.0.0.1:" + std::to_string(server.ListeningPort()) + "/slow";
  switch (GetParam()) {
    case Transport::HTTP1:
      EXPECT_EQ(RunCommand("curl -s --max-time 10 " + url, 20).Output, "late");
      break;
    case Transport::HTTP2:
      EXPECT_EQ(RunCommand("curl -s --http2-prior-knowledge --max-time 10 -w ' %{http_version}' " + url, 20).Output,
                "late 2");
      break;
    case Transport::EventStream: {
      TestClient client;
      ASSERT_TRUE(client.Connect("127.0.0.1", server.ListeningPort()));
      ASSERT_TRUE(client.Send("GET /events HTTP/1.1\r\nHost: x\r\nAccept: text/event-stream\r\n\r\n"));
      std::string stream;
      for (int tick = 0; tick < 10; ++tick)
        stream += client.Receive(kUnit);
      const std::regex ping("event: Ping\ndata: \\d{17}\r\n\r\n");
      EXPECT_GE(std::distance(std::sregex_iterator(stream.begin(), stream.end(), ping), std::sregex_iterator()), 5)
          << stream;
      EXPECT_FALSE(client.WaitClosed(50));
      break;
    }
  }
  EXPECT_TRUE(Exceptions().empty());
}

INSTANTIATE_TEST_SUITE_P(NotWebSocket, HeartBeatOtherTransports,
                         ::testing::Values(Transport::HTTP1, Transport::HTTP2, Transport::EventStream),
                         [](const auto& info) {
                           return std::string(info.param == Transport::HTTP1   ? "HTTP1"
                                              : info.param == Transport::HTTP2 ? "HTTP2"
                                                                               : "EventStream");
                         });

// The timers follow the component's NotifyEvents, also when it changes while
// they run: the heartbeat then runs on the main thread, when that pumps.
TEST_F(HeartBeatTest, TheHeartBeatMovesToTheMainThreadWithNotifyEvents) {
  std::atomic<bool> onMainThread{false};
  std::atomic<int> ticks{0};
  server.OnBeforeHeartBeat = [&](void*, TzalWSConnection*, bool&) {
    onMainThread.store(IsMainThread());
    ++ticks;
  };
  Start(1, 0);
  TestClient client;
  ASSERT_TRUE(OpenWebSocket(client, static_cast<uint16_t>(server.ListeningPort())));
  ASSERT_TRUE(WaitFor([&] { return ticks.load() >= 1; }));
  EXPECT_FALSE(onMainThread.load());
  server.SetNotifyEvents(neAsynchronous);
  const int before = ticks.load();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (ticks.load() < before + 2 && std::chrono::steady_clock::now() < deadline)
    CheckSynchronize(50);
  EXPECT_GE(ticks.load(), before + 2);
  EXPECT_TRUE(onMainThread.load());
}

TEST_F(HeartBeatTest, ChromiumAnswersTheHeartBeatOverTLSForFiveTicks) {
  test::TestCertificate certificate;
  server.UseTLS(certificate.File());
  Start(2, 3);
  const CommandResult result =
      RunCommand("node " + PeerScript("ws_heartbeat_chromium.mjs") + " " + Url("wss") + " " +
                     std::to_string(11 * 2 * kUnit / 2),  // five and a half ticks
                 90);
  EXPECT_EQ(result.Output, "{\"opened\":true,\"stillOpen\":true,\"closed\":null}\n");
  EXPECT_GE(Pings().size(), 5u);
  EXPECT_TRUE(Exceptions().empty());
}


// A peer that never reads fills its socket until the writer to it blocks; the
// heartbeat only posts its ping there and goes on to the other 999.
TEST_F(HeartBeatTest, ATickOverAThousandConnectionsDoesNotWaitForOneThatNeverReads) {
  constexpr int kConnections = 1000;
  std::atomic<int> connected{0};
  std::mutex lock;
  std::vector<int64_t> tickDurations;
  server.OnConnect = [&](TzalWSConnection*) { ++connected; };
  server.OnHeartBeatDone = [&](int64_t milliseconds) {
    std::lock_guard guard(lock);
    tickDurations.push_back(milliseconds);
  };
  server.OnBeforeHeartBeat = nullptr;
  server.HeartBeat() = {.Enabled = true, .Interval = 3, .Timeout = 0};
  server.SetActive(true);
  std::vector<TestClient> clients(kConnections);
  for (TestClient& client : clients)
    ASSERT_TRUE(OpenWebSocket(client, server.ListeningPort()));
  ASSERT_TRUE(WaitFor([&] { return connected.load() == kConnections; }, 20000));

  // No client reads: a writer fills the socket of one of them and blocks there,
  // holding that connection's write lock.
  const TzalWSConnectionServerRef stuck = server.GetConnectionByIndex(0);
  ASSERT_TRUE(stuck);
  const std::string block(1 << 20, 'x');
  std::atomic<bool> writing{true};
  std::thread writer([&] {
    try {
      while (writing.load())
        stuck->WriteData(block);
    } catch (const std::exception&) {
      // the socket was closed under the writer: the end of the test
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the writer is stuck in a full socket by now
  {
    std::lock_guard guard(lock);
    tickDurations.clear();
  }
  const bool ticked = WaitFor(
      [&] {
        std::lock_guard guard(lock);
        return tickDurations.size() >= 3;
      },
      5000);
  // Unblock the writer before judging, so that a failure ends quickly.
  writing.store(false);
  for (TestClient& client : clients)
    client.Close();
  writer.join();
  ASSERT_TRUE(ticked) << "the heartbeat ticks did not complete";
  // Each tick posts and goes on; the best of three discounts the moments when
  // the 1,000 connection threads keep the timer thread off both cores.
  std::lock_guard guard(lock);
  EXPECT_LT(*std::min_element(tickDurations.begin(), tickDurations.end()), 100 * test::kSanitizerSlowdown);
}

}  // namespace
}  // namespace zal
