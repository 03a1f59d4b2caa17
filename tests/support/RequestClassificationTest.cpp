#include "support/zalRequestClassification.h"

#include <gtest/gtest.h>

#include <ostream>

#include <vector>

namespace zal {
namespace {

using Lines = std::vector<std::string>;

const Lines kUpgrade{"GET /chat HTTP/1.1", "Host: x", "upgrade: WebSocket", "Connection: Upgrade"};

TEST(RequestClassification, RequestLinesByMethod) {
  EXPECT_EQ(GetRequestLineGET(kUpgrade), "GET /chat HTTP/1.1");
  EXPECT_EQ(GetRequestLinePOST(kUpgrade), "");
  EXPECT_EQ(GetRequestLinePOST(Lines{"post /zal/xhr/ HTTP/1.1"}), "post /zal/xhr/ HTTP/1.1");
  EXPECT_EQ(GetRequestLineGET(Lines{}), "");
}

TEST(RequestClassification, RequestTargetsAndTheirLastSegment) {
  EXPECT_EQ(GetRequestTarget("GET /a/b/c.js HTTP/1.1"), "/a/b/c.js");
  EXPECT_EQ(GetRequestTarget("POST /zal/xhr/ HTTP/1.1"), "/zal/xhr/");
  EXPECT_EQ(GetRequestTarget("GET /no-version"), "");
  EXPECT_EQ(GetRequestTarget("GET"), "");
  EXPECT_EQ(GetLastPathSegment(Lines{"GET /a/b/c.js HTTP/1.1"}), "c.js");
  EXPECT_EQ(GetLastPathSegment(Lines{"GET /a/ HTTP/1.1"}), "");
  EXPECT_EQ(GetLastPathSegment(Lines{"POST /a/b HTTP/1.1"}), "");
}

TEST(RequestClassification, WebSocketUpgradeNeedsHttp1GetAndTheUpgradeLine) {
  EXPECT_TRUE(IsHTTP1Request(kUpgrade));
  EXPECT_TRUE(IsWebSocketUpgrade(kUpgrade));
  EXPECT_FALSE(IsWebSocketUpgrade(Lines{"POST /chat HTTP/1.1", "Upgrade: websocket"}));
  EXPECT_FALSE(IsWebSocketUpgrade(Lines{"GET /chat HTTP/2", "Upgrade: websocket"}));
  EXPECT_FALSE(IsWebSocketUpgrade(Lines{"GET /chat HTTP/1.1", "Upgrade: h2c"}));
  EXPECT_FALSE(IsWebSocketUpgrade(Lines{}));
}

TEST(RequestClassification, AuthorizationAndBasicCredentials) {
  const Lines basic{"GET / HTTP/1.1", "authorization: basic dXNlcjpw6XNz"};  // user:p\xE9ss
  EXPECT_TRUE(HasAuthorization(basic));
  EXPECT_TRUE(HasBasicAuthorization(basic));
  EXPECT_EQ(GetBasicCredentials(basic), "user:p\xC3\xA9ss");  // decoded octet for octet
  const Lines query{"GET /x?authorization=abc HTTP/1.1"};
  EXPECT_TRUE(HasAuthorization(query));
  EXPECT_FALSE(HasBasicAuthorization(query));
  EXPECT_EQ(GetBasicCredentials(query), "");
  // RFC 9110 5.5: white space around a field value is optional.
  const Lines tight{"GET / HTTP/1.1", "Authorization:Basic dXNlcjpw \t"};
  EXPECT_TRUE(HasBasicAuthorization(tight));
  EXPECT_EQ(GetBasicCredentials(tight), "user:p");
  EXPECT_FALSE(HasAuthorization(Lines{"GET / HTTP/1.1", "Authorization :Basic dXNlcjpw"}));
  EXPECT_FALSE(HasBasicAuthorization(Lines{"GET / HTTP/1.1", "Authorization: Basicx dXNlcjpw"}));
}

struct EndpointCase {
  std::string requestLine;
  bool sessionRequest, urlAuth, sessionPage, longPolling, protocolPost;
};

std::ostream& operator<<(std::ostream& os, const EndpointCase& c) { return os << c.requestLine; }

class Endpoints : public ::testing::TestWithParam<EndpointCase> {};

TEST_P(Endpoints, AreRecognisedByTheirRequestLine) {
  const Lines lines{GetParam().requestLine, "Host: x"};
  EXPECT_EQ(IsSessionAuthenticationRequest(lines), GetParam().sessionRequest);
  EXPECT_EQ(IsURLAuthenticationRequest(lines), GetParam().urlAuth);
  EXPECT_EQ(IsSessionAuthenticationPage(lines), GetParam().sessionPage);
  EXPECT_EQ(IsLongPollingPost(lines), GetParam().longPolling);
  EXPECT_EQ(IsProtocolPost(lines), GetParam().protocolPost);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Endpoints,
    ::testing::Values(EndpointCase{"GET /zal/req/auth/session/ HTTP/1.1", true, false, false, false, false},
                      EndpointCase{"get /ZAL/auth/url/?u=1 HTTP/1.1", false, true, false, false, false},
                      EndpointCase{"GET /zal/auth/session/x HTTP/1.1", false, false, true, false, false},
                      EndpointCase{"POST /zal/xhr/ HTTP/1.1", false, false, false, true, false},
                      EndpointCase{"POST /zal/protocol/abc HTTP/1.1", false, false, false, false, true},
                      EndpointCase{"POST /zal/req/auth/session/ HTTP/1.1", false, false, false, false, false},
                      EndpointCase{"GET /zal/xhr/ HTTP/1.1", false, false, false, false, false},
                      EndpointCase{"GET /index.html HTTP/1.1", false, false, false, false, false}));

TEST(RequestClassification, FlashPolicyAndServerSentEvents) {
  EXPECT_TRUE(IsFlashPolicyRequest(Lines{"<policy-file-request/>"}));
  EXPECT_FALSE(IsFlashPolicyRequest(Lines{"<policy-file-request/> "}));
  EXPECT_FALSE(IsFlashPolicyRequest(Lines{"<POLICY-FILE-REQUEST/>"}));
  EXPECT_TRUE(IsServerSentEventsRequest(Lines{"GET /e HTTP/1.1", "accept: TEXT/event-stream"}));
  EXPECT_FALSE(IsServerSentEventsRequest(Lines{"GET /e HTTP/1.1", "Accept: text/event-stream, */*"}));
  EXPECT_FALSE(IsFlashPolicyRequest(Lines{}));
}

}  // namespace
}  // namespace zal
