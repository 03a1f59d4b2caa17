#pragma once
// The parsing steps of an HTTP/1.1 request that need no connection: the request
// line, the target, the keep-alive decision and chunk-size lines. The request
// loop reads the lines and feeds them here.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "http/zalIdHTTPRequestInfo.h"
#include "support/zalIdException.h"

namespace zal {

// "Error in parsing command.": a request line without a space.
class EIdHTTPErrorParsingCommand : public EIdException {
public:
  EIdHTTPErrorParsingCommand() : EIdException("Error in parsing command.") {}
};

// Fills the version, method (with the POST override), command, command type and
// raw command of `request` from the request line, and returns the target.
std::string ApplyRequestLine(const std::string& line, TIdHTTPRequestInfo& request);
// Splits the target at its first "?" into URI and raw query, and decodes the
// document; an absolute target names the host when the request has none.
void ApplyRequestTarget(const std::string& target, TIdHTTPRequestInfo& request);
// Whether the connection closes after this request.
bool ClosesConnection(bool serverKeepAlive, const TIdHTTPRequestInfo& request);
// The size on a chunk-size line ("1a;ext=1" is 26); nothing when it is no
// hexadecimal number or does not fit a signed 64-bit size (RFC 7230 4.1).
std::optional<int64_t> ChunkSizeOf(std::string_view line);
// The Content-Length header's value as a size: nothing when absent, -1 when it is
// no valid length (RFC 7230 3.3.3: not a non-negative number that fits 64 bits,
// or differing values).
std::optional<int64_t> DeclaredContentLength(const TIdHeaderList& headers);

}  // namespace zal
