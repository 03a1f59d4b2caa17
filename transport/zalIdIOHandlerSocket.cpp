#include "transport/zalIdIOHandlerSocket.h"

namespace zal {

TIdIOHandlerSocket::~TIdIOHandlerSocket() {
  if (Opened() || BindingAllocated())
    TIdIOHandlerSocket::Close();
}

void TIdIOHandlerSocket::Open() {
  if (!FBinding)
    FBinding = std::make_unique<TIdSocketHandle>();
  TIdIOHandler::Open();
}

void TIdIOHandlerSocket::AfterAccept() {
  if (FBinding)
    FIPVersion = FBinding->IPVersion();
}

void TIdIOHandlerSocket::Close() {
  if (FBinding)
    FBinding->CloseSocket();
  TIdIOHandler::Close();
}

void TIdIOHandlerSocket::SetUseNagle(bool value) {
  FUseNagle = value;
  if (BindingAllocated())
    FBinding->SetUseNagle(value);
}

// Bytes still buffered keep a connection the peer has closed readable, so a
// request sent before its FIN is still answered; a connection closed on this
// side is over, whatever it still buffers.
bool TIdIOHandlerSocket::Connected() {
  if (!Opened())
    return false;
  FillInputBuffer(false, 0, false);  // pulls pending bytes and notices an orderly close
  return (BindingAllocated() && TIdIOHandler::Connected()) || !InputBufferIsEmpty();
}

void TIdIOHandlerSocket::CheckForDisconnect(bool raiseExceptionIfDisconnected, bool ignoreBuffer) {
  bool disconnected = !Opened();
  if (ClosedGracefully()) {
    if (BindingAllocated()) {
      FBinding->CloseSocket();
      DoStatus(hsDisconnected);
    }
    disconnected = true;
  } else if (!BindingAllocated()) {
    disconnected = true;
  }
  // A writer on another thread passes ignoreBuffer: the input buffer belongs to
  // the reading thread and is not looked at then.
  if (disconnected && (ignoreBuffer || InputBufferIsEmpty()) && raiseExceptionIfDisconnected)
    throw EIdConnClosedGracefully();
}

}  // namespace zal
