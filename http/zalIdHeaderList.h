#pragma once
// TIdHeaderList: header lines "Name: value" in their order, with names compared
// ignoring ASCII case, continuation lines unfolded when read (RFC 7230 3.2.4
// obsolete line folding) and long lines folded when written.
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zal {

enum TIdHeaderQuotingType : uint8_t { QuotePlain, QuoteRFC822, QuoteMIME, QuoteHTTP };

class TIdHeaderList {
public:
  explicit TIdHeaderList(TIdHeaderQuotingType quoteType = QuoteHTTP) : FQuoteType(quoteType) {}

  // The raw lines, continuation lines included.
  const std::vector<std::string>& Lines() const { return FLines; }
  int Count() const { return static_cast<int>(FLines.size()); }
  const std::string& Strings(int index) const { return FLines.at(static_cast<size_t>(index)); }
  void Add(std::string line) { FLines.push_back(std::move(line)); }
  void Clear() { FLines.clear(); }
  // Hands the lines over, leaving the list empty.
  std::vector<std::string> TakeLines() { return std::exchange(FLines, {}); }
  // The lines joined with CR LF, each line ended.
  std::string Text() const;

  // The name of line `index`: the text before its first ":" (empty without one).
  std::string Names(int index) const;
  // The first line named `name` (ignoring case), or -1.
  int IndexOfName(std::string_view name) const;
  // The unfolded value of the first line named `name`; empty when absent.
  std::string GetValue(std::string_view name) const;
  // Replaces the first line named `name` (and its continuation lines) or appends
  // one; an empty value deletes it.
  void SetValue(std::string_view name, const std::string& value);
  // Appends a line, folded when folding is on.
  void AddValue(std::string_view name, const std::string& value);
  // Appends the values of every line named `name` to `dest`.
  void Extract(std::string_view name, std::vector<std::string>& dest) const;
  // A parameter ("charset" of "text/html; charset=utf-8") of the named header.
  std::string GetParam(std::string_view name, std::string_view param) const;
  // Sets (or, with an empty value, removes) a parameter of the named header.
  void SetParam(std::string_view name, std::string_view param, const std::string& value, bool quoteIfNeeded = true);

  const std::string& NameValueSeparator() const { return FNameValueSeparator; }
  void SetNameValueSeparator(const std::string& value) { FNameValueSeparator = value; }
  bool UnfoldLines() const { return FUnfoldLines; }
  void SetUnfoldLines(bool value) { FUnfoldLines = value; }
  bool FoldLines() const { return FFoldLines; }
  void SetFoldLines(bool value) { FFoldLines = value; }
  int FoldLinesLength() const { return FFoldLinesLength; }
  void SetFoldLinesLength(int value) { FFoldLinesLength = value; }
  TIdHeaderQuotingType QuoteType() const { return FQuoteType; }

private:
  // The line index just after line `index` and its continuation lines.
  size_t EndOfEntry(size_t index) const;
  // The value of the field on line `index` with its continuation lines unfolded.
  std::string UnfoldedValue(size_t index) const;
  std::vector<std::string> FormatLine(std::string_view name, const std::string& value) const;

  std::vector<std::string> FLines;
  std::string FNameValueSeparator = ": ";
  bool FUnfoldLines = true;
  bool FFoldLines = true;
  int FFoldLinesLength = 78;
  TIdHeaderQuotingType FQuoteType;
};

// A parameter of a header value: "charset" in "text/html; charset=utf-8".
std::string ExtractHeaderSubItem(std::string_view value, std::string_view subItem, TIdHeaderQuotingType quoteType);
// The value with the parameter set to `newValue` (removed when empty).
std::string ReplaceHeaderSubItem(std::string_view value, std::string_view subItem, const std::string& newValue,
                                 TIdHeaderQuotingType quoteType, bool quoteIfNeeded = true);
// The value before its first ";" (the media type of a Content-Type), trimmed.
std::string ExtractHeaderItem(std::string_view value);
// Whether `c` may appear in a token, such as a field name (RFC 9110 5.6.2: tchar).
bool IsTokenChar(char c);
// `value` in double quotes (with \ and " escaped) when it holds characters that
// are not token characters (RFC 7230 3.2.6).
std::string QuoteHeaderValueIfNeeded(const std::string& value, TIdHeaderQuotingType quoteType);

}  // namespace zal
