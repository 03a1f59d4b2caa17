// The opening handshake against the component on a loopback port, answered to
// independent clients: node ws, python3-websockets, Perl Protocol::WebSocket
// (Hixie-76) and a raw socket for the refusals.
#include "server/zalWebSocket_Server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "common/zalTestProcess.h"
#include "common/zalTestSocket.h"
#include "support/zalMainThread.h"

namespace zal {
namespace {

using test::PeerScript;
using test::RunCommand;
using test::TestClient;

class HandshakePeerTest : public ::testing::Test {
protected:
  void SetUp() override {
    test::ListenOnLoopback(server);
    server.Extensions().PerMessage_Deflate.Enabled = true;
    server.Extensions().DeflateFrame.Enabled = true;
    server.OnTCPConnect = [](TzalWSConnection* connection, bool&) {
      static_cast<TzalWSConnectionServer*>(connection)->FProtocol = "superchat";
    };
    server.OnConnect = [this](TzalWSConnection*) { ++connects; };
  }
  void TearDown() override { server.SetActive(false); }

  uint16_t Port() {
    if (!server.Active())
      server.SetActive(true);
    return server.Bindings().Items(0).Port();
  }
  std::string URL() { return "ws://127.0.0.1:" + std::to_string(Port()) + "/chat"; }

  std::string RawAnswer(const std::string& request) {
    TestClient client;
    EXPECT_TRUE(client.Connect("127.0.0.1", Port()));
    EXPECT_TRUE(client.Send(request));
    const std::string answer = client.ReceiveUntil("\r\n\r\n", 3000);
    EXPECT_TRUE(client.WaitClosed(3000)) << "still open after: " << answer;
    return answer;
  }

