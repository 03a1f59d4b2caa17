#include "http/zalIdHTTPRequestParser.h"

#include <algorithm>
#include <charconv>
#include <vector>

#include "support/zalHelpers.h"
#include "support/zalIdURI.h"

namespace zal {

namespace {

// "HTTP/1.1" -> 1 and 1; -1 for a part that is no number.
void ApplyVersion(const std::string& version, TIdHTTPRequestInfo& request) {
  request.SetVersion(version);
  std::string_view rest = version;
  const size_t slash = rest.find('/');
  if (slash != std::string_view::npos)
    rest = rest.substr(slash + 1);
  const size_t dot = rest.find('.');
  request.SetVersionMajor(StrToIntDef(rest.substr(0, dot), -1));
  request.SetVersionMinor(dot == std::string_view::npos ? -1 : StrToIntDef(rest.substr(dot + 1), -1));
}

bool IsContinuationLine(const std::string& line) { return !line.empty() && (line[0] == ' ' || line[0] == '\t'); }

bool IsFieldLine(const std::string& line) {
  const size_t colon = line.find(':');
  return colon != 0 && colon != std::string::npos &&
         std::all_of(line.begin(), line.begin() + static_cast<ptrdiff_t>(colon), IsTokenChar);
}

// The codings of every Transfer-Encoding line in order, empty elements dropped.
std::vector<std::string> TransferCodingsOf(const TIdHeaderList& headers) {
  std::vector<std::string> values;
  headers.Extract("Transfer-Encoding", values);
  std::vector<std::string> codings;
  for (const std::string& value : values) {
    for (size_t start = 0; start <= value.size();) {
      const size_t comma = std::min(value.find(',', start), value.size());
      const std::string_view coding = Trim(std::string_view(value).substr(start, comma - start));
      if (!coding.empty())
        codings.emplace_back(coding);
      start = comma + 1;
    }
  }
  return codings;
}

std::string MethodOverride(const TIdHTTPRequestInfo& request) {
  for (const char* header : {"X-HTTP-Method-Override", "X-HTTP-Method", "X-METHOD-OVERRIDE"}) {
    const std::string value = request.RawHeaders().GetValue(header);
    if (!value.empty())
      return value;
  }
  return "";
}

}  // namespace

int RequestLineRefusal(std::string_view line) {
  const size_t methodEnd = line.find(' ');
  const size_t targetEnd = line.rfind(' ');
  if (methodEnd == 0 || methodEnd == std::string_view::npos || targetEnd <= methodEnd + 1)
    return 400;
  const std::string_view method = line.substr(0, methodEnd);
  const std::string_view target = line.substr(methodEnd + 1, targetEnd - methodEnd - 1);
  const std::string_view version = line.substr(targetEnd + 1);
  const auto visible = [](char c) { return static_cast<unsigned char>(c) > ' ' && c != 0x7F; };
  const auto digit = [](char c) { return c >= '0' && c <= '9'; };
  if (!std::all_of(method.begin(), method.end(), IsTokenChar) || !std::all_of(target.begin(), target.end(), visible) ||
      version.size() != 8 || !version.starts_with("HTTP/") || !digit(version[5]) || version[6] != '.' ||
      !digit(version[7]))
    return 400;
  return version[5] == '1' ? 0 : 505;
}

std::string ApplyRequestLine(const std::string& line, TIdHTTPRequestInfo& request) {
  const size_t lastSpace = line.rfind(' ');
  if (lastSpace == std::string::npos)
    throw EIdHTTPErrorParsingCommand();
  ApplyVersion(line.substr(lastSpace + 1), request);
  const std::string command = line.substr(0, lastSpace);
  const size_t space = command.find(' ');
  std::string method = UpperCase(command.substr(0, space));
  const std::string target = space == std::string::npos ? "" : command.substr(space + 1);
  // Only a POST may be overridden, and never into a HEAD: the answer's framing
  // follows the method on the wire, and a POST's answer carries the body it announces.
  if (method == "POST") {
    const std::string override = UpperCase(MethodOverride(request));
    if (!override.empty() && override != "HEAD" && std::all_of(override.begin(), override.end(), IsTokenChar))
      method = override;
  }
  request.SetRawHTTPCommand(line);
  request.SetCommand(method);
  request.SetCommandType(CommandTypeOf(method));
  return target;
}

void ApplyRequestTarget(const std::string& target, TIdHTTPRequestInfo& request) {
  const size_t question = target.find('?');
  request.SetQueryParams(question == std::string::npos ? "" : target.substr(question + 1));
  request.SetURI(target.substr(0, question));
  if (request.URI() == "*") {
    request.SetDocument("*");
    return;
  }
  const TIdURI uri(request.URI());
  const IIdTextEncoding* utf8 = &IdTextEncoding(tekUTF8);
  request.SetDocument(TIdURI::URLDecode(uri.Path(), utf8) + TIdURI::URLDecode(uri.Document(), utf8));
  if (!uri.Host().empty() && request.RawHeaders().IndexOfName("Host") < 0)
    request.SetHost(uri.Host());
}

bool ClosesConnection(bool serverKeepAlive, const TIdHTTPRequestInfo& request) {
  if (!serverKeepAlive)
    return true;
  if (request.IsVersionAtLeast(1, 1))
    return TextIsSame(request.Connection(), "close");
  return !TextIsSame(request.Connection(), "keep-alive");
}

std::optional<int64_t> ChunkSizeOf(std::string_view line) {
  const size_t digits = std::min(line.find_first_not_of("0123456789abcdefABCDEF"), line.size());
  const size_t extensions = std::min(line.find_first_not_of(" \t", digits), line.size());
  const bool endsAfterDigits = digits == line.size();
  if (digits == 0 || (!endsAfterDigits && (extensions == line.size() || line[extensions] != ';')))
    return std::nullopt;
  int64_t size = 0;
  const auto [end, error] = std::from_chars(line.data(), line.data() + digits, size, 16);
  if (error != std::errc())
    return std::nullopt;
  return size;
}

bool HeaderLinesAreWellFormed(std::span<const std::string> lines) {
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (line.find_first_of(std::string_view("\r\0", 2)) != std::string::npos)
      return false;
    // RFC 9112 2.2: white space before the first field line is refused.
    if (!(i > 0 && IsContinuationLine(line)) && !IsFieldLine(line))
      return false;
  }
  return true;
}

