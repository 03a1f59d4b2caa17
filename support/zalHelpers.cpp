#include "support/zalHelpers.h"

#include "support/zalIdCoderMIME.h"
#include "support/zalIdException.h"

#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <ctime>

namespace zal {

namespace {

char LowerASCII(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; }

bool SameIgnoringCase(char a, char b) { return LowerASCII(a) == LowerASCII(b); }

template <typename Int>
Int ParseIntDef(std::string_view text, Int defaultValue) {
  text = Trim(text);
  if (!text.empty() && text.front() == '+')
    text.remove_prefix(1);
  Int value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size())
    return defaultValue;
  return value;
}

bool NeedsQuotes(std::string_view item) {
  return item.find_first_of(" ,\"") != std::string_view::npos;
}

}  // namespace

void FillRandom(uint8_t* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t got = getrandom(data + done, size - done, 0);
    if (got < 0) {
      if (errno == EINTR)
        continue;
      throw EIdException("Could not read the system random source");
    }
    done += static_cast<size_t>(got);
  }
}

std::string CreateGuidString() {
  uint8_t guid[16];
  FillRandom(guid, sizeof guid);
  guid[6] = static_cast<uint8_t>((guid[6] & 0x0F) | 0x40);  // version 4 (RFC 4122 section 4.4)
  guid[8] = static_cast<uint8_t>((guid[8] & 0x3F) | 0x80);  // RFC 4122 variant
  return BytesToHex(guid);
}

uint64_t GetTickCount64() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

uint64_t GetTickDiff64(uint64_t oldTick, uint64_t newTick) {
  // Unsigned subtraction is modulo 2^64: across the wrap it gives the true distance.
  return newTick - oldTick;
}

void AppendBytes(TIdBytes& dest, std::span<const uint8_t> source) {
  dest.insert(dest.end(), source.begin(), source.end());
}

void KeepLastBytes(TIdBytes& buffer, size_t count) {
  if (buffer.size() > count)
    buffer.erase(buffer.begin(), buffer.end() - static_cast<std::ptrdiff_t>(count));
}

void KeepLastBytes(TStream& stream, int64_t count) {
  const int64_t size = stream.Size();
  if (count < 0)
    count = 0;
  if (size > count) {
    TIdBytes tail(static_cast<size_t>(count));
    stream.SetPosition(size - count);
    stream.ReadBuffer(tail.data(), count);
    stream.SetPosition(0);
    stream.WriteBuffer(tail.data(), count);
    stream.SetSize(count);
  }
  stream.SetPosition(0);
}

bool TextIsSame(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), SameIgnoringCase);
}

bool TextStartsWith(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && TextIsSame(text.substr(0, prefix.size()), prefix);
}

bool TextEndsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && TextIsSame(text.substr(text.size() - suffix.size()), suffix);
}

size_t TextPos(std::string_view needle, std::string_view text, size_t from) {
  if (from > text.size())
    return std::string_view::npos;
  const auto found = std::search(text.begin() + static_cast<std::ptrdiff_t>(from), text.end(), needle.begin(),
                                 needle.end(), SameIgnoringCase);
  return found == text.end() && !needle.empty() ? std::string_view::npos
                                                 : static_cast<size_t>(found - text.begin());
}

std::string UpperCase(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'a' && c <= 'z')
      c = static_cast<char>(c - ('a' - 'A'));
  return out;
}

std::string LowerCase(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    c = LowerASCII(c);
  return out;
}

std::string EscapeControlOctets(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string escaped;
  escaped.reserve(text.size());
  for (const char c : text) {
    const auto octet = static_cast<unsigned char>(c);
    if (octet >= ' ' && octet != 0x7F && octet != '\\') {
      escaped.push_back(c);
      continue;
    }
    escaped += "\\x";
    escaped.push_back(kHex[octet >> 4]);
    escaped.push_back(kHex[octet & 0xF]);
  }
  return escaped;
}

std::string_view Trim(std::string_view text) {
  const auto isBlank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
  while (!text.empty() && isBlank(text.front()))
    text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back()))
    text.remove_suffix(1);
  return text;
}

