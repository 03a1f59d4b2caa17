#include "support/zalIdTextEncoding.h"

#include "support/zalIdException.h"

#include <iconv.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <map>
#include <memory>
#include <mutex>

namespace zal {

namespace {

constexpr char32_t kReplacementCharacter = 0xFFFD;

// Collects UTF-16 code units and appends the code points they form as UTF-8;
// a surrogate without its partner becomes U+FFFD.
class TUTF16UnitSink {
public:
  explicit TUTF16UnitSink(std::string& out) : FOut(out) {}
  ~TUTF16UnitSink() { Flush(); }

  void Put(char16_t unit) {
    if (FHigh != 0) {
      if (unit >= 0xDC00 && unit <= 0xDFFF) {
        AppendUTF8(0x10000 + ((char32_t(FHigh) - 0xD800) << 10) + (char32_t(unit) - 0xDC00), FOut);
        FHigh = 0;
        return;
      }
      Flush();
    }
    if (unit >= 0xD800 && unit <= 0xDBFF)
      FHigh = unit;
    else if (unit >= 0xDC00 && unit <= 0xDFFF)
      AppendUTF8(kReplacementCharacter, FOut);
    else
      AppendUTF8(unit, FOut);
  }

  // Ends a run of units: a pending high surrogate becomes U+FFFD.
  void Flush() {
    if (FHigh != 0)
      AppendUTF8(kReplacementCharacter, FOut);
    FHigh = 0;
  }

private:
  std::string& FOut;
  char16_t FHigh = 0;
};

// Calls `put` with the UTF-16 code units of the UTF-8 text.
template <typename Put>
void ForEachUTF16Unit(std::string_view text, Put put) {
  for (size_t pos = 0; pos < text.size();) {
    const char32_t cp = NextUTF8CodePoint(text, pos);
    if (cp < 0x10000) {
      put(static_cast<char16_t>(cp));
    } else {
      put(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      put(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    }
  }
}

constexpr std::string_view kUTF7Base64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

bool IsUTF7Direct(char c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
    return true;
  return std::string_view("'(),-./:? \t\r\n").find(c) != std::string_view::npos;
}

int UTF7Base64Value(uint8_t c) {
  const size_t pos = c < 0x80 ? kUTF7Base64.find(static_cast<char>(c)) : std::string_view::npos;
  return pos == std::string_view::npos ? -1 : static_cast<int>(pos);
}

// Decodes the Base64 run of UTF-7 starting at `i`; returns the index of its last
// octet (the absorbed "-", or the one before the first octet outside the run).
size_t DecodeUTF7Shifted(std::span<const uint8_t> bytes, size_t i, TUTF16UnitSink& sink) {
  uint32_t bits = 0;
  int bitCount = 0;
  for (; i < bytes.size(); ++i) {
    const int value = UTF7Base64Value(bytes[i]);
    if (value < 0)
      break;
    bits = (bits << 6) | static_cast<uint32_t>(value);
    bitCount += 6;
    if (bitCount >= 16) {
      bitCount -= 16;
      sink.Put(static_cast<char16_t>(bits >> bitCount));
      bits &= (1u << bitCount) - 1;
    }
  }
  if (i < bytes.size() && bytes[i] == '-')
    return i;
  return i - 1;
}

void AppendUTF8Octets(char32_t cp, TIdBytes& out) {
  std::string text;
  AppendUTF8(cp, text);
  out.insert(out.end(), text.begin(), text.end());
}

bool ConverterExists(const std::string& to, const std::string& from) {
  const iconv_t cd = iconv_open(to.c_str(), from.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1))
    return false;
  iconv_close(cd);
  return true;
}

// Converts `input` with iconv into `out`; at every octet it cannot convert it
// calls `onInvalid(input, pos)`, which appends a substitute and advances pos.
template <typename OnInvalid>
void Convert(const std::string& to, const std::string& from, std::string_view input, OnInvalid onInvalid,
             TIdBytes& out) {
  const iconv_t cd = iconv_open(to.c_str(), from.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1))
    return;
  char chunk[4096];
  size_t pos = 0;
  while (pos < input.size()) {
    char* in = const_cast<char*>(input.data() + pos);
    size_t inLeft = input.size() - pos;
    char* outPtr = chunk;
    size_t outLeft = sizeof chunk;
    const size_t result = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    const int error = errno;
    out.insert(out.end(), chunk, outPtr);
    pos = input.size() - inLeft;
    if (result == static_cast<size_t>(-1) && error != E2BIG)
      onInvalid(input, pos);
  }
  char* outPtr = chunk;
  size_t outLeft = sizeof chunk;
  iconv(cd, nullptr, nullptr, &outPtr, &outLeft);  // flush any shift state
  out.insert(out.end(), chunk, outPtr);
  iconv_close(cd);
}

// The iconv name of a code page number.
std::string CharsetOfCodePage(int codePage) {
  if (codePage >= 28591 && codePage <= 28599)
    return "ISO-8859-" + std::to_string(codePage - 28590);
  switch (codePage) {
    case 28603: return "ISO-8859-13";
    case 28605: return "ISO-8859-15";
    case 20866: return "KOI8-R";
    case 21866: return "KOI8-U";
    case 51932: return "EUC-JP";
    case 51949: return "EUC-KR";
    case 54936: return "GB18030";
    case 950: return "BIG5";
    case 12000: return "UTF-32LE";
    case 12001: return "UTF-32BE";
    default: return "CP" + std::to_string(codePage);
  }
}

// One converter per code page number, kept for the process lifetime.
const IIdTextEncoding& MBCSEncodingForCodePage(int codePage) {
  static std::mutex lock;
  static std::map<int, std::unique_ptr<TIdMBCSEncoding>> encodings;
  std::lock_guard guard(lock);
  auto& slot = encodings[codePage];
  if (!slot) {
    try {
      slot = std::make_unique<TIdMBCSEncoding>(codePage);
    } catch (...) {
      encodings.erase(codePage);
      throw;
    }
  }
  return *slot;
}

// Length of the run of ASCII octets at the start of `text`: single-byte
// encodings copy such runs whole.
size_t LeadingASCII(std::string_view text) {
  return static_cast<size_t>(
      std::find_if(text.begin(), text.end(), [](char c) { return static_cast<uint8_t>(c) >= 0x80; }) - text.begin());
}

std::atomic<TIdTextEncodingKind> gDefaultKind{tekASCII};

}  // namespace

void TIdSingleByteEncodingBase::AppendBytes(std::string_view text, TIdBytes& out) const {
  out.reserve(out.size() + text.size());
  for (size_t pos = 0; pos < text.size();) {
    const size_t run = LeadingASCII(text.substr(pos));
    out.insert(out.end(), text.begin() + pos, text.begin() + pos + run);
    pos += run;
    if (pos == text.size())
      break;
    const char32_t cp = NextUTF8CodePoint(text, pos);
    out.push_back(cp < FLimit ? static_cast<uint8_t>(cp) : static_cast<uint8_t>('?'));
  }
}

void TIdSingleByteEncodingBase::AppendString(std::span<const uint8_t> bytes, std::string& out) const {
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  out.reserve(out.size() + bytes.size());
  for (size_t pos = 0; pos < text.size();) {
    const size_t run = LeadingASCII(text.substr(pos));
    out.append(text.substr(pos, run));
    pos += run;
    if (pos == text.size())
      break;
    const auto b = static_cast<uint8_t>(text[pos++]);
    AppendUTF8(b < FLimit ? char32_t(b) : kReplacementCharacter, out);
  }
}

void TIdUTF8Encoding::AppendBytes(std::string_view text, TIdBytes& out) const {
  out.insert(out.end(), text.begin(), text.end());
}

// Invalid sequences become U+FFFD; valid text is copied unchanged.
void TIdUTF8Encoding::AppendString(std::span<const uint8_t> bytes, std::string& out) const {
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  out.reserve(out.size() + bytes.size());
  for (size_t pos = 0; pos < text.size();) {
    const size_t start = pos;
    const char32_t cp = NextUTF8CodePoint(text, pos);
    if (cp == kReplacementCharacter && pos - start == 1)
      AppendUTF8(cp, out);
    else
      out.append(text.substr(start, pos - start));
  }
}

void TIdUTF16EncodingBase::AppendBytes(std::string_view text, TIdBytes& out) const {
  out.reserve(out.size() + text.size() * 2);
  ForEachUTF16Unit(text, [&](char16_t unit) {
    const auto high = static_cast<uint8_t>(unit >> 8), low = static_cast<uint8_t>(unit & 0xFF);
    out.push_back(FBigEndian ? high : low);
    out.push_back(FBigEndian ? low : high);
  });
}

void TIdUTF16EncodingBase::AppendString(std::span<const uint8_t> bytes, std::string& out) const {
  out.reserve(out.size() + bytes.size());
  TUTF16UnitSink sink(out);
  size_t i = 0;
  for (; i + 1 < bytes.size(); i += 2) {
    const uint8_t first = bytes[i], second = bytes[i + 1];
    sink.Put(FBigEndian ? char16_t((first << 8) | second) : char16_t((second << 8) | first));
  }
  sink.Flush();
  if (i < bytes.size())
    AppendUTF8(kReplacementCharacter, out);
}

TIdBytes TIdUTF16EncodingBase::GetPreamble() const {
  return FBigEndian ? TIdBytes{0xFE, 0xFF} : TIdBytes{0xFF, 0xFE};
}

void TIdUTF7Encoding::AppendBytes(std::string_view text, TIdBytes& out) const {
  out.reserve(out.size() + text.size());
  uint32_t bits = 0;
  int bitCount = 0;
  bool shifted = false;
  const auto endShift = [&] {
    if (bitCount > 0)
      out.push_back(static_cast<uint8_t>(kUTF7Base64[(bits << (6 - bitCount)) & 0x3F]));
    out.push_back('-');
    bits = 0, bitCount = 0, shifted = false;
  };
  ForEachUTF16Unit(text, [&](char16_t unit) {
    if (unit < 0x80 && IsUTF7Direct(static_cast<char>(unit))) {
      if (shifted)
        endShift();
      out.push_back(static_cast<uint8_t>(unit));
      return;
    }
    if (unit == '+' && !shifted) {
      out.push_back('+');
      out.push_back('-');
      return;
    }
    if (!shifted) {
      out.push_back('+');
      shifted = true;
    }
    bits = (bits << 16) | unit;
    bitCount += 16;
    while (bitCount >= 6) {
      bitCount -= 6;
      out.push_back(static_cast<uint8_t>(kUTF7Base64[(bits >> bitCount) & 0x3F]));
    }
    bits &= (1u << bitCount) - 1;
  });
  if (shifted)
    endShift();
}

// Leftover bits of a Base64 run are dropped.
void TIdUTF7Encoding::AppendString(std::span<const uint8_t> bytes, std::string& out) const {
  out.reserve(out.size() + bytes.size());
  TUTF16UnitSink sink(out);
  for (size_t i = 0; i < bytes.size(); ++i) {
    const uint8_t b = bytes[i];
    if (b != '+') {
      sink.Flush();
      AppendUTF8(b < 0x80 ? char32_t(b) : kReplacementCharacter, out);
      continue;
    }
    if (i + 1 < bytes.size() && bytes[i + 1] == '-') {
      sink.Flush();
      out.push_back('+');
      ++i;
      continue;
    }
    i = DecodeUTF7Shifted(bytes, i + 1, sink);
  }
}

TIdMBCSEncoding::TIdMBCSEncoding(int ACodePage)
    : IIdTextEncoding(false, 4), FCodePage(ACodePage), FCharset(CharsetOfCodePage(ACodePage)) {
  if (ACodePage <= 0 || !ConverterExists(FCharset, "UTF-8") || !ConverterExists("UTF-8", FCharset))
    throw EIdException("Invalid codepage (" + std::to_string(ACodePage) + ")");
}

void TIdMBCSEncoding::AppendBytes(std::string_view text, TIdBytes& out) const {
  Convert(FCharset, "UTF-8", text, [&](std::string_view input, size_t& pos) {
    out.push_back('?');
    NextUTF8CodePoint(input, pos);
  }, out);
}

void TIdMBCSEncoding::AppendString(std::span<const uint8_t> bytes, std::string& out) const {
  TIdBytes utf8;
  const std::string_view input(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  Convert("UTF-8", FCharset, input, [&](std::string_view, size_t& pos) {
    AppendUTF8Octets(kReplacementCharacter, utf8);
    ++pos;
  }, utf8);
  out.append(utf8.begin(), utf8.end());
}

TIdBytes IIdTextEncoding::GetBytes(std::string_view text) const {
  TIdBytes out;
  AppendBytes(text, out);
  return out;
}

std::string IIdTextEncoding::GetString(std::span<const uint8_t> bytes) const {
  std::string out;
  AppendString(bytes, out);
  return out;
}

size_t IIdTextEncoding::GetByteCount(std::string_view text) const {
  return GetBytes(text).size();
}

size_t IIdTextEncoding::GetCharCount(std::span<const uint8_t> bytes) const {
  const std::string text = GetString(bytes);
  size_t count = 0;
  for (size_t pos = 0; pos < text.size(); ++count)
    NextUTF8CodePoint(text, pos);
  return count;
}

char32_t NextUTF8CodePoint(std::string_view text, size_t& pos) {
  const auto at = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  const uint8_t lead = at(pos);
  if (lead < 0x80) {
    ++pos;
    return lead;
  }
  size_t length;
  char32_t cp;
  char32_t minimum;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, cp = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, cp = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, cp = lead & 0x07, minimum = 0x10000;
  } else {
    ++pos;
    return kReplacementCharacter;
  }
  if (pos + length > text.size()) {
    ++pos;
    return kReplacementCharacter;
  }
  for (size_t i = 1; i < length; ++i) {
    const uint8_t next = at(pos + i);
    if ((next & 0xC0) != 0x80) {
      ++pos;
      return kReplacementCharacter;
    }
    cp = (cp << 6) | (next & 0x3F);
  }
  // Overlong forms, surrogates and values past U+10FFFF are invalid (RFC 3629).
  if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++pos;
    return kReplacementCharacter;
  }
  pos += length;
  return cp;
}

