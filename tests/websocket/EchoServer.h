#pragma once
// The component on a loopback port, echoing every text and binary message, as
// the conformance suite and the real clients expect it: clean closes, UTF-8
// validated, both compression extensions offered. With `libraryDefaults` every
// option keeps the library's default instead.
#include <cstdint>

#include "server/zalWebSocket_Server.h"

namespace zal::test {

class EchoServer {
public:
  explicit EchoServer(bool libraryDefaults = false);
  ~EchoServer() { Server.SetActive(false); }
  // Starts listening on the first call.
  uint16_t Port();

  TzalWebSocketHTTPServer Server;
};

}  // namespace zal::test
