#pragma once
// The watchdog's probe of its own server: a small blocking WebSocket client
// that connects to a host and port (over TLS when asked), sends one opening
// handshake (RFC 6455 4.1) and accepts only a "101" answer that carries the
// right Sec-WebSocket-Accept (4.2.2). Every step shares one time-out. It is not
// a general client: after the answer it sends a close frame and hangs up.
#include <string>

#include "transport/zalIdSSLOpenSSL.h"

namespace zal {

struct TzalWSMonitorTarget {
  std::string Host;  // an IPv4 or IPv6 address
  int Port = 0;
  std::string Path;  // the request target, starting with "/"
  bool TLS = false;
  TIdSSLOptions SSLOptions;  // the versions to offer over TLS; certificates are not checked
  int TimeOutMs = 10000;
};

// True when the handshake succeeded within the time-out.
bool MonitorHandshake(const TzalWSMonitorTarget& aTarget);

}  // namespace zal
