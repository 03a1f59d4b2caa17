#include "server/zalWebSocket_Classification.h"


#include "support/zalHelpers.h"
#include "support/zalRequestClassification.h"

namespace zal {

bool IsHTTP2Preface(std::span<const std::string> lines) {
  // "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n" as lines, each ended by CR LF.
  std::string text;
  for (const auto& line : lines)
    text += line + "\r\n";
  return text == "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";
}

TzalFirstBytesRow ClassifyFirstBytes(std::span<const std::string> lines, const TzalClassificationSettings& settings) {
  if (lines.empty())
    return fbUnknown;
  const std::string& first = lines[0];
  if (IsWebSocketUpgrade(lines))
    return fbWebSocketUpgrade;
  if (MatchesMask(first, "GET *") && TextPos("GET /zal/req/auth/session/", first) != std::string::npos &&
      settings.AuthenticationEnabled && settings.SessionAuthenticationEnabled)
    return fbSessionIdRequest;
  if (IsLongPollingPost(lines))
    return fbLongPollingPost;
  if (IsProtocolPost(lines))
    return fbProtocolPost;
  if (MatchesMask(first, "*HTTP/1.*") && settings.OAuth2Handled && settings.OAuth2Handled())
    return fbOAuth2;
  if (settings.HTTP2Enabled && IsHTTP2Preface(lines))
    return fbHTTP2Preface;
  if (MatchesMask(first, "GET *") && settings.BuiltInResourceServed && settings.BuiltInResourceServed())
    return fbBuiltInResource;
  if (IsFlashPolicyRequest(lines))
    return fbFlashPolicy;
  if (IsServerSentEventsRequest(lines))
    return fbServerSentEvents;
  if (IsHTTP1Request(lines))
    return fbHTTP1;
  return fbUnknown;
}

}  // namespace zal
