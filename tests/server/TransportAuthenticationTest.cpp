// With authentication on, every transport that reaches the application or its
// messages asks for the same proof: upgrades, event streams, protocol posts,
// HTTP/1.1 and HTTP/2 requests, with Basic, URL, session and bearer credentials.
#include <gtest/gtest.h>

#include <mutex>

#include "common/zalTestProcess.h"
#include "common/zalTestSocket.h"
#include "server/zalWebSocket_OAuth2.h"
#include "server/zalWebSocket_Server.h"
#include "support/zalIdCoderMIME.h"

namespace zal {
namespace {

using test::TestClient;

enum Credential { None, Basic, URL, Session, Bearer };
enum Transport { Upgrade, EventStream, ProtocolPost, HTTP1 };

struct Case {
  Transport Via;
  Credential With;
  bool Admitted;
};

class TokenProvider : public TzalOAuth2Server {
public:
  bool HandleRequest(TzalWSConnectionServer&, std::span<const std::string>) override { return false; }
  bool AcceptsBearerToken(TzalWSConnectionServer&, const std::string& aToken) override { return aToken == "good"; }
};

class EchoProtocol : public TzalWSProtocol {
public:
  EchoProtocol() : TzalWSProtocol("echo") {}
  void DoProtocolPost(TzalWSConnection*, const std::string&, const std::string& aBody, std::string& aResponse) override {
    aResponse = aBody;
  }
};

std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
  static const char* transports[] = {"Upgrade", "EventStream", "ProtocolPost", "HTTP1"};
  static const char* credentials[] = {"None", "Basic", "URL", "Session", "Bearer"};
  return std::string(transports[info.param.Via]) + credentials[info.param.With];
}

class TransportAuthentication : public ::testing::TestWithParam<Case> {
protected:
  void SetUp() override {
    TIdSocketHandle& binding = server.Bindings().Add();
    binding.SetIP("127.0.0.1");
    binding.SetPort(0);
    server.SetNotifyEvents(neNoSync);
    server.Authentication().Enabled = true;
    server.Authentication().Basic.Enabled = true;
    server.Authentication().AuthUsers = {"alice=s3cret"};
    server.Authentication().OAuth.OAuth2 = &provider;
    server.FallBack().ServerSentEvents.Enabled = true;
    server.HTTP2Options().Enabled = true;
    server.RegisterProtocol(&protocol);
    server.OnCommandGet = [](TIdContext*, TIdHTTPRequestInfo*, TIdHTTPResponseInfo* response) {
      response->SetContentText("page");
    };
    server.SetActive(true);
  }
  void TearDown() override {
    server.SetActive(false);
    server.UnRegisterProtocol(&protocol);
  }
  uint16_t Port() { return server.Bindings().Items(0).Port(); }

  std::string Exchange(const std::string& request) {
    TestClient client;
    EXPECT_TRUE(client.Connect("127.0.0.1", Port()));
    EXPECT_TRUE(client.Send(request));
    std::string answer = client.ReceiveUntil("\r\n\r\n", 2000);
    return answer + client.Receive(answer.starts_with("HTTP/1.1 101") ? 0 : 200);
  }
  // The target prefix and header lines that carry a credential.
  std::pair<std::string, std::string> Carrying(Credential credential) {
    switch (credential) {
      case Basic: return {"", "Authorization: Basic " + TIdEncoderMIME::EncodeString("alice:s3cret") + "\r\n"};
      case URL: return {"/zal/auth/url/alice/s3cret", ""};
      case Session: return {"/zal/auth/session/" + SessionID(), ""};
      case Bearer: return {"", "Authorization: Bearer good\r\n"};
      default: return {"", ""};
    }
  }
  std::string SessionID() {
    const std::string answer = Exchange("GET /zal/req/auth/session/alice/s3cret HTTP/1.1\r\nHost: x\r\n\r\n");
    const size_t body = answer.find("\r\n\r\n");
    return body == std::string::npos ? "" : answer.substr(body + 4, 32);
  }
  std::string Request(Transport via, Credential with) {
    const auto [prefix, headers] = Carrying(with);
    switch (via) {
      case Upgrade:
        return "GET " + prefix + "/chat HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
               "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n" + headers + "\r\n";
      case EventStream:
        return "GET " + prefix + "/events HTTP/1.1\r\nHost: x\r\nAccept: text/event-stream\r\n" + headers + "\r\n";
      case ProtocolPost:
        return "POST /zal/protocol/echo/x HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n" + headers + "\r\nhello";
      default:
        return "GET /page HTTP/1.1\r\nHost: x\r\n" + headers + "\r\n";
    }
  }
  static bool ShowsAdmission(Transport via, const std::string& answer) {
    switch (via) {
      case Upgrade: return answer.starts_with("HTTP/1.1 101");
      case EventStream: return answer.find("retry: ") != std::string::npos;
      case ProtocolPost: return answer.starts_with("HTTP/1.1 200") && answer.find("\r\n\r\nhello") != std::string::npos;
      default: return answer.starts_with("HTTP/1.1 200") && answer.ends_with("page");
    }
  }

