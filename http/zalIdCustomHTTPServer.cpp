#include "http/zalIdCustomHTTPServer.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <limits>
#include <optional>
#include <utility>

#include "http/zalIdHTTPRequestParser.h"
#include "http/zalIdHTTPRequestLoop.h"
#include "support/zalHelpers.h"
#include "support/zalIdCoderMIME.h"
#include "transport/zalIdIOHandler.h"
#include "transport/zalIdIOHandlerSocket.h"
#include "transport/zalIdStack.h"
#include "transport/zalIdTCPConnection.h"

namespace zal {

namespace {

// A request answered with an error status before it reached the application;
// the connection ends after the answer.
class ERequestRefused : public EIdException {
public:
  explicit ERequestRefused(int status) : EIdException("Request refused with status " + std::to_string(status)), FStatus(status) {}
  int Status() const { return FStatus; }

private:
  int FStatus;
};

}  // namespace

using Clock = std::chrono::steady_clock;

namespace {

// The whole body as text, one character per octet (ISO-8859-1), read straight
// into the text: octets below 128 are their own UTF-8 form.
std::string BodyAs8BitText(TStream& body) {
  std::string text(static_cast<size_t>(body.Size()), '\0');
  body.SetPosition(0);
  text.resize(static_cast<size_t>(body.Read(text.data(), static_cast<int64_t>(text.size()))));
  if (std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; }))
    text = IdTextEncoding(tek8Bit).GetString(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
  return text;
}

// The end of a connection's request loop: it is closed, and input nobody will
// read is dropped, so no later step finds it and reads it again.
void EndConnection(TIdTCPConnection& connection) {
  connection.Disconnect(false);
  if (TIdIOHandler* io = connection.IOHandler())
    io->InputBuffer().Clear();
}

// Waits on the connection's own socket, for input or, while an answer waits
// (`forWriting`), until it takes more: false when the connection is gone.
bool AwaitSocket(TIdTCPConnection& connection, int timeoutMs, bool forWriting) {
  TIdIOHandler& io = *connection.IOHandler();
  if (forWriting) {
    TIdIOHandlerSocket* socket = connection.Socket();
    if (!socket || !socket->BindingAllocated())
      return false;
    socket->Binding()->Writable(timeoutMs);  // a failed or closed socket is reported by the next send
    return true;
  }
  const int before = io.InputBuffer().Size();
  if (!io.Connected())  // takes what is pending, and notices a close
    return false;
  if (io.InputBuffer().Size() == before)
    io.CheckForDataOnSource(timeoutMs < 0 ? IdTimeoutInfinite : timeoutMs);
  return true;
}

int MillisecondsUntil(std::chrono::steady_clock::time_point deadline, std::chrono::steady_clock::time_point now) {
  return static_cast<int>(std::clamp<int64_t>(std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count(), 1,
                                              std::numeric_limits<int>::max()));
}

// The connection went away underneath the loop: it ends quietly.
bool IsQuietEnd(const std::exception& e) {
  if (const auto* socketError = dynamic_cast<const EIdSocketError*>(&e)) {
    const int code = socketError->LastError();
    return code == Id_WSAECONNABORTED || code == Id_WSAECONNRESET || code == Id_WSAESHUTDOWN;
  }
  return dynamic_cast<const EIdConnClosedGracefully*>(&e) || dynamic_cast<const EIdClosedSocket*>(&e) ||
         dynamic_cast<const EIdNotConnected*>(&e);
}

}  // namespace

TIdCustomHTTPServer::TIdCustomHTTPServer() { SetDefaultPort(80); }

TIdCustomHTTPServer::~TIdCustomHTTPServer() {
  SetActive(false);
  SetSessionList(nullptr);
}

std::string TIdCustomHTTPServer::MIMETypeOfFile(const std::string& fileName) const {
  return FMIMETable.GetFileMIMEType(fileName);
}

void TIdCustomHTTPServer::SetSessionState(bool value) {
  CheckSessionStateChange(Active(), false);
  FSessionState = value;
}

void TIdCustomHTTPServer::SetSessionIDCookieName(const std::string& value) {
  CheckSessionIDCookieNameChange(Active(), false, value);
  FSessionIDCookieName = value;
}

