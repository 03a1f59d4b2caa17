#include "app/zalDemoHandler.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QPlainTextEdit>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/FHTTP2_Server.h"
#include "common/zalTestMemory.h"
#include "common/zalTestProcess.h"
#include "common/zalTestRecorder.h"
#include "common/zalTestSocket.h"
#include "common/zalTestTLS.h"
#include "http/zalIdCustomHTTPServer.h"
#include "server/zalWebSocket_Server.h"

namespace zal {
namespace {

namespace fs = std::filesystem;
using test::TestClient;

struct Answer {
  std::string status;  // the status line
  std::string head;    // the header block, each line ending in CRLF
  std::string body;
  bool HasHeader(const std::string& line) const { return head.find(line + "\r\n") != std::string::npos; }
};

Answer Parse(const std::string& response) {
  Answer answer;
  const size_t endOfHead = response.find("\r\n\r\n");
  if (endOfHead == std::string::npos)
    return answer;
  answer.status = response.substr(0, response.find("\r\n"));
  answer.head = response.substr(0, endOfHead + 2);
  answer.body = response.substr(endOfHead + 4);
  return answer;
}

void WriteFile(const fs::path& name, const std::string& content) {
  fs::create_directories(name.parent_path());
  std::ofstream(name, std::ios::binary) << content;
}

// A temporary asset folder with a few tiles and images, and files beside the
// tile and image folders that must never be served.
struct TempAssetFolder {
  TempAssetFolder() {
    char pattern[] = "/tmp/zal_demo_assets_XXXXXX";
    if (!mkdtemp(pattern))
      throw std::runtime_error("cannot create a temporary folder");
    path = pattern;
    WriteFile(path + "/gophertiles/3_5.jpeg", "tile 3 5");
    WriteFile(path + "/gophertiles/_.jpeg", "tile without coordinates");
    WriteFile(path + "/gophertiles/0_0.jpeg", "");
    WriteFile(path + "/img/a.jpg", "image a");
    WriteFile(path + "/img/xa.jpg", "image xa");
    WriteFile(path + "/secret_.jpeg", "outside the tiles");
    WriteFile(path + "/secret.jpg", "outside the images");
  }
  ~TempAssetFolder() { fs::remove_all(path); }
  std::string path;
};

std::string RequestText(const std::string& method, const std::string& target, const std::string& extraHeaders,
                        const std::string& body) {
  return method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extraHeaders + "Connection: close\r\n\r\n" +
         body;
}

// One request on its own connection, answered and closed.
Answer Exchange(uint16_t port, const std::string& method, const std::string& target,
                const std::string& extraHeaders = "", const std::string& body = "") {
  TestClient client;
  EXPECT_TRUE(client.Connect("127.0.0.1", port));
  EXPECT_TRUE(client.Send(RequestText(method, target, extraHeaders, body)));
  const std::string response = client.Receive(3000);
  EXPECT_FALSE(response.empty()) << method << " " << target << " got no answer";
  return Parse(response);
}

// The same over TLS.
Answer ExchangeOverTLS(uint16_t port, const std::string& method, const std::string& target,
                       const std::string& extraHeaders = "", const std::string& body = "") {
  test::TLSTestClient client;
  EXPECT_TRUE(client.Connect(port)) << client.Error();
  EXPECT_TRUE(client.Send(RequestText(method, target, extraHeaders, body)));
  const std::string response = client.ReceiveAll(3000);
  EXPECT_FALSE(response.empty()) << method << " " << target << " got no answer";
  return Parse(response);
}

// A real HTTP/1.1 server on an ephemeral loopback port whose OnCommandGet is
// the demo handler over a temporary asset folder.
class DemoHandlerTest : public ::testing::Test {
protected:
  void SetUp() override {
    test::BindLoopback(server);
    server.OnCommandGet = [this](TIdContext* context, TIdHTTPRequestInfo* request, TIdHTTPResponseInfo* response) {
      serverCommandGet(context, request, response, folder, [this](const std::string& line) { log.Add(line); });
    };
    server.SetActive(true);
  }
  void TearDown() override { server.SetActive(false); }

