// The header-block scanner on whole inputs and on every split of them: where
// the block ends, and the limits just at and just past each bound.
#include <gtest/gtest.h>

#include <string>

#include "support/zalHeaderBlockScanner.h"

namespace zal {
namespace {

struct ScanCase {
  const char* Name;
  std::string Input;
  TzalHeaderBlockLimits Limits;
  TzalHeaderBlockState State;
  size_t EndOrStatus;  // End() when complete, StatusCode() when too large
};

std::string Field(size_t lineLength) { return "X: " + std::string(lineLength - 4, 'a') + "\r\n"; }
std::string Fields(size_t count) {
  std::string lines;
  for (size_t i = 0; i < count; ++i)
    lines += "A: b\r\n";
  return lines;
}

const std::string kLine = "GET / HTTP/1.1\r\n";

class HeaderBlockScanner : public ::testing::TestWithParam<ScanCase> {
protected:
  // The result of scanning the input as it grows by `step` octets at a time,
  // or cut once at `cut`.
  static std::pair<TzalHeaderBlockState, size_t> Scanned(const ScanCase& c, std::vector<size_t> cuts) {
    TzalHeaderBlockScanner scanner(c.Limits);
    const auto* bytes = reinterpret_cast<const uint8_t*>(c.Input.data());
    TzalHeaderBlockState state = hbIncomplete;
    cuts.push_back(c.Input.size());
    for (size_t cut : cuts)
      state = scanner.Scan({bytes, cut});
    return {state, state == hbComplete ? scanner.End() : static_cast<size_t>(scanner.StatusCode())};
  }
};

TEST_P(HeaderBlockScanner, EveryCutGivesTheSameVerdict) {
  const ScanCase& c = GetParam();
  const std::pair<TzalHeaderBlockState, size_t> expected{c.State, c.EndOrStatus};
  EXPECT_EQ(Scanned(c, {}), expected);
  for (size_t cut = 0; cut <= c.Input.size() && c.Input.size() < 2000; ++cut)
    EXPECT_EQ(Scanned(c, {cut}), expected) << "cut at " << cut;
  std::vector<size_t> everyOctet;
  for (size_t i = 1; i < c.Input.size(); ++i)
    everyOctet.push_back(i);
  EXPECT_EQ(Scanned(c, everyOctet), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, HeaderBlockScanner,
    ::testing::Values(
        ScanCase{"CRLF", kLine + "Host: x\r\n\r\nbody", {}, hbComplete, kLine.size() + 11},
        ScanCase{"BareLF", "GET / HTTP/1.1\nHost: x\n\nbody", {}, hbComplete, 24},
        ScanCase{"NoFields", kLine + "\r\n", {}, hbComplete, kLine.size() + 2},
        ScanCase{"Incomplete", kLine + "Host: x\r\n\r", {}, hbIncomplete, 0},
        ScanCase{"LineAtLimit", kLine + Field(100) + "\r\n", {100, 0, 0}, hbComplete, kLine.size() + 103},
        ScanCase{"LinePastLimit", kLine + Field(101) + "\r\n", {100, 0, 0}, hbTooLarge, 431},
        ScanCase{"LinePastLimitWithoutLF", kLine + std::string(200, 'a'), {100, 0, 0}, hbTooLarge, 431},
        ScanCase{"RequestLinePastLimit", "GET /" + std::string(100, 'a') + " HTTP/1.1\r\n\r\n", {100, 0, 0},
                 hbTooLarge, 414},
        ScanCase{"CountAtLimit", kLine + Fields(10) + "\r\n", {0, 10, 0}, hbComplete, kLine.size() + 62},
        ScanCase{"CountPastLimit", kLine + Fields(11) + "\r\n", {0, 10, 0}, hbTooLarge, 431},
        ScanCase{"BlockAtLimit", kLine + Fields(10) + "\r\n", {0, 0, 60}, hbComplete, kLine.size() + 62},
        ScanCase{"BlockPastLimit", kLine + Fields(10) + "A\r\n\r\n", {0, 0, 60}, hbTooLarge, 431},
        ScanCase{"BlockPastLimitWithoutLF", kLine + Fields(10) + "AB", {0, 0, 60}, hbTooLarge, 431}),
    [](const auto& info) { return std::string(info.param.Name); });

}  // namespace
}  // namespace zal
