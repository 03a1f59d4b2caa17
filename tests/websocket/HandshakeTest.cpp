#include "websocket/zalWebSocket_Handshake.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "common/zalLoopbackConnection.h"
#include "support/zalStream.h"
#include "websocket/zalWebSocket_Classes_Sock.h"

namespace zal {
namespace {

const std::string kKey = "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==";
const std::vector<std::string> kRequired = {"Host: server.example.com", "Upgrade: websocket", "Connection: Upgrade",
                                            kKey, "Sec-WebSocket-Version: 13"};

// The request line, the required fields except those named in `without`, then `extra`.
std::vector<std::string> Request(std::vector<std::string> extra, std::string requestLine = "GET /chat HTTP/1.1",
                                 std::vector<std::string> without = {}) {
  std::vector<std::string> lines = {requestLine};
  for (const std::string& line : kRequired)
    if (std::none_of(without.begin(), without.end(), [&](const std::string& name) { return line.starts_with(name); }))
      lines.push_back(line);
  lines.insert(lines.end(), extra.begin(), extra.end());
  return lines;
}
std::vector<std::string> Without(std::vector<std::string> names, std::vector<std::string> extra = {}) {
  return Request(std::move(extra), "GET /chat HTTP/1.1", std::move(names));
}

// The status and text a request is refused with; 0 and "" when it passes.
std::pair<int, std::string> Refusal(const std::vector<std::string>& lines) {
  try {
    TzalWSHandShakeServer handshake(lines);
  } catch (const TzalWSHandshakeException& e) {
    return {e.StatusCode(), e.what()};
  }
  return {0, ""};
}

struct DecodingCase {
  const char* name;
  std::vector<std::string> lines;
  int status;
  std::string text;
};

class Decoding : public ::testing::TestWithParam<DecodingCase> {};

TEST_P(Decoding, AcceptsOrRefusesWithStatusAndText) {
  EXPECT_EQ(Refusal(GetParam().lines), std::make_pair(GetParam().status, GetParam().text));
}

const std::string kBadKey = "Error Decoding Header: WebSocket-Key";
const std::string kMalformed = "Error Decoding Header: malformed field";
const std::vector<std::string> kHixieKeys = {"Sec-WebSocket-Key1: 18x 6]8vM;54 *(5:  {   U1]8  z [  8",
                                             "Sec-WebSocket-Key2: 1_ tx7X d  <  nw  334J702) 7]o}` 0"};

// RFC 6455 4.2.1 and RFC 9110 5 (field names without regard to case, optional
// white space around values).
INSTANTIATE_TEST_SUITE_P(
    RequestLines, Decoding,
    ::testing::Values(
        DecodingCase{"Valid", Request({}), 0, ""},
        DecodingCase{"HTTP10", Request({}, "GET /chat HTTP/1.0"), 400, "Error Decoding Header: GET"},
        DecodingCase{"NoHTTP", Request({}, "GET /chat"), 400, "Error Decoding Header: GET"},
        DecodingCase{"NotAGet", Request({}, "POST /chat HTTP/1.1"), 400, "Error Decoding Header: GET"},
        DecodingCase{"UpgradeAnyCase", Without({"Upgrade"}, {"Upgrade: WebSocket"}), 0, ""},
        DecodingCase{"UpgradeWithMoreTokens", Without({"Upgrade"}, {"Upgrade: websocket, foo"}), 400,
                     "Error Decoding Header: WebSocket"},
        DecodingCase{"NoUpgrade", Without({"Upgrade"}), 400, "Error Decoding Header: WebSocket"},
        DecodingCase{"ConnectionList", Without({"Connection"}, {"Connection: keep-alive, Upgrade"}), 0, ""},
        DecodingCase{"ConnectionWithoutUpgrade", Without({"Connection"}, {"Connection: keep-alive"}), 400,
                     "Error Decoding Header: Upgrade"},
        DecodingCase{"ConnectionUpgradeInsideAToken", Without({"Connection"}, {"Connection: NotUpgraded"}), 400,
                     "Error Decoding Header: Upgrade"},
        DecodingCase{"NoConnection", Without({"Connection"}), 400, "Error Decoding Header: Upgrade"},
        DecodingCase{"NoHost", Without({"Host"}), 400, "Error Decoding Header: Host"},
        DecodingCase{"TwoHosts", Request({"Host: other.example"}), 400, "Error Decoding Header: Host"},
        DecodingCase{"LowerCaseNames", Without({"Sec-WebSocket-Key", "Host"}, {"sec-websocket-key: dGhlIHNhbXBsZSBub25jZQ==", "HOST: x"}), 0, ""},
        DecodingCase{"NoSpaceAfterColon", Without({"Sec-WebSocket-Key"}, {"Sec-WebSocket-Key:dGhlIHNhbXBsZSBub25jZQ=="}), 0, ""},
        DecodingCase{"TabsAroundValue", Without({"Sec-WebSocket-Version"}, {"Sec-WebSocket-Version:\t13 \t"}), 0, ""},
        DecodingCase{"SpaceBeforeColon", Request({"Origin : http://a.example"}), 400, kMalformed},
        DecodingCase{"LineWithoutColon", Request({"Origin http://a.example"}), 400, kMalformed},
        DecodingCase{"BareCRInAValue", Request({"Origin: http://a.example\rX-Forged: 1"}), 400, kMalformed},
        DecodingCase{"NoKey", Without({"Sec-WebSocket-Key"}), 400, kBadKey},
        DecodingCase{"EmptyKey", Without({"Sec-WebSocket-Key"}, {"Sec-WebSocket-Key:"}), 400, kBadKey},
        DecodingCase{"ThreeOctetKey", Without({"Sec-WebSocket-Key"}, {"Sec-WebSocket-Key: YWJj"}), 400, kBadKey},
        DecodingCase{"SeventeenOctetKey", Without({"Sec-WebSocket-Key"}, {"Sec-WebSocket-Key: MDEyMzQ1Njc4OWFiY2RlZmc="}),
                     400, kBadKey},
        DecodingCase{"KeyOutsideTheAlphabet", Without({"Sec-WebSocket-Key"}, {"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ!="}),
                     400, kBadKey},
        DecodingCase{"TwoKeys", Request({"Sec-WebSocket-Key: MDEyMzQ1Njc4OWFiY2RlZg=="}), 400, kBadKey},
        DecodingCase{"Key2Only", Without({"Sec-WebSocket-Key"}, {"Sec-WebSocket-Key2: 1 2"}), 400, kBadKey},
        DecodingCase{"NoVersion", Without({"Sec-WebSocket-Version"}), 426, "Error Decoding Header: WebSocket Version"},
        DecodingCase{"Version8", Without({"Sec-WebSocket-Version"}, {"Sec-WebSocket-Version: 8"}), 426,
                     "Error Decoding Header: WebSocket Version"},
        DecodingCase{"Hixie76", Without({"Sec-WebSocket-Key", "Sec-WebSocket-Version"}, kHixieKeys), 0, ""},
        DecodingCase{"Hixie76Key1Only", Without({"Sec-WebSocket-Key", "Sec-WebSocket-Version"}, {kHixieKeys[0]}), 400,
                     "Error Decoding Header: WebSocket-Key2"},
        DecodingCase{"Hixie76KeyWithoutSpace",
                     Without({"Sec-WebSocket-Key", "Sec-WebSocket-Version"}, {kHixieKeys[0], "Sec-WebSocket-Key2: 12"}),
                     400, "Error decoding sec-webSocket-key."},
        DecodingCase{"Hixie76BareCRInHost",
                     Without({"Host", "Sec-WebSocket-Key", "Sec-WebSocket-Version"},
                             {"Host: x\rSet-Cookie: a=b", kHixieKeys[0], kHixieKeys[1]}),
                     400, kMalformed}),
    [](const auto& info) { return info.param.name; });

// The origin check sees an Origin field however it is spaced.
TEST(Handshake, OriginWithoutSpaceIsChecked) {
  const TzalWSHandShakeServer handshake(Request({"Origin:http://evil.example"}));
  EXPECT_EQ(handshake.Origin(), "http://evil.example");
  EXPECT_THROW(CheckOriginAllowed("http://good.example", handshake.Origin()), TzalWSHandshakeException);
}

TEST(Handshake, DecodesTheFieldsVerbatimAndJoinsListLines) {
  const TzalWSHandShakeServer handshake(Request({"Origin: http://example.com", "Sec-WebSocket-Protocol: chat",
                                                 "Sec-WebSocket-Protocol: superchat",
                                                 "Sec-WebSocket-Extensions: permessage-deflate"}));
  EXPECT_EQ(handshake.Get(), "/chat");
  EXPECT_EQ(handshake.Host(), "server.example.com");
  EXPECT_EQ(handshake.Origin(), "http://example.com");
  EXPECT_EQ(handshake.Key(), "dGhlIHNhbXBsZSBub25jZQ==");
  EXPECT_EQ(handshake.Protocols(), "chat, superchat");
  EXPECT_EQ(handshake.Extensions(), "permessage-deflate");
  EXPECT_EQ(handshake.Specification(), spRFC6455);
  EXPECT_FALSE(handshake.NeedsKey3());
}

TEST(Handshake, AcceptValueOfRFC6455Section1_3) {
  EXPECT_EQ(GetAcceptKey("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

// The worked example of the Hixie-76 draft, section 1.3.
TEST(Handshake, Hixie76WorkedExample) {
  std::vector<std::string> request = kHixieKeys;
  request.push_back("Origin: http://example.com");
  TzalWSHandShakeServer handshake(
      Request(request, "GET /demo HTTP/1.1", {"Sec-WebSocket-Key", "Sec-WebSocket-Version"}));
  ASSERT_TRUE(handshake.NeedsKey3());
  const std::string key3 = "Tm[K T2u";
  handshake.SetKey3(std::span<const uint8_t, 8>(reinterpret_cast<const uint8_t*>(key3.data()), 8));
  const auto body = GetHixie76Response(handshake.Key1(), handshake.Key2(), handshake.Key3());
  EXPECT_EQ(std::string(body.begin(), body.end()), "fQJ,fN/4F4!~K~MH");
  EXPECT_EQ(handshake.Specification(), spHixie76);
  const std::vector<std::string> lines = Hixie76ResponseLines(handshake, "", true);
  EXPECT_EQ(lines[4], "Sec-WebSocket-Location: wss://server.example.com/demo");
  EXPECT_EQ(lines[5], "Sec-WebSocket-Protocol: *");
  EXPECT_EQ(Hixie76ResponseLines(handshake, "chat", false)[4], "Sec-WebSocket-Location: ws://server.example.com/demo");
}

TEST(Handshake, Hixie76KeyWithoutSpaceIsRefused) {
  try {
    GetHixie76Response("123", "1 2", "");
    FAIL();
  } catch (const TzalWSHandshakeException& e) {
    EXPECT_STREQ(e.what(), "Error decoding sec-webSocket-key.");
  }
}

struct ProtocolCase {
  const char* name;
  std::string server, client, chosen;  // chosen "!": refused
};

class Subprotocols : public ::testing::TestWithParam<ProtocolCase> {};

TEST_P(Subprotocols, FirstClientItemTheServerSpeaks) {
  const auto& c = GetParam();
  std::string chosen;
  try {
    chosen = SelectSubprotocol(c.server, c.client);
  } catch (const TzalWSException& e) {
    chosen = "!";
    EXPECT_EQ(std::string(e.what()).rfind("Error Protocol: ", 0), 0u) << e.what();
  }
  EXPECT_EQ(chosen, c.chosen);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, Subprotocols,
    ::testing::Values(ProtocolCase{"NoSpace", "superchat", "chat,superchat", "superchat"},
                      ProtocolCase{"SpaceAfterComma", "superchat", "chat, superchat", "superchat"},
                      ProtocolCase{"ClientOrderWins", "chat, superchat", "superchat, chat", "superchat"},
                      ProtocolCase{"KeepsClientSpelling", "CHAT", "Chat", "Chat"},
                      ProtocolCase{"QuotedItem", "chat", "\"chat\"", "chat"},
                      ProtocolCase{"NoneOffered", "chat", "", ""},
                      ProtocolCase{"NoneRegistered", "", "chat", "!"},
                      ProtocolCase{"NoMatch", "chat", "mqtt, wamp", "!"}),
    [](const auto& info) { return info.param.name; });

TEST(Subprotocols, RefusalListsTheClientItems) {
  try {
    SelectSubprotocol("chat", "mqtt, wamp");
    FAIL();
  } catch (const TzalWSException& e) {
    EXPECT_STREQ(e.what(), "Error Protocol: mqtt\r\nwamp\r\n not supported.");
  }
}

TEST(Origins, MasksAcceptAndAnythingElseIsForbidden) {
  EXPECT_NO_THROW(CheckOriginAllowed("", "http://anything"));
  EXPECT_NO_THROW(CheckOriginAllowed("http://a.com", ""));
  EXPECT_NO_THROW(CheckOriginAllowed("*", "http://anything"));
  EXPECT_NO_THROW(CheckOriginAllowed("http://a.com, http://*.b.org", "http://x.b.org"));
  try {
    CheckOriginAllowed("http://a.com, http://*.b.org", "http://evil.com");
    FAIL();
  } catch (const TzalWSHandshakeException& e) {
    EXPECT_EQ(e.StatusCode(), 403);
    EXPECT_STREQ(e.what(), "Origin http://evil.com not allowed");
  }
}

TEST(Handshake, RefusalAnswersCarryTheirStatus) {
  EXPECT_EQ(HandshakeFailureResponse(426).substr(0, 63),
            "HTTP/1.1 426 Upgrade Required\r\nSec-WebSocket-Version: 13\r\nConne");
  EXPECT_EQ(HandshakeFailureResponse(403).substr(0, 24), "HTTP/1.1 403 Forbidden\r\n");
  EXPECT_TRUE(HandshakeFailureResponse(400).ends_with("\r\n\r\n"));
}

struct AnswerCase {
  const char* name;
  std::function<void(TzalWSConnectionServer&)> send;
  std::string bytes;
};

class DirectAnswers : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(DirectAnswers, AreWrittenWhole) {
  test::LoopbackConnection loopback;
  TzalWSConnectionServer connection;
  connection.SetTCPConnection(&loopback.Connection());
  GetParam().send(connection);
  EXPECT_EQ(loopback.Peer().Receive(300), GetParam().bytes);
  connection.SetTCPConnection(nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Connection, DirectAnswers,
    ::testing::Values(
        AnswerCase{"ResponseCode", [](TzalWSConnectionServer& c) { c.SendResponseCode(404, "Not Found"); },
                   "HTTP/1.1 404 Not Found\r\n\r\n"},
        AnswerCase{"Redirect", [](TzalWSConnectionServer& c) { c.SendRedirect("/there"); },
                   "HTTP/1.1 302 Moved Temporarily\r\nConnection: close\r\nLocation: /there\r\n"
                   "Server: zalWebSockets 4.4.6\r\n\r\n"},
        AnswerCase{"ResponseHTTP", [](TzalWSConnectionServer& c) { c.SendResponseHTTP("caf\xc3\xa9", "text/plain"); },
                   "HTTP/1.1 200 OK\r\nCache-Control: no-cache\r\nContent-Type: text/plain\r\n"
                   "Server: zalWebSockets 4.4.6\r\n\r\ncaf\xe9\r\n"}),
    [](const auto& info) { return info.param.name; });

TEST(Connection, URLIsTheTargetOfAGetOrPostLine) {
  TzalWSConnectionServer get;
  get.FHeadersRequest = {"GET /chat?x=1 HTTP/1.1", "Host: x"};
  EXPECT_EQ(get.URL(), "/chat?x=1");
  TzalWSConnectionServer post;
  post.FHeadersRequest = {"POST /zal/xhr/1 HTTP/1.1"};
  EXPECT_EQ(post.URL(), "/zal/xhr/1");
}

}  // namespace
}  // namespace zal
