// Several server instances in separate processes (tests/lbnode), a real
// redis-server as their bus and node `ws` clients on every instance.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <mutex>
#include <numeric>
#include <thread>
#include <atomic>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "common/zalTestChild.h"
#include "common/zalTestProcess.h"
#include "common/zalTestRedis.h"
#include "common/zalTestSocket.h"
#include "server/zalRedis_Session.h"
#include "server/zalWebSocket_LoadBalancer.h"
#include "transport/zalIdSocketHandle.h"

namespace zal {
namespace {

using test::ChildProcess;
using test::RedisServer;

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

struct Node {
  std::string Name;
  uint16_t Port = 0;
  std::unique_ptr<ChildProcess> Process;

  // Runs a command and waits for its answer ("done" unless told otherwise).
  void Run(const std::string& command, const std::string& answer = "done") {
    Process->WriteLine(command);
    EXPECT_TRUE(Process->WaitForLine(answer, 10000)) << Name << ": no \"" << answer << "\" after " << command;
  }
  // Ends standard input: the instance stops its server and its link and leaves.
  void ExpectCleanExit() {
    Process->CloseInput();
    EXPECT_EQ(Process->Wait(10000), 0) << Name << " did not stop cleanly";
  }
  bool WaitFor(const std::string& prefix, int timeoutMs, std::string* line = nullptr) {
    std::string found;
    const bool got =
        Process->WaitForLine([&](const std::string& l) { return l.starts_with(prefix); }, found, timeoutMs);
    if (line)
      *line = found;
    return got;
  }
};

// Starts an instance on `port` (0: a free one) and waits until it listens
// and, when `waitForBus`, until its link is up.
Node StartNode(const std::string& name, uint16_t port, uint16_t redisPort, const std::vector<std::string>& extra = {},
               bool waitForBus = true) {
  std::vector<std::string> argv = {ZAL_LB_NODE_PATH, "--name", name, "--port", std::to_string(port),
                                   "--redis-port", std::to_string(redisPort)};
  argv.insert(argv.end(), extra.begin(), extra.end());
  Node node{name, port, std::make_unique<ChildProcess>(argv)};
  std::string line;
  EXPECT_TRUE(node.WaitFor("listening ", 10000, &line)) << name << " did not start";
  node.Port = static_cast<uint16_t>(std::stoi(line.substr(10)));
  if (waitForBus) {
    EXPECT_TRUE(node.WaitFor("lb-connect", 10000)) << name << " did not reach the bus";
  }
  return node;
}

struct Client {
  std::string Guid;
  std::string Node;
  std::vector<std::string> Received;  // "TEXT", or "bin:TEXT" for binary messages
};

// node `ws` clients, one per target "ws://127.0.0.1:PORT/[#CHANNEL]".
class Clients {
public:
  explicit Clients(const std::vector<std::string>& targets) : FClients(targets.size()) {
    std::vector<std::string> argv = {"node", test::PeerScript("lb_clients.js")};
    argv.insert(argv.end(), targets.begin(), targets.end());
    FProcess = std::make_unique<ChildProcess>(argv);
    std::string line;
    while (FProcess->ReadLine(line, 20000) && line != "all-ready") {
      std::istringstream fields(line);
      std::string word;
      size_t index = 0;
      if (fields >> word >> index && word == "ready" && index < FClients.size())
        fields >> FClients[index].Guid >> FClients[index].Node;
    }
    EXPECT_EQ(line, "all-ready") << "the clients did not all connect";
  }
  Client& operator[](size_t index) { return FClients[index]; }
  size_t Size() const { return FClients.size(); }
  // Reads messages until `total` have arrived (or 20 s passed), then what
  // still comes within `quietMs`, so that duplicates show.
  void Collect(size_t total, int quietMs = 300) {
    CollectUntil([&] { return Count() >= total; }, quietMs);
  }
  void CollectUntil(const std::function<bool()>& done, int quietMs = 300) {
    std::string line;
    while (!done() && FProcess->ReadLine(line, 20000))
      Record(line);
    while (FProcess->ReadLine(line, quietMs))
      Record(line);
  }
  size_t Count() const {
    size_t count = 0;
    for (const Client& client : FClients)
      count += client.Received.size();
    return count;
  }
  std::set<std::string> Nodes() const {
    std::set<std::string> nodes;
    for (const Client& client : FClients)
      nodes.insert(client.Node);
    return nodes;
  }

private:
  void Record(const std::string& line) {
    std::istringstream fields(line);
    std::string kind;
    size_t index = 0;
    if (!(fields >> kind >> index) || index >= FClients.size() || (kind != "msg" && kind != "bin"))
      return;
    std::string text = line.substr(line.find(' ', 4) + 1);
    FClients[index].Received.push_back(kind == "bin" ? "bin:" + text : text);
  }

