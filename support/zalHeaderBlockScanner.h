#pragma once
// Finds the end of an HTTP/1.1 request's header block (request line, field
// lines, the empty line; RFC 9112 2.1) in bytes that arrive in pieces, and
// checks the block against the server's limits while it grows. Every octet is
// examined once, however the bytes are cut.
#include <cstddef>
#include <cstdint>
#include <span>

namespace zal {

// Limits of one header block; 0 or less: no limit.
struct TzalHeaderBlockLimits {
  int MaxLineLength = 0;       // octets of one line before its LF
  int MaxLineCount = 0;        // field lines (the request line and the empty line not counted)
  int64_t MaxBlockSize = 0;    // octets of the field lines together, line ends included
};

enum TzalHeaderBlockState : uint8_t { hbIncomplete, hbComplete, hbTooLarge };

class TzalHeaderBlockScanner {
public:
  explicit TzalHeaderBlockScanner(TzalHeaderBlockLimits aLimits) : FLimits(aLimits) {}
  // `bytes` is everything received so far: the bytes of the previous call
  // followed by new ones. Once complete or too large the state no longer changes.
  TzalHeaderBlockState Scan(std::span<const uint8_t> bytes);
  // Octets of the complete block, its empty line included.
  size_t End() const { return FEnd; }
  // The answer to a block past a limit (RFC 9110 15.5.15, RFC 6585 5): 414 for
  // a request line that is too long, 431 for the field lines.
  int StatusCode() const { return FStatusCode; }

private:
  TzalHeaderBlockState Refuse(int aStatusCode);
  TzalHeaderBlockState EndLine(std::span<const uint8_t> bytes);

  TzalHeaderBlockLimits FLimits;
  TzalHeaderBlockState FState = hbIncomplete;
  size_t FScanned = 0;
  int64_t FLineLength = 0;  // octets of the current line so far
  int FLines = 0;           // complete lines, the request line included
  int64_t FFieldOctets = 0; // octets of the complete field lines
  size_t FEnd = 0;
  int FStatusCode = 0;
};

}  // namespace zal
