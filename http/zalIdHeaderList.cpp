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
  for (size_t i = 0; i < FLines.size(); ++i) {
    const std::string& line = FLines[i];
    const size_t colon = line.find(':');
    if (colon != std::string::npos && !IsContinuation(line) &&
        TextIsSame(Trim(std::string_view(line).substr(0, colon)), name))
      return static_cast<int>(i);
  }
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
  if (index < 0)
    return "";
  const std::string& line = FLines[static_cast<size_t>(index)];
  std::string value(Trim(std::string_view(line).substr(line.find(':') + 1)));
  const size_t end = EndOfEntry(static_cast<size_t>(index));
  for (size_t i = static_cast<size_t>(index) + 1; i < end; ++i) {
    value = std::string(Trim(value));
    value += ' ';
    value += Trim(FLines[i]);
  }
  return std::string(Trim(value));
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
  for (size_t i = 0; i < FLines.size(); i = EndOfEntry(i)) {
    const std::string& line = FLines[i];
    const size_t colon = line.find(':');
    if (colon == std::string::npos || IsContinuation(line) ||
        !TextIsSame(Trim(std::string_view(line).substr(0, colon)), name))
      continue;
    std::string value(Trim(std::string_view(line).substr(colon + 1)));
    for (size_t j = i + 1; j < EndOfEntry(i); ++j)
      value = std::string(Trim(value)) + " " + std::string(Trim(FLines[j]));
    dest.push_back(std::move(value));
  }
}

std::string TIdHeaderList::GetParam(std::string_view name, std::string_view param) const {
  return ExtractHeaderSubItem(GetValue(name), param, FQuoteType);
}

void TIdHeaderList::SetParam(std::string_view name, std::string_view param, const std::string& value,
                             bool quoteIfNeeded) {
  SetValue(name, ReplaceHeaderSubItem(GetValue(name), param, value, FQuoteType, quoteIfNeeded));
}

}  // namespace zal