  TzalWebSocketHTTPServer server;
  TokenProvider provider;
  EchoProtocol protocol;
};

TEST_P(TransportAuthentication, OnlyAProvenClientGetsThrough) {
  const Case& c = GetParam();
  const std::string answer = Exchange(Request(c.Via, c.With));
  EXPECT_EQ(ShowsAdmission(c.Via, answer), c.Admitted) << answer;
  if (!c.Admitted) {
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 403") || answer.starts_with("HTTP/1.1 401")) << answer;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Transports, TransportAuthentication,
    ::testing::Values(Case{Upgrade, None, false}, Case{Upgrade, Basic, true}, Case{Upgrade, URL, true},
                      Case{Upgrade, Session, true}, Case{Upgrade, Bearer, true},
                      Case{EventStream, None, false}, Case{EventStream, Basic, true}, Case{EventStream, URL, true},
                      Case{EventStream, Session, true}, Case{EventStream, Bearer, true},
                      Case{ProtocolPost, None, false}, Case{ProtocolPost, Basic, true},
                      Case{ProtocolPost, Bearer, true}, Case{HTTP1, None, false}, Case{HTTP1, Basic, true}, Case{HTTP1, Bearer, true}),
    CaseName);

// A long-polling post carries no credentials of its own: the key of an event
// stream, which only an admitted client learns, stands for them.
TEST_F(TransportAuthentication, PostsReachOnlyAStreamThatWasAdmitted) {
  std::mutex lock;
  std::string key, delivered;
  server.OnConnect = [&](TzalWSConnection* connection) {
    std::lock_guard hold(lock);
    key = connection->Guid();
  };
  server.OnMessage = [&](TzalWSConnection*, const std::string& text) {
    std::lock_guard hold(lock);
    delivered = text;
  };
  const auto post = [&](Credential streamCredential) {
    TestClient stream;
    EXPECT_TRUE(stream.Connect("127.0.0.1", Port()));
    EXPECT_TRUE(stream.Send(Request(EventStream, streamCredential)));
    stream.ReceiveUntil("\r\n\r\n");
    test::WaitFor([&] { std::lock_guard hold(lock); return !key.empty(); }, 500);
    std::string target;
    {
      std::lock_guard hold(lock);
      target = std::exchange(key, "");
      delivered.clear();
    }
    const std::string answer = Exchange("POST /zal/xhr/" + target + " HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\nhi");
    test::WaitFor([&] { std::lock_guard hold(lock); return !delivered.empty(); }, 300);
    std::lock_guard hold(lock);
    return delivered;
  };
  EXPECT_EQ(post(None), "");
  EXPECT_EQ(post(Basic), "hi");
}

// With an OAuth2 provider, an HTTP/2 request proves its client by a bearer token.
TEST_F(TransportAuthentication, HTTP2RequestsNeedTheProofToo) {
  const std::string curl = "curl -s --max-time 10 --http2-prior-knowledge -o /dev/null -w '%{http_version} %{http_code}' ";
  const std::string url = " http://127.0.0.1:" + std::to_string(Port()) + "/page";
  EXPECT_EQ(test::RunCommand(curl + url, 20).Output, "2 401");
  EXPECT_EQ(test::RunCommand(curl + "-u alice:s3cret" + url, 20).Output, "2 401");
  EXPECT_EQ(test::RunCommand(curl + "-H 'Authorization: Bearer good'" + url, 20).Output, "2 200");
}

}  // namespace
}  // namespace zal
