#include "http/zalIdHTTPRequestInfo.h"

#include <array>

#include "support/zalHelpers.h"
#include "support/zalIdURI.h"

namespace zal {

THTTPCommandType CommandTypeOf(std::string_view method) {
  static constexpr std::array<std::string_view, 8> kCommands = {"UNKNOWN", "HEAD", "GET",   "POST",
                                                                "DELETE",  "PUT",  "TRACE", "OPTIONS"};
  for (size_t i = 1; i < kCommands.size(); ++i)
    if (TextIsSame(method, kCommands[i]))
      return static_cast<THTTPCommandType>(i);
  return hcUnknown;
}

const IIdTextEncoding* EncodingOfCharSet(std::string_view charset) {
  const std::string name = LowerCase(Trim(charset));
  if (name == "utf-8" || name == "utf8")
    return &IdTextEncoding(tekUTF8);
  if (name == "iso-8859-1" || name == "latin1" || name == "iso8859-1")
    return &IdTextEncoding(tek8Bit);
  if (name == "us-ascii" || name == "ascii")
    return &IdTextEncoding(tekASCII);
  if (name == "utf-16" || name == "utf-16le")
    return &IdTextEncoding(tekUTF16LE);
  if (name == "utf-16be")
    return &IdTextEncoding(tekUTF16BE);
  return nullptr;
}

bool TIdHTTPRequestInfo::IsVersionAtLeast(int AMajor, int AMinor) const {
  return FVersionMajor > AMajor || (FVersionMajor == AMajor && FVersionMinor >= AMinor);
}

void TIdHTTPRequestInfo::SplitParams(const std::string& AValue, int AMaxCount) {
  FParams.clear();
  const IIdTextEncoding* encoding = EncodingOfCharSet(FCharSet);
  if (!encoding)
    encoding = &IdTextEncoding(tekUTF8);
  std::string_view rest = AValue;
  while (!rest.empty() && (AMaxCount < 0 || FParams.size() < static_cast<size_t>(AMaxCount))) {
    const size_t amp = rest.find('&');
    std::string piece(rest.substr(0, amp));
    rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
    for (char& c : piece)
      if (c == '+')
        c = ' ';
    FParams.push_back(TIdURI::URLDecode(piece, encoding));
  }
}

}  // namespace zal
