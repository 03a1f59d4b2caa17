#include "support/zalIdURI.h"

#include <algorithm>
#include <cctype>

namespace zal {

namespace {

constexpr size_t npos = std::string_view::npos;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The value of `count` hexadecimal digits at `pos`, or -1 when one is missing or not a digit.
int HexNumber(std::string_view text, size_t pos, size_t count) {
  if (pos + count > text.size())
    return -1;
  int value = 0;
  for (size_t i = 0; i < count; ++i) {
    const int digit = HexValue(text[pos + i]);
    if (digit < 0)
      return -1;
    value = value << 4 | digit;
  }
  return value;
}

// End of the scheme's ":" (and of a "//" after it), where the path part begins; 0 without a scheme.
size_t PathPartStart(std::string_view uri) {
  size_t i = 0;
  while (i < uri.size() && (std::isalnum(static_cast<unsigned char>(uri[i])) || uri[i] == '+' || uri[i] == '-' ||
                            uri[i] == '.'))
    ++i;
  if (i == 0 || i >= uri.size() || uri[i] != ':' || !std::isalpha(static_cast<unsigned char>(uri[0])))
    return 0;
  ++i;
  if (uri.substr(i, 2) == "//")
    i += 2;
  return i;
}

// "\" becomes "/" in the path part, up to the first "#" or "?".
std::string NormalizePath(std::string_view uri) {
  std::string out(uri);
  for (size_t i = PathPartStart(uri); i < out.size() && out[i] != '#' && out[i] != '?'; ++i)
    if (out[i] == '\\')
      out[i] = '/';
  return out;
}

void AppendEncoded(const TIdBytes& octets, std::string_view keep, std::string& out) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (uint8_t b : octets) {
    if (std::isalnum(b) || b == '-' || b == '.' || b == '_' || b == '~' || (b < 0x80 && keep.find(char(b)) != npos)) {
      out.push_back(static_cast<char>(b));
    } else {
      out.push_back('%');
      out.push_back(kDigits[b >> 4]);
      out.push_back(kDigits[b & 0x0F]);
    }
  }
}

std::string PercentEncode(std::string_view text, std::string_view keep, const IIdTextEncoding* encoding) {
  std::string out;
  AppendEncoded((encoding ? *encoding : IdTextEncoding(tekUTF8)).GetBytes(text), keep, out);
  return out;
}

// Appends the UTF-16 code unit of a "%u" escape (and the low surrogate escape that
// completes a high one) encoded with `encoding`; returns how many characters after
// the first "%" were used.
size_t AppendUnitEscape(std::string_view src, size_t percent, const IIdTextEncoding& encoding, TIdBytes& out) {
  const int unit = HexNumber(src, percent + 2, 4);
  if (unit < 0)
    return std::min<size_t>(5, src.size() - percent - 1);
  char32_t cp = static_cast<char32_t>(unit);
  size_t used = 5;
  if (unit >= 0xD800 && unit <= 0xDBFF) {
    const size_t next = percent + 6;
    const bool lowFollows = next + 1 < src.size() && src[next] == '%' && (src[next + 1] | 0x20) == 'u';
    const int low = lowFollows ? HexNumber(src, next + 2, 4) : -1;
    if (low >= 0xDC00 && low <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<char32_t>(low) - 0xDC00);
      used += 6;
    } else {
      cp = 0xFFFD;
    }
  } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
    cp = 0xFFFD;
  }
  std::string character;
  AppendUTF8(cp, character);
  encoding.AppendBytes(character, out);
  return used;
}

}  // namespace

void TIdURI::Clear() {
  FProtocol.clear();
  FHost.clear();
  FPort.clear();
  Fpath.clear();
  FDocument.clear();
  FParams.clear();
  FBookmark.clear();
  FUserName.clear();
  FPassword.clear();
  FIPVersion = Id_IPv4;
}

