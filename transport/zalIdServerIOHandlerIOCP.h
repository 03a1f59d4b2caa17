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
  // Read back within their limits (the engine's).
  int IOCPThreads() const { return TzalSock_IOCP_Engine::LimitIOCPThreads(FIOCPThreads); }
  void SetIOCPThreads(int value) { FIOCPThreads = value; }
  int WorkOpThreads() const { return TzalSock_IOCP_Engine::LimitWorkOpThreads(FWorkOpThreads); }
  void SetWorkOpThreads(int value) { FWorkOpThreads = value; }
  int TimeOut() const { return TzalSock_IOCP_Engine::LimitTimeOut(FTimeOut); }
  void SetTimeOut(int value) { FTimeOut = value; }

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
  std::mutex FEngineLock;  // listener threads accept side by side
  std::unique_ptr<TzalSock_IOCP_Engine> FEngine;
};

// Either server handler: the base's accept, then the yarn bound to the engine.
template <typename Base, typename Client>
class TzalIdServerIOHandlerOfLoops : public Base, public TzalSock_IOCP_EngineOwner {
public:
  void SetScheduler(TIdScheduler* scheduler) override {
    CheckScheduler(scheduler);
    Base::SetScheduler(scheduler);
  }
  TIdIOHandler* Accept(TIdSocketHandle* listenBinding, TIdThread* listenerThread, TIdYarn* yarn) override {
    return Bind(Base::Accept(listenBinding, listenerThread, yarn), yarn);
  }
  void Shutdown() override {
    FreeEngine();
    Base::Shutdown();
  }

protected:
  TIdIOHandlerSocket* NewClientIOHandler() override { return new Client(); }
};

class TzalIdServerIOHandlerIOCP : public TzalIdServerIOHandlerOfLoops<TIdServerIOHandlerStack, TzalSock_IOHandler_IOCP> {};

class TzalIdServerIOHandlerIOCPOpenSSL
    : public TzalIdServerIOHandlerOfLoops<TIdServerIOHandlerSSLOpenSSL, TzalSock_IOHandler_IOCP_OpenSSL> {};

}  // namespace zal
