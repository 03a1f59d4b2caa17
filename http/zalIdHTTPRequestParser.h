#pragma once
// The parsing steps of an HTTP/1.1 request that need no connection: the request
// line, the target, the keep-alive decision and chunk-size lines. The request
// loop reads the lines and feeds them here.
#include <cstdint>
#include <optional>
#include <span>
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
// 0 when `line` is a request line as RFC 9112 3 defines it: a method token, one
// space, a target of visible octets (no space, no control octet), one space and
// "HTTP/" DIGIT "." DIGIT. Otherwise the status that refuses it: 505 for a major
// version other than 1 (RFC 9110 15.6.6), 400 for anything else.
int RequestLineRefusal(std::string_view line);
// Splits the target at its first "?" into URI and raw query, and decodes the
// document; an absolute target names the host when the request has none.
void ApplyRequestTarget(const std::string& target, TIdHTTPRequestInfo& request);
// Whether the connection closes after this request.
bool ClosesConnection(bool serverKeepAlive, const TIdHTTPRequestInfo& request);
// The size on a chunk-size line ("1a;ext=1" is 26): hexadecimal digits only,
// then nothing or blanks and chunk extensions after ";" (RFC 9112 7.1, 7.1.1).
// Nothing for any other line (" 0", "-0", "0x1") or a size that does not fit a
// signed 64-bit size.
std::optional<int64_t> ChunkSizeOf(std::string_view line);
// Whether a request's header lines are well formed: each is a field line whose
// name is a token directly followed by ":" (RFC 9112 5.1), or a continuation
// line after one (RFC 9112 5.2, unfolded); none holds a CR or NUL octet
// (RFC 9112 2.2, RFC 9110 5.5).
bool HeaderLinesAreWellFormed(std::span<const std::string> lines);

enum TIdBodyFraming : uint8_t { bfNone, bfContentLength, bfChunked };

// How a request's body is delimited (RFC 9112 6.3), or the status that refuses
// the request because its end would be ambiguous.
struct TIdRequestFraming {
  TIdBodyFraming Framing = bfNone;
  int64_t Length = 0;     // for bfContentLength
  int RefusalStatus = 0;  // 400 or 501 when refused
};

// Transfer-Encoding decides when present: its list of codings must end with
// exactly one "chunked", no other coding is implemented (501), and a
// Content-Length beside it is refused (RFC 9112 6.1, a smuggling vector).
// Without it a valid Content-Length gives the length; without either there is
// no body.
TIdRequestFraming RequestFramingOf(const TIdHeaderList& headers);
// The Content-Length header's value as a size: nothing when absent, -1 when it is
// no valid length (RFC 7230 3.3.3: not a non-negative number that fits 64 bits,
// or differing values).
std::optional<int64_t> DeclaredContentLength(const TIdHeaderList& headers);

}  // namespace zal
