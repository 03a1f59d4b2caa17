#pragma once
// TIdIOHandlerStack: the plain TCP handler. Its raw primitives are recv, send
// (MSG_NOSIGNAL) and a poll readiness wait on the binding's socket.
//
// The socket's send time-out (SO_SNDTIMEO) bounds a whole stall, not one call: a
// stall begins when a send cannot take everything it is given and ends when one
// can. While it lasts, each call may wait only for what is left of it, so a peer
// that reads a few octets now and then does not restart the clock.
#include <chrono>
#include <optional>

#include "transport/zalIdIOHandlerSocket.h"

namespace zal {

class TIdIOHandlerStack : public TIdIOHandlerSocket {
public:
  TIdIOHandlerStack() = default;

  // -1 and -2 wait without limit; a socket closed meanwhile raises EIdConnClosedGracefully.
  // Event-driven: never waits, and answers whether a receive may find octets.
  bool Readable(int msec = IdTimeoutDefault) override;

  // Under an event loop nothing here waits on the socket: receives and sends
  // never block, and the loop keeps the socket's readiness. A receive that
  // comes back short (or finds nothing) means the socket is drained until the
  // loop sees it readable again; a send that finds no room, until it sees it
  // writable.
  void SetEventDriven() { FEventDriven = true; }
  bool EventDriven() const { return FEventDriven; }
  bool MayReceive() const { return FMayReceive; }
  bool MaySend() const { return FMaySend; }
  // `ended`: the peer has closed its side; its end is read after the octets
  // that came before it, however short the reads that take them.
  void NoteReadable(bool ended) {
    FMayReceive = true;
    FInputEnds = FInputEnds || ended;
  }
  void NoteWritable() { FMaySend = true; }

protected:
  int ReceiveRaw(uint8_t* buffer, int length) override;
  int SendRaw(const uint8_t* bytes, int length) override;
  bool CanTransferFile() const override { return true; }
  int TransferFileRaw(int fileHandle, int64_t offset, int length) override;
  int SendRawNow(const uint8_t* bytes, int length, bool more) override;
  int TransferFileRawNow(int fileHandle, int64_t offset, int length) override;

  // One receive that never waits: the count, -Id_WSAEWOULDBLOCK when nothing
  // is there, or the negated socket error code.
  int ReceiveNow(uint8_t* buffer, int length);

private:
  // One send or sendfile call (aTransfer) under the stall bound.
  template <typename Transfer>
  int TransferWithinStall(int length, Transfer aTransfer);
  // One send or sendfile call that does not wait (aTransfer).
  template <typename Transfer>
  int TransferNow(Transfer aTransfer);
  // Before a call during a stall: the socket's send time-out becomes what is left
  // of it; false when nothing is left.
  bool LimitCallToStall();
  void BeginStall(std::chrono::steady_clock::time_point aStart);
  void EndStall();

  std::optional<std::chrono::steady_clock::time_point> FStallDeadline;  // set during a limited stall
  bool FStalled = false;
  timeval FSendTimeOut{};  // the socket's own send time-out, restored when the stall ends
  bool FEventDriven = false;
  bool FMayReceive = true;  // event-driven: a receive may find octets
  bool FMaySend = true;     // event-driven: a send may find room
  bool FInputEnds = false;  // event-driven: the peer's end follows what the socket holds
};

}  // namespace zal
