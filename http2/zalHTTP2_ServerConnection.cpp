#include "http2/zalHTTP2_ServerConnection.h"

#include <sys/stat.h>

#include <algorithm>
#include <utility>

#include "http/zalIdHTTPRequestParser.h"
#include "support/zalHelpers.h"
#include "transport/zalIdContext.h"
#include "transport/zalIdIOHandlerSocket.h"
#include "transport/zalIdTCPConnection.h"

namespace zal {

namespace {

// A file body read from where its stream stood, opened at the first read and
// closed with the source. The file opened again must be the one that was
// answered (same device and inode); another one ends the body early.
TzalHTTP2DataSource LazyFileSource(TFileStream& aFile) {
  struct stat identity {};
  ::fstat(aFile.Handle(), &identity);
  struct State {
    std::string Name;
    int64_t Position;
    dev_t Device;
    ino_t Inode;
    std::unique_ptr<TFileStream> File;
    bool Failed = false;
  };
  auto state = std::make_shared<State>(State{aFile.FileName(), aFile.Position(), identity.st_dev, identity.st_ino, nullptr});
  return [state](std::span<uint8_t> aBuffer) -> size_t {
    if (!state->File && !state->Failed) {
      try {
        state->File = std::make_unique<TFileStream>(state->Name, fmOpenRead | fmShareDenyNone);
      } catch (const std::exception&) {
      }
      struct stat now {};
      state->Failed = !state->File || ::fstat(state->File->Handle(), &now) != 0 || now.st_dev != state->Device ||
                      now.st_ino != state->Inode;
      if (!state->Failed)
        state->File->Seek(state->Position, soBeginning);
    }
    if (state->Failed)
      return 0;
    return static_cast<size_t>(
        std::max<int64_t>(state->File->Read(aBuffer.data(), static_cast<int64_t>(aBuffer.size())), 0));
  };
}

// The answer of one request goes out on its stream, unless the connection has
// answered that stream itself (aAnsweredDirectly).
class StreamSink : public TIdHTTPResponseSink {
public:
  StreamSink(TzalHTTP2_ServerSession& aSession, int32_t aStream, const bool& aAnsweredDirectly)
      : FSession(aSession), FStream(aStream), FAnsweredDirectly(aAnsweredDirectly) {}

  // Paths promised after the HEADERS of an answer with a body, before its DATA.
  void PushWith(std::vector<std::string> aLinks, std::string aAuthority, std::string aScheme) {
    FLinks = std::move(aLinks);
    FAuthority = std::move(aAuthority);
    FScheme = std::move(aScheme);
  }