void TIdURI::SetURI(std::string_view AURI) {
  FURI = std::string(AURI);
  Clear();
  std::string rest = NormalizePath(AURI);

  // The fragment begins at the first "#", the query at the first "?" before it
  // (RFC 3986 section 3): a "?" inside the fragment is part of the fragment.
  if (const size_t hash = rest.find('#'); hash != npos) {
    FBookmark = rest.substr(hash + 1);
    rest.erase(hash);
  }
  if (const size_t query = rest.find('?'); query != npos) {
    FParams = rest.substr(query + 1);
    rest.erase(query);
  }

  const size_t schemeEnd = rest.find("://");
  if (schemeEnd == npos) {
    const size_t slash = rest.rfind('/');
    const size_t split = slash == npos ? 0 : slash + 1;
    Fpath = rest.substr(0, split);
    FDocument = rest.substr(split);
    return;
  }
  FProtocol = rest.substr(0, schemeEnd);
  rest.erase(0, schemeEnd + 3);
  const size_t authorityEnd = rest.find('/');
  SplitAuthority(std::string_view(rest).substr(0, authorityEnd));
  rest = authorityEnd == npos ? std::string() : rest.substr(authorityEnd + 1);
  const size_t slash = rest.rfind('/');
  const size_t split = slash == npos ? 0 : slash + 1;
  Fpath = "/" + rest.substr(0, split);
  FDocument = rest.substr(split);
}

void TIdURI::SplitAuthority(std::string_view authority) {
  if (const size_t at = authority.rfind('@'); at != npos) {
    const std::string_view userInfo = authority.substr(0, at);
    const size_t colon = userInfo.find(':');
    FUserName = std::string(userInfo.substr(0, colon));
    if (colon != npos && !FUserName.empty())
      FPassword = std::string(userInfo.substr(colon + 1));
    authority.remove_prefix(at + 1);
  }
  const size_t open = authority.find('[');
  const size_t close = authority.find(']');
  if (open != npos && close != npos && open < close) {
    FHost = std::string(authority.substr(open + 1, close - open - 1));
    FIPVersion = Id_IPv6;
    if (const size_t colon = authority.find(':', close); colon != npos)
      FPort = std::string(authority.substr(colon + 1));
    return;
  }
  const size_t colon = authority.find(':');
  FHost = std::string(authority.substr(0, colon));
  if (colon != npos)
    FPort = std::string(authority.substr(colon + 1));
}

std::string TIdURI::GetPathAndParams() const {
  std::string out = Fpath + FDocument;
  if (!FParams.empty())
    out += "?" + FParams;
  return out;
}

std::string TIdURI::GetFullURI() const {
  std::string out;
  if (!FProtocol.empty())
    out += FProtocol + "://";
  if (!FUserName.empty()) {
    out += FUserName;
    if (!FPassword.empty())
      out += ":" + FPassword;
    out += "@";
  }
  out += FIPVersion == Id_IPv6 ? "[" + FHost + "]" : FHost;
  if (!FPort.empty())
    out += ":" + FPort;
  out += GetPathAndParams();
  if (!FBookmark.empty())
    out += "#" + FBookmark;
  return out;
}

std::string TIdURI::URLDecode(std::string_view ASrc, const IIdTextEncoding* AByteEncoding) {
  const IIdTextEncoding& encoding = AByteEncoding ? *AByteEncoding : IdTextEncoding(tekUTF8);
  TIdBytes octets;
  octets.reserve(ASrc.size());
  for (size_t pos = 0; pos < ASrc.size();) {
    if (ASrc[pos] != '%') {
      octets.push_back(static_cast<uint8_t>(NextUTF8CodePoint(ASrc, pos) & 0xFF));
      continue;
    }
    if (pos + 1 < ASrc.size() && (ASrc[pos + 1] | 0x20) == 'u') {
      pos += 1 + AppendUnitEscape(ASrc, pos, encoding, octets);
      continue;
    }
    const int octet = HexNumber(ASrc, pos + 1, 2);
    if (octet >= 0)
      octets.push_back(static_cast<uint8_t>(octet));
    pos += 1 + std::min<size_t>(2, ASrc.size() - pos - 1);
  }
  return encoding.GetString(octets);
}

std::string TIdURI::PathEncode(std::string_view ASrc, const IIdTextEncoding* AByteEncoding) {
  return PercentEncode(ASrc, "/:@!$&'()*+,;=", AByteEncoding);
}

std::string TIdURI::ParamsEncode(std::string_view ASrc, const IIdTextEncoding* AByteEncoding) {
  return PercentEncode(ASrc, "=&/:?@!$'()*+,;", AByteEncoding);
}

std::string TIdURI::URLEncode(std::string_view ASrc, const IIdTextEncoding* AByteEncoding) {
  TIdURI uri(ASrc);
  uri.SetPath(PathEncode(uri.Path(), AByteEncoding));
  uri.SetDocument(PathEncode(uri.Document(), AByteEncoding));
  uri.SetParams(ParamsEncode(uri.Params(), AByteEncoding));
  return uri.GetFullURI();
}

}  // namespace zal
