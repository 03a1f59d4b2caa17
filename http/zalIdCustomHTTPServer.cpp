#include "http/zalIdCustomHTTPServer.h"

#include <algorithm>

#include "http/zalIdHTTPRequestParser.h"
#include "support/zalHelpers.h"
#include "support/zalIdCoderMIME.h"
#include "transport/zalIdIOHandler.h"
#include "transport/zalIdIOHandlerSocket.h"
#include "transport/zalIdStack.h"
#include "transport/zalIdTCPConnection.h"

namespace zal {

namespace {

// Copies exactly `count` body bytes into `stream` as they arrive: memory grows
// with what the client really sends, never with what it declares.
void CopyBodyBytes(TIdIOHandler& io, TStream& stream, int64_t count) {
  while (count > 0) {
    if (io.InputBufferIsEmpty())
      io.FillInputBuffer(true, IdTimeoutDefault, true);
    const int64_t available = std::min<int64_t>(count, io.InputBuffer().Size());
    io.InputBuffer().ExtractToStream(stream, static_cast<int>(available));
    count -= available;
  }
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

void TIdCustomHTTPServer::RunRequestLoop(TIdContext* context) {
  TIdTCPConnection* connection = context->Connection();
  try {
    while (HandleOneRequest(context)) {
    }
  } catch (const std::exception& e) {
    connection->Disconnect(false);
    if (!IsQuietEnd(e))
      throw;
    return;
  }
  connection->Disconnect(false);
}

bool TIdCustomHTTPServer::HandleOneRequest(TIdContext* context) {
  TIdTCPConnection* connection = context->Connection();
  TIdIOHandler& io = *connection->IOHandler();
  const std::string line = io.ReadLn();
  if (io.ReadLnTimedOut())
    throw EIdReadTimeout();
  if (line.find(' ') == std::string::npos)
    throw EIdHTTPErrorParsingCommand();

  TIdHTTPRequestInfo request;
  TIdHTTPResponseInfo response(this, &request, connection);
  response.SetServerSoftware(std::string(Trim(FServerSoftware)));

  // The header block, at most MaximumHeaderLineCount lines.
  TIdStrings headerLines;
  io.SetMaxCapturedLines(FMaximumHeaderLineCount);
  io.Capture(headerLines, "", false);
  for (auto& headerLine : headerLines)
    request.RawHeaders().Add(std::move(headerLine));
  const std::string target = ApplyRequestLine(line, request);
  request.ProcessHeaders();
  response.SetCloseConnection(ClosesConnection(FKeepAlive, request));
  request.SetRemoteIP(connection->Socket() ? connection->Socket()->Binding()->PeerIP() : "");
  ApplyRequestTarget(target, request);

  if (!CheckHeaders(context, request, response) || !ReadBody(context, request, response))
    return false;
  DecodeAndDispatch(context, request, response);

  io.WriteBufferOpen(io.SendBufferSize());
  try {
    WriteAnswer(response);
    io.WriteBufferClose();
  } catch (...) {
    io.WriteBufferCancel();
    throw;
  }
  ReleasePostStream(context, request);
  return !response.CloseConnection();
}

void TIdCustomHTTPServer::DecodeAndDispatch(TIdContext* context, TIdHTTPRequestInfo& request,
                                            TIdHTTPResponseInfo& response) {
  DecodeParams(context, request);
  std::vector<std::string> cookieLines;
  request.RawHeaders().Extract("Cookie", cookieLines);
  for (const std::string& cookieLine : cookieLines)
    request.Cookies().AddClientCookies(cookieLine);
  Dispatch(context, request, response);
}

void TIdCustomHTTPServer::WriteAnswer(TIdHTTPResponseInfo& response) {
  if (!response.HeaderHasBeenWritten())
    response.WriteHeader();
  if (!response.ContentText().empty() || response.ContentStream())
    response.WriteContent();
}

void TIdCustomHTTPServer::ServeRequest(TIdContext* context, TIdHTTPRequestInfo& request,
                                       TIdHTTPResponseInfo& response) {
  DecodeAndDispatch(context, request, response);
  WriteAnswer(response);
  ReleasePostStream(context, request);
}

void TIdCustomHTTPServer::AnswerAndClose(TIdHTTPResponseInfo& response, int status) {
  response.SetResponseNo(status);
  response.SetCloseConnection(true);
  response.WriteHeader();
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
    response.WriteHeader();
    if (!content.empty())
      response.WriteContent();
    return false;
  }
  if (request.IsVersionAtLeast(1, 1)) {
    // RFC 7230 5.4: an HTTP/1.1 request must carry Host.
    if (request.Host().empty()) {
      AnswerAndClose(response, 400);
      return false;
    }
    TIdIOHandler& io = *context->Connection()->IOHandler();
    const std::string expect = request.RawHeaders().GetValue("Expect");
    if (io.InputBufferIsEmpty() && request.RawHeaders().IndexOfName("Expect") >= 0) {
      if (!DoHeaderExpectations(context, expect)) {
        AnswerAndClose(response, 417);
        return false;
      }
      // RFC 7231 5.1.1: tell the client to send the body.
      if (LowerCase(expect).find("100-continue") != std::string::npos)
        io.Write(request.Version() + " 100 Continue\r\n\r\n");
    }
  }
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

bool TIdCustomHTTPServer::ReadBody(TIdContext* context, TIdHTTPRequestInfo& request, TIdHTTPResponseInfo& response) {
  TIdIOHandler& io = *context->Connection()->IOHandler();
  const std::string& encoding = request.TransferEncoding();
  if (encoding.empty() || TextIsSame(encoding, "identity")) {
    const std::optional<int64_t> length = DeclaredContentLength(request.RawHeaders());
    if (length && *length < 0) {  // a length that cannot be trusted frames nothing
      AnswerAndClose(response, 400);
      return false;
    }
    if (length) {
      auto stream = NewPostStream(context, request);
      CopyBodyBytes(io, *stream, *length);
      stream->SetPosition(0);
      request.SetPostStream(std::move(stream));
    } else if (request.CommandType() == hcPOST || request.CommandType() == hcPUT) {
      if (!io.InputBufferIsEmpty() || io.CheckForDataOnSource(1)) {
        AnswerAndClose(response, 411);
        return false;
      }
    }
    return true;
  }
  if (LowerCase(encoding).find("chunked") == std::string::npos) {
    AnswerAndClose(response, 400);
    return false;
  }
  auto stream = NewPostStream(context, request);
  try {
    ReadChunkedBody(io, *stream);
  } catch (const EIdHTTPErrorParsingCommand&) {
    AnswerAndClose(response, 400);
    return false;
  }
  stream->SetPosition(0);
  request.SetPostStream(std::move(stream));
  return true;
}

// RFC 7230 4.1: chunk-size line, data, CR LF, ... last chunk, trailer, empty line.
void TIdCustomHTTPServer::ReadChunkedBody(TIdIOHandler& io, TStream& stream) {
  for (;;) {
    const std::optional<int64_t> size = ChunkSizeOf(io.ReadLn());
    if (!size)
      throw EIdHTTPErrorParsingCommand();
    if (*size == 0)
      break;
    CopyBodyBytes(io, stream, *size);
    if (!io.ReadLn().empty())
      throw EIdHTTPErrorParsingCommand();
  }
  while (!io.ReadLn().empty()) {
  }
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

void TIdCustomHTTPServer::DecodeParams(TIdContext* context, TIdHTTPRequestInfo& request) {
  const bool formBody =
      request.PostStream() && TextIsSame(ExtractHeaderItem(request.ContentType()), "application/x-www-form-urlencoded");
  if (formBody) {
    TStream& body = *request.PostStream();
    TIdBytes bytes(static_cast<size_t>(body.Size()));
    body.SetPosition(0);
    body.Read(bytes.data(), static_cast<int64_t>(bytes.size()));
    request.SetFormParams(IdTextEncoding(tek8Bit).GetString(bytes));
    ReleasePostStream(context, request);
  }
  std::string unparsed = request.FormParams();
  if (!request.QueryParams().empty())
    unparsed += (unparsed.empty() ? "" : "&") + request.QueryParams();
  request.SetUnparsedParams(unparsed);
  if (FParseParams)
    request.SplitParams(formBody ? request.UnparsedParams() : request.QueryParams());
}

void TIdCustomHTTPServer::ParseAuthorization(TIdContext* context, TIdHTTPRequestInfo& request) {
  const std::string authorization = request.RawHeaders().GetValue("Authorization");
  if (request.RawHeaders().IndexOfName("Authorization") < 0)
    return;
  const size_t space = authorization.find(' ');
  const std::string scheme = authorization.substr(0, space);
  const std::string data = space == std::string::npos ? "" : authorization.substr(space + 1);
  std::string user;
  std::string password;
  bool handled = false;
  if (OnParseAuthentication)
    OnParseAuthentication(context, scheme, data, user, password, handled);
  if (!handled && TextIsSame(scheme, "Basic")) {
    const std::string decoded = TIdDecoderMIME::DecodeString(data, &IdTextEncoding(tek8Bit));
    const size_t colon = decoded.find(':');
    user = decoded.substr(0, colon);
    password = colon == std::string::npos ? "" : decoded.substr(colon + 1);
    handled = true;
  }
  request.SetAuthExists(handled);
  if (!handled)
    throw EIdHTTPUnsupportedAuthorisationScheme();
  request.SetAuthUsername(user);
  request.SetAuthPassword(password);
}

void TIdCustomHTTPServer::Dispatch(TIdContext* context, TIdHTTPRequestInfo& request, TIdHTTPResponseInfo& response) {
  try {
    ParseAuthorization(context, request);
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
