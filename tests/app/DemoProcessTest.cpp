// The demo program as its users run it: a separate process, offscreen, stopped by signals.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "common/zalTestProcess.h"
#include "common/zalTestRedis.h"
#include "common/zalTestSocket.h"
#include "transport/zalIdSocketHandle.h"

namespace zal {
namespace {

using test::TestClient;
using test::WaitFor;

// zal_demo on 127.0.0.1:port with its standard output on a pipe.
class DemoProcess {
public:
  explicit DemoProcess(uint16_t port, const std::string& loadBalancer = "") {
    int out[2];
    EXPECT_EQ(::pipe(out), 0);
    FPid = ::fork();
    if (FPid == 0) {
      ::dup2(out[1], STDOUT_FILENO);
      ::close(out[0]);
      ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
      // The demo reads its zal.pem from the current folder: the one the build makes beside it.
      const std::string program = ZAL_DEMO_PATH;
      if (::chdir(program.substr(0, program.rfind('/')).c_str()) != 0)
        ::_exit(126);
      const std::string portText = std::to_string(port);
      if (loadBalancer.empty())
        ::execl(ZAL_DEMO_PATH, ZAL_DEMO_PATH, "--host", "127.0.0.1", "--port", portText.c_str(), nullptr);
      else
        ::execl(ZAL_DEMO_PATH, ZAL_DEMO_PATH, "--host", "127.0.0.1", "--port", portText.c_str(), "--load-balancer",
                loadBalancer.c_str(), nullptr);
      ::_exit(127);
    }
    ::close(out[1]);
    FOutput = out[0];
  }
  ~DemoProcess() {
    if (FPid > 0 && !FExited) {
      ::kill(FPid, SIGKILL);
      ::waitpid(FPid, nullptr, 0);
    }
    ::close(FOutput);
  }

  // Reads standard output until it holds `text` or `timeoutMs` passes.
  bool OutputContains(const std::string& text, int timeoutMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (FText.find(text) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      pollfd p{FOutput, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0)
        continue;
      char buffer[512];
      const ssize_t n = ::read(FOutput, buffer, sizeof(buffer));
      if (n <= 0)
        break;
      FText.append(buffer, static_cast<size_t>(n));
    }
    return FText.find(text) != std::string::npos;
  }

  // Sends `signal` and waits up to `timeoutMs` for the program to leave; its exit status, or -1.
  int StopWith(int signal, int timeoutMs = 5000) {
    ::kill(FPid, signal);
    int status = 0;
    const bool exited = WaitFor([&] { return ::waitpid(FPid, &status, WNOHANG) == FPid; }, timeoutMs);
    FExited = exited;
    return exited && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

private:
  pid_t FPid = -1;
  int FOutput = -1;
  bool FExited = false;
  std::string FText;
};

TEST(DemoProcess, RestartsOnItsPortRightAfterClosingAConnectionAndLeavesOnSIGTERM) {
  const uint16_t port = test::FreeLoopbackPort();
  const std::string started = "#Server Started: 127.0.0.1:" + std::to_string(port);
  {
    DemoProcess demo(port);
    ASSERT_TRUE(demo.OutputContains(started));
    TestClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", port));
    ASSERT_TRUE(client.Send("GET / HTTP/1.1\r\nHost: x\r\n\r\n"));  // no TLS hello: the server ends it
    EXPECT_TRUE(client.WaitClosed(3000));  // closed by the server first: TIME_WAIT on its side
    EXPECT_EQ(demo.StopWith(SIGTERM), 0);
  }
  DemoProcess again(port);
  EXPECT_TRUE(again.OutputContains(started)) << "the restart could not bind";
  EXPECT_EQ(again.StopWith(SIGINT), 0);
}

TEST(DemoProcess, AStartErrorIsPrintedAndSIGTERMStillEndsTheProgram) {
  TIdSocketHandle blocker;
  blocker.SetIP("127.0.0.1");
  blocker.AllocateSocket();
  blocker.Bind();
  blocker.Listen(1);
  DemoProcess demo(blocker.Port());
  EXPECT_TRUE(demo.OutputContains("Could not bind socket."));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the error box is up
  EXPECT_EQ(demo.StopWith(SIGTERM), 0);
}

// The README's scaling-out set-up: two demos on one port and a Redis server;
// a WebSocket message to either demo reaches the clients of both.
TEST(DemoProcess, TwoDemosWithTheLoadBalancerShareOnePortAndTheirClients) {
  test::RedisServer redis;
  ASSERT_NO_FATAL_FAILURE(redis.Start());
  const uint16_t port = test::FreeLoopbackPort();
  const std::string bus = "127.0.0.1:" + std::to_string(redis.Port());
  DemoProcess first(port, bus);
  DemoProcess second(port, bus);
  for (DemoProcess* demo : {&first, &second}) {
    EXPECT_TRUE(demo->OutputContains("#Server Started: 127.0.0.1:" + std::to_string(port)));
    EXPECT_TRUE(demo->OutputContains("#Load Balancer Connected: " + bus));
  }
  // 16 clients land on both processes (the kernel spreads them); each gets the
  // first client's message exactly once.
  test::ChildProcess clients({"node", test::PeerScript("chat_clients.js"), "wss://127.0.0.1:" + std::to_string(port) + "/",
                              "16", "hello-all"});
  ASSERT_TRUE(clients.WaitForLine("all-open", 20000));
  std::vector<int> received(16);
  std::string line;
  while (clients.ReadLine(line, 1000))
    if (line.starts_with("got ") && line.ends_with(" hello-all"))
      ++received.at(static_cast<size_t>(std::stoi(line.substr(4))));
  EXPECT_EQ(received, std::vector<int>(16, 1));
  EXPECT_EQ(first.StopWith(SIGTERM), 0);
  EXPECT_EQ(second.StopWith(SIGTERM), 0);
}

}  // namespace
}  // namespace zal
