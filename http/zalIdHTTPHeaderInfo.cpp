#include "http/zalIdHTTPHeaderInfo.h"

#include <chrono>

#include "support/zalHelpers.h"

namespace zal {

namespace {

// A non-negative 64-bit number, or -1.
int64_t NumberOrMinusOne(std::string_view text) {
  const int64_t value = StrToInt64Def(Trim(text), -1);
  return value < 0 ? -1 : value;
}

std::string RangeBound(int64_t value) { return value >= 0 ? std::to_string(value) : "*"; }

}  // namespace

std::string DefaultCharSetOf(std::string_view mediaType) {
  const std::string type = LowerCase(Trim(mediaType));
  if (!type.starts_with("text/"))
    return "";
  const std::string subtype = type.substr(5);
  if (subtype == "xml" || subtype == "xml-external-parsed-entity" || subtype.ends_with("+xml"))
    return "us-ascii";
  return "ISO-8859-1";
}

void TIdEntityRanges::SetText(std::string_view value) {
  FItems.clear();
  std::string_view text = Trim(value);
  const size_t equals = text.find('=');
  FUnits = equals == std::string_view::npos ? "" : std::string(Trim(text.substr(0, equals)));
  if (FUnits.empty())
    FUnits = "bytes";
  if (equals != std::string_view::npos)
    text = text.substr(equals + 1);
  while (!text.empty()) {
    const size_t comma = text.find(',');
    const std::string_view piece = Trim(text.substr(0, comma));
    text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    const size_t dash = piece.find('-');
    if (piece.empty() || dash == std::string_view::npos)
      continue;
    TIdEntityRange range;
    if (dash == 0) {
      range.SuffixLength = NumberOrMinusOne(piece.substr(1));
    } else {
      range.StartPos = NumberOrMinusOne(piece.substr(0, dash));
      range.EndPos = NumberOrMinusOne(piece.substr(dash + 1));
    }
    FItems.push_back(range);
  }
}

void TIdEntityHeaderInfo::SetContentType(const std::string& value) {
  if (Trim(value).empty()) {
    FContentType.clear();
    FCharSet.clear();
    return;
  }
  FCharSet = ExtractHeaderSubItem(value, "charset", QuoteHTTP);
  FContentType = ReplaceHeaderSubItem(value, "charset", "", QuoteHTTP);
  if (FCharSet.empty())
    FCharSet = DefaultCharSetOf(ExtractHeaderItem(FContentType));
}

void TIdEntityHeaderInfo::ProcessHeaders() {
  const TIdHeaderList& h = FRawHeaders;
  FCacheControl = h.GetValue("Cache-control");
  FConnection = h.GetValue("Connection");
  FContentVersion = h.GetValue("Content-Version");
  FContentDisposition = h.GetValue("Content-Disposition");
  FContentEncoding = h.GetValue("Content-Encoding");
  FContentLanguage = h.GetValue("Content-Language");
  SetContentType(h.GetValue("Content-Type"));
  FContentLength = NumberOrMinusOne(h.GetValue("Content-Length"));

  // Content-Range: "bytes 0-99/1000".
  const std::string range = h.GetValue("Content-Range");
  FContentRangeStart = FContentRangeEnd = FContentRangeInstanceLength = -1;
  FContentRangeUnits.clear();
  if (!range.empty()) {
    const size_t space = range.find(' ');
    FContentRangeUnits = range.substr(0, space);
    const std::string_view rest = space == std::string::npos ? "" : std::string_view(range).substr(space + 1);
    const size_t dash = rest.find('-');
    const size_t slash = rest.find('/');
    FContentRangeStart = NumberOrMinusOne(rest.substr(0, dash));
    if (dash != std::string_view::npos)
      FContentRangeEnd = NumberOrMinusOne(rest.substr(dash + 1, slash == std::string_view::npos ? slash : slash - dash - 1));
    if (slash != std::string_view::npos)
      FContentRangeInstanceLength = NumberOrMinusOne(rest.substr(slash + 1));
  }

  FDate = HTTPDateToDateTime(h.GetValue("Date")).value_or(Now());
  FLastModified = HTTPDateToDateTime(h.GetValue("Last-Modified")).value_or(TDateTime{});

  // Expires: seconds from now, or a date; anything else counts as already expired.
  const std::string expires = h.GetValue("Expires");
  FExpires = TDateTime{};
  if (!expires.empty()) {
    const int64_t seconds = StrToInt64Def(expires, INT64_MIN);
    if (seconds != INT64_MIN)
      FExpires = seconds >= 0 ? Now() + std::chrono::seconds(seconds) : TDateTime{};
    else
      FExpires = HTTPDateToDateTime(expires).value_or(Now() - std::chrono::seconds(1));
  }
  FETag = h.GetValue("ETag");
  FPragma = h.GetValue("Pragma");
  FTransferEncoding = h.GetValue("Transfer-Encoding");
}

void TIdRequestHeaderInfo::ProcessHeaders() {
  TIdEntityHeaderInfo::ProcessHeaders();
  const TIdHeaderList& h = FRawHeaders;
  FAccept = h.GetValue("Accept");
  FAcceptCharSet = h.GetValue("Accept-Charset");
  FAcceptEncoding = h.GetValue("Accept-Encoding");
  FAcceptLanguage = h.GetValue("Accept-Language");
  FHost = h.GetValue("Host");
  FFrom = h.GetValue("From");
  FReferer = h.GetValue("Referer");
  FUserAgent = h.GetValue("User-Agent");
  FRanges.SetText(h.GetValue("Range"));
  FMethodOverride = h.GetValue("X-HTTP-Method-Override");
}

void TIdResponseHeaderInfo::SetHeaders() {
  TIdHeaderList& h = FRawHeaders;
  h.Clear();
  const auto add = [&h](std::string_view name, const std::string& value) {
    if (!value.empty())
      h.AddValue(name, value);
  };
  add("Connection", FConnection);
  add("Content-Version", FContentVersion);
  add("Content-Disposition", FContentDisposition);
  add("Content-Encoding", FContentEncoding);
  add("Content-Language", FContentLanguage);
  if (!FContentType.empty())
    add("Content-Type", FCharSet.empty() ? FContentType : ReplaceHeaderSubItem(FContentType, "charset", FCharSet, QuoteHTTP));
  if (FContentLength >= 0)
    add("Content-Length", std::to_string(FContentLength));
  add("Cache-control", FCacheControl);
  if (IsDateSet(FDate))
    add("Date", DateTimeToHTTPDate(FDate));
  add("ETag", FETag);
  if (IsDateSet(FExpires))
    add("Expires", DateTimeToHTTPDate(FExpires));
  add("Pragma", FPragma);
  add("Transfer-Encoding", FTransferEncoding);
  for (const auto& line : FCustomHeaders.Lines())
    h.Add(line);
  if (FContentRangeStart >= 0 || FContentRangeEnd >= 0 || FContentRangeInstanceLength >= 0) {
    const std::string units = FContentRangeUnits.empty() ? "bytes" : FContentRangeUnits;
    const std::string span = FContentRangeStart >= 0 || FContentRangeEnd >= 0
                                 ? RangeBound(FContentRangeStart) + "-" + RangeBound(FContentRangeEnd)
                                 : "*";
    add("Content-Range", units + " " + span + "/" + RangeBound(FContentRangeInstanceLength));
  }
  add("Accept-Patch", FAcceptPatch);
  add("Accept-Ranges", FAcceptRanges);
  if (IsDateSet(FLastModified))
    add("Last-Modified", DateTimeToHTTPDate(FLastModified));
  add("Server", FServer);
  add("Location", FLocation);
  for (const auto& challenge : FWWWAuthenticate.Lines())
    add("WWW-Authenticate", challenge);
  for (const auto& challenge : FProxyAuthenticate.Lines())
    add("Proxy-Authenticate", challenge);
}

}  // namespace zal
