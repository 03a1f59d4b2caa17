// The OAuth2 provider inside the running component: its own endpoint taken over
// from the first bytes (HTTP/1.1) or from the stream (HTTP/2), bearer tokens on
// HTTP/1.1 over TLS and on HTTP/2, checked with curl, nghttp and a raw TLS client.
#include "server/zalWebSocket_OAuth2.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <mutex>

#include "common/zalTestProcess.h"
#include "common/zalTestRecorder.h"
#include "common/zalTestSocket.h"
#include "common/zalTestTLS.h"
#include "server/zalWebSocket_Server.h"

namespace zal {
namespace {

using test::RunCommand;

struct BearerCase {
  std::vector<std::string> lines;
  std::string token;
};

class BearerTokenTest : public ::testing::TestWithParam<BearerCase> {};

TEST_P(BearerTokenTest, IsTakenFromTheFirstAuthorizationField) {
  EXPECT_EQ(BearerTokenOf(GetParam().lines), GetParam().token);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, BearerTokenTest,
    ::testing::Values(
        BearerCase{{"GET / HTTP/1.1", "Authorization: Bearer mF_9.B5f-4.1JqM"}, "mF_9.B5f-4.1JqM"},
        BearerCase{{"GET / HTTP/1.1", "authorization:bearer  a~b+c/d=="}, "a~b+c/d=="},  // case, blanks
        BearerCase{{":method=GET", "authorization=Bearer abc "}, "abc"},                  // HTTP/2 lines
        BearerCase{{"GET / HTTP/1.1", "Authorization: Basic YTpi"}, ""},
        BearerCase{{"GET / HTTP/1.1", "Authorization: Basic YTpi", "Authorization: Bearer abc"}, ""},
        BearerCase{{"GET / HTTP/1.1", "Authorization: Bearer"}, ""},
        BearerCase{{"GET / HTTP/1.1", "Authorization: Bearerabc"}, ""},
        BearerCase{{"GET / HTTP/1.1", "Authorization: Bearer a b"}, ""},  // not one b64token
        BearerCase{{"GET / HTTP/1.1", "Authorization: Bearer a=b"}, ""},  // "=" only at the end
        BearerCase{{"GET / HTTP/1.1", "Authorization: Bearer ==="}, ""},
        BearerCase{{"GET / HTTP/1.1", "Authorization: Bearer a\"b"}, ""},
        BearerCase{{"GET / HTTP/1.1", "X-Authorization: Bearer abc", "Authorizations: Bearer abc"}, ""},
        BearerCase{{"POST / HTTP/1.1", "", "Authorization: Bearer abc"}, ""}));  // in the body

// Accepts "good-token"; answers GET /oauth/token itself with "access_token=good-token".
class FakeOAuth2Provider : public TzalOAuth2Server {
public:
  bool HandleRequest(TzalWSConnectionServer& aConnection, std::span<const std::string> aLines) override {
    const bool own = !aLines.empty() && (aLines[0].starts_with("GET /oauth/token ") ||
                                         std::find(aLines.begin(), aLines.end(), ":path=/oauth/token") != aLines.end());
    if (own)
      aConnection.SendResponseHTTP("access_token=good-token", "text/plain");
    return own;
  }
  bool AcceptsBearerToken(TzalWSConnectionServer&, const std::string& aToken) override {
    return aToken == "good-token";
  }
};

class OAuth2Test : public ::testing::Test {
protected:
  void SetUp() override {
    test::ListenOnLoopback(server);
    server.SetSSL(true);
    server.SSLOptions().CertFile = certificate.File();
    server.SSLOptions().KeyFile = certificate.File();
    server.SSLOptions().Password = "kfx.pem";
    server.SetKeepAlive(true);
    server.HTTP2Options().Enabled = true;
    server.Authentication().Enabled = true;
    server.Authentication().OAuth.OAuth2 = &provider;
    server.PushPromiseAddPreLoadLinks("/page", {"/pushed"});
    server.OnCommandGet = [this](TIdContext* context, TIdHTTPRequestInfo* rq, TIdHTTPResponseInfo* rs) {
      auto* connection = static_cast<TzalWSConnectionServer*>(context->Data());
      served.Add(rq->Document() + (connection->FAuthentication.FAuthType == authOAuth2 ? " oauth2" : ""));
      rs->SetContentText("hello");
    };
    server.OnError = [this](TzalWSConnection*, const std::string& error) {
      errors.Add(error);
    };
  }
  void TearDown() override { server.SetActive(false); }

