#include "http/zalIdHTTPResponseInfo.h"

#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <utility>

#include "http/zalIdCustomHTTPServer.h"
#include "support/zalHelpers.h"
#include "transport/zalIdIOHandler.h"

namespace zal {

namespace {

// Files whose time differs from If-Modified-Since by less than this are unchanged.
constexpr auto kFileTimeTolerance = std::chrono::seconds(2);

std::string FileNameOnly(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string HTTPStatusText(int code) {
  switch (code) {
    case 100: return "Continue";
    case 200: return "OK";
    case 201: return "Created";
    case 202: return "Accepted";
    case 203: return "Non-authoritative Information";
    case 204: return "No Content";
    case 205: return "Reset Content";
    case 206: return "Partial Content";
    case 301: return "Moved Permanently";
    case 302: return "Moved Temporarily";
    case 303: return "See Other";
    case 304: return "Not Modified";
    case 305: return "Use Proxy";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method not allowed";
    case 406: return "Not Acceptable";
    case 407: return "Proxy Authentication Required";
    case 408: return "Request Timeout";
    case 409: return "Conflict";
    case 410: return "Gone";
    case 411: return "Length Required";
    case 412: return "Precondition Failed";
    case 413: return "Request Entity Too Long";
    case 414: return "URI Too Long";  // RFC 9110 15.5.15
    case 415: return "Unsupported Media Type";
    case 417: return "Expectation Failed";
    case 428: return "Precondition Required";
    case 429: return "Too Many Requests";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway timeout";
    case 505: return "HTTP version not supported";
    case 511: return "Network Authentication Required";
    default: return "Unknown Response Code";
  }
}

std::string GeneratedPage(int code, const std::string& text) {
  return "<HTML><BODY><B>" + std::to_string(code) + " " + text + "</B></BODY></HTML>";
}

TIdBytes EncodeContentText(const std::string& text, const std::string& charset) {
  if (const IIdTextEncoding* encoding = EncodingOfCharSet(charset))
    return encoding->GetBytes(text);
  TIdBytes bytes;
  bytes.reserve(text.size());
  for (size_t pos = 0; pos < text.size();) {
    const char32_t cp = NextUTF8CodePoint(text, pos);
    if (cp > 0xFFFF) {  // a surrogate pair: two UTF-16 units
      const char32_t v = cp - 0x10000;
      bytes.push_back(static_cast<uint8_t>((0xD800 + (v >> 10)) & 0xFF));
      bytes.push_back(static_cast<uint8_t>((0xDC00 + (v & 0x3FF)) & 0xFF));
    } else {
      bytes.push_back(static_cast<uint8_t>(cp & 0xFF));
    }
  }
  return bytes;
}

TIdHTTPResponseInfo::TIdHTTPResponseInfo(TIdCustomHTTPServer* server, TIdHTTPRequestInfo* request,
                                         TIdTCPConnection* connection)
    : FHTTPServer(server), FRequestInfo(request), FTCPConnection(connection) {
  FServer = "zalIdHTTP/1.0";
  FRawHeaders.SetFoldLines(false);
  FCustomHeaders.SetFoldLines(false);
  FRawHeaders.SetFoldLinesLength(2147483647);
  FCustomHeaders.SetFoldLinesLength(2147483647);
}

TIdHTTPResponseInfo::~TIdHTTPResponseInfo() { ReleaseContentStream(); }

void TIdHTTPResponseInfo::SetResponseNo(int value) {
  FResponseNo = value;
  FResponseText = HTTPStatusText(value);
  if (value == 404)
    SetCloseConnection(true);
}

void TIdHTTPResponseInfo::SetCloseConnection(bool value) {
  FCloseConnection = value;
  FConnection = value ? "close" : "keep-alive";
}

void TIdHTTPResponseInfo::SetContentStream(TStream* stream) {
  if (stream != FContentStream)
    ReleaseContentStream();
  FContentStream = stream;
}

void TIdHTTPResponseInfo::SetContentStream(std::unique_ptr<TStream> stream) {
  SetContentStream(stream.release());
  FFreeContentStream = true;
}

void TIdHTTPResponseInfo::ReleaseContentStream() {
  if (FFreeContentStream)
    delete FContentStream;
  FContentStream = nullptr;
}

void TIdHTTPResponseInfo::Redirect(const std::string& AURL) {
  SetResponseNo(302);
  FLocation = AURL;
}

bool TIdHTTPResponseInfo::IsHeadRequest() const { return FRequestInfo && FRequestInfo->CommandType() == hcHEAD; }

bool TIdHTTPResponseInfo::BodyIsOmitted() const {
  return IsHeadRequest() || (FResponseNo >= 100 && FResponseNo < 200) || FResponseNo == 204 || FResponseNo == 304;
}

void TIdHTTPResponseInfo::CompleteHeader() {
  const bool hasBody = !FContentText.empty() || FContentStream;
  if (!FAuthRealm.empty()) {
    SetResponseNo(401);
    if (!hasBody) {
      SetContentType("text/html; charset=utf-8");
      FContentText = GeneratedPage(FResponseNo, FResponseText);
      FContentLength = -1;
    }
  }
  if (FContentType.empty() && (!FContentText.empty() || FContentStream))
    SetContentType("text/html; charset=" + (FCharSet.empty() ? std::string("ISO-8859-1") : FCharSet));
  const bool identity = FTransferEncoding.empty() || TextIsSame(FTransferEncoding, "identity");
  // RFC 9110 8.6: no Content-Length on 1xx and 204 answers, none on 304 (the
  // selected representation's length is not known here), and on a HEAD answer
  // only the length a GET would have sent.
  const bool noLengthAllowed = (FResponseNo >= 100 && FResponseNo < 200) || FResponseNo == 204 || FResponseNo == 304;
  if (FContentLength == -1 && identity && !noLengthAllowed) {
    if (!FContentText.empty()) {
      FEncodedContent = EncodeContentText(FContentText, FCharSet);
      FContentLength = static_cast<int64_t>(FEncodedContent->size());
    } else if (FContentStream) {
      FContentLength = FContentStream->Size();
    } else {
      SetContentType("text/html; charset=utf-8");
      FContentText = GeneratedPage(FResponseNo, FResponseText);
      FContentLength = static_cast<int64_t>(EncodeContentText(FContentText, FCharSet).size());
    }
  }
  if (!IsDateSet(FDate))
    FDate = Now();
  if (FWWWAuthenticate.Count() == 0 && !FAuthRealm.empty())
    FWWWAuthenticate.Add("Basic realm=\"" + FAuthRealm + "\"");
}

TIdHTTPResponseSink& TIdHTTPResponseInfo::Sink() const {
  if (!FSink)
    throw EIdException("The answer has no sink to be written to.");
  return *FSink;
}

void TIdHTTPResponseInfo::WriteHeader() {
  if (FHeaderHasBeenWritten)
    throw EIdException("Header has already been written.");
  FHeaderHasBeenWritten = true;
  CompleteHeader();
  SetHeaders();
  std::vector<std::string> lines = FRawHeaders.Lines();
  for (int i = 0; i < FCookies.Count(); ++i)
    lines.push_back("Set-Cookie: " + FCookies[i].ServerCookie());
  Sink().WriteResponseHeader(FResponseNo, FResponseText, lines,
                             BodyIsOmitted() || (FContentText.empty() && !FContentStream));
}

void TIdHTTPResponseInfo::CloseSession() {
  const std::string cookieName =
      FHTTPServer ? FHTTPServer->SessionIDCookieName() : std::string(kDefaultSessionIDCookieName);
  CloseHTTPSession(FCookies, cookieName, FDate, FSession);
}

void TIdHTTPResponseInfo::WriteContent() {
  if (!FHeaderHasBeenWritten)
    WriteHeader();
  if (!BodyIsOmitted())
    WriteBody();
  FContentText.clear();
  FEncodedContent.reset();
  ReleaseContentStream();
}

TIdBytes TIdHTTPResponseInfo::TakeEncodedContent(const std::string& text) {
  if (!FEncodedContent)
    return EncodeContentText(text, FCharSet);
  TIdBytes octets = std::move(*FEncodedContent);
  FEncodedContent.reset();
  return octets;
}

// RFC 9112 6.3: the announced Content-Length is where the client takes the
// answer to end. Octets beyond it would be read as the start of the next answer
// on a kept-alive connection, so no more than announced is sent; a body that
// falls short or runs over is reported once what could be sent is on its way.
void TIdHTTPResponseInfo::WriteBody() {
  const bool announced = FContentLength >= 0 && (FTransferEncoding.empty() || TextIsSame(FTransferEncoding, "identity"));
  int64_t given = 0;
  if (!FContentText.empty()) {
    TIdBytes octets = TakeEncodedContent(FContentText);
    given = static_cast<int64_t>(octets.size());
    if (announced && given > FContentLength)
      octets.resize(static_cast<size_t>(FContentLength));
    Sink().WriteResponseBody(std::move(octets));
  } else if (FContentStream) {
    given = FContentStream->Size();
    const int64_t length = announced ? std::min(given, FContentLength) : given;
    FContentStream->SetPosition(0);
    if (FFreeContentStream) {
      Sink().WriteResponseStream(std::unique_ptr<TStream>(std::exchange(FContentStream, nullptr)), length);
    } else {
      // The application keeps its stream and may free it on return: take a copy.
      TIdBytes octets(static_cast<size_t>(std::max<int64_t>(length, 0)));
      octets.resize(static_cast<size_t>(std::max<int64_t>(FContentStream->Read(octets.data(), length), 0)));
      Sink().WriteResponseBody(std::move(octets));
    }
  }
  if (announced && given != FContentLength)
    throw EIdHTTPContentLengthMismatch(FContentLength, given);
}

int64_t TIdHTTPResponseInfo::ServeFile(TIdContext*, const std::string& AFile) {
  if (FContentType.empty())
    SetContentType(FHTTPServer ? FHTTPServer->MIMETypeOfFile(AFile) : "application/octet-stream");
  struct stat info {};
  if (::stat(AFile.c_str(), &info) != 0 || S_ISDIR(info.st_mode))
    throw EIdFileNotFound(AFile);
  FContentLength = info.st_size;
  if (FContentDisposition.empty())
    FContentDisposition = "attachment; filename=\"" + FileNameOnly(AFile) + "\";";
  // The file is read, or sent by the kernel, as the sink sends it.
  SetContentStream(std::make_unique<TFileStream>(AFile, fmOpenRead | fmShareDenyNone));
  WriteContent();
  return BodyIsOmitted() ? 0 : info.st_size;
}

int64_t TIdHTTPResponseInfo::SmartServeFile(TIdContext* AContext, TIdHTTPRequestInfo* ARequestInfo,
                                            const std::string& AFile) {
  struct stat info {};
  if (::stat(AFile.c_str(), &info) != 0 || S_ISDIR(info.st_mode)) {
    SetResponseNo(404);
    return 0;
  }
  const TDateTime fileTime = std::chrono::system_clock::from_time_t(info.st_mtime);
  if (const auto since = HTTPDateToDateTime(ARequestInfo->RawHeaders().GetValue("If-Modified-Since"))) {
    const auto difference = *since > fileTime ? *since - fileTime : fileTime - *since;
    if (difference < kFileTimeTolerance) {
      SetResponseNo(304);
      return 0;
    }
  }
  FDate = Now();
  FLastModified = fileTime;
  return ServeFile(AContext, AFile);
}

}  // namespace zal
