// The send time-out bounds a whole stall of the output, on plain TCP and under
// TLS alike: a peer that never reads, or reads less than a send piece (64 KiB)
// per time-out, loses its connection once the time-out has passed since the
// output stopped keeping up, and a send that failed ends the connection (under
// TLS part of a record may be on the wire, and nothing after it could be read).
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "common/zalTestSocket.h"
#include "common/zalTestTLS.h"
#include "transport/zalIdCustomTCPServer.h"
#include "transport/zalIdSSLIOHandler.h"
#include "transport/zalIdTCPConnection.h"

namespace zal {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr int kSendTimeOut = 1000;

struct StallCase {
  const char* name;
  bool tls;
  int trickleOctets;  // read every 100 ms from the raw socket (0: never), each read moving the output
};

class SendStallTest : public ::testing::TestWithParam<StallCase> {
protected:
  void SetUp() override {
    test::BindLoopback(server);
    if (GetParam().tls) {
      tlsHandler.SSLOptions().SetCertFile(certificate.File());
      tlsHandler.SSLOptions().SetKeyFile(certificate.File());
      tlsHandler.SSLOptions().SetMethod(sslvTLSv1_3);
      tlsHandler.OnGetPassword = [](std::string& password) { password = "kfx.pem"; };
      server.SetIOHandler(&tlsHandler);
    }
    server.OnConnect = [](TIdContext* context) {
      if (auto* tls = dynamic_cast<TIdSSLIOHandlerSocketOpenSSL*>(context->Connection()->IOHandler()))
        tls->SetPassThrough(false);
      const timeval timeout{kSendTimeOut / 1000, (kSendTimeOut % 1000) * 1000};
      context->Connection()->Socket()->Binding()->SetSockOpt(SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
    };
    // One write far larger than every buffer on the way; then the connection's state.
    server.OnExecute = [this](TIdContext* context) {
      const TIdBytes payload(32 << 20, 'p');
      const auto start = steady_clock::now();
      try {
        context->Connection()->IOHandler()->Write(payload);
      } catch (const std::exception&) {
        failed = true;
      }
      stalledMs = static_cast<int>(std::chrono::duration_cast<milliseconds>(steady_clock::now() - start).count());
      connectedAfter = context->Connection()->Connected();
      done = true;
      context->Connection()->Disconnect(false);
    };
    server.SetActive(true);
  }
  void TearDown() override { server.SetActive(false); }

  test::TestCertificate certificate;
  TIdServerIOHandlerSSLOpenSSL tlsHandler;
  TIdCustomTCPServer server;
  std::atomic<bool> done{false}, failed{false}, connectedAfter{true};
  std::atomic<int> stalledMs{0};
};

TEST_P(SendStallTest, EndsTheConnectionOnceTheTimeOutHasPassed) {
  const StallCase& c = GetParam();
  const uint16_t port = server.Bindings().Items(0).Port();
  test::TLSTestClient tlsClient;
  test::TestClient plainClient;
  // A small window, so that what the client reads reaches the server at once.
  constexpr int kReceiveBuffer = 8192;
  if (c.tls) {
    ASSERT_TRUE(tlsClient.Connect(port, {.alpn = {}, .minVersion = 0, .maxVersion = 0, .receiveBuffer = kReceiveBuffer})) << tlsClient.Error();
  } else {
    plainClient.SetReceiveBuffer(kReceiveBuffer);
    ASSERT_TRUE(plainClient.Connect("127.0.0.1", port));
  }
  const int socket = c.tls ? tlsClient.Socket().Handle() : plainClient.Handle();
  std::string scratch(static_cast<size_t>(std::max(c.trickleOctets, 1)), '\0');
  const auto start = steady_clock::now();
  while (!done && steady_clock::now() - start < milliseconds(8 * kSendTimeOut)) {
    std::this_thread::sleep_for(milliseconds(100));
    if (c.trickleOctets > 0)
      [[maybe_unused]] const ssize_t n = ::recv(socket, scratch.data(), scratch.size(), MSG_DONTWAIT);
  }
  ASSERT_TRUE(done) << "the send is still waiting after " << 8 * kSendTimeOut << " ms";
  EXPECT_TRUE(failed);
  EXPECT_GE(stalledMs, kSendTimeOut - 100);
  EXPECT_LT(stalledMs, 3 * kSendTimeOut);
  EXPECT_FALSE(connectedAfter) << "a failed send keeps the connection";
}

INSTANTIATE_TEST_SUITE_P(Readers, SendStallTest,
                         ::testing::Values(StallCase{"PlainSilent", false, 0}, StallCase{"PlainTrickling", false, 4096},
                                           StallCase{"TLSSilent", true, 0}, StallCase{"TLSTrickling", true, 4096}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zal
