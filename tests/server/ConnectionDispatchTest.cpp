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
        ClassificationCase{"Garbage", "\x16\x03\x01\x02\x00", false, fbUnknown},
        ClassificationCase{"Empty", "", false, fbUnknown}),
    [](const ::testing::TestParamInfo<ClassificationCase>& info) { return info.param.name; });

TEST(FirstBytesComplete, OnlyWhenTheRowCannotChangeAnyMore) {
  auto complete = [](const std::string& text) {
    return FirstBytesAreComplete({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
  };
  EXPECT_TRUE(complete("GET / HTTP/1.1\r\nHost: x\r\n\r\n"));
  EXPECT_TRUE(complete("POST / HTTP/1.1\r\nContent-Length: 3\r\n\r\nab"));
  EXPECT_TRUE(complete(kPreface));
  EXPECT_FALSE(complete("GET / HTTP/1.1\r\nHost: x\r\n"));
  EXPECT_FALSE(complete("PRI * HTTP/2.0\r\n\r\nSM\r\n"));
  EXPECT_FALSE(complete("GET / HTTP/1.1\r\nUpgrade: WebSocket\r\n\r\n"));
  EXPECT_FALSE(complete("HELLO\r\n\r\n"));
}

// The component on an ephemeral loopback port, events raised on the worker threads.
class ConnectionDispatchTest : public ::testing::Test {
protected:
  void SetUp() override {
    TIdSocketHandle& binding = server.Bindings().Add();
    binding.SetIP("127.0.0.1");
    binding.SetPort(0);
    server.SetNotifyEvents(neNoSync);
    server.OnCommandGet = [this](TIdContext*, TIdHTTPRequestInfo* rq, TIdHTTPResponseInfo* rs) {
      std::lock_guard lock(eventsLock);
      commands.push_back(rq->Document());
      if (rq->PostStream())
        bodies.push_back(static_cast<int>(rq->PostStream()->Size()));
      rs->SetContentText("handled " + rq->Document());
    };
    server.OnError = [this](TzalWSConnection*, const std::string& error) {
      std::lock_guard lock(eventsLock);
      errors.push_back(error);
    };
    server.OnException = [this](TzalWSConnection*, const std::exception& e) {
      std::lock_guard lock(eventsLock);
      errors.push_back(e.what());
    };
  }
  void TearDown() override { server.SetActive(false); }

  TestClient Connected() { return test::ConnectedTo(server); }

  std::vector<std::string> Commands() {
    std::lock_guard lock(eventsLock);
    return commands;
  }
  std::vector<std::string> Errors() {
    std::lock_guard lock(eventsLock);
    return errors;
  }

  TzalWebSocketHTTPServer server;
  std::mutex eventsLock;
  std::vector<std::string> commands;
  std::vector<int> bodies;
  std::vector<std::string> errors;
};

TEST_F(ConnectionDispatchTest, HTTP1RequestsReachOnCommandGetWithTheirBody) {
  TestClient client = Connected();
  ASSERT_TRUE(client.Send("POST /form HTTP/1.1\r\nHost: x\r\nContent-Length: 4\r\n\r\nabcd"));
  const std::string response = client.Receive(2000);
  EXPECT_TRUE(response.starts_with("HTTP/1.1 200 OK\r\n")) << response;
  EXPECT_NE(response.find("Server: zalWebSockets 4.4.6\r\n"), std::string::npos);
  EXPECT_TRUE(response.ends_with("handled /form"));
  EXPECT_EQ(Commands(), std::vector<std::string>{"/form"});
  std::lock_guard lock(eventsLock);
  EXPECT_EQ(bodies, std::vector<int>{4});
}

TEST_F(ConnectionDispatchTest, KeptAliveConnectionsServeRequestAfterRequest) {
  server.SetKeepAlive(true);
  TestClient client = Connected();
  for (const char* path : {"/one", "/two", "/three"}) {
    ASSERT_TRUE(client.Send(std::string("GET ") + path + " HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_NE(client.ReceiveUntil(std::string("handled ") + path).find(path), std::string::npos);
  }
  EXPECT_EQ(Commands().size(), 3u);
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
  EXPECT_TRUE(Commands().empty());
}

// The same holds for an error the execute step itself reports.
TEST_F(ConnectionDispatchTest, AnErrorWhileClassifyingReleasesTheConnection) {
  server.OnUnknownProtocol = [](TzalWSConnection*, bool&) { throw std::runtime_error("refused loudly"); };
  TestClient client = Connected();
  ASSERT_TRUE(client.Send("HELLO\r\n"));
  EXPECT_TRUE(client.WaitClosed());
  EXPECT_TRUE(WaitFor([&] { return server.ConnectionCount() == 0; }));
  EXPECT_EQ(Errors(), std::vector<std::string>{"refused loudly"});
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
  EXPECT_TRUE(WaitFor([&] { return server.ConnectionCount() == 0; }, 10000));
}

TEST_F(ConnectionDispatchTest, TransportsNotServedHereAreClosedWithoutAnAnswer) {
  for (const std::string& first : {kPreface, std::string("POST /zal/xhr/1 HTTP/1.1\r\n\r\n")}) {
    TestClient client = Connected();
    ASSERT_TRUE(client.Send(first));
    EXPECT_TRUE(client.WaitClosed());
    EXPECT_EQ(client.Receive(50), "");
  }
  EXPECT_TRUE(Commands().empty());
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

TEST_F(ConnectionDispatchTest, ARequestLineSplitLongerThanTheReadTimeOutIsUnknown) {
  TestClient client = Connected();
  ASSERT_TRUE(client.Send("GET / HT"));
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  client.Send("TP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_TRUE(client.WaitClosed());
  EXPECT_TRUE(Commands().empty());
}

TEST_F(ConnectionDispatchTest, OnTCPConnectCanRejectAConnection) {
  server.OnTCPConnect = [](TzalWSConnection*, bool& accept) { accept = false; };
  TestClient client = Connected();
  EXPECT_TRUE(client.WaitClosed());
  ASSERT_TRUE(WaitFor([&] { return !Errors().empty(); }));
  EXPECT_EQ(Errors()[0], "Connection rejected by server.");
}

TEST_F(ConnectionDispatchTest, ATLSClientStuckAfterOneByteIsDropped) {
  server.SetSSL(true);
  server.SSLOptions().Port = 1;  // TLS on no binding: the rule meets the bytes as they come
  TestClient client = Connected();
  ASSERT_TRUE(client.Send("\x16"));
  EXPECT_TRUE(client.WaitClosed(3000));
  ASSERT_TRUE(WaitFor([&] { return !Errors().empty(); }));
  EXPECT_EQ(Errors()[0], "Error starting SSL connection.");
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
  EXPECT_TRUE(Commands().empty());
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
  EXPECT_TRUE(Commands().empty());
  EXPECT_TRUE(fetch("Authorization: Basic YWxpY2U6czNjcmV0\r\n").starts_with("HTTP/1.1 200 OK"));  // alice:s3cret
  EXPECT_EQ(Commands(), std::vector<std::string>{"/private"});
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

}  // namespace
}  // namespace zal
