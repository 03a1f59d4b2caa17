// One server instance with the load-balancer link on, for the tests that run
// several instances as separate processes. It is driven by lines on standard
// input and reports on standard output, one line each:
//   zal_test_lb_node --port P --redis-port R [--name N] [--reuse-port]
//                    [--timeout MS] [--max-queued-bytes N] [--auto-restart S]
// Commands: "broadcast TEXT", "binary TEXT", "channel NAME TEXT",
// "exclude GUIDS TEXT", "write GUID TEXT", "burst COUNT SIZE", "queued".
// Reports: "listening PORT", "lb-connect", "lb-disconnect", "lb-error TEXT",
// "done" after each broadcast command, "write 1|0", "queued OCTETS".
// Every client gets "guid:GUID:NAME" first; a client that sends
// "subscribe:CHANNEL" is subscribed and answered "subscribed:CHANNEL".
// The server stops when standard input ends.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <string>

#include "common/zalTestEngine.h"
#include "server/zalWebSocket_Server.h"

namespace {

std::mutex outputLock;

void Report(const std::string& line) {
  std::lock_guard lock(outputLock);
  std::fprintf(stdout, "%s\n", line.c_str());
  std::fflush(stdout);
}

struct Settings {
  int Port = 0;
  int RedisPort = 0;
  std::string Name = "node";
  bool ReusePort = false;
  int TimeOut = 5000;
  int MaxQueuedBytes = 8388608;
  int AutoRestart = 0;
};

Settings ParseArguments(int argc, char** argv) {
  Settings settings;
  for (int i = 1; i + 1 < argc || (i < argc && std::string(argv[i]) == "--reuse-port"); ++i) {
    const std::string name = argv[i];
    if (name == "--reuse-port") {
      settings.ReusePort = true;
      continue;
    }
    const std::string value = argv[++i];
    if (name == "--port") settings.Port = std::stoi(value);
    else if (name == "--redis-port") settings.RedisPort = std::stoi(value);
    else if (name == "--name") settings.Name = value;
    else if (name == "--timeout") settings.TimeOut = std::stoi(value);
    else if (name == "--max-queued-bytes") settings.MaxQueuedBytes = std::stoi(value);
    else if (name == "--auto-restart") settings.AutoRestart = std::stoi(value);
  }
  return settings;
}

// "WORD REST": the first word and what follows the space after it.
std::pair<std::string, std::string> SplitWord(const std::string& line) {
  const size_t space = line.find(' ');
  if (space == std::string::npos)
    return {line, ""};
  return {line.substr(0, space), line.substr(space + 1)};
}

void RunCommand(zal::TzalWebSocketHTTPServer& server, const std::string& line) {
  const auto [command, rest] = SplitWord(line);
  if (command == "broadcast") {
    server.Broadcast(rest);
  } else if (command == "binary") {
    zal::TMemoryStream stream;
    stream.WriteBuffer(rest.data(), static_cast<int64_t>(rest.size()));
    server.Broadcast(stream);
  } else if (command == "channel" || command == "exclude") {
    const auto [argument, text] = SplitWord(rest);
    if (command == "channel")
      server.Broadcast(text, argument);
    else
      server.Broadcast(text, "", "", argument);
  } else if (command == "write") {
    const auto [guid, text] = SplitWord(rest);
    Report(std::string("write ") + (server.WriteData(guid, text) ? "1" : "0"));
    return;
  } else if (command == "burst") {
    const auto [count, size] = SplitWord(rest);
    for (int i = 0; i < std::stoi(count); ++i)
      server.Broadcast("burst-" + std::to_string(i) + "-" + std::string(static_cast<size_t>(std::stoi(size)), 'b'));
  } else if (command == "queued") {
    auto link = server.LoadBalancerLink();
    Report("queued " + std::to_string(link ? link->QueuedBytes() : 0));
    return;
  }
  Report("done");
}

}  // namespace

int main(int argc, char** argv) {
  const Settings settings = ParseArguments(argc, argv);
  zal::TzalWebSocketHTTPServer server;
  zal::test::UseTestEngine(server);  // the engine of the test program that started this node
  server.SetNotifyEvents(zal::neNoSync);
  server.SetPort(settings.Port);
  zal::TIdSocketHandle& binding = server.Bindings().Add();
  binding.SetIP("127.0.0.1");
  binding.SetPort(static_cast<uint16_t>(settings.Port));
  binding.SetReusePort(settings.ReusePort);
  zal::TzalWSLoadBalancerServer_Options& balancer = server.LoadBalancer();
  balancer.Enabled = true;
  balancer.Host = "127.0.0.1";
  balancer.Port = settings.RedisPort;
  balancer.TimeOut = settings.TimeOut;
  balancer.MaxQueuedBytes = settings.MaxQueuedBytes;
  balancer.AutoRestart = settings.AutoRestart;
  server.OnConnect = [&](zal::TzalWSConnection* connection) {
    connection->WriteData("guid:" + connection->Guid() + ":" + settings.Name);
  };
  server.OnMessage = [](zal::TzalWSConnection* connection, const std::string& text) {
    if (text.starts_with("subscribe:")) {
      connection->DoSubscribe(text.substr(10));
      connection->WriteData("subscribed:" + text.substr(10));
    }
  };
  server.OnLoadBalancerConnect = [](void*) { Report("lb-connect"); };
  server.OnLoadBalancerDisconnect = [](void*) { Report("lb-disconnect"); };
  server.OnLoadBalancerError = [](void*, const std::string& error) { Report("lb-error " + error); };
  server.SetActive(true);
  Report("listening " + std::to_string(server.Bindings().Items(0).Port()));
  std::string line;
  while (std::getline(std::cin, line))
    RunCommand(server, line);
  server.SetActive(false);
  return 0;
}
