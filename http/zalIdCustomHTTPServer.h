#pragma once
// The HTTP/1.1 server engine over the TCP server. Its request loop reads a
// request line, the header block and the body into a request record, hands the
// request and a response record to the application, writes the response and
// repeats while the connection is kept alive.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <utility>

#include "http/zalIdHTTPRequestInfo.h"
#include "http/zalIdHTTPRequestLoop.h"
#include "http/zalIdHTTPRequestParser.h"
#include "http/zalIdHTTPResponseInfo.h"
#include "http/zalIdHTTPSessionStep.h"
#include "http/zalIdMIMETable.h"
#include "transport/zalIdCustomTCPServer.h"

namespace zal {


using TIdHTTPCommandEvent =
    std::function<void(TIdContext* AContext, TIdHTTPRequestInfo* ARequestInfo, TIdHTTPResponseInfo* AResponseInfo)>;
using TIdHTTPCommandError = std::function<void(TIdContext* AContext, TIdHTTPRequestInfo* ARequestInfo,
                                               TIdHTTPResponseInfo* AResponseInfo, const std::exception& AException)>;
using TIdHTTPHeadersAvailableEvent = std::function<void(TIdContext* AContext, const std::string& AUri,
                                                        TIdHeaderList& AHeaders, bool& VContinueProcessing)>;
using TIdHTTPHeadersBlockedEvent =
    std::function<void(TIdContext* AContext, TIdHeaderList& AHeaders, int& VResponseNo, std::string& VResponseText,
                       std::string& VContentText)>;
using TIdHTTPHeaderExpectationsEvent =
    std::function<void(TIdContext* AContext, const std::string& AExpectations, bool& VContinueProcessing)>;
using TIdHTTPCreatePostStream =
    std::function<void(TIdContext* AContext, TIdHeaderList& AHeaders, std::unique_ptr<TStream>& VPostStream)>;
using TIdHTTPDoneWithPostStream =
    std::function<void(TIdContext* AContext, TIdHTTPRequestInfo* ARequestInfo, bool& VCanFree)>;
using TIdHTTPParseAuthenticationEvent =
    std::function<void(TIdContext* AContext, const std::string& AAuthType, const std::string& AAuthData,
                       std::string& VUsername, std::string& VPassword, bool& VHandled)>;

class EIdHTTPUnsupportedAuthorisationScheme : public EIdException {
public:
  // aChallenge: the WWW-Authenticate challenge a 401 answer to it carries (RFC 9110 11.6.1).
  explicit EIdHTTPUnsupportedAuthorisationScheme(std::string aChallenge = "Basic")
      : EIdException("Unsupported authorization scheme."), FChallenge(std::move(aChallenge)) {}
  const std::string& Challenge() const { return FChallenge; }

private:
  std::string FChallenge;
};

class TIdCustomHTTPServer : public TIdCustomTCPServer {
public:
  TIdCustomHTTPServer();
  // Stops the server first, so that its own shut-down (sessions) runs.
  ~TIdCustomHTTPServer() override;

