// Authentication of WebSocket upgrades inside the running component: Basic
// headers, credentials in the URL, session IDs issued by the session request,
// other Authorization schemes, and the refusal of a client that proves nothing.
#include <gtest/gtest.h>

#include <thread>

#include "common/zalTestRecorder.h"
#include "common/zalTestSocket.h"
#include "server/zalWebSocket_Server.h"
#include "support/zalIdCoderMIME.h"

namespace zal {
namespace {

using test::TestClient;

constexpr const char* kUpgradeHeaders =
    " HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n";

// A session request's ID (its answer's first line), or "" when refused.
std::string SessionIDFrom(const std::string& answer) {
  if (!answer.starts_with("HTTP/1.1 200"))
    return "";
  const size_t body = answer.find("\r\n\r\n") + 4;
  return answer.substr(body, answer.find("\r\n", body) - body);
}

class UpgradeAuthenticationTest : public ::testing::Test {
protected:
  void SetUp() override {
    test::ListenOnLoopback(server);
    server.Authentication().Enabled = true;
    server.Authentication().Basic.Enabled = true;
    server.Authentication().AuthUsers = {"alice=s3cret"};
    server.OnError = [this](TzalWSConnection*, const std::string& error) {
      errors.Add(error);
    };
  }
  void TearDown() override { server.SetActive(false); }

  // The answer to one request on a new connection (the server closes after it or not).
  std::string Answer(const std::string& request) {
    TestClient client = test::ConnectedTo(server);
    EXPECT_TRUE(client.Send(request));
    return client.ReceiveUntil("\r\n\r\n", 1000);
  }
  std::string SessionID() {
    TestClient client = test::ConnectedTo(server);
    EXPECT_TRUE(client.Send("GET /zal/req/auth/session/alice/s3cret HTTP/1.1\r\nHost: x\r\n\r\n"));
    return SessionIDFrom(client.Receive(1000));
  }
  std::string Upgrade(const std::string& target, const std::string& headers = "") {
    return Answer("GET " + target + kUpgradeHeaders + headers + "\r\n");
  }
  // The errors follow the refusal a client reads: wait for them with ItemsAfter.
  test::TestRecorder<std::string> errors;
  TzalWebSocketHTTPServer server;
};

constexpr const char* kSwitching = "HTTP/1.1 101";
constexpr const char* kForbidden = "HTTP/1.1 403 Forbidden\r\n";

TEST_F(UpgradeAuthenticationTest, EachWayOfProvingTheClientIsCheckedAgainstTheUserList) {
  server.Authentication().AuthUsers.push_back("bob=pa:ss");
  const auto basic = [](const std::string& credentials) {
    return "Authorization: Basic " + TIdEncoderMIME::EncodeString(credentials) + "\r\n";
  };
  EXPECT_TRUE(Upgrade("/chat", basic("alice:s3cret")).starts_with(kSwitching));
  EXPECT_TRUE(Upgrade("/chat", basic("bob:pa:ss")).starts_with(kSwitching));  // RFC 7617 2: the user ends at the first colon
  EXPECT_TRUE(Upgrade("/zal/auth/url/ALICE/s3cret").starts_with(kSwitching));  // user names ignore case
  for (const auto& [target, headers] : std::vector<std::pair<std::string, std::string>>{
           {"/chat", basic("alice:guess")}, {"/chat", basic("alice:s3:cret")}, {"/chat", basic("alice")},
           {"/zal/auth/url/alice/S3CRET", ""}, {"/zal/auth/url/alice", ""}, {"/chat", ""}})
    EXPECT_TRUE(Upgrade(target, headers).starts_with(kForbidden)) << target << " " << headers;
  EXPECT_EQ(errors.ItemsAfter(6), std::vector<std::string>(6, "Authentication Denied"));
}

TEST_F(UpgradeAuthenticationTest, ASessionIDFromTheSessionRequestOpensExactlyOneUpgrade) {
  EXPECT_TRUE(Answer("GET /zal/req/auth/session/alice/wrong HTTP/1.1\r\nHost: x\r\n\r\n").starts_with("HTTP/1.1 404"));
  const std::string id = SessionID();
  ASSERT_EQ(id.size(), 32u);
  EXPECT_TRUE(Upgrade("/zal/auth/session/" + id).starts_with(kSwitching));
  EXPECT_TRUE(Upgrade("/zal/auth/session/" + id).starts_with(kForbidden));  // consumed
}

// Unused IDs expire after Session.TimeOut; past Session.MaxCount the oldest go.
TEST_F(UpgradeAuthenticationTest, SessionIDsExpireAndTheirNumberIsCapped) {
  server.Authentication().Session.TimeOut = 400;
  server.Authentication().Session.MaxCount = 2;
  const std::string expiring = SessionID();
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  EXPECT_TRUE(Upgrade("/zal/auth/session/" + expiring).starts_with(kForbidden));
  const std::string oldest = SessionID(), second = SessionID(), newest = SessionID();
  EXPECT_TRUE(Upgrade("/zal/auth/session/" + oldest).starts_with(kForbidden));
  EXPECT_TRUE(Upgrade("/zal/auth/session/" + second).starts_with(kSwitching));
  EXPECT_TRUE(Upgrade("/zal/auth/session/" + newest).starts_with(kSwitching));
}

TEST_F(UpgradeAuthenticationTest, OtherSchemesGoToOnUnknownAuthenticationAndNoProofToOnAuthentication) {
  std::string scheme, data;
  server.OnUnknownAuthentication = [&](TzalWSConnection*, const std::string& aScheme, const std::string& aData,
                                       std::string& user, std::string&, bool& authenticated) {
    scheme = aScheme;
    data = aData;
    user = "token-user";
    authenticated = aData == "good";
  };
  EXPECT_TRUE(Upgrade("/chat", "Authorization: Bearer good\r\n").starts_with(kSwitching));
  EXPECT_EQ(scheme + " " + data, "Bearer good");
  EXPECT_TRUE(Upgrade("/chat", "Authorization: Bearer bad\r\n").starts_with(kForbidden));
  server.OnAuthentication = [](TzalWSConnection*, const std::string& user, const std::string&, bool& answer) {
    answer = user.empty();
  };
  EXPECT_TRUE(Upgrade("/chat").starts_with(kSwitching));
}

TEST_F(UpgradeAuthenticationTest, AllowNonAuthLetsAClientThatProvesNothingIn) {
  server.Authentication().AllowNonAuth = true;
  EXPECT_TRUE(Upgrade("/chat").starts_with(kSwitching));
  EXPECT_TRUE(errors.Items().empty());
}

}  // namespace
}  // namespace zal
