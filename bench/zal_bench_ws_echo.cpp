// zal_bench_ws_echo: the server component echoing every WebSocket message, for
// the echo benchmark against node ws.
//   zal_bench_ws_echo --port PORT
// It listens on 127.0.0.1 and stops on SIGINT or SIGTERM.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "server/zalWebSocket_Server.h"

int main(int argc, char** argv) {
  if (argc != 3 || std::string(argv[1]) != "--port") {
    std::fprintf(stderr, "usage: %s --port PORT\n", argv[0]);
    return 2;
  }
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);  // every thread started below inherits the mask

  zal::TzalWebSocketHTTPServer server;
  zal::TIdSocketHandle& binding = server.Bindings().Add();
  binding.SetIP("127.0.0.1");
  binding.SetPort(static_cast<uint16_t>(std::atoi(argv[2])));
  server.SetNotifyEvents(zal::neNoSync);
  server.Options().ValidateUTF8 = true;  // as node ws does for text
  server.OnMessage = [](zal::TzalWSConnection* connection, const std::string& text) { connection->WriteData(text); };
  server.OnBinary = [](zal::TzalWSConnection* connection, const zal::TMemoryStream& data) {
    connection->WriteData(const_cast<zal::TMemoryStream&>(data));
  };
  server.SetActive(true);
  int signal = 0;
  sigwait(&stopSignals, &signal);
  server.SetActive(false);
  return 0;
}
