#pragma once
// The header fields of an HTTP message as record fields: the entity headers
// shared by requests and responses, then the request and response headers.
// ProcessHeaders reads the fields from RawHeaders; SetHeaders writes them back.
#include <cstdint>
#include <string>
#include <vector>

#include "http/zalIdHTTPDate.h"
#include "http/zalIdHeaderList.h"
#include "support/zalProperty.h"

namespace zal {

// One range of a "Range" header; unset values are -1.
struct TIdEntityRange {
  int64_t StartPos = -1;
  int64_t EndPos = -1;
  int64_t SuffixLength = -1;
};

class TIdEntityRanges {
public:
  const std::string& Units() const { return FUnits; }
  const std::vector<TIdEntityRange>& Items() const { return FItems; }
  int Count() const { return static_cast<int>(FItems.size()); }
  // Reads a "Range" value: "bytes=0-99,-500".
  void SetText(std::string_view value);

private:
  std::string FUnits;
  std::vector<TIdEntityRange> FItems;
};

class TIdEntityHeaderInfo {
public:
  virtual ~TIdEntityHeaderInfo() = default;

  TIdHeaderList& RawHeaders() { return FRawHeaders; }
  const TIdHeaderList& RawHeaders() const { return FRawHeaders; }
  TIdHeaderList& CustomHeaders() { return FCustomHeaders; }
  const TIdHeaderList& CustomHeaders() const { return FCustomHeaders; }

  const std::string& ContentType() const { return FContentType; }
  // Stores the media type without its "charset" parameter, which goes to CharSet;
  // text types without a charset get the default one.
  void SetContentType(const std::string& value);
  int64_t ContentLength() const { return FContentLength; }
  void SetContentLength(int64_t value) { FContentLength = value; }
  bool HasContentLength() const { return FContentLength >= 0; }

  // Fills the fields from RawHeaders.
  virtual void ProcessHeaders();

  ZAL_PROPERTY(std::string, CacheControl);
  ZAL_PROPERTY(std::string, CharSet);
  ZAL_PROPERTY(std::string, Connection);
  ZAL_PROPERTY(std::string, ContentDisposition);
  ZAL_PROPERTY(std::string, ContentEncoding);
  ZAL_PROPERTY(std::string, ContentLanguage);
  ZAL_PROPERTY(std::string, ContentVersion);
  ZAL_PROPERTY(std::string, ContentRangeUnits);
  ZAL_PROPERTY(int64_t, ContentRangeStart) = -1;
  ZAL_PROPERTY(int64_t, ContentRangeEnd) = -1;
  ZAL_PROPERTY(int64_t, ContentRangeInstanceLength) = -1;
  ZAL_PROPERTY(TDateTime, Date);
  ZAL_PROPERTY(TDateTime, Expires);
  ZAL_PROPERTY(TDateTime, LastModified);
  ZAL_PROPERTY(std::string, ETag);
  ZAL_PROPERTY(std::string, Pragma);
  ZAL_PROPERTY(std::string, TransferEncoding);

protected:
  TIdHeaderList FRawHeaders;
  TIdHeaderList FCustomHeaders;
  std::string FContentType;
  int64_t FContentLength = -1;
};

class TIdRequestHeaderInfo : public TIdEntityHeaderInfo {
public:
  void ProcessHeaders() override;
  TIdEntityRanges& Ranges() { return FRanges; }
  const TIdEntityRanges& Ranges() const { return FRanges; }

  ZAL_PROPERTY(std::string, Accept);
  ZAL_PROPERTY(std::string, AcceptCharSet);
  ZAL_PROPERTY(std::string, AcceptEncoding);
  ZAL_PROPERTY(std::string, AcceptLanguage);
  ZAL_PROPERTY(std::string, Host);
  ZAL_PROPERTY(std::string, From);
  ZAL_PROPERTY(std::string, Referer);
  ZAL_PROPERTY(std::string, UserAgent);
  ZAL_PROPERTY(std::string, MethodOverride);
  // Present in the record, not filled by the server.
  ZAL_PROPERTY(std::string, Expect);
  ZAL_PROPERTY(std::string, Password);
  ZAL_PROPERTY(std::string, UserName);
  ZAL_PROPERTY(std::string, ProxyConnection);
  ZAL_PROPERTY(bool, BasicByDefault) = false;

protected:
  TIdEntityRanges FRanges;
};

class TIdResponseHeaderInfo : public TIdEntityHeaderInfo {
public:
  TIdHeaderList& WWWAuthenticate() { return FWWWAuthenticate; }
  TIdHeaderList& ProxyAuthenticate() { return FProxyAuthenticate; }
  // Writes the fields into RawHeaders in their written order.
  void SetHeaders();

  ZAL_PROPERTY(std::string, AcceptPatch);
  ZAL_PROPERTY(std::string, AcceptRanges);
  ZAL_PROPERTY(std::string, Location);
  ZAL_PROPERTY(std::string, Server);
  ZAL_PROPERTY(std::string, ProxyConnection);

protected:
  TIdHeaderList FProxyAuthenticate;
  TIdHeaderList FWWWAuthenticate;
};

// The default charset of a media type without one: "us-ascii" for XML text,
// "ISO-8859-1" for other text, empty for the rest.
std::string DefaultCharSetOf(std::string_view mediaType);

}  // namespace zal
