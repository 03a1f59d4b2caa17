#include "http/zalIdHeaderList.h"

#include <algorithm>

#include "support/zalHelpers.h"

namespace zal {

namespace {

bool IsContinuation(const std::string& line) { return !line.empty() && (line[0] == ' ' || line[0] == '\t'); }

std::string Unquote(std::string_view text) {
  if (text.size() < 2 || text.front() != '"' || text.back() != '"')
    return std::string(text);
  std::string out;
  for (size_t i = 1; i + 1 < text.size(); ++i) {
    if (text[i] == '\\' && i + 2 < text.size())
      ++i;
    out.push_back(text[i]);
  }
  return out;
}

// The parameters of a header value split at ";" outside quoted strings.
std::vector<std::string_view> SplitParams(std::string_view value) {
  std::vector<std::string_view> pieces;
  bool quoted = false;
  size_t start = 0;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '"')
      quoted = !quoted;
    else if (value[i] == '\\' && quoted)
      ++i;
    else if (value[i] == ';' && !quoted) {
      pieces.push_back(value.substr(start, i - start));
      start = i + 1;
    }
  }
  pieces.push_back(value.substr(std::min(start, value.size())));
  return pieces;
}

std::string_view TrimRight(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ')
    text.remove_suffix(1);
  return text;
}

// Whether `line` is a field line (not a continuation) named `name`, ignoring
// case; blanks may stand between the name and its colon. Only the octets up to
// the colon are looked at, however long the value.
bool NameIs(const std::string& line, std::string_view name) {
  if (IsContinuation(line) || line.size() <= name.size() ||
      !TextIsSame(std::string_view(line).substr(0, name.size()), name))
    return false;
  size_t at = name.size();
  while (at < line.size() && (line[at] == ' ' || line[at] == '\t'))
    ++at;
  return at < line.size() && line[at] == ':';
}

std::string_view ParamName(std::string_view piece) { return Trim(piece.substr(0, piece.find('='))); }

}  // namespace

bool IsTokenChar(char c) {
  if (static_cast<unsigned char>(c) <= 32 || static_cast<unsigned char>(c) >= 127)
    return false;
  return std::string_view("()<>@,;:\\\"/[]?={}").find(c) == std::string_view::npos;
}

std::string QuoteHeaderValueIfNeeded(const std::string& value, TIdHeaderQuotingType quoteType) {
  if (quoteType == QuotePlain || (!value.empty() && std::all_of(value.begin(), value.end(), IsTokenChar)))
    return value;
  std::string quoted = "\"";
  for (char c : value) {
    if (c == '"' || c == '\\')
      quoted.push_back('\\');
    quoted.push_back(c);
  }
  quoted.push_back('"');
  return quoted;
}

std::string ExtractHeaderItem(std::string_view value) { return std::string(Trim(SplitParams(value).front())); }

std::string ExtractHeaderSubItem(std::string_view value, std::string_view subItem, TIdHeaderQuotingType) {
  const auto pieces = SplitParams(value);
  for (size_t i = 1; i < pieces.size(); ++i) {
    const std::string_view piece = pieces[i];
    const size_t equals = piece.find('=');
    if (equals != std::string_view::npos && TextIsSame(ParamName(piece), subItem))
      return Unquote(Trim(piece.substr(equals + 1)));
  }
  return "";
}

std::string ReplaceHeaderSubItem(std::string_view value, std::string_view subItem, const std::string& newValue,
                                 TIdHeaderQuotingType quoteType, bool quoteIfNeeded) {
  const auto pieces = SplitParams(value);
  std::string out(Trim(pieces.front()));
  for (size_t i = 1; i < pieces.size(); ++i) {
    if (Trim(pieces[i]).empty() || TextIsSame(ParamName(pieces[i]), subItem))
      continue;
    out += "; ";
    out += Trim(pieces[i]);
  }
  if (!newValue.empty()) {
    out += "; ";
    out += subItem;
    out += "=";
    out += quoteIfNeeded ? QuoteHeaderValueIfNeeded(newValue, quoteType) : newValue;
  }
  return out;
}

