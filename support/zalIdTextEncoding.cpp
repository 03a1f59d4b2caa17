#include "support/zalIdTextEncoding.h"

#include <atomic>

namespace zal {

namespace {

constexpr char32_t kReplacementCharacter = 0xFFFD;

// One octet per code point below `limit`; every other code point becomes '?'.
// Reading maps octets below `limit` to their code point and the rest to U+FFFD.
class TSingleByteEncoding : public IIdTextEncoding {
public:
  explicit TSingleByteEncoding(char32_t limit) : IIdTextEncoding(true, 1), FLimit(limit) {}

  void AppendBytes(std::string_view text, TIdBytes& out) const override {
    out.reserve(out.size() + text.size());
    for (size_t pos = 0; pos < text.size();) {
      const auto c = static_cast<uint8_t>(text[pos]);
      if (c < 0x80) {  // fast path for ASCII
        out.push_back(c);
        ++pos;
        continue;
      }
      const char32_t cp = NextUTF8CodePoint(text, pos);
      out.push_back(cp < FLimit ? static_cast<uint8_t>(cp) : static_cast<uint8_t>('?'));
    }
  }

  void AppendString(std::span<const uint8_t> bytes, std::string& out) const override {
    out.reserve(out.size() + bytes.size());
    for (uint8_t b : bytes) {
      if (b < 0x80)
        out.push_back(static_cast<char>(b));
      else
        AppendUTF8(b < FLimit ? char32_t(b) : kReplacementCharacter, out);
    }
  }

private:
  char32_t FLimit;
};

class TUTF8Encoding : public IIdTextEncoding {
public:
  TUTF8Encoding() : IIdTextEncoding(false, 4) {}

  void AppendBytes(std::string_view text, TIdBytes& out) const override {
    out.insert(out.end(), text.begin(), text.end());
  }

  // Invalid sequences become U+FFFD; valid text is copied unchanged.
  void AppendString(std::span<const uint8_t> bytes, std::string& out) const override {
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

  TIdBytes GetPreamble() const override { return {0xEF, 0xBB, 0xBF}; }
};

std::atomic<TIdTextEncodingKind> gDefaultKind{tekASCII};

}  // namespace

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
  static const TSingleByteEncoding ascii(0x80);
  static const TSingleByteEncoding latin1(0x100);
  static const TUTF8Encoding utf8;
  switch (kind) {
    case tekASCII: return ascii;
    case tek8Bit:
    case tekOSDefault: return latin1;  // the platform's 8-bit code page is ISO-8859-1
    case tekUTF8: return utf8;
    default: return ascii;
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

}  // namespace zal