  const std::string& ServerSoftware() const { return FServerSoftware; }
  void SetServerSoftware(const std::string& value) { FServerSoftware = value; }
  bool KeepAlive() const { return FKeepAlive; }
  void SetKeepAlive(bool value) { FKeepAlive = value; }
  bool ParseParams() const { return FParseParams; }
  void SetParseParams(bool value) { FParseParams = value; }
  // The most parameters (query or form) split into a request's Params; the rest
  // stays in UnparsedParams only. -1: no limit.
  int MaximumParamCount() const { return FMaximumParamCount; }
  void SetMaximumParamCount(int value) { FMaximumParamCount = value; }
  // The most cookies read from a request's Cookie fields; the rest is ignored.
  // -1: no limit.
  int MaximumCookieCount() const { return FMaximumCookieCount; }
  void SetMaximumCookieCount(int value) { FMaximumCookieCount = value; }
  // The most header lines a request may have.
  int MaximumHeaderLineCount() const { return FMaximumHeaderLineCount; }
  void SetMaximumHeaderLineCount(int value) { FMaximumHeaderLineCount = value; }
  // The most octets the header lines of a request (or the trailer lines of a
  // chunked body) may take together, line ends included; more is answered 431.
  int64_t MaximumHeaderBlockSize() const { return FMaximumHeaderBlockSize; }
  void SetMaximumHeaderBlockSize(int64_t value) { FMaximumHeaderBlockSize = value; }
  // The most octets the request bodies of all connections may hold at once; a
  // body that would go beyond is answered 503 (counted as its octets arrive).
  // -1: no limit.
  int64_t MaximumBufferedBodySize() const { return FMaximumBufferedBodySize; }
  void SetMaximumBufferedBodySize(int64_t value) { FMaximumBufferedBodySize = value; }
  // Octets the request bodies being read or served hold now.
  int64_t BufferedBodySize() const { return FBufferedBodyBytes.load(); }
  // Milliseconds the first byte of a request may take to come on an open
  // connection; an idle connection is then closed without an answer. 0: no limit.
  int KeepAliveTimeOut() const { return FKeepAliveTimeOut; }
  void SetKeepAliveTimeOut(int value) { FKeepAliveTimeOut = value; }
  // Milliseconds from a request's first byte to the end of its header block;
  // later it is answered 408. 0: no limit.
  int HeaderTimeOut() const { return FHeaderTimeOut; }
  void SetHeaderTimeOut(int value) { FHeaderTimeOut = value; }
  // Milliseconds the body may go without a byte arriving; then 408. 0: no limit.
  int BodyTimeOut() const { return FBodyTimeOut; }
  void SetBodyTimeOut(int value) { FBodyTimeOut = value; }
  // Octets per second a request body must keep on average: the whole body must
  // have come within BodyTimeOut plus one second per this many octets; then
  // 408. 0 (or a BodyTimeOut of 0): no minimum.
  int BodyMinimumRate() const { return FBodyMinimumRate; }
  void SetBodyMinimumRate(int value) { FBodyMinimumRate = value; }
  // The largest request body in octets; a larger one is answered 413. -1: no limit.
  int64_t MaximumBodySize() const { return FMaximumBodySize; }
  void SetMaximumBodySize(int64_t value) { FMaximumBodySize = value; }
  // Milliseconds an answer given before the request was read whole waits for
  // the peer to stop sending before the connection closes (RFC 9112 9.6). 0: none.
  int LingerTimeOut() const { return FLingerTimeOut; }
  void SetLingerTimeOut(int value) { FLingerTimeOut = value; }
  // Milliseconds an answer (or a blocking send) may move no octet before the
  // connection is ended. 0: no limit.
  int SendTimeOut() const { return FSendTimeOut; }
  void SetSendTimeOut(int value) { FSendTimeOut = value; }
  bool SessionState() const { return FSessionState; }
  // Raises while the server is active.
  void SetSessionState(bool value);
  int SessionTimeOut() const { return FSessionTimeOut; }
  void SetSessionTimeOut(int value) { FSessionTimeOut = value; }
  bool AutoStartSession() const { return FAutoStartSession; }
  void SetAutoStartSession(bool value) { FAutoStartSession = value; }
  const std::string& SessionIDCookieName() const { return FSessionIDCookieName; }
  // Raises while the server is active and for a name that is empty after trimming.
  void SetSessionIDCookieName(const std::string& value);
  TIdHTTPCustomSessionList* SessionList() const { return FSessionList; }
  // Not owned; raises while active. Replacing the implicit store frees it.
  void SetSessionList(TIdHTTPCustomSessionList* value);
  TIdThreadSafeMimeTable& MIMETable() const { return FMIMETable; }

  // The media type for a file name, from the MIME table.
  std::string MIMETypeOfFile(const std::string& fileName) const;

  // Creates a session for the request and adds its cookie to the response; nullptr
  // when sessions are off.
  TIdHTTPSessionPtr CreateSession(TIdContext* AContext, TIdHTTPResponseInfo* HTTPResponse,
                                  TIdHTTPRequestInfo* HTTPRequest);
  // Ends the stored session; false when there is none for this ID and client.
  bool EndSession(const std::string& SessionName, const std::string& RemoteIP);