std::string TIdHeaderList::Text() const {
  std::string text;
  for (const auto& line : FLines) {
    text += line;
    text += "\r\n";
  }
  return text;
}

std::string TIdHeaderList::Names(int index) const {
  const std::string& line = Strings(index);
  const size_t colon = line.find(':');
  return colon == std::string::npos ? std::string() : std::string(Trim(std::string_view(line).substr(0, colon)));
}

int TIdHeaderList::IndexOfName(std::string_view name) const {
  for (size_t i = 0; i < FLines.size(); ++i)
    if (NameIs(FLines[i], name))
      return static_cast<int>(i);
  return -1;
}

size_t TIdHeaderList::EndOfEntry(size_t index) const {
  size_t next = index + 1;
  while (FUnfoldLines && next < FLines.size() && IsContinuation(FLines[next]))
    ++next;
  return next;
}

std::string TIdHeaderList::GetValue(std::string_view name) const {
  const int index = IndexOfName(name);
  return index < 0 ? std::string() : UnfoldedValue(static_cast<size_t>(index));
}

// Each continuation line is trimmed and joined to the value so far (itself
// right-trimmed) with one space, appending in place: linear in the entry's size.
std::string TIdHeaderList::UnfoldedValue(size_t index) const {
  const std::string& line = FLines[index];
  const size_t end = EndOfEntry(index);
  size_t size = 0;
  for (size_t i = index; i < end; ++i)
    size += FLines[i].size();
  std::string value;
  value.reserve(size);
  value = Trim(std::string_view(line).substr(line.find(':') + 1));
  for (size_t i = index + 1; i < end; ++i) {
    value.resize(TrimRight(value).size());
    value += ' ';
    value += Trim(FLines[i]);
  }
  value.resize(TrimRight(value).size());
  return value;
}

std::vector<std::string> TIdHeaderList::FormatLine(std::string_view name, const std::string& value) const {
  std::string line = std::string(name) + FNameValueSeparator + value;
  std::vector<std::string> lines;
  if (!FFoldLines || FFoldLinesLength <= 0) {
    lines.push_back(std::move(line));
    return lines;
  }
  const size_t limit = static_cast<size_t>(FFoldLinesLength);
  // Wrap at the last space, tab or comma that keeps the piece within the limit.
  while (line.size() > limit) {
    size_t cut = line.find_last_of(" \t,", limit);
    if (cut == std::string::npos || cut <= name.size() + 1)
      break;
    if (line[cut] == ',')
      ++cut;
    lines.push_back(line.substr(0, cut));
    std::string rest(Trim(std::string_view(line).substr(cut)));
    line = " " + rest;
  }
  lines.push_back(std::move(line));
  return lines;
}

void TIdHeaderList::SetValue(std::string_view name, const std::string& value) {
  const int index = IndexOfName(name);
  if (index < 0) {
    if (!value.empty())
      AddValue(name, value);
    return;
  }
  const auto first = FLines.begin() + index;
  FLines.erase(first, FLines.begin() + static_cast<ptrdiff_t>(EndOfEntry(static_cast<size_t>(index))));
  if (!value.empty()) {
    auto lines = FormatLine(name, value);
    FLines.insert(FLines.begin() + index, lines.begin(), lines.end());
  }
}

void TIdHeaderList::AddValue(std::string_view name, const std::string& value) {
  for (auto& line : FormatLine(name, value))
    FLines.push_back(std::move(line));
}

void TIdHeaderList::Extract(std::string_view name, std::vector<std::string>& dest) const {
  for (size_t i = 0; i < FLines.size(); i = EndOfEntry(i))
    if (NameIs(FLines[i], name))
      dest.push_back(UnfoldedValue(i));
}

std::string TIdHeaderList::GetParam(std::string_view name, std::string_view param) const {
  return ExtractHeaderSubItem(GetValue(name), param, FQuoteType);
}

void TIdHeaderList::SetParam(std::string_view name, std::string_view param, const std::string& value,
                             bool quoteIfNeeded) {
  SetValue(name, ReplaceHeaderSubItem(GetValue(name), param, value, FQuoteType, quoteIfNeeded));
}

}  // namespace zal
