#include "http/zalIdCustomHTTPServer.h"

#include "transport/zalIdIOHandler.h"
#include "transport/zalIdTCPConnection.h"

namespace zal {

// How long one execute step waits for request bytes.
constexpr int kRequestWaitMs = 1000;

TIdCustomHTTPServer::TIdCustomHTTPServer() { SetDefaultPort(80); }

// Until the request loop is in place, a connection without an execute handler
// drains what the client sends and stays open until the client closes.
bool TIdCustomHTTPServer::DoExecute(TIdContext* context) {
  if (OnExecute)
    return TIdCustomTCPServer::DoExecute(context);
  TIdIOHandler* io = context->Connection()->IOHandler();
  if (io->CheckForDataOnSource(kRequestWaitMs))
    io->InputBuffer().Clear();
  io->CheckForDisconnect(true, false);
  return context->Connection()->Connected();
}

}  // namespace zal
