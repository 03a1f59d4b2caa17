#include "server/zalWebSocket_Server.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <limits>
#include <optional>
#include <thread>

#include "server/zalWebSocket_Classification.h"
#include "server/zalWebSocket_OAuth2.h"
#include "websocket/zalWebSocket_FallBack.h"
#include "http/zalIdHTTPResponseInfo.h"
#include "http2/zalHTTP2_Frame.h"
#include "support/zalHeaderBlockScanner.h"
#include "support/zalHelpers.h"
#include "support/zalMainThread.h"
#include "support/zalRaisedFlag.h"
#include "support/zalRequestClassification.h"
#include "transport/zalIdIOHandler.h"
#include "transport/zalIdIOHandlerSocket.h"
#include "transport/zalIdIntercept.h"
#include "transport/zalIdSSLIOHandler.h"
#include "transport/zalIdTCPConnection.h"

namespace zal {

namespace {
constexpr size_t kHTTP2PrefaceLength = 24;  // "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n" (RFC 9113 3.4)
}

TzalWSHTTPCustomServer::~TzalWSHTTPCustomServer() { SetActive(false); }

bool TzalWSHTTPCustomServer::DoParseAuthentication(TIdContext* AContext, const std::string& AAuthType,
                                                   const std::string& AAuthData, std::string& VUsername,
                                                   std::string& VPassword) {
  return TIdHTTPServer::DoParseAuthentication(AContext, AAuthType, AAuthData, VUsername, VPassword) ||
         (FOnOwnAuthScheme && FOnOwnAuthScheme(AAuthType));
}

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

// The TLS handshake only begins here: it is the first phase of the
// connection's steps (TzalWSHTTPServer::TLSHandshakeStep).
void TzalWSHTTPCustomServer::DoConnect(TIdContext* context) {
  auto* tls = dynamic_cast<TIdSSLIOHandlerSocketOpenSSL*>(context->Connection()->IOHandler());
  if (tls && !ShuttingDown()) {
    bool ssl = true;
    if (FOnQueryHTTPSSLPort)
      FOnQueryHTTPSSLPort(tls->Binding()->Port(), ssl);
    if (ssl)
      tls->BeginTLS();
  }
  TIdHTTPServer::DoConnect(context);
}

TzalWSHTTPServer::TzalWSHTTPServer() : FHTTPServer(std::make_unique<TzalWSHTTPCustomServer>()) {
  FServerType = wsHTTP;
  FHTTPServer->SetServerSoftware("zalWebSockets 4.4.6");
  SetPort(80);
  FHTTPServer->FOnStartup = [this](void*) {
    // Connections keep the budget they started with; a restart takes a new limit.
    FHTTP2BodyBudget = std::make_shared<TzalHTTP2BodyBudget>(FHTTP2Options.MaxBufferedRequestBodyTotal);
    DoStartup();
  };
  FHTTPServer->FOnShutdown = [this](void*) { DoShutdown(); };
  FHTTPServer->FOnQueryHTTPSSLPort = [this](int port, bool& ssl) { DoQuerySSLPort(port, ssl); };
  // The OAuth2 provider judges bearer tokens itself (PassesOAuth2Gate, PassesBasicGate).
  FHTTPServer->FOnOwnAuthScheme = [this](const std::string& scheme) {
    return TextIsSame(scheme, "Bearer") && FAuthentication.OAuth.OAuth2;
  };
  FHTTPServer->OnConnect = [this](TIdContext* context) { DoTCPConnect(context); };
  FHTTPServer->OnExecute = [this](TIdContext* context) { DoTCPExecute(context); };
  FHTTPServer->OnDisconnect = [this](TIdContext* context) { DoTCPDisconnect(context); };
  FHTTPServer->OnException = [this](TIdContext* context, const std::exception& e) { DoTCPException(context, e); };
  FHTTPServer->OnListenException = [this](TIdListenerThread*, const std::exception& e) { DoException(nullptr, e); };
  FHTTPServer->OnCommandGet = [this](TIdContext* c, TIdHTTPRequestInfo* rq, TIdHTTPResponseInfo* rs) {
    DoHTTPCommand(c, rq, rs, true);
  };
  FHTTPServer->OnCommandOther = [this](TIdContext* c, TIdHTTPRequestInfo* rq, TIdHTTPResponseInfo* rs) {
    DoHTTPCommand(c, rq, rs, false);
  };
  FHTTPServer->OnCreateSession = [this](TIdContext* c, TIdHTTPSessionPtr& session) {
    if (OnCreateSession)
      OnCreateSession(c, session);
  };
  FHTTPServer->OnInvalidSession = [this](TIdContext* c, TIdHTTPRequestInfo* rq, TIdHTTPResponseInfo* rs,
                                         bool& continueProcessing, const std::string& id) {
    if (OnInvalidSession)
      OnInvalidSession(c, rq, rs, continueProcessing, id);
  };
  FHTTPServer->OnSessionStart = [this](TIdHTTPSession* session) {
    if (OnSessionStart)
      OnSessionStart(session);
  };
  FHTTPServer->OnSessionEnd = [this](TIdHTTPSession* session) {
    if (OnSessionEnd)
      OnSessionEnd(session);
  };
}

TzalWSHTTPServer::~TzalWSHTTPServer() {
  StopBeforeDestruction();
  FHTTPServer->Bindings().Clear();
}

void TzalWSHTTPServer::StopBeforeDestruction() {
  BeginDestroy();
  DestroyTimers();         // no timer handler runs, and none starts the server, from here on
  WaitForServerThreads();  // a background stop may still use what is destroyed here
  if (FHTTPServer->Active())
    SetActive(false);
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

void TzalWSHTTPServer::ApplySocketOptions(TIdContext* context) {
  TIdIOHandlerSocket* socket = context->Connection()->Socket();
  if (!socket || !socket->Binding())
    return;
  TIdSocketHandle& binding = *socket->Binding();
  if (FOptions.WriteTimeOut > 0) {
    const timeval timeout{FOptions.WriteTimeOut / 1000, (FOptions.WriteTimeOut % 1000) * 1000};
    binding.SetSockOpt(SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
  }
  if (FTCPKeepAlive.Enabled) {
    binding.SetSockOpt(SOL_SOCKET, SO_KEEPALIVE, 1);
    binding.SetSockOpt(IPPROTO_TCP, TCP_KEEPIDLE, std::max(1, FTCPKeepAlive.Time / 1000));
    binding.SetSockOpt(IPPROTO_TCP, TCP_KEEPINTVL, std::max(1, FTCPKeepAlive.Interval / 1000));
  }
}

namespace {

// A size option as a connection's limit: 0 or less means no bound.
uint64_t LimitOf(int64_t option) { return option > 0 ? static_cast<uint64_t>(option) : UINT64_MAX; }

}  // namespace

std::unique_ptr<TzalWSConnectionServer> TzalWSHTTPServer::NewConnection(TIdContext* context) {
  auto connection = std::make_unique<TzalWSConnectionServer>();
  connection->FServerSSL = SSL();
  connection->FServerOriginsAllowed = FSecurityOptions.OriginsAllowed;
  connection->FValidateUTF8 = FOptions.ValidateUTF8;
  connection->FCleanDisconnect = FOptions.CleanDisconnect;
  connection->FRaiseDisconnectExceptions = FOptions.RaiseDisconnectExceptions;
  connection->FFragmentedMessages = FOptions.FragmentedMessages;
  connection->FMasked = false;
  connection->FProtocol = ProtocolNames();
  connection->FReadTimeOut = FOptions.ReadTimeOut();
  connection->FQueueOptions = FQueueOptions;
  connection->FSendTimeOut = FOptions.WriteTimeOut > 0 ? FOptions.WriteTimeOut : FHTTPServer->SendTimeOut();
  connection->FLimits = {LimitOf(FOptions.MaxFrameSize), LimitOf(FOptions.MaxMessageSize),
                         LimitOf(FOptions.MaxSendQueueSize), FOptions.CloseTimeOut};
  connection->FOnMessage = [this](TzalWSConnection* c, const std::string& text) {
    c->SetMsgReceived(text);
    if (TzalWSProtocol* protocol = ProtocolObjectOf(c))
      return protocol->DoMessage(c, text);
    NotifyMessage(c, text);
  };
  connection->FOnBinary = [this](TzalWSConnection* c, const TMemoryStream& data) {
    if (TzalWSProtocol* protocol = ProtocolObjectOf(c))
      return protocol->DoBinary(c, data);
    NotifyBinary(c, data);
  };
  connection->FOnFragmented = [this](TzalWSConnection* c, const TMemoryStream& data, TOpcode opCode,
                                     bool continuation) { NotifyFragmented(c, data, opCode, continuation); };
  connection->FOnError = [this](TzalWSConnection* c, const std::string& error) {
    c->FMsgError = error;
    NotifyError(c, error);
  };
  connection->Extensions().Assign(FExtensions);
  connection->Extensions().AssignMode(appServer);
  connection->Extensions().SetMaxMessageSize(FOptions.MaxMessageSize);
  // Raised the way the other events are: on the main thread unless
  // NotifyEvents is neNoSync. The answer waits for it, since it may change it.
  if (OnHandshake)
    connection->OnHandshake = [this, handler = OnHandshake](TzalWSConnection* c, std::vector<std::string>& headers) {
      if (NotifyEvents() == neNoSync)
        return handler(c, headers);
      SynchronizeWithMainThread([&] { handler(c, headers); });
    };
  if (FAuthentication.Enabled)
    connection->OnAuthentication = [this](TzalWSConnection* c, const std::string& user, const std::string& password,
                                          bool& authenticated) {
      OnServerAuthenticationEvent(c, user, password, authenticated);
    };
  connection->OnUpdate = [this](TzalWSConnection* c, int aType) {
    if (aType == 1)
      AcceptConnection(static_cast<TzalWSConnectionServer*>(c));
  };
  connection->SetTCPConnection(context->Connection());
  connection->FContext = context;
  AwaitFirstBytes(connection.get());
  if (TIdIOHandlerSocket* socket = context->Connection()->Socket())
    connection->FIPVersion = socket->Binding()->IPVersion();
  return connection;
}

namespace {

// The bandwidth limit of one connection. It takes the place of the intercept the
// connection had (its traffic log), which stays chained behind it and is freed
// with it: the TCP server frees the connection's intercept when it ends.
class TzalThrottleIntercept : public TIdInterceptThrottler {
public:
  TzalThrottleIntercept(TIdConnectionIntercept* previous, int64_t bitsPerSec) : FPrevious(previous) {
    SetIntercept(previous);
    SetBitsPerSec(bitsPerSec);
  }

private:
  std::unique_ptr<TIdConnectionIntercept> FPrevious;
};

}  // namespace

void TzalWSHTTPServer::ApplyThrottle(TIdContext* context) {
  if (!FThrottle.Enabled)
    return;
  TIdIOHandler* io = context->Connection()->IOHandler();
  io->SetIntercept(new TzalThrottleIntercept(io->Intercept(), FThrottle.BitsPerSec));
}

// Set-up of an accepted connection: socket options and the per-connection
// object in the context's Data. A TLS connection is taken further once its
// handshake is done; a plain one at once.
void TzalWSHTTPServer::DoTCPConnect(TIdContext* context) {
  if (IsDestroying())
    return;
  ApplySocketOptions(context);
  TzalWSConnectionServer* connection = nullptr;
  try {
    AttachConnection(context, NewConnection(context));
    connection = ConnectionOf(context);
    connection->SetStepDriver(dynamic_cast<TIdStepDriver*>(context->Yarn()));
    auto* tls = dynamic_cast<TIdSSLIOHandlerSocketOpenSSL*>(context->Connection()->IOHandler());
    connection->FTLSHandshake = tls && tls->Handshaking();
  } catch (const std::exception& e) {
    DoError(connection, e.what());
  }
  if (connection && !connection->FTLSHandshake)
    AcceptTCPConnection(context, connection);
}

// The throttle, then the application's say in OnTCPConnect.
void TzalWSHTTPServer::AcceptTCPConnection(TIdContext* context, TzalWSConnectionServer* connection) {
  try {
    ApplyThrottle(context);
    if (OnTCPConnect) {
      bool accept = true;
      OnTCPConnect(connection, accept);
      if (!accept)
        throw EIdException("Connection rejected by server.");
    }
  } catch (const std::exception& e) {
    DoError(connection, e.what());
  }
}

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds until `deadline`, at least 1 (a wait of 0 would return at once).
int MillisecondsUntil(Clock::time_point deadline, Clock::time_point now) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
  return static_cast<int>(std::clamp<long long>(left, 1, std::numeric_limits<int>::max()));
}

}  // namespace

// One step, then the one wait for what the step asked for (its socket, posted
// work, a deadline): on the connection's own thread, or, under the event loop
// engine, by its loop, which calls this again when the wait is over.
void TzalWSHTTPServer::DoTCPExecute(TIdContext* context) {
  if (TzalWSConnectionServer* connection = ConnectionOf(context))
    GuardWaitCall(context, connection, [connection] { connection->TakeArrivedInput(); });
  {
    std::optional<TzalWSConnection_Base_Sock::TStepScope> step;
    if (TzalWSConnectionServer* stepping = ConnectionOf(context))
      step.emplace(*stepping);
    RunConnectionStep(context);
  }
  TzalWSConnectionServer* connection = ConnectionOf(context);
  if (!connection)
    return;
  GuardWaitCall(context, connection, [this, connection] {
    if (connection->StepAwaits())
      FStepWaits.fetch_add(1, std::memory_order_relaxed);
    connection->WaitForNextStep();
  });
}

// The socket failed while the connection waited (or while what came was
// taken); one already ending on this side has nobody left to tell.
void TzalWSHTTPServer::GuardWaitCall(TIdContext* context, TzalWSConnectionServer* connection,
                                     const std::function<void()>& wait) {
  try {
    wait();
  } catch (const EIdSilentException&) {
    throw;
  } catch (const std::exception& e) {
    if (!connection->Disconnected())
      DoError(connection, e.what());
    context->Connection()->IOHandler()->InputBuffer().Clear();
  }
}

// The TLS handshake is the connection's first phase: each step feeds it the
// ciphertext that came and sends what it wrote, and the connection waits for
// more within the handshake's total deadline. A failed handshake ends the
// connection as a failure at accept would, before any event of it; once it
// is done the connection is set up as a plain one is at accept.
void TzalWSHTTPServer::TLSHandshakeStep(TIdContext* context, TzalWSConnectionServer* connection) {
  auto& tls = static_cast<TIdSSLIOHandlerSocketOpenSSL&>(*context->Connection()->IOHandler());
  try {
    if (!tls.HandshakeStep())
      return connection->AwaitNextStep(MillisecondsUntil(tls.HandshakeDeadline(), Clock::now()));
  } catch (const std::exception& e) {
    CloseAndRelease(context);
    DoTCPException(context, e);
    return;
  }
  connection->FTLSHandshake = false;
  AwaitFirstBytes(connection);
  AcceptTCPConnection(context, connection);
}

// One step of a connection's life. It never waits: what other threads posted
// to the connection runs first, whatever its transport, then the transport's
// step takes what the input buffer holds.
void TzalWSHTTPServer::RunConnectionStep(TIdContext* context) {
  if (IsDestroying())
    return;
  TIdIOHandler& io = *context->Connection()->IOHandler();
  TzalWSConnectionServer* connection = ConnectionOf(context);
  if (connection && !connection->Disconnected())
    RunPostedWork(connection);
  if (connection && connection->Draining())
    return DrainStep(context, connection);
  if (connection && connection->FTLSHandshake && !connection->Disconnected())
    return TLSHandshakeStep(context, connection);
  if (connection && connection->Enabled() && ReadsMessages(connection->Transport()))
    return ExecuteWebSocket(connection);
  if (connection && connection->Enabled() && connection->Transport() == trpHTTP2)
    return ExecuteHTTP2(context, connection);
  if (!connection || connection->Disconnected()) {
    io.InputBuffer().Clear();
    context->Connection()->Disconnect(false);
    return;
  }
  try {
    if (connection->FHTTP1)
      ExecuteHTTP1(context, connection);
    else if (connection->Enabled())
      ReadEnabledConnection(context, connection);
    else
      FirstBytesStep(context, connection);
  } catch (const EIdSilentException&) {
    throw;
  } catch (const std::exception& e) {
    DoError(connection, e.what());
    io.InputBuffer().Clear();  // the connection is closed: no later step may read these bytes again
  }
}

// A task posted to the connection that fails reaches OnError, as a fault of
// its step would, and the tasks after it still run.
void TzalWSHTTPServer::RunPostedWork(TzalWSConnectionServer* connection) {
  const TzalWSConnection_Base_Sock::TStepScope stepping(*connection);
  for (;;) {
    try {
      connection->RunPosted();
      return;
    } catch (const EIdSilentException&) {
      throw;
    } catch (const std::exception& e) {
      DoError(connection, e.what());
    }
  }
}

// An enabled connection read neither as messages nor as HTTP/2 (server-sent
// events) sends what its queues hold and drops its input. The wait notices the
// peer closing, which ends the connection.
void TzalWSHTTPServer::ReadEnabledConnection(TIdContext* context, TzalWSConnectionServer* connection) {
  TIdIOHandler& io = *context->Connection()->IOHandler();
  connection->ProcessQueues();
  connection->FlushOutput();
  io.InputBuffer().Clear();
  connection->AwaitNextStep();
}

// A connection not yet classified: each step either asks for more of its first
// bytes (until the first-bytes deadline) or classifies it. The wait ends early
// when the peer closes or the server stops.
void TzalWSHTTPServer::FirstBytesStep(TIdContext* context, TzalWSConnectionServer* connection) {
  TIdIOHandler& io = *context->Connection()->IOHandler();
  const Clock::time_point now = Clock::now();
  if (connection->FInputGate) {
    if (GateOpens(context, *connection->FInputGate))
      return ClassifyAndDispatch(context, connection);
    return connection->AwaitNextStep(MillisecondsUntil(connection->FInputGate->Deadline, now));
  }
  if (connection->FFirstByteTime == Clock::time_point{} && !io.InputBufferIsEmpty())
    connection->FFirstByteTime = now;
  if (SSL() && io.InputBuffer().Size() == 1) {
    TLSStartStep(io, connection, now);
    return;
  }
  TzalFirstBytesScanner& scanner = connection->FFirstBytes;
  const bool decided = scanner.Scan(io.InputBuffer().Bytes()) ||
                       io.InputBuffer().Size() >= std::max(1, FOptions.FirstBytesLimit) ||
                       (scanner.InFirstLine() && io.MaxLineLength() > 0 && io.InputBuffer().Size() > io.MaxLineLength());
  const Clock::time_point deadline = FirstBytesDeadline(connection);
  if (!decided && !io.ClosedGracefully() && now < deadline) {
    WaitForFirstBytes(context, connection, MillisecondsUntil(deadline, now));
    return;
  }
  // Decided, or no more will come: classify what arrived; nothing at all is let go.
  if (io.InputBufferIsEmpty())
    CloseAndRelease(context);
  else
    ClassifyAndDispatch(context, connection);
}

// A silent connection is let go at the first-bytes deadline. Bytes that begin
// an HTTP/1.x request are handed to the HTTP/1.1 loop at the latest when its
// header time-out, counted from the first byte, has passed: the request then
// has one deadline, not the first-bytes wait and a header time-out after it.
Clock::time_point TzalWSHTTPServer::FirstBytesDeadline(const TzalWSConnectionServer* connection) const {
  const int headerTimeOut = FHTTPServer->HeaderTimeOut();
  if (connection->FFirstByteTime == Clock::time_point{} || headerTimeOut <= 0 ||
      !connection->FFirstBytes.MayBeHTTP1Request())
    return connection->FFirstBytesDeadline;
  return std::min(connection->FFirstBytesDeadline, connection->FFirstByteTime + std::chrono::milliseconds(headerTimeOut));
}

// With a positive FReadEmptySource a silent connection is let go after that
// many waits of ReadTimeOut that brought nothing; otherwise one wait lasts
// until the deadline.
void TzalWSHTTPServer::WaitForFirstBytes(TIdContext* context, TzalWSConnectionServer* connection, int deadlineMs) {
  if (FReadEmptySource <= 0)
    return connection->AwaitNextStep(deadlineMs);
  const int received = context->Connection()->IOHandler()->InputBuffer().Size();
  if (received > connection->FFirstBytesWaitedWith)
    connection->FReadCount = 0;
  else if (received == 0 && ++connection->FReadCount >= FReadEmptySource)
    return CloseAndRelease(context);
  connection->FFirstBytesWaitedWith = received;
  connection->AwaitNextStep(std::min(deadlineMs, connection->FReadTimeOut));
}

// A TLS client whose hello stalls after its first byte gets TLSStartTimeOut
// milliseconds to send the rest.
void TzalWSHTTPServer::TLSStartStep(TIdIOHandler& io, TzalWSConnectionServer* connection, Clock::time_point now) {
  if (connection->FReadStartSSLDeadline == Clock::time_point{})
    connection->FReadStartSSLDeadline = now + std::chrono::milliseconds(std::max(0, FOptions.TLSStartTimeOut));
  if (now < connection->FReadStartSSLDeadline && !io.ClosedGracefully())
    return connection->AwaitNextStep(MillisecondsUntil(connection->FReadStartSSLDeadline, now));
  connection->FHeadersRequest.clear();
  io.InputBuffer().Clear();
  DoException(connection, EIdException("Error starting SSL connection."));
}

// A Flash client that upgrades on the socket of its policy request keeps the
// transport trpFlash and speaks RFC 6455 frames.
bool TzalWSHTTPServer::ReadsMessages(TwsTransport transport) {
  return transport == trpRFC6455 || transport == trpHixie76 || transport == trpRFC8441 || transport == trpTCP ||
         transport == trpFlash;
}

// A message connection's step (WebSocket or raw TCP): its queues, its
// messages, its closing handshake.
// A protocol error has already closed the connection when it arrives here.
void TzalWSHTTPServer::ExecuteWebSocket(TzalWSConnectionServer* connection) {
  try {
    connection->ReadStep();
  } catch (const EIdSilentException&) {
    throw;
  } catch (const std::exception& e) {
    DoError(connection, e.what());
  }
}

namespace {

// The TLS handshake of this connection chose "h2" by ALPN.
bool NegotiatedHTTP2(TIdContext* context) {
  auto* tls = dynamic_cast<TIdSSLIOHandlerSocketOpenSSL*>(context->Connection()->IOHandler());
  return tls && !tls->PassThrough() && tls->GetALPNProtocol() == "h2";
}

// An upgrade can be answered once its header block has ended (or been
// refused), and, for Hixie-76 (both Sec-WebSocket-Key1 and -Key2 given), once
// the eight key octets after the block have come too.
std::function<bool(const TIdBuffer&)> UpgradeArrived(TzalHeaderBlockScanner block) {
  return [block, needed = size_t(0)](const TIdBuffer& input) mutable {
    if (needed == 0) {
      const TzalHeaderBlockState state = block.Scan(input.Bytes());
      if (state != hbComplete)
        return state != hbIncomplete;
      const std::vector<std::string> lines = FirstBytesAsLines(input.Bytes().first(block.End()));
      bool key1 = false, key2 = false;
      HeaderValue(lines, "Sec-WebSocket-Key1", key1);
      HeaderValue(lines, "Sec-WebSocket-Key2", key2);
      needed = block.End() + (key1 && key2 ? 8 : 0);
    }
    return static_cast<size_t>(input.Size()) >= needed;
  };
}

// A post can be served once its header block and the body its Content-Length
// announces have come. One whose block or length the post refuses (missing,
// not a number, negative, past MaxMessageSize) is served at once.
std::function<bool(const TIdBuffer&)> PostArrived(int maxMessageSize) {
  return [maxMessageSize, needed = int64_t(-1)](const TIdBuffer& input) mutable {
    if (needed < 0) {
      const int end = HeaderBlockEnd(input.Bytes());
      if (end < 0)
        return true;
      bool found = false;
      const std::string value =
          HeaderValue(FirstBytesAsLines(input.Bytes().first(static_cast<size_t>(end))), "Content-Length", found);
      int length = -1;
      try {
        length = StrToInt(value);  // the post's own reading of the field
      } catch (const EConvertError&) {
        return true;
      }
      if (length < 0 || (maxMessageSize > 0 && length > maxMessageSize))
        return true;
      needed = static_cast<int64_t>(end) + length;
    }
    return input.Size() >= needed;
  };
}

}  // namespace

// True when a dispatch may go on: the input holds what `ready` asks for, the
// deadline has passed or the peer has closed. Otherwise the wait becomes the
// connection's state (its input gate) and the first-bytes step dispatches it
// again when that changes. A gate keeps the deadline it was opened with.
bool TzalWSHTTPServer::InputReady(TIdContext* context, TzalWSConnectionServer* connection,
                                  Clock::time_point deadline, std::function<bool(const TIdBuffer&)> ready) {
  if (!connection->FInputGate)
    connection->FInputGate = TzalWSConnectionServer::TInputGate{std::move(ready), deadline};
  if (GateOpens(context, *connection->FInputGate)) {
    connection->FInputGate.reset();
    return true;
  }
  connection->AwaitNextStep(MillisecondsUntil(connection->FInputGate->Deadline, Clock::now()));
  return false;
}

bool TzalWSHTTPServer::GateOpens(TIdContext* context, TzalWSConnectionServer::TInputGate& gate) {
  TIdIOHandler& io = *context->Connection()->IOHandler();
  return gate.Ready(io.InputBuffer()) || io.ClosedGracefully() || Clock::now() >= gate.Deadline;
}

// An upgrade waits for the rest of its header block (and Hixie-76 key octets)
// within HandshakeTimeOut from its first byte, a post for its body within the
// HTTP server's BodyTimeOut.
bool TzalWSHTTPServer::DispatchInputReady(TIdContext* context, TzalWSConnectionServer* connection,
                                          TzalFirstBytesRow kind) {
  TIdIOHandler& io = *context->Connection()->IOHandler();
  switch (kind) {
    case fbLongPollingPost:
    case fbProtocolPost:
      return InputReady(context, connection, Clock::now() + std::chrono::milliseconds(FHTTPServer->BodyTimeOut()),
                        PostArrived(FOptions.MaxMessageSize));
    case fbWebSocketUpgrade:
      return InputReady(context, connection,
                        connection->FFirstByteTime + std::chrono::milliseconds(FOptions.HandshakeTimeOut),
                        UpgradeArrived(TzalHeaderBlockScanner(
                            {io.MaxLineLength(), FHTTPServer->MaximumHeaderLineCount(), FHTTPServer->MaximumHeaderBlockSize()})));
    default:
      return true;
  }
}

// RFC 9113 3.4: once "h2" is agreed the client must open with the connection
// preface; anything else is a connection error of type PROTOCOL_ERROR. The
// server's preface (an empty SETTINGS frame) and a GOAWAY go out, then the
// connection closes.
void TzalWSHTTPServer::RefuseMissingPreface(TIdContext* context) {
  TIdBytes frames;
  AppendFrameHeader(frames, 0, h2ftSETTINGS, 0, 0);
  AppendFrameHeader(frames, 8, h2ftGOAWAY, 0, 0);
  frames.insert(frames.end(), {0, 0, 0, 0, 0, 0, 0, h2erPROTOCOL_ERROR});  // last stream 0, error code
  ConnectionOf(context)->QueueAnswer(std::move(frames));
  CloseAndRelease(context);
}

void TzalWSHTTPServer::ClassifyAndDispatch(TIdContext* context, TzalWSConnectionServer* connection) {
  TIdIOHandler& io = *context->Connection()->IOHandler();
  connection->FHeadersRequest = FirstBytesAsLines(io.InputBuffer().Bytes());
  if (NegotiatedHTTP2(context) && !IsHTTP2Preface(connection->FHeadersRequest))
    return RefuseMissingPreface(context);
  TzalClassificationSettings settings;
  settings.AuthenticationEnabled = FAuthentication.Enabled;
  settings.SessionAuthenticationEnabled = FAuthentication.Session.Enabled;
  settings.HTTP2Enabled = FHTTP2Options.Enabled;
  settings.IncompleteHTTP1Request = !connection->FFirstBytes.Decided() && connection->FFirstBytes.MayBeHTTP1Request();
  settings.BuiltInResourceServed = [this, connection] {
    return ServeBuiltInResource(connection, connection->FHeadersRequest.at(0), 0);
  };
  if (SSL() && FAuthentication.Enabled && FAuthentication.OAuth.OAuth2)
    settings.OAuth2Handled = [this, connection] {
      return FAuthentication.OAuth.OAuth2->HandleRequest(*connection, connection->FHeadersRequest);
    };
  const TzalFirstBytesRow kind = ClassifyFirstBytes(connection->FHeadersRequest, settings);
  if (!DispatchInputReady(context, connection, kind))
    return;
  switch (kind) {
    case fbHTTP1:
      connection->SetTransport(trpHTTP);
      connection->FHTTP1 = FHTTPServer->StartRequestLoop(context, connection->FFirstByteTime, &connection->Output());
      if (FOptions.WriteTimeOut > 0)  // the component's send time-out, as for its blocking sends
        connection->FHTTP1->SendTimeOut = FOptions.WriteTimeOut;
      return ExecuteHTTP1(context, connection);
    case fbLongPollingPost:
      connection->SetTransport(trpHTTP);
      LongPollingPost(context, connection);
      return CloseAndRelease(context);
    case fbProtocolPost:
      connection->SetTransport(trpHTTP);
      ProtocolPost(context, connection);
      return CloseAndRelease(context);
    case fbFlashPolicy: {
      // One answer per connection: a client that asks again is let go, so
      // repeated requests cannot hold a connection for ever.
      const bool answeredBefore = connection->Transport() == trpFlash;
      connection->SetTransport(trpFlash);
      connection->FHeadersRequest.clear();
      io.InputBuffer().Clear();
      if (!FFallBack.Flash.Enabled || answeredBefore)
        return CloseAndRelease(context);
      return AnswerFlashPolicy(connection);
    }
    case fbServerSentEvents:
      connection->SetTransport(trpSSE);
      if (!TakeHeaderBlock(context, connection) || !FFallBack.ServerSentEvents.Enabled)
        return CloseAndRelease(context);
      if (!AdmitsFallback(connection)) {
        connection->RefuseUpgrade(403);
        return CloseAndRelease(context);
      }
      return OpenServerSentEvents(connection);
    case fbUnknown:
      AcceptUnknownProtocol(context, connection);
      return;
    case fbHTTP2Preface:
      DoHTTP2Start(context, connection);
      return;
    case fbWebSocketUpgrade:
      UpgradeToWebSocket(context, connection);
      return;
    case fbBuiltInResource:
    case fbOAuth2:
      CloseAndRelease(context);
      return;
    case fbSessionIdRequest:
      connection->AnswerSessionRequest(GetRequestTarget(connection->FHeadersRequest[0]));
      ReReadHeaders(context, connection);
      CloseAndRelease(context);
      return;
    default:
      // The other transports are not served by this server: the connection is closed.
      CloseAndRelease(context);
      return;
  }
}

// The key goes out twice, as the browser-side script expects; a message the
// application sends from OnConnect follows it rather than being dropped, so
// the connection is enabled before it is announced.
void TzalWSHTTPServer::OpenServerSentEvents(TzalWSConnectionServer* connection) {
  connection->SelectProtocolFromURL();
  connection->WriteSSE("retry: " + std::to_string(static_cast<int64_t>(FFallBack.ServerSentEvents.Retry) * 1000));
  connection->WriteSSE(connection->Guid());
  connection->WriteSSE(connection->Guid());
  connection->SetEnabled(true);
  RegisterConnection(connection);
  NotifyConnect(connection);
}

// What the client sends next is classified afresh, within a new first-bytes
// deadline; a silent client is let go at that deadline.
void TzalWSHTTPServer::AnswerFlashPolicy(TzalWSConnectionServer* connection) {
  const std::string policy = FlashPolicyText(FFallBack.Flash.Domain, FFallBack.Flash.Ports);
  connection->QueueAnswer(TIdBytes(policy.begin(), policy.end()));
  AwaitFirstBytes(connection);
}

// The peer may still be sending what is refused: closing at once could reset
// the connection and destroy the answer before it is read (RFC 9112 9.6).
void TzalWSHTTPServer::RefusePost(TzalWSConnectionServer* connection, int code) {
  connection->SendResponseCode(code, HTTPStatusText(code));
  Linger(connection);
}

// RFC 9112 9.6: sending stops, and what the peer still sends is dropped for
// the HTTP server's LingerTimeOut (or until it closes) as a state of the
// connection's steps; a close asked for meanwhile waits for its end.
void TzalWSHTTPServer::Linger(TzalWSConnectionServer* connection) {
  if (FHTTPServer->LingerTimeOut() > 0)
    connection->ShutdownGracefully(FHTTPServer->LingerTimeOut());
}

// A draining connection's step; at the drain's end one that was never enabled
// is released here, an enabled one ends as the peer's close would end it.
void TzalWSHTTPServer::DrainStep(TIdContext* context, TzalWSConnectionServer* connection) {
  if (!connection->DrainStep() && !connection->Enabled())
    CloseAndRelease(context);
}

// A post for a key no event stream has is answered 404; one of length 0 is
// dropped without an answer.
void TzalWSHTTPServer::LongPollingPost(TIdContext* context, TzalWSConnectionServer* connection) {
  if (!TakeHeaderBlock(context, connection))
    return RefusePost(connection, 400);
  const std::string key = LongPollingKey(GetRequestTarget(connection->FHeadersRequest[0]));
  if (!WithEventStream(key, [](TzalWSConnectionServer*) {}))
    return RefusePost(connection, 404);
  std::string body;
  if (!ReadPostBody(context, connection, body) || body.empty())
    return;
  if (!DeliverLongPollingPost(key, body))  // the stream may have ended while the body arrived
    return RefusePost(connection, 404);
  connection->SendResponseHTTP("", "text/html");
}

namespace {

// The body the request loop has read: its stream, or a form body, which the
// loop decoded octet for octet.
std::string PostedText(const TIdHTTPRequestInfo& request) {
  std::string body;
  if (TStream* stream = request.PostStream()) {
    body.resize(static_cast<size_t>(stream->Size()));
    stream->SetPosition(0);
    stream->ReadBuffer(body.data(), static_cast<int64_t>(body.size()));
    return body;
  }
  const TIdBytes octets = ToBytes(request.FormParams(), &IdTextEncoding(tek8Bit));
  return body.assign(octets.begin(), octets.end());
}

}  // namespace

// The same rules as on a connection of its own, with the body the request
// loop has read (within its own body limits).
bool TzalWSHTTPServer::AnswerFallbackPost(TIdContext* AContext, TIdHTTPRequestInfo* ARequestInfo,
                                          TIdHTTPResponseInfo* AResponseInfo) {
  const std::string& document = ARequestInfo->Document();
  const bool longPolling = MatchesMask(document, "/zal/xhr/*");
  if (ARequestInfo->CommandType() != hcPOST || (!longPolling && !MatchesMask(document, "/zal/protocol/*")))
    return false;
  const std::string body = PostedText(*ARequestInfo);
  std::string response;
  if (FOptions.MaxMessageSize > 0 && static_cast<int64_t>(body.size()) > FOptions.MaxMessageSize)
    AResponseInfo->SetResponseNo(413);
  else if (longPolling ? !DeliverLongPollingPost(LongPollingKey(document), body)
                       : !RunProtocolPost(ConnectionOf(AContext), document, body, response))
    AResponseInfo->SetResponseNo(404);
  else {
    AResponseInfo->SetContentType("text/html");
    AResponseInfo->SetContentText(response);
  }
  return true;
}

// A name no registered object has is answered 404.
void TzalWSHTTPServer::ProtocolPost(TIdContext* context, TzalWSConnectionServer* connection) {
  if (!TakeHeaderBlock(context, connection))
    return RefusePost(connection, 400);
  if (!AdmitsFallback(connection))
    return RefusePost(connection, 403);
  std::string body, response;
  if (!ReadPostBody(context, connection, body))
    return;
  if (!RunProtocolPost(connection, GetRequestTarget(connection->FHeadersRequest[0]), body, response))
    return RefusePost(connection, 404);
  connection->SendResponseHTTP(response, "text/html");
}

// The message is the event stream's: its own thread raises OnMessage, so that
// the events of one connection never run on two threads at once.
bool TzalWSHTTPServer::DeliverLongPollingPost(const std::string& key, const std::string& body) {
  return WithEventStream(key, [&body](TzalWSConnectionServer* target) {
    if (!body.empty())
      target->Post([target, body] { target->FOnMessage(target, body); });
  });
}

bool TzalWSHTTPServer::RunProtocolPost(TzalWSConnection* connection, const std::string& target,
                                       const std::string& body, std::string& response) {
  const TzalProtocolPostTarget parts = ProtocolPostTarget(target);
  TzalWSProtocol* protocol = parts.Name.empty() ? nullptr : GetProtocolObject(parts.Name);
  if (!protocol)
    return false;
  protocol->DoProtocolPost(connection, parts.Rest, body, response);
  return true;
}

bool TzalWSHTTPServer::WithEventStream(const std::string& key,
                                       const std::function<void(TzalWSConnectionServer*)>& deliver) {
  const TzalWSConnectionServerRef target = key.empty() ? TzalWSConnectionServerRef() : GetConnectionByGuid(key);
  if (!target || target->Transport() != trpSSE || !target->Enabled() || target->Disconnected())
    return false;
  deliver(target.get());
  return true;
}

// The length must be a decimal integer: otherwise the post fails with
// "'%s' is not a valid integer value" after a 400 (411 without the field,
// RFC 9110 15.5.12). A body longer than Options.MaxMessageSize is refused with
// 413, and one that does not arrive within the HTTP server's BodyTimeOut with 408.
bool TzalWSHTTPServer::ReadPostBody(TIdContext* context, TzalWSConnectionServer* connection, std::string& body) {
  bool found = false;
  const std::string value = HeaderValue(connection->FHeadersRequest, "Content-Length", found);
  int length = 0;
  try {
    length = StrToInt(value);
  } catch (const EConvertError&) {
    RefusePost(connection, found ? 400 : 411);
    throw;
  }
  if (length < 0) {
    RefusePost(connection, 400);
    return false;
  }
  if (FOptions.MaxMessageSize > 0 && length > FOptions.MaxMessageSize) {
    RefusePost(connection, 413);
    return false;
  }
  TIdIOHandler& io = *context->Connection()->IOHandler();
  if (io.InputBuffer().Size() < length) {  // its gate closed at the deadline or at the peer's close
    if (!io.ClosedGracefully())
      RefusePost(connection, 408);
    return false;
  }
  TIdBytes octets;
  io.InputBuffer().ExtractToBytes(octets, length, false);
  body.assign(octets.begin(), octets.end());
  return true;
}

void TzalWSHTTPServer::AwaitFirstBytes(TzalWSConnectionServer* connection) {
  connection->FFirstBytes = TzalFirstBytesScanner();
  connection->FFirstByteTime = {};
  connection->FFirstBytesDeadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(0, FOptions.FirstBytesTimeOut));
}