  // The request loop in steps, for a driver that does the waiting: the state
  // of a connection's loop, where `firstByteAt` is when the first request's
  // first byte came if bytes are already waiting (its header time-out counts
  // from there; otherwise the loop notices it itself).
  // `writer` is the connection's writer, where the answers wait until the
  // socket takes them (nullptr: the loop keeps one of its own).
  std::unique_ptr<TIdHTTPRequestLoop> StartRequestLoop(TIdContext* context,
                                                       std::chrono::steady_clock::time_point firstByteAt = {},
                                                       TzalOutputQueue* writer = nullptr) const;
  // One step: sends what waits as far as the socket takes it, then serves what
  // the input buffer holds. True with `waitMs` the time the driver may wait
  // (-1: no limit) before the next step: for the socket to take more while the
  // loop's Sending is set (no input is read meanwhile), else for input. False
  // when the loop has ended and the connection is disconnected (an error that
  // is no quiet end of the connection is raised after that).
  bool StepRequestLoop(TIdContext* context, TIdHTTPRequestLoop& loop, int& waitMs);
  // The loop on the connection's own thread, which waits for its socket between
  // the steps, until the connection is to be closed.
  void RunRequestLoop(TIdContext* context, std::chrono::steady_clock::time_point firstByteAt = {});
  // The request's credentials from its Authorization field (DoParseAuthentication):
  // sets AuthExists, AuthUsername and AuthPassword. False when the field names a
  // scheme nobody understands; true without the field.
  bool ParseCredentials(TIdContext* context, TIdHTTPRequestInfo& request);
  // Serves a request whose fields are filled, its credentials included (an HTTP/2
  // stream): its parameters and cookies, the session step, the handler, then the
  // answer through the response.
  void ServeRequest(TIdContext* context, TIdHTTPRequestInfo& request, TIdHTTPResponseInfo& response);
  // Writes what the handler left unwritten of the answer.
  static void WriteAnswer(TIdHTTPResponseInfo& response);

  TIdHTTPCommandEvent OnCommandGet;
  TIdHTTPCommandEvent OnCommandOther;
  TIdHTTPCommandError OnCommandError;
  TIdHTTPHeadersAvailableEvent OnHeadersAvailable;
  TIdHTTPHeadersBlockedEvent OnHeadersBlocked;
  TIdHTTPHeaderExpectationsEvent OnHeaderExpectations;
  TIdHTTPCreatePostStream OnCreatePostStream;
  TIdHTTPDoneWithPostStream OnDoneWithPostStream;
  TIdHTTPParseAuthenticationEvent OnParseAuthentication;
  TIdHTTPCreateSession OnCreateSession;
  TIdHTTPInvalidSessionEvent OnInvalidSession;
  TIdHTTPSessionStartEvent OnSessionStart;
  TIdHTTPSessionEndEvent OnSessionEnd;

protected:
  // Gives the connection's socket the send time-out, then runs OnConnect.
  void DoConnect(TIdContext* context) override;
  bool DoExecute(TIdContext* context) override;
  void Startup() override;
  void Shutdown() override;

