// The server of the fan-out benchmark: one instance, with the load-balancer
// link when --redis-port is given. "burst COUNT SIZE" on standard input sends
// COUNT broadcasts of SIZE octets, each starting with its send time
// (CLOCK_MONOTONIC, microseconds) and a space; "done" follows on standard output.
//   zal_bench_fanout --port P [--redis-port R]
#include <time.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "server/zalWebSocket_Server.h"

namespace {

std::string Stamped(size_t size) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  std::string text = std::to_string(now.tv_sec * 1000000LL + now.tv_nsec / 1000) + " ";
  text.resize(std::max(size, text.size()), 'x');
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  int port = 0;
  int redisPort = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    (name == "--port" ? port : redisPort) = std::stoi(argv[i + 1]);
  }
  zal::TzalWebSocketHTTPServer server;
  server.SetNotifyEvents(zal::neNoSync);
  zal::TIdSocketHandle& binding = server.Bindings().Add();
  binding.SetIP("127.0.0.1");
  binding.SetPort(static_cast<uint16_t>(port));
  if (redisPort) {
    server.LoadBalancer().Enabled = true;
    server.LoadBalancer().Port = redisPort;
    server.OnLoadBalancerConnect = [](void*) { std::printf("lb-connect\n"); std::fflush(stdout); };
    server.OnLoadBalancerError = [](void*, const std::string& e) { std::fprintf(stderr, "lb-error %s\n", e.c_str()); };
  }
  server.SetActive(true);
  std::printf("listening\n");
  std::fflush(stdout);
  std::string command;
  size_t count = 0;
  size_t size = 0;
  while (std::cin >> command >> count >> size) {
    for (size_t i = 0; i < count; ++i)
      server.Broadcast(Stamped(size));
    std::printf("done\n");
    std::fflush(stdout);
  }
  server.SetActive(false);
  return 0;
}