bool TzalWSHTTPServer::TakeHeaderBlock(TIdContext* context, TzalWSConnectionServer* connection) {
  TIdBuffer& input = context->Connection()->IOHandler()->InputBuffer();
  const int end = HeaderBlockEnd(input.Bytes());
  if (end < 0)
    return false;
  connection->FHeadersRequest = FirstBytesAsLines(input.Bytes().first(static_cast<size_t>(end)));
  input.Remove(end);
  return true;
}

void TzalWSHTTPServer::AcceptUnknownProtocol(TIdContext* context, TzalWSConnectionServer* connection) {
  bool accept = false;
  if (OnUnknownProtocol)
    OnUnknownProtocol(connection, accept);
  if (!accept) {
    CloseAndRelease(context);
    return;
  }
  connection->SetTransport(trpTCP);
  connection->SetEnabled(true);
  AcceptConnection(connection);
  // The bytes that were classified are the connection's first messages: read
  // them now rather than a step later.
  if (!connection->Disconnected() && context->Connection()->Connected())
    ExecuteWebSocket(connection);
}

void TzalWSHTTPServer::DoHTTP2Start(TIdContext* context, TzalWSConnectionServer* connection) {
  // An HTTP/2 connection is accepted only while the RFC 6455 protocol is
  // enabled in the Specifications option.
  if (!FSpecifications.RFC6455) {
    CloseAndRelease(context);
    return;
  }
  connection->FNotifyConnection = FHTTP2Options.Events.OnConnect;
  connection->FNotifyDisconnection = FHTTP2Options.Events.OnDisconnect;
  const TzalWSHTTP2Settings& options = FHTTP2Options.Settings;
  TzalHTTP2SessionSettings settings{options.HeaderTableSize,   options.EnablePush,        options.MaxConcurrentStreams,
                                    options.InitialWindowSize, options.MaxFrameSize,      options.MaxHeaderListSize,
                                    options.FEnableConnectProtocol};
  settings.StallTimeOut = FHTTP2Options.StallTimeOut;
  settings.IdleTimeOut = FHTTP2Options.IdleTimeOut;
  settings.MaxBufferedBody = FHTTP2Options.MaxBufferedRequestBody > 0 ? FHTTP2Options.MaxBufferedRequestBody : INT64_MAX;
  settings.BodyBudget = FHTTP2BodyBudget.load();
  settings.MaxQueuedOutput = LimitOf(FHTTP2Options.MaxQueuedOutput);
  TIdIOHandler* io = context->Connection()->IOHandler();
  connection->AttachHTTP2(std::make_unique<TzalHTTP2_ServerConnection>(
      *FHTTPServer, context, settings, SSL(),
      [connection](TIdBytes&& aFrames) { connection->QueueHTTP2Frames(std::move(aFrames)); },
      [connection] { return connection->OutputBytes(); }));
  connection->FHTTP2->OnPreloadLinks = [this](const std::string& aDocument) {
    return FPushPromiseList.GetPushPromiseLinks(aDocument);
  };
  connection->FHTTP2->OnBuiltInResource = [this, connection](const std::string& aRequestLine,
                                                             int32_t aStreamIdentifier) {
    return ServeBuiltInResource(connection, aRequestLine, aStreamIdentifier);
  };
  connection->FHTTP2->OnAuthorizeRequest = [this, connection](TIdHTTPRequestInfo& request,
                                                              const TzalHTTP2HeaderLines& headers) {
    return AuthorizeHTTP2Request(*connection, request, headers);
  };
  // Other threads look at FHTTP2 only once the transport says HTTP/2: it is
  // published whole.
  connection->SetTransport(trpHTTP2);
  if (FStopping.load())
    connection->FHTTP2->Drain();  // a stop began before it could see this connection
  connection->SetEnabled(true);
  RegisterConnection(connection);
  NotifyConnect(connection);
  io->InputBuffer().Remove(std::min(io->InputBuffer().Size(), static_cast<int>(kHTTP2PrefaceLength)));
  {
    const TzalWSConnection_Base_Sock::TStepScope stepping(*connection);
    connection->FHTTP2->DoHTTP2Start();  // the server's SETTINGS, sent by the step below
  }
  ExecuteHTTP2(context, connection);  // with the octets that followed the preface
}

