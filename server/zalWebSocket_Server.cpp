#include "server/zalWebSocket_Server.h"

#include "transport/zalIdIOHandler.h"
#include "transport/zalIdTCPConnection.h"

namespace zal {

TzalWSHTTPCustomServer::~TzalWSHTTPCustomServer() { SetActive(false); }

void TzalWSHTTPCustomServer::Startup() {
  TIdHTTPServer::Startup();
  if (FOnStartup)
    FOnStartup(this);
}

void TzalWSHTTPCustomServer::Shutdown() {
  TIdHTTPServer::Shutdown();
  if (FOnShutdown)
    FOnShutdown(this);
}

TzalWSHTTPServer::TzalWSHTTPServer() : FHTTPServer(std::make_unique<TzalWSHTTPCustomServer>()) {
  FServerType = wsHTTP;
  FHTTPServer->SetServerSoftware("zalWebSockets 4.4.6");
  SetPort(80);
  FHTTPServer->FOnStartup = [this](void*) { DoStartup(); };
  FHTTPServer->FOnShutdown = [this](void*) { DoShutdown(); };
  FHTTPServer->FOnQueryHTTPSSLPort = [this](int port, bool& ssl) { DoQuerySSLPort(port, ssl); };
  FHTTPServer->OnConnect = [this](TIdContext* context) { DoTCPConnect(context); };
  FHTTPServer->OnExecute = [this](TIdContext* context) { DoTCPExecute(context); };
  FHTTPServer->OnDisconnect = [this](TIdContext* context) { DoTCPDisconnect(context); };
  FHTTPServer->OnException = [this](TIdContext* context, const std::exception& e) { DoTCPException(context, e); };
}

TzalWSHTTPServer::~TzalWSHTTPServer() {
  BeginDestroy();
  if (FHTTPServer->Active())
    SetActive(false);
  FHTTPServer->Bindings().Clear();
}

std::string TzalWSHTTPServer::DocumentRoot() const {
  std::string root = FDocumentRoot;
  if (!root.empty() && root.back() == '/')
    root.pop_back();
  return root;
}

void TzalWSHTTPServer::DoQuerySSLPort(int aPort, bool& aSSL) {
  aSSL = FSSLOptions.Port == 0 || FSSLOptions.Port == aPort;
}

// Every accepted connection gets its per-connection object in the context's Data.
void TzalWSHTTPServer::DoTCPConnect(TIdContext* context) {
  if (IsDestroying())
    return;
  auto connection = std::make_unique<TzalWSConnectionServer>();
  connection->SetTCPConnection(context->Connection());
  connection->FContext = context;
  connection->FReadTimeOut = FOptions.ReadTimeOut();
  context->SetData(std::move(connection));
}

// Waits for input and, until the protocols are dispatched here, drains it.
void TzalWSHTTPServer::DoTCPExecute(TIdContext* context) {
  if (IsDestroying())
    return;
  TIdIOHandler* io = context->Connection()->IOHandler();
  TzalWSConnectionServer* connection = ConnectionOf(context);
  if (!connection) {
    io->InputBuffer().Clear();
    context->Connection()->Disconnect(false);
    return;
  }
  if (io->InputBufferIsEmpty())
    io->CheckForDataOnSource(connection->FReadTimeOut);
  io->InputBuffer().Clear();
  io->CheckForDisconnect(true, false);
}

void TzalWSHTTPServer::DoTCPDisconnect(TIdContext* context) {
  TzalWSConnectionServer* connection = ConnectionOf(context);
  if (!connection)
    return;
  try {
    if (!connection->Enabled()) {
      context->SetData(nullptr);
      return;
    }
    connection->SetDisconnected(true);
    UnregisterConnection(connection);
    if (IsDestroying()) {
      context->SetData(nullptr);
      return;
    }
    // The notification releases the connection object once it has been delivered;
    // the TCP connection goes away with the context before that.
    context->TakeData().release();
    connection->SetTCPConnection(nullptr);
    NotifyDisconnect(connection, 0);
  } catch (const std::exception& e) {
    DoError(connection, e.what());
  }
}

// The end of a connection by the peer is normal and not reported.
void TzalWSHTTPServer::DoTCPException(TIdContext* context, const std::exception& e) {
  if (dynamic_cast<const EIdSilentException*>(&e))
    return;
  DoException(ConnectionOf(context), e);
}

TzalWebSocketHTTPServer::TzalWebSocketHTTPServer() = default;
TzalWebSocketHTTPServer::~TzalWebSocketHTTPServer() = default;

}  // namespace zal
