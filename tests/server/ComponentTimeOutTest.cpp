// The component's limits on an HTTP/1.1 request, plain and over TLS: one header
// deadline counted from the request's first byte (not the first-bytes wait and
// then a header time-out), a minimum rate for a body, an answer to a request
// line that is too long, a send time-out for a slow reader, the body budget
// given back by a client that leaves; and a stop that ends every wait at once.
#include "server/zalWebSocket_Server.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/zalTestSocket.h"
#include "common/zalTestTLS.h"

namespace zal {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kHeaderTimeOut = 600;      // ms, from the first byte
constexpr int kFirstBytesTimeOut = 2000;  // ms, from the connection's start
constexpr int kBodyTimeOut = 600;        // ms: each wait, and the grace of the body as a whole
constexpr int kBodyMinimumRate = 100;    // octets per second

// A plain or a TLS client, as a case asks.
class Client {
public:
  Client(bool tls, uint16_t port) {
    if (tls) {
      FTLS = std::make_unique<test::TLSTestClient>();
      FConnected = FTLS->Connect(port);
    } else {
      FConnected = FPlain.Connect("127.0.0.1", port);
    }
  }
  bool Connected() const { return FConnected; }
  bool Send(const std::string& data) { return FTLS ? FTLS->Send(data) : FPlain.Send(data); }
  // What arrives within `ms` (less when the server closes).
  std::string ReceiveFor(int ms) { return FTLS ? FTLS->ReceiveAll(ms) : FPlain.Receive(ms); }
  // The TCP socket under either.
  int Handle() { return FTLS ? FTLS->Socket().Handle() : FPlain.Handle(); }

private:
  std::unique_ptr<test::TLSTestClient> FTLS;
  test::TestClient FPlain;
  bool FConnected = false;
};

struct TimeOutCase {
  friend void PrintTo(const TimeOutCase& c, std::ostream* os) { *os << c.name; }
  const char* name;
  std::string first;  // sent at once (after a pause that shows the clock starts at the first byte)
  bool drip;          // then one body octet every 150 ms
  const char* status;
  int atLeastMs;  // when the answer may come, after `first`
  int atMostMs;
};

// The component with the limits above, plain or over TLS, not yet started.
class ComponentServer : public ::testing::Test {
protected:
  void Configure(bool tls) {
    test::BindLoopback(server);
    if (tls) {
      certificate.emplace();
      server.SetSSL(true);
      server.SSLOptions().CertFile = certificate->File();
      server.SSLOptions().KeyFile = certificate->File();
      server.SSLOptions().Password = "kfx.pem";
    }
    server.Options().FirstBytesTimeOut = kFirstBytesTimeOut;
    server.HTTPServer().SetHeaderTimeOut(kHeaderTimeOut);
    server.HTTPServer().SetBodyTimeOut(kBodyTimeOut);
    server.HTTPServer().SetBodyMinimumRate(kBodyMinimumRate);
    server.OnCommandGet = [](TIdContext*, TIdHTTPRequestInfo*, TIdHTTPResponseInfo* rs) { rs->SetContentText("ok"); };
  }
  void TearDown() override { server.SetActive(false); }

  std::optional<test::TestCertificate> certificate;
  TzalWebSocketHTTPServer server;
};

class ComponentTimeOutTest : public ComponentServer,
                             public ::testing::WithParamInterface<std::tuple<TimeOutCase, bool>> {
protected:
  void SetUp() override {
    Configure(std::get<1>(GetParam()));
    server.SetActive(true);
  }
};

TEST_P(ComponentTimeOutTest, AnswersWithinItsDeadline) {
  const TimeOutCase& c = std::get<0>(GetParam());
  Client client(std::get<1>(GetParam()), server.Bindings().Items(0).Port());
  ASSERT_TRUE(client.Connected());
  std::this_thread::sleep_for(300ms);  // the first-bytes wait runs meanwhile; the request's deadline does not
  const Clock::time_point sent = Clock::now();
  ASSERT_TRUE(client.Send(c.first));
  std::string response;
  while (response.find("\r\n\r\n") == std::string::npos && Clock::now() - sent < 4s) {
    response += client.ReceiveFor(c.drip ? 150 : 50);
    if (c.drip && response.empty())
      client.Send("x");
  }
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sent).count();
  EXPECT_TRUE(response.starts_with(std::string(c.status) + "\r\n")) << response.substr(0, 80);
  EXPECT_GE(elapsed, c.atLeastMs);
  EXPECT_LE(elapsed, c.atMostMs);
}

const std::string kLongTarget(17000, 'a');

