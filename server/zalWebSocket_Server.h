#pragma once
// TzalWebSocketHTTPServer: the WebSocket, HTTP/1.1 and HTTP/2 server component.
// It runs on an inner HTTP server (TzalWSHTTPCustomServer) whose connection,
// execute and shutdown steps are bound to the component.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "http/zalIdCustomHTTPServer.h"
#include "http2/zalHTTP2_PushPromise.h"
#include "transport/zalIdIOHandler.h"
#include "server/zalWebSocket_Server_Sock.h"
#include "support/zalRequestClassification.h"

namespace zal {

enum TzalFirstBytesRow : uint8_t;  // how a connection's first bytes were classified

using TzalWSQuerySSLPortEvent = std::function<void(int aPort, bool& aSSL)>;

// The inner HTTP server: raises start-up and shut-down around its own steps and
// asks the component which ports speak TLS.
class TzalWSHTTPCustomServer : public TIdHTTPServer {
public:
  ~TzalWSHTTPCustomServer() override;

  std::function<void(void* Sender)> FOnStartup;
  std::function<void(void* Sender)> FOnShutdown;
  TzalWSQuerySSLPortEvent FOnQueryHTTPSSLPort;
  // Whether the component checks an Authorization scheme itself (Bearer with an
  // OAuth2 provider): such a field is taken as present, without user or password.
  std::function<bool(const std::string& aScheme)> FOnOwnAuthScheme;

protected:
  bool DoParseAuthentication(TIdContext* AContext, const std::string& AAuthType, const std::string& AAuthData,
                             std::string& VUsername, std::string& VPassword) override;
  void Startup() override;
  void Shutdown() override;
  // Starts TLS on a TLS handler's connection when its port speaks TLS, then connects.
  void DoConnect(TIdContext* context) override;
};

class TzalWSHTTPServer : public TzalWSServer_Sock_Base {
public:
  TzalWSHTTPServer();
  ~TzalWSHTTPServer() override;

  bool KeepAlive() const { return FHTTPServer->KeepAlive(); }
  void SetKeepAlive(bool value) { FHTTPServer->SetKeepAlive(value); }
  bool SessionState() const { return FHTTPServer->SessionState(); }
  void SetSessionState(bool value) { FHTTPServer->SetSessionState(value); }
  int SessionTimeOut() const { return FHTTPServer->SessionTimeOut(); }
  void SetSessionTimeOut(int value) { FHTTPServer->SetSessionTimeOut(value); }
  bool AutoStartSession() const { return FHTTPServer->AutoStartSession(); }
  void SetAutoStartSession(bool value) { FHTTPServer->SetAutoStartSession(value); }
  // A trailing "/" is removed when read.
  std::string DocumentRoot() const;
  void SetDocumentRoot(const std::string& value) { FDocumentRoot = value; }

  TzalWSHTTPCustomServer& HTTPServer() { return *FHTTPServer; }
  // How many times, over all connections, a step ended by asking its driver
  // to wait: counted before the wait, so a count that moved means a step ran
  // to its end. A step that waited inside itself holds it still.
  uint64_t StepWaits() const { return FStepWaits.load(std::memory_order_relaxed); }

  // Preload links: every HTTP/2 GET whose document equals aPathMatch exactly
  // pushes aLinks (paths on this server) when the client allows push.
  void PushPromiseAddPreLoadLinks(const std::string& aPathMatch, const std::vector<std::string>& aLinks) {
    FPushPromiseList.AddPushPromise(aPathMatch, aLinks);
  }
  // Removes the first entry registered for aPathMatch.
  void PushPromiseRemovePreLoadLinks(const std::string& aPathMatch) { FPushPromiseList.DeleteItem(aPathMatch); }

protected:
  // Marks the component as being destroyed, waits for background start and
  // stop, and deactivates it. The most derived destructor calls it first;
  // calling it again does nothing more.
  void StopBeforeDestruction();

public:

  TIdHTTPCommandEvent OnCommandGet;
  TIdHTTPCommandEvent OnCommandOther;
  // The inner server's session events, raised on the thread that causes them.
  TIdHTTPCreateSession OnCreateSession;
  TIdHTTPInvalidSessionEvent OnInvalidSession;
  TIdHTTPSessionStartEvent OnSessionStart;
  TIdHTTPSessionEndEvent OnSessionEnd;

protected:
  TIdCustomTCPServer& TCPServer() override { return *FHTTPServer; }
  const TIdCustomTCPServer& TCPServer() const override { return *FHTTPServer; }

