#include "http2/zalHTTP2_Helpers.h"

#include <cstring>

namespace zal {

namespace {

constexpr char32_t kReplacementCharacter = 0xFFFD;

// True when the octets form valid UTF-8 (an invalid sequence decodes to U+FFFD
// while consuming one octet; a literal U+FFFD consumes three).
bool IsValidUTF8(std::string_view aOctets) {
  for (size_t pos = 0; pos < aOctets.size();) {
    if (static_cast<uint8_t>(aOctets[pos]) < 0x80) {
      ++pos;
      continue;
    }
    const size_t start = pos;
    if (NextUTF8CodePoint(aOctets, pos) == kReplacementCharacter && pos - start == 1)
      return false;
  }
  return true;
}

}  // namespace

bool IsASCII(std::string_view aText) {
  // Many octets at a time: header text is long (cookies, user agents) and nearly always ASCII.
  constexpr uint64_t kHighBits = 0x8080808080808080ull;
  const char* p = aText.data();
  size_t left = aText.size();
  for (; left >= 32; p += 32, left -= 32) {
    uint64_t words[4];
    std::memcpy(words, p, 32);
    if ((words[0] | words[1] | words[2] | words[3]) & kHighBits)
      return false;
  }
  for (; left >= 8; p += 8, left -= 8) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    if (word & kHighBits)
      return false;
  }
  for (; left > 0; ++p, --left)
    if (static_cast<uint8_t>(*p) >= 0x80)
      return false;
  return true;
}

bool OctetsAreText(std::string_view aOctets) { return IsASCII(aOctets) || IsValidUTF8(aOctets); }

int32_t BytesToInt(std::span<const uint8_t> aBytes, int aCount, size_t aPosition) {
  uint32_t value = 0;
  for (int i = 0; i < aCount; ++i)
    value = (value << 8) | aBytes[aPosition + static_cast<size_t>(i)];
  return static_cast<int32_t>(value);
}

void IntToBytes(int64_t aValue, size_t aPosition, int aCount, std::span<uint8_t> aBytes) {
  for (int i = 0; i < aCount; ++i)
    aBytes[aPosition + static_cast<size_t>(i)] = 0;
  if (aValue < 0)
    return;
  for (int i = aCount - 1; i >= 0 && aValue > 0; --i, aValue >>= 8)
    aBytes[aPosition + static_cast<size_t>(i)] = static_cast<uint8_t>(aValue & 0xFF);
}

TIdBytes StringToBytes(std::string_view aText) {
  return IdTextEncoding(tek8Bit).GetBytes(aText);
}

void AppendStringOctets(std::string_view aText, std::string& aOctets) {
  if (IsASCII(aText)) {
    aOctets.append(aText);
    return;
  }
  for (size_t pos = 0; pos < aText.size();) {
    const char32_t cp = NextUTF8CodePoint(aText, pos);
    aOctets.push_back(cp < 0x100 ? static_cast<char>(cp) : '?');
  }
}

std::string OctetsToText(std::span<const uint8_t> aOctets) {
  std::string text;
  AssignOctetsAsText(std::string_view(reinterpret_cast<const char*>(aOctets.data()), aOctets.size()), text);
  return text;
}

void AssignOctetsAsText(std::string_view aOctets, std::string& aText) {
  if (OctetsAreText(aOctets)) {
    aText.assign(aOctets);
    return;
  }
  aText.clear();
  IdTextEncoding(tekUTF8).AppendString(
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(aOctets.data()), aOctets.size()), aText);
}

size_t OctetLength(std::string_view aText) {
  if (IsASCII(aText))
    return aText.size();
  size_t count = 0;
  for (size_t pos = 0; pos < aText.size(); ++count)
    NextUTF8CodePoint(aText, pos);
  return count;
}

void RaiseHTTP2Exception(Th2ErrorCodes aErrorCode, const std::string& aMessage,
                         Th2ErrorResponse aErrorResponse, int32_t aStreamIdentifier) {
  throw TzalHTTP2Exception(aErrorCode, aMessage, aErrorResponse, aStreamIdentifier);
}

}  // namespace zal
