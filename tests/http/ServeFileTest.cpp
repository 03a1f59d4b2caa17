#include "http/zalIdCustomHTTPServer.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "common/zalTestMemory.h"
#include "common/zalTestSocket.h"
#include "http/zalIdHTTPDate.h"
#include "transport/zalIdIntercept.h"

namespace zal {
namespace {

using test::PeakResidentKiB;
using test::TestClient;

class ServeFileTest : public ::testing::Test {
protected:
  void SetUp() override {
    folder = ::testing::TempDir() + "zal-serve-" + std::to_string(::getpid());
    ::mkdir(folder.c_str(), 0700);
    std::ofstream(folder + "/page.html") << "<p>page</p>";
    test::BindLoopback(server);
    server.OnCommandGet = [this](TIdContext* context, TIdHTTPRequestInfo* rq, TIdHTTPResponseInfo* rs) {
      rs->SmartServeFile(context, rq, folder + rq->Document());
    };
    server.SetActive(true);
  }
  void TearDown() override {
    server.SetActive(false);
    std::remove((folder + "/page.html").c_str());
    std::remove((folder + "/big.bin").c_str());
    ::rmdir(folder.c_str());
  }

  std::string Get(const std::string& path, const std::string& extra = "") {
    TestClient client;
    EXPECT_TRUE(client.Connect("127.0.0.1", server.Bindings().Items(0).Port()));
    client.Send("GET " + path + " HTTP/1.1\r\nHost: x\r\n" + extra + "\r\n");
    return client.Receive(2000);
  }

  std::string folder;
  TIdHTTPServer server;
};

TEST_F(ServeFileTest, AFileGoesOutWithItsMediaTypeLengthAndName) {
  const std::string response = Get("/page.html");
  EXPECT_TRUE(response.starts_with("HTTP/1.1 200 OK\r\n")) << response;
  EXPECT_NE(response.find("Content-Type: text/html"), std::string::npos);
  EXPECT_NE(response.find("Content-Length: 11\r\n"), std::string::npos);
  EXPECT_NE(response.find("Content-Disposition: attachment; filename=\"page.html\";\r\n"), std::string::npos);
  EXPECT_NE(response.find("Last-Modified: "), std::string::npos);
  EXPECT_TRUE(response.ends_with("\r\n\r\n<p>page</p>"));
}

TEST_F(ServeFileTest, IfModifiedSinceWithinTwoSecondsGets304AndMissingFiles404) {
  const std::string first = Get("/page.html");
  const size_t at = first.find("Last-Modified: ");
  ASSERT_NE(at, std::string::npos);
  const std::string modified = first.substr(at + 15, first.find("\r\n", at) - at - 15);
  const std::string again = Get("/page.html", "If-Modified-Since: " + modified + "\r\n");
  EXPECT_TRUE(again.starts_with("HTTP/1.1 304 Not Modified\r\n")) << again;
  EXPECT_EQ(again.substr(again.find("\r\n\r\n") + 4), "");
  const std::string old = Get("/page.html", "If-Modified-Since: Sun, 06 Nov 1994 08:49:37 GMT\r\n");
  EXPECT_TRUE(old.starts_with("HTTP/1.1 200 OK\r\n"));
  EXPECT_TRUE(Get("/absent.html").starts_with("HTTP/1.1 404 Not Found\r\n"));
}

// Passes every byte through unchanged; its presence keeps the kernel from
// sending files directly, so the bytes go through the write path.
class TPassThroughIntercept : public TIdServerIntercept {
public:
  TIdConnectionIntercept* Accept(TIdTCPConnection*) override { return new TIdConnectionIntercept(); }
};

struct HeadCase {
  const char* name;
  const char* path;
  bool throughIntercept;
};

class HeadAnswerTest : public ServeFileTest, public ::testing::WithParamInterface<HeadCase> {};

// RFC 9110 9.3.2: a HEAD answer carries no body, whichever path would write it,
// so the next answer on a kept-alive connection starts right after its header.
TEST_P(HeadAnswerTest, CarriesNoBodyAndTheNextAnswerFollowsAtOnce) {
  TPassThroughIntercept intercept;
  server.SetActive(false);
  if (GetParam().throughIntercept)
    server.SetIntercept(&intercept);
  server.SetKeepAlive(true);
  server.OnCommandGet = [this](TIdContext* context, TIdHTTPRequestInfo* rq, TIdHTTPResponseInfo* rs) {
    const std::string& document = rq->Document();
    if (document == "/text")
      rs->SetContentText("TEXTBODY");
    else if (document == "/stream")
      rs->SetContentStream(std::make_unique<TMemoryStream>(TIdBytes{'S', 'T', 'R', 'E', 'A', 'M'}));
    else if (document == "/file")
      rs->ServeFile(context, folder + "/page.html");
    else
      rs->SetContentText("next");
  };
  TestClient client = test::ConnectedTo(server);
  ASSERT_TRUE(client.Send(std::string("HEAD ") + GetParam().path + " HTTP/1.1\r\nHost: x\r\n\r\n"
                          "GET /b HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"));
  const std::string answers = client.Receive(2000);
  server.SetActive(false);
  const size_t headEnd = answers.find("\r\n\r\n");
  ASSERT_NE(headEnd, std::string::npos) << answers;
  EXPECT_TRUE(answers.starts_with("HTTP/1.1 200 OK\r\n")) << answers;
  EXPECT_EQ(answers.find("HTTP/1.1 200 OK\r\n", headEnd), headEnd + 4) << answers;
  EXPECT_TRUE(answers.ends_with("\r\n\r\nnext")) << answers;
}

INSTANTIATE_TEST_SUITE_P(BodyPaths, HeadAnswerTest,
                         ::testing::Values(HeadCase{"Text", "/text", false}, HeadCase{"Stream", "/stream", false},
                                           HeadCase{"SendFile", "/file", false}, HeadCase{"FileWritten", "/file", true},
                                           HeadCase{"StreamThroughIntercept", "/stream", true}),
                         [](const ::testing::TestParamInfo<HeadCase>& info) { return info.param.name; });

TEST_F(ServeFileTest, AFileOfHundredsOfMegabytesIsNotReadIntoMemory) {
  constexpr off_t kSize = 256LL * 1024 * 1024;
  const int fd = ::open((folder + "/big.bin").c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, kSize), 0);  // sparse: no disk needed
  ::close(fd);
  const long peakBefore = PeakResidentKiB();
  TestClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", server.Bindings().Items(0).Port()));
  ASSERT_TRUE(client.Send("GET /big.bin HTTP/1.1\r\nHost: x\r\n\r\n"));
  const int64_t received = client.CountUntilQuiet(5000);
  EXPECT_GT(received, static_cast<int64_t>(kSize));  // the header and every byte of the file
  EXPECT_LT(PeakResidentKiB() - peakBefore, 64L * 1024) << "the file was held in memory";
}

}  // namespace
}  // namespace zal
