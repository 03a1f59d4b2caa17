#pragma once
// The events of the HTTP/1.1 request reader as one line of text, for tests and
// the fuzz target that compare ways of feeding the same octets.
#include <string>
#include <string_view>
#include <vector>

#include "http/zalIdHTTPRequestReader.h"

namespace zal::test {

// Feeds `pieces` in turn the way a connection's input buffer holds them: what
// is not consumed stays in front of the next piece. Body octets are joined
// however they came; the trace ends with the number of octets left over, or
// with the refusal.
std::string RequestReaderTrace(const TIdHTTPRequestLimits& limits, const std::vector<std::string_view>& pieces);

}  // namespace zal::test
