#pragma once
// Small helpers shared by the protocol layers: connection identifiers, the tick
// counter, text comparisons and splitting, wildcard masks and delimited lists.
#include "support/zalIdTextEncoding.h"
#include "support/zalStream.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zal {

// A new random identifier: a version 4 GUID from the OS random source, as 32
// uppercase hexadecimal digits without braces or dashes.
std::string CreateGuidString();
// Fills `data` from the OS random source (getrandom).
void FillRandom(uint8_t* data, size_t size);

// Milliseconds since system start (CLOCK_MONOTONIC).
uint64_t GetTickCount64();
// Milliseconds from `oldTick` to `newTick`, also when the counter wrapped between them.
uint64_t GetTickDiff64(uint64_t oldTick, uint64_t newTick);

// Appends `source` to `dest`.
void AppendBytes(TIdBytes& dest, std::span<const uint8_t> source);
// Keeps only the last `count` octets of `buffer` (all of them when it holds fewer).
void KeepLastBytes(TIdBytes& buffer, size_t count);
// Cuts the stream to its last `count` octets (all of them when it holds fewer)
// and moves its position to the start.
void KeepLastBytes(TStream& stream, int64_t count);

// Comparisons that ignore ASCII letter case.
bool TextIsSame(std::string_view a, std::string_view b);
bool TextStartsWith(std::string_view text, std::string_view prefix);
bool TextEndsWith(std::string_view text, std::string_view suffix);
// Position of `needle` in `text` ignoring ASCII letter case, or npos.
size_t TextPos(std::string_view needle, std::string_view text, size_t from = 0);
std::string UpperCase(std::string_view text);
std::string LowerCase(std::string_view text);
// `text` without leading and trailing white space and control characters.
std::string_view Trim(std::string_view text);
// `text` fit for one log line: every control octet (below 32, and 127) and the
// backslash written as \xHH, so no peer's octets can end a line, forge another
// or drive a terminal.
std::string EscapeControlOctets(std::string_view text);

// Whether `text` matches `mask`, where "*" stands for any run of characters and "?"
// for one; ASCII letter case is ignored. Runs in O(len(text) * len(mask)) at worst.
bool MatchesMask(std::string_view text, std::string_view mask);

// Removes the text up to the first `delimiter` from `text` and returns it; the
// delimiter is removed too. Without a delimiter the whole text is returned and
// `text` becomes empty.
std::string Fetch(std::string& text, std::string_view delimiter, bool caseSensitive = true);

// The items of a list separated by `delimiter`, as they are; empty items are kept.
std::vector<std::string_view> Split(std::string_view text, char delimiter);
// The items of a list separated by `delimiter`, each without surrounding
// white space (RFC 9110 5.6.1: optional white space around list separators).
// Empty items are kept.
std::vector<std::string_view> SplitTrimmed(std::string_view text, char delimiter);

// Index of `text` in `values`, or -1.
int PosInStrArray(std::string_view text, std::span<const std::string> values, bool caseSensitive = true);
int PosInStrArray(std::string_view text, std::initializer_list<std::string_view> values, bool caseSensitive = true);

// The decimal integer in `text` after trimming, or `defaultValue` when there is
// none or it does not fit.
int StrToIntDef(std::string_view text, int defaultValue);
// The whole text as a decimal integer (an optional "+" first), or EConvertError
// "'%s' is not a valid integer value".
int StrToInt(std::string_view text);
int64_t StrToInt64Def(std::string_view text, int64_t defaultValue);

// Raises EIdException "Invalid ACharPos" when the 1-based position is below 1.
void CheckCharPos(int ACharPos);

// A string list whose delimited text uses "," and splits only at the delimiter
// (spaces do not split). Items holding a space, the delimiter or a quote are
// written in double quotes, with quotes inside doubled.
class TzalDelimitedStringList {
public:
  static constexpr char Delimiter = ',';
  static constexpr char QuoteChar = '"';

  std::vector<std::string>& Strings() { return FStrings; }
  const std::vector<std::string>& Strings() const { return FStrings; }
  void Add(std::string s) { FStrings.push_back(std::move(s)); }
  size_t Count() const { return FStrings.size(); }

  std::string DelimitedText() const;
  void SetDelimitedText(std::string_view text);

private:
  std::vector<std::string> FStrings;
};

}  // namespace zal