void AppendUTF8(char32_t cp, std::string& out) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

const IIdTextEncoding& IdTextEncoding(TIdTextEncodingKind kind) {
  static const TIdASCIIEncoding ascii;
  static const TId8BitEncoding latin1;
  static const TIdUTF8Encoding utf8;
  static const TIdUTF16LittleEndianEncoding utf16le;
  static const TIdUTF16BigEndianEncoding utf16be;
  static const TIdUTF7Encoding utf7;
  switch (kind) {
    case tekASCII: return ascii;
    case tek8Bit:
    case tekOSDefault: return latin1;  // the platform's 8-bit code page is ISO-8859-1
    case tekUTF8: return utf8;
    case tekUTF16LE: return utf16le;
    case tekUTF16BE: return utf16be;
    case tekUTF7: return utf7;
  }
  return ascii;
}

const IIdTextEncoding& IdTextEncodingForCodePage(int codePage) {
  switch (codePage) {
    case 1200: return IdTextEncoding(tekUTF16LE);
    case 1201: return IdTextEncoding(tekUTF16BE);
    case 20127: return IdTextEncoding(tekASCII);
    case 28591: return IdTextEncoding(tek8Bit);
    case 65000: return IdTextEncoding(tekUTF7);
    case 65001: return IdTextEncoding(tekUTF8);
    default: return MBCSEncodingForCodePage(codePage);
  }
}

