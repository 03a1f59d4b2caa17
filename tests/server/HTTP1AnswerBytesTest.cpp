// The octets of the component's HTTP/1.1 answers, each kind of body once:
// text, stream, file, HEAD, 304, a Content-Length the body does not match (no
// more than announced goes out, then the connection closes), a cookie, and the
// answer to a chunked request. Only the Date value differs from run to run.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "common/zalTestSocket.h"
#include "server/zalWebSocket_Server.h"

namespace zal {
namespace {

struct BytesCase {
  friend void PrintTo(const BytesCase& c, std::ostream* os) { *os << c.name; }
  const char* name;
  std::string request;
  std::string answer;  // "Date: *" stands for any date
};

// The answer with the value of its Date line replaced by "*".
std::string WithoutDate(std::string answer) {
  const size_t at = answer.find("\r\nDate: ");
  if (at != std::string::npos)
    answer.replace(at + 8, answer.find("\r\n", at + 2) - at - 8, "*");
  return answer;
}

class HTTP1AnswerBytesTest : public ::testing::TestWithParam<BytesCase> {
protected:
  void SetUp() override {
    folder = ::testing::TempDir() + "zal-answer-bytes-" + std::to_string(::getpid());
    ::mkdir(folder.c_str(), 0700);
    file = folder + "/page.txt";
    std::ofstream(file) << "file-body";
    test::BindLoopback(server);
    server.OnCommandGet = [this](TIdContext* context, TIdHTTPRequestInfo* rq, TIdHTTPResponseInfo* rs) {
      const std::string& document = rq->Document();
      if (document == "/text") {
        rs->SetContentText("hello");
      } else if (document == "/stream") {
        rs->SetContentType("application/octet-stream");
        rs->SetContentStream(std::make_unique<TMemoryStream>(TIdBytes{'s', 't', 'r', 'e', 'a', 'm'}));
      } else if (document == "/file") {
        rs->ServeFile(context, file);
      } else if (document == "/unchanged") {
        rs->SetResponseNo(304);
      } else if (document == "/short") {
        rs->SetContentText("0123456789");
        rs->SetContentLength(3);
      } else if (document == "/cookie") {
        rs->Cookies().Add("flavour", "oat", "/");
        rs->SetContentText("c");
      } else {
        std::string body(static_cast<size_t>(rq->PostStream() ? rq->PostStream()->Size() : 0), '\0');
        if (rq->PostStream())
          rq->PostStream()->Read(body.data(), static_cast<int64_t>(body.size()));
        rs->SetContentText("got " + body);
      }
    };
    server.SetActive(true);
  }
  void TearDown() override {
    server.SetActive(false);
    std::remove(file.c_str());
    ::rmdir(folder.c_str());
  }

  std::string folder, file;
  TzalWebSocketHTTPServer server;
};

TEST_P(HTTP1AnswerBytesTest, AreTheOctetsOfTheAnswer) {
  test::TestClient client = test::ConnectedTo(server);
  ASSERT_TRUE(client.Send(GetParam().request));
  EXPECT_EQ(WithoutDate(client.Receive(2000)), GetParam().answer);
  EXPECT_TRUE(client.WaitClosed(2000));
}

const std::string kOK = "HTTP/1.1 200 OK\r\nConnection: close\r\n";
const std::string kHTML = "Content-Type: text/html; charset=ISO-8859-1\r\n";
const std::string kDateServer = "Date: *\r\nServer: zalWebSockets 4.4.6\r\n";

INSTANTIATE_TEST_SUITE_P(
    Answers, HTTP1AnswerBytesTest,
    ::testing::Values(
        BytesCase{"Text", "GET /text HTTP/1.1\r\nHost: x\r\n\r\n",
                  kOK + kHTML + "Content-Length: 5\r\n" + kDateServer + "\r\nhello"},
        BytesCase{"Stream", "GET /stream HTTP/1.1\r\nHost: x\r\n\r\n",
                  kOK + "Content-Type: application/octet-stream\r\nContent-Length: 6\r\n" + kDateServer + "\r\nstream"},
        BytesCase{"File", "GET /file HTTP/1.1\r\nHost: x\r\n\r\n",
                  kOK + "Content-Disposition: attachment; filename=\"page.txt\";\r\n"
                        "Content-Type: text/plain; charset=ISO-8859-1\r\nContent-Length: 9\r\n" +
                      kDateServer + "\r\nfile-body"},
        BytesCase{"Head", "HEAD /text HTTP/1.1\r\nHost: x\r\n\r\n",
                  kOK + kHTML + "Content-Length: 5\r\n" + kDateServer + "\r\n"},
        BytesCase{"NotModified", "GET /unchanged HTTP/1.1\r\nHost: x\r\n\r\n",
                  "HTTP/1.1 304 Not Modified\r\nConnection: close\r\n" + kDateServer + "\r\n"},
        BytesCase{"BodyLongerThanAnnounced", "GET /short HTTP/1.1\r\nHost: x\r\n\r\n",
                  kOK + kHTML + "Content-Length: 3\r\n" + kDateServer + "\r\n012"},
        BytesCase{"Cookie", "GET /cookie HTTP/1.1\r\nHost: x\r\n\r\n",
                  kOK + kHTML + "Content-Length: 1\r\n" + kDateServer + "Set-Cookie: flavour=oat; Path=/\r\n\r\nc"},
        BytesCase{"ChunkedRequest",
                  "POST /echo HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n",
                  kOK + kHTML + "Content-Length: 9\r\n" + kDateServer + "\r\ngot abcde"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zal