  virtual void DoCommandGet(TIdContext* AContext, TIdHTTPRequestInfo* ARequestInfo, TIdHTTPResponseInfo* AResponseInfo);
  virtual void DoCommandOther(TIdContext* AContext, TIdHTTPRequestInfo* ARequestInfo,
                              TIdHTTPResponseInfo* AResponseInfo);
  virtual void DoCommandError(TIdContext* AContext, TIdHTTPRequestInfo* ARequestInfo,
                              TIdHTTPResponseInfo* AResponseInfo, const std::exception& AException);
  virtual bool DoHeadersAvailable(TIdContext* AContext, const std::string& AUri, TIdHeaderList& AHeaders);
  virtual bool DoHeaderExpectations(TIdContext* AContext, const std::string& AExpectations);
  // One Authorization field: OnParseAuthentication, else Basic (user and password
  // from the Base64 data); true when the scheme was understood.
  virtual bool DoParseAuthentication(TIdContext* AContext, const std::string& AAuthType,
                                     const std::string& AAuthData, std::string& VUsername, std::string& VPassword);
  // The per-request session step; False stops the request.
  virtual bool DoSessionStep(TIdContext* AContext, TIdHTTPRequestInfo* ARequestInfo,
                             TIdHTTPResponseInfo* AResponseInfo);

private:
  // Sends and serves, or drops input while lingering; false when the connection is to end.
  bool ServeStep(TIdContext* context, TIdHTTPRequestLoop& loop);
  // Feeds the input buffer to the request reader and acts on what it reads,
  // until it needs more, an answer waits for the socket (Sending), or the
  // connection is to close and its answers have gone.
  void RequestStep(TIdContext* context, TIdHTTPRequestLoop& loop);
  // Sends what the writer holds as far as the socket takes it now; true when
  // nothing waits any more.
  bool SendAnswers(TIdContext* context, TIdHTTPRequestLoop& loop);
  // After an early answer has gone: false when there is nothing to linger for.
  bool StartLinger(TIdTCPConnection& connection, TIdHTTPRequestLoop& loop) const;
  // How long the driver may wait, until the deadline of the phase (send
  // stall, keep-alive idle, header block, body progress, linger); false when
  // the connection ends: the peer left, or the deadline passed (a request
  // begun is answered 408). A stalled answer raises the time-out.
  bool NextWait(TIdContext* context, TIdHTTPRequestLoop& loop, int& waitMs);
  std::chrono::steady_clock::time_point StepDeadline(const TIdHTTPRequestLoop& loop) const;
  // The records of a request whose first octet came.
  void BeginRequest(TIdContext* context, TIdHTTPRequestLoop& loop);
  // Fills the request from its head and judges it; False when it was answered.
  bool TakeHead(TIdContext* context, TIdHTTPRequestLoop& loop);
  void TakeBody(TIdHTTPRequestLoop& loop, std::span<const uint8_t> octets);
  // Dispatches a request read whole and queues its answer.
  void FinishRequest(TIdContext* context, TIdHTTPRequestLoop& loop);
  // The application's say and the Host rule; False when answered.
  bool CheckHeaders(TIdContext* context, TIdHTTPRequestInfo& request, TIdHTTPResponseInfo& response);
  // The Expect field: 100 Continue, or 417 (then False).
  bool CheckExpectation(TIdContext* context, TIdHTTPRequestLoop& loop);
  std::unique_ptr<TStream> NewPostStream(TIdContext* context, TIdHTTPRequestInfo& request);
  void ReleasePostStream(TIdContext* context, TIdHTTPRequestInfo& request);
  void DecodeParams(TIdContext* context, TIdHTTPRequestInfo& request);
  // The credentials (when parseCredentials), the session step and the handler; an
  // Authorization scheme nobody understands is answered 401 with a Basic challenge.
  void Dispatch(TIdContext* context, TIdHTTPRequestInfo& request, TIdHTTPResponseInfo& response,
                bool parseCredentials);
  // Parameters, cookies and the handler of a request whose header has been read.
  void DecodeAndDispatch(TIdContext* context, TIdHTTPRequestInfo& request, TIdHTTPResponseInfo& response,
                         bool parseCredentials);
  // Answers with `status` and its generated page, and ends the loop.
  static void AnswerAndClose(TIdHTTPResponseInfo& response, int status);
  TIdHTTPSessionSettings SessionSettings() const;
  TIdHTTPSessionExchange SessionExchange(TIdContext* context, TIdHTTPRequestInfo* request,
                                         TIdHTTPResponseInfo* response) const;
  void ReleaseImplicitSessionList();
  void StopSessions();

  std::string FServerSoftware;
  bool FKeepAlive = false;
  bool FParseParams = true;
  int FMaximumParamCount = 1000;
  int FMaximumCookieCount = 200;
  int FMaximumHeaderLineCount = 1024;
  int64_t FMaximumHeaderBlockSize = 65536;
  int FKeepAliveTimeOut = 60000;
  int FHeaderTimeOut = 30000;
  int FBodyTimeOut = 30000;
  int FBodyMinimumRate = 1024;
  int64_t FMaximumBodySize = 32 * 1024 * 1024;
  int64_t FMaximumBufferedBodySize = 256 * 1024 * 1024;
  std::atomic<int64_t> FBufferedBodyBytes{0};
  int FSendTimeOut = 60000;
  int FLingerTimeOut = 2000;
  bool FSessionState = false;
  int FSessionTimeOut = 0;
  bool FAutoStartSession = false;
  std::string FSessionIDCookieName{kDefaultSessionIDCookieName};
  TIdHTTPCustomSessionList* FSessionList = nullptr;
  bool FImplicitSessionList = false;
  std::unique_ptr<TIdHTTPSessionCleanerThread> FSessionCleanupThread;
  // Filled at the first look-up that misses.
  mutable TIdThreadSafeMimeTable FMIMETable{false};
};

class TIdHTTPServer : public TIdCustomHTTPServer {};

}  // namespace zal