  std::vector<Client> FClients;
  std::unique_ptr<ChildProcess> FProcess;
};

std::string Url(uint16_t port, const std::string& channel = "") {
  return "ws://127.0.0.1:" + std::to_string(port) + "/" + (channel.empty() ? "" : "#" + channel);
}

// The messages of `received` that start with `prefix`, in arrival order.
std::vector<std::string> From(const std::vector<std::string>& received, const std::string& prefix) {
  std::vector<std::string> picked;
  for (const std::string& text : received)
    if (text.starts_with(prefix))
      picked.push_back(text);
  return picked;
}

std::vector<std::string> Numbered(const std::string& prefix, int count) {
  std::vector<std::string> texts;
  for (int i = 0; i < count; ++i)
    texts.push_back(prefix + std::to_string(i));
  return texts;
}

struct FanOutCase {
  int Instances;
  bool SharedPort;  // every instance on one port with ReusePort
};

class LoadBalancerFanOut : public testing::TestWithParam<FanOutCase> {};

// Each instance broadcasts; every client of every instance gets each message
// once, and each instance's messages in the order it sent them.
TEST_P(LoadBalancerFanOut, BroadcastsReachEveryClientOnceInOrder) {
  const FanOutCase& param = GetParam();
  RedisServer redis;
  ASSERT_NO_FATAL_FAILURE(redis.Start());
  const uint16_t shared = param.SharedPort ? test::FreeLoopbackPort() : 0;
  std::vector<Node> nodes;
  std::vector<std::string> targets;
  for (int i = 0; i < param.Instances; ++i) {
    nodes.push_back(StartNode("n" + std::to_string(i), shared, redis.Port(),
                              param.SharedPort ? std::vector<std::string>{"--reuse-port"} : std::vector<std::string>{}));
    for (int c = 0; c < (param.SharedPort ? 16 / param.Instances + 4 : 3); ++c)
      targets.push_back(Url(nodes.back().Port));
  }
  Clients clients(targets);
  EXPECT_GE(clients.Nodes().size(), 2u) << "the clients did not spread over the instances";

  constexpr int PerInstance = 25;
  for (int k = 0; k < PerInstance; ++k)
    for (Node& node : nodes)
      node.Run("broadcast " + node.Name + "-" + std::to_string(k));
  clients.Collect(clients.Size() * PerInstance * nodes.size());

  for (size_t c = 0; c < clients.Size(); ++c) {
    EXPECT_EQ(clients[c].Received.size(), PerInstance * nodes.size()) << "client " << c << " on " << clients[c].Node;
    for (Node& node : nodes)
      EXPECT_EQ(From(clients[c].Received, node.Name + "-"), Numbered(node.Name + "-", PerInstance))
          << "client " << c << " on " << clients[c].Node << ", messages of " << node.Name;
  }
}

INSTANTIATE_TEST_SUITE_P(Table, LoadBalancerFanOut,
                         testing::Values(FanOutCase{2, false}, FanOutCase{3, false}, FanOutCase{2, true},
                                         FanOutCase{3, true}),
                         [](const testing::TestParamInfo<FanOutCase>& info) {
                           return std::to_string(info.param.Instances) +
                                  (info.param.SharedPort ? "InstancesOnOnePort" : "InstancesOnOwnPorts");
                         });

// Two instances on their own ports with two clients each, a channel subscriber among them.
class LoadBalancerPair : public testing::Test {
protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(FRedis.Start());
    FNodes.push_back(StartNode("a", 0, FRedis.Port()));
    FNodes.push_back(StartNode("b", 0, FRedis.Port()));
    FClients = std::make_unique<Clients>(std::vector<std::string>{
        Url(FNodes[0].Port), Url(FNodes[0].Port, "news"), Url(FNodes[1].Port), Url(FNodes[1].Port, "news")});
  }
  void TearDown() override {
    for (Node& node : FNodes)
      node.ExpectCleanExit();
  }
  // What each client received, "-" for nothing, after `total` messages in all.
  std::vector<std::string> Received(size_t total) {
    FClients->Collect(total);
    std::vector<std::string> texts;
    for (size_t c = 0; c < FClients->Size(); ++c) {
      std::string joined;
      for (const std::string& text : (*FClients)[c].Received)
        joined += (joined.empty() ? "" : "|") + text;
      texts.push_back(joined.empty() ? "-" : joined);
      (*FClients)[c].Received.clear();
    }
    return texts;
  }

