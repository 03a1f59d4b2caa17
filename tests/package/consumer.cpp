// Builds and links against the installed library alone.
#include "server/zalWebSocket_Server.h"

int main() {
  zal::TzalWebSocketHTTPServer server;
  return server.Port() == 80 ? 0 : 1;
}
