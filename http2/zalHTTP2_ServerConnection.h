#pragma once
// TzalHTTP2_ServerConnection: an HTTP/2 connection of the server component. Its
// session reads the frames; each complete request is mapped onto the request and
// response records the HTTP/1.1 side uses, served by the same handler, and its
// answer is framed as HEADERS and DATA on the request's stream.
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "http/zalIdCustomHTTPServer.h"
#include "http2/zalHTTP2_ServerSession.h"

namespace zal {

class TIdContext;

class TzalHTTP2_ServerConnection {
public:
  // aWrite appends whole frames to the connection's one writer, from any thread,
  // and aQueued tells how many octets it holds; the owner flushes it. aTLS tells
  // the ":scheme" of pushes.
  TzalHTTP2_ServerConnection(TIdCustomHTTPServer& aServer, TIdContext* aContext,
                             const TzalHTTP2SessionSettings& aSettings, bool aTLS,
                             std::function<void(TIdBytes&&)> aWrite, std::function<uint64_t()> aQueued);

  // The server's SETTINGS (the octets that followed the client's preface come
  // with DoHTTP2Read).
  void DoHTTP2Start() { FSession.Start(); }
  // Received octets (and the pushed requests they led to).
  void DoHTTP2Read(std::span<const uint8_t> aOctets);
  // Between reads, on the owning thread: sends what other threads asked for and
  // checks the output for a stall (then Closed()).
  void Tick();
  // How long the owner may wait for octets before Tick is due (-1: no limit).
  int MillisecondsToNextTick();
  // On the owning thread: DATA held back waits for the writer to drain, then
  // ResumeOutput frames the next of it.
  bool OutputHeldBack() { return FSession.OutputHeldBack(); }
  void ResumeOutput() { FSession.ResumeOutput(); }
  // GOAWAY has been sent: the owner disconnects.
  bool Closed() const { return FSession.Closed(); }
  TzalHTTP2_ServerSession& Session() { return FSession; }

  // The connection's own answers (SendResponse, SendResponseCode, SendRedirect):
  // on the given stream, or on the stream being dispatched when it is 0. The
  // response record of that dispatch is then not written. Outside a dispatch
  // there is no stream to answer: EIdException. Any thread: the frames are
  // queued for the owner to send.
  void WriteStream(TStream& aStream, const std::string& aContentType, int32_t aStreamIdentifier = 0);
  void WriteStatus(int aCode);
  void WriteRedirect(const std::string& aURL);
  // From any thread; the owning thread sends them at its next Tick. The PING
  // carries the id; its acknowledgement raises OnPingAnswered with it.
  void Ping(uint64_t aPingId);
  void Close(Th2ErrorCodes aErrorCode);
  // A graceful end: GOAWAY, the streams taken are finished, then Closed().
  void Drain() { FSession.PostDrain(); }
  std::function<void(uint64_t aPingId)> OnPingAnswered;
  // The paths a GET of a document pushes (the preload-link list); pushed answers
  // push nothing further.
  std::function<std::vector<std::string>(const std::string& aDocument)> OnPreloadLinks;
  // Offered every request line (":method :path HTTP/2") before the handler;
  // true when the component answered it on that stream itself.
  std::function<bool(const std::string& aRequestLine, int32_t aStreamIdentifier)> OnBuiltInResource;
  // The credentials step of a request whose record is filled: false when the
  // request was answered by someone else (an OAuth2 provider's endpoint). It may
  // raise EIdHTTPUnsupportedAuthorisationScheme: the request's stream is then
  // answered 401 with the exception's challenge, GOAWAY follows and the exception
  // goes on to the owner, which closes the connection. Unassigned: the server's
  // credential parsing, where a scheme nobody understands is not marked present.
  std::function<bool(TIdHTTPRequestInfo& aRequestInfo, const TzalHTTP2HeaderLines& aHeaders)> OnAuthorizeRequest;

private:
  void DoHTTP2Request(TzalHTTP2ServerRequest& aRequest);
  void FillRequestInfo(const TzalHTTP2ServerRequest& aRequest, TIdHTTPRequestInfo& aRequestInfo) const;
  bool Authorized(const TzalHTTP2ServerRequest& aRequest, TIdHTTPRequestInfo& aRequestInfo);
  int32_t StreamToAnswer(int32_t aStreamIdentifier);

  TIdCustomHTTPServer& FServer;
  TIdContext* FContext;
  bool FTLS;
  TzalHTTP2_ServerSession FSession;
  bool FAnsweredDirectly = false;  // the dispatched stream was answered by WriteStream/Status/Redirect
};

}  // namespace zal
