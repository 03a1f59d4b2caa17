// The connection's own authentication operations: how Basic credentials, URL
// targets and session requests are taken apart, what the check receives, and
// the session request's answer on a loopback connection.
#include <gtest/gtest.h>

#include <functional>
#include <regex>

#include "common/zalLoopbackConnection.h"
#include "websocket/zalWebSocket_Classes_Sock.h"

namespace zal {
namespace {

struct CredentialCase {
  const char* name;
  std::function<bool(TzalWSConnectionServer&)> run;
  bool checked;  // the check was raised with the user and password below
  std::string user, password;
  TwsAuthentication type;
};

class Credentials : public ::testing::TestWithParam<CredentialCase> {};

// The check accepts whatever it is given, so the result says whether it ran.
TEST_P(Credentials, ReachTheCheckSplitAsTheyShould) {
  TzalWSConnectionServer connection;
  int calls = 0;
  std::string user = "-", password = "-";
  connection.OnAuthentication = [&](TzalWSConnection* c, const std::string& u, const std::string& p, bool& ok) {
    EXPECT_EQ(c, &connection);
    EXPECT_FALSE(ok);  // the answer so far
    ++calls, user = u, password = p, ok = true;
  };
  const CredentialCase& param = GetParam();
  EXPECT_EQ(param.run(connection), param.checked);
  EXPECT_EQ(calls, param.checked ? 1 : 0);
  EXPECT_EQ(connection.FAuthentication.FAuthType, param.type);
  if (param.checked) {
    EXPECT_EQ(user, param.user);
    EXPECT_EQ(password, param.password);
    EXPECT_EQ(connection.FAuthentication.FUser, param.user);
    EXPECT_EQ(connection.FAuthentication.FPassword, param.password);
  } else {
    EXPECT_EQ(connection.FAuthentication.FUser, "");
  }
}

CredentialCase Basic(const char* name, std::string text, bool checked, std::string user = "", std::string pw = "") {
  return {name, [text](TzalWSConnectionServer& c) { return c.AuthenticateBasic(text); }, checked, user, pw,
          checked ? authBasic : authNone};
}

CredentialCase URL(const char* name, std::string target, bool checked, std::string user = "", std::string pw = "") {
  return {name, [target](TzalWSConnectionServer& c) { return c.AuthenticateURL(target); }, checked, user, pw,
          checked ? authURL : authNone};
}

INSTANTIATE_TEST_SUITE_P(
    Connection, Credentials,
    ::testing::Values(Basic("BasicUserAndPassword", "ann:secret", true, "ann", "secret"),
                      Basic("BasicColonInPassword", "ann:a:b", true, "ann", "a:b"),
                      Basic("BasicEmptyItems", ":", true, "", ""),
                      Basic("BasicWithoutColon", "annsecret", false), Basic("BasicEmpty", "", false),
                      URL("URLSixItems", "/zal/auth/url/ann/secret", true, "ann", "secret"),
                      URL("URLMoreItems", "/zal/auth/url/ann/secret/chat?x=1", true, "ann", "secret"),
                      URL("URLEmptyItems", "/zal/auth/url//", true, "", ""),
                      URL("URLFiveItems", "/zal/auth/url/ann", false),
                      URL("URLWithoutLeadingSlash", "zal/auth/url/ann/secret", false),
                      URL("URLEmpty", "", false)),
    [](const auto& info) { return info.param.name; });

TEST(ConnectionAuthentication, WithoutACheckTheAnswerStaysAsItWas) {
  TzalWSConnectionServer connection;
  EXPECT_FALSE(connection.AuthenticateURL("/zal/auth/url/ann/secret"));
  connection.FAuthentication.FAuthenticated = true;
  EXPECT_TRUE(connection.AuthenticateBasic("ann:wrong"));
}

TEST(ConnectionAuthentication, SessionIDIsOneNewGuidPerConnection) {
  TzalWSConnectionServer a, b;
  EXPECT_TRUE(std::regex_match(a.SessionID(), std::regex("[0-9A-F]{32}")));
  EXPECT_EQ(a.SessionID(), a.SessionID());
  EXPECT_NE(a.SessionID(), b.SessionID());
}

struct SessionCase {
  const char* name;
  std::string target;
  bool accept;
  std::string user, password;  // what the check received ("-" when it was not raised)
  bool answered;               // 200 with the three lines, else 404
};

class SessionRequests : public ::testing::TestWithParam<SessionCase> {};

TEST_P(SessionRequests, AreAnsweredByTheCheck) {
  const SessionCase& param = GetParam();
  test::LoopbackConnection loopback;
  TzalWSConnectionServer connection;
  connection.SetTCPConnection(&loopback.Connection());
  connection.FProtocol = " chat,superchat ";
  std::string user = "-", password = "-";
  connection.OnAuthentication = [&](TzalWSConnection*, const std::string& u, const std::string& p, bool& ok) {
    user = u, password = p, ok = param.accept;
  };
  connection.AnswerSessionRequest(param.target);
  const std::string answer = loopback.Peer().Receive(300);
  EXPECT_EQ(user, param.user);
  EXPECT_EQ(password, param.password);
  if (param.answered) {
    EXPECT_EQ(answer, "HTTP/1.1 200 OK\r\nCache-Control: no-cache\r\nContent-Type: text/plain\r\n"
                      "Server: zalWebSockets 4.4.6\r\n\r\n" +
                          connection.SessionID() + "\r\n\r\nchat,superchat\r\n\r\n");
    EXPECT_EQ(connection.FAuthentication.FAuthType, authSession);
  } else {
    EXPECT_EQ(answer, "HTTP/1.1 404 Not Found\r\n\r\n");
  }
  connection.SetTCPConnection(nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Connection, SessionRequests,
    ::testing::Values(SessionCase{"UserAndPassword", "/zal/req/auth/session/ann/secret", true, "ann", "secret", true},
                      SessionCase{"UserOnly", "/zal/req/auth/session/ann", true, "ann", "", true},
                      SessionCase{"NoUser", "/zal/req/auth/session/", true, "", "", true},
                      SessionCase{"Refused", "/zal/req/auth/session/ann/wrong", false, "ann", "wrong", false},
                      SessionCase{"TooFewItems", "/zal/session/ann", true, "-", "-", false}),
    [](const auto& info) { return info.param.name; });

TEST(ConnectionAuthentication, SessionAnswerNamesTheActiveExtension) {
  test::LoopbackConnection loopback;
  TzalWSConnectionServer connection;
  connection.SetTCPConnection(&loopback.Connection());
  TzalWSExtensions_Options options;
  options.PerMessage_Deflate.Enabled = true;
  connection.Extensions().Assign(options);
  connection.Extensions().AssignMode(appServer);
  connection.Extensions().DecodeExtensions("permessage-deflate");
  connection.FAuthentication.FAuthenticated = true;
  connection.AnswerSessionRequest("/zal/req/auth/session/ann");
  EXPECT_TRUE(loopback.Peer().Receive(300).ends_with("\r\n\r\n" + connection.SessionID() +
                                                     "\r\npermessage-deflate\r\n\r\n\r\n"));
  connection.SetTCPConnection(nullptr);
}

struct ProtocolFromURLCase {
  const char* name;
  std::string protocols, url, chosen;
};

class ProtocolFromURL : public ::testing::TestWithParam<ProtocolFromURLCase> {};

TEST_P(ProtocolFromURL, KeepsTheFirstNameInTheURL) {
  TzalWSConnectionServer connection;
  connection.FHeadersRequest = {"GET " + GetParam().url + " HTTP/1.1", "Accept: text/event-stream"};
  connection.FProtocol = GetParam().protocols;
  connection.SelectProtocolFromURL();
  EXPECT_EQ(connection.Protocol(), GetParam().chosen);
}

INSTANTIATE_TEST_SUITE_P(
    Connection, ProtocolFromURL,
    ::testing::Values(ProtocolFromURLCase{"FirstListedWins", "chat,superchat", "/sse/superchat", "chat"},
                      ProtocolFromURLCase{"CaseIgnored", "chat, Mqtt", "/events/MQTT/1", "Mqtt"},
                      ProtocolFromURLCase{"NoneInTheURL", "chat,mqtt", "/events", ""},
                      ProtocolFromURLCase{"EmptyNamesMatchNothing", ",", "/events", ""},
                      ProtocolFromURLCase{"NoneRegistered", "", "/chat", ""}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace zal