// RFC 9113 6.8: a stop tells every HTTP/2 client with GOAWAY which streams will
// be served, and serves them for at most StopGraceTimeOut before the connections
// are closed.
void TzalWSHTTPServer::FinishConnectionsBeforeStop() {
  const TzalRaisedFlag stopping(FStopping);  // connections that start HTTP/2 from now on drain at once
  if (OpenHTTP2Connections(true) == 0 || FHTTP2Options.StopGraceTimeOut <= 0)
    return;
  const auto deadline = Clock::now() + std::chrono::milliseconds(FHTTP2Options.StopGraceTimeOut);
  std::unique_lock lock(FConnectionEndLock);
  for (;;) {
    const uint64_t ended = FConnectionEnds;
    lock.unlock();  // the count of open connections takes the context list's lock
    if (OpenHTTP2Connections(false) == 0)
      return;
    lock.lock();
    if (!FConnectionEnded.wait_until(lock, deadline, [&] { return FConnectionEnds != ended; }))
      return;
  }
}

void TzalWSHTTPServer::SignalConnectionEnded() {
  {
    std::lock_guard lock(FConnectionEndLock);
    ++FConnectionEnds;
  }
  FConnectionEnded.notify_all();
}

int TzalWSHTTPServer::OpenHTTP2Connections(bool aDrain) {
  TIdContextThreadList::TLocked contexts(TCPServer().Contexts());
  int open = 0;
  for (TIdContext* context : contexts.Items()) {
    TzalWSConnectionServer* connection = ConnectionOf(context);
    // Only flags: the socket belongs to the connection's thread (asking it
    // whether it is connected would read from it).
    if (!connection || connection->Transport() != trpHTTP2 || connection->Disconnected() ||
        connection->FHTTP2->Closed())
      continue;
    ++open;
    if (aDrain) {
      connection->FHTTP2->Drain();
      connection->Wake();
    }
  }
  return open;
}

