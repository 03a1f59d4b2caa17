// HTTP/1.1 answers leave the component as the socket takes them, with its
// default options, plain and over TLS: a 64 MiB file reaches a slow reader
// (curl) whole and byte-exact without the server holding it in memory, while
// other connections are served; a client that pipelines requests and never
// reads (on a kept-alive connection) loses it once its answer has moved no
// octet for SendTimeOut, with the server's memory bounded, and the process is
// idle after.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/zalTestMemory.h"
#include "common/zalTestProcess.h"
#include "common/zalTestSocket.h"
#include "common/zalTestTLS.h"
#include "server/zalWebSocket_Server.h"

namespace zal {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int64_t kFileSize = 64LL << 20;

// A file of pseudo-random octets (splitmix64), so that any octet lost, doubled
// or out of place changes its digest.
std::string WriteBigFile(const std::string& path) {
  std::ofstream out(path, std::ios::binary);
  std::vector<uint64_t> block(1 << 17);  // 1 MiB
  uint64_t state = 0x5eed;
  for (int64_t written = 0; written < kFileSize; written += 1 << 20) {
    for (uint64_t& word : block) {
      uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
      z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
      z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
      word = z ^ (z >> 31);
    }
    out.write(reinterpret_cast<const char*>(block.data()), 1 << 20);
  }
  out.close();
  return test::RunCommand("sha256sum " + path + " | cut -c1-64").Output;
}

class HTTP1AnswerFlowTest : public ::testing::TestWithParam<bool> {
protected:
  static void SetUpTestSuite() {
    filePath = ::testing::TempDir() + "zal-answer-flow-" + std::to_string(::getpid()) + ".bin";
    fileDigest = WriteBigFile(filePath);
  }
  static void TearDownTestSuite() { std::remove(filePath.c_str()); }

  void SetUp() override {
    test::ListenOnLoopback(server);
    if (GetParam()) {
      certificate.emplace();
      server.SetSSL(true);
      server.SSLOptions().CertFile = certificate->File();
      server.SSLOptions().KeyFile = certificate->File();
      server.SSLOptions().Password = "kfx.pem";
    }
    server.OnCommandGet = [this](TIdContext* context, TIdHTTPRequestInfo* rq, TIdHTTPResponseInfo* rs) {
      lastServed.store(Clock::now().time_since_epoch().count());
      ++served;
      if (rq->Document() == "/big")
        rs->ServeFile(context, filePath);
      else
        rs->SetContentText(rq->Document() == "/large" ? std::string(64 << 10, 'a') : "ok");
    };
  }
  void TearDown() override { server.SetActive(false); }

  std::string Base() {
    return std::string(GetParam() ? "https" : "http") + "://127.0.0.1:" +
           std::to_string(server.Bindings().Items(0).Port());
  }

  static inline std::string filePath, fileDigest;
  std::optional<test::TestCertificate> certificate;
  TzalWebSocketHTTPServer server;
  std::atomic<int> served{0};
  std::atomic<Clock::rep> lastServed{0};
};

INSTANTIATE_TEST_SUITE_P(Transports, HTTP1AnswerFlowTest, ::testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "OverTLS" : "Plain"); });

TEST_P(HTTP1AnswerFlowTest, ALargeFileReachesASlowReaderWholeWhileOthersAreServed) {
  server.SetActive(true);
  const int64_t residentBefore = test::ResidentKiB();
  test::PeakSampler resident([] { return static_cast<int64_t>(test::ResidentKiB()); }, 10ms);
  test::CommandResult download;
  std::thread reader([&] {
    download = test::RunCommand("curl -sS -k --max-time 60 --limit-rate 24M " + Base() + "/big | sha256sum | cut -c1-64", 90);
  });
  // While the reader holds its answer back, new connections are answered at once.
  ASSERT_TRUE(test::WaitFor([&] { return served.load() == 1; }, 5000));
  std::this_thread::sleep_for(300ms);
  for (int i = 0; i < 5; ++i) {
    const Clock::time_point start = Clock::now();
    const test::CommandResult other = test::RunCommand("curl -sS -k --max-time 5 " + Base() + "/small");
    EXPECT_EQ(other.Output, "ok");
    EXPECT_LT(Clock::now() - start, 1500ms * test::kSanitizerSlowdown);
  }
  reader.join();
  EXPECT_EQ(download.ExitCode, 0) << download.Output;
  EXPECT_EQ(download.Output, fileDigest);
  // A quarter of the file, half under a sanitizer whose shadow memory grows with every block touched.
  const int64_t boundKiB = (kFileSize >> 10) / (test::kSanitizerSlowdown > 1 ? 2 : 4);
  EXPECT_LT(resident.Stop() - residentBefore, boundKiB) << "KiB resident beyond the start: the file was held";
}

TEST_P(HTTP1AnswerFlowTest, APipeliningClientThatNeverReadsLosesItsConnectionAtTheSendTimeOut) {
  constexpr int kSendTimeOut = 500;
  constexpr int kRequests = 4000;  // 256 MiB of answers, were they all made
  server.HTTPServer().SetSendTimeOut(kSendTimeOut);
  server.SetKeepAlive(true);  // off by default: the first answer would end the connection
  server.SetActive(true);
  std::string requests;
  for (int i = 0; i < kRequests; ++i)
    requests += "GET /large HTTP/1.1\r\nHost: x\r\n\r\n";
  const int64_t heapBefore = test::LiveHeap();
  test::PeakSampler heap(test::LiveHeap, 5ms);
  test::TLSTestClient tls;
  test::TestClient plain;
  if (GetParam()) {
    ASSERT_TRUE(tls.Connect(server.Bindings().Items(0).Port())) << tls.Error();
    ASSERT_TRUE(tls.Send(requests));
  } else {
    ASSERT_TRUE(plain.Connect("127.0.0.1", server.Bindings().Items(0).Port()));
    ASSERT_TRUE(plain.Send(requests));
  }
  ASSERT_TRUE(test::WaitFor([&] { return served.load() > 0; }, 5000));
  ASSERT_TRUE(test::WaitFor([&] { return server.ConnectionCount() == 0; }, 10000 * test::kSanitizerSlowdown)) << served.load();
  const Clock::time_point ended = Clock::now();
  const auto afterLastAnswer = ended - Clock::time_point(Clock::duration(lastServed.load()));
  EXPECT_GE(afterLastAnswer, std::chrono::milliseconds(kSendTimeOut - 50));
  EXPECT_LT(afterLastAnswer, std::chrono::milliseconds(kSendTimeOut + 1500 * test::kSanitizerSlowdown));
  EXPECT_LT(served.load(), kRequests / 10) << "answers were made for a client that reads none";
  EXPECT_LT(heap.Stop() - heapBefore, 8 << 20) << "octets of the heap beyond the start";
  const double cpuBefore = test::ProcessCpuSeconds();
  std::this_thread::sleep_for(1s);
  EXPECT_LT(test::ProcessCpuSeconds() - cpuBefore, 0.05);
}

}  // namespace
}  // namespace zal
