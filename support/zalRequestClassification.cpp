#include "support/zalRequestClassification.h"

#include "support/zalHelpers.h"
#include "support/zalIdCoderMIME.h"

#include <algorithm>
#include <cctype>

namespace zal {

namespace {

bool IsOptionalWhiteSpace(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimOptionalWhiteSpace(std::string_view text) {
  while (!text.empty() && IsOptionalWhiteSpace(text.front()))
    text.remove_prefix(1);
  while (!text.empty() && IsOptionalWhiteSpace(text.back()))
    text.remove_suffix(1);
  return text;
}

// RFC 9110 5.6.2: a token, of which field names are made.
bool IsToken(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
  });
}

// The credentials of an Authorization value with the Basic scheme; false for another scheme.
bool BasicCredentialsOf(TRequestLines lines, std::string_view& credentials) {
  std::string_view value;
  if (!FindHeaderField(lines, "Authorization", value) || value.size() < 6 || !TextIsSame(value.substr(0, 5), "Basic") ||
      !IsOptionalWhiteSpace(value[5]))
    return false;
  credentials = TrimOptionalWhiteSpace(value.substr(6));
  return true;
}

std::string RequestLineMatching(TRequestLines lines, std::string_view mask) {
  return !lines.empty() && MatchesMask(lines[0], mask) ? lines[0] : std::string();
}

bool Contains(std::string_view text, std::string_view needle) { return TextPos(needle, text) != std::string::npos; }

}  // namespace

bool ParseHeaderField(std::string_view line, THeaderField& field) {
  const size_t colon = line.find(':');
  if (colon == 0 || colon == std::string_view::npos || !IsToken(line.substr(0, colon)))
    return false;
  field = {line.substr(0, colon), TrimOptionalWhiteSpace(line.substr(colon + 1))};
  return true;
}

bool FindHeaderField(TRequestLines lines, std::string_view name, std::string_view& value) {
  THeaderField field;
  for (size_t i = 1; i < lines.size(); ++i)
    if (ParseHeaderField(lines[i], field) && TextIsSame(field.Name, name)) {
      value = field.Value;
      return true;
    }
  return false;
}

bool ListHasToken(std::string_view list, std::string_view token) {
  for (std::string_view item : Split(list, ','))
    if (TextIsSame(TrimOptionalWhiteSpace(item), token))
      return true;
  return false;
}

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
  std::string_view upgrade;
  return IsHTTP1Request(lines) && !GetRequestLineGET(lines).empty() && FindHeaderField(lines, "Upgrade", upgrade) &&
         ListHasToken(upgrade, "websocket");
}

bool HasAuthorization(TRequestLines lines) {
  std::string_view value;
  return FindHeaderField(lines, "Authorization", value) || Contains(lines.empty() ? "" : lines[0], "authorization=");
}

bool HasBasicAuthorization(TRequestLines lines) {
  std::string_view credentials;
  return BasicCredentialsOf(lines, credentials);
}

std::string GetBasicCredentials(TRequestLines lines) {
  std::string_view credentials;
  return BasicCredentialsOf(lines, credentials) ? TIdDecoderMIME::DecodeString(credentials) : std::string();
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
  std::string_view accept;
  return FindHeaderField(lines, "Accept", accept) && TextIsSame(accept, "text/event-stream");
}

}  // namespace zal
