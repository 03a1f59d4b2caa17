// The built-in scripts and test page, fetched by curl from the component: which
// requests they answer, the order of the fallback scripts, the placeholders
// (also over TLS on IPv6), and the registry behind them.
#include "server/zalWebSocket_Resources.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <fstream>

#include "common/zalTestEngine.h"
#include "common/zalTestProcess.h"
#include "common/zalTestTLS.h"
#include "server/zalWebSocket_Server.h"
#include "support/zalHelpers.h"

namespace zal {
namespace {

using test::RunCommand;

// Placeholders in several letter cases, as an application's own resource may hold them.
class PlaceholderPage : public TzalWSHTTPResponse_Base {
public:
  std::string GetContent() const override { return "{%HOST%}|{%Port%}|{%ssl%}|{%sSl%}"; }
  static std::string GetFileName() { return "zalPlaceholders.js"; }
};

class BuiltInResourceTest : public ::testing::Test {
protected:
  void SetUp() override {
    test::UseTestEngine(server);  // Start binds by hand
    server.SetNotifyEvents(neNoSync);
    server.OnCommandGet = [this](TIdContext*, TIdHTTPRequestInfo* rq, TIdHTTPResponseInfo* rs) {
      ++applicationRequests;
      rs->SetContentText("application " + rq->Document());
    };
  }
  void TearDown() override { server.SetActive(false); }

  std::string Start(const std::string& ip = "127.0.0.1") {
    TIdSocketHandle& binding = server.Bindings().Add();
    if (ip.find(':') != std::string::npos)
      binding.SetIPVersion(Id_IPv6);
    binding.SetIP(ip);
    binding.SetPort(0);
    server.SetActive(true);
    port = std::to_string(server.Bindings().Items(0).Port());
    return port;
  }
  // Headers and body of one GET, as curl saw them.
  std::string Get(const std::string& path, const std::string& origin = "") {
    const auto result = RunCommand("curl -sS -i -g -k --max-time 10 '" +
                                   (origin.empty() ? "http://127.0.0.1:" + port : origin) + path + "'");
    EXPECT_EQ(result.ExitCode, 0) << result.Output;
    return result.Output;
  }
  static std::string Body(const std::string& answer) { return answer.substr(answer.find("\r\n\r\n") + 4); }

