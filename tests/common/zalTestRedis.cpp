#include "common/zalTestRedis.h"

#include <gtest/gtest.h>
#include <signal.h>

#include "common/zalTestSocket.h"

namespace zal::test {

RedisServer::RedisServer() : FPort(FreeLoopbackPort()) {}

void RedisServer::Start() {
  FProcess = std::make_unique<ChildProcess>(std::vector<std::string>{
      "redis-server", "--port", std::to_string(FPort), "--bind", "127.0.0.1", "--save", "", "--appendonly", "no",
      "--daemonize", "no"});
  std::string line;
  ASSERT_TRUE(FProcess->WaitForLine(
      [](const std::string& l) { return l.find("Ready to accept") != std::string::npos; }, line, 10000))
      << "redis-server did not start (is the redis-server package installed?)";
}

void RedisServer::Kill() {
  FProcess->Signal(SIGKILL);
  FProcess->Wait(5000);
}

}  // namespace zal::test
