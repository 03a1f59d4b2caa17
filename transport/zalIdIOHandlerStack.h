#pragma once
// TIdIOHandlerStack: the plain TCP handler. Its raw primitives are recv, send
// (MSG_NOSIGNAL) and a poll readiness wait on the binding's socket.
#include "transport/zalIdIOHandlerSocket.h"

namespace zal {

class TIdIOHandlerStack : public TIdIOHandlerSocket {
public:
  TIdIOHandlerStack() = default;

  // -1 and -2 wait without limit; a socket closed meanwhile raises EIdConnClosedGracefully.
  bool Readable(int msec = IdTimeoutDefault) override;

protected:
  int ReceiveRaw(uint8_t* buffer, int length) override;
  int SendRaw(const uint8_t* bytes, int length) override;
  bool CanTransferFile() const override { return true; }
  int TransferFileRaw(int fileHandle, int64_t offset, int length) override;
};

}  // namespace zal
