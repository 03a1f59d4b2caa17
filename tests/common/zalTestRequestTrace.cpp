#include "common/zalTestRequestTrace.h"

namespace zal::test {

namespace {

std::span<const uint8_t> Octets(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

std::string HeadOf(TIdHTTPRequestReader& reader) {
  std::string head = "head[" + reader.RequestLine();
  for (const std::string& line : reader.Headers().Lines())
    head += "|" + line;
  return head + "] ";
}

}  // namespace

std::string RequestReaderTrace(const TIdHTTPRequestLimits& limits, const std::vector<std::string_view>& pieces) {
  TIdHTTPRequestReader reader(limits);
  std::string input;
  std::string trace;
  std::string body;
  const auto flushBody = [&] {
    if (!body.empty())
      trace += "body[" + body + "] ";
    body.clear();
  };
  for (const std::string_view piece : pieces) {
    input += piece;
    for (;;) {
      const TIdHTTPReadResult result = reader.Feed(Octets(input));
      if (result.Consumed > input.size())
        return trace + "consumed more than given";
      if (result.Event == hreBody)
        body.append(reinterpret_cast<const char*>(result.Body.data()), result.Body.size());
      else if (result.Event != hreNeedMore)
        flushBody();
      if (result.Event == hreHead)
        trace += HeadOf(reader);
      else if (result.Event == hreComplete)
        trace += "complete ";
      else if (result.Event == hreRefused)
        return trace + (reader.RequestLineUnparsable() ? "unparsable " : "") + "refused " +
               std::to_string(reader.RefusalStatus());
      input.erase(0, result.Consumed);
      if (result.Event == hreNeedMore)
        break;
    }
  }
  flushBody();
  return trace + "left " + std::to_string(input.size());
}

}  // namespace zal::test