// RFC 9113 6.8: the client may still be sending when GOAWAY goes out; closing
// with its octets unread would reset the connection and could destroy the GOAWAY
// before the client reads it. Sending stops, arriving octets are dropped for
// the HTTP server's LingerTimeOut, then the connection closes.
void TzalWSHTTPServer::CloseAfterGoAway(TIdContext* context) {
  SignalConnectionEnded();  // its streams are served: a stop need not wait for the linger
  // The end of the TLS stream goes after the GOAWAY and before the socket's.
  ConnectionOf(context)->ShutdownGracefully(std::max(FHTTPServer->LingerTimeOut(), 0), true);
}

// An HTTP/2 connection's step: the pings its send queues hold, the frames
// queued by any thread and the next DATA held back for want of room go out;
// then every buffered octet to its HTTP/2 side, what other threads asked of it
// (PING, GOAWAY) and the stall check, and their frames go out. The step sends
// with no lock held, and frames at most one writer's worth of DATA before it
// reads again, so a peer that stops reading holds up nothing but this
// connection. After a GOAWAY, or once the connection is to end, its socket is
// closed here, on its own thread.
void TzalWSHTTPServer::ExecuteHTTP2(TIdContext* context, TzalWSConnectionServer* connection) {
  TIdIOHandler& io = *context->Connection()->IOHandler();
  TzalHTTP2_ServerConnection& http2 = *connection->FHTTP2;
  const TzalWSConnection_Base_Sock::TStepScope stepping(*connection);
  try {
    connection->ProcessQueues();
    connection->SendOutput();
    http2.ResumeOutput();
    connection->SendOutput();
    if (io.InputBufferIsEmpty())
      connection->AwaitNextStep(http2.MillisecondsToNextTick(), http2.OutputHeldBack());
    else {
      http2.DoHTTP2Read(io.InputBuffer().Bytes());  // read in place: the session keeps what it needs
      io.InputBuffer().Clear();
    }
    http2.Tick();
    connection->SendOutput();
  } catch (const EIdSilentException&) {
    throw;
  } catch (const std::exception& e) {
    try {
      connection->SendOutput();  // what the session answered the fault with (a 401, GOAWAY) goes first
    } catch (const std::exception&) {
      // the error raised is the fault's, not that of a peer gone meanwhile
    }
    DoError(connection, e.what());
    io.InputBuffer().Clear();
    return;
  }
  if (http2.Closed())
    CloseAfterGoAway(context);
  else if (connection->Disconnected())
    context->Connection()->Disconnect(false);
}

