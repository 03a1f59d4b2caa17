#include "server/zalWebSocket_Classification.h"

#include <algorithm>
#include <string_view>

#include "support/zalHelpers.h"
#include "support/zalRequestClassification.h"

namespace zal {

int HeaderBlockEnd(std::span<const uint8_t> bytes) {
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  const size_t crlf = text.find("\r\n\r\n");
  const size_t lf = text.find("\n\n");
  if (crlf == std::string_view::npos && lf == std::string_view::npos)
    return -1;
  return crlf < lf ? static_cast<int>(crlf + 4) : static_cast<int>(lf + 2);
}

bool IsHTTP2Preface(std::span<const std::string> lines) {
  // "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n" as lines, each ended by CR LF.
  std::string text;
  for (const auto& line : lines)
    text += line + "\r\n";
  return text == "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";
}

// A request is classified by its own header block: what follows its empty line
// (a body, a pipelined request) never makes it an upgrade, a post or a stream.
TzalFirstBytesRow ClassifyFirstBytes(std::span<const std::string> allLines,
                                     const TzalClassificationSettings& settings) {
  if (allLines.empty())
    return fbUnknown;
  const auto blockEnd = std::find(allLines.begin() + 1, allLines.end(), std::string());
  const std::span<const std::string> lines(allLines.begin(), blockEnd);
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
  if (settings.HTTP2Enabled && IsHTTP2Preface(allLines))  // the preface spans two blocks
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