  Answer Request(const std::string& method, const std::string& target, const std::string& extraHeaders = "",
                 const std::string& body = "") {
    return Exchange(server.Bindings().Items(0).Port(), method, target, extraHeaders, body);
  }

  TempAssetFolder assets;
  const std::string& folder = assets.path;
  test::TestRecorder<std::string> log;
  TIdHTTPServer server;
};

// One request and the demo's answer to it: the status line, a header line the
// answer carries (none when empty), the body ("<folder>" stands for the asset
// folder) and whether the request line is logged.
struct DemoCase {
  const char* method;
  const char* target;
  const char* status;
  const char* header;
  std::string body;
  bool logged;
  const char* extraHeaders = "";
  const char* requestBody = "";
  friend void PrintTo(const DemoCase& row, std::ostream* out) { *out << row.method << " " << row.target; }
};

// A tile or image served from the asset folder.
DemoCase Served(const char* target, const char* body) {
  return {"GET", target, "HTTP/1.1 200 OK", "Content-Type: image/jpeg", body, true};
}
// A file that cannot be served: status 500 with the load error as the body, the
// content type already set, and no log line.
DemoCase Failed(const char* target, const std::string& fileName, const std::string& error) {
  return {"GET", target, "HTTP/1.1 500 Internal Server Error", "Content-Type: image/jpeg",
          "Cannot open file \"<folder>" + fileName + "\". " + error, false};
}
// Every other path: the test page, labelled with the request's own content type
// (a GET has none, so the writer's default is sent).
DemoCase TestPage(const char* target) {
  return {"GET", target, "HTTP/1.1 200 OK", "Content-Type: text/html; charset=ISO-8859-1", std::string(kDemoTestPage), true};
}
// Methods the handler is not given: the server's generated page, not logged.
DemoCase NotHandled(const char* method) {
  return {method, "/gophertiles?x=3&y=5", "HTTP/1.1 200 OK", "", "<HTML><BODY><B>200 OK</B></BODY></HTML>", false};
}

class DemoAnswers : public DemoHandlerTest, public ::testing::WithParamInterface<DemoCase> {};

TEST_P(DemoAnswers, CarryTheirStatusTypeBodyAndLogLine) {
  const DemoCase& c = GetParam();
  const Answer answer = Request(c.method, c.target, c.extraHeaders, c.requestBody);
  EXPECT_EQ(answer.status, c.status);
  if (*c.header != '\0') {
    EXPECT_TRUE(answer.HasHeader(c.header)) << answer.head;
  }
  std::string body = c.body;
  if (const size_t at = body.find("<folder>"); at != std::string::npos)
    body.replace(at, 8, folder);
  EXPECT_EQ(answer.body, body);
  const std::string line = std::string(c.method) + " " + c.target + " HTTP/1.1";
  EXPECT_EQ(log.Items(), c.logged ? std::vector<std::string>{line} : std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Requests, DemoAnswers,
    ::testing::Values(
        Served("/gophertiles?x=3&y=5", "tile 3 5"),
        Served("/gophertiles?X=3&Y=5", "tile 3 5"),              // names ignore case
        Served("/gophertiles?y=5&x=3", "tile 3 5"),              // order does not matter
        Served("/gophertiles?x=3&y=5&x=4", "tile 3 5"),          // the first value wins
        Served("/gophertiles?z=1&x=3&junk&y=5", "tile 3 5"),     // other pieces are skipped
        Served("/gophertiles", "tile without coordinates"),      // missing names are empty
        Served("/gophertiles?x&y", "tile without coordinates"),  // a piece without "=" has no value
        Served("/gophertiles?x=0&y=0", ""),                      // an empty file
        Served("/demo/img/http_test/a.jpg", "image a"),
        Served("/x/demo/img/http_test/a.jpg", "image xa"),  // the prefix is cut out anywhere
        // The test ignores case, the removal does not: the whole path is appended.
        Failed("/DEMO/img/http_test/a.jpg", "/img//DEMO/img/http_test/a.jpg", "No such file or directory"),
        Failed("/gophertiles?x=9&y=9", "/gophertiles/9_9.jpeg", "No such file or directory"),
        // Values are not URL-decoded, and the query is split at "&" only.
        Failed("/gophertiles?x=%33&y=5", "/gophertiles/%33_5.jpeg", "No such file or directory"),
        Failed("/gophertiles?x=3;y=5", "/gophertiles/3;y=5_.jpeg", "No such file or directory"),
        Failed("/demo/img/http_test/", "/img/", "Is a directory"),
        // Names that climb out of the asset folder are refused, even where the file
        // exists, and so is a decoded NUL.
        Failed("/gophertiles?x=../secret&y=", "/gophertiles/../secret_.jpeg", "Permission denied"),
        Failed("/demo/img/http_test/../secret.jpg", "/img/../secret.jpg", "Permission denied"),
        Failed("/demo/img/http_test/%2e%2e/secret.jpg", "/img/../secret.jpg", "Permission denied"),
        Failed("/demo/img/http_test/..", "/img/..", "Permission denied"),
        Failed("/demo/img/http_test/a.jpg%00.png", "/img/a.jpg%00.png", "Permission denied"),
        TestPage("/"), TestPage("/gophertiles/"), TestPage("/GopherTiles"), TestPage("/gophertiles2?x=3&y=5"),
        TestPage("/demo/img/a.jpg"), TestPage("/index.html?x=1"),
        DemoCase{"POST", "/", "HTTP/1.1 200 OK", "Content-Type: application/json", std::string(kDemoTestPage), true,
                 "Content-Type: application/json\r\nContent-Length: 2\r\n", "{}"},
        // HEAD loads the file like GET; only the body is left out.
        DemoCase{"HEAD", "/gophertiles?x=3&y=5", "HTTP/1.1 200 OK", "Content-Type: image/jpeg", "", true},
        DemoCase{"HEAD", "/gophertiles?x=9&y=9", "HTTP/1.1 500 Internal Server Error", "", "", false},
        NotHandled("PUT"), NotHandled("DELETE"), NotHandled("OPTIONS"), NotHandled("TRACE")),
    [](const ::testing::TestParamInfo<DemoCase>& info) { return "Case" + std::to_string(info.index); });

// A served image goes out in pieces as the client reads it; no copy of the
// whole file is made.
TEST_F(DemoHandlerTest, AServedImageIsStreamedNotLoadedIntoMemory) {
  constexpr std::uintmax_t kSize = 256ULL << 20;
  WriteFile(fs::path(folder) / "img" / "big.jpg", "");
  fs::resize_file(fs::path(folder) / "img" / "big.jpg", kSize);  // sparse: no disk needed
  const long peakBefore = test::PeakResidentKiB();
  TestClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", server.Bindings().Items(0).Port()));
  ASSERT_TRUE(client.Send("GET /demo/img/http_test/big.jpg HTTP/1.1\r\nHost: h\r\n\r\n"));
  const int64_t received = client.CountUntilQuiet(3000);
  EXPECT_GT(received, static_cast<int64_t>(kSize));  // the header and every byte of the file
  EXPECT_LT(test::PeakResidentKiB() - peakBefore, 64L * 1024) << "the file was held in memory";
}

TEST_F(DemoHandlerTest, EveryAnsweredRequestOnOneConnectionAddsOneLine) {
  server.SetKeepAlive(true);
  TestClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", server.Bindings().Items(0).Port()));
  ASSERT_TRUE(client.Send("GET /gophertiles?x=3&y=5 HTTP/1.1\r\nHost: h\r\n\r\n"
                          "GET /demo/img/http_test/missing.jpg HTTP/1.1\r\nHost: h\r\n\r\n"
                          "GET / HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n"));
  const std::string responses = client.Receive(3000);
  EXPECT_NE(responses.find("HTTP/1.1 500"), std::string::npos) << responses;
  EXPECT_EQ(log.Items(), (std::vector<std::string>{"GET /gophertiles?x=3&y=5 HTTP/1.1", "GET / HTTP/1.1"}));
}

// The window's log after the queued appends have run, once it holds `count` lines.
QStringList LogOnceItHas(TFRMHTTP2Server& window, int count) {
  auto lines = [&] { return window.memoLog->toPlainText().split('\n', Qt::SkipEmptyParts); };
  test::WaitFor([&] {
    QCoreApplication::processEvents();
    return lines().size() >= count;
  });
  QCoreApplication::processEvents();
  return lines();
}

TEST(DemoWindowServing, TheComponentHandsRequestsToTheHandlerAndTheLogShowsTheAnsweredOnes) {
  TempAssetFolder assets;
  const uint16_t port = test::FreeLoopbackPort();
  TFRMHTTP2Server window("127.0.0.1", QString::number(port));
  window.SetAssetFolder(assets.path);
  ASSERT_TRUE(window.server->Active());

  const Answer tile = ExchangeOverTLS(port, "GET", "/gophertiles?y=5&x=3");
  EXPECT_EQ(tile.status, "HTTP/1.1 200 OK");
  EXPECT_EQ(tile.body, "tile 3 5");
  const Answer missing = ExchangeOverTLS(port, "GET", "/DEMO/img/http_test/a.jpg");
  EXPECT_EQ(missing.status, "HTTP/1.1 500 Internal Server Error");
  const Answer page = ExchangeOverTLS(port, "POST", "/", "Content-Type: application/json\r\nContent-Length: 2\r\n", "{}");
  EXPECT_TRUE(page.HasHeader("Content-Type: application/json")) << page.head;
  EXPECT_EQ(page.body, kDemoTestPage);
  const Answer other = ExchangeOverTLS(port, "DELETE", "/");
  EXPECT_EQ(other.body, "<HTML><BODY><B>200 OK</B></BODY></HTML>");

  const QString started = "#Server Started: 127.0.0.1:" + QString::number(port);
  EXPECT_EQ(LogOnceItHas(window, 3),
            (QStringList{started, "GET /gophertiles?y=5&x=3 HTTP/1.1", "POST / HTTP/1.1"}));
}

// The demo's handler behind the component with HTTP/2 on, asked with prior
// knowledge (h2c): the test page and a tile, each logged with its HTTP/2 line.
TEST(DemoHandlerOverHTTP2, ServesThePageAndATileToCurl) {
  TempAssetFolder assets;
  TzalWebSocketHTTPServer server;
  test::BindLoopback(server);
  server.HTTP2Options().Enabled = true;
  test::TestRecorder<std::string> log;
  server.OnCommandGet = [&](TIdContext* context, TIdHTTPRequestInfo* request, TIdHTTPResponseInfo* response) {
    serverCommandGet(context, request, response, assets.path, [&](const std::string& line) { log.Add(line); });
  };
  const std::string base = "http://127.0.0.1:" + std::to_string(test::ActivePort(server));
  const std::string curl = "curl -sS --http2-prior-knowledge -w '|%{http_code} %{http_version}' ";
  EXPECT_EQ(test::RunCommand(curl + base + "/").Output, std::string(kDemoTestPage) + "|200 2");
  EXPECT_EQ(test::RunCommand(curl + "'" + base + "/gophertiles?x=3&y=5'").Output, "tile 3 5|200 2");
  server.SetActive(false);
  EXPECT_EQ(log.Items(), (std::vector<std::string>{"GET / HTTP/2", "GET /gophertiles?x=3&y=5 HTTP/2"}));
}

TEST(DemoHandlerNames, ExecutableFolderIsTheFolderOfThisProgram) {
  const std::string folder = ExecutableFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(fs::path(folder), fs::canonical("/proc/self/exe").parent_path());
}

}  // namespace
}  // namespace zal