// An HTTP/1.1 connection's step: the request loop sends what the socket takes
// of its answers and serves what the input buffer holds, then the connection
// waits once, on its socket and its wake-up descriptor, no longer than the
// loop's deadline: for the socket to take more while an answer waits (its
// input left unread meanwhile), else for input. The loop's end closes the
// connection here, on its own thread.
void TzalWSHTTPServer::ExecuteHTTP1(TIdContext* context, TzalWSConnectionServer* connection) {
  int waitMs = -1;
  bool goesOn = false;
  try {
    goesOn = FHTTPServer->StepRequestLoop(context, *connection->FHTTP1, waitMs);
  } catch (...) {
    connection->FHTTP1.reset();  // the loop has ended and closed the connection
    throw;
  }
  if (!goesOn) {
    connection->FHTTP1.reset();
    return CloseAndRelease(context);
  }
  const bool sending = connection->FHTTP1->Sending;
  connection->AwaitNextStep(waitMs, sending, !sending);
}

// The header block has come whole (a slow client may pause inside it), within
// the HTTP server's limits and HandshakeTimeOut from the request's first byte,
// or not at all; it is taken out of the input buffer, what follows it stays
// for the handshake.
void TzalWSHTTPServer::UpgradeToWebSocket(TIdContext* context, TzalWSConnectionServer* connection) {
  TIdIOHandler& io = *context->Connection()->IOHandler();
  TzalHeaderBlockScanner block({io.MaxLineLength(), FHTTPServer->MaximumHeaderLineCount(),
                                FHTTPServer->MaximumHeaderBlockSize()});
  if (block.Scan(io.InputBuffer().Bytes()) != hbComplete) {
    const int status = block.StatusCode() ? block.StatusCode() : 400;
    io.InputBuffer().Clear();
    connection->RefuseUpgrade(status);
    Linger(connection);  // the client may still be sending (RFC 9112 9.6)
    throw TzalWSHandshakeException("Error Decoding Header: " + HTTPStatusText(status), status);
  }
  const int end = static_cast<int>(block.End());
  connection->FHeadersRequest = FirstBytesAsLines(io.InputBuffer().Bytes().first(static_cast<size_t>(end)));
  if (!connection->FHeadersRequest.empty() && IsMonitorRequest(connection->FHeadersRequest[0]))
    connection->FIsInternal = true;  // the watchdog's own probe: no events, no authentication
  if (FAuthentication.Enabled && !connection->FIsInternal) {
    connection->FAuthentication.FAuthenticated = RequestAuthenticated(connection, connection->FHeadersRequest);
    if (!connection->FAuthentication.FAuthenticated && !FAuthentication.AllowNonAuth &&
        connection->FAuthenticationCloseCode == 1000) {
      connection->FHeadersRequest.clear();
      io.InputBuffer().Clear();
      connection->RefuseUpgrade(403);
      throw EIdException("Authentication Denied");
    }
  }
  io.InputBuffer().Remove(end);
  connection->DoHandshake();
}

