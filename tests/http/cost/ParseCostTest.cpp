// What parsing a large request costs: the bytes allocated (in total and live at
// once) and the CPU time stay within a small multiple of the request's size,
// whatever repeated structure the request is made of. Each request is served by
// the real request loop over a loopback connection, with the size limits raised
// far enough to let it in.
#include <gtest/gtest.h>

#include <string>

#include "common/zalTestSocket.h"
#include "http/zalHTTPServerFixture.h"
#include "zalCountingAllocator.h"

namespace zal {
namespace {

using test::HTTPServerTest;
using test::TestClient;

constexpr size_t kRequestSize = 2 << 20;
constexpr size_t kLineSize = 16000;

std::string Repeated(const std::string& piece, size_t size) {
  std::string text;
  while (text.size() < size)
    text += piece;
  return text;
}

// Header lines named `name`, each `kLineSize` octets of `piece`, adding up to kRequestSize.
std::string ManyLines(const std::string& name, const std::string& piece) {
  std::string lines;
  while (lines.size() < kRequestSize)
    lines += name + ": " + Repeated(piece, kLineSize) + "\r\n";
  return lines;
}

// One field whose value goes on in continuation lines (obs-fold, RFC 9112 5.2).
std::string FoldedField(const std::string& name) {
  std::string lines = name + ": start\r\n";
  while (lines.size() < kRequestSize)
    lines += " " + Repeated("b", kLineSize) + "\r\n";
  return lines;
}

std::string Get(const std::string& headerLines) { return "GET / HTTP/1.1\r\nHost: x\r\n" + headerLines + "\r\n"; }

std::string FormPost(const std::string& body) {
  return "POST / HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

struct CostCase {
  friend void PrintTo(const CostCase& c, std::ostream* os) { *os << c.name; }
  const char* name;
  std::string request;
};

class ParseCostTest : public HTTPServerTest, public ::testing::WithParamInterface<CostCase> {};

TEST_P(ParseCostTest, StaysWithinASmallMultipleOfTheRequest) {
  server.SetMaximumHeaderBlockSize(64 << 20);
  server.SetMaximumHeaderLineCount(4096);
  handler = [](TIdContext*, TIdHTTPRequestInfo* rq, TIdHTTPResponseInfo* rs) {
    rs->SetContentText(rq->RawHeaders().GetValue("Accept").substr(0, 5));
  };
  const std::string& request = GetParam().request;
  TestClient client = Connected();
  test::ResetAllocationFigures();
  const double cpuBefore = test::ProcessCpuSeconds();
  ASSERT_TRUE(client.Send(request));
  const std::string response = client.ReceiveUntil("\r\n\r\n", 60000);
  const double cpu = test::ProcessCpuSeconds() - cpuBefore;
  const test::AllocationFigures figures = test::CurrentAllocationFigures();
  EXPECT_TRUE(response.starts_with("HTTP/1.1 200 OK\r\n")) << response.substr(0, 100);
  EXPECT_EQ(SeenCount(), 1u);
  EXPECT_LT(figures.Peak, 4 * request.size() + (1 << 20)) << "bytes live at once";
  EXPECT_LT(figures.Total, 8 * request.size() + (4 << 20)) << "bytes allocated";
  EXPECT_LT(cpu, 3.0) << "CPU seconds";
}

INSTANTIATE_TEST_SUITE_P(
    RepeatedStructure, ParseCostTest,
    ::testing::Values(CostCase{"Cookies", Get(ManyLines("Cookie", "a;"))},
                      CostCase{"CookiePairs", Get(ManyLines("Cookie", "n=v; "))},
                      CostCase{"FoldedAccept", Get(FoldedField("Accept"))},
                      CostCase{"FoldedCookie", Get(FoldedField("Cookie"))},
                      CostCase{"ManyFields", Get(ManyLines("X-Field", "x"))},
                      CostCase{"FormParameters", FormPost(Repeated("a&", kRequestSize))},
                      CostCase{"FormPairs", FormPost(Repeated("n=%41+v&", kRequestSize))}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zal
