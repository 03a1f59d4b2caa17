// Authentication of WebSocket upgrades against the component on a loopback
// port: raw requests for each way of proving who one is, the session request
// and its single-use session ID, and python3-websockets authenticating by URL
// credentials and by a session ID.
#include <gtest/gtest.h>

#include <regex>

#include "common/zalTestProcess.h"
#include "common/zalTestSocket.h"
#include "support/zalIdCoderMIME.h"
#include "websocket/EchoServer.h"

namespace zal {
namespace {

using test::PeerScript;
using test::RunCommand;
using test::TestClient;

std::string Upgrade(const std::string& target, const std::string& extra = "") {
  return "GET " + target +
         " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
         "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n" +
         extra + "\r\n";
}

std::string Basic(const std::string& credentials) {
  return "Authorization: Basic " + TIdEncoderMIME::EncodeString(credentials) + "\r\n";
}

class AuthenticationPeerTest : public ::testing::Test {
protected:
  AuthenticationPeerTest() {
    TzalWSAuthenticationServer_Options& options = echo.Server.Authentication();
    options.Enabled = true;
    options.Basic.Enabled = true;
    options.AuthUsers = {"ann=secret", "bob=pa:ss"};
  }

  // The answer to one request, up to its end or the close that follows it.
  std::string Answer(const std::string& request) {
    TestClient client;
    EXPECT_TRUE(client.Connect("127.0.0.1", echo.Port()));
    EXPECT_TRUE(client.Send(request));
    std::string answer = client.ReceiveUntil("\r\n\r\n", 3000);
    if (!answer.starts_with("HTTP/1.1 101"))
      answer += client.Receive(500);  // a body up to the close
    return answer;
  }
  // The session ID of a successful session request, or "".
  std::string SessionID(const std::string& credentials) {
    const std::string answer = Answer("GET /zal/req/auth/session/" + credentials + " HTTP/1.1\r\nHost: x\r\n\r\n");
    std::smatch match;
    return std::regex_search(answer, match, std::regex("\r\n\r\n([0-9A-F]{32})\r\n")) ? match[1].str() : "";
  }
  std::string PythonEcho(const std::string& target) {
    return RunCommand("/usr/bin/python3 " + PeerScript("websockets_client.py") + " ws://127.0.0.1:" +
                          std::to_string(echo.Port()) + target + " '[]' '[{\"text\": \"hi\"}]'",
                      30)
        .Output;
  }

  test::EchoServer echo;
};

struct UpgradeCase {
  const char* name;
  std::string target, extra;
  bool accepted;
};

class Upgrades : public AuthenticationPeerTest, public ::testing::WithParamInterface<UpgradeCase> {};

TEST_P(Upgrades, AreAcceptedOnlyWithCredentials) {
  const std::string answer = Answer(Upgrade(GetParam().target, GetParam().extra));
  EXPECT_TRUE(answer.starts_with(GetParam().accepted ? "HTTP/1.1 101 " : "HTTP/1.1 403 Forbidden\r\n")) << answer;
}

INSTANTIATE_TEST_SUITE_P(
    Authentication, Upgrades,
    ::testing::Values(UpgradeCase{"URLCredentials", "/zal/auth/url/ann/secret", "", true},
                      UpgradeCase{"URLUserNameIgnoresCase", "/zal/auth/url/ANN/secret/chat", "", true},
                      UpgradeCase{"URLWrongPassword", "/zal/auth/url/ann/Secret", "", false},
                      UpgradeCase{"URLWithoutPassword", "/zal/auth/url/ann", "", false},
                      UpgradeCase{"BasicCredentials", "/chat", Basic("ann:secret"), true},
                      UpgradeCase{"BasicPasswordWithColon", "/chat", Basic("bob:pa:ss"), true},
                      UpgradeCase{"BasicWrongPassword", "/chat", Basic("ann:wrong"), false},
                      UpgradeCase{"BasicWithoutColon", "/chat", Basic("annsecret"), false},
                      UpgradeCase{"UnknownSessionID", "/zal/auth/session/0123456789ABCDEF0123456789ABCDEF", "", false},
                      UpgradeCase{"UnknownScheme", "/chat", "Authorization: Bearer abc\r\n", false},
                      UpgradeCase{"NoCredentials", "/chat", "", false}),
    [](const auto& info) { return info.param.name; });

TEST_F(AuthenticationPeerTest, SessionRequestAnswersThreeLinesOr404) {
  echo.Server.OnTCPConnect = [](TzalWSConnection* connection, bool&) { connection->FProtocol = "chat,superchat"; };
  const std::string answer = Answer("GET /zal/req/auth/session/ann/secret HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_TRUE(std::regex_match(answer, std::regex("HTTP/1\\.1 200 OK\r\nCache-Control: no-cache\r\n"
                                                  "Content-Type: text/plain\r\nServer: zalWebSockets 4\\.4\\.6\r\n\r\n"
                                                  "[0-9A-F]{32}\r\n\r\nchat,superchat\r\n\r\n")))
      << answer;
  EXPECT_EQ(Answer("GET /zal/req/auth/session/ann/wrong HTTP/1.1\r\nHost: x\r\n\r\n"),
            "HTTP/1.1 404 Not Found\r\n\r\n");
}

