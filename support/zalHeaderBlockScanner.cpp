#include "support/zalHeaderBlockScanner.h"

namespace zal {

namespace {

bool Crosses(int64_t value, int64_t limit) { return limit > 0 && value > limit; }

}  // namespace

TzalHeaderBlockState TzalHeaderBlockScanner::Scan(std::span<const uint8_t> bytes) {
  while (FState == hbIncomplete && FScanned < bytes.size()) {
    if (bytes[FScanned++] == '\n') {
      EndLine(bytes);
      continue;
    }
    ++FLineLength;
    if (Crosses(FLineLength, FLimits.MaxLineLength))
      return Refuse(FLines == 0 ? 414 : 431);
    // A first octet may be the CR of the empty line: a line is counted from its second.
    if (FLines > 0 && FLineLength > 1 && Crosses(FFieldOctets + FLineLength, FLimits.MaxBlockSize))
      return Refuse(431);
  }
  return FState;
}

// A line of nothing but its line end (CR LF, or a bare LF) ends the block.
TzalHeaderBlockState TzalHeaderBlockScanner::EndLine(std::span<const uint8_t> bytes) {
  const bool empty = FLineLength == 0 || (FLineLength == 1 && bytes[FScanned - 2] == '\r');
  if (FLines > 0 && empty) {
    FEnd = FScanned;
    return FState = hbComplete;
  }
  if (FLines > 0) {
    FFieldOctets += FLineLength + 1;
    if (Crosses(FFieldOctets, FLimits.MaxBlockSize) || Crosses(FLines, FLimits.MaxLineCount))
      return Refuse(431);
  }
  ++FLines;
  FLineLength = 0;
  return FState;
}

TzalHeaderBlockState TzalHeaderBlockScanner::Refuse(int aStatusCode) {
  FStatusCode = aStatusCode;
  return FState = hbTooLarge;
}

}  // namespace zal