  // Steps bound to the inner server's events.
  void DoTCPConnect(TIdContext* context);
  void DoTCPExecute(TIdContext* context);
  void GuardWaitCall(TIdContext* context, TzalWSConnectionServer* connection, const std::function<void()>& wait);
  void RunConnectionStep(TIdContext* context);
  void TLSHandshakeStep(TIdContext* context, TzalWSConnectionServer* connection);
  void Linger(TzalWSConnectionServer* connection);
  void DrainStep(TIdContext* context, TzalWSConnectionServer* connection);
  void AcceptTCPConnection(TIdContext* context, TzalWSConnectionServer* connection);
  void DoTCPDisconnect(TIdContext* context);
  // Raises OnDisconnect for an enabled connection and lets the object go.
  void ReleaseEndedConnection(TIdContext* context);
  void DoTCPException(TIdContext* context, const std::exception& e);
  // TLS is spoken on a port when SSLOptions.Port is 0 or equals it.
  void DoQuerySSLPort(int aPort, bool& aSSL);
  // An HTTP/1.1 request for the application: the Basic gate, DocumentRoot files,
  // then OnCommandGet or OnCommandOther.
  void DoHTTPCommand(TIdContext* AContext, TIdHTTPRequestInfo* ARequestInfo, TIdHTTPResponseInfo* AResponseInfo,
                     bool isGet);