const IIdTextEncoding& IdDefaultTextEncoding() { return IdTextEncoding(gDefaultKind.load()); }

void SetIdDefaultTextEncoding(TIdTextEncodingKind kind) { gDefaultKind.store(kind); }

const IIdTextEncoding& IdTextEncodingOrDefault(const IIdTextEncoding* encoding) {
  return encoding ? *encoding : IdDefaultTextEncoding();
}

TIdBytes ToBytes(std::string_view text, const IIdTextEncoding* encoding) {
  return IdTextEncodingOrDefault(encoding).GetBytes(text);
}

std::string BytesToString(std::span<const uint8_t> bytes, const IIdTextEncoding* encoding) {
  return IdTextEncodingOrDefault(encoding).GetString(bytes);
}

TIdBytes ToBytes(std::string_view text, int ALength, int AIndex, const IIdTextEncoding* encoding) {
  if (AIndex < 1)
    throw EIdException("Invalid ACharPos");
  size_t start = 0;
  for (int skipped = 1; skipped < AIndex && start < text.size(); ++skipped)
    NextUTF8CodePoint(text, start);
  size_t end = start;
  for (int taken = 0; (ALength < 0 || taken < ALength) && end < text.size(); ++taken)
    NextUTF8CodePoint(text, end);
  return ToBytes(text.substr(start, end - start), encoding);
}

std::string BytesToString(std::span<const uint8_t> bytes, int AStartIndex, int ALength,
                          const IIdTextEncoding* encoding) {
  const size_t start = std::min(static_cast<size_t>(std::max(AStartIndex, 0)), bytes.size());
  const size_t available = bytes.size() - start;
  const size_t length = ALength < 0 ? available : std::min(static_cast<size_t>(ALength), available);
  return BytesToString(bytes.subspan(start, length), encoding);
}

}  // namespace zal