INSTANTIATE_TEST_SUITE_P(
    Limits, ComponentTimeOutTest,
    ::testing::Combine(
        ::testing::Values(
            TimeOutCase{"PartialRequestLine", "GET /partial", false, "HTTP/1.1 408 Request Timeout", kHeaderTimeOut - 50,
                        kHeaderTimeOut + 500},
            TimeOutCase{"PartialHeaderBlock", "GET / HTTP/1.1\r\nHost: x\r\n", false, "HTTP/1.1 408 Request Timeout",
                        kHeaderTimeOut - 50, kHeaderTimeOut + 500},
            TimeOutCase{"DripFedBody", "POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\n", true,
                        "HTTP/1.1 408 Request Timeout", kBodyTimeOut - 50, kBodyTimeOut + 1000},
            TimeOutCase{"LongRequestLineWithoutLF", "GET /" + kLongTarget, false, "HTTP/1.1 414 URI Too Long", 0,
                        kHeaderTimeOut},
            TimeOutCase{"RequestLineBeyondTheFirstBytesLimit",
                        "GET /" + std::string(70000, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n", false,
                        "HTTP/1.1 414 URI Too Long", 0, kHeaderTimeOut}),
        ::testing::Bool()),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "OverTLS" : "Plain");
    });

// A reader that takes an octet of the answer now and then (from the TCP
// socket, under TLS too) loses its connection once the output has not kept up
// for SendTimeOut.
class ComponentSlowReaderTest : public ComponentServer, public ::testing::WithParamInterface<bool> {};

TEST_P(ComponentSlowReaderTest, LosesItsConnectionAfterTheSendTimeOut) {
  Configure(GetParam());
  server.HTTPServer().SetSendTimeOut(400);
  std::atomic<bool> answering{false};
  server.OnCommandGet = [&](TIdContext*, TIdHTTPRequestInfo*, TIdHTTPResponseInfo* rs) {
    rs->SetContentText(std::string(16 << 20, 'z'));  // more than the kernel buffers of both ends
    answering = true;
  };
  server.SetActive(true);
  Client client(GetParam(), server.Bindings().Items(0).Port());
  ASSERT_TRUE(client.Connected());
  ASSERT_TRUE(client.Send("GET / HTTP/1.1\r\nHost: x\r\n\r\n"));
  EXPECT_TRUE(test::WaitFor(
      [&] {
        char octet;
        [[maybe_unused]] const ssize_t n = ::recv(client.Handle(), &octet, 1, MSG_DONTWAIT);
        return answering && server.ConnectionCount() == 0;
      },
      10000))
      << "the answer is still being sent";
}

INSTANTIATE_TEST_SUITE_P(Readers, ComponentSlowReaderTest, ::testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "OverTLS" : "Plain"); });

// A client that leaves in the middle of its body gives back the octets the
// body held of the server-wide budget, and its connection ends.
TEST_F(ComponentServer, AClientLeavingMidBodyGivesItsBodyBudgetBack) {
  Configure(false);
  server.SetActive(true);
  {
    Client client(false, server.Bindings().Items(0).Port());
    ASSERT_TRUE(client.Connected());
    ASSERT_TRUE(client.Send("POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 100000\r\n\r\n" + std::string(50000, 'b')));
    ASSERT_TRUE(test::WaitFor([&] { return server.HTTPServer().BufferedBodySize() == 50000; }, 5000));
  }
  EXPECT_TRUE(test::WaitFor(
      [&] { return server.HTTPServer().BufferedBodySize() == 0 && server.HTTPServer().Contexts().Count() == 0; }, 5000))
      << server.HTTPServer().BufferedBodySize() << " octets still held";
}

// A stop while many connections hold half-sent request lines ends every wait
// at once: it is prompt, costs little CPU, and leaves no worker behind.
TEST(ComponentStop, EndsEveryWaitOfManyHalfSentRequestsAtOnce) {
  constexpr int kConnections = 1000;
  TzalWebSocketHTTPServer server;
  test::BindLoopback(server);
  server.SetActive(true);
  std::vector<test::TestClient> clients(kConnections);
  for (auto& client : clients) {
    ASSERT_TRUE(client.Connect("127.0.0.1", server.Bindings().Items(0).Port()));
    ASSERT_TRUE(client.Send("GET /half-sent"));
  }
  ASSERT_TRUE(test::WaitFor([&] { return server.HTTPServer().Contexts().Count() == kConnections; }, 60000));
  std::this_thread::sleep_for(200ms);  // every worker waits for the rest of its line
  const double cpuBefore = test::ProcessCpuSeconds();
  const Clock::time_point stopping = Clock::now();
  server.SetActive(false);
  const auto stopMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - stopping).count();
  EXPECT_LT(stopMs, 3000);
  EXPECT_LT(test::ProcessCpuSeconds() - cpuBefore, 2.0);
  EXPECT_EQ(server.HTTPServer().Contexts().Count(), 0);
  for (auto& client : clients)
    EXPECT_TRUE(client.WaitClosed(1000));
}

}  // namespace
}  // namespace zal
