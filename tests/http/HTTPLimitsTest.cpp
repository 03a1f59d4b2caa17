// The request loop's time-outs and size limits, each set short and crossed
// from both sides: a peer that stalls, trickles or never reads loses its
// connection; one that stays within the limit is served.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "http/zalHTTPServerFixture.h"

namespace zal {
namespace {

using namespace std::chrono_literals;
using test::Body;
using test::HTTPServerTest;
using test::TestClient;
using test::WaitFor;

constexpr int kShortTimeOut = 400;  // milliseconds

// Sends the pieces `gap` apart; false when the server has closed meanwhile.
bool Trickle(TestClient& client, const std::vector<std::string>& pieces, std::chrono::milliseconds gap) {
  for (const auto& piece : pieces) {
    if (!client.Send(piece))
      return false;
    std::this_thread::sleep_for(gap);
  }
  return true;
}

TEST_F(HTTPServerTest, AHeaderBlockMustBeCompleteWithinTheHeaderTimeOut) {
  server.SetHeaderTimeOut(kShortTimeOut);
  TestClient inTime = Connected();
  ASSERT_TRUE(Trickle(inTime, {"GET /a HTTP/1.1\r\n", "Host: x\r\n", "\r\n"}, 50ms));
  const std::string inTimeResponse = inTime.Receive(2000);
  EXPECT_TRUE(inTimeResponse.starts_with("HTTP/1.1 200 OK\r\n")) << inTimeResponse;

  // Each line comes well within the time-out, the whole block does not.
  TestClient trickling = Connected();
  Trickle(trickling, {"GET /b HTTP/1.1\r\n", "Host: x\r\n", "X-1: 1\r\n", "X-2: 2\r\n", "X-3: 3\r\n"}, 150ms);
  const std::string response = trickling.Receive(2000);
  EXPECT_TRUE(response.starts_with("HTTP/1.1 408 Request Timeout\r\n")) << response;
  EXPECT_TRUE(test::HasLine(response, "Connection: close"));
  EXPECT_EQ(SeenCount(), 1u);
}

TEST_F(HTTPServerTest, AnIdleKeptAliveConnectionIsClosedAfterTheKeepAliveTimeOut) {
  server.SetKeepAlive(true);
  server.SetKeepAliveTimeOut(kShortTimeOut);
  TestClient client = Connected();
  ASSERT_TRUE(client.Send("GET /1 HTTP/1.1\r\nHost: x\r\n\r\n"));
  EXPECT_FALSE(client.ReceiveUntil("</HTML>").empty());
  std::this_thread::sleep_for(100ms);
  ASSERT_TRUE(client.Send("GET /2 HTTP/1.1\r\nHost: x\r\n\r\n"));
  EXPECT_FALSE(client.ReceiveUntil("</HTML>").empty());
  const auto idleSince = std::chrono::steady_clock::now();
  EXPECT_TRUE(client.WaitClosed(3000));
  EXPECT_GE(std::chrono::steady_clock::now() - idleSince, std::chrono::milliseconds(kShortTimeOut - 50));
  EXPECT_EQ(SeenCount(), 2u);
}

TEST_F(HTTPServerTest, ABodyThatStopsComingIsAnswered408) {
  server.SetBodyTimeOut(kShortTimeOut);
  server.SetBodyMinimumRate(0);  // the wait for each piece alone
  const std::string post = "POST / HTTP/1.1\r\nHost: x\r\n";
  // Slow but steady: every piece comes within the time-out.
  TestClient steady = Connected();
  ASSERT_TRUE(Trickle(steady, {post + "Content-Length: 6\r\n\r\n", "ab", "cd", "ef"}, 150ms));
  const std::string steadyResponse = steady.Receive(2000);
  EXPECT_TRUE(steadyResponse.starts_with("HTTP/1.1 200 OK\r\n")) << steadyResponse;
  EXPECT_EQ(Seen(0).body, "abcdef");

  const std::string stalled[] = {
      post + "Content-Length: 10\r\n\r\nabc",
      post + "Transfer-Encoding: chunked\r\n\r\n5\r\nhel",
      post + "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n",           // the next chunk-size line
      post + "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n",      // the end of the trailer
      post + "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\nX: 1",  // a trailer line
  };
  for (const auto& request : stalled) {
    TestClient client = Connected();
    ASSERT_TRUE(client.Send(request));
    const std::string response = client.Receive(3000);
    EXPECT_TRUE(response.starts_with("HTTP/1.1 408 Request Timeout\r\n")) << request << "\n" << response;
  }
  EXPECT_EQ(SeenCount(), 1u);
}

TEST_F(HTTPServerTest, BodiesAboveTheMaximumBodySizeAreAnswered413) {
  server.SetMaximumBodySize(10);
  const std::string post = "POST / HTTP/1.1\r\nHost: x\r\n";
  struct Case {
    std::string request;
    const char* status;
  };
  const Case cases[] = {
      {post + "Content-Length: 10\r\n\r\n0123456789", "HTTP/1.1 200 OK"},
      {post + "Content-Length: 11\r\n\r\n", "HTTP/1.1 413 Request Entity Too Long"},  // refused before any byte
      {post + "Transfer-Encoding: chunked\r\n\r\n6\r\n012345\r\n4\r\n6789\r\n0\r\n\r\n", "HTTP/1.1 200 OK"},
      {post + "Transfer-Encoding: chunked\r\n\r\n6\r\n012345\r\n5\r\n6789a\r\n0\r\n\r\n",
       "HTTP/1.1 413 Request Entity Too Long"},
  };
  for (const auto& c : cases)
    EXPECT_TRUE(Exchange(c.request).starts_with(std::string(c.status) + "\r\n")) << c.request;
  EXPECT_EQ(SeenCount(), 2u);
  EXPECT_EQ(Seen(1).body, "0123456789");
}

// RFC 9112 9.6: an answer given before the body was read reaches a client
// that is still sending the body; one that never stops sending nor closes is
// cut off after LingerTimeOut.
TEST_F(HTTPServerTest, AnEarlyAnswerReachesAClientStillSendingItsBody) {
  server.SetMaximumBodySize(10);
  server.SetLingerTimeOut(kShortTimeOut);
  const std::string body(8 << 20, 'x');
  TestClient client = Connected();
  EXPECT_TRUE(client.Send("POST / HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(body.size()) +
                          "\r\n\r\n" + body));
  const std::string response = client.Receive(2000);
  EXPECT_TRUE(response.starts_with("HTTP/1.1 413 Request Entity Too Long\r\n")) << response.substr(0, 100);
  EXPECT_TRUE(Body(response).starts_with("<HTML>"));
  const auto lingering = std::chrono::steady_clock::now();
  EXPECT_TRUE(WaitFor([&] { return server.Contexts().Count() == 0; }, 3000));  // the client stays
  EXPECT_GE(std::chrono::steady_clock::now() - lingering, std::chrono::milliseconds(kShortTimeOut / 2));
}

// A stream of zero bytes of any size that takes no memory.
class TZeroStream : public TStream {
public:
  explicit TZeroStream(int64_t size) : FSize(size) {}
  int64_t Read(void* buffer, int64_t count) override {
    const int64_t n = std::min(count, FSize - FPosition);
    std::memset(buffer, 0, static_cast<size_t>(n));
    FPosition += n;
    return n;
  }
  int64_t Write(const void*, int64_t) override { return 0; }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override {
    FPosition = origin == soBeginning ? offset : origin == soCurrent ? FPosition + offset : FSize + offset;
    return FPosition;
  }
  int64_t Size() override { return FSize; }
  void SetSize(int64_t) override {}

private:
  int64_t FSize;
  int64_t FPosition = 0;
};

// Body octets held by all connections together stay within
// MaximumBufferedBodySize: while one connection holds 60 of 100 octets, 40 more
// fit and 41 get 503; once that body is served its octets are free again. A
// declared length alone reserves nothing.
TEST_F(HTTPServerTest, BodiesBeyondTheServerWideBudgetAreAnswered503) {
  server.SetMaximumBufferedBodySize(100);
  const std::string post = "POST / HTTP/1.1\r\nHost: x\r\n";
  auto withBody = [&](size_t size) { return post + "Content-Length: " + std::to_string(size) + "\r\n\r\n" + std::string(size, 'b'); };
  TestClient holder = Connected();
  ASSERT_TRUE(holder.Send(post + "Content-Length: 70\r\n\r\n" + std::string(60, 'a')));
  ASSERT_TRUE(WaitFor([&] { return server.BufferedBodySize() == 60; }));
  // A refused request gives its octets back when its connection has ended.
  const auto onlyTheHolderHolds = [&] { return WaitFor([&] { return server.BufferedBodySize() == 60; }); };
  EXPECT_TRUE(Exchange(withBody(41)).starts_with("HTTP/1.1 503 Service Unavailable\r\n"));
  ASSERT_TRUE(onlyTheHolderHolds());
  EXPECT_TRUE(Exchange(post + "Transfer-Encoding: chunked\r\n\r\n1e\r\n" + std::string(30, 'c') + "\r\nb\r\n" +
                       std::string(11, 'c') + "\r\n0\r\n\r\n")
                  .starts_with("HTTP/1.1 503 "));
  ASSERT_TRUE(onlyTheHolderHolds());
  EXPECT_TRUE(Exchange(withBody(40)).starts_with("HTTP/1.1 200 OK\r\n"));
  ASSERT_TRUE(holder.Send(std::string(10, 'a')));
  EXPECT_TRUE(holder.Receive(2000).starts_with("HTTP/1.1 200 OK\r\n"));
  EXPECT_TRUE(WaitFor([&] { return server.BufferedBodySize() == 0; }));
  EXPECT_TRUE(Exchange(withBody(100)).starts_with("HTTP/1.1 200 OK\r\n"));
  EXPECT_EQ(SeenCount(), 3u);
}

// Header lines adding up to exactly `size` octets, each counted with its CR LF,
// the Host line included.
std::string HeaderBlockOfSize(size_t size) {
  std::string block = "Host: x\r\n";
  while (block.size() < size) {
    const size_t line = std::min<size_t>(size - block.size(), 10000);
    block += line < 8 ? std::string("X:") + std::string(line - 4, 'v') + "\r\n"
                      : "X-F: " + std::string(line - 7, 'v') + "\r\n";
  }
  return block;
}

// The default MaximumHeaderBlockSize, 65536 octets, crossed by one octet.
TEST_F(HTTPServerTest, HeaderBlocksAboveTheMaximumHeaderBlockSizeAreAnswered431) {
  ASSERT_EQ(server.MaximumHeaderBlockSize(), 65536);
  const std::string atLimit = Exchange("GET / HTTP/1.1\r\n" + HeaderBlockOfSize(65536) + "\r\n");
  EXPECT_TRUE(atLimit.starts_with("HTTP/1.1 200 OK\r\n")) << atLimit.substr(0, 60);
  const std::string above = Exchange("GET / HTTP/1.1\r\n" + HeaderBlockOfSize(65537) + "\r\n");
  EXPECT_TRUE(above.starts_with("HTTP/1.1 431 Request Header Fields Too Large\r\n")) << above.substr(0, 60);
  // A chunked body's trailer is held to the same bound.
  const std::string trailer = Exchange("POST / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n" +
                                       HeaderBlockOfSize(65537) + "\r\n");
  EXPECT_TRUE(trailer.starts_with("HTTP/1.1 431 ")) << trailer.substr(0, 60);
  EXPECT_EQ(SeenCount(), 1u);
}

struct CountLimitCase {
  friend void PrintTo(const CountLimitCase& c, std::ostream* os) { *os << c.name; }
  const char* name;
  int limit;                                // the default of the setting
  std::string (*request)(int count);        // a request carrying `count` items
  size_t (*seen)(TIdHTTPRequestInfo* rq);  // how many the handler got
};

class CountLimitTest : public HTTPServerTest, public ::testing::WithParamInterface<CountLimitCase> {};

// Items up to the limit all reach the handler; the excess is ignored, and the
// request is served.
TEST_P(CountLimitTest, ItemsBeyondTheDefaultLimitAreIgnored) {
  std::vector<size_t> counts;
  handler = [&](TIdContext*, TIdHTTPRequestInfo* rq, TIdHTTPResponseInfo*) { counts.push_back(GetParam().seen(rq)); };
  const int limit = GetParam().limit;
  for (int count : {limit, limit + 1}) {
    const std::string response = Exchange(GetParam().request(count));
    EXPECT_TRUE(response.starts_with("HTTP/1.1 200 OK\r\n")) << count;
  }
  EXPECT_EQ(counts, (std::vector<size_t>{static_cast<size_t>(limit), static_cast<size_t>(limit)}));
}

std::string Pieces(int count, const char* separator) {
  std::string text;
  for (int i = 0; i < count; ++i)
    text += (i ? separator : "") + ("n" + std::to_string(i)) + "=v";
  return text;
}

INSTANTIATE_TEST_SUITE_P(
    Defaults, CountLimitTest,
    ::testing::Values(
        CountLimitCase{"Cookies", 200,
                       [](int n) { return "GET / HTTP/1.1\r\nHost: x\r\nCookie: " + Pieces(n, "; ") + "\r\n\r\n"; },
                       [](TIdHTTPRequestInfo* rq) { return static_cast<size_t>(rq->Cookies().Count()); }},
        CountLimitCase{"QueryParams", 1000,
                       [](int n) { return "GET /?" + Pieces(n, "&") + " HTTP/1.1\r\nHost: x\r\n\r\n"; },
                       [](TIdHTTPRequestInfo* rq) { return rq->Params().size(); }},
        CountLimitCase{"FormParams", 1000,
                       [](int n) {
                         const std::string body = Pieces(n, "&");
                         return "POST / HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                                "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
                       },
                       [](TIdHTTPRequestInfo* rq) { return rq->Params().size(); }}),
    [](const auto& info) { return std::string(info.param.name); });

struct StalledReaderCase {
  const char* name;
  bool fromFile;
  bool trickles;  // takes an octet every few milliseconds rather than nothing
};

class StalledReaderTest : public HTTPServerTest, public ::testing::WithParamInterface<StalledReaderCase> {};

// A peer that never reads, or reads an octet now and then, ends its connection
// once the output has not kept up for SendTimeOut, whether the body is written
// or sent from a file.
TEST_P(StalledReaderTest, LosesItsConnectionAfterTheSendTimeOut) {
  const StalledReaderCase& c = GetParam();
  const std::string file = ::testing::TempDir() + "zal-stalled-" + std::to_string(::getpid());
  const int fd = ::open(file.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, 256LL << 20), 0);  // sparse: no disk needed
  ::close(fd);
  server.SetSendTimeOut(kShortTimeOut);
  handler = [&](TIdContext* context, TIdHTTPRequestInfo*, TIdHTTPResponseInfo* rs) {
    if (c.fromFile)
      rs->ServeFile(context, file);
    else
      rs->SetContentStream(std::make_unique<TZeroStream>(256LL << 20));
  };
  TestClient client = Connected();
  const int small = 4096;
  ::setsockopt(client.Handle(), SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
  ASSERT_TRUE(client.Send("GET / HTTP/1.1\r\nHost: x\r\n\r\n"));
  ASSERT_TRUE(WaitFor([&] { return SeenCount() == 1; }));
  EXPECT_TRUE(WaitFor(
      [&] {
        char octet;
        if (c.trickles)
          [[maybe_unused]] const ssize_t n = ::recv(client.Handle(), &octet, 1, MSG_DONTWAIT);
        return server.Contexts().Count() == 0;
      },
      10000))
      << "the worker is still sending";
  std::remove(file.c_str());
}

INSTANTIATE_TEST_SUITE_P(BodyPaths, StalledReaderTest,
                         ::testing::Values(StalledReaderCase{"Stream", false, false},
                                           StalledReaderCase{"File", true, false},
                                           StalledReaderCase{"StreamTrickled", false, true},
                                           StalledReaderCase{"FileTrickled", true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zal