TIdRequestFraming RequestFramingOf(const TIdHeaderList& headers) {
  const std::optional<int64_t> length = DeclaredContentLength(headers);
  if (headers.IndexOfName("Transfer-Encoding") >= 0) {
    const std::vector<std::string> codings = TransferCodingsOf(headers);
    if (codings.size() == 1 && TextIsSame(codings[0], "identity") && !length)
      return {};
    const auto chunked = [](const std::string& coding) { return TextIsSame(coding, "chunked"); };
    // RFC 9112 6.3: chunked must come last, and only once (RFC 9112 7).
    if (length || codings.empty() || !chunked(codings.back()) || std::count_if(codings.begin(), codings.end(), chunked) > 1)
      return {bfNone, 0, 400};
    if (codings.size() > 1)
      return {bfNone, 0, 501};  // RFC 9112 6.1: a coding this server does not implement
    return {bfChunked, 0, 0};
  }
  if (!length)
    return {};
  if (*length < 0)
    return {bfNone, 0, 400};
  return {bfContentLength, *length, 0};
}

std::optional<int64_t> DeclaredContentLength(const TIdHeaderList& headers) {
  std::vector<std::string> values;
  headers.Extract("Content-Length", values);
  if (values.empty())
    return std::nullopt;
  int64_t length = -1;
  for (const auto& value : values) {
    const std::string_view text = Trim(value);
    int64_t parsed = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
    const bool valid = !text.empty() && error == std::errc() && end == text.data() + text.size() && parsed >= 0;
    if (!valid || (length >= 0 && parsed != length))
      return -1;
    length = parsed;
  }
  return length;
}

}  // namespace zal
