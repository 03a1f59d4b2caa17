// The HTTP/1.1 engine against an independent client: curl.
#include "http/zalIdCustomHTTPServer.h"

#include <gtest/gtest.h>

#include "common/zalTestProcess.h"
#include "common/zalTestSocket.h"

#include <array>
#include <cstdio>
#include <memory>
#include <string>

namespace zal {
namespace {

using test::CommandResult;
using test::RunCommand;

class CurlPeerTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (RunCommand("curl --version").ExitCode != 0)
      FAIL() << "curl is not installed; scripts/install-deps.sh peers installs it";
    test::BindLoopback(server);
    server.SetKeepAlive(true);
    server.OnCommandGet = [](TIdContext*, TIdHTTPRequestInfo* rq, TIdHTTPResponseInfo* rs) {
      if (rq->Document() == "/empty") {
        rs->SetResponseNo(204);
        return;
      }
      std::string body;
      if (rq->PostStream()) {
        body.resize(static_cast<size_t>(rq->PostStream()->Size()));
        rq->PostStream()->Read(body.data(), static_cast<int64_t>(body.size()));
      }
      rs->SetContentType("text/plain; charset=utf-8");
      rs->SetContentText(rq->Command() + " " + rq->Document() + " " + std::to_string(body.size()));
    };
    base = "http://127.0.0.1:" + std::to_string(test::ActivePort(server));
  }

  std::string Curl(const std::string& arguments) {
    const CommandResult result = RunCommand("curl -sS --max-time 10 " + arguments);
    EXPECT_EQ(result.ExitCode, 0) << result.Output;
    return result.Output;
  }

  TIdHTTPServer server;
  std::string base;
};

TEST_F(CurlPeerTest, GetHeadAndNoContent) {
  EXPECT_EQ(Curl(base + "/a%20b"), "GET /a b 0");
  const std::string head = Curl("-I " + base + "/x");
  EXPECT_NE(head.find("HTTP/1.1 200 OK"), std::string::npos);
  EXPECT_NE(head.find("Content-Length: 9"), std::string::npos);  // "HEAD /x 0", as a GET would send
  EXPECT_EQ(Curl("-w '%{http_code}' " + base + "/empty"), "204");
}

TEST_F(CurlPeerTest, BodiesByLengthChunkedAndWithExpectContinue) {
  EXPECT_EQ(Curl("-H 'Content-Type: application/octet-stream' -d hello " + base + "/p"), "POST /p 5");
  EXPECT_EQ(Curl("-H 'Content-Type: text/plain' -H 'Transfer-Encoding: chunked' -d hello " + base + "/c"), "POST /c 5");
  // curl asks for 100-continue before a body of more than a megabyte.
  const std::string file = ::testing::TempDir() + "zal-big-body";
  std::unique_ptr<FILE, int (*)(FILE*)> out(std::fopen(file.c_str(), "wb"), &std::fclose);
  const std::string block(2000000, 'z');
  std::fwrite(block.data(), 1, block.size(), out.get());
  out.reset();
  const std::string verbose = Curl("-v -H 'Content-Type: application/octet-stream' --data-binary @" + file + " " + base + "/big");
  EXPECT_NE(verbose.find("Expect: 100-continue"), std::string::npos);
  EXPECT_NE(verbose.find("POST /big 2000000"), std::string::npos);
  std::remove(file.c_str());
}

// Error answers carry the page their Content-Length announces: curl reads
// each to its end and leaves without an error.
TEST_F(CurlPeerTest, ErrorAnswersAreReadToTheirEnd) {
  server.SetMaximumBodySize(4);
  const auto page = [](const std::string& status) { return "<HTML><BODY><B>" + status + "</B></BODY></HTML>"; };
  EXPECT_EQ(Curl("-H 'Host:' " + base + "/x"), page("400 Bad Request"));
  EXPECT_EQ(Curl("-H 'Transfer-Encoding: chunked' -H 'Content-Length: 5' -d hello " + base + "/x"),
            page("400 Bad Request"));
  EXPECT_EQ(Curl("-H 'Content-Type: text/plain' -d hello " + base + "/x"), page("413 Request Entity Too Long"));
  EXPECT_EQ(Curl("-H 'Expect: something' " + base + "/x"), page("417 Expectation Failed"));
}

TEST_F(CurlPeerTest, KeptAliveConnectionsAreReused) {
  const std::string verbose = Curl("-v " + base + "/1 " + base + "/2 " + base + "/3");
  EXPECT_NE(verbose.find("GET /3 0"), std::string::npos);
  EXPECT_NE(verbose.find("Re-using existing connection"), std::string::npos) << verbose;
}

}  // namespace
}  // namespace zal
