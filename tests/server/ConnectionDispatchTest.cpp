#include "server/zalWebSocket_Classification.h"
#include "server/zalWebSocket_Server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include <sys/socket.h>

#include "common/zalTestRecorder.h"
#include "common/zalTestSocket.h"
#include "support/zalMainThread.h"

namespace zal {
namespace {

using test::TestClient;
using test::WaitFor;

const std::string kPreface = std::string("PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n");

struct ClassificationCase {
  const char* name;
  std::string bytes;
  bool http2Enabled;
  TzalFirstBytesRow expected;
};

class FirstBytes : public ::testing::TestWithParam<ClassificationCase> {};

TEST_P(FirstBytes, PickTheFirstMatchingRow) {
  const auto& c = GetParam();
  const auto* data = reinterpret_cast<const uint8_t*>(c.bytes.data());
  TzalClassificationSettings settings;
  settings.HTTP2Enabled = c.http2Enabled;
  settings.AuthenticationEnabled = true;
  settings.SessionAuthenticationEnabled = true;
  EXPECT_EQ(ClassifyFirstBytes(FirstBytesAsLines({data, c.bytes.size()}), settings), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, FirstBytes,
    ::testing::Values(
        ClassificationCase{"Upgrade", "GET /chat HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\n\r\n", false,
                           fbWebSocketUpgrade},
        ClassificationCase{"PlainGet", "GET /chat HTTP/1.1\r\nHost: x\r\n\r\n", false, fbHTTP1},
        ClassificationCase{"LowerCase", "get / http/1.1\r\nhost: x\r\n\r\n", false, fbHTTP1},
        ClassificationCase{"H2cUpgradeIsHTTP1", "GET / HTTP/1.1\r\nUpgrade: h2c\r\n\r\n", true, fbHTTP1},
        ClassificationCase{"Preface", kPreface, true, fbHTTP2Preface},
        ClassificationCase{"PrefaceAndSettings", kPreface + std::string("\0\0\x06\x04\0\0\0\0\0\0\x03\0\0\0\x64", 15),
                           true, fbHTTP2Preface},
        ClassificationCase{"PrefaceWithHTTP2Off", kPreface, false, fbUnknown},
        ClassificationCase{"PartOfThePreface", "PRI * HTTP/2.0\r\n\r\n", true, fbUnknown},
        ClassificationCase{"LongPolling", "POST /zal/xhr/abc HTTP/1.1\r\n\r\n", false, fbLongPollingPost},
        ClassificationCase{"ProtocolPost", "POST /zal/protocol/chat HTTP/1.1\r\n\r\n", false, fbProtocolPost},
        ClassificationCase{"SessionRequest", "GET /zal/req/auth/session/ HTTP/1.1\r\n\r\n", false, fbSessionIdRequest},
        ClassificationCase{"FlashPolicy", std::string("<policy-file-request/>\0", 23), false, fbFlashPolicy},
        ClassificationCase{"EventStream", "GET /events HTTP/1.1\r\nAccept: text/event-stream\r\n\r\n", false,
                           fbServerSentEvents},
        ClassificationCase{"EventStreamAmongOthers", "GET /e HTTP/1.1\r\nAccept: text/event-stream, */*\r\n\r\n", false,
                           fbHTTP1},
        ClassificationCase{"BodyLineIsNoEventStream",
                           "POST /form HTTP/1.1\r\nContent-Length: 26\r\n\r\nAccept: text/event-stream\r\n", false,
                           fbHTTP1},
        ClassificationCase{"PipelinedRequestIsNoEventStream",
                           "GET /a HTTP/1.1\r\nHost: x\r\n\r\nGET /b HTTP/1.1\r\nAccept: text/event-stream\r\n\r\n",
                           false, fbHTTP1},
        ClassificationCase{"PipelinedRequestIsNoUpgrade",
                           "GET /a HTTP/1.1\r\nHost: x\r\n\r\nGET /b HTTP/1.1\r\nUpgrade: websocket\r\n\r\n", false,
                           fbHTTP1},
        ClassificationCase{"Garbage", "\x16\x03\x01\x02\x00", false, fbUnknown},
        ClassificationCase{"Empty", "", false, fbUnknown}),
    [](const ::testing::TestParamInfo<ClassificationCase>& info) { return info.param.name; });

struct ScanCase {
  const char* name;
  std::string bytes;
  size_t decidedAfter;  // bytes after which the scanner has decided; 0: still waiting at the end
};

class FirstBytesScan : public ::testing::TestWithParam<ScanCase> {};

std::span<const uint8_t> AsBytes(const std::string& text, size_t length) {
  return {reinterpret_cast<const uint8_t*>(text.data()), length};
}

// Fed one byte at a time, and split at every offset: the decision comes at the
// same byte, and no byte is examined twice.
TEST_P(FirstBytesScan, DecidesAtTheSameByteHoweverTheBytesArrive) {
  const auto& c = GetParam();
  TzalFirstBytesScanner oneByOne;
  size_t decidedAt = 0;
  for (size_t length = 1; length <= c.bytes.size() && !decidedAt; ++length)
    if (oneByOne.Scan(AsBytes(c.bytes, length)))
      decidedAt = length;
  EXPECT_EQ(decidedAt, c.decidedAfter);
  EXPECT_EQ(oneByOne.Examined(), decidedAt ? decidedAt : c.bytes.size());
  for (size_t split = 0; split <= c.bytes.size(); ++split) {
    TzalFirstBytesScanner scanner;
    const bool early = scanner.Scan(AsBytes(c.bytes, split));
    const bool atEnd = scanner.Scan(AsBytes(c.bytes, c.bytes.size()));
    EXPECT_EQ(early, c.decidedAfter && split >= c.decidedAfter) << "split at " << split;
    EXPECT_EQ(atEnd, c.decidedAfter != 0) << "split at " << split;
    EXPECT_EQ(scanner.Examined(), decidedAt ? decidedAt : c.bytes.size()) << "split at " << split;
  }
}

const std::string kRequest = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
const std::string kUpgradeLine = "GET /c HTTP/1.1\r\nUpgrade: WebSocket\r\n";

INSTANTIATE_TEST_SUITE_P(
    Prefixes, FirstBytesScan,
    ::testing::Values(ScanCase{"Request", kRequest, kRequest.size()},
                      ScanCase{"RequestWithBody", kRequest + "body", kRequest.size()},
                      ScanCase{"BareLineFeeds", "get / http/1.0\n\n", 16},
                      ScanCase{"HeaderBlockNotEnded", "GET / HTTP/1.1\r\nHost: x\r\n", 0},
                      ScanCase{"Preface", kPreface, 24},
                      ScanCase{"PrefaceAndAFrame", kPreface + std::string("\0\0\0\x04\0", 5), 24},
                      ScanCase{"PartOfThePreface", "PRI * HTTP/2.0\r\n\r\nSM", 0},
                      ScanCase{"FlashPolicy", std::string("<policy-file-request/>\0", 23), 23},
                      ScanCase{"AnUpgradeLineDecides", kUpgradeLine + "Sec-WebSocket-Key1: 4", kUpgradeLine.size()},
                      ScanCase{"NotForAPost", "POST / HTTP/1.1\r\nUpgrade: websocket\r\n", 0},
                      ScanCase{"AnotherProtocolsLine", "HELLO there\r\nmore", 13},
                      ScanCase{"TLSHello", "\x16\x03\x01", 1},
                      ScanCase{"HTTP2VersionInARequestLine", "GET / HTTP/2.0\r\n", 12},
                      ScanCase{"ControlCharacterInTheTarget", "GET /a\x01b HTTP/1.1\r\n", 7},
                      ScanCase{"ZeroOctetEndsTheText", std::string("GET / HTTP/1.1\r\nA\0B\r\n\r\n", 23), 18}),
    [](const ::testing::TestParamInfo<ScanCase>& info) { return info.param.name; });

TEST(FirstBytesScanCost, AnEndlessHeaderLineIsExaminedOnceInTotal) {
  std::string bytes = "GET / HTTP/1.1\r\nX-Long: ";
  TzalFirstBytesScanner scanner;
  for (int piece = 0; piece < 1000; ++piece) {
    bytes.append(1000, 'a');
    ASSERT_FALSE(scanner.Scan(AsBytes(bytes, bytes.size())));
  }
  EXPECT_EQ(scanner.Examined(), bytes.size());
}

// The component on an ephemeral loopback port, events raised on the worker threads.
class ConnectionDispatchTest : public ::testing::Test {
protected:
  void SetUp() override {
    test::ListenOnLoopback(server);
    server.OnCommandGet = [this](TIdContext*, TIdHTTPRequestInfo* rq, TIdHTTPResponseInfo* rs) {
      commands.Add(rq->Document());
      if (rq->PostStream())
        bodies.Add(static_cast<int>(rq->PostStream()->Size()));
      rs->SetContentText("handled " + rq->Document());
    };
    server.OnError = [this](TzalWSConnection*, const std::string& error) {
      errors.Add(error);
    };
    server.OnException = [this](TzalWSConnection*, const std::exception& e) {
      errors.Add(e.what());
    };
  }
  void TearDown() override { server.SetActive(false); }

  TestClient Connected() { return test::ConnectedTo(server); }

  test::TestRecorder<std::string> commands, errors;
  test::TestRecorder<int> bodies;
  TzalWebSocketHTTPServer server;
};

TEST_F(ConnectionDispatchTest, HTTP1RequestsReachOnCommandGetWithTheirBody) {
  TestClient client = Connected();
  ASSERT_TRUE(client.Send("POST /form HTTP/1.1\r\nHost: x\r\nContent-Length: 4\r\n\r\nabcd"));
  const std::string response = client.Receive(2000);
  EXPECT_TRUE(response.starts_with("HTTP/1.1 200 OK\r\n")) << response;
  EXPECT_NE(response.find("Server: zalWebSockets 4.4.6\r\n"), std::string::npos);
  EXPECT_TRUE(response.ends_with("handled /form"));
  EXPECT_EQ(commands.Items(), std::vector<std::string>{"/form"});
  EXPECT_EQ(bodies.Items(), std::vector<int>{4});
}

TEST_F(ConnectionDispatchTest, KeptAliveConnectionsServeRequestAfterRequest) {
  server.SetKeepAlive(true);
  TestClient client = Connected();
  for (const char* path : {"/one", "/two", "/three"}) {
    ASSERT_TRUE(client.Send(std::string("GET ") + path + " HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_NE(client.ReceiveUntil(std::string("handled ") + path).find(path), std::string::npos);
  }
  EXPECT_EQ(commands.Count(), 3u);
}

// An error that ends an HTTP/1.1 connection ends its worker too: nothing is
// left in its input buffer for the execute step to classify again.
TEST_F(ConnectionDispatchTest, AnOverLongRequestLineIsAnswered414AndItsConnectionReleased) {
  TestClient client = Connected();
  ASSERT_TRUE(client.Send("GET /" + std::string(17000, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n"));
  const std::string response = client.Receive(2000);
  EXPECT_TRUE(response.starts_with("HTTP/1.1 414 ")) << response.substr(0, 200);
  client.Close();  // ends the server's lingering after its early answer
  EXPECT_TRUE(WaitFor([&] { return server.ConnectionCount() == 0; }));
  EXPECT_TRUE(commands.Items().empty());
}

// The same holds for an error the execute step itself reports.
TEST_F(ConnectionDispatchTest, AnErrorWhileClassifyingReleasesTheConnection) {
  server.OnUnknownProtocol = [](TzalWSConnection*, bool&) { throw std::runtime_error("refused loudly"); };
  TestClient client = Connected();
  ASSERT_TRUE(client.Send("HELLO\r\n"));
  EXPECT_TRUE(client.WaitClosed());
  EXPECT_TRUE(WaitFor([&] { return server.ConnectionCount() == 0; }));
  EXPECT_EQ(errors.Items(), std::vector<std::string>{"refused loudly"});
}

// Options.WriteTimeOut, when set, is how long a send may make no progress.
TEST_F(ConnectionDispatchTest, APeerThatNeverReadsLosesItsConnectionAfterTheWriteTimeOut) {
  server.Options().WriteTimeOut = 300;
  server.OnCommandGet = [](TIdContext*, TIdHTTPRequestInfo*, TIdHTTPResponseInfo* rs) {
    rs->SetContentText(std::string(16 << 20, 'z'));
  };
  TestClient client = Connected();
  const int small = 4096;
  ::setsockopt(client.Handle(), SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
  ASSERT_TRUE(client.Send("GET / HTTP/1.1\r\nHost: x\r\n\r\n"));
  ASSERT_TRUE(WaitFor([&] { return server.ConnectionCount() == 1; }));
  // It ends about half a second after the send stalls; the bound leaves room for
  // ThreadSanitizer, under which building and copying the 16 MiB body takes 10 to 15 s.
  EXPECT_TRUE(WaitFor([&] { return server.ConnectionCount() == 0; }, 30000));
}

TEST_F(ConnectionDispatchTest, APrefaceWithHTTP2OffIsClosedWithoutAnAnswer) {
  TestClient client = Connected();
  ASSERT_TRUE(client.Send(kPreface));
  EXPECT_TRUE(client.WaitClosed());
  EXPECT_EQ(client.Receive(50), "");
  EXPECT_TRUE(commands.Items().empty());
}

TEST_F(ConnectionDispatchTest, UnknownProtocolsAreClosedUnlessAccepted) {
  std::atomic<int> asked{0};
  std::atomic<bool> acceptIt{false};
  std::atomic<int> connects{0};
  server.OnUnknownProtocol = [&](TzalWSConnection*, bool& accept) {
    ++asked;
    accept = acceptIt.load();
  };
  server.OnConnect = [&](TzalWSConnection*) { ++connects; };
  TestClient refused = Connected();
  ASSERT_TRUE(refused.Send("HELLO\r\n"));
  EXPECT_TRUE(refused.WaitClosed());

  acceptIt = true;
  TestClient accepted = Connected();
  ASSERT_TRUE(accepted.Send("HELLO\r\n"));
  ASSERT_TRUE(WaitFor([&] { return connects.load() == 1; }));
  EXPECT_FALSE(accepted.WaitClosed(200));
  EXPECT_EQ(asked.load(), 2);
}

// The acceptance check also runs for an accepted unknown protocol: with the
// RFC 6455 protocol switched off in Specifications it is disconnected unannounced.
TEST_F(ConnectionDispatchTest, AnAcceptedUnknownProtocolPassesTheAcceptanceCheck) {
  std::atomic<int> connects{0};
  server.OnUnknownProtocol = [](TzalWSConnection*, bool& accept) { accept = true; };
  server.OnConnect = [&](TzalWSConnection*) { ++connects; };
  server.Specifications().RFC6455 = false;
  TestClient client = Connected();
  ASSERT_TRUE(client.Send("HELLO\r\n"));
  EXPECT_TRUE(client.WaitClosed());
  EXPECT_EQ(connects.load(), 0);
}

TEST_F(ConnectionDispatchTest, ARequestSplitLongerThanTheReadTimeOutIsStillServed) {
  for (const std::string& split : {std::string("GET / HT"), std::string("PO"), std::string("GET / HTTP/1.1\r\nHo")}) {
    TestClient client = Connected();
    ASSERT_TRUE(client.Send(split));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));  // fifteen read time-outs
    const std::string rest = std::string("GET / HTTP/1.1\r\nHost: x\r\n\r\n").substr(split == "PO" ? 0 : split.size());
    ASSERT_TRUE(client.Send(split == "PO" ? "ST /p HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n" : rest));
    const std::string response = client.Receive(2000);
    EXPECT_TRUE(response.starts_with("HTTP/1.1 200 OK")) << split << ": " << response;
  }
}

TEST_F(ConnectionDispatchTest, ASilentConnectionIsClosedAtTheFirstBytesDeadline) {
  server.Options().FirstBytesTimeOut = 300;
  TestClient late = Connected();
  TestClient silent = Connected();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // just below the deadline
  ASSERT_TRUE(late.Send("GET /late HTTP/1.1\r\nHost: x\r\n\r\n"));
  EXPECT_TRUE(late.Receive(2000).ends_with("handled /late"));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(silent.WaitClosed(2000));  // just above it
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
  EXPECT_TRUE(errors.Items().empty());
}

TEST_F(ConnectionDispatchTest, IncompleteFirstBytesAreClassifiedAtTheDeadline) {
  server.Options().FirstBytesTimeOut = 300;
  std::atomic<int> asked{0};
  server.OnUnknownProtocol = [&](TzalWSConnection*, bool&) { ++asked; };
  TestClient client = Connected();
  ASSERT_TRUE(client.Send("<policy-file"));  // could still become the Flash policy request
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_EQ(asked.load(), 0);
  EXPECT_TRUE(client.WaitClosed(2000));
  EXPECT_EQ(asked.load(), 1);
}

// At the limit an unfinished request line goes to the HTTP/1.1 loop, whose own
// limits then hold; the rest of the request is read there, so an upgrade
// header that comes later no longer changes what the connection is.
TEST_F(ConnectionDispatchTest, FirstBytesBeyondTheLimitAreClassifiedWithoutWaitingForMore) {
  constexpr int kLimit = 1000;
  server.Options().FirstBytesLimit = kLimit;
  std::atomic<int> asked{0};
  server.OnUnknownProtocol = [&](TzalWSConnection*, bool&) { ++asked; };
  std::atomic<int> requests{0};
  server.OnCommandGet = [&](TIdContext*, TIdHTTPRequestInfo*, TIdHTTPResponseInfo* rs) {
    ++requests;
    rs->SetContentText("served");
  };
  TestClient client = Connected();
  const std::string requestLine = "GET /" + std::string(kLimit - 6, 'a');  // one byte below the limit
  ASSERT_TRUE(client.Send(requestLine));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_TRUE(client.Send("a"));  // at the limit
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_TRUE(client.Send(" HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                          "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n"));
  const std::string response = client.Receive(2000);
  EXPECT_TRUE(response.starts_with("HTTP/1.1 200 OK\r\n") && response.ends_with("served")) << response;
  EXPECT_EQ(requests.load(), 1);
  EXPECT_EQ(asked.load(), 0);
}

TEST_F(ConnectionDispatchTest, SilentConnectionsCostNoWakeUps) {
  std::vector<TestClient> silent;
  for (int i = 0; i < 100; ++i)
    silent.push_back(Connected());
  ASSERT_TRUE(WaitFor([&] { return server.ConnectionCount() == 100; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const double before = test::ProcessCpuSeconds();
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  EXPECT_LT(test::ProcessCpuSeconds() - before, 0.05);
}

TEST_F(ConnectionDispatchTest, ATLSHelloThatFollowsItsFirstByteWithinTheBudgetIsNotDropped) {
  server.SetSSL(true);
  server.SSLOptions().Port = 1;  // TLS on no binding: the rule meets the bytes as they come
  server.Options().TLSStartTimeOut = 300;
  std::atomic<int> asked{0};
  server.OnUnknownProtocol = [&](TzalWSConnection*, bool&) { ++asked; };
  TestClient client = Connected();
  ASSERT_TRUE(client.Send("\x16"));
  std::this_thread::sleep_for(std::chrono::milliseconds(150));  // within the budget
  ASSERT_TRUE(client.Send("\x03\x01"));
  EXPECT_TRUE(client.WaitClosed(2000));  // plain TCP: the hello is an unknown protocol
  EXPECT_EQ(asked.load(), 1);
  EXPECT_TRUE(errors.Items().empty());

  TestClient stuck = Connected();
  ASSERT_TRUE(stuck.Send("\x16"));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(stuck.WaitClosed(2000));  // beyond the budget
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
  ASSERT_TRUE(errors.WaitForCount(1));
  EXPECT_EQ(errors.Items()[0], "Error starting SSL connection.");
}

TEST_F(ConnectionDispatchTest, OnTCPConnectCanRejectAConnection) {
  server.OnTCPConnect = [](TzalWSConnection*, bool& accept) { accept = false; };
  TestClient client = Connected();
  EXPECT_TRUE(client.WaitClosed());
  ASSERT_TRUE(errors.WaitForCount(1));
  EXPECT_EQ(errors.Items()[0], "Connection rejected by server.");
}


TEST_F(ConnectionDispatchTest, DocumentRootFilesAnswerGetsAndNothingLeavesTheRoot) {
  const auto root = std::filesystem::temp_directory_path() / ("zal-root-" + std::to_string(::getpid()));
  std::filesystem::create_directories(root / "sub");
  std::ofstream(root / "sub" / "index.html") << "<p>from disk</p>";
  std::ofstream(root.parent_path() / ("zal-secret-" + std::to_string(::getpid()))) << "secret";
  server.SetDocumentRoot(root.string() + "/");
  auto fetch = [&](const std::string& path) {
    TestClient client = Connected();
    client.Send("GET " + path + " HTTP/1.1\r\nHost: x\r\n\r\n");
    return client.Receive(2000);
  };
  const std::string served = fetch("/sub/index.html");
  EXPECT_TRUE(served.ends_with("<p>from disk</p>")) << served;
  EXPECT_TRUE(commands.Items().empty());
  EXPECT_TRUE(fetch("/sub/missing.html").ends_with("handled /sub/missing.html"));
  const std::string escaped = fetch("/sub/../../zal-secret-" + std::to_string(::getpid()));
  EXPECT_EQ(escaped.find("secret\r\n"), std::string::npos);
  EXPECT_FALSE(escaped.ends_with("secret"));
  std::filesystem::remove_all(root);
  std::filesystem::remove(root.parent_path() / ("zal-secret-" + std::to_string(::getpid())));
}

TEST_F(ConnectionDispatchTest, TheBasicGateAnswers401UntilTheCredentialsMatch) {
  server.Authentication().Enabled = true;
  server.Authentication().Basic.Enabled = true;
  server.Authentication().AuthUsers = {"Alice=s3cret"};
  auto fetch = [&](const std::string& authorization) {
    TestClient client = Connected();
    client.Send("GET /private HTTP/1.1\r\nHost: x\r\n" + authorization + "\r\n");
    return client.Receive(2000);
  };
  const std::string none = fetch("");
  EXPECT_TRUE(none.starts_with("HTTP/1.1 401 Unauthorized\r\n")) << none;
  EXPECT_NE(none.find("WWW-Authenticate: Basic realm=\"zalWebSockets 4.4.6\"\r\n"), std::string::npos);
  EXPECT_TRUE(fetch("Authorization: Basic YWxpY2U6d3Jvbmc=\r\n").starts_with("HTTP/1.1 401"));  // alice:wrong
  EXPECT_TRUE(commands.Items().empty());
  EXPECT_TRUE(fetch("Authorization: Basic YWxpY2U6czNjcmV0\r\n").starts_with("HTTP/1.1 200 OK"));  // alice:s3cret
  EXPECT_EQ(commands.Items(), std::vector<std::string>{"/private"});
}

TEST_F(ConnectionDispatchTest, ThrottledConnectionsSendAtTheirBitRate) {
  server.OnCommandGet = [](TIdContext*, TIdHTTPRequestInfo*, TIdHTTPResponseInfo* rs) {
    rs->SetContentText(std::string(4000, 'x'));
  };
  auto fetchMs = [&] {
    TestClient client = Connected();
    const auto start = std::chrono::steady_clock::now();
    client.Send("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_TRUE(client.ReceiveUntil(std::string(4000, 'x'), 5000).ends_with(std::string(4000, 'x')));
    EXPECT_TRUE(client.WaitClosed(5000));
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  };
  EXPECT_LT(fetchMs(), 500);
  server.SetActive(false);
  server.Throttle().Enabled = true;
  server.Throttle().BitsPerSec = 32000;  // 4000 bytes a second: the response takes a second
  EXPECT_GE(fetchMs(), 900);
}

TEST_F(ConnectionDispatchTest, AnExceptionInOnCommandGetIsAnswered500) {
  server.OnCommandGet = [](TIdContext*, TIdHTTPRequestInfo*, TIdHTTPResponseInfo*) {
    throw std::runtime_error("handler broke");
  };
  TestClient client = Connected();
  ASSERT_TRUE(client.Send("GET / HTTP/1.1\r\nHost: x\r\n\r\n"));
  const std::string response = client.Receive(2000);
  EXPECT_TRUE(response.starts_with("HTTP/1.1 500 Internal Server Error\r\n")) << response;
  EXPECT_TRUE(response.ends_with("handler broke"));
}

TEST_F(ConnectionDispatchTest, ConnectAndDisconnectEventsFollowNotifyEvents) {
  while (CheckSynchronize()) {
  }
  server.SetNotifyEvents(neAsynchronous);
  std::vector<std::string> events;
  server.OnUnknownProtocol = [](TzalWSConnection*, bool& accept) { accept = true; };
  server.OnConnect = [&](TzalWSConnection*) { events.push_back("connect"); };
  server.OnDisconnect = [&](TzalWSConnection*, int) { events.push_back("disconnect"); };
  {
    TestClient client = Connected();
    ASSERT_TRUE(client.Send("RAW\r\n"));
    ASSERT_TRUE(WaitFor([&] { return server.ConnectionCount() == 1 && server.GetConnectionByIndex(0) &&
                                     server.GetConnectionByIndex(0)->Enabled(); }));
  }
  ASSERT_TRUE(WaitFor([&] { return server.ConnectionCount() == 0; }));
  EXPECT_TRUE(events.empty());  // queued for the main thread, which has not run its queue yet
  while (CheckSynchronize()) {
  }
  EXPECT_EQ(events, (std::vector<std::string>{"connect", "disconnect"}));
}

// The default delivery: events queued for the main thread, delivered after the
// worker has ended the connection. The connection they name must still be there.
class QueuedEventsTest : public ConnectionDispatchTest {
protected:
  void SetUp() override {
    ConnectionDispatchTest::SetUp();
    while (CheckSynchronize()) {
    }
    server.SetNotifyEvents(neAsynchronous);
    server.OnError = [this](TzalWSConnection* connection, const std::string& error) {
      seen.push_back("error " + error + " / " + (connection ? connection->FMsgError : "no connection"));
    };
    server.OnException = [this](TzalWSConnection* connection, const std::exception& e) {
      seen.push_back("exception " + std::string(e.what()) + " / " +
                     (connection ? connection->FMsgException : "no connection"));
    };
  }
  // Waits until the worker has let the connection go, then delivers the queue.
  std::vector<std::string> DeliveredAfterTheConnectionEnded() {
    EXPECT_TRUE(WaitFor([&] { return server.ConnectionCount() == 0; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    while (CheckSynchronize()) {
    }
    return seen;
  }

  std::vector<std::string> seen;  // main thread only
};

TEST_F(QueuedEventsTest, ARefusedConnectionIsStillReadableWhenOnErrorArrives) {
  server.OnTCPConnect = [](TzalWSConnection*, bool& accept) { accept = false; };
  TestClient client = Connected();
  EXPECT_TRUE(client.WaitClosed());
  EXPECT_EQ(DeliveredAfterTheConnectionEnded(),
            std::vector<std::string>{"error Connection rejected by server. / Connection rejected by server."});
}

TEST_F(QueuedEventsTest, AnHTTPLoopErrorReachesOnErrorWithItsConnection) {
  TestClient client = Connected();
  ASSERT_TRUE(client.Send("GET/HTTP/1.1\r\n\r\n"));  // a request line without a space
  EXPECT_TRUE(client.WaitClosed());
  EXPECT_EQ(DeliveredAfterTheConnectionEnded(),
            std::vector<std::string>{"error Error in parsing command. / Error in parsing command."});
}

TEST_F(QueuedEventsTest, ATLSClientStuckAfterOneByteReachesOnExceptionWithItsConnection) {
  server.SetSSL(true);
  server.SSLOptions().Port = 1;  // TLS on no binding: the rule meets the bytes as they come
  server.Options().TLSStartTimeOut = 100;
  TestClient client = Connected();
  ASSERT_TRUE(client.Send("\x16"));
  EXPECT_TRUE(client.WaitClosed(3000));
  EXPECT_EQ(DeliveredAfterTheConnectionEnded(),
            std::vector<std::string>{"exception Error starting SSL connection. / Error starting SSL connection."});
}

}  // namespace
}  // namespace zal
