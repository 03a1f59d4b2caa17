// The component over TLS against real clients: curl, openssl s_client and our
// own OpenSSL client.
#include "server/zalWebSocket_Server.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <thread>

#include "common/zalTestMemory.h"
#include "common/zalTestProcess.h"
#include "common/zalTestExceptions.h"
#include "common/zalTestRecorder.h"
#include "common/zalTestSocket.h"
#include "common/zalTestTLS.h"
#include "transport/zalIdServerIOHandlerIOCP.h"

namespace zal {
namespace {

using test::RunCommand;
using test::TestCertificate;
using test::TLSTestClient;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr int64_t kBigFileSize = 256LL * 1024 * 1024;
constexpr size_t kLargeBodySize = 300000;

int64_t MillisecondsSince(steady_clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(steady_clock::now() - start).count();
}

// Runs a shell command in a child process, stopped by KillAndReap.
pid_t StartShell(const std::string& command) {
  const pid_t child = ::fork();
  if (child == 0) {
    ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return child;
}

// SIGKILL to the child; its wait status.
int KillAndReap(pid_t child) {
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  return status;
}

class TLSComponentTest : public ::testing::Test {
protected:
  void SetUp() override {
    bigFile = certificate.Folder() + "/big.bin";
    const int fd = ::open(bigFile.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_EQ(::ftruncate(fd, kBigFileSize), 0);  // sparse: no disk space
    ::close(fd);
    test::UseTestEngine(server);  // one test binds two ports by hand
    server.SetSSL(true);
    server.SSLOptions().CertFile = certificate.File();
    server.SSLOptions().KeyFile = certificate.File();
    server.SSLOptions().Password = "kfx.pem";
    server.SSLOptions().Version = tls1_3;
    server.SetKeepAlive(true);
    server.OnCommandGet = [this](TIdContext* context, TIdHTTPRequestInfo* rq, TIdHTTPResponseInfo* rs) {
      if (rq->Document() == "/big") {
        bigRequested = true;
        rs->ServeFile(context, bigFile);
        return;
      }
      rs->SetContentType("text/plain");
      if (rq->Document() == "/large") {
        rs->SetContentText(std::string(kLargeBodySize, 'L'));
        return;
      }
      rs->SetContentText("hello " + rq->Document());
    };
    server.OnException = [this](TzalWSConnection*, const std::exception& e) { exceptions.Add(e.what()); };
  }
  void TearDown() override { server.SetActive(false); }

  uint16_t Activate() {
    test::BindLoopback(server);
    return test::ActivePort(server);
  }
  std::string Curl(uint16_t port, const std::string& arguments, const std::string& path = "/x") {
    return RunCommand("curl -sSk --max-time 20 " + arguments + " https://127.0.0.1:" + std::to_string(port) + path)
        .Output;
  }
  std::string SClient(uint16_t port, const std::string& arguments) {
    return RunCommand("echo | timeout 10 openssl s_client -connect 127.0.0.1:" + std::to_string(port) + " " +
                      arguments)
        .Output;
  }
  std::vector<std::string> Exceptions() { return exceptions.Items(); }

  TestCertificate certificate;
  std::string bigFile;
  std::atomic<bool> bigRequested{false};
  test::TestRecorder<std::string> exceptions;  // outlives the server
  TzalWebSocketHTTPServer server;
};

TEST_F(TLSComponentTest, CurlGetsHTTP11OverTLS) {
  const uint16_t port = Activate();
  EXPECT_TRUE(server.SSL());
  EXPECT_EQ(Curl(port, "--http1.1 -w ' %{http_version} %{http_code}'"), "hello /x 1.1 200");
  EXPECT_EQ(Curl(port, "-w ' %{http_version} %{http_code}'", "/y"), "hello /y 1.1 200")
      << "without HTTP/2 curl's offer of h2 gets no ALPN answer";
}

TEST_F(TLSComponentTest, OpenSSLClientSeesTheVersionAsConfigured) {
  server.HTTP2Options().Enabled = true;
  const uint16_t port = Activate();
  const std::string tls12 = SClient(port, "-tls1_2");
  EXPECT_NE(tls12.find("alert protocol version"), std::string::npos) << tls12;
  EXPECT_NE(tls12.find("Cipher is (NONE)"), std::string::npos) << tls12;
}

struct ALPNChoiceCase {
  const char* name;
  TwsTLSVersions version;  // SSLOptions.Version
  const char* arguments;   // of openssl s_client
  const char* answer;      // the line s_client prints about ALPN
};

class ALPNChoiceTest : public TLSComponentTest, public ::testing::WithParamInterface<ALPNChoiceCase> {};

// The component's choices with HTTP/2 on: "h2" when offered and TLS allows it
// (RFC 9113 9.2, 9.2.2: TLS 1.2 only with an ephemeral key exchange and an AEAD
// cipher), else "http/1.1" when offered, which the HTTP/1.1 engine serves.
TEST_P(ALPNChoiceTest, FollowsTheOfferTheVersionAndTheCipher) {
  const ALPNChoiceCase& c = GetParam();
  server.HTTP2Options().Enabled = true;
  server.SSLOptions().Version = c.version;
  const std::string answer = SClient(Activate(), c.arguments);
  EXPECT_NE(answer.find(c.answer), std::string::npos) << answer.substr(0, 3000);
}

INSTANTIATE_TEST_SUITE_P(
    Offers, ALPNChoiceTest,
    ::testing::Values(
        ALPNChoiceCase{"H2OnTLS13", tls1_3, "-alpn h2,http/1.1", "ALPN protocol: h2"},
        ALPNChoiceCase{"OnlyHTTP11", tls1_3, "-alpn http/1.1", "ALPN protocol: http/1.1"},
        ALPNChoiceCase{"NoOffer", tls1_3, "", "No ALPN negotiated"},
        ALPNChoiceCase{"H2OnTLS12GCM", tlsUndefined, "-tls1_2 -cipher ECDHE-ECDSA-AES128-GCM-SHA256 -alpn h2,http/1.1",
                       "ALPN protocol: h2"},
        ALPNChoiceCase{"CBCFallsBackToHTTP11", tlsUndefined,
                       "-tls1_2 -cipher ECDHE-ECDSA-AES128-SHA -alpn h2,http/1.1", "ALPN protocol: http/1.1"},
        ALPNChoiceCase{"CBCWithoutHTTP11", tlsUndefined, "-tls1_2 -cipher ECDHE-ECDSA-AES128-SHA -alpn h2",
                       "No ALPN negotiated"}),
    [](const auto& info) { return std::string(info.param.name); });

// Several streams on one connection, with bodies past the initial flow-control
// windows (65535 octets), so WINDOW_UPDATE frames pass through TLS both ways.
TEST_F(TLSComponentTest, HTTP2ClientsNegotiateH2AndAreServedOnSeveralStreams) {
  server.HTTP2Options().Enabled = true;
  const uint16_t port = Activate();
  EXPECT_EQ(Curl(port, "--http2 -w ' %{http_version} %{http_code}'"), "hello /x 2 200");
  EXPECT_EQ(Curl(port, "--http2 -o /dev/null -w '%{http_version} %{size_download}'", "/large"),
            "2 " + std::to_string(kLargeBodySize));
  const std::string base = "https://127.0.0.1:" + std::to_string(port);
  const test::CommandResult nghttp =
      RunCommand("nghttp -nv " + base + "/a " + base + "/b " + base + "/large " + base + "/c", 30);
  EXPECT_EQ(nghttp.ExitCode, 0) << nghttp.Output;
  EXPECT_NE(nghttp.Output.find("The negotiated protocol: h2"), std::string::npos) << nghttp.Output;
  size_t answered = 0;
  for (size_t at = nghttp.Output.find(":status: 200"); at != std::string::npos;
       at = nghttp.Output.find(":status: 200", at + 1))
    ++answered;
  EXPECT_EQ(answered, 4u) << nghttp.Output;
  EXPECT_NE(nghttp.Output.find("stream_id=7"), std::string::npos) << "four streams on one connection";
  EXPECT_NE(nghttp.Output.find("send WINDOW_UPDATE"), std::string::npos) << nghttp.Output;
  EXPECT_TRUE(Exceptions().empty()) << Exceptions().front();
}

// RFC 9113 3.4: once h2 is agreed the client opens with the preface, followed
// by SETTINGS; a PING first, or no preface at all (HTTP/1.1 spoken anyway), is a
// connection error. SETTINGS and GOAWAY go out through TLS, then the server
// closes the connection; the application sees no request.
struct MissingPrefaceCase {
  const char* name;
  std::string firstBytes;
  friend void PrintTo(const MissingPrefaceCase& aCase, std::ostream* aOut) { *aOut << aCase.name; }
};

class H2WithoutPrefaceTest : public TLSComponentTest, public ::testing::WithParamInterface<MissingPrefaceCase> {};

INSTANTIATE_TEST_SUITE_P(
    FirstBytes, H2WithoutPrefaceTest,
    ::testing::Values(MissingPrefaceCase{"PingBeforeSettings", "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n" +
                                                                   std::string("\0\0\x08\x06\0\0\0\0\0" "12345678", 17)},
                      MissingPrefaceCase{"HTTP11Request", "GET /a HTTP/1.1\r\nHost: x\r\n\r\n"},
                      MissingPrefaceCase{"PrefaceCutShort", "PRI * HTTP/2.0\r\n\r\n"}),
    [](const auto& info) { return info.param.name; });

TEST_P(H2WithoutPrefaceTest, GetsGoAwayAndIsClosed) {
  server.HTTP2Options().Enabled = true;
  server.Options().FirstBytesTimeOut = 300;
  std::atomic<int> requests{0};
  server.OnCommandGet = [&](TIdContext*, TIdHTTPRequestInfo*, TIdHTTPResponseInfo*) { ++requests; };
  const uint16_t port = Activate();
  TLSTestClient client;
  ASSERT_TRUE(client.Connect(port, {.alpn = {"h2"}})) << client.Error();
  EXPECT_EQ(client.ALPN(), "h2");
  ASSERT_TRUE(client.Send(GetParam().firstBytes));
  const auto start = steady_clock::now();
  const std::string answer = client.ReceiveAll(5000);
  EXPECT_LT(MillisecondsSince(start), 4000) << "the server closes the connection";
  // The server's SETTINGS (whatever it lists), then GOAWAY PROTOCOL_ERROR.
  ASSERT_GE(answer.size(), 9u);
  const size_t settingsLength = static_cast<uint8_t>(answer[2]) + 256u * static_cast<uint8_t>(answer[1]);
  EXPECT_EQ(answer.substr(3, 6), std::string("\x04\0\0\0\0\0", 6));
  const std::string goAway("\0\0\x08\x07\0\0\0\0\0" "\0\0\0\0" "\0\0\0\x01", 17);
  EXPECT_EQ(answer.substr(std::min(answer.size(), 9 + settingsLength)), goAway);
  EXPECT_TRUE(client.PeerSentCloseNotify());
  EXPECT_EQ(requests.load(), 0);
}

TEST_F(TLSComponentTest, WithoutHTTP2TheApplicationChoosesTheProtocol) {
  test::TestRecorder<std::vector<std::string>> offered;
  server.OnSSLALPNSelect = [&](void*, const std::vector<std::string>& protocols, std::string& protocol) {
    offered.Add(protocols);
    protocol = "http/1.1";
  };
  const uint16_t port = Activate();
  const std::string answer = SClient(port, "-alpn h2,http/1.1");
  EXPECT_NE(answer.find("ALPN protocol: http/1.1"), std::string::npos) << answer;
  EXPECT_EQ(offered.Items(), (std::vector<std::vector<std::string>>{{"h2", "http/1.1"}}));
}

TEST_F(TLSComponentTest, OnlyTheTLSPortSpeaksTLS) {
  const uint16_t tlsPort = test::FreeLoopbackPort();
  const uint16_t plainPort = test::FreeLoopbackPort();
  ASSERT_NE(tlsPort, plainPort);
  for (uint16_t port : {tlsPort, plainPort}) {
    TIdSocketHandle& binding = server.Bindings().Add();
    binding.SetIP("127.0.0.1");
    binding.SetPort(port);
  }
  server.SSLOptions().Port = tlsPort;
  server.SetActive(true);
  EXPECT_EQ(Curl(tlsPort, "--http1.1"), "hello /x");
  EXPECT_EQ(RunCommand("curl -sS --max-time 10 http://127.0.0.1:" + std::to_string(plainPort) + "/p").Output,
            "hello /p");
}

TEST_F(TLSComponentTest, AWrongPassPhraseFailsActivationAndLeavesTheServerInactive) {
  server.SSLOptions().Password = "wrong";
  const std::string message = test::ExceptionMessage([&] { Activate(); });
  EXPECT_TRUE(message.starts_with("Could not load key, check password.\r\n")) << message;
  EXPECT_FALSE(server.Active());
  server.SSLOptions().Password = "kfx.pem";
  server.SetActive(true);  // the next try with the right one works
  EXPECT_EQ(Curl(server.Bindings().Items(0).Port(), "--http1.1"), "hello /x");
}

TEST_F(TLSComponentTest, TheApplicationMaySupplyItsHandlerOrSeeOurs) {
  TIdServerIOHandlerSSLBase* seen = nullptr;
  server.SetSSL(false);
  server.OnSSLAfterCreateHandler = [&](void*, TwsSSLHandler type, TIdServerIOHandlerSSLBase* handler) {
    EXPECT_EQ(type, sslServer);
    seen = handler;
  };
  server.SetSSL(true);
  EXPECT_EQ(seen, server.HandlerSSL());
  server.SetSSL(false);
  EXPECT_FALSE(server.SSL());

  // The loop engine serves TLS only through a handler of its own kind.
  std::unique_ptr<TIdServerIOHandlerSSLOpenSSL> ownHandler;
  if (test::TestEngine() == iohIOCP)
    ownHandler = std::make_unique<TzalIdServerIOHandlerIOCPOpenSSL>();
  else
    ownHandler = std::make_unique<TIdServerIOHandlerSSLOpenSSL>();
  TIdServerIOHandlerSSLOpenSSL& own = *ownHandler;
  server.OnSSLGetHandler = [&](void*, TwsSSLHandler, TIdServerIOHandlerSSLBase*& handler) { handler = &own; };
  server.SetSSL(true);
  EXPECT_EQ(server.HandlerSSL(), &own);
  own.OnGetPassword = [](std::string& password) { password = "kfx.pem"; };
  own.SSLOptions().SetMethod(sslvTLSv1_2);
  const uint16_t port = Activate();
  EXPECT_NE(SClient(port, "-tls1_2").find("Protocol  : TLSv1.2"), std::string::npos) << "its own settings count";
  server.SetActive(false);
  server.SetSSL(false);  // before the handler goes
}

TEST_F(TLSComponentTest, ATricklingHandshakeIsDroppedAtTheDeadlineAndHealthyClientsStay) {
  server.SSLOptions().HandshakeTimeOut = 500;
  const uint16_t port = Activate();
  TLSTestClient healthy;
  ASSERT_TRUE(healthy.Connect(port)) << healthy.Error();
  test::TestClient trickling;
  ASSERT_TRUE(trickling.Connect("127.0.0.1", port));
  const auto start = steady_clock::now();
  bool closed = false;
  // The start of a ClientHello, one octet at a time: always a valid prefix.
  const std::string hello("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11);
  for (size_t i = 0; !closed && MillisecondsSince(start) < 3000; ++i) {
    trickling.Send(hello.substr(i % hello.size(), 1));
    closed = trickling.WaitClosed(100);
  }
  EXPECT_TRUE(closed);
  EXPECT_GE(MillisecondsSince(start), 450);
  ASSERT_TRUE(healthy.Send("GET /still HTTP/1.1\r\nHost: x\r\n\r\n"));
  EXPECT_NE(healthy.ReceiveUntil("hello /still").find("hello /still"), std::string::npos);
}

// The peer leaves in the middle of a large answer: the server keeps serving.
TEST_F(TLSComponentTest, AClientKilledMidDownloadLeavesTheServerRunning) {
  const uint16_t port = Activate();
  const std::string command = "exec curl -sSk --http1.1 -o /dev/null https://127.0.0.1:" + std::to_string(port) + "/big";
  const pid_t child = StartShell(command);
  ASSERT_GE(child, 0);
  ASSERT_TRUE(test::WaitFor([&] { return bigRequested.load(); }));
  std::this_thread::sleep_for(milliseconds(20));  // the answer is on its way, far from its end
  EXPECT_TRUE(WIFSIGNALED(KillAndReap(child))) << "curl was still downloading when killed";
  EXPECT_EQ(Curl(port, "--http1.1"), "hello /x");
}

TEST_F(TLSComponentTest, A256MiBFileGoesOutWithBoundedMemory) {
  const uint16_t port = Activate();
  const int64_t before = test::ResidentKiB();
  test::PeakSampler sampler(test::ResidentKiB, milliseconds(20));
  const std::string size = Curl(port, "--http1.1 -o /dev/null -w '%{size_download}'", "/big");
  EXPECT_EQ(size, std::to_string(kBigFileSize));
  EXPECT_LT(sampler.Stop() - before, 32 * 1024) << "KiB grown while sending";
}

// Stop while h2load keeps 20 TLS connections with 10 streams each busy.
TEST_F(TLSComponentTest, StopDuringH2LoadOverTLSReturnsPromptly) {
  server.HTTP2Options().Enabled = true;
  std::atomic<int> answered{0};
  const auto serve = server.OnCommandGet;
  server.OnCommandGet = [&](TIdContext* context, TIdHTTPRequestInfo* rq, TIdHTTPResponseInfo* rs) {
    ++answered;
    serve(context, rq, rs);
  };
  const uint16_t port = Activate();
  const std::string command =
      "exec h2load -c 20 -m 10 -D 20 https://127.0.0.1:" + std::to_string(port) + "/x >/dev/null 2>&1";
  const pid_t load = StartShell(command);
  ASSERT_GE(load, 0);
  const auto loading = steady_clock::now();
  while (answered < 200 && MillisecondsSince(loading) < 10000)
    std::this_thread::sleep_for(milliseconds(20));
  const auto start = steady_clock::now();
  server.SetActive(false);
  const int64_t stopMs = MillisecondsSince(start);
  KillAndReap(load);
  EXPECT_GE(answered, 200) << "h2load (nghttp2-client) did not load the server";
  EXPECT_LT(stopMs, 2000);
}

TEST_F(TLSComponentTest, StopDuringLoadReturnsPromptly) {
  const uint16_t port = Activate();
  std::atomic<bool> stop{false};
  std::vector<std::thread> clients;
  for (int i = 0; i < 6; ++i) {
    clients.emplace_back([&] {
      while (!stop) {
        TLSTestClient client;
        if (client.Connect(port, {}, 1000)) {
          client.Send("GET /big HTTP/1.1\r\nHost: x\r\n\r\n");
          client.ReceiveUntil("never", 200);
        }
      }
    });
  }
  std::this_thread::sleep_for(milliseconds(500));
  const auto start = steady_clock::now();
  server.SetActive(false);
  EXPECT_LT(MillisecondsSince(start), 2000);
  stop = true;
  for (auto& client : clients)
    client.join();
}

}  // namespace
}  // namespace zal
