#pragma once
// The server I/O handlers of the event-loop engine, plain and TLS. The
// listener threads still accept; every accepted socket gets an event-driven
// connection handler (nothing in it waits on the socket) and its yarn is bound
// to the engine, which these handlers make on the first connection and free
// when the server stops. They take only the event-loop scheduler.
#include <memory>
#include <mutex>

#include "transport/zalIdIOHandlerStack.h"
#include "transport/zalIdSSLIOHandler.h"
#include "transport/zalIdServerIOHandler.h"
#include "transport/zalSock_IOCP_Engine.h"

namespace zal {

class TzalSock_IOHandler_IOCP : public TIdIOHandlerStack {
public:
  TzalSock_IOHandler_IOCP() { SetEventDriven(); }
};

class TzalSock_IOHandler_IOCP_OpenSSL : public TIdSSLIOHandlerSocketOpenSSL {
public:
  TzalSock_IOHandler_IOCP_OpenSSL() { SetEventDriven(); }
};

// What both server handlers share: the engine's settings, and the engine.
class TzalSock_IOCP_EngineOwner {
public:
  virtual ~TzalSock_IOCP_EngineOwner() = default;
  int IOCPThreads() const { return FIOCPThreads; }
  void SetIOCPThreads(int value) { FIOCPThreads = value; }
  int WorkOpThreads() const { return FWorkOpThreads; }
  void SetWorkOpThreads(int value) { FWorkOpThreads = value; }
  int TimeOut() const { return FTimeOut; }
  void SetTimeOut(int value) { FTimeOut = value; }
  // nullptr until the first connection.
  TzalSock_IOCP_Engine* Engine() const;

protected:
  // Raises "Scheduler not a IOCP scheduler" for any scheduler but the event loops'.
  static void CheckScheduler(TIdScheduler* scheduler);
  // Binds an accepted connection's yarn to the engine, made on first use;
  // returns `accepted` (nullptr when nothing was accepted).
  TIdIOHandler* Bind(TIdIOHandler* accepted, TIdYarn* yarn);
  void FreeEngine();

private:
  void AttachYarn(TIdYarn* yarn);

  int FIOCPThreads = 8;
  int FWorkOpThreads = 0;
  int FTimeOut = 10000;
  mutable std::mutex FEngineLock;  // listener threads accept side by side
  std::unique_ptr<TzalSock_IOCP_Engine> FEngine;
};

class TzalIdServerIOHandlerIOCP : public TIdServerIOHandlerStack, public TzalSock_IOCP_EngineOwner {
public:
  void SetScheduler(TIdScheduler* scheduler) override;
  TIdIOHandler* Accept(TIdSocketHandle* listenBinding, TIdThread* listenerThread, TIdYarn* yarn) override;
  void Shutdown() override { FreeEngine(); }

protected:
  TIdIOHandlerSocket* NewClientIOHandler() override { return new TzalSock_IOHandler_IOCP(); }
};

class TzalIdServerIOHandlerIOCPOpenSSL : public TIdServerIOHandlerSSLOpenSSL, public TzalSock_IOCP_EngineOwner {
public:
  void SetScheduler(TIdScheduler* scheduler) override;
  TIdIOHandler* Accept(TIdSocketHandle* listenBinding, TIdThread* listenerThread, TIdYarn* yarn) override;
  void Shutdown() override;

protected:
  TIdIOHandlerSocket* NewClientIOHandler() override { return new TzalSock_IOHandler_IOCP_OpenSSL(); }
};

}  // namespace zal
