#pragma once
// Strict UTF-8 validation (RFC 3629 section 4): no overlong forms, no encoded
// surrogates, nothing above U+10FFFF. The validator is incremental, so a text
// message can be judged fragment by fragment and fail as soon as an octet
// cannot continue any valid sequence (RFC 6455 section 8.1).
#include <cstdint>
#include <span>

namespace zal {

class TzalUTF8Validator {
public:
  // Feeds the next octets; false once the text can no longer be valid.
  bool Feed(std::span<const uint8_t> bytes);
  // True when every octet fed so far forms complete, valid sequences.
  bool Complete() const { return FValid && FPending == 0; }
  bool Valid() const { return FValid; }
  void Reset() { *this = TzalUTF8Validator(); }

private:
  bool FValid = true;
  uint8_t FPending = 0;        // continuation octets still expected
  uint8_t FNextLow = 0x80;     // range allowed for the next continuation octet
  uint8_t FNextHigh = 0xBF;
};

// The whole text at once.
bool IsValidUTF8(std::span<const uint8_t> bytes);

}  // namespace zal