  void WriteResponseHeader(int aStatus, const std::string&, const std::vector<std::string>& aLines,
                           bool aEndOfAnswer) override {
    if (FAnsweredDirectly)
      return;
    FHeaderSent = true;
    FSession.WriteHeaders(FStream, aStatus, aLines, aEndOfAnswer);
    // RFC 9113 8.4: a promise needs the stream still open on our side.
    if (!aEndOfAnswer)
      for (const std::string& link : FLinks)
        FSession.PushPromise(FStream, link, FAuthority, FScheme);
  }
  void WriteResponseBody(TIdBytes aOctets) override {
    if (FHeaderSent)
      FSession.WriteData(FStream, std::move(aOctets));
  }
  void WriteResponseStream(std::unique_ptr<TStream> aStream, int64_t aLength) override {
    if (!FHeaderSent)
      return;
    const auto length = static_cast<uint64_t>(std::max<int64_t>(aLength, 0));
    if (auto* file = dynamic_cast<TFileStream*>(aStream.get())) {
      // Its descriptor closes now; the file is opened again once the stream may
      // send, so streams waiting on closed windows hold no descriptor.
      FSession.WriteDataSource(FStream, LazyFileSource(*file), length);
      return;
    }
    std::shared_ptr<TStream> stream(std::move(aStream));
    FSession.WriteDataSource(
        FStream,
        [stream](std::span<uint8_t> aBuffer) {
          return static_cast<size_t>(std::max<int64_t>(stream->Read(aBuffer.data(), static_cast<int64_t>(aBuffer.size())), 0));
        },
        static_cast<uint64_t>(std::max<int64_t>(aLength, 0)));
  }
  bool HeaderSent() const { return FHeaderSent; }

private:
  TzalHTTP2_ServerSession& FSession;
  int32_t FStream;
  const bool& FAnsweredDirectly;
  bool FHeaderSent = false;
  std::vector<std::string> FLinks;
  std::string FAuthority, FScheme;
};

const std::string kServerLine = "server: zalWebSockets 4.4.6";

TzalHTTP2PingPayload PayloadOf(uint64_t aPingId) {
  TzalHTTP2PingPayload payload{};
  for (int i = 7; i >= 0; --i, aPingId >>= 8)
    payload[static_cast<size_t>(i)] = static_cast<uint8_t>(aPingId);
  return payload;
}

uint64_t PingIdOf(const TzalHTTP2PingPayload& aPayload) {
  uint64_t id = 0;
  for (uint8_t octet : aPayload)
    id = id << 8 | octet;
  return id;
}

}  // namespace

TzalHTTP2_ServerConnection::TzalHTTP2_ServerConnection(TIdCustomHTTPServer& aServer, TIdContext* aContext,
                                                       const TzalHTTP2SessionSettings& aSettings, bool aTLS,
                                                       std::function<void(TIdBytes&&)> aWrite,
                                                       std::function<uint64_t()> aQueued)
    : FServer(aServer), FContext(aContext), FTLS(aTLS), FSession(aSettings) {
  FSession.OnWrite = std::move(aWrite);
  FSession.OnQueuedOutput = std::move(aQueued);
  FSession.OnRequest = [this](TzalHTTP2_ServerSession&, TzalHTTP2ServerRequest& aRequest) { DoHTTP2Request(aRequest); };
  FSession.OnPingAnswered = [this](const TzalHTTP2PingPayload& aPayload) {
    if (OnPingAnswered)
      OnPingAnswered(PingIdOf(aPayload));
  };
}

void TzalHTTP2_ServerConnection::Tick() { FSession.Tick(static_cast<int64_t>(GetTickCount64())); }

int TzalHTTP2_ServerConnection::MillisecondsToNextTick() {
  const int64_t next = FSession.NextDeadline();
  if (next == 0)
    return -1;
  return static_cast<int>(std::clamp<int64_t>(next - static_cast<int64_t>(GetTickCount64()), 1, INT32_MAX));
}

void TzalHTTP2_ServerConnection::Ping(uint64_t aPingId) { FSession.PostPing(PayloadOf(aPingId)); }

void TzalHTTP2_ServerConnection::Close(Th2ErrorCodes aErrorCode) { FSession.PostGoAway(aErrorCode); }

// Under the session's lock, held by the caller: the stream being dispatched is
// the owner's to change.
int32_t TzalHTTP2_ServerConnection::StreamToAnswer(int32_t aStreamIdentifier) {
  const int32_t stream = aStreamIdentifier > 0 ? aStreamIdentifier : FSession.CurrentStream();
  if (stream <= 0)
    throw EIdException("No HTTP/2 stream is being answered.");
  if (stream == FSession.CurrentStream())
    FAnsweredDirectly = true;
  return stream;
}

void TzalHTTP2_ServerConnection::WriteStream(TStream& aStream, const std::string& aContentType,
                                             int32_t aStreamIdentifier) {
  std::lock_guard lock(FSession.Lock());
  const int32_t stream = StreamToAnswer(aStreamIdentifier);
  // The caller keeps and frees its stream: the rest of it is copied now.
  TIdBytes body(static_cast<size_t>(std::max<int64_t>(aStream.Size() - aStream.Position(), 0)));
  aStream.ReadBuffer(body.data(), static_cast<int64_t>(body.size()));
  FSession.WriteHeaders(stream, 200, {"cache-control: no-cache", "content-type: " + aContentType, kServerLine}, false);
  FSession.WriteData(stream, std::move(body));
}

void TzalHTTP2_ServerConnection::WriteStatus(int aCode) {
  std::lock_guard lock(FSession.Lock());
  FSession.WriteHeaders(StreamToAnswer(0), aCode, {kServerLine}, true);
}

void TzalHTTP2_ServerConnection::WriteRedirect(const std::string& aURL) {
  std::lock_guard lock(FSession.Lock());
  FSession.WriteHeaders(StreamToAnswer(0), 302, {"location: " + aURL, kServerLine}, true);
}

void TzalHTTP2_ServerConnection::DoHTTP2Read(std::span<const uint8_t> aOctets) { FSession.ReadBytes(aOctets); }

void TzalHTTP2_ServerConnection::FillRequestInfo(const TzalHTTP2ServerRequest& aRequest,
                                                 TIdHTTPRequestInfo& aRequestInfo) const {
  for (const std::string& line : aRequest.Headers) {
    if (line.empty() || line.front() == ':')
      continue;
    const size_t equals = line.find('=');
    aRequestInfo.RawHeaders().Add(line.substr(0, equals) + ": " + line.substr(equals + 1));
  }
  const std::string authority = aRequest.Value(":authority");
  if (!authority.empty() && aRequestInfo.RawHeaders().IndexOfName("Host") < 0)
    aRequestInfo.RawHeaders().Add("Host: " + authority);  // RFC 9113 8.3.1
  const std::string path = aRequest.Value(":path");
  ApplyRequestLine(aRequest.Value(":method") + " " + path + " HTTP/2", aRequestInfo);
  aRequestInfo.SetVersion("HTTP/2");
  aRequestInfo.SetVersionMajor(2);
  aRequestInfo.SetVersionMinor(0);
  aRequestInfo.ProcessHeaders();
  if (TIdIOHandlerSocket* socket = FContext ? FContext->Connection()->Socket() : nullptr)
    aRequestInfo.SetRemoteIP(socket->Binding()->PeerIP());
  ApplyRequestTarget(path, aRequestInfo);
  if (!aRequest.Body.empty()) {
    auto body = std::make_unique<TMemoryStream>();
    body->Write(aRequest.Body.data(), static_cast<int64_t>(aRequest.Body.size()));
    body->SetPosition(0);
    aRequestInfo.SetPostStream(std::move(body));
  }
}

// A pushed request carries no credentials: it was promised in the answer to a
// request that passed this step.
bool TzalHTTP2_ServerConnection::Authorized(const TzalHTTP2ServerRequest& aRequest,
                                            TIdHTTPRequestInfo& aRequestInfo) {
  if (aRequest.Pushed)
    return true;
  if (OnAuthorizeRequest)
    return OnAuthorizeRequest(aRequestInfo, aRequest.Headers);
  FServer.ParseCredentials(FContext, aRequestInfo);
  return true;
}

void TzalHTTP2_ServerConnection::DoHTTP2Request(TzalHTTP2ServerRequest& aRequest) {
  TIdHTTPRequestInfo request;
  TIdHTTPResponseInfo response(&FServer, &request, FContext ? FContext->Connection() : nullptr);
  const bool answeredBefore = std::exchange(FAnsweredDirectly, false);
  struct Restore {
    bool& flag;
    bool value;
    ~Restore() { flag = value; }
  } restore{FAnsweredDirectly, answeredBefore};
  StreamSink sink(FSession, aRequest.StreamIdentifier, FAnsweredDirectly);
  response.SetSink(&sink);
  response.SetServerSoftware(FServer.ServerSoftware());
  try {
    // RFC 9113 8.5: a tunnel is not served here; only the extended CONNECT of
    // RFC 8441 (":protocol", when announced) reaches the handler.
    if (aRequest.Value(":method") == "CONNECT" && aRequest.Value(":protocol").empty()) {
      FSession.WriteHeaders(aRequest.StreamIdentifier, 405, {"allow: GET, HEAD, POST, PUT, DELETE, OPTIONS", kServerLine},
                            true);
      return;
    }
    if (OnBuiltInResource &&
        OnBuiltInResource(aRequest.Value(":method") + " " + aRequest.Value(":path") + " HTTP/2", aRequest.StreamIdentifier))
      return;
    FillRequestInfo(aRequest, request);
    if (!Authorized(aRequest, request))
      return;
    if (OnPreloadLinks && !aRequest.Pushed && request.CommandType() == hcGET)
      sink.PushWith(OnPreloadLinks(request.Document()), aRequest.Value(":authority"), FTLS ? "https" : "http");
    if (aRequest.BodyTooLarge) {
      response.SetResponseNo(413);
      TIdCustomHTTPServer::WriteAnswer(response);
      return;
    }
    FServer.ServeRequest(FContext, request, response);
  } catch (const EIdHTTPUnsupportedAuthorisationScheme& e) {
    // RFC 9110 15.5.2: a 401 carries a challenge.
    FSession.WriteHeaders(aRequest.StreamIdentifier, 401, {"www-authenticate: " + e.Challenge(), kServerLine}, true);
    FSession.GoAway(h2erNO_ERROR);
    throw;
  } catch (const std::exception& e) {
    // The stream fails, the connection and its other streams go on.
    if (sink.HeaderSent() || FAnsweredDirectly) {
      FSession.ResetStream(aRequest.StreamIdentifier, h2erINTERNAL_ERROR);
      return;
    }
    TIdHTTPResponseInfo failure(&FServer, &request, nullptr);
    failure.SetSink(&sink);
    failure.SetResponseNo(500);
    failure.SetContentText(e.what());
    TIdCustomHTTPServer::WriteAnswer(failure);
  }
}

}  // namespace zal
