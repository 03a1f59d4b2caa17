// The conformance cases of tests/peers/ws_conformance.py (autobahn's low-level
// client) against the echo server, one test per category. Category 9 (16 MiB
// messages, many round trips) runs only with ZAL_WS_LONG=1, as
// scripts/ws-conformance.sh does.
#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#include "common/zalTestProcess.h"
#include "common/zalTestSocket.h"
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

// The component as shipped fails a connection by dropping it (no closing
// handshake): the protocol-error cases must still end every connection, and
// leave no thread running once the client has gone.
TEST(ConformanceWithDefaults, ProtocolErrorsEndTheConnectionAndLeaveTheProcessIdle) {
  EchoServer echo(true);
  const std::string command = "/usr/bin/python3 " + PeerScript("ws_conformance.py") + " " +
                              std::to_string(echo.Port()) + " 2 3 4 5 7 --errors-dropped";
  const CommandResult result = RunCommand(command, 110);
  EXPECT_EQ(result.ExitCode, 0) << result.Output;
  ASSERT_TRUE(WaitFor([&] { return echo.Server.ConnectionCount() == 0; }, 5000));
  const double before = ProcessCpuSeconds();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_LT(ProcessCpuSeconds() - before, 0.05) << "a thread still runs";
}

INSTANTIATE_TEST_SUITE_P(Categories, Conformance, ::testing::Values("1", "2", "3", "4", "5", "6", "7", "9", "12", "13"),
                         [](const auto& info) { return std::string("Category") + info.param; });

}  // namespace
}  // namespace zal::test