  RedisServer FRedis;
  std::vector<Node> FNodes;
  std::unique_ptr<Clients> FClients;
};

TEST_F(LoadBalancerPair, WriteDataReachesAClientOfTheOtherInstanceOnce) {
  FNodes[0].Run("write " + (*FClients)[2].Guid + " to-b0", "write 1");
  EXPECT_EQ(Received(1), (std::vector<std::string>{"-", "-", "to-b0", "-"}));
  // A GUID nobody holds is forwarded all the same and reaches nobody.
  FNodes[1].Run("write 0123456789ABCDEF0123456789ABCDEF nobody", "write 1");
  EXPECT_EQ(Received(0), (std::vector<std::string>{"-", "-", "-", "-"}));
}

TEST_F(LoadBalancerPair, ChannelBinaryAndExcludeFiltersHoldOnEveryInstance) {
  FNodes[1].Run("channel news headline");
  EXPECT_EQ(Received(2), (std::vector<std::string>{"-", "headline", "-", "headline"}));
  FNodes[0].Run("binary octets");
  EXPECT_EQ(Received(4), (std::vector<std::string>{"bin:octets", "bin:octets", "bin:octets", "bin:octets"}));
  FNodes[0].Run("exclude " + (*FClients)[3].Guid + "," + (*FClients)[0].Guid + " some");
  EXPECT_EQ(Received(2), (std::vector<std::string>{"-", "some", "some", "-"}));
}

// The indexes of the "burst-INDEX-..." messages of `received`, in arrival order.
std::vector<int> BurstIndexes(const std::vector<std::string>& received) {
  std::vector<int> indexes;
  for (const std::string& text : From(received, "burst-"))
    indexes.push_back(std::stoi(text.substr(6)));
  return indexes;
}

// The bus dies in the middle of a burst and comes back on the same port.
TEST_F(LoadBalancerPair, BusKilledAndRestartedLocalDeliveryNeverStops) {
  constexpr int Burst = 2000;
  FNodes[0].Process->WriteLine("burst " + std::to_string(Burst) + " 50");
  FRedis.Kill();
  for (Node& node : FNodes)
    EXPECT_TRUE(node.WaitFor("lb-disconnect", 5000)) << node.Name;
  EXPECT_TRUE(FNodes[0].WaitFor("done", 10000));
  for (int k = 0; k < 10; ++k)
    FNodes[0].Run("broadcast away-" + std::to_string(k));
  auto localDone = [&] {
    return From((*FClients)[0].Received, "away-").size() == 10 && From((*FClients)[1].Received, "away-").size() == 10;
  };
  FClients->CollectUntil(localDone, 100);
  std::vector<int> all(Burst);
  std::iota(all.begin(), all.end(), 0);
  for (size_t c : {0, 1}) {
    EXPECT_EQ(BurstIndexes((*FClients)[c].Received), all) << "local client " << c;
    EXPECT_EQ(From((*FClients)[c].Received, "away-"), Numbered("away-", 10)) << "local client " << c;
  }

  // Without the bus the instances wait for the next attempt rather than spin.
  const long before = test::ProcessCpuTicks(FNodes[0].Process->Pid());
  usleep(1000000);
  EXPECT_LE(test::ProcessCpuTicks(FNodes[0].Process->Pid()) - before, sysconf(_SC_CLK_TCK) / 10);

  ASSERT_NO_FATAL_FAILURE(FRedis.Start());
  for (Node& node : FNodes)
    EXPECT_TRUE(node.WaitFor("lb-connect", 10000)) << node.Name;
  FNodes[0].Run("broadcast back");
  FClients->CollectUntil([&] {
    for (size_t c = 0; c < 4; ++c)
      if ((*FClients)[c].Received.empty() || (*FClients)[c].Received.back() != "back")
        return false;
    return true;
  });
  for (size_t c : {2, 3}) {
    // What the bus lost or what was queued while it was away may be missing,
    // but nothing comes twice or out of order.
    const std::vector<int> burst = BurstIndexes((*FClients)[c].Received);
    EXPECT_TRUE(std::adjacent_find(burst.begin(), burst.end(), std::greater_equal<int>()) == burst.end())
        << "remote client " << c;
    const std::vector<std::string> away = From((*FClients)[c].Received, "away-");
    ASSERT_LE(away.size(), 10u);
    const std::vector<std::string> sent = Numbered("away-", 10);
    EXPECT_TRUE(std::includes(sent.begin(), sent.end(), away.begin(), away.end())) << "remote client " << c;
    EXPECT_EQ((*FClients)[c].Received.back(), "back") << "remote client " << c;
  }
}

// A "bus" that accepts connections and never answers a byte.
class SilentBus {
public:
  SilentBus() {
    FListener.SetIP("127.0.0.1");
    FListener.AllocateSocket();
    FListener.Bind();
    FListener.Listen(16);
  }
  uint16_t Port() const { return FListener.Port(); }

private:
  TIdSocketHandle FListener;
};

TEST(LoadBalancerSilentBus, NoThreadBlocksAndTheQueueRefusesPastItsBound) {
  SilentBus bus;
  Node node = StartNode("quiet", 0, bus.Port(), {"--timeout", "500", "--max-queued-bytes", "20000"}, false);
  std::string error;
  EXPECT_TRUE(node.WaitFor("lb-error ", 5000, &error));
  EXPECT_TRUE(Contains(error, "did not answer within 500 ms")) << error;
  Clients clients({Url(node.Port)});
  // 300 broadcasts of 200 octets: far more than the bound.
  node.Run("burst 300 200");
  clients.Collect(300);
  EXPECT_EQ(clients[0].Received.size(), 300u) << "local delivery stopped";
  EXPECT_TRUE(node.WaitFor("lb-error Load balancer queue full (MaxQueuedBytes 20000)", 2000));
  std::string queued;
  node.Process->WriteLine("queued");
  ASSERT_TRUE(node.WaitFor("queued ", 2000, &queued));
  EXPECT_LE(std::stoul(queued.substr(7)), 20000u);
  EXPECT_GT(std::stoul(queued.substr(7)), 20000u - 400);
  node.ExpectCleanExit();
}

// The bound itself, in one process: exactly MaxQueuedBytes fits, one octet more does not.
TEST(LoadBalancerLink, QueueTakesExactlyMaxQueuedBytes) {
  SilentBus bus;
  TzalLoadBalancerMessage message;
  message.Body = "payload";
  TzalWSLoadBalancerLinkSettings settings;
  settings.Port = bus.Port();
  settings.Guid = "0123456789ABCDEF0123456789ABCDEF";
  std::string command;
  TzalLoadBalancerMessage stamped = message;
  stamped.Origin = settings.Guid;
  AppendRedisCommand(command, {"PUBLISH", settings.Channel, EncodeLoadBalancerMessage(stamped)});
  for (size_t extra : {0, 1}) {
    settings.MaxQueuedBytes = 3 * command.size() - (extra ? 1 : 0);
    TzalWSLoadBalancerLink link(settings);
    std::vector<std::string> errors;
    link.OnError = [&](const std::string& error) { errors.push_back(error); };
    link.Start();
    EXPECT_TRUE(link.Publish(message));
    EXPECT_TRUE(link.Publish(message));
    EXPECT_EQ(link.Publish(message), extra == 0) << "bound " << settings.MaxQueuedBytes;
    EXPECT_EQ(link.QueuedBytes(), command.size() * (extra == 0 ? 3 : 2));
    link.Stop();
    EXPECT_EQ(std::count_if(errors.begin(), errors.end(),
                            [](const std::string& e) { return Contains(e, "queue full"); }),
              extra == 0 ? 0 : 1);
  }
}

// A bus that answers the link's greeting after `delayMs`: the publisher's
// CLIENT SETNAME with +OK, the subscriber's SUBSCRIBE with its confirmation.
class SlowBus {
public:
  explicit SlowBus(int delayMs) {
    FListener.SetIP("127.0.0.1");
    FListener.AllocateSocket();
    FListener.Bind();
    FListener.Listen(4);
    FThread = std::thread([this, delayMs] {
      for (TIdSocketHandle& connection : FConnections)
        if (!FListener.Readable(5000) || !connection.Accept(FListener.Handle()))
          return;
      std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
      for (TIdSocketHandle& connection : FConnections) {
        char request[512];
        const ssize_t got = ::recv(connection.Handle(), request, sizeof request, 0);
        const std::string reply = got > 0 && Contains(std::string(request, static_cast<size_t>(got)), "SUBSCRIBE")
                                      ? "*3\r\n$9\r\nsubscribe\r\n$13\r\nzalWebSockets\r\n:1\r\n"
                                      : "+OK\r\n";
        ::send(connection.Handle(), reply.data(), reply.size(), MSG_NOSIGNAL);
      }
    });
  }
  ~SlowBus() { FThread.join(); }
  uint16_t Port() const { return FListener.Port(); }

private:
  TIdSocketHandle FListener;
  TIdSocketHandle FConnections[2];
  std::thread FThread;
};

struct TimeOutCase {
  int DelayMs;
  bool Connects;
};

class LoadBalancerTimeOut : public testing::TestWithParam<TimeOutCase> {};

// The greeting may take just under TimeOut (2000 ms); just over it fails the attempt.
TEST_P(LoadBalancerTimeOut, GreetingAnsweredWithinTimeOutConnects) {
  SlowBus bus(GetParam().DelayMs);
  TzalWSLoadBalancerLinkSettings settings;
  settings.Port = bus.Port();
  settings.Guid = "0123456789ABCDEF0123456789ABCDEF";
  settings.TimeOut = 2000;
  std::atomic<int> connects{0};
  std::mutex lock;
  std::vector<std::string> errors;
  TzalWSLoadBalancerLink link(settings);
  link.OnConnect = [&] { ++connects; };
  link.OnError = [&](const std::string& error) {
    std::lock_guard guard(lock);
    errors.push_back(error);
  };
  link.Start();
  EXPECT_TRUE(test::WaitFor(
      [&] {
        std::lock_guard guard(lock);
        return connects > 0 || !errors.empty();
      },
      5000));
  EXPECT_EQ(connects > 0, GetParam().Connects);
  std::lock_guard guard(lock);
  if (!GetParam().Connects)
    EXPECT_TRUE(!errors.empty() && Contains(errors[0], "did not answer within 2000 ms"));
  else
    EXPECT_TRUE(errors.empty()) << errors[0];
}

INSTANTIATE_TEST_SUITE_P(JustBelowAndAbove, LoadBalancerTimeOut,
                         testing::Values(TimeOutCase{1500, true}, TimeOutCase{2500, false}));

// Nothing listens: attempts follow 250 ms apart, doubling up to the bound
// (AutoRestart seconds, here 1), and the waits cost no CPU.
TEST(LoadBalancerLink, ReconnectionBacksOffUpToItsBoundWithoutSpinning) {
  TzalWSLoadBalancerLinkSettings settings;
  settings.Port = test::FreeLoopbackPort();
  settings.Guid = "0123456789ABCDEF0123456789ABCDEF";
  settings.RetryDelayMax = 1000;
  std::mutex lock;
  std::vector<std::chrono::steady_clock::time_point> failures;
  TzalWSLoadBalancerLink link(settings);
  link.OnError = [&](const std::string& error) {
    EXPECT_TRUE(Contains(error, "Load balancer cannot connect to 127.0.0.1:")) << error;
    std::lock_guard guard(lock);
    failures.push_back(std::chrono::steady_clock::now());
  };
  const double cpuBefore = test::ProcessCpuSeconds();
  link.Start();
  ASSERT_TRUE(test::WaitFor([&] { std::lock_guard guard(lock); return failures.size() >= 6; }, 10000));
  link.Stop();
  EXPECT_LT(test::ProcessCpuSeconds() - cpuBefore, 0.3);
  const int expected[] = {250, 500, 1000, 1000, 1000};
  for (size_t i = 0; i < 5; ++i) {
    const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(failures[i + 1] - failures[i]).count();
    EXPECT_GE(gap, expected[i] - 20) << "wait " << i;
    EXPECT_LE(gap, expected[i] + 400) << "wait " << i;
  }
}

}  // namespace
}  // namespace zal