bool TzalWSHTTPServer::ServeBuiltInResource(TzalWSConnectionServer* connection, const std::string& requestLine,
                                            int32_t aStreamIdentifier) {
  struct Kind {
    const char* Mask;
    const char* ContentType;
    bool Allowed;
  };
  const Kind kinds[] = {{"GET *.js *", "text/javascript; charset=utf-8", FOptions.JavascriptFiles},
                        {"GET *.html *", "text/html", FOptions.HTMLFiles},
                        {"GET *.css *", "text/css", FOptions.HTMLFiles}};
  for (const Kind& kind : kinds) {
    if (!MatchesMask(requestLine, kind.Mask))
      continue;
    if (connection->Transport() == trpUndefined)
      connection->SetTransport(trpHTTP);
    if (!kind.Allowed)
      return false;
    std::string name = GetLastPathSegment(std::span(&requestLine, 1));
    if (name == "zalWebSockets.js") {  // the fallbacks come first, so the client finds them registered
      if (FFallBack.Flash.Enabled)
        name = "zalWebSocketsFlash.js," + name;
      if (FFallBack.ServerSentEvents.Enabled)
        name = "zalWebSocketsEventSource.js," + name;
    }
    return connection->SendFileResponse(name, kind.ContentType, aStreamIdentifier, false);
  }
  return false;
}

