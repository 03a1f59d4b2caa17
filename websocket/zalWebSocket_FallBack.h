#pragma once
// The wire texts of the fallback transports for browsers without WebSocket:
// server-sent events (WHATWG HTML 9.2), the messages such browsers post back,
// and the Flash cross-domain policy answer.
#include <span>
#include <string>
#include <string_view>

namespace zal {

// The bytes of one event on a server-sent events connection, every line ended
// by CR LF:
// - the response header block. It is written again before every event; an
//   event-stream reader takes its lines as fields it does not know and its empty
//   line as the end of an event without data, which dispatches nothing.
// - the event: a text that matches "data:*", "retry:*", "event:*" or "id:*"
//   (letter case ignored) is written unchanged; any other is data, one
//   "data: " line per line of the text, so a text with line breaks arrives whole.
// - an empty line, which dispatches the event at once (9.2.6).
std::string SSEEventText(std::string_view aText);

// A text as data fields only, "data: " and one line of the text per line, so
// that SSEEventText passes it on and the client reads it as the text itself,
// whatever it holds: a text from a peer can never become an event name, an
// ID or a reconnection time in somebody else's stream.
std::string SSEDataFields(std::string_view aText);

// The answer to "<policy-file-request/>": the policy, a zero octet, CR LF.
std::string FlashPolicyText(std::string_view aDomain, std::string_view aPorts);

// The value of the first header line named `aName` (letter case ignored),
// trimmed; `aFound` tells whether there was one.
std::string HeaderValue(std::span<const std::string> aLines, std::string_view aName, bool& aFound);

// The connection key of a long-polling post's target "/zal/xhr/<key>": the
// target with every "/zal/xhr/" removed.
std::string LongPollingKey(std::string_view aTarget);

// A protocol post's target "/zal/protocol/<name>/<rest>": every
// "/zal/protocol/" removed, then split at the first "/".
struct TzalProtocolPostTarget {
  std::string Name;
  std::string Rest;
};
TzalProtocolPostTarget ProtocolPostTarget(std::string_view aTarget);

}  // namespace zal