  TzalWebSocketHTTPServer server;
  std::atomic<int> applicationRequests{0};
  std::string port;
};

TEST_F(BuiltInResourceTest, MainScriptComesAfterTheEnabledFallbacksWithItsAddressFilledIn) {
  server.FallBack().Flash.Enabled = true;
  server.FallBack().ServerSentEvents.Enabled = true;
  Start();
  const std::string answer = Get("/js/zalWebSockets.js");
  EXPECT_TRUE(answer.starts_with("HTTP/1.1 200 OK\r\nCache-Control: no-cache\r\n"
                                 "Content-Type: text/javascript; charset=utf-8\r\n"))
      << answer;
  const std::string expected = TzalWSHTTPResponse::GetResponseMessage(
      "zalWebSocketsEventSource.js,zalWebSocketsFlash.js,zalWebSockets.js");
  std::string filled = expected;
  for (size_t at; (at = filled.find("{%host%}")) != std::string::npos;)
    filled.replace(at, 8, "127.0.0.1");
  for (size_t at; (at = filled.find("{%port%}")) != std::string::npos;)
    filled.replace(at, 8, port);
  for (size_t at; (at = filled.find("{%ssl%}")) != std::string::npos;)
    filled.replace(at, 7, "");
  EXPECT_NE(filled, expected);  // the texts hold placeholders
  EXPECT_EQ(Body(answer), filled + "\r\n");
  EXPECT_NE(Body(answer).find("'ws://127.0.0.1:" + port + "'"), std::string::npos);
  EXPECT_EQ(applicationRequests.load(), 0);
}

TEST_F(BuiltInResourceTest, OnlyTheExactMainScriptNameTakesTheFallbacks) {
  server.FallBack().ServerSentEvents.Enabled = true;
  Start();
  const std::string body = Body(Get("/ZALWEBSOCKETS.JS"));
  EXPECT_EQ(body.find("EventSourceTransport"), std::string::npos);
  EXPECT_NE(body.find("zalWebSockets browser client"), std::string::npos);
}

struct FallThroughCase {
  const char* name;
  std::string path;
  bool javascript, html;
};

class BuiltInResourceFallThrough : public BuiltInResourceTest,
                                   public ::testing::WithParamInterface<FallThroughCase> {};

TEST_P(BuiltInResourceFallThrough, ReachesTheApplication) {
  server.Options().JavascriptFiles = GetParam().javascript;
  server.Options().HTMLFiles = GetParam().html;
  Start();
  EXPECT_EQ(Body(Get(GetParam().path)), "application " + GetParam().path.substr(0, GetParam().path.find('?')));
  EXPECT_EQ(applicationRequests.load(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, BuiltInResourceFallThrough,
    ::testing::Values(FallThroughCase{"UnknownScript", "/other.js", true, true},
                      FallThroughCase{"ScriptsSwitchedOff", "/zalWebSockets.js", false, true},
                      FallThroughCase{"PagesSwitchedOff", "/zalWebSockets.html", true, false},
                      FallThroughCase{"NoStyleSheet", "/zalWebSockets.css", true, true},
                      FallThroughCase{"ScriptWithQuery", "/zalWebSockets.js?v=1", true, true}),
    [](const auto& info) { return info.param.name; });

TEST_F(BuiltInResourceTest, TestPageIsHTMLThatLoadsTheScriptFromThisServer) {
  Start();
  const std::string answer = Get("/zalWebSockets.html");
  EXPECT_NE(answer.find("Content-Type: text/html\r\n"), std::string::npos) << answer;
  EXPECT_NE(answer.find("<script src=\"http://127.0.0.1:" + port + "/zalWebSockets.js\">"), std::string::npos);
  EXPECT_EQ(answer.find("{%"), std::string::npos);
}

// Whatever path a page or a crafted link gives the client (the test page takes
// it from location.hash), the socket opens on the server that served the script.
TEST_F(BuiltInResourceTest, TheScriptOpensSocketsOnItsOwnServerOnly) {
  Start();
  const std::string file = ::testing::TempDir() + "zal-script-" + std::to_string(::getpid()) + ".js";
  {
    std::ofstream out(file);
    out << Body(Get("/zalWebSockets.js"));
  }
  const auto result = RunCommand("node " + test::PeerScript("script_socket_url.js") + " " + file +
                                     " '/chat' '@evil.example/x' '//evil.example/x' '\\\\evil.example/x' ':80@evil.example'",
                                 30);
  std::remove(file.c_str());
  ASSERT_EQ(result.ExitCode, 0) << result.Output;
  const std::string own = "ws://127.0.0.1:" + port + "/";
  int urls = 0;
  for (std::string_view line : Split(result.Output, '\n'))
    if (!line.empty()) {
      ++urls;
      EXPECT_TRUE(line.starts_with(own)) << line;
    }
  EXPECT_EQ(urls, 5) << result.Output;
}

TEST_F(BuiltInResourceTest, OverHTTP2ResourcesAreAnsweredOnTheirStreamsAndOtherRequestsReachTheApplication) {
  server.HTTP2Options().Enabled = true;
  Start();
  // Two requests on one HTTP/2 connection (nghttp opens streams 13 and 15): the
  // page from the component, then a script it does not have, from the application.
  const std::string origin = "http://127.0.0.1:" + port;
  const auto result = RunCommand("nghttp -v " + origin + "/zalWebSockets.html " + origin + "/other.js");
  ASSERT_EQ(result.ExitCode, 0) << result.Output;
  EXPECT_NE(result.Output.find("recv (stream_id=13) content-type: text/html\n"), std::string::npos) << result.Output;
  EXPECT_NE(result.Output.find("<script src=\"" + origin + "/zalWebSockets.js\">"), std::string::npos);
  EXPECT_NE(result.Output.find("recv (stream_id=15) content-length: 21"), std::string::npos);
  EXPECT_NE(result.Output.find("application /other.js"), std::string::npos);
  EXPECT_EQ(applicationRequests.load(), 1);
}

TEST_F(BuiltInResourceTest, PlaceholdersInAnyCaseOverTLSOnIPv6) {
  TzalWSHTTPResponse::RegisterFileName<PlaceholderPage>();
  test::TestCertificate certificate;
  server.SetSSL(true);
  server.SSLOptions().CertFile = certificate.File();
  server.SSLOptions().KeyFile = certificate.File();
  server.SSLOptions().Password = "kfx.pem";
  Start("::1");
  EXPECT_EQ(Body(Get("/zalPlaceholders.js", "https://[::1]:" + port)), "[::1]|" + port + "|s|s\r\n\r\n");
}

TEST_F(BuiltInResourceTest, ChromiumTestPageConnectsAndEchoesThroughTheScript) {
  server.OnMessage = [](TzalWSConnection* connection, const std::string& text) { connection->WriteData(text); };
  Start();
  const auto result =
      RunCommand("node " + test::PeerScript("resource_page.mjs") + " http://127.0.0.1:" + port + "/zalWebSockets.html", 60);
  EXPECT_EQ(result.Output, "{\"log\":\"open\\nsent: Hello zalWebSockets\\nreceived: Hello zalWebSockets\\n\"}\n");
}

TEST(ResourceRegistry, JoinsTheNamedTextsInTheGivenOrder) {
  const std::string script = TzalWSHTTPResponse::GetResponseMessage("zalWebSockets.js");
  const std::string page = TzalWSHTTPResponse::GetResponseMessage("ZALWEBSOCKETS.HTML");
  ASSERT_FALSE(script.empty());
  ASSERT_FALSE(page.empty());
  EXPECT_TRUE(script.ends_with("\r\n"));
  EXPECT_EQ(TzalWSHTTPResponse::GetResponseMessage("zalWebSockets.html,nothing.js,zalWebSockets.js"), page + script);
  EXPECT_EQ(TzalWSHTTPResponse::GetResponseMessage(""), "");
}

}  // namespace
}  // namespace zal
