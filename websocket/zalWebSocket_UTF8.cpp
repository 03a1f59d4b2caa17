#include "websocket/zalWebSocket_UTF8.h"

namespace zal {

bool TzalUTF8Validator::Feed(std::span<const uint8_t> bytes) {
  if (!FValid)
    return false;
  for (const uint8_t b : bytes) {
    if (FPending > 0) {
      if (b < FNextLow || b > FNextHigh)
        return FValid = false;
      --FPending;
      FNextLow = 0x80;
      FNextHigh = 0xBF;
      continue;
    }
    if (b < 0x80)
      continue;
    // Lead octets of RFC 3629's table; the first continuation octet of some
    // leads is narrowed to exclude overlong forms, surrogates and > U+10FFFF.
    if (b >= 0xC2 && b <= 0xDF) {
      FPending = 1;
    } else if (b >= 0xE0 && b <= 0xEF) {
      FPending = 2;
      if (b == 0xE0)
        FNextLow = 0xA0;
      else if (b == 0xED)
        FNextHigh = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      FPending = 3;
      if (b == 0xF0)
        FNextLow = 0x90;
      else if (b == 0xF4)
        FNextHigh = 0x8F;
    } else {
      return FValid = false;  // 0x80-0xC1 and 0xF5-0xFF never lead
    }
  }
  return true;
}

bool IsValidUTF8(std::span<const uint8_t> bytes) {
  TzalUTF8Validator validator;
  return validator.Feed(bytes) && validator.Complete();
}

}  // namespace zal