  std::string Base() {
    return "https://127.0.0.1:" + std::to_string(test::ActivePort(server));
  }
  // curl's "<status> <HTTP version>" and the body for one GET.
  std::string Curl(const std::string& arguments, const std::string& path) {
    return RunCommand("curl -sSk --max-time 20 -w ' %{http_code} %{http_version}' " + arguments + " " + Base() + path, 30)
        .Output;
  }
  // A raw TLS client (HTTP/1.1) that has sent `requests`.
  std::unique_ptr<test::TLSTestClient> Sent(const std::string& requests) {
    const std::string base = Base();
    auto client = std::make_unique<test::TLSTestClient>();
    EXPECT_TRUE(client->Connect(static_cast<uint16_t>(std::stoi(base.substr(base.rfind(':') + 1))))) << client->Error();
    EXPECT_TRUE(client->Send(requests));
    return client;
  }
  // Everything it gets until the server closes.
  std::string Exchange(const std::string& requests) { return Sent(requests)->ReceiveAll(5000); }

  test::TestCertificate certificate;
  FakeOAuth2Provider provider;
  test::TestRecorder<std::string> served, errors;
  TzalWebSocketHTTPServer server;
};

using test::Count;

// Every request is checked: a good token does not open the connection for the
// next request, which has none. A refusal has no body and ends the connection.
TEST_F(OAuth2Test, HTTP11OverTLSNeedsAGoodBearerTokenOnEveryRequest) {
  const std::string get = "GET /a HTTP/1.1\r\nHost: x\r\n";
  const std::string good = Exchange(get + "Authorization: Bearer good-token\r\n\r\n" + get + "\r\n");
  EXPECT_TRUE(good.starts_with("HTTP/1.1 200 OK\r\n")) << good;
  EXPECT_EQ(Count(good, "hello"), 1u) << good;
  const size_t refusal = good.find("HTTP/1.1 401 Unauthorized\r\n");
  ASSERT_NE(refusal, std::string::npos) << good;
  const std::string second = good.substr(refusal);
  EXPECT_NE(second.find("\r\nWWW-Authenticate: Bearer\r\n"), std::string::npos) << second;
  EXPECT_NE(second.find("\r\nContent-Length: 0\r\n"), std::string::npos) << second;
  EXPECT_TRUE(second.ends_with("\r\n\r\n")) << second;
  for (const std::string authorization : {"Bearer bad-token", "Basic YTpi"}) {
    const std::string refused = Exchange(get + "Authorization: " + authorization + "\r\n\r\n" + get + "\r\n");
    EXPECT_EQ(Count(refused, "HTTP/1.1 "), 1u) << refused;
    EXPECT_TRUE(refused.starts_with("HTTP/1.1 401 Unauthorized\r\n")) << refused;
    const std::string challenge = authorization.starts_with("Bearer") ? "Bearer error=\"invalid_token\"" : "Bearer";
    EXPECT_NE(refused.find("\r\nWWW-Authenticate: " + challenge + "\r\n"), std::string::npos) << refused;
  }
  EXPECT_EQ(served.Items(), std::vector<std::string>{"/a oauth2"});
}

TEST_F(OAuth2Test, AnUpgradeIsAuthenticatedByABearerTokenTheProviderAccepts) {
  test::TestRecorder<TwsAuthentication> connected;
  server.OnConnect = [&](TzalWSConnection* connection) {
    connected.Add(static_cast<TzalWSConnectionServer*>(connection)->FAuthentication.FAuthType);
  };
  for (const auto& [authorization, accepted] : std::vector<std::pair<std::string, bool>>{
           {"Authorization: Bearer good-token\r\n", true}, {"Authorization: Bearer bad-token\r\n", false}, {"", false}}) {
    const std::string answer = Sent("GET /chat HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n" +
                                    authorization + "\r\n")
                                   ->ReceiveUntil("\r\n\r\n", 3000);
    EXPECT_TRUE(answer.starts_with(accepted ? "HTTP/1.1 101 " : "HTTP/1.1 403 Forbidden\r\n")) << authorization << answer;
  }
  EXPECT_EQ(errors.ItemsAfter(2), std::vector<std::string>(2, "Authentication Denied"));
  EXPECT_EQ(connected.Items(), std::vector<TwsAuthentication>{authOAuth2});
}

TEST_F(OAuth2Test, TheProviderAnswersItsOwnEndpointOverHTTP11AndHTTP2) {
  const std::string answer = Exchange("GET /oauth/token HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_TRUE(answer.starts_with("HTTP/1.1 200 OK\r\n")) << answer;
  EXPECT_TRUE(answer.ends_with("\r\n\r\naccess_token=good-token\r\n")) << answer;
  EXPECT_EQ(Curl("--http2", "/oauth/token"), "access_token=good-token 200 2");
  EXPECT_TRUE(served.Items().empty());
}

TEST_F(OAuth2Test, CurlIsServedWithAGoodTokenAndRefusedWithABadOneOnBothProtocols) {
  for (const std::string protocol : {"--http1.1", "--http2"}) {
    const std::string version = protocol == "--http2" ? "2" : "1.1";
    EXPECT_EQ(Curl(protocol + " --oauth2-bearer good-token", "/a"), "hello 200 " + version);
    EXPECT_EQ(Curl(protocol + " --oauth2-bearer bad-token", "/b"), " 401 " + version);
    EXPECT_EQ(Curl(protocol, "/c"), " 401 " + version);
  }
  EXPECT_EQ(served.Items(), (std::vector<std::string>{"/a oauth2", "/a oauth2"}));
  EXPECT_EQ(errors.ItemsAfter(2), std::vector<std::string>(2, "Unsupported authorization scheme."))
      << "each HTTP/2 refusal ends its connection through the error path";
}

// "type/stream" of each HTTP/2 frame in `octets`.
std::vector<std::string> FramesOf(const std::string& octets) {
  std::vector<std::string> frames;
  for (size_t at = 0; at + 9 <= octets.size();) {
    const auto octet = [&](size_t i) { return static_cast<uint8_t>(octets[at + i]); };
    const size_t length = size_t{octet(0)} << 16 | size_t{octet(1)} << 8 | octet(2);
    const uint32_t stream = uint32_t{octet(5)} << 24 | uint32_t{octet(6)} << 16 | uint32_t{octet(7)} << 8 | octet(8);
    frames.push_back(std::to_string(octet(3)) + "/" + std::to_string(stream));
    at += 9 + length;
  }
  return frames;
}

// The refusal answers the request's own stream; GOAWAY (NO_ERROR, last stream 1)
// follows and the server closes the connection.
TEST_F(OAuth2Test, AnHTTP2RefusalAnswersItsOwnStreamThenEndsTheConnection) {
  const test::CommandResult nghttp = RunCommand("nghttp -nv -H 'authorization: Bearer bad-token' " + Base() + "/a", 30);
  EXPECT_NE(nghttp.Output.find("recv (stream_id=13) :status: 401"), std::string::npos) << nghttp.Output;
  EXPECT_NE(nghttp.Output.find("recv (stream_id=13) www-authenticate: Bearer error=\"invalid_token\""),
            std::string::npos)
      << nghttp.Output;
  test::TLSTestClient client;
  ASSERT_TRUE(client.Connect(server.Bindings().Items(0).Port(), {.alpn = {"h2"}})) << client.Error();
  // :method GET, :scheme https, :path "/a", :authority "x", authorization "Bearer bad-token" (RFC 7541 C.2)
  const std::string block = "\x82\x87\x04\x02/a\x01\x01x\x0f\x08\x10" "Bearer bad-token";
  const std::string headers = std::string("\0\0", 2) + static_cast<char>(block.size()) + "\x01\x05" +
                              std::string("\0\0\0\x01", 4) + block;
  ASSERT_TRUE(client.Send("PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n" + std::string("\0\0\0\x04\0\0\0\0\0", 9) + headers));
  const std::string answer = client.ReceiveAll(5000);
  const std::vector<std::string> frames = FramesOf(answer);
  ASSERT_GE(frames.size(), 3u) << answer.size();
  EXPECT_EQ(std::vector<std::string>(frames.end() - 2, frames.end()), (std::vector<std::string>{"1/1", "7/0"}));
  EXPECT_TRUE(answer.ends_with(std::string("\0\0\0\x01\0\0\0\0", 8))) << "last stream 1, NO_ERROR";
  EXPECT_TRUE(client.PeerSentCloseNotify());
}

// The streams a good request's answer promises carry no token of their own: they
// are served.
TEST_F(OAuth2Test, PushesPromisedToAGoodHTTP2RequestAreServed) {
  const test::CommandResult pushed =
      RunCommand("nghttp -nv -H 'authorization: Bearer good-token' " + Base() + "/page", 30);
  EXPECT_EQ(pushed.ExitCode, 0) << pushed.Output;
  EXPECT_EQ(Count(pushed.Output, ":status: 200"), 2u) << pushed.Output;
  EXPECT_EQ(pushed.Output.find("recv GOAWAY"), std::string::npos) << pushed.Output;
  EXPECT_EQ(served.Items(), (std::vector<std::string>{"/page oauth2", "/pushed oauth2"}));
}

// Without a provider an HTTP/2 request's Authorization field is parsed as on
// HTTP/1.1: a scheme nobody understands is refused only while authentication is on.
TEST_F(OAuth2Test, WithoutAProviderAnUnknownSchemeIsRefusedOnlyWithAuthenticationOn) {
  server.Authentication().OAuth.OAuth2 = nullptr;
  server.Authentication().Enabled = false;
  EXPECT_EQ(Curl("--http2 -H 'Authorization: Token abc'", "/a"), "hello 200 2");
  EXPECT_EQ(Curl("--http2 -u alice:pw", "/b"), "hello 200 2");
  server.SetActive(false);
  server.Authentication().Enabled = true;
  EXPECT_EQ(Curl("--http2 -H 'Authorization: Token abc'", "/c"), " 401 2");
  EXPECT_EQ(served.Items(), (std::vector<std::string>{"/a", "/b"}));
  EXPECT_EQ(errors.ItemsAfter(1), std::vector<std::string>{"Unsupported authorization scheme."});
}

}  // namespace
}  // namespace zal
