#include "transport/zalIdTCPConnection.h"

#include "transport/zalIdIOHandlerSocket.h"
#include "transport/zalIdIntercept.h"

namespace zal {

TIdTCPConnection::~TIdTCPConnection() {
  if (FIOHandler)
    FIOHandler->Close();
  ReleaseIOHandler();
}

void TIdTCPConnection::ReleaseIOHandler() {
  if (FManagedIOHandler)
    delete FIOHandler;
  FIOHandler = nullptr;
  FSocket = nullptr;
  FManagedIOHandler = false;
}

bool TIdTCPConnection::Connected() { return FIOHandler && FIOHandler->Connected(); }

void TIdTCPConnection::Disconnect(bool notifyPeer) {
  if (notifyPeer && Connected()) {
    try {
      DisconnectNotifyPeer();
    } catch (const std::exception&) {
      // the peer may already be gone; closing goes on regardless
    }
  }
  if (!FIOHandler || !FIOHandler->Opened())
    return;
  DoStatus(hsDisconnecting);
  FIOHandler->Close();
  if (OnDisconnected)
    OnDisconnected(*this);
  DoStatus(hsDisconnected);
}

void TIdTCPConnection::CheckForGracefulDisconnect(bool raiseExceptionIfDisconnected) {
  if (FIOHandler)
    FIOHandler->CheckForDisconnect(raiseExceptionIfDisconnected, false);
  else if (raiseExceptionIfDisconnected)
    throw EIdException("Not Connected");
}

void TIdTCPConnection::SetIOHandler(TIdIOHandler* handler, bool managed) {
  if (handler && FIntercept && handler->Intercept() && handler->Intercept() != FIntercept)
    throw EIdInterceptConflict();
  if (handler != FIOHandler)
    ReleaseIOHandler();
  FIOHandler = handler;
  FManagedIOHandler = handler && managed;
  FSocket = dynamic_cast<TIdIOHandlerSocket*>(handler);
  if (handler && FIntercept)
    handler->SetIntercept(FIntercept);
}

void TIdTCPConnection::SetIntercept(TIdConnectionIntercept* value) {
  FIntercept = value;
  if (FIOHandler)
    FIOHandler->SetIntercept(value);
}

void TIdTCPConnection::DoStatus(TIdStatus status) {
  if (OnStatus)
    OnStatus(*this, status);
}

}  // namespace zal