bool MatchesMask(std::string_view text, std::string_view mask) {
  // Greedy matching with one backtrack point (the last "*"): linear in practice,
  // never exponential.
  size_t t = 0, m = 0;
  size_t starMask = std::string_view::npos, starText = 0;
  while (t < text.size()) {
    if (m < mask.size() && (mask[m] == '?' || (mask[m] != '*' && SameIgnoringCase(mask[m], text[t])))) {
      ++t, ++m;
    } else if (m < mask.size() && mask[m] == '*') {
      starMask = m++;
      starText = t;
    } else if (starMask != std::string_view::npos) {
      m = starMask + 1;
      t = ++starText;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == '*')
    ++m;
  return m == mask.size();
}

std::string Fetch(std::string& text, std::string_view delimiter, bool caseSensitive) {
  const size_t pos = caseSensitive ? text.find(delimiter) : TextPos(delimiter, text);
  if (pos == std::string::npos || delimiter.empty()) {
    std::string all = std::move(text);
    text.clear();
    return all;
  }
  std::string head = text.substr(0, pos);
  text.erase(0, pos + delimiter.size());
  return head;
}

std::vector<std::string_view> Split(std::string_view text, char delimiter) {
  std::vector<std::string_view> items;
  for (;;) {
    const size_t end = text.find(delimiter);
    items.push_back(text.substr(0, end));
    if (end == std::string_view::npos)
      return items;
    text.remove_prefix(end + 1);
  }
}

std::vector<std::string_view> SplitTrimmed(std::string_view text, char delimiter) {
  std::vector<std::string_view> items = Split(text, delimiter);
  for (std::string_view& item : items)
    item = Trim(item);
  return items;
}

int PosInStrArray(std::string_view text, std::span<const std::string> values, bool caseSensitive) {
  for (size_t i = 0; i < values.size(); ++i)
    if (caseSensitive ? values[i] == text : TextIsSame(values[i], text))
      return static_cast<int>(i);
  return -1;
}

int PosInStrArray(std::string_view text, std::initializer_list<std::string_view> values, bool caseSensitive) {
  int index = 0;
  for (std::string_view value : values) {
    if (caseSensitive ? value == text : TextIsSame(value, text))
      return index;
    ++index;
  }
  return -1;
}

int StrToIntDef(std::string_view text, int defaultValue) { return ParseIntDef<int>(text, defaultValue); }

int StrToInt(std::string_view text) {
  int value = 0;
  const char* first = text.data();
  const char* last = first + text.size();
  if (first != last && *first == '+')
    ++first;
  const auto [end, error] = std::from_chars(first, last, value);
  if (text.empty() || error != std::errc() || end != last)
    throw EConvertError("'" + std::string(text) + "' is not a valid integer value");
  return value;
}

int64_t StrToInt64Def(std::string_view text, int64_t defaultValue) {
  return ParseIntDef<int64_t>(text, defaultValue);
}

void CheckCharPos(int ACharPos) {
  if (ACharPos < 1)
    throw EIdException("Invalid ACharPos");
}

std::string TzalDelimitedStringList::DelimitedText() const {
  std::string out;
  for (size_t i = 0; i < FStrings.size(); ++i) {
    if (i > 0)
      out.push_back(Delimiter);
    const std::string& item = FStrings[i];
    if (!NeedsQuotes(item)) {
      out += item;
      continue;
    }
    out.push_back(QuoteChar);
    for (char c : item) {
      if (c == QuoteChar)
        out.push_back(QuoteChar);
      out.push_back(c);
    }
    out.push_back(QuoteChar);
  }
  return out;
}

void TzalDelimitedStringList::SetDelimitedText(std::string_view text) {
  FStrings.clear();
  if (text.empty())
    return;
  std::string item;
  bool quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c != QuoteChar)
        item.push_back(c);
      else if (i + 1 < text.size() && text[i + 1] == QuoteChar)
        item.push_back(text[++i]);
      else
        quoted = false;
    } else if (c == QuoteChar) {
      quoted = true;
    } else if (c == Delimiter) {
      FStrings.push_back(std::move(item));
      item.clear();
    } else {
      item.push_back(c);
    }
  }
  FStrings.push_back(std::move(item));
}

}  // namespace zal
