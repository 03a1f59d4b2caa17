#pragma once
// Text encodings: conversion between the library's text (UTF-8 in std::string)
// and the octets of a particular character encoding.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zal {

using TIdBytes = std::vector<uint8_t>;

class IIdTextEncoding {
public:
  virtual ~IIdTextEncoding() = default;

  // Octets of `text` (UTF-8) in this encoding, appended to `out`.
  virtual void AppendBytes(std::string_view text, TIdBytes& out) const = 0;
  // Text (UTF-8) of the octets in this encoding, appended to `out`.
  virtual void AppendString(std::span<const uint8_t> bytes, std::string& out) const = 0;

  TIdBytes GetBytes(std::string_view text) const;
  std::string GetString(std::span<const uint8_t> bytes) const;
  size_t GetByteCount(std::string_view text) const;
  // Number of characters (code points) the octets decode into.
  size_t GetCharCount(std::span<const uint8_t> bytes) const;
  size_t GetMaxByteCount(size_t charCount) const { return charCount * static_cast<size_t>(MaxCharSize()); }
  // Most characters that `byteCount` octets can decode into.
  virtual size_t GetMaxCharCount(size_t byteCount) const { return byteCount; }
  virtual TIdBytes GetPreamble() const { return {}; }

  bool IsSingleByte() const { return FIsSingleByte; }
  int MaxCharSize() const { return FMaxCharSize; }

protected:
  IIdTextEncoding(bool isSingleByte, int maxCharSize)
      : FIsSingleByte(isSingleByte), FMaxCharSize(maxCharSize) {}

private:
  bool FIsSingleByte;
  int FMaxCharSize;
};

// One octet per character: code points from `limit` on are written as "?",
// octets from `limit` on are read as U+FFFD.
class TIdSingleByteEncodingBase : public IIdTextEncoding {
public:
  void AppendBytes(std::string_view text, TIdBytes& out) const override;
  void AppendString(std::span<const uint8_t> bytes, std::string& out) const override;

protected:
  explicit TIdSingleByteEncodingBase(char32_t limit) : IIdTextEncoding(true, 1), FLimit(limit) {}

private:
  char32_t FLimit;
};

// 7-bit ASCII: code points above 127 are written as "?", octets above 127 are
// read as U+FFFD.
class TIdASCIIEncoding : public TIdSingleByteEncodingBase {
public:
  TIdASCIIEncoding() : TIdSingleByteEncodingBase(0x80) {}
};

// ISO-8859-1: code points above 255 are written as "?", every octet is read as
// the character of the same code.
class TId8BitEncoding : public TIdSingleByteEncodingBase {
public:
  TId8BitEncoding() : TIdSingleByteEncodingBase(0x100) {}
};

// UTF-8: invalid sequences are read as U+FFFD.
class TIdUTF8Encoding : public IIdTextEncoding {
public:
  TIdUTF8Encoding() : IIdTextEncoding(false, 4) {}
  void AppendBytes(std::string_view text, TIdBytes& out) const override;
  void AppendString(std::span<const uint8_t> bytes, std::string& out) const override;
  TIdBytes GetPreamble() const override { return {0xEF, 0xBB, 0xBF}; }
};

// UTF-16 code units in one byte order; lone surrogates and an odd trailing octet
// are read as U+FFFD.
class TIdUTF16EncodingBase : public IIdTextEncoding {
public:
  void AppendBytes(std::string_view text, TIdBytes& out) const override;
  void AppendString(std::span<const uint8_t> bytes, std::string& out) const override;
  size_t GetMaxCharCount(size_t byteCount) const override { return byteCount / 2 + 1; }
  TIdBytes GetPreamble() const override;

protected:
  explicit TIdUTF16EncodingBase(bool bigEndian) : IIdTextEncoding(false, 4), FBigEndian(bigEndian) {}

private:
  bool FBigEndian;
};

