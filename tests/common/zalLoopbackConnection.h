#pragma once
// A server-side connection (TIdTCPConnection with a TIdIOHandlerStack) accepted
// from a real loopback socket, and the plain client socket at its other end.
#include <string>

#include "common/zalTestSocket.h"
#include "transport/zalIdIOHandlerStack.h"
#include "transport/zalIdSocketHandle.h"
#include "transport/zalIdTCPConnection.h"

namespace zal::test {

class LoopbackConnection {
public:
  // Reads of the handler time out after this much unless a test changes it,
  // so that no test can hang on a read.
  static constexpr int kSafetyReadTimeoutMs = 5000;

  LoopbackConnection();

  TIdTCPConnection& Connection() { return FConnection; }
  TIdIOHandlerStack& IO() { return *FHandler; }
  TestClient& Peer() { return FPeer; }

  // Closes the client with SO_LINGER 0, so the server side sees a reset.
  void PeerReset();
  // Lets the handler receive until its input buffer holds at least `size` bytes.
  bool BufferUntil(int size, int timeoutMs = 2000);

private:
  TIdSocketHandle FListener;
  TestClient FPeer;
  TIdTCPConnection FConnection;
  TIdIOHandlerStack* FHandler = nullptr;
};

// `size` pseudo-random bytes (xorshift): no short period that could hide a
// misplaced or repeated block.
TIdBytes Pattern(size_t size);

}  // namespace zal::test
