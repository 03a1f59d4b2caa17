#pragma once
// Server I/O handlers accept connections on a listening binding and give each
// accepted socket its client I/O handler (plain TCP here; TLS elsewhere).
#include "transport/zalIdSocketHandle.h"

namespace zal {

class TIdIOHandler;
class TIdIOHandlerSocket;
class TIdScheduler;
class TIdThread;
class TIdYarn;

class TIdServerIOHandler {
public:
  virtual ~TIdServerIOHandler() = default;

  virtual void Init() {}
  // Waits for and accepts one connection on `listenBinding`; nullptr when the
  // listener was stopped meanwhile.
  virtual TIdIOHandler* Accept(TIdSocketHandle* listenBinding, TIdThread* listenerThread, TIdYarn* yarn) = 0;
  virtual TIdIOHandler* MakeClientIOHandler(TIdYarn*) { return nullptr; }
  virtual void Shutdown() {}
  virtual void SetScheduler(TIdScheduler* scheduler) { FScheduler = scheduler; }
  TIdScheduler* Scheduler() const { return FScheduler; }

protected:
  TIdScheduler* FScheduler = nullptr;
};

class TIdServerIOHandlerSocket : public TIdServerIOHandler {
public:
  TIdIOHandler* Accept(TIdSocketHandle* listenBinding, TIdThread* listenerThread, TIdYarn* yarn) override;

protected:
  // A new, closed client handler of this server handler's kind.
  virtual TIdIOHandlerSocket* NewClientIOHandler() = 0;
};

class TIdServerIOHandlerStack : public TIdServerIOHandlerSocket {
protected:
  TIdIOHandlerSocket* NewClientIOHandler() override;
};

}  // namespace zal
