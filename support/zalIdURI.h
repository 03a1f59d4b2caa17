#pragma once
// Splitting of URIs and HTTP request targets into their parts (RFC 3986), and
// percent-decoding and -encoding of their text.
#include "support/zalIdTextEncoding.h"
#include "support/zalTypes.h"

#include <string>
#include <string_view>

namespace zal {

class TIdURI {
public:
  TIdURI() = default;
  explicit TIdURI(std::string_view AURI) { SetURI(AURI); }

  // Splits `AURI`: "\" in the path becomes "/", then query ("?"), fragment ("#"),
  // scheme, user information, host (a bracketed host is IPv6), port, path and document.
  void SetURI(std::string_view AURI);
  const std::string& URI() const { return FURI; }

  const std::string& Protocol() const { return FProtocol; }
  const std::string& Host() const { return FHost; }
  const std::string& Port() const { return FPort; }
  const std::string& Path() const { return Fpath; }
  const std::string& Document() const { return FDocument; }
  const std::string& Params() const { return FParams; }
  const std::string& Bookmark() const { return FBookmark; }
  const std::string& Username() const { return FUserName; }
  const std::string& Password() const { return FPassword; }
  TIdIPVersion IPVersion() const { return FIPVersion; }

  void SetProtocol(std::string v) { FProtocol = std::move(v); }
  void SetHost(std::string v) { FHost = std::move(v); }
  void SetPort(std::string v) { FPort = std::move(v); }
  void SetPath(std::string v) { Fpath = std::move(v); }
  void SetDocument(std::string v) { FDocument = std::move(v); }
  void SetParams(std::string v) { FParams = std::move(v); }
  void SetBookmark(std::string v) { FBookmark = std::move(v); }
  void SetUsername(std::string v) { FUserName = std::move(v); }
  void SetPassword(std::string v) { FPassword = std::move(v); }
  void SetIPVersion(TIdIPVersion v) { FIPVersion = v; }

  // The URI put together from its parts.
  std::string GetFullURI() const;
  // Path, document and "?" query.
  std::string GetPathAndParams() const;

  // Percent-decoding: "%XX" gives an octet, "%uXXXX" a UTF-16 code unit encoded with
  // `AByteEncoding` (a high and a low surrogate escape in a row form one character),
  // any other character the low 8 bits of its code; the octets are then decoded with
  // `AByteEncoding` (UTF-8 when none is given). An escape whose digits are not
  // hexadecimal gives nothing; "+" stays "+". Never raises.
  static std::string URLDecode(std::string_view ASrc, const IIdTextEncoding* AByteEncoding = nullptr);
  // Percent-encodes a whole URI: its path and its query, each with its own rules.
  static std::string URLEncode(std::string_view ASrc, const IIdTextEncoding* AByteEncoding = nullptr);
  // Percent-encodes a query: keeps unreserved characters and "=&/:?@!$'()*+,;".
  static std::string ParamsEncode(std::string_view ASrc, const IIdTextEncoding* AByteEncoding = nullptr);
  // Percent-encodes a path: keeps unreserved characters and "/:@!$&'()*+,;=".
  static std::string PathEncode(std::string_view ASrc, const IIdTextEncoding* AByteEncoding = nullptr);

private:
  void Clear();
  void SplitAuthority(std::string_view authority);

  std::string FURI;
  std::string FProtocol;
  std::string FHost;
  std::string FPort;
  std::string Fpath;
  std::string FDocument;
  std::string FParams;
  std::string FBookmark;
  std::string FUserName;
  std::string FPassword;
  TIdIPVersion FIPVersion = Id_IPv4;
};

}  // namespace zal
