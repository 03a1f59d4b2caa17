#pragma once
// Octet helpers of the HTTP/2 engine: big-endian fields, text <-> octets, and the
// one place that raises TzalHTTP2Exception.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "http2/zalHTTP2_Types.h"
#include "support/zalIdTextEncoding.h"

namespace zal {

// Unsigned big-endian value of aCount (1 to 4) octets at aPosition. A 4-octet field
// is returned as a signed 32-bit integer: with its top bit set it reads as negative.
int32_t BytesToInt(std::span<const uint8_t> aBytes, int aCount, size_t aPosition);

// Zero-fills aCount octets at aPosition and writes a non-negative aValue into them,
// big-endian and right-aligned; a negative value leaves the field zero.
void IntToBytes(int64_t aValue, size_t aPosition, int aCount, std::span<uint8_t> aBytes);

// Text to octets through the 8-bit code page (ISO-8859-1): one octet per character,
// '?' for characters above U+00FF.
TIdBytes StringToBytes(std::string_view aText);
// The same octets, appended to a string that carries raw octets.
void AppendStringOctets(std::string_view aText, std::string& aOctets);

// True when every octet is below 0x80.
bool IsASCII(std::string_view aText);
// True when the octets are valid UTF-8, so that they read as text unchanged.
bool OctetsAreText(std::string_view aOctets);

// Octets to text as UTF-8; invalid sequences become U+FFFD.
std::string OctetsToText(std::span<const uint8_t> aOctets);
// The same into aText, reusing its storage; valid UTF-8 is copied unchanged.
void AssignOctetsAsText(std::string_view aOctets, std::string& aText);

// Length in octets of aText once written by StringToBytes.
size_t OctetLength(std::string_view aText);

// Raises the protocol error (aErrorCode, aMessage, aErrorResponse, aStreamIdentifier).
[[noreturn]] void RaiseHTTP2Exception(Th2ErrorCodes aErrorCode, const std::string& aMessage,
                                      Th2ErrorResponse aErrorResponse = h2errGO_AWAY,
                                      int32_t aStreamIdentifier = 0);

}  // namespace zal
