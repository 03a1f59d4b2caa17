// The conformance cases of tests/peers/ws_conformance.py (autobahn's low-level
// client) against the echo server, one test per category. Category 9 (16 MiB
// messages, many round trips) runs only with ZAL_WS_LONG=1, as
// scripts/ws-conformance.sh does.
#include <gtest/gtest.h>

#include <cstdlib>

#include "common/zalTestProcess.h"
#include "websocket/EchoServer.h"

namespace zal::test {
namespace {

class Conformance : public ::testing::TestWithParam<const char*> {};

TEST_P(Conformance, EveryCaseEchoesAndClosesCleanly) {
  const std::string category = GetParam();
  if (category == "9" && !std::getenv("ZAL_WS_LONG"))
    GTEST_SKIP() << "long cases: run scripts/ws-conformance.sh";
  EchoServer echo;
  const std::string command = "/usr/bin/python3 " + PeerScript("ws_conformance.py") + " " +
                              std::to_string(echo.Port()) + " " + category + " --long";
  const CommandResult result = RunCommand(command, category == "9" ? 1200 : 110);
  EXPECT_EQ(result.ExitCode, 0) << result.Output;
}

INSTANTIATE_TEST_SUITE_P(Categories, Conformance, ::testing::Values("1", "2", "3", "4", "5", "6", "7", "9", "12", "13"),
                         [](const auto& info) { return std::string("Category") + info.param; });

}  // namespace
}  // namespace zal::test
