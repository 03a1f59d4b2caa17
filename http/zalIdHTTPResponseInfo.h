#pragma once
// TIdHTTPResponseInfo: the answer to one HTTP request. The handler fills it;
// WriteHeader and WriteContent hand it to the connection's response sink.
#include <memory>
#include <optional>
#include <string>

#include "http/zalIdCookie.h"
#include "http/zalIdHTTPHeaderInfo.h"
#include "http/zalIdHTTPRequestInfo.h"
#include "support/zalStream.h"

namespace zal {

class TIdContext;
class TIdCustomHTTPServer;
class TIdHTTPSession;
class TIdTCPConnection;

// The body a handler gave differs in size from the Content-Length its answer
// announced. Exactly the announced octets (or all there were) have been sent;
// the connection must end, since a client cannot tell where the answer stops.
class EIdHTTPContentLengthMismatch : public EIdException {
public:
  EIdHTTPContentLengthMismatch(int64_t announced, int64_t given)
      : EIdException("The answer announced a Content-Length of " + std::to_string(announced) +
                     " octets; its body has " + std::to_string(given) + ".") {}
};

// The reason phrase of a status code ("Unknown Response Code" for unlisted ones).
std::string HTTPStatusText(int code);
// The page sent for a response without a body.
std::string GeneratedPage(int code, const std::string& text);
// The octets of a text body in a charset; an empty or unknown charset takes the
// low 8 bits of every UTF-16 unit.
TIdBytes EncodeContentText(const std::string& text, const std::string& charset);

// Where an answer goes: the HTTP/1.1 octets on the connection's writer, or the
// frames of an HTTP/2 stream. The response record completes the answer the same
// way for both and hands over its parts in order.
class TIdHTTPResponseSink {
public:
  virtual ~TIdHTTPResponseSink() = default;
  // Status, reason phrase and header lines ("Name: value", one Set-Cookie line
  // per cookie); aEndOfAnswer when no body follows.
  virtual void WriteResponseHeader(int aStatus, const std::string& aReason, const std::vector<std::string>& aLines,
                                   bool aEndOfAnswer) = 0;
  // The whole body as octets.
  virtual void WriteResponseBody(TIdBytes aOctets) = 0;
  // aLength octets of aStream from its start, read in pieces; the sink owns it now.
  virtual void WriteResponseStream(std::unique_ptr<TStream> aStream, int64_t aLength) = 0;
};

class TIdHTTPResponseInfo : public TIdResponseHeaderInfo {
public:
  TIdHTTPResponseInfo(TIdCustomHTTPServer* server, TIdHTTPRequestInfo* request, TIdTCPConnection* connection);
  ~TIdHTTPResponseInfo() override;
  TIdHTTPResponseInfo(const TIdHTTPResponseInfo&) = delete;
  TIdHTTPResponseInfo& operator=(const TIdHTTPResponseInfo&) = delete;

  int ResponseNo() const { return FResponseNo; }
  // Sets the status and its reason phrase; 404 also closes the connection.
  void SetResponseNo(int value);
  const std::string& ResponseText() const { return FResponseText; }
  void SetResponseText(const std::string& value) { FResponseText = value; }
  bool CloseConnection() const { return FCloseConnection; }
  // Also sets the "Connection" value: "close" or "keep-alive".
  void SetCloseConnection(bool value);
  const std::string& ContentText() const { return FContentText; }
  void SetContentText(const std::string& value) {
    FContentText = value;
    FEncodedContent.reset();
  }
  TStream* ContentStream() const { return FContentStream; }
  // The stream is freed after writing (or with the record) while FreeContentStream is set.
  void SetContentStream(TStream* stream);
  void SetContentStream(std::unique_ptr<TStream> stream);
  bool FreeContentStream() const { return FFreeContentStream; }
  void SetFreeContentStream(bool value) { FFreeContentStream = value; }
  bool HeaderHasBeenWritten() const { return FHeaderHasBeenWritten; }
  const std::string& AuthRealm() const { return FAuthRealm; }
  void SetAuthRealm(const std::string& value) { FAuthRealm = value; }
  const std::string& ServerSoftware() const { return FServer; }
  void SetServerSoftware(const std::string& value) { FServer = value; }
  TIdCustomHTTPServer* HTTPServer() const { return FHTTPServer; }
  TIdHTTPRequestInfo* RequestInfo() const { return FRequestInfo; }
  // Where the answer goes; set before it is written.
  void SetSink(TIdHTTPResponseSink* value) { FSink = value; }
  // Cookies to set, one "Set-Cookie" line each.
  TIdCookies& Cookies() { return FCookies; }
  const TIdCookies& Cookies() const { return FCookies; }
  // The request's session, or nullptr.
  TIdHTTPSession* Session() const { return FSession.get(); }
  const std::shared_ptr<TIdHTTPSession>& SessionRef() const { return FSession; }
  void SetSession(std::shared_ptr<TIdHTTPSession> session) { FSession = std::move(session); }
  // Ends the session: the response then only carries an expired, empty session cookie.
  void CloseSession();

  // Status 302 to `AURL`.
  void Redirect(const std::string& AURL);
  // Completes and writes the status line and header block, once.
  void WriteHeader();
  // Writes the header when still needed, then the body, and releases it.
  void WriteContent();
  // Answers with a file; returns the bytes sent.
  int64_t ServeFile(TIdContext* AContext, const std::string& AFile);
  // As ServeFile, but 304 when the request's If-Modified-Since matches the file's
  // time, and 404 when there is no such file.
  int64_t SmartServeFile(TIdContext* AContext, TIdHTTPRequestInfo* ARequestInfo, const std::string& AFile);

protected:
  // No body is sent for HEAD requests and for 1xx, 204 and 304 answers.
  bool BodyIsOmitted() const;
  bool IsHeadRequest() const;
  void ReleaseContentStream();
  // Fills in what the handler left open: challenge, content type, length, date.
  void CompleteHeader();

  TIdCustomHTTPServer* FHTTPServer;
  TIdHTTPRequestInfo* FRequestInfo;
  TIdTCPConnection* FTCPConnection;  // the connection the request came on
  TIdCookies FCookies;
  std::shared_ptr<TIdHTTPSession> FSession;
  std::string FAuthRealm;
  int FResponseNo = 200;
  std::string FResponseText = "OK";
  std::string FContentText;
  // The content text in its charset, kept from measuring its length in the
  // header until the body is written, so that a large text is encoded once.
  std::optional<TIdBytes> FEncodedContent;
  TStream* FContentStream = nullptr;
  bool FCloseConnection = false;
  bool FFreeContentStream = true;
  bool FHeaderHasBeenWritten = false;
  TIdHTTPResponseSink* FSink = nullptr;

private:
  // The content's octets: those encoded for the header's length if any, else `text` encoded now.
  TIdBytes TakeEncodedContent(const std::string& text);
  TIdHTTPResponseSink& Sink() const;
  // The body to the sink: the content text or the stream, no more than announced.
  void WriteBody();
};

}  // namespace zal
