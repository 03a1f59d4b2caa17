#pragma once
// TIdHTTPRequestInfo: one HTTP request as the application sees it, from the
// request line, the header block and the body.
#include <memory>
#include <string>
#include <vector>

#include "http/zalIdCookie.h"
#include "http/zalIdHTTPHeaderInfo.h"
#include "support/zalStream.h"

namespace zal {

class TIdHTTPSession;

enum THTTPCommandType : uint8_t { hcUnknown, hcHEAD, hcGET, hcPOST, hcDELETE, hcPUT, hcTRACE, hcOPTION };

// The command type of a method name (ignoring case); hcUnknown for any other.
THTTPCommandType CommandTypeOf(std::string_view method);

class TIdHTTPRequestInfo : public TIdRequestHeaderInfo {
public:
  // True when the request's version is at least major.minor.
  bool IsVersionAtLeast(int AMajor, int AMinor) const;
  // Fills Params from "name=value&..." text: "+" becomes a space and every piece
  // is URL-decoded with the request's charset. At most AMaxCount pieces are
  // taken (-1: all); the rest of the text is not read.
  void SplitParams(const std::string& AValue, int AMaxCount = -1);

  std::vector<std::string>& Params() { return FParams; }
  const std::vector<std::string>& Params() const { return FParams; }
  // The body, owned by the record.
  TStream* PostStream() const { return FPostStream.get(); }
  void SetPostStream(std::unique_ptr<TStream> stream) { FPostStream = std::move(stream); }
  std::unique_ptr<TStream> TakePostStream() { return std::move(FPostStream); }
  // The cookies of the request's "Cookie" header lines.
  TIdCookies& Cookies() { return FCookies; }
  const TIdCookies& Cookies() const { return FCookies; }
  // The request's session (shared with the response), or nullptr.
  TIdHTTPSession* Session() const { return FSession.get(); }
  const std::shared_ptr<TIdHTTPSession>& SessionRef() const { return FSession; }
  void SetSession(std::shared_ptr<TIdHTTPSession> session) { FSession = std::move(session); }

  ZAL_PROPERTY(bool, AuthExists) = false;
  ZAL_PROPERTY(std::string, RawHTTPCommand);
  ZAL_PROPERTY(std::string, RemoteIP);
  ZAL_PROPERTY(std::string, Document);
  ZAL_PROPERTY(std::string, URI);
  ZAL_PROPERTY(std::string, Command);
  ZAL_PROPERTY(std::string, Version);
  ZAL_PROPERTY(int, VersionMajor) = -1;
  ZAL_PROPERTY(int, VersionMinor) = -1;
  ZAL_PROPERTY(std::string, AuthUsername);
  ZAL_PROPERTY(std::string, AuthPassword);
  ZAL_PROPERTY(std::string, UnparsedParams);
  ZAL_PROPERTY(std::string, QueryParams);
  ZAL_PROPERTY(std::string, FormParams);
  ZAL_PROPERTY(THTTPCommandType, CommandType) = hcUnknown;

protected:
  std::vector<std::string> FParams;
  std::unique_ptr<TStream> FPostStream;
  TIdCookies FCookies;
  std::shared_ptr<TIdHTTPSession> FSession;  // keeps the session valid for the request
};

// The text encoding named by a charset, or nullptr for an unknown one.
const IIdTextEncoding* EncodingOfCharSet(std::string_view charset);

}  // namespace zal