// UTF-16, low octet first; preamble FF FE.
class TIdUTF16LittleEndianEncoding : public TIdUTF16EncodingBase {
public:
  TIdUTF16LittleEndianEncoding() : TIdUTF16EncodingBase(false) {}
};

// UTF-16, high octet first; preamble FE FF.
class TIdUTF16BigEndianEncoding : public TIdUTF16EncodingBase {
public:
  TIdUTF16BigEndianEncoding() : TIdUTF16EncodingBase(true) {}
};

// UTF-7 (RFC 2152): set D, space, tab, CR and LF are written directly, "+" as
// "+-", every other run as modified Base64 of its UTF-16 code units between "+"
// and "-". Octets above 127 are read as U+FFFD.
class TIdUTF7Encoding : public IIdTextEncoding {
public:
  TIdUTF7Encoding() : IIdTextEncoding(false, 5) {}
  void AppendBytes(std::string_view text, TIdBytes& out) const override;
  void AppendString(std::span<const uint8_t> bytes, std::string& out) const override;
};

// Any other code page, converted by the C library's iconv: unmappable characters
// are written as "?" and invalid octets read as U+FFFD. A code page that has no
// converter raises EIdException "Invalid codepage (%d)".
class TIdMBCSEncoding : public IIdTextEncoding {
public:
  explicit TIdMBCSEncoding(int ACodePage);
  void AppendBytes(std::string_view text, TIdBytes& out) const override;
  void AppendString(std::span<const uint8_t> bytes, std::string& out) const override;
  int CodePage() const { return FCodePage; }

private:
  int FCodePage;
  std::string FCharset;  // the converter's name for the code page
};

// The shared encodings, one instance per kind for the process lifetime.
enum TIdTextEncodingKind : uint8_t {
  tekASCII, tek8Bit, tekUTF8, tekUTF16LE, tekUTF16BE, tekUTF7, tekOSDefault
};

const IIdTextEncoding& IdTextEncoding(TIdTextEncodingKind kind);
// The encoding of a code page number: 1200 UTF-16LE, 1201 UTF-16BE, 20127 ASCII,
// 65000 UTF-7, 65001 UTF-8, 28591 ISO-8859-1; any other number gets a converter
// for that code page (one per number, kept for the process lifetime). An unknown
// code page raises EIdException "Invalid codepage (%d)".
const IIdTextEncoding& IdTextEncodingForCodePage(int codePage);
// The process-wide default encoding (ASCII unless changed).
const IIdTextEncoding& IdDefaultTextEncoding();
void SetIdDefaultTextEncoding(TIdTextEncodingKind kind);
// `encoding` when given, else the process default.
const IIdTextEncoding& IdTextEncodingOrDefault(const IIdTextEncoding* encoding);

// Decodes one code point of UTF-8 text at `pos` and advances past it; an invalid
// or truncated sequence yields U+FFFD and advances by one octet.
char32_t NextUTF8CodePoint(std::string_view text, size_t& pos);
// Appends `codePoint` to `out` as UTF-8.
void AppendUTF8(char32_t codePoint, std::string& out);

// Conversions used throughout the protocol layers.
TIdBytes ToBytes(std::string_view text, const IIdTextEncoding* encoding = nullptr);
std::string BytesToString(std::span<const uint8_t> bytes, const IIdTextEncoding* encoding = nullptr);

// The characters of `text` from the 1-based position `AIndex` on, at most `ALength`
// of them (-1: to the end), encoded. `AIndex` below 1 raises "Invalid ACharPos".
TIdBytes ToBytes(std::string_view text, int ALength, int AIndex, const IIdTextEncoding* encoding = nullptr);
// The octets from the 0-based `AStartIndex` on, at most `ALength` of them (-1: to the
// end), decoded; the range is clipped to the buffer.
std::string BytesToString(std::span<const uint8_t> bytes, int AStartIndex, int ALength,
                          const IIdTextEncoding* encoding = nullptr);

}  // namespace zal