// The first way of proving who the client is that the upgrade request uses
// decides: a bearer token the OAuth2 provider accepts, a Basic header,
// credentials in the URL, a session ID, another Authorization scheme; without
// any, the application's OnAuthentication.
bool TzalWSHTTPServer::RequestAuthenticated(TzalWSConnectionServer* connection, TRequestLines lines) {
  const std::string target = GetRequestTarget(lines.empty() ? "" : lines[0]);
  if (OAuth2Accepts(*connection, BearerTokenOf(lines)))
    return true;
  if (FAuthentication.Basic.Enabled && HasBasicAuthorization(lines))
    return connection->AuthenticateBasic(GetBasicCredentials(lines));
  if (FAuthentication.URL.Enabled && IsURLAuthenticationRequest(lines))
    return connection->AuthenticateURL(target);
  if (FAuthentication.Session.Enabled && IsSessionAuthenticationPage(lines))
    return ConsumeSessionOf(connection, target);
  if (HasAuthorization(lines))
    return UnknownAuthenticated(connection, lines);
  bool answer = connection->FAuthentication.FAuthenticated;
  if (OnAuthentication)
    OnAuthentication(connection, "", "", answer);
  return answer;
}

// A fallback reaches the application or its messages only as an upgrade
// would: proven by the same ways, or let in unproven by AllowNonAuth.
bool TzalWSHTTPServer::AdmitsFallback(TzalWSConnectionServer* connection) {
  if (!FAuthentication.Enabled || connection->FIsInternal)
    return true;
  connection->FAuthentication.FAuthenticated = RequestAuthenticated(connection, connection->FHeadersRequest);
  return connection->FAuthentication.FAuthenticated || FAuthentication.AllowNonAuth;
}

// A target /zal/auth/session/<ID>: an ID from the list is good for one upgrade.
bool TzalWSHTTPServer::ConsumeSessionOf(TzalWSConnectionServer* connection, std::string_view target) {
  const std::vector<std::string_view> parts = Split(target, '/');  // "", zal, auth, session, ID
  TzalWSConnectionAuthentication& authentication = connection->FAuthentication;
  return parts.size() > 4 && ConsumeSessionID(std::string(parts[4]), authentication.FUser, authentication.FPassword);
}

// An Authorization scheme the component does not check itself goes to
// OnUnknownAuthentication, which may accept it and name the user.
bool TzalWSHTTPServer::UnknownAuthenticated(TzalWSConnectionServer* connection, TRequestLines lines) {
  TzalWSConnectionAuthentication& authentication = connection->FAuthentication;
  if (!OnUnknownAuthentication)
    return authentication.FAuthenticated;
  std::string_view value;
  FindHeaderField(lines, "Authorization", value);
  const size_t space = value.find(' ');
  const std::string scheme(value.substr(0, space));
  const std::string data(space == std::string_view::npos ? std::string_view() : value.substr(space + 1));
  std::string user = authentication.FUser, password = authentication.FPassword;
  bool authenticated = false;
  OnUnknownAuthentication(connection, scheme, data, user, password, authenticated);
  if (authenticated) {
    authentication.FUser = user;
    authentication.FPassword = password;
  }
  return authenticated;
}

void TzalWSHTTPServer::AcceptConnection(TzalWSConnectionServer* connection) {
  const bool switchedOff = connection->Specification() == spRFC6455 ? !FSpecifications.RFC6455
                                                                     : !FSpecifications.Drafts.Hixie76;
  if (switchedOff) {
    connection->FlushOutput();  // the answer goes before the close, as for a version that is switched on
    connection->DisconnectTCP();
    return;
  }
  if (!connection->Enabled())
    return;
  RegisterConnection(connection);
  NotifyConnect(connection);
}