void TIdCustomHTTPServer::SetSessionList(TIdHTTPCustomSessionList* value) {
  if (value == FSessionList)
    return;
  CheckSessionListChange(Active());
  if (FImplicitSessionList) {
    ReleaseImplicitSessionList();
  } else if (FSessionList) {
    // The store may outlive the server: it must not call back into it.
    FSessionList->RemoveFreeNotification(this);
    FSessionList->OnSessionStart = nullptr;
    FSessionList->OnSessionEnd = nullptr;
  }
  FSessionList = value;
  // A store given by the application is forgotten when it is destroyed.
  if (FSessionList)
    FSessionList->AddFreeNotification(this, [this] { FSessionList = nullptr; });
}

void TIdCustomHTTPServer::ReleaseImplicitSessionList() {
  if (!FImplicitSessionList)
    return;
  TIdHTTPCustomSessionList* store = FSessionList;
  FSessionList = nullptr;
  FImplicitSessionList = false;
  delete store;  // its remaining sessions end
}

void TIdCustomHTTPServer::Startup() {
  if (!FSessionList) {
    FSessionList = new TIdHTTPDefaultSessionList();
    FImplicitSessionList = true;
  }
  FSessionCleanupThread = StartHTTPSessions(*FSessionList, FSessionTimeOut, FSessionState, &OnSessionStart, &OnSessionEnd);
  TIdCustomTCPServer::Startup();
}

void TIdCustomHTTPServer::Shutdown() {
  try {
    TIdCustomTCPServer::Shutdown();
  } catch (...) {
    StopSessions();
    throw;
  }
  StopSessions();
}

// After the connections have ended: the cleaner stops (ending every session), an
// implicit store is freed and one given by the application is emptied.
void TIdCustomHTTPServer::StopSessions() {
  StopSessionCleaner(FSessionCleanupThread);
  if (FImplicitSessionList)
    ReleaseImplicitSessionList();
  else if (FSessionList)
    FSessionList->Clear();
}

TIdHTTPSessionSettings TIdCustomHTTPServer::SessionSettings() const {
  TIdHTTPSessionSettings settings;
  settings.SessionState = FSessionState;
  settings.AutoStartSession = FAutoStartSession;
  settings.SessionIDCookieName = FSessionIDCookieName;
  settings.SessionList = FSessionList;
  settings.OnCreateSession = &OnCreateSession;
  settings.OnInvalidSession = &OnInvalidSession;
  return settings;
}

TIdHTTPSessionExchange TIdCustomHTTPServer::SessionExchange(TIdContext* context, TIdHTTPRequestInfo* request,
                                                            TIdHTTPResponseInfo* response) const {
  TIdHTTPSessionExchange exchange;
  exchange.Context = context;
  exchange.RequestInfo = request;
  exchange.ResponseInfo = response;
  if (request) {
    exchange.RequestCookies = &request->Cookies();
    exchange.RemoteIP = request->RemoteIP();
  }
  if (response)
    exchange.ResponseCookies = &response->Cookies();
  return exchange;
}

TIdHTTPSessionPtr TIdCustomHTTPServer::CreateSession(TIdContext* AContext, TIdHTTPResponseInfo* HTTPResponse,
                                                     TIdHTTPRequestInfo* HTTPRequest) {
  TIdHTTPSessionPtr session = CreateHTTPSession(SessionSettings(), SessionExchange(AContext, HTTPRequest, HTTPResponse));
  if (HTTPResponse)
    HTTPResponse->SetSession(session);
  if (HTTPRequest)
    HTTPRequest->SetSession(session);
  return session;
}

bool TIdCustomHTTPServer::EndSession(const std::string& SessionName, const std::string& RemoteIP) {
  return FSessionList && FSessionList->EndSession(SessionName, RemoteIP);
}

bool TIdCustomHTTPServer::DoExecute(TIdContext* context) {
  if (OnExecute)
    return TIdCustomTCPServer::DoExecute(context);
  RunRequestLoop(context);
  return false;
}