TEST_F(AuthenticationPeerTest, SessionIDOpensExactlyOneUpgrade) {
  const std::string id = SessionID("ann/secret");
  ASSERT_EQ(id.size(), 32u);
  EXPECT_TRUE(Answer(Upgrade("/zal/auth/session/" + id)).starts_with("HTTP/1.1 101 "));
  EXPECT_TRUE(Answer(Upgrade("/zal/auth/session/" + id)).starts_with("HTTP/1.1 403 "));
  EXPECT_EQ(SessionID("ann/wrong"), "");
}

TEST_F(AuthenticationPeerTest, AllowNonAuthLetsTheUnknownIn) {
  echo.Server.Authentication().AllowNonAuth = true;
  EXPECT_TRUE(Answer(Upgrade("/chat")).starts_with("HTTP/1.1 101 "));
}

TEST_F(AuthenticationPeerTest, ApplicationDecidesWhenNoCredentialsCame) {
  std::string seen = "-";
  echo.Server.OnAuthentication = [&](TzalWSConnection*, const std::string& user, const std::string& password,
                                     bool& authenticated) {
    seen = user + ":" + password;
    authenticated = true;
  };
  EXPECT_TRUE(Answer(Upgrade("/chat")).starts_with("HTTP/1.1 101 "));
  EXPECT_EQ(seen, ":");
}

TEST_F(AuthenticationPeerTest, UnknownSchemeGoesToTheApplication) {
  echo.Server.OnUnknownAuthentication = [](TzalWSConnection*, const std::string& scheme, const std::string& data,
                                           std::string& user, std::string&, bool& authenticated) {
    authenticated = scheme == "Bearer" && data == "t0ken";
    user = "carol";
  };
  EXPECT_TRUE(Answer(Upgrade("/chat", "Authorization: Bearer t0ken\r\n")).starts_with("HTTP/1.1 101 "));
  EXPECT_TRUE(Answer(Upgrade("/chat", "Authorization: Bearer other\r\n")).starts_with("HTTP/1.1 403 "));
}

TEST_F(AuthenticationPeerTest, PythonWebsocketsAuthenticatesByURLAndBySessionID) {
  EXPECT_EQ(PythonEcho("/zal/auth/url/ann/secret"),
            "{\"open\": true, \"protocol\": null, \"extensions\": \"permessage-deflate;client_max_window_bits=15\"}\n"
            "{\"echo\": true, \"size\": 2}\n");
  const std::string id = SessionID("ann/secret");
  ASSERT_EQ(id.size(), 32u);
  EXPECT_EQ(PythonEcho("/zal/auth/session/" + id),
            "{\"open\": true, \"protocol\": null, \"extensions\": \"permessage-deflate;client_max_window_bits=15\"}\n"
            "{\"echo\": true, \"size\": 2}\n");
  EXPECT_EQ(PythonEcho("/zal/auth/session/" + id), "{\"status\": 403}\n");  // used up
  EXPECT_EQ(PythonEcho("/zal/auth/url/ann/wrong"), "{\"status\": 403}\n");
}

}  // namespace
}  // namespace zal
