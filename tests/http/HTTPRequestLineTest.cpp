// The request line (RFC 9112 3): what is refused with which status, that none
// of the client's octets reach a status line, and which method an answer is
// framed for.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "http/zalHTTPServerFixture.h"

namespace zal {
namespace {

using test::Body;
using test::ContentLengthOf;
using test::HTTPServerTest;
using test::TestClient;

struct RequestLineCase {
  friend void PrintTo(const RequestLineCase& c, std::ostream* os) { *os << c.name; }
  const char* name;
  std::string line;  // without its CR LF
  int status;
};

// Octets a client put in its request line that must never come back: control
// octets other than the CR LF line ends.
bool HoldsStrayControlOctets(const std::string& response) {
  for (size_t i = 0; i < response.size(); ++i) {
    const auto c = static_cast<unsigned char>(response[i]);
    const bool lineEnd = (c == '\r' && i + 1 < response.size() && response[i + 1] == '\n') ||
                         (c == '\n' && i > 0 && response[i - 1] == '\r');
    if ((c < ' ' || c == 0x7F) && !lineEnd)
      return true;
  }
  return false;
}

class RequestLineTest : public HTTPServerTest, public ::testing::WithParamInterface<RequestLineCase> {};

TEST_P(RequestLineTest, IsAnsweredWithItsStatusAndNothingEchoed) {
  const std::string response = Exchange(GetParam().line + "\r\nHost: x\r\n\r\n");
  const std::string status = std::to_string(GetParam().status);
  EXPECT_TRUE(response.starts_with("HTTP/1.1 " + status + " ")) << response;
  EXPECT_FALSE(HoldsStrayControlOctets(response)) << response;
  EXPECT_EQ(ContentLengthOf(response), static_cast<long long>(Body(response).size()));
  EXPECT_EQ(SeenCount(), GetParam().status == 200 ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Grammar, RequestLineTest,
    ::testing::Values(RequestLineCase{"Plain", "GET /a?b=c HTTP/1.1", 200},
                      RequestLineCase{"Version10", "GET / HTTP/1.0", 200},
                      RequestLineCase{"MinorVersion9", "GET / HTTP/1.9", 200},
                      RequestLineCase{"NoSpace", "NONSENSE", 400},
                      RequestLineCase{"SpaceInTheTarget", "GET /a b HTTP/1.1", 400},
                      RequestLineCase{"TwoSpacesBeforeTheTarget", "GET  / HTTP/1.1", 400},
                      RequestLineCase{"NoTarget", "GET HTTP/1.1", 400},
                      RequestLineCase{"EmptyTarget", "GET  HTTP/1.1", 400},
                      RequestLineCase{"BareCR", "GET /a\rb HTTP/1.1", 400},
                      RequestLineCase{"BareCRInTheVersion", "GET / HTTP/1.1\rX", 400},
                      RequestLineCase{"Escape", "GET /\x1b[2J HTTP/1.1", 400},
                      RequestLineCase{"NUL", std::string("GET /a\0b HTTP/1.1", 17), 400},
                      RequestLineCase{"Delete", "GET /\x7f HTTP/1.1", 400},
                      RequestLineCase{"MethodNoToken", "G(T / HTTP/1.1", 400},
                      RequestLineCase{"VersionWithoutName", "GET / 1.1", 400},
                      RequestLineCase{"LowerCaseName", "GET / http/1.1", 400},
                      RequestLineCase{"TwoDigitMinor", "GET / HTTP/1.10", 400},
                      RequestLineCase{"VersionControlOctet", "GET / HTTP/1.\x1b", 400},
                      RequestLineCase{"TrailingSpace", "GET / HTTP/1.1 ", 400},
                      RequestLineCase{"Major3", "GET / HTTP/3.9", 505},
                      RequestLineCase{"Major2", "GET / HTTP/2.0", 505},
                      RequestLineCase{"Major0", "GET / HTTP/0.9", 505}),
    [](const auto& info) { return std::string(info.param.name); });

// RFC 9110 15.2.1: the interim answer is the server's own status line.
TEST_F(HTTPServerTest, TheInterimContinueNeverEchoesTheClientsVersion) {
  TestClient client = Connected();
  ASSERT_TRUE(client.Send("POST / HTTP/1.9\r\nHost: x\r\nContent-Length: 3\r\nExpect: 100-continue\r\n\r\n"));
  EXPECT_EQ(client.ReceiveUntil("\r\n\r\n"), "HTTP/1.1 100 Continue\r\n\r\n");
  ASSERT_TRUE(client.Send("abc"));
  EXPECT_TRUE(client.Receive(1000).starts_with("HTTP/1.1 200 OK"));
}

struct OverrideCase {
  friend void PrintTo(const OverrideCase& c, std::ostream* os) { *os << c.name; }
  const char* name;
  std::string request;
  const char* command;  // the method the handler sees
};

class MethodOverrideTest : public HTTPServerTest, public ::testing::WithParamInterface<OverrideCase> {};

// Whatever the override, the answer carries the body its Content-Length
// announces: no request is turned into a HEAD.
TEST_P(MethodOverrideTest, NeverDropsTheBodyTheAnswerAnnounces) {
  handler = [](TIdContext*, TIdHTTPRequestInfo*, TIdHTTPResponseInfo* rs) { rs->SetContentText("the body"); };
  const std::string response = Exchange(GetParam().request);
  EXPECT_EQ(Seen(0).command, GetParam().command);
  EXPECT_EQ(ContentLengthOf(response), 8);
  EXPECT_EQ(Body(response), "the body");
}

const std::string kOverriddenPost = "POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\nX-HTTP-Method-Override: ";

INSTANTIATE_TEST_SUITE_P(
    Overrides, MethodOverrideTest,
    ::testing::Values(OverrideCase{"PostToHead", kOverriddenPost + "HEAD\r\n\r\n", "POST"},
                      OverrideCase{"PostToLowerCaseHead", kOverriddenPost + "head\r\n\r\n", "POST"},
                      OverrideCase{"PostToNoToken", kOverriddenPost + "DE LETE\r\n\r\n", "POST"},
                      OverrideCase{"PostToPatch", kOverriddenPost + "patch\r\n\r\n", "PATCH"},
                      OverrideCase{"GetIsNotOverridden", "GET / HTTP/1.1\r\nHost: x\r\nX-HTTP-Method: PUT\r\n\r\n", "GET"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zal
