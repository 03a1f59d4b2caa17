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
// An HTTP/1.x GET request with a line containing "Upgrade: websocket".
bool IsWebSocketUpgrade(TRequestLines lines);
// Some line contains "Authorization: " or "authorization=".
bool HasAuthorization(TRequestLines lines);
// Some line contains "Authorization: Basic".
bool HasBasicAuthorization(TRequestLines lines);
// The Base64 credentials after "Authorization: Basic " of the first such line,
// decoded octet for octet; empty without one.
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
// Some line is "Accept: text/event-stream".
bool IsServerSentEventsRequest(TRequestLines lines);

}  // namespace zal
