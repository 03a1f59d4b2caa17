#pragma once
// TIdTCPConnection: one TCP connection and its I/O handler, the only access
// protocol code has to the connection's bytes.
#include <functional>
#include <string>

#include "transport/zalIdIOHandler.h"

namespace zal {

class TIdConnectionIntercept;
class TIdIOHandlerSocket;
class TIdTCPConnection;

using TIdConnectionNotifyEvent = std::function<void(TIdTCPConnection& sender)>;
using TIdConnectionStatusEvent = std::function<void(TIdTCPConnection& sender, TIdStatus status)>;

class EIdInterceptConflict : public EIdException {
public:
  EIdInterceptConflict() : EIdException("The IOHandler already has a different Intercept assigned") {}
};

class TIdTCPConnection {
public:
  TIdTCPConnection() = default;
  virtual ~TIdTCPConnection();
  TIdTCPConnection(const TIdTCPConnection&) = delete;
  TIdTCPConnection& operator=(const TIdTCPConnection&) = delete;

  // The handler's Connected; false without a handler.
  virtual bool Connected();
  // Closes the handler (firing OnDisconnected); with `notifyPeer` first tells the
  // peer through DisconnectNotifyPeer. Safe to call from another thread to end
  // a read blocked on the worker thread.
  virtual void Disconnect(bool notifyPeer = true);
  // Raises EIdConnClosedGracefully when the peer has closed and nothing is buffered.
  void CheckForGracefulDisconnect(bool raiseExceptionIfDisconnected = true);

  TIdIOHandler* IOHandler() const { return FIOHandler; }
  // Installs `handler`; `managed` makes the connection free it. A managed previous
  // handler is freed. The connection's intercept is handed to the new handler.
  void SetIOHandler(TIdIOHandler* handler, bool managed = false);
  bool ManagedIOHandler() const { return FManagedIOHandler; }
  void SetManagedIOHandler(bool value) { FManagedIOHandler = value; }
  // The handler when it is a socket handler, else nullptr.
  TIdIOHandlerSocket* Socket() const { return FSocket; }
  TIdConnectionIntercept* Intercept() const { return FIntercept; }
  void SetIntercept(TIdConnectionIntercept* value);

  TIdConnectionNotifyEvent OnDisconnected;
  TIdConnectionStatusEvent OnStatus;

protected:
  // Tells the peer that the connection ends; nothing at this level.
  virtual void DisconnectNotifyPeer() {}
  void DoStatus(TIdStatus status);

private:
  void ReleaseIOHandler();

  TIdConnectionIntercept* FIntercept = nullptr;
  TIdIOHandler* FIOHandler = nullptr;
  bool FManagedIOHandler = false;
  TIdIOHandlerSocket* FSocket = nullptr;
};

}  // namespace zal
