#include "websocket/zalWebSocket_FallBack.h"

#include "support/zalHelpers.h"

namespace zal {

namespace {

constexpr std::string_view kSSEHeaderBlock =
    "HTTP/1.1 200 OK\r\n"
    "Content-Type: text/event-stream\r\n"
    "Cache-Control: no-cache, no-store, max-age=0, must-revalidate\r\n"
    "Expires: Fri, 01 Jan 1990 00:00:00 GMT\r\n"
    "Pragma: no-cache\r\n"
    "Connection: close\r\n"
    "\r\n";

bool IsEventStreamField(std::string_view text) {
  for (std::string_view mask : {"data:*", "retry:*", "event:*", "id:*"})
    if (MatchesMask(text, mask))
      return true;
  return false;
}

// WHATWG HTML 9.2.6: a line ends at CR LF, LF or CR.
void AppendDataLines(std::string& event, std::string_view text) {
  for (;;) {
    const size_t end = text.find_first_of("\r\n");
    event.append("data: ").append(text.substr(0, end)).append("\r\n");
    if (end == std::string_view::npos)
      return;
    const size_t next = text.compare(end, 2, "\r\n") == 0 ? end + 2 : end + 1;
    text.remove_prefix(next);
  }
}

std::string RemoveAll(std::string_view text, std::string_view part) {
  std::string result;
  for (size_t at; (at = text.find(part)) != std::string_view::npos; text.remove_prefix(at + part.size()))
    result.append(text.substr(0, at));
  return result.append(text);
}

}  // namespace

std::string SSEDataFields(std::string_view aText) {
  std::string fields;
  AppendDataLines(fields, aText);
  fields.resize(fields.size() - 2);  // the event's end follows
  return fields;
}

std::string SSEEventText(std::string_view aText) {
  std::string event(kSSEHeaderBlock);
  if (IsEventStreamField(aText))
    event.append(aText).append("\r\n");
  else
    AppendDataLines(event, aText);
  return event.append("\r\n");
}

std::string FlashPolicyText(std::string_view aDomain, std::string_view aPorts) {
  std::string policy = "<cross-domain-policy><allow-access-from domain=\"";
  policy.append(aDomain).append("\" to-ports=\"").append(aPorts).append("\" /></cross-domain-policy>");
  policy.push_back('\0');
  return policy.append("\r\n");
}

std::string HeaderValue(std::span<const std::string> aLines, std::string_view aName, bool& aFound) {
  for (std::string_view line : aLines) {
    const size_t colon = line.find(':');
    if (colon != std::string_view::npos && TextIsSame(Trim(line.substr(0, colon)), aName)) {
      aFound = true;
      return std::string(Trim(line.substr(colon + 1)));
    }
  }
  aFound = false;
  return {};
}

std::string LongPollingKey(std::string_view aTarget) { return RemoveAll(aTarget, "/zal/xhr/"); }

TzalProtocolPostTarget ProtocolPostTarget(std::string_view aTarget) {
  const std::string remainder = RemoveAll(aTarget, "/zal/protocol/");
  const size_t slash = remainder.find('/');
  if (slash == std::string::npos)
    return {remainder, ""};
  return {remainder.substr(0, slash), remainder.substr(slash + 1)};
}

}  // namespace zal