void TIdCustomHTTPServer::DoConnect(TIdContext* context) {
  // SO_SNDTIMEO makes a blocking send (a WebSocket frame, a fallback answer)
  // that moves no byte for that long fail with a time-out, which ends the
  // connection. HTTP/1.1 answers are sent without waiting; their step keeps
  // the same bound (NextWait).
  TIdIOHandlerSocket* socket = context->Connection()->Socket();
  if (FSendTimeOut > 0 && socket && socket->BindingAllocated()) {
    const timeval timeout{FSendTimeOut / 1000, (FSendTimeOut % 1000) * 1000};
    socket->Binding()->SetSockOpt(SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
  }
  TIdCustomTCPServer::DoConnect(context);
}

std::unique_ptr<TIdHTTPRequestLoop> TIdCustomHTTPServer::StartRequestLoop(TIdContext* context,
                                                                          Clock::time_point firstByteAt,
                                                                          TzalOutputQueue* writer) const {
  TIdIOHandler& io = *context->Connection()->IOHandler();
  const TIdHTTPRequestLimits limits{io.MaxLineLength(), FMaximumHeaderLineCount, FMaximumHeaderBlockSize,
                                    FMaximumBodySize};
  auto loop = std::make_unique<TIdHTTPRequestLoop>(limits, io.DefStringEncoding(), firstByteAt, writer);
  loop->SendTimeOut = FSendTimeOut;
  return loop;
}

bool TIdCustomHTTPServer::StepRequestLoop(TIdContext* context, TIdHTTPRequestLoop& loop, int& waitMs) {
  TIdTCPConnection* connection = context->Connection();
  try {
    if (ServeStep(context, loop) && NextWait(context, loop, waitMs))
      return true;
  } catch (const std::exception& e) {
    loop.Writer.Clear();
    EndConnection(*connection);
    if (!IsQuietEnd(e))
      throw;
    return false;
  }
  loop.Writer.Clear();
  EndConnection(*connection);
  return false;
}

void TIdCustomHTTPServer::RunRequestLoop(TIdContext* context, Clock::time_point firstByteAt) {
  const std::unique_ptr<TIdHTTPRequestLoop> loop = StartRequestLoop(context, firstByteAt);
  int waitMs = -1;
  while (StepRequestLoop(context, *loop, waitMs)) {
    if (!AwaitSocket(*context->Connection(), waitMs, loop->Sending)) {
      loop->Writer.Clear();
      return EndConnection(*context->Connection());
    }
  }
}

bool TIdCustomHTTPServer::ServeStep(TIdContext* context, TIdHTTPRequestLoop& loop) {
  if (loop.LingerUntil) {
    TIdIOHandler& io = *context->Connection()->IOHandler();
    io.InputBuffer().Clear();
    return !io.ClosedGracefully() && io.Opened();
  }
  RequestStep(context, loop);
  if (loop.Sending || !loop.CloseAfterAnswer)
    return true;
  if (loop.FailureAfterAnswer)
    std::rethrow_exception(loop.FailureAfterAnswer);
  return loop.LingerAfterAnswer && StartLinger(*context->Connection(), loop);
}

bool TIdCustomHTTPServer::SendAnswers(TIdContext* context, TIdHTTPRequestLoop& loop) {
  TIdIOHandler& io = *context->Connection()->IOHandler();
  const uint64_t sentBefore = io.SentWithoutWaiting();
  const bool drained = io.SendQueued(loop.Writer);
  const bool moved = io.SentWithoutWaiting() != sentBefore;
  const Clock::time_point now = Clock::now();
  if (moved || !loop.Sending)
    loop.SendProgress = now;  // the stall clock starts when an answer begins to wait
  if (drained && (moved || loop.Sending))
    loop.IdleSince = now;
  loop.Sending = !drained;
  return drained;
}

// RFC 9112 9.6: closing while the peer still sends would reset the connection,
// and a reset can destroy the answer before the peer has read it. The sending
// side is shut once the answer has gone; what the peer still sends is dropped
// until it closes or LingerTimeOut passes.
bool TIdCustomHTTPServer::StartLinger(TIdTCPConnection& connection, TIdHTTPRequestLoop& loop) const {
  TIdIOHandlerSocket* socket = connection.Socket();
  if (FLingerTimeOut <= 0 || !socket || !socket->BindingAllocated())
    return false;
  socket->Binding()->ShutdownSend();
  loop.LingerUntil = Clock::now() + std::chrono::milliseconds(FLingerTimeOut);
  return true;
}

Clock::time_point TIdCustomHTTPServer::StepDeadline(const TIdHTTPRequestLoop& loop) const {
  const auto after = [](Clock::time_point start, int milliseconds) {
    return milliseconds > 0 ? start + std::chrono::milliseconds(milliseconds) : Clock::time_point::max();
  };
  if (loop.LingerUntil)
    return *loop.LingerUntil;
  if (!loop.Request)
    return after(loop.IdleSince, FKeepAliveTimeOut);  // RFC 9112 9.3: an idle connection may be closed
  if (!loop.HeadRead)
    return after(loop.FirstByteAt, FHeaderTimeOut);
  return loop.BodyDeadline ? loop.BodyDeadline->Deadline() : Clock::time_point::max();
}

bool TIdCustomHTTPServer::NextWait(TIdContext* context, TIdHTTPRequestLoop& loop, int& waitMs) {
  const Clock::time_point now = Clock::now();
  waitMs = -1;
  if (loop.Sending) {
    // A peer that takes no octet of the answer for SendTimeOut loses its connection.
    if (loop.SendTimeOut <= 0)
      return true;
    const Clock::time_point stallEnd = loop.SendProgress + std::chrono::milliseconds(loop.SendTimeOut);
    if (now >= stallEnd)
      RaiseIdSocketError(Id_WSAETIMEDOUT);
    waitMs = MillisecondsUntil(stallEnd, now);
    return true;
  }
  TIdIOHandler& io = *context->Connection()->IOHandler();
  // Only now, with every buffered request served, does a close of the peer end the loop.
  if (io.ClosedGracefully() || !io.Opened())
    return false;
  const Clock::time_point deadline = StepDeadline(loop);
  if (now >= deadline) {
    if (!loop.Request || loop.LingerUntil)
      return false;
    AnswerAndClose(*loop.Response, 408);  // RFC 9110 15.5.9
    loop.CloseAfterAnswer = loop.LingerAfterAnswer = true;
    return ServeStep(context, loop) && NextWait(context, loop, waitMs);
  }
  if (deadline != Clock::time_point::max())
    waitMs = MillisecondsUntil(deadline, now);
  return true;
}

void TIdCustomHTTPServer::RequestStep(TIdContext* context, TIdHTTPRequestLoop& loop) {
  TIdBuffer& input = context->Connection()->IOHandler()->InputBuffer();
  for (;;) {
    // Every answer is sent as far as the socket takes it before anything else
    // happens, and the next request is read once the answer before it has gone.
    if (!SendAnswers(context, loop) || loop.CloseAfterAnswer)
      return;
    if (!loop.Request && input.Size() == 0)
      return;
    try {
      if (!loop.Request)
        BeginRequest(context, loop);
      const TIdHTTPReadResult result = loop.Reader.Feed(input.Bytes());
      if (result.Event == hreBody)
        TakeBody(loop, result.Body);  // a view into the input: taken before it is removed
      else if (result.Consumed > 0 && loop.BodyDeadline)
        loop.BodyDeadline->Received(0);
      input.Remove(static_cast<int>(result.Consumed));
      switch (result.Event) {
        case hreNeedMore:
          return;
        case hreHead:
          if (!TakeHead(context, loop))
            loop.CloseAfterAnswer = loop.LingerAfterAnswer = true;
          break;
        case hreBody:
          break;
        case hreComplete:
          FinishRequest(context, loop);
          break;
        case hreRefused:
          AnswerAndClose(*loop.Response, loop.Reader.RefusalStatus());
          loop.CloseAfterAnswer = true;
          if (loop.Reader.RequestLineUnparsable())
            loop.FailureAfterAnswer = std::make_exception_ptr(EIdHTTPErrorParsingCommand());  // RFC 9112 3
          else
            loop.LingerAfterAnswer = true;
          break;
      }
    } catch (const ERequestRefused& e) {
      AnswerAndClose(*loop.Response, e.Status());
      loop.CloseAfterAnswer = loop.LingerAfterAnswer = true;
    }
  }
}

void TIdCustomHTTPServer::BeginRequest(TIdContext* context, TIdHTTPRequestLoop& loop) {
  loop.Request = std::make_unique<TIdHTTPRequestInfo>();
  loop.Response = std::make_unique<TIdHTTPResponseInfo>(this, loop.Request.get(), context->Connection());
  loop.Response->SetSink(&loop.Sink);
  loop.Response->SetServerSoftware(std::string(Trim(FServerSoftware)));
  loop.Reservation = std::make_unique<TIdBodyReservation>(FBufferedBodyBytes, FMaximumBufferedBodySize);
  if (loop.FirstByteAt == Clock::time_point{})
    loop.FirstByteAt = Clock::now();
}

// The head becomes the request record and is judged: the application's say,
// the Host rule, then (unless the reader refuses the body) the Expect field.
bool TIdCustomHTTPServer::TakeHead(TIdContext* context, TIdHTTPRequestLoop& loop) {
  TIdHTTPRequestInfo& request = *loop.Request;
  TIdHTTPResponseInfo& response = *loop.Response;
  for (std::string& line : loop.Reader.Headers().TakeLines())
    request.RawHeaders().Add(std::move(line));
  const std::string target = ApplyRequestLine(loop.Reader.RequestLine(), request);
  request.ProcessHeaders();
  response.SetCloseConnection(ClosesConnection(FKeepAlive, request));
  request.SetRemoteIP(context->Connection()->Socket() ? context->Connection()->Socket()->Binding()->PeerIP() : "");
  ApplyRequestTarget(target, request);
  loop.HeadRead = true;
  if (!CheckHeaders(context, request, response))
    return false;
  if (loop.Reader.BodyRefusal() != 0)
    return true;  // the next feed reports it
  const TIdRequestFraming& framing = loop.Reader.Framing();
  // RFC 9112 6.1: the framing of an HTTP/1.0 message with a transfer coding is faulty.
  if (framing.Framing == bfChunked && !request.IsVersionAtLeast(1, 1))
    response.SetCloseConnection(true);
  if (!CheckExpectation(context, loop))
    return false;
  if (framing.Framing != bfNone) {
    loop.Body = NewPostStream(context, request);
    loop.BodyDeadline.emplace(FBodyTimeOut, FBodyMinimumRate);
  }
  return true;
}

// Body octets are counted in the server-wide budget before they are kept:
// memory grows with what the client really sends, never with what it declares.
void TIdCustomHTTPServer::TakeBody(TIdHTTPRequestLoop& loop, std::span<const uint8_t> octets) {
  const auto count = static_cast<int64_t>(octets.size());
  if (!loop.Reservation->Reserve(count))
    throw ERequestRefused(503);  // RFC 9110 15.6.4: a passing overload
  loop.BodyDeadline->Received(count);
  loop.Body->WriteBuffer(octets.data(), count);
}

// Serves the request read whole and queues its answer; the loop then waits
// for it to go before the next request.
void TIdCustomHTTPServer::FinishRequest(TIdContext* context, TIdHTTPRequestLoop& loop) {
  TIdHTTPRequestInfo& request = *loop.Request;
  TIdHTTPResponseInfo& response = *loop.Response;
  if (loop.Body) {
    loop.Body->SetPosition(0);
    request.SetPostStream(std::move(loop.Body));
  }
  DecodeAndDispatch(context, request, response, true);
  try {
    WriteAnswer(response);
  } catch (const EIdHTTPContentLengthMismatch&) {
    loop.FailureAfterAnswer = std::current_exception();  // what was announced goes out, then the loop ends and reports
  }
  ReleasePostStream(context, request);
  loop.CloseAfterAnswer = loop.FailureAfterAnswer || response.CloseConnection();
  loop.Response.reset();
  loop.Request.reset();
  loop.Reservation.reset();
  loop.BodyDeadline.reset();
  loop.HeadRead = false;
  loop.FirstByteAt = {};
}

void TIdCustomHTTPServer::DecodeAndDispatch(TIdContext* context, TIdHTTPRequestInfo& request,
                                            TIdHTTPResponseInfo& response, bool parseCredentials) {
  DecodeParams(context, request);
  std::vector<std::string> cookieLines;
  request.RawHeaders().Extract("Cookie", cookieLines);
  for (const std::string& cookieLine : cookieLines)
    request.Cookies().AddClientCookies(cookieLine, FMaximumCookieCount);
  Dispatch(context, request, response, parseCredentials);
}

void TIdCustomHTTPServer::WriteAnswer(TIdHTTPResponseInfo& response) {
  if (!response.HeaderHasBeenWritten())
    response.WriteHeader();
  if (!response.ContentText().empty() || response.ContentStream())
    response.WriteContent();
}

void TIdCustomHTTPServer::ServeRequest(TIdContext* context, TIdHTTPRequestInfo& request,
                                       TIdHTTPResponseInfo& response) {
  DecodeAndDispatch(context, request, response, false);
  WriteAnswer(response);
  ReleasePostStream(context, request);
}

void TIdCustomHTTPServer::AnswerAndClose(TIdHTTPResponseInfo& response, int status) {
  response.SetResponseNo(status);
  response.SetCloseConnection(true);
  response.WriteContent();
}

bool TIdCustomHTTPServer::CheckHeaders(TIdContext* context, TIdHTTPRequestInfo& request,
                                       TIdHTTPResponseInfo& response) {
  if (!DoHeadersAvailable(context, request.URI(), request.RawHeaders())) {
    int status = 403;
    std::string text;
    std::string content;
    if (OnHeadersBlocked)
      OnHeadersBlocked(context, request.RawHeaders(), status, text, content);
    response.SetResponseNo(status);
    if (!text.empty())
      response.SetResponseText(text);
    response.SetContentText(content);
    response.SetCloseConnection(true);
    response.WriteContent();
    return false;
  }
  // RFC 9112 3.2: an HTTP/1.1 request has exactly one Host field, whatever its
  // target says; no request has two.
  std::vector<std::string> hosts;
  request.RawHeaders().Extract("Host", hosts);
  if (hosts.size() > 1 || (request.IsVersionAtLeast(1, 1) && (hosts.empty() || Trim(hosts[0]).empty())))
    throw ERequestRefused(400);
  return true;
}

bool TIdCustomHTTPServer::CheckExpectation(TIdContext* context, TIdHTTPRequestLoop& loop) {
  TIdHTTPRequestInfo& request = *loop.Request;
  TIdIOHandler& io = *context->Connection()->IOHandler();
  if (!request.IsVersionAtLeast(1, 1) || !io.InputBufferIsEmpty() || request.RawHeaders().IndexOfName("Expect") < 0)
    return true;
  const std::string expect = request.RawHeaders().GetValue("Expect");
  if (!DoHeaderExpectations(context, expect)) {
    AnswerAndClose(*loop.Response, 417);
    return false;
  }
  // RFC 9110 10.1.1: tell the client to send the body.
  if (LowerCase(expect).find("100-continue") != std::string::npos)
    loop.Sink.WriteContinue();
  return true;
}

std::unique_ptr<TStream> TIdCustomHTTPServer::NewPostStream(TIdContext* context, TIdHTTPRequestInfo& request) {
  std::unique_ptr<TStream> stream;
  if (OnCreatePostStream)
    OnCreatePostStream(context, request.RawHeaders(), stream);
  if (!stream)
    stream = std::make_unique<TMemoryStream>();
  return stream;
}

void TIdCustomHTTPServer::ReleasePostStream(TIdContext* context, TIdHTTPRequestInfo& request) {
  if (!request.PostStream())
    return;
  bool canFree = true;
  if (OnDoneWithPostStream)
    OnDoneWithPostStream(context, &request, canFree);
  std::unique_ptr<TStream> stream = request.TakePostStream();
  if (!canFree)
    stream.release();  // the handler keeps it
}

// A form body becomes FormParams and the body stream is let go at once, so the
// body is held twice at most (as FormParams and UnparsedParams).
void TIdCustomHTTPServer::DecodeParams(TIdContext* context, TIdHTTPRequestInfo& request) {
  const bool formBody =
      request.PostStream() && TextIsSame(ExtractHeaderItem(request.ContentType()), "application/x-www-form-urlencoded");
  if (formBody) {
    request.SetFormParams(BodyAs8BitText(*request.PostStream()));
    ReleasePostStream(context, request);
  }
  std::string unparsed = request.FormParams();
  if (!request.QueryParams().empty())
    unparsed += (unparsed.empty() ? "" : "&") + request.QueryParams();
  request.SetUnparsedParams(std::move(unparsed));
  if (FParseParams)
    request.SplitParams(formBody ? request.UnparsedParams() : request.QueryParams(), FMaximumParamCount);
}

bool TIdCustomHTTPServer::DoParseAuthentication(TIdContext* AContext, const std::string& AAuthType,
                                                const std::string& AAuthData, std::string& VUsername,
                                                std::string& VPassword) {
  bool handled = false;
  if (OnParseAuthentication)
    OnParseAuthentication(AContext, AAuthType, AAuthData, VUsername, VPassword, handled);
  if (!handled && TextIsSame(AAuthType, "Basic")) {
    const std::string decoded = TIdDecoderMIME::DecodeString(AAuthData, &IdTextEncoding(tek8Bit));
    const size_t colon = decoded.find(':');
    VUsername = decoded.substr(0, colon);
    VPassword = colon == std::string::npos ? "" : decoded.substr(colon + 1);
    handled = true;
  }
  return handled;
}

bool TIdCustomHTTPServer::ParseCredentials(TIdContext* context, TIdHTTPRequestInfo& request) {
  if (request.RawHeaders().IndexOfName("Authorization") < 0)
    return true;
  const std::string authorization = request.RawHeaders().GetValue("Authorization");
  const size_t space = authorization.find(' ');
  const std::string scheme = authorization.substr(0, space);
  const std::string data = space == std::string::npos ? "" : authorization.substr(space + 1);
  std::string user;
  std::string password;
  const bool handled = DoParseAuthentication(context, scheme, data, user, password);
  request.SetAuthExists(handled);
  if (handled) {
    request.SetAuthUsername(user);
    request.SetAuthPassword(password);
  }
  return handled;
}

void TIdCustomHTTPServer::Dispatch(TIdContext* context, TIdHTTPRequestInfo& request, TIdHTTPResponseInfo& response,
                                   bool parseCredentials) {
  try {
    if (parseCredentials && !ParseCredentials(context, request))
      throw EIdHTTPUnsupportedAuthorisationScheme();
    if (!DoSessionStep(context, &request, &response))
      return;
    const THTTPCommandType type = request.CommandType();
    if (type == hcHEAD || type == hcGET || type == hcPOST)
      DoCommandGet(context, &request, &response);
    else
      DoCommandOther(context, &request, &response);
  } catch (const EIdSocketError&) {
    throw;
  } catch (const EIdHTTPUnsupportedAuthorisationScheme& e) {
    response.SetResponseNo(401);
    response.SetContentText(e.what());
    bool hasBasic = false;
    for (const auto& challenge : response.WWWAuthenticate().Lines())
      hasBasic = hasBasic || TextStartsWith(challenge, "Basic");
    if (!hasBasic)
      response.WWWAuthenticate().Add("Basic");
  } catch (const std::exception& e) {
    response.SetResponseNo(500);
    response.SetContentText(e.what());
    DoCommandError(context, &request, &response, e);
  }
}

void TIdCustomHTTPServer::DoCommandGet(TIdContext* AContext, TIdHTTPRequestInfo* ARequestInfo,
                                       TIdHTTPResponseInfo* AResponseInfo) {
  if (OnCommandGet)
    OnCommandGet(AContext, ARequestInfo, AResponseInfo);
}

void TIdCustomHTTPServer::DoCommandOther(TIdContext* AContext, TIdHTTPRequestInfo* ARequestInfo,
                                         TIdHTTPResponseInfo* AResponseInfo) {
  if (OnCommandOther)
    OnCommandOther(AContext, ARequestInfo, AResponseInfo);
}

void TIdCustomHTTPServer::DoCommandError(TIdContext* AContext, TIdHTTPRequestInfo* ARequestInfo,
                                         TIdHTTPResponseInfo* AResponseInfo, const std::exception& AException) {
  if (OnCommandError)
    OnCommandError(AContext, ARequestInfo, AResponseInfo, AException);
}

bool TIdCustomHTTPServer::DoHeadersAvailable(TIdContext* AContext, const std::string& AUri, TIdHeaderList& AHeaders) {
  bool continueProcessing = true;
  if (OnHeadersAvailable)
    OnHeadersAvailable(AContext, AUri, AHeaders, continueProcessing);
  return continueProcessing;
}

bool TIdCustomHTTPServer::DoHeaderExpectations(TIdContext* AContext, const std::string& AExpectations) {
  bool continueProcessing = TextIsSame(AExpectations, "100-continue");
  if (OnHeaderExpectations)
    OnHeaderExpectations(AContext, AExpectations, continueProcessing);
  return continueProcessing;
}

bool TIdCustomHTTPServer::DoSessionStep(TIdContext* AContext, TIdHTTPRequestInfo* ARequestInfo,
                                        TIdHTTPResponseInfo* AResponseInfo) {
  TIdHTTPSessionPtr session;
  const bool continueProcessing =
      RunHTTPSessionStep(SessionSettings(), SessionExchange(AContext, ARequestInfo, AResponseInfo), session);
  ARequestInfo->SetSession(session);
  AResponseInfo->SetSession(session);
  return continueProcessing;
}

}  // namespace zal
