// python3-websockets authenticating its upgrade by URL credentials and by a
// session ID from the session request, against the component on a loopback port.
#include <gtest/gtest.h>

#include <regex>

#include "common/zalTestProcess.h"
#include "common/zalTestSocket.h"
#include "websocket/EchoServer.h"

namespace zal {
namespace {

using test::PeerScript;
using test::RunCommand;
using test::TestClient;

class AuthenticationPeerTest : public ::testing::Test {
protected:
  AuthenticationPeerTest() {
    TzalWSAuthenticationServer_Options& options = echo.Server.Authentication();
    options.Enabled = true;
    options.AuthUsers = {"ann=secret"};
  }

  // The answer to one request, up to the close that follows it.
  std::string Answer(const std::string& request) {
    TestClient client;
    EXPECT_TRUE(client.Connect("127.0.0.1", echo.Port()));
    EXPECT_TRUE(client.Send(request));
    return client.ReceiveUntil("\r\n\r\n", 3000) + client.Receive(500);  // a body up to the close
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

TEST_F(AuthenticationPeerTest, PythonWebsocketsAuthenticatesByURLAndBySessionID) {
  EXPECT_EQ(PythonEcho("/zal/auth/url/ann/secret"),
            "{\"open\": true, \"protocol\": null, \"extensions\": \"permessage-deflate;client_max_window_bits=15\"}\n"
            "{\"echo\": true, \"size\": 2}\n");
  const std::string id = SessionID("ann/secret");
  ASSERT_EQ(id.size(), 32u);
  EXPECT_EQ(PythonEcho("/zal/auth/session/" + id),
            "{\"open\": true, \"protocol\": null, \"extensions\": \"permessage-deflate;client_max_window_bits=15\"}\n"
            "{\"echo\": true, \"size\": 2}\n");
  // A used ID and a wrong password are refused with 403.
  EXPECT_EQ(PythonEcho("/zal/auth/session/" + id), "{\"status\": 403}\n");
  EXPECT_EQ(PythonEcho("/zal/auth/url/ann/wrong"), "{\"status\": 403}\n");
}

}  // namespace
}  // namespace zal