  // Unlinks the connection object from the context, closes the TCP connection
  // without notifying the peer and frees the object.
  void CloseAndRelease(TIdContext* context);
  // Reads the request's header lines out of the input buffer into FHeadersRequest.
  void ReReadHeaders(TIdContext* context, TzalWSConnectionServer* connection);

private:
  std::unique_ptr<TzalWSConnectionServer> NewConnection(TIdContext* context);
  void ApplySocketOptions(TIdContext* context);
  // With Throttle.Enabled, the connection's I/O passes through a bandwidth limit.
  void ApplyThrottle(TIdContext* context);
  // Classifies a connection that has sent its first bytes and acts on the row.
  void ClassifyAndDispatch(TIdContext* context, TzalWSConnectionServer* connection);
  // Transports whose connections are read as messages once enabled.
  static bool ReadsMessages(TwsTransport transport);
  void ExecuteWebSocket(TzalWSConnectionServer* connection);
  void RunPostedWork(TzalWSConnectionServer* connection);
  void ReadEnabledConnection(TIdContext* context, TzalWSConnectionServer* connection);
  void FirstBytesStep(TIdContext* context, TzalWSConnectionServer* connection);
  std::chrono::steady_clock::time_point FirstBytesDeadline(const TzalWSConnectionServer* connection) const;
  void WaitForFirstBytes(TIdContext* context, TzalWSConnectionServer* connection, int deadlineMs);
  void TLSStartStep(TIdIOHandler& io, TzalWSConnectionServer* connection, std::chrono::steady_clock::time_point now);
  void AcceptUnknownProtocol(TIdContext* context, TzalWSConnectionServer* connection);
  // ALPN chose h2 but the client did not send the connection preface.
  void RefuseMissingPreface(TIdContext* context);
  // The connection preface arrived: the connection speaks HTTP/2 from now on.
  void DoHTTP2Start(TIdContext* context, TzalWSConnectionServer* connection);
  void CloseAfterGoAway(TIdContext* context);
  void FinishConnectionsBeforeStop() override;
  // HTTP/2 connections still serving streams; each is asked to drain first when aDrain.
  int OpenHTTP2Connections(bool aDrain);
  // Wakes a stop waiting for connections to end (or to have served their streams).
  void SignalConnectionEnded();
  // An enabled HTTP/2 connection's step.
  void ExecuteHTTP2(TIdContext* context, TzalWSConnectionServer* connection);
  // An HTTP/1.1 connection's step.
  void ExecuteHTTP1(TIdContext* context, TzalWSConnectionServer* connection);
  // Row 9 with server-sent events on: the event stream opens with the reconnect
  // time and the connection's key, then the connection is enabled and announced.
  void OpenServerSentEvents(TzalWSConnectionServer* connection);
  // Row 8 with the Flash fallback on: the policy answer. The connection stays
  // open, not enabled, and is classified again by what it sends next.
  void AnswerFlashPolicy(TzalWSConnectionServer* connection);
  // Row 3: a message of a server-sent events client, posted to /zal/xhr/<key>,
  // delivered as a message received on the event stream with that key.
  void LongPollingPost(TIdContext* context, TzalWSConnectionServer* connection);
  // A long-polling or protocol post that arrived as a request of the HTTP/1.1
  // loop (a kept-alive connection) or of an HTTP/2 stream; true when answered here.
  bool AnswerFallbackPost(TIdContext* AContext, TIdHTTPRequestInfo* ARequestInfo, TIdHTTPResponseInfo* AResponseInfo);
  // Row 4: a post for the registered sub-protocol object that its target names.
  void ProtocolPost(TIdContext* context, TzalWSConnectionServer* connection);
  // The body as a message received on the event stream with that key (an empty
  // body is not delivered); false when there is no such stream.
  bool DeliverLongPollingPost(const std::string& key, const std::string& body);
  // Hands the post for target /zal/protocol/<name>/<rest> to the object of that
  // name, which fills the response; false when there is none.
  bool RunProtocolPost(TzalWSConnection* connection, const std::string& target, const std::string& body,
                       std::string& response);
  // Runs `deliver` on the enabled event-stream connection with that key while
  // the registry is locked (it cannot be released meanwhile); false without one.
  bool WithEventStream(const std::string& key, const std::function<void(TzalWSConnectionServer*)>& deliver);
  // An error answer to a fallback post, then the lingering close of RFC 9112 9.6.
  void RefusePost(TzalWSConnectionServer* connection, int code);
  // The body of a fallback post, as its Content-Length says; false when the
  // post has been answered with an error status here.
  bool ReadPostBody(TIdContext* context, TzalWSConnectionServer* connection, std::string& body);
  // A new first-bytes deadline, for a connection whose next bytes are classified afresh.
  void AwaitFirstBytes(TzalWSConnectionServer* connection);
  // Moves the request's header block (its empty line included) from the input
  // buffer into FHeadersRequest; false while the block is incomplete.
  bool TakeHeaderBlock(TIdContext* context, TzalWSConnectionServer* connection);
  // Row 1: the handshake of a WebSocket upgrade.
  void UpgradeToWebSocket(TIdContext* context, TzalWSConnectionServer* connection);
  bool DispatchInputReady(TIdContext* context, TzalWSConnectionServer* connection, TzalFirstBytesRow kind);
  bool InputReady(TIdContext* context, TzalWSConnectionServer* connection, std::chrono::steady_clock::time_point deadline,
                  std::function<bool(const TIdBuffer&)> ready);
  bool GateOpens(TIdContext* context, TzalWSConnectionServer::TInputGate& gate);
  // With authentication on: whether a request (an upgrade, an event stream, a
  // post) proves its client by one of the ways authentication allows.
  bool RequestAuthenticated(TzalWSConnectionServer* connection, TRequestLines lines);
  // Whether a fallback request (FHeadersRequest) may go on; records the verdict.
  bool AdmitsFallback(TzalWSConnectionServer* connection);
  bool ConsumeSessionOf(TzalWSConnectionServer* connection, std::string_view target);
  bool UnknownAuthenticated(TzalWSConnectionServer* connection, TRequestLines lines);
  // Row 7: a GET of a built-in script, page or style sheet; true when answered.
  // The request line is the connection's first line, or an HTTP/2 request's
  // ":method :path HTTP/2"; the answer goes out on that stream (0 on HTTP/1.1).
  bool ServeBuiltInResource(TzalWSConnectionServer* connection, const std::string& requestLine,
                            int32_t aStreamIdentifier);
  // The acceptance check, after a handshake and for an accepted unknown
  // protocol: a connection whose protocol version is switched off in the
  // Specifications option is disconnected; an enabled one is registered and announced.
  void AcceptConnection(TzalWSConnectionServer* connection);
  bool PassesBasicGate(TIdContext* AContext, TIdHTTPRequestInfo* ARequestInfo);
  // HTTP/1.x requests on a TLS server with an OAuth2 provider must carry a bearer
  // token it accepts; false when refused (the response is then a 401).
  bool OAuth2GateApplies(TIdHTTPRequestInfo* ARequestInfo) const;
  bool PassesOAuth2Gate(TIdContext* AContext, TIdHTTPRequestInfo* ARequestInfo, TIdHTTPResponseInfo* AResponseInfo);
  // The provider's verdict on a request's bearer token; an accepted one marks the
  // connection as authenticated by OAuth2.
  bool OAuth2Accepts(TzalWSConnectionServer& connection, const std::string& token);
  // The credentials step of an HTTP/2 request; false when the OAuth2 provider
  // answered it itself. Refusals raise EIdHTTPUnsupportedAuthorisationScheme.
  bool AuthorizeHTTP2Request(TzalWSConnectionServer& connection, TIdHTTPRequestInfo& ARequestInfo,
                             const TzalHTTP2HeaderLines& aHeaders);
  bool ServeFromDocumentRoot(TIdHTTPRequestInfo* ARequestInfo, TIdHTTPResponseInfo* AResponseInfo);

protected:
  std::unique_ptr<TzalWSHTTPCustomServer> FHTTPServer;
  // Request body octets held by all HTTP/2 connections (made at each start).
  std::atomic<std::shared_ptr<TzalHTTP2BodyBudget>> FHTTP2BodyBudget;
  TzalHTTP2PushPromiseList FPushPromiseList;
  std::string FDocumentRoot;
  int FReadEmptySource = 0;
  // A stop is letting HTTP/2 connections finish their streams.
  std::atomic<bool> FStopping{false};
  std::atomic<uint64_t> FStepWaits{0};
  // Counts connections that ended, so that a stop can wait for the next one.
  std::mutex FConnectionEndLock;
  std::condition_variable FConnectionEnded;
  uint64_t FConnectionEnds = 0;
};

class TzalWebSocketHTTPServer : public TzalWSHTTPServer {
public:
  TzalWebSocketHTTPServer();
  ~TzalWebSocketHTTPServer() override;
};

}  // namespace zal