// A connection whose answer has not all gone, or that drains, is closed and
// released at the end of its drain.
void TzalWSHTTPServer::CloseAndRelease(TIdContext* context) {
  if (TzalWSConnectionServer* closing = ConnectionOf(context);
      closing && (closing->Draining() || closing->OutputWaiting()) && closing->ShutdownGracefully(0))
    return;
  TzalWSConnectionServer* connection = DetachConnection(context);
  if (!connection)
    return;
  TIdTCPConnection* tcp = context->Connection();
  tcp->IOHandler()->InputBuffer().Clear();
  tcp->OnDisconnected = nullptr;
  tcp->Disconnect(false);
  ReleaseConnection(connection);
}

// The request's header lines, up to the blank line that ends them.
void TzalWSHTTPServer::ReReadHeaders(TIdContext* context, TzalWSConnectionServer* connection) {
  if (!TakeHeaderBlock(context, connection))
    connection->FHeadersRequest = FirstBytesAsLines(context->Connection()->IOHandler()->InputBuffer().Bytes());
}

// A bearer token the OAuth2 provider accepts proves the client here as it
// does for an upgrade.
bool TzalWSHTTPServer::PassesBasicGate(TIdContext* AContext, TIdHTTPRequestInfo* ARequestInfo) {
  if (!FAuthentication.Enabled || !FAuthentication.Basic.Enabled)
    return true;
  TzalWSConnectionServer* connection = ConnectionOf(AContext);
  if (connection && OAuth2Accepts(*connection, BearerToken(ARequestInfo->RawHeaders().GetValue("Authorization"))))
    return true;
  bool authenticated = false;
  if (ARequestInfo->AuthExists()) {
    for (const auto& line : FAuthentication.AuthUsers) {
      const size_t equals = line.find('=');
      if (equals != std::string::npos && TextIsSame(line.substr(0, equals), ARequestInfo->AuthUsername()) &&
          line.substr(equals + 1) == ARequestInfo->AuthPassword())
        authenticated = true;
    }
  }
  if (!authenticated && OnAuthentication)
    OnAuthentication(ConnectionOf(AContext), ARequestInfo->AuthUsername(), ARequestInfo->AuthPassword(),
                     authenticated);
  return authenticated;
}

// A DocumentRoot file answers the request; false when there is none. Documents
// that climb out of the root ("..") are never looked up.
bool TzalWSHTTPServer::ServeFromDocumentRoot(TIdHTTPRequestInfo* ARequestInfo, TIdHTTPResponseInfo* AResponseInfo) {
  const std::string root = DocumentRoot();
  const std::string& document = ARequestInfo->Document();
  if (root.empty() || document.find('\0') != std::string::npos || ("/" + document + "/").find("/../") != std::string::npos)
    return false;
  const std::string fileName = root + (document.starts_with("/") ? "" : "/") + document;
  struct stat info {};
  if (::stat(fileName.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
    return false;
  AResponseInfo->SetContentType(FHTTPServer->MIMETypeOfFile(fileName));
  AResponseInfo->SetContentStream(std::make_unique<TFileStream>(fileName, fmOpenRead | fmShareDenyNone));
  return true;
}

bool TzalWSHTTPServer::OAuth2Accepts(TzalWSConnectionServer& connection, const std::string& token) {
  TzalOAuth2Server* provider = FAuthentication.OAuth.OAuth2;
  if (!provider || token.empty() || !provider->AcceptsBearerToken(connection, token))
    return false;
  connection.FAuthentication.FAuthType = authOAuth2;
  connection.FAuthentication.FAuthenticated = true;
  return true;
}

// HTTP/2 requests have their own step (AuthorizeHTTP2Request).
bool TzalWSHTTPServer::OAuth2GateApplies(TIdHTTPRequestInfo* ARequestInfo) const {
  return SSL() && FAuthentication.OAuth.OAuth2 && ARequestInfo->VersionMajor() < 2;
}

// Every request is checked, not only a connection's first: a token may expire or
// be revoked, and one connection may carry requests of several clients (a proxy).
// The refusal follows RFC 6750 3: a Bearer challenge, with error="invalid_token"
// when a token was given; no body, and the connection closes.
bool TzalWSHTTPServer::PassesOAuth2Gate(TIdContext* AContext, TIdHTTPRequestInfo* ARequestInfo,
                                        TIdHTTPResponseInfo* AResponseInfo) {
  TzalWSConnectionServer* connection = ConnectionOf(AContext);
  const std::string token = BearerToken(ARequestInfo->RawHeaders().GetValue("Authorization"));
  if (connection && OAuth2Accepts(*connection, token))
    return true;
  AResponseInfo->SetResponseNo(401);
  AResponseInfo->WWWAuthenticate().Add(BearerChallenge(!token.empty()));
  AResponseInfo->SetContentLength(0);
  AResponseInfo->SetCloseConnection(true);
  return false;
}

// With authentication on and an OAuth2 provider, the provider may answer the
// request itself; otherwise the request needs a bearer token it accepts. Without
// a provider the Authorization field is parsed as on HTTP/1.1, and refused only
// while authentication is on.
bool TzalWSHTTPServer::AuthorizeHTTP2Request(TzalWSConnectionServer& connection, TIdHTTPRequestInfo& ARequestInfo,
                                             const TzalHTTP2HeaderLines& aHeaders) {
  TzalOAuth2Server* provider = FAuthentication.OAuth.OAuth2;
  if (FAuthentication.Enabled && provider) {
    if (provider->HandleRequest(connection, aHeaders))
      return false;
    const std::string token = BearerToken(ARequestInfo.RawHeaders().GetValue("Authorization"));
    if (!OAuth2Accepts(connection, token))
      throw EIdHTTPUnsupportedAuthorisationScheme(BearerChallenge(!token.empty()));
    return true;
  }
  const bool present = !Trim(ARequestInfo.RawHeaders().GetValue("Authorization")).empty();
  if (present && !FHTTPServer->ParseCredentials(connection.FContext, ARequestInfo) && FAuthentication.Enabled)
    throw EIdHTTPUnsupportedAuthorisationScheme();
  return true;
}

void TzalWSHTTPServer::DoHTTPCommand(TIdContext* AContext, TIdHTTPRequestInfo* ARequestInfo,
                                     TIdHTTPResponseInfo* AResponseInfo, bool isGet) {
  if (OAuth2GateApplies(ARequestInfo)) {
    if (!PassesOAuth2Gate(AContext, ARequestInfo, AResponseInfo))
      return;
  } else if (!PassesBasicGate(AContext, ARequestInfo)) {
    AResponseInfo->SetAuthRealm("zalWebSockets 4.4.6");
    AResponseInfo->SetCloseConnection(true);
    return;
  }
  if (AnswerFallbackPost(AContext, ARequestInfo, AResponseInfo))
    return;
  if (isGet && ServeFromDocumentRoot(ARequestInfo, AResponseInfo))
    return;
  const TIdHTTPCommandEvent& handler = isGet ? OnCommandGet : OnCommandOther;
  if (handler)
    handler(AContext, ARequestInfo, AResponseInfo);
}

void TzalWSHTTPServer::DoTCPDisconnect(TIdContext* context) {
  ReleaseEndedConnection(context);
  SignalConnectionEnded();
}

void TzalWSHTTPServer::ReleaseEndedConnection(TIdContext* context) {
  TzalWSConnectionServer* connection = ConnectionOf(context);
  if (!connection)
    return;
  connection->FHTTP1.reset();  // a request cut off: its records and body budget go now, with the server still there
  try {
    if (!connection->Enabled()) {
      ReleaseConnection(DetachConnection(context));
      return;
    }
    connection->SetDisconnected(true);
    UnregisterConnection(connection);
    DetachConnection(context);
    if (IsDestroying()) {
      ReleaseConnection(connection);
      return;
    }
    // The notification releases the connection object once it has been
    // delivered; it carries the code the connection was closed with.
    NotifyDisconnect(connection, connection->CloseCode());
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
// Every worker and background thread ends here, before any layer of the object
// is taken apart: they call its virtual operations until they end.
TzalWebSocketHTTPServer::~TzalWebSocketHTTPServer() { StopBeforeDestruction(); }

}  // namespace zal