  TzalWebSocketHTTPServer server;
  std::atomic<int> connects{0};
};

struct NodeCase {
  const char* name;
  std::string options;     // ws's perMessageDeflate options
  std::string params;  // the permessage-deflate parameters ws accepted, or null
};

class NodeWsHandshake : public HandshakePeerTest, public ::testing::WithParamInterface<NodeCase> {};

TEST_P(NodeWsHandshake, NegotiatesPerMessageDeflate) {
  const std::string options = "'{\"perMessageDeflate\": " + GetParam().options + "}'";
  const auto result = RunCommand("node " + PeerScript("ws_client.js") + " " + URL() + " " + options, 30);
  ASSERT_EQ(result.ExitCode, 0) << result.Output;
  const std::string extensions = GetParam().params == "null" ? "" : "permessage-deflate";
  EXPECT_EQ(result.Output, "{\"open\":true,\"protocol\":\"\",\"extensions\":\"" + extensions +
                               "\",\"params\":" + GetParam().params + "}\n");
  EXPECT_TRUE(test::WaitFor([&] { return connects.load() == 1; }));
}

INSTANTIATE_TEST_SUITE_P(
    Offers, NodeWsHandshake,
    ::testing::Values(
        NodeCase{"Default", "true", "{\"client_max_window_bits\":15}"},
        NodeCase{"NoTakeover", "{\"serverNoContextTakeover\": true, \"clientNoContextTakeover\": true}",
                 "{\"server_no_context_takeover\":true,\"client_no_context_takeover\":true,\"client_max_window_bits\":15}"},
        NodeCase{"WindowBits", "{\"serverMaxWindowBits\": 10, \"clientMaxWindowBits\": 9}",
                 "{\"server_max_window_bits\":10,\"client_max_window_bits\":9}"},
        NodeCase{"ServerWindowEightDeclined", "{\"serverMaxWindowBits\": 8}", "null"}),
    [](const auto& info) { return info.param.name; });

TEST_F(HandshakePeerTest, PythonWebsocketsGetsTheSubprotocolFromASpacedList) {
  const auto result = RunCommand("/usr/bin/python3 " + PeerScript("websockets_client.py") + " " + URL() +
                                     " '[\"chat\", \"superchat\"]'",
                                 30);
  ASSERT_EQ(result.ExitCode, 0) << result.Output;
  EXPECT_EQ(result.Output.substr(0, result.Output.find('\n')),
            "{\"open\": true, \"protocol\": \"superchat\", \"extensions\": "
            "\"permessage-deflate;client_max_window_bits=15\"}")
      << result.Output;
}

TEST_F(HandshakePeerTest, PythonWebsocketsSeesARefusedSubprotocolAs400) {
  const auto result =
      RunCommand("/usr/bin/python3 " + PeerScript("websockets_client.py") + " " + URL() + " '[\"mqtt\"]'", 30);
  EXPECT_EQ(result.Output, "{\"status\": 400}\n");
  EXPECT_EQ(connects.load(), 0);
}

// The key octets come 50 ms after the header block: the handshake waits for
// them up to HandshakeTimeOut, and not longer.
TEST_F(HandshakePeerTest, Hixie76KeyOctetsAreAwaitedUpToTheHandshakeTimeOut) {
  server.Options().HandshakeTimeOut = 300;
  const std::string script = "perl " + PeerScript("hixie76_client.pl") + " " + URL() + " " + std::to_string(Port());
  const auto late = RunCommand(script + " 0.05", 30);
  EXPECT_EQ(late.Output, "done\n");
  EXPECT_TRUE(test::WaitFor([&] { return connects.load() == 1; }));
  const auto tooLate = RunCommand(script + " 0.6", 30);
  EXPECT_NE(tooLate.Output, "done\n");
  EXPECT_EQ(connects.load(), 1);
}

struct RefusalCase {
  const char* name;
  std::string request;
  std::string statusLine;
};

class Refusals : public HandshakePeerTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(Refusals, AreAnsweredAndClosed) {
  server.SecurityOptions().OriginsAllowed = "http://good.example";
  server.Options().HandshakeTimeOut = 500;
  const std::string answer = RawAnswer(GetParam().request);
  EXPECT_EQ(answer.substr(0, answer.find("\r\n")), GetParam().statusLine) << answer;
  if (GetParam().statusLine.find("426") != std::string::npos) {
    EXPECT_NE(answer.find("\r\nSec-WebSocket-Version: 13\r\n"), std::string::npos) << answer;
  }
  EXPECT_EQ(connects.load(), 0);
}

const std::string kUpgrade = "Upgrade: websocket\r\nConnection: Upgrade\r\nHost: x\r\n";
const std::string kKey = "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n";

INSTANTIATE_TEST_SUITE_P(
    Handshake, Refusals,
    ::testing::Values(
        RefusalCase{"HTTP10", "GET /chat HTTP/1.0\r\n" + kUpgrade + kKey + "\r\n", "HTTP/1.1 400 Bad Request"},
        RefusalCase{"NoKey", "GET /chat HTTP/1.1\r\n" + kUpgrade + "\r\n", "HTTP/1.1 400 Bad Request"},
        RefusalCase{"Version8",
                    "GET /chat HTTP/1.1\r\n" + kUpgrade +
                        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 8\r\n\r\n",
                    "HTTP/1.1 426 Upgrade Required"},
        RefusalCase{"Origin", "GET /chat HTTP/1.1\r\n" + kUpgrade + kKey + "Origin: http://evil.example\r\n\r\n",
                    "HTTP/1.1 403 Forbidden"},
        RefusalCase{"OriginWithoutSpace", "GET /chat HTTP/1.1\r\n" + kUpgrade + kKey + "Origin:http://evil.example\r\n\r\n",
                    "HTTP/1.1 403 Forbidden"},
        RefusalCase{"DuplicateKey",
                    "GET /chat HTTP/1.1\r\n" + kUpgrade + kKey + "Sec-WebSocket-Key: MDEyMzQ1Njc4OWFiY2RlZg==\r\n\r\n",
                    "HTTP/1.1 400 Bad Request"},
        RefusalCase{"Hixie76MalformedKey",
                    "GET /chat HTTP/1.1\r\n" + kUpgrade + "Sec-WebSocket-Key1: 123\r\nSec-WebSocket-Key2: 1 2\r\n\r\n12345678",
                    "HTTP/1.1 400 Bad Request"},
        RefusalCase{"HeaderBlockNeverEnds", "GET /chat HTTP/1.1\r\n" + kUpgrade, "HTTP/1.1 400 Bad Request"}),
    [](const auto& info) { return info.param.name; });

TEST_F(HandshakePeerTest, OnHandshakeMayChangeTheAnswerAndSwitchedOffSpecificationsDisconnect) {
  server.OnHandshake = [](TzalWSConnection*, std::vector<std::string>& headers) { headers.push_back("X-Test: 1"); };
  const std::string request = "GET /chat HTTP/1.1\r\n" + kUpgrade + kKey + "\r\n";
  {
    TestClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", Port()));
    ASSERT_TRUE(client.Send(request));
    const std::string answer = client.ReceiveUntil("\r\n\r\n");
    EXPECT_EQ(answer,
              "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
              "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\nServer: zalWebSockets 4.4.6\r\nX-Test: 1\r\n\r\n");
    EXPECT_TRUE(test::WaitFor([&] { return connects.load() == 1; }));
    EXPECT_FALSE(client.WaitClosed(100));
  }
  server.Specifications().RFC6455 = false;
  EXPECT_TRUE(RawAnswer(request).starts_with("HTTP/1.1 101 "));
  EXPECT_EQ(connects.load(), 1);
}

// Outside neNoSync, OnHandshake runs on the main thread like every other
// event, and its changes still reach the answer.
TEST_F(HandshakePeerTest, OnHandshakeRunsOnTheMainThreadInTheDefaultMode) {
  server.SetNotifyEvents(neAsynchronous);
  std::thread::id raisedOn;
  server.OnHandshake = [&](TzalWSConnection*, std::vector<std::string>& headers) {
    raisedOn = std::this_thread::get_id();
    headers.push_back("X-Test: 1");
  };
  const uint16_t port = Port();
  std::string answer;
  std::atomic<bool> answered{false};
  std::thread client([&] {
    TestClient peer;
    ASSERT_TRUE(peer.Connect("127.0.0.1", port));
    ASSERT_TRUE(peer.Send("GET /chat HTTP/1.1\r\n" + kUpgrade + kKey + "\r\n"));
    answer = peer.ReceiveUntil("\r\n\r\n", 5000);
    answered = true;
  });
  ASSERT_TRUE(test::WaitFor([&] {
    CheckSynchronize(10);
    return answered.load();
  }, 6000));
  client.join();
  EXPECT_NE(answer.find("\r\nX-Test: 1\r\n"), std::string::npos) << answer;
  EXPECT_EQ(raisedOn, std::this_thread::get_id());
  server.SetActive(false);
  while (CheckSynchronize()) {
  }
}

TEST_F(HandshakePeerTest, AnAuthenticationCloseCodeClosesRightAfterTheAnswer) {
  server.OnTCPConnect = [](TzalWSConnection* connection, bool&) {
    static_cast<TzalWSConnectionServer*>(connection)->SetAuthenticationCloseCode(4001);
  };
  TestClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", Port()));
  ASSERT_TRUE(client.Send("GET /chat HTTP/1.1\r\n" + kUpgrade + kKey + "\r\n"));
  const std::string received = client.ReceiveUntil(std::string("\x88\x02\x0f\xa1", 4));
  EXPECT_TRUE(received.starts_with("HTTP/1.1 101 Switching Protocols\r\n")) << received;
  EXPECT_TRUE(received.ends_with("\r\n\r\n" + std::string("\x88\x02\x0f\xa1", 4))) << received;
}

TEST_F(HandshakePeerTest, XWebkitDeflateFrameIsAnsweredWithItsToken) {
  TestClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", Port()));
  ASSERT_TRUE(client.Send("GET /chat HTTP/1.1\r\n" + kUpgrade + kKey +
                          "Sec-WebSocket-Extensions: x-webkit-deflate-frame\r\n\r\n"));
  const std::string answer = client.ReceiveUntil("\r\n\r\n");
  EXPECT_TRUE(answer.ends_with("\r\nSec-WebSocket-Extensions: x-webkit-deflate-frame\r\n\r\n")) << answer;
}

// Chromium opens a WebSocket from a page the component serves; the page shows
// the extensions Chromium accepted. Its load event (after which the page is
// dumped) waits for an image that is answered only once the WebSocket is open.
TEST_F(HandshakePeerTest, ChromiumNegotiatesPerMessageDeflate) {
  const std::string port = std::to_string(Port());
  server.OnCommandGet = [this, port](TIdContext*, TIdHTTPRequestInfo* request, TIdHTTPResponseInfo* response) {
    if (request->Document() == "/opened") {
      test::WaitFor([this] { return connects.load() == 1; }, 10000);
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      response->SetResponseNo(404);
      return;
    }
    response->SetContentType("text/html");
    response->SetContentText("<html><body>pending<script>const ws = new WebSocket('ws://127.0.0.1:" + port +
                             "/chat'); ws.onopen = () => { document.body.textContent = 'EXT[' + ws.extensions + "
                             "']'; }; ws.onerror = () => { document.body.textContent = 'ERROR'; };</script>"
                             "<img src='/opened'></body></html>");
  };
  const auto result = RunCommand(
      "sh -c 'd=$(mktemp -d) && chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
      "--disable-background-networking --disable-component-update --disable-sync --user-data-dir=$d "
      "--dump-dom http://127.0.0.1:" +
          port + "/ 2>/dev/null; rc=$?; rm -rf $d; exit $rc'",
      60);
  EXPECT_NE(result.Output.find("EXT[permessage-deflate;client_max_window_bits=15]"), std::string::npos)
      << result.Output;
}

// RFC 7692 7.1: an offer the server cannot take is declined, the connection
// opens without compression, and nothing of the offer is echoed.
TEST_F(HandshakePeerTest, InvalidDeflateOffersAreDeclinedNotRefused) {
  for (const char* offer : {"permessage-deflate; client_max_window_bits=20",
                            "permessage-deflate; server_no_context_takeover; server_no_context_takeover",
                            "permessage-deflate; foo=1"}) {
    TestClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", Port()));
    ASSERT_TRUE(client.Send("GET /chat HTTP/1.1\r\n" + kUpgrade + kKey + "Sec-WebSocket-Extensions: " + offer + "\r\n\r\n"));
    const std::string answer = client.ReceiveUntil("\r\n\r\n");
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 101 ")) << offer << "\n" << answer;
    EXPECT_EQ(answer.find("Sec-WebSocket-Extensions"), std::string::npos) << offer << "\n" << answer;
  }
}

}  // namespace
}  // namespace zal
