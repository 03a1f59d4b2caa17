#include "common/zalLoopbackConnection.h"

#include <sys/socket.h>

#include <chrono>
#include <stdexcept>

namespace zal::test {

LoopbackConnection::LoopbackConnection() {
  FListener.SetIP("127.0.0.1");
  FListener.AllocateSocket();
  FListener.Bind();
  FListener.Listen(1);
  if (!FPeer.Connect("127.0.0.1", FListener.Port()) || !FListener.Readable(2000))
    throw std::runtime_error("loopback connect failed");
  auto* handler = new TIdIOHandlerStack();
  FConnection.SetIOHandler(handler, true);
  handler->Open();
  if (!handler->Binding()->Accept(FListener.Handle()))
    throw std::runtime_error("loopback accept failed");
  handler->AfterAccept();
  handler->SetReadTimeout(kSafetyReadTimeoutMs);
  FHandler = handler;
}

void LoopbackConnection::PeerReset() {
  linger option{1, 0};
  ::setsockopt(FPeer.Handle(), SOL_SOCKET, SO_LINGER, &option, sizeof(option));
  FPeer.Close();
}

bool LoopbackConnection::BufferUntil(int size, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (FHandler->InputBuffer().Size() < size) {
    if (std::chrono::steady_clock::now() >= deadline)
      return false;
    FHandler->CheckForDataOnSource(50);
  }
  return true;
}

TIdBytes Pattern(size_t size) {
  TIdBytes data(size);
  uint32_t x = 2463534242u;
  for (auto& b : data) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x);
  }
  return data;
}

}  // namespace zal::test
