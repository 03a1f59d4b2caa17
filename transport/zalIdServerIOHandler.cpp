#include "transport/zalIdServerIOHandler.h"

#include <memory>

#include "transport/zalIdIOHandlerStack.h"
#include "transport/zalIdThread.h"

namespace zal {

TIdIOHandler* TIdServerIOHandlerSocket::Accept(TIdSocketHandle* listenBinding, TIdThread* listenerThread,
                                               TIdYarn*) {
  std::unique_ptr<TIdIOHandlerSocket> client(NewClientIOHandler());
  client->Open();
  for (;;) {
    if (listenerThread->Stopped())
      return nullptr;
    // Blocks until a client is pending or the listening socket is closed by
    // StopListening, which wakes the wait at once.
    if (!listenBinding->Readable(-1) || listenerThread->Stopped())
      continue;
    if (client->Binding()->Accept(listenBinding->Handle()))
      break;
    if (!listenBinding->HandleAllocated())
      return nullptr;
  }
  client->AfterAccept();
  return client.release();
}

TIdIOHandlerSocket* TIdServerIOHandlerStack::NewClientIOHandler() { return new TIdIOHandlerStack(); }

}  // namespace zal
