#pragma once
// Base64 (RFC 4648 section 4) encoder and decoder, and Base64 of hexadecimal text.
#include "support/zalIdTextEncoding.h"
#include "support/zalStream.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace zal {

// Base64 with "=" padding and no line breaks: 4 * ceil(n / 3) characters.
class TIdEncoderMIME {
public:
  static constexpr std::string_view FCodingTable =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  static constexpr char FFillChar = '=';

  // `AIn` encoded with `AByteEncoding` (the default encoding when none is given) first.
  static std::string EncodeString(std::string_view AIn, const IIdTextEncoding* AByteEncoding = nullptr);
  static std::string EncodeBytes(std::span<const uint8_t> AIn);
  // The rest of the stream from its current position, read in blocks.
  static std::string EncodeStream(TStream& AIn);
};

// Base64 decoding: only whole groups of four characters are decoded (a trailing
// partial group is ignored); a final "=" drops one octet of the last group and a
// second "=" before it one more. Characters outside the alphabet count as zero
// bits. Malformed input never raises.
class TIdDecoderMIME {
public:
  static constexpr char FFillChar = '=';
  static constexpr uint8_t kInvalid = 255;
  static const std::array<uint8_t, 256> FDecodeTable;

  // The decoded octets as text in `AByteEncoding`, or octet for octet (ISO-8859-1)
  // when none is given.
  static std::string DecodeString(std::string_view AIn, const IIdTextEncoding* AByteEncoding = nullptr);
  static TIdBytes DecodeBytes(std::string_view AIn);
  // Writes the decoded octets at the destination's position.
  static void DecodeStream(std::string_view AIn, TStream& ADestStream);
};

// Octets of hexadecimal text, two digits per octet (either letter case). An odd
// digit count or a character that is not a hexadecimal digit raises EConvertError.
TIdBytes HexToBytes(std::string_view hex);
// The octets as uppercase hexadecimal text.
std::string BytesToHex(std::span<const uint8_t> bytes);
// Base64 of the octets that the hexadecimal text stands for.
std::string HexToBase64(std::string_view hex);
// The octets as text, decoded as UTF-8.
std::string BytesToUTF8String(std::span<const uint8_t> bytes);

}  // namespace zal
