#include "support/zalRequestClassification.h"

#include "support/zalHelpers.h"
#include "support/zalIdCoderMIME.h"

#include <algorithm>

namespace zal {

namespace {

constexpr std::string_view kBasicAuthorization = "Authorization: Basic";

std::string RequestLineMatching(TRequestLines lines, std::string_view mask) {
  return !lines.empty() && MatchesMask(lines[0], mask) ? lines[0] : std::string();
}

bool AnyLineContains(TRequestLines lines, std::string_view needle) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& line) { return TextPos(needle, line) != std::string::npos; });
}

bool Contains(std::string_view text, std::string_view needle) { return TextPos(needle, text) != std::string::npos; }

}  // namespace

std::string GetRequestLineGET(TRequestLines lines) { return RequestLineMatching(lines, "GET *"); }

std::string GetRequestLinePOST(TRequestLines lines) { return RequestLineMatching(lines, "POST *"); }

std::string GetRequestTarget(std::string_view requestLine) {
  const size_t http = TextPos(" HTTP", requestLine);
  if (http == std::string_view::npos || http < 4)
    return {};
  return std::string(Trim(requestLine.substr(4, http - 4)));
}

std::string GetLastPathSegment(TRequestLines lines) {
  const std::string target = GetRequestTarget(GetRequestLineGET(lines));
  const size_t slash = target.rfind('/');
  return slash == std::string::npos ? target : target.substr(slash + 1);
}

bool IsHTTP1Request(TRequestLines lines) { return !lines.empty() && MatchesMask(lines[0], "*HTTP/1.*"); }

bool IsWebSocketUpgrade(TRequestLines lines) {
  return IsHTTP1Request(lines) && !GetRequestLineGET(lines).empty() && AnyLineContains(lines, "Upgrade: websocket");
}

bool HasAuthorization(TRequestLines lines) {
  return AnyLineContains(lines, "Authorization: ") || AnyLineContains(lines, "authorization=");
}

bool HasBasicAuthorization(TRequestLines lines) { return AnyLineContains(lines, kBasicAuthorization); }

std::string GetBasicCredentials(TRequestLines lines) {
  for (const std::string& line : lines) {
    const size_t pos = TextPos(kBasicAuthorization, line);
    if (pos != std::string::npos)
      return TIdDecoderMIME::DecodeString(Trim(std::string_view(line).substr(pos + kBasicAuthorization.size())));
  }
  return {};
}

bool IsSessionAuthenticationRequest(TRequestLines lines) {
  return Contains(GetRequestLineGET(lines), "GET /zal/req/auth/session/");
}

bool IsURLAuthenticationRequest(TRequestLines lines) {
  return Contains(GetRequestLineGET(lines), "GET /zal/auth/url/");
}

bool IsSessionAuthenticationPage(TRequestLines lines) {
  return Contains(GetRequestLineGET(lines), "GET /zal/auth/session/");
}

bool IsLongPollingPost(TRequestLines lines) { return MatchesMask(GetRequestLinePOST(lines), "POST /zal/xhr/*"); }

bool IsProtocolPost(TRequestLines lines) { return MatchesMask(GetRequestLinePOST(lines), "POST /zal/protocol/*"); }

bool IsFlashPolicyRequest(TRequestLines lines) {
  return !lines.empty() && lines[0] == "<policy-file-request/>";  // an exact comparison
}

bool IsServerSentEventsRequest(TRequestLines lines) {
  return std::any_of(lines.begin(), lines.end(),
                     [](const std::string& line) { return TextIsSame(line, "Accept: text/event-stream"); });
}

}  // namespace zal
