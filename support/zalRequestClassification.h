#pragma once
// Tests on the received lines of a request (line 0 is the request line) by which
// the connection dispatcher recognises WebSocket upgrades, fallback transports
// and built-in endpoints. Every comparison ignores ASCII letter case; an empty
// list matches nothing.
#include <span>
#include <string>
#include <string_view>

namespace zal {

using TRequestLines = std::span<const std::string>;

// One field line "name: value" (RFC 9110 5.1, 5.5; RFC 9112 5): the name up to
// the colon, the value without the optional white space around it.
struct THeaderField {
  std::string_view Name;
  std::string_view Value;
};
// False for a line that is no field line: no colon, or a name that is not a
// token (white space before the colon among others, RFC 9112 5.1).
bool ParseHeaderField(std::string_view line, THeaderField& field);
// The value of the first field named `name` (letter case ignored) after the
// request line; false when there is none.
bool FindHeaderField(TRequestLines lines, std::string_view name, std::string_view& value);
// The field's value is a comma-separated list holding `token` (letter case ignored).
bool ListHasToken(std::string_view list, std::string_view token);

// Line 0 when it matches "GET *" / "POST *", else empty.
std::string GetRequestLineGET(TRequestLines lines);
std::string GetRequestLinePOST(TRequestLines lines);
// The request target of a "GET ..." or "POST ..." line: the text from its 5th
// character up to " HTTP", trimmed; empty when there is no " HTTP".
std::string GetRequestTarget(std::string_view requestLine);
// For a GET request, the part of its target after the last "/".
std::string GetLastPathSegment(TRequestLines lines);

// Line 0 matches "*HTTP/1.*".
bool IsHTTP1Request(TRequestLines lines);
// An HTTP/1.x GET request with an Upgrade field naming websocket.
bool IsWebSocketUpgrade(TRequestLines lines);
// The request has an Authorization field, or "authorization=" in its request line.
bool HasAuthorization(TRequestLines lines);
// Its Authorization field has the scheme Basic (letter case ignored, RFC 9110 11.1).
bool HasBasicAuthorization(TRequestLines lines);
// The Base64 credentials of a Basic Authorization field, decoded octet for
// octet; empty without one.
std::string GetBasicCredentials(TRequestLines lines);

// The GET request line contains "GET /zal/req/auth/session/".
bool IsSessionAuthenticationRequest(TRequestLines lines);
// The GET request line contains "GET /zal/auth/url/".
bool IsURLAuthenticationRequest(TRequestLines lines);
// The GET request line contains "GET /zal/auth/session/".
bool IsSessionAuthenticationPage(TRequestLines lines);
// The POST request line matches "POST /zal/xhr/*".
bool IsLongPollingPost(TRequestLines lines);
// The POST request line matches "POST /zal/protocol/*".
bool IsProtocolPost(TRequestLines lines);
// Line 0 equals "<policy-file-request/>" exactly (letter case counts).
bool IsFlashPolicyRequest(TRequestLines lines);
// An Accept field whose value is exactly text/event-stream.
bool IsServerSentEventsRequest(TRequestLines lines);

}  // namespace zal
